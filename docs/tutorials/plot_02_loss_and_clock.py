"""
Loss and the clock
==================

The headset's stream carries no timestamps: its clock is the raw samples,
512 a second.  Counting the samples that arrive runs slow by every sample
lost, so the decoder's clock adds the samples it infers as lost, and infers
a loss only from evidence in the bytes (see :doc:`/reference/format` for
the rules).  This tutorial damages simulated recordings the way serial
links do, measures the clock against what was really sent, and then fits
the headset's crystal to the host's clock as a live session does.
"""

# %%
# A damaged recording with its truth
# ----------------------------------
# The simulator makes the stream and, on request, damages it: stray bytes
# inserted (``noise``), bytes lost (``drop``) or changed (``substitute``),
# each a rate per byte, and whole 512-byte read buffers lost
# (``lose_buffers``).  With ``restarts`` the headset restarts its
# one-second cadence when contact is made, as real ones do.  With ``ramp``
# each raw sample carries its own index in the stream, so every decoded
# sample can be matched with the one sent; the command line's ``quillmore
# simulate --truth FILE`` writes the same truth as a CSV file.
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import quillmore
from quillmore.simulate import ramp_indices, simulate

SECONDS = 120
sim = simulate(SECONDS, seed=2, drop=0.01, restarts=True, ramp=True)
rec = quillmore.read(sim.data)
print(rec.loss.summary())

# %%
# Each decoded sample's index in the sent stream gives its true time,
# ``index / 512``.  A clock that only counts decoded samples falls behind at
# every loss; the decoder's ``raw_time`` stays with the truth.
index = ramp_indices(rec.raw)
known = np.array([i is not None for i in index])
true_time = np.array([i for i in index if i is not None]) / 512
counted = np.arange(len(rec.raw))[known] / 512

fig, ax = plt.subplots(figsize=(8, 3.5), layout="constrained")
ax.plot(true_time, (counted - true_time) * 1000, label="samples counted")
ax.plot(true_time, (rec.raw_time[known] - true_time) * 1000, label="raw_time (loss-aware clock)")
ax.set_xlabel("true time (s)")
ax.set_ylabel("error (ms)")
ax.legend()
ax.set_title("1% of the bytes deleted")

# %%
# What the decoder says it lost, against what was lost.  ``raw_missing`` is
# its estimate, of which ``raw_missing_min`` is certain (raw frames that
# failed their checksum, the samples of link gaps):
sent = SECONDS * 512
print(f"truly lost: {sent - known.sum()} samples; estimated: {rec.loss.raw_missing}"
      f" (at least {rec.loss.raw_missing_min})")

# %%
# Accuracy by damage model
# ------------------------
# The same measurement for each way of damaging the stream (a shorter run
# of ``python bench/clock_accuracy.py``, which measures three 10-minute
# recordings per model).
MODELS = {
    "no damage": {},
    "substituted 0.1%": {"substitute": 0.001},
    "inserted 0.1%": {"noise": 0.001},
    "deleted 0.1%": {"drop": 0.001},
    "substituted 1%": {"substitute": 0.01},
    "inserted 1%": {"noise": 0.01},
    "deleted 1%": {"drop": 0.01},
    "buffers of 512 B lost 1%": {"lose_buffers": 0.01},
}


def accuracy(model: dict) -> dict:
    rec = quillmore.read(simulate(SECONDS, seed=2, restarts=True, ramp=True, **model).data)
    index = ramp_indices(rec.raw)
    known = np.array([i is not None for i in index])
    truth = np.array([i for i in index if i is not None]) / 512
    error = np.abs(rec.raw_time[known] - truth) * 1000
    return {"median ms": np.median(error), "p99 ms": np.percentile(error, 99), "max ms": error.max(),
            "lost": sent - known.sum(), "estimated": rec.loss.raw_missing,
            "certain": rec.loss.raw_missing_min, "irregular": rec.loss.irregular_intervals}


table = pd.DataFrame.from_dict({name: accuracy(model) for name, model in MODELS.items()}, orient="index")
table.round(2)

# %%
# At 0.1% insertions, deletions and substitutions keep nearly every time
# exact; at 1% the 99th percentile stays within tens of milliseconds (one
# recording of two minutes here: the benchmark's longer runs give steadier
# figures, see :doc:`/performance`).  Lost read buffers are the hard case: the bytes on either
# side of a 512-byte hole join into valid frames, so most holes look like
# the cadence restarts the headset makes when contact is made (counted in
# ``irregular``); the bytes cannot tell the two apart, and the clock then
# runs early by what was cut.  A live host that falls behind should keep
# its timing file (see :doc:`/howto/timing`), which dates every read.

# %%
# The headset's crystal on the host's clock
# -----------------------------------------
# The sample clock is the headset's crystal, which runs some parts per
# million fast or slow.  A live session dates its samples on the host's
# clock with :class:`~quillmore.clock_fit.ClockFit`: each read of the port
# ends at a known position on the headset clock and arrives late by the
# link's latency plus whatever delayed that read; the reads that arrived
# soonest lie on a line whose slope is the crystal's true rate.
#
# Here the simulator's crystal runs 200 ppm fast; each piece of 16 samples
# arrives 2 ms after it was sent plus a random delay of up to 10 ms or so,
# as a busy host reads it.
from quillmore.clock_fit import ClockFit
from quillmore.simulate import chunks

rng = np.random.default_rng(1)
decoder = quillmore.Decoder()
fit = ClockFit()
due, arrival, stamp = [], [], []
for sent_at, piece in chunks(SECONDS, seed=2, clock_ppm=200.0):
    decoder.feed(piece)
    arrived = sent_at + 0.002 + rng.exponential(0.003)
    fit.add(decoder.position, arrived)
    due.append(sent_at)
    arrival.append(arrived)
    stamp.append(fit.stamp(decoder.position))
due, arrival, stamp = map(np.array, (due, arrival, stamp))
print(f"fitted rate {fit.rate:.4f} samples/s ({(fit.rate / 512 - 1) * 1e6:+.0f} ppm)")

fig, ax = plt.subplots(figsize=(8, 3.5), layout="constrained")
ax.plot(due, (arrival - due) * 1000, ".", ms=1, alpha=0.4, label="arrival of each read")
ax.plot(due, (stamp - due) * 1000, lw=1.5, label="fitted stamp")
ax.set_xlabel("sent (s)")
ax.set_ylabel("minus sent (ms)")
ax.set_ylim(0, 20)
ax.legend(loc="upper right")

# %%
# After a few seconds the stamps sit on the link's least latency (the 2 ms
# this side of the link cannot see), evenly spaced at the crystal's true
# rate, without the reads' jitter:
late = due > 10
print(f"stamp - sent after 10 s: median {np.median(stamp[late] - due[late]) * 1000:.2f} ms,"
      f" spread (p99 - p1) {np.ptp(np.percentile(stamp[late] - due[late], [1, 99])) * 1000:.3f} ms;"
      f" arrivals spread {np.ptp(np.percentile(arrival[late] - due[late], [1, 99])) * 1000:.1f} ms")
