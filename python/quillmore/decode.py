"""Decoding recordings and live ports into rows, and writing the rows.

Every result the decoder delivers becomes one row of its kind (``eeg``,
``extend``, ``raw``, ``gyro`` or ``rr``): its number among the results of
that kind (``index``), the stream time at which it arrived (``time``, in
seconds on the loss-aware clock of quillmore.recording: raw samples at 512 a
second, those inferred as lost included) and the result's fields under the
names of the module's records.  Decoding runs on quillmore.Decoder (the
batch path of the core); rows decoded after a damage are written once the
next standard frame has placed them in time.

Written rows differ from the records in one place: the temperature.  The
record holds it as a float, the integer 0 when the sensor sent "no reading"
(an integer part of 255), or 0.0 when the frame carried no temperature row;
a ``0`` in a file would be read by pandas or R as zero degrees.  So a file's
``temperature`` holds measured values only (an empty CSV cell or JSON
``null`` otherwise) and ``temperature_status`` says which case it was.
"""

from __future__ import annotations

import builtins
import contextlib
import csv
import dataclasses
import json
import math
import os
import stat
import sys
import time
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from importlib import resources
from pathlib import Path
from typing import IO, TYPE_CHECKING, Protocol, Union

from .errors import QuillmoreError, missing_extra
from .frames import EEG_FIELDS, EXTEND_FIELDS, FIELDS, KINDS, SAMPLES_PER_SECOND, Value
from .output import close_quietly, partial_path, reason
from .ports import PortClosed, PortReader
from .rows_text import TextRows

if TYPE_CHECKING:
    from .recording import Loss
    from .recording import Recording as RecordingPart

Row = list[Value]
"""index, time, then the kind's fields in the order of ``FIELDS``."""
Cell = Union[Value, str, None]
"""A value as written: ``None`` is an empty CSV cell or JSON ``null``."""

COLUMNS: dict[str, tuple[str, ...]] = {kind: ("index", "time") + FIELDS[kind] for kind in KINDS}
FORMATS = {"csv": ".csv", "jsonl": ".jsonl"}
ROW_KINDS = ("eeg", "extend", "gyro", "rr")
# Formats that hold a whole recording, written once decoding has finished:
# the files each writes into --out-dir.
FILE_FORMATS: dict[str, tuple[str, ...]] = {
    "parquet": tuple(f"{kind}.parquet" for kind in KINDS),
    "npz": ("recording.npz",),
    "edf": ("recording.edf",),
}
CHUNK_SIZE = 1 << 16

# Bytes of each frame as the headset sends it; an extended frame has no
# length of its own, and the headset's is 11 bytes long.
FRAME_BYTES: dict[str, int] = {"eeg": 36, "extend": 11, "raw": 8, "gyro": 11, "rr": 16}

# ---------------------------------------------------------------- temperature

TEMPERATURE_MEASURED = "measured"
TEMPERATURE_NO_READING = "no_reading"
TEMPERATURE_NO_ROW = "no_row"
_EXTEND_TEMPERATURE = 2 + EXTEND_FIELDS.index("temperature")
_EXTEND_ROW_08 = [2 + EXTEND_FIELDS.index(name) for name in ("version", "gnaw", "temperature", "heart")]

# Columns as written: the temperature's status goes right after it.
WRITTEN_FIELDS: dict[str, tuple[str, ...]] = dict(FIELDS)
WRITTEN_FIELDS["extend"] = EXTEND_FIELDS[:5] + ("temperature_status",) + EXTEND_FIELDS[5:]
WRITTEN_COLUMNS: dict[str, tuple[str, ...]] = {kind: ("index", "time") + WRITTEN_FIELDS[kind] for kind in KINDS}


def temperature_status(row: Row) -> str:
    """Which of the record's three temperature cases an extended row holds.

    The integer 0 is the sensor's "no reading".  Version, gnaw, temperature
    and heart all come from one row of the frame (code 08), so a frame
    without that row leaves all four at their starting values (0.0, 0, 0.0,
    0); a row 08 of zero bytes reads the same and is taken as absent too."""
    temperature = row[_EXTEND_TEMPERATURE]
    if type(temperature) is int:
        return TEMPERATURE_NO_READING
    if all(row[i] == 0 for i in _EXTEND_ROW_08):
        return TEMPERATURE_NO_ROW
    return TEMPERATURE_MEASURED


