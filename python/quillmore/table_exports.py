"""A recording as tables: pandas DataFrames, an ``.npz`` file, Parquet files.

Each kind is one table: ``raw`` (the samples), ``eeg``, ``extend``, ``gyro``
and ``rr`` (one row per frame), with the time in seconds on the recording's
loss-aware clock; ``to_pandas`` also gives the event markers (``markers``:
``label`` and ``stream`` by ``time``).  A temperature without a reading is missing (NaN in
pandas, null in Parquet), never 0, and ``temperature_status`` names the case
("measured", "no_reading", "no_row").
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import json
import os
import tempfile
from pathlib import Path
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from .constants import KINDS, ROW_KINDS, TEMPERATURE_MEASURED, TEMPERATURE_STATUS
from .errors import missing_extra

if TYPE_CHECKING:
    import pandas

    from .recording import Loss, Recording

MARKERS = "markers"
"""``to_pandas``'s name for the event markers' table (``Recording.markers``)."""

METADATA_LOSS = b"quillmore.loss"
METADATA_SHA256 = b"quillmore.source_sha256"
METADATA_DURATION = b"quillmore.duration"
METADATA_START = b"quillmore.start_time"


def _columns(rec: Recording, kind: str) -> dict[str, np.ndarray[Any, Any]]:
    """The kind's columns but time, in order; ``host_time`` first when the
    recording's times on the host's clock are known."""
    host = rec.host_time(kind)
    columns = {} if host is None else {"host_time": host}
    if kind == "raw":
        columns["raw"] = rec.raw
        return columns
    rows = rec.rows(kind)
    names: tuple[str, ...] = rows.dtype.names or ()
    columns.update((name, rows[name]) for name in names if name != "time")
    return columns


def _times(rec: Recording, kind: str) -> np.ndarray[Any, Any]:
    if kind == "raw":
        return rec.raw_time
    times: np.ndarray[Any, Any] = rec.rows(kind)["time"]
    return times


def to_pandas(rec: Recording, kind: str | None = None) -> pandas.DataFrame | dict[str, pandas.DataFrame]:
    """``Recording.to_pandas``."""
    try:
        import pandas as pd
    except ImportError:
        raise missing_extra("Recording.to_pandas()", "pandas", "pandas") from None
    if kind is None:
        frames = {name: _frame(pd, rec, name) for name in KINDS}
        frames[MARKERS] = _markers(pd, rec)
        return frames
    if kind == MARKERS:
        return _markers(pd, rec)
    if kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r}; choose from {', '.join(KINDS)} or {MARKERS}")
    return _frame(pd, rec, kind)


def _markers(pd: Any, rec: Recording) -> pandas.DataFrame:
    """The event markers: ``label`` and ``stream`` (str), ``time`` (on the
    recording's clock) as the index."""
    markers = rec.markers
    frame = pd.DataFrame({"label": markers["label"].astype(object), "stream": markers["stream"].astype(object)},
                         index=pd.Index(markers["time"].astype(np.float64), name="time"))
    frame.attrs["start_time"] = rec.start_time
    result: pandas.DataFrame = frame
    return result


def _frame(pd: Any, rec: Recording, kind: str) -> pandas.DataFrame:
    columns: dict[str, Any] = dict(_columns(rec, kind))
    if kind == "extend":
        columns["temperature_status"] = pd.Categorical.from_codes(columns["temperature_status"],
                                                                  categories=list(TEMPERATURE_STATUS))
    frame = pd.DataFrame(columns, index=pd.Index(_times(rec, kind), name="time"))
    frame.attrs["loss"] = rec.loss.as_dict()
    frame.attrs["start_time"] = rec.start_time
    result: pandas.DataFrame = frame
    return result


def save_npz(rec: Recording, path: str | os.PathLike[str]) -> None:
    """``raw``, ``raw_time``, ``eeg``, ``extend``, ``gyro``, ``rr`` (structured
    arrays: no pickling needed to load them), ``duration``, ``loss`` as a
    JSON string, ``source_sha256`` and ``start_time`` (ISO 8601) as strings,
    empty when unknown.  Written to ``path`` exactly (NumPy would add
    ``.npz`` to a name without it).  ``load_npz`` reads it back."""
    arrays: dict[str, Any] = {"raw": rec.raw, "raw_time": rec.raw_time}
    arrays.update({kind: rec.rows(kind) for kind in ROW_KINDS})
    arrays["duration"] = np.float64(rec.duration)
    arrays["loss"] = np.array(json.dumps(rec.loss.as_dict()))
    arrays["source_sha256"] = np.array(rec.source_sha256 or "")
    arrays["start_time"] = np.array(rec.start_time.isoformat() if rec.start_time else "")
    with open(path, "wb") as stream:
        np.savez(stream, **arrays)


def load_npz(path: str | os.PathLike[str]) -> Recording:
    """The Recording that ``save_npz`` wrote (without its host clock, which
    the file does not keep).  A file that is not one raises ValueError."""
    from .recording import DTYPES, Loss, Recording

    try:
        with np.load(path, allow_pickle=False) as npz:
            arrays = {name: npz[name] for name in npz.files}
    except (OSError, ValueError, EOFError) as error:
        raise ValueError(f"cannot read {os.fspath(path)} as a recording's npz file: {error}") from None
    needed = {"raw", "raw_time", "duration", "loss", *ROW_KINDS}
    if not needed <= arrays.keys() or any(arrays[kind].dtype != DTYPES[kind] for kind in ROW_KINDS):
        raise ValueError(f"{os.fspath(path)} is not a recording's npz file (save_npz writes those)")
    counts = json.loads(str(arrays["loss"]))
    failures = counts.pop("checksum_failures")
    known = {field.name for field in dataclasses.fields(Loss)}
    counts = {name: value for name, value in counts.items() if name in known}   # a later version's extras
    rows = {kind: arrays[kind] for kind in ROW_KINDS}
    rec = Recording(arrays["raw"], arrays["raw_time"], rows, Loss(failures, **counts), float(arrays["duration"]),
                    str(arrays.get("source_sha256", "")) or None)
    start = str(arrays.get("start_time", ""))
    rec.start_time = datetime.datetime.fromisoformat(start) if start else None
    return rec


def to_parquet(rec: Recording, folder: str | os.PathLike[str]) -> list[str]:
    """``folder``/``KIND``.parquet for each of the five kinds (the folder is
    created).  Each file's metadata holds the loss (JSON, key
    ``quillmore.loss``), the source's sha256 (``quillmore.source_sha256``,
    empty when unknown), the duration (``quillmore.duration``) and the
    start in UTC (``quillmore.start_time``, ISO 8601, empty when unknown)."""
    directory = Path(folder)
    directory.mkdir(parents=True, exist_ok=True)
    files = ParquetParts({kind: directory / f"{kind}.parquet" for kind in KINDS})
    try:
        files.write(rec)
        files.close(rec.loss, rec.source_sha256, rec.duration, rec.start_time)
    except BaseException:
        files.abort()
        raise
    return [str(path) for path in files.paths.values()]


class ParquetParts:
    """Parquet files of a recording that arrives in parts, one file per
    kind (``paths``), written in row groups as the rows come, so memory
    stays bounded whatever the recording's length.  ``close()`` puts the
    whole recording's loss, hash and duration in each file's metadata,
    after at least one ``write()`` (a recording's last part, empty or not).
    Needs pyarrow."""

    # Small enough that a group's columns, and the writer's buffers for
    # them, stay a few megabytes; large enough for readers to skip through.
    ROWS_PER_GROUP = 1 << 16
    PARTS_PER_COMPACTION = 64

    def __init__(self, paths: Mapping[str, str | os.PathLike[str]]) -> None:
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise missing_extra("Parquet files", "pyarrow", "parquet") from None
        self._pa, self._pq = pa, pq
        self.paths = {kind: Path(path) for kind, path in paths.items()}
        self._writers: dict[str, Any] = {}
        self._pending: dict[str, list[Any]] = {kind: [] for kind in self.paths}
        self._rows = dict.fromkeys(self.paths, 0)
        # Each kind's columns as the last part gave them: a kind without a
        # single row still gets a file of its columns.
        self._schemas: dict[str, Any] = {}
        self._scratch: dict[str, str] = {}

    def write(self, part: Recording, first: Mapping[str, int] | None = None, arrival: float | None = None) -> None:
        for kind in self.paths:
            table = self._table(part, kind)
            self._schemas[kind] = table.schema
            if table.num_rows:
                pending = self._pending[kind]
                pending.append(table)
                self._rows[kind] += table.num_rows
                if self._rows[kind] >= self.ROWS_PER_GROUP:
                    self._flush(kind)
                elif len(pending) >= self.PARTS_PER_COMPACTION:
                    # A kind with few rows a part (a standard frame a
                    # second) takes hours to fill a group: its parts are
                    # joined into one table as they come, so thousands of
                    # tiny tables are not held meanwhile.
                    self._pending[kind] = [self._pa.concat_tables(pending).combine_chunks()]

    def begin(self) -> None:
        pass

    def close(self, loss: Loss, sha256: str | None, duration: float,
              start_time: datetime.datetime | None = None) -> None:
        metadata = {METADATA_LOSS: json.dumps(loss.as_dict()).encode(),
                    METADATA_SHA256: (sha256 or "").encode(),
                    METADATA_DURATION: repr(duration).encode(),
                    METADATA_START: (start_time.isoformat() if start_time else "").encode()}
        # Schema metadata goes in with the schema, which a file's writer
        # takes first: the row groups are copied, one at a time, into the
        # file with the metadata now known.
        for kind in self.paths:
            self._flush(kind, always=True)
            self._writers.pop(kind).close()
            rows = self._pq.ParquetFile(self._scratch[kind])
            with self._pq.ParquetWriter(self.paths[kind], rows.schema_arrow.with_metadata(metadata)) as out:
                for group in range(rows.num_row_groups):
                    out.write_table(rows.read_row_group(group))
            rows.close()
            os.unlink(self._scratch.pop(kind))

    def abort(self) -> None:
        """Closes what is open; the files are the caller's to remove."""
        for writer in self._writers.values():
            try:
                writer.close()
            except Exception:   # already failing: the first error is the one to report
                pass
        self._writers.clear()
        for path in self._scratch.values():
            with contextlib.suppress(OSError):
                os.unlink(path)
        self._scratch.clear()

    def _flush(self, kind: str, always: bool = False) -> None:
        tables = self._pending[kind]
        if not tables and not always:
            return
        if kind not in self._writers:
            schema = tables[0].schema if tables else self._schemas[kind]
            handle, scratch = tempfile.mkstemp(prefix=".rows-", suffix=".parquet", dir=self.paths[kind].parent)
            os.close(handle)
            self._scratch[kind] = scratch
            self._writers[kind] = self._pq.ParquetWriter(scratch, schema)
        if tables:
            self._writers[kind].write_table(self._pa.concat_tables(tables))
        self._pending[kind] = []
        self._rows[kind] = 0

    def _table(self, rec: Recording, kind: str) -> Any:
        pa = self._pa
        columns: dict[str, Any] = {"time": _times(rec, kind)}
        for name, values in _columns(rec, kind).items():
            columns[name] = values
        if kind == "extend":
            status = columns["temperature_status"]
            columns["temperature"] = pa.array(columns["temperature"], mask=status != TEMPERATURE_MEASURED)
            names = pa.array(list(TEMPERATURE_STATUS), pa.string())
            columns["temperature_status"] = pa.DictionaryArray.from_arrays(pa.array(status, pa.int8()), names)
        return pa.table(columns)
