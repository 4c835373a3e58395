#!/usr/bin/env python3
"""Expected results for the exact decimals, computed by Python's decimal module.

Writes number_cases.txt beside this script (read by core/tests/number_test.cpp)
and, with --model, prints masked values of the number strategy computed by a
slow independent model (decimal + hmac) for the test to bake in.

Line formats ('|'-separated; decimals in "{sign}{coefficient}E{exponent}" form):
  add|a|b|result          subtract|a|b|result
  rounded|a|result        compare|a|b|-1/0/1
  quantize|a|target|mode|result or none   (mode 0 half-even, 1 ceiling, 2 floor)
  f64|a|repr of the nearest double        int|a|integer truncated toward zero
"""

import decimal
import hashlib
import hmac
import os
import random
import sys
from decimal import Decimal

CTX = decimal.Context(
    prec=60,
    rounding=decimal.ROUND_HALF_EVEN,
    Emax=decimal.MAX_EMAX,
    Emin=decimal.MIN_EMIN,
    traps=[decimal.InvalidOperation],
)
EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)
MODES = [decimal.ROUND_HALF_EVEN, decimal.ROUND_CEILING, decimal.ROUND_FLOOR]


def text(d):
    sign, digits, exp = d.as_tuple()
    return f"{'-' if sign else ''}{int(''.join(map(str, digits)) or '0')}E{exp:d}"


def coefficient(rng):
    shape = rng.random()
    n = rng.choice([1, 1, 2, 3, 5, 9, 17, 19, 20, 28, 38, 39, 45, 59, 60, 61, 62, 70, 80])
    if shape < 0.12:
        return int("9" * n)
    if shape < 0.22:
        return int("5" + "0" * (n - 1))
    if shape < 0.3:
        return 10 ** (n - 1)
    if shape < 0.38:
        return rng.randrange(0, 10) * 10 ** rng.randrange(0, n)
    if shape < 0.46:
        return int(str(rng.randrange(10 ** (n - 1), 10**n)) + "5" + "0" * rng.randrange(0, 4))
    return rng.randrange(10 ** (n - 1), 10**n)


def number(rng, exponent_center=0):
    spread = rng.choice([3, 10, 40, 80])
    exp = exponent_center + rng.randint(-spread, spread)
    return Decimal((rng.random() < 0.5, tuple(map(int, str(coefficient(rng)))), exp))


def pair(rng):
    a = number(rng)
    far = rng.random()
    if far < 0.15:
        gap = rng.choice([61, 62, 63, 64, 65, 120, 125, 130, 140, 500, 10**6, 10**15])
        b = number(rng, a.as_tuple().exponent - gap)
        return (a, b) if rng.random() < 0.5 else (b, a)
    if far < 0.25:  # equal magnitude, opposite signs: zero results
        return a, Decimal((not a.as_tuple().sign, *a.as_tuple()[1:]))
    return a, number(rng)


def cases(rng):
    out = []
    for _ in range(900):
        a, b = pair(rng)
        out.append(f"add|{text(a)}|{text(b)}|{text(CTX.add(a, b))}")
    for _ in range(500):
        a, b = pair(rng)
        out.append(f"subtract|{text(a)}|{text(b)}|{text(CTX.subtract(a, b))}")
    for _ in range(300):
        a, b = pair(rng)
        out.append(f"compare|{text(a)}|{text(b)}|{int(a.compare(b)):d}")
    for _ in range(300):
        a = Decimal(
            (
                rng.random() < 0.5,
                tuple(map(int, str(coefficient(rng) * 10 ** rng.randrange(0, 30) + rng.randrange(0, 2)))),
                rng.randint(-90, 90),
            )
        )
        out.append(f"rounded|{text(a)}|{text(CTX.create_decimal(a))}")
    for _ in range(700):
        a = number(rng)
        target = a.as_tuple().exponent + rng.choice([-61, -60, -59, -3, -1, 0, 1, 2, 5, 30, 61, 62, 200])
        mode = rng.randrange(3)
        try:
            r = text(a.quantize(Decimal((0, (1,), target)), rounding=MODES[mode], context=CTX))
        except decimal.InvalidOperation:
            r = "none"
        out.append(f"quantize|{text(a)}|{target:d}|{mode:d}|{r}")
    for _ in range(400):
        a = number(rng, rng.choice([-330, -310, -20, 0, 20, 290, 300]))
        out.append(f"f64|{text(a)}|{float(a)!r}")
    for _ in range(200):
        a = number(rng)
        if a.as_tuple().exponent > 60:
            continue
        out.append(f"int|{text(a)}|{int(a):d}")
    return out


