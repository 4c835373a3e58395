"""Every entry point against random and hostile values, options and arguments.

Each call either answers with the right shape (one output or one problem per
input, nothing lost) or raises an exception of the kind the caller's own
objects or bad arguments call for; the process survives either way.
"""

import math
import os
import sys
from decimal import Decimal

import numpy as np
import pytest
import zorva_rs
from conftest import FAKES, KEY, WORDS
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

FUZZ = settings(
    max_examples=int(os.environ.get("ZORVA_HYPOTHESIS_EXAMPLES", "60")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
# One valid configuration per native strategy, with options that stress it.
CONFIGS = [
    ("key", {}),
    ("key", {"charset": "hex"}),
    ("fpe", {"charset": "digits", "strict": True}),
    ("fpe", {"charset": "alphanumeric"}),
    ("number", {}),
    ("number", {"min": "-1e3", "max": "1e3", "decimals": 2}),
    ("number", {"variance": "1e-30", "decimals": 0}),
    ("hash", {"length": 2**64 - 1, "prefix": "h\x00\xe9"}),
    ("email", {"length": 0, "keepDomain": True}),
    ("digits", {"keepLeading": 2**64 - 1, "keepTrailing": 1}),
    ("digits", {}),
    *[(name, dict(WORDS, maxLength=3)) for name in FAKES],
]
CONFIG_IDS = [f"{name}-{i}" for i, (name, _) in enumerate(CONFIGS)]


class Hostile(Exception):
    """Raised by the caller's own objects; must come back unchanged."""


def boom(*_args, **_kwargs):
    raise Hostile("boom")


# Every dunder a reader might touch raises.
Trap = type(
    "Trap",
    (),
    dict.fromkeys(
        [
            "__repr__",
            "__str__",
            "__index__",
            "__int__",
            "__float__",
            "__bool__",
            "__len__",
            "__iter__",
            "__lt__",
            "__format__",
        ],
        boom,
    ),
)


def answering(base, method):
    """A subclass of base whose method answers any text given: readers must not trust it."""

    def new(cls, value, text):
        obj = base.__new__(cls, value)
        obj.text = text
        return obj

    return type(f"{base.__name__}Shown", (base,), {"__new__": new, method: lambda self: self.text})


# Subclasses whose methods the readers call raise or answer nonsense.
BitLengthRaises = type("BitLengthRaises", (int,), {"bit_length": boom})
BitLengthStr = type("BitLengthStr", (int,), {"bit_length": lambda self: "many"})
BitLengthHuge = type("BitLengthHuge", (int,), {"bit_length": lambda self: 2**70})
BitLengthNegative = type("BitLengthNegative", (int,), {"bit_length": lambda self: -5})
ToBytesStr = type("ToBytesStr", (int,), {"to_bytes": lambda self, *a, **k: "not bytes"})
ToBytesShort = type("ToBytesShort", (int,), {"to_bytes": lambda self, *a, **k: b"\x01"})
ToBytesRaises = type("ToBytesRaises", (int,), {"to_bytes": boom})
ReprRaisesFloat = type("ReprRaisesFloat", (float,), {"__repr__": boom})
ReprNotStrFloat = type("ReprNotStrFloat", (float,), {"__repr__": lambda self: 12})
StrRaisesDecimal = type("StrRaisesDecimal", (Decimal,), {"__str__": boom})
StrSub = type("StrSub", (str,), {"__str__": boom, "__repr__": boom})
ReprTextFloat, StrTextDecimal = answering(float, "__repr__"), answering(Decimal, "__str__")
SHOWN = st.one_of(
    st.sampled_from(
        [
            "1e99999999999999999999",
            "1e-9223372036854775809",
            "١٢٣",
            "1_000",
            " 1",
            "nan",
            "-0",
            "",
            ".",
            "1e",
            "9" * 400,
            "0." + "0" * 500 + "1",
        ]
    ),
    st.text(max_size=20),
)

ints = st.one_of(
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from(
        [0, -1, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, -(2**71), 10**38, 10**39, 10**256 - 1, 10**256]
    ),
    # Beyond the interpreter's digit limit for str(int), which stays on so that
    # nothing in the engine may rely on it; a digit run of n digits costs about
    # n^2/16 bytes of hashing, so the truly huge values have a test of their own.
    st.sampled_from([5000, 20000]).map(lambda e: 10**e),
    st.sampled_from([5000, 20000]).map(lambda e: -(10**e) + 1),
)
texts = st.one_of(
    st.text(max_size=40),
    st.text(alphabet="0123456789-abcDEF@. ", max_size=300),
    st.sampled_from(["", "x" * 256, "y" * 257, "9" * 20_000, "a@b@C.D", " @ ", "\x00", "é" * 300]),
)
floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(
        [
            0.0,
            -0.0,
            5e-324,
            -5e-324,
            2.2250738585072014e-308,
            1.7976931348623157e308,
            float(2**53 + 1),
            1e23,
            0.1,
            math.nan,
            -math.inf,
        ]
    ),
)
decimals = st.one_of(
    st.decimals(allow_nan=True, allow_infinity=True),
    st.sampled_from(
        [
            Decimal("NaN"),
            Decimal("-sNaN"),
            Decimal("Infinity"),
            Decimal("-0"),
            Decimal("1.50"),
            Decimal("1E+999999"),
            Decimal("-1E-999999"),
            Decimal("9" * 60),
            Decimal("0E-1000000"),
        ]
    ),
)
hostile = st.one_of(
    st.builds(Trap),
    st.builds(
        lambda c, v: c(v),
        st.sampled_from(
            [BitLengthRaises, BitLengthStr, BitLengthHuge, BitLengthNegative, ToBytesStr, ToBytesShort, ToBytesRaises]
        ),
        st.one_of(st.integers(), st.sampled_from([2**64, -(2**100)]), st.just(5000).map(lambda e: 10**e)),
    ),
    st.builds(ReprRaisesFloat, floats),
    st.builds(ReprNotStrFloat, floats),
    st.builds(ReprTextFloat, floats, SHOWN),
    st.builds(StrRaisesDecimal, decimals),
    st.builds(StrTextDecimal, decimals, SHOWN),
    st.builds(StrSub, st.text(max_size=10)),
    st.sampled_from(
        [
            True,
            False,
            np.bool_(True),
            b"bytes",
            bytearray(b"x"),
            [],
            (1,),
            {},
            object(),
            1j,
            np.int64(5),
            np.float64(1.5),
            "\ud800",
            "a\udfffb",
        ]
    ),
)
values = st.one_of(st.none(), ints, texts, floats, decimals, hostile)


def expected_error(name, items):
    """The exception type the first raising value gives, or None."""
    for v in items:
        if isinstance(v, str) and any(0xD800 <= ord(c) < 0xE000 for c in v):
            return UnicodeEncodeError
        if name == "number" and isinstance(v, (ReprRaisesFloat, StrRaisesDecimal, ReprNotStrFloat)):
            return TypeError if isinstance(v, ReprNotStrFloat) else Hostile
    return None


def typed(values):
    return [(type(v), v) for v in values]  # answers are never NaN: those are fallbacks


REFUSALS = {
    "key": "the key strategy cannot mask a bool",
    "fpe": "the fpe strategy cannot mask a bool",
    "digits": "the digits strategy needs text or an integer, got bool",
}


def check_column(name, items, masked, problems):
    """One output or one problem per input, and the kind rules of each strategy."""
    assert type(masked) is list and type(problems) is dict and len(masked) == len(items)
    assert list(problems) == sorted(problems) and all(type(p) is int and 0 <= p < len(items) for p in problems)
    for p, marker in problems.items():
        assert masked[p] is None
        assert (marker == zorva_rs.FALLBACK and type(marker) is str) or (
            type(marker) is tuple
            and len(marker) == 2
            and marker[0] == zorva_rs.REFUSED
            and type(marker[1]) is str
            and marker[1]
        ), marker
    for p, (v, out) in enumerate(zip(items, masked)):
        real = isinstance(v, (float, Decimal))
        # Subclasses may show another number than they hold: readers need not trust either.
        finite = type(v) not in (float, Decimal) or (v.is_finite() if type(v) is Decimal else math.isfinite(v))
        if v is None:
            assert out is None and p not in problems
        elif type(v) is bool:
            assert problems[p] == (("refused", REFUSALS[name]) if name in REFUSALS else "fallback")
        elif (
            type(v) in (bytes, bytearray, list, tuple, dict, object, complex, Trap)
            or not finite
            or ((real or isinstance(v, str)) and real != (name == "number"))
        ):
            assert problems[p] == "fallback", (v, problems.get(p))  # only numbers reach the number strategy
        elif p in problems:
            continue
        elif name == "number":  # each kind of number stays that kind
            assert type(out) is (int if isinstance(v, int) else float if isinstance(v, float) else Decimal), (v, out)
        else:  # key, fpe and digits keep an int an int; every other answer is text
            assert type(out) is (int if name in ("key", "fpe", "digits") and isinstance(v, int) else str), (v, out)


def run_both(masker, name, items):
    """maskColumn and maskChunk on the same values must agree, or raise the same."""
    want = expected_error(name, items)
    carried = object()
    if want is not None:
        with pytest.raises(want):
            masker.maskColumn(items)
        with pytest.raises(want):
            zorva_rs.maskChunk([masker, None], [(v, carried) for v in items])
        return
    masked, problems = masker.maskColumn(items)
    check_column(name, items, masked, problems)
    # Again and twice over: from the cache now, with duplicates; refusals are never cached.
    again, twice = masker.maskColumn(items + items)
    assert typed(again) == typed(masked + masked)
    assert twice == {**problems, **{p + len(items): m for p, m in problems.items()}}
    rows, chunk_problems = zorva_rs.maskChunk((None, masker), ((carried, v) for v in items))
    assert all(type(r) is tuple and len(r) == 2 and r[0] is carried for r in rows)
    assert typed(r[1] for r in rows) == typed(masked) and chunk_problems == [(1, p, m) for p, m in problems.items()]


@pytest.fixture(scope="module")
def maskers():
    return [zorva_rs.Masker(KEY, name, options) for name, options in CONFIGS]


@pytest.mark.parametrize("index", range(len(CONFIGS)), ids=CONFIG_IDS)
@FUZZ
@given(items=st.lists(values, max_size=12))
def test_random_and_hostile_values(maskers, index, items):
    run_both(maskers[index], CONFIGS[index][0], items)


@pytest.mark.parametrize("index", range(len(CONFIGS)), ids=CONFIG_IDS)
def test_huge_values_are_answered(maskers, index):
    run_both(maskers[index], CONFIGS[index][0], [10**100000, -(10**100000) + 1, "9" * 100_000])


# A list subclass, read by index from its own storage.
Victim = type("Victim", (list,), {"__getitem__": boom, "__iter__": boom})


@pytest.mark.parametrize("entry", ["column", "chunk"])
@pytest.mark.parametrize("method, value, answer", [("__repr__", 1.5, "1.5"), ("bit_length", 2**80, 80)])
def test_values_that_empty_the_list_being_read(entry, method, value, answer):
    """The value being converted may lose its last reference in the list."""
    victim = Victim()
    cls = type("Clears", (type(value),), {method: lambda self: victim.clear() or answer})
    victim.extend((cls(value + i),) if entry == "chunk" else cls(value + i) for i in range(5))
    masker = zorva_rs.Masker(KEY, "number", {})
    if entry == "column":
        masked, problems = masker.maskColumn(victim)
        assert len(masked) == 1 and list(problems) in ([], [0])
    else:
        rows, _ = zorva_rs.maskChunk([masker], victim)
        assert len(rows) == 1 and len(rows[0]) == 1


def bad_len(items, length):
    """A sequence whose len() raises or lies: a length is only a hint to the readers."""
    items = list(items)
    return type(
        "BadLen",
        (),
        {
            "__len__": lambda self: boom() if isinstance(length, Exception) else length,
            "__iter__": lambda self: iter(items),
            "__getitem__": lambda self, i: items[i],
        },
    )()


@pytest.mark.parametrize("length", [Hostile("len"), -1, 2**62, 0, "x"])
def test_lengths_are_only_hints(length):
    masker = zorva_rs.Masker(KEY, "key", {})
    masked, problems = masker.maskColumn(bad_len(range(10), length))
    assert len(masked) == 10 and not problems
    rows, _ = zorva_rs.maskChunk(bad_len([masker], length), bad_len([(i,) for i in range(10)], length))
    assert [r[0] for r in rows] == masked


def failing(after):
    yield from range(after)
    raise Hostile("stop")


BadSequence = type("BadSequence", (), {"__len__": lambda self: 1, "__getitem__": boom})


@pytest.mark.parametrize("after", [0, 3, 300])
def test_errors_raised_by_iteration_come_back_unchanged(after):
    masker = zorva_rs.Masker(KEY, "key", {})
    for call in (
        lambda: masker.maskColumn(failing(after)),
        lambda: zorva_rs.maskChunk([masker], ((i,) for i in failing(after))),
        lambda: zorva_rs.maskChunk([masker], [(1,), failing(1)]),
        lambda: zorva_rs.maskChunk(BadSequence(), [(1,)]),
        lambda: zorva_rs.maskChunk([masker, masker], [Trap()]),
    ):
        with pytest.raises(Hostile):
            call()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


# Options: random and hostile values for every key every strategy reads.
OPTION_KEYS = [
    "charset",
    "strict",
    "length",
    "prefix",
    "mailDomain",
    "keepDomain",
    "keepLeading",
    "keepTrailing",
    "decimals",
    "min",
    "max",
    "variance",
    *WORDS,
    "maxLength",
]
option_values = st.one_of(
    st.none(),
    st.booleans(),
    st.sampled_from(
        [np.bool_(False), np.bool_(True), type("NotABool", (), {"__bool__": boom})(), Trap(), 1.5, Decimal(1), b"x"]
    ),
    st.integers(min_value=-(2**65), max_value=2**65),
    st.builds(Index, st.one_of(st.integers(min_value=-(2**65), max_value=2**65), st.just(Hostile("i")))),
    st.text(max_size=12),
    st.sampled_from(
        [
            "alphanumeric",
            "digits",
            "hex",
            "{number}",
            "{",
            "}",
            "{x}",
            "a\udc80",
            "1e-400",
            "9e9223372036854775807",
            "-0",
            "NaN",
            " 1",
        ]
    ),
    st.lists(st.text(max_size=6), max_size=3),
    st.lists(st.one_of(st.text(max_size=3), st.integers(), st.just("\ud800")), max_size=3).map(tuple),
    st.builds(type("WordsIterRaises", (list,), {"__iter__": boom}), st.lists(st.text(max_size=3), max_size=2)),
    st.sampled_from([range(3), {"a": 1}, {"a"}, "word", BadSequence()]),
)


@FUZZ
@given(
    name=st.sampled_from(
        ["key", "fpe", "number", "hash", "email", "digits", *FAKES, "Key", "redact", "null", "", '\x00\n"\\']
    ),
    base=st.booleans(),
    options=st.dictionaries(st.sampled_from(OPTION_KEYS), option_values, max_size=6),
)
def test_random_and_hostile_options(name, base, options):
    try:
        masker = zorva_rs.Masker(KEY, name, {**WORDS, **options} if base else options)
    except (TypeError, ValueError, OverflowError, Hostile):
        return
    run_both(masker, name, [None, 0, -7, 123456789, 10**40, "", "AB-12", "a@B.c", 1.5, Decimal("2.50"), True])


@FUZZ
@given(
    rows=st.one_of(
        st.lists(st.tuples(values, values), max_size=6),
        st.lists(st.one_of(st.tuples(values), st.tuples(values, values), st.lists(values, max_size=2)), max_size=4),
        st.tuples(st.tuples(values)),
        st.sampled_from([None, Trap(), "rows", [Trap()], [(Trap(),) * 3]]),
    )
)
def test_column_kinds_never_runs_caller_code(rows):
    result = zorva_rs.columnKinds(rows)
    shaped = type(rows) is list and all(type(r) is tuple and len(r) == len(rows[0]) for r in rows)
    assert (result is None) == (not shaped)
    if shaped and rows:
        kinds, fits = result
        assert kinds == [list(dict.fromkeys(type(row[j]) for row in rows)) for j in range(len(rows[0]))]
        assert fits == [
            all(-(2**63) <= row[j] < 2**63 for row in rows if type(row[j]) is int) for j in range(len(rows[0]))
        ]


def test_deep_recursion_in_a_value_is_not_followed():
    nested = []
    for _ in range(100_000):
        nested = [nested]
    masked, problems = zorva_rs.Masker(KEY, "hash", {}).maskColumn([nested, sys])
    assert masked == [None, None] and problems == {0: "fallback", 1: "fallback"}
