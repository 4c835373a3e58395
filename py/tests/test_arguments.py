"""Argument and option readers of every entry point: one table of failures
(exception type, message, note), then readers that must survive hostile objects."""

import functools
import sys

import numpy
import pytest
import zorva_rs
from conftest import FAKES, KEY, WORDS
from test_hostile import Index
from zorva_rs import Masker, maskChunk


def new(strategy, options=None, subkey=KEY):
    return functools.partial(Masker, subkey, strategy, {} if options is None else options)


def words(**lists):
    return {**WORDS, **lists}


def broken(first):
    """A sequence that claims to be huge and fails at its second item."""
    return type(
        "Broken", (), {"__len__": lambda self: sys.maxsize, "__getitem__": lambda self, i: {}[i] if i else first}
    )()


KEY_MASKER = Masker(KEY, "key", {})
ORDER = ["firstNames", "lastNames", "cities", "streets", "streetKinds", "companySuffixes", "companyWords"]
# call, exception type, message (None: the interpreter's own), parameter named in the note
FAILURES = [
    # Masker arguments, checked in order.
    (functools.partial(Masker, "k" * 32, "key", {}), TypeError, "'str' object is not an instance of 'bytes'", "subkey"),
    (new("key", subkey=None), TypeError, "'None' is not an instance of 'bytes'", "subkey"),
    (new("key", subkey=bytearray(32)), TypeError, "'bytearray' object is not an instance of 'bytes'", "subkey"),
    (new(b"key"), TypeError, "'bytes' object is not an instance of 'str'", "strategy"),
    (new("key", []), TypeError, "'list' object is not an instance of 'dict'", "options"),
    (functools.partial(Masker, 1, 2, 3), TypeError, "'int' object is not an instance of 'bytes'", "subkey"),
    (new(2, 3), TypeError, "'int' object is not an instance of 'str'", "strategy"),
    (new("k\udc00"), UnicodeEncodeError, None, "strategy"),
    *[
        (new(name, subkey=subkey), ValueError, "a subkey is 32 bytes", None)
        for subkey in (b"", bytes(31), bytes(33))
        for name in ("key", "nope")
    ],  # before the strategy
    *[
        (new(name), ValueError, f"no native masker for strategy {shown}", None)
        for name, shown in [
            ("Key", '"Key"'),
            ("redact", '"redact"'),
            ("", '""'),
            ('a"b\\c', '"a\\"b\\\\c"'),
            ("t\tn\nr\r", '"t\\tn\\nr\\r"'),
            ("\x00\x1b\x7f\x9f", '"\\u{0}\\u{1b}\\u{7f}\\u{9f}"'),
            ("zé", '"zé"'),
        ]
    ],
    # Options carry no parameter note.
    *[
        (new(strategy, {"charset": charset}), error, message, None)
        for strategy in ("key", "fpe")
        for charset, error, message in [
            ("Digits", ValueError, 'unknown charset "Digits"'),
            ("base64", ValueError, 'unknown charset "base64"'),
            (None, TypeError, "'None' is not an instance of 'str'"),
            (3, TypeError, "'int' object is not an instance of 'str'"),
        ]
    ],
    *[
        (new(strategy, options), error, None, None)
        for strategy, options, error in [
            ("hash", {"length": None}, TypeError),
            ("hash", {"length": 1.0}, TypeError),
            ("hash", {"length": "3"}, TypeError),
            ("hash", {"length": -1}, OverflowError),
            ("hash", {"length": 2**64}, OverflowError),
            ("hash", {"prefix": None}, TypeError),
            ("hash", {"prefix": b"x"}, TypeError),
            ("email", {"length": -1}, OverflowError),
            ("email", {"mailDomain": 1}, TypeError),
            ("email", {"keepDomain": 1}, TypeError),
            ("email", {"keepDomain": None}, TypeError),
            ("email", {"keepDomain": "yes"}, TypeError),
            ("digits", {"keepLeading": -1}, OverflowError),
            ("digits", {"keepTrailing": "1"}, TypeError),
            ("fpe", {"strict": 0}, TypeError),
            ("number", {"decimals": 1.5}, TypeError),
            ("number", {"min": 1, "max": 2}, TypeError),
            ("number", {"variance": 0.5}, TypeError),
            ("fakeCity", words(maxLength=-1), OverflowError),
            ("fakeCity", words(address=None), TypeError),
            ("fakeFirstName", words(firstNames=["\udc80"]), UnicodeEncodeError),
            ("fakeFirstName", words(firstNames=broken("Ann")), KeyError),
        ]
    ],
    *[
        (new("number", {"decimals": bad}), OverflowError, "out of range integral type conversion attempted", None)
        for bad in (-1, 2**32, 2**70)
    ],
    # A look-alike of numpy's bool from another module is not one.
    (
        new("email", {"keepDomain": type("bool_", (), {"__module__": "notnumpy", "__bool__": lambda s: True})()}),
        TypeError,
        "'bool_' object is not an instance of 'bool'",
        None,
    ),
    # All seven lists are required for every fake kind, read in a fixed order.
    *[
        (new(strategy, {k: WORDS[k] for k in ORDER[:i]}), ValueError, f"{strategy} needs {key}", None)
        for strategy in ("fakeCity", "fakeFirstName", "fakeStreetAddress")
        for i, key in enumerate(ORDER)
    ],
    *[
        (new("fakeFirstName", words(firstNames=value)), TypeError, message, None)
        for value, message in [
            ("Ann", "Can't extract `str` to `Vec`"),
            ({"Ann": 1}, "'dict' object is not an instance of 'Sequence'"),
            ({"Ann"}, "'set' object is not an instance of 'Sequence'"),
            ((w for w in ["Ann"]), "'generator' object is not an instance of 'Sequence'"),
            (None, "'None' is not an instance of 'Sequence'"),
            (["Ann", 3], "'int' object is not an instance of 'str'"),
            ([b"Ann"], "'bytes' object is not an instance of 'str'"),
        ]
    ],
    # The core's own construction messages.
    # Only the lists a kind reads must be non-empty, checked in table order and before the template.
    *[
        (new(kind, words(address="{x}", **{key: [] for key in emptied})), ValueError, f"{emptied[0]} is empty", None)
        for kind, emptied in [
            ("fakeFirstName", ["firstNames"]),
            ("fakeLastName", ["lastNames"]),
            ("fakeName", ["firstNames", "lastNames"]),
            ("fakeName", ["lastNames"]),
            ("fakeCity", ["cities"]),
            ("fakeCompany", ["companyWords", "companySuffixes"]),
            ("fakeCompany", ["companySuffixes"]),
            ("fakeStreetAddress", ["streets", "streetKinds"]),
            ("fakeStreetAddress", ["streetKinds"]),
        ]
    ],
    # The template is checked for every kind; the message quotes all of it.
    *[
        (new(kind, words(address=address)), ValueError, f"unsupported address format {quoted}", None)
        for kind in FAKES
        for address, quoted in [
            ("{name}", '"{name}"'),
            ("{number", '"{number"'),
            ("number}", '"number}"'),
            ("{{number}}", '"{{number}}"'),
            ("{Number} { kind}", '"{Number} { kind}"'),
            ('"{number}" {x}', '"\\"{number}\\" {x}"'),
            ("Straße {x}", '"Straße {x}"'),
        ]
    ],
    *[
        (new("number", options), ValueError, message, None)
        for options, message in [
            ({"min": "1"}, "number needs both min and max, or neither"),
            ({"max": "1", "variance": "x"}, "number needs both min and max, or neither"),  # before the variance
            ({"min": "-inf", "max": "1"}, 'number min is not a finite decimal: "-inf"'),
            ({"variance": "0.1 "}, 'number variance is not a finite decimal: "0.1 "'),
            (
                {"variance": "1.5e-9223372036854775808"},  # its exponent leaves 64 bits
                'number variance is not a finite decimal: "1.5e-9223372036854775808"',
            ),
        ]
    ],
    # maskChunk and maskColumn.
    *[
        (functools.partial(maskChunk, value, []), TypeError, message, "maskers")
        for value, message in [
            ("ab", "Can't extract `str` to `Vec`"),
            ({}, "'dict' object is not an instance of 'Sequence'"),
            (set(), "'set' object is not an instance of 'Sequence'"),
            (None, "'None' is not an instance of 'Sequence'"),
            ([None, 1], "'int' object is not an instance of 'Masker'"),
            ([Masker, None], "'type' object is not an instance of 'Masker'"),
        ]
    ],
    (functools.partial(maskChunk, broken(None), []), KeyError, None, "maskers"),
    *[
        (
            functools.partial(maskChunk, [KEY_MASKER, None, None], [(1, 2, 3), row]),
            ValueError,
            f"the policy covers 3 column(s) and a row has {len(row)}",
            None,
        )
        for row in [(1, 2), (1, 2, 3, 4), [1], ()]
    ],
    *[(functools.partial(maskChunk, [KEY_MASKER], rows), TypeError, None, None) for rows in ([5], 5, None)],
    *[(functools.partial(KEY_MASKER.maskColumn, values), TypeError, None, None) for values in (5, None, object())],
    # setThreads: refused counts keep the pool.
    *[
        (functools.partial(zorva_rs.setThreads, value), error, None, "threads")
        for value, error in [
            (-1, OverflowError),
            (-(2**70), OverflowError),
            (2**64, OverflowError),
            (Index(-1), OverflowError),
            (Index(2**64), OverflowError),
            (1.0, TypeError),
            ("2", TypeError),
            (None, TypeError),
            (Index(2.0), TypeError),
            (Index(KeyError("mine")), KeyError),
        ]
    ],
    (functools.partial(zorva_rs.setThreads, 0), ValueError, "threads must be at least 1", None),
    # Binding errors concern the call, not one parameter's value.
    *[
        (call, TypeError, message, None)
        for call, message in [
            (lambda: zorva_rs.setThreads(), "setThreads() missing 1 required positional argument: 'threads'"),
            (lambda: maskChunk(), "maskChunk() missing 2 required positional arguments: 'maskers' and 'rows'"),
            (lambda: maskChunk(rows=[]), "maskChunk() missing 1 required positional argument: 'maskers'"),
            (
                lambda: Masker(),
                "Masker.__new__() missing 3 required positional arguments: 'subkey', 'strategy', and 'options'",
            ),
            (lambda: Masker(KEY, options={}), "Masker.__new__() missing 1 required positional argument: 'strategy'"),
            (lambda: zorva_rs.setThreads(thread=2), "setThreads() got an unexpected keyword argument 'thread'"),
            (lambda: zorva_rs.threads(x=1), "threads() got an unexpected keyword argument 'x'"),
            (lambda: zorva_rs.columnKinds([], rows=[]), "columnKinds() got multiple values for argument 'rows'"),
            (lambda: maskChunk([], [], [], maskers=[]), "maskChunk() takes 2 positional arguments but 3 were given"),
            (lambda: zorva_rs.threads(1), "threads() takes 0 positional arguments but 1 was given"),
            (lambda: zorva_rs.availableCores(1, 2), "availableCores() takes 0 positional arguments but 2 were given"),
            (lambda: zorva_rs.setThreads(1, 2), "setThreads() takes 1 positional arguments but 2 were given"),
            (lambda: Masker(KEY, "key", {}, None), "Masker.__new__() takes 3 positional arguments but 4 were given"),
        ]
    ],
]


