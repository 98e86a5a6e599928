"""Publishing the headset's results on the Lab Streaming Layer (LSL).

One outlet per kind of result, each with the metadata that recorders and
viewers read (``desc/channels``: label, unit and type per channel;
``desc/acquisition``: the device and the software):

=========  ===============  ==========  =======  ======================================
kind       stream name      type        rate     channels (format)
=========  ===============  ==========  =======  ======================================
raw        NAME raw EEG     EEG         512 Hz   EEG in microvolts (float32), or with
                                                 ``raw_units="counts"`` the headset's
                                                 counts (int16)
eeg        NAME band power  EEGPower    1 Hz     signal, attention, meditation, the
                                                 eight band powers (int32)
extend     NAME device      Device      irreg.   ap, battery, version, gnaw,
                                                 temperature (NaN when not measured),
                                                 heart (double64)
gyro       NAME gyroscope   Orientation irreg.   x, y, z (int32)
rr         NAME RR          RR          irreg.   rr1, rr2, rr3 in ms (int32)
loss       NAME loss        Loss        irreg.   what each part of the stream lost, a
                                                 sample only when it lost anything
                                                 (``LOSS_CHANNELS``, int32 counts)
=========  ===============  ==========  =======  ======================================

Raw samples go out in microvolts, counts x ``volts_per_count`` x 10^6, as
MNE-LSL and other clients expect of an EEG stream (and as ``to_mne()`` and
``to_edf()`` give them offline); the factor is in the stream's metadata
(``desc/acquisition/volts_per_count``), with the UTC time at which the
host's ``local_clock()`` read 0 (``desc/acquisition/local_clock_zero_utc``,
ISO 8601: a recording's start in UTC), and float32 holds every count's
value closely enough that ``round(value / (factor * 1e6))`` gives the
counts back exactly.  ``raw_units="counts"`` sends the integer counts
instead (int16, unit "counts").

Time stamps are LSL's ``local_clock()`` when a chunk arrived from the port,
taken as the time of the chunk's last raw sample; the samples before it are
dated back at 512 a second, and every other result by the raw samples that
followed it in the chunk, so nothing bunches at the arrival time.  Stamps
never go backwards: a chunk that arrives sooner than its samples could have
been sent is dated after the previous one.  The stamps therefore lag the
headset by the serial link's latency and by up to one read (the port is
read as soon as a byte is there, so a read holds a few milliseconds of
data); LSL's clock synchronisation between machines works on top of that.

The loss stream makes loss visible to a recorder: a sample whenever a part
of the stream lost anything (or showed an irregular interval), stamped with
the part's last raw sample, its channels the counts of
:class:`quillmore.Loss` that the part added (``raw_missing``,
``checksum_failures_raw`` ...); the sum of a stretch's samples is what that
stretch lost.

What a subscriber must do.  Each outlet keeps ``BUFFER_SECONDS`` (360 s)
of its stream for each subscriber, and an inlet holds at most its
``max_buflen`` (pylsl's default is the same 360 s); when a subscriber falls
further behind, the oldest samples are dropped on its side, where the
publisher cannot see it.  A port, or a recording at the headset's pace,
makes one second of data a second.  A recording sent with ``--fast`` goes
out at ``FAST_SPEED`` (60) times that pace, no faster, so a subscriber that
takes everything it holds at least every ``PULL_WITHIN`` (5) seconds with
the default ``max_buflen`` never loses a sample (pylsl's ``pull_chunk``
returns at most ``max_samples`` a call: call it until it returns nothing);
a shorter ``max_buflen`` needs pulls that much more often.

``source_id`` is ``quillmore:ORIGIN:KIND``, where ORIGIN is the port's
device path, ``file:`` and a recording's absolute path, or ``stdin``, so a
recorder finds the same streams again after a restart; ``--source-id``
chooses ORIGIN for a headset whose port name changes.

pylsl (whose wheels carry liblsl) is an optional dependency, imported only
here.
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .recording import Loss, Recording

from .errors import QuillmoreError, missing_extra
from .constants import BANDS, EXTEND_FIELDS, FIELDS, ROW_KINDS, SAMPLES_PER_SECOND, VOLTS_PER_COUNT

DEFAULT_NAME = "EEG headset"
IRREGULAR = 0.0

BUFFER_SECONDS = 360
"""Seconds of its stream each outlet keeps for a subscriber that has not
taken them yet (``max_buffered``; for the irregular streams, hundreds of
samples, which is more than their rate fills in that time)."""
FAST_SPEED = 60
"""``--fast`` sends at most this many seconds of a recording per second."""
PULL_WITHIN = 5
"""Seconds between a subscriber's pulls that ``--fast`` never overruns with
a 360 s buffer on both sides: 300 s of data, the rest a margin for the
pieces it is sent in."""
assert FAST_SPEED * PULL_WITHIN < BUFFER_SECONDS

LOSS_CHANNELS = ("raw_missing", "raw_missing_min", "link_gaps", "checksum_failures_eeg", "checksum_failures_raw",
                 "checksum_failures_rr", "bytes_skipped", "extended_dropped", "extended_abandoned",
                 "frames_cut_short", "irregular_intervals", "irregular_shortfall")
"""The channels of the loss stream: the counts of :class:`quillmore.Loss`
(``checksum_failures_KIND`` for its ``checksum_failures``)."""


@dataclasses.dataclass(frozen=True)
class Channel:
    label: str
    unit: str
    type: str


@dataclasses.dataclass(frozen=True)
class StreamKind:
    kind: str           # our name of the result kind
    title: str          # stream name after the device's name
    type: str           # LSL content type
    rate: float         # nominal rate, IRREGULAR for event-like streams
    format: str         # LSL channel format
    channels: tuple[Channel, ...]


def _channels(names: Sequence[str], unit: str, kind: str) -> tuple[Channel, ...]:
    return tuple(Channel(name, unit, kind) for name in names)


_EXTEND_UNITS = {"ap": "level", "battery": "level", "version": "version", "gnaw": "level",
                 "temperature": "degrees Celsius", "heart": "beats per minute"}

RAW_UNITS = ("microvolts", "counts")
RAW_STREAMS = {
    "microvolts": StreamKind("raw", "raw EEG", "EEG", float(SAMPLES_PER_SECOND), "float32",
                             (Channel("EEG", "microvolts", "EEG"),)),
    "counts": StreamKind("raw", "raw EEG", "EEG", float(SAMPLES_PER_SECOND), "int16", (Channel("EEG", "counts", "EEG"),)),
}

LOSS_STREAM = StreamKind("loss", "loss", "Loss", IRREGULAR, "int32",
                         tuple(Channel(name, "count", "Loss") for name in LOSS_CHANNELS))

STREAMS: tuple[StreamKind, ...] = (
    RAW_STREAMS["microvolts"],
    StreamKind("eeg", "band power", "EEGPower", 1.0, "int32",
               (Channel("signal", "level (0 = good contact)", "ContactQuality"),
                Channel("attention", "level (0-100)", "Attention"),
                Channel("meditation", "level (0-100)", "Meditation"))
               + _channels(BANDS, "device units", "BandPower")),
    StreamKind("extend", "device", "Device", IRREGULAR, "double64",
               tuple(Channel(name, _EXTEND_UNITS[name], "Device") for name in EXTEND_FIELDS)),
    StreamKind("gyro", "gyroscope", "Orientation", IRREGULAR, "int32", _channels(("x", "y", "z"), "angle", "Orientation")),
    StreamKind("rr", "RR", "RR", IRREGULAR, "int32", _channels(("rr1", "rr2", "rr3"), "ms", "RRInterval")),
)

_CONFIG_PLACES = ("lsl_api.cfg", "~/lsl_api/lsl_api.cfg", "/etc/lsl_api/lsl_api.cfg")


def require_pylsl() -> ModuleType:
    try:
        import pylsl  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise missing_extra("streaming to the Lab Streaming Layer", "pylsl", "lsl") from None
    except (OSError, RuntimeError) as error:   # the wheel's liblsl failed to load
        raise QuillmoreError(f"cannot load the Lab Streaming Layer library: {error}") from None
    # liblsl logs every connection at INFO level on standard error; keep it
    # to errors, unless the lab has a configuration of its own (network
    # settings live there too, and must not be replaced).
    if "LSLAPICFG" not in os.environ and not any(Path(place).expanduser().exists() for place in _CONFIG_PLACES):
        try:
            pylsl.set_config_content("[log]\nlevel = -2\n")
        except Exception:   # an old liblsl without the call: its logging stays
            pass
    return pylsl  # type: ignore[no-any-return]


def resolve(pylsl: ModuleType, query: str, timeout: float) -> Any:
    """The info of the first stream whose properties match ``query``,
    ``KEY=VALUE[,KEY=VALUE...]`` (``type=EEG``, ``name=EEG headset raw EEG``)."""
    terms = []
    for term in query.split(","):
        key, equals, value = term.partition("=")
        key, value = key.strip(), value.strip()
        if not equals or not key.isidentifier() or not value or "'" in value:
            raise QuillmoreError(f"--lsl wants KEY=VALUE[,KEY=VALUE...] such as type=EEG, not {query!r}", status=2)
        terms.append(f"{key}='{value}'")
    found = pylsl.resolve_bypred(" and ".join(terms), 1, timeout)
    if not found:
        raise QuillmoreError(f"no LSL stream with {query} found within {timeout:g} s")
    return found[0]


_MICROVOLTS = {"microvolts": 1.0, "microvolt": 1.0, "uv": 1.0, "µv": 1.0, "μv": 1.0, "-6": 1.0,
               "millivolts": 1e3, "mv": 1e3, "-3": 1e3, "volts": 1e6, "volt": 1e6, "v": 1e6, "0": 1e6}


def microvolts_per_unit(info: Any, volts_per_count: float) -> tuple[float, str | None]:
    """What one unit of the stream's first channel is in microvolts, and the
    unit as it names it (None when it names none: taken as microvolts)."""
    channel = info.desc().child("channels").child("channel")
    unit = channel.child_value("unit").strip() if not channel.empty() else ""
    if not unit:
        return 1.0, None
    if unit.lower() == "counts":
        return volts_per_count * 1e6, unit
    return _MICROVOLTS.get(unit.lower(), 1.0), unit


def source_id(origin: str, kind: str) -> str:
    return f"quillmore:{origin}:{kind}"


def loss_counts(loss: Loss) -> list[int]:
    """The loss stream's sample for ``loss`` (``LOSS_CHANNELS``)."""
    values = loss.as_dict()
    failures = values.pop("checksum_failures")
    values.update({f"checksum_failures_{kind}": count for kind, count in failures.items()})
    return [int(values[name]) for name in LOSS_CHANNELS]


