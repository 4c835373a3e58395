"""Masking one chunk (an Arrow table) with zorva_arrow, and finishing what it leaves."""

from __future__ import annotations

import time
from collections.abc import Collection, Sequence
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation

import pyarrow as pa
import pyarrow.compute as pc
import zorva_arrow

from .dbpolicy import Rule
from .policy import Options, Policy, PolicyError, RefusedValue, build_maskers, fallback_text, make_maskers

# maskBatch's refusal of a masked value its column's Arrow type cannot hold.
NOT_FITTING = "the masked value does not fit the column's Arrow type"


def _is_decimal(text: str) -> bool:
    try:
        Decimal(text)
    except (InvalidOperation, ValueError):
        return False
    return True


@dataclass
class BatchMasker:
    """Masks chunks of one table with one zorva_arrow.Masker per masked column.

    `decimal_texts`: text columns holding decimals (read as Decimal, written as
    their text). With `widen_ints`, an int column whose masked values outgrow
    its Arrow type is masked again value by value and written as texts, as the
    row job stores ints beyond 64 bits in SQLite; without it they are refused.
    """

    names: list[str]
    maskers: list[zorva_arrow.Masker | None]
    subkeys: list[bytes | None]
    decimal_texts: list[int]
    widen_ints: bool = False
    fallbacks: int = 0
    engine_seconds: float = 0.0
    widened: set[int] = field(default_factory=set)

    @classmethod
    def build(
        cls,
        policy: Policy,
        names: Sequence[str],
        master: bytes,
        words: Options | None,
        decimal_columns: Collection[int] = (),
        widen_ints: bool = False,
    ) -> BatchMasker:
        maskers, subkeys = build_maskers(policy, names, master, words, zorva_arrow.Masker)
        texts = [j for j in sorted(decimal_columns) if maskers[j] is not None]
        return cls(list(names), maskers, subkeys, texts, widen_ints)

    @classmethod
    def for_rules(
        cls,
        table: str,
        names: Sequence[str],
        rules: Sequence[Rule | None],
        master: bytes,
        words: Options | None,
        decimal_columns: Collection[int] = (),
        widen_ints: bool = False,
    ) -> BatchMasker:
        """One Masker per column that has a rule, its subkey drawn from the rule's key domain."""
        columns = [
            (f"{table}.{n}", None if r is None else (r.strategy, r.options, r.domain))
            for n, r in zip(names, rules, strict=True)
        ]
        maskers, subkeys = make_maskers(columns, master, words, zorva_arrow.Masker)
        texts = [j for j in sorted(decimal_columns) if maskers[j] is not None]
        return cls([f"{table}.{n}" for n in names], maskers, subkeys, texts, widen_ints)

    def mask(self, chunk: pa.Table, first_row: int) -> pa.Table:
        """Masks one chunk; `first_row` is its offset, for messages. Raises the first refusal."""
        start = time.perf_counter()
        try:
            masked, problems = zorva_arrow.maskBatch(self.maskers, chunk, decimalTexts=self.decimal_texts)
        except (TypeError, ValueError) as e:
            raise PolicyError(str(e)) from e
        self.engine_seconds += time.perf_counter() - start
        table = pa.table(masked)
        if not problems:
            return table
        widen: set[int] = set()
        refused: list[tuple[int, int, str]] = []
        fallbacks: dict[int, list[int]] = {}
        for c, r, problem in problems:
            if not isinstance(problem, tuple):
                fallbacks.setdefault(c, []).append(r)
            elif (
                self.widen_ints
                and problem[1].startswith(NOT_FITTING)
                and pa.types.is_integer(chunk.schema.field(c).type)
            ):
                widen.add(c)
            else:
                refused.append((c, r, problem[1]))
        if refused:
            # Column by column, each column in row order: the refusal the
            # row job meets first.
            c, r, message = min(refused)
            raise RefusedValue(f"column {self.names[c]!r}, row {first_row + r}: {message}")
        for c, rows in fallbacks.items():
            if c not in widen:
                table = table.set_column(c, table.field(c), self._finish(chunk, table, c, rows))
                self.fallbacks += len(rows)
        for c in sorted(widen):
            table = table.set_column(c, pa.field(table.field(c).name, pa.string()), self._widen(chunk, c, first_row))
            self.widened.add(c)
        return table

    def _finish(self, chunk: pa.Table, table: pa.Table, c: int, rows: list[int]) -> pa.Array:
        """The fallback rule at `rows` of column `c`: texts get their keyed hash, the rest NULL."""
        subkey = self.subkeys[c]
        assert subkey is not None
        column = table.column(c).combine_chunks()
        if not pa.types.is_string(column.type) and not pa.types.is_large_string(column.type):
            return column  # maskBatch left NULL there already
        source = chunk.column(c).take(pa.array(rows, pa.int64())).to_pylist()
        decimals = c in self.decimal_texts
        patch = [
            fallback_text(subkey, v) if isinstance(v, str) and not (decimals and _is_decimal(v)) else None
            for v in source
        ]
        where = [False] * len(column)
        for r in rows:
            where[r] = True
        return pc.replace_with_mask(column, pa.array(where, pa.bool_()), pa.array(patch, column.type))

    def _widen(self, chunk: pa.Table, c: int, first_row: int) -> pa.Array:
        """Column `c` masked value by value, every int written as its text."""
        masker = self.maskers[c]
        assert masker is not None
        values, problems = masker.maskColumn(chunk.column(c).to_pylist())
        for r, problem in sorted(problems.items()):
            if isinstance(problem, tuple):
                raise RefusedValue(f"column {self.names[c]!r}, row {first_row + r}: {problem[1]}")
            values[r] = None  # an int column's fallbacks are NULL
            self.fallbacks += 1
        return pa.array([v if v is None or isinstance(v, str) else str(v) for v in values], pa.string())
