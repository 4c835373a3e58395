"""The fake strategies' word lists, taken from Faker's providers for one locale.

The engine reads the lists under fixed keys (firstNames, cities, ...). Faker keeps
them as class attributes of its per-locale providers, which it does not lay out the
same way for every locale: one has a plain list of cities, another only the suffixes
it builds city names from, a third inherits everything from its language. So each
list is looked up on its own, in the locale's provider, then its language's, then
en_US's. The generic providers all locales derive from hold placeholders ("John",
"Ville") for most lists, but en_US relies on them for a few (company suffixes), so
they count only for en_US.
"""

from __future__ import annotations

import functools
import importlib
from collections.abc import Iterable

DEFAULT_LOCALE = "en_US"

# Faker's street addresses are a number, a person's name and a kind of street.
ADDRESS_TEMPLATE = "{number} {street} {kind}"

# Attribute names under which the locales keep a ready list of city names.
_CITY_LISTS = ("cities", "city_names")


def _provider(kind: str, locale: str) -> type | None:
    try:
        module = importlib.import_module(f"faker.providers.{kind}.{locale}")
    except ImportError:
        return None
    provider: type | None = getattr(module, "Provider", None)
    return provider


def _words(values: object) -> list[str]:
    """The distinct strings of a Faker list, tuple or weighted dict, in order."""
    if not isinstance(values, Iterable) or isinstance(values, str):
        return []
    return list(dict.fromkeys(v for v in values if isinstance(v, str) and v))


def _lookup(kind: str, locales: tuple[str, ...], *names: str) -> list[str]:
    """The first non-empty list named `names` in the providers of `locales`, in order.

    A locale's provider often subclasses its language's, so the class hierarchy is
    searched too, up to the generic provider of `kind` for en_US only."""
    generic = f"faker.providers.{kind}"
    for locale in locales:
        provider = _provider(kind, locale)
        for cls in provider.__mro__ if provider else ():
            local = cls.__module__.startswith(generic + ".")
            if not (local or (cls.__module__ == generic and locale == DEFAULT_LOCALE)):
                continue
            for name in names:
                words = _words(vars(cls).get(name))
                if words:
                    return words
    return []


def _chain(locale: str) -> tuple[str, ...]:
    language = locale.partition("_")[0]
    return tuple(dict.fromkeys((locale, language, DEFAULT_LOCALE)))


@functools.lru_cache
def _lists(locale: str) -> dict[str, object]:
    from faker.config import AVAILABLE_LOCALES

    if locale not in AVAILABLE_LOCALES:
        raise ValueError(f"unknown locale {locale!r}: Faker has no providers for it (e.g. en_US, de_DE, fr_FR)")
    chain = _chain(locale)
    first = _lookup("person", chain, "first_names")
    last = _lookup("person", chain, "last_names")
    cities = _lookup("address", chain, *_CITY_LISTS)
    if not cities:
        # Without a city list Faker builds a city from a name and a suffix
        # ("{{last_name}}{{city_suffix}}"); the suffixes cycle so that every
        # name gives one city and the list stays deterministic.
        suffixes = _lookup("address", chain, "city_suffixes")
        cities = list(dict.fromkeys(name + suffixes[i % len(suffixes)] for i, name in enumerate(last)))
    return {
        "firstNames": first,
        "lastNames": last,
        "cities": cities,
        # Street names are people's names, as in Faker's street_name_formats.
        "streets": last,
        "streetKinds": _lookup("address", chain, "street_suffixes"),
        "address": ADDRESS_TEMPLATE,
        "companySuffixes": _lookup("company", chain, "company_suffixes"),
        "companyWords": last,
    }


def faker_words(locale: str = DEFAULT_LOCALE) -> dict[str, object]:
    """The word lists of the fake strategies for a Faker locale such as "de_DE".

    Raises ValueError for a locale Faker does not know. The lists are built once per
    locale; each call gets its own copy, free to change."""
    return {key: list(value) if isinstance(value, list) else value for key, value in _lists(locale).items()}
