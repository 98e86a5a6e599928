"""``--out-dir``: one file per kind of result in a directory, and a
``manifest.json`` that says which recording they came from."""

from __future__ import annotations

import contextlib
import json
import os
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING

from .constants import KINDS, VOLTS_PER_COUNT
from .errors import QuillmoreError
from .output import Staged, close_quietly, reason
from .rows_text import TEXT_FORMATS, TextRows

if TYPE_CHECKING:
    from .recording import Loss
    from .recording import Recording as RecordingPart
    from .session import SessionDecoder
    from .sources import Source
    from .table_exports import ParquetParts

# Formats that hold a whole recording, written once decoding has finished:
# the files each writes into the directory.
FILE_FORMATS: dict[str, tuple[str, ...]] = {
    "parquet": tuple(f"{kind}.parquet" for kind in KINDS),
    "npz": ("recording.npz",),
    "edf": ("recording.edf",),
}
# Of those, the formats written from the whole recording at once (the
# others as the parts come).
WHOLE_FORMATS = ("npz", "edf")

MANIFEST = "manifest.json"


def manifest(source: Source, decoder: SessionDecoder) -> dict[str, object]:
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
    ``commit()`` (see output.Staged); ``discard()`` removes them, so a
    failed run leaves no half-written file behind, and the temporary files
    a killed run left are removed by the next run into the same directory.
    The directories this run created (``DIR`` and any missing parents) are
    removed too when they are left empty; those that were there before
    stay.

    A directory that already holds the outputs of another recording (its
    manifest names other bytes, or there is no manifest to tell) is refused
    unless ``force``: files of two recordings never lie side by side.  With
    ``force`` the earlier outputs are removed when this run's are in place;
    outputs of the same recording are kept (the manifest lists them too)."""

    def __init__(self, directory: str, kinds: Sequence[str], fmt: str, source: Source, force: bool,
                 volts_per_count: float = VOLTS_PER_COUNT) -> None:
        self._volts_per_count = volts_per_count
        self.directory = Path(directory)
        self.paths: dict[str, Path] = {}
        self._staged: dict[str, Staged] = {}
        self._streams: dict[str, IO[str]] = {}
        self._manifest = Staged(self.directory / MANIFEST)
        self.created = self._make_directories(directory)
        if not self.directory.is_dir():
            raise QuillmoreError(f"cannot write in {directory}: it is not a directory")
        known = [self.directory / f"{kind}{ext}" for kind in KINDS for ext in TEXT_FORMATS.values()]
        known += [self.directory / name for names in FILE_FORMATS.values() for name in names]
        known.append(self.directory / MANIFEST)
        for path in known:
            Staged(path).discard()
        for path in self.directory.glob(".rows-*.parquet"):
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
        self._parts: list[RecordingPart] = []
        if fmt == "parquet":
            # Row groups as the parts come; the metadata by finish().
            from .table_exports import ParquetParts
            self._stage({f"{kind}.parquet": self.directory / f"{kind}.parquet" for kind in kinds})
            try:
                self._parquet = ParquetParts({kind: self._staged[f"{kind}.parquet"].partial for kind in kinds})
            except BaseException:
                self._remove_created(self.created)
                raise
            return
        if fmt in FILE_FORMATS:
            # Written by finish() from the parts.
            self._stage({name: self.directory / name for name in FILE_FORMATS[fmt]})
            return
        self._stage({kind: self.directory / f"{kind}{TEXT_FORMATS[fmt]}" for kind in kinds})
        try:
            for kind, staged in self._staged.items():
                stream = open(staged.partial, "w", newline="", encoding="utf-8")
                self._streams[kind] = stream
                self._writers[kind] = TextRows(stream, fmt, [kind], kind_column=False, host_time=source.live)
                self._writers[kind].begin()   # a kind without rows still gets its header
        except OSError as error:
            self.discard()
            raise QuillmoreError(f"cannot write in {directory}: {reason(error)}") from None

    def _stage(self, paths: dict[str, Path]) -> None:
        self.paths = paths
        self._staged = {key: Staged(path) for key, path in paths.items()}

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
        if self.fmt in WHOLE_FORMATS:
            self._parts.append(part)

    def finish(self, loss: Loss, sha256: str, duration: float) -> None:
        """Ends the Parquet files, or writes the whole-recording file (npz,
        EDF), under their temporary names."""
        if self._parquet is not None:
            self._parquet.close(loss, sha256, duration)
        if self.fmt in WHOLE_FORMATS:
            from .recording import concatenate

            recording = concatenate(self._parts)
            self._parts = []
            recording.source_sha256 = sha256
            if self.fmt == "npz":
                recording.save_npz(self._staged["recording.npz"].partial)
            else:
                recording.to_edf(self._staged["recording.edf"].partial, self._volts_per_count)

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
        with open(self._manifest.partial, "w", encoding="utf-8") as stream:
            json.dump(manifest, stream, indent=2)
            stream.write("\n")
        for staged in self._staged.values():
            staged.commit()
        self._manifest.commit()
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
        for staged in [*self._staged.values(), self._manifest]:
            staged.discard()
        self._remove_created(self.created)
        self.created = []
