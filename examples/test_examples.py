"""End-to-end tests of the example job: the SQLite CLI and the Dask example."""

from __future__ import annotations

import hashlib
import hmac
import sqlite3
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest

import mask_sqlite
import sample_data

HERE = Path(__file__).resolve().parent
POLICY = HERE / "policy.toml"
KEY_A = "11" * 32
KEY_B = "22" * 32
ROWS = 3000


def run_cli(source, target, policy=POLICY, words=None, key=KEY_A, chunk=1000, table=None):
    args = [sys.executable, str(HERE / "mask_sqlite.py"), str(source), str(target),
            "--policy", str(policy), "--key", key, "--chunk-size", str(chunk),
            "--no-progress", "--threads", "2"]
    if words:
        args += ["--words", str(words)]
    if table:
        args += ["--table", table]
    return subprocess.run(args, capture_output=True, text=True, timeout=300)


def dump(path, table="customers"):
    conn = mask_sqlite.connect(path)
    try:
        return conn.execute(f"SELECT * FROM {table}").fetchall()
    finally:
        conn.close()


def make_table(path, table, columns, rows):
    conn = sqlite3.connect(path)
    with conn:
        conn.execute(f"CREATE TABLE {table} ({columns})")
        conn.executemany(f"INSERT INTO {table} VALUES ({', '.join('?' * len(rows[0]))})", rows)
    conn.close()


def write_policy(path, body, table="t"):
    path.write_text(f'table = "{table}"\n{body}', encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    words = sample_data.write_words(folder / "words.json")
    sample_data.create_database(folder / "customers.db", ROWS, words=words)
    return folder


@pytest.fixture(scope="module")
def masked(sample):
    target = sample / "masked_a.db"
    result = run_cli(sample / "customers.db", target, words=sample / "words.json")
    assert result.returncode == 0, result.stderr
    return target, result


def test_policy_uses_all_twelve_strategies():
    strategies = {s for s, _ in mask_sqlite.Policy.load(POLICY).columns.values()}
    assert strategies == {"fpe", "key", "number", "fakeFirstName", "fakeLastName", "fakeName",
                          "fakeCity", "fakeCompany", "fakeStreetAddress", "hash", "email",
                          "digits"}


def test_same_key_same_output_other_key_differs(sample, masked):
    target_a, result = masked
    again = run_cli(sample / "customers.db", sample / "masked_a2.db", words=sample / "words.json")
    other = run_cli(sample / "customers.db", sample / "masked_b.db", words=sample / "words.json",
                    key=KEY_B)
    assert again.returncode == other.returncode == 0
    source, a = dump(sample / "customers.db"), dump(target_a)
    assert len(a) == ROWS and a == dump(sample / "masked_a2.db")
    b = dump(sample / "masked_b.db")

    names = [n for n, _ in sample_data.COLUMNS]
    masked_columns = set(mask_sqlite.Policy.load(POLICY).columns)
    for j, name in enumerate(names):
        changed_ab = sum(x[j] != y[j] for x, y in zip(a, b))
        changed_src = sum(x[j] != y[j] for x, y in zip(source, a))
        if name in masked_columns:
            # Word lists are finite and years bounded, so a few equal draws
            # are expected; most values must change.
            assert changed_ab > ROWS // 2, name
            assert changed_src > ROWS // 2, name
        else:
            assert changed_src == 0, name
    assert f"masked {ROWS:,} rows" in result.stdout and "rows/s" in result.stdout


def test_masked_values_keep_their_shape(sample, masked):
    names = [n for n, _ in sample_data.COLUMNS]
    col = {n: i for i, n in enumerate(names)}
    source, a = dump(sample / "customers.db"), dump(masked[0])
    assert len({r[col["id"]] for r in a}) == ROWS  # the key strategy is a bijection
    for s, m in zip(source, a):
        assert len(m[col["account_code"]]) == 12 and m[col["account_code"]].startswith("AC-")
        assert m[col["username"]].startswith("user_") and len(m[col["username"]]) == 17
        assert m[col["phone"]][:4] == "+1 (" and len(m[col["phone"]]) == len(s[col["phone"]])
        assert 1940 <= m[col["birth_year"]] <= 2005
        if s[col["salary"]] is None:
            assert m[col["salary"]] is None
        else:
            assert m[col["salary"]].as_tuple().exponent == -2
            band = s[col["salary"]] * Decimal("0.15") + Decimal("0.01")
            assert abs(m[col["salary"]] - s[col["salary"]]) <= band


def test_target_column_types(masked):
    conn = sqlite3.connect(masked[0])
    declared = {r[1]: r[2] for r in conn.execute("PRAGMA table_info(customers)")}
    stored = conn.execute("SELECT typeof(id), typeof(salary), typeof(balance), typeof(birth_year),"
                          " typeof(email) FROM customers WHERE salary IS NOT NULL"
                          " AND balance IS NOT NULL LIMIT 1").fetchone()
    conn.close()
    assert declared["id"] == declared["birth_year"] == "INTEGER"
    assert declared["balance"] == "REAL" and declared["email"] == "TEXT"
    assert declared["salary"] == "DECIMAL TEXT"
    assert stored == ("integer", "text", "real", "integer", "text")


@pytest.mark.parametrize("kinds, fits, expected", [
    ([int, type(None)], True, "INTEGER"),
    ([int], False, "TEXT"),
    ([bool, int], True, "INTEGER"),
    ([float, int], True, "NUMERIC"),
    ([Decimal, type(None)], True, "DECIMAL TEXT"),
    ([str, int], True, "TEXT"),
    ([type(None)], True, "REAL"),  # nothing to go by: the source's type
])
def test_declared_type(kinds, fits, expected):
    assert mask_sqlite.declared_type(kinds, fits, "REAL") == expected


def test_ints_beyond_64_bits_are_stored_as_text(tmp_path):
    make_table(tmp_path / "s.db", "t", "n INTEGER", [(v,) for v in range(10**18, 10**18 + 50)])
    policy = write_policy(tmp_path / "p.toml", '[columns.n]\nstrategy = "number"\n'
                          'options = { min = "20000000000000000000", max = "30000000000000000000" }\n')
    result = run_cli(tmp_path / "s.db", tmp_path / "m.db", policy)
    assert result.returncode == 0, result.stderr
    conn = sqlite3.connect(tmp_path / "m.db")
    assert conn.execute("SELECT type FROM pragma_table_info('t')").fetchone() == ("TEXT",)
    values = [int(v) for (v,) in conn.execute("SELECT n FROM t")]
    conn.close()
    assert len(values) == 50 and all(2 * 10**19 <= v <= 3 * 10**19 for v in values)


def test_fallbacks_are_finished_by_the_documented_rule(tmp_path):
    make_table(tmp_path / "s.db", "t", "email TEXT, balance REAL",
               [("zoë@example.com", 0.0), ("ann@example.com", 12.5)])
    policy = write_policy(tmp_path / "p.toml", '[columns.email]\nstrategy = "email"\n'
                          '[columns.balance]\nstrategy = "number"\n')
    result = run_cli(tmp_path / "s.db", tmp_path / "m.db", policy)
    assert result.returncode == 0, result.stderr
    (email0, balance0), (email1, balance1) = dump(tmp_path / "m.db", "t")
    subkey = hmac.new(bytes.fromhex(KEY_A), b"email", hashlib.sha256).digest()
    expected = hmac.new(subkey, "zoë@example.com".encode(), hashlib.sha256).hexdigest()[:16]
    assert email0 == "fb_" + expected and balance0 is None
    assert email1.startswith("u") and "@" in email1 and isinstance(balance1, float)
    assert "2 fallback value(s)" in result.stdout


@pytest.mark.parametrize("body, message", [
    ('[columns.email]\nstrategy = "shuffle"\n', 'no native masker for strategy "shuffle"'),
    ('[columns.id]\nstrategy = "key"\noptions = { charset = "octal" }\n',
     'unknown charset "octal"'),
    ('[columns.balance]\nstrategy = "number"\noptions = { variance = 0.1 }\n',
     "not an instance of 'str'"),
    ('[columns.city]\nstrategy = "fakeCity"\n', "needs word lists"),
    ('[columns.nope]\nstrategy = "hash"\n', "policy columns not in table"),
])
def test_bad_policy_is_a_clear_error_and_writes_nothing(sample, tmp_path, body, message):
    policy = write_policy(tmp_path / "p.toml", body, table="customers")
    result = run_cli(sample / "customers.db", tmp_path / "m.db", policy)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "m.db").exists()


