"""The whole-database job on PostgreSQL: one schema read table by table (ADBC, binary
COPY) and written into another schema (ADBC bulk ingest, binary COPY), published
whole by one rename.

Connections are libpq's: a postgresql:// URL or key=value pairs; what they
leave out comes from PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD...

The target is built in a staging schema, TARGET_zorva_partial, which holds a
state table of the job's fingerprint and its finished tables. Tables are
created bare (types, NOT NULL, defaults, identities) and loaded one chunk per
transaction; once its rows are in, a table gets its keys, checks and indexes
and its sequences set past the masked values (`end_table`), and once the
tables it references are in too, its references, added and validated
(`check_references`): each by the connection of a table's own, beside the
other tables' loading. `finish` drops the state table and renames the staging
schema to the target's, in one transaction. A job killed at any moment leaves
the old target schema (or none) or the new one, never half of one; and the
staging schema for `--resume`.

Types. The target keeps the source's column types (numeric(12,2) stays
numeric(12,2)). numeric is read as its text, masked as a Decimal and written
back as a decimal of the column's precision and scale. A masked value its
column cannot hold (too long for varchar(n), beyond an integer's range) is
refused, never cut. Columns of types outside READ are refused before
anything is written.

Every reader takes the snapshot the first one exported: the tables are read
as of one moment, so the references of a source in use resolve in the target.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Iterator
from contextlib import closing

import adbc_driver_manager
import adbc_driver_postgresql.dbapi as adbc
import pyarrow as pa
import pyarrow.compute as pc

from .job import rechunk
from .plan import Plan, TablePlan
from .policy import PolicyError, RefusedValue
from .postgres_schema import (
    create_sequences,
    create_table,
    decimal_for,
    decimal_type,
    execute,
    fetch,
    index_sql,
    key_constraints,
    literal,
    quote,
    read_schema,
    refuse_unreadable,
)
from .schema import Database

Error = adbc.Error
PARTIAL = "_zorva_partial"
STATE = "zorva_job_state"
UNIQUE_HINT = "a hash cut short or a fake strategy cannot keep values unique: mask the column with key or fpe"


LOCK_TRIES = 40  # ten seconds


def connect(conninfo: str, role: str, autocommit: bool = False) -> adbc.Connection:
    try:
        # An empty URL leaves everything to libpq's environment.
        conn = adbc.connect(conninfo or "postgresql://", autocommit=autocommit)
    except adbc.Error as e:
        raise PolicyError(f"cannot connect to the {role} database: {message(e)}") from None
    try:
        # A job killed mid-statement: its server process stops within a second
        # (and lets go of its locks), not when the statement ends.
        with conn.cursor() as cursor:
            cursor.execute("SET client_connection_check_interval = 1000")
        conn.commit()
    except adbc.Error:  # servers before 14 have no such setting
        conn.rollback()
    return conn


def message(e: Exception) -> str:
    """The server's message alone: no DETAIL or CONTEXT line (they quote rows), no driver noise."""
    text = str(e).split("ERROR:", 1)[-1]
    for marker in ("DETAIL:", "CONTEXT:", "HINT:", "\n"):
        text = text.split(marker, 1)[0]
    return text.split(". SQLSTATE:", 1)[0].strip()


def server_identity(conn: adbc.Connection) -> tuple[object, ...]:
    return fetch(conn, "SELECT pg_postmaster_start_time()::text, current_database()")[0]


def as_text(batch: pa.RecordBatch) -> pa.RecordBatch:
    """numeric columns (an extension type over texts) as their texts."""
    columns = [c.storage if isinstance(c, pa.ExtensionArray) else c for c in batch.columns]
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


def staging_name(schema: str) -> str:
    """SCHEMA_zorva_partial, SCHEMA cut to keep the name within PostgreSQL's 63 bytes."""
    return schema.encode()[: 63 - len(PARTIAL)].decode(errors="ignore") + PARTIAL


def target_types(plan: TablePlan, source: PostgresSource) -> list[str]:
    if plan.action != "skip":
        refuse_unreadable([plan.table])
    return [c.declared for c in plan.table.columns]


