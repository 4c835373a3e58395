"""Nothing stays behind: memory, references and threads come back after work."""

import gc
import os
import sys
import weakref
from decimal import Decimal

import pytest
import zorva_rs
from conftest import KEY, SANITIZED, WORDS, settle
from test_hostile import CONFIGS, Hostile, ReprRaisesFloat

MIB = 1 << 20


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def tasks():
    return len(os.listdir("/proc/self/task"))


def workload(i):
    """About a megabyte of engine texts and integers per round, new values every round."""
    texts, ints = [f"{i:06d}-{j:05d}-" + "z" * 40 for j in range(2_000)], [i * 10**12 + j for j in range(2_000)]
    maskers = [zorva_rs.Masker(KEY, name, options) for name, options in CONFIGS]
    zorva_rs.maskChunk([maskers[0], maskers[2], maskers[5], None], [(t, n, n + 0.25, t) for t, n in zip(texts, ints)])
    maskers[8].maskColumn(texts)
    maskers[10].maskColumn(ints)
    maskers[-1].maskColumn(texts[:300])


@pytest.mark.skipif(SANITIZED, reason="quarantined memory; LSan covers leaks in sanitizer runs")
def test_resident_memory_stays_flat(restore_threads):
    zorva_rs.setThreads(2)
    for i in range(15):
        workload(i)
    gc.collect()
    before = resident()
    for i in range(15, 115):
        workload(i)
    gc.collect()
    # A leak of each round's values would add well over the margin here.
    assert settle(lambda: resident() - before < 64 * MIB, seconds=10)


@pytest.mark.usefixtures("restore_threads")
@pytest.mark.parametrize("threads", [1, 2])
def test_references_to_callers_objects_come_back(threads):
    zorva_rs.setThreads(threads)
    number, key = zorva_rs.Masker(KEY, "number", {}), zorva_rs.Masker(KEY, "key", {})
    cells = [object(), "".join(["te", "xt"]), 10**40 + threads, 2.5, Decimal("1.5"), None, b"raw"]
    carried = object()
    watched = [c for c in cells if c is not None] + [carried, number, key]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        zorva_rs.maskChunk([number, key, None], [(c, c, carried) for c in cells] * 60)
        number.maskColumn(cells * 60)
        key.maskColumn(iter(cells * 60))
        with pytest.raises(Hostile):
            zorva_rs.maskChunk([number, None], [(c, carried) for c in cells] + [(ReprRaisesFloat(1.0), carried)])
        with pytest.raises(ValueError):
            zorva_rs.maskChunk([number, key, None], [(c, c, carried) for c in cells] + [(1,)])
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def test_maskers_and_their_options_are_freed():
    words = type("Words", (list,), {})(["Ann", "Bo"])
    probe = weakref.ref(words)
    options = {**WORDS, "firstNames": words}
    before = sys.getrefcount(words)
    for _ in range(200):
        masker = zorva_rs.Masker(KEY, "fakeFirstName", options)
        masker.maskColumn(["a", "b"])
    del masker
    assert sys.getrefcount(words) == before
    del options, words
    gc.collect()
    assert probe() is None


def test_freeing_threads_do_not_outlive_their_work(restore_threads):
    zorva_rs.setThreads(2)
    masker = zorva_rs.Masker(KEY, "hash", {})
    zorva_rs.maskChunk([masker], [("warm",)])
    baseline = tasks()
    while settle(lambda: tasks() < baseline, seconds=0.1):  # noqa: B023 (called at once)  # threads of earlier tests are still leaving
        baseline = tasks()
    rows = [(f"value {i}",) for i in range(3_000)]
    for _ in range(200):
        zorva_rs.maskChunk([masker], rows)
    assert settle(lambda: tasks() <= baseline), f"{tasks()} threads, {baseline} before"
