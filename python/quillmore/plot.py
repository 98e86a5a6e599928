"""A picture of a recording: raw EEG, band powers, attention and meditation,
heart rate and head orientation over one time axis.

matplotlib is an optional dependency (the ``plot`` extra); it is imported
only when a picture is drawn, with the non-interactive Agg backend.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from .decode import Recording
from .errors import missing_extra
from .frames import BANDS
from .output import writing

if TYPE_CHECKING:
    from matplotlib.axes import Axes

# The bands under the names of the record's fields, as a user finds them
# in the decoded files.
BAND_LABELS = BANDS
# Raw traces longer than this are drawn as a min/max envelope per bin.
_MAX_RAW_POINTS = 60000


def require_matplotlib() -> None:
    """Fails with a clear message when matplotlib is not installed."""
    try:
        import matplotlib
    except ImportError:
        raise missing_extra("plotting", "matplotlib", "plot") from None
    matplotlib.use("Agg")


def _window(times: Sequence[float], start: float | None, end: float | None) -> list[int]:
    return [i for i, t in enumerate(times)
            if (start is None or t >= start) and (end is None or t <= end)]


def _empty(axes: "Axes", text: str) -> None:
    axes.text(0.5, 0.5, text, transform=axes.transAxes, ha="center", va="center", color="0.5")


def _legend(axes: "Axes") -> None:
    axes.legend(loc="upper left", bbox_to_anchor=(1.005, 1.0), frameon=False, fontsize="small")


def draw(recording: Recording, output: str, title: str, start: float | None = None,
         end: float | None = None, dpi: int = 110) -> None:
    """Draws ``recording`` into the PNG file ``output`` (written as
    :func:`quillmore.output.writing` does: never half a file)."""
    require_matplotlib()
    import numpy as np
    from matplotlib.figure import Figure

    raw_times = [float(t) for t in recording.column("raw", "time")]
    raw_values = recording.column("raw", "raw")
    eeg_times = [float(t) for t in recording.column("eeg", "time")]
    eeg = _window(eeg_times, start, end)
    ext_times = [float(t) for t in recording.column("extend", "time")]
    ext = _window(ext_times, start, end)
    gyro_times = [float(t) for t in recording.column("gyro", "time")]
    gyro = _window(gyro_times, start, end)

    figure = Figure(figsize=(13, 11), dpi=dpi, layout="constrained")
    panels = figure.subplots(5, 1, sharex=True, height_ratios=(2.2, 2.0, 1.4, 1.4, 1.1))
    raw_axes, band_axes, mind_axes, heart_axes, gyro_axes = panels
    figure.suptitle(title, fontsize="large")

    # Poor contact: each standard frame judges the second before it.
    signal = recording.column("eeg", "signal")
    poor = [(eeg_times[i] - 1.0, eeg_times[i]) for i in eeg if int(signal[i]) > 0]
    for axes in (raw_axes, mind_axes):
        for index, (left, right) in enumerate(poor):
            axes.axvspan(left, right, color="tab:red", alpha=0.12, linewidth=0,
                         label="poor contact (signal > 0)" if index == 0 else None)

    # Raw EEG.
    raw = _window(raw_times, start, end)
    if raw:
        t = np.asarray(raw_times)[raw[0]:raw[-1] + 1]
        v = np.asarray(raw_values, dtype=float)[raw[0]:raw[-1] + 1]
        # Samples the clock counts as lost leave a gap between their
        # neighbours: shade it, and break the trace there instead of joining
        # across it.
        gaps = np.flatnonzero(np.diff(t) > 1.5 / 512)
        for index, at in enumerate(gaps):
            raw_axes.axvspan(t[at] + 1 / 512, t[at + 1], color="0.6", alpha=0.35, linewidth=0,
                             label="lost samples" if index == 0 else None)
        if len(gaps) and len(v) <= _MAX_RAW_POINTS:
            t = np.insert(t, gaps + 1, t[gaps] + 1 / 512)
            v = np.insert(v, gaps + 1, np.nan)
        if len(v) > _MAX_RAW_POINTS:
            bins = len(v) // (_MAX_RAW_POINTS // 2)
            usable = len(v) // bins * bins
            shaped = v[:usable].reshape(-1, bins)
            raw_axes.fill_between(t[:usable:bins], shaped.min(axis=1), shaped.max(axis=1),
                                  color="tab:blue", linewidth=0.6, label="raw EEG (range per bin)")
        else:
            raw_axes.plot(t, v, color="tab:blue", linewidth=0.5, label="raw EEG")
        # A damaged stream lets through the odd garbage sample (a checksum
        # matches by chance one time in 256); keep those from flattening
        # the trace.
        low, high = np.nanpercentile(v, (0.05, 99.95))
        margin = 0.15 * max(high - low, 1.0)
        low, high = low - margin, high + margin
        outside = int(np.count_nonzero((v < low) | (v > high)))
        if outside:
            raw_axes.set_ylim(low, high)
            plural = "" if outside == 1 else "s"
            raw_axes.text(0.995, 0.02, f"{outside} sample{plural} beyond the range shown",
                          transform=raw_axes.transAxes, ha="right", va="bottom", fontsize="small", color="0.4")
    else:
        _empty(raw_axes, "no raw samples")
    raw_axes.set_ylabel("raw sample (counts)")
    raw_axes.set_title("Raw EEG (512 samples/s)", loc="left", fontsize="medium")
    if raw or poor:
        _legend(raw_axes)

    # Band powers.
    if eeg:
        times = [eeg_times[i] for i in eeg]
        colours = ("#3b0f70", "#1f77b4", "#17becf", "#2ca02c", "#bcbd22", "#ff7f0e", "#d62728", "#8c564b")
        for band, label, colour in zip(BANDS, BAND_LABELS, colours):
            values = recording.column("eeg", band)
            # Zero cannot be shown on a log scale; draw it as a gap.
            points = [float(values[i]) if values[i] else float("nan") for i in eeg]
            band_axes.plot(times, points, marker=".", markersize=3, linewidth=1.0, color=colour, label=label)
        band_axes.set_yscale("log")
        _legend(band_axes)
    else:
        _empty(band_axes, "no standard frames")
    band_axes.set_ylabel("band power (device units)")
    band_axes.set_title("EEG band powers (log scale)", loc="left", fontsize="medium")

    # Attention and meditation.
    if eeg:
        times = [eeg_times[i] for i in eeg]
        for name, colour in (("attention", "tab:red"), ("meditation", "tab:green")):
            values = recording.column("eeg", name)
            mind_axes.plot(times, [values[i] for i in eeg], drawstyle="steps-post", linewidth=1.4,
                           color=colour, label=name)
        _legend(mind_axes)
    else:
        _empty(mind_axes, "no standard frames")
    mind_axes.set_ylim(0, 105)
    mind_axes.set_ylabel("level (0 - 100)")
    mind_axes.set_title("Attention and meditation", loc="left", fontsize="medium")

    # Heart rate: each frame holds the last three RR intervals, the third
    # ending at the frame's arrival.
    beat_times: list[float] = []
    bpm: list[float] = []
    for row in recording.rows["rr"]:
        arrival = float(row[1])
        intervals = [int(value) for value in row[2:5]]
        ends = [arrival - (intervals[1] + intervals[2]) / 1000.0, arrival - intervals[2] / 1000.0, arrival]
        for when, interval in zip(ends, intervals):
            if 250 <= interval <= 2500 and (start is None or when >= start) and (end is None or when <= end):
                beat_times.append(when)
                bpm.append(60000.0 / interval)
    # 0 is the headset's "no reading".
    heart = recording.column("extend", "heart")
    ext = [i for i in ext if heart[i]]
    if bpm:
        heart_axes.plot(beat_times, bpm, linestyle="none", marker="o", markersize=3.5, color="tab:purple",
                        label="from RR intervals")
    if ext:
        heart_axes.plot([ext_times[i] for i in ext], [heart[i] for i in ext], drawstyle="steps-post",
                        linewidth=1.2, color="0.35", label="extended frame 'heart'")
    if bpm or ext:
        _legend(heart_axes)
    else:
        _empty(heart_axes, "no heart-rate frames")
    heart_axes.set_ylabel("beats/min")
    heart_axes.set_title("Heart rate", loc="left", fontsize="medium")

    # Head orientation.
    if gyro:
        times = [gyro_times[i] for i in gyro]
        for axis, colour in (("x", "tab:blue"), ("y", "tab:orange"), ("z", "tab:green")):
            values = recording.column("gyro", axis)
            gyro_axes.plot(times, [values[i] for i in gyro], marker=".", markersize=4, linewidth=1.0,
                           color=colour, label=axis)
        _legend(gyro_axes)
    else:
        _empty(gyro_axes, "no gyroscope frames")
    gyro_axes.set_ylabel("angle (-75 to 180)")
    gyro_axes.set_title("Gyroscope", loc="left", fontsize="medium")
    gyro_axes.set_xlabel("stream time (s, counted in raw samples)")

    for axes in panels:
        axes.grid(True, color="0.9", linewidth=0.6)
    if start is not None or end is not None:
        raw_axes.set_xlim(start, end)

    with writing(output) as stream:
        figure.savefig(stream, format="png")
