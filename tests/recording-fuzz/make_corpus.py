#!/usr/bin/env python3
"""Writes the starting inputs of the array path's fuzzer into corpus/: a
few short streams of every kind of frame, clean and damaged, each cut into
chunks of a few sizes and kinds.  Deterministic.

    python3 tests/recording-fuzz/make_corpus.py
"""
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "bench"))
from headset_frames import (EXTEND_BODY, EXTEND_NO_SENSOR, extended, gyro_frame, hrv_frame,  # noqa: E402
                            raw_frame, standard)

RAWS = b"".join(raw_frame(k, 255 - k) for k in range(12))

STREAMS = {
    # every kind, with an extended frame without a temperature reading
    "kinds": (standard() + EXTEND_BODY + b"\xaa\xaa\x04" + raw_frame(0x80, 0)[3:] + RAWS + gyro_frame(1, 200, 3)
              + hrv_frame(800, 850, 900) + standard() + EXTEND_NO_SENSOR + RAWS + standard()),
    # failed checksums and stray bytes between standard frames: the clock's steps
    "damaged": (standard() + RAWS + raw_frame(1, 2, checksum=0) * 3 + b"\x13\x37\xaa" + RAWS
                + hrv_frame(1, 2, 3, good=False) + standard(checksum=0) + extended() + RAWS + standard() + RAWS),
    # an extended frame without a temperature row, one past the buffer, one cut off by an HRV header
    "extended": (standard() + bytes.fromhex("06 11 07 5A") + b"\xaa\xaa\x04" + raw_frame(0, 1)[3:] + standard()
                 + b"\x06" + bytes(range(1, 170)) * 7 + standard() + b"\x06\x11\xaa\xbb" + RAWS),
    # a frame cut short at the end
    "cut": standard() + RAWS + gyro_frame(9, 8, 7) + standard()[:17],
}
# (cuts, chunk kinds) before the stream: see fuzz_recording.py
CHUNKINGS = {"whole": bytes([0, 0]), "small": bytes([4, 1, 7, 0, 33, 0, 1, 2, 1, 0]),
             "large": bytes([2, 200, 90, 2, 1, 0])}


def main():
    out = HERE / "corpus"
    out.mkdir(exist_ok=True)
    for name, stream in STREAMS.items():
        for label, chunking in CHUNKINGS.items():
            (out / f"{name}-{label}").write_bytes(chunking + stream)


if __name__ == "__main__":
    main()
