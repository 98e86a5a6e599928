"""Throughput of the QuillmoreParser extension module, seen from Python.

    python bench/python_throughput.py [--seconds N] [--repeat N]
                                      [--pure-seconds N] [--core-mbps X]

Builds the same synthetic recording as bench/streams.hpp (recordingStream,
fixed seed; 1024 s is about 4.25 MB): per second 512 raw-sample frames, one
standard frame followed by an extended frame, a gyroscope frame every 2nd
second and an HRV frame every 3rd.  The generator draws from the same
Mersenne Twister sequence as the C++ one, so the bytes match.

Before anything is timed, the module (fed whole, in 64-byte chunks and as a
list of ints) and the plain Python decoder in pure_python_parser.py must
deliver identical callback logs, with the frame counts the generator wrote;
otherwise the run aborts.

Timed, each the median of --repeat runs with a fresh parser per run:

  (a) bytes input, no callbacks
  (b) bytes input, all five callbacks appending to lists
  (c) the stream as a list of ints, callbacks as in (b)

and the pure Python decoder for (a) and (b), on the first --pure-seconds of
the stream (it is slow), with the speed-ups of the module over it.
"""
import argparse
import collections
import math
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import headset_frames as frames  # noqa: E402
from pure_python_parser import PurePythonParser  # noqa: E402

try:
    from QuillmoreParser import QuillmoreParser
except ImportError as error:  # pragma: no cover - depends on the environment
    sys.exit(f"python_throughput: cannot import QuillmoreParser ({error}); "
             "install it first: pip install /path/to/QuillmoreParser")

DEFAULT_SEED = 0x51C0FFEE
SAMPLES_PER_SECOND = 512
SERIAL_CHUNK = 64

DATA_FIELDS = ("signal", "attention", "meditation", "delta", "theta", "lowAlpha",
               "highAlpha", "lowBeta", "highBeta", "lowGamma", "highGamma")
EXTEND_FIELDS = ("ap", "battery", "version", "gnaw", "temperature", "heart")


# ------------------------------------------------------------ stream generator

class Rng:
    """std::mt19937(seed) and the draws streams.hpp makes on top of it."""

    def __init__(self, seed):
        # std::mt19937's seeding (init_genrand), loaded into Python's own
        # MT19937; getrandbits(32) then yields the very same words.
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            prev = mt[-1]
            mt.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
        self._random = random.Random()
        self._random.setstate((3, tuple(mt) + (624,), None))
        self.word = lambda: self._random.getrandbits(32)

    def byte(self):
        return self.word() >> 24

    def between(self, lo, hi):
        return lo + self.word() % (hi - lo + 1)

    def unit(self):
        return (self.word() >> 8) * (1.0 / 16777216.0)

    def gaussian(self):
        return (self.unit() + self.unit() + self.unit() + self.unit() - 2.0) * 1.7320508075688772


def round_half_away(v):
    """C's round(): halves away from zero (Python's round() goes to even)."""
    magnitude = abs(v)
    r = math.floor(magnitude)
    if magnitude - r >= 0.5:
        r += 1
    return math.copysign(r, v)


class EegWave:
    """A plausible EEG trace in raw units, as streams.hpp draws it."""

    def __init__(self, rng):
        self.rng = rng
        self.n = 0
        self.blink_left = 0

    def next(self):
        t = self.n / SAMPLES_PER_SECOND
        self.n += 1
        two_pi = 6.283185307179586
        envelope = 1.0 + 0.4 * math.sin(two_pi * 0.07 * t)
        v = (35.0 * math.sin(two_pi * 0.4 * t)
             + 22.0 * math.sin(two_pi * 6.0 * t + 0.3)
             + 40.0 * envelope * math.sin(two_pi * 10.2 * t + 1.1)
             + 12.0 * math.sin(two_pi * 21.0 * t + 2.0)
             + 5.0 * math.sin(two_pi * 50.0 * t)
             + 15.0 * self.rng.gaussian())
        if self.blink_left == 0 and self.rng.word() % (4 * SAMPLES_PER_SECOND) == 0:
            self.blink_left = 150
        if self.blink_left > 0:
            phase = (150 - self.blink_left) / 150.0
            v += 600.0 * math.sin(3.141592653589793 * phase)
            self.blink_left -= 1
        return int(min(max(round_half_away(v), -32767.0), 32767.0))


def raw_frame(sample):
    # The headset sends 80 02 in the two payload bytes that are not read.
    return frames.raw_sample(sample, lead=b"\x80\x02")


def standard_frame(rng):
    signal = rng.between(26, 200) if rng.between(0, 19) == 0 else 0
    bands = [rng.between(1000, 1500000) for _ in range(8)]
    attention = rng.between(1, 100)
    meditation = rng.between(1, 100)
    payload = bytes((0x02, signal, 0x83, 0x18)) + b"".join(
        band.to_bytes(3, "big") for band in bands) + bytes((0x04, attention, 0x05, meditation))
    return frames.standard(payload)


