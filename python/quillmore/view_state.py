"""What ``quillmore view`` shows, kept as it arrives: the raw trace in
microvolts through the causal filters, the standard frames' history, and
the latest of everything else (contact, battery, heart rate, gyroscope,
loss, the byte capture).

The session loop (or an LSL inlet) writes into a :class:`Board` from its
thread; every page of the view (a Bokeh session, quillmore.view) reads
from it on the server's thread what it has not yet shown.  Everything has
a fixed size: a trace of the longest window, minutes of 1 Hz rows, ten
seconds of loss and saturation figures, so a view left open for hours
keeps its memory.

Filtering runs here, once, as a live consumer would run it: each filter's
state is kept from one chunk to the next (scipy.signal.sosfilt), so what
the page draws at a moment is what a program reading the stream would have
computed by then.  Every variant the page can choose (band-pass on or off,
notch off, 50 or 60 Hz) is filtered all along, so switching one redraws
the whole window at once, settled.

Times are seconds on the stream's own clock: the loss-aware clock of
quillmore.recording for the headset, or an LSL stream's time stamps from
its first sample.
"""

from __future__ import annotations

import collections
import dataclasses
import math
import threading
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from .constants import BANDS, SAMPLES_PER_SECOND
from .errors import missing_extra

if TYPE_CHECKING:
    from .output import Capture
    from .recording import Loss
    from .recording import Recording as RecordingPart

LONGEST_WINDOW = 30
"""Seconds of trace kept, the longest window the page offers."""
HISTORY_ROWS = 300
"""Standard frames kept for the band power and attention plots (five minutes)."""
RECENT_SECONDS = 10.0
"""The span of "lost in the last ..." and of the saturation share."""
FULL_SCALE = 32767
"""A raw sample whose count reaches this in size is at the end of what the
samples carry: the amplifier saturated (or the electrode is off)."""
NOTCHES = (0, 50, 60)
"""Notch choices in Hz (0: none); a variant is ``band_pass * 3 + notch index``."""
Values = Sequence[float] | np.ndarray[Any, Any]
OFF_THE_HEAD = 200
"""The ``signal`` value of a sensor that touches no skin; 0 is good contact."""


def require_scipy() -> Any:
    try:
        from scipy import signal  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise missing_extra("the live view", "scipy", "view") from None
    return signal


def variant(band_pass: bool, notch: int) -> int:
    """The index of the trace that a page with these switches draws."""
    return (3 if band_pass else 0) + NOTCHES.index(notch)


