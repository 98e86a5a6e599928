"""The command-line tool's texts and argument types: the help's
descriptions and epilogs, and the checks of option values that argparse
reports as usage errors."""

from __future__ import annotations

import argparse
import math
import textwrap
from collections.abc import Callable
from typing import NamedTuple

from . import lsl
from .constants import FIELDS, KINDS
from .rows_text import WRITTEN_FIELDS

DESCRIPTION = """\
Tools for the serial stream of the EEG headset: a virtual headset, a
decoder that turns recordings or a live port into CSV or JSON Lines, and
plots.  Run 'quillmore decode --sample' to see the bundled sample recording
decoded."""

DECODE_EPILOG = f"""\
kinds of result (one row each):
  eeg     standard frame, once a second: index,time,{",".join(FIELDS["eeg"][:6])},
                                         {",".join(FIELDS["eeg"][6:])}
  extend  extended frame, once a second: index,time,{",".join(WRITTEN_FIELDS["extend"])}
  raw     raw sample, 512 a second:      index,time,raw
  gyro    gyroscope frame:               index,time,x,y,z
  rr      heart-rate-variability frame:  index,time,rr1,rr2,rr3
'index' counts the results of each kind from 0; 'time' is the stream time in
seconds on the loss-aware clock: raw samples at 512 a second, with the
samples inferred as lost counted in (see quillmore.recording).  'temperature' holds measured
values only; 'temperature_status' says 'measured', 'no_reading' (the sensor
sent none) or 'no_row' (the frame carried no temperature), and the cell is
empty (JSON null) for the last two.

input:
  With no FILE, standard input is read when it is a pipe or a file; on a
  terminal the bundled sample recording is decoded instead (and said so).

output:
  --out-dir DIR writes one file per selected kind: DIR/eeg.csv, DIR/raw.csv, ...
  (all five kinds unless --kinds says otherwise).  Without it the rows go to
  standard output in one table (all kinds but raw, unless --kinds says
  otherwise); with several kinds the first column is 'kind', and a row leaves
  the other kinds' columns empty.  A summary of the counts and of what was
  lost goes to standard error.  Files are written under temporary names and
  only renamed into place once decoding has finished, so a failed run leaves
  none behind.  DIR also gets manifest.json: the source's name, size and
  sha256, the tool's version, the files, the counts and every loss counter.
  A DIR holding the outputs of another recording is refused unless --force.

  --format parquet|npz|edf writes the whole recording once decoding has
  finished: DIR/eeg.parquet ... (the kinds selected), DIR/recording.npz or
  DIR/recording.edf (EDF+: raw EEG in microvolts, attention, meditation and
  signal, lost stretches annotated BAD_lost).  A live --port writes csv,
  jsonl or parquet; npz and edf are made from a file of its bytes afterwards
  (--save-bytes).

exit status:
  0 decoded; 1 an error, or no frame at all was found in the input (it is
  not a recording of the headset); 2 a usage error; 3 with --strict, when
  anything was lost; 130 interrupted.

examples:
  quillmore decode --sample                         the bundled sample
  quillmore decode rec.bin --out-dir rec            rec/eeg.csv ... rec/rr.csv
  quillmore decode rec.bin --kinds raw > raw.csv
  quillmore simulate --duration 5 | quillmore decode - --format jsonl
  quillmore decode --port /dev/ttyUSB0 --out-dir live   (Ctrl-C to stop)
"""

