"""The whole-database job on SQLite: the policy held against the schema (coverage, drift,
references), joins and schema kept, collisions named, keys taken safely, and a target
that is whole or absent however the job is stopped."""

from __future__ import annotations

import os
import signal
import sqlite3
import subprocess
import sys
import time
from contextlib import closing
from pathlib import Path

import pytest
from zorva_job.__main__ import main
from zorva_job.dbpolicy import DatabasePolicy
from zorva_job.plan import make_plan
from zorva_job.policy import PolicyError
from zorva_job.sqlite_schema import read_schema

KEY = "3c" * 32
SCHEMA = """
CREATE TABLE employees (id INTEGER PRIMARY KEY, name TEXT NOT NULL, boss INTEGER REFERENCES employees(id),
                        email TEXT UNIQUE);
CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT, rep INTEGER REFERENCES employees(id),
                        balance DECIMAL(10,2), code TEXT NOT NULL);
CREATE TABLE orders (id INTEGER PRIMARY KEY, customer INTEGER NOT NULL REFERENCES customers(id),
                     country TEXT REFERENCES countries(code), note TEXT);
CREATE INDEX orders_customer ON orders(customer);
CREATE TABLE lines (order_id INTEGER REFERENCES orders(id), n INTEGER, qty INTEGER,
                    PRIMARY KEY (order_id, n));
CREATE TABLE returns (order_id INTEGER, n INTEGER, reason TEXT,
                      FOREIGN KEY (order_id, n) REFERENCES lines(order_id, n));
CREATE TABLE countries (code TEXT PRIMARY KEY, name TEXT);
CREATE TABLE audit (id INTEGER PRIMARY KEY, what TEXT);
"""
POLICY = """
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
keep = ["note"]
[tables.orders.columns.id]
strategy = "key"
[tables.lines]
keep = ["n", "qty"]
[tables.returns]
keep = ["n", "reason"]
[tables.countries]
action = "copy"
[tables.audit]
action = "skip"
"""


