"""maskColumn, maskChunk and columnKinds: reading values and rows, problems,
the pool and a cache that fills up. test_hostile holds every answer's shape,
the cache and de-duplication to the same rules on random values; the storm of
threads on shared Maskers runs in scripts/reliability.sh under ThreadSanitizer."""

import gc
import sys
import threading
from decimal import Decimal

import pytest
import zorva_rs
from conftest import KEY, WORDS, pool_threads
from zorva_rs import Masker, columnKinds, maskChunk


def maskers(*names):
    return [None if n is None else Masker(KEY, n, WORDS if n.startswith("fake") else {}) for n in names]


def test_empty_inputs_and_no_masker_at_all():
    for ms in ([], [None], maskers("key", None, "number")):
        assert maskChunk(ms, []) == maskChunk(ms, iter(())) == ([], [])
    assert maskChunk(range(0), [()]) == ([()], [])
    cells = [object(), "s", 10**30, 1.5]  # rows of any form come back as tuples of the very objects
    rows, problems = maskChunk((None, None), [cells[:2], tuple(cells[2:])])
    assert problems == [] and all(type(r) is tuple for r in rows)
    assert all(a is b for a, b in zip(rows[0] + rows[1], cells))


def test_only_rows_that_can_hold_a_cycle_stay_tracked_by_the_collector():
    ms = maskers("key", None, "number")
    carried = [[], {}, object()]
    rows, _ = maskChunk(ms, [("a", 1, 2.5), ("b", None, 3)] + [("c", c, 1) for c in carried])
    assert [gc.is_tracked(r) for r in rows] == [False, False, True, True, False]
    # A row that holds itself through a carried list is collected, not leaked.
    box = []
    rows, _ = maskChunk(ms, [("d", box, 1)])
    box.append(rows[0])
    probe = type("Probe", (), {})()
    box.append(probe)
    alive = __import__("weakref").ref(probe)
    del rows, box, probe
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "strategy,values",
    [
        ("hash", ["x", "y", "x", None, "x"]),
        ("number", [Decimal("1.50"), 2.5, Decimal("1.50"), 7, 2.5, 7]),
        ("key", [12, "ab-1", 12, "ab-1", "é", "é"]),  # "é" falls back: None in both places
    ],
)
def test_equal_values_of_one_call_share_one_masked_object(strategy, values):
    masker = Masker(KEY, strategy, {})
    masked, problems = masker.maskColumn(values)
    rows, chunkProblems = maskChunk([masker], [(v,) for v in values])
    assert [r[0] for r in rows] == masked
    assert [(j, r, m) for j, r, m in chunkProblems] == [(0, r, m) for r, m in sorted(problems.items())]
    for got in (masked, [r[0] for r in rows]):
        for i, v in enumerate(values):
            first = values.index(v)
            assert type(got[i]) is type(got[first])
            assert got[i] is got[first]
    # Unequal inputs whose masked values are equal are never confused.
    assert masker.maskColumn(values[:1] * 3)[0] == masked[:1] * 3


@pytest.mark.parametrize("name", ["hash", "email", "number", "fakeName"])
def test_a_mostly_none_column_answers_each_value_as_alone(name):
    masker, values = maskers(name)[0], [None, "a@B.c", None, True, None, 7, object(), None, 2.5, "x"] * 30
    alone = [masker.maskColumn([v]) for v in values]
    assert masker.maskColumn(values) == ([a[0][0] for a in alone], {i: a[1][0] for i, a in enumerate(alone) if a[1]})


def test_every_iterable_is_read_and_lists_and_tuples_by_index():
    masker = Masker(KEY, "key", {})
    values = ["a1", 5, None, "a1", True]
    expected = masker.maskColumn(values)
    by_index = {"__iter__": lambda s: pytest.fail("read by index"), "__getitem__": lambda s, i: pytest.fail("read")}
    for form in (
        tuple(values),
        iter(values),
        (v for v in values),
        type("L", (list,), by_index)(values),
        type("T", (tuple,), {"__iter__": by_index["__iter__"]})(values),
    ):
        assert masker.maskColumn(form) == expected
    assert masker.maskColumn(dict.fromkeys(values).keys()) == masker.maskColumn(["a1", 5, None, True])
    assert masker.maskColumn("abca") == masker.maskColumn(["a", "b", "c", "a"])
    ms = [masker, None, masker]
    rows = [("a", 1, "a"), ("b", 2, 5)]
    expected = maskChunk(ms, rows)
    assert expected[0][0][0] == expected[0][0][2] and expected[0][1][:2] == (masker.maskColumn(["b"])[0][0], 2)
    assert maskChunk(tuple(ms), [list(rows[0]), iter(rows[1])]) == expected
    assert maskChunk(ms, ((x for x in r) for r in rows)) == expected
    assert maskChunk(ms, [type("Row", (tuple,), {"__iter__": by_index["__iter__"]})(r) for r in rows]) == expected


