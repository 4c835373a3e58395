"""The related sample database: its sizes, its determinism, references that all resolve,
values of the shapes the policy masks, the example policy covering it, and the PostgreSQL
build (skipped without ZORVA_PG_DSN)."""

from __future__ import annotations

import os
import re
import sqlite3
import subprocess
import sys
import tomllib
from contextlib import closing
from pathlib import Path

import pytest
import sample_data
import sample_db

HERE = Path(__file__).resolve().parent
PG_DSN = os.environ.get("ZORVA_PG_DSN")


def dump(path: Path) -> dict[str, list[tuple]]:
    with closing(sqlite3.connect(path)) as conn:
        return {t: conn.execute(f'SELECT * FROM "{t}" ORDER BY 1, 2').fetchall() for t in sample_db.TABLES}


@pytest.fixture(scope="module")
def small(tmp_path_factory) -> Path:
    """1,500 customers: a few staff below the managers, and an odd number of invoices."""
    path = tmp_path_factory.mktemp("sample") / "sample.db"
    sample_db.create_sqlite(path, rows=1500)
    return path


@pytest.mark.parametrize("rows", [0, 7, 1500])
def test_tables_have_the_counted_rows(tmp_path, rows):
    counts = sample_db.create_sqlite(tmp_path / "s.db", rows=rows)
    assert counts == sample_db.table_counts(rows)
    assert list(counts) == sample_db.TABLES
    assert {t: len(r) for t, r in dump(tmp_path / "s.db").items()} == counts


def test_one_seed_gives_one_database(tmp_path, small):
    again, other = tmp_path / "again.db", tmp_path / "other.db"
    sample_db.create_sqlite(again, rows=1500)
    sample_db.create_sqlite(other, rows=1500, seed=8)
    assert dump(again) == dump(small)
    changed = {t for t, rows in dump(other).items() if rows != dump(small)[t]}
    assert changed == set(sample_db.TABLES) - {"countries"}


def test_a_rebuild_replaces_the_tables(tmp_path):
    path = tmp_path / "s.db"
    sample_db.create_sqlite(path, rows=50)
    sample_db.create_sqlite(path, rows=20)
    assert {t: len(r) for t, r in dump(path).items()} == sample_db.table_counts(20)


def test_every_reference_resolves(small):
    with closing(sqlite3.connect(small)) as conn:
        assert conn.execute("PRAGMA foreign_key_check").fetchall() == []
        assert conn.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
        # One chief; everyone else reports to someone hired into the tree before them.
        bosses = conn.execute("SELECT id, reports_to FROM employees").fetchall()
        assert [i for i, boss in bosses if boss is None] == [1]
        assert all(boss < i for i, boss in bosses if boss is not None)
        # Staff exist beyond the managers, and they are the ones with customers.
        assert conn.execute("SELECT min(support_rep_id) FROM customers").fetchone() == (sample_db.MANAGERS + 1,)
        assert conn.execute("SELECT count(*) FROM customers WHERE support_rep_id IS NULL").fetchone()[0] > 0
        declared = {
            (t, row[3], row[2], row[4])
            for t in sample_db.TABLES
            for row in conn.execute(f"PRAGMA foreign_key_list('{t}')").fetchall()
        }
    assert declared == {
        ("employees", "reports_to", "employees", "id"),
        ("customers", "support_rep_id", "employees", "id"),
        ("invoices", "customer_id", "customers", "id"),
        ("invoices", "billing_country", "countries", "code"),
        ("invoice_lines", "invoice_id", "invoices", "id"),
        ("payments", "invoice_id", "invoices", "id"),
    }


def test_unique_columns_load_when_the_words_repeat(tmp_path):
    """One first and one last name: usernames and staff e-mails collide at once."""
    words = sample_data.word_lists()
    words.update(firstNames=["Ann"], lastNames=["Lee"])
    sample_db.create_sqlite(tmp_path / "s.db", rows=3000, words=words)
    with closing(sqlite3.connect(tmp_path / "s.db")) as conn:
        for table, column in (("customers", "username"), ("employees", "email")):
            total, distinct = conn.execute(f"SELECT count(*), count(DISTINCT {column}) FROM {table}").fetchone()
            assert total == distinct


def luhn_ok(number: str) -> bool:
    digits = [int(d) for d in reversed(number)]
    return sum(d if i % 2 == 0 else sum(divmod(2 * d, 10)) for i, d in enumerate(digits)) % 10 == 0


