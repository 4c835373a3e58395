"""A SQLite database's schema, read with the standard library from a read-only connection,
and the statements that build it again in the target.

Column types. The source's declared types say what the values are, as
sqlite3's converters read them: BOOLEAN columns are bools, DECIMAL columns
decimals (read as their texts). A table keeps its declared types, with two
changes that keep every masked value as the masking wrote it: a DECIMAL column
becomes "DECIMAL TEXT" (TEXT affinity, so no digit of a decimal's text is lost
to a REAL), and a column masked into texts (hash, email, the fakes) whose
declared type would turn number-like texts into numbers becomes TEXT.
"""

from __future__ import annotations

import re
import sqlite3
from collections.abc import Collection
from contextlib import closing
from pathlib import Path

from .dbpolicy import Rule
from .plan import TablePlan
from .policy import FAKE_STRATEGIES, PolicyError
from .schema import Column, Constraint, Database, ForeignKey, Index, Table

TEXT_STRATEGIES = FAKE_STRATEGIES | {"hash", "email"}


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def converter(declared: str) -> str:
    """The first word of a declared type, as sqlite3 picks its converter."""
    match = re.match(r"[^\s(]*", declared)
    return match.group(0).upper() if match else ""


def affinity(declared: str) -> str:
    """SQLite's column affinity for a declared type (its documented rules, in order)."""
    t = declared.upper()
    if "INT" in t:
        return "INTEGER"
    if any(w in t for w in ("CHAR", "CLOB", "TEXT")):
        return "TEXT"
    if "BLOB" in t or not t:
        return "BLOB"
    if any(w in t for w in ("REAL", "FLOA", "DOUB")):
        return "REAL"
    return "NUMERIC"


def source_uri(path: str | Path) -> str:
    """A read-only URI: the job never writes to its source."""
    return Path(path).resolve().as_uri() + "?mode=ro"


def read_schema(path: str | Path) -> Database:
    if not Path(path).is_file():
        raise PolicyError(f"no database {path}")
    try:
        with closing(sqlite3.connect(source_uri(path), uri=True)) as conn:
            return _read(conn)
    except sqlite3.Error as e:
        raise PolicyError(f"cannot read the schema of {path}: {e}") from None


def _read(conn: sqlite3.Connection) -> Database:
    q = conn.execute
    tables: dict[str, Table] = {}
    listed = q(
        "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
        "ORDER BY rowid"
    ).fetchall()
    for name, sql in listed:
        info = q(f"PRAGMA table_xinfo({quote(name)})").fetchall()
        columns = tuple(
            Column(str(n), str(t or ""), converter(str(t or "")), bool(nn), None if d is None else str(d))
            for _, n, t, nn, d, _, hidden in info
            if hidden == 0
        )
        pk = tuple(str(r[1]) for r in sorted((r for r in info if r[5]), key=lambda r: r[5]))
        constraints = [Constraint("p", pk)] if pk else []
        indexes: list[Index] = []
        for _, iname, unique, origin, _partial in q(f"PRAGMA index_list({quote(name)})").fetchall():
            cols = tuple(str(r[2]) for r in q(f"PRAGMA index_info({quote(iname)})").fetchall() if r[2] is not None)
            if origin == "u":
                constraints.append(Constraint("u", cols, str(iname)))
            elif origin == "c":
                isql = q("SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ?", (iname,)).fetchone()
                if isql and isql[0]:
                    indexes.append(Index(str(iname), cols, bool(unique), str(isql[0])))
        fks: dict[int, list[tuple[str, str, str, str, str]]] = {}
        for fid, _, rtable, frm, to, on_update, on_delete, _ in q(f"PRAGMA foreign_key_list({quote(name)})"):
            fks.setdefault(fid, []).append((str(rtable), str(frm), to, str(on_update), str(on_delete)))
        foreign_keys = []
        for parts in fks.values():
            rtable = parts[0][0]
            # A reference without columns names the referenced table's primary key.
            to = [p[2] for p in parts]
            if any(t is None for t in to):
                rinfo = q(f"PRAGMA table_info({quote(rtable)})").fetchall()
                to = [str(r[1]) for r in sorted((r for r in rinfo if r[5]), key=lambda r: r[5])]
            foreign_keys.append(
                ForeignKey(tuple(p[1] for p in parts), rtable, tuple(map(str, to)), "", _actions(parts[0][3:]))
            )
        rows = q(f"SELECT count(*) FROM {quote(name)}").fetchone()[0]
        extra = {"sql": str(sql or "")}
        tables[str(name)] = Table(
            str(name), columns, tuple(constraints), tuple(foreign_keys), tuple(indexes), int(rows), extra
        )
    for kind, name, tbl, sql in q(
        "SELECT type, name, tbl_name, sql FROM sqlite_master WHERE type IN ('view', 'trigger') ORDER BY rowid"
    ):
        if tbl in tables or kind == "view":
            key = f"{kind}:{name}"
            owner = tables.get(tbl) or next(iter(tables.values()), None)
            if owner is not None:
                owner.extra[key] = str(sql)
    return Database(tables)


def _actions(actions: tuple[str, str]) -> str:
    on_update, on_delete = actions
    out = ""
    if on_update and on_update != "NO ACTION":
        out += f" ON UPDATE {on_update}"
    if on_delete and on_delete != "NO ACTION":
        out += f" ON DELETE {on_delete}"
    return out


def target_type(column: Column, rule: Rule | None, decimal: bool) -> str:
    if decimal:
        return column.declared if affinity(column.declared) == "TEXT" else "DECIMAL TEXT"
    if rule is not None and rule.strategy in TEXT_STRATEGIES and affinity(column.declared) not in ("TEXT", "BLOB"):
        return "TEXT"
    return column.declared


def create_table(plan: TablePlan, types: list[str], present: Collection[str]) -> str:
    """CREATE TABLE with the source's NOT NULL, defaults, keys and references (those
    to tables of the target, `present`)."""
    t = plan.table
    pk = t.primary_key
    autoinc = "AUTOINCREMENT" in t.extra.get("sql", "").upper()
    lines = []
    for c, kind in zip(t.columns, types, strict=True):
        line = f"{quote(c.name)} {kind}".rstrip()
        # A one-column INTEGER PRIMARY KEY stays the rowid, as in the source.
        if pk == (c.name,) and kind.upper() == "INTEGER":
            line += " PRIMARY KEY" + (" AUTOINCREMENT" if autoinc else "")
        if c.not_null:
            line += " NOT NULL"
        if c.default is not None:
            line += f" DEFAULT {c.default}"
        lines.append(line)
    if pk and not (len(pk) == 1 and types[t.names.index(pk[0])].upper() == "INTEGER"):
        lines.append(f"PRIMARY KEY ({', '.join(map(quote, pk))})")
    lines += [f"UNIQUE ({', '.join(map(quote, c.columns))})" for c in t.constraints if c.kind == "u"]
    for fk in t.foreign_keys:
        if fk.table not in present:
            continue
        lines.append(
            f"FOREIGN KEY ({', '.join(map(quote, fk.columns))}) REFERENCES {quote(fk.table)} "
            f"({', '.join(map(quote, fk.ref_columns))}){fk.definition}"
        )
    without_rowid = (
        " WITHOUT ROWID" if re.search(r"\)\s*WITHOUT\s+ROWID\s*;?\s*$", t.extra.get("sql", ""), re.I) else ""
    )
    return f"CREATE TABLE {quote(t.name)} (\n  " + ",\n  ".join(lines) + f"\n){without_rowid}"
