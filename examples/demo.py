"""The engine's first job: mask a realistic customers table end to end.

With no arguments it creates a sample SQLite database of 200,000 customers
in a temporary folder (word lists from the Faker package), masks it with
examples/policy.toml, which uses all twelve native strategies, and prints a
before/after sample and the throughput. It masks it through both doors: the
row job (mask_sqlite.py: sqlite3, tuples, maskChunk) and the columnar job
(zorva_job: ADBC, Arrow, maskBatch), says whether their target tables are
identical, and copies the table with the columnar job's reader and writer
alone, the limit of any job here. The last line, "doors:", gives the two
jobs' rates, their ratio and the copy-only rate.

With --postgres it then loads the same customers into a PostgreSQL database
(a postgresql:// URL, or libpq's PG* environment variables when none is given;
the tables customers and customers_masked there are replaced), masks them
with the same policy and key into customers_masked, and compares the rates.

    python3 examples/demo.py [--rows N] [--keep DIR] [--key HEX] [--postgres [URL]]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import zorva_rs

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import mask_sqlite  # noqa: E402
import sample_data  # noqa: E402
import zorva_arrow  # noqa: E402
import zorva_job.postgres  # noqa: E402
import zorva_job.sqlite  # noqa: E402
from zorva_job.job import JobResult, report  # noqa: E402
from zorva_job.policy import Policy, PolicyError, RefusedValue  # noqa: E402


def doors(row, columnar: JobResult, copy: JobResult, same: bool) -> str:
    """The two doors side by side, and the copy-only rate."""
    print(f"row door:      {row.rows_per_second:>11,.0f} rows/s end to end")
    print(
        f"columnar door: {columnar.rows_per_second:>11,.0f} rows/s end to end "
        f"(read {columnar.times.read:.2f} s, mask {columnar.times.mask:.2f} s, "
        f"write {columnar.times.write:.2f} s, side by side)"
    )
    print(f"copy only:     {copy.rows_per_second:>11,.0f} rows/s (the columnar reader and writer, no masking)")
    print("target tables identical" if same else "TARGET TABLES DIFFER")
    return (
        f"columnar {columnar.rows_per_second:,.0f} rows/s, row {row.rows_per_second:,.0f} "
        f"rows/s, {columnar.rows_per_second / row.rows_per_second:.2f}x, copy-only "
        f"{copy.rows_per_second:,.0f} rows/s"
    )


def sqlite_tables_equal(a: Path, b: Path) -> bool:
    import sqlite3
    from contextlib import closing

    def content(path):
        with closing(sqlite3.connect(path)) as conn:
            return (
                conn.execute("SELECT sql FROM sqlite_master").fetchall(),
                conn.execute("SELECT * FROM customers").fetchall(),
            )

    return content(a) == content(b)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000, help="sample customers to create")
    parser.add_argument("--keep", help="write the databases here instead of a temporary folder")
    parser.add_argument("--key", help="master key in hex (default: the public demo key)")
    parser.add_argument(
        "--threads",
        type=int,
        help="masking threads (default: the available cores less one for the reader and writer, at least one)",
    )
    parser.add_argument(
        "--postgres",
        nargs="?",
        const="",
        metavar="URL",
        help="also run the job on PostgreSQL (default: libpq's PG* variables)",
    )
    args = parser.parse_args(argv)

    print(f"zorva_rs {zorva_rs.__version__}: {zorva_rs.availableCores()} core(s) available")
    with tempfile.TemporaryDirectory(prefix="zorva-demo-") as tmp:
        folder = Path(args.keep or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        source, target, words_file = folder / "customers.db", folder / "masked.db", folder / "words.json"

        start = time.perf_counter()
        words = sample_data.write_words(words_file)
        sample_data.create_database(source, args.rows, words=words)
        print(f"created {args.rows:,} sample customers in {source} ({time.perf_counter() - start:.1f} s)")

        policy = mask_sqlite.Policy.load(HERE / "policy.toml")
        strategies = sorted({s for s, _ in policy.columns.values()})
        print(
            f"policy {HERE / 'policy.toml'}: {len(policy.columns)} masked column(s), "
            f"{len(strategies)} strategies: {', '.join(strategies)}"
        )
        zorva_rs.setThreads(max(1, args.threads or mask_sqlite.masking_threads()))
        zorva_arrow.setThreads(max(1, args.threads or zorva_job.job.masking_threads()))
        key = mask_sqlite.parse_key(args.key)
        columnar_policy = Policy.load(HERE / "policy.toml")
        try:
            print("\nthe row door (sqlite3, maskChunk):")
            result = mask_sqlite.mask_table(source, target, policy, key, words, replace=True)
            mask_sqlite.report(result)
            print("\nthe columnar door (ADBC, maskBatch):")
            columnar = zorva_job.sqlite.mask_table(
                source, folder / "masked_columnar.db", columnar_policy, key, words, replace=True, sample=0
            )
            report(columnar)
            copy = zorva_job.sqlite.mask_table(
                source, folder / "copied.db", columnar_policy, key, words, replace=True, sample=0, copy_only=True
            )
        except (mask_sqlite.PolicyError, mask_sqlite.RefusedValue, PolicyError, RefusedValue) as e:
            print(f"demo: {e}", file=sys.stderr)
            return 1
        print(
            f"masked tables written to {target} and {folder / 'masked_columnar.db'}"
            if args.keep
            else "(pass --keep DIR to keep the databases)"
        )
        print()
        line = doors(result, columnar, copy, sqlite_tables_equal(target, folder / "masked_columnar.db"))
    if args.postgres is not None:
        pg_line = postgres(args, policy, columnar_policy, words, result)
        if pg_line is None:
            return 1
        line = f"sqlite: {line}; postgres: {pg_line}"
    print(f"doors: {line}")
    return 0


def postgres(args, policy, columnar_policy, words, sqlite_result) -> str | None:
    import mask_postgres
    import psycopg

    try:
        with mask_postgres.connect(args.postgres, "sample") as conn:
            start = time.perf_counter()
            sample_data.create_postgres_table(conn, args.rows, words=words)
            print(
                f"\nloaded the {args.rows:,} customers into PostgreSQL database "
                f"{conn.info.dbname!r} ({time.perf_counter() - start:.1f} s)"
            )
        key = mask_sqlite.parse_key(args.key)
        result = mask_postgres.mask_table(
            args.postgres, None, policy, key, words, replace=True, target_table="customers_masked", sample=0
        )
        mask_sqlite.report(result)
        print(
            f"PostgreSQL job: {result.rows_per_second:,.0f} rows/s end to end, "
            f"{result.rows_per_second / sqlite_result.rows_per_second:.2f}x the SQLite job's "
            f"{sqlite_result.rows_per_second:,.0f} rows/s"
        )
        print("\nthe columnar door on PostgreSQL (ADBC, maskBatch):")
        columnar = zorva_job.postgres.mask_table(
            args.postgres,
            None,
            columnar_policy,
            key,
            words,
            replace=True,
            sample=0,
            target_table="customers_masked_columnar",
        )
        report(columnar)
        copy = zorva_job.postgres.mask_table(
            args.postgres,
            None,
            columnar_policy,
            key,
            words,
            replace=True,
            sample=0,
            copy_only=True,
            target_table="customers_copied",
        )
        with mask_postgres.connect(args.postgres, "sample") as conn:
            same = [
                conn.execute(f"SELECT * FROM {t} ORDER BY id").fetchall()
                for t in ("customers_masked", "customers_masked_columnar")
            ]
            types = [mask_postgres.describe(conn, t)[1] for t in ("customers_masked", "customers_masked_columnar")]
    except (mask_sqlite.PolicyError, mask_sqlite.RefusedValue, psycopg.Error, PolicyError, RefusedValue) as e:
        print(f"demo: postgres: {e}", file=sys.stderr)
        return None
    print()
    return doors(result, columnar, copy, same[0] == same[1] and types[0] == types[1])


if __name__ == "__main__":
    sys.exit(main())