def written(kind: str, row: Row) -> list[Cell]:
    """A row as it goes into a file, in the order of ``WRITTEN_COLUMNS``."""
    if kind != "extend":
        return list(row)
    status = temperature_status(row)
    cells: list[Cell] = list(row)
    if status != TEMPERATURE_MEASURED:
        cells[_EXTEND_TEMPERATURE] = None
    cells.insert(_EXTEND_TEMPERATURE + 1, status)
    return cells


# Stream order of rows that follow the same count of raw samples: a heart-
# rate-variability frame, a gyroscope frame, then a standard frame and its
# extended frame, as the headset sends them before a raw frame.
_TIE_ORDER = {"rr": 0, "gyro": 1, "eeg": 2, "extend": 3}


def _record_value(kind: str, name: str, values: list[Value], statuses: list[int] | None) -> list[Value]:
    """A column as the module's records hold it: the temperature a float,
    the int 0 for "no reading", 0.0 without a temperature row."""
    if kind == "extend" and name == "temperature" and statuses is not None:
        from .recording import TEMPERATURE_NO_READING, TEMPERATURE_NO_ROW
        return [0 if status == TEMPERATURE_NO_READING else 0.0 if status == TEMPERATURE_NO_ROW else value
                for value, status in zip(values, statuses)]
    return values


class Decoder:
    """A recording decoder (quillmore.Decoder, the batch path) whose results
    become rows, handed to ``emit(kind, row)`` in stream order; ``time`` is
    on the loss-aware clock (see quillmore.recording).  ``finish()`` ends the
    input and hands over what was held back.

    Counts every result, of the kinds that are not emitted too."""

    def __init__(self, emit: Callable[[str, Row], object] | None = None, kinds: Collection[str] = KINDS,
                 keep: bool = False) -> None:
        from .recording import Decoder as RecordingDecoder

        self.counts = dict.fromkeys(KINDS, 0)
        self.before = dict(self.counts)
        """The counts before the part that feed() or finish() returned last:
        the indices its rows start from."""
        self._emit = emit
        self._wanted = set(kinds)
        self._decoder = RecordingDecoder()
        self._clock = 0.0
        self._finished = False
        # With `keep`, the parts themselves, for recording().
        self._parts: list[RecordingPart] | None = [] if keep else None

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
    def sha256(self) -> str:
        """The sha256 of the bytes fed so far."""
        return self._decoder.sha256

    def link_gap(self, seconds: float) -> None:
        """The link was down for ``seconds`` here (see quillmore.Decoder)."""
        self._decoder.link_gap(seconds)

    def feed(self, chunk: builtins.bytes) -> RecordingPart:
        """Decodes a chunk; returns the part that became final."""
        part = self._decoder.feed(chunk)
        self._rows(part)
        return part

    def finish(self) -> RecordingPart | None:
        """Ends the input; returns what was held back (None when finished
        already)."""
        if self._finished:
            return None
        self._finished = True
        part = self._decoder.finish()
        self._rows(part)
        return part

    def recording(self) -> RecordingPart:
        """Everything decoded, as one Recording (needs ``keep``)."""
        from .recording import concatenate
        assert self._parts is not None
        whole = concatenate(self._parts)
        whole.source_sha256 = self.sha256
        return whole

    def _rows(self, part: RecordingPart) -> None:
        if self._parts is not None:
            self._parts.append(part)
        self._clock += part.duration
        self.before = dict(self.counts)
        if self._emit is None:
            self.counts["raw"] += len(part.raw)
            for kind in ROW_KINDS:
                self.counts[kind] += len(part.rows(kind))
            return
        counts = self.counts
        wanted = self._wanted
        raw_first = counts["raw"]
        raw_count = len(part.raw)
        counts["raw"] += raw_count
        events: list[tuple[int, int, str, int]] = []
        columns: dict[str, list[list[Value]]] = {}
        for kind in _TIE_ORDER:
            rows = part.rows(kind)
            if not len(rows):
                continue
            if kind in wanted:
                statuses = rows["temperature_status"].tolist() if kind == "extend" else None
                columns[kind] = [rows["time"].tolist()] + [
                    _record_value(kind, name, rows[name].tolist(), statuses) for name in FIELDS[kind]]
                order = _TIE_ORDER[kind]
                events += [(sample, order, kind, i) for i, sample in enumerate(rows["sample"].tolist())]
            else:
                counts[kind] += len(rows)
        events.sort()
        emit = self._emit
        emit_raw = "raw" in wanted and raw_count
        raw_values = part.raw.tolist() if emit_raw else []
        raw_times = part.raw_time.tolist() if emit_raw else []
        done = 0

        def raws_before(sample: int) -> int:
            upto = min(max(sample - raw_first, done), raw_count)
            for k in range(done, upto):
                emit("raw", [raw_first + k, raw_times[k], raw_values[k]])
            return upto

        for sample, _, kind, i in events:
            if emit_raw:
                done = raws_before(sample)
            values = columns[kind]
            index = counts[kind]
            counts[kind] = index + 1
            emit(kind, [index, values[0][i], *(column[i] for column in values[1:])])
        if emit_raw:
            raws_before(raw_first + raw_count)

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
    decoder.finish()
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
    path: str | None = None
    """The path of a regular file, whose bytes can be read again."""
    link: PortReader | None = None
    """The port the chunks come from, which reports its gaps."""


