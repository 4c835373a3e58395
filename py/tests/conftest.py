"""Fixtures and values shared by the tests of the extension module."""

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


@pytest.fixture
def restore_threads():
    """Puts the calling thread alone back in charge after a test that changes the pool."""
    yield
    zorva_rs.setThreads(1)
