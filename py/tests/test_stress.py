"""Python threads masking on one shared Masker whose cache fills up.

The storm of threads calling every entry point on shared Maskers while the
pool is replaced runs in scripts/reliability.sh, under ThreadSanitizer.
"""

import threading

import zorva_rs
from conftest import KEY



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
