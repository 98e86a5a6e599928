"""Recordings as arrays: ``quillmore.read(source)`` and ``quillmore.Decoder``.

``read`` decodes a whole recording (a path, a bytes-like object or a binary
file object) into a :class:`Recording`; ``Decoder().feed(chunk)`` decodes a
live stream chunk by chunk and returns, for each chunk, a Recording of what
became final in it, so that the parts of any chunking, put together
(:func:`concatenate`), equal ``read`` of the whole.  Both run in the
extension module ``quillmore._recording`` over the decoding core: runs of
raw-sample frames are taken in bulk and nothing is built per sample.

A Recording holds NumPy arrays:

``raw``, ``raw_time``
    every raw sample (int16) in stream order, and its time (float64 seconds).
``eeg``, ``extend``, ``gyro``, ``rr``
    structured arrays, one row per frame: ``sample`` (raw samples decoded
    before it), ``time`` (seconds), then the record's fields under the
    records' names (``signal``, ``attention``, ``meditation``, ``delta`` ...
    ``highGamma``; ``ap``, ``battery``, ``version``, ``gnaw``,
    ``temperature``, ``temperature_status``, ``heart``, ``damaged``; ``x``,
    ``y``, ``z``, ``damaged``; ``rr1``, ``rr2``, ``rr3``).
``loss``
    what the stream lost (:class:`Loss`); ``duration``: seconds on the clock.

The clock.  The stream has no timestamps; its clock is the raw samples, 512
a second.  Decoded samples alone run slow by every lost sample, so the clock
adds the samples it infers as lost, and infers a loss only from evidence in
the bytes.  The headset sends one standard frame per 512 raw samples: these
are the clock's ticks.  Between two ticks, with ``d`` raw samples decoded
and ``f`` raw frames failing their checksum between them, and ``B`` bytes
between them that were frames or their fragments: without damage there
nothing was lost (fewer than 512 samples is an irregular interval, a
cadence restart or a clean cut, which the bytes cannot tell apart); with
damage the periods that passed are the most of 1, ``ceil((d + f) / 512)``
(the fewest that hold the samples seen) and ``round(B / 4143)`` (a period is
512 raw frames of 8 bytes, a standard frame of 36 and an extended frame of
11: this catches what garbled bytes hide), and ``512 * periods - d`` samples
were lost there.  Each failed raw frame's sample is placed where the frame
stood, each fragment's estimate where the fragment stood, and the rest of a
stretch's loss over its other damages or at its end.  A part that
``Decoder.feed`` returns holds what is final: rows decoded after a damage
wait for the next standard frame, which tells how much the damage cost, for
at most ``max_hold`` seconds of samples; a stretch that runs longer keeps its
rows on the clock of the standard frame before it.  The documentation's
stream-format page states the rules in full.

Temperature.  An extended frame reports a reading, "the sensor has no
reading" (an integer part of 255), or no temperature row at all.
``temperature`` is float64 and holds the reading or NaN; ``temperature_status``
(int8) says which case: :data:`TEMPERATURE_MEASURED` (0),
:data:`TEMPERATURE_NO_READING` (1), :data:`TEMPERATURE_NO_ROW` (2); pandas
shows the status as a category of ``"measured"``, ``"no_reading"``,
``"no_row"``, and a missing temperature is never 0.

The ``damaged`` flag.  Extended and gyroscope frames carry no checksum.  A
row is flagged (never dropped) when its frame is not one the headset sends:
an extended frame that is not exactly ``06 ap 07 battery 08`` and six bytes
(other length, other row order, version bytes that are not two decimal
digits, tenths of a degree above 9), or that follows a standard frame whose
checksum failed; a gyroscope frame whose bytes hold ``AA AA``, the next
frame's sync pair, because bytes of it were lost.  A value changed into
another plausible value (battery 90 read as 91) cannot be seen.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import hashlib
import io
import os
import stat
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, BinaryIO, Union

import numpy as np

from . import _recording, capture_timing
from .clock_fit import PartClock
from .constants import (ROW_KINDS, SAMPLES_PER_SECOND, TEMPERATURE_MEASURED, TEMPERATURE_NO_READING,
                        TEMPERATURE_NO_ROW, TEMPERATURE_STATUS, VOLTS_PER_COUNT)
from .errors import no_frames

if TYPE_CHECKING:
    import pandas


def _dtype(kind: str) -> np.dtype[Any]:
    itemsize, fields = _recording.LAYOUTS[kind]
    return np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                     "offsets": [f[2] for f in fields], "itemsize": itemsize})


DTYPES: dict[str, np.dtype[Any]] = {kind: _dtype(kind) for kind in ROW_KINDS}
"""The structured dtype of each kind's rows."""

