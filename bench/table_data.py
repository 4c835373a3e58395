"""The tables of the table bench: the README's customers table and two more
of shapes that real tables hold, each with its policy (column -> strategy,
options), built from a seed so that every run and every process sees the
same rows.

Every generator yields rows as tuples in the order of its COLUMNS; a column
whose policy entry is missing is carried through unmasked, as a job does.
"""

from __future__ import annotations

import random
import sys
import tomllib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import sample_data  # noqa: E402 (found through the path set just above)

FAKE = {"fakeFirstName", "fakeLastName", "fakeName", "fakeCity", "fakeCompany", "fakeStreetAddress"}

# Names as they come in international tables: accents, other scripts, apostrophes.
INTL_FIRST = [
    "José",
    "Zoë",
    "Søren",
    "Chloé",
    "Łukasz",
    "Renée",
    "Ngozi",
    "Siobhán",
    "Björn",
    "Ana",
    "Jürgen",
    "Małgorzata",
    "Dmitrij",
    "Aoife",
    "Çağla",
    "Héloïse",
    "Nuño",
    "Øyvind",
    "Zsófia",
    "Mihai",
    "Yusuf",
    "Priya",
    "Wei",
    "Hiroshi",
    "Fatima",
    "Olusegun",
    "Ingrid",
    "Matteo",
    "Elif",
    "Kwame",
]
INTL_LAST = [
    "García",
    "Müller",
    "O'Brien",
    "Nowak",
    "Øster",
    "Núñez",
    "Kovačević",
    "Dubois",
    "Yılmaz",  # noqa: RUF001 (the dotless i is the point: a Turkish surname)
    "Søndergaard",
    "Schäfer",
    "Łukaszewicz",
    "Fernández",
    "Björk",
    "Papadopoulos",
    "Nguyễn",
    "Okafor",
    "Rossi",
    "Novák",
    "Ivanović",
    "Hernández",
    "Lefèvre",
    "Andrés",
    "Kowalczyk",
    "Sørensen",
    "Magnússon",
    "Ferreira",
    "Santos",
    "Jensen",
    "Wójcik",
]
NOTE_WORDS = [
    "customer",
    "called",
    "about",
    "the",
    "invoice",
    "refund",
    "pending",
    "review",
    "escalated",
    "to",
    "billing",
    "team",
    "address",
    "changed",
    "card",
    "replaced",
    "duplicate",
    "charge",
    "disputed",
    "resolved",
    "waiting",
    "on",
    "bank",
    "confirmation",
    "sent",
    "reminder",
    "urgent",
    "see",
    "attached",
    "ticket",
    "follow",
    "up",
    "next",
    "week",
]


_CUMULATIVE: dict[tuple[float, ...], list[float]] = {}


def skewed(rng: random.Random, choices: list[str], weights: list[float]) -> str:
    key = tuple(weights)
    cumulative = _CUMULATIVE.get(key)
    if cumulative is None:
        cumulative = _CUMULATIVE[key] = [float(sum(weights[: i + 1])) for i in range(len(weights))]
    return rng.choices(choices, cum_weights=cumulative)[0]


def note(rng: random.Random) -> str:
    return " ".join(rng.choice(NOTE_WORDS) for _ in range(rng.randrange(4, 18))).capitalize() + "."


def iban(rng: random.Random) -> str:
    country = skewed(rng, ["DE", "GB", "FR", "NL", "ES"], [40, 25, 15, 12, 8])
    if country == "DE":  # 22: DEkk + 18 digits
        return f"DE{rng.randrange(10, 100)}{rng.randrange(10**18):018d}"
    if country == "GB":  # 22: GBkk + bank letters + 14 digits
        bank = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(4))
        return f"GB{rng.randrange(10, 100)}{bank}{rng.randrange(10**14):014d}"
    if country == "FR":  # 27
        return f"FR{rng.randrange(10, 100)}{rng.randrange(10**23):023d}"
    if country == "NL":  # 18
        bank = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(4))
        return f"NL{rng.randrange(10, 100)}{bank}{rng.randrange(10**10):010d}"
    return f"ES{rng.randrange(10, 100)}{rng.randrange(10**20):020d}"  # 24


def intlPhone(rng: random.Random) -> str:
    kind = rng.randrange(6)
    if kind == 0:
        return f"+44 20 {rng.randrange(1000, 10000)} {rng.randrange(10000):04d}"
    if kind == 1:
        return f"+49 (0)30 {rng.randrange(10**6, 10**8)}"
    if kind == 2:
        return "+33 " + " ".join(f"{rng.randrange(100):02d}" for _ in range(4)) + f" {rng.randrange(1, 10)}"
    if kind == 3:
        return f"+81 3-{rng.randrange(1000, 10000)}-{rng.randrange(10000):04d}"
    if kind == 4:
        return f"+1 ({rng.randrange(200, 1000)}) {rng.randrange(200, 1000)}-{rng.randrange(10000):04d}"
    return f"0{rng.randrange(10**9, 10**10)}"


