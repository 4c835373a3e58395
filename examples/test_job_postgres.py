"""The whole-database job on PostgreSQL: a related schema masked into another schema with
its keys, references, checks, indexes and sequences; collisions and refusals named
without a source value; a target schema published whole or not at all, taken up
again by --resume; an existing target replaced only when asked."""

from __future__ import annotations

import os
import uuid

import psycopg
import pytest
from zorva_job.__main__ import main

DSN = os.environ.get("ZORVA_PG_DSN", "")
pytestmark = pytest.mark.skipif(not DSN, reason="no PostgreSQL server: set ZORVA_PG_DSN (scripts/test.sh starts one)")
KEY = "5d" * 32
SCHEMA = """
CREATE TABLE employees (id bigserial PRIMARY KEY, name varchar(60) NOT NULL, boss bigint REFERENCES employees(id),
                        team int NOT NULL DEFAULT 1, email text, UNIQUE (team, email));
CREATE UNIQUE INDEX employees_name ON employees (name);
CREATE TABLE customers (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, name text,
                        rep bigint REFERENCES employees(id), balance numeric(12,2) CHECK (balance >= 0),
                        code varchar(8) NOT NULL DEFAULT 'none');
CREATE TABLE orders (region int, num bigint, customer bigint NOT NULL REFERENCES customers(id), note text,
                     PRIMARY KEY (region, num));
CREATE INDEX orders_customer ON orders (customer) WHERE note <> 'x';
CREATE TABLE lines (region int, num bigint, n int, qty real, PRIMARY KEY (region, num, n),
                    FOREIGN KEY (region, num) REFERENCES orders (region, num) ON DELETE CASCADE);
CREATE TABLE countries (code text PRIMARY KEY, name text);
CREATE TABLE audit (id int, what text);
CREATE TABLE "user" (id int PRIMARY KEY, note text);
CREATE INDEX user_note ON "user" (note);
INSERT INTO employees (name, boss, email)
  SELECT 'emp' || i, CASE WHEN i > 1 THEN i / 2 END, 'e' || i || '@corp.test' FROM generate_series(1, 20) i;
INSERT INTO customers (name, rep, balance, code)
  SELECT 'Cust ' || i, 1 + i % 20, i * 3.25, 'C' || i FROM generate_series(1, 300) i;
INSERT INTO orders SELECT i % 3, i, 1 + (i * 7) % 300, 'n' FROM generate_series(1, 900) i;
INSERT INTO lines SELECT region, num, n, n * 1.5 FROM orders, generate_series(1, 2) n;
INSERT INTO countries VALUES ('DE', 'Germany'), ('FR', 'France');
INSERT INTO audit VALUES (1, 'secret');
INSERT INTO "user" VALUES (1, 'a'), (2, 'b');
"""
POLICY = """
[tables.employees]
keep = ["team"]
[tables.employees.columns.id]
strategy = "key"
domain = "employee id"
[tables.employees.columns.name]
strategy = "hash"
[tables.employees.columns.email]
strategy = "email"
[tables.customers]
keep = ["code"]
[tables.customers.columns.id]
strategy = "key"
domain = "customer id"
[tables.customers.columns.name]
strategy = "fakeName"
[tables.customers.columns.balance]
strategy = "number"
options = { variance = "0.1", decimals = 2 }
[tables.orders]
keep = ["note", "region"]
[tables.orders.columns.num]
strategy = "key"
[tables.lines]
keep = ["n", "qty"]
[tables.countries]
action = "copy"
[tables.audit]
action = "skip"
[tables.user]
action = "copy"
"""
JOINS = (
    "SELECT count(*) FROM {s}.lines l JOIN {s}.orders o USING (region, num) JOIN {s}.customers c ON c.id = o.customer "
    "JOIN {s}.employees e ON e.id = c.rep"
)


def sql(query: str) -> list[tuple[object, ...]]:
    with psycopg.connect(DSN, autocommit=True) as conn:
        cursor = conn.execute(query)
        return cursor.fetchall() if cursor.description else []


def schemas(prefix: str) -> set[str]:
    return {str(r[0]) for r in sql(f"SELECT nspname FROM pg_namespace WHERE nspname LIKE '{prefix}%'")}


def dump(schema: str) -> dict[str, list[tuple[object, ...]]]:
    names = [r[0] for r in sql(f"SELECT tablename FROM pg_tables WHERE schemaname = '{schema}' ORDER BY 1")]
    return {n: sql(f'SELECT * FROM {schema}."{n}" ORDER BY 1, 2') for n in names}


