"""Frames of the headset's serial stream, byte for byte, with any payload
and any checksum: the one set of builders that the tests, the leak and
allocation checks, the fuzzers' seed writers and the benchmark use.

    standard   AA AA 20  32 payload bytes, checksum (complemented sum)
    raw        AA AA 04  2 bytes not read, sample high, low, checksum
    gyroscope  AA AA 07  8 bytes; x, y, z are the bytes at 2, 4 and 6
    HRV        AA BB 0C  rr1 rr2 rr3 (big-endian), 3 bytes, checksum, 3 bytes
    extended   06 rows... right after a standard frame, up to the next AA AA
"""
from __future__ import annotations

from collections.abc import Iterable

SYNC = 0xAA

# A standard payload with every row (signal, the eight band powers,
# attention, meditation) and what the decoder delivers for it.
SIGNAL_PAYLOAD = bytes.fromhex(
    "0233 8318 010203 000010 001234 010000 000000 7F0001 00FF00 FFFFFF 043C 0550")
# An extended frame's rows: ap, battery, and the device row (version 12/34,
# gnaw 3, temperature 36.5, heart 72); the second has no temperature reading.
EXTEND_BODY = bytes.fromhex("06 11 07 5A 08 12 03 34 24 05 48")
EXTEND_NO_SENSOR = bytes.fromhex("06 11 07 5A 08 12 03 34 FF 05 48")


def complemented_sum(payload: Iterable[int]) -> int:
    """The checksum of standard and raw-sample frames."""
    return ~sum(payload) & 0xFF


def standard(payload: bytes = SIGNAL_PAYLOAD, checksum: int | None = None) -> bytes:
    """A standard frame; the payload is padded with zeros to 32 bytes."""
    payload = (bytes(payload) + bytes(32))[:32]
    return b"\xaa\xaa\x20" + payload + bytes([complemented_sum(payload) if checksum is None else checksum])


def raw_frame(high: int, low: int, checksum: int | None = None, lead: bytes = b"\0\0") -> bytes:
    """A raw-sample frame from the sample's two bytes; `lead` fills the two
    payload bytes that the decoder does not read."""
    payload = bytes(lead) + bytes([high, low])
    return b"\xaa\xaa\x04" + payload + bytes([complemented_sum(payload) if checksum is None else checksum])


def raw_sample(sample: int, lead: bytes = b"\0\0") -> bytes:
    """A raw-sample frame carrying `sample` in two's complement."""
    word = sample & 0xFFFF
    return raw_frame(word >> 8, word & 0xFF, lead=lead)


def gyro_body(body: bytes) -> bytes:
    """A gyroscope frame with these eight bytes."""
    assert len(body) == 8
    return b"\xaa\xaa\x07" + bytes(body)


def gyro_frame(x: int, y: int, z: int) -> bytes:
    """A gyroscope frame whose axes' low bytes are x, y, z."""
    return gyro_body(bytes([0, 0, x, 0, y, 0, z, 0]))


def hrv_frame(rr1: int, rr2: int, rr3: int, extra: bytes = bytes(6), good: bool = True) -> bytes:
    """A heart-rate-variability frame; `extra` fills the three bytes before
    and the three after the checksum, which is off by one unless `good`."""
    body = rr1.to_bytes(2, "big") + rr2.to_bytes(2, "big") + rr3.to_bytes(2, "big") + bytes(extra[:3])
    checksum = (12 + sum(body) + (0 if good else 1)) & 0xFF
    return b"\xaa\xbb\x0c" + body + bytes([checksum]) + bytes(extra[3:6])


def extended(body: bytes = EXTEND_BODY) -> bytes:
    """A standard frame followed by an extended frame closed by AA AA: the
    decoder is then waiting for a length byte."""
    return standard() + bytes(body) + b"\xaa\xaa"