@pytest.mark.usefixtures("restore_threads")
@pytest.mark.parametrize("call, error, message, note", FAILURES)
def test_failures(call, error, message, note):
    zorva_rs.setThreads(2)
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert message is None or str(caught.value) == message
    assert getattr(caught.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])
    assert zorva_rs.threads() == 2


def test_readers_accept_what_they_should(restore_threads):
    Masker(KEY, "hash", {"length": Index(5)})
    Masker(KEY, "hash", {"length": 2**64 - 1, "colour": object(), 1: 2})  # unread keys are ignored
    Masker(KEY, "number", {"decimals": 2**32 - 1})
    Masker(KEY, "number", {"decimals": None, "min": None, "max": None, "variance": None})
    Masker(KEY, "fakeCity", words(firstNames=[], streetKinds=[]))  # lists a kind does not read may be empty
    Masker(KEY, "fakeFirstName", words(lastNames=[], companyWords=[]))
    for flag in (True, False, numpy.bool_(True), numpy.bool_(False)):
        Masker(KEY, "fpe", {"strict": flag})
    # numpy's bool is read by its truth.
    for flag, domain in ((numpy.bool_(True), "@Keep.Me"), (numpy.bool_(False), "@example.test")):
        assert Masker(KEY, "email", {"keepDomain": flag}).maskColumn(["a@Keep.Me"])[0][0].endswith(domain)
    # Word lists: tuples pass the sequence check, a len() that lies or raises is only a hint.
    for firstNames in (
        ("Ann", "Bob"),
        type("Huge", (list,), {"__len__": lambda s: sys.maxsize})(["Ann"]),
        type("BadLen", (list,), {"__len__": lambda s: 1 // 0})(["Ann"]),
    ):
        Masker(KEY, "fakeFirstName", words(firstNames=firstNames))
    for value, expected in [(2, 2), (True, 1), (Index(3), 3), (Index(1), 1)]:
        assert zorva_rs.setThreads(value) is None and zorva_rs.threads() == expected
    assert zorva_rs.setThreads(threads=2) is None and zorva_rs.threads() == 2


def test_dict_subclass_is_read_by_its_own_storage():
    class Options(dict):
        def __getitem__(self, key):
            raise AssertionError("not consulted")

        def __missing__(self, key):
            return "digits"

    assert Masker(KEY, "key", Options()).maskColumn(["ab"])[0][0].isalpha()  # charset absent: alphanumeric
    Masker(KEY, "key", Options(charset="digits"))


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
