"""Malformed Arrow structures handed to maskBatch: each is refused with a clear error, never read.

The structures are built here with ctypes, buffers and all, so that every field
can be wrong; a release callback counts how often each structure is released.
"""

import ctypes
import gc
import re
import struct

import pyarrow as pa
import pytest
import zorva_arrow
from conftest import KEY


class Schema(ctypes.Structure):
    pass


class Array(ctypes.Structure):
    pass


class Stream(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Schema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Array))
Schema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_void_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(Schema))),
    ("dictionary", ctypes.POINTER(Schema)),
    ("release", SchemaRelease),
    ("private_data", ctypes.c_void_p),
]
Array._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(Array))),
    ("dictionary", ctypes.POINTER(Array)),
    ("release", ArrayRelease),
    ("private_data", ctypes.c_void_p),
]
StreamSchema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Schema))
StreamNext = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Array))
StreamError = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(Stream))
StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Stream))
Stream._fields_ = [
    ("get_schema", StreamSchema),
    ("get_next", StreamNext),
    ("get_last_error", StreamError),
    ("release", StreamRelease),
    ("private_data", ctypes.c_void_p),
]

capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

releases = []


@SchemaRelease
def release_schema(p):
    releases.append("schema")
    p.contents.release = SchemaRelease()


@ArrayRelease
def release_array(p):
    releases.append("array")
    p.contents.release = ArrayRelease()


class Built:
    """A batch of one column built field by field; keeps every piece alive."""

    def __init__(
        self,
        fmt,
        length,
        buffers,
        null_count=0,
        offset=0,
        dictionary=None,
        n_buffers=None,
        children=None,
        column_length=None,
    ):
        self.keep = []
        self.field = Schema(format=fmt.encode(), name=b"col", flags=2, release=release_schema)
        self.column = Array(
            length=length if column_length is None else column_length,
            null_count=null_count,
            offset=offset,
            n_buffers=len(buffers) if n_buffers is None else n_buffers,
            release=release_array,
        )
        pointers = (ctypes.c_void_p * max(len(buffers), 1))(*[self.buffer(b) for b in buffers])
        self.keep.append(pointers)
        self.column.buffers = ctypes.cast(pointers, ctypes.POINTER(ctypes.c_void_p))
        if dictionary is not None:
            self.field.dictionary = ctypes.pointer(dictionary.field)
            self.column.dictionary = ctypes.pointer(dictionary.column)
            self.keep.append(dictionary)
        self.schema = Schema(format=b"+s", name=b"", n_children=1, release=release_schema)
        self.schema.children = (ctypes.POINTER(Schema) * 1)(ctypes.pointer(self.field))
        self.batch = Array(length=length, n_buffers=1, n_children=1, release=release_array)
        self.batch.buffers = (ctypes.c_void_p * 1)()
        self.batch.children = (ctypes.POINTER(Array) * 1)(ctypes.pointer(self.column) if children is None else children)

    def buffer(self, data):
        if data is None:
            return None
        raw = ctypes.create_string_buffer(bytes(data), len(data) + 64)
        self.keep.append(raw)
        return ctypes.addressof(raw)

    def capsules(self):
        return (
            capsule_new(ctypes.addressof(self.schema), b"arrow_schema", None),
            capsule_new(ctypes.addressof(self.batch), b"arrow_array", None),
        )

    def __arrow_c_array__(self, requested_schema=None):
        return self.capsules()


def offsets32(*values):
    return struct.pack(f"<{len(values)}i", *values)


def views(*items):
    return b"".join(struct.pack("<i4sii", *item) if len(item) == 4 else struct.pack("<i12s", *item) for item in items)


def mask(data, strategy="key"):
    return zorva_arrow.maskBatch([zorva_arrow.Masker(KEY, strategy, {})], data)


def valid_utf8():
    return Built("u", 2, [None, offsets32(0, 1, 3), b"abc"])