def _chunked(data: bytes) -> Iterator[bytes]:
    for start in range(0, len(data), CHUNK_SIZE):
        yield data[start:start + CHUNK_SIZE]


def _read_chunks(stream: IO[bytes], name: str) -> Iterator[bytes]:
    # read1 returns what a pipe has now instead of waiting for a full chunk,
    # so rows from a live pipe appear as the bytes arrive.
    read = getattr(stream, "read1", stream.read)
    while True:
        try:
            chunk = read(CHUNK_SIZE)
        except OSError as error:
            raise QuillmoreError(f"cannot read {name}: {reason(error)}") from None
        if not chunk:
            return
        yield chunk


def open_file(path: str) -> tuple[Source, IO[bytes]]:
    try:
        stream = open(path, "rb")
    except OSError as error:
        raise QuillmoreError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        status = os.fstat(stream.fileno())
    except OSError:
        status = None
    if status is not None and stat.S_ISDIR(status.st_mode):
        stream.close()
        raise QuillmoreError(f"cannot read {path}: it is a directory")
    regular = status is not None and stat.S_ISREG(status.st_mode)
    size = status.st_size if status is not None and regular else None
    return Source(path, size, _read_chunks(stream, path), path=path if regular else None), stream


def sample_source() -> Source:
    data = sample_bytes()
    path = resources.files(__package__).joinpath("data", SAMPLE)
    return Source(f"the bundled sample ({SAMPLE})", len(data), _chunked(data),
                  path=str(path) if isinstance(path, Path) else None)


def stdin_source() -> Source:
    return Source("standard input", None, _read_chunks(sys.stdin.buffer, "standard input"))


# ---------------------------------------------------------------- writers

class Writer(Protocol):
    """Where the rows of each part go (rows_text.TextRows, OutputDirectory)."""

    def write(self, part: RecordingPart, first: Mapping[str, int], arrival: float | None = None) -> None: ...

    def begin(self) -> None:
        """Writes what comes before the rows (a CSV header), unless the
        first rows already did."""


def make_writer(stream: IO[str], fmt: str, kinds: Sequence[str], kind_column: bool,
                host_time: bool = False) -> TextRows:
    """Rows of ``kinds`` as ``fmt`` (csv or jsonl) into ``stream``."""
    return TextRows(stream, fmt, kinds, kind_column, host_time)


MANIFEST = "manifest.json"


def manifest(source: Source, decoder: Decoder) -> dict[str, object]:
    """What ``--out-dir`` records beside the files: where they came from and
    what was decoded and lost."""
    from . import __version__

    return {
        "tool": f"quillmore {__version__}",
        "written": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "source": {"name": source.name, "size": decoder.bytes, "sha256": decoder.sha256},
        "counts": dict(decoder.counts),
        "loss": {"bytes_in_no_frame": decoder.unaccounted, **decoder.loss.as_dict()},
    }


