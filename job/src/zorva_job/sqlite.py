"""The whole-database job on SQLite: ADBC reads Arrow batches from a read-only source,
ADBC bulk ingest writes them, and the target is renamed into place only once every
table is in and every reference resolves.

Each table is written into a file of its own under TARGET.zorva-parts/, beside
the note of the tables finished (state.json), and moved as it is finished into
TARGET.zorva-partial, which is synced and renamed over TARGET at the end: a
job killed at any moment leaves TARGET as it was (absent, or the previous
run's), and `--resume` takes up the finished parts. Tables are created with
their keys and references; references are not enforced while loading (tables
load side by side, in any order) and are checked for each table once it and
the tables it references are written.
"""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import threading
from collections.abc import Iterator, Sequence
from contextlib import closing, contextmanager
from pathlib import Path

import adbc_driver_sqlite.dbapi as adbc
import pyarrow as pa
import pyarrow.compute as pc

from .job import rechunk
from .plan import Plan, TablePlan
from .policy import PolicyError, RefusedValue
from .schema import Database
from .sqlite_schema import create_table, quote, read_schema, source_uri, target_type
from .target_state import StateFile, sync_dir

Error = adbc.Error
PARTIAL = ".zorva-partial"  # the target being put together, renamed over it when whole
PARTS = ".zorva-parts"  # one file per table, and the note of the tables finished
CACHE_KIB = 256 * 1024


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


class SqliteSource:
    def __init__(self, path: str | Path) -> None:
        self.path = Path(path)

    def describe(self) -> Database:
        return read_schema(self.path)

    def identity(self) -> str:
        st = self.path.stat()
        return f"sqlite:{self.path.resolve()}:{st.st_size}:{st.st_mtime_ns}"

    def decimal_columns(self, plan: TablePlan) -> set[int]:
        return {j for j, c in enumerate(plan.table.columns) if c.kind == "DECIMAL"}

    def chunks(self, plan: TablePlan, chunk_size: int) -> Iterator[pa.Table]:
        names = plan.table.names
        converters = [c.kind for c in plan.table.columns]
        with closing(adbc.connect(source_uri(self.path))) as conn, closing(conn.cursor()) as cursor:
            cursor.adbc_statement.set_options(**{"adbc.sqlite.query.batch_rows": str(chunk_size)})
            cursor.execute(f"SELECT {', '.join(map(quote, names))} FROM {quote(plan.name)}")
            batches = cursor.fetch_record_batch()
            try:
                yield from rechunk((read_as(b, converters) for b in batches), chunk_size)
            except (adbc.Error, pa.ArrowInvalid, OSError) as e:
                if "Type mismatch" not in str(e):
                    raise
                # The driver types each column by its values in the first chunk.
                raise PolicyError(
                    f"table {plan.name!r}: a column holds values of another type than in its first "
                    f"{chunk_size:,} rows (all NULL there, say); the row job reads such columns"
                ) from None

    def close(self) -> None:
        pass


def target_types(plan: TablePlan, source: SqliteSource) -> list[str]:
    decimals = source.decimal_columns(plan) if plan.action == "mask" else set()
    return [target_type(c, p.rule, j in decimals) for j, (c, p) in enumerate(zip(plan.table.columns, plan.columns))]


def sql(conn: adbc.Connection, statement: str, params: Sequence[object] = ()) -> list[tuple[object, ...]]:
    with closing(conn.cursor()) as cursor:
        cursor.execute(statement, params or None)
        try:
            return [tuple(r) for r in cursor.fetchall()]
        except Error:
            return []


def open_file(path: Path) -> adbc.Connection:
    """A connection to a file of the job's own: a table's part, or the target being put together."""
    conn = adbc.connect(str(path), autocommit=True)
    sql(conn, "PRAGMA foreign_keys = OFF")
    # A killed process cannot corrupt the file whatever the sync level; the
    # target is synced once, before it is published.
    sql(conn, "PRAGMA synchronous = OFF")
    # Masked keys arrive in keyed order, not the source's: every insert lands
    # somewhere in the table's tree. A cache that holds the tree being written
    # saves re-reading its pages (about a fifth of the writer's CPU on the sample).
    sql(conn, f"PRAGMA cache_size = -{CACHE_KIB}")
    # No rollback journal: a file of the job's is thrown away whole when anything
    # fails in it (a part is written again on --resume, the target put together
    # again), so a journal would only copy every page a chunk touches (a third of
    # the writer's CPU on the sample) to undo what is never kept.
    sql(conn, "PRAGMA journal_mode = OFF")
    sql(conn, "PRAGMA main.locking_mode = EXCLUSIVE")  # not the parts it attaches: others read them
    return conn


