"""A recording as a continuous signal: an MNE Raw, an EDF+ file.

Both lay the raw EEG on a grid of 512 samples a second from the start of
the loss-aware clock.  Samples the clock inferred as lost hold the value of
the sample before them (the first decoded sample, before it) and are marked
by ``BAD_lost`` annotations, which MNE's epoching leaves out and its plots
shade; the held value keeps filters from ringing at a step to zero.

Channels:

* ``EEG`` (type eeg): the raw samples in volts, ``counts * volts_per_count``;
  the default factor :data:`quillmore.recording.VOLTS_PER_COUNT` is that of
  a 12-bit converter over 1.8 V behind a gain of 2000 (about 0.22 uV per
  count); pass your headset's own.
* ``attention``, ``meditation``, ``signal`` (type misc): the standard
  frames' values, each held from its frame's time to the next frame's (the
  first frame's value before it).  Left out when the recording has no
  standard frame.

``to_mne()`` also carries the recording's event markers (``rec.markers``,
from an XDF session) as annotations of no duration, described by their
labels, at their times on the grid; those outside the data are left out.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from .constants import SAMPLES_PER_SECOND, VOLTS_PER_COUNT
from .errors import missing_extra

if TYPE_CHECKING:
    from .recording import Recording

MISC_CHANNELS = ("attention", "meditation", "signal")
BAD_LOST = "BAD_lost"


@dataclass
class Continuous:
    """The recording on the 512 Hz grid."""

    counts: np.ndarray[Any, Any]                # int16, one per grid point
    misc: dict[str, np.ndarray[Any, Any]]      # float64 per grid point, by channel
    bad: list[tuple[float, float]]              # (onset, duration) in seconds


def _runs(mask: np.ndarray[Any, Any]) -> list[tuple[int, int]]:
    """(start, length) of each run of True."""
    edges = np.diff(np.concatenate(([0], mask.astype(np.int8), [0])))
    starts = np.flatnonzero(edges == 1)
    ends = np.flatnonzero(edges == -1)
    return [(int(s), int(e - s)) for s, e in zip(starts, ends)]


def continuous(rec: Recording) -> Continuous:
    """The recording on the 512 Hz grid from the clock's zero, lost samples
    holding the sample before them and listed as bad stretches."""
    length = int(round(rec.duration * SAMPLES_PER_SECOND))
    positions = np.rint(rec.raw_time * SAMPLES_PER_SECOND).astype(np.int64)
    if len(positions):
        length = max(length, int(positions[-1]) + 1)
    if length == 0:
        raise ValueError("the recording holds no samples and no time: nothing to export")
    have = np.zeros(length, bool)
    have[positions] = True
    counts = np.zeros(length, np.int16)
    if len(positions):
        # Each grid point takes the last decoded sample at or before it.
        last = np.maximum.accumulate(np.where(have, np.arange(length), -1))
        source = np.searchsorted(positions, np.where(last < 0, positions[0], last))
        counts = rec.raw[source]
    misc: dict[str, np.ndarray[Any, Any]] = {}
    if len(rec.eeg):
        grid = np.arange(length) / SAMPLES_PER_SECOND
        row = np.clip(np.searchsorted(rec.eeg["time"], grid, side="right") - 1, 0, None)
        misc = {name: rec.eeg[name][row].astype(np.float64) for name in MISC_CHANNELS}
    lost = [(start / SAMPLES_PER_SECOND, n / SAMPLES_PER_SECOND) for start, n in _runs(~have)]
    return Continuous(counts, misc, lost)


def to_mne(rec: Recording, volts_per_count: float = VOLTS_PER_COUNT) -> Any:
    """``Recording.to_mne``."""
    try:
        import mne
    except ImportError:
        raise missing_extra("Recording.to_mne()", "mne", "mne") from None
    grid = continuous(rec)
    names = ["EEG", *grid.misc]
    data = np.vstack([grid.counts * volts_per_count, *grid.misc.values()])
    info = mne.create_info(names, SAMPLES_PER_SECOND, ["eeg"] + ["misc"] * len(grid.misc))
    raw = mne.io.RawArray(data, info, verbose="error")
    if rec.start_time is not None:
        raw.set_meas_date(rec.start_time)
    # Lost stretches, and the event markers recorded with the session (a
    # marker's onset is its time on the recording's clock, that of the grid).
    onsets = [onset for onset, _ in grid.bad] + rec.markers["time"].tolist()
    durations = [duration for _, duration in grid.bad] + [0.0] * len(rec.markers)
    descriptions = [BAD_LOST] * len(grid.bad) + [str(label) for label in rec.markers["label"]]
    if onsets:
        raw.set_annotations(mne.Annotations(onsets, durations, descriptions),
                            verbose="error")
    return raw


def to_edf(rec: Recording, path: str | os.PathLike[str], volts_per_count: float = VOLTS_PER_COUNT) -> None:
    """EDF+ with one-second data records.  The raw counts are the EDF's
    16-bit digital values themselves, so they read back exactly; the
    physical values (microvolts, from the factor) are as exact as the
    header's 8-character physical range allows (about 0.001 uV).  The signal is padded with its last
    value to a whole second, the padding marked ``BAD_padding``."""
    try:
        import edfio
    except ImportError:
        raise missing_extra("Recording.to_edf()", "edfio", "edf") from None
    grid = continuous(rec)
    length = len(grid.counts)
    padded = -(-length // SAMPLES_PER_SECOND) * SAMPLES_PER_SECOND

    def pad(values: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        return np.concatenate([values, np.full(padded - length, values[-1], values.dtype)])

    microvolts = volts_per_count * 1e6
    signals = [edfio.EdfSignal.from_digital(
        pad(grid.counts).astype(np.int16), SAMPLES_PER_SECOND, label="EEG", physical_dimension="uV",
        physical_range=(-32768 * microvolts, 32767 * microvolts), digital_range=(-32768, 32767))]
    for name, values in grid.misc.items():
        signals.append(edfio.EdfSignal.from_digital(
            pad(values).astype(np.int16), SAMPLES_PER_SECOND, label=name, physical_range=(0, 255),
            digital_range=(0, 255)))
    annotations = [edfio.EdfAnnotation(onset, duration, BAD_LOST) for onset, duration in grid.bad]
    if padded > length:
        annotations.append(edfio.EdfAnnotation(length / SAMPLES_PER_SECOND, (padded - length) / SAMPLES_PER_SECOND,
                                               "BAD_padding"))
    # The start, when a capture's timing file gave it: the date in the
    # recording field, the time of day (EDF keeps whole seconds; edfio keeps
    # the fraction in the file's first annotation).
    start = rec.start_time
    recording = None if start is None else edfio.Recording(startdate=start.date())
    edf = edfio.Edf(signals, recording=recording, starttime=None if start is None else start.time().replace(tzinfo=None),
                    data_record_duration=1, annotations=annotations)
    edf.write(os.fspath(path))
