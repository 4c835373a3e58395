"""The engine's first job: mask a realistic customers table end to end.

With no arguments it creates a sample SQLite database of 200,000 customers
in a temporary folder (word lists from the Faker package), masks it with
examples/policy.toml, which uses all twelve native strategies, and prints a
before/after sample and the throughput.

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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000, help="sample customers to create")
    parser.add_argument("--keep", help="write the databases here instead of a temporary folder")
    parser.add_argument("--key", help="master key in hex (default: the public demo key)")
    parser.add_argument("--threads", type=int, help="masking threads (default: the available "
                        "cores less one for the reader and writer, at least one)")
    parser.add_argument("--postgres", nargs="?", const="", metavar="URL",
                        help="also run the job on PostgreSQL (default: libpq's PG* variables)")
    args = parser.parse_args(argv)

    print(f"zorva_rs {zorva_rs.__version__}: {zorva_rs.availableCores()} core(s) available")
    with tempfile.TemporaryDirectory(prefix="zorva-demo-") as tmp:
        folder = Path(args.keep or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        source, target, words_file = folder / "customers.db", folder / "masked.db", folder / "words.json"

        start = time.perf_counter()
        words = sample_data.write_words(words_file)
        sample_data.create_database(source, args.rows, words=words)
        print(f"created {args.rows:,} sample customers in {source} "
              f"({time.perf_counter() - start:.1f} s)")

        policy = mask_sqlite.Policy.load(HERE / "policy.toml")
        strategies = sorted({s for s, _ in policy.columns.values()})
        print(f"policy {HERE / 'policy.toml'}: {len(policy.columns)} masked column(s), "
              f"{len(strategies)} strategies: {', '.join(strategies)}")
        zorva_rs.setThreads(max(1, args.threads or mask_sqlite.masking_threads()))
        try:
            result = mask_sqlite.mask_table(source, target, policy, mask_sqlite.parse_key(args.key),
                                            words, replace=True)
        except (mask_sqlite.PolicyError, mask_sqlite.RefusedValue) as e:
            print(f"demo: {e}", file=sys.stderr)
            return 1
        mask_sqlite.report(result)
        print(f"masked table written to {target}" if args.keep else
              "(pass --keep DIR to keep the databases)")
    if args.postgres is not None:
        return postgres(args, policy, words, result)
    return 0


def postgres(args, policy, words, sqlite_result) -> int:
    import psycopg

    import mask_postgres

    try:
        with mask_postgres.connect(args.postgres, "sample") as conn:
            start = time.perf_counter()
            sample_data.create_postgres_table(conn, args.rows, words=words)
            print(f"\nloaded the {args.rows:,} customers into PostgreSQL database "
                  f"{conn.info.dbname!r} ({time.perf_counter() - start:.1f} s)")
        result = mask_postgres.mask_table(args.postgres, None, policy,
                                          mask_sqlite.parse_key(args.key), words, replace=True,
                                          target_table="customers_masked", sample=0)
    except (mask_sqlite.PolicyError, mask_sqlite.RefusedValue, psycopg.Error) as e:
        print(f"demo: postgres: {e}", file=sys.stderr)
        return 1
    mask_sqlite.report(result)
    print(f"PostgreSQL job: {result.rows_per_second:,.0f} rows/s end to end, "
          f"{result.rows_per_second / sqlite_result.rows_per_second:.2f}x the SQLite job's "
          f"{sqlite_result.rows_per_second:,.0f} rows/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
