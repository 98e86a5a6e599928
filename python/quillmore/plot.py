"""A picture of a recording: raw EEG, band powers, attention and meditation,
heart rate and head orientation over one time axis.

A recording of any length is drawn from what its pixels can show.  The
parts a :class:`~quillmore.recording.Decoder` returns are reduced as they
arrive (:class:`Envelope`) into time bins of one width, a few per pixel
column: the least and the greatest value of every series in each bin, the
time of its first row, and the seconds of each bin that were lost or had
poor contact.  When the times outgrow the bins, neighbouring bins merge in
pairs and the width doubles, so the length of the input need not be known
beforehand (a pipe) and the memory stays the same whatever it is.  A bin
holding one sample keeps that sample as it is, so a short stretch is drawn
sample by sample.

matplotlib is an optional dependency (the ``plot`` extra); it is imported
only when a picture is drawn, with the non-interactive Agg backend.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import missing_extra
from .output import writing
from .constants import BANDS, SAMPLES_PER_SECOND

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .recording import Recording

Array = np.ndarray[Any, Any]

FIGURE_WIDTH = 13.0
# Bins per pixel column of the figure's width: after the bins merge, the
# axes still get more than one bin per column.
BINS_PER_COLUMN = 2
# Bins at least this many samples wide draw the raw trace as a range per
# bin; narrower ones as a line through the samples.
COARSE = 4
# Heart beats: RR intervals outside this range (ms) are not beats.
RR_RANGE = (250, 2500)
_SAMPLE = 1.0 / SAMPLES_PER_SECOND


def gathered(chunks: Iterable[bytes], size: int = 1 << 22) -> Iterator[bytes]:
    """``chunks`` joined into pieces of at least ``size`` bytes (the last
    may be shorter): a part costs the same to take in whatever its size."""
    pending: list[bytes] = []
    held = 0
    for chunk in chunks:
        pending.append(chunk)
        held += len(chunk)
        if held >= size:
            yield b"".join(pending)
            pending, held = [], 0
    if pending:
        yield b"".join(pending)


def require_matplotlib() -> None:
    """Fails with a clear message when matplotlib is not installed."""
    try:
        import matplotlib
    except ImportError:
        raise missing_extra("plotting", "matplotlib", "plot") from None
    matplotlib.use("Agg")


# ---------------------------------------------------------------- bins

class _Grid:
    """``size`` bins of ``width`` seconds from ``origin``.  With a known end
    the width is fixed; otherwise it starts at one sample and doubles
    (every accumulator merging its bins in pairs) when a later time comes."""

    def __init__(self, size: int, start: float | None, end: float | None) -> None:
        self.size = size
        self.origin = 0.0 if start is None else start
        self.end = end
        self.width = _SAMPLE if end is None else (end - self.origin) / size
        self.series: list[_Extremes | _Cover] = []

    @property
    def limit(self) -> float:
        return self.origin + self.size * self.width

    def reach(self, latest: float) -> None:
        """Widens the bins until ``latest`` falls in one."""
        if not math.isfinite(latest):
            raise ValueError(f"a time of {latest} s cannot be placed on the time axis")
        while self.end is None and latest >= self.limit:
            self.width *= 2
            for series in self.series:
                series.merge()

    def within(self, times: Array) -> Array:
        """Which of ``times`` lie in the window drawn."""
        inside = times >= self.origin
        if self.end is not None:
            inside &= times <= self.end
        return inside

    def index(self, times: Array) -> Array:
        """The bins of ``times`` (all in the window; reach() done)."""
        bins = ((times - self.origin) / self.width).astype(np.int64)
        return np.clip(bins, 0, self.size - 1)

    def edges(self, bins: Array) -> Array:
        return self.origin + bins * self.width


def _pairs(values: Array, combine: Callable[..., Array], empty: float) -> Array:
    """``values`` (bins first) with each pair of neighbours combined into
    the first half, the second half empty."""
    half = len(values) // 2
    merged = combine(values[0::2], values[1::2])
    rest = np.full((half,) + values.shape[1:], empty, values.dtype)
    out: Array = np.concatenate([merged, rest])
    return out


class _Extremes:
    """For each bin: the number of rows, the time of the first, and the
    least and greatest of each of ``columns`` values (NaN values are not
    counted)."""

    def __init__(self, grid: _Grid, columns: int) -> None:
        self.grid = grid
        self.count = np.zeros(grid.size, np.int64)
        self.first = np.full(grid.size, np.inf)
        self.low = np.full((grid.size, columns), np.inf)
        self.high = np.full((grid.size, columns), -np.inf)
        grid.series.append(self)

    def add(self, times: Array, values: Array | None = None) -> None:
        """Rows at ``times`` (float seconds, any order) with ``values``
        (one row of columns each); rows outside the window are left out."""
        times = np.asarray(times, np.float64)
        inside = self.grid.within(times)
        if not inside.all():
            times = times[inside]
            values = None if values is None else values[inside]
        if not len(times):
            return
        self.grid.reach(float(times.max()))
        bins = self.grid.index(times)
        if np.any(bins[1:] < bins[:-1]):
            order = np.argsort(bins, kind="stable")
            bins, times = bins[order], times[order]
            values = None if values is None else values[order]
        starts = np.flatnonzero(np.concatenate(([True], bins[1:] != bins[:-1])))
        where = bins[starts]
        self.count[where] += np.diff(np.append(starts, len(bins)))
        self.first[where] = np.fmin(self.first[where], np.fmin.reduceat(times, starts))
        if values is not None and self.low.shape[1]:
            values = np.asarray(values, np.float64).reshape(len(times), -1)
            self.low[where] = np.fmin(self.low[where], np.fmin.reduceat(values, starts, axis=0))
            self.high[where] = np.fmax(self.high[where], np.fmax.reduceat(values, starts, axis=0))

    def add_run(self, times: Array, values: Array) -> None:
        """Samples of one column at ``times`` in increasing order, all in
        the window: the bins' bounds are searched for, not computed for
        every sample."""
        grid = self.grid
        grid.reach(float(times[-1]))
        first, last = (int(b) for b in grid.index(times[[0, -1]]))
        bounds = np.searchsorted(times, grid.edges(np.arange(first + 1, last + 1)), "left")
        starts = np.concatenate(([0], bounds))
        ends = np.append(bounds, len(times))
        filled = starts < ends
        where = np.arange(first, last + 1)[filled]
        self.count[where] += (ends - starts)[filled]
        starts = starts[filled]
        self.first[where] = np.fmin(self.first[where], times[starts])
        self.low[where, 0] = np.fmin(self.low[where, 0], np.minimum.reduceat(values, starts))
        self.high[where, 0] = np.fmax(self.high[where, 0], np.maximum.reduceat(values, starts))

    def merge(self) -> None:
        self.count = _pairs(self.count, np.add, 0)
        self.first = _pairs(self.first, np.fmin, np.inf)
        self.low = _pairs(self.low, np.fmin, np.inf)
        self.high = _pairs(self.high, np.fmax, -np.inf)

    def __bool__(self) -> bool:
        return bool(self.count.any())

    @property
    def exact(self) -> bool:
        """Whether no bin holds more than one row: the points are the rows."""
        return bool(np.all(self.count <= 1))

    def marker(self, shape: str) -> str:
        """``shape`` for rows drawn one by one; none for a range per bin,
        where a line shows all there is."""
        return shape if self.exact else ""

    def points(self, column: int) -> tuple[Array, Array]:
        """The bins with a value in ``column`` as a line: the least and then
        the greatest value at the bin's first time."""
        low, high = self.low[:, column], self.high[:, column]
        kept = np.isfinite(low)
        times = np.repeat(self.first[kept], 2)
        values = np.column_stack((low[kept], high[kept])).ravel()
        return times, values


