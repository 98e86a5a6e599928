"""Decoding recordings and live ports into rows, and writing the rows.

Every result the decoder delivers becomes one row of its kind (``eeg``,
``extend``, ``raw``, ``gyro`` or ``rr``): its number among the results of
that kind (``index``), the stream time at which it arrived (``time``, in
seconds, counted in raw samples at 512 a second, so it is exact for a clean
stream and slips by the samples lost in a damaged one) and the result's
fields under the names of the module's records.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import json
import os
import sys
import time
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from importlib import resources
from pathlib import Path
from typing import IO, Protocol

from QuillmoreParser import QuillmoreParser

from .errors import QuillmoreError, missing_extra
from .frames import EEG_FIELDS, EXTEND_FIELDS, FIELDS, KINDS, SAMPLES_PER_SECOND, Value

Row = list[Value]
"""index, time, then the kind's fields in the order of ``FIELDS``."""

COLUMNS: dict[str, tuple[str, ...]] = {kind: ("index", "time") + FIELDS[kind] for kind in KINDS}
FORMATS = {"csv": ".csv", "jsonl": ".jsonl"}
CHUNK_SIZE = 1 << 16


class Decoder:
    """A parser whose results become rows, handed to ``emit(kind, row)``.

    Counts every result, of the kinds that are not emitted too."""

    def __init__(self, emit: Callable[[str, Row], object], kinds: Collection[str] = KINDS) -> None:
        self.counts = dict.fromkeys(KINDS, 0)
        self.bytes = 0
        counts = self.counts
        wanted = set(kinds)

        def record_emitter(kind: str, names: tuple[str, ...]) -> Callable[[object], None]:
            def deliver(record: object) -> None:
                index = counts[kind]
                counts[kind] = index + 1
                if kind in wanted:
                    row: Row = [index, counts["raw"] / SAMPLES_PER_SECOND]
                    row += [getattr(record, name) for name in names]
                    emit(kind, row)
            return deliver

        def on_raw(raw: int) -> None:
            index = counts["raw"]
            counts["raw"] = index + 1
            emit("raw", [index, index / SAMPLES_PER_SECOND, raw])

        def on_raw_counted(raw: int) -> None:
            counts["raw"] += 1

        def triple_emitter(kind: str) -> Callable[[int, int, int], None]:
            def deliver(a: int, b: int, c: int) -> None:
                index = counts[kind]
                counts[kind] = index + 1
                if kind in wanted:
                    emit(kind, [index, counts["raw"] / SAMPLES_PER_SECOND, a, b, c])
            return deliver

        self._parser = QuillmoreParser(
            eeg_callback=record_emitter("eeg", EEG_FIELDS),
            extend_eeg_callback=record_emitter("extend", EXTEND_FIELDS),
            gyro_callback=triple_emitter("gyro"),
            rr_callback=triple_emitter("rr"),
            raw_callback=on_raw if "raw" in wanted else on_raw_counted,
        )

    @property
    def time(self) -> float:
        """Stream time reached, in seconds of raw samples."""
        return self.counts["raw"] / SAMPLES_PER_SECOND

    def feed(self, chunk: bytes) -> None:
        self.bytes += len(chunk)
        self._parser.parse(chunk)

    def summary(self) -> str:
        parts = ", ".join(f"{self.counts[kind]} {kind}" for kind in KINDS)
        return f"decoded {parts} from {self.bytes:,} bytes ({self.time:.1f} s of samples)"


# ---------------------------------------------------------------- in memory

@dataclasses.dataclass
class Recording:
    """All rows of a recording, by kind."""

    rows: dict[str, list[Row]]
    decoder: Decoder

    def column(self, kind: str, name: str) -> list[Value]:
        position = COLUMNS[kind].index(name)
        return [row[position] for row in self.rows[kind]]

    def fields(self, kind: str) -> list[dict[str, Value]]:
        """The rows of ``kind`` as the records' fields, without index and time."""
        return [dict(zip(FIELDS[kind], row[2:])) for row in self.rows[kind]]


def decode_bytes(chunks: Iterable[bytes], kinds: Collection[str] = KINDS) -> Recording:
    rows: dict[str, list[Row]] = {kind: [] for kind in KINDS}

    def keep(kind: str, row: Row) -> None:
        rows[kind].append(row)

    decoder = Decoder(keep, kinds)
    for chunk in chunks:
        decoder.feed(chunk)
    return Recording(rows, decoder)


