"""Types of the extension module quillmore._recording (see recording.py)."""

from _typeshed import ReadableBuffer

LAYOUTS: dict[str, tuple[int, tuple[tuple[str, str, int], ...]]]
TEMPERATURE_STATUS: tuple[str, str, str]

class Samples:
    """Raw samples (native int16) that a Decoder returned."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

_Arrays = tuple[Samples, bytearray, bytearray, bytearray, bytearray, bytearray]

class Decoder:
    def __init__(self) -> None: ...
    def feed(self, data: ReadableBuffer, /) -> _Arrays: ...
    def finish(self) -> _Arrays: ...
    def loss(self) -> dict[str, int]: ...
    @property
    def released(self) -> int: ...
