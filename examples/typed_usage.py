"""A small typed use of the engine, checked with mypy --strict against the stubs."""

from __future__ import annotations

import hashlib
import hmac

import zorva_rs


def subkey(master: bytes, column: str) -> bytes:
    return hmac.new(master, column.encode(), hashlib.sha256).digest()


def finish(value: object, master: bytes) -> object:
    """Masks a value the engine left to Python: a keyed hash of its text."""
    if value is None:
        return None
    return hmac.new(master, repr(value).encode(), hashlib.sha256).hexdigest()[:16]


def mask_rows(master: bytes, rows: list[tuple[object, ...]]) -> list[tuple[object, ...]]:
    maskers: list[zorva_rs.Masker | None] = [
        zorva_rs.Masker(subkey(master, "id"), "key", {}),
        zorva_rs.Masker(subkey(master, "email"), "email", {"keepDomain": True}),
        None,
    ]
    masked, problems = zorva_rs.maskChunk(maskers, rows)
    out = [list(row) for row in masked]
    for column, row, marker in problems:
        if isinstance(marker, str):  # FALLBACK: finish the value in Python
            out[row][column] = finish(rows[row][column], master)
        else:  # (REFUSED, message): raise the refusal
            kind, message = marker
            raise ValueError(f"{kind}: {message}")
    return [tuple(row) for row in out]


def main() -> None:
    master = bytes(32)
    rows: list[tuple[object, ...]] = [(1, "Ann@Example.com", "kept"), (2, 3.5, None)]
    print(mask_rows(master, rows))
    values, problems = zorva_rs.Masker(subkey(master, "code"), "hash", {"length": 8}).maskColumn(["a", "b", 42])
    print(values, sorted(problems))
    kinds = zorva_rs.columnKinds(rows)
    if kinds is not None:
        types, fits = kinds
        print([[t.__name__ for t in column] for column in types], fits)
    zorva_rs.setThreads(min(2, zorva_rs.availableCores()))
    print(zorva_rs.threads())
    zorva_rs.setThreads(1)


if __name__ == "__main__":
    main()
