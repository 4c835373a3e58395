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

import pytest

import zorva_rs
from test_hostile import SPECS, SUBKEY, same

SECONDS = float(os.environ.get("ZORVA_STRESS_SECONDS", "15"))
PYTHON_THREADS = 6


def column_values(seed, size):
    """Distinct enough to reach the pool (256 or more), with repeats and problems."""
    rng = random.Random(seed)
    out = []
    for i in range(size):
        pick = rng.randrange(9)
        if pick == 0:
            out.append(rng.randrange(-(10**20), 10**20))
        elif pick == 1:
            out.append(f"AB-{rng.randrange(10**8):08d}")
        elif pick == 2:
            out.append(f"user{i}@Example.com")
        elif pick == 3:
            out.append(rng.choice([None, True, b"x", 3.5, Decimal("1.25")]))
        elif pick == 4:
            out.append(rng.uniform(-1e6, 1e6))
        elif pick == 5:
            out.append(out[rng.randrange(len(out))] if out else 7)
        elif pick == 6:
            out.append("x" * rng.randrange(60, 70))  # either side of the 64-byte cache limit
        elif pick == 7:
            out.append(rng.randrange(10**300, 10**301))  # refused by key and fpe
        else:
            out.append(Decimal(rng.randrange(-(10**9), 10**9)).scaleb(-3))
    return out


def same_result(a, b):
    masked_a, problems_a = a
    masked_b, problems_b = b
    return problems_a == problems_b and len(masked_a) == len(masked_b) and all(
        same(x, y) for x, y in zip(masked_a, masked_b))


def same_chunk(a, b):
    rows_a, problems_a = a
    rows_b, problems_b = b
    return problems_a == problems_b and len(rows_a) == len(rows_b) and all(
        len(r) == len(s) and all(x is y or same(x, y) for x, y in zip(r, s)) for r, s in zip(rows_a, rows_b))


@pytest.mark.usefixtures("restore_threads")
def test_threads_calling_everything_at_once_agree_with_one_thread():
    zorva_rs.setThreads(1)
    maskers = [zorva_rs.Masker(SUBKEY, name, options) for name, options in SPECS]
    columns = [column_values(seed, 400) for seed in range(len(SPECS))]
    carried = object()
    rows = [tuple(col[r] for col in columns) + (carried,) for r in range(400)]
    chunk_maskers = maskers + [None]

    # References from fresh Maskers on the calling thread alone.
    fresh = [zorva_rs.Masker(SUBKEY, name, options) for name, options in SPECS]
    ref_columns = [m.maskColumn(col) for m, col in zip(fresh, columns)]
    fresh = [zorva_rs.Masker(SUBKEY, name, options) for name, options in SPECS]
    ref_chunk = zorva_rs.maskChunk(fresh + [None], rows)

    failures = []
    start = threading.Barrier(PYTHON_THREADS)
    deadline = time.monotonic() + SECONDS

    def worker(seed):
        rng = random.Random(seed)
        start.wait()
        calls = 0
        while time.monotonic() < deadline and calls < 10_000 and not failures:
            calls += 1
            action = rng.randrange(10)
            try:
                if action < 4:
                    i = rng.randrange(len(maskers))
                    got = maskers[i].maskColumn(tuple(columns[i]) if action % 2 else columns[i])
                    if not same_result(got, ref_columns[i]):
                        failures.append(f"maskColumn of {SPECS[i][0]} differs")
                elif action < 8:
                    got = zorva_rs.maskChunk(chunk_maskers, rows)
                    if not same_chunk(got, ref_chunk):
                        failures.append("maskChunk differs")
                    if any(r[-1] is not carried for r in got[0]):
                        failures.append("a carried cell was replaced")
                elif action == 8:
                    zorva_rs.setThreads(rng.choice([1, 2, 3, 4]))
                else:
                    i = rng.randrange(len(SPECS))
                    masker = zorva_rs.Masker(SUBKEY, *SPECS[i])
                    if not same_result(masker.maskColumn(columns[i]), ref_columns[i]):
                        failures.append(f"a new {SPECS[i][0]} Masker differs")
            except BaseException as error:  # a panic is a BaseException too
                failures.append(f"{type(error).__name__}: {error}")

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(PYTHON_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 600)
        assert not t.is_alive(), "a masking call never returned"
    assert not failures, failures[:5]


@pytest.mark.usefixtures("restore_threads")
def test_a_cache_filling_up_under_concurrent_readers():
    """Past 65,536 entries the cache stops growing; readers still get the same answers."""
    masker = zorva_rs.Masker(SUBKEY, "key", {})
    values = list(range(10**6, 10**6 + 70_000))
    reference = zorva_rs.Masker(SUBKEY, "key", {}).maskColumn(values)
    failures = []

    def reader(offset):
        for lo in range(offset, 70_000, 7_000):
            part = values[lo:lo + 3_000]
            if masker.maskColumn(part)[0] != reference[0][lo:lo + 3_000]:
                failures.append(lo)

    zorva_rs.setThreads(2)
    threads = [threading.Thread(target=reader, args=(k * 1_000,)) for k in range(4)]
    for t in threads:
        t.start()
    assert masker.maskColumn(values)[0] == reference[0]
    for t in threads:
        t.join()
    assert not failures
    assert masker.maskColumn(values)[0] == reference[0]
