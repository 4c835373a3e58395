"""Masking of Arrow data (record batches, tables, streams) without a Python object per value."""

from collections.abc import Iterable, Sequence
from typing import Final, Literal, Protocol, TypeAlias, final

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
    "maskBatch",
    "setThreads",
    "threads",
]

class _ArrowArrayExporter(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class _ArrowStreamExporter(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class Masker:
    """One column's masker: the key, the strategy and its options, frozen."""

    def __new__(cls, subkey: bytes, strategy: str, options: dict[str, object]) -> Masker: ...
    def maskColumn(self, values: Iterable[object]) -> tuple[list[object], dict[int, _Problem]]: ...

@final
class MaskedStream:
    """Masked Arrow batches, read through __arrow_c_stream__."""

    @property
    def num_rows(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class MaskedBatch:
    """One masked Arrow batch, read through __arrow_c_array__ or __arrow_c_stream__."""

    @property
    def num_rows(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

def maskBatch(
    maskers: Sequence[Masker | None],
    data: _ArrowArrayExporter | _ArrowStreamExporter,
    *,
    decimalTexts: Iterable[int] = (),
) -> tuple[MaskedBatch | MaskedStream, list[tuple[int, int, _Problem]]]: ...
def availableCores() -> int: ...
def setThreads(threads: int) -> None: ...
def threads() -> int: ...