def extended_frame(rng, battery):
    ap = rng.between(0, 100)
    gnaw = rng.between(0, 3)
    int_temp = rng.between(33, 36)
    dec_temp = rng.between(0, 9)
    heart = rng.between(58, 95)
    return bytes((0x06, ap, 0x07, battery, 0x08, 0x01, gnaw, 0x27, int_temp, dec_temp, heart))


def gyro_frame(rng):
    return frames.gyro_body(bytes(rng.byte() for _ in range(8)))


def hrv_frame(rng):
    extra = bytes(rng.byte() for _ in range(6))
    base = rng.between(650, 1050)
    # The C++ generator draws the spread of rr3 before that of rr2 (its
    # compiler evaluates call arguments right to left); keep the same order.
    rr3 = (base - rng.between(0, 40)) & 0xFFFF
    rr2 = (base + rng.between(0, 40)) & 0xFFFF
    return frames.hrv_frame(base, rr2, rr3, extra=extra)


def recording_stream(seconds, seed=DEFAULT_SEED):
    """Returns (stream, counts, second_ends): second_ends[s] is the length of
    the stream's first s + 1 seconds."""
    rng = Rng(seed)
    wave = EegWave(rng)
    out = bytearray()
    counts = dict(raw=0, standard=0, extended=0, gyro=0, hrv=0)
    second_ends = []
    for second in range(seconds):
        for k in range(SAMPLES_PER_SECOND):
            if k == 64 and second % 2 == 0:
                out += gyro_frame(rng)
                counts["gyro"] += 1
            if k == 384 and second % 3 == 0:
                out += hrv_frame(rng)
                counts["hrv"] += 1
            out += raw_frame(wave.next())
            counts["raw"] += 1
            if k + 1 == 256:
                out += standard_frame(rng)
                counts["standard"] += 1
                out += extended_frame(rng, 100 - min(second // 60, 100))
                counts["extended"] += 1
        second_ends.append(len(out))
    return bytes(out), counts, second_ends


# ------------------------------------------------------------ callbacks

def logging_callbacks(log):
    """Callbacks that record every delivery, with value types, in `log`."""
    def record(kind, fields):
        return lambda r: log.append((kind,) + tuple((f, type(getattr(r, f)).__name__, getattr(r, f))
                                                    for f in fields))
    return dict(
        eeg_callback=record("eeg", DATA_FIELDS),
        extend_eeg_callback=record("extend", EXTEND_FIELDS),
        gyro_callback=lambda x, y, z: log.append(("gyro", x, y, z)),
        rr_callback=lambda a, b, c: log.append(("rr", a, b, c)),
        raw_callback=lambda raw: log.append(("raw", raw)),
    )


def appending_callbacks():
    """The small callbacks of the timed runs: each appends to its own list."""
    eeg, extend, gyro, rr, raw = [], [], [], [], []

    def on_eeg(record):
        eeg.append(record)

    def on_extend(record):
        extend.append(record)

    def on_gyro(x, y, z):
        gyro.append((x, y, z))

    def on_rr(rr1, rr2, rr3):
        rr.append((rr1, rr2, rr3))

    def on_raw(sample):
        raw.append(sample)

    return dict(eeg_callback=on_eeg, extend_eeg_callback=on_extend, gyro_callback=on_gyro,
                rr_callback=on_rr, raw_callback=on_raw)


# ------------------------------------------------------------ checking

def decode_log(parser_class, chunks):
    log: list[tuple[object, ...]] = []
    parser = parser_class(**logging_callbacks(log))
    for chunk in chunks:
        parser.parse(chunk)
    return log


def log_counts(log):
    counts = dict(raw=0, standard=0, extended=0, gyro=0, hrv=0)
    names = dict(raw="raw", eeg="standard", extend="extended", gyro="gyro", rr="hrv")
    for entry in log:
        counts[names[entry[0]]] += 1
    return counts


def raw_samples(stream):
    """The stream's raw samples, as (b)'s raw callback receives them."""
    samples: list[int] = []
    QuillmoreParser(raw_callback=samples.append).parse(stream)
    return samples


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"delivery {i}: {x!r} != {y!r}"
    return f"lengths {len(a)} != {len(b)}"


def check_stream(stream, expected):
    reference = decode_log(QuillmoreParser, [stream])
    if log_counts(reference) != expected:
        sys.exit(f"python_throughput: QuillmoreParser delivered {log_counts(reference)}, "
                 f"the generator wrote {expected}; refusing to time it")
    variants = [
        ("QuillmoreParser, 64-byte chunks", QuillmoreParser,
         [stream[i:i + SERIAL_CHUNK] for i in range(0, len(stream), SERIAL_CHUNK)]),
        ("QuillmoreParser, list of ints", QuillmoreParser, [list(stream)]),
        ("PurePythonParser", PurePythonParser, [stream]),
    ]
    for label, parser_class, chunks in variants:
        log = decode_log(parser_class, chunks)
        if log != reference:
            sys.exit(f"python_throughput: {label} disagrees with QuillmoreParser on the whole "
                     f"stream ({first_difference(reference, log)}); refusing to time it")


# ------------------------------------------------------------ timing

def median_seconds(run, data, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run(data)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def no_callbacks(parser_class):
    def run(data):
        parser_class().parse(data)
    return run


def with_callbacks(parser_class):
    def run(data):
        parser_class(**appending_callbacks()).parse(data)
    return run


def interpreter_floor(raw_values):
    """The interpreter alone: (b)'s raw callback called once per raw sample
    over ready-made ints by map(), with nothing decoded.  No binding that
    calls a Python function per frame can beat it."""
    def run(values):
        collections.deque(map(appending_callbacks()["raw_callback"], values), maxlen=0)
    return run


def report(label, seconds, size, raw_frames):
    mbps = size / seconds / 1e6
    frames = raw_frames / seconds
    print(f"  {label:44} {seconds * 1e3:9.2f} ms {mbps:9.2f} MB/s {frames / 1e6:9.3f} M raw frames/s")
    return mbps, frames


def main(argv=None):
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("--seconds", type=int, default=1024, help="stream length in seconds (default 1024)")
    options.add_argument("--repeat", type=int, default=7, help="timed runs per case, median reported (default 7)")
    options.add_argument("--pure-seconds", type=int, default=256,
                         help="seconds of the stream the pure Python decoder is timed on (default 256)")
    options.add_argument("--core-mbps", type=float, default=None,
                         help="the core's own throughput (BM_Recording, MB/s), to report (a) against")
    args = options.parse_args(argv)
    if args.seconds < 1 or args.repeat < 1 or args.pure_seconds < 1:
        options.error("--seconds, --repeat and --pure-seconds must be at least 1")

    started = time.perf_counter()
    stream, counts, second_ends = recording_stream(args.seconds)
    built = time.perf_counter() - started
    print(f"stream: {args.seconds} s, {len(stream) / 1e6:.3f} MB, {counts['raw']} raw, {counts['standard']} standard, "
          f"{counts['extended']} extended, {counts['gyro']} gyro, {counts['hrv']} hrv frames "
          f"(built in {built:.1f} s)")

    started = time.perf_counter()
    check_stream(stream, counts)
    print(f"check: module (whole, 64-byte chunks, list of ints) and pure Python deliver identical "
          f"logs ({sum(counts.values())} deliveries; {time.perf_counter() - started:.1f} s)")

    as_list = list(stream)
    pure_seconds = min(args.pure_seconds, args.seconds)
    pure_slice = stream[:second_ends[pure_seconds - 1]]
    pure_raw = pure_seconds * SAMPLES_PER_SECOND

    print(f"\nmedian of {args.repeat} runs, {sys.implementation.name} {sys.version.split()[0]}:")
    a_mbps, _ = report("(a) module, bytes, no callbacks",
                       median_seconds(no_callbacks(QuillmoreParser), stream, args.repeat), len(stream), counts["raw"])
    b_mbps, b_frames = report("(b) module, bytes, 5 list-append callbacks",
                              median_seconds(with_callbacks(QuillmoreParser), stream, args.repeat),
                              len(stream), counts["raw"])
    report("(c) module, list of ints, callbacks as (b)",
           median_seconds(with_callbacks(QuillmoreParser), as_list, args.repeat), len(stream), counts["raw"])
    raw_values = raw_samples(stream)
    _, floor_frames = report("floor: (b)'s raw callback by map() over ints",
                             median_seconds(interpreter_floor(raw_values), raw_values, args.repeat),
                             len(stream), len(raw_values))

    print(f"  pure Python decoder on the first {pure_seconds} s ({len(pure_slice) / 1e6:.3f} MB):")
    pa_mbps, _ = report("(a) pure Python, no callbacks",
                        median_seconds(no_callbacks(PurePythonParser), pure_slice, args.repeat),
                        len(pure_slice), pure_raw)
    pb_mbps, _ = report("(b) pure Python, callbacks as (b)",
                        median_seconds(with_callbacks(PurePythonParser), pure_slice, args.repeat),
                        len(pure_slice), pure_raw)

    print(f"\nspeed-up over pure Python: (a) {a_mbps / pa_mbps:.0f}x, (b) {b_mbps / pb_mbps:.0f}x")
    if args.core_mbps:
        verdict = "met" if a_mbps >= args.core_mbps / 2 else "MISSED"
        print(f"target (a) >= half the core's {args.core_mbps:.0f} MB/s: {a_mbps / args.core_mbps:.0%} of it, {verdict}")
    verdict = "met" if b_frames >= 4e6 else "MISSED"
    print(f"target (b) >= 4 M raw frames/s: {b_frames / 1e6:.2f} M, {verdict}")
    verdict = "met" if b_frames >= 0.7 * floor_frames else "MISSED"
    print(f"target (b) >= 70% of the interpreter's floor: {b_frames / floor_frames:.0%} of it, {verdict}")


if __name__ == "__main__":
    main()