def local_clock_zero_utc(pylsl: ModuleType) -> str:
    """The UTC time (ISO 8601) at which LSL's ``local_clock()`` read 0 on
    this host: a ``local_clock()`` time plus this is the wall-clock time."""
    import datetime

    before = pylsl.local_clock()
    now = datetime.datetime.now(datetime.timezone.utc)
    after = pylsl.local_clock()
    return (now - datetime.timedelta(seconds=(before + after) / 2)).isoformat()


class Outlets:
    """The five outlets of one headset and its loss stream; the raw EEG in
    ``raw_units`` (microvolts by ``volts_per_count``, or the counts)."""

    def __init__(self, name: str, origin: str, described_source: str, software: str,
                 raw_units: str = "microvolts", volts_per_count: float = VOLTS_PER_COUNT) -> None:
        if raw_units not in RAW_UNITS:
            raise ValueError(f"raw_units must be one of {', '.join(RAW_UNITS)}, not {raw_units!r}")
        if not (math.isfinite(volts_per_count) and volts_per_count > 0):
            raise ValueError(f"volts_per_count must be a positive number, not {volts_per_count!r}")
        self.pylsl = require_pylsl()
        self._microvolts = volts_per_count * 1e6 if raw_units == "microvolts" else None
        self._volts_per_count = volts_per_count
        self._outlets: dict[str, Any] = {}
        for stream in (*STREAMS, LOSS_STREAM):
            if stream.kind == "raw":
                stream = RAW_STREAMS[raw_units]
            self._outlets[stream.kind] = self._outlet(stream, name, origin, described_source, software)

    def _outlet(self, stream: StreamKind, name: str, origin: str, described_source: str, software: str) -> Any:
        pylsl = self.pylsl
        full_name = f"{name} {stream.title}"
        try:
            info = pylsl.StreamInfo(full_name, stream.type, len(stream.channels), stream.rate, stream.format,
                                    source_id(origin, stream.kind))
            desc = info.desc()
            channels = desc.append_child("channels")
            for channel in stream.channels:
                node = channels.append_child("channel")
                node.append_child_value("label", channel.label)
                node.append_child_value("unit", channel.unit)
                node.append_child_value("type", channel.type)
            acquisition = desc.append_child("acquisition")
            acquisition.append_child_value("model", name)
            acquisition.append_child_value("source", described_source)
            acquisition.append_child_value("software", software)
            if stream.kind == "raw":
                acquisition.append_child_value("volts_per_count", repr(self._volts_per_count))
                acquisition.append_child_value("local_clock_zero_utc", local_clock_zero_utc(pylsl))
            return pylsl.StreamOutlet(info, chunk_size=0, max_buffered=BUFFER_SECONDS)
        except Exception as error:   # liblsl reports failures as RuntimeError and the like
            raise QuillmoreError(f"cannot create the LSL outlet {full_name!r}: {error}") from None

    def push(self, part: Recording, last: float) -> None:
        """Sends a part of the recording, its last raw sample stamped
        ``last``.  Raw samples go out as one chunk (LSL dates the others
        back at 512 Hz); every other row is dated back from ``last`` by the
        raw samples that follow it in the part.  The rows' values are the
        arrays': the device stream's temperature is NaN unless measured.
        What the part lost goes to the loss stream, stamped ``last``."""
        import numpy as np

        raws = len(part.raw)
        if raws:
            samples = part.raw.reshape(-1, 1)
            if self._microvolts is not None:
                samples = samples.astype(np.float32) * np.float32(self._microvolts)
            self._outlets["raw"].push_chunk(samples.tolist(), last)
        for kind in ROW_KINDS:
            rows = part.rows(kind)
            if not len(rows):
                continue
            before = np.clip(rows["sample"] - part.first_sample, 0, raws)
            stamps = (last - (raws - before) / SAMPLES_PER_SECOND).tolist()
            cast = float if kind == "extend" else int
            columns = [rows[name].tolist() for name in FIELDS[kind]]
            outlet = self._outlets[kind]
            for k, stamp in enumerate(stamps):
                outlet.push_sample([cast(column[k]) for column in columns], stamp)
        lost = loss_counts(part.loss)
        if any(lost):
            self._outlets["loss"].push_sample(lost, last)

    def uids(self) -> dict[str, str]:
        """Each outlet's uid, by kind (``loss`` included): what tells these
        outlets from others with the same source_id."""
        return {kind: str(outlet.get_info().uid()) for kind, outlet in self._outlets.items()}

    def consumers(self, every: bool = False) -> bool:
        """Whether each outlet of the headset's results has a subscriber
        (with ``every``, the loss stream's too)."""
        return all(outlet.have_consumers() for kind, outlet in self._outlets.items() if every or kind != "loss")

    def close(self) -> None:
        self._outlets.clear()


assert {stream.kind for stream in STREAMS} == set(FIELDS)
assert all(len(stream.channels) == len(FIELDS[stream.kind]) for stream in STREAMS)
