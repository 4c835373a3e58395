"""The module as the process sees it: the exported surface, imports and the
masking pool's threads."""

import hashlib
import os
import subprocess
import sys
import textwrap
import tomllib
import types

import pytest
import zorva_rs
from conftest import SANITIZED, pool_threads, settle

NAMES = [
    "__version__",
    "FALLBACK",
    "REFUSED",
    "Masker",
    "maskChunk",
    "columnKinds",
    "availableCores",
    "setThreads",
    "threads",
]


def run(code, *flags):
    """Runs code in a new interpreter that can import the shared helpers."""
    path = os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=True,
        timeout=600,
        env={**os.environ, "PYTHONPATH": path},
    )


def test_names_values_and_order():
    assert zorva_rs.__all__ == NAMES
    assert [name for name in vars(zorva_rs) if name in NAMES] == NAMES
    assert [name for name in dir(zorva_rs) if not name.startswith("_")] == sorted(NAMES[1:])
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "pyproject.toml"), "rb") as project:
        assert zorva_rs.__version__ == tomllib.load(project)["project"]["version"]
    assert (zorva_rs.FALLBACK, zorva_rs.REFUSED, zorva_rs.__doc__) == ("fallback", "refused", "")
    assert isinstance(zorva_rs.Masker, type) and zorva_rs.Masker.__name__ == zorva_rs.Masker.__qualname__ == "Masker"
    functions = [getattr(zorva_rs, name) for name in NAMES[4:]]
    assert (
        all(
            type(f) is types.BuiltinFunctionType and (f.__module__, f.__self__) == ("zorva_rs", zorva_rs)
            for f in functions
        )
        and [f.__name__ for f in functions] == NAMES[4:]
    )
    for callable_ in [getattr(zorva_rs, name) for name in NAMES[3:]] + [zorva_rs.Masker.maskColumn]:
        # The signature line is not repeated in the documentation text; stubtest holds the signatures.
        assert callable_.__doc__ and not callable_.__doc__.startswith(callable_.__name__)


def test_imports():
    # The plain type name shows in the interpreter's own messages; importing
    # must not warn, or callers running with -W error could not import at all.
    run("import zorva_rs as z; assert z.Masker.__module__ == 'zorva_rs', z.Masker.__module__", "-W", "error")
    # Multi-phase init: importing again after dropping the module runs the exec
    # step on a fresh module object, with the calling thread masking alone.
    result = run("""
        import sys, zorva_rs as a
        from conftest import pool_threads
        del sys.modules['zorva_rs']
        import zorva_rs as b
        assert a is not b and b.__all__ == a.__all__, b.__all__
        print(b.threads(), len(pool_threads()))
        """)
    assert result.stdout.split() == ["1", "0"]


@pytest.mark.skipif(SANITIZED, reason="sanitizer builds keep the C runtime's allocator")
@pytest.mark.parametrize("limit", ["address space", "environment"])
def test_masking_whatever_becomes_of_the_allocator_reservation(limit):
    # The engine reserves address space for its allocator at its first
    # allocation. Under an address-space limit too tight for it, or with the
    # environment's own setting, that reservation fails or is skipped, and
    # masking goes on as before.
    result = run(f"""
        import os, resource
        if {limit == "address space"!r}:
            with open("/proc/self/statm") as statm:
                used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            resource.setrlimit(resource.RLIMIT_AS, (used + (512 << 20), resource.RLIM_INFINITY))
        else:
            os.environ["MIMALLOC_RESERVE_OS_MEMORY"] = "0"
        import hashlib, zorva_rs
        masked, _ = zorva_rs.Masker(b"k" * 32, "hash", {{}}).maskColumn([f"n{{i}}" for i in range(300_000)])
        print(hashlib.sha256(repr(masked).encode()).hexdigest())
        """)
    masked, _ = zorva_rs.Masker(b"k" * 32, "hash", {}).maskColumn([f"n{i}" for i in range(300_000)])
    assert result.stdout.strip() == hashlib.sha256(repr(masked).encode()).hexdigest()


@pytest.mark.parametrize(
    ("strategy", "option", "value"),
    [("key", "charset", "digits"), ("hash", "prefix", "h-"), ("email", "mailDomain", "mail.test")],
)
def test_arguments_survive_their_keywords_being_emptied(strategy, option, value):
    # functools.partial hands its own keywords dict to the callable; Python code
    # run while the options are read empties it, dropping the only references
    # to the subkey and the strategy name. Debug memory hooks make a use after
    # free visible.
    run(
        f"""
        import functools, zorva_rs

        class Key(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                call.keywords.clear()
                return str.__eq__(self, other)

        call = functools.partial(zorva_rs.Masker, subkey=bytes(range(32)), strategy="".join({list(strategy)!r}),
                                 options={{Key({option!r}): {value!r}}})
        masker = call()
        assert call.keywords == {{}}
        masked, problems = masker.maskColumn(["ab12", 1234])
        assert len(masked) == 2
        """,
        "-X",
        "dev",
    )


def test_pool_threads_are_named_replaced_and_released(restore_threads):
    zorva_rs.setThreads(1)
    names = [f"zorva-mask-{i}" for i in range(4)]
    assert settle(lambda: not pool_threads())  # every earlier pool's threads have left
    zorva_rs.setThreads(4)
    assert settle(lambda: sorted(name for name, _ in pool_threads().values()) == names)
    first = set(pool_threads())
    # The same count builds a fresh pool: the old pool's threads exit on their own.
    zorva_rs.setThreads(4)
    assert zorva_rs.threads() == 4
    assert settle(lambda: len(pool_threads()) == 4 and not first & set(pool_threads()))
    assert sorted(name for name, _ in pool_threads().values()) == names
    zorva_rs.setThreads(1)
    assert zorva_rs.threads() == 1 and settle(lambda: not pool_threads())


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime needs more address space than the limit leaves")
def test_threads_that_cannot_start_leave_the_pool_alone():
    # Thread stacks cannot be mapped under a tight address-space limit.
    result = run("""
        import os, resource, zorva_rs
        from conftest import pool_threads, settle

        zorva_rs.setThreads(2)
        size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
        for count in (5000, 2**64 - 1):
            try:
                zorva_rs.setThreads(count)
            except ValueError as error:
                print(error)
            assert zorva_rs.threads() == 2
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert settle(lambda: len(pool_threads()) == 2)  # the old pool's, once the half-started ones have left
        zorva_rs.setThreads(3)
        print(zorva_rs.threads())
        """)
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stdout
    assert lines[0].startswith("could not start 5000 masking threads: ") and len(lines[0]) > 38
    assert lines[1].startswith("could not start 18446744073709551615 masking threads: ")
    assert lines[2] == "3"


def test_available_cores_honours_affinity():
    cores = zorva_rs.availableCores()
    assert type(cores) is int and 1 <= cores <= len(os.sched_getaffinity(0))
    result = run("""
        import os, zorva_rs
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(zorva_rs.availableCores())
        """)
    assert result.stdout.strip() == "1"
