"""The command line, the result and the report's sample that every job shares, the row
job's (mask_sqlite.py, mask_postgres.py) too: nothing here needs pyarrow."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TextIO, TypeVar

from .masterkey import KEY_ENV, master_key
from .pipeline import StageTimes
from .policy import Options, Policy, PolicyError, RefusedValue, load_words

Row = tuple[object, ...]
Result = TypeVar("Result")


@dataclass
class JobResult:
    rows: int
    seconds: float
    engine_seconds: float
    fallbacks: int
    columns: list[str]
    types: list[str]
    before: list[Row] = field(default_factory=list)
    after: list[Row] = field(default_factory=list)
    times: StageTimes = field(default_factory=StageTimes)

    @property
    def rows_per_second(self) -> float:
        return self.rows / self.seconds if self.seconds else float("inf")


def add_job_arguments(
    parser: argparse.ArgumentParser, *, engine_call: str, threads_help: str, replace_help: str
) -> None:
    """The options every job takes, whatever it reads and writes; the help of three of
    them names what differs between the doors."""
    parser.add_argument("--policy", required=True, help="masking policy (TOML)")
    parser.add_argument("--words", help="JSON word lists for the fake strategies")
    add_key_arguments(parser)
    parser.add_argument("--table", help="table to mask (default: the policy's)")
    parser.add_argument(
        "--chunk-size", type=int, default=10_000, help=f"rows per chunk: one {engine_call} call and one transaction"
    )
    parser.add_argument("--threads", type=int, help=threads_help)
    parser.add_argument("--replace", action="store_true", help=replace_help)
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.add_argument("--sample", type=int, default=3, help="rows shown before/after")
    parser.add_argument(
        "--serial", action="store_true", help="read, mask and write one after the other, not side by side"
    )


def add_key_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--key-file", help=f"file holding the master key in hex, readable by its owner only (else ${KEY_ENV})"
    )
    # Taken only to be refused by name: a key given here is in the process list already.
    parser.add_argument("--key", nargs="?", const="", help="refused: the key never goes on the command line")


def take_key(args: argparse.Namespace) -> bytes:
    if getattr(args, "key", None) is not None:
        raise PolicyError(
            f"--key is refused: a key on the command line shows in the process list; set ${KEY_ENV} "
            "or pass --key-file (and consider that key known)"
        )
    return master_key(args.key_file)


def run_command(
    prog: str,
    args: argparse.Namespace,
    job: Callable[[Policy, bytes, Options | None], Result],
    report: Callable[[Result], None],
    db_errors: tuple[type[Exception], ...],
    db_error: Callable[[Exception], str],
) -> int:
    """Runs `job(policy, master key, words)` as `args` name them and reports its result:
    exit 0; 2 for what cannot be masked as asked; 1 for a refusal or a database error."""
    try:
        master = take_key(args)
        policy = Policy.load(args.policy)
        words = load_words(args.words)
        result = job(policy, master, words)
    except (PolicyError, RefusedValue) as e:
        return failed(prog, e)
    except db_errors as e:
        print(f"{prog}: {db_error(e)}", file=sys.stderr)
        return 1
    report(result)
    return 0


def failed(prog: str, e: PolicyError | RefusedValue) -> int:
    """Says why a job stopped and answers its exit code: 2 for what cannot be masked as
    asked (nothing written), 1 for a refused value."""
    if isinstance(e, PolicyError):
        print(f"{prog}: error: {e}", file=sys.stderr)
        return 2
    print(f"{prog}: refused: {e}", file=sys.stderr)
    return 1


def shorten(value: object, width: int = 30) -> str:
    text = "NULL" if value is None else str(value)
    return text if len(text) <= width else text[: width - 1] + "…"


def report_sample(result: JobResult, out: TextIO) -> None:
    """The sample rows before and after masking, and the target's column types."""
    width = max(map(len, result.columns))
    for i, (b, a) in enumerate(zip(result.before, result.after, strict=True)):
        print(f"row {i + 1}: before -> after", file=out)
        for name, x, y in zip(result.columns, b, a, strict=True):
            mark = " " if x == y else "*"
            print(f" {mark} {name:<{width}}  {shorten(x):<30}  {shorten(y)}", file=out)
    # No types when no chunk was written (an empty table).
    typed = zip(result.columns, result.types, strict=False)
    print("target types: " + ", ".join(f"{n} {t}" for n, t in typed), file=out)
