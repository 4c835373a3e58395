"""Fixtures shared by the tests of the extension module."""

import pytest

import zorva_rs


@pytest.fixture
def subkey():
    """A column's key material: 32 bytes."""
    return bytes(range(32))


@pytest.fixture
def restore_threads():
    """Puts the calling thread alone back in charge after a test that changes the pool."""
    yield
    zorva_rs.setThreads(1)
