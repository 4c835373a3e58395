"""maskChunk: reading maskers and rows, the result shape, problems and threads."""

import sys
from decimal import Decimal

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


def test_carried_columns_beside_masked_ones_keep_refcounts():
    carried = object()
    before = sys.getrefcount(carried)
    for _ in range(3):
        rows, _ = maskChunk(maskers(None, "key"), [(carried, "a"), (carried, 1)] * 50)
        assert all(r[0] is carried for r in rows)
        del rows
    assert sys.getrefcount(carried) == before


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


def test_row_and_rows_errors():
    def failing():
        yield ("a",)
        raise KeyError("rows")
    with pytest.raises(KeyError):
        maskChunk(maskers("key"), failing())
    with pytest.raises(TypeError):
        maskChunk(maskers("key"), [5])
    with pytest.raises(TypeError):
        maskChunk(maskers("key"), 5)

    class HugeRows(list):
        def __len__(self):
            return sys.maxsize
    assert len(maskChunk(maskers("key"), HugeRows([("a",)]))[0]) == 1


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


def test_number_columns_get_decimals():
    masked, problems = maskChunk(maskers("number", "key"), [(Decimal("1.25"), Decimal("1.25")),
                                                            (2.5, 2.5)])
    assert type(masked[0][0]) is Decimal and type(masked[1][0]) is float
    assert [(c, r) for c, r, _ in problems] == [(1, 0), (1, 1)]


def test_agrees_with_mask_column():
    names = ["key", "hash", "email", "digits", "fpe", "number"]
    ms = maskers(*names)
    values = ["a1@b.c", 7, None, -2**70, True, 1.25, Decimal("3.5"), "x-9", b"z"]
    rows, problems = maskChunk(ms, [(v,) * len(names) for v in values])
    for j, masker in enumerate(ms):
        masked, column_problems = masker.maskColumn(values)
        assert [r[j] for r in rows] == masked
        assert {r: m for c, r, m in problems if c == j} == column_problems


def test_identical_results_at_any_thread_count(restore_threads):
    names = ["key", "fpe", "hash", "number", None, "digits"]
    rows = [(f"id{i}", i * 7919, f"h{i % 300}", i / 7, i, f"{i}-{i}") for i in range(3000)]
    results = []
    for threads in (1, 2, 8, 1):
        zorva_rs.setThreads(threads)
        results.append(maskChunk(maskers(*names), rows))
    assert all(r == results[0] for r in results)
