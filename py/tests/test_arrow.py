"""The columnar door against the row door: the same bytes for every strategy and Arrow type.

Each column is masked by zorva_arrow.maskBatch and, as the Python values pyarrow
hands out for it, by zorva_rs; masked values, their Python types and the problem
markers must agree, except where the row door's answer does not fit the column's
type, which the columnar door reports as a refusal.
"""

import itertools
import math
import random
import threading
from decimal import Context, Decimal

import polars as pl
import pyarrow as pa
import pytest
import zorva_arrow
import zorva_rs
from conftest import KEY, WORDS
from test_hostile import CONFIG_IDS, CONFIGS

INTS = {pa.int8(): 8, pa.int16(): 16, pa.int32(): 32, pa.int64(): 64}
UINTS = {pa.uint8(): 8, pa.uint16(): 16, pa.uint32(): 32, pa.uint64(): 64}
DECIMALS = [
    pa.decimal128(5, 2),
    pa.decimal128(38, 10),
    pa.decimal128(3, -2),
    pa.decimal256(76, 40),
    pa.decimal256(12, 0),
]
TEXTS = [pa.string(), pa.large_string(), pa.string_view()]
TYPES = [
    *INTS,
    *UINTS,
    *TEXTS,
    pa.float32(),
    pa.float64(),
    *DECIMALS,
    pa.bool_(),
    pa.null(),
    pa.dictionary(pa.int32(), pa.string()),
    pa.dictionary(pa.uint8(), pa.large_string()),
]


def random_text(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 20)))
    if kind == 1:
        return f"user{rng.randrange(1000)}@example.org"
    if kind == 2:
        return "".join(rng.choice("aZ9-_ é界😀") for _ in range(rng.randrange(0, 30)))
    if kind == 3:
        return "+1 (555) " + str(rng.randrange(10**6, 10**7))
    return "".join(rng.choice("abcdefXYZ0123") for _ in range(rng.randrange(0, 14)))


