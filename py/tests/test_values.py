"""Conversion of Python values into the engine and back, seen through maskers."""

import enum
import sys
from decimal import Decimal

import pytest

import model
from test_hostile import WORDS, BitLengthNegative, BitLengthRaises, BitLengthStr, ToBytesShort
from zorva_rs import Masker, maskChunk

KEY = bytes(range(32))


def column(strategy, values, options=None):
    return Masker(KEY, strategy, options or {}).maskColumn(values)


BIG_INTS = [0, 1, -1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64 - 1, 2**64, -2**64,
            -2**71, 2**71 - 1, -128, 10**100, -10**100, 255, 256, -129]


@pytest.mark.parametrize("value", BIG_INTS)
def test_ints_cross_both_ways_exactly(value):
    # The digits masker keeps digit count and sign; the model fixes the answer,
    # so both the 64-bit path and the bit_length/to_bytes path are checked.
    masked, problems = column("digits", [value])
    assert problems == {}
    assert masked == [model.mask_digits_int(KEY, value)]
    assert type(masked[0]) is int
    # hash of an int is the hash of its decimal text
    assert column("hash", [value])[0] == column("hash", [str(value)])[0]


def test_int_and_str_enums():
    class Colour(enum.IntEnum):
        RED = 12345
    class Name(str, enum.Enum):
        ANN = "ann"
    masked, problems = column("key", [Colour.RED, Name.ANN, 12345, "ann"])
    assert problems == {}
    assert masked[0] == masked[2] and masked[1] == masked[3]
    assert type(masked[0]) is int and type(masked[1]) is str


class WrongBytes(int):
    def to_bytes(self, *args, **kwargs):
        return bytearray(b"\x01")


@pytest.mark.parametrize("cls", [BitLengthRaises, BitLengthStr, BitLengthNegative, WrongBytes])
def test_int_subclass_failures_become_fallbacks(cls):
    masked, problems = column("key", [cls(2**80), cls(7)])
    assert problems == {0: "fallback"}
    assert masked[0] is None and masked[1] == column("key", [7])[0][0]


def test_int_subclass_read_through_its_own_methods():
    assert column("key", [ToBytesShort(2**80)])[0] == column("key", [1])[0]


@pytest.mark.parametrize("value", [True, False])
def test_bools_are_not_ints(value):
    assert column("key", [value]) == ([None], {0: ("refused", "the key strategy cannot mask a bool")})
    assert column("fpe", [value]) == ([None], {0: ("refused", "the fpe strategy cannot mask a bool")})
    assert column("digits", [value]) == (
        [None], {0: ("refused", "the digits strategy needs text or an integer, got bool")})
    for strategy in ("hash", "email", "number"):
        assert column(strategy, [value]) == ([None], {0: "fallback"})


@pytest.mark.parametrize("strategy", ["key", "hash", "email", "digits", "fpe"])
@pytest.mark.parametrize("value", [1.5, float("nan"), Decimal("1.50"), b"12", bytearray(b"1"),
                                   [1], (1,), object(), 1j])
def test_other_types_fall_back(strategy, value):
    assert column(strategy, [value, None]) == ([None, None], {0: "fallback"})


def test_float_and_decimal_reach_only_the_number_masker():
    masked, problems = column("number", [0.1, Decimal("1.50"), Decimal("-0"), float("nan"),
                                         float("inf"), Decimal("NaN"), Decimal("sNaN"), b"1", "1"])
    assert type(masked[0]) is float and masked[0] != 0.1
    assert type(masked[1]) is Decimal and masked[1].as_tuple().exponent == -2
    assert problems == {i: "fallback" for i in range(2, 9)}


def test_float_subclass_repr_is_read():
    class Shown(float):
        def __repr__(self):
            return "2.5"
    # the value hashes by its repr text, the double is the float itself
    a = column("number", [Shown(2.5)])[0][0]
    assert a == column("number", [2.5])[0][0]


def test_decimal_subclass_and_broken_isinstance():
    class Dec(Decimal):
        pass
    assert column("number", [Dec("3.25")])[0] == column("number", [Decimal("3.25")])[0]

    class Raiser:
        @property
        def __class__(self):
            raise RuntimeError("isinstance asks __class__")
    # an isinstance that raises makes the value unsupported, the error dropped
    assert column("number", [Raiser()]) == ([None], {0: "fallback"})


@pytest.mark.parametrize("strategy", ["key", "hash", "number", "fakeCity"])
def test_lone_surrogate_raises(strategy):
    masker = Masker(KEY, strategy, WORDS if strategy == "fakeCity" else {})
    with pytest.raises(UnicodeEncodeError):
        masker.maskColumn(["ok", "bad\udc00"])
    with pytest.raises(UnicodeEncodeError):
        maskChunk([masker], [("ok",), ("bad\ud800",)])


def test_repr_errors_propagate():
    class Broken(float):
        def __repr__(self):
            raise KeyError("repr")
    with pytest.raises(KeyError):
        column("number", [1.0, Broken(2.0)])
    # ... and are not even asked for by a non-number masker
    assert column("key", [Broken(2.0)]) == ([None], {0: "fallback"})

    class BadStr(Decimal):
        def __str__(self):
            return 5
    with pytest.raises(TypeError):
        column("number", [BadStr("1")])


def test_texts_with_nul_and_non_ascii():
    values = ["a\x00b", "\x00", "zé\x00ü", "日本"]
    masked, problems = column("hash", values)
    assert problems == {}
    assert masked == [model.mask_hash(KEY, v.encode()) for v in values]


def test_no_decimal_module(monkeypatch):
    # The number masker imports decimal per call; an import failure is raised.
    masker = Masker(KEY, "number", {})
    monkeypatch.setitem(sys.modules, "decimal", None)
    with pytest.raises(ImportError):
        masker.maskColumn([1])
    with pytest.raises(ImportError):
        maskChunk([None], [(1,)])
    # other maskers do not need it in maskColumn
    assert Masker(KEY, "key", {}).maskColumn([1])[1] == {}