@pytest.fixture
def pg(tmp_path, monkeypatch):
    """A source schema of its own (and its targets' names), dropped afterwards."""
    monkeypatch.setenv("ZORVA_MASTER_KEY", KEY)
    src = f"zt{uuid.uuid4().hex[:10]}"
    sql(f"CREATE SCHEMA {src}; SET search_path = {src};" + SCHEMA)
    (tmp_path / "p.toml").write_text(POLICY, encoding="utf-8")

    def job(target: str, *args: str, policy: str = POLICY) -> list[str]:
        (tmp_path / "p.toml").write_text(policy, encoding="utf-8")
        return ["postgres", "--source", DSN, "--source-schema", src, "--target-schema", target, "--no-progress",
                "--policy", str(tmp_path / "p.toml"), *args]  # fmt: skip

    yield src, job
    for s in schemas(src):
        sql(f"DROP SCHEMA {s} CASCADE")


def test_a_related_schema_is_masked_whole_with_its_keys_references_and_sequences(pg, capsys):
    src, job = pg
    dst = src + "_m"
    assert main(job(dst, "--chunk-size", "200")) == 0
    assert schemas(src) == {src, dst}  # no staging schema left
    constraints = "SELECT conname, contype, convalidated FROM pg_constraint WHERE connamespace = '{}'::regnamespace"
    assert sorted(sql(constraints.format(dst))) == sorted(sql(constraints.format(src)))
    assert all(r[2] for r in sql(constraints.format(dst))) and len(sql(constraints.format(dst))) == 12
    index = "SELECT indexname, indexdef FROM pg_indexes WHERE schemaname = '{}' ORDER BY 1"
    assert sql(index.format(dst)) == [(n, d.replace(src, dst)) for n, d in sql(index.format(src))]
    columns = (
        "SELECT c.relname, a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull, a.attidentity "
        "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid WHERE a.attnum > 0 AND c.relkind = 'r' "
        "AND c.relnamespace = '{}'::regnamespace ORDER BY 1, 2"
    )
    assert sql(columns.format(dst)) == sql(columns.format(src))
    assert sql(JOINS.format(s=dst)) == sql(JOINS.format(s=src)) == [(1800,)]
    before, after = dump(src), dump(dst)
    assert {n: len(r) for n, r in after.items()} == {n: len(r) for n, r in before.items()} | {"audit": 0}
    assert after["countries"] == before["countries"] and after["user"] == before["user"]
    for table, column, kept in (("customers", 4, True), ("customers", 1, False), ("employees", 4, False)):
        old, new = ({r[column] for r in rows[table]} for rows in (before, after))
        assert old == new if kept else len(old & new) <= len(old) // 20
    # Every sequence hands out a key past the masked ones; the serial column still takes its default.
    for table in ("employees", "customers"):
        top = sql(f"SELECT max(id) FROM {dst}.{table}")[0][0]
        assert sql(f"SELECT nextval(pg_get_serial_sequence('{dst}.{table}', 'id'))")[0][0] > top
    sql(f"INSERT INTO {dst}.employees (name) VALUES ('new')")
    out = capsys.readouterr().out
    assert "database: 7 tables" in out and "secret" not in out and " 0.0 MB/s" not in out


@pytest.mark.parametrize(
    "edit, named",
    [
        # A unique index, then a unique key of a clear and a masked column (whose clear values are not shown).
        (lambda p: p.replace('strategy = "hash"', 'strategy = "hash"\noptions = { length = 1 }', 1), "employees.name"),
        (
            lambda p: p.replace('strategy = "email"', 'strategy = "hash"\noptions = { length = 1 }'),
            "employees.team+email",
        ),
        (lambda p: p.replace('strategy = "hash"', 'strategy = "hash"\noptions = { length = 64 }', 1), "varying(60)"),
        (lambda p: p.replace('variance = "0.1"', 'variance = "3"'), "customers_balance_check"),
    ],
)
def test_refusals_name_the_table_and_column_never_a_source_value_and_publish_nothing(pg, capsys, edit, named):
    src, job = pg
    assert main(job(src + "_m", policy=edit(POLICY))) == 1
    err = capsys.readouterr().err
    assert named in err and "Traceback" not in err, err
    for source_value in ("@corp.test", "emp1", "Cust ", "COPY", "Key ("):
        assert source_value not in err
    if "+" in named:
        assert "(…, '" in err  # the clear column's value held back
    assert src + "_m" not in schemas(src)


