"""Masks a table from one SQLite database into another, chunk by chunk.

    python3 examples/mask_sqlite.py SOURCE.db TARGET.db --policy examples/policy.toml \\
        --words words.json [--key-file FILE]

Keys. One master key masks the whole table, taken from $ZORVA_MASTER_KEY (hex)
or from --key-file (a file its owner alone can read), never from the command
line; each masked column gets its own 32-byte subkey = HMAC-SHA-256(master
key, UTF-8 column name), so the same key and policy always give the same
output and no two columns share a subkey.

Fallback rule. The engine leaves a few values to the caller (FALLBACK): text
it declines, such as a non-ASCII e-mail address, or a number it cannot move,
such as a zero balance. This tool finishes them with one simple rule: a str
becomes "fb_" + the first 16 hex characters of HMAC-SHA-256(column subkey,
UTF-8 text); any other value becomes NULL.

Refusals. A value the engine refuses (a bool in a "key" column, say) stops the
job with an error and exit status 1. As in the masking tool itself, the first
refusal is taken column by column, each column in row order. The chunk it is
in is rolled back; chunks written before it stay.

Overlap. While the engine masks chunk N with the interpreter lock released,
a reader thread reads chunk N+1 and a writer thread writes chunk N-1, each
chunk in one transaction (run_chunks). The output does not depend on it:
--serial reads, masks and writes one after the other, with the same result.

Target types come from the masked chunk (zorva_rs.columnKinds): INTEGER,
REAL, NUMERIC (ints and floats mixed), TEXT, and "DECIMAL TEXT" for Decimals
(TEXT affinity keeps them exact). Ints beyond 64 bits are stored as TEXT.
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path

import zorva_rs

# The demo key, for those that import it from here (bench/arrow_bench.py).
from demo_key import DEMO_KEY  # noqa: F401

# The policy, the keys, the fallback rule, the stages, the command line and the
# result are the columnar job's; the names the demo, the tests and the benchmarks
# import from here stay importable from here.
from zorva_job.cli import JobResult, report_sample, run_command, shorten  # noqa: F401
from zorva_job.cli import add_job_arguments as _add_job_arguments
from zorva_job.pipeline import run_stages
from zorva_job.policy import (  # noqa: F401
    FAKE_STRATEGIES,
    KEY_DERIVATION,
    WORD_OPTIONS,
    Policy,
    PolicyError,
    RefusedValue,
    build_maskers,
    derive_subkey,
    fallback_text,
    load_words,
)


@dataclass
class ChunkMasker:
    """Masks chunks of one table's rows with one Masker per masked column."""

    names: list[str]
    maskers: list  # zorva_rs.Masker or None, one per column
    subkeys: list
    fallbacks: int = 0
    engine_seconds: float = field(default=0.0)

    @classmethod
    def build(cls, policy: Policy, names: list[str], master: bytes, words: dict | None) -> ChunkMasker:
        maskers, subkeys = build_maskers(policy, names, master, words, zorva_rs.Masker)
        return cls(names, maskers, subkeys)

    def mask(self, rows: list[tuple], first_row: int = 0) -> list[tuple]:
        """Masks one chunk; `first_row` is its offset, for error messages."""
        start = time.perf_counter()
        masked, problems = zorva_rs.maskChunk(self.maskers, rows)
        self.engine_seconds += time.perf_counter() - start
        if not problems:
            return masked
        refused = [(c, r, m[1]) for c, r, m in problems if m != zorva_rs.FALLBACK]
        if refused:
            # Column by column, each column in row order: the refusal the
            # masking tool would meet first.
            c, r, message = min(refused)
            raise RefusedValue(f"column {self.names[c]!r}, row {first_row + r}: {message}")
        patched = {}
        for c, r, _ in problems:
            row = patched.setdefault(r, list(masked[r]))
            row[c] = self.finish(c, rows[r][c])
        for r, row in patched.items():
            masked[r] = tuple(row)
        self.fallbacks += len(problems)
        return masked

    def finish(self, column: int, value):
        """The fallback rule: a keyed hash text for a str, NULL for the rest."""
        return fallback_text(self.subkeys[column], value) if isinstance(value, str) else None


def declared_type(kinds: list[type], fits: bool, source: str) -> str:
    """The target column's type for the kinds that columnKinds found."""
    present = {k for k in kinds if k is not type(None)}
    if not present:
        return source or "TEXT"
    if present == {Decimal}:
        return "DECIMAL TEXT"
    if not fits and int in present:
        return "TEXT"
    if present <= {int, bool}:
        return "INTEGER"
    if present == {float}:
        return "REAL"
    if present <= {int, bool, float}:
        return "NUMERIC"
    if present == {bytes}:
        return "BLOB"
    return "TEXT"


