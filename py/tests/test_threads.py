"""setThreads, threads and availableCores: the masking pool as Python sees it."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import zorva_rs
from conftest import SANITIZED
from test_hostile import Index

PREFIX = "zorva-mask-"


def mask_threads():
    """{tid: name} of this process's masking threads."""
    found = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                name = comm.read().strip()
        except OSError:  # the thread ended meanwhile
            continue
        if name.startswith(PREFIX):
            found[int(tid)] = name
    return found


def wait_for(predicate):
    """Waits for detached threads to come up or exit; not a timing check."""
    deadline = time.monotonic() + 60
    while not predicate():
        assert time.monotonic() < deadline, "the masking threads did not settle"
        time.sleep(0.01)


def no_pool():
    """Empties the pool and waits until every earlier pool's threads have left."""
    zorva_rs.setThreads(1)
    wait_for(lambda: not mask_threads())


def names(count):
    return sorted(f"{PREFIX}{index}" for index in range(count))


def run(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True
    )


def test_after_import_the_calling_thread_masks_alone():
    result = run(
        """
        import os, zorva_rs
        names = [open(f"/proc/self/task/{t}/comm").read() for t in os.listdir("/proc/self/task")]
        print(zorva_rs.threads(), sum(n.startswith("zorva-mask-") for n in names))
        """
    )
    assert result.stdout.split() == ["1", "0"]


def test_pool_threads_are_named_and_released(restore_threads):
    no_pool()
    zorva_rs.setThreads(4)
    assert zorva_rs.threads() == 4
    wait_for(lambda: sorted(mask_threads().values()) == names(4))
    zorva_rs.setThreads(1)
    assert zorva_rs.threads() == 1
    wait_for(lambda: not mask_threads())


def test_the_same_count_builds_a_fresh_pool(restore_threads):
    no_pool()
    zorva_rs.setThreads(3)
    wait_for(lambda: len(mask_threads()) == 3)
    first = set(mask_threads())
    zorva_rs.setThreads(3)
    assert zorva_rs.threads() == 3
    # The old pool's threads exit on their own; three new ones remain.
    wait_for(lambda: len(mask_threads()) == 3 and not first & set(mask_threads()))
    assert sorted(mask_threads().values()) == names(3)


@pytest.mark.parametrize(("value", "expected"), [(2, 2), (True, 1), (Index(3), 3), (Index(1), 1)])
def test_integers_and_index_objects_are_accepted(value, expected, restore_threads):
    zorva_rs.setThreads(value)
    assert zorva_rs.threads() == expected


@pytest.mark.parametrize(("value", "error"), [
    (-1, OverflowError), (-(2**70), OverflowError), (2**64, OverflowError), (Index(-1), OverflowError),
    (Index(2**64), OverflowError), (1.0, TypeError), ("2", TypeError), (None, TypeError), (Index(2.0), TypeError),
])
def test_bad_counts_name_the_parameter_and_keep_the_pool(value, error, restore_threads):
    zorva_rs.setThreads(2)
    with pytest.raises(error) as caught:
        zorva_rs.setThreads(value)
    assert type(caught.value) is error
    assert caught.value.__notes__ == ["while processing 'threads'"]
    assert zorva_rs.threads() == 2


def test_zero_threads_is_refused_and_keeps_the_pool(restore_threads):
    zorva_rs.setThreads(2)
    with pytest.raises(ValueError) as caught:
        zorva_rs.setThreads(0)
    assert str(caught.value) == "threads must be at least 1"
    assert zorva_rs.threads() == 2


def test_an_error_raised_by_index_passes_through_with_the_note():
    class Broken:
        def __index__(self):
            raise KeyError("mine")

    with pytest.raises(KeyError) as caught:
        zorva_rs.setThreads(Broken())
    assert caught.value.__notes__ == ["while processing 'threads'"]
    assert zorva_rs.threads() == 1


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime needs more address space than the limit leaves")
def test_threads_that_cannot_start_leave_the_pool_alone():
    # Thread stacks cannot be mapped under a tight address-space limit.
    result = run(
        """
        import os, resource, time, zorva_rs

        def masking():
            names = []
            for t in os.listdir("/proc/self/task"):
                try:
                    names.append(open(f"/proc/self/task/{t}/comm").read())
                except OSError:
                    pass
            return sum(n.startswith("zorva-mask-") for n in names)

        zorva_rs.setThreads(2)
        size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
        for count in (5000, 2**64 - 1):
            try:
                zorva_rs.setThreads(count)
            except ValueError as error:
                print(error)
            else:
                print("started", count)
            assert zorva_rs.threads() == 2
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        deadline = time.monotonic() + 60
        while masking() != 2:
            assert time.monotonic() < deadline, masking()
            time.sleep(0.01)
        zorva_rs.setThreads(3)
        print(zorva_rs.threads())
        """
    )
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stdout
    assert lines[0].startswith("could not start 5000 masking threads: ")
    assert lines[1].startswith("could not start 18446744073709551615 masking threads: ")
    assert len(lines[0]) > len("could not start 5000 masking threads: ")
    assert lines[2] == "3"


def test_available_cores_honours_affinity():
    cores = zorva_rs.availableCores()
    assert type(cores) is int
    assert 1 <= cores <= len(os.sched_getaffinity(0))
    result = run(
        """
        import os, zorva_rs
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(zorva_rs.availableCores())
        """
    )
    assert result.stdout.strip() == "1"