def test_problems_in_row_then_column_order():
    masked, problems = maskChunk(
        maskers("key", "email", None, "digits"), [(True, 1, "x", "12"), ("a", "b@c.d", None, False), (b"", 2, 3, 4)]
    )
    assert problems == [
        (0, 0, ("refused", "the key strategy cannot mask a bool")),
        (1, 0, "fallback"),
        (3, 1, ("refused", "the digits strategy needs text or an integer, got bool")),
        (0, 2, "fallback"),
        (1, 2, "fallback"),
    ]
    assert all(masked[row][column] is None for column, row, _ in problems)
    assert masked[1][2] is None and masked[2][2] == 3
    # Problem markers are new objects each time, equal to the module's constants.
    marks = Masker(KEY, "key", {}).maskColumn([b"x", True])[1]
    assert marks[0] == zorva_rs.FALLBACK and marks[0] is not zorva_rs.FALLBACK and marks[1][0] == zorva_rs.REFUSED


def test_a_single_large_column_is_spread_over_the_pool(restore_threads):
    # One masked column, so the map over columns has one piece: only the split
    # of its distinct values can put a second pool thread to work.
    zorva_rs.setThreads(2)
    masker = Masker(KEY, "key", {})
    for attempt in range(5):
        before = pool_threads()
        rows = [(f"id-{attempt}-{i:07d}",) for i in range(60_000)]
        masked, problems = maskChunk([masker], rows)
        assert problems == [] and len(masked) == len(rows)
        busy = [tid for tid, (_, ticks) in pool_threads().items() if ticks > before.get(tid, ("", 0))[1]]
        if len(busy) >= 2:
            return
    pytest.fail(f"only {len(busy)} pool thread(s) did any work")


@pytest.mark.parametrize("shape", [list, iter], ids=["list", "iterator"])
def test_rows_read_while_earlier_rows_mask_give_the_single_thread_answer(restore_threads, shape):
    # Long enough that, with a pool, earlier blocks of rows mask while later
    # ones are read: values repeat across blocks, problems fall in every block.
    names = ("key", None, "digits", "number", "fakeName")
    rows = [
        (i % 2500, f"c{i}", "12-34" if i % 7 else True, 1.5 * i if i % 11 else b"x", f"n{i % 900}") for i in range(9000)
    ]
    expected = maskChunk(maskers(*names), rows)
    zorva_rs.setThreads(2)
    shared = maskers(*names)
    assert maskChunk(shared, shape(rows)) == expected
    assert maskChunk(shared, shape(rows)) == expected  # now from the caches
    # A bad row after several blocks went to the pool fails the whole call.
    with pytest.raises(ValueError, match="the policy covers 5 column"):
        maskChunk(shared, shape([*rows[:6000], (1,)]))


def test_a_cache_filling_up_under_concurrent_readers(restore_threads):
    """Past 65,536 entries the cache stops growing; readers still get the same answers."""
    masker = zorva_rs.Masker(KEY, "key", {})
    values = list(range(10**6, 10**6 + 70_000))
    reference = zorva_rs.Masker(KEY, "key", {}).maskColumn(values)[0]
    failures = []

    def reader(offset):
        for lo in range(offset, 70_000, 7_000):
            if masker.maskColumn(values[lo : lo + 3_000])[0] != reference[lo : lo + 3_000]:
                failures.append(lo)

    zorva_rs.setThreads(2)
    threads = [threading.Thread(target=reader, args=(k * 1_000,)) for k in range(4)]
    for t in threads:
        t.start()
    assert masker.maskColumn(values)[0] == reference
    for t in threads:
        t.join()
    assert not failures and masker.maskColumn(values)[0] == reference


Flag = type("Flag", (int,), {})
Rows = type("Rows", (list,), {})
Row = type("Row", (tuple,), {})


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([], ([], [])),
        ([(), ()], ([], [])),
        ([(2**64, True), (1, Flag(2**80))], ([[int], [bool, Flag]], [False, True])),  # subclasses never clear it
        (Rows([Row((1, None))]), ([[int], [type(None)]], [True, True])),
        # Other shapes give None; test_hostile draws many more rows of both kinds.
        *[(rows, None) for rows in [((1, 2), (3, 4)), [[1, 2]], [(), (1,)], [(1,), None], {(1,): 2}, iter([(1,)])]],
    ],
)
def test_column_kinds(rows, expected):
    assert columnKinds(rows) == columnKinds(rows=rows) == expected


@pytest.mark.parametrize("tail", [[], [[1]], [(1, 2, 3)]], ids=["result", "list row", "wider row"])
def test_column_kinds_releases_every_reference(tail):
    Marker = type("Marker", (), {})
    rows = [(Marker(), 2**70)] * 3 + tail
    before = sys.getrefcount(Marker)
    for _ in range(100):
        result = columnKinds(rows)
    del result
    assert sys.getrefcount(Marker) == before


def test_rows_emptied_by_a_finalizer_during_the_column_kinds_walk():
    # Allocating the column lists may run a collection, and a finalizer may
    # then empty the rows list under the walk. From CPython 3.12 collections
    # wait for the eval loop, which may run this one as the call starts: the
    # walk then sees no rows.
    clearer = type("Clearer", (), {"__del__": lambda self: rows.clear()})
    threshold = gc.get_threshold()
    try:
        for width in (1, 5, 50):
            rows = [tuple(object() for _ in range(width)) for _ in range(20)]
            gc.collect()
            gc.set_threshold(1)
            garbage = clearer()
            garbage.cycle = garbage  # freed only by a collection
            del garbage
            result = columnKinds(rows)
            gc.set_threshold(*threshold)
            assert result in (None, ([], [])) or len(result[0]) == width
    finally:
        gc.set_threshold(*threshold)
