"""Reading a session's XDF file (``quillmore record``, or any recorder of
``quillmore stream``'s outlets) back into a :class:`~quillmore.Recording`.

``quillmore.read("SESSION.xdf")`` comes here: pyxdf loads the file with its
clocks synchronised (every stream's time stamps on the recorder's clock:
LSL's ``local_clock()`` of the machine that recorded, through the clock
offsets recorded beside each stream) and its time stamps as they were sent
(no dejittering: the headset's stamps are fitted already).

The headset's raw EEG stream (source_id ``quillmore:ORIGIN:raw``) gives the
samples: microvolts (float32) divided by ``volts_per_count`` x 10^6 from
the stream's metadata and rounded, or the int16 counts themselves, so they
equal those of the session's byte capture exactly.

The clocks, as for a capture with its timing file:

* ``raw_time`` (and every row's and marker's ``time``): seconds on the
  headset clock, 512 raw samples a second, from the file's first raw sample
  (time 0).  A jump in the stamps wider than a sample is samples lost there,
  and counts on the clock as the decoder counts them.
* ``host_time(kind)`` and ``host_clock``: the recorder's synchronised clock,
  the stamps pyxdf gives.
* ``start_time``: the UTC time of time 0, from the raw stream's
  ``desc/acquisition/local_clock_zero_utc`` (None without it).

The rows of the band power, device, gyroscope and RR streams of the same
ORIGIN fill ``eeg``, ``extend``, ``gyro`` and ``rr``, dated by their stamps
on the same clock; their ``sample`` counts the file's raw samples before
them.  The streams do not carry the ``damaged`` flags (False here), and a
device row's NaN temperature becomes ``TEMPERATURE_NO_READING`` (the stream
does not tell "no reading" from "no temperature row").

``loss`` is the sum of the loss stream's samples (each one what a part of
the stream lost); a file without a loss stream gets the samples the stamps
show missing as ``raw_missing``.

``markers``: a sample of every other stream of type ``Markers`` or of
string samples (event markers: ``quillmore record --also``), its label the
sample's values joined by commas, its time on the headset clock (the raw
sample taken at the marker's stamp is at that time), its ``stream`` the
stream's name.  In time order.

pyxdf is an optional dependency, imported only here.
"""

from __future__ import annotations

import datetime
import os
import re
import stat
from collections.abc import Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any

import numpy as np

from .constants import (FIELDS, ROW_KINDS, SAMPLES_PER_SECOND, TEMPERATURE_MEASURED, TEMPERATURE_NO_READING,
                        VOLTS_PER_COUNT)
from .errors import NotARecording, QuillmoreError, missing_extra

if TYPE_CHECKING:
    from .recording import Recording

MAGIC = b"XDF:"
"""The first bytes of every XDF file."""

_OWN = re.compile(r"quillmore:(.*):(raw|eeg|extend|gyro|rr|loss)", re.DOTALL)

# Stamps are kept for the host clock at least every this many samples
# (and at both ends of every gap): the clock is straight in between.
_HOST_CLOCK_STEP = 64


def is_xdf(path: str | os.PathLike[str]) -> bool:
    """Whether ``path`` is a regular file that starts as an XDF file does
    (anything else, a pipe or a device, is not opened: its bytes are read
    once)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as stream:
            return stream.read(len(MAGIC)) == MAGIC
    except OSError:
        return False


def require_pyxdf() -> ModuleType:
    try:
        import pyxdf  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise missing_extra("reading an XDF file", "pyxdf", "xdf") from None
    return pyxdf  # type: ignore[no-any-return]


def _text(info: Mapping[str, Any], key: str) -> str:
    values = info.get(key) or [""]
    return str(values[0] or "")


def _desc(info: Mapping[str, Any], *path: str) -> str | None:
    """A value of the stream's description (``desc/acquisition/...``)."""
    node: Any = info.get("desc")
    for key in path:
        if not node or not isinstance(node, list) or not node[0]:
            return None
        node = node[0].get(key)
    if not node or not isinstance(node, list):
        return None
    return str(node[0])


def _offset(stream: Mapping[str, Any]) -> float:
    """The clock offset pyxdf added to the stream's stamps (the median of
    the recorded ones; 0 when none were recorded)."""
    try:
        offsets = stream["footer"]["info"]["clock_offsets"][0]["offset"]
        values = [float(entry["value"][0]) for entry in offsets]
    except (KeyError, IndexError, TypeError, ValueError):
        return 0.0
    return float(np.median(values)) if values else 0.0


