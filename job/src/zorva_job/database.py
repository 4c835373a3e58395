"""The whole-database job: every table of the plan read, masked (or copied) and written,
several tables side by side, under one progress display; then the target's keys,
indexes and reference checks, and the target published whole.

Every masker is built before the target is touched: a policy that cannot be
masked as asked leaves no trace there.
"""

from __future__ import annotations

import queue
import threading
import time
from dataclasses import dataclass, field

import pyarrow as pa
from tqdm import tqdm

from .backend import Source, Target
from .columnar import BatchMasker
from .pipeline import StageTimes, run_stages
from .plan import Plan, TablePlan
from .policy import Options, RefusedValue


class _Stopped(Exception):
    """Another table failed: this one stops at its next chunk."""


@dataclass
class TableResult:
    name: str
    action: str
    rows: int = 0
    seconds: float = 0.0
    fallbacks: int = 0
    resumed: bool = False  # finished by an earlier, stopped run


@dataclass
class DatabaseResult:
    tables: list[TableResult]
    seconds: float
    bytes: int
    times: StageTimes = field(default_factory=StageTimes)
    warnings: list[str] = field(default_factory=list)
    target: str = ""  # where it went, for the report

    @property
    def rows(self) -> int:
        return sum(t.rows for t in self.tables if not t.resumed)

    @property
    def rows_per_second(self) -> float:
        return self.rows / self.seconds if self.seconds else float("inf")

    @property
    def megabytes_per_second(self) -> float:
        """The published target's size over the run's time."""
        return self.bytes / 1e6 / max(self.seconds, 1e-9)


def build_maskers(
    plan: Plan, source: Source, target: Target, master: bytes, words: Options | None
) -> dict[str, BatchMasker]:
    out = {}
    for t in plan.tables:
        if t.action == "mask":
            out[t.name] = BatchMasker.for_rules(
                t.name,
                t.table.names,
                [c.rule for c in t.columns],
                master,
                words,
                source.decimal_columns(t),
                target.widen_ints,
            )
    return out


def cost(t: TablePlan) -> int:
    """A table's work, roughly: each value is read and written, a masked one also masked
    (which costs about twice the reading and writing of a value)."""
    masked = sum(c.rule is not None for c in t.columns) if t.action == "mask" else 0
    return t.table.rows * (len(t.columns) + 2 * masked)


def _add(total: StageTimes, part: StageTimes) -> None:
    for name in ("read", "mask", "write", "read_cpu", "mask_cpu", "write_cpu"):
        setattr(total, name, getattr(total, name) + getattr(part, name))


def run_database(
    plan: Plan,
    source: Source,
    target: Target,
    maskers: dict[str, BatchMasker],
    fingerprint: str,
    *,
    chunk_size: int = 10_000,
    resume: bool = False,
    tables_at_once: int = 2,
    overlap: bool = True,
    copy_only: bool = False,
    progress: bool | None = None,
) -> DatabaseResult:
    """Runs the plan into `target`; `copy_only` copies masked tables unmasked (the reader
    and writer alone, for measuring). Raises the first failure, the target left partial."""
    start, cpu = time.perf_counter(), time.process_time()
    finished = target.open(plan, fingerprint, resume)
    results = {t.name: TableResult(t.name, t.action) for t in plan.tables}
    for name in finished:
        if name in results:
            results[name].resumed = True
            results[name].rows = next(t.table.rows for t in plan.tables if t.name == name)
    names = {t.name for t in plan.tables}
    todo = [t for t in plan.tables if t.name not in finished]
    # Tables of one chunk first: they cost next to nothing, and they are the
    # lookup tables that others reference, whose references can then be checked
    # as soon as the referencing tables are in. Then the costliest first, so that
    # the tables running side by side end close together.
    todo.sort(key=lambda t: (t.table.rows > chunk_size, -cost(t)))
    work: queue.SimpleQueue[TablePlan] = queue.SimpleQueue()
    for t in todo:
        work.put(t)
    times = StageTimes()
    lock = threading.Lock()
    failed = threading.Event()
    errors: list[BaseException] = []
    total = sum(t.table.rows for t in todo if t.action != "skip")
    bar = tqdm(
        total=total, unit="rows", unit_scale=True, desc="database", disable=None if progress is None else not progress
    )
    done_tables = [len(finished)]
    written, checked = set(finished), set()

    def references_ready() -> list[TablePlan]:
        """The tables not yet checked whose references can be: they and the tables they
        reference are finished. Each is claimed by the thread that asks first."""
        ready = []
        with lock:
            for t in plan.tables:
                parents = {fk.table for fk in t.table.foreign_keys}
                if t.name not in checked and t.name in written and parents & names <= written:
                    checked.add(t.name)
                    ready.append(t)
        return ready

    def advance(rows: int) -> None:
        with lock:
            bar.update(rows)

    def one(t: TablePlan) -> None:
        began = time.perf_counter()
        result = results[t.name]
        if t.action == "copy":
            target.begin_table(t)
            result.rows = target.copy_table(t)
            advance(result.rows)
        elif t.action == "skip":
            target.begin_table(t)
        else:
            masker = maskers[t.name]
            target.begin_table(t)
            part = StageTimes()
            fallbacks = masker.fallbacks
            done = [0]

            def mask(chunk: pa.Table) -> tuple[pa.Table, int]:
                if failed.is_set():
                    raise _Stopped
                first = done[0]
                done[0] += chunk.num_rows
                if copy_only:
                    return chunk, first
                try:
                    return masker.mask(chunk, first), first
                except RefusedValue as e:
                    raise RefusedValue(f"table {t.name!r}: {e}") from None

            def write(item: tuple[pa.Table, int]) -> int:
                if failed.is_set():
                    raise _Stopped
                target.write(t, item[0], item[1], masker.widened)
                return int(item[0].num_rows)

            run_stages(source.chunks(t, chunk_size), mask, write, overlap=overlap, times=part, written=advance)
            result.rows = done[0]
            result.fallbacks = masker.fallbacks - fallbacks
            with lock:
                _add(times, part)
        target.end_table(t)
        with lock:
            written.add(t.name)
        for ready in references_ready():
            target.check_references(ready)
        result.seconds = time.perf_counter() - began
        with lock:
            done_tables[0] += 1
            bar.set_postfix_str(f"tables {done_tables[0]}/{len(plan.tables)}")

    def worker() -> None:
        while not failed.is_set():
            try:
                t = work.get_nowait()
            except queue.Empty:
                return
            try:
                one(t)
            except _Stopped:
                return
            except BaseException as e:
                with lock:
                    errors.append(e)
                failed.set()
                return

    threads = [
        threading.Thread(target=worker, name=f"zorva-table-{i}", daemon=True)
        for i in range(max(1, min(tables_at_once, len(todo))))
    ]
    try:
        try:
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        except BaseException:
            # Ctrl-C: every table stops at its next chunk, and the target is
            # closed only once no thread writes to it.
            failed.set()
            for th in threads:
                th.join()
            raise
        if errors:
            # A refusal before other failures: it says what to change.
            raise next((e for e in errors if isinstance(e, RefusedValue)), errors[0])
        for ready in references_ready():  # those of the tables a resumed job had finished
            target.check_references(ready)
        target.finish(plan)
    finally:
        bar.close()
        target.close()
        source.close()
    times.process_cpu = time.process_time() - cpu
    ordered = [results[t.name] for t in plan.tables]
    return DatabaseResult(ordered, time.perf_counter() - start, target.bytes, times, list(target.warnings))