# --- slow model of the number strategy ---

SUBKEY = bytes(range(1, 33))


def unit(data, label):
    tag = hmac.new(SUBKEY, label + b"\x00" + data.encode(), hashlib.sha256).digest()
    return int.from_bytes(tag[:8], "big") >> 11


def exact_mul(a, b):
    return EXACT.multiply(a, b)


def target(value, data, bounds, variance):
    f = Decimal((0, tuple(map(int, str(unit(data, b"") * 5**53))), -53))
    if bounds:
        lo, hi = bounds
        return CTX.add(lo, CTX.create_decimal(exact_mul(CTX.subtract(hi, lo), f)))
    a = CTX.create_decimal(exact_mul(Decimal(2), f))
    w = CTX.add(a, Decimal(-1))
    m = CTX.create_decimal(exact_mul(w, variance))
    k = CTX.add(Decimal(1), m)
    return CTX.create_decimal(exact_mul(value, k))


def mask(value, data, e, bounds, variance):
    t = target(value, data, bounds, variance)
    q = t.quantize(Decimal((0, (1,), e)), rounding=decimal.ROUND_HALF_EVEN, context=CTX)
    if bounds:
        lo = bounds[0].quantize(Decimal((0, (1,), e)), rounding=decimal.ROUND_CEILING, context=CTX)
        hi = bounds[1].quantize(Decimal((0, (1,), e)), rounding=decimal.ROUND_FLOOR, context=CTX)
        x = q if lo <= q else lo
        return t, (hi if hi < x else x)
    if q == value and value != 0:
        step = Decimal((0, (1,), e))
        return t, (CTX.add(value, step) if unit(data, b"step") >= 2**52 else CTX.subtract(value, step))
    return t, q


def model():
    v01 = Decimal("0.1")
    rows = [
        # kind, value text, hash data, decimals, bounds, variance
        ("int", "5", "5", None, None, v01),
        ("int", "-123456789", "-123456789", None, None, Decimal("0.5")),
        ("int", "77", "77", None, (Decimal("10"), Decimal("20")), v01),
        ("decimal", "1.50", "1.5", None, None, v01),
        ("decimal", "-0.00321", "-0.00321", 4, None, Decimal("2")),
        ("decimal", "12.345", "12.345", 2, (Decimal("-5.5"), Decimal("1E+3")), v01),
        ("float", "0.1", "0.1", 3, None, v01),
        ("float", "1e+23", "1" + "0" * 23, None, None, v01),
    ]
    for kind, text_, data, decimals, bounds, variance in rows:
        value = Decimal(text_)
        e = -decimals if decimals is not None else (0 if kind == "int" else min(value.as_tuple().exponent, 0))
        t, m = mask(value, data, e, bounds, variance)
        print(
            kind,
            text_,
            "target",
            text(t),
            "masked",
            text(m),
            "float" if kind == "float" else "",
            float(m) if decimals is not None else float(t),
        )


if __name__ == "__main__":
    if "--model" in sys.argv:
        model()
    else:
        rng = random.Random(20240611)
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "number_cases.txt")
        with open(path, "w") as f:
            f.write("# Generated by number_cases.py from Python's decimal module (60 digits, half-even).\n")
            f.write("\n".join(cases(rng)) + "\n")
