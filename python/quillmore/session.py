"""A decoding session: the one loop of ``quillmore decode`` and ``quillmore
stream``.

A source's chunks go through quillmore.Decoder (the batch path of the
core), which returns for each chunk a part (a quillmore.Recording of the
arrays that became final); each part goes to a sink (rows into files or
standard output, or the Lab Streaming Layer's outlets; see
quillmore.sinks).  Every result becomes one row of its kind (``eeg``,
``extend``, ``raw``, ``gyro`` or ``rr``): its number among the results of
that kind (``index``), its time in seconds on the loss-aware clock of
quillmore.recording, and the result's fields.
"""

from __future__ import annotations

import builtins
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Protocol

from .constants import KINDS, ROW_KINDS
from .ports import PortClosed

if TYPE_CHECKING:
    from .progress import Progress
    from .recording import Loss
    from .recording import Recording as RecordingPart
    from .sources import Source

# Bytes of each frame as the headset sends it; an extended frame has no
# length of its own, and the headset's is 11 bytes long.
FRAME_BYTES: dict[str, int] = {"eeg": 36, "extend": 11, "raw": 8, "gyro": 11, "rr": 16}


class SessionDecoder:
    """quillmore.Decoder with what the command-line tool reports: the count
    of each kind of result, the stream time reached, the bytes and their
    hash.  ``feed()`` and ``finish()`` return the part that became final;
    ``before`` holds the counts before it (the indices its rows start
    from)."""

    def __init__(self) -> None:
        from .recording import Decoder

        self.counts = dict.fromkeys(KINDS, 0)
        self.before = dict(self.counts)
        self._decoder = Decoder()
        self._clock = 0.0
        self._finished = False

    @property
    def time(self) -> float:
        """Stream time reached, in seconds on the loss-aware clock."""
        return self._clock

    @property
    def loss(self) -> Loss:
        return self._decoder.loss

    @property
    def bytes(self) -> int:
        """Bytes fed so far."""
        return self._decoder.bytes_fed

    @property
    def position(self) -> int:
        """Where the bytes fed so far end on the clock (quillmore.Decoder)."""
        return self._decoder.position

    @property
    def sha256(self) -> str:
        """The sha256 of the bytes fed so far."""
        return self._decoder.sha256

    def link_gap(self, seconds: float) -> None:
        """The link was down for ``seconds`` here (see quillmore.Decoder)."""
        self._decoder.link_gap(seconds)

    def feed(self, chunk: builtins.bytes) -> RecordingPart:
        """Decodes a chunk; returns the part that became final."""
        part = self._decoder.feed(chunk)
        self._count(part)
        return part

    def finish(self) -> RecordingPart | None:
        """Ends the input; returns what was held back (None when finished
        already)."""
        if self._finished:
            return None
        self._finished = True
        part = self._decoder.finish()
        self._count(part)
        return part

    def _count(self, part: RecordingPart) -> None:
        self._clock += part.duration
        self.before = dict(self.counts)
        self.counts["raw"] += len(part.raw)
        for kind in ROW_KINDS:
            self.counts[kind] += len(part.rows(kind))

    @property
    def frames(self) -> int:
        return sum(self.counts.values())

    @property
    def unaccounted(self) -> int:
        """Bytes that no decoded frame took: stray bytes, frames that failed
        their checksum or were cut off, and whatever an extended frame had
        beyond the headset's 11 bytes.  0 for a clean recording."""
        taken = sum(FRAME_BYTES[kind] * count for kind, count in self.counts.items())
        return max(0, self.bytes - taken)

    def summary(self) -> str:
        parts = ", ".join(f"{self.counts[kind]} {kind}" for kind in KINDS)
        return f"decoded {parts} from {self.bytes:,} bytes ({self.time:.1f} s); {self.loss.summary()}"


class Sink(Protocol):
    """Where a session's parts go (see quillmore.sinks)."""

    def take(self, part: RecordingPart, decoder: SessionDecoder) -> None:
        """A part that became final; ``decoder.before`` holds the counts
        before it, ``decoder.time`` the stream time after it."""


class Pace:
    """Holds a session to ``speed`` seconds of stream a second: called after
    each chunk, it waits until the stream time decoded is due."""

    def __init__(self, speed: float) -> None:
        self._speed = speed
        self._started = time.monotonic()

    def __call__(self, decoder: SessionDecoder) -> None:
        delay = self._started + decoder.time / self._speed - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def run(source: Source, sink: Sink, progress: Progress | None = None,
        after_chunk: Callable[[SessionDecoder], object] | None = None) -> tuple[SessionDecoder, str | None]:
    """Decodes ``source`` into ``sink``, a part per chunk, and the rest at
    the end: returns the decoder (for its counts) and, when a live source
    was stopped, why.  ``after_chunk`` is called after each chunk's part
    (to keep a pace); ``progress`` is updated after each chunk and cleared
    at the end.

    When the port went away and came back, the decoder's clock is told how
    long (``SessionDecoder.link_gap``), so the samples lost meanwhile count
    as lost and later times stay right.  A live source ends at
    KeyboardInterrupt (the user's way of stopping it) or when the port goes
    away; both end the run normally.  For other sources both are errors and
    propagate."""
    decoder = SessionDecoder()
    if source.link is not None:
        source.link.on_gap = decoder.link_gap
    stopped: str | None = None
    try:
        for chunk in source.chunks:
            sink.take(decoder.feed(chunk), decoder)
            if after_chunk is not None:
                after_chunk(decoder)
            if progress is not None:
                progress.update(decoder)
    except KeyboardInterrupt:
        if not source.live:
            raise
        stopped = "stopped"
    except PortClosed as error:
        stopped = f"the port went away ({error})"
    finally:
        if progress is not None:
            progress.clear()
    part = decoder.finish()
    if part is not None:
        sink.take(part, decoder)
    return decoder, stopped
