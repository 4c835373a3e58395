"""End-to-end tests of the example jobs (SQLite, PostgreSQL) through both doors: the row
job (mask_sqlite.py, mask_postgres.py) and the columnar job (python -m zorva_job), which
must give the same target values; and of the Dask example.
The PostgreSQL tests create databases zorva_src and zorva_dst on the server named by
ZORVA_PG_DSN (scripts/test.sh starts a throwaway one) and skip without it. The columnar
job writes a schema there (masked, or masked_columnar), the row job a table."""

from __future__ import annotations

import hashlib
import hmac
import os
import sqlite3
import subprocess
import sys
from contextlib import closing
from decimal import Decimal
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import urlencode

import mask_postgres
import mask_sqlite
import psycopg
import pytest
import sample_data
from psycopg.conninfo import conninfo_to_dict, make_conninfo

HERE = Path(__file__).resolve().parent
POLICY = HERE / "policy.toml"
KEY_A = "11" * 32
ROWS = 3000
PG_DSN = os.environ.get("ZORVA_PG_DSN")


def run(script, *args, policy=POLICY, key=KEY_A, chunk=1000, env=None):  # args override
    """Runs mask_<backend>.py, or `python -m zorva_job <backend>` for "columnar-<backend>",
    the master key in the environment."""
    door, _, backend = script.rpartition("-")
    program = ["-m", "zorva_job", backend] if door else [str(HERE / script)]
    command = [sys.executable, *program, "--policy", str(policy), "--chunk-size", str(chunk), "--no-progress"]
    command += ["--threads", "2", *map(str, args)]
    env = dict(os.environ if env is None else env, ZORVA_MASTER_KEY=key)
    return subprocess.run(command, capture_output=True, text=True, timeout=300, env=env, cwd=HERE)


def columnar_postgres_ready():
    try:
        from zorva_job.postgres import PostgresSource, PostgresTarget  # noqa: F401
    except ImportError:
        pytest.skip(
            "waits for the columnar job's PostgreSQL backend (zorva_job.postgres.PostgresSource and "
            "PostgresTarget, being written)"
        )


def script_of(door, backend):
    return f"mask_{backend}.py" if door == "row" else f"columnar-{backend}"


def dump(path, table="customers", order="rowid"):
    with closing(mask_sqlite.connect(path)) as conn:
        return conn.execute(f"SELECT * FROM {table} ORDER BY {order}").fetchall()


def pg_rows(dsn, query):
    with psycopg.connect(dsn, autocommit=True) as conn:
        cursor = conn.execute(query)
        return cursor.fetchall() if cursor.description else None


