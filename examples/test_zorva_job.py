"""The columnar job's parts against the row job's on random inputs: the stages, the
chunking, the masking with its fallbacks, refusals and wide ints, the SQLite converters."""

from __future__ import annotations

import random
import sqlite3
import threading
from contextlib import closing
from decimal import Decimal

import mask_sqlite
import pyarrow as pa
import pytest
import zorva_arrow
import zorva_rs
from zorva_job.__main__ import main
from zorva_job.columnar import BatchMasker
from zorva_job.job import rechunk
from zorva_job.pipeline import run_stages
from zorva_job.policy import Policy, PolicyError, RefusedValue, fallback_text
from zorva_job.sqlite import converter, read_as

KEY = bytes.fromhex("11" * 32)


class Boom(Exception):
    pass


@pytest.mark.parametrize("overlap", [True, False])
@pytest.mark.parametrize("fail_at, stage", [(None, None), (5, "mask"), (5, "refuse"), (5, "write"), (5, "read")])
def test_stages_keep_order_stop_at_the_failing_chunk_and_stay_bounded(overlap, fail_at, stage):
    read, written, ahead = [], [], []
    lock = threading.Lock()

    def chunks():
        for i in range(12):
            if stage == "read" and i == fail_at:
                raise Boom("read")
            with lock:
                read.append(i)
                ahead.append(len(read) - len(written))
            yield i

    def mask(i):
        if i == fail_at and stage in ("mask", "refuse"):
            raise (RefusedValue if stage == "refuse" else Boom)(stage)
        return -i

    def write(i):
        if -i == fail_at and stage == "write":
            raise Boom("write")
        with lock:
            written.append(-i)
        return 1

    if stage is None:
        run_stages(chunks(), mask, write, overlap=overlap)
        assert written == list(range(12))
    else:
        with pytest.raises(RefusedValue if stage == "refuse" else Boom, match=stage):
            run_stages(chunks(), mask, write, overlap=overlap)
        # Every chunk before the failing one is written in order, none after it
        # (another failure lets the writer stop early; a refusal never does).
        assert written == list(range(fail_at))[: len(written)]
        assert stage != "refuse" or written == list(range(fail_at))
    # Two queues of two chunks, one chunk in each stage: never more read ahead.
    assert max(ahead) <= 7
    assert not [t for t in threading.enumerate() if t.name.startswith("zorva-")]


def test_rechunk_gives_exact_chunks_of_any_batches_without_losing_a_row():
    rng = random.Random(3)
    for _ in range(50):
        sizes = [rng.choice([0, 1, 7, 10, 33]) for _ in range(rng.randrange(8))]
        start, batches = 0, []
        for n in sizes:
            batches.append(pa.record_batch([pa.array(range(start, start + n))], names=["x"]))
            start += n
        size = rng.choice([1, 5, 10, 64])
        chunks = list(rechunk(batches, size))
        assert [c.num_rows for c in chunks[:-1]] == [size] * (len(chunks) - 1)
        assert [v for c in chunks for v in c.column(0).to_pylist()] == list(range(start))


def random_table(rng, rows):
    def texts():
        return [
            None
            if rng.random() < 0.1
            else rng.choice(["zoë@example.com", "a@b.c", "x", f"u{rng.randrange(99)}@example.org", ""])
            for _ in range(rows)
        ]

    return {
        "id": [rng.randrange(-(10**6), 10**6) if rng.random() > 0.05 else None for _ in range(rows)],
        "email": texts(),
        "note": texts(),
        "amount": [rng.choice([0.0, 1.5, -3.25, 1e6]) for _ in range(rows)],
        "big": [rng.randrange(10**17, 10**18) for _ in range(rows)],
        "gate": [None] * rows,
        "flag": [None] * rows,
    }