def test_refusal_stops_the_job_without_a_half_written_chunk(tmp_path):
    rows = [(i, None, None) for i in range(3000)]
    rows[2100] = (2100, None, 1)  # digits refuses a bool too, in a later column
    rows[2600] = (2600, 1, None)
    make_table(tmp_path / "s.db", "t", "id INTEGER, flag BOOLEAN, code BOOLEAN", rows)
    policy = write_policy(tmp_path / "p.toml", '[columns.flag]\nstrategy = "key"\n'
                          '[columns.code]\nstrategy = "digits"\n')
    result = run_cli(tmp_path / "s.db", tmp_path / "m.db", policy, chunk=1000)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    # Column by column, each in row order: flag's refusal comes first.
    assert "column 'flag', row 2600: the key strategy cannot mask a bool" in result.stderr
    assert [r[0] for r in dump(tmp_path / "m.db", "t")] == list(range(2000))


def test_scale_out_matches_a_single_process_byte_for_byte(tmp_path):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (scripts/requirements.txt)")
    pytest.importorskip("dask.distributed",
                        reason="dask[distributed] is not installed (scripts/requirements.txt)")
    import scale_out

    words_path = tmp_path / "words.json"
    words = sample_data.write_words(words_path)
    sources = scale_out.write_dataset(tmp_path / "src", 900, 3, words)
    key = bytes.fromhex(KEY_A)
    local = scale_out.run_local(sources, tmp_path / "local", key, POLICY, words_path)
    spread = scale_out.run_dask(sources, tmp_path / "dask", key, POLICY, words_path, workers=2)
    assert scale_out.same_bytes(local, spread)
    assert not scale_out.same_bytes(sources, local)
