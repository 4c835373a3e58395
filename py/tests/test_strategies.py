"""Each strategy through Python, held to the independent models in model.py,
and values read through their own classes' methods."""

import enum
import math
import random
import string
import struct
import sys
from decimal import Decimal

import model
import pytest
from conftest import FAKES, KEY, WORDS
from hypothesis import example, given, settings
from hypothesis import strategies as st
from test_hostile import BitLengthNegative, BitLengthRaises, BitLengthStr, ToBytesShort
from zorva_rs import Masker, maskChunk

MODEL = settings(max_examples=60, deadline=None)
subkeys = st.binary(min_size=32, max_size=32)
texts = st.text(st.characters(blacklist_categories=["Cs"]), max_size=40)
printable = st.text(string.printable, max_size=40)
# Both ways across the 64-bit edge and through bit_length/to_bytes beyond it.
EDGE_INTS = [
    0,
    -1,
    2**63 - 1,
    -(2**63),
    2**63,
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    -(2**64),
    -(2**71),
    2**71 - 1,
    -129,
    256,
    10**100,
    -(10**100),
]
ints = st.one_of(st.integers(min_value=-(10**40), max_value=10**40), st.sampled_from(EDGE_INTS))
EMAILS = [
    "Jane.Doe@Example.COM",
    " \tjane.doe@example.com\n\x1c",
    "a@b@Sub.Example",
    "no-at-sign",
    "trailing@",
    " \r\n ",
    "j\xe9@example.com",
]


@MODEL
@given(subkeys, st.lists(st.one_of(texts, ints), max_size=8), st.one_of(st.integers(0, 80), st.just(2**64 - 1)), texts)
@example(KEY, EDGE_INTS, 16, "")
def test_hash(subkey, values, length, prefix):
    masked, problems = Masker(subkey, "hash", {"length": length, "prefix": prefix}).maskColumn(values)
    assert problems == {}
    assert masked == [model.mask_hash(subkey, str(v).encode(), length, prefix) for v in values]


@MODEL
@given(
    subkeys,
    st.lists(st.one_of(texts, printable, st.emails(), st.sampled_from(EMAILS), ints), max_size=6),
    st.one_of(st.integers(0, 70), st.just(2**64 - 1)),
    st.booleans(),
    st.booleans(),
)
def test_email(subkey, values, length, keep, defaults):
    options = {} if defaults else {"length": length, "keepDomain": keep, "mailDomain": "m.test"}
    masked, problems = Masker(subkey, "email", options).maskColumn(values)
    for i, value in enumerate(values):
        expected = model.mask_email(subkey, value, *([] if defaults else [length, "m.test", keep]))
        assert (problems.get(i), masked[i]) == (("fallback", None) if expected is None else (None, expected))


@MODEL
@given(
    subkeys,
    st.lists(st.one_of(ints, printable, texts), max_size=6),
    st.sampled_from([0, 1, 2, 3, 4, 2**64 - 1]),
    st.integers(0, 4),
)
@example(KEY, EDGE_INTS, 0, 0)
def test_digits(subkey, values, lead, trail):
    masked, problems = Masker(subkey, "digits", {"keepLeading": lead, "keepTrailing": trail}).maskColumn(values)
    for i, value in enumerate(values):
        masker = model.mask_digits_int if isinstance(value, int) else model.mask_digits_text
        expected = masker(subkey, value, lead, trail)
        assert (problems.get(i), masked[i]) == (("fallback", None) if expected is None else (None, expected))
        assert type(masked[i]) in (type(value), type(None))


def test_digits_many_streams():
    # Enough runs that the skipped stream bytes (250..255, about one in 43)
    # fall at every place of the sixteen-byte blocks, long runs included.
    rng = random.Random(16)
    values = ["".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 121))) for _ in range(3000)]
    masked, problems = Masker(KEY, "digits", {}).maskColumn(values)
    assert not problems
    assert masked == [model.mask_digits_text(KEY, v, 0, 0) for v in values]


@pytest.mark.parametrize("kind", FAKES)
@pytest.mark.parametrize("max_length", [None, 0, 3])
def test_fakes(kind, max_length):
    rng = random.Random(kind)
    for _ in range(5):
        subkey = rng.randbytes(32)
        values = [rng.choice([str(rng.randint(-(10**6), 10**6)), "".join(rng.choices("aé b", k=5))]) for _ in range(20)]
        numbers = [v for v in values if v.lstrip("-").isdigit()]
        masked, problems = Masker(subkey, kind, {**WORDS, "maxLength": max_length}).maskColumn(
            values + [int(v) for v in numbers]
        )
        assert problems == {}
        # An int masks through its decimal text.
        assert masked == [model.mask_fake(subkey, kind, WORDS, v.encode(), max_length) for v in values + numbers]


