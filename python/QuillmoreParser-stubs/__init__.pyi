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
    """An incremental decoder of the headset's byte stream.

    Feed it chunks split anywhere with :meth:`parse`; it finds the frames,
    checks their checksums and calls the callback of each decoded result,
    synchronously and in stream order.  A frame split across chunks decodes
    exactly as if it came whole.  Each callback is optional (None: that
    kind is decoded and dropped):

    ``eeg_callback(record)``
        a :class:`QuillmoreData`, once a second (a standard frame).
    ``extend_eeg_callback(record)``
        a :class:`QuillmoreExtendData`, after a standard frame.
    ``gyro_callback(x, y, z)``
        head orientation, each -75..180.
    ``rr_callback(rr1, rr2, rr3)``
        heart-beat (RR) intervals as received, each 0..65535.
    ``raw_callback(raw)``
        one raw EEG sample, -32768..32767, 512 a second.

    A parser belongs to one thread at a time; it holds the interpreter
    while it decodes and calls back."""

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
    def parse(self, byteData: _ByteChunk) -> None:
        """Decodes a chunk: ``bytes``, ``bytearray``, ``memoryview`` (the
        fast path) or any iterable of integers 0..255.

        Callbacks run inside this call; their return value is ignored.  An
        exception a callback raises propagates out of ``parse`` unchanged,
        the parser keeping the state it had reached at that byte, so the
        next call carries on.  ``TypeError`` for a chunk that is not
        iterable or an element that is not an integer, ``ValueError`` for
        an element outside 0..255."""

    # The payload decoders that parse calls; they decode the payload buffer
    # as it is and deliver to their callback.
    def _QuillmoreParser__parsePackagePayload(self) -> None: ...
    def _QuillmoreParser__parseExtendPackagePayload(self) -> None: ...
    def _QuillmoreParser__parseHRVPackagePayload(self) -> None: ...

class QuillmoreExtendData:
    """The values of an extended frame (device state), delivered to
    ``extend_eeg_callback`` after a standard frame.  Fields missing from
    the frame keep their defaults (0)."""

    ap: int  # 0..255
    """0..255."""
    battery: int  # 0..255
    """Battery level, 0..255."""
    version: float
    """Firmware version, e.g. 1.234."""
    gnaw: int  # 0..255
    """Jaw clench, 0..255."""
    # A float; the int 0 when the sensor sent no reading (0xFF), 0.0 when
    # the frame had no temperature row.
    temperature: float | int
    """Degrees Celsius; the int ``0`` when the sensor sent no reading,
    ``0.0`` when the frame had no temperature row."""
    heart: int  # 0..255
    """Heart rate, beats a minute, 0..255."""

class QuillmoreData:
    """The values of a standard frame, delivered to ``eeg_callback`` once a
    second.  Fields missing from the frame keep their defaults (0)."""

    signal: int  # 0..255
    """Contact quality, 0..255: 0 is best, 200 means off the skin."""
    attention: int  # 0..255
    """0..255, 0..100 in practice."""
    meditation: int  # 0..255
    """0..255, 0..100 in practice."""
    # Band powers, 0..16777215.
    delta: int
    """Band power, 0..16,777,215 (so are the seven below)."""
    theta: int
    lowAlpha: int
    highAlpha: int
    lowBeta: int
    highBeta: int
    lowGamma: int
    highGamma: int