def emailOf(rng: random.Random, first: str, last: str) -> str:
    domain = skewed(
        rng,
        ["gmail.com", "web.de", "orange.fr", "example.org", "posteo.net", "uni-wien.ac.at"],
        [40, 15, 10, 20, 10, 5],
    )
    local = f"{first}.{last}" if rng.random() < 0.7 else f"{first[0]}{last}{rng.randrange(1000)}"
    # Most mail systems spell names in ASCII; a few keep the accents (the
    # engine declines those and the job's fallback rule finishes them).
    if rng.random() < 0.995:
        local = local.encode("ascii", "ignore").decode()
    return f"{local}@{domain}".lower().replace(" ", "").replace("'", "")


def amount(rng: random.Random) -> Decimal:
    scale = skewed(rng, ["2", "0", "3", "4"], [70, 10, 15, 5])
    sign = -1 if rng.random() < 0.12 else 1
    units = rng.randrange(1, 10 ** rng.randrange(3, 9))
    return Decimal(sign * units).scaleb(-int(scale))


def uuidText(rng: random.Random) -> str:
    h = f"{rng.getrandbits(128):032x}"
    return f"{h[:8]}-{h[8:12]}-4{h[13:16]}-{'89ab'[int(h[16], 16) & 3]}{h[17:20]}-{h[20:]}"


# ---------------------------------------------------------------- the tables


@dataclass
class Table:
    name: str
    columns: list[str]
    policy: dict[str, tuple[str, dict[str, object]]]  # masked column -> (strategy, options)
    rows: Callable[[int], Iterator[tuple[object, ...]]]  # count -> rows


def customers(words: dict) -> Table:
    with open(EXAMPLES / "policy.toml", "rb") as f:
        doc = tomllib.load(f)
    policy = {name: (entry["strategy"], dict(entry.get("options", {}))) for name, entry in doc["columns"].items()}
    return Table(
        "customers",
        [c for c, _ in sample_data.COLUMNS],
        policy,
        lambda count: sample_data.customer_rows(count, 7, words),
    )


PAYMENTS = [
    "payment_id",
    "reference",
    "iban",
    "card",
    "transfer_uuid",
    "amount",
    "fee",
    "fx_rate",
    "installments",
    "currency",
    "status",
    "merchant",
    "merchant_category",
    "payer_name",
    "payer_email",
    "payer_phone",
    "note",
    "created",
]


def paymentRows(count: int, words: dict) -> Iterator[tuple[object, ...]]:
    rng = random.Random(11)
    ids = rng.sample(range(10**11, 10**12), count)
    companies, suffixes = words["companyWords"], words["companySuffixes"]
    merchants = [f"{rng.choice(companies)} {rng.choice(suffixes)}" for _ in range(2000)]
    for i in range(count):
        first = rng.choice(INTL_FIRST) if rng.random() < 0.3 else rng.choice(words["firstNames"])
        last = rng.choice(INTL_LAST) if rng.random() < 0.3 else rng.choice(words["lastNames"])
        card = " ".join(f"{rng.randrange(10000):04d}" for _ in range(4))
        yield (
            ids[i],
            f"PAY-{rng.randrange(10**8):08d}-{rng.choice('ABCDEFGHJKLMNPQRSTUVWXYZ')}",
            iban(rng),
            card,
            uuidText(rng),
            amount(rng),
            None if rng.random() < 0.05 else rng.uniform(0.01, 40.0),  # every digit of a double
            rng.uniform(0.5, 1.8) if rng.random() < 0.8 else rng.uniform(100, 160),
            int(skewed(rng, ["1", "3", "6", "12", "24"], [70, 10, 8, 8, 4])),
            skewed(rng, ["EUR", "USD", "GBP", "CHF", "PLN", "SEK"], [55, 25, 10, 4, 3, 3]),
            skewed(rng, ["settled", "pending", "failed", "refunded", "disputed"], [80, 10, 5, 4, 1]),
            merchants[rng.randrange(50)] if rng.random() < 0.7 else rng.choice(merchants),  # a few take most
            rng.choice([5411, 5812, 5999, 4111, 7011, 5732, 4814, 5541]),
            f"{first} {last}",
            emailOf(rng, first, last),
            None if rng.random() < 0.1 else intlPhone(rng),
            None if rng.random() < 0.7 else note(rng),
            f"2026-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}"
            f"T{rng.randrange(24):02d}:{rng.randrange(60):02d}",
        )


