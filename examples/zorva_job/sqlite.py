"""The columnar job on SQLite: ADBC reads Arrow batches, ADBC bulk ingest writes them.

Types. The driver types each column from its values; the source's declared
types then say what the row job's sqlite3 converters would have made of
them: BOOLEAN columns become bools, DECIMAL columns decimal texts (masked as
Decimals, stored as their text). Target types follow the masked chunk as in
the row job: INTEGER, REAL, TEXT, BLOB, "DECIMAL TEXT" for decimals, TEXT for
an int column whose masked values outgrow 64 bits (stored as their text).
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from contextlib import closing
from pathlib import Path

import adbc_driver_sqlite.dbapi as adbc
import pyarrow as pa
import pyarrow.compute as pc

from .columnar import BatchMasker
from .job import JobResult, rechunk, run_job
from .policy import Options, Policy, PolicyError

Error = adbc.Error


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def converter(declared: str) -> str:
    """The first word of a declared type, as sqlite3 picks its converter."""
    match = re.match(r"[^\s(]*", declared)
    return match.group(0).upper() if match else ""


def read_as(batch: pa.RecordBatch, converters: list[str]) -> pa.RecordBatch:
    """The batch with BOOLEAN columns as bools and DECIMAL columns as texts; an empty
    text in either is NULL, as sqlite3 hands it to no converter."""
    columns = list(batch.columns)
    for j, (name, column) in enumerate(zip(converters, columns, strict=True)):
        kind = column.type
        if name == "BOOLEAN" and not pa.types.is_boolean(kind):
            if pa.types.is_string(kind):
                text = pc.utf8_lower(pc.utf8_trim_whitespace(column))
                truth = pc.invert(pc.is_in(text, pa.array(["0", "false", ""])))
                columns[j] = pc.if_else(
                    pc.equal(column, ""),
                    pa.scalar(None, pa.bool_()),
                    pc.if_else(pc.is_valid(column), truth, pa.scalar(None, pa.bool_())),
                )
            else:
                columns[j] = pc.not_equal(column, pa.scalar(0, kind))
        elif name == "DECIMAL" and pa.types.is_string(kind):
            columns[j] = pc.if_else(pc.equal(column, ""), pa.scalar(None, kind), column)
        elif name == "DECIMAL" and not pa.types.is_null(kind):
            columns[j] = pc.cast(column, pa.string())
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


def declared_type(column: pa.ChunkedArray, decimal: bool, widened: bool, source: str) -> str:
    """The target column's type, as the row job picks it from its first chunk."""
    kind = column.type
    if column.null_count == len(column):
        return source or "TEXT"
    if decimal:
        return "DECIMAL TEXT"
    if widened:
        return "TEXT"
    if pa.types.is_integer(kind) or pa.types.is_boolean(kind):
        return "INTEGER"
    if pa.types.is_floating(kind):
        return "REAL"
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind):
        return "BLOB"
    return "TEXT"


def connect(path: str | Path) -> adbc.Connection:
    return adbc.connect(str(path))


def mask_table(
    source: str | Path,
    target: str | Path,
    policy: Policy,
    master: bytes,
    words: Options | None = None,
    chunk_size: int = 10_000,
    replace: bool = False,
    progress: bool | None = None,
    sample: int = 3,
    table: str | None = None,
    overlap: bool = True,
    copy_only: bool = False,
) -> JobResult:
    """Masks `table` (default: the policy's) of the SQLite file `source` into `target`;
    `copy_only` copies it with the same reader and writer, unmasked."""
    table = table or policy.table
    if not Path(source).is_file():
        raise PolicyError(f"no database {source}")
    src = connect(source)
    dst = None
    try:
        with src.cursor() as cursor:
            cursor.execute(f"PRAGMA table_info({quote(table)})")
            info = cursor.fetchall()
        if not info:
            raise PolicyError(f"no table {table!r} in {source}")
        names = [str(row[1]) for row in info]
        source_types = [str(row[2] or "") for row in info]
        converters = [converter(t) for t in source_types]
        decimals = {j for j, c in enumerate(converters) if c == "DECIMAL"}
        # Every Masker is built before the target is touched: a bad policy
        # leaves no trace there.
        masker = BatchMasker.build(policy, names, master, words, decimals, widen_ints=True)
        dst = connect(target)
        with dst.cursor() as cursor:
            cursor.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (table,))
            exists = cursor.fetchone() is not None
        dst.commit()
        if exists and not replace:
            raise PolicyError(f"table {table!r} already exists in {target} (use --replace)")
        with src.cursor() as cursor:
            cursor.execute(f"SELECT COUNT(*) FROM {quote(table)}")
            count = cursor.fetchone()
        total = int(count[0]) if count else 0
        types: list[str] = []
        reading = src.cursor()
        reading.adbc_statement.set_options(**{"adbc.sqlite.query.batch_rows": str(chunk_size)})

        def read() -> Iterator[pa.Table]:
            reading.execute(f"SELECT {', '.join(map(quote, names))} FROM {quote(table)}")
            batches = reading.fetch_record_batch()
            try:
                yield from rechunk((read_as(b, converters) for b in batches), chunk_size)
            except (adbc.Error, pa.ArrowInvalid, OSError) as e:
                if "Type mismatch" not in str(e):
                    raise
                # The driver types each column by its values in the first chunk.
                raise PolicyError(
                    f"{str(e).strip()}: a column holds values of another type "
                    f"than in its first {chunk_size:,} rows (all NULL there, "
                    "say); the row job (--door row) reads such columns"
                ) from None

        def write(chunk: pa.Table, first_row: int) -> None:
            assert dst is not None
            try:
                with dst.cursor() as cursor:
                    if not types:
                        types.extend(
                            declared_type(chunk.column(j), j in decimals, j in masker.widened, s)
                            for j, s in enumerate(source_types)
                        )
                        if exists:
                            cursor.execute(f"DROP TABLE {quote(table)}")
                        typed = zip(names, types, strict=True)
                        columns = ", ".join(f"{quote(n)} {t}" for n, t in typed)
                        cursor.execute(f"CREATE TABLE {quote(table)} ({columns})")
                    cursor.adbc_ingest(table, chunk, mode="append")
                dst.commit()
            except BaseException:
                dst.rollback()
                if first_row == 0:
                    types.clear()
                raise

        with closing(reading):
            return run_job(
                read(),
                masker,
                copy_only,
                lambda t: t,
                write,
                columns=names,
                types=types,
                total=total,
                table=table,
                progress=progress,
                overlap=overlap,
                sample=sample,
            )
    finally:
        src.close()
        if dst is not None:
            dst.close()
