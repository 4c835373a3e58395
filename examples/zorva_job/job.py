"""What every backend's job shares: chunking, the stages, the sample, the report."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable, Iterable, Iterator
from typing import TextIO

import pyarrow as pa
import zorva_arrow
from tqdm import tqdm

from .cli import JobResult, Row, report_sample
from .columnar import BatchMasker
from .pipeline import StageTimes, run_stages
from .policy import RefusedValue

__all__ = ["JobResult", "masking_threads", "rechunk", "report", "run_job"]


def rechunk(batches: Iterable[pa.RecordBatch], size: int) -> Iterator[pa.Table]:
    """Tables of `size` rows (the last one shorter) from batches of any size, without copying."""
    held: list[pa.RecordBatch] = []
    rows = 0
    for batch in batches:
        while batch.num_rows:
            take = min(size - rows, batch.num_rows)
            held.append(batch.slice(0, take))
            batch = batch.slice(take)
            rows += take
            if rows == size:
                yield pa.Table.from_batches(held)
                held, rows = [], 0
    if rows:
        yield pa.Table.from_batches(held)


def rows_of(table: pa.Table, count: int) -> list[Row]:
    return [tuple(r.values()) for r in table.slice(0, count).to_pylist()]


def run_job(
    chunks: Iterator[pa.Table],
    masker: BatchMasker,
    copy_only: bool,
    prepare: Callable[[pa.Table], pa.Table],
    write: Callable[[pa.Table, int], None],
    *,
    columns: list[str],
    types: list[str],
    total: int,
    table: str,
    progress: bool | None,
    overlap: bool,
    sample: int,
) -> JobResult:
    """Reads, masks (`copy_only`: copies), prepares and writes every chunk under the
    progress bar; `types` are the target's column types (filled by the first write)."""
    before: list[Row] = []
    after: list[Row] = []
    done = 0

    def mask(chunk: pa.Table) -> tuple[pa.Table, int]:
        nonlocal done
        first = done
        if copy_only:
            masked = chunk
        else:
            try:
                masked = masker.mask(chunk, first)
            except RefusedValue as e:
                raise RefusedValue(f"{e} (the {first:,} rows before this chunk are written)") from None
        if len(before) < sample:
            before.extend(rows_of(chunk, sample - len(before)))
            after.extend(rows_of(masked, sample - len(after)))
        done += chunk.num_rows
        return prepare(masked), first

    def store(item: tuple[pa.Table, int]) -> int:
        write(*item)
        return int(item[0].num_rows)

    times = StageTimes()
    start, cpu = time.perf_counter(), time.process_time()
    with tqdm(
        total=total,
        unit="rows",
        unit_scale=True,
        desc=f"masking {table}",
        disable=None if progress is None else not progress,
    ) as bar:
        run_stages(chunks, mask, store, overlap=overlap, times=times, written=bar.update)
    times.process_cpu = time.process_time() - cpu
    return JobResult(
        done, time.perf_counter() - start, masker.engine_seconds, masker.fallbacks, columns, types, before, after, times
    )


def masking_threads() -> int:
    """Every core but one. The reader and the writer work without the interpreter lock,
    but they work: on the sample they cost about as much CPU per row as the masking
    (2.5 us each against 5.5 us), so with every core masking all three wait for cores."""
    return max(1, zorva_arrow.availableCores() - 1)


def report(result: JobResult, out: TextIO = sys.stdout) -> None:
    report_sample(result, out)
    engine = result.rows / result.engine_seconds if result.engine_seconds else float("inf")
    t = result.times
    print(
        f"masked {result.rows:,} rows in {result.seconds:.2f} s: "
        f"{result.rows_per_second:,.0f} rows/s end to end (read, mask, write), "
        f"{engine:,.0f} rows/s in maskBatch; {result.fallbacks} fallback value(s) "
        f"finished in Python; {zorva_arrow.threads()} masking thread(s)",
        file=out,
    )
    per_row = 1e6 / max(result.rows, 1)
    pool = t.process_cpu - t.read_cpu - t.mask_cpu - t.write_cpu
    print(
        f"stages: read {t.read:.2f} s, mask {t.mask:.2f} s, write {t.write:.2f} s of wall "
        f"time; CPU per row: read {t.read_cpu * per_row:.2f} us, write "
        f"{t.write_cpu * per_row:.2f} us, masking {t.mask_cpu * per_row:.2f} us on the job's "
        f"thread + {pool * per_row:.2f} us on the pool and elsewhere",
        file=out,
    )