def payments(words: dict) -> Table:
    policy: dict[str, tuple[str, dict[str, object]]] = {
        "payment_id": ("key", {}),
        "reference": ("key", {}),
        "iban": ("fpe", {"charset": "alphanumeric"}),
        "card": ("fpe", {"charset": "digits"}),
        "transfer_uuid": ("fpe", {"charset": "hex"}),
        "amount": ("number", {"variance": "0.1"}),
        "fee": ("number", {}),
        "fx_rate": ("number", {"variance": "0.02", "decimals": 6}),
        "installments": ("key", {}),
        "currency": ("hash", {"length": 6}),
        "status": ("hash", {"length": 8, "prefix": "s_"}),
        "merchant": ("fakeCompany", {"maxLength": 40}),
        "merchant_category": ("digits", {}),
        "payer_name": ("fakeName", {}),
        "payer_email": ("email", {"mailDomain": "payers.example.test"}),
        "payer_phone": ("digits", {"keepLeading": 2}),
        "note": ("hash", {"length": 24, "prefix": "n_"}),
    }
    return Table("payments", PAYMENTS, policy, lambda count: paymentRows(count, words))


PEOPLE = [
    "person_id",
    "national_id",
    "tax_ref",
    "passport",
    "first_name",
    "last_name",
    "email",
    "phone",
    "mobile",
    "street_address",
    "city",
    "country",
    "dept_code",
    "salary",
    "bonus_rate",
    "birth_year",
    "iban",
    "notes",
]


def peopleRows(count: int, words: dict) -> Iterator[tuple[object, ...]]:
    rng = random.Random(13)
    ids = rng.sample(range(1, 10**6), count) if count < 10**6 else list(range(1, count + 1))
    cities = words["cities"][:300]
    depts = [f"{d}-{rng.randrange(1000):03d}" for d in ("ENG", "OPS", "FIN", "HR", "MKT", "LEG") for _ in range(6)]
    for i in range(count):
        first = rng.choice(INTL_FIRST) if rng.random() < 0.5 else rng.choice(words["firstNames"])
        last = rng.choice(INTL_LAST) if rng.random() < 0.5 else rng.choice(words["lastNames"])
        yield (
            ids[i],
            f"{rng.randrange(100, 1000)}-{rng.randrange(10, 100)}-{rng.randrange(10000):04d}",
            f"{rng.choice(['GB', 'DE', 'IE'])}-{rng.randrange(10**7):07d}-{rng.choice('ABCDXYZ')}",
            f"{rng.choice('CFGHJKLMNPRTVWXYZ')}{rng.randrange(10**8):08d}",
            first,
            last,
            emailOf(rng, first, last),
            intlPhone(rng),
            None if rng.random() < 0.4 else intlPhone(rng),
            f"{rng.randrange(1, 400)} {rng.choice(words['streets'])} {rng.choice(words['streetKinds'])}",
            cities[min(int(rng.expovariate(0.05)), len(cities) - 1)],  # a few cities hold most people
            skewed(rng, ["GB", "DE", "FR", "IE", "PL", "ES", "JP"], [30, 25, 15, 10, 10, 7, 3]),
            rng.choice(depts),
            None if rng.random() < 0.02 else Decimal(rng.randrange(2_500_000, 19_000_000)).scaleb(-2),
            rng.random() * 0.3,
            rng.randrange(1950, 2007),
            iban(rng),
            None if rng.random() < 0.85 else note(rng),
        )


def people(words: dict) -> Table:
    policy: dict[str, tuple[str, dict[str, object]]] = {
        "person_id": ("key", {}),
        "national_id": ("fpe", {"charset": "digits"}),
        "tax_ref": ("key", {}),
        "passport": ("fpe", {"charset": "alphanumeric"}),
        "first_name": ("fakeFirstName", {}),
        "last_name": ("fakeLastName", {}),
        "email": ("email", {"length": 10}),
        "phone": ("digits", {"keepLeading": 2}),
        "mobile": ("digits", {"keepLeading": 2, "keepTrailing": 2}),
        "street_address": ("fakeStreetAddress", {"address": "{number} {street} {kind}"}),
        "city": ("fakeCity", {}),
        "country": ("hash", {"length": 4}),
        "dept_code": ("key", {}),
        "salary": ("number", {"variance": "0.1", "decimals": 2}),
        "bonus_rate": ("number", {"variance": "0.2"}),
        "birth_year": ("number", {"min": "1950", "max": "2006"}),
        "iban": ("fpe", {"charset": "alphanumeric"}),
    }
    return Table("people", PEOPLE, policy, lambda count: peopleRows(count, words))


TABLES = {"customers": customers, "payments": payments, "people": people}


def tables(names: list[str]) -> list[Table]:
    words = sample_data.word_lists()
    return [TABLES[name](words) for name in names]


def optionsOf(strategy: str, options: dict[str, object], words: dict) -> dict[str, object]:
    """A masker's options as a job builds them: word lists under the policy's own."""
    return {**words, **options} if strategy in FAKE else options