class _Clock:
    """Headset positions against the recorder's clock: the stamps of the raw
    samples (a sample is dated when the stream reached the position after
    it), continued at the fitted rate beyond both ends."""

    def __init__(self, positions: np.ndarray[Any, Any], stamps: np.ndarray[Any, Any]) -> None:
        n = len(positions)
        keep = np.zeros(n, bool)
        keep[::_HOST_CLOCK_STEP] = True
        keep[-1] = True
        gaps = np.flatnonzero(np.diff(positions) > 1)
        keep[gaps] = keep[gaps + 1] = True
        self.positions = positions[keep].astype(np.float64) + 1
        self.stamps = stamps[keep]
        span = self.stamps[-1] - self.stamps[0]
        self.rate = float((self.positions[-1] - self.positions[0]) / span) if n > 1 and span > 0 \
            else float(SAMPLES_PER_SECOND)

    def position(self, stamps: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        """The headset positions at ``stamps`` on the recorder's clock."""
        t = np.asarray(stamps, np.float64)
        out: np.ndarray[Any, Any] = np.interp(t, self.stamps, self.positions)
        before = t < self.stamps[0]
        out[before] = self.positions[0] + (t[before] - self.stamps[0]) * self.rate
        after = t > self.stamps[-1]
        out[after] = self.positions[-1] + (t[after] - self.stamps[-1]) * self.rate
        return out


def _counts(stream: Mapping[str, Any], name: str) -> np.ndarray[Any, Any]:
    info = stream["info"]
    values = np.asarray(stream["time_series"])
    if values.ndim != 2 or values.shape[1] != 1:
        raise ValueError(f"{name}: the raw EEG stream should have one channel, not {values.shape[1:]}")
    values = values[:, 0]
    fmt = _text(info, "channel_format")
    if fmt == "int16":
        return values.astype(np.int16)
    if fmt != "float32":
        raise ValueError(f"{name}: the raw EEG stream is {fmt}, neither microvolts (float32) nor counts (int16)")
    factor = _desc(info, "acquisition", "volts_per_count")
    volts_per_count = float(factor) if factor else VOLTS_PER_COUNT
    microvolts = np.float32(volts_per_count * 1e6)
    scaled = values.astype(np.float64) / np.float64(microvolts)
    counts = np.rint(scaled)
    if len(counts) and (np.abs(scaled - counts).max() > 0.01 or np.abs(counts).max() > 32768):
        raise ValueError(f"{name}: the raw EEG stream's values are not whole counts of {volts_per_count!r} V")
    return counts.astype(np.int16)


def _rows(kind: str, stream: Mapping[str, Any], clock: _Clock, positions: np.ndarray[Any, Any]) \
        -> np.ndarray[Any, Any]:
    from .recording import DTYPES

    values = np.asarray(stream["time_series"], np.float64)
    stamps = np.asarray(stream["time_stamps"], np.float64)
    rows = np.zeros(len(stamps), DTYPES[kind])
    if not len(stamps):
        return rows
    # A row is dated as the raw sample before it: at the position after
    # that sample, a whole position.
    at = np.rint(clock.position(stamps))
    rows["time"] = at / SAMPLES_PER_SECOND
    rows["sample"] = np.searchsorted(positions, at - 0.5)
    for column, field in enumerate(FIELDS[kind]):
        rows[field] = values[:, column]
    if kind == "extend":
        measured = np.isfinite(rows["temperature"])
        rows["temperature_status"] = np.where(measured, TEMPERATURE_MEASURED, TEMPERATURE_NO_READING)
    return rows


def _loss(stream: Mapping[str, Any] | None, missing: int) -> Any:
    from .lsl import LOSS_CHANNELS
    from .recording import Loss

    if stream is None:
        return Loss({"eeg": 0, "raw": 0, "rr": 0}, raw_missing=missing)
    values = np.asarray(stream["time_series"], np.int64).reshape(-1, len(LOSS_CHANNELS))
    totals = dict(zip(LOSS_CHANNELS, (int(v) for v in values.sum(axis=0))))
    failures = {kind: totals.pop(f"checksum_failures_{kind}") for kind in ("eeg", "raw", "rr")}
    return Loss(failures, **totals)


def _is_marker_stream(stream: Mapping[str, Any]) -> bool:
    info = stream["info"]
    if _OWN.fullmatch(_text(info, "source_id")):
        return False
    return _text(info, "type").lower() in ("markers", "marker") or _text(info, "channel_format") == "string"


def _label(values: Any) -> str:
    if isinstance(values, (list, tuple, np.ndarray)):
        return ",".join(_label(value) for value in values)
    if isinstance(values, (float, np.floating)) and float(values).is_integer():
        return str(int(values))
    return str(values)


def _markers(streams: list[Mapping[str, Any]], clock: _Clock) -> np.ndarray[Any, Any]:
    from .recording import MARKER_DTYPE

    pieces = []
    for stream in filter(_is_marker_stream, streams):
        stamps = np.asarray(stream["time_stamps"], np.float64)
        if not len(stamps):
            continue
        markers = np.empty(len(stamps), MARKER_DTYPE)
        # The raw sample taken at a marker's stamp is dated at the position
        # before the one that stamp reached.
        markers["time"] = (clock.position(stamps) - 1) / SAMPLES_PER_SECOND
        markers["label"] = [_label(sample) for sample in stream["time_series"]]
        markers["stream"] = _text(stream["info"], "name")
        pieces.append(markers)
    if not pieces:
        return np.empty(0, MARKER_DTYPE)
    every = np.concatenate(pieces)
    return every[np.argsort(every["time"], kind="stable")]


def _unique(streams: list[Mapping[str, Any]]) -> list[Mapping[str, Any]]:
    """One stream per uid: a recorder that took a stream twice (once when
    asked, once more when it watched for it) has the most samples of it in
    the longer copy."""
    best: dict[str, Mapping[str, Any]] = {}
    order: list[str] = []
    for number, stream in enumerate(streams):
        uid = _text(stream["info"], "uid") or f"#{number}"
        if uid not in best:
            order.append(uid)
            best[uid] = stream
        elif len(stream["time_stamps"]) > len(best[uid]["time_stamps"]):
            best[uid] = stream
    return [best[uid] for uid in order]


def read_xdf(path: str | os.PathLike[str], origin: str | None = None) -> Recording:
    """The headset's session in the XDF file ``path`` (see the module's
    docstring).  ``origin`` chooses the headset when the file holds several
    (the ORIGIN of their source_ids ``quillmore:ORIGIN:KIND``)."""
    from .recording import Recording, _empty_rows

    pyxdf = require_pyxdf()
    name = os.fspath(path)
    try:
        loaded, _ = pyxdf.load_xdf(name, synchronize_clocks=True, dejitter_timestamps=False)
    except Exception as error:   # pyxdf raises what its parser met: struct.error, ValueError ...
        raise QuillmoreError(f"cannot read {name} as an XDF file: {error}") from None
    streams = _unique(loaded)
    own: dict[str, dict[str, Mapping[str, Any]]] = {}
    for stream in streams:
        match = _OWN.fullmatch(_text(stream["info"], "source_id"))
        if match is not None:
            own.setdefault(match.group(1), {})[match.group(2)] = stream
    headsets = [o for o, kinds in own.items() if "raw" in kinds]
    if origin is not None:
        headsets = [o for o in headsets if o == origin]
    if not headsets:
        found = ", ".join(repr(_text(s["info"], "name")) for s in streams) or "none"
        wanted = f"quillmore:{origin}:raw" if origin is not None else "quillmore:ORIGIN:raw"
        raise NotARecording(f"{name} holds no raw EEG stream of the headset (source_id {wanted}); "
                            f"its streams: {found}")
    if len(headsets) > 1:
        raise ValueError(f"{name} holds the streams of {len(headsets)} headsets: "
                         f"{', '.join(map(repr, headsets))}; choose one with read_xdf(path, origin=...)")
    kinds = own[headsets[0]]
    raw = kinds["raw"]
    counts = _counts(raw, name)
    stamps = np.asarray(raw["time_stamps"], np.float64)
    if not len(counts):
        raise NotARecording(f"{name}: the headset's raw EEG stream holds no sample")
    # One position a sample; a jump in the stamps wider than a sample is
    # the samples lost in it.
    steps = np.maximum(1, np.rint(np.diff(stamps) * SAMPLES_PER_SECOND)).astype(np.int64)
    positions = np.concatenate(([0], np.cumsum(steps)))
    clock = _Clock(positions, stamps)
    empty = _empty_rows()
    rows = {kind: _rows(kind, kinds[kind], clock, positions) if kind in kinds else empty[kind]
            for kind in ROW_KINDS}
    end = int(positions[-1]) + 1
    for kind in ROW_KINDS:
        if len(rows[kind]):
            end = max(end, int(round(rows[kind]["time"][-1] * SAMPLES_PER_SECOND)))
    loss = _loss(kinds.get("loss"), int(positions[-1]) + 1 - len(counts))
    rec = Recording(counts, positions / SAMPLES_PER_SECOND, rows, loss, end / SAMPLES_PER_SECOND)
    from .recording import HostClock
    rec.host_clock = HostClock(clock.positions, clock.stamps, clock.rate)
    zero = _desc(raw["info"], "acquisition", "local_clock_zero_utc")
    if zero:
        try:
            epoch = datetime.datetime.fromisoformat(zero)
        except ValueError:
            epoch = None
        if epoch is not None:
            # Time 0 on the recorder's clock, back on the sender's clock
            # (which the epoch is of), plus the epoch.
            at = float(rec.host_clock(np.zeros(1))[0]) - _offset(raw)
            rec.start_time = epoch + datetime.timedelta(seconds=at)
    rec.markers = _markers(streams, clock)
    return rec