MARKER_DTYPE: np.dtype[Any] = np.dtype([("time", np.float64), ("label", object), ("stream", object)])
"""An event marker: its time in seconds on the recording's clock (that of
``raw_time``), its label (str) and the name of the stream that sent it."""

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]



@dataclasses.dataclass(frozen=True)
class Loss:
    """What a stream lost.  Every count is 0 for a clean recording.

    ``checksum_failures``: frames dropped for a failed checksum, by kind
    (``"eeg"`` standard, ``"raw"`` raw-sample, ``"rr"`` heart-rate-
    variability); ``bytes_skipped``: bytes thrown away while hunting for a
    frame; ``extended_dropped``: extended frames that ran past the decoder's
    1024-byte buffer; ``extended_abandoned``: extended frames cut off by a
    heart-rate-variability header; ``frames_cut_short``: a frame left
    unfinished at the end of the input; ``raw_missing``: raw samples the
    clock inferred as lost (those of link gaps included), an estimate of
    which ``raw_missing_min`` are certain (raw frames that failed their
    checksum, the samples of link gaps); ``link_gaps``: times the link to
    the headset went away and came back (:meth:`Decoder.link_gap`);
    ``irregular_intervals``: stretches between two standard frames that held
    fewer raw samples than a second's and showed no damage: the headset
    restarted its cadence (as it does when contact is made), or the bytes
    were cut cleanly at frame boundaries.  The bytes cannot tell the two
    apart, so no loss is inferred there; ``irregular_shortfall`` is what
    they fell short of whole seconds, in raw samples: the samples cut, if
    they were cuts."""

    checksum_failures: Mapping[str, int]
    bytes_skipped: int = 0
    extended_dropped: int = 0
    extended_abandoned: int = 0
    frames_cut_short: int = 0
    raw_missing: int = 0
    link_gaps: int = 0
    raw_missing_min: int = 0
    irregular_intervals: int = 0
    irregular_shortfall: int = 0

    @classmethod
    def _from_counters(cls, c: Mapping[str, int]) -> Loss:
        return cls({"eeg": c["standard_checksum_failures"], "raw": c["raw_checksum_failures"],
                    "rr": c["hrv_checksum_failures"]},
                   c["bytes_skipped"], c["extended_dropped"], c["extended_abandoned"], c["frames_cut_short"],
                   c["raw_missing"], c["link_gaps"], c["raw_missing_min"], c["irregular_intervals"],
                   c["irregular_shortfall"])

    def as_dict(self) -> dict[str, Any]:
        """Plain values, for JSON and file metadata."""
        values = dataclasses.asdict(self)
        values["checksum_failures"] = dict(self.checksum_failures)
        return values

    def _combine(self, other: Loss, sign: int) -> Loss:
        counts = {f.name: getattr(self, f.name) + sign * getattr(other, f.name)
                  for f in dataclasses.fields(self) if f.name != "checksum_failures"}
        failures = {k: v + sign * other.checksum_failures.get(k, 0) for k, v in self.checksum_failures.items()}
        return Loss(failures, **counts)

    def __sub__(self, other: Loss) -> Loss:
        return self._combine(other, -1)

    def __add__(self, other: Loss) -> Loss:
        return self._combine(other, 1)

    def __bool__(self) -> bool:
        """Whether anything at all was lost."""
        return bool(sum(self.checksum_failures.values()) or self.bytes_skipped or self.extended_dropped
                    or self.extended_abandoned or self.frames_cut_short or self.raw_missing or self.link_gaps)

    def summary(self) -> str:
        """One line for people."""
        irregular = ""
        if self.irregular_intervals:
            n = self.irregular_intervals
            irregular = (f"{n} irregular interval{'' if n == 1 else 's'} between standard frames,"
                         f" {self.irregular_shortfall} samples short of whole seconds"
                         f" ({'a cadence restart' if n == 1 else 'cadence restarts'}, or samples cut cleanly:"
                         " the bytes cannot tell)")
        if not self:
            return "nothing lost" + (f"; {irregular}" if irregular else "")
        parts = []
        failed = ", ".join(f"{n} {kind}" for kind, n in self.checksum_failures.items() if n)
        if failed:
            parts.append(f"checksum failures: {failed}")
        if self.raw_missing:
            line = f"{self.raw_missing} raw samples missing ({self.raw_missing / SAMPLES_PER_SECOND:.2f} s)"
            if self.raw_missing_min < self.raw_missing:
                line += f", inferred: at least {self.raw_missing_min}"
            parts.append(line)
        if self.bytes_skipped:
            parts.append(f"{self.bytes_skipped} bytes skipped")
        if self.extended_dropped:
            parts.append(f"{self.extended_dropped} extended frames dropped (too long)")
        if self.extended_abandoned:
            parts.append(f"{self.extended_abandoned} extended frames cut off")
        if self.frames_cut_short:
            parts.append("the last frame was cut short")
        if self.link_gaps:
            parts.append(f"the link went away {self.link_gaps} time{'' if self.link_gaps == 1 else 's'}")
        if irregular:
            parts.append(irregular)
        return "lost: " + "; ".join(parts)

    def __str__(self) -> str:
        return self.summary()


