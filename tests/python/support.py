"""Shared helpers: the case documents of tests/cases, a logging listener and
frame builders for the headset stream."""
import dataclasses
import pathlib
import sys

from hypothesis import strategies as st

import QuillmoreParser as module
from QuillmoreParser import QuillmoreData, QuillmoreExtendData, QuillmoreParser

CASES_DIR = pathlib.Path(__file__).resolve().parents[1] / "cases"

STATE = "_QuillmoreParser__state"
OFFSET = "_QuillmoreParser__byteOffset"
PAYLOAD = "_QuillmoreParser__payload"
CALLBACK_KEYWORDS = ("eeg_callback", "extend_eeg_callback", "gyro_callback", "rr_callback", "raw_callback")
DATA_FIELDS = ("signal", "attention", "meditation", "delta", "theta", "lowAlpha", "highAlpha",
               "lowBeta", "highBeta", "lowGamma", "highGamma")
EXTEND_FIELDS = ("ap", "battery", "version", "gnaw", "temperature", "heart")


# ---------------------------------------------------------------- documents

@dataclasses.dataclass
class Case:
    file: str
    title: str
    line: int
    data: bytes
    expected: list
    # Directives: the state and offset a host assigned before the input,
    # the bytes it put into the buffer ((index, bytes) pairs), the kind of
    # callback whose first delivery fails and the kind whose first delivery
    # pauses the parser.
    setup: dict = dataclasses.field(default_factory=dict)
    payload: list = dataclasses.field(default_factory=list)
    fail: str = None
    pause: str = None
    # After the log: the loss line (None: not stated) and the batch rows.
    loss: str = None
    rows: list = dataclasses.field(default_factory=list)

    @property
    def plain(self):
        """No directive: the case is its input alone."""
        return not (self.setup or self.payload or self.fail or self.pause)

    @property
    def id(self):
        return f"{self.file[:-4]}: {self.title}"


def _hex_tokens(text):
    out = bytearray()
    for token in text.split():
        value, _, count = token.partition("*")
        out += bytes([int(value, 16)]) * (int(count) if count else 1)
    return bytes(out)


def load_cases():
    cases = []
    for path in sorted(CASES_DIR.glob("*.txt")):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            line = line.rstrip()
            if not line or line.startswith("# "):
                continue
            if line.startswith("## "):
                cases.append(Case(path.name, line[3:], number, b"", []))
            elif line.startswith("@ "):
                what, value, *more = line[2:].split()
                if what == "payload":
                    cases[-1].payload.append((int(value), _hex_tokens(" ".join(more))))
                elif what in ("state", "offset"):
                    assert not more, line
                    cases[-1].setup[what] = int(value)
                else:
                    assert what in ("fail", "pause") and not more, line
                    assert value in ("eeg", "extend", "gyro", "rr", "raw"), line
                    setattr(cases[-1], what, value)
            elif line.startswith("> "):
                cases[-1].data += _hex_tokens(line[2:])
            elif line == "loss" or line.startswith("loss "):
                assert cases[-1].loss is None, line
                cases[-1].loss = line
            elif line.startswith("row "):
                cases[-1].rows.append(line)
            else:
                cases[-1].expected.append(line)
    return cases


# ---------------------------------------------------------------- logging

def fmt(value):
    """A value as the documents print it: ints plain, floats as repr."""
    assert type(value) in (int, float), f"unexpected {type(value).__name__} {value!r}"
    return repr(value)


def format_record(record):
    if isinstance(record, QuillmoreExtendData):
        return "extend " + " ".join(f"{name}={fmt(getattr(record, name))}" for name in EXTEND_FIELDS)
    return "eeg " + " ".join(f"{name}={fmt(getattr(record, name))}" for name in DATA_FIELDS)


class CallbackFailure(Exception):
    """What a callback that a document makes fail raises."""


class Recorder:
    """Callbacks that append one document log line per delivery; the first
    delivery of the kind `fail` raises CallbackFailure after logging."""

    def __init__(self, fail=None):
        self.log = []
        self.records = []
        self.fail = fail

    def _logged(self, kind, line):
        self.log.append(line)
        if kind == self.fail:
            self.fail = None
            raise CallbackFailure(kind)

    def eeg(self, record):
        self.records.append(record)
        self._logged("eeg", format_record(record))

    def extend(self, record):
        self.records.append(record)
        self._logged("extend", format_record(record))

    def gyro(self, x, y, z):
        self._logged("gyro", f"gyro {fmt(x)} {fmt(y)} {fmt(z)}")

    def rr(self, a, b, c):
        self._logged("rr", f"rr {fmt(a)} {fmt(b)} {fmt(c)}")

    def raw(self, value):
        self._logged("raw", f"raw {fmt(value)}")

    def callbacks(self):
        return dict(eeg_callback=self.eeg, extend_eeg_callback=self.extend, gyro_callback=self.gyro,
                    rr_callback=self.rr, raw_callback=self.raw)

    def parser(self, cls=QuillmoreParser):
        return cls(**self.callbacks())


def state_line(parser):
    return f"state {getattr(parser, STATE)} offset {getattr(parser, OFFSET)}"


def final_log(recorder, parser):
    return recorder.log + [state_line(parser)]


# ---------------------------------------------------------------- frames

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from headset_frames import (EXTEND_BODY, SIGNAL_PAYLOAD, extended, gyro_frame, hrv_frame,  # noqa: E402,F401
                            raw_frame, standard)

SIGNAL_LOG = ("eeg signal=51 attention=60 meditation=80 delta=66051 theta=16 lowAlpha=4660 "
              "highAlpha=65536 lowBeta=0 highBeta=8323073 lowGamma=65280 highGamma=16777215")
EXTEND_LOG = "extend ap=17 battery=90 version=1.234 gnaw=3 temperature=36.5 heart=72"


def raw_log(value):
    return f"raw {value}"



# One frame of every kind back to back, and what it delivers.
MIXED = standard() + EXTEND_BODY + b"\xaa\xaa\x04" + raw_frame(0x80, 0x00)[3:] + gyro_frame(1, 200, 3) + \
    hrv_frame(800, 850, 900) + raw_frame(0x7F, 0xFF)
MIXED_LOG = [SIGNAL_LOG, EXTEND_LOG, "raw -32768", "gyro 1 -20 3", "rr 800 850 900", "raw 32767"]


def streams(max_frames=8, min_frames=0):
    """Streams of whole frames of every kind, good and bad, and noise."""
    frame = st.one_of(
        st.builds(standard, st.binary(min_size=32, max_size=32)),
        st.just(standard()), st.just(extended()),
        st.builds(raw_frame, st.integers(0, 255), st.integers(0, 255)),
        st.builds(gyro_frame, st.integers(0, 255), st.integers(0, 255), st.integers(0, 255)),
        st.builds(hrv_frame, st.integers(0, 65535), st.integers(0, 65535), st.integers(0, 65535)),
        st.binary(max_size=6))
    return st.lists(frame, min_size=min_frames, max_size=max_frames).map(b"".join)


# ---------------------------------------------------------------- isolation

def run_isolated(source, timeout=120):
    """Runs `source` in a fresh interpreter (the one running the tests, with
    this directory importable); returns (returncode, stdout + stderr).  For
    hosts that, before a fault was mended, brought the whole process down."""
    import os
    import subprocess
    import sys
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(__file__).resolve().parent),
                                         *filter(None, [env.get("PYTHONPATH")])])
    done = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout + done.stderr
