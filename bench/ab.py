"""Two builds of zorva_rs on one table (or one of its columns), in processes
that take turns: the way to see a change of a few percent on a machine
whose speed drifts by ten between runs, and by more between minutes.

    python3 bench/ab.py BASE_DIR NEW_DIR [--table payments] [--column reference]
        [--rounds 6] [--rows 200000] [--threads 1]

BASE_DIR and NEW_DIR hold a zorva_rs module each (a build directory). Each
round runs one process per build, the order turning every round (A B, B A,
...), so that a drift over time counts against both alike. A process masks
the table as a job does (fresh maskers, the rows through maskChunk in
10,000-row chunks, in order; with --column, that column's values through
maskColumn in 10,000-value calls) twice and reports the faster pass: CPU of
the calling thread at 1 thread, wall time at more. The report gives each
round's pair, and the median of the rounds' new/base ratios with their
range: a change is real when the range stays on one side of 1.

Each process loads a fresh copy of its build's module files: two copies of
the same bytes have run one column 1.7x apart on this VM for as long as
their pages stayed cached (where the code lies in memory, it seems), a bias
that a copy per process turns into noise the median can see through.
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def measure(args: argparse.Namespace) -> float:
    """ns per row (or per value with --column) of this process's module."""
    import table_data
    import tables

    zorva_rs = tables.importEngine(args.worker)
    zorva_rs.setThreads(args.threads)
    words = table_data.sample_data.word_lists()
    table = table_data.tables([args.table])[0]
    rows = list(table.rows(args.rows))
    timer = time.thread_time_ns if args.threads == 1 else time.perf_counter_ns
    best = float("inf")
    for _ in range(2):
        maskers = tables.buildMaskers(zorva_rs, table, words)
        if args.column:
            j = table.columns.index(args.column)
            spent = tables.maskColumnCalls(maskers[j], [row[j] for row in rows], timer=timer)[0]
        else:
            spent = tables.maskTable(zorva_rs, maskers, tables.chunksOf(rows), timer)[0]
        best = min(best, spent)
    return best / len(rows) * 1e9


def run(module: str, args: argparse.Namespace) -> float:
    with tempfile.TemporaryDirectory(prefix="zorva-ab-") as fresh:
        for built in Path(module).glob("zorva_*.so"):
            shutil.copy2(built, fresh)
        # An installed wheel's modules find their bundled libraries beside them.
        for bundled in Path(module).glob("*.libs"):
            (Path(fresh) / bundled.name).symlink_to(bundled.resolve(), target_is_directory=True)
        command = [
            sys.executable,
            str(Path(__file__).resolve()),
            "--worker",
            fresh,
            "--table",
            args.table,
            "--rows",
            str(args.rows),
            "--threads",
            str(args.threads),
        ]
        if args.column:
            command += ["--column", args.column]
        done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise SystemExit(f"{module}: {done.stderr.strip()}")
    return float(json.loads(done.stdout)["ns"])


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("base", nargs="?", help="directory of the base build's zorva_rs")
    ap.add_argument("new", nargs="?", help="directory of the new build's zorva_rs")
    ap.add_argument("--table", default="customers", help="customers, payments or people")
    ap.add_argument("--column", help="one masked column of the table, through maskColumn")
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    sys.path.insert(0, str(HERE))
    if args.worker:
        print(json.dumps({"ns": measure(args)}))
        return 0
    if not args.base or not args.new:
        ap.error("BASE_DIR and NEW_DIR are required")
    what = f"{args.table}.{args.column}" if args.column else args.table
    unit = "ns/value" if args.column else "ns/row"
    clock = "CPU" if args.threads == 1 else "wall"
    print(f"{what}, {args.rows} rows, {args.threads} thread(s), {clock} {unit}: base {args.base}, new {args.new}")
    ratios = []
    for r in range(args.rounds):
        order = ("base", "new") if r % 2 == 0 else ("new", "base")
        got = {which: run(getattr(args, which), args) for which in order}
        ratios.append(got["new"] / got["base"])
        print(f"  round {r + 1}: base {got['base']:8.0f}  new {got['new']:8.0f}  new/base {ratios[-1]:.3f}")
    print(
        f"new/base: median {statistics.median(ratios):.3f}, "
        f"range {min(ratios):.3f}-{max(ratios):.3f} over {len(ratios)} rounds"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
