"""What the whole-database job asks of a backend (sqlite.py, postgres.py).

The job reads the source's schema, builds every masker, then hands the target
its tables one by one (several at a time on their own threads): `begin_table`,
`write` per chunk (one transaction each), `end_table`; or `copy_table` for a
table copied as it is; then `check_references` once the table and the tables
it references are finished. `finish` gives the target its remaining keys and
indexes, checks every reference and publishes it whole; until then the target
exists only under a partial name, which `open(resume=True)` takes up again.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Protocol

import pyarrow as pa

from .plan import Plan, TablePlan
from .schema import Database


class Source(Protocol):
    def describe(self) -> Database:
        """The schema of every table, and each table's row count."""
        ...

    def identity(self) -> str:
        """Says which source this is, for the resume fingerprint (no secret in it)."""
        ...

    def decimal_columns(self, plan: TablePlan) -> set[int]:
        """The columns read as decimal texts (masked as Decimals, written as texts)."""
        ...

    def chunks(self, plan: TablePlan, chunk_size: int) -> Iterator[pa.Table]:
        """The table's rows in chunks of `chunk_size`, its columns in schema order; runs
        on a reader thread of its own, one per table."""
        ...

    def close(self) -> None: ...


class Target(Protocol):
    widen_ints: bool  # an int column whose masked values outgrow its type is written as text
    warnings: list[str]  # what the job should tell, having done it anyway
    bytes: int  # the published target's size

    def open(self, plan: Plan, fingerprint: str, resume: bool) -> set[str]:
        """Opens the partial target for the tables of `plan`; with `resume`, one left by a
        job of the same fingerprint is taken up and its finished tables are answered."""
        ...

    def begin_table(self, plan: TablePlan) -> None:
        """(Re)creates the table, empty."""
        ...

    def write(self, plan: TablePlan, chunk: pa.Table, first_row: int, widened: set[int]) -> None:
        """Appends one chunk in one transaction; `widened`: the int columns now written as texts."""
        ...

    def copy_table(self, plan: TablePlan) -> int:
        """Copies a table's rows from the source as they are; answers the rows copied."""
        ...

    def end_table(self, plan: TablePlan) -> None:
        """The table is whole: what it needs after its rows, and a note for --resume."""
        ...

    def check_references(self, plan: TablePlan) -> None:
        """Checks (PostgreSQL: adds and validates) the table's references to tables of the
        target; called once it and the tables it references are finished, on a worker
        thread, beside the other tables' work. Raises RefusedValue for a reference that
        finds no row."""
        ...

    def finish(self, plan: Plan) -> None:
        """Keys, indexes and checks of the whole database, then the target published whole."""
        ...

    def close(self) -> None:
        """Leaves the partial target for --resume when `finish` did not run."""
        ...
