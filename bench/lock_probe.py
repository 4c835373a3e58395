"""The lock probe of the Python benches (bench.py, tables.py): how much of a
call runs with the interpreter lock released, and what the machine gives
threads right now.

How one maskColumn call is split: the call releases the interpreter lock
exactly once, around the masking. A probe thread sleeps in short steps and,
each time it wakes, takes the lock and reads the calling thread's CPU clock.
While the caller holds the lock (convert, toPython) the probe cannot run, so
its first reading inside the call is taken at the release and its last one
just before the caller takes the lock back: the caller's CPU time between
them is masking, the rest of the call is lock-held time. One more reading
may fall at each end of the call's timing: when the call returns, the
interpreter hands the lock to the waiting probe before the caller reads its
clocks, after the lock-held build of the results; and one may come at the
call's start, before the lock-held reading of the values. A reading that
stands apart from the rest at either end by more than three usual steps is
such a one, and is left out of the window. The error is one probe step
(100 us) at each end, per call. The probe's own wake-ups slow the call by
several percent, so a call's whole cost is timed in runs without it.
"""

from __future__ import annotations

import hashlib
import itertools
import threading
import time
from collections.abc import Callable


def freeStretch(ticks: list[tuple[int, int]], step: int) -> tuple[int, int]:
    """The wall and caller-CPU nanoseconds of the lock-free window among a
    call's probe readings (wall, caller CPU): from the first reading to the
    last, once a reading at either end that stands apart from the rest by more
    than three usual steps (at least two STEPs) is dropped. The lock is
    released once per call, so such a silence at an end is the caller holding
    it; one inside the window is only the probe waiting for a core."""
    steps = sorted(b[0] - a[0] for a, b in itertools.pairwise(ticks))
    gap = max(3 * steps[len(steps) // 2], 2 * step) if steps else 0
    first, last = 0, len(ticks) - 1
    if last - first >= 1 and ticks[first + 1][0] - ticks[first][0] > gap:
        first += 1
    if last - first >= 1 and ticks[last][0] - ticks[last - 1][0] > gap:
        last -= 1
    if last - first < 1:
        return 0, 0
    return ticks[last][0] - ticks[first][0], ticks[last][1] - ticks[first][1]


class LockProbe:
    """Finds the stretch of a call during which the interpreter lock is free
    (see the module docstring)."""

    STEP = 0.0001

    def __init__(self) -> None:
        self._clock = time.pthread_getcpuclockid(threading.get_ident())
        self._armed = False
        self._ticks: list[tuple[int, int]] = []
        self._stop = False
        self._thread = threading.Thread(target=self._run, name="lock-probe", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        clock, ticks = self._clock, self._ticks
        while not self._stop:
            time.sleep(self.STEP)
            if self._armed:
                ticks.append((time.perf_counter_ns(), time.clock_gettime_ns(clock)))

    def measure(self, call: Callable[[], object]) -> tuple[object, dict[str, float]]:
        """Runs call; returns its result and wall/cpu seconds, total and
        with the lock released, of the calling thread."""
        self._ticks.clear()
        self._armed = True
        wall0, cpu0 = time.perf_counter_ns(), time.thread_time_ns()
        result = call()
        wall1, cpu1 = time.perf_counter_ns(), time.thread_time_ns()
        self._armed = False
        inside = [t for t in self._ticks if wall0 < t[0] < wall1]
        freeWall, freeCpu = freeStretch(inside, int(self.STEP * 1e9))
        return result, {
            "wall": (wall1 - wall0) / 1e9,
            "cpu": (cpu1 - cpu0) / 1e9,
            "freeWall": freeWall / 1e9,
            "freeCpu": freeCpu / 1e9,
        }

    def close(self) -> None:
        self._stop = True
        self._thread.join()


def parallelCapacity(threads: int, seconds: float = 1.0) -> float:
    """CPU seconds per wall second that this machine gives threads threads of
    pure native work right now (sha256 of large buffers, lock released): the
    control that says whether a scaling figure means anything."""
    data = b"x" * 20_000_000

    def work() -> None:
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            hashlib.sha256(data).digest()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    wall0, cpu0 = time.perf_counter(), time.process_time()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return (time.process_time() - cpu0) / (time.perf_counter() - wall0)


def parallelThroughput(threads: int, seconds: float = 1.0) -> float:
    """Work per wall second (sha256 of large buffers, lock released) that
    threads threads get done right now. Two vCPUs that give two threads twice
    the CPU time may still share one physical core's units, and then twice
    the CPU does not do twice the work: the ratio of this at 2 and 1 threads
    is what two threads can gain on compute-bound masking at best."""
    data = b"x" * 20_000_000
    done = [0] * threads

    def work(k: int) -> None:
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            hashlib.sha256(data).digest()
            done[k] += 1

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    wall0 = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return sum(done) / (time.perf_counter() - wall0)
