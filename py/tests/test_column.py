"""maskColumn: reading values, problems, de-duplication and the result cache."""

import pytest

import zorva_rs
from zorva_rs import Masker

KEY = bytes(range(32))
FAKE = dict(firstNames=["Ann", "Bob"], lastNames=["Lee"], cities=["Oslo"], streets=["Main"],
            streetKinds=["Road"], companySuffixes=["Inc"], companyWords=["Acme"])


@pytest.mark.parametrize("strategy", ["key", "hash", "number"])
def test_empty(strategy):
    assert Masker(KEY, strategy, {}).maskColumn([]) == ([], {})


def test_containers_and_iterables_agree():
    masker = Masker(KEY, "key", {})
    values = ["a1", 5, None, "a1", True]
    expected = masker.maskColumn(values)

    class Sub(list):
        def __iter__(self):
            raise AssertionError("a list is read by index")
        def __getitem__(self, i):
            raise AssertionError("a list is read by index")

    class SubTuple(tuple):
        def __iter__(self):
            raise AssertionError("a tuple is read by index")

    for form in (tuple(values), iter(values), (v for v in values), Sub(values), SubTuple(values),
                 dict.fromkeys(["a1", 5, None]).keys()):
        got = masker.maskColumn(form)
        if isinstance(form, type({}.keys())):
            assert got == masker.maskColumn(["a1", 5, None])
        else:
            assert got == expected


def test_str_is_read_by_character():
    masker = Masker(KEY, "hash", {})
    assert masker.maskColumn("abca") == masker.maskColumn(["a", "b", "c", "a"])


@pytest.mark.parametrize("values", [5, None, object()])
def test_not_iterable(values):
    with pytest.raises(TypeError):
        Masker(KEY, "key", {}).maskColumn(values)


def test_problems_in_position_order():
    masker = Masker(KEY, "key", {})
    values = [b"x", 1, True, "é", None, 2.0, False] * 3
    masked, problems = masker.maskColumn(values)
    assert list(problems) == sorted(problems)
    assert [i for i, m in enumerate(masked) if m is None] == sorted(
        set(problems) | {i for i, v in enumerate(values) if v is None})
    marks = [problems[i] for i in sorted(problems)]
    assert marks[:3] == ["fallback", ("refused", "the key strategy cannot mask a bool"), "fallback"]
    # new objects each time, equal to the module constants
    assert marks[0] == zorva_rs.FALLBACK and marks[0] is not zorva_rs.FALLBACK
    assert marks[1][0] == zorva_rs.REFUSED


@pytest.mark.parametrize("strategy, options", [("key", {}), ("fpe", {}), ("fakeName", FAKE),
                                                ("hash", {}), ("digits", {})])
def test_repeated_calls_and_duplicates_agree(strategy, options):
    masker = Masker(KEY, strategy, options)
    fresh = Masker(KEY, strategy, options)
    values = ["x" * 64, "y" * 65, "x" * 64, 1, "1", 1, True, None, "", -0] * 3
    first = masker.maskColumn(values)
    assert masker.maskColumn(values) == first  # now partly from the cache
    assert fresh.maskColumn(list(reversed(values)))[0] == list(reversed(first[0]))
    masked = first[0]
    assert masked[0] == masked[2] and masked[3] == masked[5]


def test_refusals_are_never_cached():
    masker = Masker(KEY, "key", {})
    for _ in range(3):
        assert masker.maskColumn(["a" * 300, True])[1] == {
            0: ("refused", masker.maskColumn(["a" * 300])[1][0][1]),
            1: ("refused", "the key strategy cannot mask a bool")}


def test_floats_keyed_by_bits():
    masker = Masker(KEY, "number", {})
    masked, problems = masker.maskColumn([1.5, 1.5, -0.0, 0.0, float("nan")])
    assert masked[0] == masked[1]
    assert problems == {2: "fallback", 3: "fallback", 4: "fallback"}


@pytest.mark.parametrize("threads", [1, 2, 8])
@pytest.mark.parametrize("count", [255, 256, 3000])
def test_pool_gives_identical_results(restore_threads, threads, count):
    values = [f"v{i}" for i in range(count)] + list(range(count))
    rows = [(v, v, i / 7, i) for i, v in enumerate(values)]

    def run():
        maskers = [Masker(KEY, s, {}) for s in ("fpe", "hash", "number")]
        return [m.maskColumn(values) for m in maskers[:2]], zorva_rs.maskChunk(maskers + [None], rows)
    zorva_rs.setThreads(1)
    expected = run()
    zorva_rs.setThreads(threads)
    assert run() == expected
