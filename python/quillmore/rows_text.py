"""CSV and JSON Lines rows from a recording's arrays, a part at a time.

A table holds one kind's rows (``index``, ``time``, then the kind's fields
as written) or, with a ``kind`` column first, several kinds' rows in stream
order, each leaving the other kinds' fields empty.  Live input adds
``host_time`` (the computer's clock, Unix seconds) after ``time``.  The
text is made in the extension module from whole columns (``format_rows``),
never a Python call per row.

Written rows differ from the records in one place: the temperature.  A
file's ``temperature`` holds measured values only (an empty CSV cell or JSON
``null`` otherwise) and ``temperature_status`` says which case it was, as
the decoder's arrays do.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import IO, TYPE_CHECKING, Any

import numpy as np

from . import _recording
from .constants import FIELDS, KINDS, SAMPLES_PER_SECOND, TEMPERATURE_STATUS

if TYPE_CHECKING:
    from .recording import Recording

TEXT_FORMATS = {"csv": ".csv", "jsonl": ".jsonl"}

# Columns as written: the temperature's status goes right after it.
WRITTEN_FIELDS: dict[str, tuple[str, ...]] = dict(FIELDS)
WRITTEN_FIELDS["extend"] = FIELDS["extend"][:5] + ("temperature_status",) + FIELDS["extend"][5:]
WRITTEN_COLUMNS: dict[str, tuple[str, ...]] = {kind: ("index", "time") + WRITTEN_FIELDS[kind] for kind in KINDS}

# Stream order of rows that follow the same count of raw samples: a heart-
# rate-variability frame, a gyroscope frame, then a standard frame and its
# extended frame, as the headset sends them before a raw frame.  A raw
# sample comes before every row that counts it.
_TIE_ORDER = {"raw": -1, "rr": 0, "gyro": 1, "eeg": 2, "extend": 3}
_FLOAT_FIELDS = {"version", "temperature"}


def columns_of(kinds: Sequence[str], kind_column: bool, host_time: bool) -> list[str]:
    """The columns of a table of ``kinds``."""
    columns: list[str] = ["kind"] if kind_column else []
    columns += ["index", "time"] + (["host_time"] if host_time else [])
    for kind in kinds:
        columns += [name for name in WRITTEN_FIELDS[kind] if name not in columns]
    return columns


class TextRows:
    """Rows of ``kinds`` into one text stream, as CSV (with a header line)
    or JSON Lines (one object per row, with ``kind`` first when kinds share
    the stream)."""

    def __init__(self, stream: IO[str], fmt: str, kinds: Sequence[str], kind_column: bool,
                 host_time: bool = False) -> None:
        if fmt not in TEXT_FORMATS:
            raise ValueError(f"unknown text format {fmt!r}")
        self._stream = stream
        self._fmt = fmt
        self._kinds = [kind for kind in KINDS if kind in kinds]
        self._kind_column = kind_column
        self._host_time = host_time
        self._columns = columns_of(self._kinds, kind_column, host_time)
        self._header = fmt == "csv"

    def begin(self) -> None:
        """Writes what comes before the rows (a CSV header), unless the
        first rows already did: output that ends in an error before any row
        holds nothing."""
        if self._header:
            self._header = False
            self._stream.write(",".join(self._columns) + "\n")

    def write(self, part: Recording, first: Mapping[str, int], arrival: float | None = None) -> None:
        """The rows of ``part``, numbered from ``first[kind]`` on; for live
        input, ``arrival`` is the computer's clock when its last raw sample
        arrived (the rows are dated back from it at 512 samples a second)."""
        text = self.format(part, first, arrival)
        if text:
            self.begin()
            self._stream.write(text)

    def format(self, part: Recording, first: Mapping[str, int], arrival: float | None = None) -> str:
        tables: list[list[tuple[Any, str, Any]]] = []
        keys: list[tuple[np.ndarray[Any, Any], int]] = []
        raw_first = part.first_sample
        raw_count = len(part.raw)
        for kind in self._kinds:
            n = raw_count if kind == "raw" else len(part.rows(kind))
            if not n:
                continue
            if kind == "raw":
                samples = np.arange(raw_first + 1, raw_first + 1 + n, dtype=np.int64)
            else:
                samples = part.rows(kind)["sample"].astype(np.int64)
            host = None
            if self._host_time:
                # Raw samples after each row in this part, at 512 a second.
                before = np.clip(samples - 1 - raw_first if kind == "raw" else samples - raw_first, 0, raw_count)
                after = raw_count - before - (1 if kind == "raw" else 0)
                host = (arrival if arrival is not None else 0.0) - after / SAMPLES_PER_SECOND
            tables.append(self._table(kind, part, first.get(kind, 0), n, host))
            keys.append((samples, _TIE_ORDER[kind]))
        if not tables:
            return ""
        order = None
        if len(tables) > 1:
            samples = np.concatenate([s for s, _ in keys])
            ties = np.concatenate([np.full(len(s), tie, np.int8) for s, tie in keys])
            ids = np.concatenate([np.full(len(s), k, np.int8) for k, (s, _) in enumerate(keys)])
            order = ids[np.lexsort((ties, samples))]
        text: str = _recording.format_rows(self._fmt, tables, None if order is None else order.tobytes())
        return text

    def _table(self, kind: str, part: Recording, first: int, n: int,
               host: np.ndarray[Any, Any] | None) -> list[tuple[Any, str, Any]]:
        rows = None if kind == "raw" else part.rows(kind)
        own = set(WRITTEN_COLUMNS[kind]) | {"kind", "index", "time", "host_time"}
        names = self._columns if self._fmt == "csv" else [c for c in self._columns if c in own]
        table: list[tuple[Any, str, Any]] = []
        for name in names:
            if name == "kind":
                table.append((name, "c", kind))
            elif name == "index":
                table.append((name, "i", np.arange(first, first + n, dtype=np.int64)))
            elif name == "time":
                times = part.raw_time if rows is None else rows["time"]
                table.append((name, "f", np.ascontiguousarray(times, np.float64)))
            elif name == "host_time":
                table.append((name, "f", np.ascontiguousarray(host, np.float64)))
            elif name not in own:
                table.append((name, "c", ""))
            elif rows is None:
                table.append((name, "i", part.raw.astype(np.int64)))
            elif name == "temperature_status":
                statuses = np.ascontiguousarray(rows[name], np.int8)
                table.append(((*TEMPERATURE_STATUS, name), "s", statuses))
            elif name in _FLOAT_FIELDS:
                table.append((name, "f", np.ascontiguousarray(rows[name], np.float64)))
            else:
                table.append((name, "i", np.ascontiguousarray(rows[name], np.int64)))
        return table
