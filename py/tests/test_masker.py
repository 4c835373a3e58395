"""Masker construction: argument checks and option readers."""

import numpy
import pytest

from zorva_rs import Masker

KEY = bytes(range(32))
LISTS = dict(firstNames=["Ann"], lastNames=["Lee"], cities=["Oslo"], streets=["Main"],
             streetKinds=["Road"], companySuffixes=["Inc"], companyWords=["Acme"])
NATIVE = ["key", "hash", "email", "digits", "fpe", "number", "fakeFirstName", "fakeLastName",
          "fakeName", "fakeCity", "fakeCompany", "fakeStreetAddress"]


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.mark.parametrize("strategy", NATIVE)
def test_every_native_strategy_builds(strategy):
    options = dict(LISTS) if strategy.startswith("fake") else {}
    assert type(Masker(KEY, strategy, options)) is Masker


@pytest.mark.parametrize("args, message, note", [
    (("k" * 32, "key", {}), "'str' object is not an instance of 'bytes'", "subkey"),
    ((None, "key", {}), "'None' is not an instance of 'bytes'", "subkey"),
    ((bytearray(32), "key", {}), "'bytearray' object is not an instance of 'bytes'", "subkey"),
    ((KEY, b"key", {}), "'bytes' object is not an instance of 'str'", "strategy"),
    ((KEY, "key", []), "'list' object is not an instance of 'dict'", "options"),
    # The checks run in argument order.
    ((1, 2, 3), "'int' object is not an instance of 'bytes'", "subkey"),
    ((KEY, 2, 3), "'int' object is not an instance of 'str'", "strategy"),
])
def test_argument_types(args, message, note):
    with pytest.raises(TypeError) as excinfo:
        Masker(*args)
    assert str(excinfo.value) == message
    assert notes(excinfo) == [f"while processing '{note}'"]


def test_strategy_with_lone_surrogate_is_noted():
    with pytest.raises(UnicodeEncodeError) as excinfo:
        Masker(KEY, "k\udc00", {})
    assert notes(excinfo) == ["while processing 'strategy'"]


@pytest.mark.parametrize("subkey", [b"", bytes(31), bytes(33)])
@pytest.mark.parametrize("strategy", ["key", "nope"])
def test_subkey_length_comes_before_the_strategy(subkey, strategy):
    with pytest.raises(ValueError, match="^a subkey is 32 bytes$"):
        Masker(subkey, strategy, {})


@pytest.mark.parametrize("name, shown", [
    ("Key", '"Key"'), ("redact", '"redact"'), ("", '""'), ('a"b\\c', '"a\\"b\\\\c"'),
    ("t\tn\nr\r", '"t\\tn\\nr\\r"'), ("\x00\x1b\x7f\x9f", '"\\u{0}\\u{1b}\\u{7f}\\u{9f}"'),
    ("zé", '"zé"'),
])
def test_unknown_strategy(name, shown):
    with pytest.raises(ValueError) as excinfo:
        Masker(KEY, name, {})
    assert str(excinfo.value) == f"no native masker for strategy {shown}"


@pytest.mark.parametrize("strategy", ["key", "fpe"])
@pytest.mark.parametrize("charset, error, message", [
    ("Digits", ValueError, 'unknown charset "Digits"'),
    ("base64", ValueError, 'unknown charset "base64"'),
    (None, TypeError, "'None' is not an instance of 'str'"),
    (3, TypeError, "'int' object is not an instance of 'str'"),
])
def test_charset_errors(strategy, charset, error, message):
    with pytest.raises(error) as excinfo:
        Masker(KEY, strategy, {"charset": charset})
    assert str(excinfo.value) == message
    assert notes(excinfo) == []  # option errors carry no parameter note


@pytest.mark.parametrize("strategy, options, error", [
    ("hash", {"length": None}, TypeError), ("hash", {"length": 1.0}, TypeError),
    ("hash", {"length": "3"}, TypeError), ("hash", {"length": -1}, OverflowError),
    ("hash", {"length": 2**64}, OverflowError), ("hash", {"prefix": None}, TypeError),
    ("hash", {"prefix": b"x"}, TypeError), ("email", {"length": -1}, OverflowError),
    ("email", {"mailDomain": 1}, TypeError), ("email", {"keepDomain": 1}, TypeError),
    ("email", {"keepDomain": None}, TypeError), ("email", {"keepDomain": "yes"}, TypeError),
    ("digits", {"keepLeading": -1}, OverflowError), ("digits", {"keepTrailing": "1"}, TypeError),
    ("fpe", {"strict": 0}, TypeError), ("number", {"decimals": 1.5}, TypeError),
    ("number", {"min": 1, "max": 2}, TypeError), ("number", {"variance": 0.5}, TypeError),
    ("fakeCity", {**LISTS, "maxLength": -1}, OverflowError), ("fakeCity", {**LISTS, "address": None}, TypeError),
])
def test_option_type_and_range_errors(strategy, options, error):
    with pytest.raises(error):
        Masker(KEY, strategy, options)


