"""Per-strategy behaviour through Python, held to the independent models."""

import random
import string

import pytest
from hypothesis import given, settings, strategies as st

import model
from zorva_rs import Masker

KEY = bytes(range(32))
LISTS = dict(firstNames=["Ann", "Bob", "Cé", "Dmitri", "Eve"], lastNames=["Lee", "Ng", "Olsen"],
             cities=["Oslo", "Lima", "Graz", "Pécs"], streets=["Main", "High", "Mill"],
             streetKinds=["Road", "Lane"], companySuffixes=["Inc", "Ltd", "AG"],
             companyWords=["Acme", "Globex", "Initech", "Umbrella"],
             address="{number} {street} {kind}")

texts = st.text(st.characters(blacklist_categories=["Cs"]), max_size=40)
ascii_texts = st.text(string.printable, max_size=40)
ints = st.integers(min_value=-10**40, max_value=10**40)
subkeys = st.binary(min_size=32, max_size=32)


def one(masker, value):
    masked, problems = masker.maskColumn([value])
    return problems.get(0, masked[0])


@settings(max_examples=60, deadline=None)
@given(subkeys, st.lists(st.one_of(texts, ints), max_size=8), st.integers(0, 80), texts)
def test_hash_matches_model(subkey, values, length, prefix):
    masker = Masker(subkey, "hash", {"length": length, "prefix": prefix})
    masked, problems = masker.maskColumn(values)
    assert problems == {}
    assert masked == [model.mask_hash(subkey, str(v).encode(), length, prefix) for v in values]


@settings(max_examples=60, deadline=None)
@given(subkeys, st.lists(st.one_of(texts, ascii_texts, st.emails()), max_size=6),
       st.integers(0, 70), st.booleans())
def test_email_matches_model(subkey, values, length, keep):
    masker = Masker(subkey, "email", {"length": length, "keepDomain": keep, "mailDomain": "m.test"})
    masked, problems = masker.maskColumn(values)
    for i, value in enumerate(values):
        expected = model.mask_email(subkey, value, length, "m.test", keep)
        if expected is None:
            assert problems[i] == "fallback" and masked[i] is None
        else:
            assert masked[i] == expected


def test_email_defaults():
    masker = Masker(KEY, "email", {})
    assert one(masker, " A@B.test ") == model.mask_email(KEY, "a@b.test")
    assert one(masker, "a@b.test").endswith("@example.test")
    assert len(one(masker, "x").split("@")[0]) == 13
    assert one(masker, 12) == "fallback"


@settings(max_examples=60, deadline=None)
@given(subkeys, st.lists(st.one_of(ints, ascii_texts, texts), max_size=6),
       st.integers(0, 4), st.integers(0, 4))
def test_digits_match_model(subkey, values, lead, trail):
    masker = Masker(subkey, "digits", {"keepLeading": lead, "keepTrailing": trail})
    masked, problems = masker.maskColumn(values)
    for i, value in enumerate(values):
        if isinstance(value, int):
            expected = model.mask_digits_int(subkey, value, lead, trail)
        else:
            expected = model.mask_digits_text(subkey, value, lead, trail)
        if expected is None:
            assert problems[i] == "fallback"
        else:
            assert masked[i] == expected and type(masked[i]) is type(value)


@pytest.mark.parametrize("kind", ["fakeFirstName", "fakeLastName", "fakeName", "fakeCity",
                                  "fakeCompany", "fakeStreetAddress"])
@pytest.mark.parametrize("max_length", [None, 0, 3])
def test_fakes_match_model(kind, max_length):
    rng = random.Random(kind)
    for _ in range(5):
        subkey = rng.randbytes(32)
        values = [rng.choice([str(rng.randint(-10**6, 10**6)), "".join(rng.choices("aé b", k=5))])
                  for _ in range(20)]
        masker = Masker(subkey, kind, {**LISTS, "maxLength": max_length})
        masked, problems = masker.maskColumn(values + [int(v) for v in values if v.lstrip("-").isdigit()])
        assert problems == {}
        expected = [model.mask_fake(subkey, kind, LISTS, v.encode(), max_length) for v in values]
        assert masked[: len(values)] == expected
        # an int masks through its decimal text
        assert masked[len(values):] == [e for e, v in zip(expected, values) if v.lstrip("-").isdigit()]


def test_key_and_fpe_refuse_long_values():
    for strategy in ("key", "fpe"):
        masker = Masker(KEY, strategy, {})
        masked, problems = masker.maskColumn(["a" * 257, 10**300])
        assert masked == [None, None]
        assert all(p[0] == "refused" for p in problems.values())


def test_fpe_strict_refuses_short_values():
    loose = Masker(KEY, "fpe", {})
    strict = Masker(KEY, "fpe", {"strict": True})
    assert loose.maskColumn(["ab"])[1] == {}
    assert strict.maskColumn(["ab"])[1][0][0] == "refused"


def test_number_modes():
    bounded = Masker(KEY, "number", {"min": "10", "max": "20", "decimals": 0})
    masked, problems = bounded.maskColumn(list(range(-50, 50)))
    assert problems == {} and all(10 <= m <= 20 and type(m) is int for m in masked)
    relative = Masker(KEY, "number", {})
    masked, _ = relative.maskColumn([0, 5, 5.0, 10**38 - 1, 10**38])
    assert masked[0] == 0 and masked[1] != 5 and abs(masked[1] - 5) <= 1
    assert type(masked[2]) is float
    assert masked[4] is None
