"""The built file: its exported symbols, its allocator and a clean interpreter exit."""

import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import zorva_rs

SUBKEY = "bytes(range(32))"


def test_one_stable_abi_file():
    assert os.path.basename(zorva_rs.__file__) == "zorva_rs.abi3.so"


def test_exports_only_the_init_function():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", zorva_rs.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [
        "PyInit_zorva_rs"
    ]


def test_mimalloc_is_not_a_needed_library():
    dynamic = subprocess.run(
        ["readelf", "-d", zorva_rs.__file__], capture_output=True, text=True, check=True
    ).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed
    assert not [line for line in needed if "mimalloc" in line]


def test_the_process_keeps_the_c_runtime_allocator(subkey):
    # Engine memory is allocated during masking; afterwards malloc, free and
    # operator new must still resolve to the C and C++ runtimes' own.
    masker = zorva_rs.Masker(subkey, "key", {})
    zorva_rs.maskChunk([masker], [(f"value {i}",) for i in range(1000)])

    default = ctypes.CDLL(None)
    default.dlsym.restype = ctypes.c_void_p
    default.dlsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p]

    def own(library, symbol):
        handle = ctypes.CDLL(library, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)._handle
        return default.dlsym(handle, symbol)

    engine = ctypes.CDLL(zorva_rs.__file__, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)._handle
    for library, symbols in [
        ("libc.so.6", (b"malloc", b"free", b"calloc", b"realloc")),
        ("libstdc++.so.6", (b"_Znwm", b"_ZdlPv")),
    ]:
        for symbol in symbols:
            expected = own(library, symbol)
            # libstdc++ may be loaded privately, out of the global scope.
            assert default.dlsym(None, symbol) in (expected, None), symbol
            # What the engine itself binds to, searching its own dependencies.
            assert default.dlsym(engine, symbol) == expected, symbol


JOB = f"""
import zorva_rs
masker = zorva_rs.Masker({SUBKEY}, "key", {{}})
rows = [(f"name {{i}}", i) for i in range(200_000)]
masked, problems = zorva_rs.maskChunk([masker, masker], rows)
assert len(masked) == len(rows)
"""


@pytest.mark.parametrize(
    "code",
    [
        "import zorva_rs\nzorva_rs.setThreads(4)\n",
        "import zorva_rs\nzorva_rs.setThreads(4)\nzorva_rs.setThreads(1)\n",
        "import zorva_rs\nzorva_rs.setThreads(3)\n" + JOB,
        # The freeing threads of the last chunks are still at work at exit.
        "import zorva_rs\nzorva_rs.setThreads(2)\n" + JOB + JOB,
        "import zorva_rs\nzorva_rs.setThreads(2)\n" + JOB + "del masked\n",
        JOB,
    ],
    ids=["pool", "replaced pool", "after a job", "two jobs", "results dropped", "no pool"],
)
def test_the_interpreter_exits_cleanly(code):
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert (result.returncode, result.stderr) == (0, "")
