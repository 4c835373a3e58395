"""Masks a table from one SQLite database into another, chunk by chunk.

    python3 examples/mask_sqlite.py SOURCE.db TARGET.db --policy examples/policy.toml \\
        --words words.json [--key HEX]

Keys. One master key (--key, hex) masks the whole table; each masked column
gets its own 32-byte subkey = HMAC-SHA-256(master key, UTF-8 column name), so
the same key and policy always give the same output and no two columns share
a subkey. Without --key a fixed, public demo key is used: fine for the sample,
useless for real data.

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
import hashlib
import hmac
import json
import queue
import sqlite3
import sys
import threading
import time
import tomllib
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path

import zorva_rs

DEMO_KEY = bytes.fromhex("5a6f72766120646f206e6f7420757365207468697320666f72207265616c2121")
KEY_DERIVATION = "hmac-sha256(master key, column name)"
FAKE_STRATEGIES = {
    "fakeFirstName", "fakeLastName", "fakeName", "fakeCity", "fakeCompany", "fakeStreetAddress",
}
WORD_OPTIONS = (
    "firstNames", "lastNames", "cities", "streets", "streetKinds", "address",
    "companySuffixes", "companyWords",
)


class PolicyError(Exception):
    """The policy, the word lists or the key cannot mask this table."""


class RefusedValue(Exception):
    """The engine refused a value; the job stops here."""


@dataclass
class Policy:
    table: str
    columns: dict[str, tuple[str, dict]]  # column -> (strategy, options)

    @classmethod
    def load(cls, path: str | Path) -> "Policy":
        try:
            with open(path, "rb") as f:
                doc = tomllib.load(f)
        except (OSError, tomllib.TOMLDecodeError) as e:
            raise PolicyError(f"cannot read policy {path}: {e}") from e
        derivation = doc.get("key_derivation", KEY_DERIVATION)
        if derivation != KEY_DERIVATION:
            raise PolicyError(f"unsupported key_derivation {derivation!r}; only {KEY_DERIVATION!r}")
        table = doc.get("table")
        if not isinstance(table, str) or not table:
            raise PolicyError("the policy needs a table name (table = \"...\")")
        columns = {}
        for name, entry in doc.get("columns", {}).items():
            if not isinstance(entry, dict) or not isinstance(entry.get("strategy"), str):
                raise PolicyError(f"column {name!r}: needs strategy = \"...\"")
            options = entry.get("options", {})
            if not isinstance(options, dict):
                raise PolicyError(f"column {name!r}: options must be a table")
            columns[name] = (entry["strategy"], options)
        return cls(table, columns)


def derive_subkey(master: bytes, column: str) -> bytes:
    return hmac.new(master, column.encode("utf-8"), hashlib.sha256).digest()


def load_words(path: str | Path | None) -> dict | None:
    if path is None:
        return None
    try:
        words = json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise PolicyError(f"cannot read word lists {path}: {e}") from e
    return {k: words[k] for k in WORD_OPTIONS if k in words}


@dataclass
class ChunkMasker:
    """Masks chunks of one table's rows with one Masker per masked column."""

    names: list[str]
    maskers: list  # zorva_rs.Masker or None, one per column
    subkeys: list
    fallbacks: int = 0
    engine_seconds: float = field(default=0.0)

    @classmethod
    def build(cls, policy: Policy, names: list[str], master: bytes,
              words: dict | None) -> "ChunkMasker":
        unknown = sorted(set(policy.columns) - set(names))
        if unknown:
            raise PolicyError(f"policy columns not in table {policy.table!r}: {', '.join(unknown)}")
        maskers, subkeys = [], []
        for name in names:
            if name not in policy.columns:
                maskers.append(None)
                subkeys.append(None)
                continue
            strategy, options = policy.columns[name]
            if strategy in FAKE_STRATEGIES:
                if words is None:
                    raise PolicyError(f"column {name!r}: {strategy} needs word lists (--words)")
                options = {**words, **options}
            subkey = derive_subkey(master, name)
            try:
                maskers.append(zorva_rs.Masker(subkey, strategy, options))
            except (TypeError, ValueError, OverflowError) as e:
                raise PolicyError(f"column {name!r} ({strategy}): {e}") from e
            subkeys.append(subkey)
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
        if isinstance(value, str):
            digest = hmac.new(self.subkeys[column], value.encode("utf-8"), hashlib.sha256)
            return "fb_" + digest.hexdigest()[:16]
        return None


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


@dataclass
class JobResult:
    rows: int
    seconds: float
    engine_seconds: float
    fallbacks: int
    columns: list[str]
    types: list[str]
    before: list[tuple]
    after: list[tuple]

    @property
    def rows_per_second(self) -> float:
        return self.rows / self.seconds if self.seconds else float("inf")