def random_values(arrow_type, rng, n=120):
    """Values of the type, boundaries and repeats included, about a tenth None."""
    if pa.types.is_integer(arrow_type):
        bits = arrow_type.bit_width
        low, high = (
            (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if pa.types.is_signed_integer(arrow_type) else (0, 2**bits - 1)
        )

        def pick():
            return rng.choice([low, high, 0, -1 if low else 1, rng.randint(low, high), rng.randint(-999, 999)])

        values = [min(max(pick(), low), high) for _ in range(n)]
    elif pa.types.is_floating(arrow_type):
        specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e300, 5e-324, 0.1]
        values = [rng.choice(specials) if rng.random() < 0.2 else rng.uniform(-1e6, 1e6) for _ in range(n)]
        if arrow_type == pa.float32():  # as the float32 holds them
            values = pa.array(values, pa.float32()).to_pylist()
    elif pa.types.is_decimal(arrow_type):
        p, s = arrow_type.precision, arrow_type.scale
        values = [
            Decimal(f"{rng.choice([0, 10**p - 1, -(10**p) + 1, rng.randrange(-(10**p) + 1, 10**p)])}E{-s}")
            for _ in range(n)
        ]
    elif pa.types.is_boolean(arrow_type):
        values = [rng.random() < 0.5 for _ in range(n)]
    elif pa.types.is_null(arrow_type):
        values = [None] * n
    else:
        pool = [random_text(rng) for _ in range(n // 3)]
        values = [rng.choice(pool) for _ in range(n)]
    return [None if rng.random() < 0.1 else v for v in values]


def fits(value, arrow_type):
    """Whether the row door's masked value can be written in the column's own type."""
    if isinstance(value, int) and pa.types.is_integer(arrow_type):
        bits = arrow_type.bit_width
        if pa.types.is_signed_integer(arrow_type):
            return -(2 ** (bits - 1)) <= value < 2 ** (bits - 1)
        return 0 <= value < 2**bits
    if isinstance(value, int):
        return -(2**63) <= value < 2**63
    if isinstance(value, Decimal) and pa.types.is_decimal(arrow_type):
        if not value.is_finite():
            return False
        unscaled = value.scaleb(arrow_type.scale, context=Context(prec=200))
        return unscaled == unscaled.to_integral_value() and abs(int(unscaled)) < 10**arrow_type.precision
    return True


def misfit(arrow_type):
    return ("refused", f"the masked value does not fit the column's Arrow type '{arrow_type}'")


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    return type(a) is type(b) and a == b


def both_doors(name, options, arrow_type, values):
    """(expected values, expected problems, got values, got problems, got Arrow type)."""
    column = pa.array(values, arrow_type)
    masked, problems = zorva_rs.Masker(KEY, name, options).maskColumn(column.to_pylist())
    out, got_problems = zorva_arrow.maskBatch(
        [zorva_arrow.Masker(KEY, name, options)], pa.record_batch([column], ["c"])
    )
    got = pa.record_batch(out).column(0)
    return masked, problems, got.to_pylist(), got_problems, got.type


def written_format(arrow_type, got_type):
    """The Arrow format string of a written type, as the misfit message shows it."""
    names = {
        pa.int8(): "c",
        pa.int16(): "s",
        pa.int32(): "i",
        pa.int64(): "l",
        pa.uint8(): "C",
        pa.uint16(): "S",
        pa.uint32(): "I",
        pa.uint64(): "L",
    }
    if got_type in names:
        return names[got_type]
    if pa.types.is_decimal(got_type):
        width = {128: "", 256: ",256"}[got_type.bit_width]
        return f"d:{got_type.precision},{got_type.scale}{width}"
    return None


@pytest.mark.parametrize("arrow_type", TYPES, ids=str)
@pytest.mark.parametrize("index", range(len(CONFIGS)), ids=CONFIG_IDS)
def test_both_doors_give_the_same_values(index, arrow_type):
    name, options = CONFIGS[index]
    rng = random.Random(f"{index}-{arrow_type}")
    check_doors_agree(name, options, arrow_type, random_values(arrow_type, rng))


def check_doors_agree(name, options, arrow_type, values):
    """Each masked value of the column through maskBatch is the row door's, or refused as not fitting."""
    masked, problems, got, got_problems, got_type = both_doors(name, options, arrow_type, values)
    expected_problems = []
    for row, value in enumerate(masked):
        if row in problems:
            expected_problems.append((0, row, problems[row]))
            assert got[row] is None
        elif value is not None and not fits(value, got_type if pa.types.is_integer(got_type) else arrow_type):
            fmt = written_format(arrow_type, got_type)
            expected_problems.append(
                (0, row, ("refused", f"the masked value does not fit the column's Arrow type '{fmt}'"))
            )
            assert got[row] is None
        else:
            assert same(value, got[row]), (row, values[row], value, got[row])
    assert got_problems == expected_problems


@pytest.mark.parametrize(
    ("arrow_type", "name", "options"),
    [
        (pa.string(), "hash", {"prefix": "h_", "length": 40}),
        (pa.large_string(), "email", {"keepDomain": True}),
        (pa.string_view(), "digits", {"keepLeading": 1}),
        (pa.string(), "email", {"length": 64}),  # answers past the inline texts
    ],
    ids=str,
)
def test_a_long_text_column_in_batches(arrow_type, name, options):
    # Distinct texts over batches longer than the pool's pieces, masked row by
    # row on a road of their own: the same texts and problems (non-ASCII
    # texts declined) as the row door's, in the column's text type.
    rng = random.Random(name + str(arrow_type))
    values = [f"{k}:{random_text(rng)}@{random_text(rng)}" for k in range(40000)]
    values = [None if k % 991 == 7 else v for k, v in enumerate(values)]
    masked, problems = zorva_rs.Masker(KEY, name, options).maskColumn(values)
    batches = pa.table({"c": pa.array(values, arrow_type)}).to_batches(max_chunksize=34000)
    table = pa.Table.from_batches([batches[0], batches[0].slice(0, 0), *batches[1:]])  # an empty batch between
    out, got_problems = zorva_arrow.maskBatch([zorva_arrow.Masker(KEY, name, options)], table)
    got = pa.table(out).column(0)
    assert got.type == (pa.string() if arrow_type == pa.string() else pa.large_string())
    assert got_problems == [(0, row, problems[row]) for row in sorted(problems)]
    assert (len(problems) > 100) == (name != "hash")  # a hash takes any text
    assert got.to_pylist() == [None if row in problems else value for row, value in enumerate(masked)]


# Unscaled values read and written on 64-bit integers where they fit and on
# big integers past that: both sides of each edge, with masked values of more
# places than the column keeps (refused unless they end in zeros).
EDGE_DECIMALS = [
    pa.decimal128(38, 0),
    pa.decimal128(38, 4),
    pa.decimal128(18, 2),
    pa.decimal256(40, 3),
    pa.decimal128(19, 0),
]


@pytest.mark.parametrize("arrow_type", EDGE_DECIMALS, ids=str)
@pytest.mark.parametrize("options", [{}, {"decimals": 6}, {"decimals": 0}, {"variance": "0.5"}], ids=str)
@pytest.mark.parametrize("distinct", [False, True], ids=["repeats", "distinct"])
def test_decimals_at_the_machine_word_edges(arrow_type, options, distinct):
    s, p = arrow_type.scale, arrow_type.precision
    edges = [
        2**63 - 1,
        2**63,
        2**63 + 1,
        2**64 - 1,
        2**64 + 5,
        2**72,
        10**18 - 1,
        10**18,
        10**17 + 7,
        10 ** (p - 1),
        10**p - 1,
        1,
        0,
        5 * 10**s,
    ]
    units = [u for e in edges for u in (e, -e) if abs(u) < 10**p]
    values = [Decimal(f"{u}E{-s}") for u in units] + [Decimal("-0").scaleb(-s), None]
    if distinct:
        # Values that never repeat are masked row by row, as numbers: a road
        # of its own beside the grouped one.
        values = [Decimal(f"{u}E{-s}") for u in sorted(set(units))] + [None]
    check_doors_agree("number", options, arrow_type, values)


@pytest.mark.parametrize(
    ("arrow_type", "options"),
    [
        (pa.decimal128(12, 2), {"variance": "0.15", "decimals": 2}),
        (pa.decimal128(12, 2), {"decimals": 3}),  # more places than the column keeps: most refused
        (pa.decimal128(9, 4), {"min": "-5", "max": "5"}),  # a fallback, a misfit or a value per row
        (pa.decimal256(30, 2), {}),
        (pa.float64(), {"variance": "0.25", "decimals": 2}),
        (pa.float32(), {}),
    ],
    ids=str,
)
def test_a_long_amounts_column_in_batches(arrow_type, options):
    # Distinct amounts over batches longer than the pool's pieces, as numbers
    # on a road of their own: every row masked as the row door masks it,
    # problems counted across the batches.
    rng = random.Random(str(arrow_type) + str(options))
    if pa.types.is_decimal(arrow_type):
        p, s = arrow_type.precision, arrow_type.scale
        units = rng.sample(range(-(10 ** min(p, 15)) + 1, 10 ** min(p, 15)), 21000)
        values = [Decimal(f"{u}E{-s}") for u in units]
        written = arrow_type
    else:
        values = [rng.uniform(-1e6, 1e6) for _ in range(21000)] + [0.0, math.inf, math.nan, 5e-324]
        if arrow_type == pa.float32():
            values = pa.array(values, pa.float32()).to_pylist()
        written = pa.float64()
    values = [None if k % 997 == 5 else v for k, v in enumerate(values)]
    masked, problems = zorva_rs.Masker(KEY, "number", options).maskColumn(values)
    batches = pa.table({"c": pa.array(values, arrow_type)}).to_batches(max_chunksize=9000)
    table = pa.Table.from_batches([batches[0], batches[0].slice(0, 0), *batches[1:]])  # an empty batch between
    out, got_problems = zorva_arrow.maskBatch([zorva_arrow.Masker(KEY, "number", options)], table)
    got = pa.table(out).column(0)
    assert got.type == written
    expected_problems, expected = [], list(masked)
    for row, value in enumerate(masked):
        if row in problems:
            expected_problems.append((0, row, problems[row]))
        elif value is not None and not fits(value, arrow_type):
            expected_problems.append((0, row, misfit(written_format(arrow_type, arrow_type))))
        else:
            continue
        expected[row] = None
    assert got_problems == expected_problems
    assert [a is b is None or same(a, b) for a, b in zip(got.to_pylist(), expected, strict=True)] == [True] * len(got)


@pytest.mark.parametrize(
    ("arrow_type", "name", "options", "written"),
    [
        (pa.float32(), "number", {}, pa.float64()),  # doubles come back
        (pa.int16(), "key", {}, pa.int16()),
        (pa.uint32(), "hash", {}, pa.string()),  # an int hashed through its decimal text
        (pa.large_string(), "key", {}, pa.large_string()),
        (pa.string_view(), "hash", {}, pa.large_string()),
        (pa.decimal128(10, 3), "number", {}, pa.decimal128(10, 3)),
        (pa.decimal256(40, 3), "number", {}, pa.decimal256(40, 3)),
        (pa.dictionary(pa.int16(), pa.string()), "key", {}, pa.dictionary(pa.int16(), pa.string())),
        (pa.bool_(), "hash", {}, pa.bool_()),  # every position a problem: the type stays
        (pa.null(), "key", {}, pa.null()),
    ],
)
def test_written_types(arrow_type, name, options, written):
    values = random_values(arrow_type, random.Random(1), 40)
    assert both_doors(name, options, arrow_type, values)[4] == written


@pytest.mark.parametrize(
    ("name", "arrow_type", "values"),
    [
        ("hash", pa.int32(), [1, 2]),
        ("key", pa.uint8(), [1, 2]),
        ("number", pa.float32(), [1.5, 2.0]),
        ("fakeCity", pa.string_view(), ["a", "b"]),
        ("number", pa.decimal128(7, 2), [Decimal("1.25")]),
    ],
)
def test_an_empty_or_all_null_batch_has_the_schema_of_a_full_one(name, arrow_type, values):
    masker = zorva_arrow.Masker(KEY, name, WORDS if name.startswith("fake") else {})
    full = zorva_arrow.maskBatch([masker], pa.table({"c": pa.array(values, arrow_type)}))[0]
    for rows in ([], [None, None]):
        empty = zorva_arrow.maskBatch([masker], pa.table({"c": pa.array(rows, arrow_type)}))[0]
        assert pa.table(empty).schema == pa.table(full).schema


def test_dictionary_values_masked_once_and_indices_kept():
    values = ["b", "a", None, "b", "c", "a"]
    column = pa.array(values).dictionary_encode()
    out, problems = zorva_arrow.maskBatch([zorva_arrow.Masker(KEY, "key", {})], pa.record_batch([column], ["d"]))
    got = pa.record_batch(out).column(0)
    assert got.indices.to_pylist() == column.indices.to_pylist()
    assert got.to_pylist() == zorva_rs.Masker(KEY, "key", {}).maskColumn(values)[0]
    assert problems == []


def test_problems_in_chunk_order_across_batches_and_carried_columns():
    rng = random.Random(7)
    rows = 3000
    ids = [rng.choice([True, rng.randrange(10**6), "x" * 300, None]) for _ in range(rows)]
    mails = [rng.choice(["a@b.org", 42, "no-at-sign", None]) for _ in range(rows)]
    keep = list(range(rows))
    # Mixed Python types go in as text; the ints as their decimal text.
    id_texts = [None if v is None else ("" if v is True else str(v)) for v in ids]
    mail_texts = [None if v is None else str(v) for v in mails]
    table = pa.table({"id": id_texts, "keep": keep, "mail": mail_texts})
    table = pa.concat_tables([table.slice(0, 1000), table.slice(1000, 1500), table.slice(2500)])
    configs = [("key", {}), None, ("email", {})]
    out, problems = zorva_arrow.maskBatch([c and zorva_arrow.Masker(KEY, *c) for c in configs], table)
    expected_rows, expected = zorva_rs.maskChunk(
        [c and zorva_rs.Masker(KEY, *c) for c in configs], list(zip(id_texts, keep, mail_texts))
    )
    assert problems == expected
    result = pa.table(out)
    assert result.column("keep").chunks[1].buffers()[1].address == table.column("keep").chunks[1].buffers()[1].address
    assert [tuple(r.values()) for r in result.to_pylist()] == expected_rows
    assert out.num_rows == rows


def test_columns_longer_than_a_read_block():
    """A column is read and masked some 16,000 inputs at a time: values repeated across those blocks, problems
    and a dictionary's entries on both sides of their ends, batches that do not line up with them."""
    rng = random.Random(11)
    rows = 40000
    pool = [f"user{k}@example.org" for k in range(8000)] + ["no-at-sign", None]
    mails = [rng.choice(pool) for _ in range(rows)]
    ids = [rng.choice([None, "", "x" * 300, str(rng.randrange(10**12)), "CUST-0042"]) for _ in range(rows)]
    bounds = [0, 7000, 27001, rows]
    batches = [
        pa.record_batch(
            [pa.array(ids[a:b]), pa.array(mails[a:b]), pa.array(mails[a:b]).dictionary_encode()], ["id", "mail", "dict"]
        )
        for a, b in itertools.pairwise(bounds)
    ]
    assert sum(len(batch.column(2).dictionary) for batch in batches) > 16384
    configs = [("key", {}), ("email", {}), ("hash", {"length": 12})]
    out, problems = zorva_arrow.maskBatch(
        [zorva_arrow.Masker(KEY, *c) for c in configs], pa.Table.from_batches(batches)
    )
    expected_rows, expected = zorva_rs.maskChunk(
        [zorva_rs.Masker(KEY, *c) for c in configs], list(zip(ids, mails, mails))
    )
    assert problems == expected
    assert [tuple(r.values()) for r in pa.table(out).to_pylist()] == expected_rows


@pytest.mark.parametrize(
    ("name", "options", "arrow_type", "pool"),
    [
        ("key", {}, pa.int64(), [-123456, -7, 0, 42, 10**12]),
        ("key", {}, pa.uint16(), [0, 9, 65535]),
        ("fpe", {"charset": "digits"}, pa.large_string(), ["0042", "12345678", "7", "", "x" * 80]),
        ("fakeCity", WORDS, pa.string_view(), ["Oslo", "a city name longer than twelve bytes", "É"]),
        ("key", {}, pa.string(), ["CUST-1", "CUST-2", "x" * 300]),
    ],
    ids=["int64", "uint16", "large_string", "string_view", "string"],
)
def test_repeating_values_of_a_cached_masker(name, options, arrow_type, pool):
    """A cached masker's column whose values repeat is grouped on its stored bytes: every row gets its value's
    answer, nulls and problems included, and a second call (the cache holding the values) agrees too."""
    rng = random.Random(str(arrow_type))
    values = [rng.choice([*pool, None]) for _ in range(20000)]
    table = pa.Table.from_batches(
        [pa.record_batch([pa.array(values[a:b], arrow_type)], ["c"]) for a, b in [(0, 5000), (5000, 20000)]]
    )
    row_masker = zorva_rs.Masker(KEY, name, options)
    arrow_masker = zorva_arrow.Masker(KEY, name, options)
    for _ in range(2):
        expected, expected_problems = row_masker.maskColumn(values)
        out, problems = zorva_arrow.maskBatch([arrow_masker], table)
        assert pa.table(out).column(0).to_pylist() == [
            None if r in expected_problems else v for r, v in enumerate(expected)
        ]
        assert problems == [(0, r, p) for r, p in expected_problems.items()]


@pytest.mark.parametrize(("name", "options"), [("key", {}), ("fakeCity", WORDS), ("email", {})])
def test_distinct_values_over_calls(name, options):
    """Nearly all distinct values (masked without a grouping table): a second and third call with the same masker,
    its result cache full of the first call's values or of half of them, agree with the row door, repeats included."""
    values = [f"{k:07d}" for k in range(30000)]
    values[17] = values[29000] = None
    values[123] = values[25000]  # a repeat, masked again to the same answer
    row_masker = zorva_rs.Masker(KEY, name, options)
    arrow_masker = zorva_arrow.Masker(KEY, name, options)
    for part in (values, values, values[15000:] + values[:15000]):
        expected, expected_problems = row_masker.maskColumn(part)
        out, problems = zorva_arrow.maskBatch([arrow_masker], pa.table({"c": pa.array(part, pa.string())}))
        assert pa.table(out).column(0).to_pylist() == expected
        assert problems == [(0, r, p) for r, p in expected_problems.items()]


def test_thread_counts_agree(restore_threads_arrow):
    rng = random.Random(3)
    table = pa.table({"s": [random_text(rng) for _ in range(20000)], "i": [rng.randrange(10**9) for _ in range(20000)]})
    maskers = [zorva_arrow.Masker(KEY, "fpe", {}), zorva_arrow.Masker(KEY, "key", {})]
    results = []
    for threads in (1, 2, 3):
        zorva_arrow.setThreads(threads)
        assert zorva_arrow.threads() == threads
        results.append(pa.table(zorva_arrow.maskBatch(maskers, table)[0]))
    assert results[0].equals(results[1]) and results[0].equals(results[2])
    assert zorva_rs.threads() == 1  # each module has its own pool
    # Columns masked at once on a pool that is replaced under them: the
    # running calls finish on the pool they started on, with the same bytes.
    outputs = []
    callers = [
        threading.Thread(
            target=lambda: outputs.extend(pa.table(zorva_arrow.maskBatch(maskers, table)[0]) for _ in range(3))
        )
        for _ in range(2)
    ]
    for caller in callers:
        caller.start()
    for threads in (1, 3, 2, 1, 2) * 4:
        zorva_arrow.setThreads(threads)
    for caller in callers:
        caller.join()
    assert len(outputs) == 6 and all(result.equals(results[0]) for result in outputs)


@pytest.fixture
def restore_threads_arrow():
    yield
    zorva_arrow.setThreads(1)


def test_readers_of_the_output():
    table = pa.table({"n": [1, 2, None], "s": ["a", None, "c"]})
    out, _ = zorva_arrow.maskBatch([zorva_arrow.Masker(KEY, "key", {}), zorva_arrow.Masker(KEY, "hash", {})], table)
    frame = pl.DataFrame(out)
    assert frame.to_dict(as_series=False) == pa.table(out).to_pydict()
    assert pa.RecordBatchReader.from_stream(out).read_all().equals(pa.table(out))
    batch, _ = zorva_arrow.maskBatch([None, None], table.to_batches()[0])
    assert isinstance(batch, zorva_arrow.MaskedBatch) and pa.record_batch(batch).equals(table.to_batches()[0])
    # Polars hands its strings as views.
    polars_out, _ = zorva_arrow.maskBatch([None, zorva_arrow.Masker(KEY, "hash", {})], pl.DataFrame(table))
    assert pa.table(polars_out).column("s").to_pylist() == pa.table(out).column("s").to_pylist()


@pytest.mark.parametrize(
    ("texts", "arrow_type"),
    [
        (
            ["1.50", "-0", "1E+3", "0.0000001", " 12 ", "nan", "-Infinity", "1e-7", "abc", "007.5", None, "5.", ".5"],
            pa.string(),
        ),
        (["123.45", "-9.99", "0.00", "1e400", None], pa.string_view()),
    ],
)
def test_decimal_texts_mask_as_the_decimals(texts, arrow_type):
    options = {"min": "-1e3", "max": "1e3", "decimals": 2}
    decimals = []
    for text in texts:
        try:
            decimals.append(None if text is None else Decimal(text))
        except ArithmeticError:
            decimals.append(object())  # not a Decimal: the row door falls back
    masked, problems = zorva_rs.Masker(KEY, "number", options).maskColumn(decimals)
    out, got_problems = zorva_arrow.maskBatch(
        [zorva_arrow.Masker(KEY, "number", options)], pa.table({"v": pa.array(texts, arrow_type)}), decimalTexts=[0]
    )
    got = pa.table(out).column("v").to_pylist()
    assert [None if v is None else str(v) for v in masked] == got
    assert got_problems == [(0, row, marker) for row, marker in problems.items()]
