"""Live time stamps against the simulator's truth.

    python bench/live_stamps.py [--seconds N] [--ppm P ...]

For each crystal error (default +200 and -200 ppm) a virtual headset serves
--seconds of stream on a pseudo-terminal (quillmore simulate --pty
--clock-ppm P --truth T, cadence restarts on), `quillmore stream --port`
reads it and sends it on LSL, and an inlet here receives the raw samples
with their stamps.  The received samples are a stretch of what was sent, so
each is matched with its line in the truth file, which says when it was
due on LSL's local_clock() (the virtual headset's schedule).  Printed per
run, after the first 10 s (the fit's warm-up) and in ms: the median of
(stamp - sent), which is the latency the stamps carry, and the 99th
percentile and maximum of its deviation from that median.

Needs pylsl (with liblsl) and a Linux pseudo-terminal.
"""
import argparse
import csv
import os
import subprocess
import sys
import tempfile
import time
import uuid

try:
    import numpy as np
    import pylsl
except ImportError as error:
    sys.exit(f"live_stamps: needs NumPy and pylsl ({error})")

QUILLMORE = [sys.executable, "-m", "quillmore"]


def run(seconds: float, ppm: float, folder: str) -> dict:
    truth_path = os.path.join(folder, f"truth{ppm:+g}.csv")
    link = os.path.join(folder, f"pty{ppm:+g}")
    origin = f"bench-{uuid.uuid4().hex}"
    log = open(os.path.join(folder, "log.txt"), "ab")
    headset = subprocess.Popen(QUILLMORE + ["simulate", "--pty", "--link", link, "--seed", "3", "--restarts",
                                            "--clock-ppm", str(ppm), "--truth", truth_path,
                                            "--duration", str(seconds + 5)], stderr=log)
    deadline = time.monotonic() + 10
    while not os.path.islink(link) and time.monotonic() < deadline:
        time.sleep(0.05)
    streamer = subprocess.Popen(QUILLMORE + ["stream", "--port", link, "--duration", str(seconds),
                                             "--source-id", origin, "--raw-units", "counts", "--quiet"], stderr=log)
    try:
        found = pylsl.resolve_byprop("source_id", f"quillmore:{origin}:raw", timeout=15)
        if not found:
            sys.exit("live_stamps: the raw outlet did not appear")
        inlet = pylsl.StreamInlet(found[0], max_buflen=int(seconds) + 10)
        values, stamps = [], []
        until = time.monotonic() + seconds + 5
        while time.monotonic() < until and streamer.poll() is None:
            chunk, times = inlet.pull_chunk(timeout=0.2)
            values += [sample[0] for sample in chunk]
            stamps += times
        chunk, times = inlet.pull_chunk(timeout=1.0)
        values += [sample[0] for sample in chunk]
        stamps += times
    finally:
        streamer.wait(timeout=30)
        headset.terminate()
        headset.wait(timeout=30)
        log.close()
    with open(truth_path, newline="") as stream:
        rows = list(csv.DictReader(stream))
    sent_values = [int(row["raw"]) for row in rows]
    sent = np.array([float(row["sent"]) for row in rows])
    # The received samples are a contiguous stretch of those sent.
    probe = values[:64]
    first = next(i for i in range(len(sent_values)) if sent_values[i:i + len(probe)] == probe)
    n = min(len(values), len(sent_values) - first)
    if sent_values[first:first + n] != values[:n]:
        sys.exit("live_stamps: the samples received are not a stretch of those sent")
    error = (np.array(stamps[:n]) - sent[first:first + n]) * 1000.0
    keep = sent[first:first + n] > sent[first] + 10.0
    error = error[keep]
    median = float(np.median(error))
    deviation = np.abs(error - median)
    return {"n": int(keep.sum()), "median": median, "p99": float(np.percentile(deviation, 99)),
            "max": float(deviation.max())}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--ppm", type=float, nargs="+", default=[200.0, -200.0])
    args = parser.parse_args()
    print(f"live stamps over {args.seconds:g} s per run, after 10 s of warm-up; ms")
    print(f"{'crystal':>10} {'samples':>8} {'latency (median)':>17} {'p99 deviation':>14} {'max deviation':>14}")
    with tempfile.TemporaryDirectory() as folder:
        for ppm in args.ppm:
            r = run(args.seconds, ppm, folder)
            print(f"{ppm:+8g} ppm {r['n']:8} {r['median']:17.3f} {r['p99']:14.3f} {r['max']:14.3f}")
    print(f"(python {sys.version.split()[0]}, {os.cpu_count()} cpus)")


if __name__ == "__main__":
    main()
