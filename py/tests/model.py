"""Small, slow, independent models of the keyed layouts, built on hmac and
hashlib, to hold the engine's outputs to on random inputs."""

import hashlib
import hmac


def digest(subkey: bytes, data: bytes, label: bytes) -> bytes:
    return hmac.new(subkey, label + b"\x00" + data, hashlib.sha256).digest()


def expand(subkey: bytes, data: bytes, length: int, label: bytes) -> bytes:
    out = b""
    counter = 0
    while len(out) < length:
        out += digest(subkey, data, label + b"#" + counter.to_bytes(4, "big"))
        counter += 1
    return out[:length]


def below(subkey: bytes, data: bytes, bound: int, label: bytes) -> int:
    size = (bound.bit_length() + 7) // 8 + 32
    return int.from_bytes(expand(subkey, data, size, label), "big") % bound


def mask_hash(subkey: bytes, data: bytes, length: int = 16, prefix: str = "") -> str:
    return prefix + digest(subkey, data, b"").hex()[: min(length, 64)]


def mask_email(subkey, text, length=12, domain="example.test", keep_domain=False):
    """None stands for a decline."""
    if any(ord(c) >= 0x80 for c in text):
        return None
    trimmed = text.strip(" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f")
    local = mask_hash(subkey, trimmed.lower().encode(), length, "u")
    if keep_domain and "@" in trimmed:
        domain = trimmed.rsplit("@", 1)[1]
    return f"{local}@{domain}"


def mask_digit_run(subkey, digits: str, lead: int = 0, trail: int = 0):
    n = len(digits)
    if 0 < n <= lead + trail:
        return None
    stream = expand(subkey, digits.encode(), 2 * n + 32, b"")
    drawn = [b % 10 for b in stream if b <= 249]
    if not drawn:
        return None
    return "".join(
        digits[i] if i < lead or i >= n - trail else str(drawn[i % len(drawn)])
        for i in range(n)
    )


def mask_digits_text(subkey, text: str, lead: int = 0, trail: int = 0):
    if any(ord(c) >= 0x80 for c in text):
        return None
    run = "".join(c for c in text if c.isdigit())
    if not run:
        return text
    masked = mask_digit_run(subkey, run, lead, trail)
    if masked is None:
        return None
    it = iter(masked)
    return "".join(next(it) if c.isdigit() else c for c in text)


def mask_digits_int(subkey, value: int, lead: int = 0, trail: int = 0):
    run = str(abs(value))
    masked = mask_digit_run(subkey, run, lead, trail)
    if masked is None:
        return None
    if len(masked) >= 2 and masked[0] == "0":
        masked = str(1 + below(subkey, run.encode(), 9, b"lead")) + masked[1:]
    return -int(masked) if value < 0 else int(masked)


def pick(subkey, words, data: bytes, label: bytes):
    return words[below(subkey, data, len(words), label)]


def mask_fake(subkey, kind: str, lists: dict, data: bytes, max_length=None):
    if kind == "fakeFirstName":
        out = pick(subkey, lists["firstNames"], data, b"first")
    elif kind == "fakeLastName":
        out = pick(subkey, lists["lastNames"], data, b"last")
    elif kind == "fakeName":
        out = (pick(subkey, lists["firstNames"], data, b"first") + " "
               + pick(subkey, lists["lastNames"], data, b"last"))
    elif kind == "fakeCity":
        out = pick(subkey, lists["cities"], data, b"city")
    elif kind == "fakeCompany":
        out = (pick(subkey, lists["companyWords"], data, b"company") + " "
               + pick(subkey, lists["companySuffixes"], data, b"suffix"))
    else:
        number = str(below(subkey, data, 9999, b"number") + 1)
        street = pick(subkey, lists["streets"], data, b"street")
        kind_word = pick(subkey, lists["streetKinds"], data, b"suffix")
        out = (lists.get("address", "")
               .replace("{number}", number)
               .replace("{street}", street)
               .replace("{kind}", kind_word))
    return out if max_length is None else out[:max_length]