class _Cover:
    """The seconds of each bin that stretches of time cover, and where in
    the bin the first of them begins."""

    def __init__(self, grid: _Grid) -> None:
        self.grid = grid
        self.seconds = np.zeros(grid.size)
        self.first = np.full(grid.size, np.inf)
        grid.series.append(self)

    def add(self, starts: Array, ends: Array) -> None:
        grid = self.grid
        starts = np.maximum(np.asarray(starts, np.float64), grid.origin)
        ends = np.asarray(ends, np.float64)
        if grid.end is not None:
            ends = np.minimum(ends, grid.end)
        kept = ends > starts
        starts, ends = starts[kept], ends[kept]
        if not len(starts):
            return
        grid.reach(float(ends.max()))
        ends = np.minimum(ends, np.nextafter(grid.limit, -np.inf))
        first, last = grid.index(starts), grid.index(ends)
        alone = first == last
        np.add.at(self.seconds, first[alone], ends[alone] - starts[alone])
        np.fmin.at(self.first, first[alone], starts[alone])
        across = ~alone
        if across.any():
            first, last, starts, ends = first[across], last[across], starts[across], ends[across]
            np.add.at(self.seconds, first, grid.edges(first + 1) - starts)
            np.fmin.at(self.first, first, starts)
            np.add.at(self.seconds, last, ends - grid.edges(last))
            np.fmin.at(self.first, last, grid.edges(last))
            # The bins in between are covered whole.
            steps = np.zeros(grid.size + 1, np.int64)
            np.add.at(steps, first + 1, 1)
            np.add.at(steps, last, -1)
            whole = np.cumsum(steps[:-1]) > 0
            self.seconds[whole] += grid.width
            self.first[whole] = np.fmin(self.first[whole], grid.edges(np.flatnonzero(whole)))

    def merge(self) -> None:
        self.seconds = _pairs(self.seconds, np.add, 0.0)
        self.first = _pairs(self.first, np.fmin, np.inf)

    def __bool__(self) -> bool:
        return bool(self.seconds.any())

    def spans(self) -> list[tuple[float, float]]:
        """(start, width) of stretches to shade: in each bin, as many
        seconds as were covered from the first covered moment, neighbours
        joined."""
        grid = self.grid
        bins = np.flatnonzero(self.seconds > 0)
        if not len(bins):
            return []
        begin = np.maximum(self.first[bins], grid.edges(bins))
        finish = np.minimum(begin + self.seconds[bins], grid.edges(bins + 1))
        # Tolerance of a thousandth of a bin for the sums' rounding.
        joined = begin[1:] <= finish[:-1] + grid.width * 1e-3
        heads = np.flatnonzero(np.concatenate(([True], ~joined)))
        tails = np.append(heads[1:] - 1, len(bins) - 1)
        return [(float(a), float(b - a)) for a, b in zip(begin[heads], finish[tails])]


