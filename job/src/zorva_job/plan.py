"""The policy held against the source's schema: every table and column covered, each
column's masking decided (a reference takes its key's), the tables in load order.

Everything that stops a job here is gathered into one message, so that one
run of `zorva-job check` shows every uncovered table and column at once.
"""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass

from .dbpolicy import DatabasePolicy, Rule, TablePolicy
from .policy import FAKE_STRATEGIES, PolicyError
from .schema import Database, Table

Ref = tuple[str, str]  # (table, column)


@dataclass(frozen=True)
class ColumnPlan:
    name: str
    rule: Rule | None  # None: written in clear
    via: Ref | None = None  # the key whose masking a reference takes


@dataclass
class TablePlan:
    table: Table
    action: str  # mask, copy or skip
    columns: list[ColumnPlan]

    @property
    def name(self) -> str:
        return self.table.name

    @property
    def masked(self) -> bool:
        return self.action == "mask" and any(c.rule is not None for c in self.columns)


@dataclass
class Plan:
    tables: list[TablePlan]  # in load order: a referenced table before those referencing it
    locale: str

    def table(self, name: str) -> TablePlan:
        return next(t for t in self.tables if t.name == name)

    @property
    def needs_words(self) -> bool:
        return any(c.rule is not None and c.rule.strategy in FAKE_STRATEGIES for t in self.tables for c in t.columns)


def _q(ref: Ref) -> str:
    return f"{ref[0]}.{ref[1]}"


class _Resolver:
    def __init__(self, policy: DatabasePolicy, db: Database, tables: Collection[str]) -> None:
        self.policy, self.db, self.tables = policy, db, set(tables)
        self.problems: list[str] = []
        self.edges: dict[Ref, set[Ref]] = {}
        for t, c, rt, rc in db.references():
            if t in self.tables and rt in self.tables and (t, c) != (rt, rc):
                self.edges.setdefault((t, c), set()).add((rt, rc))
        for t in self.tables:
            for c, entry in policy.tables[t].columns.items():
                if entry.references is None:
                    continue
                rt, rc = entry.references
                if rt not in db.tables or rc not in db.tables[rt].names:
                    self.problems.append(f"{t}.{c} references {rt}.{rc}, which is not in the source")
                elif rt not in self.tables:
                    self.problems.append(f"{t}.{c} references {rt}.{rc}, whose table the policy does not cover")
                elif (t, c) != (rt, rc):
                    self.edges.setdefault((t, c), set()).add((rt, rc))

    def roots(self, ref: Ref) -> set[Ref]:
        """The keys at the ends of `ref`'s references (itself if it references nothing)."""
        seen: set[Ref] = set()
        out: set[Ref] = set()
        todo = [ref]
        while todo:
            r = todo.pop()
            if r in seen:
                continue
            seen.add(r)
            nxt = self.edges.get(r, set()) - seen
            if r != ref and not self.edges.get(r):
                out.add(r)
            todo.extend(nxt)
        return out or ({ref} if not self.edges.get(ref) else set())

    def own(self, ref: Ref) -> Rule | str | None:
        """A column's own decision: a Rule, None (clear), or "uncovered"."""
        tp = self.policy.tables[ref[0]]
        if tp.action != "mask":
            return None
        entry = tp.columns.get(ref[1])
        if entry is not None and entry.strategy is not None:
            return Rule(entry.strategy, dict(entry.options), entry.domain or ref[1])
        if ref[1] in tp.keep:
            return None
        return "uncovered"

    def decide(self, tp: TablePolicy, table: Table, name: str) -> ColumnPlan | None:
        ref = (table.name, name)
        if not self.edges.get(ref):
            own = self.own(ref)
            if own == "uncovered":
                self.problems.append(f"column {_q(ref)} is not covered: mask it or list it in keep")
                return None
            return ColumnPlan(name, own if isinstance(own, Rule) else None)
        roots = sorted(self.roots(ref))
        if not roots:
            self.problems.append(f"{_q(ref)} is in a cycle of references with no key at its end")
            return None
        decisions = [(r, self.own(r)) for r in roots]
        if any(self.policy.tables[r[0]].action == "skip" for r, _ in decisions) and tp.action != "skip":
            skipped = next(r for r, _ in decisions if self.policy.tables[r[0]].action == "skip")
            self.problems.append(
                f"{_q(ref)} references {_q(skipped)}, whose table is skipped: its references would not resolve"
            )
            return None
        if any(d == "uncovered" for _, d in decisions):
            return None  # reported on the key itself
        first, rule = decisions[0]
        for other, d in decisions[1:]:
            if d != rule:
                self.problems.append(f"{_q(ref)} references {_q(first)} and {_q(other)}, which are masked differently")
                return None
        key_rule = rule if isinstance(rule, Rule) else None
        entry = tp.columns.get(name)
        if tp.action == "copy" and key_rule is not None:
            self.problems.append(
                f"{_q(ref)} references {_q(first)}, which is masked, but its table is copied: the join would break"
            )
            return None
        if entry is not None and entry.strategy is not None:
            mine = Rule(entry.strategy, dict(entry.options), entry.domain or (key_rule.domain if key_rule else name))
            if key_rule is None:
                self.problems.append(
                    f"{_q(ref)} is masked but references {_q(first)}, which is kept in clear: the join would break"
                )
                return None
            if mine != key_rule:
                self.problems.append(
                    f"{_q(ref)} is masked as {mine.describe()} (domain {mine.domain!r}) but references {_q(first)}, "
                    f"masked as {key_rule.describe()} (domain {key_rule.domain!r}): a reference takes its key's "
                    "masking (leave it out of the policy)"
                )
                return None
        elif name in tp.keep and key_rule is not None:
            self.problems.append(
                f"{_q(ref)} is kept in clear but references {_q(first)}, which is masked: the join would break"
            )
            return None
        return ColumnPlan(name, key_rule, first)