POLICY = Policy(
    "t",
    {
        "id": ("key", {}),
        "email": ("email", {"mailDomain": "example.test"}),
        "note": ("number", {}),
        "amount": ("number", {"variance": "0.2", "decimals": 2}),
        "big": ("number", {"min": "2e19", "max": "3e19"}),
        "gate": ("key", {}),
        "flag": ("digits", {}),
    },
)


@pytest.mark.parametrize("seed", range(6))
def test_batch_masker_writes_what_the_row_job_writes(seed):
    """Fallbacks (texts hashed, the rest NULL), ints beyond 64 bits as text, the first refusal."""
    rng = random.Random(seed)
    columns = random_table(rng, 400)
    refuse = seed % 2 == 1
    if refuse:  # bools, refused by both strategies: the earlier column's comes first
        columns["flag"][rng.randrange(400)] = True
        columns["gate"][rng.randrange(400)] = rng.choice([True, None])
    names = list(columns)
    chunk = pa.table({n: pa.array(v, pa.bool_() if n in ("gate", "flag") else None) for n, v in columns.items()})
    rows = list(zip(*columns.values(), strict=True))
    row_job = mask_sqlite.ChunkMasker.build(mask_sqlite.Policy("t", POLICY.columns), names, KEY, None)
    columnar = BatchMasker.build(POLICY, names, KEY, None, widen_ints=True)
    if refuse:
        with pytest.raises(mask_sqlite.RefusedValue) as expected:
            row_job.mask(rows, 100)
        with pytest.raises(RefusedValue) as got:
            columnar.mask(chunk, 100)
        assert str(got.value) == str(expected.value)
        return
    expected = row_job.mask(rows, 0)
    got = columnar.mask(chunk, 0)
    assert columnar.widened == {names.index("big")}
    as_text = [tuple(str(v) if j == names.index("big") else v for j, v in enumerate(row)) for row in expected]
    assert list(zip(*got.to_pydict().values(), strict=True)) == as_text
    assert columnar.fallbacks == row_job.fallbacks > 0


def test_decimal_texts_are_masked_as_the_row_jobs_decimals_and_bad_texts_hashed():
    texts = ["12.50", "-3", None, "1e3", "0", "abc", "12.5.1"]
    policy = Policy("t", {"d": ("number", {"variance": "0.1", "decimals": 2})})
    columnar = BatchMasker.build(policy, ["d"], KEY, None, decimal_columns={0})
    got = columnar.mask(pa.table({"d": texts}), 0).column(0).to_pylist()
    row_job = mask_sqlite.ChunkMasker.build(mask_sqlite.Policy("t", policy.columns), ["d"], KEY, None)
    values = [mask_sqlite._decimal(t.encode()) if t else None for t in texts]
    expected = [v[0] for v in row_job.mask([(v,) for v in values], 0)]
    assert got == [None if v is None else str(v) for v in expected]
    subkey = columnar.subkeys[0]
    assert subkey and got[5] == fallback_text(subkey, "abc") and got[4] is None  # zero: NULL


