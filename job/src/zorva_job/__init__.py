"""zorva-job: mask whole databases with the zorva_rs engine.

    zorva-job sqlite SOURCE.db TARGET.db --policy POLICY.toml
    zorva-job postgres --source URL --target URL --policy POLICY.toml
    zorva-job check sqlite SOURCE.db --policy POLICY.toml

ADBC reads each table as Arrow batches, zorva_arrow masks them, ADBC bulk
ingest writes them into a target that is published whole at the end. The
policy (dbpolicy.py) is held against the source's schema (plan.py); the
backends (sqlite.py, postgres.py) read and rebuild the schema around the data;
database.py runs the tables side by side. policy.py, pipeline.py and cli.py
import nothing of pyarrow: the row job of the examples shares them.
"""
