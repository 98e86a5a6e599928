"""Throughput of quillmore.read, beside the five-callback path.

    python bench/recording_throughput.py [--seconds N] [--repeat N]

The realistic recording of bench/streams.hpp (python_throughput.py builds
the same bytes), --seconds long (default 1024, about 4.25 MB), and a
one-hour recording made by repeating it.  Before timing, read() of the
stream must hold every raw sample and every row that QuillmoreParser's
callbacks deliver, in order, and report no loss; otherwise the run aborts.

Timed, each the median of --repeat runs:

  read(bytes), read(path) (the file is read in pieces), read(bytes) with a
  first look at raw_time (computed on first use), and QuillmoreParser with
  five callbacks appending to lists, the per-frame path a host had before; then read() of the hour, and the memory it took
  beyond its input (growth of the peak resident size, measured in a child
  process on Linux), against the size of the arrays it returned.

  The floor, in the same run: read() hashes its input (source_sha256) on a
  second thread while it decodes, so it cannot beat the slower of
  hashlib.sha256 over the same bytes and the decoder alone (no hash, no
  arrays built).
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from python_throughput import appending_callbacks, recording_stream  # noqa: E402

try:
    import numpy as np

    import quillmore
    from QuillmoreParser import QuillmoreParser
    from quillmore import _recording
except ImportError as error:  # pragma: no cover - depends on the environment
    sys.exit(f"recording_throughput: {error}; install the package first: pip install /path/to/QuillmoreParser")

MEMORY_CHILD = """
import os, sys, numpy, quillmore

def peak():
    # The high-water mark of this process's resident memory, in bytes (not
    # getrusage's, which a process inherits across exec from its parent).
    with open('/proc/self/status') as status:
        line = next(line for line in status if line.startswith('VmHWM:'))
    return int(line.split()[1]) * 1024

data = bytearray(os.path.getsize(sys.argv[1]))
with open(sys.argv[1], 'rb') as stream:
    stream.readinto(data)
quillmore.read(data[:100000])
before = peak()
rec = quillmore.read(data)
rec.raw_time
after = peak()
arrays = rec.raw.nbytes + rec.raw_time.nbytes + sum(rec.rows(k).nbytes for k in ('eeg', 'extend', 'gyro', 'rr'))
print(after - before, arrays)
"""

def check(stream):
    rec = quillmore.read(stream)
    raw, eeg, extend, gyro, rr = [], [], [], [], []
    QuillmoreParser(eeg_callback=lambda r: eeg.append(r.attention), extend_eeg_callback=lambda r: extend.append(r.battery),
                    gyro_callback=lambda x, y, z: gyro.append((x, y, z)), rr_callback=lambda a, b, c: rr.append((a, b, c)),
                    raw_callback=raw.append).parse(stream)
    same = (rec.raw.tolist() == raw and rec.eeg["attention"].tolist() == eeg
            and rec.extend["battery"].tolist() == extend
            and list(zip(*(rec.gyro[a].tolist() for a in "xyz"))) == gyro
            and list(zip(*(rec.rr[f"rr{k}"].tolist() for k in (1, 2, 3)))) == rr)
    if not same or rec.loss:
        sys.exit(f"recording_throughput: read() disagrees with the callbacks or reports a loss ({rec!r}); "
                 "refusing to time it")
    return rec


def median_seconds(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def report(label, seconds, size):
    print(f"  {label:46} {seconds * 1e3:9.2f} ms {size / seconds / 1e9:8.3f} GB/s")
    return size / seconds


def main(argv=None):
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("--seconds", type=int, default=1024, help="stream length in seconds (default 1024)")
    options.add_argument("--repeat", type=int, default=11, help="timed runs per case, median reported (default 11)")
    args = options.parse_args(argv)

    stream, counts, second_ends = recording_stream(args.seconds)
    rec = check(stream)
    print(f"stream: {args.seconds} s, {len(stream) / 1e6:.3f} MB; read() gives {rec!r}")
    hour = stream * (3600 // args.seconds) + stream[:second_ends[3600 % args.seconds - 1]] if 3600 % args.seconds \
        else stream * (3600 // args.seconds)

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "recording.bin")
        with open(path, "wb") as out:
            out.write(stream)
        hour_path = os.path.join(folder, "hour.bin")
        with open(hour_path, "wb") as out:
            out.write(hour)

        print(f"\nmedian of {args.repeat} runs, {sys.implementation.name} {sys.version.split()[0]}, "
              f"numpy {np.__version__}:")
        read_bytes = report("quillmore.read(bytes)", median_seconds(lambda: quillmore.read(stream), args.repeat),
                            len(stream))
        report("quillmore.read(path)", median_seconds(lambda: quillmore.read(path), args.repeat), len(stream))
        with_times = report("quillmore.read(bytes), then its raw_time",
                            median_seconds(lambda: quillmore.read(stream).raw_time, args.repeat), len(stream))
        callbacks = report("QuillmoreParser, 5 list-append callbacks",
                           median_seconds(lambda: QuillmoreParser(**appending_callbacks()).parse(stream), args.repeat),
                           len(stream))
        sha_hour = report("floor: hashlib.sha256 of the hour", median_seconds(lambda: hashlib.sha256(hour).digest(),
                                                                               args.repeat), len(hour))
        decode_hour = report("floor: the decoder alone over the hour",
                             median_seconds(lambda: _recording.Decoder().feed(hour), args.repeat), len(hour))
        hour_seconds = median_seconds(lambda: quillmore.read(hour), args.repeat)
        report(f"quillmore.read(bytes) of one hour ({len(hour) / 1e6:.1f} MB)", hour_seconds, len(hour))
        hour_with_times = median_seconds(lambda: quillmore.read(hour).raw_time, args.repeat)
        report("quillmore.read(bytes) of one hour, then raw_time", hour_with_times, len(hour))
        report("quillmore.read(path) of one hour", median_seconds(lambda: quillmore.read(hour_path), args.repeat),
               len(hour))
        grown, arrays = map(int, subprocess.run([sys.executable, "-c", MEMORY_CHILD, hour_path], check=True,
                                                capture_output=True, text=True).stdout.split())

    print(f"\nread() over the callbacks: {read_bytes / callbacks:.0f}x ({with_times / callbacks:.0f}x with raw_time)")
    print(f"one hour: {hour_seconds * 1e3:.1f} ms ({hour_with_times * 1e3:.1f} ms with raw_time); peak memory beyond the input {grown / 1e6:.1f} MB "
          f"for {arrays / 1e6:.1f} MB of arrays")
    floor = len(hour) / min(sha_hour, decode_hour)
    print(f"one hour against its floor ({floor * 1e3:.1f} ms): {hour_seconds / floor:.2f}x")
    verdicts = [("read() of the hour within 1.25x of its floor", hour_seconds <= 1.25 * floor),
                ("read() >= 10x the callbacks", read_bytes >= 10 * callbacks),
                ("one hour < 20 ms", hour_seconds < 0.020)]
    print("targets: " + ", ".join(f"{name} {'met' if ok else 'MISSED'}" for name, ok in verdicts))


if __name__ == "__main__":
    main()
