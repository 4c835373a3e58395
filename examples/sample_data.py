"""Sample customers table and the word lists the fake strategies draw from.

The word lists come from the Faker package's en_US providers (zorva_job.words). The rows are
composed from the same lists with a seeded random generator rather than by
calling Faker per row: 200,000 rows take a second instead of a minute, and the
same seed always gives the same database.

    python3 examples/sample_data.py customers.db --rows 200000 --words words.json
"""

from __future__ import annotations

import argparse
import json
import random
import sqlite3
from decimal import Decimal
from pathlib import Path

TABLE = "customers"

# Declared types. "DECIMAL TEXT" has TEXT affinity, so sqlite keeps every
# digit of a salary; its first word lets sqlite3 hand the value back as a
# Decimal (see mask_sqlite.connect).
COLUMNS = [
    ("id", "INTEGER PRIMARY KEY"),
    ("first_name", "TEXT"),
    ("last_name", "TEXT"),
    ("full_name", "TEXT"),
    ("email", "TEXT"),
    ("phone", "TEXT"),
    ("city", "TEXT"),
    ("street_address", "TEXT"),
    ("company", "TEXT"),
    ("account_code", "TEXT"),
    ("username", "TEXT"),
    ("salary", "DECIMAL TEXT"),
    ("balance", "REAL"),
    ("birth_year", "INTEGER"),
    ("segment", "TEXT"),
]

# The same columns in PostgreSQL. company is bounded like its masker
# (maxLength 40 in policy.toml), as a real schema would be.
PG_TYPES = {
    "INTEGER PRIMARY KEY": "integer PRIMARY KEY",
    "INTEGER": "integer",
    "TEXT": "text",
    "DECIMAL TEXT": "numeric(12,2)",
    "REAL": "double precision",
}
PG_COLUMNS = [(name, "varchar(40)" if name == "company" else PG_TYPES[decl]) for name, decl in COLUMNS]

ADDRESS_TEMPLATE = "{number} {street} {kind}"

# A few customers whose names are not ASCII: their e-mail addresses are
# declined by the engine and finished by the Python fallback rule.
ACCENTED_FIRST_NAMES = ["José", "Zoë", "Søren", "Chloé", "Łukasz", "Renée"]
SEGMENTS = ["retail", "business", "premium"]


def word_lists() -> dict[str, object]:
    """The fake strategies' options, keyed as the engine reads them: Faker's en_US lists."""
    from zorva_job.words import faker_words

    return faker_words("en_US")


def write_words(path: str | Path) -> dict:
    words = word_lists()
    Path(path).write_text(json.dumps(words, ensure_ascii=False, indent=0), encoding="utf-8")
    return words


def customer_rows(count: int, seed: int = 7, words: dict | None = None):
    """Yields `count` customer rows as tuples in the order of COLUMNS."""
    from faker.providers.internet import Provider as Internet

    words = words or word_lists()
    rng = random.Random(seed)
    first, last = words["firstNames"], words["lastNames"]
    cities, streets, kinds = words["cities"], words["streets"], words["streetKinds"]
    company_words, company_suffixes = words["companyWords"], words["companySuffixes"]
    domains = [*Internet.free_email_domains, "example.com", "mail.example.org"]
    for i in range(count):
        f = rng.choice(ACCENTED_FIRST_NAMES) if rng.random() < 0.002 else rng.choice(first)
        surname = rng.choice(last)
        email = f"{f}.{surname}{rng.randrange(100)}@{rng.choice(domains)}".lower()
        phone = f"+1 ({rng.randrange(200, 1000)}) {rng.randrange(200, 1000)}-{rng.randrange(10000):04d}"
        street = f"{rng.randrange(1, 10000)} {rng.choice(streets)} {rng.choice(kinds)}"
        company = f"{rng.choice(company_words)} {rng.choice(company_suffixes)}"
        account = f"AC-{rng.randrange(10000):04d}-{rng.randrange(10000):04d}"
        username = f"{f[0]}{surname}{rng.randrange(1000)}".lower()
        salary = None if rng.random() < 0.01 else Decimal(rng.randrange(2_800_000, 25_000_000)).scaleb(-2)
        # Zero balances are declined by the number strategy (a zero has no
        # relative band) and finished by the fallback rule.
        balance = 0.0 if rng.random() < 0.005 else round(rng.uniform(-2_000, 150_000), 2)
        yield (
            i + 1,
            f,
            surname,
            f"{f} {surname}",
            email,
            phone,
            rng.choice(cities),
            street,
            company,
            account,
            username,
            salary,
            balance,
            rng.randrange(1940, 2006),
            rng.choice(SEGMENTS),
        )


def create_database(path: str | Path, rows: int, seed: int = 7, table: str = TABLE, words: dict | None = None) -> None:
    """Creates `table` in the sqlite file `path` with `rows` sample customers."""
    columns = ", ".join(f'"{name}" {decl}' for name, decl in COLUMNS)
    marks = ", ".join("?" for _ in COLUMNS)
    conn = sqlite3.connect(path)
    try:
        with conn:
            conn.execute(f'DROP TABLE IF EXISTS "{table}"')
            conn.execute(f'CREATE TABLE "{table}" ({columns})')
            conn.executemany(
                f'INSERT INTO "{table}" VALUES ({marks})',
                # sqlite3 cannot bind a Decimal: its exact text goes in.
                ((*r[:11], None if r[11] is None else str(r[11]), *r[12:]) for r in customer_rows(rows, seed, words)),
            )
    finally:
        conn.close()


def create_postgres_table(conn, rows: int, seed: int = 7, table: str = TABLE, words: dict | None = None) -> None:
    """Creates `table` with the same customers over a psycopg connection, in one transaction."""
    columns = ", ".join(f'"{name}" {decl}' for name, decl in PG_COLUMNS)
    with conn.transaction(), conn.cursor() as cursor:
        cursor.execute(f'DROP TABLE IF EXISTS "{table}"')
        cursor.execute(f'CREATE TABLE "{table}" ({columns})')
        with cursor.copy(f'COPY "{table}" FROM STDIN') as copy:
            for row in customer_rows(rows, seed, words):
                copy.write_row(row)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Create the sample customers database.")
    parser.add_argument("database", help="sqlite file to create (its customers table is replaced)")
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--words", help="also write the fake strategies' word lists to this JSON file")
    args = parser.parse_args(argv)
    words = write_words(args.words) if args.words else word_lists()
    create_database(args.database, args.rows, args.seed, words=words)
    print(f"wrote {args.rows} rows to {args.database}")


if __name__ == "__main__":
    main()
