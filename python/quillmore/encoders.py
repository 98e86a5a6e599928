"""Frame encoders: frames of the headset's serial stream, built byte for byte
as the decoder reads them (for the virtual headset and the tests).

The headset sends five kinds of frame:

==============  =======================================  ==========================
kind            bytes on the wire                        delivered as
==============  =======================================  ==========================
raw sample      ``AA AA 04`` 4 payload bytes, checksum    ``raw``: one sample
standard        ``AA AA 20`` 32 payload bytes, checksum   ``eeg``: a QuillmoreData
extended        ``06`` ... up to the next ``AA AA``        ``extend``: a
                                                         QuillmoreExtendData
gyroscope       ``AA AA 07`` 8 bytes (no checksum)        ``gyro``: x, y, z
heart rate var  ``AA BB 0C`` 13 bytes (own checksum)      ``rr``: rr1, rr2, rr3
==============  =======================================  ==========================

Each frame class below holds the values that travel in its bytes,
``encode()`` gives the bytes, and ``fields()`` the values the decoder
delivers for them, with the names of the module's records.  The two differ
where the format is lossy or indirect: the extended frame carries the
version as two binary-coded decimal bytes and the temperature as an integer
part and tenths, and a gyroscope axis travels as one byte whose values above
180 stand for negative angles.

A rule of the stream that a writer of frames must keep: an extended frame
has no length byte, it runs until the next ``AA AA``.  So none of its bytes
may be 0xAA, it must directly follow a standard frame, and the frame after
it must start with ``AA AA`` (a raw, standard or gyroscope frame; ``AA BB``
would make the decoder drop it).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from typing import ClassVar, Final, Union

from .constants import BANDS, EEG_FIELDS, EXTEND_FIELDS

Value = Union[int, float]
"""A delivered value: an integer, or a float for version and temperature."""

SYNC: Final = 0xAA


def _byte(name: str, value: int) -> int:
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{name} must be 0..255, not {value}")
    return value


def _complement_checksum(payload: Iterable[int]) -> int:
    # Standard and raw frames: the complement of the low 8 bits of the sum.
    return ~sum(payload) & 0xFF


def _bcd(name: str, value: int) -> int:
    """Two decimal digits in one byte, one per nibble (12 -> 0x12)."""
    if not 0 <= value <= 99:
        raise ValueError(f"{name} must be 0..99, not {value}")
    return (value // 10) << 4 | value % 10


@dataclasses.dataclass(frozen=True)
class Raw:
    """One raw EEG sample, 16-bit two's complement (-32768..32767); 512 of
    these frames arrive every second."""

    kind: ClassVar[str] = "raw"
    sample: int

    def encode(self) -> bytes:
        if not -32768 <= self.sample <= 32767:
            raise ValueError(f"raw sample must be -32768..32767, not {self.sample}")
        word = self.sample & 0xFFFF
        # The first two payload bytes are not read; the headset sends 80 02
        # there (a row code and its length in the headset's own terms).
        payload = bytes((0x80, 0x02, word >> 8, word & 0xFF))
        return bytes((SYNC, SYNC, 0x04)) + payload + bytes((_complement_checksum(payload),))

    def fields(self) -> dict[str, Value]:
        return {"raw": self.sample}


@dataclasses.dataclass(frozen=True)
class Standard:
    """Once a second: signal quality, attention, meditation and band powers.

    ``signal`` is 0 for good contact and rises as contact worsens (200: the
    electrode is off the skin); attention and meditation are 0..100; the
    band powers are unsigned 24-bit values."""

    kind: ClassVar[str] = "eeg"
    signal: int
    attention: int
    meditation: int
    delta: int
    theta: int
    lowAlpha: int
    highAlpha: int
    lowBeta: int
    highBeta: int
    lowGamma: int
    highGamma: int

    def encode(self) -> bytes:
        # Rows: 02 signal, 83 18 <eight 3-byte bands>, 04 attention,
        # 05 meditation; together exactly the 32 payload bytes.
        payload = bytearray((0x02, _byte("signal", self.signal), 0x83, 0x18))
        for name in BANDS:
            value: int = getattr(self, name)
            if not 0 <= value <= 0xFFFFFF:
                raise ValueError(f"{name} must be 0..16777215, not {value}")
            payload += value.to_bytes(3, "big")
        payload += bytes((0x04, _byte("attention", self.attention), 0x05, _byte("meditation", self.meditation)))
        return bytes((SYNC, SYNC, 0x20)) + payload + bytes((_complement_checksum(payload),))

    def fields(self) -> dict[str, Value]:
        return {name: getattr(self, name) for name in EEG_FIELDS}


@dataclasses.dataclass(frozen=True)
class Extended:
    """Device values, sent right after a standard frame.

    The firmware version travels as two decimal bytes: ``version`` =
    ``main_version`` / 10 + ``secondary_version`` / 1000 (main 12 with
    secondary 34 is 1.234).  The temperature travels as an integer part and
    tenths; an integer part of 255 means "no reading" and is delivered as 0."""

    kind: ClassVar[str] = "extend"
    ap: int
    battery: int
    main_version: int
    gnaw: int
    secondary_version: int
    int_temp: int
    dec_temp: int
    heart: int

    def encode(self) -> bytes:
        body = bytes((
            0x06, _byte("ap", self.ap),
            0x07, _byte("battery", self.battery),
            0x08, _bcd("main_version", self.main_version), _byte("gnaw", self.gnaw),
            _bcd("secondary_version", self.secondary_version),
            _byte("int_temp", self.int_temp), _byte("dec_temp", self.dec_temp), _byte("heart", self.heart),
        ))
        if SYNC in body:
            raise ValueError("no byte of an extended frame may be 0xAA: it would end the frame early")
        return body

    @property
    def version(self) -> float:
        return (self.main_version * 100 + self.secondary_version) / 1000.0

    @property
    def temperature(self) -> Value:
        # Computed as the decoder does, so that values compare exactly.
        return 0 if self.int_temp == 255 else self.int_temp + self.dec_temp / 10.0

    def fields(self) -> dict[str, Value]:
        return {"ap": self.ap, "battery": self.battery, "version": self.version, "gnaw": self.gnaw,
                "temperature": self.temperature, "heart": self.heart}


@dataclasses.dataclass(frozen=True)
class Gyro:
    """Head orientation, three axes of -75..180.

    Each axis is one byte: 0..180 as it is, 181..255 for -1..-75.  The
    frame has no checksum."""

    kind: ClassVar[str] = "gyro"
    x: int
    y: int
    z: int

    def encode(self) -> bytes:
        body = bytearray(8)
        for position, name in ((2, "x"), (4, "y"), (6, "z")):
            value: int = getattr(self, name)
            if not -75 <= value <= 180:
                raise ValueError(f"gyroscope {name} must be -75..180, not {value}")
            body[position] = value if value >= 0 else 180 - value
        # The length byte says 7, but eight bytes follow it.
        return bytes((SYNC, SYNC, 0x07)) + bytes(body)

    def fields(self) -> dict[str, Value]:
        return {"x": self.x, "y": self.y, "z": self.z}


@dataclasses.dataclass(frozen=True)
class Hrv:
    """Three RR intervals (ms between heartbeats), 0..65535 each.

    ``blink`` is the headset's blink strength; it is covered by the
    checksum but not delivered."""

    kind: ClassVar[str] = "rr"
    rr1: int
    rr2: int
    rr3: int
    blink: int = 0

    def encode(self) -> bytes:
        body = bytearray()
        for name in ("rr1", "rr2", "rr3"):
            value: int = getattr(self, name)
            if not 0 <= value <= 0xFFFF:
                raise ValueError(f"{name} must be 0..65535, not {value}")
            body += value.to_bytes(2, "big")
        body += bytes((0, 0, _byte("blink", self.blink)))
        # A plain sum seeded with the length byte 0x0C, not complemented;
        # three unread bytes close the frame.
        body.append((0x0C + sum(body)) & 0xFF)
        body += bytes(3)
        return bytes((SYNC, 0xBB, 0x0C)) + bytes(body)

    def fields(self) -> dict[str, Value]:
        return {"rr1": self.rr1, "rr2": self.rr2, "rr3": self.rr3}


Frame = Union[Raw, Standard, Extended, Gyro, Hrv]


def encode(frames: Iterable[Frame]) -> bytes:
    """The bytes of ``frames`` in order."""
    return b"".join(frame.encode() for frame in frames)
