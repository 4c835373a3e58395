"""Small, slow, independent models of the keyed layouts, built on hmac and
hashlib, to hold the engine's outputs to on random inputs. None stands for a
value the engine leaves to a fallback."""

import hashlib
import hmac


def digest(subkey, data, label):
    return hmac.new(subkey, label + b"\x00" + data, hashlib.sha256).digest()


def expand(subkey, data, length, label):
    blocks = (digest(subkey, data, label + b"#" + i.to_bytes(4, "big")) for i in range((length + 31) // 32))
    return b"".join(blocks)[:length]


def below(subkey, data, bound, label):
    return int.from_bytes(expand(subkey, data, (bound.bit_length() + 7) // 8 + 32, label), "big") % bound


def mask_hash(subkey, data, length=16, prefix=""):
    return prefix + digest(subkey, data, b"").hex()[: min(length, 64)]


def mask_email(subkey, text, length=12, domain="example.test", keep_domain=False):
    if not isinstance(text, str) or not text.isascii():
        return None
    trimmed = text.strip(" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f")
    if keep_domain and "@" in trimmed:
        domain = trimmed.rsplit("@", 1)[1]
    return f"{mask_hash(subkey, trimmed.lower().encode(), length, 'u')}@{domain}"


def mask_digit_run(subkey, digits, lead=0, trail=0):
    n = len(digits)
    drawn = [b % 10 for b in expand(subkey, digits.encode(), 2 * n + 32, b"") if b <= 249]
    if 0 < n <= lead + trail or not drawn:
        return None
    return "".join(digits[i] if i < lead or i >= n - trail else str(drawn[i % len(drawn)]) for i in range(n))


def mask_digits_text(subkey, text, lead=0, trail=0):
    if not text.isascii():
        return None
    masked = mask_digit_run(subkey, "".join(c for c in text if c.isdigit()), lead, trail)
    if masked is None:
        return None
    it = iter(masked)
    return "".join(next(it) if c.isdigit() else c for c in text)


def mask_digits_int(subkey, value, lead=0, trail=0):
    run = str(abs(value))
    masked = mask_digit_run(subkey, run, lead, trail)
    if masked is None:
        return None
    if len(masked) >= 2 and masked[0] == "0":  # a new lead digit, 1 to 9
        masked = str(1 + below(subkey, run.encode(), 9, b"lead")) + masked[1:]
    return -int(masked) if value < 0 else int(masked)


# The words each fake kind picks, and the label of each pick.
PICKS = {
    "fakeFirstName": [("firstNames", b"first")],
    "fakeLastName": [("lastNames", b"last")],
    "fakeName": [("firstNames", b"first"), ("lastNames", b"last")],
    "fakeCity": [("cities", b"city")],
    "fakeCompany": [("companyWords", b"company"), ("companySuffixes", b"suffix")],
}


def mask_fake(subkey, kind, lists, data, max_length=None):
    def pick(key, label):
        return lists[key][below(subkey, data, len(lists[key]), label)]

    if kind == "fakeStreetAddress":
        number = str(below(subkey, data, 9999, b"number") + 1)
        out = lists.get("address", "").replace("{number}", number).replace("{street}", pick("streets", b"street"))
        out = out.replace("{kind}", pick("streetKinds", b"suffix"))
    else:
        out = " ".join(pick(key, label) for key, label in PICKS[kind])
    return out if max_length is None else out[:max_length]
