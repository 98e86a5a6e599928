"""Types of the QuillmoreParser extension module: the parser, its callbacks
and the two records that it delivers."""

from collections.abc import Callable, Iterable
from typing import Any, TypeAlias

from typing_extensions import Buffer

# What each callback receives; whatever it returns is ignored.  A callback
# that is None (or false) is not called.
_EegCallback: TypeAlias = Callable[[QuillmoreData], object]
_ExtendEegCallback: TypeAlias = Callable[[QuillmoreExtendData], object]
_GyroCallback: TypeAlias = Callable[[int, int, int], object]  # x, y, z
_RrCallback: TypeAlias = Callable[[int, int, int], object]  # rr1, rr2, rr3: 0..65535
_RawCallback: TypeAlias = Callable[[int], object]  # raw: -32768..32767

# A chunk of the stream: a buffer of bytes (bytes, bytearray, memoryview),
# or any iterable of integers, of which the low 8 bits count.
_ByteChunk: TypeAlias = Buffer | Iterable[int]

__test__: dict[Any, Any]

class QuillmoreParser:
    # Class-level members; the first assignment through an instance (parse
    # does it) makes state and offset the instance's own.
    _QuillmoreParser__state: int  # 1..11
    _QuillmoreParser__payloadLength: int
    _QuillmoreParser__payload: bytearray  # 1024 bytes
    _QuillmoreParser__byteOffset: int

    # The callbacks as the constructor stored them; a new value takes effect
    # at the next delivery.
    _QuillmoreParser__eeg_callback: _EegCallback | None
    _QuillmoreParser__extend_eeg_callback: _ExtendEegCallback | None
    _QuillmoreParser__gyro_callback: _GyroCallback | None
    _QuillmoreParser__rr_callback: _RrCallback | None
    _QuillmoreParser__raw_callback: _RawCallback | None

    def __init__(
        self,
        eeg_callback: _EegCallback | None = None,
        extend_eeg_callback: _ExtendEegCallback | None = None,
        gyro_callback: _GyroCallback | None = None,
        rr_callback: _RrCallback | None = None,
        raw_callback: _RawCallback | None = None,
    ) -> None: ...
    def parse(self, byteData: _ByteChunk) -> None: ...

    # The payload decoders that parse calls; they decode the payload buffer
    # as it is and deliver to their callback.
    def _QuillmoreParser__parsePackagePayload(self) -> None: ...
    def _QuillmoreParser__parseExtendPackagePayload(self) -> None: ...
    def _QuillmoreParser__parseHRVPackagePayload(self) -> None: ...

class QuillmoreExtendData:
    ap: int  # 0..255
    battery: int  # 0..255
    version: float
    gnaw: int  # 0..255
    # A float; the int 0 when the sensor sent no reading (0xFF), 0.0 when
    # the frame had no temperature row.
    temperature: float | int
    heart: int  # 0..255

class QuillmoreData:
    signal: int  # 0..255
    attention: int  # 0..255
    meditation: int  # 0..255
    # Band powers, 0..16777215.
    delta: int
    theta: int
    lowAlpha: int
    highAlpha: int
    lowBeta: int
    highBeta: int
    lowGamma: int
    highGamma: int
