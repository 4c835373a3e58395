"""The masking policy, the keys and the fallback rule, shared by every backend and door."""

from __future__ import annotations

import hashlib
import hmac
import json
import tomllib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TypeVar

KEY_DERIVATION = "hmac-sha256(master key, column name)"
FAKE_STRATEGIES = frozenset(
    {
        "fakeFirstName",
        "fakeLastName",
        "fakeName",
        "fakeCity",
        "fakeCompany",
        "fakeStreetAddress",
    }
)
WORD_OPTIONS = (
    "firstNames",
    "lastNames",
    "cities",
    "streets",
    "streetKinds",
    "address",
    "companySuffixes",
    "companyWords",
)
Options = dict[str, object]
M = TypeVar("M")


class PolicyError(Exception):
    """The policy, the word lists, the key or the tables cannot be masked as asked: exit 2."""


class RefusedValue(Exception):
    """The engine or the target refused a value; the job stops with its chunk unwritten: exit 1."""


@dataclass(frozen=True)
class Policy:
    table: str
    columns: dict[str, tuple[str, Options]]  # column -> (strategy, options)

    @classmethod
    def load(cls, path: str | Path) -> Policy:
        try:
            with open(path, "rb") as f:
                doc = tomllib.load(f)
        except (OSError, tomllib.TOMLDecodeError) as e:
            raise PolicyError(f"cannot read policy {path}: {e}") from e
        derivation = doc.get("key_derivation", KEY_DERIVATION)
        if derivation != KEY_DERIVATION:
            raise PolicyError(f"unsupported key_derivation {derivation!r}; only {KEY_DERIVATION!r}")
        table = doc.get("table")
        if not isinstance(table, str) or not table:
            raise PolicyError('the policy needs a table name (table = "...")')
        columns: dict[str, tuple[str, Options]] = {}
        for name, entry in doc.get("columns", {}).items():
            if not isinstance(entry, dict) or not isinstance(entry.get("strategy"), str):
                raise PolicyError(f'column {name!r}: needs strategy = "..."')
            options = entry.get("options", {})
            if not isinstance(options, dict):
                raise PolicyError(f"column {name!r}: options must be a table")
            columns[name] = (entry["strategy"], options)
        return cls(table, columns)


# A masked column: its strategy, options and key domain.
Masking = tuple[str, Options, str]


def build_maskers(
    policy: Policy,
    names: Sequence[str],
    master: bytes,
    words: Options | None,
    masker: Callable[[bytes, str, Options], M],
) -> tuple[list[M | None], list[bytes | None]]:
    """One `masker(subkey, strategy, options)` per column of `names` and its subkey, None
    for the columns the policy leaves alone; every column the policy names must be there."""
    unknown = sorted(set(policy.columns) - set(names))
    if unknown:
        raise PolicyError(f"policy columns not in table {policy.table!r}: {', '.join(unknown)}")
    columns = [(repr(n), (*policy.columns[n], n) if n in policy.columns else None) for n in names]
    return make_maskers(columns, master, words, masker)


def make_maskers(
    columns: Sequence[tuple[str, Masking | None]],
    master: bytes,
    words: Options | None,
    masker: Callable[[bytes, str, Options], M],
) -> tuple[list[M | None], list[bytes | None]]:
    """One `masker(subkey, strategy, options)` per column that is masked and its subkey
    HMAC-SHA-256(master, key domain), None for the others; each column comes with its
    name as messages show it. The fake strategies get the word lists under their own
    options."""
    maskers: list[M | None] = []
    subkeys: list[bytes | None] = []
    for where, masking in columns:
        if masking is None:
            maskers.append(None)
            subkeys.append(None)
            continue
        strategy, options, domain = masking
        if strategy in FAKE_STRATEGIES:
            if words is None:
                raise PolicyError(f"column {where}: {strategy} needs word lists (--words)")
            options = {**words, **options}
        subkey = derive_subkey(master, domain)
        try:
            maskers.append(masker(subkey, strategy, options))
        except (TypeError, ValueError, OverflowError) as e:
            raise PolicyError(f"column {where} ({strategy}): {e}") from None
        subkeys.append(subkey)
    return maskers, subkeys


def derive_subkey(master: bytes, column: str) -> bytes:
    return hmac.new(master, column.encode("utf-8"), hashlib.sha256).digest()


def fallback_text(subkey: bytes, text: str) -> str:
    """The fallback rule for a text: 'fb_' + 16 hex of HMAC-SHA-256(subkey, text); others: NULL."""
    return "fb_" + hmac.new(subkey, text.encode("utf-8"), hashlib.sha256).hexdigest()[:16]


def load_words(path: str | Path | None) -> Options | None:
    if path is None:
        return None
    try:
        words = json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise PolicyError(f"cannot read word lists {path}: {e}") from e
    if not isinstance(words, dict):
        raise PolicyError(f"word lists {path}: not a JSON object")
    return {k: words[k] for k in WORD_OPTIONS if k in words}


def check_target(
    existing: object | None, source: object, same_server: Callable[[], bool], table: str, replace: bool
) -> None:
    """Stops a job whose target table (of relation id `existing`, None: absent) is its
    source table, or exists and is not to be replaced."""
    if existing is None:
        return
    if existing == source and same_server():
        raise PolicyError(f"the target table {table!r} is the source table")
    if not replace:
        raise PolicyError(f"table {table!r} already exists in the target database (use --replace)")
