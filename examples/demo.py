"""The job's built-in example: mask a small related database end to end and check it.

With no arguments it builds the sample shop database of examples/sample_db.py
(employees managed by employees, customers served by them, invoices, their
lines, payments, a copied table of countries and a skipped audit log; word
lists from Faker's providers) in a temporary folder, masks it with
examples/database.toml, which uses all twelve strategies, and checks the
target: every foreign key resolves, every join gives the source's row count,
and every masked column differs from its source in nearly every row
(counted, each masked row found by its masked key). It prints one line per
table and ends with

    database: T tables, R rows, N rows/s, M MB/s, joins kept

With --postgres it does the same on PostgreSQL (a postgresql:// URL, or
libpq's PG* environment variables when none is given): the schema zorva_demo
is built there and masked into zorva_demo_masked, both replaced.

The demo masks with the public demo key (examples/demo_key.py), handed to the
job through $ZORVA_MASTER_KEY as a user would hand a real one.

    python3 examples/demo.py [--rows N] [--keep DIR] [--threads N] [--postgres [URL]]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import pyarrow as pa  # noqa: E402
import sample_db  # noqa: E402
import zorva_rs  # noqa: E402
from demo_key import DEMO_KEY  # noqa: E402
from zorva_job.__main__ import parser as job_parser  # noqa: E402
from zorva_job.__main__ import run as run_job  # noqa: E402
from zorva_job.columnar import BatchMasker  # noqa: E402
from zorva_job.database import DatabaseResult  # noqa: E402
from zorva_job.dbpolicy import DatabasePolicy  # noqa: E402
from zorva_job.plan import Plan, TablePlan, make_plan  # noqa: E402
from zorva_job.policy import PolicyError, RefusedValue  # noqa: E402
from zorva_job.report import job_report  # noqa: E402
from zorva_job.schema import Database  # noqa: E402
from zorva_job.words import faker_words  # noqa: E402

POLICY = HERE / "database.toml"
NEARLY_EVERY = 0.9  # a masked column may keep a value by chance (a word list's draw, a bounded year)
Query = Callable[[str], list[tuple[object, ...]]]


def q(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def masked_keys(plan: TablePlan, rows: list[tuple[object, ...]], key: bytes) -> list[tuple[object, ...]]:
    """Each source row's primary key as the job masked it: how a masked row is found."""
    pk = plan.table.primary_key
    at = [plan.table.names.index(c) for c in pk]
    rules = [plan.columns[j].rule for j in at]
    masker = BatchMasker.for_rules(plan.name, list(pk), rules, key, faker_words())
    chunk = pa.table({c: pa.array([r[j] for r in rows]) for c, j in zip(pk, at)})
    masked = masker.mask(chunk, 0)
    return list(zip(*(masked.column(i).to_pylist() for i in range(len(pk)))))


def check_table(plan: TablePlan, source: Query, target: Query, schema: tuple[str, str], key: bytes) -> str | None:
    """One line on the table, or None when a check fails (said on stderr)."""
    select = ", ".join(map(q, plan.table.names))
    before = source(f"SELECT {select} FROM {schema[0]}{q(plan.name)}")
    after = target(f"SELECT {select} FROM {schema[1]}{q(plan.name)}")
    head = f"{plan.name:<14} {plan.action:<4} {len(after):>10,} rows"
    if plan.action == "skip":
        return f"{head}: schema only" if not after else None
    if len(after) != len(before):
        print(f"{plan.name}: {len(after)} rows written of {len(before)}", file=sys.stderr)
        return None
    if plan.action == "copy" or not plan.masked:
        same = sorted(map(repr, before)) == sorted(map(repr, after))
        return f"{head}: copied as it is" if same else None
    by_key = {tuple(r[plan.table.names.index(c)] for c in plan.table.primary_key): r for r in after}
    masked = [j for j, c in enumerate(plan.columns) if c.rule is not None]
    changed, valued = [0] * len(masked), [0] * len(masked)
    for row, k in zip(before, masked_keys(plan, before, key)):
        found = by_key.get(k)
        if found is None:
            print(f"{plan.name}: a source row has no masked row", file=sys.stderr)
            return None
        for i, j in enumerate(masked):
            if row[j] is not None:  # NULL stays NULL
                valued[i] += 1
                changed[i] += found[j] != row[j]
    shares = sorted((n / max(v, 1), plan.columns[j].name) for n, v, j in zip(changed, valued, masked))
    low = [f"{name} {share:.1%}" for share, name in shares if share < NEARLY_EVERY]
    if low and before:
        print(f"{plan.name}: masked columns left mostly as they were: {', '.join(low)}", file=sys.stderr)
        return None
    least = f" (least: {shares[0][1]} {shares[0][0]:.1%})" if before else ""
    return f"{head}: {len(masked)} masked column(s) changed in nearly every row{least}"


def check_joins(db: Database, source: Query, target: Query, schema: tuple[str, str]) -> str | None:
    """Every declared reference joins as many rows in the target as in the source."""
    count = 0
    for t in db.tables.values():
        for fk in t.foreign_keys:
            on = " AND ".join(f"c.{q(a)} = p.{q(b)}" for a, b in zip(fk.columns, fk.ref_columns))

            join = "SELECT count(*) FROM {0}" + q(t.name) + " c JOIN {0}" + q(fk.table) + " p ON " + on

            left = " AND ".join(f"c.{q(a)} IS NOT NULL" for a in fk.columns)
            dangling = target(
                f"SELECT count(*) FROM {schema[1]}{q(t.name)} c WHERE {left} AND NOT EXISTS "
                f"(SELECT 1 FROM {schema[1]}{q(fk.table)} p WHERE {on})"
            )[0][0]
            if dangling or source(join.format(schema[0])) != target(join.format(schema[1])):
                print(f"{t.name} -> {fk.table}: {dangling} reference(s) do not resolve", file=sys.stderr)
                return None
            count += 1
    return f"joins: all {count} references resolve and join as many rows as in the source"


