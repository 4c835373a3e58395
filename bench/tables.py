"""Whole tables masked as a job masks them, against their row floor, in one
run. bench/run.sh builds what this needs and calls it; it also runs alone on
the installed module:

    python3 bench/tables.py --rows 20000
    python3 bench/tables.py --counting-module build/ext-counting --core-bench build/bench-release/core_bench

A job keeps one Masker per masked column for the whole table and sends the
rows through maskChunk in 10,000-row chunks, in order; so does this bench.
Per table it measures:

- CPU per row at 1 thread (the calling thread's CPU over the maskChunk calls,
  the fastest of --repeat runs, each with fresh maskers as at a job's start);
- rows per second (wall) at 1 and 2 threads, runs interleaved;
- the lock-held CPU per row, split off with bench.py's lock probe;
- the row floor: the HMACs and AES blocks that masking these very rows
  performs (counted by a module built with -DZORVA_COUNTING=ON, in a process
  of its own, on the same rows) times their interleaved cost (core_bench,
  in this run), plus CPython's own cost of making the output objects (a str
  from its UTF-8 bytes, a new int or float, a Decimal from its text),
  measured here on the very outputs, and of the row tuples maskChunk hands
  them back in; beside it, as information, the floor without the tuples;
- per column, 200,000 values (--rows) through maskColumn in 10,000-value calls:
  ns per value against the column's own floor, and against the same column's
  first 10,000 values in one call from cold caches (what growing caches cost).

Timings are CPU time of the calling thread wherever one thread does the
work; only ratios within one run are meant to be compared.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import hashlib
import hmac
import json
import os
import platform
import subprocess
import sys
import time
from decimal import Decimal
from pathlib import Path

HERE = Path(__file__).resolve().parent
MASTER = bytes(range(100, 132))
CHUNK = 10_000


def importEngine(moduleDir: str | None):
    if moduleDir:
        sys.path.insert(0, str(Path(moduleDir).resolve()))
    import zorva_rs

    return zorva_rs


def subkey(column: str) -> bytes:
    return hmac.new(MASTER, column.encode(), hashlib.sha256).digest()


def buildMaskers(zorva_rs, table, words: dict) -> list:
    from table_data import optionsOf

    out = []
    for name in table.columns:
        entry = table.policy.get(name)
        out.append(
            None if entry is None else zorva_rs.Masker(subkey(name), entry[0], optionsOf(entry[0], entry[1], words))
        )
    return out


def chunksOf(rows: list, size: int = CHUNK) -> list[list]:
    return [rows[i : i + size] for i in range(0, len(rows), size)]


def maskTable(zorva_rs, maskers: list, chunks: list[list], timer=time.thread_time_ns) -> tuple[float, int, list]:
    """One job over the chunks: seconds by timer, problems, the last chunk's answers."""
    spent = problems = 0
    out: list = []
    for chunk in chunks:
        # The chunk before is freed untimed, as a job writes it out first.
        out = []
        t0 = timer()
        out, found = zorva_rs.maskChunk(maskers, chunk)
        spent += timer() - t0
        for _, _, marker in found:
            if marker != zorva_rs.FALLBACK:
                raise RuntimeError(f"refused: {marker}")
        problems += len(found)
    return spent / 1e9, problems, out


def maskColumnCalls(masker, values: list, size: int = CHUNK, timer=time.thread_time_ns) -> tuple[float, list]:
    """Seconds (CPU by default) of maskColumn over values in calls of size, and the answers."""
    spent = 0
    answers: list = []
    for i in range(0, len(values), size):
        part = values[i : i + size]
        t0 = timer()
        masked, _ = masker.maskColumn(part)
        spent += timer() - t0
        answers.extend(masked)
    return spent / 1e9, answers


# ---------------------------------------------------------------- the counting process


def countWorker(args: argparse.Namespace) -> None:
    """In a process whose module counts primitives: HMACs, the SHA-256
    compressions they require, and AES blocks, of the same job and of each
    column's maskColumn calls."""
    import table_data

    zorva_rs = importEngine(args.counting_module)
    if not hasattr(zorva_rs, "_primitiveCounts"):
        raise SystemExit(f"{zorva_rs.__file__} is not a counting build")
    zorva_rs.setThreads(1)
    words = table_data.sample_data.word_lists()
    out: dict = {}
    for table in table_data.tables(args.tables.split(",")):
        rows = list(table.rows(args.rows))
        maskers = buildMaskers(zorva_rs, table, words)
        t0 = zorva_rs._primitiveCounts()
        maskTable(zorva_rs, maskers, chunksOf(rows))
        t1 = zorva_rs._primitiveCounts()
        columns = {}
        for j, name in enumerate(table.columns):
            if name not in table.policy:
                continue
            masker = buildMaskers(zorva_rs, table, words)[j]
            c0 = zorva_rs._primitiveCounts()
            maskColumnCalls(masker, [r[j] for r in rows])
            c1 = zorva_rs._primitiveCounts()
            columns[name] = perValue(c0, c1, len(rows))
        out[table.name] = dict(perValue(t0, t1, len(rows)), columns=columns)
    print(json.dumps(out))