def write_policy(path, body, table="t"):
    path.write_text(f'table = "{table}"\n{body}', encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    words = sample_data.write_words(folder / "words.json")
    sample_data.create_database(folder / "customers.db", ROWS, words=words)
    return folder


def mask_sample(sample, target, *args, door="row", words=True, order="rowid", **options):
    """The masked sample; the columnar job takes Faker's word lists without `words`."""
    words_args = ["--words", sample / "words.json"] if words else []
    result = run(script_of(door, "sqlite"), sample / "customers.db", sample / target, *words_args, *args, **options)
    assert result.returncode == 0, result.stderr
    return dump(sample / target, order=order), result


@pytest.fixture(scope="module")
def pg():
    """Connection strings of two new databases; src holds the sample customers."""
    if not PG_DSN:
        pytest.skip("no PostgreSQL server: set ZORVA_PG_DSN (scripts/test.sh starts one)")
    for name in ("zorva_src", "zorva_dst"):
        pg_rows(PG_DSN, f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")
        pg_rows(PG_DSN, f"CREATE DATABASE {name}")
    dsns = {db: make_conninfo(PG_DSN, dbname=f"zorva_{db}") for db in ("src", "dst")}
    with psycopg.connect(dsns["src"]) as conn:
        sample_data.create_postgres_table(conn, ROWS)
    return dsns


@pytest.fixture(params=["sqlite", "postgres", "columnar-sqlite", "columnar-postgres"])
def job(request, tmp_path):
    """One door's job on one backend from a table t to a table t (of schema masked for the
    columnar job on PostgreSQL): make(columns, rows), run(policy), read(), written()."""
    door, _, backend = request.param.rpartition("-")
    if backend == "sqlite":
        args = [tmp_path / "s.db", tmp_path / "m.db"]
        connect, mark = (lambda: sqlite3.connect(args[0])), "?"
        read, written = (lambda: dump(args[1], "t")), args[1].exists
    else:
        dsns = request.getfixturevalue("pg")
        if door:
            columnar_postgres_ready()
        pg_rows(dsns["src"], "DROP TABLE IF EXISTS t")
        pg_rows(dsns["dst"], "DROP TABLE IF EXISTS t; DROP SCHEMA IF EXISTS masked CASCADE")
        table = "masked.t" if door else "t"
        connect, mark = (lambda: psycopg.connect(dsns["src"])), "%s"
        args = ["--source", dsns["src"], "--target", dsns["dst"], *(["--target-schema", "masked"] if door else [])]
        read = lambda: pg_rows(dsns["dst"], f"SELECT * FROM {table}")  # noqa: E731
        written = lambda: pg_rows(dsns["dst"], f"SELECT to_regclass('{table}')") != [(None,)]  # noqa: E731

    def make(columns, rows):
        with closing(connect()) as conn:
            conn.execute(f"CREATE TABLE t ({columns})")
            conn.cursor().executemany(f"INSERT INTO t VALUES ({', '.join([mark] * len(rows[0]))})", rows)
            conn.commit()

    return SimpleNamespace(
        columnar=bool(door),
        make=make,
        read=read,
        written=written,
        run=lambda policy, chunk=1000: run(script_of(door or "row", backend), *args, policy=policy, chunk=chunk),
    )


def test_same_key_same_output_other_key_differs_shapes_kept(sample):
    source = dump(sample / "customers.db")
    a, result = mask_sample(sample, "masked_a.db")
    # One masking thread, read, mask and write in turn: the same values.
    assert mask_sample(sample, "masked_a2.db", "--threads", "1", "--serial")[0] == a
    b, _ = mask_sample(sample, "masked_b.db", key="22" * 32)
    policy = mask_sqlite.Policy.load(POLICY)
    assert len({s for s, _ in policy.columns.values()}) == 12 and len(a) == ROWS
    for j, (name, _) in enumerate(sample_data.COLUMNS):
        changed_ab = sum(x[j] != y[j] for x, y in zip(a, b))
        changed_src = sum(x[j] != y[j] for x, y in zip(source, a))
        # Word lists are finite and years bounded, so a few equal draws are
        # expected; most values must change.
        assert changed_ab > ROWS // 2 and changed_src > ROWS // 2 if name in policy.columns else changed_src == 0, name
    assert len({r[0] for r in a}) == ROWS  # id: the key strategy is a bijection
    i = [n for n, _ in sample_data.COLUMNS].index("salary")
    for s, m in ((s[i], m[i]) for s, m in zip(source, a) if s[i] is not None):
        # Exact Decimals, still to the cent, within the band.
        assert m.as_tuple().exponent == -2 and abs(m - s) <= s * Decimal("0.15") + Decimal("0.01")
    assert f"masked {ROWS:,} rows" in result.stdout and "rows/s" in result.stdout


def test_postgres_job_gives_the_sqlite_values_and_keeps_the_types(sample, pg):
    params = conninfo_to_dict(pg["src"])  # the source from libpq's variables, the target a URL
    env = dict(os.environ, **{"PG" + k.upper(): v for k, v in params.items()}, PGDATABASE="zorva_src")
    target = "postgresql:///zorva_dst?" + urlencode({k: v for k, v in params.items() if k != "dbname"})
    result = run("mask_postgres.py", "--target", target, "--words", sample / "words.json", env=env)
    assert result.returncode == 0, result.stderr
    expected = sorted(mask_sample(sample, "masked_pg.db")[0])
    assert pg_rows(pg["dst"], "SELECT * FROM customers ORDER BY id") == expected
    with mask_postgres.connect(pg["src"], "") as s, mask_postgres.connect(pg["dst"], "") as d:
        types = mask_postgres.describe(s, "customers")[1]
        assert mask_postgres.describe(d, "customers")[1] == types
    assert ("salary", "numeric(12,2)") in [t[:2] for t in types]


CUSTOMERS = 'table = "customers"\n'
SHUFFLED = POLICY.read_text(encoding="utf-8").replace('strategy = "email"', 'strategy = "shuffle"')


def pg_state(pg):
    """What a job could write: every schema and table of both databases, the source's rows."""
    relations = (
        "SELECT n.nspname, c.relname FROM pg_namespace n LEFT JOIN pg_class c ON c.relnamespace = n.oid"
        " AND c.relkind IN ('r', 'p') WHERE n.nspname NOT LIKE 'pg\\_%' ORDER BY 1, 2"
    )
    rows = "SELECT md5(string_agg(c::text, ',' ORDER BY id)) FROM customers c"
    return [pg_rows(pg["src"], relations), pg_rows(pg["dst"], relations), pg_rows(pg["src"], rows)]


@pytest.mark.parametrize(
    "script, policy, args, message",
    [
        ("sqlite", CUSTOMERS + '[columns.email]\nstrategy = "shuffle"\n', [], 'masker for strategy "shuffle"'),
        ("sqlite", CUSTOMERS + '[columns.city]\nstrategy = "fakeCity"\n', [], "needs word lists"),
        ("sqlite", CUSTOMERS + '[columns.nope]\nstrategy = "hash"\n', [], "policy columns not in table"),
        ("postgres", None, ["--source", "{src} dbname=zorva_nosuch"], '"zorva_nosuch" does not exist'),
        ("postgres", None, ["--source", "postgresql://localhost:port/db"], "cannot connect to the source"),
        ("postgres", None, ["--target", "{dst} nonsense=1"], 'invalid connection option "nonsense"'),
        ("postgres", None, ["--table", "nosuch"], "no table 'nosuch' in the source database"),
        ("postgres", None, ["--target", "{src}", "--target-table", "customers", "--replace"], "is the source table"),
        ("columnar-sqlite", SHUFFLED, [], 'strategy "shuffle"'),
        ("columnar-sqlite", CUSTOMERS + '[columns.nope]\nstrategy = "hash"\n', [], "column customers.nope is not in"),
        (
            "columnar-sqlite",
            CUSTOMERS + '[columns.city]\nstrategy = "fakeCity"\n',
            [],
            "column customers.id is not covered: mask it or list it in keep",
        ),
        pytest.param("columnar-sqlite", 'table = "nosuch"\n', [], "table 'nosuch' is not in the source"),
        ("columnar-sqlite", None, ["--table", "nosuch"], "--table names table(s) the policy does not: nosuch"),
        ("columnar-postgres", None, ["--source", "{src} dbname=zorva_nosuch"], '"zorva_nosuch" does not exist'),
        ("columnar-postgres", None, ["--target", "{dst} nonsense=1"], "invalid connection option"),
        pytest.param(
            "columnar-postgres",
            'table = "nosuch"\n',
            [],
            "table 'nosuch' is not in the source",
        ),
        (
            "columnar-postgres",
            None,
            ["--target", "{src}", "--target-schema", "public", "--replace"],
            "is the source schema",
        ),
    ],
)
def test_bad_policy_connection_or_table_is_a_clear_error_and_writes_nothing(
    request, sample, tmp_path, script, policy, args, message
):
    door, _, backend = script.rpartition("-")
    if policy is not None:
        (tmp_path / "p.toml").write_text(policy, encoding="utf-8")
    if backend == "sqlite":
        args = [sample / "customers.db", tmp_path / "m.db", *args]

        def state():
            return sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("m.db"))
    else:
        pg = request.getfixturevalue("pg")
        if door:
            columnar_postgres_ready()
        target = ["--target-schema" if door else "--target-table", "fresh"]
        given = [a.format(**pg) for a in args]
        args = ["--source", pg["src"], "--target", pg["dst"], *target, "--words", sample / "words.json", *given]

        def state():
            return pg_state(pg)

    before = state()
    result = run(script_of(door or "row", backend), *args, policy=POLICY if policy is None else tmp_path / "p.toml")
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert message in result.stderr and state() == before


def test_fallbacks_follow_the_documented_rule_and_ints_beyond_64_bits_fit(job, tmp_path):
    job.make(
        "email TEXT, balance REAL, n NUMERIC", [("zoë@example.com", 0.0, 10**18), ("ann@example.com", 12.5, 10**18 + 1)]
    )
    result = job.run(
        write_policy(
            tmp_path / "p.toml",
            '[columns.email]\nstrategy = "email"\n'
            '[columns.balance]\nstrategy = "number"\n[columns.n]\nstrategy = '
            '"number"\noptions = { min = "2e19", max = "3e19" }\n',
        )
    )
    assert result.returncode == 0, result.stderr  # SQLite stores such ints as text
    (email0, balance0, n0), (email1, balance1, n1) = job.read()
    assert 2 * 10**19 <= int(n0) <= 3 * 10**19 and 2 * 10**19 <= int(n1) <= 3 * 10**19
    subkey = hmac.new(bytes.fromhex(KEY_A), b"email", hashlib.sha256).digest()
    expected = hmac.new(subkey, "zoë@example.com".encode(), hashlib.sha256).hexdigest()[:16]
    assert email0 == "fb_" + expected and balance0 is None
    assert email1.startswith("u") and "@" in email1 and isinstance(balance1, float)
    assert "2 fallback value(s)" in result.stdout


FLAG_REFUSED = "column 'flag', row 2600: the key strategy cannot"
COLUMNAR_FLAG_REFUSED = "table 't': column 't.flag', row 2600: the key strategy cannot"


@pytest.mark.parametrize(
    "job, flag, value, code, strategy, message",
    [
        # Column by column, each in row order: flag's refusal comes first.
        ("sqlite", "BOOLEAN", True, True, "key", FLAG_REFUSED),
        ("postgres", "BOOLEAN", True, True, "key", FLAG_REFUSED),
        # A masked value the target's column cannot hold: the server refuses it.
        ("postgres", "VARCHAR(12)", "x", None, "hash", "chunk from row 2,000: value too long for"),
        ("columnar-sqlite", "BOOLEAN", True, True, "key", COLUMNAR_FLAG_REFUSED),
        ("columnar-postgres", "BOOLEAN", True, True, "key", COLUMNAR_FLAG_REFUSED),
        ("columnar-postgres", "VARCHAR(12)", "x", None, "hash", "chunk from row 2,000: value too long for"),
    ],
    indirect=["job"],
)
def test_refusal_stops_the_job_without_a_half_written_chunk(job, tmp_path, flag, value, code, strategy, message):
    """The row job keeps the chunks before the refused one; the columnar job writes no target."""
    # digits refuses a bool too, but in a later column (code) and an earlier row.
    job.make(
        f"id INTEGER, flag {flag}, code BOOLEAN",
        [(i, value if i == 2600 else None, code if i == 2100 else None) for i in range(3000)],
    )
    body = f'keep = ["id"]\n[columns.flag]\nstrategy = "{strategy}"\n[columns.code]\nstrategy = "digits"\n'
    result = job.run(write_policy(tmp_path / "p.toml", body))
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert message in result.stderr
    if job.columnar:
        assert not job.written()
    else:
        assert sorted(r[0] for r in job.read()) == list(range(2000))


def test_columnar_job_writes_the_row_jobs_sqlite_values_and_copies_exactly(sample):
    row, _ = mask_sample(sample, "masked_row.db", order="id")
    runs = (("masked_col.db", (), True), ("masked_col1.db", ("--serial", "--threads", "1"), False))
    for target, args, words in runs:  # without --words: Faker's lists, those the words file holds
        columnar, result = mask_sample(sample, target, *args, door="columnar", words=words, order="id")
        assert columnar == row, args
        assert f"customers  mask  {ROWS:>11,} rows" in result.stdout and "fallback value(s)" in result.stdout
        assert "database: 1 tables" in result.stdout
    columns, stored = "PRAGMA table_info(customers)", "SELECT * FROM customers ORDER BY id"
    with (
        closing(sqlite3.connect(sample / "customers.db")) as s,
        closing(sqlite3.connect(sample / "masked_row.db")) as r,
        closing(sqlite3.connect(sample / "masked_col.db")) as c,
    ):
        # The same values as stored, not only as read back; the source's schema, key included.
        assert r.execute(stored).fetchall() == c.execute(stored).fetchall()
        assert c.execute(columns).fetchall() == s.execute(columns).fetchall()
        assert [x[:3] for x in r.execute(columns)] == [x[:3] for x in c.execute(columns)]
    copied, _ = mask_sample(sample, "copied.db", "--copy-only", door="columnar")
    assert copied == dump(sample / "customers.db")


def test_columnar_job_writes_the_row_jobs_postgres_table(sample, pg):
    columnar_postgres_ready()
    pg_rows(pg["dst"], "DROP TABLE IF EXISTS masked_row; DROP SCHEMA IF EXISTS masked_columnar CASCADE")
    for door, target in (("row", "--target-table"), ("columnar", "--target-schema")):
        result = run(
            script_of(door, "postgres"),
            *("--source", pg["src"], "--target", pg["dst"], target, f"masked_{door}"),
            *("--words", sample / "words.json"),
        )
        assert result.returncode == 0, result.stderr
    tables = [pg_rows(pg["dst"], f"SELECT * FROM {t} ORDER BY id") for t in ("masked_row", "masked_columnar.customers")]
    assert tables[0] == tables[1] and len(tables[0]) == ROWS
    with mask_postgres.connect(pg["dst"], "") as d:
        types = mask_postgres.describe(d, "masked_columnar.customers")[1]
        assert mask_postgres.describe(d, "masked_row")[1] == types


@pytest.mark.parametrize(
    "job, kind, value, message",
    [
        ("columnar-sqlite", "BLOB", b"\x00", "the Arrow type 'z' cannot be masked"),
        ("columnar-postgres", "POINT", "(1,2)", "cannot read: t.v (point)"),
    ],
    indirect=["job"],
)
def test_columns_the_columnar_job_cannot_take_are_clear_errors_and_write_nothing(job, tmp_path, kind, value, message):
    job.make(f"id INTEGER, v {kind}", [(1, value)])
    result = job.run(write_policy(tmp_path / "p.toml", 'keep = ["id"]\n[columns.v]\nstrategy = "hash"\n'))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert message in result.stderr and not job.written()


def test_polars_example_masks_as_the_row_door():
    pl = pytest.importorskip("polars", reason="polars is not installed (scripts/requirements.txt)")
    import polars_mask
    import zorva_rs
    from zorva_job.policy import derive_subkey

    key = bytes.fromhex(KEY_A)
    frame = pl.DataFrame(
        {
            "id": list(range(300)),
            "email": [f"p{i}@example.com" for i in range(300)],
            "phone": [f"+1 555 {i:04d}" for i in range(300)],
            "salary": [1000.5 + 37 * i for i in range(300)],
        }
    )
    maskers = [
        zorva_rs.Masker(derive_subkey(key, n), *polars_mask.POLICY[n]) if n in polars_mask.POLICY else None
        for n in frame.columns
    ]
    rows, problems = zorva_rs.maskChunk(maskers, frame.rows())
    assert not problems and polars_mask.mask_frame(frame, key).rows() == rows


def test_scale_out_matches_a_single_process_byte_for_byte(tmp_path):
    for module in ("pyarrow", "dask.distributed"):
        pytest.importorskip(module, reason=f"{module} is not installed (scripts/requirements.txt)")
    import scale_out

    words_path = tmp_path / "words.json"
    words = sample_data.write_words(words_path)
    sources = scale_out.write_dataset(tmp_path / "src", 900, 3, words)
    key = bytes.fromhex(KEY_A)
    local = scale_out.run_local(sources, tmp_path / "local", key, POLICY, words_path)
    spread = scale_out.run_dask(sources, tmp_path / "dask", key, POLICY, words_path, workers=2)
    assert scale_out.same_bytes(local, spread)
    assert not scale_out.same_bytes(sources, local)
