"""When the bytes of a live capture arrived: the timing file beside it.

A byte capture (``--save-bytes``) keeps what the headset sent, but not when
it came, nor when the port went away and came back; decoding it later then
has to guess both.  So every capture written live gets a timing file beside
it, ``NAME.timing.csv``, appended to and flushed with the bytes (a crash
loses at most the last read), readable by a person and by any CSV reader::

    # quillmore capture timing 1: one line per read of the port and per port event
    # host_clock: LSL's local_clock() (seconds); utc: the wall clock at the same moment
    event,offset,size,host_clock,utc
    read,0,1024,81234.512345,2026-12-10T09:30:01.123456Z
    lost,1024,0,81235.100000,2026-12-10T09:30:01.711011Z
    back,1024,0,81237.104000,2026-12-10T09:30:03.715011Z
    read,1024,512,81237.104100,2026-12-10T09:30:03.715111Z

``offset`` is where in the capture the read's ``size`` bytes begin (for an
event, the bytes captured before it).  ``host_clock`` is LSL's
``local_clock()`` when pylsl is installed, else the same monotonic clock
(``time.monotonic()``, which is what LSL reads on Linux and macOS); the
header says which.

``quillmore.read(NAME)`` finds the file and uses it (``apply``): the
reconnect gaps are sized by the host's clock at the byte offsets where they
happened, as the live session sized them; the headset's clock is fitted to
the arrival times (``clock_fit``), which gives every sample and row a
``host_time`` on the host's clock and the recording a ``start_time`` in UTC.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import time
from collections.abc import Callable, Iterator
from typing import IO, TYPE_CHECKING

from .errors import QuillmoreError

if TYPE_CHECKING:
    from .recording import Decoder

SUFFIX = ".timing.csv"
_HEADER = "event,offset,size,host_clock,utc"
_EVENTS = ("read", "lost", "back")


def host_clock() -> tuple[Callable[[], float], str]:
    """The clock the host stamps with, and its name for the header."""
    try:
        import pylsl  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        return time.monotonic, "time.monotonic()"
    return pylsl.local_clock, "LSL's local_clock()"


def _utc(now: datetime.datetime) -> str:
    return now.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


class TimingLog:
    """Appends the timing lines of the capture ``name`` to ``name`` +
    ``SUFFIX``, which must not exist (a capture never writes over a file)."""

    def __init__(self, name: str, clock: Callable[[], float] | None = None, clock_name: str | None = None) -> None:
        if clock is None:
            clock, clock_name = host_clock()
        self.name = name + SUFFIX
        self._clock = clock
        self.offset = 0
        try:
            self._stream: IO[str] = open(self.name, "x", encoding="ascii", newline="\n")
        except FileExistsError:
            raise QuillmoreError(f"{self.name} exists; a capture's timing never writes over a file") from None
        except OSError as error:
            raise QuillmoreError(f"cannot write {self.name}: {error.strerror or error}") from None
        self._write(f"# quillmore capture timing 1: one line per read of the port and per port event\n"
                    f"# host_clock: {clock_name or 'the host clock'} (seconds); utc: the wall clock at the same "
                    f"moment\n{_HEADER}\n")

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)
            self._stream.flush()
        except OSError as error:
            raise QuillmoreError(f"cannot write {self.name}: {error.strerror or error}") from None

    def now(self) -> tuple[float, datetime.datetime]:
        """The host clock and the wall clock (UTC) at this moment."""
        return self._clock(), datetime.datetime.now(datetime.timezone.utc)

    def read(self, size: int, at: tuple[float, datetime.datetime] | None = None) -> None:
        """``size`` bytes arrived (now, or ``at``) and were captured."""
        host, utc = at or self.now()
        self._write(f"read,{self.offset},{size},{host:.6f},{_utc(utc)}\n")
        self.offset += size

    def event(self, kind: str, at: tuple[float, datetime.datetime] | None = None) -> None:
        """The port was ``lost`` or is ``back``."""
        if kind not in ("lost", "back"):
            raise ValueError(f"unknown port event {kind!r}")
        host, utc = at or self.now()
        self._write(f"{kind},{self.offset},0,{host:.6f},{_utc(utc)}\n")

    def close(self) -> None:
        """Closes the file; every line written is already on disk."""
        try:
            self._stream.close()
        except OSError:
            pass


@dataclasses.dataclass(frozen=True)
class Line:
    """A line of a timing file: ``event`` (``read``, ``lost`` or ``back``),
    the capture's ``offset`` and ``size`` in bytes, the ``host`` clock and
    the wall clock (``utc``)."""

    event: str
    offset: int
    size: int
    host: float
    utc: datetime.datetime


def load(path: str) -> list[Line]:
    """The lines of a timing file.  A last line cut short (the writer was
    killed) is left out; any other line that does not parse is an error."""
    try:
        with open(path, encoding="ascii", newline="") as stream:
            text = stream.read()
    except (OSError, UnicodeDecodeError) as error:
        raise QuillmoreError(f"cannot read {path}: {error}") from None
    lines = text.split("\n")
    complete = text.endswith("\n")
    out: list[Line] = []
    offset = 0
    seen_header = False
    for number, line in enumerate(lines, 1):
        if not line or line.startswith("#"):
            continue
        if not seen_header:
            if line != _HEADER:
                raise QuillmoreError(f"{path}:{number}: not a capture timing file (expected {_HEADER!r})")
            seen_header = True
            continue
        try:
            event, start, size, host, utc = line.split(",")
            parsed = Line(event, int(start), int(size), float(host),
                          datetime.datetime.strptime(utc, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
                              tzinfo=datetime.timezone.utc))
            if event not in _EVENTS or parsed.offset != offset or parsed.size < 0 or (event != "read" and size != "0"):
                raise ValueError
        except ValueError:
            if number == len(lines) and not complete:
                break   # the writer was stopped in the middle of this line
            raise QuillmoreError(f"{path}:{number}: cannot read this line: {line[:80]!r}") from None
        offset += parsed.size
        out.append(parsed)
    return out


def find(path: str) -> str | None:
    """The timing file of the capture at ``path``, when there is one."""
    timing = path + SUFFIX
    return timing if os.path.isfile(timing) else None


def replay(stream: IO[bytes], lines: list[Line], rest_size: int = 1 << 22) \
        -> Iterator[tuple[float | None, bytes, float | None]]:
    """The capture read from ``stream`` as it arrived, read by read: for
    each, the link gap before it as the live session measured it (from the
    last read before the loss to the first read after it; None when there
    was none), its bytes, and when it arrived.  Bytes beyond the last
    line's reads (the writer was killed between the two flushes) follow in
    pieces of ``rest_size`` with no arrival."""
    last_arrival: float | None = None
    lost = False
    for line in lines:
        if line.event == "lost":
            lost = True
            continue
        if line.event == "back":
            continue
        gap = max(0.0, line.host - last_arrival) if lost and last_arrival is not None else None
        lost = False
        data = stream.read(line.size)
        if len(data) < line.size:   # the capture is shorter than its timing says
            if data:
                yield gap, data, None
            return
        yield gap, data, line.host
        last_arrival = line.host
    while rest := stream.read(rest_size):
        yield None, rest, None


def feed(decoder: Decoder, data_path: str, lines: list[Line]) -> tuple[list[tuple[int, int, float]], Line | None]:
    """Feeds the capture at ``data_path`` to ``decoder`` as it arrived
    (``replay``), each reconnect's gap told to the decoder before the read
    after it.  Returns, per read, the clock position where it ended, the
    position up to which the decoder had released rows, and when it arrived;
    and the first read (for the start time)."""
    reads: list[tuple[int, int, float]] = []
    first = next((line for line in lines if line.event == "read"), None)
    with open(data_path, "rb") as stream:
        for gap, data, arrival in replay(stream, lines):
            if gap is not None:
                decoder.link_gap(gap)
            decoder._keep(data)
            if arrival is not None:
                reads.append((decoder.position, decoder._decoder.released, arrival))
    return reads, first


class Replay:
    """A capture file's chunks as they arrived, for the tool's session loop:
    ``on_gap`` is told each reconnect's gap before the chunk after it, as a
    live port does."""

    def __init__(self, stream: IO[bytes], lines: list[Line]) -> None:
        self.on_gap: Callable[[float], None] | None = None
        self._replay = replay(stream, lines, 1 << 16)

    def chunks(self) -> Iterator[bytes]:
        """The capture's bytes, read by read."""
        for gap, data, _ in self._replay:
            if gap is not None and self.on_gap is not None:
                self.on_gap(gap)
            yield data
