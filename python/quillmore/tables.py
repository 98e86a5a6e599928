"""A recording as tables: pandas DataFrames, an ``.npz`` file, Parquet files.

Each kind is one table: ``raw`` (the samples), ``eeg``, ``extend``, ``gyro``
and ``rr`` (one row per frame), with the time in seconds on the recording's
loss-aware clock.  A temperature without a reading is missing (NaN in
pandas, null in Parquet), never 0, and ``temperature_status`` names the case
("measured", "no_reading", "no_row").
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import missing_extra
from .recording import ROW_KINDS, TEMPERATURE_MEASURED, TEMPERATURE_STATUS, Recording

if TYPE_CHECKING:
    import pandas

KINDS = ("eeg", "extend", "raw", "gyro", "rr")

METADATA_LOSS = b"quillmore.loss"
METADATA_SHA256 = b"quillmore.source_sha256"
METADATA_DURATION = b"quillmore.duration"


def _columns(rec: Recording, kind: str) -> dict[str, np.ndarray[Any, Any]]:
    """The kind's columns but time, in order."""
    if kind == "raw":
        return {"raw": rec.raw}
    rows = rec.rows(kind)
    names: tuple[str, ...] = rows.dtype.names or ()
    return {name: rows[name] for name in names if name != "time"}


def _times(rec: Recording, kind: str) -> np.ndarray[Any, Any]:
    if kind == "raw":
        return rec.raw_time
    times: np.ndarray[Any, Any] = rec.rows(kind)["time"]
    return times


def to_pandas(rec: Recording, kind: str | None = None) -> pandas.DataFrame | dict[str, pandas.DataFrame]:
    try:
        import pandas as pd
    except ImportError:
        raise missing_extra("Recording.to_pandas()", "pandas", "pandas") from None
    if kind is None:
        return {name: _frame(pd, rec, name) for name in KINDS}
    if kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r}; choose from {', '.join(KINDS)}")
    return _frame(pd, rec, kind)


def _frame(pd: Any, rec: Recording, kind: str) -> pandas.DataFrame:
    columns: dict[str, Any] = dict(_columns(rec, kind))
    if kind == "extend":
        columns["temperature_status"] = pd.Categorical.from_codes(columns["temperature_status"],
                                                                  categories=list(TEMPERATURE_STATUS))
    frame = pd.DataFrame(columns, index=pd.Index(_times(rec, kind), name="time"))
    frame.attrs["loss"] = rec.loss.as_dict()
    result: pandas.DataFrame = frame
    return result


def save_npz(rec: Recording, path: str | os.PathLike[str]) -> None:
    """``raw``, ``raw_time``, ``eeg``, ``extend``, ``gyro``, ``rr`` (structured
    arrays: no pickling needed to load them), ``duration``, and ``loss`` as a
    JSON string.  Written to ``path`` exactly (NumPy would add ``.npz`` to a
    name without it)."""
    arrays: dict[str, Any] = {"raw": rec.raw, "raw_time": rec.raw_time}
    arrays.update({kind: rec.rows(kind) for kind in ROW_KINDS})
    arrays["duration"] = np.float64(rec.duration)
    arrays["loss"] = np.array(json.dumps(rec.loss.as_dict()))
    with open(path, "wb") as stream:
        np.savez(stream, **arrays)


def to_parquet(rec: Recording, folder: str | os.PathLike[str]) -> list[str]:
    """``folder``/``KIND``.parquet for each of the five kinds (the folder is
    created).  Each file's metadata holds the loss (JSON, key
    ``quillmore.loss``), the source's sha256 (``quillmore.source_sha256``,
    empty when unknown) and the duration (``quillmore.duration``)."""
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise missing_extra("Recording.to_parquet()", "pyarrow", "parquet") from None
    directory = Path(folder)
    directory.mkdir(parents=True, exist_ok=True)
    metadata = {METADATA_LOSS: json.dumps(rec.loss.as_dict()).encode(),
                METADATA_SHA256: (rec.source_sha256 or "").encode(),
                METADATA_DURATION: repr(rec.duration).encode()}
    written = []
    for kind in KINDS:
        columns: dict[str, Any] = {"time": _times(rec, kind)}
        for name, values in _columns(rec, kind).items():
            columns[name] = values
        if kind == "extend":
            status = columns["temperature_status"]
            columns["temperature"] = pa.array(columns["temperature"], mask=status != TEMPERATURE_MEASURED)
            names = pa.array(list(TEMPERATURE_STATUS), pa.string())
            columns["temperature_status"] = pa.DictionaryArray.from_arrays(pa.array(status, pa.int8()), names)
        table = pa.table(columns).replace_schema_metadata(metadata)
        path = directory / f"{kind}.parquet"
        pq.write_table(table, path)
        written.append(str(path))
    return written
