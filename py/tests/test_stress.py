"""Many Python threads masking on shared Maskers while the pool is replaced.

Every answer is compared with a reference computed on one thread before the
storm: caches, the pool and the freeing threads may change how work is done,
never what it answers.
"""

import os
import random
import threading
import time
from decimal import Decimal

import zorva_rs
from conftest import KEY
from test_hostile import SPECS, same

SECONDS = float(os.environ.get("ZORVA_STRESS_SECONDS", "15"))


def column_values(seed):
    """Distinct enough to reach the pool (256 or more), with repeats and problems."""
    rng = random.Random(seed)
    out = [7]
    for i in range(399):
        out.append(rng.choice([
            rng.randrange(-(10**20), 10**20), f"AB-{rng.randrange(10**8):08d}", f"user{i}@Example.com",
            rng.choice([None, True, b"x", 3.5, Decimal("1.25")]), rng.uniform(-1e6, 1e6), rng.choice(out),
            "x" * rng.randrange(60, 70),  # either side of the 64-byte cache limit
            rng.randrange(10**300, 10**301),  # refused by key and fpe
            Decimal(rng.randrange(-(10**9), 10**9)).scaleb(-3)]))
    return out


def agree(a, b):
    """maskColumn results, or maskChunk's with rows compared cell by cell."""
    return a[1] == b[1] and len(a[0]) == len(b[0]) and all(same(x, y) or type(x) is tuple and len(x) == len(y) and all(
        u is v or same(u, v) for u, v in zip(x, y)) for x, y in zip(a[0], b[0]))


def test_threads_calling_everything_at_once_agree_with_one_thread(restore_threads):
    maskers = [zorva_rs.Masker(KEY, *spec) for spec in SPECS] + [None]
    columns = [column_values(seed) for seed in range(len(SPECS))]
    carried = object()
    rows = [tuple(col[r] for col in columns) + (carried,) for r in range(400)]
    # References from fresh Maskers on the calling thread alone.
    ref_columns = [zorva_rs.Masker(KEY, *spec).maskColumn(col) for spec, col in zip(SPECS, columns)]
    ref_chunk = zorva_rs.maskChunk([zorva_rs.Masker(KEY, *spec) for spec in SPECS] + [None], rows)
    failures, start, deadline = [], threading.Barrier(6), time.monotonic() + SECONDS

    def worker(seed):
        rng = random.Random(seed)
        start.wait()
        while time.monotonic() < deadline and not failures:
            action, i = rng.randrange(10), rng.randrange(len(SPECS))
            try:
                if action < 4:
                    got, want = maskers[i].maskColumn(tuple(columns[i]) if action % 2 else columns[i]), ref_columns[i]
                elif action < 8:
                    got, want = zorva_rs.maskChunk(maskers, rows), ref_chunk
                    assert all(r[-1] is carried for r in got[0]), "a carried cell was replaced"
                elif action == 8:
                    got = want = zorva_rs.setThreads(rng.choice([1, 2, 3, 4]))
                else:
                    got, want = zorva_rs.Masker(KEY, *SPECS[i]).maskColumn(columns[i]), ref_columns[i]
                assert got is want or agree(got, want), f"action {action} on {SPECS[i][0]} differs"
            except BaseException as error:  # a panic is a BaseException too
                failures.append(f"{type(error).__name__}: {error}")

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 600)
        assert not t.is_alive(), "a masking call never returned"
    assert not failures, failures[:5]


def test_a_cache_filling_up_under_concurrent_readers(restore_threads):
    """Past 65,536 entries the cache stops growing; readers still get the same answers."""
    masker = zorva_rs.Masker(KEY, "key", {})
    values = list(range(10**6, 10**6 + 70_000))
    reference = zorva_rs.Masker(KEY, "key", {}).maskColumn(values)[0]
    failures = []

    def reader(offset):
        for lo in range(offset, 70_000, 7_000):
            if masker.maskColumn(values[lo:lo + 3_000])[0] != reference[lo:lo + 3_000]:
                failures.append(lo)

    zorva_rs.setThreads(2)
    threads = [threading.Thread(target=reader, args=(k * 1_000,)) for k in range(4)]
    for t in threads:
        t.start()
    assert masker.maskColumn(values)[0] == reference
    for t in threads:
        t.join()
    assert not failures and masker.maskColumn(values)[0] == reference
