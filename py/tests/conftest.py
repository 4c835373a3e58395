"""Fixtures, values and helpers shared by the tests of the extension module."""

import os
import time

import pytest
import zorva_rs

KEY = bytes(range(32))
# Every fake list, with entries of one to four UTF-8 bytes a character.
WORDS = {
    "firstNames": ["Ann", "Bo", "Émile", "😀界x"],
    "lastNames": ["Smith", "Ødegård", "Ng"],
    "cities": ["Lyon", "Pécs"],
    "streets": ["Main", "Elm", "Mill"],
    "streetKinds": ["Road", "Street"],
    "address": "{number} {street} {kind}",
    "companySuffixes": ["Ltd", "GmbH", "AG"],
    "companyWords": ["Acme", "Globex", "Initech"],
}
FAKES = ["fakeFirstName", "fakeLastName", "fakeName", "fakeCity", "fakeCompany", "fakeStreetAddress"]

with open("/proc/self/maps") as maps:
    # A sanitizer runtime is loaded: it reserves terabytes of address space (no
    # address-space limits then) and keeps freed memory in quarantine.
    SANITIZED = any(name in maps.read() for name in ("libasan", "libtsan"))


def pool_threads():
    """{tid: (name, CPU ticks)} of this process's masking-pool threads."""
    found = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm, open(f"/proc/self/task/{tid}/stat") as stat:
                name, fields = comm.read().strip(), stat.read().rsplit(")", 1)[1].split()
        except OSError:  # the thread ended meanwhile
            continue
        if name.startswith("zorva-mask-"):
            found[tid] = (name, int(fields[11]) + int(fields[12]))
    return found


def settle(predicate, seconds=60):
    """Waits for what happens eventually (detached threads, freed memory); not a timing check."""
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


def pytest_sessionfinish(session, exitstatus):
    """Under a sanitizer, the leak check at exit stops every thread to scan it,
    and a thread that ends meanwhile can crash its tracer ("Tracer caught
    signal 11", seen once in CI). The masking threads of replaced pools end on
    their own, so they are let go before the interpreter exits."""
    if not SANITIZED:
        return
    zorva_rs.setThreads(1)
    try:
        import zorva_arrow
    except ImportError:
        pass
    else:
        zorva_arrow.setThreads(1)
    settle(lambda: not pool_threads(), 30)


@pytest.fixture
def restore_threads():
    """Puts the calling thread alone back in charge after a test that changes the pool."""
    yield
    zorva_rs.setThreads(1)
