"""Decoding recordings and live ports into parts, and writing their rows.

A source's chunks go through quillmore.Decoder (the batch path of the
core), which returns for each chunk a part (a quillmore.Recording of the
arrays that became final); the writers take whole parts.  Every result
becomes one row of its kind (``eeg``, ``extend``, ``raw``, ``gyro`` or
``rr``): its number among the results of that kind (``index``), its time in
seconds on the loss-aware clock of quillmore.recording, and the result's
fields (see quillmore.rows_text for the columns as written).
"""

from __future__ import annotations

import builtins
import contextlib
import dataclasses
import json
import math
import os
import stat
import sys
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from importlib import resources
from pathlib import Path
from typing import IO, TYPE_CHECKING, Protocol

from .errors import QuillmoreError
from .constants import KINDS, ROW_KINDS, SAMPLES_PER_SECOND
from .output import close_quietly, partial_path, reason
from .ports import PortClosed, PortReader
from .rows_text import TEXT_FORMATS, WRITTEN_FIELDS, TextRows

if TYPE_CHECKING:
    from .recording import Loss
    from .recording import Recording as RecordingPart
    from .table_exports import ParquetParts


FORMATS = TEXT_FORMATS
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

class Decoder:
    """quillmore.Decoder with what the command-line tool reports: the count
    of each kind of result, the stream time reached, the bytes and their
    hash.  ``feed()`` and ``finish()`` return the part that became final;
    ``before`` holds the counts before it (the indices its rows start
    from).  With ``keep``, the parts are kept for ``recording()``."""

    def __init__(self, keep: bool = False) -> None:
        from .recording import Decoder as RecordingDecoder

        self.counts = dict.fromkeys(KINDS, 0)
        self.before = dict(self.counts)
        self._decoder = RecordingDecoder()
        self._clock = 0.0
        self._finished = False
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
        for path in [*map(partial_path, known), *self.directory.glob(".rows-*.parquet")]:
            with contextlib.suppress(OSError):
                path.unlink()
        # Earlier outputs: those of the same recording to keep, the rest to
        # remove once this run's files are in place.
        self.kept: list[str] = []
        self.removed = [path for path in known if path.exists() and path.name != MANIFEST]
        if self.removed or (self.directory / MANIFEST).exists():
            self._compare_with_earlier(directory, source, force)
        self._writers: dict[str, TextRows] = {}
        self.fmt = fmt
        self._parquet: ParquetParts | None = None
        if fmt == "parquet":
            # Row groups as the parts come; the metadata by finish_parquet().
            from .table_exports import ParquetParts
            self.paths = {f"{kind}.parquet": self.directory / f"{kind}.parquet" for kind in kinds}
            try:
                self._parquet = ParquetParts({kind: partial_path(self.directory / f"{kind}.parquet")
                                              for kind in kinds})
            except BaseException:
                self._remove_created(self.created)
                raise
            return
        if fmt in FILE_FORMATS:
            # Written by write_recording() once decoding is over.
            self.paths = {name: self.directory / name for name in FILE_FORMATS[fmt]}
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
        if self._parquet is not None:
            self._parquet.write(part)

    def finish_parquet(self, loss: Loss, sha256: str, duration: float) -> None:
        """Ends the Parquet files (under their temporary names)."""
        if self._parquet is not None:
            self._parquet.close(loss, sha256, duration)

    def begin(self) -> None:
        pass

    def write_recording(self, recording: RecordingPart) -> None:
        """A whole-recording format's file (npz, EDF), under its temporary
        name."""
        if self.fmt == "npz":
            recording.save_npz(partial_path(self.paths["recording.npz"]))
        else:
            recording.to_edf(partial_path(self.paths["recording.edf"]))

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
        if self._parquet is not None:
            self._parquet.abort()
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


def run(source: Source, writer: Writer, progress: Progress, flush: Callable[[], object],
        keep: bool = False) -> tuple[Decoder, str | None]:
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
    decoder = Decoder(keep)
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
