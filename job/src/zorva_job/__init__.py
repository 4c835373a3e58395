"""The main job on the columnar door: ADBC in, Arrow masked with zorva_arrow, ADBC out.

    python -m zorva_job sqlite SOURCE.db TARGET.db --policy POLICY.toml [--words WORDS.json]
    python -m zorva_job postgres --source URL [--target URL] --policy POLICY.toml

The policy, the keys, the fallback rule, the refusals and the one transaction
per chunk are those of the row-door job (mask_sqlite.py, mask_postgres.py),
which gives the same target tables and takes them from here: policy.py,
pipeline.py and cli.py import nothing of pyarrow. See also columnar.py.
"""
