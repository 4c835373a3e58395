"""The main job through both doors on the sample customers: rows per second end to end of
the row job, the columnar job and the columnar reader and writer alone (copy-only), on
SQLite and, with ZORVA_PG_DSN set, on PostgreSQL; the columnar job's CPU per row per stage;
its peak memory at two sizes. Each run is a process of its own, so each peak is its own.

    python3 bench/job_bench.py [--rows 200000] [--memory-rows 2000000] [--json OUT]

Run with the engine importable and examples/ on PYTHONPATH (or installed and from examples/).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))

import sample_data  # noqa: E402


def serverSeconds() -> float:
    """CPU seconds spent so far by this machine's PostgreSQL servers: each
    postmaster's own and that of its children which ended (the kernel adds
    those to it once it reaps them), plus the live backends' own."""
    procs = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue
        name, rest = text[text.index("(") + 1 : text.rindex(")")], text[text.rindex(")") + 2 :].split()
        if name.startswith("postgres"):
            procs[int(stat.parent.name)] = (int(rest[1]), [int(x) for x in rest[11:15]])
    ticks = 0
    for parent, (utime, stime, cutime, cstime) in procs.values():
        ticks += utime + stime + (0 if parent in procs else cutime + cstime)
    return ticks / os.sysconf("SC_CLK_TCK")


def run(args: list[str], rows: int = 0) -> dict:
    """One job in its own process: its rate, CPU line and peak resident memory;
    with rows, also the database server's CPU per row (PostgreSQL's processes,
    whose backends live through the job; SQLite has none)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(EXAMPLES), *filter(None, [os.environ.get("PYTHONPATH")])]))
    server = serverSeconds()
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        child = subprocess.Popen(
            [sys.executable, "-m", "zorva_job", *args, "--no-progress", "--sample", "0", "--replace"],
            stdout=out,
            stderr=err,
            text=True,
            env=env,
            cwd=EXAMPLES,
        )
        # wait4 gives this child's own peak, where getrusage would give the largest child's.
        _, status, usage = os.wait4(child.pid, 0)
        server = serverSeconds() - server
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        out, err = out.read(), err.read()
    if child.returncode:
        raise SystemExit(f"{' '.join(args)}: {err}")
    rate = re.search(r"([\d,]+) rows/s end to end", out)
    cpu = re.search(r"CPU per row: (.*)", out)
    result = {
        "rowsPerSecond": float(rate.group(1).replace(",", "")) if rate else None,
        "cpu": cpu.group(1) if cpu else None,
        "peakKiB": usage.ru_maxrss,
    }
    if rows:
        result["serverCpuUsPerRow"] = server / rows * 1e6
    return result


def doors(backend: list[str], rows: int) -> dict:
    row = run([*backend, "--door", "row"], rows)
    columnar = run(backend, rows)
    copy = run([*backend, "--copy-only"], rows)
    return {
        "row": row,
        "columnar": columnar,
        "copyOnly": copy,
        "ratio": columnar["rowsPerSecond"] / row["rowsPerSecond"],
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument(
        "--memory-rows", type=int, default=2_000_000, help="the larger table of the memory comparison (0: skip it)"
    )
    parser.add_argument("--json", help="write the results here")
    args = parser.parse_args(argv)
    policy = str(EXAMPLES / "policy.toml")
    results: dict = {
        "date": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "rows": args.rows,
        "loadBefore": " ".join(f"{x:.1f}" for x in os.getloadavg()),
    }
    with tempfile.TemporaryDirectory(prefix="zorva-job-bench-") as tmp:
        folder = Path(tmp)
        words = sample_data.write_words(folder / "words.json")
        common = ["--policy", policy, "--words", str(folder / "words.json")]
        sizes = [args.rows] + ([args.memory_rows] if args.memory_rows else [])
        for rows in sizes:
            sample_data.create_database(folder / f"c{rows}.db", rows, words=words)
        lite = ["sqlite", str(folder / f"c{args.rows}.db"), str(folder / "m.db"), *common]
        results["sqlite"] = doors(lite, args.rows)
        if len(sizes) > 1:
            big = run(["sqlite", str(folder / f"c{sizes[1]}.db"), str(folder / "m.db"), *common])
            small = results["sqlite"]["columnar"]["peakKiB"]
            results["memory"] = {"rows": sizes, "peakKiB": [small, big["peakKiB"]], "ratio": big["peakKiB"] / small}
        if os.environ.get("ZORVA_PG_DSN"):
            import psycopg

            with psycopg.connect(os.environ["ZORVA_PG_DSN"]) as conn:
                sample_data.create_postgres_table(conn, args.rows, words=words)
            results["postgres"] = doors(
                ["postgres", "--source", os.environ["ZORVA_PG_DSN"], "--target-table", "customers_bench", *common],
                args.rows,
            )
    for backend in ("sqlite", "postgres"):
        if backend in results:
            r = results[backend]
            print(
                f"{backend}: columnar {r['columnar']['rowsPerSecond']:,.0f} rows/s, row "
                f"{r['row']['rowsPerSecond']:,.0f} rows/s, {r['ratio']:.2f}x, copy-only "
                f"{r['copyOnly']['rowsPerSecond']:,.0f} rows/s; columnar CPU per row: "
                f"{r['columnar']['cpu']}"
            )
            # The server's share of the machine: on two cores, the job's own CPU
            # per row plus the server's, halved, bounds the wall time per row.
            if backend == "postgres":
                print(
                    "  server CPU per row: "
                    + ", ".join(
                        f"{door} {r[door]['serverCpuUsPerRow']:.2f} us (wall {1e6 / r[door]['rowsPerSecond']:.2f} us)"
                        for door in ("row", "columnar", "copyOnly")
                    )
                )
    if "memory" in results:
        m = results["memory"]
        print(
            f"peak memory of the columnar job: {m['peakKiB'][0] / 1024:,.0f} MiB at "
            f"{m['rows'][0]:,} rows, {m['peakKiB'][1] / 1024:,.0f} MiB at {m['rows'][1]:,} "
            f"rows ({m['ratio']:.2f}x)"
        )
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
