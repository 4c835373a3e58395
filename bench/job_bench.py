"""The whole-database job on the sample database (examples/sample_db.py, masked by
examples/database.toml): rows per second end to end, the CPU its stages spend per row,
the rate that CPU allows on this machine's cores and the ratio of the two; the
copy-only run (the reader and writer alone) and the copy action (every table copied
as it is) beside it; peak memory. SQLite always, PostgreSQL with ZORVA_PG_DSN set.
Each run is a process of its own.

    python3 bench/job_bench.py [--rows 200000] [--json OUT]

Run with the engine and the job installed (scripts/setup.sh --engine).
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

import sample_db  # noqa: E402
from demo_key import DEMO_KEY  # noqa: E402

POLICY = EXAMPLES / "database.toml"


def server_seconds() -> float:
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


def run(args: list[str]) -> dict:
    """One job in its own process: rows, wall seconds and CPU seconds of the run (its
    own report), the database server's CPU over it, and its peak resident memory."""
    env = dict(os.environ, ZORVA_MASTER_KEY=DEMO_KEY.hex())
    server = server_seconds()
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        child = subprocess.Popen(
            [sys.executable, "-m", "zorva_job", *args, "--no-progress", "--replace"], stdout=out, stderr=err, env=env
        )
        # wait4 gives this child's own peak, where getrusage would give the largest child's.
        _, status, usage = os.wait4(child.pid, 0)
        server = server_seconds() - server
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if os.waitstatus_to_exitcode(status):
        raise SystemExit(f"{' '.join(args)}: {stderr}")
    total = re.search(r"database: \d+ tables, ([\d,]+) rows", stdout)
    cpu = re.search(r"CPU per row: (.*) \(process CPU ([\d.]+) s over ([\d.]+) s\)", stdout)
    assert total and cpu, stdout
    rows = int(total.group(1).replace(",", ""))
    return {
        "rows": rows,
        "seconds": float(cpu.group(3)),
        "cpuSeconds": float(cpu.group(2)),
        "serverCpuSeconds": server,
        "stages": cpu.group(1),
        "rowsPerSecond": rows / float(cpu.group(3)),
        "peakKiB": usage.ru_maxrss,
    }


def copy_policy(folder: Path) -> Path:
    """The sample's tables, every one copied as it is."""
    path = folder / "copy.toml"
    path.write_text("".join(f'[tables.{t}]\naction = "copy"\n' for t in sample_db.table_counts(1)), encoding="utf-8")
    return path


def measure(backend: list[str], folder: Path) -> dict:
    cores = len(os.sched_getaffinity(0))
    masked = run([*backend, "--policy", str(POLICY)])
    copy_only = run([*backend, "--policy", str(POLICY), "--copy-only"])
    copied = run([*backend, "--policy", str(copy_policy(folder))])
    # The bound: the cores kept busy all the time by the CPU the job's stages
    # (and the database server, where there is one) spend per row.
    cpu_per_row = (masked["cpuSeconds"] + masked["serverCpuSeconds"]) / masked["rows"]
    bound = cores / cpu_per_row
    return {
        "cores": cores,
        "masked": masked,
        "copyOnly": copy_only,
        "copied": copied,
        "cpuUsPerRow": cpu_per_row * 1e6,
        "boundRowsPerSecond": bound,
        "ratio": masked["rowsPerSecond"] / bound,
        "copiedOverCopyOnly": copied["rowsPerSecond"] / copy_only["rowsPerSecond"],
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000, help="sample customers (the other tables scale with it)")
    parser.add_argument("--json", help="write the results here")
    args = parser.parse_args(argv)
    results: dict = {
        "date": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "rows": args.rows,
        "loadBefore": " ".join(f"{x:.1f}" for x in os.getloadavg()),
    }
    with tempfile.TemporaryDirectory(prefix="zorva-job-bench-") as tmp:
        folder = Path(tmp)
        sample_db.create_sqlite(folder / "shop.db", rows=args.rows)
        results["sqlite"] = measure(["sqlite", str(folder / "shop.db"), str(folder / "masked.db")], folder)
        dsn = os.environ.get("ZORVA_PG_DSN")
        if dsn:
            import psycopg

            with psycopg.connect(dsn) as conn:
                conn.execute("DROP SCHEMA IF EXISTS bench_src CASCADE")
                conn.execute("CREATE SCHEMA bench_src")
                conn.commit()
                sample_db.create_postgres(conn, rows=args.rows, schema="bench_src")
            backend = ["postgres", "--source", dsn, "--source-schema", "bench_src", "--target-schema", "bench_dst"]
            results["postgres"] = measure(backend, folder)
    for name in ("sqlite", "postgres"):
        if name not in results:
            continue
        r = results[name]
        m = r["masked"]
        print(
            f"{name}: {m['rows']:,} rows in {m['seconds']:.2f} s, {m['rowsPerSecond']:,.0f} rows/s; CPU per row "
            f"{r['cpuUsPerRow']:.2f} us ({m['stages']}; server {m['serverCpuSeconds'] / m['rows'] * 1e6:.2f} us) "
            f"allows {r['boundRowsPerSecond']:,.0f} rows/s on {r['cores']} cores: {r['ratio']:.2f} of the bound"
        )
        print(
            f"  copy action {r['copied']['rowsPerSecond']:,.0f} rows/s, copy-only (reader and writer) "
            f"{r['copyOnly']['rowsPerSecond']:,.0f} rows/s: {r['copiedOverCopyOnly']:.2f}x; "
            f"peak memory {m['peakKiB'] / 1024:,.0f} MiB"
        )
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
