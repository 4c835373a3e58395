"""Pieces every table's run shares: chunking and the masking thread count."""

from __future__ import annotations

from collections.abc import Iterable, Iterator

import pyarrow as pa
import zorva_arrow

__all__ = ["masking_threads", "rechunk"]


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


def masking_threads() -> int:
    """Every core but one. The readers and writers work without the interpreter lock,
    but they work: on the sample they cost about as much CPU per row as the masking,
    so with every core masking they would all wait for cores."""
    return max(1, zorva_arrow.availableCores() - 1)
