"""Reading, masking and writing side by side, with bounded queues between the stages."""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Generic, TypeVar

from .policy import RefusedValue

In = TypeVar("In")
Out = TypeVar("Out")


class _Stopped(Exception):
    """Another stage failed: this one leaves quietly."""


class _End:
    """No more chunks."""


_END = _End()


@dataclass
class StageTimes:
    """Seconds each stage spent in its own work (not waiting on a queue), and the CPU
    seconds of the stage's own thread in it (the masking pool's threads not included)."""

    read: float = 0.0
    mask: float = 0.0
    write: float = 0.0
    read_cpu: float = 0.0
    mask_cpu: float = 0.0
    write_cpu: float = 0.0
    process_cpu: float = 0.0  # the whole process over the job


@dataclass
class Bounded(Generic[In]):
    """A queue whose put and get give up once `stop` is set."""

    size: int
    items: queue.Queue[In | _End] = field(init=False)

    def __post_init__(self) -> None:
        self.items = queue.Queue(maxsize=self.size)

    def put(self, item: In | _End, stop: threading.Event) -> None:
        while not stop.is_set():
            try:
                return self.items.put(item, timeout=0.05)
            except queue.Full:
                pass
        raise _Stopped

    def get(self, stop: threading.Event) -> In | _End:
        while not stop.is_set():
            try:
                return self.items.get(timeout=0.05)
            except queue.Empty:
                pass
        raise _Stopped


def run_stages(
    chunks: Iterator[In],
    mask: Callable[[In], Out],
    write: Callable[[Out], int],
    *,
    overlap: bool = True,
    depth: int = 2,
    times: StageTimes | None = None,
    written: Callable[[int], object] = lambda n: None,
) -> None:
    """Reads `chunks`, masks each with `mask` and stores it with `write` (one transaction,
    answering its rows); `written(rows)` follows every stored chunk.

    With `overlap`, a reader thread drains `chunks` and a writer thread calls
    `write` while `mask` runs on this thread; queues of `depth` chunks between
    the stages bound the memory. Chunks keep their order, so the target is the
    same with or without overlap.

    A refused value lets the writer finish the chunks before it, then raises:
    its own chunk is never written. Any other error stops every stage at its
    next chunk and is raised as it was; the chunk being written rolls back.
    """
    times = times or StageTimes()

    def timed_next() -> In | _End:
        start, cpu = time.perf_counter(), time.thread_time()
        try:
            return next(chunks)
        except StopIteration:
            return _END
        finally:
            times.read += time.perf_counter() - start
            times.read_cpu += time.thread_time() - cpu

    def timed_mask(item: In) -> Out:
        start, cpu = time.perf_counter(), time.thread_time()
        try:
            return mask(item)
        finally:
            times.mask += time.perf_counter() - start
            times.mask_cpu += time.thread_time() - cpu

    def timed_write(item: Out) -> None:
        start, cpu = time.perf_counter(), time.thread_time()
        rows = write(item)
        times.write += time.perf_counter() - start
        times.write_cpu += time.thread_time() - cpu
        written(rows)

    close: Callable[[], object] = getattr(chunks, "close", lambda: None)
    if not overlap:
        try:
            while not isinstance(item := timed_next(), _End):
                timed_write(timed_mask(item))
        finally:
            close()
        return

    failed = threading.Event()  # every stage stops
    no_more = threading.Event()  # the reader stops; the writer drains its queue
    errors: list[BaseException] = []
    to_mask: Bounded[In] = Bounded(depth)
    to_write: Bounded[Out] = Bounded(depth)

    def fail(e: BaseException) -> None:
        errors.append(e)
        failed.set()
        no_more.set()

    def read() -> None:
        try:
            while not isinstance(item := timed_next(), _End):
                to_mask.put(item, no_more)
            to_mask.put(_END, no_more)
        except _Stopped:
            pass
        except BaseException as e:
            fail(e)
        finally:
            close()  # on the thread that used it

    def store() -> None:
        try:
            while not isinstance(item := to_write.get(failed), _End):
                timed_write(item)
        except _Stopped:
            pass
        except BaseException as e:
            fail(e)

    threads = [
        threading.Thread(target=read, name="zorva-read", daemon=True),
        threading.Thread(target=store, name="zorva-write", daemon=True),
    ]
    for t in threads:
        t.start()
    refusal: RefusedValue | None = None
    try:
        try:
            while not isinstance(item := to_mask.get(failed), _End):
                to_write.put(timed_mask(item), failed)
        except RefusedValue as e:
            refusal = e
            no_more.set()
        to_write.put(_END, failed)  # the writer finishes what it was given
    except _Stopped:
        pass
    except BaseException:
        failed.set()
        raise
    finally:
        no_more.set()
        for t in threads:
            t.join()
    if errors:
        raise errors[0]
    if refusal is not None:
        raise refusal