class OutputDirectory:
    """One file per kind in a directory (eeg.csv, raw.csv, ...) and a
    ``manifest.json`` that says which recording they came from.

    The files are written under temporary names and renamed into place by
    ``commit()``; ``discard()`` removes them, so a failed run leaves no
    half-written file behind, and the temporary files a killed run left are
    removed by the next run into the same directory.  The directories this
    run created (``DIR`` and any missing parents) are removed too when they
    are left empty; those that were there before stay.

    A directory that already holds the outputs of another recording (its
    manifest names other bytes, or there is no manifest to tell) is refused
    unless ``force``: files of two recordings never lie side by side.  With
    ``force`` the earlier outputs are removed when this run's are in place;
    outputs of the same recording are kept (the manifest lists them too)."""

    def __init__(self, directory: str, kinds: Sequence[str], fmt: str, source: Source, force: bool) -> None:
        self.directory = Path(directory)
        self.paths: dict[str, Path] = {}
        self._streams: dict[str, IO[str]] = {}
        self.created = self._make_directories(directory)
        if not self.directory.is_dir():
            raise QuillmoreError(f"cannot write in {directory}: it is not a directory")
        known = [self.directory / f"{kind}{ext}" for kind in KINDS for ext in FORMATS.values()]
        known += [self.directory / name for names in FILE_FORMATS.values() for name in names]
        known.append(self.directory / MANIFEST)
        for path in known:
            with contextlib.suppress(OSError):
                partial_path(path).unlink()
        # Earlier outputs: those of the same recording to keep, the rest to
        # remove once this run's files are in place.
        self.kept: list[str] = []
        self.removed = [path for path in known if path.exists() and path.name != MANIFEST]
        if self.removed or (self.directory / MANIFEST).exists():
            self._compare_with_earlier(directory, source, force)
        self._writers: dict[str, TextRows] = {}
        self.fmt = fmt
        if fmt in FILE_FORMATS:
            # Written by write_recording() once decoding is over.
            names = FILE_FORMATS[fmt]
            if fmt == "parquet":
                names = tuple(f"{kind}.parquet" for kind in kinds)
            self.paths = {name: self.directory / name for name in names}
            return
        self.paths = {kind: self.directory / f"{kind}{FORMATS[fmt]}" for kind in kinds}
        try:
            for kind, path in self.paths.items():
                stream = open(partial_path(path), "w", newline="", encoding="utf-8")
                self._streams[kind] = stream
                self._writers[kind] = make_writer(stream, fmt, [kind], kind_column=False, host_time=source.live)
                self._writers[kind].begin()   # a kind without rows still gets its header
        except OSError as error:
            self.discard()
            raise QuillmoreError(f"cannot write in {directory}: {reason(error)}") from None

    def _make_directories(self, name: str) -> list[Path]:
        """Creates the directory and its missing parents; returns those it
        created, outermost first."""
        missing = []
        path = self.directory
        while not os.path.lexists(path) and path.parent != path:
            missing.append(path)
            path = path.parent
        created: list[Path] = []
        for path in reversed(missing):
            try:
                path.mkdir()
            except FileExistsError:   # made meanwhile by someone else: not ours to remove
                continue
            except OSError as error:
                self._remove_created(created)
                raise QuillmoreError(f"cannot create the output directory {name}: {reason(error)}") from None
            created.append(path)
        return created

    @staticmethod
    def _remove_created(created: list[Path]) -> None:
        # rmdir removes empty directories only: nothing put there meanwhile goes.
        for path in reversed(created):
            with contextlib.suppress(OSError):
                path.rmdir()

    def _compare_with_earlier(self, directory: str, source: Source, force: bool) -> None:
        from .recording import file_sha256

        earlier = "an earlier run"
        try:
            manifest = json.loads((self.directory / MANIFEST).read_text(encoding="utf-8"))
            recorded = manifest["source"]
            earlier = str(recorded["name"])
            if source.path is not None and recorded["sha256"] == file_sha256(source.path):
                listed = {str(name) for name in manifest["files"]}
                self.kept = [path.name for path in self.removed if path.name in listed]
                self.removed = [path for path in self.removed if path.name not in listed]
                return
        except (OSError, ValueError, KeyError, TypeError):
            pass
        if not force:
            raise QuillmoreError(f"{directory} already holds the outputs of {earlier}; "
                                 f"use --force to replace them, or another --out-dir")

    def write(self, part: RecordingPart, first: Mapping[str, int], arrival: float | None = None) -> None:
        for writer in self._writers.values():
            writer.write(part, first, arrival)

    def begin(self) -> None:
        pass

    def write_recording(self, recording: RecordingPart) -> None:
        """A whole-recording format's files, under their temporary names."""
        import tempfile

        if self.fmt == "npz":
            recording.save_npz(partial_path(self.paths["recording.npz"]))
        elif self.fmt == "edf":
            recording.to_edf(partial_path(self.paths["recording.edf"]))
        else:
            with tempfile.TemporaryDirectory(dir=self.directory, prefix=".parquet-") as folder:
                recording.to_parquet(folder)
                for name, path in self.paths.items():
                    os.replace(os.path.join(folder, name), partial_path(path))

    def flush(self) -> None:
        for stream in self._streams.values():
            stream.flush()

    def commit(self, manifest: dict[str, object]) -> list[Path]:
        """Puts the files and the manifest in place, then removes the
        earlier outputs that are not kept; returns this run's files.
        Raises OSError (after which ``discard()`` cleans up)."""
        for stream in self._streams.values():
            stream.close()
        written = [path.name for path in self.paths.values()]
        manifest = dict(manifest, files=sorted(set(self.kept) | set(written)))
        manifest_path = self.directory / MANIFEST
        with open(partial_path(manifest_path), "w", encoding="utf-8") as stream:
            json.dump(manifest, stream, indent=2)
            stream.write("\n")
        for path in self.paths.values():
            os.replace(partial_path(path), path)
        os.replace(partial_path(manifest_path), manifest_path)
        self.removed = [path for path in self.removed if path.name not in written]
        for path in self.removed:
            with contextlib.suppress(OSError):
                path.unlink()
        return list(self.paths.values())

    def discard(self) -> None:
        for stream in self._streams.values():
            close_quietly(stream)
        for path in [*self.paths.values(), self.directory / MANIFEST]:
            with contextlib.suppress(OSError):
                partial_path(path).unlink()
        self._remove_created(self.created)
        self.created = []


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