# (structure, exception type, message part)
MALFORMED = [
    (lambda: Built("u", 2, [None, offsets32(0, 2)]), ValueError, "has 3 buffer(s), not 2"),
    (lambda: Built("l", 2, [None, b"\0" * 16, b""]), ValueError, "has 2 buffer(s), not 3"),
    (lambda: Built("u", 2, [None, offsets32(0, 3, 1), b"abc"]), ValueError, "the offsets decrease at row 1"),
    (lambda: Built("u", 1, [None, offsets32(-4, 1), b"abc"]), ValueError, "the offsets start below 0"),
    (lambda: Built("u", 1, [None, offsets32(0, 2), None]), ValueError, "the character data buffer is missing"),
    (lambda: Built("u", 2, [None, offsets32(0, 1, 3), b"a\xff\xfe"]), ValueError, "the text at row 1 is not UTF-8"),
    (lambda: Built("u", 1, [None, offsets32(0, 3), b"\xed\xa0\x80"]), ValueError, "is not UTF-8"),  # a surrogate
    (lambda: Built("l", 3, [None, None]), ValueError, "the values buffer is missing"),
    (lambda: Built("l", 3, [None, b"\0" * 24], null_count=1), ValueError, "nulls without a validity buffer"),
    (lambda: Built("l", 1, [None, b"\0" * 8], column_length=-1), ValueError, "negative"),
    (lambda: Built("l", 2, [None, b"\0" * 16], offset=-3), ValueError, "negative"),
    (lambda: Built("l", 2, [None, b"\0" * 16], n_buffers=-1), ValueError, "negative"),
    (
        lambda: Built("vu", 1, [None, views((20, b"abcd", 0, 0)), b"x" * 10, struct.pack("<q", 10)]),
        ValueError,
        "points outside the data buffers",
    ),
    (
        lambda: Built("vu", 1, [None, views((20, b"abcd", 3, 0)), b"x" * 30, struct.pack("<q", 30)]),
        ValueError,
        "points outside the data buffers",
    ),
    (lambda: Built("vu", 1, [None, views((-1, b"")), b""]), ValueError, "negative length"),
    (
        lambda: Built("vu", 1, [None, views((20, b"abcd", 0, 0)), b"x" * 30, struct.pack("<q", -30)]),
        ValueError,
        "size is negative",
    ),
    (
        lambda: Built("i", 2, [None, struct.pack("<2i", 0, 5)], dictionary=valid_utf8()),
        ValueError,
        "the dictionary index at row 1 is outside the dictionary of 2 value(s)",
    ),
    (
        lambda: Built("C", 1, [None, b"\1"], dictionary=Built("u", 2, [None, offsets32(0, 2, 1), b"ab"])),
        ValueError,
        "in the dictionary: the offsets decrease",
    ),
    (lambda: Built("+l", 1, [None, offsets32(0, 1)]), TypeError, "the Arrow type '+l' cannot be masked"),
    (lambda: Built("z", 1, [None, offsets32(0, 1), b"a"]), TypeError, "the Arrow type 'z' cannot be masked"),
    (lambda: Built("d:40,2", 1, [None, b"\0" * 16]), TypeError, "the Arrow type 'd:40,2' cannot be masked"),
    (
        lambda: Built("u", 1, [None, b"\0" * 8], dictionary=valid_utf8()),
        ValueError,
        "the dictionary index type 'u' is not an integer",
    ),
    (
        lambda: Built("l", 1, [None, b"\0" * 8], children=ctypes.POINTER(Array)()),
        ValueError,
        "the column's array is missing",
    ),
]


@pytest.mark.parametrize(("make", "error", "message"), MALFORMED, ids=[m for _, _, m in MALFORMED])
def test_malformed_structures_are_refused(make, error, message):
    built = make()
    releases.clear()
    with pytest.raises(error, match="^column 0 \\('col'\\): .*" + re.escape(message)):
        mask(built)
    gc.collect()
    assert sorted(releases) == ["array", "schema"]  # each moved structure released once


