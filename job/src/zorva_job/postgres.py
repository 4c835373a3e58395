"""The columnar job on PostgreSQL: ADBC reads Arrow batches (binary COPY), ADBC bulk
ingest writes them (binary COPY), one transaction per chunk.

Connections are libpq's: a postgresql:// URL or key=value pairs; what they
leave out comes from PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD...

Types. The target table gets the source's column types as the server spells
them (numeric(12,2) stays numeric(12,2)). numeric is read as its text, masked
as a Decimal and written back as a decimal of the column's precision and
scale. A masked value its column cannot hold (too long for varchar(n), beyond
an integer's range) is refused, never cut: the job stops, its chunk rolled
back. Columns of types outside READ are refused before anything is written.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import closing

import adbc_driver_manager
import adbc_driver_postgresql.dbapi as adbc
import pyarrow as pa
import pyarrow.compute as pc

from .columnar import BatchMasker
from .job import JobResult, rechunk, run_job
from .policy import Options, Policy, PolicyError, RefusedValue, check_target

Error = adbc.Error
# The types both ADBC directions carry exactly.
READ = {
    "int2",
    "int4",
    "int8",
    "float4",
    "float8",
    "numeric",
    "bool",
    "text",
    "varchar",
    "bpchar",
    "date",
    "timestamp",
    "timestamptz",
    "bytea",
}
# (name, type as declared, type name, type modifier)
Column = tuple[str, str, str, int]


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def table_name(name: str) -> str:
    """`name` or `schema.name`, each part taken literally."""
    return ".".join(map(quote, name.split(".", 1)))


def connect(conninfo: str, role: str) -> adbc.Connection:
    try:
        # An empty URL leaves everything to libpq's environment.
        return adbc.connect(conninfo or "postgresql://")
    except adbc.Error as e:
        raise PolicyError(f"cannot connect to the {role} database: {str(e).strip()}") from None


def fetch(conn: adbc.Connection, query: str) -> list[tuple[object, ...]]:
    with conn.cursor() as cursor:
        cursor.execute(query)
        return [tuple(row) for row in cursor.fetchall()]


def describe(conn: adbc.Connection, name: str) -> tuple[int, list[Column]] | None:
    """The relation's oid and its columns."""
    rows = fetch(conn, f"SELECT to_regclass({literal(table_name(name))})::oid::int8")
    if not rows or rows[0][0] is None:
        return None
    oid = int(str(rows[0][0]))
    columns = fetch(
        conn,
        "SELECT a.attname, format_type(a.atttypid, a.atttypmod), t.typname,"
        " a.atttypmod FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid"
        f" WHERE a.attrelid = {oid} AND a.attnum > 0 AND NOT a.attisdropped"
        " ORDER BY a.attnum",
    )
    return oid, [(str(n), str(d), str(t), int(str(m))) for n, d, t, m in columns]


def server_identity(conn: adbc.Connection) -> tuple[object, ...]:
    return fetch(conn, "SELECT pg_postmaster_start_time()::text, current_database()")[0]


def decimal_type(typmod: int) -> pa.DataType:
    """The Arrow decimal that holds numeric(p, s); unconstrained numeric: 38 digits, 10 places."""
    if typmod < 4:
        return pa.decimal128(38, 10)
    precision, scale = (typmod - 4) >> 16, (typmod - 4) & 0xFFFF
    return pa.decimal128(precision, scale) if precision <= 38 else pa.decimal256(precision, scale)


def as_text(batch: pa.RecordBatch) -> pa.RecordBatch:
    """numeric columns (an extension type over texts) as their texts."""
    columns = [c.storage if isinstance(c, pa.ExtensionArray) else c for c in batch.columns]
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


def mask_table(
    source: str,
    target: str | None,
    policy: Policy,
    master: bytes,
    words: Options | None = None,
    chunk_size: int = 10_000,
    replace: bool = False,
    progress: bool | None = None,
    sample: int = 3,
    table: str | None = None,
    target_table: str | None = None,
    overlap: bool = True,
    copy_only: bool = False,
) -> JobResult:
    """Masks `table` (default: the policy's) of `source` into `target_table` of `target`
    (None: the source database); `copy_only` copies it unmasked."""
    table = table or policy.table
    target_table = target_table or table
    src = connect(source, "source")
    dst = None
    try:
        found = describe(src, table)
        if found is None:
            raise PolicyError(f"no table {table!r} in the source database")
        source_oid, columns = found
        names = [c[0] for c in columns]
        unread = [f"{n} ({d})" for n, d, t, _ in columns if t not in READ]
        if unread:
            raise PolicyError(
                f"column type(s) the columnar job cannot read: {', '.join(unread)} (--door row reads them as text)"
            )
        numeric = {j for j, c in enumerate(columns) if c[2] == "numeric"}
        decimals = {j: decimal_type(columns[j][3]) for j in numeric}
        # Every Masker is built before the target is touched.
        masker = BatchMasker.build(policy, names, master, words, numeric)
        dst = connect(source if target is None else target, "target")
        existing = describe(dst, target_table)
        check_target(
            None if existing is None else existing[0],
            source_oid,
            lambda: server_identity(src) == server_identity(dst),
            target_table,
            replace,
        )
        dst.commit()
        total = int(str(fetch(src, f"SELECT count(*) FROM {table_name(table)}")[0][0]))
        create = (
            f"CREATE TABLE {table_name(target_table)} (" + ", ".join(f"{quote(n)} {d}" for n, d, _, _ in columns) + ")"
        )
        created: list[bool] = []
        reading = src.cursor()

        read_types: list[pa.DataType] = []

        def read() -> Iterator[pa.Table]:
            reading.execute(f"SELECT {', '.join(map(quote, names))} FROM {table_name(table)}")
            batches = reading.fetch_record_batch()
            read_types.extend(f.type for f in batches.schema)
            yield from rechunk(map(as_text, batches), chunk_size)

        def prepare(chunk: pa.Table) -> pa.Table:
            """Columns in the Arrow types binary COPY writes as the target's column types."""
            for j, kind in enumerate(read_types):
                if j in decimals:
                    kind = decimals[j]
                elif not (pa.types.is_floating(kind) and chunk.schema.field(j).type != kind):
                    continue  # a real column's floats come back from masking as float64
                column = pc.cast(chunk.column(j), kind, safe=j in decimals)
                chunk = chunk.set_column(j, pa.field(names[j], kind), column)
            return chunk

        def write(chunk: pa.Table, first_row: int) -> None:
            assert dst is not None
            try:
                with dst.cursor() as cursor:
                    if not created:
                        if existing is not None:
                            cursor.execute(f"DROP TABLE {table_name(target_table)}")
                        cursor.execute(create)
                    schema, _, name = target_table.rpartition(".")
                    cursor.adbc_ingest(name, chunk, mode="append", db_schema_name=schema or None)
                dst.commit()
            except adbc_driver_manager.DataError as e:
                dst.rollback()
                message = str(e).split("ERROR:", 1)[-1].strip().replace("\n", " ")
                raise RefusedValue(
                    f"the target refused a value of the chunk from row {first_row:,}: {message} "
                    f"(the {first_row:,} rows before this chunk are written)"
                ) from None
            except BaseException:
                dst.rollback()
                raise
            created.append(True)

        with closing(reading):
            return run_job(
                read(),
                masker,
                copy_only,
                prepare,
                write,
                columns=names,
                types=[c[1] for c in columns],
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