@contextmanager
def transaction(conn: adbc.Connection) -> Iterator[None]:
    """One transaction; without a journal a failed one is not undone, and the file it
    was in is thrown away whole (see open_file)."""
    sql(conn, "BEGIN")
    try:
        yield
    except BaseException:
        sql(conn, "ROLLBACK")
        raise
    sql(conn, "COMMIT")


def attach(conn: adbc.Connection, target: str, name: str) -> None:
    sql(conn, f"ATTACH DATABASE '{target.replace(chr(39), chr(39) * 2)}' AS {name}")


class SqliteTarget:
    """SQLite lets one connection write a file at a time, and writing costs the job
    as much CPU as masking: so each table is written into a file of its own, by a
    connection of its own, side by side with the others (TARGET.zorva-parts/), and
    each file is moved into the target as its table is finished, by SQLite's
    transfer of whole records and index entries, which decodes nothing."""

    widen_ints = True

    def __init__(self, path: str | Path, source: SqliteSource, replace: bool) -> None:
        self.path = Path(path)
        self.partial = self.path.with_name(self.path.name + PARTIAL)
        self.parts = self.path.with_name(self.path.name + PARTS)
        self.source = source
        self.replace = replace
        self.lock = threading.Lock()
        self.writing: dict[str, adbc.Connection] = {}  # the tables being written, each into its file
        self.assembling = threading.Lock()  # the target itself: one writer
        self.assembly: adbc.Connection | None = None
        self.assembled: set[str] = set()
        self.state: StateFile | None = None
        self.finished: set[str] = set()
        self.created: set[str] = set()
        self.present: set[str] = set()
        self.warnings: list[str] = []
        self.bytes = 0  # the published target's size
        if self.path.resolve() == source.path.resolve():
            raise PolicyError(f"the target {self.path} is the source")

    # -- opening and closing

    def open(self, plan: Plan, fingerprint: str, resume: bool) -> set[str]:
        self.present = {t.name for t in plan.tables}
        if self.path.exists() and not self.replace:
            raise PolicyError(f"the target {self.path} already exists (--replace replaces it whole)")
        self.state = StateFile(self.parts / "state.json", fingerprint)
        finished = self.state.load() if resume else None
        if finished is None:
            # A fresh start: whatever an earlier job left goes.
            shutil.rmtree(self.parts, ignore_errors=True)
            self.parts.mkdir()
            self.state.save(())
            finished = set()
        for p in (self.partial, Path(str(self.partial) + "-journal")):
            p.unlink(missing_ok=True)
        self.finished = set(finished)
        return set(self.finished)

    def close(self) -> None:
        with self.lock:
            conns, self.writing = list(self.writing.values()), {}
        with self.assembling:
            if self.assembly is not None:
                conns.append(self.assembly)
                self.assembly = None
        for conn in conns:
            conn.close()

    def part(self, name: str) -> Path:
        """The file a table is written into (named by a hash: a table's name may be any text)."""
        return self.parts / (hashlib.sha256(name.encode("utf-8")).hexdigest()[:24] + ".db")

    # -- tables

    def target_types(self, plan: TablePlan) -> list[str]:
        return target_types(plan, self.source)

    def begin_table(self, plan: TablePlan) -> None:
        path = self.part(plan.name)
        for p in (path, Path(str(path) + "-journal")):
            p.unlink(missing_ok=True)
        conn = open_file(path)
        with self.lock:
            old = self.writing.pop(plan.name, None)
            self.writing[plan.name] = conn
        if old is not None:
            old.close()
        self.created.discard(plan.name)

    def _create(self, conn: adbc.Connection, plan: TablePlan, types: list[str]) -> None:
        sql(conn, create_table(plan, types, self.present))
        self.created.add(plan.name)

    def write(self, plan: TablePlan, chunk: pa.Table, first_row: int, widened: set[int]) -> None:
        conn = self.writing[plan.name]
        try:
            with transaction(conn):
                if plan.name not in self.created:
                    types = self.target_types(plan)
                    for j in widened:
                        types[j] = "TEXT"
                    self._create(conn, plan, types)
                elif widened and widened - self._widened_at_create(conn, plan):
                    raise RefusedValue(self._outgrown(plan, widened))
                with closing(conn.cursor()) as cursor:
                    cursor.adbc_ingest(plan.name, chunk, mode="append")
        except BaseException as e:
            if first_row == 0:
                self.created.discard(plan.name)
            # The driver reports a constraint's failure as an internal error.
            if isinstance(e, adbc.Error) and "constraint failed" in str(e):
                raise RefusedValue(self._constraint_message(conn, plan, chunk, str(e), first_row)) from None
            raise

    def _widened_at_create(self, conn: adbc.Connection, plan: TablePlan) -> set[int]:
        rows = sql(conn, f"PRAGMA main.table_info({quote(plan.name)})")
        declared = self.target_types(plan)
        return {j for j, r in enumerate(rows) if str(r[2]) == "TEXT" and declared[j] != "TEXT"}

    @staticmethod
    def _outgrown(plan: TablePlan, widened: set[int]) -> str:
        names = ", ".join(plan.table.names[j] for j in sorted(widened))
        return (
            f"table {plan.name!r}: masked values of {names} outgrow 64 bits after the first chunk, "
            "and the column was created as an integer; a larger --chunk-size takes them in the first chunk"
        )

    def _constraint_message(
        self, conn: adbc.Connection, plan: TablePlan, chunk: pa.Table, error: str, first_row: int
    ) -> str:
        where = f"the chunk from row {first_row:,} of {plan.name!r}"
        match = re.search(r"(UNIQUE|NOT NULL) constraint failed: ([^\n]*)", error)
        if not match:
            return f"the target refused {where}: {error.strip().splitlines()[0]}"
        columns = [c.strip().rpartition(".")[2] for c in match.group(2).split(",")]
        if match.group(1) == "NOT NULL":
            return (
                f"column {plan.name}.{columns[0]} is NOT NULL, and a masked value in {where} is NULL "
                "(a value the engine leaves to Python that is not a text becomes NULL)"
            )
        return (
            f"masked values of {plan.name}.{'+'.join(columns)}, which the schema keeps unique, "
            f"collide: {self._collisions(conn, plan, chunk, columns)} (a hash cut short or a fake strategy "
            "cannot keep values unique: mask the column with key or fpe)"
        )

    @staticmethod
    def _collisions(conn: adbc.Connection, plan: TablePlan, chunk: pa.Table, columns: list[str]) -> str:
        """A few masked values that occur twice: within the chunk, or in it and in the rows before."""
        keys = chunk.select(columns)
        counts = keys.group_by(columns).aggregate([([], "count_all")])
        dup = counts.filter(pc.greater(counts["count_all"], 1)).select(columns).to_pylist()[:3]
        if not dup and len(columns) == 1:
            values = [v for v in keys.column(0).to_pylist() if v is not None]
            col = quote(columns[0])
            for at in range(0, len(values), 500):
                part = values[at : at + 500]
                marks = ", ".join("?" for _ in part)
                found = sql(conn, f"SELECT {col} FROM main.{quote(plan.name)} WHERE {col} IN ({marks}) LIMIT 3", part)
                dup = [{columns[0]: r[0]} for r in found]
                if dup:
                    break
        return ", ".join(repr(tuple(d.values()) if len(d) > 1 else next(iter(d.values()))) for d in dup) or "?"

    def copy_table(self, plan: TablePlan) -> int:
        conn = self.writing[plan.name]
        names = ", ".join(map(quote, plan.table.names))
        attach(conn, source_uri(self.source.path), "source")
        try:
            with transaction(conn):
                self._create(conn, plan, self.target_types(plan))
                copy = f"INSERT INTO main.{quote(plan.name)} ({names}) SELECT {names} FROM source.{quote(plan.name)}"
                sql(conn, copy)
        finally:
            sql(conn, "DETACH DATABASE source")
        return plan.table.rows

    def end_table(self, plan: TablePlan) -> None:
        assert self.state is not None
        conn = self.writing[plan.name]
        try:
            with transaction(conn):
                if plan.name not in self.created:
                    self._create(conn, plan, self.target_types(plan))
                for index in plan.table.indexes:
                    sql(conn, index.definition)
        except adbc.Error as e:
            if "constraint failed" not in str(e):
                raise
            raise RefusedValue(
                f"a unique index of {plan.name!r} refused the masked values: {str(e).strip().splitlines()[0]} "
                "(a hash cut short or a fake strategy cannot keep values unique: mask with key or fpe)"
            ) from None
        with self.lock:
            del self.writing[plan.name]
            self.finished.add(plan.name)
            self.state.save(self.finished)
        conn.close()
        # Into the target now, beside the other tables' work, rather than all at the end.
        with self.assembling:
            self._assemble(plan)

    def _assemble(self, plan: TablePlan) -> None:
        """Moves a finished table's file into the target (the caller holds `assembling`)."""
        if self.assembly is None:
            self.assembly = open_file(self.partial)
        conn = self.assembly
        attach(conn, str(self.part(plan.name)), "part")
        try:
            with transaction(conn):
                # The part's own statements: the same columns, types and indexes let
                # SQLite copy records and index entries as they are.
                for (statement,) in sql(
                    conn,
                    "SELECT sql FROM part.sqlite_master WHERE tbl_name = ? AND sql IS NOT NULL "
                    "AND type IN ('table', 'index') ORDER BY type = 'index', rowid",
                    [plan.name],
                ):
                    sql(conn, str(statement))
                sql(conn, f"INSERT INTO main.{quote(plan.name)} SELECT * FROM part.{quote(plan.name)}")
        finally:
            sql(conn, "DETACH DATABASE part")
        self.assembled.add(plan.name)

    def check_references(self, plan: TablePlan) -> None:
        """Counts the rows whose reference finds no row, as PRAGMA foreign_key_check counts
        them (a reference with a NULL in it refers to nothing), in the tables' parts and
        on a connection of its own: beside the other tables' work, not in the target."""
        table = plan.name
        fks = [fk for fk in plan.table.foreign_keys if fk.table in self.present]
        if not fks:
            return
        conn = adbc.connect(source_uri(self.part(table)), autocommit=True)
        try:
            sql(conn, "PRAGMA busy_timeout = 60000")  # a part being moved into the target is read meanwhile
            broken: list[str] = []
            for fk in fks:
                parent = "main"
                if fk.table != table:
                    attach(conn, Path(self.part(fk.table)).resolve().as_uri() + "?mode=ro", "parent")
                    parent = "parent"
                on = " AND ".join(f"p.{quote(r)} = c.{quote(c)}" for c, r in zip(fk.columns, fk.ref_columns))
                valued = " AND ".join(f"c.{quote(c)} IS NOT NULL" for c in fk.columns)
                found = sql(
                    conn,
                    f"SELECT count(*) FROM main.{quote(table)} c WHERE {valued} AND NOT EXISTS "
                    f"(SELECT 1 FROM {parent}.{quote(fk.table)} p WHERE {on})",
                )
                if parent != "main":
                    sql(conn, "DETACH DATABASE parent")
                if found and found[0][0]:
                    broken.append(f"{found[0][0]} row(s) referencing {fk.table!r}")
        finally:
            conn.close()
        if broken:
            raise RefusedValue(f"references of {table!r} that do not resolve in the target: {', '.join(broken)}")

    def finish(self, plan: Plan) -> None:
        """The tables a resumed job finished earlier moved in, the views and triggers, and
        the target synced and renamed into place."""
        with self.assembling:
            if self.assembly is None:  # a database of no tables is a target too
                self.assembly = open_file(self.partial)
            for t in plan.tables:
                if t.name not in self.assembled:
                    self._assemble(t)
            self._views_and_triggers(self.assembly, plan)
            self.assembly.close()
            self.assembly = None
        fd = os.open(self.partial, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        self.bytes = self.partial.stat().st_size
        os.replace(self.partial, self.path)
        sync_dir(self.path.parent)
        shutil.rmtree(self.parts, ignore_errors=True)

    def _views_and_triggers(self, conn: adbc.Connection, plan: Plan) -> None:
        extras = [(k, v) for t in plan.tables for k, v in t.table.extra.items() if k != "sql"]
        with transaction(conn):
            for key, statement in sorted(extras, key=lambda kv: kv[0].startswith("trigger")):
                kind, name = key.split(":", 1)
                try:
                    sql(conn, statement)
                except Error as e:  # a view or trigger over a table this job does not write
                    self.warnings.append(f"{kind} {name!r} not created: {str(e).strip().splitlines()[0]}")