# ---------------------------------------------------------------- envelope

_BLOCK = 4096


def _gaps(times: Array) -> Array:
    """The indices of the samples more than a sample after the one before.
    Steps on the clock are whole samples, so a block of samples holds a gap
    exactly when it spans more time than its samples: only such blocks are
    looked into."""
    heads = np.arange(0, len(times), _BLOCK)
    tails = np.minimum(heads + _BLOCK, len(times) - 1)
    late = np.flatnonzero(times[tails] - times[heads] > (tails - heads + 0.5) * _SAMPLE)
    found = [head + 1 + np.flatnonzero(np.diff(times[head:tail + 1]) > 1.5 * _SAMPLE)
             for head, tail in zip(heads[late].tolist(), tails[late].tolist())]
    return np.concatenate(found) if found else np.empty(0, np.int64)


class Envelope:
    """What a picture of a recording shows, gathered from the parts of a
    stream as they come (:meth:`add`) in memory that does not grow with the
    stream: see the module's docstring.  ``start`` and ``end`` (seconds)
    bound the window drawn; ``columns`` is the picture's width in pixels."""

    def __init__(self, columns: int, start: float | None = None, end: float | None = None) -> None:
        self.start, self.end = start, end
        # An even number of bins, to merge in pairs.
        grid = self.grid = _Grid(2 * max(1, BINS_PER_COLUMN * columns // 2), start, end)
        self.counts = {"eeg": 0, "extend": 0, "raw": 0, "gyro": 0, "rr": 0}
        self.duration = 0.0
        self.raw = _Extremes(grid, 1)
        self.lost = _Cover(grid)
        self.histogram = np.zeros(1 << 16, np.int64)   # raw sample values in the window
        self.bands = _Extremes(grid, len(BANDS))
        self.mind = _Extremes(grid, 2)
        self.poor = _Cover(grid)
        self.beats = _Extremes(grid, 1)
        self.heart = _Extremes(grid, 1)
        self.heart_damaged = _Extremes(grid, 0)
        self.gyro = _Extremes(grid, 3)
        self.gyro_damaged = _Extremes(grid, 0)
        self._last_raw_time: float | None = None

    @property
    def frames(self) -> int:
        return sum(self.counts.values())

    def add(self, part: Recording) -> None:
        """Takes in the next part of the stream."""
        for kind, count in part.counts().items():
            self.counts[kind] += count
        self.duration += part.duration
        if len(part.raw):
            self._add_raw(part.raw, part.raw_time)
        eeg = part.eeg
        if len(eeg):
            times = eeg["time"]
            bands = np.column_stack([eeg[band] for band in BANDS]).astype(np.float64)
            bands[bands == 0] = np.nan   # no zero on a log scale: a gap
            self.bands.add(times, bands)
            self.mind.add(times, np.column_stack((eeg["attention"], eeg["meditation"])))
            # Each standard frame judges the contact of the second before it.
            poor = times[eeg["signal"] > 0]
            self.poor.add(poor - 1.0, poor)
        extend = part.extend
        if len(extend):
            damaged = extend["damaged"].astype(bool)
            self.heart_damaged.add(extend["time"][damaged])
            # 0 is the headset's "no reading".
            good = extend[~damaged & (extend["heart"] != 0)]
            self.heart.add(good["time"], good["heart"])
        if len(part.rr):
            self._add_beats(part.rr)
        gyro = part.gyro
        if len(gyro):
            damaged = gyro["damaged"].astype(bool)
            self.gyro_damaged.add(gyro["time"][damaged])
            good = gyro[~damaged]
            self.gyro.add(good["time"], np.column_stack((good["x"], good["y"], good["z"])))

    def _add_raw(self, values: Array, times: Array) -> None:
        # Samples the clock counts as lost lie between neighbours more than
        # a sample apart, here or across parts.
        if self._last_raw_time is not None and times[0] - self._last_raw_time > 1.5 * _SAMPLE:
            self.lost.add(np.array([self._last_raw_time + _SAMPLE]), times[:1])
        gaps = _gaps(times)
        if len(gaps):
            self.lost.add(times[gaps - 1] + _SAMPLE, times[gaps])
        self._last_raw_time = float(times[-1])
        low, high = 0, len(times)
        if self.start is not None:
            low = int(np.searchsorted(times, self.start, "left"))
        if self.end is not None:
            high = int(np.searchsorted(times, self.end, "right"))
        if low < high:
            self.raw.add_run(times[low:high], values[low:high])
            # By the bits of the value: negative ones after the positive.
            self.histogram += np.bincount(values[low:high].view(np.uint16), minlength=1 << 16)

    def _add_beats(self, rr: Array) -> None:
        # Each frame holds the last three RR intervals, the third ending at
        # the frame's arrival.
        arrival = rr["time"]
        intervals = np.column_stack((rr["rr1"], rr["rr2"], rr["rr3"])).astype(np.float64)
        ends = np.column_stack((arrival - (intervals[:, 1] + intervals[:, 2]) / 1000.0,
                                arrival - intervals[:, 2] / 1000.0, arrival))
        beats = (intervals >= RR_RANGE[0]) & (intervals <= RR_RANGE[1])
        self.beats.add(ends[beats], 60000.0 / intervals[beats])

    def raw_range(self) -> tuple[float, float, int] | None:
        """A range of raw values that leaves out the odd garbage sample (a
        damaged stream lets one through where a checksum matches by chance,
        one time in 256), and how many samples fall outside it; None when
        every sample fits."""
        histogram = np.roll(self.histogram, 1 << 15)   # from -32768 up
        total = int(histogram.sum())
        if not total:
            return None
        cumulative = np.cumsum(histogram)
        low, high = (float(np.searchsorted(cumulative, q * (total - 1), "right")) - (1 << 15)
                     for q in (0.0005, 0.9995))
        margin = 0.15 * max(high - low, 1.0)
        low, high = low - margin, high + margin
        values = np.arange(-(1 << 15), 1 << 15)
        outside = int(histogram[(values < low) | (values > high)].sum())
        return (low, high, outside) if outside else None


# ---------------------------------------------------------------- picture

def _legend(axes: Axes) -> None:
    axes.legend(loc="upper left", bbox_to_anchor=(1.005, 1.0), frameon=False, fontsize="small")


def _shade(axes: Axes, cover: _Cover, colour: str, alpha: float, label: str) -> None:
    spans = cover.spans()
    if spans:
        axes.broken_barh(spans, (0, 1), transform=axes.get_xaxis_transform(), facecolors=colour,
                         alpha=alpha, linewidth=0, label=label)


def _damage(axes: Axes, marks: _Extremes, what: str) -> None:
    """Rows flagged damaged, as ticks on the time axis instead of values."""
    if marks:
        times = marks.first[marks.count > 0]
        count = int(marks.count.sum())
        axes.plot(times, np.zeros(len(times)), linestyle="none", marker="|", markersize=9, color="tab:red",
                  clip_on=False, transform=axes.get_xaxis_transform(),
                  label=f"{count} damaged {what} (not drawn)")


def _draw_raw(axes: Axes, envelope: Envelope, scale: float) -> None:
    """The raw trace, its counts times ``scale``."""
    raw = envelope.raw
    grid = envelope.grid
    if grid.width >= COARSE * _SAMPLE:
        # Many samples a bin: the range of each bin, bins without samples
        # (lost) left blank.
        kept = np.flatnonzero(raw.count)
        bins = np.arange(kept[0], kept[-1] + 2)
        low, high = (np.where(raw.count[bins[:-1]] > 0, values[bins[:-1], 0], np.nan) for values in (raw.low, raw.high))
        # Each range reaches the next one's, as a line from sample to sample would.
        # (fmin and fmax pass over a NaN neighbour; a NaN bin stays NaN.)
        low[:-1], high[:-1] = np.fmin(low[:-1], high[1:] + 0 * low[:-1]), np.fmax(high[:-1], low[1:] + 0 * high[:-1])
        low, high = low * scale, high * scale
        axes.fill_between(grid.edges(bins), np.append(low, low[-1]), np.append(high, high[-1]), step="post",
                          color="tab:blue", linewidth=0.5, label="raw EEG (range per pixel)")
    else:
        # A few samples a bin, or one: the trace through each bin's least and
        # greatest, broken where samples were lost between two bins or in them.
        times, values = raw.points(0)
        values = values * scale
        kept = np.flatnonzero(raw.count)
        lost = np.concatenate(([0.0], np.cumsum(envelope.lost.seconds)))
        broken = np.flatnonzero(lost[kept[1:] + 1] - lost[kept[:-1]] > 0)
        if len(broken):
            at = 2 * (broken + 1)
            times = np.insert(times, at, np.nan)
            values = np.insert(values, at, np.nan)
        axes.plot(times, values, color="tab:blue", linewidth=0.5, label="raw EEG")
    limits = envelope.raw_range()
    if limits is not None:
        bottom, top, outside = limits
        axes.set_ylim(bottom * scale, top * scale)
        plural = "" if outside == 1 else "s"
        axes.text(0.995, 0.02, f"{outside} sample{plural} beyond the range shown",
                  transform=axes.transAxes, ha="right", va="bottom", fontsize="small", color="0.4")


def figure(envelope: Envelope, title: str, dpi: int = 110, volts_per_count: float | None = None) -> Figure:
    """The picture of ``envelope``: a panel for each kind of data it holds;
    the raw EEG in microvolts by ``volts_per_count``, or in counts."""
    require_matplotlib()
    from matplotlib.figure import Figure

    panels: list[tuple[str, float]] = []
    if envelope.raw:
        panels.append(("raw", 2.2))
    if envelope.bands or envelope.mind:
        panels += [("bands", 2.0), ("mind", 1.4)]
    heart = envelope.beats or envelope.heart or envelope.heart_damaged
    if heart:
        panels.append(("heart", 1.4))
    if envelope.gyro or envelope.gyro_damaged:
        panels.append(("gyro", 1.1))
    if not panels:
        panels.append(("none", 1.4))
    height = 0.8 + 1.265 * sum(ratio for _, ratio in panels)
    fig = Figure(figsize=(FIGURE_WIDTH, height), dpi=dpi, layout="constrained")
    grid = fig.subplots(len(panels), 1, sharex=True, height_ratios=[ratio for _, ratio in panels], squeeze=False)
    axes_of = {name: axes for (name, _), axes in zip(panels, grid[:, 0])}
    fig.suptitle(title, fontsize="large")

    if "raw" in axes_of:
        axes = axes_of["raw"]
        _shade(axes, envelope.poor, "tab:red", 0.12, "poor contact (signal > 0)")
        _shade(axes, envelope.lost, "0.6", 0.35, "lost samples")
        _draw_raw(axes, envelope, 1.0 if volts_per_count is None else volts_per_count * 1e6)
        axes.set_ylabel("raw sample (counts)" if volts_per_count is None else "raw EEG (µV)")
        axes.set_title(f"Raw EEG ({SAMPLES_PER_SECOND} samples/s)", loc="left", fontsize="medium")
        _legend(axes)

    if "bands" in axes_of:
        axes = axes_of["bands"]
        colours = ("#3b0f70", "#1f77b4", "#17becf", "#2ca02c", "#bcbd22", "#ff7f0e", "#d62728", "#8c564b")
        for column, (band, colour) in enumerate(zip(BANDS, colours)):
            axes.plot(*envelope.bands.points(column), marker=envelope.bands.marker("."), markersize=3,
                      linewidth=1.0, color=colour, label=band)
        axes.set_yscale("log")
        _legend(axes)
        axes.set_ylabel("band power (device units)")
        axes.set_title("EEG band powers (log scale)", loc="left", fontsize="medium")

        axes = axes_of["mind"]
        _shade(axes, envelope.poor, "tab:red", 0.12, "poor contact (signal > 0)")
        for column, (name, colour) in enumerate((("attention", "tab:red"), ("meditation", "tab:green"))):
            axes.plot(*envelope.mind.points(column), drawstyle="steps-post", linewidth=1.4, color=colour,
                      label=name)
        _legend(axes)
        axes.set_ylim(0, 105)
        axes.set_ylabel("level (0 - 100)")
        axes.set_title("Attention and meditation", loc="left", fontsize="medium")

    if "heart" in axes_of:
        axes = axes_of["heart"]
        if envelope.beats:
            axes.plot(*envelope.beats.points(0), linestyle="none", marker="o", markersize=3.5, color="tab:purple",
                      label="from RR intervals")
        if envelope.heart:
            axes.plot(*envelope.heart.points(0), drawstyle="steps-post", linewidth=1.2, color="0.35",
                      label="extended frame 'heart'")
        _damage(axes, envelope.heart_damaged, "extended frames")
        _legend(axes)
        axes.set_ylabel("beats/min")
        axes.set_title("Heart rate", loc="left", fontsize="medium")

    if "gyro" in axes_of:
        axes = axes_of["gyro"]
        for column, (axis, colour) in enumerate((("x", "tab:blue"), ("y", "tab:orange"), ("z", "tab:green"))):
            if envelope.gyro:
                axes.plot(*envelope.gyro.points(column), marker=envelope.gyro.marker("."), markersize=4,
                          linewidth=1.0, color=colour, label=axis)
        _damage(axes, envelope.gyro_damaged, "gyroscope frames")
        _legend(axes)
        axes.set_ylabel("angle (-75 to 180)")
        axes.set_title("Gyroscope", loc="left", fontsize="medium")

    if "none" in axes_of:
        axes_of["none"].text(0.5, 0.5, "nothing to draw in this stretch", transform=axes_of["none"].transAxes,
                             ha="center", va="center", color="0.5")

    for axes in axes_of.values():
        axes.grid(True, color="0.9", linewidth=0.6)
    grid[-1, 0].set_xlabel("stream time (s, counted in raw samples)")
    if envelope.start is not None or envelope.end is not None:
        grid[0, 0].set_xlim(envelope.start, envelope.end)
    return fig


def columns(dpi: int) -> int:
    """The picture's width in pixels at ``dpi``."""
    return math.ceil(FIGURE_WIDTH * dpi)


def draw(envelope: Envelope, output: str, title: str, dpi: int = 110, volts_per_count: float | None = None) -> None:
    """Draws ``envelope`` into the PNG file ``output`` (written as
    :func:`quillmore.output.writing` does: never half a file)."""
    picture = figure(envelope, title, dpi, volts_per_count)
    with writing(output) as stream:
        picture.savefig(stream, format="png")