def test_decimals_overflow_message():
    for bad in (-1, 2**32, 2**70):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            Masker(KEY, "number", {"decimals": bad})
    Masker(KEY, "number", {"decimals": 2**32 - 1})


def test_integer_and_boolean_option_readers():
    class Index:
        def __index__(self):
            return 5
    Masker(KEY, "hash", {"length": Index()})
    Masker(KEY, "hash", {"length": 2**64 - 1})
    for flag in (True, False, numpy.bool_(True), numpy.bool_(False)):
        Masker(KEY, "fpe", {"strict": flag})
    # numpy's bool is read by its truth.
    for flag, domain in ((numpy.bool_(True), "@Keep.Me"), (numpy.bool_(False), "@example.test")):
        assert Masker(KEY, "email", {"keepDomain": flag}).maskColumn(["a@Keep.Me"])[0][0].endswith(domain)

    class bool_:  # a look-alike from another module is not numpy's
        __module__ = "notnumpy"
        def __bool__(self):
            return True
    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        Masker(KEY, "email", {"keepDomain": bool_()})


def test_dict_subclass_is_read_by_its_own_storage():
    class Options(dict):
        def __getitem__(self, key):
            raise AssertionError("not consulted")
        def __missing__(self, key):
            return "digits"
    masker = Masker(KEY, "key", Options())  # charset absent: "alphanumeric"
    assert masker.maskColumn(["ab"])[0][0].isalpha()
    masker = Masker(KEY, "key", Options(charset="digits"))


def test_unread_keys_are_ignored():
    Masker(KEY, "hash", {"colour": object(), 1: 2})


@pytest.mark.parametrize("strategy", ["fakeCity", "fakeFirstName", "fakeStreetAddress"])
def test_word_list_order_and_messages(strategy):
    # All seven lists are required for every fake kind, read in a fixed order.
    order = ["firstNames", "lastNames", "cities", "streets", "streetKinds",
             "companySuffixes", "companyWords"]
    for i, key in enumerate(order):
        options = {k: LISTS[k] for k in order[:i]}
        with pytest.raises(ValueError) as excinfo:
            Masker(KEY, strategy, options)
        assert str(excinfo.value) == f"{strategy} needs {key}"


@pytest.mark.parametrize("value, error, message", [
    ("Ann", TypeError, "Can't extract `str` to `Vec`"),
    ({"Ann": 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ({"Ann"}, TypeError, "'set' object is not an instance of 'Sequence'"),
    ((w for w in ["Ann"]), TypeError, "'generator' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    (["Ann", 3], TypeError, "'int' object is not an instance of 'str'"),
    ([b"Ann"], TypeError, "'bytes' object is not an instance of 'str'"),
])
def test_word_list_errors(value, error, message):
    with pytest.raises(error) as excinfo:
        Masker(KEY, "fakeFirstName", {**LISTS, "firstNames": value})
    assert str(excinfo.value) == message


def test_word_list_hostile_sequences():
    class Huge(list):
        def __len__(self):
            import sys
            return sys.maxsize
    Masker(KEY, "fakeFirstName", {**LISTS, "firstNames": Huge(["Ann"])})

    class BadLen(list):
        def __len__(self):
            raise RuntimeError("len")
    Masker(KEY, "fakeFirstName", {**LISTS, "firstNames": BadLen(["Ann"])})

    class Raising:
        def __len__(self):
            return 2
        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return "Ann"
    with pytest.raises(KeyError):
        Masker(KEY, "fakeFirstName", {**LISTS, "firstNames": Raising()})
    # Tuples and ranges of texts pass the sequence check.
    Masker(KEY, "fakeFirstName", {**LISTS, "firstNames": ("Ann", "Bob")})


def test_word_list_with_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        Masker(KEY, "fakeFirstName", {**LISTS, "firstNames": ["\udc80"]})


def test_core_constructor_messages_are_value_errors():
    with pytest.raises(ValueError, match="^cities is empty$"):
        Masker(KEY, "fakeCity", {**LISTS, "cities": []})
    with pytest.raises(ValueError, match=r'^unsupported address format "\{nope\}"$'):
        Masker(KEY, "fakeCity", {**LISTS, "address": "{nope}"})
    with pytest.raises(ValueError, match="^number needs both min and max, or neither$"):
        Masker(KEY, "number", {"min": "1"})
    with pytest.raises(ValueError, match='^number variance is not a finite decimal: "0.1 "$'):
        Masker(KEY, "number", {"variance": "0.1 "})
    Masker(KEY, "number", {"decimals": None, "min": None, "max": None, "variance": None})


def test_options_mutated_while_read():
    # A key's __eq__ runs during the dict lookup and drops the value.
    armed = []
    class Evil(str):
        __hash__ = str.__hash__
        def __eq__(self, other):
            if armed:
                options.clear()
            return False
    options = {Evil("charset"): "x", "charset": "digits"}
    armed.append(True)
    Masker(KEY, "key", options)  # survives, whatever it read
