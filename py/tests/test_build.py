"""The built file: its exported symbols, its allocator and a clean interpreter exit."""

import ctypes
import os
import subprocess
import sys

import pytest
import zorva_arrow
import zorva_rs
from conftest import KEY


@pytest.mark.parametrize("module", [zorva_rs, zorva_arrow], ids=lambda m: m.__name__)
def test_one_stable_abi_file_exporting_only_its_init_function(module):
    name = module.__name__
    assert os.path.basename(module.__file__) == f"{name}.abi3.so"
    assert os.path.dirname(module.__file__) == os.path.dirname(zorva_rs.__file__)  # one wheel
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [f"PyInit_{name}"]
    needed = needed_libraries(module)
    assert needed and not [lib for lib in needed if "mimalloc" in lib]


def needed_libraries(module=zorva_rs):
    dynamic = subprocess.run(["readelf", "-d", module.__file__], capture_output=True, text=True, check=True).stdout
    return [line.split("[")[-1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]


def test_the_process_keeps_the_c_runtime_allocator():
    # Engine memory is allocated during masking; afterwards malloc, free and
    # operator new must still resolve to the C and C++ runtimes' own.
    zorva_rs.maskChunk([zorva_rs.Masker(KEY, "key", {})], [(f"value {i}",) for i in range(1000)])
    default = ctypes.CDLL(None)
    default.dlsym.restype = ctypes.c_void_p
    default.dlsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    engine = ctypes.CDLL(zorva_rs.__file__, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)._handle
    # The wheel links libstdc++ in: the engine's operator new is then a local
    # copy of its own (over the malloc checked here) that nothing outside sees.
    shared_cxx = any(name.startswith("libstdc++") for name in needed_libraries())
    for library, symbols in [
        ("libc.so.6", (b"malloc", b"free", b"calloc", b"realloc")),
        ("libstdc++.so.6", (b"_Znwm", b"_ZdlPv")),
    ]:
        try:
            handle = ctypes.CDLL(library, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)._handle
        except OSError:
            assert library == "libstdc++.so.6" and not shared_cxx, library  # nothing loaded it
            continue
        for symbol in symbols:
            expected = default.dlsym(handle, symbol)
            # libstdc++ may be loaded privately, out of the global scope.
            assert default.dlsym(None, symbol) in (expected, None), symbol
            # What the engine itself binds to, searching its own dependencies.
            bound = expected if library == "libc.so.6" or shared_cxx else None
            assert default.dlsym(engine, symbol) == bound, symbol


JOB = """
masker = zorva_rs.Masker(bytes(range(32)), "key", {})
rows = [(f"name {i}", i) for i in range(200_000)]
masked, problems = zorva_rs.maskChunk([masker, masker], rows)
assert len(masked) == len(rows)
"""


@pytest.mark.parametrize(
    "code",
    [
        "zorva_rs.setThreads(4)\n",
        "zorva_rs.setThreads(4)\nzorva_rs.setThreads(1)\n",
        "zorva_rs.setThreads(3)\n" + JOB,
        "zorva_rs.setThreads(2)\n" + JOB + JOB,  # the freeing threads of the last chunks are still at work at exit
        "zorva_rs.setThreads(2)\n" + JOB + "del masked\n",
        JOB,
    ],
    ids=["pool", "replaced pool", "after a job", "two jobs", "results dropped", "no pool"],
)
def test_the_interpreter_exits_cleanly(code):
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", "import zorva_rs\n" + code], capture_output=True, text=True, timeout=600
    )
    assert (result.returncode, result.stderr) == (0, "")