@pytest.mark.parametrize(
    "declared, stored",
    [
        ("BOOLEAN", [1, 0, None, 5]),
        ("BOOLEAN", ["true", " FALSE ", "0", "", "yes", None]),
        ("decimal(10, 2)", [12, 3.5, None, -0.25]),
        ("DECIMAL TEXT", ["1.10", "", None]),
        ("TEXT", ["a", None]),
        ("INTEGER", [1, None]),
    ],
)
def test_sqlite_columns_read_as_the_row_jobs_converters_read_them(tmp_path, declared, stored):
    path = tmp_path / "t.db"
    with closing(sqlite3.connect(path)) as conn:
        conn.execute(f"CREATE TABLE t (v {declared})")
        conn.executemany("INSERT INTO t VALUES (?)", [(v,) for v in stored])
        conn.commit()
    with closing(mask_sqlite.connect(path)) as conn:
        expected = [r[0] for r in conn.execute("SELECT v FROM t")]
    batch = pa.record_batch([pa.array(stored)], names=["v"])
    got = read_as(batch, [converter(declared)]).column(0).to_pylist()
    decimal = converter(declared) == "DECIMAL"
    assert [Decimal(v) if decimal and v is not None else v for v in got] == expected


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["--key", "zz"], 2, "--key is not hex"),
        (["--key", "00" * 8], 2, "at least 16 bytes"),
        (["--policy", "/nonexistent.toml"], 2, "cannot read policy"),
        (["--door", "row", "--copy-only"], 2, "columnar door only"),
        (["--chunk-size", "0"], 2, "at least 1"),
    ],
)
def test_bad_arguments_are_clear_errors(tmp_path, capsys, args, code, message):
    policy = tmp_path / "p.toml"
    policy.write_text('table = "t"\n', encoding="utf-8")
    try:
        result = main(
            ["sqlite", str(tmp_path / "s.db"), str(tmp_path / "m.db"), "--policy", str(policy), "--no-progress", *args]
        )
    except SystemExit as e:
        result = e.code
    assert result == code and message in capsys.readouterr().err
    assert not (tmp_path / "m.db").exists()


def test_a_column_that_changes_type_after_the_first_chunk_is_a_clear_error(tmp_path, capsys):
    source = tmp_path / "s.db"
    with closing(sqlite3.connect(source)) as conn:
        conn.execute("CREATE TABLE t (a TEXT, b INTEGER)")
        conn.executemany("INSERT INTO t VALUES (?, ?)", [(None, i) for i in range(5)] + [("x", i) for i in range(5)])
        conn.commit()
    policy = tmp_path / "p.toml"
    policy.write_text('table = "t"\n[columns.b]\nstrategy = "key"\n', encoding="utf-8")
    assert (
        main(
            [
                "sqlite",
                str(source),
                str(tmp_path / "m.db"),
                "--policy",
                str(policy),
                "--no-progress",
                "--chunk-size",
                "4",
                "--serial",
            ]
        )
        == 2
    )
    assert "than in its first 4 rows" in capsys.readouterr().err
    with closing(sqlite3.connect(tmp_path / "m.db")) as conn:  # the first chunk stays
        assert conn.execute("SELECT count(*) FROM t").fetchone() == (4,)


@pytest.mark.parametrize("door", ["columnar", "row"])
def test_an_empty_table_is_masked_and_reported_through_both_doors(tmp_path, door):
    source = tmp_path / "s.db"
    with closing(sqlite3.connect(source)) as conn:
        conn.execute("CREATE TABLE t (a TEXT)")
    policy = tmp_path / "p.toml"
    policy.write_text('table = "t"\n[columns.a]\nstrategy = "key"\n', encoding="utf-8")
    assert (
        main(["sqlite", str(source), str(tmp_path / "m.db"), "--policy", str(policy), "--no-progress", "--door", door])
        == 0
    )  # the report has no types to show


def test_the_row_door_gets_the_same_arguments_less_the_door(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(mask_sqlite, "main", lambda argv: seen.append(argv) or 0)
    args = ["a.db", "b.db", "--table", "row", "--policy", "p.toml"]
    assert main(["sqlite", *args[:2], "--door", "row", *args[2:]]) == 0
    assert main(["sqlite", "--door=row", *args]) == 0
    assert seen == [args, args]


def test_a_bad_policy_entry_is_a_policy_error_naming_the_column():
    with pytest.raises(PolicyError, match=r"column 'x' \(shuffle\)"):
        BatchMasker.build(Policy("t", {"x": ("shuffle", {})}), ["x"], KEY, None)
    with pytest.raises(PolicyError, match="needs word lists"):
        BatchMasker.build(Policy("t", {"x": ("fakeCity", {})}), ["x"], KEY, None)
    assert zorva_arrow.FALLBACK == zorva_rs.FALLBACK