# ---------------------------------------------------------------- sources

SAMPLE = "sample.bin"


def sample_bytes() -> bytes:
    """The recording shipped with the package."""
    return resources.files(__package__).joinpath("data", SAMPLE).read_bytes()


@dataclasses.dataclass
class Source:
    """Where bytes come from: a name for messages, the size when known, and
    the chunks.  ``live`` sources (ports) end when the user stops them."""

    name: str
    size: int | None
    chunks: Iterator[bytes]
    live: bool = False


def _chunked(data: bytes) -> Iterator[bytes]:
    for start in range(0, len(data), CHUNK_SIZE):
        yield data[start:start + CHUNK_SIZE]


def _read_chunks(stream: IO[bytes]) -> Iterator[bytes]:
    # read1 returns what a pipe has now instead of waiting for a full chunk,
    # so rows from a live pipe appear as the bytes arrive.
    read = getattr(stream, "read1", stream.read)
    while chunk := read(CHUNK_SIZE):
        yield chunk


def open_file(path: str) -> tuple[Source, IO[bytes]]:
    try:
        stream = open(path, "rb")
    except OSError as error:
        raise QuillmoreError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        size: int | None = os.fstat(stream.fileno()).st_size
    except OSError:
        size = None
    return Source(path, size, _read_chunks(stream)), stream


def sample_source() -> Source:
    data = sample_bytes()
    return Source(f"the bundled sample ({SAMPLE})", len(data), _chunked(data))


def stdin_source() -> Source:
    return Source("standard input", None, _read_chunks(sys.stdin.buffer))


class _Port(Protocol):
    in_waiting: int

    def read(self, size: int = ...) -> bytes: ...
    def close(self) -> None: ...


class PortClosed(Exception):
    """The port went away while we read it (unplugged, or the other end closed)."""


def open_port(device: str, baud: int) -> _Port:
    try:
        import serial  # type: ignore[import-untyped]
    except ImportError:
        raise missing_extra("reading a serial port", "pyserial", "serial") from None
    try:
        port: _Port = serial.Serial(device, baud, timeout=0.2)
    except (serial.SerialException, OSError, ValueError) as error:
        # pyserial wraps the system's error in a long message of its own.
        code = getattr(error, "errno", None)
        reason = os.strerror(code) if isinstance(code, int) else str(error)
        raise QuillmoreError(f"cannot open port {device}: {reason}") from None
    return port


def port_source(port: _Port, device: str, seconds: float | None) -> Source:
    def chunks() -> Iterator[bytes]:
        deadline = None if seconds is None else time.monotonic() + seconds
        while deadline is None or time.monotonic() < deadline:
            try:
                # Wait (up to the timeout) for one byte, then take all that is there.
                chunk = port.read(1)
                if chunk and port.in_waiting:
                    chunk += port.read(port.in_waiting)
            except OSError as error:   # pyserial's SerialException is an OSError
                raise PortClosed(str(error)) from None
            if chunk:
                yield chunk
    return Source(device, None, chunks(), live=True)


# ---------------------------------------------------------------- writers

class Writer(Protocol):
    def write(self, kind: str, row: Row) -> None: ...


class CsvWriter:
    """One CSV table.  For one kind: index, time and that kind's fields.  For
    several kinds sharing a table: a ``kind`` column first, then index, time
    and every field of those kinds; a row leaves the other kinds' fields
    empty."""

    def __init__(self, stream: IO[str], kinds: Sequence[str], kind_column: bool) -> None:
        self._writer = csv.writer(stream, lineterminator="\n")
        self._kind_column = kind_column
        columns: list[str] = ["kind"] if kind_column else []
        columns += ["index", "time"]
        for kind in kinds:
            columns += [name for name in FIELDS[kind] if name not in columns]
        self._writer.writerow(columns)
        # For each kind, the template of a row and where its fields go.
        self._layout: dict[str, tuple[list[Value | str], list[int]]] = {}
        for kind in kinds:
            template: list[Value | str] = [""] * len(columns)
            if kind_column:
                template[0] = kind
            places = [columns.index(name) for name in COLUMNS[kind]]
            self._layout[kind] = (template, places)

    def write(self, kind: str, row: Row) -> None:
        template, places = self._layout[kind]
        if not self._kind_column and len(places) == len(template):
            self._writer.writerow(row)
            return
        line = template.copy()
        for place, value in zip(places, row):
            line[place] = value
        self._writer.writerow(line)