def bindable(rows: list[tuple], kinds, fits) -> list[tuple]:
    """Rows sqlite3 can bind: ints beyond 64 bits become text (Decimals: see connect)."""
    convert = [j for j, ok in enumerate(fits) if not ok]
    if not convert:
        return rows
    out = []
    for row in rows:
        row = list(row)
        for j in convert:
            v = row[j]
            if isinstance(v, (Decimal, int)) and not isinstance(v, bool):
                row[j] = str(v)
        out.append(tuple(row))
    return out


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _decimal(raw: bytes):
    text = raw.decode()
    try:
        return Decimal(text)
    except ArithmeticError:
        return text  # not a number: the strategy declines it like any text


def connect(path: str | Path) -> sqlite3.Connection:
    # Columns declared DECIMAL come back as Decimal, so the number strategy
    # sees exact values, not floats.
    sqlite3.register_converter("DECIMAL", _decimal)
    sqlite3.register_converter("BOOLEAN", lambda b: b.strip().lower() not in (b"0", b"false", b""))
    # sqlite3's own date converters would turn carried-through text into
    # datetimes (and are deprecated): keep such columns as they are stored.
    sqlite3.register_converter("DATE", bytes.decode)
    sqlite3.register_converter("TIMESTAMP", bytes.decode)
    # A Decimal is bound as its exact text, by sqlite3 as it binds the row:
    # cheaper for the writer than copying every row to convert it.
    sqlite3.register_adapter(Decimal, str)
    # The reader and the writer threads use connections opened here, one
    # thread at a time.
    conn = sqlite3.connect(path, detect_types=sqlite3.PARSE_DECLTYPES, check_same_thread=False)
    conn.isolation_level = None  # explicit BEGIN / COMMIT / ROLLBACK below
    return conn


def masking_threads(overlap: bool = True) -> int:
    """The default number of masking threads: every core, less one for the
    reader and writer when they run beside the masking. Both hold the
    interpreter lock for their work, so together they use one core at most;
    with every core masking, they would wait for a core and the masking for
    them."""
    return max(1, zorva_rs.availableCores() - (1 if overlap else 0))


def run_chunks(
    chunks: Iterator[list[tuple]],
    masker: ChunkMasker,
    write: Callable[[list[tuple], int], None],
    *,
    overlap: bool = True,
    sample: int = 3,
    written: Callable[[int], object] = lambda n: None,
) -> tuple[int, list[tuple], list[tuple]]:
    """Reads, masks and writes chunk after chunk; returns (rows written, before, after).

    `chunks` yields the source rows chunk by chunk; `write(masked, first_row)`
    stores one masked chunk in one transaction, or rolls it back and raises;
    `written(rows)` follows every stored chunk (the progress bar).

    With `overlap`, a reader thread drains `chunks` and a writer thread calls
    `write` while the engine masks on this thread with the interpreter lock
    released: chunk N+1 is read and chunk N-1 written while chunk N is masked.
    Queues of two chunks between the stages bound the memory to a few chunks.
    Chunks keep their order, so the output is the same with or without overlap.

    A refused value lets the writer finish the chunks before it, then raises:
    its own chunk is never written. Any other error stops every stage at its
    next chunk and is raised as it was; the chunk being written rolls back.
    """
    before: list[tuple] = []
    after: list[tuple] = []
    done = 0

    def mask(rows: list[tuple]) -> tuple[list[tuple], int]:
        nonlocal done
        try:
            masked = masker.mask(rows, done)
        except RefusedValue as e:
            raise RefusedValue(f"{e} (the {done:,} rows before this chunk are written)") from None
        if len(before) < sample:
            before.extend(rows[: sample - len(before)])
            after.extend(masked[: sample - len(after)])
        done += len(rows)
        return masked, done - len(rows)

    def store(item: tuple[list[tuple], int]) -> int:
        write(*item)
        return len(item[0])

    run_stages(iter(chunks), mask, store, overlap=overlap, written=written)
    return done, before, after


