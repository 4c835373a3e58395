"""What the job prints: the check's report of a plan, and a run's tables and rates."""

from __future__ import annotations

from collections.abc import Callable
from typing import TextIO

from .database import DatabaseResult
from .plan import Plan, TablePlan


def check_report(plan: Plan, target_types: Callable[[TablePlan], list[str]]) -> str:
    """Every table in load order with its action, and every column with its masking,
    key domain and target type; a reference names the key it follows (at the end of
    a chain of references). Shows no key and no value."""
    lines = [f"policy fits: {len(plan.tables)} table(s), in load order:"]
    for i, t in enumerate(plan.tables, 1):
        lines.append(f"{i}. {t.name}: {t.action}, {t.table.rows:,} rows")
        types = target_types(t)
        width = max((len(c.name) for c in t.columns), default=0)
        for c, kind in zip(t.columns, types, strict=True):
            if c.rule is None:
                how = "in clear" + (f" (follows {c.via[0]}.{c.via[1]})" if c.via else "")
            else:
                how = f"{c.rule.describe()}, key domain {c.rule.domain!r}"
                if c.via:
                    how += f" (follows {c.via[0]}.{c.via[1]})"
            lines.append(f"   {c.name:<{width}}  {kind or '(no type)'}: {how}")
    return "\n".join(lines)


def job_report(result: DatabaseResult, out: TextIO) -> None:
    width = max((len(t.name) for t in result.tables), default=0)
    for t in result.tables:
        note = " (done by the earlier run)" if t.resumed else f" in {t.seconds:.2f} s"
        extra = f", {t.fallbacks} fallback value(s) finished in Python" if t.fallbacks else ""
        print(f"{t.name:<{width}}  {t.action:<4}  {t.rows:>11,} rows{note}{extra}", file=out)
    for w in result.warnings:
        print(f"warning: {w}", file=out)
    times = result.times
    rows = max(result.rows, 1)
    per_row = 1e6 / rows
    pool = times.process_cpu - times.read_cpu - times.mask_cpu - times.write_cpu
    print(
        f"CPU per row: read {times.read_cpu * per_row:.2f} us, mask {times.mask_cpu * per_row:.2f} us, "
        f"write {times.write_cpu * per_row:.2f} us, masking pool and the rest {pool * per_row:.2f} us "
        f"(process CPU {times.process_cpu:.2f} s over {result.seconds:.2f} s)",
        file=out,
    )
    print(
        f"database: {len(result.tables)} tables, {result.rows:,} rows, {result.rows_per_second:,.0f} rows/s, "
        f"{result.megabytes_per_second:.1f} MB/s; written to {result.target}",
        file=out,
    )