class PostgresSource:
    def __init__(self, conninfo: str = "", schema: str = "public") -> None:
        self.conninfo, self.schema = conninfo, schema
        self.lock = threading.Lock()
        self._conn: adbc.Connection | None = None
        self._holder: adbc.Connection | None = None  # holds the exported snapshot open
        self._snapshot: str | None = None

    def conn(self) -> adbc.Connection:
        if self._conn is None:
            # Autocommit: no transaction of the job's holds a lock on the source while it runs.
            self._conn = connect(self.conninfo, "source", autocommit=True)
        return self._conn

    def describe(self) -> Database:
        db = read_schema(self.conn(), self.schema)
        if not db.tables and not fetch(
            self.conn(), f"SELECT 1 FROM pg_namespace WHERE nspname = {literal(self.schema)}"
        ):
            raise PolicyError(f"no schema {self.schema!r} in the source database")
        return db

    def identity(self) -> str:
        start, database = server_identity(self.conn())
        return f"postgres:{start}:{database}:{self.schema}"

    def decimal_columns(self, plan: TablePlan) -> set[int]:
        return {j for j, c in enumerate(plan.table.columns) if c.kind == "numeric"}

    def snapshot(self) -> str | None:
        """The snapshot every reader takes, exported by the first one to ask."""
        with self.lock:
            if self._holder is None:
                self._holder = connect(self.conninfo, "source")
                try:
                    execute(self._holder, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                    self._snapshot = str(fetch(self._holder, "SELECT pg_export_snapshot()")[0][0])
                except Error:  # a server that exports none: each table read as of its own start
                    self._snapshot = None
            return self._snapshot

    def chunks(self, plan: TablePlan, chunk_size: int) -> Iterator[pa.Table]:
        snapshot = self.snapshot()
        names = ", ".join(quote(c) for c in plan.table.names)
        with closing(connect(self.conninfo, "source")) as conn, closing(conn.cursor()) as cursor:
            if snapshot is not None:
                cursor.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                cursor.execute(f"SET TRANSACTION SNAPSHOT {literal(snapshot)}")
            cursor.execute(f"SELECT {names} FROM {quote(self.schema)}.{quote(plan.name)}")
            yield from rechunk(map(as_text, cursor.fetch_record_batch()), chunk_size)

    def close(self) -> None:
        with self.lock:
            for conn in (self._holder, self._conn):
                if conn is not None:
                    conn.close()
            self._holder = self._conn = None


class PostgresTarget:
    widen_ints = False  # a masked int its column cannot hold is refused

    def __init__(self, conninfo: str | None, schema: str | None, source: PostgresSource, replace: bool) -> None:
        self.conninfo = source.conninfo if conninfo is None else conninfo
        self.schema = schema or source.schema
        self.staging = staging_name(self.schema)
        self.source, self.replace = source, replace
        self.lock = threading.Lock()
        self.tables: dict[str, adbc.Connection] = {}  # one connection per table being written
        self.present: set[str] = set()
        self.adding = threading.Lock()  # references are added one at a time (see _reference)
        self.fingerprint = ""
        self.warnings: list[str] = []
        self.bytes = 0
        self.conn = connect(self.conninfo, "target")
        # One database: a copied table is copied by the server itself, every value as it is.
        self.same_database = server_identity(self.conn) == server_identity(source.conn())
        if source.schema in (self.schema, self.staging) and self.same_database:
            self.close()
            raise PolicyError(f"the target schema {self.schema!r} is the source schema (--target-schema names another)")

    # -- opening and closing

    def _exists(self, schema: str) -> bool:
        return bool(fetch(self.conn, f"SELECT 1 FROM pg_namespace WHERE nspname = {literal(schema)}"))

    def open(self, plan: Plan, fingerprint: str, resume: bool) -> set[str]:
        refuse_unreadable([t.table for t in plan.tables if t.action != "skip"])
        if any(t.name == STATE for t in plan.tables):
            raise PolicyError(f"a table named {STATE!r}: the job keeps its state under that name")
        self.present, self.fingerprint = {t.name for t in plan.tables}, fingerprint
        # Two jobs building one target would each undo the other's work.
        lock = f"SELECT pg_try_advisory_lock(hashtext({literal('zorva ' + self.staging)}))"
        # A killed job's server process may hold the lock a moment longer.
        for _ in range(LOCK_TRIES):
            if fetch(self.conn, lock)[0][0]:
                break
            time.sleep(0.25)
        else:
            raise PolicyError(f"another job is building the target schema {self.schema!r}")
        if self._exists(self.schema) and not self.replace:
            raise PolicyError(f"the target schema {self.schema!r} already exists (--replace replaces it whole)")
        staging = quote(self.staging)
        finished: set[str] | None = None
        if resume and self._exists(self.staging):
            try:
                rows = fetch(self.conn, f"SELECT fingerprint, finished FROM {staging}.{STATE}")
                if rows and all(r[0] == fingerprint for r in rows):
                    finished = {str(r[1]) for r in rows if r[1] is not None}
            except Error:
                pass
            self.conn.rollback()
        if finished is None:  # a fresh start: whatever an earlier job left goes
            finished = set()
            execute(self.conn, f"DROP SCHEMA IF EXISTS {staging} CASCADE")
            execute(self.conn, f"CREATE SCHEMA {staging}")
            execute(self.conn, f"CREATE TABLE {staging}.{STATE} (fingerprint text NOT NULL, finished text)")
            execute(self.conn, f"INSERT INTO {staging}.{STATE} VALUES ({literal(fingerprint)}, NULL)")
            for t in plan.tables:
                for statement in create_sequences(t.table, self.staging):
                    execute(self.conn, statement)
            self.conn.commit()
        for t in plan.tables:
            if "partitioned" in t.table.extra:
                self.warnings.append(f"table {t.name!r} is partitioned in the source; the target's is one table")
            for key, where in t.table.extra.items():
                if key.startswith("foreign:"):
                    self.warnings.append(
                        f"reference {key[8:]!r} of {t.name!r} to {where} left out: the target holds one schema"
                    )
        return finished

    def close(self) -> None:
        with self.lock:
            for conn in [*self.tables.values(), self.conn]:
                conn.close()
            self.tables.clear()

    # -- tables

    def begin_table(self, plan: TablePlan) -> None:
        conn = connect(self.conninfo, "target")
        with self.lock:
            old = self.tables.pop(plan.name, None)
            self.tables[plan.name] = conn
        if old is not None:
            old.close()
        try:
            execute(conn, f"SET search_path = {quote(self.staging)}")  # the defaults' sequences
            execute(conn, f"DROP TABLE IF EXISTS {quote(self.staging)}.{quote(plan.name)}")
            execute(conn, create_table(plan.table, self.staging))
            conn.commit()
        except BaseException:
            conn.rollback()
            raise

    def _prepare(self, plan: TablePlan, chunk: pa.Table) -> pa.Table:
        """Columns in the Arrow types binary COPY writes as the target's column types."""
        for j, c in enumerate(plan.table.columns):
            if c.kind == "numeric":
                texts = chunk.column(j)
                kind = decimal_type(c.typmod) if c.typmod >= 4 else decimal_for(texts)
                try:
                    column = pc.cast(texts, kind)
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                    raise RefusedValue(
                        f"column {plan.name}.{c.name}: a value does not fit {c.declared} as written (binary COPY)"
                    ) from None
            elif c.kind == "float4" and chunk.schema.field(j).type != pa.float32():
                column = pc.cast(chunk.column(j), pa.float32(), safe=False)  # masked floats come back as doubles
            else:
                continue
            chunk = chunk.set_column(j, pa.field(c.name, column.type), column)
        return chunk

    def _ingest(self, plan: TablePlan, chunk: pa.Table, first_row: int) -> None:
        with self.tables[plan.name].cursor() as cursor:
            try:
                cursor.adbc_ingest(plan.name, self._prepare(plan, chunk), mode="append", db_schema_name=self.staging)
            except (adbc_driver_manager.DataError, adbc_driver_manager.IntegrityError) as e:
                raise RefusedValue(
                    f"table {plan.name!r}: the target refused a value of the chunk from row {first_row:,}: {message(e)}"
                ) from None

    def write(self, plan: TablePlan, chunk: pa.Table, first_row: int, widened: set[int]) -> None:
        conn = self.tables[plan.name]
        try:
            self._ingest(plan, chunk, first_row)
            conn.commit()
        except BaseException:
            conn.rollback()
            raise

    def copy_table(self, plan: TablePlan) -> int:
        conn, rows = self.tables[plan.name], 0
        if self.same_database:
            return self._copy_inside(plan, conn)
        try:
            for chunk in self.source.chunks(plan, 50_000):
                self._ingest(plan, chunk, rows)
                rows += chunk.num_rows
            conn.commit()
        except BaseException:
            conn.rollback()
            raise
        return rows

    def _copy_inside(self, plan: TablePlan, conn: adbc.Connection) -> int:
        names = ", ".join(quote(c) for c in plan.table.names)
        snapshot = self.source.snapshot()
        source = f"{quote(self.source.schema)}.{quote(plan.name)}"
        target = f"{quote(self.staging)}.{quote(plan.name)}"
        for attempt in ([snapshot] if snapshot else []) + [None]:
            try:
                if attempt is not None:  # the moment every other table is read as of
                    execute(conn, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
                    execute(conn, f"SET TRANSACTION SNAPSHOT {literal(attempt)}")
                execute(conn, f"INSERT INTO {target} ({names}) SELECT {names} FROM {source}")
                rows = int(str(fetch(conn, f"SELECT count(*) FROM {target}")[0][0]))
                conn.commit()
                return rows
            except Error:
                conn.rollback()
                if attempt is None:
                    raise
            except BaseException:
                conn.rollback()
                raise
        raise AssertionError("unreachable")

    def end_table(self, plan: TablePlan) -> None:
        """The table's own keys, checks, indexes and sequences, built by its connection
        beside the other tables' loading, in the transaction that notes it finished."""
        with self.lock:
            conn = self.tables.pop(plan.name)
        try:
            steps = [("i", index_sql(i, plan.table, self.staging), i.columns) for i in plan.table.indexes]
            steps += [s for s in key_constraints(plan.table, self.staging, self.present) if s[0] != "f"]
            for kind, statement, columns in steps:
                try:
                    execute(conn, statement)
                except Error as e:
                    conn.rollback()
                    raise self._refusal(conn, plan, kind, statement, columns, e) from None
            self._sequences(conn, plan)
            execute(
                conn,
                f"INSERT INTO {quote(self.staging)}.{STATE} VALUES ({literal(self.fingerprint)}, {literal(plan.name)})",
            )
            conn.commit()
        finally:
            conn.close()

    def check_references(self, t: TablePlan) -> None:
        """Each reference added unchecked, then validated. Adding locks both tables against
        each other's additions, so additions go one at a time (two tables referencing each
        other could otherwise wait on each other); it takes no time. Validating, the
        table scan, locks nothing another validation needs: those run side by side."""
        steps = [s for s in key_constraints(t.table, self.staging, self.present) if s[0] == "f"]
        if not steps:
            return
        staging, table = quote(self.staging), quote(t.name)
        conn = connect(self.conninfo, "target")
        try:
            execute(conn, f"SET search_path = {staging}")
            conn.commit()
            there = {
                str(r[0])
                for r in fetch(
                    conn, f"SELECT conname FROM pg_constraint WHERE conrelid = '{staging}.{table}'::regclass"
                )
            }
            conn.commit()
            fks = [fk for fk in t.table.foreign_keys if fk.table in self.present]
            for (kind, statement, columns), fk in zip(steps, fks, strict=True):
                try:
                    if fk.name not in there:
                        with self.adding:
                            unchecked = statement if statement.endswith("NOT VALID") else statement + " NOT VALID"
                            execute(conn, unchecked)
                            conn.commit()
                    execute(conn, f"ALTER TABLE {staging}.{table} VALIDATE CONSTRAINT {quote(fk.name)}")
                    conn.commit()
                except Error as e:
                    conn.rollback()
                    raise self._refusal(conn, t, kind, statement, columns, e) from None
        finally:
            conn.close()

    # -- publishing

    def finish(self, plan: Plan) -> None:
        # Every table has its keys (end_table) and its references (check_references):
        # the rename alone remains.
        staging, conn = quote(self.staging), self.conn
        execute(conn, f"DROP TABLE {staging}.{STATE}")
        if self.replace:
            execute(conn, f"DROP SCHEMA IF EXISTS {quote(self.schema)} CASCADE")
        execute(conn, f"ALTER SCHEMA {staging} RENAME TO {quote(self.schema)}")
        conn.commit()
        self.bytes = int(
            str(
                fetch(
                    conn,
                    "SELECT coalesce(sum(pg_total_relation_size(c.oid)), 0)::int8 FROM pg_class c "
                    "JOIN pg_namespace n ON n.oid = c.relnamespace "
                    f"WHERE n.nspname = {literal(self.schema)} AND c.relkind IN ('r', 'p')",
                )[0][0]
            )
        )
        conn.commit()

    def _sequences(self, conn: adbc.Connection, t: TablePlan) -> None:
        """Serial sequences owned by their columns, and every sequence past the masked maximum."""
        table = f"{quote(self.staging)}.{quote(t.name)}"
        for c in t.table.columns:
            seq = t.table.extra.get(f"sequence:{c.name}")
            if seq is None:
                continue
            if not c.identity:
                execute(conn, f"ALTER SEQUENCE {quote(self.staging)}.{quote(seq)} OWNED BY {table}.{quote(c.name)}")
            found = f"pg_get_serial_sequence({literal(table)}, {literal(c.name)})"
            fetch(
                conn,
                f"SELECT setval({found}, m) FROM (SELECT max({quote(c.name)}) AS m FROM {table}) x "
                f"JOIN pg_sequence q ON q.seqrelid = {found}::regclass WHERE m BETWEEN q.seqmin AND q.seqmax",
            )

    def _refusal(
        self,
        conn: adbc.Connection,
        t: TablePlan,
        kind: str,
        statement: str,
        columns: tuple[str, ...],
        e: adbc_driver_manager.Error,
    ) -> Exception:
        state = getattr(e, "sqlstate", None)
        what = statement.split(" ADD CONSTRAINT ", 1)[-1].split(" ", 1)[0] if kind != "i" else "index"
        if state == "23505":
            shown = ", ".join(self._collisions(conn, t, columns)) or "(in an expression of the key)"
            return RefusedValue(
                f"masked values of {t.name}.{'+'.join(columns)}, which the schema keeps unique, collide: {shown} "
                f"({UNIQUE_HINT})"
            )
        if state == "23503":
            return RefusedValue(
                f"the reference {what} of table {t.name!r} does not resolve in the target: a masked value has no "
                "key to join (the referenced key is masked differently, or its table is not written whole)"
            )
        if state in ("23514", "23P01"):
            return RefusedValue(f"the masked values of table {t.name!r} break its constraint {what}")
        return e

    def _collisions(self, conn: adbc.Connection, t: TablePlan, columns: tuple[str, ...]) -> list[str]:
        """Up to three masked values found more than once; a column written in clear shows as '…'."""
        if not columns:
            return []
        masked = {c.name for c in t.columns if c.rule is not None}
        cols = ", ".join(map(quote, columns))
        rows = fetch(
            conn,
            f"SELECT {cols} FROM {quote(self.staging)}.{quote(t.name)} "
            f"WHERE ({' AND '.join(f'{quote(c)} IS NOT NULL' for c in columns)}) "
            f"GROUP BY {cols} HAVING count(*) > 1 LIMIT 3",
        )
        conn.rollback()
        shown = [[repr(v) if c in masked else "…" for c, v in zip(columns, r)] for r in rows]
        return [s[0] if len(s) == 1 else f"({', '.join(s)})" for s in shown]