def test_a_failed_job_leaves_no_target_and_resume_gives_the_uninterrupted_target(pg, monkeypatch, capsys):
    from zorva_job import postgres

    src, job = pg
    assert main(job(src + "_a", "--chunk-size", "100")) == 0
    write = postgres.PostgresTarget.write
    calls = [0]

    def failing(self, *a, **k):
        calls[0] += 1
        if calls[0] == 25:  # after employees' one chunk and lines' 18, in orders' 6th
            raise OSError("disk full")
        return write(self, *a, **k)

    monkeypatch.setattr(postgres.PostgresTarget, "write", failing)
    monkeypatch.setenv("ZORVA_JOB_DEBUG", "1")
    with pytest.raises(OSError):
        main(job(src + "_b", "--chunk-size", "100", "--tables-at-once", "1"))
    assert schemas(src) == {src, src + "_a", src + "_b_zorva_partial"}
    monkeypatch.setattr(postgres.PostgresTarget, "write", write)
    capsys.readouterr()
    assert main(job(src + "_b", "--chunk-size", "100", "--resume")) == 0
    done = [line.split()[0] for line in capsys.readouterr().out.splitlines() if "done by the earlier run" in line]
    assert {"lines", "employees"} <= set(done) and "orders" not in done
    assert dump(src + "_b") == dump(src + "_a")
    assert schemas(src) == {src, src + "_a", src + "_b"}


def test_a_staging_schema_of_no_job_is_built_anew_on_resume(pg):
    src, job = pg
    sql(f"CREATE SCHEMA {src}_m_zorva_partial; CREATE TABLE {src}_m_zorva_partial.customers (id int)")
    assert main(job(src + "_m", "--resume")) == 0
    assert sql(JOINS.format(s=src + "_m")) == [(1800,)]


@pytest.mark.parametrize(
    "target, args, code, message",
    [
        ("_m", [], 2, "already exists (--replace"),
        ("_m", ["--replace"], 0, None),
        ("", ["--replace"], 2, "is the source schema"),
    ],
)
def test_an_existing_target_is_replaced_only_when_asked_and_never_the_source(pg, capsys, target, args, code, message):
    src, job = pg
    before = dump(src)
    if target:
        sql(f"CREATE SCHEMA {src}{target}; CREATE TABLE {src}{target}.marker (id int)")
    assert main(job(src + target, *args)) == code
    assert message is None or message in capsys.readouterr().err
    assert schemas(src) == {src, src + target} and dump(src) == before
    if target:
        assert (sql(f"SELECT to_regclass('{src}{target}.marker')") != [(None,)]) == (code != 0)


def test_a_column_the_job_cannot_read_is_named_before_anything_is_written(pg, capsys):
    src, job = pg
    sql(f"ALTER TABLE {src}.customers ADD COLUMN doc jsonb, ADD COLUMN tags int[]")
    assert main(job(src + "_m", policy=POLICY.replace('keep = ["code"]', 'keep = ["code", "doc", "tags"]'))) == 2
    assert "customers.doc (jsonb), customers.tags (integer[])" in capsys.readouterr().err
    assert schemas(src) == {src}


@pytest.mark.parametrize(
    "change, message",
    [
        ("ALTER TABLE {s}.customers ADD COLUMN ssn text", "column customers.ssn is not covered"),
        ("CREATE TABLE {s}.salaries (id int, amount numeric)", "table 'salaries' is not covered"),
    ],
)
def test_schema_drift_stops_the_job_before_anything_is_written(pg, capsys, change, message):
    src, job = pg
    sql(change.format(s=src))
    assert main(job(src + "_m")) == 2
    assert message in capsys.readouterr().err and schemas(src) == {src}


def test_sigkill_at_any_moment_leaves_no_target_schema_or_the_whole_one(pg):
    """Kills at 20 moments spread over a run, each followed by a check of the target
    schema; the resumed runs, killed in turn, end in the uninterrupted run's target."""
    import signal
    import subprocess
    import sys
    import time

    src, job = pg
    sql(f"INSERT INTO {src}.lines SELECT region, num, n, n FROM {src}.orders, generate_series(3, 12) n")
    argv = [sys.executable, "-m", "zorva_job", *job(src + "_m", "--chunk-size", "300")]
    started = time.perf_counter()
    subprocess.run(argv, check=True, capture_output=True, timeout=300)
    span = time.perf_counter() - started
    whole = dump(src + "_m")
    sql(f"DROP SCHEMA {src}_m CASCADE")
    kills, partial = 20, 0
    for i in range(kills):
        process = subprocess.Popen(
            [*argv, *(["--resume"] if i % 4 else [])], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        time.sleep(span * ((i * 7) % kills + 0.5) / kills)
        process.send_signal(signal.SIGKILL)
        process.wait()
        partial += f"{src}_m_zorva_partial" in schemas(src)
        if f"{src}_m" in schemas(src):
            assert dump(src + "_m") == whole, f"kill {i}"
            sql(f"DROP SCHEMA {src}_m CASCADE")
    assert partial >= kills // 4  # many of the kills landed mid-job
    result = subprocess.run([*argv, "--resume"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert dump(src + "_m") == whole