def mask_table(
    source: str | Path,
    target: str | Path,
    policy: Policy,
    master: bytes,
    words: dict | None = None,
    chunk_size: int = 10_000,
    replace: bool = False,
    progress: bool | None = None,
    sample: int = 3,
    table: str | None = None,
    overlap: bool = True,
) -> JobResult:
    table = table or policy.table
    if not Path(source).is_file():
        raise PolicyError(f"no database {source}")
    src = connect(source)
    dst = None
    try:
        info = src.execute(f"PRAGMA table_info({quote(table)})").fetchall()
        if not info:
            raise PolicyError(f"no table {table!r} in {source}")
        names = [row[1] for row in info]
        source_types = [row[2] for row in info]
        # Every Masker is built before the target is touched: a bad policy
        # leaves no trace there.
        masker = ChunkMasker.build(policy, names, master, words)
        dst = connect(target)
        exists = dst.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (table,)).fetchone()
        if exists and not replace:
            raise PolicyError(f"table {table!r} already exists in {target} (use --replace)")
        total = src.execute(f"SELECT COUNT(*) FROM {quote(table)}").fetchone()[0]
        insert = f"INSERT INTO {quote(table)} ({', '.join(map(quote, names))}) VALUES ({', '.join('?' for _ in names)})"
        types: list[str] = []

        def read():
            cursor = src.execute(f"SELECT {', '.join(map(quote, names))} FROM {quote(table)}")
            while rows := cursor.fetchmany(chunk_size):
                yield rows

        def write(masked: list[tuple], first_row: int) -> None:
            # maskChunk answers a list of equal-width tuples, which
            # columnKinds always surveys.
            kinds = zorva_rs.columnKinds(masked)
            dst.execute("BEGIN")
            try:
                if not types:
                    types.extend(declared_type(k, ok, s) for k, ok, s in zip(*kinds, source_types))
                    if exists:
                        dst.execute(f"DROP TABLE {quote(table)}")
                    columns = ", ".join(f"{quote(n)} {t}" for n, t in zip(names, types))
                    dst.execute(f"CREATE TABLE {quote(table)} ({columns})")
                dst.executemany(insert, bindable(masked, *kinds))
                dst.execute("COMMIT")
            except BaseException:
                dst.execute("ROLLBACK")
                raise

        done, before, after, seconds = run_timed(
            read(), masker, write, total, table, progress, overlap=overlap, sample=sample
        )
    finally:
        src.close()
        if dst is not None:
            dst.close()
    return JobResult(done, seconds, masker.engine_seconds, masker.fallbacks, names, types, before, after)


def run_timed(
    chunks: Iterator[list[tuple]],
    masker: ChunkMasker,
    write,
    total: int,
    table: str,
    progress: bool | None,
    *,
    overlap: bool,
    sample: int,
):
    """run_chunks under the progress bar; also returns the seconds it took."""
    start = time.perf_counter()
    with progress_bar(total, table, progress) as bar:
        done, before, after = run_chunks(chunks, masker, write, overlap=overlap, sample=sample, written=bar.update)
    return done, before, after, time.perf_counter() - start


def progress_bar(total: int, table: str, show: bool | None):
    """The rows masked and written so far, and their rate; `show` None: on a terminal only."""
    from tqdm import tqdm

    return tqdm(
        total=total, unit="rows", unit_scale=True, desc=f"masking {table}", disable=None if show is None else not show
    )


def report(result: JobResult, out=None) -> None:
    out = out or sys.stdout  # the stdout of the moment, not of the import
    report_sample(result, out)
    engine = result.rows / result.engine_seconds if result.engine_seconds else float("inf")
    print(
        f"masked {result.rows:,} rows in {result.seconds:.2f} s: "
        f"{result.rows_per_second:,.0f} rows/s end to end (read, mask, write), "
        f"{engine:,.0f} rows/s in maskChunk; {result.fallbacks} fallback value(s) "
        f"finished in Python; {zorva_rs.threads()} masking thread(s)",
        file=out,
    )


EPILOG = (
    "Each masked column's 32-byte subkey is HMAC-SHA-256(master key, column name). "
    "Fallback values are finished in Python: a str becomes 'fb_' + 16 hex of "
    "HMAC-SHA-256(subkey, text), anything else NULL. A refused value stops the job "
    "(exit 1); the chunk it is in is rolled back."
)


def add_job_arguments(parser: argparse.ArgumentParser) -> None:
    """The options every job of this kind takes, whatever it reads and writes."""
    _add_job_arguments(
        parser,
        engine_call="maskChunk",
        replace_help="replace the table in the target",
        threads_help="masking threads (default: the available cores less one for the reader and writer, at least one)",
    )


def run_cli(
    prog: str,
    parser: argparse.ArgumentParser,
    argv: list[str] | None,
    job,
    db_errors: tuple[type[Exception], ...],
    db_name: str,
) -> int:
    """Parses the arguments and runs `job(args, policy, master key, words)`: exit 0, 1 or 2."""
    args = parser.parse_args(argv)
    if args.chunk_size < 1:
        parser.error("--chunk-size must be at least 1")
    args.progress = False if args.no_progress else None

    def run(policy: Policy, master: bytes, words: dict | None) -> JobResult:
        zorva_rs.setThreads(max(1, args.threads or masking_threads(not args.serial)))
        return job(args, policy, master, words)

    return run_command(prog, args, run, report, db_errors, lambda e: f"{db_name} error: {e}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Mask a table from one SQLite database into another, chunk by chunk.", epilog=EPILOG
    )
    parser.add_argument("source", help="SQLite database to read")
    parser.add_argument("target", help="SQLite database to write (created if missing)")
    add_job_arguments(parser)
    return run_cli(
        "mask_sqlite",
        parser,
        argv,
        lambda args, policy, master, words: mask_table(
            args.source,
            args.target,
            policy,
            master,
            words,
            args.chunk_size,
            args.replace,
            args.progress,
            args.sample,
            args.table,
            overlap=not args.serial,
        ),
        (sqlite3.Error,),
        "sqlite",
    )


if __name__ == "__main__":
    sys.exit(main())
