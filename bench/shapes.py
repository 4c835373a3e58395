"""Column shapes that real tables hold, one Masker per column through
maskColumn, as a job masks them: 200,000 distinct values in 10,000-value
calls, one thread, CPU time of the calling thread (the machine is shared).

    python3 bench/shapes.py [--values N] [--call N] [--repeat N] [--only NAME...]

Per shape: ns per value, CPython's own cost of making the output objects
(the same objects built from their text), and for fpe its floor: ten AES
blocks a value (the PRF's shared blocks are kept per shape; twenty where
NUM(B) takes more than 12 bytes) at the interleaved block cost (--aes-ns)
plus the object cost.
"""

from __future__ import annotations

import argparse
import decimal
import gc
import json
import random
import string
import time
from collections.abc import Callable

import zorva_rs

SUBKEY = bytes(range(32))
ALNUM = string.digits + string.ascii_uppercase


def iban(r: random.Random) -> str:
    return "GB" + "".join(r.choice(string.digits) for _ in range(2)) + "".join(r.choice(ALNUM) for _ in range(18))


def iban34(r: random.Random) -> str:
    return "MT" + "".join(r.choice(string.digits) for _ in range(2)) + "".join(r.choice(ALNUM) for _ in range(30))


def ssn(r: random.Random) -> str:
    return f"{r.randrange(10**3):03d}-{r.randrange(10**2):02d}-{r.randrange(10**4):04d}"


def account(r: random.Random) -> str:
    letters = f"{r.choice(string.ascii_uppercase)}{r.choice(string.ascii_uppercase)}"
    return f"{letters}-{r.randrange(10**4):04d}-{r.randrange(10**4):04d}"


def reference(r: random.Random) -> str:
    return f"CUST-{r.randrange(10**8):08d}-{r.choice(string.ascii_uppercase)}"


def uuidHex(r: random.Random) -> str:
    return f"{r.getrandbits(128):032x}"


def smallInt(r: random.Random) -> int:
    return r.randrange(1, 10 ** r.randint(1, 6))


def longInt(r: random.Random) -> int:
    return r.randrange(10**11, 10**12)


def manyDigitsFloat(r: random.Random) -> float:
    return r.uniform(-1e6, 1e6)


def moneyFloat(r: random.Random) -> float:
    return r.randrange(-(10**7), 10**7) / 100


def decimalValue(r: random.Random) -> decimal.Decimal:
    scale = r.choice((0, 2, 4))
    return decimal.Decimal(r.randrange(-(10**9), 10**9)).scaleb(-scale)


# name -> (strategy, options, value maker, AES blocks per value or None)
SHAPES: dict[str, tuple[str, dict[str, object], Callable[[random.Random], object], int | None]] = {
    "fpe iban22": ("fpe", {"charset": "alphanumeric"}, iban, 10),
    "fpe iban34": ("fpe", {"charset": "alphanumeric"}, iban34, 20),
    "fpe uuid32hex": ("fpe", {"charset": "hex"}, uuidHex, 10),
    "fpe 123-45-6789": ("fpe", {"charset": "digits"}, ssn, 10),
    "fpe AC-1234-5678": ("fpe", {"charset": "alphanumeric"}, account, 10),
    "key CUST-00012345-X": ("key", {}, reference, None),
    "key int 1-6 digits": ("key", {}, smallInt, None),
    "key int 12 digits": ("key", {}, longInt, None),
    "number float": ("number", {"decimals": 2}, manyDigitsFloat, None),
    "number float money": ("number", {"decimals": 2}, moneyFloat, None),
    "number Decimal": ("number", {"decimals": 2}, decimalValue, None),
}


def objectCost(outputs: list[object]) -> float:
    """CPU ns per value of building the same output objects from their text."""
    first = outputs[0]
    texts = [str(v) for v in outputs]
    make: Callable[[str], object]
    if isinstance(first, str):
        raw = [t.encode() for t in texts]
        t0 = time.thread_time_ns()
        [b.decode() for b in raw]
        return (time.thread_time_ns() - t0) / len(raw)
    make = decimal.Decimal if isinstance(first, decimal.Decimal) else type(first)
    t0 = time.thread_time_ns()
    [make(t) for t in texts]
    return (time.thread_time_ns() - t0) / len(texts)


def measure(name: str, count: int, call: int, repeat: int) -> dict[str, float | None]:
    strategy, options, maker, aesBlocks = SHAPES[name]
    r = random.Random(name)
    values: list[object] = []
    seen: set[object] = set()
    while len(values) < count:
        v = maker(r)
        if v not in seen:
            seen.add(v)
            values.append(v)
    calls = [values[i : i + call] for i in range(0, count, call)]
    best = float("inf")
    outputs: list[object] = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            masker = zorva_rs.Masker(SUBKEY, strategy, options)  # an empty cache, as at a job's start
            t0 = time.thread_time_ns()
            results = [masker.maskColumn(c) for c in calls]
            best = min(best, (time.thread_time_ns() - t0) / count)
            if any(problems for _, problems in results):
                raise RuntimeError(f"{name}: values not masked natively")
            outputs = [v for masked, _ in results for v in masked]
    finally:
        gc.enable()
    return {"nsPerValue": best, "objectNs": min(objectCost(outputs) for _ in range(repeat)), "aesBlocks": aesBlocks}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--values", type=int, default=200_000)
    parser.add_argument("--call", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--aes-ns", type=float, default=2.5, help="interleaved AES-256 block cost")
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--json", default=None, help="write the results here")
    args = parser.parse_args()
    out: dict[str, dict[str, float | None]] = {}
    print(f"{'shape':24} {'ns/val':>8} {'objects':>8} {'floor':>8} {'ratio':>6}")
    for name in SHAPES:
        if args.only and not any(o in name for o in args.only):
            continue
        m = measure(name, args.values, args.call, args.repeat)
        floor = None if m["aesBlocks"] is None else m["aesBlocks"] * args.aes_ns + m["objectNs"]
        m["floorNs"] = floor
        out[name] = m
        ratio = "-" if floor is None else f"{m['nsPerValue'] / floor:.2f}"
        floorText = "-" if floor is None else f"{floor:.0f}"
        print(f"{name:24} {m['nsPerValue']:8.0f} {m['objectNs']:8.0f} {floorText:>8} {ratio:>6}", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