def build(path: Path, customers: int = 300) -> Path:
    with closing(sqlite3.connect(path)) as conn:
        conn.executescript(SCHEMA)
        conn.executemany("INSERT INTO countries VALUES (?, ?)", [("DE", "Germany"), ("FR", "France")])
        conn.executemany(
            "INSERT INTO employees VALUES (?, ?, ?, ?)",
            [(i, f"emp{i}", None if i == 1 else i // 2, f"e{i}@corp.test") for i in range(1, 21)],
        )
        conn.executemany(
            "INSERT INTO customers VALUES (?, ?, ?, ?, ?)",
            [(i, f"Cust {i}", 1 + i % 20, f"{i * 3.25:.2f}", f"C{i:05d}") for i in range(1, customers + 1)],
        )
        orders = [(i, 1 + (i * 7) % customers, "DE" if i % 3 else "FR", "n") for i in range(1, 3 * customers + 1)]
        conn.executemany("INSERT INTO orders VALUES (?, ?, ?, ?)", orders)
        conn.executemany(
            "INSERT INTO lines VALUES (?, ?, ?)", [(o, n, n * 2) for o in range(1, len(orders) + 1) for n in (1, 2)]
        )
        conn.executemany("INSERT INTO returns VALUES (?, ?, 'late')", [(o, 2) for o in range(1, len(orders), 5)])
        conn.execute("INSERT INTO audit VALUES (1, 'secret')")
        conn.commit()
    return path


def tables(path: Path) -> dict[str, list[tuple[object, ...]]]:
    with closing(sqlite3.connect(path)) as conn:
        names = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        out = {}
        for n in names:
            quoted = '"' + n.replace('"', '""') + '"'
            try:
                out[n] = conn.execute(f"SELECT * FROM {quoted} ORDER BY rowid").fetchall()
            except sqlite3.OperationalError:  # WITHOUT ROWID: in the order of its key
                out[n] = conn.execute(f"SELECT * FROM {quoted}").fetchall()
        return out


def job(tmp_path: Path, *args: str, policy: str = POLICY) -> list[str]:
    (tmp_path / "p.toml").write_text(policy, encoding="utf-8")
    return ["sqlite", str(tmp_path / "src.db"), str(tmp_path / "dst.db"), "--policy", str(tmp_path / "p.toml"), *args]


@pytest.fixture
def db(tmp_path, monkeypatch):
    monkeypatch.setenv("ZORVA_MASTER_KEY", KEY)
    build(tmp_path / "src.db")
    return tmp_path


def test_joins_schema_and_clear_columns_survive_masking(db, capsys):
    assert main(job(db, "--no-progress", "--chunk-size", "200")) == 0
    src, dst = tables(db / "src.db"), tables(db / "dst.db")
    assert {n: len(r) for n, r in dst.items()} == {n: len(r) for n, r in src.items()} | {"audit": 0}
    assert dst["countries"] == src["countries"]
    # A composite reference (returns -> lines), a chain (returns -> lines -> orders -> customers),
    # a self-reference (employees' bosses) and a reference into a copied table (countries).
    joins = (
        "SELECT count(*) FROM returns r JOIN lines ON lines.order_id = r.order_id AND lines.n = r.n "
        "JOIN orders o ON o.id = lines.order_id JOIN customers c ON c.id = o.customer "
        "JOIN employees e ON e.id = c.rep JOIN employees b ON b.id = e.boss JOIN countries k ON k.code = o.country"
    )
    with closing(sqlite3.connect(db / "dst.db")) as d, closing(sqlite3.connect(db / "src.db")) as s:
        assert d.execute("PRAGMA foreign_key_check").fetchall() == []
        assert d.execute(joins).fetchone() == s.execute(joins).fetchone() != (0,)
        schema = {r[0]: r[1] for r in d.execute("SELECT name, sql FROM sqlite_master")}
    assert "NOT NULL" in schema["customers"] and "UNIQUE" in schema["employees"]
    assert 'PRIMARY KEY ("order_id", "n")' in schema["lines"] and "orders_customer" in schema
    assert '"balance" DECIMAL TEXT' in schema["customers"]
    # Masked columns share (nearly) no value with their source; kept ones all of them.
    for table, column, kept in (("customers", 1, False), ("customers", 4, True), ("employees", 3, False)):
        before, after = ({r[column] for r in rows[table]} for rows in (src, dst))
        assert before == after if kept else len(before & after) <= len(before) // 20
    out = capsys.readouterr().out
    assert "database: 7 tables" in out and "secret" not in out


@pytest.mark.parametrize(
    "change, message",
    [
        ("ALTER TABLE customers ADD COLUMN ssn TEXT", "column customers.ssn is not covered"),
        ("CREATE TABLE salaries (id INTEGER, amount REAL)", "table 'salaries' is not covered"),
    ],
)
def test_schema_drift_stops_the_job_before_anything_is_written(db, capsys, change, message):
    with closing(sqlite3.connect(db / "src.db")) as conn:
        conn.execute(change)
    assert main(job(db)) == 2
    assert message in capsys.readouterr().err
    assert not any(p.name.startswith("dst.db") for p in db.iterdir())


@pytest.mark.parametrize(
    "extra, message",
    [
        ('[tables.orders.columns.customer]\nstrategy = "hash"\n', "orders.customer is masked as hash"),
        ('[tables.orders.columns.customer]\nstrategy = "key"\ndomain = "other"\n', "(domain 'other')"),
        ("", None),  # the same masking as the key, said again: fine
    ],
)
def test_a_reference_masked_unlike_its_key_is_refused_naming_both(db, capsys, extra, message):
    extra = extra or '[tables.orders.columns.customer]\nstrategy = "key"\n'
    code = main(job(db, "--no-progress", policy=POLICY + extra))
    err = capsys.readouterr().err
    assert (code, message is None or (message in err and "customers.id" in err)) == (2 if message else 0, True)


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda p: p.replace('keep = ["note"]', 'keep = ["note", "customer"]'), "orders.customer is kept in clear"),
        (lambda p: p.replace('action = "copy"', 'action = "skip"'), "whose table is skipped"),
        (lambda p: p.replace('keep = ["n", "qty"]', 'action = "copy"'), "lines.order_id references orders.id"),
        (lambda p: p + '[tables.nope]\naction = "copy"\n', "policy table 'nope' is not in the source"),
        (
            lambda p: (
                p.replace('[tables.countries]\naction = "copy"', '[tables.countries]\nkeep = ["name"]')
                + '[tables.countries.columns.code]\nstrategy = "hash"\n'
            ),
            None,  # masking a referenced key masks its references too
        ),
    ],
)
def test_policies_that_would_break_a_join_are_refused(db, edit, message):
    policy = DatabasePolicy.parse(__import__("tomllib").loads(edit(POLICY)))
    schema = read_schema(db / "src.db")
    if message is None:
        plan = make_plan(policy, schema)
        country = plan.table("orders").columns[2]
        assert country.rule is not None and country.rule.strategy == "hash" and country.via == ("countries", "code")
        return
    with pytest.raises(PolicyError, match=message.replace("(", r"\(").replace(")", r"\)")):
        make_plan(policy, schema)


