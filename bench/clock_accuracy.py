"""Accuracy of the loss-aware clock against the simulator's truth.

    python bench/clock_accuracy.py [--seconds N] [--seeds N]

For each damage model and rate, --seeds simulated recordings of --seconds
each (default 3 x 600 s) from a headset that restarts its cadence when
contact is made and whose raw samples carry their own index in the sent
stream (simulate(..., restarts=True, ramp=True)), so every decoded sample
is matched with the one sent.  Decoded with quillmore.read, then per model:

  raw samples   the error of each decoded raw sample's time (rec.raw_time)
                against its true time (index / 512 s on the headset's
                clock): median, 99th percentile and maximum, in ms;
  standard      the same for the standard frames whose neighbouring raw
                samples were both decoded: the largest error;
  lost          raw samples truly lost, and the clock's estimate
                (loss.raw_missing) with the part it holds certain
                (loss.raw_missing_min);
  irregular     loss.irregular_intervals: cadence restarts (and clean cuts).

The clock counts samples, so a crystal running fast or slow changes
nothing here; it matters against the host's clock (live time stamps).
"""
import argparse
import os
import sys
import time

try:
    import numpy as np

    import quillmore
    from quillmore.simulate import ramp_indices, simulate
except ImportError as error:
    sys.exit(f"clock_accuracy: needs the quillmore package with NumPy installed ({error})")

MODELS = (
    ("no damage", {}),
    ("substituted 0.1%", {"substitute": 0.001}),
    ("inserted 0.1%", {"noise": 0.001}),
    ("deleted 0.1%", {"drop": 0.001}),
    ("substituted 1%", {"substitute": 0.01}),
    ("inserted 1%", {"noise": 0.01}),
    ("deleted 1%", {"drop": 0.01}),
    ("inserted 1% + deleted 1%", {"noise": 0.01, "drop": 0.01}),
    ("buffers of 512 B lost 1%", {"lose_buffers": 0.01}),
)


def measure(seconds: float, seed: int, model: dict) -> dict:
    sim = simulate(seconds, seed, restarts=True, ramp=True, **model)
    rec = quillmore.read(sim.data)
    indices = ramp_indices(rec.raw)
    known = np.array([i is not None for i in indices], dtype=bool)
    truth = np.array([-1 if i is None else i for i in indices], dtype=np.int64)
    errors = (rec.raw_time[known] - truth[known] / 512.0) * 1000.0
    # Standard frames with both neighbours decoded, one sample apart: the
    # frame was sent just before the second of them.
    standard = []
    for sample, at in zip(rec.eeg["sample"], rec.eeg["time"]):
        if 0 < sample < len(truth) and known[sample - 1] and known[sample] and truth[sample] == truth[sample - 1] + 1:
            standard.append((at - truth[sample] / 512.0) * 1000.0)
    sent = round(seconds * 512)
    return {"errors": np.abs(errors), "standard": np.abs(np.array(standard)), "lost": sent - int(known.sum()),
            "missing": rec.loss.raw_missing, "missing_min": rec.loss.raw_missing_min,
            "irregular": rec.loss.irregular_intervals}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=600.0)
    parser.add_argument("--seeds", type=int, default=3)
    args = parser.parse_args()
    started = time.perf_counter()
    print(f"{args.seeds} recordings of {args.seconds:g} s per model, cadence restarts on; errors in ms")
    print(f"{'model':26} {'median':>7} {'p99':>7} {'max':>8} {'std max':>8} {'lost':>7} {'inferred':>9} "
          f"{'certain':>8} {'irreg':>6}")
    for name, model in MODELS:
        runs = [measure(args.seconds, seed, model) for seed in range(1, args.seeds + 1)]
        errors = np.concatenate([r["errors"] for r in runs])
        standard = np.concatenate([r["standard"] for r in runs])
        print(f"{name:26} {np.median(errors):7.2f} {np.percentile(errors, 99):7.2f} {errors.max():8.2f} "
              f"{standard.max() if len(standard) else float('nan'):8.2f} {sum(r['lost'] for r in runs):7} "
              f"{sum(r['missing'] for r in runs):9} {sum(r['missing_min'] for r in runs):8} "
              f"{sum(r['irregular'] for r in runs):6}")
    print(f"({time.perf_counter() - started:.0f} s; python {sys.version.split()[0]}, {os.cpu_count()} cpus)")


if __name__ == "__main__":
    main()