class Filters:
    """The six variants of a trace, filtered causally with state kept across
    calls: a Butterworth band-pass (4th order each side, ``band`` in Hz)
    and a notch (Q 30) at 50 or 60 Hz, each alone and the notch after the
    band-pass.  A filter's state starts in the steady state of the first
    sample (sosfilt_zi), as a consumer that does not want a start-up jolt
    sets it."""

    def __init__(self, rate: float, band: tuple[float, float] = (1.0, 40.0)) -> None:
        signal = require_scipy()
        self._signal = signal
        self.band_pass = signal.butter(4, band, btype="bandpass", fs=rate, output="sos")
        self.notches = {hz: signal.tf2sos(*signal.iirnotch(hz, 30.0, fs=rate)) for hz in NOTCHES[1:] if hz < rate / 2}
        self._states: dict[str, Any] = {}

    def _run(self, name: str, sos: Any, x: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        state = self._states.get(name)
        if state is None:   # (sections, [rows,] 2)
            start = self._signal.sosfilt_zi(sos)
            state = start * x[0] if x.ndim == 1 else start[:, None, :] * x[:, 0, None]
        y, self._states[name] = self._signal.sosfilt(sos, x, axis=-1, zi=state)
        return y  # type: ignore[no-any-return]

    def __call__(self, x: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        """The variants of ``x`` (float64 microvolts), shaped (6, len(x)):
        as it is, each notch, the band-pass, and each notch after it."""
        out = np.full((6, len(x)), np.nan)
        if not len(x):
            return out
        out[0] = x
        out[3] = self._run("band", self.band_pass, x)
        for k, hz in enumerate(NOTCHES[1:], 1):
            if hz in self.notches:
                # The raw trace and the band-passed one through one call.
                out[[k, 3 + k]] = self._run(f"notch {hz}", self.notches[hz], out[[0, 3]])
        return out


class Trace:
    """The last ``seconds`` of a trace as points (time, six variants, and when
    the bytes arrived on the wall clock): a ring that never grows.  A lost stretch (times further apart than 1.5 samples)
    gets a point of NaN in between, which breaks the drawn line there.
    ``points`` counts every point ever written: a reader asks for what
    came after the count it has."""

    def __init__(self, rate: float, seconds: float = LONGEST_WINDOW, gap: float | None = None) -> None:
        self.rate = rate
        self._gap = 1.5 / rate if gap is None else gap
        self.capacity = int(math.ceil(seconds * rate))
        self._t = np.zeros(self.capacity)
        self._y = np.zeros((6, self.capacity), np.float32)
        self._arrival = np.zeros(self.capacity)
        self.points = 0
        self._last = math.nan

    def add(self, t: np.ndarray[Any, Any], y: np.ndarray[Any, Any], arrival: float) -> None:
        if not len(t):
            return
        steps = np.diff(t, prepend=self._last)
        gaps = np.flatnonzero(steps > self._gap)
        if len(gaps):
            t = np.insert(t, gaps, t[gaps] - 0.5 / self.rate)
            y = np.insert(y, gaps, np.nan, axis=1)
        self._last = t[-1]
        t, y = t[-self.capacity:], y[:, -self.capacity:]
        at = (self.points + np.arange(len(t))) % self.capacity
        self._t[at] = t
        self._y[:, at] = y
        self._arrival[at] = arrival
        self.points += len(t)

    def since(self, count: int, variant: int, most: int) -> tuple[dict[str, np.ndarray[Any, Any]], bool]:
        """The points after the first ``count``, at most the last ``most``:
        columns ``t``, ``y`` (the variant's values) and ``arrival``, and
        whether points were skipped (the reader must start afresh)."""
        most = min(most, self.capacity)
        first = max(count, self.points - most, 0)
        at = np.arange(first, self.points) % self.capacity
        return {"t": self._t[at], "y": self._y[variant, at], "arrival": self._arrival[at]}, first > count


@dataclasses.dataclass
class Status:
    """The latest figures, for the page's indicators."""

    source: str = ""
    stream_time: float = 0.0
    signal: int | None = None
    saturated: float | None = None
    battery: int | None = None
    heart: float | None = None
    gyro: tuple[int, int, int] | None = None
    lost_recent: int = 0
    lost_total: int = 0
    lost_certain: int = 0
    reconnects: int = 0
    loss_known: bool = True
    capture: tuple[str, int, float] | None = None
    finished: bool = False


def contact(signal: int | None) -> tuple[str, str]:
    """Words and a colour for the contact that ``signal`` reports."""
    if signal is None:
        return "no standard frame yet", "#888888"
    if signal >= OFF_THE_HEAD:
        return "off the head", "#c0392b"
    if signal > 0:
        return f"poor ({signal})", "#e67e22"
    return "good", "#27ae60"


class Board:
    """Everything the pages show, written by one thread (``take`` and the
    ``add_`` calls) and read by the server's, under ``lock``."""

    def __init__(self, source: str, rate: float = SAMPLES_PER_SECOND, band: tuple[float, float] = (1.0, 40.0),
                 capture: Capture | None = None, derived_bands: bool = False, gap: float | None = None) -> None:
        self.lock = threading.Lock()
        self.rate = rate
        self.band = band
        self.trace = Trace(rate, gap=gap)
        self._filters = Filters(rate, band)
        self.history: collections.deque[tuple[float, ...]] = collections.deque(maxlen=HISTORY_ROWS)
        """(time, attention, meditation, the eight band powers) per standard frame."""
        self.rows = 0
        """Standard frames ever added: readers ask for those after their count."""
        self.derived_bands = derived_bands
        self.status = Status(source)
        self._capture = capture
        self._started = time.monotonic()
        self._lost: collections.deque[tuple[float, int]] = collections.deque()
        self._full: collections.deque[tuple[float, int, int]] = collections.deque()
        self._full_sums = np.zeros(2, np.int64)
        self.version = 0
        """Changes whenever the status does."""

    # ------------------------------------------------------------ writing

    def add_samples(self, t: np.ndarray[Any, Any], microvolts: np.ndarray[Any, Any], arrival: float,
                    full_scale: int | None = None) -> None:
        """Samples at times ``t``; ``full_scale``: how many of them were at
        full scale (None when the stream cannot tell)."""
        variants = self._filters(np.asarray(microvolts, np.float64))
        with self.lock:
            self.trace.add(np.asarray(t, np.float64), variants, arrival)
            if len(t):
                self.status.stream_time = float(t[-1])
            if full_scale is not None and len(t):
                self._full.append((float(t[-1]), full_scale, len(t)))
                self._full_sums += (full_scale, len(t))
                while self._full[0][0] < self.status.stream_time - RECENT_SECONDS:
                    _, full, count = self._full.popleft()
                    self._full_sums -= (full, count)
                self.status.saturated = float(self._full_sums[0] / max(1, self._full_sums[1]))
            self._touch()

    def add_rows(self, times: Values, attention: Values, meditation: Values, bands: Sequence[Sequence[float]] | Values,
                 signal: int | None = None) -> None:
        """Standard frames (or band powers derived once a second): their
        times, attention, meditation and rows of the eight band powers."""
        with self.lock:
            for k, t in enumerate(times):
                self.history.append((float(t), float(attention[k]), float(meditation[k]),
                                     *np.asarray(bands[k], np.float64).tolist()))
                self.rows += 1
            if signal is not None:
                self.status.signal = signal
            self._touch()

    def take(self, part: RecordingPart, loss: Loss, volts_per_count: float, arrival: float) -> None:
        """A part of the headset's stream, and the decoder's loss after it."""
        raw = part.raw
        self.add_samples(part.raw_time, raw * (volts_per_count * 1e6), arrival,
                         int(np.count_nonzero(np.abs(raw.astype(np.int32)) >= FULL_SCALE)))
        eeg = part.eeg
        if len(eeg):
            self.add_rows(eeg["time"], eeg["attention"], eeg["meditation"],
                          np.stack([eeg[band] for band in BANDS], axis=1), int(eeg["signal"][-1]))
        with self.lock:
            status = self.status
            if len(part.extend):
                status.battery = int(part.extend["battery"][-1])
            rr = part.rr
            if len(rr):
                intervals = np.array([rr[name][-1] for name in ("rr1", "rr2", "rr3")], np.float64)
                intervals = intervals[intervals > 0]
                status.heart = 60000.0 / float(intervals.mean()) if len(intervals) else None
            if len(part.gyro):
                last = part.gyro[-1]
                status.gyro = (int(last["x"]), int(last["y"]), int(last["z"]))
            if part.loss.raw_missing:
                self._lost.append((status.stream_time, part.loss.raw_missing))
                status.lost_recent += part.loss.raw_missing
            while self._lost and self._lost[0][0] < status.stream_time - RECENT_SECONDS:
                status.lost_recent -= self._lost.popleft()[1]
            status.lost_total = loss.raw_missing
            status.lost_certain = loss.raw_missing_min
            status.reconnects = loss.link_gaps
            self._touch()

    def finish(self) -> None:
        with self.lock:
            self.status.finished = True
            self._touch()

    def _touch(self) -> None:
        capture = self._capture
        if capture is not None:
            self.status.capture = (capture.name, capture.bytes, time.monotonic() - self._started)
        self.version += 1

    # ------------------------------------------------------------ reading

    def rows_since(self, count: int) -> tuple[list[tuple[float, ...]], bool]:
        """Standard frames after the first ``count`` (all kept, and True,
        when some of those were dropped already)."""
        new = self.rows - count
        if new > len(self.history):
            return list(self.history), True
        return list(self.history)[len(self.history) - new:] if new > 0 else [], False

    def snapshot(self) -> Status:
        status = dataclasses.replace(self.status)
        if self._capture is not None and not status.finished:
            capture = self._capture
            status.capture = (capture.name, capture.bytes, time.monotonic() - self._started)
        return status


def band_powers(microvolts: np.ndarray[Any, Any], rate: float) -> list[float]:
    """The eight band powers (µV², periodogram summed over each band's
    frequencies) of a stretch of trace, for a stream that does not carry
    its own."""
    x = microvolts - microvolts.mean()
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x)))) ** 2 / len(x)
    freqs = np.fft.rfftfreq(len(x), 1.0 / rate)
    return [float(spectrum[(freqs >= low) & (freqs < high)].sum()) for low, high in BAND_EDGES]


BAND_EDGES = ((0.5, 2.75), (3.5, 6.75), (7.5, 9.25), (10.0, 11.75), (13.0, 16.75), (18.0, 29.75),
              (31.0, 39.75), (41.0, 49.75))
"""Each band's frequencies in Hz, as the headset reports them."""
assert len(BAND_EDGES) == len(BANDS)