def verify(plan: Plan, db: Database, source: Query, target: Query, schema: tuple[str, str]) -> bool:
    lines = [check_table(t, source, target, schema, DEMO_KEY) for t in plan.tables]
    lines.append(check_joins(db, source, target, schema))
    for line in lines:
        if line is not None:
            print(line)
    return None not in lines


def final_line(result: DatabaseResult, kept: bool) -> str:
    return (
        f"database: {len(result.tables)} tables, {result.rows:,} rows, {result.rows_per_second:,.0f} rows/s, "
        f"{result.megabytes_per_second:.1f} MB/s, {'joins kept' if kept else 'JOINS BROKEN'}"
    )


def mask(argv: list[str]) -> DatabaseResult | None:
    """The job as its command runs it, in this process so that its result can be checked."""
    try:
        result = run_job(job_parser().parse_args([*argv, "--policy", str(POLICY), "--replace"]))
    except (PolicyError, RefusedValue) as e:
        print(f"demo: {e}", file=sys.stderr)
        return None
    assert isinstance(result, DatabaseResult)
    job_report(result, sys.stdout)
    return result


def on_sqlite(args: argparse.Namespace, folder: Path, extra: list[str]) -> str | None:
    import sqlite3
    from contextlib import closing

    source, target = folder / "shop.db", folder / "shop-masked.db"
    start = time.perf_counter()
    counts = sample_db.create_sqlite(source, rows=args.rows)
    print(
        f"built {source}: {sum(counts.values()):,} rows in {len(counts)} tables ({time.perf_counter() - start:.1f} s)"
    )
    result = mask(["sqlite", str(source), str(target), *extra])
    if result is None:
        return None
    from zorva_job.sqlite_schema import read_schema

    db = read_schema(source)
    plan = make_plan(DatabasePolicy.load(POLICY), db)
    with closing(sqlite3.connect(source)) as s, closing(sqlite3.connect(target)) as t:
        fk_check = t.execute("PRAGMA foreign_key_check").fetchall()
        ok = not fk_check and verify(
            plan, db, lambda x: s.execute(x).fetchall(), lambda x: t.execute(x).fetchall(), ("", "")
        )
    print(f"masked database written to {target}" if args.keep else "(pass --keep DIR to keep the databases)")
    return final_line(result, ok)


def on_postgres(args: argparse.Namespace, extra: list[str]) -> str | None:
    import psycopg
    from zorva_job.postgres import PostgresSource

    try:
        with psycopg.connect(args.postgres, autocommit=True) as conn:
            start = time.perf_counter()
            counts = sample_db.create_postgres(conn, rows=args.rows, schema="zorva_demo")
            print(
                f"\nbuilt schema zorva_demo in PostgreSQL database {conn.info.dbname!r}: "
                f"{sum(counts.values()):,} rows ({time.perf_counter() - start:.1f} s)"
            )
        url = args.postgres
        job = ["postgres", "--source", url, "--source-schema", "zorva_demo", "--target-schema", "zorva_demo_masked"]
        result = mask([*job, *extra])
        if result is None:
            return None
        db = PostgresSource(url, "zorva_demo").describe()
        plan = make_plan(DatabasePolicy.load(POLICY), db)
        with psycopg.connect(url, autocommit=True) as conn:
            unchecked = conn.execute(
                "SELECT count(*) FROM pg_constraint c JOIN pg_namespace n ON n.oid = c.connamespace "
                "WHERE n.nspname = 'zorva_demo_masked' AND c.contype = 'f' AND NOT c.convalidated"
            ).fetchone()

            def query(sql: str) -> list[tuple[object, ...]]:
                return conn.execute(sql).fetchall()  # type: ignore[arg-type]

            ok = unchecked == (0,) and verify(plan, db, query, query, ("zorva_demo.", "zorva_demo_masked."))
    except psycopg.Error as e:
        print(f"demo: postgres: {str(e).splitlines()[0]}", file=sys.stderr)
        return None
    return final_line(result, ok)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--rows", type=int, default=100_000, help="sample customers (the other tables scale with it)")
    parser.add_argument("--keep", help="write the databases here instead of a temporary folder")
    parser.add_argument("--threads", type=int, help="masking threads (default: every core but one)")
    parser.add_argument(
        "--postgres", nargs="?", const="", metavar="URL", help="also run on PostgreSQL (default: libpq's PG* variables)"
    )
    args = parser.parse_args(argv)
    # The public demo key, handed over as a real key is: never on a command line.
    os.environ["ZORVA_MASTER_KEY"] = DEMO_KEY.hex()
    extra = ["--no-progress"] + (["--threads", str(args.threads)] if args.threads else [])
    print(f"zorva_rs {zorva_rs.__version__}: {zorva_rs.availableCores()} core(s) available; policy {POLICY}")
    lines = []
    with tempfile.TemporaryDirectory(prefix="zorva-demo-") as tmp:
        folder = Path(args.keep or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        lines.append(on_sqlite(args, folder, extra))
    if args.postgres is not None and lines[0] is not None:
        line = on_postgres(args, extra)
        lines.append(None if line is None else f"{line} (PostgreSQL)")
    for line in lines:
        if line is not None:
            print(line)
    return 0 if all(line is not None and "joins kept" in line for line in lines) else 1


if __name__ == "__main__":
    sys.exit(main())
