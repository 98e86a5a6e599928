#!/usr/bin/env python3
"""Writes the starting inputs of the binding fuzzer into corpus/: every kind
of frame, as the plain host (first byte 1) and the hostile host (first byte
0) read them, the hostile ones with a few answers of each kind in front of
the stream.  Deterministic.

    python3 tests/python-fuzz/make_corpus.py
"""
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "bench"))
from headset_frames import EXTEND_BODY, extended, gyro_frame, hrv_frame, raw_frame, standard  # noqa: E402

MIXED = (standard() + EXTEND_BODY + b"\xaa\xaa\x04" + raw_frame(0x80, 0x00)[3:] + gyro_frame(1, 200, 3)
         + hrv_frame(800, 850, 900) + raw_frame(0x7F, 0xFF))

STREAMS = {
    "mixed": MIXED,
    "raw": raw_frame(0x80, 0x01) * 4,
    "standard": standard() * 2,
    "extended": extended() + b"\x04" + raw_frame(0, 1)[3:],
    "gyro-hrv": gyro_frame(1, 200, 3) + hrv_frame(800, 850, 900),
    "extended-past-buffer": standard() + b"\x06" + bytes(range(1, 170)) * 7 + raw_frame(0, 2),
}


def main():
    rng = random.Random(10)
    out = HERE / "corpus"
    out.mkdir(exist_ok=True)
    for name, stream in STREAMS.items():
        (out / f"plain-{name}").write_bytes(bytes([1, 3, 7, 20, 1, 0, 3, 2, 4]) + stream)
        for k in range(3):
            answers = bytes(rng.randrange(256) for _ in range(24))
            (out / f"hostile-{name}-{k}").write_bytes(bytes([0, 2, k, len(stream) % 256]) + stream + answers)


if __name__ == "__main__":
    main()