@pytest.mark.parametrize(
    "query, pattern",
    [
        ("SELECT total FROM invoices", r"\d+\.\d\d"),
        ("SELECT unit_price FROM invoice_lines", r"\d+\.\d\d"),
        ("SELECT amount FROM payments", r"\d+\.\d\d"),
        ("SELECT salary FROM customers WHERE salary IS NOT NULL", r"\d+\.\d\d"),
        ("SELECT invoice_date FROM invoices", r"20(19|2[0-5])-\d\d-\d\d"),
        ("SELECT paid_at FROM payments", r"20\d\d-\d\d-\d\d \d\d:\d\d:\d\d"),
        ("SELECT product_code FROM invoice_lines", r"SKU-\d{5}"),
        ("SELECT reference FROM payments", r"PAY-20\d\d-[A-Z2-9]{10}"),
        ("SELECT iban FROM payments WHERE iban IS NOT NULL", r"DE\d{20}"),
        ("SELECT card_number FROM payments WHERE card_number IS NOT NULL", r"4\d{3}( \d{4}){3}"),
        ("SELECT code FROM countries", r"[A-Z]{2}"),
    ],
)
def test_values_have_their_shapes(small, query, pattern):
    with closing(sqlite3.connect(small)) as conn:
        values = [v for (v,) in conn.execute(query)]
    assert values
    assert [v for v in values if not (isinstance(v, str) and re.fullmatch(pattern, v))] == []


def test_ibans_and_cards_carry_valid_check_digits(small):
    with closing(sqlite3.connect(small)) as conn:
        ibans = [v for (v,) in conn.execute("SELECT iban FROM payments WHERE iban IS NOT NULL")]
        cards = [v for (v,) in conn.execute("SELECT card_number FROM payments WHERE card_number IS NOT NULL")]
    # ISO 13616: the country and check digits moved to the end, letters as 10..35, leave 1 mod 97.
    assert all(int(iban[4:] + "1314" + iban[2:4]) % 97 == 1 for iban in ibans)
    assert all(luhn_ok(card.replace(" ", "")) for card in cards)
    assert ibans and cards


def test_the_example_policy_covers_the_database(small):
    policy = HERE / "database.toml"
    strategies = {
        column["strategy"]
        for table in tomllib.loads(policy.read_text(encoding="utf-8"))["tables"].values()
        for column in table.get("columns", {}).values()
    }
    assert len(strategies) == 12
    command = [sys.executable, "-m", "zorva_job", "check", "sqlite", "--policy", str(policy), str(small)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def pg_conn():
    if not PG_DSN:
        pytest.skip("no PostgreSQL server: set ZORVA_PG_DSN (scripts/test.sh starts one)")
    import psycopg
    from psycopg.conninfo import make_conninfo

    with psycopg.connect(PG_DSN, autocommit=True) as admin:
        admin.execute("DROP DATABASE IF EXISTS zorva_sample_db WITH (FORCE)")
        admin.execute("CREATE DATABASE zorva_sample_db")
    with psycopg.connect(make_conninfo(PG_DSN, dbname="zorva_sample_db")) as conn:
        yield conn


def test_postgres_build_loads_with_its_constraints(pg_conn):
    rows = 1200
    sample_db.create_postgres(pg_conn, rows=rows, schema="public")  # the drop-and-recreate path below
    counts = sample_db.create_postgres(pg_conn, rows=rows, schema="sample")
    sample_db.create_postgres(pg_conn, rows=rows, schema="sample")
    run = pg_conn.execute
    for table, count in counts.items():
        assert run(f"SELECT count(*) FROM sample.{table}").fetchone() == (count,)
    kinds = dict(
        run(
            "SELECT contype, count(*) FROM pg_constraint WHERE connamespace = 'sample'::regnamespace "
            "AND convalidated AND contype IN ('c', 'f', 'p', 'u') GROUP BY contype"
        ).fetchall()
    )
    assert kinds == {"f": 6, "p": 7, "u": 2, "c": 1}
    # The same values as in SQLite: numeric keeps the digits, dates parse as loaded.
    assert (
        str(run("SELECT total FROM sample.invoices ORDER BY id LIMIT 1").fetchone()[0])
        == next(sample_db.table_rows("invoices", rows))[-1]
    )
    # The keys continue after the loaded ones, for serial and identity columns alike.
    new = run(
        "INSERT INTO sample.employees (first_name, last_name, email, hired) "
        "VALUES ('A', 'B', 'a@b.test', '2020-01-01') RETURNING id"
    ).fetchone()
    assert new == (counts["employees"] + 1,)
    new = run("INSERT INTO sample.customers (email) VALUES ('c@d.test') RETURNING id").fetchone()
    assert new == (counts["customers"] + 1,)
    pg_conn.rollback()