_NO_LOSS = Loss({"eeg": 0, "raw": 0, "rr": 0})


class HostClock:
    """Positions on the headset clock (raw samples) to seconds on the host's
    clock: straight lines through the stamps of the reads (the fitted
    headset clock, ``clock_fit``), continued at the fitted rate beyond the
    first and the last."""

    def __init__(self, positions: np.ndarray[Any, Any], stamps: np.ndarray[Any, Any], rate: float) -> None:
        if len(positions) == 0 or len(positions) != len(stamps):
            raise ValueError("a host clock needs one stamp per position, and at least one")
        self._positions = positions
        self._stamps = stamps
        self._rate = rate

    def __call__(self, positions: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        p = np.asarray(positions, np.float64)
        out: np.ndarray[Any, Any] = np.interp(p, self._positions, self._stamps)
        before = p < self._positions[0]
        out[before] = self._stamps[0] + (p[before] - self._positions[0]) / self._rate
        after = p > self._positions[-1]
        out[after] = self._stamps[-1] + (p[after] - self._positions[-1]) / self._rate
        return out


class Recording:
    """A decoded recording (or a part of one), as :func:`read` and
    :class:`Decoder` make it; the module's docstring describes the clock,
    the temperature and the ``damaged`` flag.

    Attributes
    ----------
    raw : numpy.ndarray
        Every raw EEG sample (int16 counts), in stream order.
    eeg, extend, gyro, rr : numpy.ndarray
        Structured arrays (``DTYPES``), one row per frame: ``sample`` (raw
        samples decoded before it), ``time`` (seconds), then the record's
        fields; ``extend`` and ``gyro`` add ``damaged``.
    loss : Loss
        What the stream lost.
    duration : float
        Seconds on the loss-aware clock."""

    def __init__(self, raw: np.ndarray[Any, Any], raw_time: np.ndarray[Any, Any] | bytes,
                 rows: Mapping[str, np.ndarray[Any, Any]], loss: Loss, duration: float,
                 sha256: str | None = None, first_sample: int = 0) -> None:
        self.raw = raw
        # The times, or the decoder's clock to compute them from when they
        # are first asked for (a float64 per sample is four times the
        # samples' own size).
        self._raw_time: np.ndarray[Any, Any] | None = None
        self._clock: bytes | None = None
        if isinstance(raw_time, bytes):
            self._clock = raw_time
        else:
            self._raw_time = raw_time
        self.eeg = rows["eeg"]
        self.extend = rows["extend"]
        self.gyro = rows["gyro"]
        self.rr = rows["rr"]
        self.loss = loss
        self.duration = duration
        self.first_sample = first_sample
        """Raw samples of the stream before this part's first (0 for a whole
        recording): the ``sample`` numbers of the rows count from the same
        start."""
        self.source_sha256 = sha256
        """The sha256 of the bytes decoded, taken as they were decoded (None
        when they are not known, as for a part of a live stream)."""
        self.host_clock: HostClock | None = None
        """The headset clock on the host's, when the recording's arrival
        times are known (a capture with its timing file): ``host_time()``."""
        self.start_time: datetime.datetime | None = None
        """The wall-clock time (UTC) of the clock's zero, when known."""
        self.markers: np.ndarray[Any, Any] = np.empty(0, MARKER_DTYPE)
        """Event markers recorded with the session (``MARKER_DTYPE``, in
        time order): those of an XDF file's marker streams (``read`` of a
        ``quillmore record`` session); empty for a recording of the
        headset's bytes alone."""

    def host_time(self, kind: str = "raw") -> np.ndarray[Any, Any] | None:
        """Seconds on the host's clock (LSL's ``local_clock()``, as the
        capture's timing file says) of each raw sample (``"raw"``) or row of
        ``kind``; None without a timing file."""
        if self.host_clock is None:
            return None
        # The host clock dates positions on the headset clock: when the
        # stream reached them.  A raw sample is complete at the position
        # after its own; a row at the position of the raw sample after it.
        if kind == "raw":
            return self.host_clock(self.raw_time * SAMPLES_PER_SECOND + 1)
        return self.host_clock(self.rows(kind)["time"] * SAMPLES_PER_SECOND)

    @property
    def raw_time(self) -> np.ndarray[Any, Any]:
        """Seconds of each raw sample on the loss-aware clock (float64)."""
        if self._raw_time is None:
            assert self._clock is not None
            self._raw_time = np.frombuffer(_recording.raw_times(self._clock, len(self.raw)), np.float64)
            self._clock = None
        return self._raw_time

    def rows(self, kind: str) -> np.ndarray[Any, Any]:
        """The structured array of ``kind`` (eeg, extend, gyro or rr)."""
        if kind not in ROW_KINDS:
            raise ValueError(f"unknown kind {kind!r}; choose from {', '.join(ROW_KINDS)}")
        array: np.ndarray[Any, Any] = getattr(self, kind)
        return array

    def counts(self) -> dict[str, int]:
        """Rows of each kind, in the order eeg, extend, raw, gyro, rr."""
        return {"eeg": len(self.eeg), "extend": len(self.extend), "raw": len(self.raw), "gyro": len(self.gyro),
                "rr": len(self.rr)}

    def __repr__(self) -> str:
        counts = ", ".join(f"{n} {kind}" for kind, n in self.counts().items())
        return f"<Recording {self.duration:.1f} s: {counts}; {self.loss.summary()}>"

    # ------------------------------------------------------------ exports

    def to_pandas(self, kind: str | None = None) -> pandas.DataFrame | dict[str, pandas.DataFrame]:
        """A DataFrame of ``kind`` (``"raw"``, a row kind, or ``"markers"``:
        the event markers' ``label`` and ``stream``) with ``time`` as its
        index, or a dict of all six.  Needs pandas."""
        from .table_exports import to_pandas
        return to_pandas(self, kind)

    def save_npz(self, path: str | os.PathLike[str]) -> None:
        """The arrays, and the loss as JSON, into one ``.npz`` file."""
        from .table_exports import save_npz
        save_npz(self, path)

    def to_parquet(self, folder: str | os.PathLike[str]) -> list[str]:
        """One Parquet file per kind in ``folder``, with the loss counts and
        the source's sha256 in each file's metadata.  Needs pyarrow."""
        from .table_exports import to_parquet
        return to_parquet(self, folder)

    def to_mne(self, volts_per_count: float = VOLTS_PER_COUNT) -> Any:
        """An ``mne.io.RawArray`` at 512 Hz: the raw EEG as channel ``EEG``
        in volts, attention, meditation and signal as ``misc`` channels,
        lost stretches as ``BAD_lost`` annotations, the event markers as
        annotations described by their labels.  Needs mne.

        Parameters
        ----------
        volts_per_count
            Volts of one raw count, the headset's calibration (default
            ``VOLTS_PER_COUNT``: a 12-bit converter over 1.8 V behind a
            gain of 2000)."""
        from .signal_exports import to_mne
        return to_mne(self, volts_per_count)

    def to_edf(self, path: str | os.PathLike[str], volts_per_count: float = VOLTS_PER_COUNT) -> None:
        """An EDF+ file with the channels and annotations of to_mne(); the
        raw counts are its 16-bit digital values, ``volts_per_count`` sets
        their physical range (as for to_mne()).  Needs edfio."""
        from .signal_exports import to_edf
        to_edf(self, path, volts_per_count)

    def to_bids(self, root: str | os.PathLike[str], *, subject: str, task: str, session: str | None = None,
                run: int | str | None = None, line_freq: float | None = None, format: str = "EDF",
                volts_per_count: float = VOLTS_PER_COUNT) -> Any:
        """Writes the recording as one run of the BIDS dataset at ``root``
        (created if needed) and returns its ``mne_bids.BIDSPath``: the data
        file in ``format`` (``"EDF"`` or ``"BrainVision"``) with the channels
        of to_mne(), the lost stretches and the markers in events.tsv, the
        loss counts and the decoder's version in the EEG sidecar JSON.
        ``line_freq``, the power-line frequency (50 or 60 Hz), is required.
        Files already there are never written over.  Needs mne-bids (and
        edfio, or pybv for BrainVision); see ``quillmore.bids_export``."""
        from .bids_export import to_bids
        return to_bids(self, root, subject=subject, task=task, session=session, run=run, line_freq=line_freq,
                       format=format, volts_per_count=volts_per_count)


def _empty_rows() -> dict[str, np.ndarray[Any, Any]]:
    return {kind: np.empty(0, DTYPES[kind]) for kind in ROW_KINDS}


def concatenate(parts: Iterable[Recording]) -> Recording:
    """The parts of one stream, in order, as one Recording (losses and
    durations added up)."""
    parts = list(parts)
    if not parts:
        return Recording(np.empty(0, np.int16), np.empty(0, np.float64), _empty_rows(), _NO_LOSS, 0.0)
    rows = {}
    for kind in ROW_KINDS:
        # Into an array of the kind's own dtype: NumPy would otherwise pack
        # the fields into a layout of its own.
        pieces = [p.rows(kind) for p in parts]
        rows[kind] = np.concatenate(pieces, out=np.empty(sum(map(len, pieces)), DTYPES[kind]))
    loss = _NO_LOSS
    for p in parts:
        loss = loss + p.loss
    return Recording(np.concatenate([p.raw for p in parts]), np.concatenate([p.raw_time for p in parts]), rows,
                     loss, sum(p.duration for p in parts), first_sample=parts[0].first_sample)


# Seconds a hold may last when a whole recording is read: it is all in
# memory anyway, and a minute covers any run of lost standard frames a
# link that still delivers data produces.
FILE_HOLD = 64.0

# Chunks at least this long are hashed on a thread of their own while they
# are decoded.
_HASH_BESIDE = 1 << 18


class Decoder:
    """Decodes a stream chunk by chunk.  ``feed(chunk)`` returns a Recording
    of what became final in the chunk (its ``loss`` and ``duration``: what
    the chunk added); ``finish()`` ends the stream and returns the rest.
    ``loss``, ``bytes_fed`` and ``sha256`` describe what was fed so far.

    One call at a time: ``feed`` and ``finish`` each decode, hash and build
    their part as one step, and a call made while another is in progress
    (from another thread, or from code that the first runs) raises
    RuntimeError without touching the decoder.  The properties read the
    state after the last completed call.  A Decoder cannot be copied or
    pickled: make a new one.

    ``max_hold``: rows decoded after a damage wait for the next standard
    frame to learn their place on the clock, for at most this many seconds
    of samples; then they stay on the clock of the frame before.  Short for
    a live host (the default, 4 s), longer for a file (``read`` allows
    ``FILE_HOLD``)."""

    def __init__(self, max_hold: float = 4.0) -> None:
        if not 0.0 <= max_hold <= 86400.0:
            raise ValueError(f"max_hold must be 0 to 86400 seconds, not {max_hold!r}")
        self._decoder = _recording.Decoder(max_hold=round(max_hold * SAMPLES_PER_SECOND))
        self._lock = threading.Lock()
        self._loss = _NO_LOSS
        self._released = 0
        self._position = 0
        self._raws = 0
        self._bytes = 0
        self._hash = hashlib.sha256()
        self._digest = self._hash.hexdigest()
        self._finished = False

    @property
    def loss(self) -> Loss:
        """What the stream lost so far."""
        return self._loss

    @property
    def bytes_fed(self) -> int:
        """The number of bytes fed so far."""
        return self._bytes

    @property
    def sha256(self) -> str:
        """The sha256 of every byte fed so far."""
        return self._digest

    @property
    def position(self) -> int:
        """Where the bytes fed so far end on the headset clock: raw samples
        decoded plus those inferred lost, as known yet (a damage still being
        weighed adds its loss when the next standard frame comes).  A host
        dates its reads by it."""
        return self._position

    def feed(self, chunk: bytes | bytearray | memoryview) -> Recording:
        """Decodes ``chunk`` and returns what became final in it."""
        with self._open():
            return self._part(self._take(chunk, self._decoder.feed))

    def finish(self) -> Recording:
        """The input has ended: counts a frame left unfinished and returns
        what was held back.  Further feeding is an error."""
        with self._owned():
            if self._finished:
                raise ValueError("this Decoder has finished already")
            self._finished = True
            return self._part(self._decoder.finish())

    def link_gap(self, seconds: float) -> None:
        """The link to the headset was down for ``seconds`` between the
        bytes fed so far and the next (a port that went away and came back).
        The clock counts the gap's time, so the samples lost in it show in
        ``loss.raw_missing`` and the times after it stay right."""
        with self._open():
            self._decoder.link_gap(seconds)

    def _keep(self, chunk: Any) -> None:
        """Decodes ``chunk`` and keeps its rows for the next feed() or
        finish(), for a whole recording read in pieces."""
        with self._open():
            self._take(chunk, self._decoder.keep)

    @contextlib.contextmanager
    def _open(self) -> Iterator[None]:
        """Owned, and still taking input."""
        with self._owned():
            if self._finished:
                raise ValueError("this Decoder has finished; make a new one for another stream")
            yield

    @contextlib.contextmanager
    def _owned(self) -> Iterator[None]:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError("this Decoder is in use by another thread")
        try:
            yield
        finally:
            self._lock.release()

    def _take(self, chunk: Any, decode: Callable[[Any], Any]) -> Any:
        # One view of the chunk for the decoder and the hash, so both see
        # the same bytes whatever the object's buffer does between requests.
        with memoryview(chunk) as view:
            if not view.c_contiguous:
                raise BufferError("the chunk must be contiguous")
            with view.cast("B") as data:
                if len(data) < _HASH_BESIDE:
                    result = decode(data)
                    self._hash.update(data)
                else:
                    # Hashing takes several times as long as decoding, and
                    # both let go of the interpreter: side by side.
                    hasher = threading.Thread(target=self._hash.update, args=(data,), name="quillmore-sha256")
                    hasher.start()
                    try:
                        result = decode(data)
                    finally:
                        hasher.join()
                self._bytes += len(data)
        self._digest = self._hash.hexdigest()
        self._position = self._decoder.position
        return result

    def __copy__(self) -> Decoder:
        raise TypeError("a Decoder cannot be copied; make a new one")

    def __deepcopy__(self, memo: Any) -> Decoder:
        raise TypeError("a Decoder cannot be copied; make a new one")

    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError("a Decoder cannot be pickled; make a new one")

    def _part(self, arrays: tuple[Any, ...]) -> Recording:
        raw, clock, eeg, extend, gyro, rr = arrays
        rows = {"eeg": np.frombuffer(eeg, DTYPES["eeg"]), "extend": np.frombuffer(extend, DTYPES["extend"]),
                "gyro": np.frombuffer(gyro, DTYPES["gyro"]), "rr": np.frombuffer(rr, DTYPES["rr"])}
        loss = Loss._from_counters(self._decoder.loss())
        released = self._decoder.released
        samples = np.frombuffer(raw, np.int16)
        part = Recording(samples, clock, rows, loss - self._loss, (released - self._released) / SAMPLES_PER_SECOND,
                         first_sample=self._raws)
        self._loss = loss
        self._released = released
        self._raws += len(samples)
        return part


# ---------------------------------------------------------------- read

# Files and file objects are read in pieces of this size: the decoder keeps
# the rows of every piece in one block, so a whole recording costs one copy
# of a piece more than its arrays.
_READ_CHUNK = 1 << 22


def file_sha256(path: str) -> str | None:
    """The sha256 of a regular file's bytes, or None when it cannot be read."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            while block := stream.read(1 << 20):
                digest.update(block)
    except OSError:
        return None
    return digest.hexdigest()


def _whole(decoder: Decoder) -> Recording:
    whole = decoder.finish()   # everything kept, as one part
    whole.source_sha256 = decoder.sha256
    return whole


def _read_timed(decoder: Decoder, path: str, timing: str) -> Recording:
    """A capture with its timing file: decoded read by read, reconnects
    sized as they were live, and the headset clock fitted to the arrivals."""
    reads, first = capture_timing.feed(decoder, path, capture_timing.load(timing))
    rec = _whole(decoder)
    if reads and first is not None:
        # Stamped as the live session stamped its parts, read by read.
        clock = PartClock()
        positions: list[float] = []
        stamps: list[float] = []
        for position, released, arrival in reads:
            clock.arrived(position, arrival)
            if released > (positions[-1] if positions else 0):
                positions.append(released)
                stamps.append(clock.stamp(released))
        if not positions:   # nothing released before the end
            positions.append(reads[-1][1])
            stamps.append(clock.stamp(reads[-1][1]))
        rec.host_clock = HostClock(np.array(positions, np.float64), np.array(stamps), clock.rate)
        zero = float(rec.host_clock(np.zeros(1))[0])
        rec.start_time = first.utc + datetime.timedelta(seconds=zero - first.host)
    return rec


def _read_file(decoder: Decoder, stream: io.BufferedReader, name: str) -> Recording:
    """A regular file, read to its end in pieces.  Nothing is mapped into
    memory: a file that another program shortens while it is read (a
    logger restarting its capture) ends early with a warning instead of a
    bus error, and the hash is of the bytes decoded."""
    expected = os.fstat(stream.fileno()).st_size
    buffer = bytearray(_READ_CHUNK)
    with memoryview(buffer) as whole_buffer:
        while n := stream.readinto(whole_buffer):
            with whole_buffer[:n] as piece:
                decoder._keep(piece)
    if decoder.bytes_fed < expected:
        warnings.warn(f"{name} shrank while it was read: decoded {decoder.bytes_fed:,} of the {expected:,} bytes "
                      f"it held when it was opened", RuntimeWarning, stacklevel=3)
    return _whole(decoder)


def read(source: Source, allow_empty: bool = False) -> Recording:
    """Decodes a whole recording into arrays.

    A path with a timing file beside it (a live capture's,
    ``capture_timing``) is decoded read by read, its reconnects sized as
    they were live, and dated on the host's clock (``host_time()``,
    ``start_time``).  A path to an XDF file (``quillmore record``; needs pyxdf) gives the
    headset's session in it (``quillmore.xdf_read``): the raw counts as the
    byte capture holds them, times on the headset clock from the file's
    first raw sample, ``host_time()`` on the recorder's synchronised clock
    (LSL's ``local_clock()`` of the recording machine), ``start_time`` in
    UTC, the loss counted by the loss stream, and the other streams' event
    markers in ``markers``.

    Parameters
    ----------
    source
        A path (str or os.PathLike), a bytes-like object, or a binary file
        object (read to its end: until its ``read`` returns an empty
        bytes-like object).
    allow_empty
        Return an empty recording for input in which not one frame was
        found, instead of raising.

    Returns
    -------
    Recording
        The whole recording, with ``source_sha256`` the hash of the bytes
        decoded.

    Raises
    ------
    NotARecording
        (a ``ValueError``) for input in which not one frame was found,
        unless ``allow_empty``.
    TypeError
        for a source of another type, or a file object that is not binary
        or returns None (no data available yet)."""
    rec, size = _read(source)
    if not allow_empty and not any(rec.counts().values()) and not any(rec.loss.checksum_failures.values()):
        raise no_frames(_name(source), size)
    return rec


def _name(source: Source) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else f"the {type(source).__name__} given"


def _read(source: Source) -> tuple[Recording, int]:
    """The recording, and the bytes it was decoded from."""
    decoder = Decoder(FILE_HOLD)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        from . import xdf_read
        if xdf_read.is_xdf(path):   # a session recorded to XDF (quillmore record)
            return xdf_read.read_xdf(path), os.path.getsize(path)
        timing = capture_timing.find(path)
        if timing is not None:
            return _read_timed(decoder, path, timing), decoder.bytes_fed
        with open(path, "rb") as stream:
            if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):   # a pipe or a device: read it to its end
                return _read(stream)
            return _read_file(decoder, stream, path), decoder.bytes_fed
    if isinstance(source, (bytes, bytearray, memoryview)):
        decoder._keep(source)
        return _whole(decoder), decoder.bytes_fed
    read_method = getattr(source, "read", None)
    if read_method is None:
        raise TypeError(f"read() takes a path, a bytes-like object or a binary file object, "
                        f"not {type(source).__name__}")
    while True:
        chunk = read_method(_READ_CHUNK)
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            if chunk is None:
                raise TypeError("read() needs a blocking binary file object; this one returned None "
                                "(no data available yet)")
            raise TypeError(f"read() needs a binary file object; this one returned {type(chunk).__name__}")
        if not len(chunk):
            break
        decoder._keep(chunk)
    return _whole(decoder), decoder.bytes_fed
