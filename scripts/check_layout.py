#!/usr/bin/env python3
"""Prints the folders with their file and line counts and the include arrows
between them, and fails where the layout is broken:

- an arrow that runs up: the core includes the pool or the doors, the pool
  includes a door, the doors' shared base includes a door, one door includes
  the other, the Arrow C Data code (no Python) includes the CPython layer, or
  anything in py/ reaches into the job (job/) or the examples;
- an include of another folder's private header (a folder's internal/);
- Python.h outside the CPython layer (py/shared, py/rows, py/arrow);
- a compile target or a CPU feature test spelled outside core/src/cpu, where
  each road's target sits beside its runtime check;
- a folder with more than MAX_FILES files, or a folder README that leaves out
  one of the folder's files;
- a quoted include that names no file of the repository.

    scripts/check_layout.py          the report, and the exit status
    scripts/check_layout.py --quiet  only the problems
"""

import re
import subprocess
import sys
from collections import Counter, defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Where a quoted include is looked up after the including file's own folder,
# as the build's include directories give them.
INCLUDE_ROOTS = ["core/src", "pool/src", "py", "core/tests"]
MAX_FILES = 22
CODE = (".cpp", ".h", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)
# A target attribute, or the feature tests that must agree with it.
CPU_SPELLINGS = re.compile(r'target\s*\(\s*"|__builtin_cpu_supports|\bcpuFeatures\s*\(')
CPU_ROOM = "core/src/cpu"
PYTHON_LAYER = ("py/shared", "py/rows", "py/arrow")
C_DATA = "py/arrow/c_data"

# (from, to, why): a file under the first prefix may not include one under
# the second. The first match of a file's own folder decides, so the c_data
# rule comes before the door's own.
UPWARD = [
    ("core/", "pool/", "the core includes the pool"),
    ("core/", "py/", "the core includes a door"),
    ("pool/", "py/", "the pool includes a door"),
    ("py/shared/", "py/rows/", "the shared base includes the row door"),
    ("py/shared/", "py/arrow/", "the shared base includes the columnar door"),
    (C_DATA + "/", "py/shared/", "the Arrow C Data code includes the CPython layer"),
    (C_DATA + "/", "py/rows/", "the Arrow C Data code includes a door"),
    ("py/rows/", "py/arrow/", "the row door includes the columnar door"),
]


def tracked():
    out = subprocess.check_output(["git", "ls-files"], cwd=ROOT, text=True)
    return [p for p in out.split("\n") if p and "/fuzz/corpus/" not in p and not p.startswith("bench/results/")]


def room(path):
    """The folder a file belongs to: its directory, a private internal/ folded into its owner."""
    parts = Path(path).parent.parts
    if "internal" in parts:
        parts = parts[: parts.index("internal")]
    return "/".join(parts) or "."


def private_owner(path):
    """The folder whose private header this is, or None for a public one."""
    parts = Path(path).parts
    return "/".join(parts[: parts.index("internal")]) if "internal" in parts[:-1] else None


def resolve(including, name, files):
    for base in [str(Path(including).parent), *INCLUDE_ROOTS]:
        candidate = str(Path(base) / name)
        if candidate in files:
            return candidate
    return None


def main():
    quiet = "--quiet" in sys.argv[1:]
    files = tracked()
    fileset = set(files)
    problems = []
    arrows = Counter()
    lines = Counter()
    counts = Counter()
    code = [f for f in files if f.endswith(CODE)]
    for f in code:
        text = (ROOT / f).read_text()
        lines[room(f)] += sum(1 for line in text.split("\n") if line.strip())
        for kind, name in INCLUDE.findall(text):
            if kind == "<":
                if name == "Python.h" and not (f.startswith(PYTHON_LAYER) and not f.startswith(C_DATA)):
                    problems.append(f"{f}: includes Python.h outside the CPython layer")
                continue
            target = resolve(f, name, fileset)
            if target is None:
                problems.append(f'{f}: "{name}" names no file of the repository')
                continue
            if room(target) != room(f):
                arrows[(room(f), room(target))] += 1
            owner = private_owner(target)
            if owner is not None and not (f + "/").startswith(owner + "/"):
                problems.append(f"{f}: includes {target}, private to {owner}")
            for source, dest, why in UPWARD:
                if f.startswith(source) and target.startswith(dest):
                    problems.append(f"{f} -> {target}: {why}")
            if f.startswith("py/arrow/") and not f.startswith(C_DATA) and target.startswith("py/rows/"):
                problems.append(f"{f} -> {target}: the columnar door includes the row door")
        if not f.startswith(CPU_ROOM + "/"):
            for number, line in enumerate(text.split("\n"), 1):
                if CPU_SPELLINGS.search(line):
                    problems.append(f"{f}:{number}: a compile target or CPU check outside {CPU_ROOM}: {line.strip()}")
    for f in files:
        if f.startswith("py/") and f.endswith(".py"):
            text = (ROOT / f).read_text()
            if re.search(r"^\s*(from|import)\s+zorva_job\b|examples/|job/src/", text, re.M):
                problems.append(f"{f}: a door's file reaches into the job (job/) or the examples")

    members = defaultdict(list)
    for f in files:
        members[str(Path(f).parent)].append(Path(f).name)
    for folder, names in sorted(members.items()):
        own = [n for n in names if n not in ("README.md", "CMakeLists.txt")]
        counts[room(folder + "/x")] += len(own)
        if len(own) > MAX_FILES:
            problems.append(f"{folder}: {len(own)} files, more than {MAX_FILES}")
        if "README.md" in names and folder != ".":
            readme = (ROOT / folder / "README.md").read_text()
            listed = own + [f"internal/{n}" for n in members.get(folder + "/internal", [])]
            for name in listed:
                if name not in readme:
                    problems.append(f"{folder}/README.md: does not list {name}")

    if not quiet:
        print("folders (files, their internal/ included; non-blank C++ lines):")
        for folder in sorted(lines):
            print(f"  {folder:30} {counts[folder]:3} files {lines[folder]:6} lines")
        print("include arrows (from -> to: includes):")
        for (source, dest), n in sorted(arrows.items()):
            print(f"  {source:30} -> {dest:30} {n:3}")
    if problems:
        print("check_layout.py: the layout is broken:", file=sys.stderr)
        for problem in problems:
            print(f"  {problem}", file=sys.stderr)
        return 1
    rooms = len({room(f) for f in code})
    print(f"layout: {len(code)} C++ files in {rooms} folders, every arrow down, no private header crossed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
