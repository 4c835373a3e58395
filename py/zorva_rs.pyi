"""Native masking engine: keyed, deterministic masking of table columns."""

from collections.abc import Iterable, Sequence
from typing import Final, Literal, TypeAlias, final

__version__: Final[str]
FALLBACK: Final = "fallback"
REFUSED: Final = "refused"

_Problem: TypeAlias = Literal["fallback"] | tuple[Literal["refused"], str]

__all__ = [
    "FALLBACK",
    "REFUSED",
    "Masker",
    "__version__",
    "availableCores",
    "columnKinds",
    "maskChunk",
    "setThreads",
    "threads",
]

@final
class Masker:
    """One column's masker: the key, the strategy and its options, frozen."""

    def __new__(cls, subkey: bytes, strategy: str, options: dict[str, object]) -> Masker: ...
    def maskColumn(self, values: Iterable[object]) -> tuple[list[object], dict[int, _Problem]]: ...

def maskChunk(
    maskers: Sequence[Masker | None], rows: Iterable[Iterable[object]]
) -> tuple[list[tuple[object, ...]], list[tuple[int, int, _Problem]]]: ...
def columnKinds(rows: object) -> tuple[list[list[type]], list[bool]] | None: ...
def availableCores() -> int: ...
def setThreads(threads: int) -> None: ...
def threads() -> int: ...