def perValue(before: tuple, after: tuple, n: int) -> dict[str, float]:
    """Counts per value between two readings of _primitiveCounts. An HMAC
    of a message longer than one block requires more than the two
    compressions an HMAC is priced at: "sha2" counts the HMACs' work in such
    pairs, and is what the floor prices."""
    hmac, aes, sha = ((b - a) / n for a, b in zip(before, after, strict=True))
    return {"hmac": hmac, "aes": aes, "sha2": sha / 2}


def countPrimitives(args: argparse.Namespace) -> dict:
    if not args.counting_module:
        return {}
    proc = subprocess.run(
        [
            sys.executable,
            __file__,
            "--count-worker",
            "--counting-module",
            args.counting_module,
            "--rows",
            str(args.rows),
            "--tables",
            args.tables,
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- primitive and object costs


def primitiveCosts(coreBench: str | None) -> dict[str, float]:
    """ns per HMAC and per AES block, serial and with many in flight, from
    core_bench in this run."""
    if not coreBench or not os.path.exists(coreBench):
        return {}
    proc = subprocess.run(
        [
            coreBench,
            "--benchmark_filter=^(BM_HmacFloor|BM_AesBlock|BM_AesLanes|BM_HmacMany/64/1)$",
            "--benchmark_min_time=0.2",
            "--benchmark_repetitions=3",
            "--benchmark_format=json",
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    best: dict[str, float] = {}
    for b in json.loads(proc.stdout)["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")]
        name = b.get("run_name", b["name"])
        best[name] = min(best.get(name, float("inf")), b["cpu_time"] * scale)
    return {
        "hmacSerialNs": best.get("BM_HmacFloor", float("nan")),
        "aesSerialNs": best.get("BM_AesBlock", float("nan")),
        "hmacNs": best.get("BM_HmacMany/64/1", float("nan")) / 64,
        "aesNs": best.get("BM_AesLanes", float("nan")) / 8,
    }


def objectNs(values: list, repeat: int) -> float:
    """CPython's cost of making these output objects from their plain form,
    per value of the column (None costs nothing): a str from its UTF-8 bytes,
    an int from its bytes, a float from an int, a Decimal from its text."""
    groups: dict[type, list] = {}
    for v in values:
        if v is not None:
            groups.setdefault(type(v), []).append(v)
    total = 0.0
    for kind, group in groups.items():
        if kind is str:
            plain, make = [s.encode() for s in group], bytes.decode
        elif kind is int:
            plain, make = [v.to_bytes((v.bit_length() + 8) // 8, "big", signed=True) for v in group], int.from_bytes
        elif kind is float:
            plain, make = [int(v) for v in group], float
        elif kind is Decimal:
            plain, make = [str(v) for v in group], Decimal
        else:
            continue
        best = float("inf")
        for _ in range(repeat):
            t0 = time.thread_time_ns()
            made = list(map(make, plain))
            best = min(best, time.thread_time_ns() - t0)
            del made
        total += best
    return total / len(values)


_eviction = bytearray()


def evictCaches() -> None:
    """Writes a line of every 64 bytes of a buffer twice the largest
    last-level cache seen on these machines (made at the first call)."""
    global _eviction
    if not _eviction:
        _eviction = bytearray(64 << 20)
    _eviction[::64] = b"\1" * (len(_eviction) // 64)


def rowTupleNs(rows: list, repeat: int) -> float:
    """CPython's cost of the output rows themselves, per row: a tuple of the
    row's width, as maskChunk hands each row back. Its cells are the masked
    objects just made, still in the caches, so the tuples here are made of
    one object (only the tuple's own cost counts): the floor adds it to the
    cells' objects."""
    width = len(rows[0]) if rows else 0
    columns = [[None] * CHUNK for _ in range(width)]
    chunks = (len(rows) + CHUNK - 1) // CHUNK
    best = float("inf")
    for _ in range(repeat):
        spent = 0
        for _ in range(chunks):
            # A chunk at a time, the one before freed first, as a job runs:
            # the tuples reuse its memory rather than fault in fresh pages.
            t0 = time.thread_time_ns()
            made = list(zip(*columns, strict=True))
            spent += time.thread_time_ns() - t0
            del made
        best = min(best, spent)
    return best / (chunks * CHUNK) if chunks else 0.0


# ---------------------------------------------------------------- one table


def measureTable(zorva_rs, table, words: dict, rows: list, probe, repeat: int) -> dict:
    chunks = chunksOf(rows)
    n = len(rows)
    gc.collect()
    gc.disable()
    try:
        zorva_rs.setThreads(1)
        maskTable(zorva_rs, buildMaskers(zorva_rs, table, words), chunks[:1])  # warm-up
        cpu = min(maskTable(zorva_rs, buildMaskers(zorva_rs, table, words), chunks)[0] for _ in range(repeat))
        problems = maskTable(zorva_rs, buildMaskers(zorva_rs, table, words), chunks)[1]

        # The lock-held part, from a probed run at 1 thread.
        maskers = buildMaskers(zorva_rs, table, words)
        held = probedCpu = 0.0
        for chunk in chunks:
            _, t = probe.measure(lambda chunk=chunk: zorva_rs.maskChunk(maskers, chunk))
            held += t["cpu"] - t["freeCpu"]
            probedCpu += t["cpu"]

        # Wall rows per second, 1 and 2 threads interleaved.
        walls: dict[int, float] = {1: float("inf"), 2: float("inf")}
        for _ in range(repeat):
            for threads in (1, 2):
                zorva_rs.setThreads(threads)
                wall = maskTable(zorva_rs, buildMaskers(zorva_rs, table, words), chunks, time.perf_counter_ns)[0]
                walls[threads] = min(walls[threads], wall)
        zorva_rs.setThreads(1)

        columns: dict[str, dict] = {}
        objectsPerRow = 0.0
        for j, name in enumerate(table.columns):
            if name not in table.policy:
                continue
            values = [r[j] for r in rows]
            first = values[:CHUNK]
            small = float("inf")
            for _ in range(repeat):
                # From cold caches, as the whole run meets its values: a
                # second pass over the same 10,000 would find them in the
                # caches where the first left them, which no job does.
                masker = buildMaskers(zorva_rs, table, words)[j]
                evictCaches()
                small = min(small, maskColumnCalls(masker, first)[0])
            whole, answers = float("inf"), []
            for _ in range(repeat):
                spent, answers = maskColumnCalls(buildMaskers(zorva_rs, table, words)[j], values)
                whole = min(whole, spent)
            objects = objectNs(answers, repeat)
            objectsPerRow += objects
            columns[name] = {
                "strategy": table.policy[name][0],
                "nsPerValue": whole / n * 1e9,
                "nsPerValueFirst10k": small / len(first) * 1e9,
                "objectNsPerValue": objects,
                "distinct": len(set(values)),
                "nulls": sum(v is None for v in values),
            }
            del answers
    finally:
        gc.enable()
    return {
        "rows": n,
        "maskedColumns": len(table.policy),
        "problems": problems,
        "cpuNsPerRow": cpu / n * 1e9,
        "heldNsPerRow": held / n * 1e9,
        "probedCpuNsPerRow": probedCpu / n * 1e9,
        "rowsPerSecond1": n / walls[1],
        "rowsPerSecond2": n / walls[2],
        "objectNsPerRow": objectsPerRow,
        "rowTupleNsPerRow": rowTupleNs(rows, repeat),
        "columns": columns,
    }


# ---------------------------------------------------------------- report


def roads() -> dict[str, str]:
    """The roads the core picks on this CPU, by the same feature tests."""
    flags: set[str] = set()
    model = platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
            elif line.startswith("model name") and model == platform.machine():
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    avx512 = {"avx512f", "avx512bw", "avx512vl"} <= flags
    if avx512:
        sha = "AVX-512 sixteen lanes" + (", SHA-NI for the remainders" if "sha_ni" in flags else "")
    elif "sha_ni" in flags:
        sha = "SHA-NI, two streams in flight"
    elif "avx2" in flags:
        sha = "AVX2 eight lanes"
    else:
        sha = "portable"
    if "vaes" in flags and avx512 and "avx512dq" in flags:
        aes = "VAES on zmm registers"
    elif "aes" in flags:
        aes = "AES-NI, eight blocks in flight"
    else:
        aes = "OpenSSL"
    forced = os.environ.get("ZORVA_SHA256_ROAD")
    if forced:
        sha += f" (ZORVA_SHA256_ROAD={forced} where the CPU has it)"
    # The digits' and FPE characters' byte road: AVX-512's byte compress and expand.
    byte_road = {"avx512f", "avx512bw", "avx512vbmi", "avx512_vbmi2", "bmi2", "popcnt"} <= flags
    digits = "AVX-512 byte compress and expand (VBMI2)" if byte_road else "plain loops"
    # FF1's rounds: vector lanes up to radix^v = 2^32, and past 2^64 with IFMA.
    if aes.startswith("VAES"):
        wide = ", IFMA past 2^64" if "avx512ifma" in flags else "; two-word rounds on AES-NI lanes"
        ff1 = "vector rounds" + wide
    elif "aes" in flags:
        ff1 = "AES-NI lanes"
    else:
        ff1 = "OpenSSL"
    return {"sha256": sha, "aes": aes, "digits": digits, "ff1": ff1, "cpu": model}


def judge(result: dict) -> list[str]:
    """Fills in floors and targets; returns the report's lines."""
    prims = result["primitives"]
    hmacNs, aesNs = prims.get("hmacNs"), prims.get("aesNs")
    costs = (
        f"HMAC {hmacNs:.1f} ns, AES block {aesNs:.2f} ns interleaved "
        f"({prims['hmacSerialNs']:.0f} / {prims['aesSerialNs']:.1f} ns serial)"
        if hmacNs
        else "no core_bench: floors unknown"
    )
    scaling = result.get("machineScaling", float("nan"))
    lines = [
        f"CPU {result['roads']['cpu']}; SHA-256 road: {result['roads']['sha256']}; "
        f"AES road: {result['roads']['aes']}; digits: {result['roads'].get('digits', '-')}; "
        f"FF1: {result['roads'].get('ff1', '-')}",
        f"commit {result['commit']}; load {result['loadBefore']} -> {result['loadAfter']}; {costs}",
        (
            f"2 threads of plain native work got {scaling:.2f}x the CPU of 1 (below 1.8x the 2-thread target "
            f"cannot be judged) and did {result.get('machineThroughputScaling', float('nan')):.2f}x its work"
        ),
        "",
    ]
    targets = result["targets"]
    for name, t in result["tables"].items():
        counts = result["counts"].get(name)
        n = t["rows"]
        total, held = t["cpuNsPerRow"], t["heldNsPerRow"]
        bound = 1e9 / (held + (total - held) / 2)
        t["twoThreadBound"] = bound
        # The output objects of a row are its cells' objects and the tuple
        # maskChunk hands the row back in: CPython makes both, and both are
        # made under the lock. The floor counts both; the cells alone are
        # printed beside it.
        objects = t["objectNsPerRow"] + t.get("rowTupleNsPerRow", 0.0)
        floor = None
        if counts and hmacNs:
            floor = counts["sha2"] * hmacNs + counts["aes"] * aesNs + objects
        t["rowFloorNs"] = floor
        lines.append(
            f"{name}: {n} rows, {t['maskedColumns']} masked columns, {t['problems']} values left to the fallback rule"
        )
        lines.append(
            f"  CPU/row 1 thread {total / 1e3:.2f} us; floor {'-' if floor is None else f'{floor / 1e3:.2f} us'}"
            + (
                f" ({counts['hmac']:.1f} HMACs of {counts['sha2'] * 2:.1f} compressions, "
                f"{counts['aes']:.1f} AES blocks, objects {objects / 1e3:.2f} us of which the row "
                f"tuple {objects - t['objectNsPerRow']:.0f} ns); ratio {total / floor:.2f}x"
                if floor
                else ""
            )
        )
        if floor:
            cells = floor - (objects - t["objectNsPerRow"])
            lines.append(
                f"  without the row tuples: floor {cells / 1e3:.2f} us, ratio {total / cells:.2f}x; "
                f"lock held {held / t['objectNsPerRow']:.2f}x the cells' objects (information)"
            )
        lines.append(
            f"  rows/s {t['rowsPerSecond1']:,.0f} at 1 thread, {t['rowsPerSecond2']:,.0f} at 2 "
            f"({t['rowsPerSecond2'] / t['rowsPerSecond1']:.2f}x); bound from the lock-held share "
            f"{bound:,.0f} ({t['rowsPerSecond2'] / bound:.2f}x of it)"
        )
        lines.append(
            f"  lock held {held:.0f} ns/row = {held / total:.0%} of CPU; {held / objects:.2f}x the object part"
        )
        if floor:
            targets[f"{name}: CPU/row <= 1.5x floor"] = total <= 1.5 * floor
        targets[f"{name}: lock-held <= 1.3x objects"] = held <= 1.3 * objects
        judgeable = result.get("machineScaling", 2.0) >= 1.8
        targets[f"{name}: 2 threads >= 0.9x bound"] = t["rowsPerSecond2"] >= 0.9 * bound if judgeable else None
        head = (
            f"  {'column':18} {'strategy':18} {'ns/val':>7} {'10k':>6} {'x10k':>5} {'obj':>5} {'prims':>14} "
            f"{'floor':>6} {'x fl':>5} {'distinct':>8}"
        )
        lines.append(head)
        for col, c in t["columns"].items():
            cc = counts["columns"].get(col) if counts else None
            cfloor = cc["sha2"] * hmacNs + cc["aes"] * aesNs + c["objectNsPerValue"] if cc and hmacNs else None
            c["floorNs"] = cfloor
            growth = c["nsPerValue"] / c["nsPerValueFirst10k"]
            primText = f"{cc['hmac']:.1f}h {cc['sha2'] * 2:.1f}c {cc['aes']:.0f}a" if cc else "-"
            if cfloor:
                targets[f"{name}.{col}: <= 2x floor"] = c["nsPerValue"] <= 2 * cfloor
            targets[f"{name}.{col}: {n} values <= 1.15x 10k"] = growth <= 1.15
            lines.append(
                f"  {col:18} {c['strategy']:18} {c['nsPerValue']:7.0f} {c['nsPerValueFirst10k']:6.0f} "
                f"{growth:5.2f} {c['objectNsPerValue']:5.0f} "
                f"{primText:>14} "
                f"{cfloor or float('nan'):6.0f} {c['nsPerValue'] / (cfloor or float('nan')):5.2f} "
                f"{c['distinct']:8}"
            )
        lines.append("")
    lines.append("  ns/val = CPU per value, all rows through maskColumn in 10,000-value calls; 10k = the first 10,000")
    lines.append("  in one call, from cold caches; obj = CPython's cost of the output objects; prims = HMACs (h),")
    lines.append("  the SHA-256 compressions they require (c: two for a message of one block) and AES blocks (a)")
    lines.append("  per value;")
    lines.append("  floor = compressions x half an HMAC's interleaved cost + AES blocks x theirs + obj;")
    lines.append("  x fl = ns/val / floor.")
    misses = [k for k, v in targets.items() if v is False]
    lines.append(
        f"targets: {sum(v is True for v in targets.values())} hold, {len(misses)} missed"
        + (": " + "; ".join(misses) if misses else "")
    )
    return lines


def load() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=200_000, help="rows per table")
    ap.add_argument("--tables", default="customers,payments,people")
    ap.add_argument("--repeat", type=int, default=2, help="runs per measurement; the fastest counts")
    ap.add_argument("--module", help="directory of the zorva_rs module to time (default: the installed one)")
    ap.add_argument("--counting-module", help="directory of a zorva_rs built with -DZORVA_COUNTING=ON")
    ap.add_argument("--core-bench", help="core_bench of a Release build, for the primitive costs")
    ap.add_argument("--commit", default="")
    ap.add_argument("--out", help="write the results JSON here")
    ap.add_argument("--count-worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    sys.path.insert(0, str(HERE))
    if args.count_worker:
        countWorker(args)
        return

    zorva_rs = importEngine(args.module)
    import table_data
    from lock_probe import LockProbe, parallelCapacity, parallelThroughput

    result: dict = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "commit": args.commit,
        "machine": {"python": platform.python_version(), "cpus": os.cpu_count(), "cores": zorva_rs.availableCores()},
        "roads": roads(),
        "loadBefore": load(),
        "tables": {},
        "targets": {},
    }
    print("== primitive counts (counting build, same rows)", file=sys.stderr)
    result["counts"] = countPrimitives(args)
    print("== primitive costs (core_bench)", file=sys.stderr)
    result["primitives"] = primitiveCosts(args.core_bench)
    words = table_data.sample_data.word_lists()
    probe = LockProbe()
    for table in table_data.tables(args.tables.split(",")):
        rows = list(table.rows(args.rows))
        print(f"== {table.name}: {len(rows)} rows", file=sys.stderr)
        result["tables"][table.name] = measureTable(zorva_rs, table, words, rows, probe, args.repeat)
        del rows
    probe.close()
    # The control: what 2 threads of plain native work got of this machine at the time.
    result["machineScaling"] = parallelCapacity(2) / parallelCapacity(1)
    result["machineThroughputScaling"] = max(parallelThroughput(2) / parallelThroughput(1) for _ in range(3))
    result["loadAfter"] = load()
    report = "\n".join(judge(result))
    print(report)
    result["report"] = report
    if args.out:
        Path(args.out).parent.mkdir(parents=True, exist_ok=True)
        Path(args.out).write_text(json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    main()
