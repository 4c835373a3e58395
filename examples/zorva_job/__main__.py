"""python -m zorva_job sqlite|postgres ...: the columnar job, or with --door row the row job."""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Callable

import adbc_driver_manager
import zorva_arrow

from . import postgres, sqlite
from .cli import JobResult, add_job_arguments, run_command
from .job import masking_threads, report
from .policy import Options, Policy

EPILOG = (
    "Each masked column's 32-byte subkey is HMAC-SHA-256(master key, column name). "
    "Fallback values are finished in Python: a text becomes 'fb_' + 16 hex of "
    "HMAC-SHA-256(subkey, text), anything else NULL. A refused value stops the job "
    "(exit 1); the chunk it is in is rolled back."
)
Job = Callable[[argparse.Namespace, Policy, bytes, Options | None], JobResult]


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="python -m zorva_job",
        description=(
            "Mask a table chunk by chunk through the columnar door: ADBC reads Arrow batches, "
            "zorva_arrow masks them, ADBC bulk ingest writes them."
        ),
        epilog=EPILOG,
    )
    backends = top.add_subparsers(dest="backend", required=True)
    lite = backends.add_parser("sqlite", help="from one SQLite file into another")
    lite.add_argument("source", help="SQLite database to read")
    lite.add_argument("target", help="SQLite database to write (created if missing)")
    pg = backends.add_parser("postgres", help="from one PostgreSQL database into another")
    pg.add_argument(
        "--source",
        default="",
        help="source database: a postgresql:// URL or "
        "libpq key=value pairs (default: libpq's PG* environment variables)",
    )
    pg.add_argument("--target", help="target database, the same way (default: the source)")
    pg.add_argument("--target-table", help="table to create in the target (default: the source table's name)")
    for sub in (lite, pg):
        add_job_arguments(
            sub,
            engine_call="maskBatch",
            replace_help="replace the target table",
            threads_help="masking threads (default: every core but one, for the reader and the writer)",
        )
        sub.add_argument(
            "--copy-only", action="store_true", help="copy the table with the same reader and writer, unmasked"
        )
        sub.add_argument(
            "--door",
            choices=("columnar", "row"),
            default="columnar",
            help="row: the row-door job (mask_sqlite.py, mask_postgres.py)",
        )
    return top


def run(args: argparse.Namespace, policy: Policy, master: bytes, words: Options | None) -> JobResult:
    progress = False if args.no_progress else None
    overlap = not args.serial
    if args.backend == "sqlite":
        return sqlite.mask_table(
            args.source,
            args.target,
            policy,
            master,
            words,
            args.chunk_size,
            args.replace,
            progress,
            args.sample,
            args.table,
            overlap,
            args.copy_only,
        )
    return postgres.mask_table(
        args.source,
        args.target,
        policy,
        master,
        words,
        args.chunk_size,
        args.replace,
        progress,
        args.sample,
        args.table,
        args.target_table,
        overlap,
        args.copy_only,
    )


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = parser().parse_args(argv)
    if args.door == "row" and args.copy_only:
        parser().error("--copy-only copies through the columnar door only")
    if args.door == "row":
        # The row job takes the same arguments, less the backend, the door and --copy-only.
        row = importlib.import_module(f"mask_{args.backend}")
        rest = list(argv[1:])
        if "--door=row" in rest:
            rest.remove("--door=row")
        elif "--door" in rest:
            at = rest.index("--door")
            del rest[at : at + 2]
        code: int = row.main(rest)
        return code
    if args.chunk_size < 1:
        parser().error("--chunk-size must be at least 1")

    def job(policy: Policy, master: bytes, words: Options | None) -> JobResult:
        zorva_arrow.setThreads(max(1, args.threads or masking_threads()))
        return run(args, policy, master, words)

    return run_command(
        f"zorva_job {args.backend}",
        args,
        job,
        report,
        (adbc_driver_manager.Error,),
        lambda e: f"{args.backend} error: {str(e).strip()}",
    )


if __name__ == "__main__":
    sys.exit(main())