def test_a_capsule_is_used_once():
    built = valid_utf8()
    schema, array = built.capsules()
    holder = type("Holder", (), {"__arrow_c_array__": lambda self, requested_schema=None: (schema, array)})()
    masked, _ = mask(holder)
    assert pa.record_batch(masked).num_rows == 2
    with pytest.raises(ValueError, match="'arrow_schema' capsule was already released or used"):
        mask(holder)


@pytest.mark.parametrize(
    ("tamper", "error", "message"),
    [
        (lambda b: setattr(b.schema, "release", SchemaRelease()), ValueError, "'arrow_schema' capsule was already"),
        (lambda b: setattr(b.batch, "release", ArrayRelease()), ValueError, "'arrow_array' capsule was already"),
        (lambda b: setattr(b.column, "release", ArrayRelease()), ValueError, "the array was released"),
        (lambda b: setattr(b.schema, "format", b"+l"), TypeError, "not a record batch"),
        (lambda b: setattr(b.schema, "n_children", 2), ValueError, "covers 1 column\\(s\\) and the batch has 2"),
        (lambda b: setattr(b.batch, "n_children", 3), ValueError, "a batch has 3 column\\(s\\) and its schema 1"),
        (lambda b: setattr(b.batch, "length", 5), ValueError, "holds 2 row\\(s\\), fewer than its batch's 5"),
        (lambda b: setattr(b.batch, "n_buffers", 0), ValueError, "a batch is a struct array"),
    ],
)
def test_broken_batches_are_refused(tamper, error, message):
    built = valid_utf8()
    tamper(built)
    with pytest.raises(error, match=message):
        mask(built)


def test_wrong_capsules_and_exporters():
    with pytest.raises(TypeError, match="exports no Arrow data"):
        mask([1, 2])
    wrong = type("Wrong", (), {"__arrow_c_array__": lambda self, requested_schema=None: (1, 2)})()
    with pytest.raises(TypeError, match="expected a PyCapsule named 'arrow_schema'"):
        mask(wrong)
    raising = type("Raising", (), {"__arrow_c_stream__": lambda self, requested_schema=None: 1 / 0})()
    with pytest.raises(ZeroDivisionError):
        mask(raising)


def test_failing_stream_reports_its_error():
    @StreamSchema
    def get_schema(stream, out):
        return 5

    message = ctypes.create_string_buffer(b"the producer gave up")

    @StreamError
    def last_error(stream):
        return ctypes.addressof(message)

    released = []

    @StreamRelease
    def release(stream):
        released.append(1)
        stream.contents.release = StreamRelease()

    @StreamNext
    def get_next(stream, out):
        return 5

    stream = Stream(get_schema=get_schema, get_next=get_next, get_last_error=last_error, release=release)
    capsule = capsule_new(ctypes.addressof(stream), b"arrow_array_stream", None)
    holder = type("Holder", (), {"__arrow_c_stream__": lambda self, requested_schema=None: capsule})()
    with pytest.raises(ValueError, match="the Arrow stream failed \\(error 5\\): the producer gave up"):
        mask(holder)
    assert released == [1]


