"""Nothing stays behind: memory, references and threads come back after work."""

import gc
import os
import sys
import time
from decimal import Decimal

import pytest

import zorva_rs
from conftest import SANITIZED
from test_hostile import SPECS, SUBKEY, Hostile, ReprRaisesFloat

PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def task_count():
    return len(os.listdir("/proc/self/task"))


def wait_until(predicate, seconds=60):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def workload(i):
    """About a megabyte of engine texts and integers per round, new values every round."""
    texts = [f"{i:06d}-{j:05d}-" + "z" * 40 for j in range(2_000)]
    ints = [i * 10**12 + j for j in range(2_000)]
    floats = [j + 0.25 for j in range(2_000)]
    maskers = [zorva_rs.Masker(SUBKEY, name, options) for name, options in SPECS]
    rows = [(t, n, f, t) for t, n, f in zip(texts, ints, floats)]
    zorva_rs.maskChunk([maskers[0], maskers[2], maskers[5], None], rows)
    maskers[8].maskColumn(texts)
    maskers[10].maskColumn(ints)
    maskers[-1].maskColumn(texts[:300])


@pytest.mark.skipif(SANITIZED, reason="quarantined memory; LSan covers leaks in sanitizer runs")
@pytest.mark.usefixtures("restore_threads")
@pytest.mark.parametrize("threads", [2])
def test_resident_memory_stays_flat(threads):
    zorva_rs.setThreads(threads)
    for i in range(15):
        workload(i)
    gc.collect()
    before = resident()
    for i in range(15, 115):
        workload(i)
    gc.collect()
    wait_until(lambda: resident() - before < 64 * MIB, seconds=10)
    # A leak of each round's values would add well over the margin here.
    assert resident() - before < 64 * MIB


@pytest.mark.usefixtures("restore_threads")
@pytest.mark.parametrize("threads", [1, 2])
def test_references_to_callers_objects_come_back(threads):
    zorva_rs.setThreads(threads)
    masker = zorva_rs.Masker(SUBKEY, "number", {})
    key = zorva_rs.Masker(SUBKEY, "key", {})
    cells = [object(), "".join(["te", "xt"]), 10**40 + threads, 2.5, Decimal("1.5"), None, b"raw"]
    carried = object()
    watched = [c for c in cells if c is not None] + [carried, masker, key]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        zorva_rs.maskChunk([masker, key, None], [(c, c, carried) for c in cells] * 60)
        masker.maskColumn(cells * 60)
        key.maskColumn(iter(cells * 60))
        with pytest.raises(Hostile):
            zorva_rs.maskChunk([masker, None], [(c, carried) for c in cells] + [(ReprRaisesFloat(1.0), carried)])
        with pytest.raises(ValueError):
            zorva_rs.maskChunk([masker, key, None], [(c, c, carried) for c in cells] + [(1,)])
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def test_maskers_and_their_options_are_freed():
    import weakref

    class Words(list):
        pass

    words = Words(["Ann", "Bo"])
    probe = weakref.ref(words)
    options = {"firstNames": words, "lastNames": ["x"], "cities": ["x"], "streets": ["x"], "streetKinds": ["x"],
               "companySuffixes": ["x"], "companyWords": ["x"]}
    before = sys.getrefcount(words)
    for _ in range(200):
        masker = zorva_rs.Masker(SUBKEY, "fakeFirstName", options)
        masker.maskColumn(["a", "b"])
    del masker
    assert sys.getrefcount(words) == before
    del options, words
    gc.collect()
    assert probe() is None


@pytest.mark.usefixtures("restore_threads")
def test_freeing_threads_do_not_outlive_their_work():
    zorva_rs.setThreads(2)
    masker = zorva_rs.Masker(SUBKEY, "hash", {})
    zorva_rs.maskChunk([masker], [("warm",)])
    # Let threads of earlier tests (old pools, freeing threads) finish first.
    baseline = task_count()
    for _ in range(300):
        time.sleep(0.1)
        if task_count() >= baseline:
            break
        baseline = task_count()
    rows = [(f"value {i}",) for i in range(3_000)]
    for _ in range(200):
        zorva_rs.maskChunk([masker], rows)
    assert wait_until(lambda: task_count() <= baseline), f"{task_count()} threads, {baseline} before"
