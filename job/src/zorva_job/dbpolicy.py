"""The policy of a whole database: what happens to every table and every column.

    locale = "en_US"                    # the fake strategies' word lists (Faker's providers)
    [tables.customers]
    action = "mask"                     # mask (the default) | copy | skip
    keep = ["segment"]                  # columns left in clear on purpose
    [tables.customers.columns.id]
    strategy = "key"
    domain = "customer id"              # the key domain (default: the column's name)
    [tables.invoices.columns.customer_id]
    references = "customers.id"         # a reference the schema does not declare

The one-table form of the row job (`table = "..."` and `[columns.*]`) reads as
a policy of that one table. Whether a policy covers a database is decided
against its schema, in plan.py.
"""

from __future__ import annotations

import tomllib
from dataclasses import dataclass, field
from pathlib import Path

from .policy import KEY_DERIVATION, Options, PolicyError

ACTIONS = ("mask", "copy", "skip")
# The one derivation there is, whether a policy names its input a domain or a column.
DERIVATIONS = (KEY_DERIVATION, "hmac-sha256(master key, key domain)")
DEFAULT_LOCALE = "en_US"


@dataclass(frozen=True)
class Rule:
    """How a column is masked: the subkey is HMAC-SHA-256(master key, domain)."""

    strategy: str
    options: Options = field(compare=True, hash=False)
    domain: str

    def describe(self) -> str:
        opts = ", ".join(f"{k}={v!r}" for k, v in sorted(self.options.items()))
        return f"{self.strategy}({opts})" if opts else self.strategy


@dataclass(frozen=True)
class ColumnEntry:
    strategy: str | None = None
    options: Options = field(default_factory=dict, hash=False)
    domain: str | None = None
    references: tuple[str, str] | None = None  # (table, column)


@dataclass
class TablePolicy:
    name: str
    action: str = "mask"
    columns: dict[str, ColumnEntry] = field(default_factory=dict)
    keep: frozenset[str] = frozenset()


@dataclass
class DatabasePolicy:
    tables: dict[str, TablePolicy]
    locale: str = DEFAULT_LOCALE
    one_table: bool = False  # read from the one-table form: the rest of the source is not the job's
    text: bytes = b""  # the file as read, for the resume fingerprint

    @classmethod
    def load(cls, path: str | Path) -> DatabasePolicy:
        try:
            text = Path(path).read_bytes()
            doc = tomllib.loads(text.decode("utf-8"))
        except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
            raise PolicyError(f"cannot read policy {path}: {e}") from e
        return cls.parse(doc, text)

    @classmethod
    def parse(cls, doc: dict[str, object], text: bytes = b"") -> DatabasePolicy:
        derivation = doc.get("key_derivation", KEY_DERIVATION)
        if derivation not in DERIVATIONS:
            raise PolicyError(f"unsupported key_derivation {derivation!r}; only {KEY_DERIVATION!r}")
        locale = doc.get("locale", DEFAULT_LOCALE)
        if not isinstance(locale, str) or not locale:
            raise PolicyError('locale must be a Faker locale name, such as "en_US"')
        if "table" in doc:
            if "tables" in doc:
                raise PolicyError("a policy names either one table (table = ...) or [tables.*], not both")
            name = doc["table"]
            if not isinstance(name, str) or not name:
                raise PolicyError('the policy needs a table name (table = "...")')
            table = _table(name, {"columns": doc.get("columns", {}), "keep": doc.get("keep", [])})
            return cls({name: table}, locale, True, text)
        tables = doc.get("tables")
        if not isinstance(tables, dict) or not tables:
            raise PolicyError("the policy names no tables: [tables.NAME] for each table of the database")
        return cls({n: _table(n, t) for n, t in tables.items()}, locale, False, text)


def _table(name: str, entry: object) -> TablePolicy:
    if not isinstance(entry, dict):
        raise PolicyError(f"table {name!r}: must be a table of settings")
    unknown = set(entry) - {"action", "columns", "keep"}
    if unknown:
        raise PolicyError(f"table {name!r}: unknown setting(s) {', '.join(sorted(unknown))}")
    action = entry.get("action", "mask")
    if action not in ACTIONS:
        raise PolicyError(f"table {name!r}: action must be one of {', '.join(ACTIONS)}, not {action!r}")
    keep = entry.get("keep", [])
    if not isinstance(keep, list) or not all(isinstance(k, str) for k in keep):
        raise PolicyError(f"table {name!r}: keep must be a list of column names")
    columns = entry.get("columns", {})
    if not isinstance(columns, dict):
        raise PolicyError(f"table {name!r}: columns must be a table")
    if action != "mask" and (columns or keep):
        raise PolicyError(f"table {name!r}: a table to {action} has no columns or keep")
    parsed = {c: _column(name, c, e) for c, e in columns.items()}
    both = sorted(set(parsed) & set(keep))
    if both:
        raise PolicyError(f"table {name!r}: column(s) both masked and kept: {', '.join(both)}")
    return TablePolicy(name, action, parsed, frozenset(keep))


def _column(table: str, name: str, entry: object) -> ColumnEntry:
    where = f"column {table}.{name}"
    if not isinstance(entry, dict):
        raise PolicyError(f'{where}: needs strategy = "..." or references = "table.column"')
    unknown = set(entry) - {"strategy", "options", "domain", "references"}
    if unknown:
        raise PolicyError(f"{where}: unknown setting(s) {', '.join(sorted(unknown))}")
    strategy = entry.get("strategy")
    references = entry.get("references")
    if strategy is None and references is None:
        raise PolicyError(f'{where}: needs strategy = "..." or references = "table.column"')
    if strategy is not None and not isinstance(strategy, str):
        raise PolicyError(f'{where}: needs strategy = "..."')
    options = entry.get("options", {})
    if not isinstance(options, dict):
        raise PolicyError(f"{where}: options must be a table")
    domain = entry.get("domain")
    if domain is not None and (not isinstance(domain, str) or not domain):
        raise PolicyError(f"{where}: domain must be a non-empty name")
    ref: tuple[str, str] | None = None
    if references is not None:
        if not isinstance(references, str) or "." not in references:
            raise PolicyError(f'{where}: references must name "table.column"')
        ref_table, _, ref_column = references.rpartition(".")
        ref = (ref_table, ref_column)
    return ColumnEntry(strategy, options, domain, ref)