def test_check_reports_load_order_domains_references_and_types_and_writes_nothing(db, capsys):
    job(db)  # writes the policy
    assert main(["check", "sqlite", str(db / "src.db"), "--policy", str(db / "p.toml")]) == 0
    out = " ".join(capsys.readouterr().out.split(" "))
    out = "\n".join(" ".join(line.split()) for line in out.splitlines())
    order = [line.split(".", 1)[1].split(":")[0].strip() for line in out.splitlines() if line[:1].isdigit()]
    for before, after in (("employees", "customers"), ("customers", "orders"), ("orders", "lines")):
        assert order.index(before) < order.index(after)
    assert "boss INTEGER: key, key domain 'employee id' (follows employees.id)" in out
    # returns.order_id -> lines.order_id -> orders.id: the key at the end of the chain.
    assert out.count("order_id INTEGER: key, key domain 'id' (follows orders.id)") == 2
    assert "balance DECIMAL TEXT: number(decimals=2, variance='0.1'), key domain 'balance'" in out
    assert "country TEXT: in clear (follows countries.code)" in out and "audit: skip, 1 rows" in out
    assert sorted(p.name for p in db.iterdir()) == ["p.toml", "src.db"]


def test_a_unique_column_whose_masked_values_collide_is_named_not_a_traceback(db, capsys):
    policy = POLICY.replace('strategy = "email"', 'strategy = "hash"\noptions = { length = 1 }')
    assert main(job(db, "--no-progress", policy=policy)) == 1
    err = capsys.readouterr().err
    assert "employees.email" in err and "collide" in err and "Traceback" not in err and "@corp.test" not in err
    assert not (db / "dst.db").exists()


@pytest.mark.parametrize(
    "setup, args, message",
    [
        (lambda d, env: env.pop("ZORVA_MASTER_KEY"), [], "no master key"),
        (lambda d, env: None, ["--key", "7f" * 32], "--key is refused"),
        (lambda d, env: None, ["--key=" + "7f" * 32], "--key is refused"),
        (lambda d, env: env.update(ZORVA_MASTER_KEY="00" * 8), [], "at least 16"),
        (lambda d, env: env.update(ZORVA_MASTER_KEY="zz" * 32), [], "is not hex"),
        (lambda d, env: (d / "k").write_text("7f" * 32) and os.chmod(d / "k", 0o644), ["--key-file", "k"], "chmod 600"),
    ],
)
def test_keys_only_from_the_environment_or_a_private_file_and_never_echoed(db, setup, args, message):
    env = dict(os.environ)
    setup(db, env)
    argv = [sys.executable, "-m", "zorva_job", *job(db, "--no-progress"), *args]
    result = subprocess.run(argv, capture_output=True, text=True, env=env, cwd=db, timeout=120)
    assert result.returncode == 2 and message in result.stderr
    for secret in ("7f" * 32, KEY, "zz" * 32):
        assert secret not in result.stderr + result.stdout
    assert not (db / "dst.db").exists()