def test_argument_errors():
    table = pa.table({"a": [1], "b": ["x"]})
    key = zorva_arrow.Masker(KEY, "key", {})
    with pytest.raises(ValueError, match="the policy covers 1 column\\(s\\) and the batch has 2"):
        zorva_arrow.maskBatch([key], table)
    with pytest.raises(TypeError, match="'Masker' object is not an instance of 'Masker'"):
        import zorva_rs

        zorva_arrow.maskBatch([zorva_rs.Masker(KEY, "key", {}), None], table)
    with pytest.raises(TypeError, match="decimalTexts reads text columns, not the Arrow type 'l'"):
        zorva_arrow.maskBatch([zorva_arrow.Masker(KEY, "number", {}), None], table, decimalTexts=[0])
    with pytest.raises(ValueError, match="decimalTexts names column 5"):
        zorva_arrow.maskBatch([key, None], table, decimalTexts=[5])
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'rows'"):
        zorva_arrow.maskBatch([key, None], rows=table)
    with pytest.raises(TypeError, match="not an instance of 'Sequence'"):
        zorva_arrow.maskBatch("ab", table)
    with pytest.raises(ValueError, match="a subkey is 32 bytes"):
        zorva_arrow.Masker(b"short", "key", {})
    assert zorva_arrow.Masker.__module__ == "zorva_arrow"
    for made_by_mask_batch in (zorva_arrow.MaskedBatch, zorva_arrow.MaskedStream):
        with pytest.raises(TypeError, match="cannot create"):
            made_by_mask_batch()


HUGE = 2**62


def carried(built):
    return zorva_arrow.maskBatch([None], built)


@pytest.mark.parametrize(
    ("tamper", "message"),
    [
        # Sums of these with the batch's offset would pass 64 bits.
        (lambda b: setattr(b.batch, "offset", 2**63 - 1), "a batch is a struct array"),
        (lambda b: setattr(b.batch, "length", HUGE), "a batch is a struct array"),
        (lambda b: setattr(b.column, "offset", HUGE), "huge length, offset"),
        (lambda b: setattr(b.column, "length", HUGE), "huge length, offset"),
    ],
)
@pytest.mark.parametrize("masked", [False, True], ids=["carried", "masked"])
def test_lengths_and_offsets_past_64_bit_sums_are_refused(tamper, message, masked):
    built = valid_utf8()
    tamper(built)
    if masked and "huge" in message:
        message = "negative|fewer than its batch"  # the masked reader says it its own way
    with pytest.raises(ValueError, match=message):
        (mask if masked else carried)(built)


def stream_of(built, count):
    """A stream handing out count copies of built's batch, each released on its own."""
    left = [count]

    @StreamSchema
    def get_schema(stream, out):
        ctypes.memmove(out, ctypes.addressof(built.schema), ctypes.sizeof(Schema))
        return 0

    @StreamNext
    def get_next(stream, out):
        if left[0] == 0:
            out.contents.release = ArrayRelease()
        else:
            left[0] -= 1
            ctypes.memmove(out, ctypes.addressof(built.batch), ctypes.sizeof(Array))
        return 0

    @StreamRelease
    def release(stream):
        stream.contents.release = StreamRelease()

    stream = Stream(get_schema=get_schema, get_next=get_next, release=release)
    keep = (built, get_schema, get_next, release, stream)
    capsule = capsule_new(ctypes.addressof(stream), b"arrow_array_stream", None)
    return type("Holder", (), {"__arrow_c_stream__": lambda self, requested_schema=None: (keep, capsule)[1]})()


def test_rows_counted_across_batches_stay_in_range():
    # Null columns carried through: no buffer to read, any length.
    built = Built("n", 2**55, [])
    releases.clear()
    with pytest.raises(ValueError, match="more than 2\\^56 rows in all"):
        carried(stream_of(built, 3))
    gc.collect()
    assert sorted(releases) == ["array"] * 3 + ["schema"]
    masked, _ = carried(stream_of(built, 2))
    assert masked.num_rows == 2**56


capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def move_out(parent, kind):
    """Moves the first child out of parent, as a consumer may: a copy, the original marked released."""
    child = kind()
    ctypes.memmove(ctypes.addressof(child), parent.children[0], ctypes.sizeof(kind))
    parent.children[0].contents.release = type(child.release)()
    return child


