"""Which engine a run imports, checked before the scripts test it.

    python module_check.py from PATH MODULE...   each MODULE imports from PATH
                                                 (the file itself, or a file
                                                 inside the folder PATH)
    python module_check.py wheel DIR LIB...      the unpacked wheel in DIR, with
                                                 the system's LIBs hidden

`from` guards the suites against testing a stale build or the source tree
instead of the module meant (scripts/test.sh, scripts/reliability.sh). `wheel`
is scripts/wheel.sh's smoke test: run where the system's copies of the
libraries the wheel bundles or links in are hidden, it checks that they are,
imports every module of the wheel from DIR and masks with it.
"""

import ctypes
import importlib
import sys
from pathlib import Path


def imports_from(path: str, names: list[str]) -> None:
    inside = Path(path).is_dir()
    for name in names:
        module = importlib.import_module(name)
        where = module.__file__ or ""
        assert where.startswith(path.rstrip("/") + "/") if inside else where == path, where
        print("testing", where)


def wheel(unpacked: str, hidden: list[str]) -> None:
    sys.path.insert(0, unpacked)
    for lib in hidden:
        try:
            ctypes.CDLL(lib)
        except OSError:
            continue
        raise SystemExit(f"{lib} is still loadable")
    for so in sorted(Path(unpacked).glob("*.abi3.so")):
        module = importlib.import_module(so.name.removesuffix(".abi3.so"))
        assert module.__file__.startswith(unpacked), module.__file__
    import zorva_rs

    masker = zorva_rs.Masker(bytes(32), "fpe", {})
    masked, problems = masker.maskColumn([12345678901234567890123456789012345678, "ab-12"])
    assert not problems and masked[0] != 12345678901234567890123456789012345678, (masked, problems)
    print("imported without the system's", ", ".join(hidden))


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "from":
        imports_from(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) >= 3 and sys.argv[1] == "wheel":
        wheel(sys.argv[2], sys.argv[3:])
    else:
        raise SystemExit(__doc__)