WrongBytes = type("WrongBytes", (int,), {"to_bytes": lambda self, *a, **k: bytearray(b"\x01")})
Shown = type("Shown", (float,), {"__repr__": lambda self: "2.5"})
Raiser = type("Raiser", (), {"__class__": property(lambda self: 1 // 0)})  # isinstance asks __class__


def test_subclasses_are_read_through_their_own_methods():
    key, number = Masker(KEY, "key", {}), Masker(KEY, "number", {})
    Colour = enum.IntEnum("Colour", {"RED": 12345})
    Name = enum.Enum("Name", {"ANN": "ann"}, type=str)
    assert key.maskColumn([Colour.RED, Name.ANN, ToBytesShort(2**80)]) == key.maskColumn([12345, "ann", 1])
    # Broken int subclasses are fallbacks, whatever else they hold.
    for cls in (BitLengthRaises, BitLengthStr, BitLengthNegative, WrongBytes):
        assert key.maskColumn([cls(2**80), cls(7)]) == ([None, key.maskColumn([7])[0][0]], {0: "fallback"})
    # A float hashes by its repr text; a Decimal subclass is a Decimal; an
    # isinstance that raises makes the value unsupported, the error dropped.
    assert number.maskColumn([Shown(2.5), type("Dec", (Decimal,), {})("3.25"), Raiser()]) == (
        number.maskColumn([2.5, Decimal("3.25")])[0] + [None],
        {2: "fallback"},
    )


def test_exact_floats_render_as_repr_does():
    # Exact floats are rendered natively, subclasses through their repr(): a
    # fractional float hashes by that text, so any difference shows.
    rng = random.Random(3)
    values = [struct.unpack("<d", rng.randbytes(8))[0] for _ in range(20000)]
    values += [round(rng.uniform(-1e4, 1e4), rng.randint(0, 6)) for _ in range(20000)]
    values += [float(f"{m}e{k}") for k in range(-330, 310, 3) for m in (1, 15, 123456789)]
    values += [0.0, -0.0, 5e-324, 1.7976931348623157e308, 1e16, 1e-5, 1e-4, math.nan, math.inf, -math.inf]
    values += [rng.uniform(0.01, 40.0) for _ in range(5000)] + [-rng.random() * 0.3 for _ in range(5000)]
    Sub = type("Sub", (float,), {})
    for options in (
        {},
        {"decimals": 2},
        {"variance": "0.2"},
        {"variance": "0.02", "decimals": 6},
        {"min": "-5", "max": "1e6", "decimals": 3},
    ):
        masker = Masker(KEY, "number", options)
        assert masker.maskColumn(values) == masker.maskColumn([Sub(v) for v in values])
    # A subclass whose repr() is empty reads as no number.
    Blank = type("Blank", (float,), {"__repr__": lambda self: ""})
    assert Masker(KEY, "number", {}).maskColumn([Blank(2.5)]) == ([None], {0: "fallback"})


def test_decimal_results_are_made_as_calling_the_type_makes_them(monkeypatch):
    # By the module's Decimal as found per call: its __init__ runs; a __new__ that raises (a misfit
    # method) raises through.
    import decimal

    texts, inits = ["12.50", "-0.003", "98765.4321"], []
    plain = Masker(KEY, "number", {}).maskColumn([Decimal(t) for t in texts])
    for body in ({}, {"__init__": lambda self, text: inits.append(text)}, {"__new__": Decimal.__truediv__}):
        cls = type("Dec", (Decimal,), body)
        monkeypatch.setattr(decimal, "Decimal", cls)
        values = [Decimal.__new__(cls, t) for t in texts]
        if "__new__" in body:
            with pytest.raises(TypeError):
                Masker(KEY, "number", {}).maskColumn(values)
        else:
            masked, problems = Masker(KEY, "number", {}).maskColumn(values)
            assert (masked, problems) == plain and {type(v) for v in masked} == {cls}
    assert len(inits) == 3


def test_no_decimal_module(monkeypatch):
    # The number masker imports decimal per call; an import failure is raised.
    masker = Masker(KEY, "number", {})
    monkeypatch.setitem(sys.modules, "decimal", None)
    with pytest.raises(ImportError):
        masker.maskColumn([1])
    with pytest.raises(ImportError):
        maskChunk([None], [(1,)])
    assert Masker(KEY, "key", {}).maskColumn([1])[1] == {}  # other maskers do not need it