@pytest.mark.parametrize("strategy", [None, "key"], ids=["carried", "masked"])
def test_a_moved_out_child_outlives_its_parent_and_keeps_the_producers_data(strategy):
    built = Built("l", 3, [None, struct.pack("<3q", 7, 8, 9)])
    maskers = [None if strategy is None else zorva_arrow.Masker(KEY, strategy, {})]
    releases.clear()
    masked, _ = zorva_arrow.maskBatch(maskers, built)
    expected = pa.record_batch(masked).column(0).to_pylist()
    schema_capsule, array_capsule = masked.__arrow_c_array__()
    field = move_out(Schema.from_address(capsule_pointer(schema_capsule, b"arrow_schema")), Schema)
    column = move_out(Array.from_address(capsule_pointer(array_capsule, b"arrow_array")), Array)
    del masked, schema_capsule, array_capsule
    gc.collect()
    # A carried column's buffers are the producer's: its batch stays while the
    # column does. A masked one's are the engine's: the batch went at return.
    producer_kept = "array" not in releases
    values = ctypes.cast(column.buffers[1], ctypes.POINTER(ctypes.c_int64))
    read = [values[k] if e is not None else None for k, e in enumerate(expected)]
    shape = (field.format, column.length, column.n_buffers)
    field.release(ctypes.pointer(field))
    column.release(ctypes.pointer(column))
    assert producer_kept == (strategy is None)
    assert read == expected and shape == (b"l", 3, 2)
    assert not field.release and not column.release
    gc.collect()
    assert sorted(releases) == ["array", "schema"]


@pytest.mark.parametrize(
    ("tamper", "message"),
    [
        (lambda b: setattr(b.field, "n_children", 1), "the children are missing"),
        (lambda b: setattr(b.field, "n_children", -2), "a negative or huge count of children"),
        (lambda b: setattr(b.field, "metadata", ctypes.addressof(NEGATIVE_METADATA)), "metadata has a negative size"),
        (lambda b: setattr(b.field, "format", None), "the schema has no format"),
    ],
)
@pytest.mark.parametrize("batches", [0, 1])
def test_a_carried_field_is_checked_even_without_batches(tamper, message, batches):
    # With no batch, nothing but the field itself stands between it and the copy made for the output.
    built = Built("l", 1, [None, b"\0" * 8])
    tamper(built)
    with pytest.raises(ValueError, match="^column 0 \\('col'\\): .*" + message):
        carried(stream_of(built, batches))


NEGATIVE_METADATA = ctypes.create_string_buffer(struct.pack("<i", -1))


def test_bytes_under_a_null_text_are_not_read():
    # Row 1 is null and its bytes are not UTF-8; row 0 and row 2 are.
    built = Built("u", 3, [bytes([0b101]), offsets32(0, 1, 3, 4), b"a\xff\xfeb"], null_count=1)
    out, problems = mask(built, "hash")
    assert problems == []
    column = pa.table(out).column(0).to_pylist()
    assert column[1] is None and column[0] is not None and column[2] is not None


def test_the_first_problem_in_batch_then_column_order_is_reported():
    # Columns are checked in parallel; the error is still the one met first
    # when the batches are read in order, each batch's columns in order.
    def texts(*values):
        data = b"".join(values)
        ends = [0]
        for value in values:
            ends.append(ends[-1] + len(value))
        return pa.Array.from_buffers(
            pa.string(), len(values), [None, pa.py_buffer(struct.pack(f"<{len(ends)}i", *ends)), pa.py_buffer(data)]
        )

    good, bad = texts(b"ok", b"fine"), texts(b"ok", b"\xff")
    table = pa.Table.from_batches(
        [
            pa.record_batch([good, good, bad], ["a", "b", "c"]),
            pa.record_batch([bad, bad, good], ["a", "b", "c"]),
        ]
    )
    maskers = [zorva_arrow.Masker(KEY, "hash", {}) for _ in range(3)]
    with pytest.raises(ValueError, match=r"^column 2 \('c'\): the text at row 1 is not UTF-8"):
        zorva_arrow.maskBatch(maskers, table)
    with pytest.raises(ValueError, match=r"^column 0 \('a'\): the text at row 1 is not UTF-8"):
        zorva_arrow.maskBatch([*maskers[:2], None], table)