class StampClock:
    """The time stamp of each chunk's last raw sample: the clock's reading
    at arrival, or later when that would not leave room for the chunk's
    samples after the previous chunk's (stamps never go backwards)."""

    def __init__(self, clock: Callable[[], float]) -> None:
        self._clock = clock
        self._last = -math.inf

    def stamp(self, new_raw: int, now: float | None = None) -> float:
        now = self._clock() if now is None else now
        self._last = max(now, self._last + new_raw / SAMPLES_PER_SECOND)
        return self._last


def host_times(rows: Sequence[tuple[str, Row]], arrival: float) -> list[float]:
    """The computer's clock for the rows one chunk completed, in stream
    order: the chunk arrived at ``arrival`` with its last raw sample, and
    each row is dated back by the raw samples that follow it among
    ``rows``, at 512 a second, so samples of one chunk are spread, not
    bunched."""
    after = sum(kind == "raw" for kind, _ in rows)
    times = []
    for kind, _ in rows:
        if kind == "raw":
            after -= 1
        times.append(arrival - after / SAMPLES_PER_SECOND)
    return times


def run(source: Source, kinds: Collection[str], writer: Writer, progress: Progress,
        flush: Callable[[], object], keep: bool = False) -> tuple[Decoder, str | None]:
    """Decodes ``source`` into ``writer``, a part per chunk: returns the
    decoder (for its counts) and, when a live source was stopped, why.

    Rows of a live source carry the computer's clock: each part is stamped
    when it arrived (``StampClock``) and its rows dated back from there by
    the raw samples after them.  When the port went away and came back, the
    decoder's clock is told how long (``Decoder.link_gap``), so the samples
    lost meanwhile count as lost and later times stay right.  A live source
    ends at KeyboardInterrupt (the user's way of stopping it) or when the
    port goes away; both end the run normally.  For other sources both are
    errors and propagate."""
    stamps = StampClock(time.time)
    decoder = Decoder(None, kinds, keep)
    if source.link is not None:
        source.link.on_gap = decoder.link_gap

    def deliver(part: RecordingPart | None) -> None:
        if part is None:
            return
        arrival = stamps.stamp(len(part.raw)) if source.live else None
        writer.write(part, decoder.before, arrival)

    stopped: str | None = None
    try:
        for chunk in source.chunks:
            deliver(decoder.feed(chunk))
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
    deliver(decoder.finish())
    flush()
    return decoder, stopped
