"""The whole-database job on SQLite: ADBC reads Arrow batches from a read-only source,
ADBC bulk ingest writes them into a partial target file, renamed over the target
only once every table is in and every reference resolves.

The target is built as TARGET.zorva-partial beside TARGET, with the finished
tables noted in TARGET.zorva-partial.json: a job killed at any moment leaves
TARGET as it was (absent, or the previous run's), and `--resume` takes up the
partial file. Tables are created with their keys and references; references
are not enforced while loading (tables load side by side, in any order) and
are checked all at once at the end with PRAGMA foreign_key_check.
"""

from __future__ import annotations

import os
import re
import threading
from collections.abc import Iterator
from contextlib import closing
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
PARTIAL = ".zorva-partial"
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


class SqliteTarget:
    widen_ints = True

    def __init__(self, path: str | Path, source: SqliteSource, replace: bool) -> None:
        self.path = Path(path)
        self.partial = self.path.with_name(self.path.name + PARTIAL)
        self.source = source
        self.replace = replace
        self.lock = threading.Lock()
        self.conn: adbc.Connection | None = None
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
        self.state = StateFile(self.partial.with_name(self.partial.name + ".json"), fingerprint)
        finished = self.state.load() if resume and self.partial.exists() else None
        if finished is None:
            # A fresh start: whatever an earlier job left goes.
            for p in (self.partial, Path(str(self.partial) + "-journal"), Path(str(self.partial) + "-wal")):
                p.unlink(missing_ok=True)
            self.state.save(())
            finished = set()
        self.finished = set(finished)
        self.conn = adbc.connect(str(self.partial), autocommit=True)
        self._sql("PRAGMA foreign_keys = OFF")
        # A killed process cannot corrupt the file whatever the sync level; the
        # file is synced once, before it is published.
        self._sql("PRAGMA synchronous = OFF")
        # Masked keys arrive in keyed order, not the source's: every insert lands
        # somewhere in the table's tree. A cache that holds the trees being written
        # saves re-reading their pages (about a fifth of the writer's CPU on the sample).
        self._sql(f"PRAGMA cache_size = -{CACHE_KIB}")
        self._sql(f"ATTACH DATABASE '{source_uri(self.source.path).replace(chr(39), chr(39) * 2)}' AS source")
        return set(self.finished)

    def close(self) -> None:
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def _sql(self, statement: str) -> list[tuple[object, ...]]:
        assert self.conn is not None
        with closing(self.conn.cursor()) as cursor:
            cursor.execute(statement)
            try:
                return [tuple(r) for r in cursor.fetchall()]
            except Error:
                return []

    # -- tables

    def target_types(self, plan: TablePlan) -> list[str]:
        return target_types(plan, self.source)

    def begin_table(self, plan: TablePlan) -> None:
        with self.lock:
            self._sql(f"DROP TABLE IF EXISTS main.{quote(plan.name)}")
        self.created.discard(plan.name)

    def _create(self, plan: TablePlan, types: list[str]) -> None:
        self._sql(create_table(plan, types, self.present))
        self.created.add(plan.name)

    def write(self, plan: TablePlan, chunk: pa.Table, first_row: int, widened: set[int]) -> None:
        with self.lock:
            self._sql("BEGIN")
            try:
                if plan.name not in self.created:
                    types = self.target_types(plan)
                    for j in widened:
                        types[j] = "TEXT"
                    self._create(plan, types)
                elif widened - self._widened_at_create(plan):
                    raise RefusedValue(self._outgrown(plan, widened))
                assert self.conn is not None
                with closing(self.conn.cursor()) as cursor:
                    cursor.adbc_ingest(plan.name, chunk, mode="append")
                self._sql("COMMIT")
            except BaseException as e:
                self._sql("ROLLBACK")
                if first_row == 0:
                    self.created.discard(plan.name)
                # The driver reports a constraint's failure as an internal error.
                if isinstance(e, adbc.Error) and "constraint failed" in str(e):
                    raise RefusedValue(self._constraint_message(plan, chunk, str(e), first_row)) from None
                raise

    def _widened_at_create(self, plan: TablePlan) -> set[int]:
        rows = self._sql(f"PRAGMA main.table_info({quote(plan.name)})")
        declared = self.target_types(plan)
        return {j for j, r in enumerate(rows) if str(r[2]) == "TEXT" and declared[j] != "TEXT"}

    @staticmethod
    def _outgrown(plan: TablePlan, widened: set[int]) -> str:
        names = ", ".join(plan.table.names[j] for j in sorted(widened))
        return (
            f"table {plan.name!r}: masked values of {names} outgrow 64 bits after the first chunk, "
            "and the column was created as an integer; a larger --chunk-size takes them in the first chunk"
        )

    def _constraint_message(self, plan: TablePlan, chunk: pa.Table, error: str, first_row: int) -> str:
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
            f"collide: {self._collisions(plan, chunk, columns)} (a hash cut short or a fake strategy "
            "cannot keep values unique: mask the column with key or fpe)"
        )

    def _collisions(self, plan: TablePlan, chunk: pa.Table, columns: list[str]) -> str:
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
                assert self.conn is not None
                with closing(self.conn.cursor()) as cursor:
                    cursor.execute(f"SELECT {col} FROM main.{quote(plan.name)} WHERE {col} IN ({marks}) LIMIT 3", part)
                    dup = [{columns[0]: r[0]} for r in cursor.fetchall()]
                if dup:
                    break
        return ", ".join(repr(tuple(d.values()) if len(d) > 1 else next(iter(d.values()))) for d in dup) or "?"

    def copy_table(self, plan: TablePlan) -> int:
        names = ", ".join(map(quote, plan.table.names))
        with self.lock:
            self._sql("BEGIN")
            try:
                self._create(plan, self.target_types(plan))
                self._sql(
                    f"INSERT INTO main.{quote(plan.name)} ({names}) SELECT {names} FROM source.{quote(plan.name)}"
                )
                self._sql("COMMIT")
            except BaseException:
                self._sql("ROLLBACK")
                raise
        return plan.table.rows

    def end_table(self, plan: TablePlan) -> None:
        assert self.state is not None
        with self.lock:
            self._sql("BEGIN")
            try:
                if plan.name not in self.created:
                    self._create(plan, self.target_types(plan))
                for index in plan.table.indexes:
                    self._sql(index.definition)
                self._sql("COMMIT")
            except adbc.Error as e:
                self._sql("ROLLBACK")
                if "constraint failed" not in str(e):
                    raise
                raise RefusedValue(
                    f"a unique index of {plan.name!r} refused the masked values: {str(e).strip().splitlines()[0]} "
                    "(a hash cut short or a fake strategy cannot keep values unique: mask with key or fpe)"
                ) from None
            except BaseException:
                self._sql("ROLLBACK")
                raise
            self.finished.add(plan.name)
            self.state.save(self.finished)

    def finish(self, plan: Plan) -> None:
        assert self.state is not None and self.conn is not None
        with self.lock:
            extras = [(k, v) for t in plan.tables for k, v in t.table.extra.items() if k != "sql"]
            self._sql("BEGIN")
            for key, sql in sorted(extras, key=lambda kv: kv[0].startswith("trigger")):
                kind, name = key.split(":", 1)
                self._sql(f"DROP {kind.upper()} IF EXISTS main.{quote(name)}")
                try:
                    self._sql(sql)
                except Error as e:  # a view or trigger over a table this job does not write
                    self.warnings.append(f"{kind} {name!r} not created: {str(e).strip().splitlines()[0]}")
            self._sql("COMMIT")
            broken = self._sql("PRAGMA main.foreign_key_check")
            if broken:
                counts: dict[tuple[str, str], int] = {}
                for table, _, parent, _ in broken:
                    counts[(str(table), str(parent))] = counts.get((str(table), str(parent)), 0) + 1
                listed = ", ".join(f"{n} row(s) of {t!r} referencing {p!r}" for (t, p), n in counts.items())
                raise RefusedValue(f"references that do not resolve in the target: {listed}")
            self._sql("DETACH DATABASE source")
            self.close()
        fd = os.open(self.partial, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        self.bytes = self.partial.stat().st_size
        os.replace(self.partial, self.path)
        sync_dir(self.path.parent)
        self.state.remove()
