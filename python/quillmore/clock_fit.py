"""The headset's clock, fitted to the host's.

A live stream arrives in reads.  Each read ends at some position on the
headset clock (raw samples, 512 a headset second, lost samples included)
and arrives at some time on the host's clock (LSL's ``local_clock()``).
The arrival is the sending time plus the link's latency plus whatever
delayed this read: the operating system, a busy host, the serial driver's
batching.  Those delays are never negative, so the reads that arrived
soonest after their samples were sent lie on a line, and the others above
it: the line is the headset's clock on the host's, its slope the true
sample rate (a crystal 100 ppm fast sends 512.05 samples a second).

``ClockFit`` keeps, for every second of samples in a sliding window, the
read that arrived soonest (against the nominal rate), and fits a line to
those by least squares, refitting as reads come.  ``stamp(position)`` is a
sample's time on that line: its sending time plus the link's least latency
(a constant this side of the link cannot know), evenly spaced at the
headset's true rate, without the reads' jitter, and following the crystal's
drift.  After a reconnect the positions jump by the gap the host measured,
and the fit goes on.

Stamps never go back: a refit that would date a sample before one already
stamped is held at that one (for a few microseconds; refits move the line
by far less than a sample).

``PartClock`` stamps a session's parts with it, live (``quillmore.sinks``)
and from a capture's timing file (``quillmore.read``): the same reads give
the same stamps."""

from __future__ import annotations

import collections
import math

NOMINAL_RATE = 512.0


class ClockFit:
    """Positions (raw samples on the headset clock) against arrival times
    (seconds on the host's clock).  ``window``: seconds of samples the fit
    spans; long enough to average out the reads' jitter, short enough to
    follow a crystal warming up."""

    def __init__(self, window: float = 120.0, nominal_rate: float = NOMINAL_RATE) -> None:
        if not (math.isfinite(window) and window >= 2.0):
            raise ValueError(f"window must be at least 2 seconds, not {window!r}")
        if not (math.isfinite(nominal_rate) and nominal_rate > 0.0):
            raise ValueError(f"nominal_rate must be a positive number, not {nominal_rate!r}")
        self._nominal = nominal_rate
        self._span = round(window)  # in seconds of samples
        # Per second of samples: the read that arrived soonest, as
        # (position, arrival, arrival - position / nominal).
        self._soonest: collections.OrderedDict[int, tuple[float, float, float]] = collections.OrderedDict()
        self._slope = 1.0 / nominal_rate
        self._intercept: float | None = None
        self._last_position = -math.inf
        self._last_stamp = -math.inf

    @property
    def rate(self) -> float:
        """The headset's sample rate on the host's clock, as fitted."""
        return 1.0 / self._slope

    @property
    def fitted(self) -> bool:
        """Whether any read has been added."""
        return self._intercept is not None

    def add(self, position: float, arrival: float) -> None:
        """A read that ended at ``position`` arrived at ``arrival``.
        Positions must not go back; non-finite values are refused."""
        if not (math.isfinite(position) and math.isfinite(arrival)):
            raise ValueError("position and arrival must be finite numbers")
        if position < self._last_position:
            raise ValueError(f"position went back: {position} after {self._last_position}")
        self._last_position = position
        second = math.floor(position / self._nominal)
        delay = arrival - position / self._nominal
        best = self._soonest.get(second)
        if best is None or delay < best[2]:
            self._soonest[second] = (position, arrival, delay)
        while self._soonest and next(iter(self._soonest)) <= second - self._span:
            self._soonest.popitem(last=False)
        self._refit()

    def _refit(self) -> None:
        points = list(self._soonest.values())
        if len(points) >= 3 and points[-1][0] - points[0][0] >= 2 * self._nominal:
            # Least squares of arrival on position, centred for precision.
            n = len(points)
            mean_p = sum(p for p, _, _ in points) / n
            mean_a = sum(a for _, a, _ in points) / n
            sxx = sum((p - mean_p) ** 2 for p, _, _ in points)
            sxy = sum((p - mean_p) * (a - mean_a) for p, a, _ in points)
            slope = sxy / sxx
            # A crystal is within a fraction of a percent; anything else is
            # the host's clock misbehaving, not the headset's.
            if abs(slope * self._nominal - 1.0) < 0.01:
                self._slope = slope
        else:
            self._slope = 1.0 / self._nominal
        # The line through the soonest reads: no read arrived before it.
        self._intercept = min(a - p * self._slope for p, a, _ in points)

    def stamp(self, position: float) -> float:
        """The time on the host's clock of the sample at ``position``: its
        sending time plus the link's least latency.  Needs a read first."""
        if self._intercept is None:
            raise RuntimeError("no read added yet")
        at = self._intercept + position * self._slope
        if at < self._last_stamp:
            at = self._last_stamp
        self._last_stamp = at
        return at


class PartClock:
    """The stamp of the last raw sample of each part of a session: every
    read that arrived goes into a :class:`ClockFit` (``arrived``), and a
    part that released the clock up to ``released`` samples gets that
    position's time on the fitted line (``stamp``).

    When a sooner read moved the line down, the stamps catch up with it by
    at most three quarters of a sample per part: a part's samples, dated
    back from its stamp at the nominal rate (as an LSL outlet dates a
    chunk), always come after the previous part's last sample.  A live
    session and its capture read later make the same calls in the same
    order, so they give the same stamps."""

    def __init__(self, nominal_rate: float = NOMINAL_RATE) -> None:
        self._fit = ClockFit(nominal_rate=nominal_rate)
        self._nominal = nominal_rate
        self._last = -math.inf
        self._released = 0.0

    @property
    def rate(self) -> float:
        """The headset's sample rate on the host's clock, as fitted."""
        return self._fit.rate

    @property
    def fitted(self) -> bool:
        """Whether any read has arrived."""
        return self._fit.fitted

    def arrived(self, position: float, arrival: float) -> None:
        """A read that ended at clock ``position`` arrived at ``arrival``."""
        self._fit.add(position, arrival)

    def stamp(self, released: float) -> float:
        """The time of the sample before clock position ``released`` (the
        last one a part released).  A part that released nothing new keeps
        the previous stamp.  Needs a read first."""
        new = released - self._released
        if new < 0.5 and math.isfinite(self._last):
            return self._last
        room = self._last + (max(new, 1.0) - 0.75) / self._nominal
        self._last = max(self._fit.stamp(released), room)
        self._released = released
        return self._last
