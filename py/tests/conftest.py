"""Fixtures shared by the tests of the extension module."""

import pytest

import zorva_rs


def _sanitized():
    with open("/proc/self/maps") as maps:
        text = maps.read()
    return "libasan" in text or "libtsan" in text


# A sanitizer runtime is loaded: it reserves terabytes of address space (no
# address-space limits then) and keeps freed memory in quarantine.
SANITIZED = _sanitized()


@pytest.fixture
def subkey():
    """A column's key material: 32 bytes."""
    return bytes(range(32))


@pytest.fixture
def restore_threads():
    """Puts the calling thread alone back in charge after a test that changes the pool."""
    yield
    zorva_rs.setThreads(1)
