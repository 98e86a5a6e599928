"""
A recording to arrays, pandas and MNE
=====================================

:func:`quillmore.read` turns a recording (the bytes the headset sent) into
NumPy arrays; from there :meth:`~quillmore.Recording.to_pandas` makes
DataFrames and :meth:`~quillmore.Recording.to_mne` an MNE ``Raw`` object,
with the stretches the stream lost marked ``BAD_lost`` so that epoching
leaves them out.
"""

# %%
# The arrays
# ----------
# The package ships a 60-second recording; any path, ``bytes`` or binary
# file object is read the same way.
from importlib import resources

import matplotlib.pyplot as plt
import numpy as np

import quillmore

sample = resources.files("quillmore") / "data" / "sample.bin"
rec = quillmore.read(sample.read_bytes())
print(rec)

# %%
# ``raw`` holds every raw EEG sample (int16 counts, 512 a second) and
# ``raw_time`` its time in seconds on the stream's clock.  The other kinds
# are structured arrays, one row per frame: ``eeg`` (the standard frame,
# once a second: contact quality, attention, meditation and eight band
# powers), ``extend`` (battery, firmware, temperature, heart rate), ``gyro``
# and ``rr`` (heart-beat intervals).  Each row carries ``sample``, the raw
# samples decoded before it, and ``time``.
print(rec.raw.dtype, rec.raw.shape, rec.raw_time[-1])
print(rec.eeg.dtype.names)
print(rec.extend[["time", "battery", "temperature", "heart"]][:3])

# %%
# Ten seconds of the raw trace, with the contact quality of each second
# (``signal``: 0 is good contact, 200 is off the skin):
fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 4), layout="constrained")
window = rec.raw_time < 10
top.plot(rec.raw_time[window], rec.raw[window], lw=0.5)
top.set_ylabel("raw (counts)")
first = rec.eeg["time"] < 10
bottom.step(rec.eeg["time"][first], rec.eeg["signal"][first], where="post")
bottom.set_ylabel("signal")
bottom.set_xlabel("time (s)")

# %%
# pandas
# ------
# ``to_pandas()`` gives a DataFrame per kind with ``time`` as the index
# (``to_pandas("eeg")`` just one).  Temperatures the sensor did not measure
# are NaN with their reason in ``temperature_status``, never a zero.
frames = rec.to_pandas()
eeg = frames["eeg"]
print(eeg[["signal", "attention", "meditation", "lowAlpha", "highBeta"]].describe().round(1))

# %%
# Attention and meditation, smoothed over ten seconds, once contact is good:
good = eeg[eeg["signal"] < 50]
ax = good[["attention", "meditation"]].rolling(10, min_periods=1).mean().plot(figsize=(8, 3))
ax.set_ylabel("0..100")

# %%
# MNE
# ---
# ``to_mne()`` lays the samples on a 512 Hz grid: channel ``EEG`` in volts
# (counts times ``volts_per_count``; pass your headset's calibration, see
# :doc:`/howto/calibrate`), and ``attention``, ``meditation`` and ``signal``
# as ``misc`` channels.  The power spectrum shows the simulated rhythms:
import mne

raw = rec.to_mne()
print(raw)
psd = raw.compute_psd(fmin=1, fmax=45, picks="eeg")
fig = psd.plot(amplitude=False, show=False)

# %%
# Lost stretches
# --------------
# A real link loses data.  Here the link to a (simulated) headset went away
# for three seconds in the middle of a three-minute session, and a few
# bytes were corrupted on the way.  A live host feeds a
# :class:`~quillmore.Decoder` chunk by chunk and tells it how long the link
# was down (:meth:`~quillmore.Decoder.link_gap`; ``quillmore stream
# --reconnect`` does the same, and its timing file lets ``read`` do it
# later).
from quillmore.recording import concatenate
from quillmore.simulate import simulate

stream = simulate(180, seed=11, substitute=0.00002).data
period = len(stream) // 180           # bytes of one second
cut, back = 90 * period, 93 * period  # the bytes sent while the link was down never arrive
decoder = quillmore.Decoder()
parts = [decoder.feed(stream[:cut])]
decoder.link_gap(3.0)
parts += [decoder.feed(stream[back:]), decoder.finish()]
session = concatenate(parts)
print(session)

# %%
# ``to_mne()`` keeps every sample at its time: the lost ones hold the
# sample before them and are covered by ``BAD_lost`` annotations.
raw = session.to_mne()
lost = raw.annotations[raw.annotations.description == "BAD_lost"]
print(f"{len(lost)} lost stretches, {lost.duration.sum():.2f} s in all; the longest:"
      f" {lost.duration.max():.2f} s at {lost.onset[lost.duration.argmax()]:.1f} s")

# %%
# Epochs of two seconds: MNE drops those that overlap a ``BAD_`` annotation,
# so no epoch holds made-up samples.
epochs = mne.make_fixed_length_epochs(raw, duration=2.0, preload=True, reject_by_annotation=True)
print(epochs)
dropped = sum(1 for reasons in epochs.drop_log if "BAD_lost" in reasons)
print(f"{dropped} of {len(epochs.drop_log)} epochs left out for BAD_lost")

fig = raw.plot(duration=12, start=84, scalings={"eeg": 150e-6, "misc": 200}, show=False, show_scrollbars=False)

# %%
# The rest of the arrays are the same as for a clean recording; ``rec.loss``
# (a :class:`~quillmore.Loss`) says what was lost and how sure the decoder
# is of it:
print(session.loss.summary())
print(session.loss.raw_missing, session.loss.raw_missing_min, session.loss.link_gaps)
