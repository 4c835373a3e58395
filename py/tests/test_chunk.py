"""maskChunk: reading maskers and rows, the result shape and problems."""

import os
import sys

import pytest

import zorva_rs
from zorva_rs import Masker, maskChunk

KEY = bytes(range(32))


def maskers(*names):
    return [None if n is None else Masker(KEY, n, {}) for n in names]


@pytest.mark.parametrize("ms", [[], [None], maskers("key", None, "number")])
def test_empty_rows(ms):
    assert maskChunk(ms, []) == ([], [])
    assert maskChunk(ms, iter(())) == ([], [])


def test_all_none_returns_the_very_objects():
    cells = [object(), "s", 10**30, 1.5]
    before = [sys.getrefcount(c) for c in cells]
    rows, problems = maskChunk((None, None), [cells[:2], tuple(cells[2:])])
    assert problems == []
    assert all(type(r) is tuple for r in rows)
    assert rows[0][0] is cells[0] and rows[0][1] is cells[1]
    assert rows[1][0] is cells[2] and rows[1][1] is cells[3]
    del rows
    assert [sys.getrefcount(c) for c in cells] == before


@pytest.mark.parametrize("value, message", [
    ("ab", "Can't extract `str` to `Vec`"),
    ({}, "'dict' object is not an instance of 'Sequence'"),
    (set(), "'set' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    ([None, 1], "'int' object is not an instance of 'Masker'"),
    ([Masker, None], "'type' object is not an instance of 'Masker'"),
])
def test_maskers_errors(value, message):
    with pytest.raises(TypeError) as excinfo:
        maskChunk(value, [])
    assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == ["while processing 'maskers'"]


def test_maskers_iteration_error_is_noted():
    class Broken:
        def __len__(self):
            return sys.maxsize
        def __getitem__(self, i):
            if i:
                raise LookupError("boom")
            return None
    with pytest.raises(LookupError) as excinfo:
        maskChunk(Broken(), [])
    assert excinfo.value.__notes__ == ["while processing 'maskers'"]


def test_maskers_as_tuple_range_and_shared():
    masker = Masker(KEY, "key", {})
    rows, problems = maskChunk((masker, masker), [("a", "a"), (1, 2)])
    assert rows[0][0] == rows[0][1]
    assert rows == [(masker.maskColumn(["a"])[0][0],) * 2, tuple(masker.maskColumn([1, 2])[0])]
    assert maskChunk(range(0), [()]) == ([()], [])


@pytest.mark.parametrize("row", [(1, 2), (1, 2, 3, 4), [1], ()])
def test_width_errors(row):
    with pytest.raises(ValueError) as excinfo:
        maskChunk(maskers("key", None, "hash"), [(1, 2, 3), row])
    assert str(excinfo.value) == f"the policy covers 3 column(s) and a row has {len(row)}"


def test_rows_of_many_forms():
    ms = maskers("hash", None)
    expected = maskChunk(ms, [("a", 1), ("b", 2)])
    assert maskChunk(ms, [["a", 1], iter(["b", 2])]) == expected
    assert maskChunk(ms, ((x for x in r) for r in [("a", 1), ("b", 2)])) == expected

    class Row(tuple):
        def __iter__(self):
            raise AssertionError("a tuple row is used as it is")
    assert maskChunk(ms, [Row(("a", 1)), Row(("b", 2))]) == expected


@pytest.mark.parametrize("rows", [[5], 5])
def test_rows_that_are_not_iterables_of_rows(rows):
    with pytest.raises(TypeError):
        maskChunk(maskers("key"), rows)


def test_problems_row_order_then_column_order():
    ms = maskers("key", "email", None, "digits")
    rows = [(True, 1, "x", "12"), ("a", "b@c.d", None, False), (b"", 2, 3, 4)]
    masked, problems = maskChunk(ms, rows)
    assert problems == [
        (0, 0, ("refused", "the key strategy cannot mask a bool")),
        (1, 0, "fallback"),
        (3, 1, ("refused", "the digits strategy needs text or an integer, got bool")),
        (0, 2, "fallback"),
        (1, 2, "fallback"),
    ]
    for column, row, _ in problems:
        assert masked[row][column] is None
    assert masked[1][2] is None and masked[2][2] == 3


def pool_cpu_ticks():
    """CPU ticks (user + system) of each masking-pool thread, by thread id."""
    ticks = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                if not comm.read().startswith("zorva-mask-"):
                    continue
            with open(f"/proc/self/task/{tid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        ticks[tid] = int(fields[11]) + int(fields[12])
    return ticks


def test_a_single_large_column_is_spread_over_the_pool(restore_threads):
    # One masked column, so the map over columns has one piece: only the split
    # of its distinct values can put a second pool thread to work.
    zorva_rs.setThreads(2)
    masker = Masker(KEY, "key", {})
    for attempt in range(5):
        before = pool_cpu_ticks()
        rows = [(f"id-{attempt}-{i:07d}",) for i in range(60_000)]
        masked, problems = maskChunk([masker], rows)
        assert problems == [] and len(masked) == len(rows)
        after = pool_cpu_ticks()
        busy = [tid for tid in after if after[tid] > before.get(tid, 0)]
        if len(busy) >= 2:
            return
    pytest.fail(f"only {len(busy)} pool thread(s) did any work")