STREAM_EPILOG = f"""\
streams (NAME is --name):
  NAME raw EEG     type EEG, 512 Hz, 1 channel: microvolts (float32), or
                   with --raw-units counts the counts as decoded (int16)
  NAME band power  type EEGPower, 1 Hz: signal, attention, meditation, delta,
                   theta, lowAlpha, highAlpha, lowBeta, highBeta, lowGamma,
                   highGamma (int32)
  NAME device      type Device, irregular: ap, battery, version, gnaw,
                   temperature (NaN when not measured), heart (double64)
  NAME gyroscope   type Orientation, irregular: x, y, z (int32)
  NAME RR          type RR, irregular: rr1, rr2, rr3 in ms (int32)
source_id: quillmore:ORIGIN:KIND (KIND is raw, eeg, extend, gyro or rr), so a
recorder finds the same streams again after a restart.  Time stamps are LSL's
local_clock() at each read's arrival, the samples before it dated back at
512 Hz.  Several headsets: one 'quillmore stream' per port, each with its own
--name (the source_ids differ by port already).

subscribers:
  Each outlet keeps {lsl.BUFFER_SECONDS} s of its stream for a subscriber that has not taken
  it yet, and an inlet holds at most its max_buflen (by default {lsl.BUFFER_SECONDS} s too);
  a subscriber further behind loses the oldest samples, on its side, where
  this program cannot see it.  A port or a paced recording makes 1 s of data
  a second; --fast sends {lsl.FAST_SPEED} s a second, so a subscriber must take all it
  holds at least every {lsl.PULL_WITHIN} s with the default max_buflen (a smaller
  max_buflen: that much more often), calling pylsl's pull_chunk until it
  returns nothing (it returns at most max_samples a call).  The closing
  summary says what was sent and what the input lost, not what subscribers
  received.

  NAME loss        type Loss, irregular: a sample whenever the input lost
                   anything, its channels the counts lost (raw_missing,
                   checksum_failures_raw, ...; int32)
examples:
  quillmore ports
  quillmore stream --port /dev/rfcomm0 --save-bytes session.bin
  quillmore stream rec.bin                  a recording at the headset's pace
  quillmore decode session.bin --out-dir session
"""

RECORD_EPILOG = """\
what the file holds:
  The headset's six streams as 'quillmore stream' publishes them (raw EEG,
  band power, device, gyroscope, RR, and the loss stream: a sample whenever
  the input lost anything, its channels the counts lost), every stream
  --also names, and the clock offsets between their hosts.  pyxdf opens it;
  quillmore.read("SESSION.xdf") gives the raw counts back exactly, the
  markers in rec.markers, and the loss counted by the loss stream.
  With --port the bytes read are kept in SESSION.bin, its timing in
  SESSION.bin.timing.csv (as --save-bytes does), unless --no-bytes.  No
  file is ever written over.

queries (--lsl, --also):
  KEY=VALUE matches the streams whose KEY (name, type, source_id, hostname,
  ...) is VALUE; KEY=PREFIX* those whose KEY starts with PREFIX.  The
  streams found when the recording starts are recorded; an --also that
  finds none yet is watched for, and its streams join when they appear.

stopping:
  Ctrl-C or --duration ends the recording cleanly (exit status 0): the last
  samples are fetched and every stream's footer written.

examples:
  quillmore record session.xdf --port /dev/rfcomm0 --also type=Markers
  quillmore record session.xdf --lsl "name=EEG headset*" --also name=Task events
"""

SIMULATE_EPILOG = """\
The stream goes to standard output (binary), to a file (-o) or to a new
pseudo-terminal (--pty) whose device path is printed to standard error, so a
host can open it like the headset's serial port:

  quillmore simulate --pty &            prints e.g. /dev/pts/3
  quillmore decode --port /dev/pts/3

Unless --realtime (always so with --pty) the stream is made as fast as
possible.  The same --seed gives the same stream; the bundled sample
recording was made with:

  quillmore simulate --seed 2024 --duration 60 -o sample.bin
"""


BIDS_EPILOG = """\
runs:
  One RECORDING is one run.  With one RECORDING, --run and --session are
  optional (no run or session entity without them).  With several, each
  needs a name of its own: --session gives one session for all or one per
  RECORDING (comma-separated); --run lists one run per RECORDING; without
  --run, RECORDINGs that would share a session are numbered runs 1, 2, ...
  in the order given.  A single --run for several RECORDINGs is refused, as
  is a run that the dataset holds already: nothing is written over.

what is written:
  The recordings are decoded and written in parallel, in worker processes
  on all cores, and moved into --root only when every one of them has
  succeeded: a failure writes nothing.  Onsets in events.tsv are seconds on the
  headset's loss-aware clock from the data file's first sample.  The start
  time, when a capture's timing file gives it, is the measurement date
  (acq_time in scans.tsv); otherwise it is n/a.

examples:
  quillmore bids rec.bin --root study --subject 01 --task rest --line-freq 50
  quillmore bids a.bin b.bin --root study --subject 01 --task rest --line-freq 60
  quillmore bids a.bin b.bin --root study --subject 01 --task rest --session 1,2 --line-freq 50
  bids-validator-deno study          the official validator (pip install bids-validator-deno)
"""