def make_plan(policy: DatabasePolicy, db: Database) -> Plan:
    """The job's plan, or a PolicyError listing every problem found."""
    problems: list[str] = []
    if policy.one_table:
        problems += [f"table {n!r} is not in the source" for n in policy.tables if n not in db.tables]
        names = [n for n in policy.tables if n in db.tables]
    else:
        uncovered = sorted(set(db.tables) - set(policy.tables))
        problems += [f"table {n!r} is not covered: mask, copy or skip it" for n in uncovered]
        problems += [f"policy table {n!r} is not in the source" for n in sorted(set(policy.tables) - set(db.tables))]
        names = [n for n in db.tables if n in policy.tables]
    resolver = _Resolver(policy, db, names)
    plans: list[TablePlan] = []
    for name in names:
        tp, table = policy.tables[name], db.tables[name]
        listed = set(tp.columns) | set(tp.keep)
        missing = sorted(listed - set(table.names))
        problems += [f"policy column {name}.{c} is not in the source" for c in missing]
        columns = [resolver.decide(tp, table, c) for c in table.names]
        plans.append(TablePlan(table, tp.action, [c for c in columns if c is not None]))
    problems = problems + resolver.problems
    if problems:
        raise PolicyError("the policy does not fit the source:\n  " + "\n  ".join(dict.fromkeys(problems)))
    return Plan(load_order(plans, db), policy.locale)


def load_order(plans: list[TablePlan], db: Database) -> list[TablePlan]:
    """Referenced tables before the tables referencing them (cycles broken by name)."""
    by_name = {p.name: p for p in plans}
    deps = {n: {fk.table for fk in db.tables[n].foreign_keys if fk.table in by_name and fk.table != n} for n in by_name}
    order: list[TablePlan] = []
    done: set[str] = set()
    while len(order) < len(by_name):
        ready = sorted(n for n in by_name if n not in done and deps[n] <= done)
        if not ready:  # a cycle: take the first by name
            ready = [min(n for n in by_name if n not in done)]
        for n in ready:
            done.add(n)
            order.append(by_name[n])
    return order
