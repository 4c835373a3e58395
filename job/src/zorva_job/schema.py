"""What a database holds, as the job needs to know it: tables, their columns, keys,
references and indexes, read from the source's catalog by each backend.

Texts that are SQL (`declared`, `default`, `definition`) are the backend's own
spelling, handed back to the same backend when it builds the target.
"""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass(frozen=True)
class Column:
    name: str
    declared: str  # the type as the source declares it: "DECIMAL(10,2)", "character varying(40)"
    kind: str = ""  # the backend's type family: SQLite's converter word, PostgreSQL's type name
    not_null: bool = False
    default: str | None = None  # an SQL expression
    identity: str = ""  # PostgreSQL: "a" (always), "d" (by default) or ""
    typmod: int = -1


@dataclass(frozen=True)
class ForeignKey:
    columns: tuple[str, ...]
    table: str  # the referenced table
    ref_columns: tuple[str, ...]
    name: str = ""
    definition: str = ""  # the constraint's clause, e.g. "FOREIGN KEY (a) REFERENCES t(id) ON DELETE CASCADE"


@dataclass(frozen=True)
class Constraint:
    """A primary key ("p"), unique key ("u") or check ("c") constraint."""

    kind: str
    columns: tuple[str, ...]
    name: str = ""
    definition: str = ""


@dataclass(frozen=True)
class Index:
    """An index that no constraint owns, with the statement that builds it."""

    name: str
    columns: tuple[str, ...]
    unique: bool
    definition: str


@dataclass(frozen=True)
class Table:
    name: str
    columns: tuple[Column, ...]
    constraints: tuple[Constraint, ...] = ()
    foreign_keys: tuple[ForeignKey, ...] = ()
    indexes: tuple[Index, ...] = ()
    rows: int = 0  # counted when the schema is read
    extra: dict[str, str] = field(default_factory=dict, compare=False, hash=False)

    @property
    def names(self) -> list[str]:
        return [c.name for c in self.columns]

    @property
    def primary_key(self) -> tuple[str, ...]:
        return next((c.columns for c in self.constraints if c.kind == "p"), ())


@dataclass(frozen=True)
class Database:
    tables: dict[str, Table]

    def references(self) -> list[tuple[str, str, str, str]]:
        """(table, column, referenced table, referenced column) for every declared foreign key."""
        out = []
        for t in self.tables.values():
            for fk in t.foreign_keys:
                out += [(t.name, c, fk.table, r) for c, r in zip(fk.columns, fk.ref_columns)]
        return out
