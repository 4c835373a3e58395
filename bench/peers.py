"""What the Python layer would do without the engine, written from the
algorithms so the comparison is like for like: the key strategy's Feistel
permutation in pure Python, the hash strategy with Python's hmac, and Faker
seeded per value for names. Each peer keeps its per-column set-up (HMAC pad
states, round messages) out of the per-value work, as the engine does."""

from __future__ import annotations

import hashlib
import hmac


class KeyPermutation:
    """The key strategy on integers: a 10-round Feistel network over hmac,
    cycle-walked into the band of values with the same digit count."""

    def __init__(self, subkey: bytes) -> None:
        self._base = hmac.new(subkey, digestmod=hashlib.sha256)
        self._rounds: dict[tuple[int, bytes], list[bytes]] = {}
        self.hmacs = 0

    def _roundPrefixes(self, size: int, label: bytes) -> list[bytes]:
        prefixes = self._rounds.get((size, label))
        if prefixes is None:
            head = label + b"|" + size.to_bytes((size.bit_length() + 7) // 8, "big")
            # round byte, block mark, counter 0, the digest separator
            prefixes = [head + bytes((r,)) + b"#\x00\x00\x00\x00\x00" for r in range(10)]
            self._rounds[(size, label)] = prefixes
        return prefixes

    def permute(self, size: int, value: int, label: bytes) -> int:
        if size <= 1:
            return value
        m = size - 1
        w = max(2, m.bit_length())
        h = (w + (w & 1)) // 2
        hb = (h + 7) // 8
        mask = (1 << h) - 1
        prefixes = self._roundPrefixes(size, label)
        base = self._base
        x = value
        while True:
            right = x & mask
            left = x >> h
            for prefix in prefixes:
                mac = base.copy()
                mac.update(prefix + right.to_bytes(hb, "big"))
                f = int.from_bytes(mac.digest()[:hb], "big") & mask
                left, right = right, left ^ f
            self.hmacs += 10
            x = (left << h) | right
            if x <= m:
                return x

    def maskInteger(self, value: int) -> int:
        magnitude = -value if value < 0 else value
        digits = len(str(magnitude))
        hi = 10**digits
        lo = 0 if digits == 1 and value >= 0 else 10 ** (digits - 1)
        label = b"integer" if value >= 0 else b"negative"
        masked = lo + self.permute(hi - lo, magnitude - lo, label)
        return masked if value >= 0 else -masked


class HashPeer:
    """The hash strategy with hmac: the pad states and the empty label's
    0x00 separator absorbed once, copied per value."""

    def __init__(self, subkey: bytes, length: int = 16, prefix: str = "h_") -> None:
        self._base = hmac.new(subkey, b"\x00", hashlib.sha256)
        self._length = length
        self._prefix = prefix

    def mask(self, value: str | int) -> str:
        mac = self._base.copy()
        mac.update(str(value).encode())
        return self._prefix + mac.hexdigest()[: self._length]


class FakerNames:
    """A full name from Faker, reseeded with each value so that the same
    value always gets the same name (the only way Faker is deterministic
    per value)."""

    def __init__(self) -> None:
        from faker import Faker

        self._faker = Faker("en_US")

    def mask(self, value: str) -> str:
        self._faker.seed_instance(value)
        return self._faker.name()