VIEW_EPILOG = """\
three ways to start it:
  quillmore view rec.bin                    a recording, at the headset's pace
  quillmore view rec.bin --speed 4          ... four times faster
  quillmore view --port /dev/rfcomm0 --save-bytes session.bin
  quillmore view --lsl type=EEG             any LSL EEG stream (trace, band powers)
Try it without a headset: 'quillmore simulate --pty' prints a port to view.

The page is served on 127.0.0.1 only, to this computer's browsers; --host
ADDRESS serves it on that address, where anyone who reaches it can watch.
The trace is filtered on this side as a live consumer would filter it (state
kept from one chunk to the next), so what the page draws is what a program
reading the stream would have by then.  Times are seconds on the stream's
own clock (the headset's loss-aware clock, or an LSL stream's time stamps
from its first sample).  Loss is the decoder's: samples inferred as lost in
the last 10 s of stream and since the start, and the port's reconnects.
"""


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value < 1.0:
        raise argparse.ArgumentTypeError(f"a rate per byte must be at least 0 and below 1, not {text}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"seconds must not be negative: {text}")
    return value


def positive_seconds(text: str) -> float:
    value = seconds(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be more than 0 seconds (leave it out to read until Ctrl-C)")
    return value


def ppm(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not -10000.0 <= value <= 10000.0:
        raise argparse.ArgumentTypeError(f"expected parts per million between -10000 and 10000, not {text!r}")
    return value


def volts_per_count(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and 0.0 < value < 1.0):
        raise argparse.ArgumentTypeError(f"expected volts per count, a positive number below 1, not {text!r}")
    return value


def whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def baud(text: str) -> int:
    value = whole(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"a baud rate must be more than 0, not {text}")
    return value


# A 13 x 11 inch figure: 600 dots per inch is 7800 x 6600 pixels already.
DPI_RANGE = (20, 600)


def dpi(text: str) -> int:
    value = whole(text)
    low, high = DPI_RANGE
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be {low} to {high}, not {text}")
    return value


def kinds(text: str) -> tuple[str, ...]:
    if text == "all":
        return KINDS
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in KINDS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown kind {', '.join(unknown) or repr(text)}; choose from {', '.join(KINDS)} or 'all'")
    return tuple(kind for kind in KINDS if kind in names)


class Query(NamedTuple):
    """A stream query as given (``text``) and as LSL's predicate."""

    text: str
    predicate: str


def lsl_query(text: str) -> Query:
    from .xdf_record import query

    try:
        return Query(text, query(text))
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def paragraph(text: str) -> str:
    return textwrap.fill(text, 78)


def _bids(check: Callable[[str, str], str], what: str, text: str) -> str:
    try:
        return check(what, text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix(f"{what} ")) from None


def bids_label(text: str) -> str:
    from .bids_export import label
    return _bids(label, "label", text)


def bids_labels(text: str) -> list[str]:
    from .bids_export import label
    return [_bids(label, "label", part) for part in text.split(",")]


def bids_indices(text: str) -> list[str]:
    from .bids_export import index
    return [_bids(index, "run", part) for part in text.split(",")]


def line_freq(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if value not in (50.0, 60.0):
        raise argparse.ArgumentTypeError(f"the power-line frequency is 50 or 60 (Hz), not {text!r}")
    return value


def bids_format(text: str) -> str:
    from .bids_export import data_format
    try:
        return data_format(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def speed(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.1 <= value <= 1000.0:
        raise argparse.ArgumentTypeError(f"expected a speed from 0.1 to 1000 times the headset's, not {text!r}")
    return value


def tcp_port(text: str) -> int:
    value = whole(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a TCP port is 0 to 65535, not {text}")
    return value


def band(text: str) -> tuple[float, float]:
    try:
        low, high = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LOW,HIGH in Hz, not {text!r}") from None
    if not (0.0 < low < high < 256.0):
        raise argparse.ArgumentTypeError(f"expected 0 < LOW < HIGH < 256 Hz (half the sample rate), not {text!r}")
    return low, high
