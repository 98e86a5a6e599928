#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus into tests/fuzz/seeds/.

Each seed is a session in the layout that fuzz_core.cpp reads: six header
bytes (options, number of chunk-size bytes, number of action bytes, initial
state, initial offset, where a heap buffer starts in memory it shares with
the input), the chunk sizes, the listener's answers, then the headset
stream.  The streams look like what the headset sends: raw-sample
frames, standard frames followed by extended frames, gyroscope and HRV
frames, damaged and truncated frames and noise; plus the byte streams of the
worked examples in tests/cases.  Deterministic: run it again and the files
come out the same.

    python3 tests/fuzz/make_seeds.py
"""
import pathlib
import random
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "bench"))
import headset_frames as frames  # noqa: E402
SEEDS = HERE / "seeds"
CASES = HERE.parent / "cases"

# Option bits and buffer choices, as fuzz_core.cpp reads them.
OWN, EXT1024, EXT2048, EXT64, EXT40, EXT13, EXT5, EXT0 = range(8)
MEDDLE, HOST_START, ALIASED = 0x08, 0x10, 0x20
# Answer classes (action byte >> 5); PAUSE with bit 4 also reports failure.
GO_ON, FAIL, PAUSE, SET_STATE, SET_OFFSET, SWAP_OR_SCRIBBLE, FEED = 0, 2, 3, 4, 5, 6, 7


def session(stream, options=OWN, chunks=(), actions=(), state=0, offset=0x40, shift=0):
    assert len(chunks) < 256 and len(actions) < 256
    return bytes([options, len(chunks), len(actions), state, offset, shift, *chunks, *actions]) + bytes(stream)


def action(kind, low=0):
    return kind << 5 | low


def standard(payload):
    return list(frames.standard(bytes(payload)))


def full_standard(rng):
    bands = [rng.randrange(256) for _ in range(24)]
    return standard([0x02, rng.randrange(201), 0x83, 0x18, *bands, 0x04, rng.randrange(101), 0x05, rng.randrange(101)])


def raw(sample):
    return list(frames.raw_sample(sample))


def gyro(x, y, z):
    return list(frames.gyro_frame(x, y, z))


def hrv(rr1, rr2, rr3, blink=0):
    return list(frames.hrv_frame(rr1, rr2, rr3, extra=bytes([0, 0, blink, 0, 0, 0])))


def extended(rng):
    # ap, battery and the device row: version 1.2/0.34, temperature 36.5, heart.
    return [0x06, rng.randrange(256), 0x07, rng.randrange(101), 0x08, 0x12, rng.randrange(256), 0x34, 36, 5,
            rng.randrange(60, 120)]


def recording(rng, seconds_of_raw):
    """What the headset sends, thinned out: a run of raw samples, then a
    standard frame with its extended frame, now and then gyro and HRV."""
    out = []
    for second in range(seconds_of_raw):
        for _ in range(rng.randrange(6, 14)):
            out += raw(rng.randrange(-2000, 2000) & 0xFFFF)
        out += full_standard(rng) + extended(rng)
        if second % 2 == 0:
            out += gyro(rng.randrange(256), rng.randrange(256), rng.randrange(256))
        if second % 3 == 0:
            out += hrv(rng.randrange(600, 1100), rng.randrange(600, 1100), rng.randrange(600, 1100))
    return out


def damaged(rng):
    """Frames with bad checksums, cut short, noise, inner AA bytes."""
    out = []
    for _ in range(30):
        kind = rng.randrange(7)
        if kind == 0:
            f = full_standard(rng)
            f[-1] ^= 0x5A
            out += f + [0x06, 0x11, 0xAA, 0x22, 0x33]  # extended after a rejected frame, inner AA
        elif kind == 1:
            f = raw(rng.randrange(65536))
            f[-1] ^= 1
            out += f
        elif kind == 2:
            out += full_standard(rng)[: rng.randrange(3, 36)]
        elif kind == 3:
            out += [rng.choice([0xAA, 0xBB, 0x20, 0x04, 0x07, 0x0C, 0x06, 0x55]) for _ in range(rng.randrange(1, 12))]
        elif kind == 4:
            out += [0xAA, 0xAA, 0xAA, 0x20] + full_standard(rng)[3:]  # a third sync byte: frame missed
        elif kind == 5:
            out += full_standard(rng) + [0x06, 0x07, 0x40, 0xAA, 0xBB, 0x0C] + hrv(900, 901, 902)[3:]
        else:
            h = hrv(rng.randrange(65536), 5, 6, blink=1)
            h[12] ^= 0x10
            out += h
    return out


def case_streams():
    """The byte streams of the worked examples, one per case."""
    for path in sorted(CASES.glob("*.txt")):
        stream, n = None, 0
        for line in path.read_text().splitlines() + ["## end"]:
            if line.startswith("## "):
                if stream:
                    yield f"case-{path.stem}-{n:02d}", stream
                    n += 1
                stream = []
            elif line.startswith("> ") and stream is not None:
                for token in line[2:].split():
                    value, _, count = token.partition("*")
                    stream += [int(value, 16)] * int(count or 1)


def main():
    rng = random.Random(20240601)
    SEEDS.mkdir(exist_ok=True)
    for old in SEEDS.iterdir():
        old.unlink()
    seeds = {}

    rec = recording(rng, 6)
    seeds["recording-whole"] = session(rec)
    seeds["recording-chunked"] = session(rec, EXT1024, chunks=[1, 7, 0, 36, 2, 200, 8, 0xE1, 13, 3])
    seeds["recording-failures"] = session(
        rec, chunks=[64, 5, 19],
        actions=[action(FAIL), action(GO_ON), action(FAIL), action(PAUSE), action(PAUSE, 0x10), action(FAIL)] * 8)
    seeds["damaged"] = session(damaged(rng), chunks=[3, 1, 40, 0, 11])
    seeds["damaged-failures"] = session(damaged(rng), EXT2048, chunks=[9, 33],
                                        actions=[action(FAIL), action(PAUSE)] * 10)

    # An extended frame that outgrows the buffer, then a raw frame.
    overflow = full_standard(rng) + [0x06] + [0x11] * 1100 + raw(5)
    seeds["extended-overflow"] = session(overflow, chunks=[0xE2, 100])
    seeds["extended-overflow-small-buffer"] = session(full_standard(rng) + [0x06] + [0x11] * 80 + raw(5), EXT64)
    # Decoders reading past a short buffer: band row at 30, device row at 11.
    seeds["short-buffer-standard"] = session(standard([0] * 30 + [0x83, 0x18]) + [0x06, 0x11, 0xAA, 0xAA] + raw(7),
                                             EXT40)
    seeds["short-buffer-extended"] = session([0x06] + [0x01] * 10 + [0x08, 0xAA, 0xAA, 0x20], EXT13 | HOST_START,
                                             state=5, offset=0x40)
    seeds["tiny-buffers"] = session(raw(1) + gyro(1, 2, 3) + standard([2, 9]) + [0x06, 0xAA, 0xAA], EXT5)
    seeds["no-buffer"] = session(standard([2, 9]) + [0x06, 0x01, 0xAA, 0xAA] + raw(3), EXT0)

    # Host-set starts: gyro collection from offset -1, standard from 40,
    # extended near the end of the buffer, a state outside the machine.
    seeds["host-gyro-negative-offset"] = session([0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99] + raw(2),
                                                 HOST_START, state=9, offset=0x3F)
    seeds["host-standard-offset-40"] = session([0xFF] + raw(2), HOST_START, state=4, offset=0x40 + 40)
    seeds["host-extended-near-end"] = session([0x22] * 60 + [0xAA, 0xAA, 0x04] + raw(9)[3:], HOST_START, state=7,
                                              offset=0xC0 + 50)
    seeds["host-no-state"] = session(rec[:200], HOST_START, state=12, offset=0x40 + 17)
    seeds["host-extreme-offsets"] = session(rec[:300], HOST_START, state=7, offset=0xFE)

    # Input inside the payload buffer.
    seeds["aliased"] = session(rec[:1000], ALIASED, chunks=[17, 1, 90])
    seeds["aliased-host-start"] = session(damaged(rng)[:900], ALIASED | HOST_START | EXT1024, chunks=[5, 60],
                                          state=4, offset=0x40 + 3)
    # The buffer starts inside the input: the input's tail is collected over.
    seeds["aliased-overlap"] = session(rec[:1500], ALIASED | EXT1024, chunks=[33, 200, 7], shift=200)
    seeds["aliased-overlap-small"] = session(damaged(rng)[:400], ALIASED | EXT64, chunks=[9], shift=30)

    # Listeners that meddle: every kind of answer in turn.
    meddling = [action(SET_STATE, 7), action(SET_OFFSET, 9), action(SWAP_OR_SCRIBBLE, 0x10),
                action(SWAP_OR_SCRIBBLE, 3), action(FEED, 20), action(FAIL), action(PAUSE),
                action(SWAP_OR_SCRIBBLE, 0x18), action(FEED, 7), action(SET_STATE, 4), action(SET_OFFSET, 0),
                action(SWAP_OR_SCRIBBLE, 0x10), action(SET_STATE, 13)]
    seeds["meddling"] = session(rec, MEDDLE, chunks=[30, 2, 70], actions=meddling * 6)
    seeds["meddling-damaged"] = session(damaged(rng), MEDDLE | EXT64, chunks=[11, 0, 4], actions=meddling[::-1] * 6)
    seeds["meddling-aliased"] = session(rec[:1000], MEDDLE | ALIASED, chunks=[50], actions=meddling * 4)
    # Feeds from inside callbacks whose own deliveries fail, pause and feed again.
    nested = [action(FEED, 31), action(FAIL), action(PAUSE), action(FEED, 25), action(SET_OFFSET, 30),
              action(PAUSE, 0x10), action(FEED, 12), action(SWAP_OR_SCRIBBLE, 0x10)]
    seeds["meddling-nested"] = session(rec, MEDDLE, chunks=[40, 3], actions=nested * 10)

    for name, stream in case_streams():
        seeds[name] = session(stream, chunks=[rng.randrange(1, 40) for _ in range(3)])

    for name, data in seeds.items():
        (SEEDS / name).write_bytes(data)
    total = sum(len(d) for d in seeds.values())
    print(f"wrote {len(seeds)} seeds, {total} bytes, to {SEEDS}")


if __name__ == "__main__":
    main()
