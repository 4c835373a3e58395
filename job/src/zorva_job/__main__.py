"""zorva-job: mask a whole SQLite or PostgreSQL database by a policy, or check a policy
against a database without writing anything.

    zorva-job sqlite SOURCE.db TARGET.db --policy POLICY.toml [--key-file FILE]
    zorva-job postgres --source URL --target URL [--target-schema NAME] --policy POLICY.toml
    zorva-job check sqlite SOURCE.db --policy POLICY.toml
    zorva-job check postgres --source URL --policy POLICY.toml

Exit codes: 0 done; 2 the policy, the key or the arguments do not allow the job
(nothing written); 1 a value or the target refused, or a database error (the
target left partial, for --resume).
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NoReturn

import adbc_driver_manager
import zorva_arrow

from .backend import Source, Target
from .cli import add_key_arguments, failed, take_key
from .database import DatabaseResult, build_maskers, run_database
from .dbpolicy import DatabasePolicy
from .job import masking_threads
from .plan import Plan, TablePlan, make_plan
from .policy import Options, PolicyError, RefusedValue, load_words
from .report import check_report, job_report
from .target_state import fingerprint

PROG = "zorva-job"
EPILOG = (
    "Each masked column's 32-byte subkey is HMAC-SHA-256(master key, key domain); a column's domain "
    "is its own name unless the policy names one, and a column that references another takes that "
    "column's masking and domain, so joins survive. The master key comes from $ZORVA_MASTER_KEY or "
    "--key-file, never from the command line. Fallback values are finished in Python: a text becomes "
    "'fb_' + 16 hex of HMAC-SHA-256(subkey, text), anything else NULL."
)


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse quotes what it could not parse: that could be a key typed in the wrong place.
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message.split(':')[0]}\n")


def _job_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--policy", required=True, help="the masking policy (TOML)")
    p.add_argument(
        "--words", help="JSON word lists for the fake strategies (default: Faker's, for the policy's locale)"
    )
    p.add_argument("--table", action="append", help="only this table of the policy (repeatable)")


def _run_arguments(p: argparse.ArgumentParser) -> None:
    _job_arguments(p)
    add_key_arguments(p)
    p.add_argument("--chunk-size", type=int, default=10_000, help="rows per chunk: one maskBatch call, one transaction")
    p.add_argument("--threads", type=int, help="masking threads (default: every core but one)")
    p.add_argument("--tables-at-once", type=int, default=2, help="tables read, masked and written side by side")
    p.add_argument("--replace", action="store_true", help="replace an existing target (whole, at the end)")
    p.add_argument("--resume", action="store_true", help="take up the partial target a stopped run left")
    p.add_argument("--no-progress", action="store_true", help="hide the progress display")
    p.add_argument("--serial", action="store_true", help="read, mask and write each table one step at a time")
    p.add_argument(
        "--copy-only", action="store_true", help="copy every table unmasked (measures the reader and writer)"
    )


def _pg_source(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--source",
        default="",
        help="source database: a postgresql:// URL or libpq key=value pairs (default: libpq's PG* variables)",
    )
    p.add_argument("--source-schema", default="public", help="schema to mask (default: public)")


def parser() -> argparse.ArgumentParser:
    top = Parser(prog=PROG, description=__doc__.split("\n\n")[0] if __doc__ else None, epilog=EPILOG)
    commands = top.add_subparsers(dest="command", required=True, parser_class=Parser)
    lite = commands.add_parser("sqlite", help="mask one SQLite file into another")
    lite.add_argument("source", help="SQLite database to read (never written)")
    lite.add_argument("target", help="SQLite database to write, whole or not at all")
    _run_arguments(lite)
    pg = commands.add_parser("postgres", help="mask one PostgreSQL schema into another")
    _pg_source(pg)
    pg.add_argument("--target", help="target database, the same way (default: the source database)")
    pg.add_argument("--target-schema", help="schema to write (default: the source schema's name)")
    _run_arguments(pg)
    check = commands.add_parser("check", help="check a policy against a database; writes nothing")
    kinds = check.add_subparsers(dest="backend", required=True, parser_class=Parser)
    check_lite = kinds.add_parser("sqlite")
    check_lite.add_argument("source")
    _job_arguments(check_lite)
    check_pg = kinds.add_parser("postgres")
    _pg_source(check_pg)
    _job_arguments(check_pg)
    return top


def _words(args: argparse.Namespace, plan: Plan) -> tuple[Options | None, bytes]:
    """The word lists and what identifies them for --resume."""
    if args.words is not None:
        words = load_words(args.words)
        with open(args.words, "rb") as f:
            return words, f.read()
    if not plan.needs_words:
        return None, b""
    from .words import faker_words

    try:
        return faker_words(plan.locale), plan.locale.encode()
    except ValueError as e:
        raise PolicyError(str(e)) from None


@dataclass
class Backend:
    source: Source
    target_types: Callable[[TablePlan], list[str]]
    target: Callable[[], tuple[Target, str]]  # the target and where it is, for the report


def _backend(args: argparse.Namespace, kind: str) -> Backend:
    if kind == "sqlite":
        from . import sqlite

        lite = sqlite.SqliteSource(args.source)
        return Backend(
            lite,
            lambda t: sqlite.target_types(t, lite),
            lambda: (sqlite.SqliteTarget(args.target, lite, args.replace), str(args.target)),
        )
    from . import postgres

    pg = postgres.PostgresSource(args.source, args.source_schema)

    def target() -> tuple[Target, str]:
        t = postgres.PostgresTarget(args.target, args.target_schema, pg, args.replace)
        return t, f"schema {t.schema}"

    return Backend(pg, lambda t: postgres.target_types(t, pg), target)


def _plan(args: argparse.Namespace, backend: Backend) -> tuple[Plan, DatabasePolicy]:
    policy = DatabasePolicy.load(args.policy)
    db = backend.source.describe()
    if args.table:
        unknown = sorted(set(args.table) - set(policy.tables))
        if unknown:
            raise PolicyError(f"--table names table(s) the policy does not: {', '.join(unknown)}")
    plan = make_plan(policy, db)
    if args.table:
        plan.tables = [t for t in plan.tables if t.name in args.table]
    return plan, policy


def run(args: argparse.Namespace) -> DatabaseResult | str:
    if args.command == "check":
        backend = _backend(args, args.backend)
        plan, _ = _plan(args, backend)
        _words(args, plan)  # a locale or words file that fails, fails here too
        return check_report(plan, backend.target_types)
    key = take_key(args)
    if args.chunk_size < 1:
        raise PolicyError("--chunk-size must be at least 1")
    backend = _backend(args, args.command)
    plan, policy = _plan(args, backend)
    words, words_id = _words(args, plan)
    target, where = backend.target()
    maskers = build_maskers(plan, backend.source, target, key, words)
    job_id = fingerprint(
        key,
        args.command,
        policy.text,  # the file as the plan was made from it
        words_id,
        backend.source.identity(),
        ",".join(t.name for t in plan.tables),
        str(args.chunk_size),
        str(args.copy_only),
    )
    zorva_arrow.setThreads(max(1, args.threads or masking_threads()))
    result = run_database(
        plan,
        backend.source,
        target,
        maskers,
        job_id,
        chunk_size=args.chunk_size,
        resume=args.resume,
        tables_at_once=max(1, args.tables_at_once),
        overlap=not args.serial,
        copy_only=args.copy_only,
        progress=False if args.no_progress else None,
    )
    result.target = where
    return result


def _db_message(e: Exception) -> str:
    """A driver's message without the lines that quote rows (PostgreSQL's DETAIL and CONTEXT)."""
    text = str(e).strip()
    for marker in ("DETAIL:", "CONTEXT:", "\n"):
        text = text.split(marker, 1)[0]
    return text.strip()


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        outcome = run(args)
    except (PolicyError, RefusedValue) as e:
        return failed(PROG, e)
    except adbc_driver_manager.Error as e:
        print(f"{PROG}: database error: {_db_message(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: stopped; --resume takes up where it stopped", file=sys.stderr)
        return 130
    except Exception as e:
        # A message could quote a value of the source: without ZORVA_JOB_DEBUG, only where it happened.
        if os.environ.get("ZORVA_JOB_DEBUG"):
            raise
        print(f"{PROG}: internal error {type(e).__name__} (ZORVA_JOB_DEBUG=1 shows its message)", file=sys.stderr)
        print("".join(traceback.format_tb(e.__traceback__)), file=sys.stderr, end="")
        return 1
    if isinstance(outcome, str):
        print(outcome)
    else:
        job_report(outcome, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