def test_a_private_key_file_gives_the_environment_keys_values(db, monkeypatch):
    (db / "k").write_text(KEY + "\n")
    os.chmod(db / "k", 0o600)
    assert main(job(db, "--no-progress")) == 0
    by_env = tables(db / "dst.db")
    monkeypatch.delenv("ZORVA_MASTER_KEY")
    assert main(job(db, "--no-progress", "--replace", "--key-file", str(db / "k"))) == 0
    assert tables(db / "dst.db") == by_env


def test_existing_targets_need_replace_and_the_source_is_never_written(db, capsys):
    before = (db / "src.db").read_bytes()
    assert main(job(db, "--no-progress")) == 0
    first, content = (db / "dst.db").read_bytes(), tables(db / "dst.db")
    assert main(job(db, "--no-progress")) == 2 and "already exists" in capsys.readouterr().err
    assert (db / "dst.db").read_bytes() == first and (db / "src.db").read_bytes() == before
    (db / "dst.db").write_bytes(b"an older target")
    assert main(job(db, "--no-progress", "--replace")) == 0 and tables(db / "dst.db") == content


def test_a_failure_mid_job_leaves_no_target_and_resume_finishes_it_identically(db, monkeypatch):
    from zorva_job import sqlite

    assert main(job(db, "--no-progress", "--chunk-size", "100")) == 0
    whole = tables(db / "dst.db")
    (db / "dst.db").unlink()
    write = sqlite.SqliteTarget.write
    calls = [0]

    def failing(self, *a, **k):
        calls[0] += 1
        if calls[0] == 9:
            raise OSError("disk full")
        return write(self, *a, **k)

    monkeypatch.setattr(sqlite.SqliteTarget, "write", failing)
    monkeypatch.setenv("ZORVA_JOB_DEBUG", "1")
    with pytest.raises(OSError):
        main(job(db, "--no-progress", "--chunk-size", "100", "--tables-at-once", "1"))
    assert not (db / "dst.db").exists() and (db / "dst.db.zorva-parts").is_dir()
    monkeypatch.setattr(sqlite.SqliteTarget, "write", write)
    assert main(job(db, "--no-progress", "--chunk-size", "100", "--resume")) == 0
    assert tables(db / "dst.db") == whole
    assert not any(p.name.startswith("dst.db.") for p in db.iterdir())


