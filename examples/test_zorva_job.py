"""The columnar job's parts against the row job's on random inputs: the stages, the
chunking, the masking with its fallbacks, refusals and wide ints, the SQLite converters;
and the command lines of both: arguments, keys, empty tables."""

from __future__ import annotations

import os
import random
import re
import sqlite3
import threading
from contextlib import closing
from decimal import Decimal

import mask_postgres
import mask_sqlite
import pyarrow as pa
import pytest
import zorva_arrow
import zorva_rs
from zorva_job.__main__ import main
from zorva_job.columnar import BatchMasker
from zorva_job.dbpolicy import Rule
from zorva_job.job import rechunk
from zorva_job.pipeline import run_stages
from zorva_job.policy import Policy, PolicyError, RefusedValue, fallback_text
from zorva_job.sqlite import read_as
from zorva_job.sqlite_schema import converter

KEY = bytes.fromhex("11" * 32)
SECRET = "7f" * 32  # a key that must never show


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


def by_policy(names):
    return BatchMasker.build(POLICY, names, KEY, None, widen_ints=True), lambda message: message


def by_rules(names):
    """The job's maskers: each column's key domain its name unless the policy says otherwise."""
    rules = [Rule(*POLICY.columns[n], n) for n in names]
    masker = BatchMasker.for_rules("t", names, rules, KEY, None, widen_ints=True)
    return masker, lambda message: message.replace("column '", "column 't.")


@pytest.mark.parametrize("build", [by_policy, by_rules])
@pytest.mark.parametrize("seed", range(6))
def test_batch_masker_writes_what_the_row_job_writes(seed, build):
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
    columnar, named = build(names)
    if refuse:
        with pytest.raises(mask_sqlite.RefusedValue) as expected:
            row_job.mask(rows, 100)
        with pytest.raises(RefusedValue) as got:
            columnar.mask(chunk, 100)
        assert str(got.value) == named(str(expected.value))
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


def sqlite_job(tmp_path, policy, rows=(), *args):
    """The arguments of a job of table t (`policy`'s text) from s.db into m.db."""
    with closing(sqlite3.connect(tmp_path / "s.db")) as conn:
        conn.execute("CREATE TABLE t (a TEXT, b INTEGER)")
        conn.executemany("INSERT INTO t VALUES (?, ?)", rows)
        conn.commit()
    (tmp_path / "p.toml").write_text(f'table = "t"\n{policy}', encoding="utf-8")
    return [
        str(tmp_path / "s.db"),
        str(tmp_path / "m.db"),
        "--policy",
        str(tmp_path / "p.toml"),
        "--no-progress",
        *args,
    ]


@pytest.fixture
def keyed(monkeypatch):
    monkeypatch.setenv("ZORVA_MASTER_KEY", KEY.hex())


KEEP_A = 'keep = ["a"]\n[columns.b]\nstrategy = "key"\n'


@pytest.mark.parametrize(
    "args, message",
    [
        (["--policy", "/nonexistent.toml"], "cannot read policy"),
        (["--chunk-size", "0"], "at least 1"),
        (["--words", "/nonexistent.json"], "cannot read word lists"),
    ],
)
def test_bad_arguments_are_clear_errors(tmp_path, capsys, keyed, args, message):
    assert main(["sqlite", *sqlite_job(tmp_path, KEEP_A, [("x", 1)]), *args]) == 2
    assert message in capsys.readouterr().err
    assert not list(tmp_path.glob("m.db*"))


def test_a_column_that_changes_type_after_the_first_chunk_is_a_clear_error_and_no_target(tmp_path, capsys, keyed):
    rows = [(None, i) for i in range(5)] + [("x", i) for i in range(5)]
    assert main(["sqlite", *sqlite_job(tmp_path, KEEP_A, rows, "--chunk-size", "4", "--serial")]) == 2
    assert "than in its first 4 rows" in capsys.readouterr().err
    assert not (tmp_path / "m.db").exists()


@pytest.mark.parametrize("door", [lambda argv: main(["sqlite", *argv]), mask_sqlite.main], ids=["columnar", "row"])
def test_an_empty_table_is_masked_and_reported_through_both_doors(tmp_path, capsys, keyed, door):
    assert door(sqlite_job(tmp_path, KEEP_A)) == 0 and " 0 rows" in capsys.readouterr().out


@pytest.mark.parametrize("door", [mask_sqlite.main, mask_postgres.main], ids=["sqlite", "postgres"])
@pytest.mark.parametrize(
    "key, args, message",
    [
        (None, [], "no master key"),
        (KEY.hex(), ["--key", SECRET], "--key is refused"),
        (KEY.hex(), ["--key=" + SECRET], "--key is refused"),
        (None, ["--key-file", "{shared}"], "chmod 600"),
        ("zz" + SECRET, [], "is not hex"),
        (SECRET[:30], [], "at least 16"),
    ],
)
def test_the_row_job_takes_its_key_only_privately_and_never_shows_it(
    tmp_path, capsys, monkeypatch, door, key, args, message
):
    """As the columnar job: from the environment or a file its owner alone reads."""
    monkeypatch.delenv("ZORVA_MASTER_KEY", raising=False)
    if key is not None:
        monkeypatch.setenv("ZORVA_MASTER_KEY", key)
    shared = tmp_path / "k"
    shared.write_text(SECRET)
    os.chmod(shared, 0o644)
    argv = sqlite_job(tmp_path, "", [("x", 1)])
    if door is mask_postgres.main:
        argv = ["--source", "dbname=zorva_never", *argv[2:]]
    assert door([*argv, *(a.format(shared=shared) for a in args)]) == 2
    out, err = capsys.readouterr()
    assert message in err and SECRET[:30] not in out + err
    assert not list(tmp_path.glob("m.db*"))


def test_the_row_job_masks_with_a_private_key_file_as_with_the_same_key_in_the_environment(tmp_path, monkeypatch):
    argv = sqlite_job(tmp_path, '[columns.a]\nstrategy = "hash"\n', [(f"v{i}", i) for i in range(50)])

    def masked():
        with closing(sqlite3.connect(tmp_path / "m.db")) as conn:
            return conn.execute("SELECT * FROM t").fetchall()

    monkeypatch.setenv("ZORVA_MASTER_KEY", SECRET)
    assert mask_sqlite.main(argv) == 0
    by_env = masked()
    (tmp_path / "k").write_text(SECRET + "\n")
    os.chmod(tmp_path / "k", 0o600)
    monkeypatch.delenv("ZORVA_MASTER_KEY")
    assert mask_sqlite.main([*argv, "--replace", "--key-file", str(tmp_path / "k")]) == 0
    by_file = masked()
    assert by_file == by_env and {a for a, _ in by_env}.isdisjoint(f"v{i}" for i in range(50))
    assert [b for _, b in by_env] == list(range(50))  # unlisted: copied


@pytest.mark.parametrize(
    "build, column",
    [
        (lambda strategy: BatchMasker.build(Policy("t", {"x": (strategy, {})}), ["x"], KEY, None), "column 'x'"),
        (lambda strategy: BatchMasker.for_rules("t", ["x"], [Rule(strategy, {}, "x")], KEY, None), "column t.x"),
    ],
    ids=["policy", "rules"],
)
def test_a_bad_policy_entry_is_a_policy_error_naming_the_column(build, column):
    with pytest.raises(PolicyError, match=re.escape(f"{column} (shuffle)")):
        build("shuffle")
    with pytest.raises(PolicyError, match=re.escape(f"{column}: fakeCity needs word lists")):
        build("fakeCity")
    assert zorva_arrow.FALLBACK == zorva_rs.FALLBACK
