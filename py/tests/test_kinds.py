"""columnKinds: per-column exact types of a chunk and whether its ints fit in 64 bits."""

import decimal
import gc
import sys

import pytest

from zorva_rs import columnKinds

NoneType = type(None)


class Flag(int):
    pass


class Row(tuple):
    pass


class Rows(list):
    pass


@pytest.mark.parametrize(
    ("rows", "expected"),
    [
        ([], ([], [])),
        ([(), ()], ([], [])),
        ([(1, "a"), (True, None), (2, "b")], ([[int, bool], [str, NoneType]], [True, True])),
        ([(2**63 - 1,), (-(2**63),)], ([[int]], [True])),
        ([(2**63, 1), (0, 2)], ([[int], [int]], [False, True])),
        ([(-(2**63) - 1,)], ([[int]], [False])),
        # Once cleared, later small ints do not set the flag again.
        ([(2**64,), (1,)], ([[int]], [False])),
        # bool and int subclasses are listed under their own type and never
        # clear the flag, however large.
        ([(True,), (Flag(2**80),)], ([[bool, Flag]], [True])),
        (
            [(1.5,), (1,), (1.5,), ("x",), (decimal.Decimal(1),), (b"",)],
            ([[float, int, str, decimal.Decimal, bytes]], [True]),
        ),
        (Rows([Row((1, None))]), ([[int], [NoneType]], [True, True])),
    ],
)
def test_kinds(rows, expected):
    assert columnKinds(rows) == expected
    assert columnKinds(rows=rows) == expected


@pytest.mark.parametrize(
    "rows",
    [
        ((1, 2), (3, 4)),
        [[1, 2]],
        [(1, 2), [3, 4]],
        [(1, 2), (3, 4, 5)],
        [(1, 2, 3), (4, 5)],
        [(), (1,)],
        [(1,), None],
        None,
        {(1,): 2},
        iter([(1,)]),
        "rows",
    ],
)
def test_other_shapes_give_none(rows):
    assert columnKinds(rows) is None


@pytest.mark.parametrize(
    "tail",
    [[], [[1]], [(1, 2, 3)]],
    ids=["result", "list row", "wider row"],
)
def test_every_reference_is_released(tail):
    class Marker:
        pass

    rows = [(Marker(), 2**70)] * 3 + tail
    before = sys.getrefcount(Marker)
    for _ in range(100):
        result = columnKinds(rows)
    del result
    assert sys.getrefcount(Marker) == before


def test_rows_emptied_by_a_finalizer_during_the_walk():
    # Allocating the column lists may run a collection, and a finalizer may
    # then empty the rows list under the walk.
    class Clearer:
        def __init__(self, rows):
            self.rows = rows
            self.cycle = self

        def __del__(self):
            self.rows.clear()

    threshold = gc.get_threshold()
    try:
        for width in (1, 5, 50):
            rows = [tuple(object() for _ in range(width)) for _ in range(20)]
            gc.collect()
            gc.set_threshold(1)
            Clearer(rows)
            result = columnKinds(rows)
            gc.set_threshold(*threshold)
            assert result is None or len(result[0]) == width
    finally:
        gc.set_threshold(*threshold)
