"""Concurrent masking drivers, run under ThreadSanitizer by scripts/reliability.sh.

    python tsan_driver.py rows  path/to/zorva_rs.abi3.so
    python tsan_driver.py arrow path/to/zorva_arrow.abi3.so

Each driver has several Python threads mask through shared Maskers while the
pool is replaced under them, and checks every result against one masked alone.
Only the engine is instrumented. The interpreter's lock handoffs go through
pthread calls that TSan intercepts, so the interpreter is seen as synchronised;
an uninstrumented library with its own atomics (libarrow) is not, so pyarrow
runs on the main thread alone: the threads read and write only the engine's
own Arrow exports.
"""

import random
import sys
import threading

KEY = bytes(range(32))
CONFIGS = [("key", {}), ("fpe", {}), ("hash", {}), ("number", {"min": "0", "max": "100"})]


def rows(module) -> str:
    module.setThreads(2)
    shared = [module.Masker(KEY, *config) for config in CONFIGS]
    # Chunks of three blocks: text identifiers, then ints.
    column = [f"id-{i:06d}" for i in range(1200)] + list(range(10**6, 10**6 + 1200))
    reference = [module.Masker(KEY, *config).maskColumn(column) for config in CONFIGS]
    errors = []

    def work(seed):
        rng = random.Random(seed)
        for _ in range(12):
            i = rng.randrange(len(shared))
            if rng.random() < 0.5:
                got = shared[i].maskColumn(column)
            else:
                masked, problems = module.maskChunk([shared[i], shared[i]], [(v, v) for v in column])
                got = ([r[0] for r in masked], {row: m for c, row, m in problems if c == 0})
            if got != reference[i]:
                errors.append(i)
            if rng.random() < 0.1:
                module.setThreads(rng.choice([1, 2, 3]))

    run(work, 4)
    assert not errors, errors
    return "shared Maskers agree across 4 threads"


def arrow(module) -> str:
    import pyarrow as pa

    module.setThreads(2)
    shared = [
        module.Masker(KEY, "key", {}),
        module.Masker(KEY, "hash", {}),
        None,
        module.Masker(KEY, "number", {"min": "0", "max": "100"}),
        module.Masker(KEY, "email", {}),
    ]
    n = 3000
    table = pa.table(
        {
            "id": [f"id-{i:06d}" for i in range(n)],
            "n": list(range(n)),
            "keep": list(range(n)),
            "f": [i / 7 for i in range(n)],
            "e": [f"user{i}@example.org" for i in range(n)],
        }
    )
    table = pa.concat_tables([table.slice(0, 1000), table.slice(1000)])
    # The threads' input: two batches held in the engine's own buffers, every
    # column masked once here so that no buffer or release callback of
    # pyarrow's is reached from a thread.
    source = module.maskBatch(
        [module.Masker(KEY, "key", {}) for _ in range(3)]
        + [module.Masker(KEY, "number", {"min": "0", "max": "1"}), module.Masker(KEY, "hash", {})],
        table,
    )[0]
    reference = pa.table(module.maskBatch(shared, source)[0])
    results = []

    def work(_seed):
        for _ in range(6):
            results.append(module.maskBatch(shared, source)[0])

    # The pool replaced while columns are masked at once on it.
    run(work, 3, during=lambda: [module.setThreads(k) for k in (1, 3, 2) * 4])
    assert len(results) == 18
    assert all(pa.table(masked).equals(reference) for masked in results)
    return "Arrow batches agree across 3 threads"


def run(work, count, during=None):
    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(count)]
    for thread in threads:
        thread.start()
    if during:
        during()
    for thread in threads:
        thread.join()


def main(argv):
    driver, path = argv[1], argv[2]
    import importlib

    module = importlib.import_module("zorva_rs" if driver == "rows" else "zorva_arrow")
    assert module.__file__ == path, module.__file__
    print("tsan driver:", {"rows": rows, "arrow": arrow}[driver](module))


if __name__ == "__main__":
    main(sys.argv)