def test_sigkill_or_ctrl_c_at_any_moment_leaves_no_target_or_the_whole_one_and_resume_completes_it(db):
    """Kills at 24 moments spread over a run (start-up, tables, the final checks and the
    rename), each followed by a check of the target; then --resume, killed again, and so on.
    Every sixth is a Ctrl-C instead."""
    build(db / "big.db", customers=20_000)  # a second of work beside the start-up
    argv = [sys.executable, "-m", "zorva_job", "sqlite", str(db / "big.db"), str(db / "dst.db")]
    argv += ["--policy", str(db / "p.toml"), "--no-progress", "--chunk-size", "500"]
    job(db)  # writes the policy
    started = time.perf_counter()
    subprocess.run(argv, check=True, capture_output=True, timeout=300)
    span = time.perf_counter() - started
    whole = tables(db / "dst.db")
    (db / "dst.db").unlink()
    kills, partial = 24, 0
    for i in range(kills):
        process = subprocess.Popen(
            [*argv, *(["--resume"] if i % 4 else [])], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
        )
        time.sleep(span * ((i * 7) % kills + 0.5) / kills)
        # Every sixth stop is a Ctrl-C, which the job answers by stopping its tables cleanly.
        process.send_signal(signal.SIGINT if i % 6 == 5 else signal.SIGKILL)
        _, err = process.communicate()
        if process.returncode == 130:
            assert "--resume" in err and "Traceback" not in err
        partial += (db / "dst.db.zorva-parts").exists()
        if (db / "dst.db").exists():
            assert tables(db / "dst.db") == whole, f"kill {i}"
            (db / "dst.db").unlink()
    assert partial >= kills // 4  # many of the kills landed mid-job
    result = subprocess.run([*argv, "--resume"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert tables(db / "dst.db") == whole


@pytest.mark.parametrize(
    "dangling",
    [
        "INSERT INTO orders VALUES (100000, 99999, 'DE', 'n')",  # a key that is not there
        "INSERT INTO returns VALUES (1, 9, 'late')",  # half a composite key
        "UPDATE employees SET boss = 77 WHERE id = 3",  # a self-reference
    ],
)
def test_a_reference_that_does_not_resolve_stops_the_job_and_publishes_nothing(db, capsys, dangling):
    with closing(sqlite3.connect(db / "src.db")) as conn:
        conn.execute(dangling)
        conn.commit()
    assert main(job(db, "--no-progress")) == 1
    assert "that do not resolve in the target: 1 row(s)" in capsys.readouterr().err
    assert not (db / "dst.db").exists()


def test_odd_names_tables_without_rowid_autoincrement_views_and_triggers_come_along(tmp_path, monkeypatch):
    monkeypatch.setenv("ZORVA_MASTER_KEY", KEY)
    with closing(sqlite3.connect(tmp_path / "src.db")) as conn:
        conn.executescript("""
            CREATE TABLE "odd ""name"" t" (id INTEGER PRIMARY KEY AUTOINCREMENT, "we'ird" TEXT UNIQUE, v TEXT);
            CREATE TABLE wr (k TEXT PRIMARY KEY, v INT) WITHOUT ROWID;
            CREATE TABLE mixed (id INT, v);
            CREATE VIEW vw AS SELECT id, v FROM "odd ""name"" t";
            CREATE TRIGGER tr AFTER INSERT ON wr BEGIN INSERT INTO mixed VALUES (new.v, 'trig'); END;
        """)
        for i in range(1, 51):
            conn.execute("""INSERT INTO "odd ""name"" t" ("we'ird", v) VALUES (?, ?)""", (f"w{i}", f"v{i}"))
            conn.execute("INSERT INTO wr VALUES (?, ?)", (f"k{i}", i))
        conn.execute("INSERT INTO mixed VALUES (1, 'text'), (2, 3.5), (3, x'00ff')")
        conn.commit()
    policy = """
        [tables.'odd "name" t']
        keep = ["v"]
        columns.id.strategy = "key"
        columns."we'ird".strategy = "hash"
        [tables.wr]
        keep = ["v"]
        columns.k.strategy = "key"
        [tables.mixed]
        action = "copy"
    """
    (tmp_path / "p.toml").write_text(policy, encoding="utf-8")
    argv = ["sqlite", str(tmp_path / "src.db"), str(tmp_path / "dst.db"), "--policy", str(tmp_path / "p.toml")]
    assert main([*argv, "--no-progress"]) == 0
    src, dst = tables(tmp_path / "src.db"), tables(tmp_path / "dst.db")
    assert dst["mixed"] == src["mixed"]  # every storage class as it was
    with closing(sqlite3.connect(tmp_path / "dst.db")) as conn:
        schema = {name: sql for name, sql in conn.execute("SELECT name, sql FROM sqlite_master")}
        ids = [r[0] for r in conn.execute('SELECT id FROM "odd ""name"" t"')]
        assert conn.execute("SELECT count(*) FROM vw").fetchone() == (50,)
        # The sequence is past the masked keys, so the next row gets a key of its own.
        assert conn.execute("SELECT seq FROM sqlite_sequence").fetchone() == (max(ids),)
        conn.execute("INSERT INTO wr VALUES ('new', 7)")  # the trigger fires in the target
        assert conn.execute("SELECT v FROM mixed WHERE id = 7").fetchone() == ("trig",)
    assert "AUTOINCREMENT" in schema['odd "name" t'] and "WITHOUT ROWID" in schema["wr"] and "tr" in schema
    assert sorted(ids) != list(range(1, 51)) and len(set(ids)) == 50
