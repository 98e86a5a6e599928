"""Rows as text from whole parts: the same bytes as the csv and json modules
write for the same values, one row at a time."""
import csv
import io
import json

import numpy as np
import pytest

import quillmore
from quillmore import _recording
from quillmore.rows_text import TextRows, columns_of, WRITTEN_COLUMNS
from quillmore.constants import KINDS
from quillmore.simulate import simulate

STATUS = ("measured", "no_reading", "no_row")


def reference(fmt, parts, kinds, kind_column, arrivals):
    """Each row built in Python from the arrays and written by the csv or
    json module, in stream order."""
    out = io.StringIO()
    columns = columns_of(kinds, kind_column, arrivals is not None)
    writer = csv.writer(out, lineterminator="\n")
    if fmt == "csv":
        writer.writerow(columns)
    counts = dict.fromkeys(KINDS, 0)
    for p, part in enumerate(parts):
        events = []
        for k in range(len(part.raw)):
            events.append((part.first_sample + k + 1, -1, "raw", k))
        for tie, kind in enumerate(("rr", "gyro", "eeg", "extend")):
            for i, sample in enumerate(part.rows(kind)["sample"].tolist()):
                events.append((sample, tie, kind, i))
        events = sorted(e for e in events if e[2] in kinds)
        raws = len(part.raw)
        for sample, _, kind, i in events:
            cells = {"kind": kind, "index": counts[kind]}
            counts[kind] += 1
            if kind == "raw":
                cells.update(time=float(part.raw_time[i]), raw=int(part.raw[i]))
                before = i + 1
            else:
                row = part.rows(kind)[i]
                cells["time"] = float(row["time"])
                for name in WRITTEN_COLUMNS[kind][2:]:
                    value = row[name].item()
                    if name == "temperature_status":
                        value = STATUS[value]
                    elif name == "temperature" and row["temperature_status"] != 0:
                        value = None
                    cells[name] = value
                before = min(max(sample - part.first_sample, 0), raws)
            if arrivals is not None:
                cells["host_time"] = arrivals[p] - (raws - before) / 512
            if fmt == "csv":
                writer.writerow(["" if cells.get(c) is None else cells[c] for c in columns])
            else:
                own = [c for c in columns if c in cells]
                out.write(json.dumps({c: cells[c] for c in own}, separators=(", ", ": ")) + "\n")
    return out.getvalue()


@pytest.fixture(scope="module")
def parts():
    data = simulate(20, seed=3, noise=0.001, drop=0.001, damage=0.01).data
    decoder = quillmore.Decoder()
    return [decoder.feed(data[k:k + 7001]) for k in range(0, len(data), 7001)] + [decoder.finish()]


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
@pytest.mark.parametrize("kinds, kind_column", [(KINDS, True), (("eeg", "extend", "gyro", "rr"), True),
                                                (("raw",), False), (("extend",), False)])
@pytest.mark.parametrize("live", [False, True])
def test_parts_write_what_the_modules_write_row_by_row(parts, fmt, kinds, kind_column, live):
    arrivals = [1.7e9 + 0.25 * k for k in range(len(parts))] if live else None
    out = io.StringIO()
    rows = TextRows(out, fmt, kinds, kind_column, host_time=live)
    counts = dict.fromkeys(KINDS, 0)
    for p, part in enumerate(parts):
        rows.write(part, counts, arrivals[p] if live else None)
        for kind in KINDS:
            counts[kind] += len(part.raw) if kind == "raw" else len(part.rows(kind))
    assert out.getvalue() == reference(fmt, parts, kinds, kind_column, arrivals)


def test_stream_times_are_written_as_repr_writes_them():
    rng = np.random.default_rng(1)
    periods = np.concatenate([np.arange(0, 5000), rng.integers(0, 2**29, 20000), [2**29 - 1, 2**29, 2**40]])
    times = periods / 512
    times = np.concatenate([times, [1e-7, 1e16, 123.456, 1.7e9 + 0.1, np.nextafter(1.0, 2.0)]])
    text = _recording.format_rows("csv", [[("time", "f", times)]], None)
    assert text.splitlines() == [repr(float(t)) for t in times]


@pytest.mark.parametrize("tables, order", [
    ([[("a", "i", np.arange(3))], [("b", "i", np.arange(2))]], None),            # several tables, no order
    ([[("a", "i", np.arange(3)), ("b", "i", np.arange(2))]], None),              # columns of other lengths
    ([[("a", "i", np.arange(3))]], np.array([0, 0], np.int8)),                   # an order too short
    ([[("a", "i", np.arange(1))]], np.array([1], np.int8)),                      # a table that is not there
    ([[(("x", "s"), "s", np.array([1], np.int8))]], None),                       # a status with no name
    ([[("a", "q", np.arange(1))]], None),                                        # an unknown code
    ([[("a", "i", b"\x00" * 7)]], None),                                         # not whole items
])
def test_malformed_tables_are_refused(tables, order):
    with pytest.raises((ValueError, TypeError)):
        _recording.format_rows("csv", tables, order)
