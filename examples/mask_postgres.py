"""Masks a table from one PostgreSQL database into another, or into a new table.

    python3 examples/mask_postgres.py --source postgresql://user@host/db \\
        --target postgresql://user@host/masked --policy examples/policy.toml --words words.json

Connections. --source and --target take what libpq takes, a postgresql:// URL
or "host=... dbname=..." pairs; whatever they leave out (all of it when they
are not given) comes from libpq's environment variables (PGHOST, PGPORT,
PGDATABASE, PGUSER, PGPASSWORD, ...) and ~/.pgpass. Without --target the
masked table goes into the source database, under --target-table.

The job is mask_sqlite's: the same policy, keys, fallback rule and refusals,
one transaction per chunk, reading, masking and writing side by side.

Copying. Rows travel by text COPY, which is as fast here as binary COPY and
exact for every type: integers come in as int, numeric as Decimal, double
precision and real as float (the source session prints floats with every
digit they need), bool as bool, and every other type as the text PostgreSQL
prints for it, which goes back in unchanged.

Target types. The target table is created with the source's column types as
the server spells them (numeric(12,2) stays numeric(12,2), varchar(40) stays
varchar(40)); constraints, defaults and indexes are not copied. A masked
value the type cannot hold (a fake name longer than varchar(n), a number
beyond integer's range or numeric's precision, a Decimal in an integer
column) is refused by the server, never cut down: that stops the job like a
refused value, exit 1, and its chunk is rolled back.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import psycopg
from psycopg import sql

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from mask_sqlite import (  # noqa: E402
    EPILOG,
    ChunkMasker,
    JobResult,
    Policy,
    PolicyError,
    RefusedValue,
    add_job_arguments,
    run_cli,
    run_timed,
)
from zorva_job.policy import check_target  # noqa: E402

# Types read into the Python values the strategies expect; any other type is
# read and written as its text.
TYPED = {"int2", "int4", "int8", "numeric", "float4", "float8", "bool"}
TEXT_OID = 25
# Output settings of the source session that make text COPY exact and
# readable by any target server.
SOURCE_SETTINGS = {
    "extra_float_digits": "3",
    "datestyle": "ISO, YMD",
    "intervalstyle": "postgres",
    "bytea_output": "hex",
}


def connect(conninfo: str, role: str) -> psycopg.Connection:
    try:
        return psycopg.connect(conninfo, autocommit=True)
    except psycopg.Error as e:
        raise PolicyError(f"cannot connect to the {role} database: {str(e).strip()}") from None


def table_name(name: str) -> sql.Identifier:
    """`name` or `schema.name`, each part taken literally."""
    return sql.Identifier(*name.split(".", 1))


def describe(conn: psycopg.Connection, name: str) -> tuple[int, list[tuple[str, str, int, str]]] | None:
    """The relation's oid and its columns as (name, type as declared, type oid, type name)."""
    ident = table_name(name).as_string(conn)
    row = conn.execute("SELECT to_regclass(%s)::oid", (ident,)).fetchone()
    if row is None or row[0] is None:
        return None
    columns = conn.execute(
        "SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.atttypid::int, t.typname"
        " FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid"
        " WHERE a.attrelid = %s AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
        (row[0],),
    ).fetchall()
    return row[0], columns


def server_identity(conn: psycopg.Connection) -> tuple:
    return conn.execute("SELECT pg_postmaster_start_time(), current_database()").fetchone()


def mask_table(
    source: str,
    target: str | None,
    policy: Policy,
    master: bytes,
    words: dict | None = None,
    chunk_size: int = 10_000,
    replace: bool = False,
    progress: bool | None = None,
    sample: int = 3,
    table: str | None = None,
    target_table: str | None = None,
    overlap: bool = True,
) -> JobResult:
    """Masks `table` (default: the policy's) of `source` into `target_table` of `target`.

    `source` and `target` are libpq connection strings ("" for the
    environment); a `target` of None is the source database.
    """
    table = table or policy.table
    target_table = target_table or table
    src = connect(source, "source")
    dst = None
    try:
        for name, value in SOURCE_SETTINGS.items():
            src.execute(sql.SQL("SET {} = {}").format(sql.Identifier(name), sql.Literal(value)))
        found = describe(src, table)
        if found is None:
            raise PolicyError(f"no table {table!r} in the source database")
        source_oid, columns = found
        names = [c[0] for c in columns]
        # Every Masker is built before the target is touched: a bad policy
        # leaves no trace there.
        masker = ChunkMasker.build(policy, names, master, words)
        dst = connect(source if target is None else target, "target")
        existing = describe(dst, target_table)
        check_target(
            None if existing is None else existing[0],
            source_oid,
            lambda: server_identity(src) == server_identity(dst),
            target_table,
            replace,
        )
        total = src.execute(sql.SQL("SELECT count(*) FROM {}").format(table_name(table))).fetchone()[0]
        column_list = sql.SQL(", ").join(map(sql.Identifier, names))
        read_oids = [oid if typname in TYPED else TEXT_OID for _, _, oid, typname in columns]
        copy_out = sql.SQL("COPY (SELECT {} FROM {}) TO STDOUT").format(column_list, table_name(table))
        copy_in = sql.SQL("COPY {} ({}) FROM STDIN").format(table_name(target_table), column_list)
        create = sql.SQL("CREATE TABLE {} ({})").format(
            table_name(target_table),
            sql.SQL(", ").join(
                sql.SQL("{} {}").format(sql.Identifier(n), sql.SQL(declared)) for n, declared, _, _ in columns
            ),
        )
        created = []

        def read():
            with src.cursor() as cursor, cursor.copy(copy_out) as copy:
                copy.set_types(read_oids)
                chunk = []
                for row in copy.rows():
                    chunk.append(row)
                    if len(chunk) == chunk_size:
                        yield chunk
                        chunk = []
                if chunk:
                    yield chunk

        def write(masked: list[tuple], first_row: int) -> None:
            try:
                with dst.transaction(), dst.cursor() as cursor:
                    if not created:
                        if existing is not None:
                            cursor.execute(sql.SQL("DROP TABLE {}").format(table_name(target_table)))
                        cursor.execute(create)
                    with cursor.copy(copy_in) as copy:
                        for row in masked:
                            copy.write_row(row)
            except psycopg.errors.DataError as e:
                where = f" ({e.diag.context.strip()})" if e.diag.context else ""
                raise RefusedValue(
                    f"the target refused a value of the chunk from row {first_row:,}: "
                    f"{e.diag.message_primary or e}{where} (the {first_row:,} rows before this chunk "
                    "are written)"
                ) from None
            created.append(True)

        done, before, after, seconds = run_timed(
            read(), masker, write, total, table, progress, overlap=overlap, sample=sample
        )
    finally:
        src.close()
        if dst is not None:
            dst.close()
    return JobResult(
        done, seconds, masker.engine_seconds, masker.fallbacks, names, [c[1] for c in columns], before, after
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Mask a table from one PostgreSQL database into another, or into a new "
        "table, chunk by chunk, with COPY.",
        epilog=EPILOG,
    )
    parser.add_argument(
        "--source",
        default="",
        help="source database: a postgresql:// URL or "
        "libpq key=value pairs (default: libpq's PG* environment variables)",
    )
    parser.add_argument("--target", help="target database, the same way (default: the source)")
    parser.add_argument("--target-table", help="table to create in the target (default: the source table's name)")
    add_job_arguments(parser)
    return run_cli(
        "mask_postgres",
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
            args.target_table,
            overlap=not args.serial,
        ),
        (psycopg.Error,),
        "postgres",
    )


if __name__ == "__main__":
    sys.exit(main())
