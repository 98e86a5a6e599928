"""Where a session's parts go: rows into text or a directory of files
(:class:`RowSink`), the Lab Streaming Layer's outlets (:class:`OutletSink`),
each with the time stamps of its kind, or the live view's board
(:class:`ViewSink`)."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator, Mapping
from typing import TYPE_CHECKING, Protocol

from .clock_fit import PartClock
from .constants import ROW_KINDS, SAMPLES_PER_SECOND

if TYPE_CHECKING:
    from .lsl import Outlets
    from .view_state import Board
    from .recording import Recording as RecordingPart
    from .session import SessionDecoder


class StampClock:
    """The time stamp of each part's last raw sample on the host's clock:
    the headset's clock fitted to the arrival of the reads
    (``clock_fit.PartClock``), so stamps are evenly spaced at the headset's
    true rate, follow its drift and carry none of the reads' jitter; they
    never go back.  ``clock`` tells when a chunk arrived; a capture's timing
    file holds the same readings, so reading the capture later gives the
    same stamps."""

    def __init__(self, clock: Callable[[], float]) -> None:
        self._clock = clock
        self._parts = PartClock()
        self._bytes = 0

    def arrived(self, decoder: SessionDecoder, now: float | None = None) -> None:
        """Notes the chunk ``decoder`` took last, arrived ``now`` (default:
        the clock's reading); nothing when no chunk came since the last call
        (the part that ``finish()`` released), unless none ever came."""
        if decoder.bytes != self._bytes or not self._parts.fitted:
            self._bytes = decoder.bytes
            self._parts.arrived(decoder.position, self._clock() if now is None else now)

    def stamp(self, decoder: SessionDecoder) -> float:
        """For the part ``decoder`` returned last (after ``arrived``)."""
        return self._parts.stamp(decoder.time * SAMPLES_PER_SECOND)


class Writer(Protocol):
    """Rows of parts (rows_text.TextRows, output_directory.OutputDirectory)."""

    def write(self, part: RecordingPart, first: Mapping[str, int], arrival: float | None = None) -> None: ...


class RowSink:
    """Each part's rows into ``writer``, numbered on from the counts before
    it, then ``flush()``.  Rows of a live source carry the computer's clock:
    the headset's clock fitted to when the parts arrived (:class:`StampClock`)
    dates each part's last raw sample, and its rows are dated back from there
    by the raw samples after them."""

    def __init__(self, writer: Writer, live: bool, flush: Callable[[], object]) -> None:
        self._writer = writer
        self._stamps = StampClock(time.time) if live else None
        self._flush = flush

    def take(self, part: RecordingPart, decoder: SessionDecoder) -> None:
        arrival = None
        if self._stamps is not None:
            self._stamps.arrived(decoder)
            arrival = self._stamps.stamp(decoder)
        self._writer.write(part, decoder.before, arrival)
        self._flush()


class OutletSink:
    """Each part that holds anything, pushed to the outlets.  A part is
    stamped with ``clock`` (LSL's) when its chunk arrived: ``arrival()``
    when given (a capture's reading of that moment), else the clock when the
    part is taken.  With ``own_clock`` (a recording sent faster than the
    headset), at the session's start plus the stream time instead."""

    def __init__(self, outlets: Outlets, clock: Callable[[], float], own_clock: bool,
                 arrival: Callable[[], float | None] | None = None) -> None:
        self._outlets = outlets
        self._stamps = StampClock(clock)
        self._own_clock = own_clock
        self._arrival = arrival
        self._started = clock()

    def take(self, part: RecordingPart, decoder: SessionDecoder) -> None:
        if self._own_clock:
            now: float | None = self._started + decoder.time
        else:
            now = None if self._arrival is None else self._arrival()
        # Every chunk's arrival goes into the fit, pushed or not.
        self._stamps.arrived(decoder, now)
        if not (len(part.raw) or any(len(part.rows(kind)) for kind in ROW_KINDS) or part.loss
                or part.loss.irregular_intervals):
            return
        self._outlets.push(part, self._stamps.stamp(decoder))


class ViewSink:
    """Each part onto the live view's board (quillmore.view_state), with the
    decoder's loss so far and when the part's bytes arrived (the wall
    clock, ``time.time()``, which the page's clock reads too)."""

    def __init__(self, board: Board, volts_per_count: float) -> None:
        self._board = board
        self._volts_per_count = volts_per_count
        self._arrival: float | None = None

    def arrivals(self, chunks: Iterator[bytes]) -> Iterator[bytes]:
        """``chunks`` unchanged, each one's arrival noted for the part it makes."""
        for chunk in chunks:
            self._arrival = time.time()
            yield chunk

    def take(self, part: RecordingPart, decoder: SessionDecoder) -> None:
        arrival = time.time() if self._arrival is None else self._arrival
        self._board.take(part, decoder.loss, self._volts_per_count, arrival)