class JsonLinesWriter:
    """One JSON object per line: the row's columns by name, with ``kind``
    first when kinds share the stream."""

    def __init__(self, stream: IO[str], kind_column: bool) -> None:
        self._stream = stream
        self._kind_column = kind_column

    def write(self, kind: str, row: Row) -> None:
        item: dict[str, Value | str] = {"kind": kind} if self._kind_column else {}
        item.update(zip(COLUMNS[kind], row))
        self._stream.write(json.dumps(item, separators=(", ", ": ")) + "\n")


def make_writer(stream: IO[str], fmt: str, kinds: Sequence[str], kind_column: bool) -> Writer:
    if fmt == "jsonl":
        return JsonLinesWriter(stream, kind_column)
    return CsvWriter(stream, kinds, kind_column)


class OutputDirectory:
    """One file per kind in a directory (eeg.csv, raw.csv, ...).  The files
    are written under temporary names and renamed into place by
    ``commit()``; ``discard()`` removes them, so a failed run leaves no
    half-written file behind."""

    def __init__(self, directory: str, kinds: Sequence[str], fmt: str) -> None:
        self.directory = Path(directory)
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise QuillmoreError(f"cannot create the output directory {directory}: {error.strerror or error}") \
                from None
        self.paths = {kind: self.directory / f"{kind}{FORMATS[fmt]}" for kind in kinds}
        self._streams: dict[str, IO[str]] = {}
        self._writers: dict[str, Writer] = {}
        try:
            for kind, path in self.paths.items():
                stream = open(self._partial(path), "w", newline="", encoding="utf-8")
                self._streams[kind] = stream
                self._writers[kind] = make_writer(stream, fmt, [kind], kind_column=False)
        except OSError as error:
            self.discard()
            raise QuillmoreError(f"cannot write in {directory}: {error.strerror or error}") from None

    @staticmethod
    def _partial(path: Path) -> Path:
        return path.with_name(f".{path.name}.partial")

    def write(self, kind: str, row: Row) -> None:
        self._writers[kind].write(kind, row)

    def flush(self) -> None:
        for stream in self._streams.values():
            stream.flush()

    def commit(self) -> list[Path]:
        for stream in self._streams.values():
            stream.close()
        for path in self.paths.values():
            os.replace(self._partial(path), path)
        return list(self.paths.values())

    def discard(self) -> None:
        for stream in self._streams.values():
            stream.close()
        for path in self.paths.values():
            with contextlib.suppress(OSError):
                self._partial(path).unlink()


# ---------------------------------------------------------------- progress

class Progress:
    """A one-line progress display on a terminal: a bar and percentage when
    the size is known, otherwise bytes and stream time so far."""

    WIDTH = 30

    def __init__(self, stream: IO[str], name: str, size: int | None, enabled: bool) -> None:
        self._stream = stream
        self._name = name
        self._size = size
        self._enabled = enabled
        self._last = 0.0
        self._shown = False

    def update(self, decoder: Decoder, force: bool = False) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        if not force and now - self._last < 0.1:
            return
        self._last = now
        done = decoder.bytes
        if self._size:
            fraction = min(1.0, done / self._size)
            filled = round(fraction * self.WIDTH)
            bar = "#" * filled + "." * (self.WIDTH - filled)
            text = f"{self._name} [{bar}] {fraction:4.0%}"
        else:
            text = f"{self._name}: {done:,} bytes"
        text += f"  {decoder.time:.0f} s, {decoder.counts['eeg']} eeg"
        self._stream.write("\r" + text + "\x1b[K")
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False


def run(source: Source, kinds: Collection[str], writer: Writer, progress: Progress,
        flush: Callable[[], object]) -> tuple[Decoder, str | None]:
    """Decodes ``source`` into ``writer``: returns the decoder (for its
    counts) and, when a live source was stopped, why.

    A live source ends at KeyboardInterrupt (the user's way of stopping it)
    or when the port goes away; both end the run normally.  For other
    sources both are errors and propagate."""
    decoder = Decoder(writer.write, kinds)
    stopped: str | None = None
    try:
        for chunk in source.chunks:
            decoder.feed(chunk)
            flush()
            progress.update(decoder)
    except KeyboardInterrupt:
        if not source.live:
            raise
        stopped = "stopped"
    except PortClosed as error:
        stopped = f"the port went away ({error})"
    finally:
        progress.clear()
    return decoder, stopped