class _Stopped(Exception):
    """Another stage of the job failed: this one leaves quietly."""


_END = object()  # no more chunks


def _put(q: queue.Queue, item, stop: threading.Event) -> None:
    while not stop.is_set():
        try:
            return q.put(item, timeout=0.05)
        except queue.Full:
            pass
    raise _Stopped


def _get(q: queue.Queue, stop: threading.Event):
    while not stop.is_set():
        try:
            return q.get(timeout=0.05)
        except queue.Empty:
            pass
    raise _Stopped


def masking_threads(overlap: bool = True) -> int:
    """The default number of masking threads: every core, less one for the
    reader and writer when they run beside the masking. Both hold the
    interpreter lock for their work, so together they use one core at most;
    with every core masking, they would wait for a core and the masking for
    them."""
    return max(1, zorva_rs.availableCores() - (1 if overlap else 0))


def run_chunks(chunks: Iterator[list[tuple]], masker: ChunkMasker,
               write: Callable[[list[tuple], int], None], *, overlap: bool = True,
               sample: int = 3, written: Callable[[int], object] = lambda n: None,
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

    close = getattr(chunks, "close", lambda: None)  # ends the source's cursor
    if not overlap:
        try:
            for rows in chunks:
                write(*mask(rows))
                written(len(rows))
        finally:
            close()
        return done, before, after

    failed = threading.Event()   # every stage stops
    no_more = threading.Event()  # the reader stops; the writer drains its queue
    errors: list[BaseException] = []
    to_mask: queue.Queue = queue.Queue(maxsize=2)
    to_write: queue.Queue = queue.Queue(maxsize=2)

    def fail(e: BaseException) -> None:
        errors.append(e)
        failed.set()
        no_more.set()

    def read() -> None:
        try:
            for rows in chunks:
                _put(to_mask, rows, no_more)
            _put(to_mask, _END, no_more)
        except _Stopped:
            pass
        except BaseException as e:
            fail(e)
        finally:
            close()  # on the thread that used it

    def store() -> None:
        try:
            while (item := _get(to_write, failed)) is not _END:
                write(*item)
                written(len(item[0]))
        except _Stopped:
            pass
        except BaseException as e:
            fail(e)

    threads = [threading.Thread(target=read, name="zorva-read", daemon=True),
               threading.Thread(target=store, name="zorva-write", daemon=True)]
    for t in threads:
        t.start()
    refusal = None
    try:
        try:
            while (rows := _get(to_mask, failed)) is not _END:
                _put(to_write, mask(rows), failed)
        except RefusedValue as e:
            refusal = e
            no_more.set()
        _put(to_write, _END, failed)  # the writer finishes what it was given
    except _Stopped:
        pass
    except BaseException:
        failed.set()
        no_more.set()
        raise
    finally:
        no_more.set()
        for t in threads:
            t.join()
    if errors:
        raise errors[0]
    if refusal is not None:
        raise refusal
    return done, before, after


def mask_table(source: str | Path, target: str | Path, policy: Policy, master: bytes,
               words: dict | None = None, chunk_size: int = 10_000, replace: bool = False,
               progress: bool | None = None, sample: int = 3, table: str | None = None,
               overlap: bool = True) -> JobResult:
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
        exists = dst.execute(
            "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (table,)
        ).fetchone()
        if exists and not replace:
            raise PolicyError(f"table {table!r} already exists in {target} (use --replace)")
        total = src.execute(f"SELECT COUNT(*) FROM {quote(table)}").fetchone()[0]
        insert = (f"INSERT INTO {quote(table)} ({', '.join(map(quote, names))}) "
                  f"VALUES ({', '.join('?' for _ in names)})")
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

        done, before, after, seconds = run_timed(read(), masker, write, total, table, progress,
                                                 overlap=overlap, sample=sample)
    finally:
        src.close()
        if dst is not None:
            dst.close()
    return JobResult(done, seconds, masker.engine_seconds, masker.fallbacks, names, types,
                     before, after)


def run_timed(chunks: Iterator[list[tuple]], masker: ChunkMasker, write, total: int, table: str,
              progress: bool | None, *, overlap: bool, sample: int):
    """run_chunks under the progress bar; also returns the seconds it took."""
    start = time.perf_counter()
    with progress_bar(total, table, progress) as bar:
        done, before, after = run_chunks(chunks, masker, write, overlap=overlap, sample=sample,
                                         written=bar.update)
    return done, before, after, time.perf_counter() - start


def progress_bar(total: int, table: str, show: bool | None):
    """The rows masked and written so far, and their rate; `show` None: on a terminal only."""
    from tqdm import tqdm

    return tqdm(total=total, unit="rows", unit_scale=True, desc=f"masking {table}",
                disable=None if show is None else not show)


def shorten(value, width: int = 30) -> str:
    text = "NULL" if value is None else str(value)
    return text if len(text) <= width else text[: width - 1] + "…"


def report(result: JobResult, out=sys.stdout) -> None:
    width = max(map(len, result.columns))
    for i, (b, a) in enumerate(zip(result.before, result.after)):
        print(f"row {i + 1}: before -> after", file=out)
        for name, x, y in zip(result.columns, b, a):
            mark = " " if x == y else "*"
            print(f" {mark} {name:<{width}}  {shorten(x):<30}  {shorten(y)}", file=out)
    print("target types: " + ", ".join(f"{n} {t}" for n, t in zip(result.columns, result.types)),
          file=out)
    engine = result.rows / result.engine_seconds if result.engine_seconds else float("inf")
    print(f"masked {result.rows:,} rows in {result.seconds:.2f} s: "
          f"{result.rows_per_second:,.0f} rows/s end to end (read, mask, write), "
          f"{engine:,.0f} rows/s in maskChunk; {result.fallbacks} fallback value(s) "
          f"finished in Python; {zorva_rs.threads()} masking thread(s)", file=out)


def parse_key(text: str | None) -> bytes:
    if text is None:
        return DEMO_KEY
    try:
        key = bytes.fromhex(text)
    except ValueError as e:
        raise PolicyError(f"--key is not hex: {e}") from e
    if len(key) < 16:
        raise PolicyError("--key needs at least 16 bytes (32 hex digits)")
    return key


EPILOG = ("Each masked column's 32-byte subkey is HMAC-SHA-256(master key, column name). "
          "Fallback values are finished in Python: a str becomes 'fb_' + 16 hex of "
          "HMAC-SHA-256(subkey, text), anything else NULL. A refused value stops the job "
          "(exit 1); the chunk it is in is rolled back.")


def add_job_arguments(parser: argparse.ArgumentParser) -> None:
    """The options every job of this kind takes, whatever it reads and writes."""
    parser.add_argument("--policy", required=True, help="masking policy (TOML)")
    parser.add_argument("--words", help="JSON word lists for the fake strategies")
    parser.add_argument("--key", help="master key in hex, at least 16 bytes "
                        "(default: a fixed public demo key)")
    parser.add_argument("--table", help="table to mask (default: the policy's)")
    parser.add_argument("--chunk-size", type=int, default=10_000,
                        help="rows per chunk: one maskChunk call and one transaction")
    parser.add_argument("--threads", type=int, help="masking threads (default: the available "
                        "cores less one for the reader and writer, at least one)")
    parser.add_argument("--replace", action="store_true", help="replace the table in the target")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.add_argument("--sample", type=int, default=3, help="rows shown before/after")
    parser.add_argument("--serial", action="store_true",
                        help="read, mask and write one after the other, not side by side")


def run_cli(prog: str, parser: argparse.ArgumentParser, argv: list[str] | None, job,
            db_errors: tuple[type[Exception], ...], db_name: str) -> int:
    """Parses the arguments and runs `job(args, policy, master key, words)`: exit 0, 1 or 2."""
    args = parser.parse_args(argv)
    if args.chunk_size < 1:
        parser.error("--chunk-size must be at least 1")
    args.progress = False if args.no_progress else None
    try:
        master = parse_key(args.key)
        if args.key is None:
            print("note: using the public demo key; pass --key for real data", file=sys.stderr)
        policy = Policy.load(args.policy)
        words = load_words(args.words)
        zorva_rs.setThreads(max(1, args.threads or masking_threads(not args.serial)))
        result = job(args, policy, master, words)
    except PolicyError as e:
        print(f"{prog}: error: {e}", file=sys.stderr)
        return 2
    except RefusedValue as e:
        print(f"{prog}: refused: {e}", file=sys.stderr)
        return 1
    except db_errors as e:
        print(f"{prog}: {db_name} error: {e}", file=sys.stderr)
        return 1
    report(result)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Mask a table from one SQLite database into another, chunk by chunk.",
        epilog=EPILOG)
    parser.add_argument("source", help="SQLite database to read")
    parser.add_argument("target", help="SQLite database to write (created if missing)")
    add_job_arguments(parser)
    return run_cli("mask_sqlite", parser, argv, lambda args, policy, master, words: mask_table(
        args.source, args.target, policy, master, words, args.chunk_size, args.replace,
        args.progress, args.sample, args.table, overlap=not args.serial),
        (sqlite3.Error,), "sqlite")


if __name__ == "__main__":
    sys.exit(main())
