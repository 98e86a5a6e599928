"""The ``quillmore`` command-line tool: ``simulate``, ``decode``, ``info`` and ``plot``."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import textwrap
import threading
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import IO, NoReturn

from . import decode as decoding
from . import __version__
from .decode import WRITTEN_FIELDS
from .errors import QuillmoreError
from .frames import FIELDS, KINDS
from .output import reason, writing

PROG = "quillmore"

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
  signal, lost stretches annotated BAD_lost).

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


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value < 1.0:
        raise argparse.ArgumentTypeError(f"a rate per byte must be at least 0 and below 1, not {text}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"seconds must not be negative: {text}")
    return value


def _positive_seconds(text: str) -> float:
    value = _seconds(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be more than 0 seconds (leave it out to read until Ctrl-C)")
    return value


def _baud(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"a baud rate must be more than 0, not {text}")
    return value


# A 13 x 11 inch figure: 600 dots per inch is 7800 x 6600 pixels already.
DPI_RANGE = (20, 600)


def _dpi(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    low, high = DPI_RANGE
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be {low} to {high}, not {text}")
    return value


def _kinds(text: str) -> tuple[str, ...]:
    if text == "all":
        return KINDS
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in KINDS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown kind {', '.join(unknown) or repr(text)}; choose from {', '.join(KINDS)} or 'all'")
    return tuple(kind for kind in KINDS if kind in names)


def _paragraph(text: str) -> str:
    return textwrap.fill(text, 78)


class _Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, as every other failure is
    reported, with where to find the usage (status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    sim = commands.add_parser(
        "simulate", help="a virtual headset: write a realistic stream", description=_paragraph(
            "A virtual headset: 512 raw EEG samples a second (alpha, theta and beta rhythms, noise, blinks),"
            " a standard frame (band powers, attention, meditation, signal quality) and an extended frame"
            " (battery, version, temperature, heart rate) every second, gyroscope frames every other second"
            " and heart-rate-variability frames every third heartbeat."),
        epilog=SIMULATE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    sim.add_argument("--duration", type=_seconds, metavar="SECONDS",
                     help="length of the stream (default: 60; with --pty: until stopped); 0 = until stopped")
    sim.add_argument("--seed", type=int, default=None, help="seed of the generator (default: a new one each run)")
    sim.add_argument("--noise", type=_rate, default=0.0, metavar="RATE",
                     help="insert a stray byte before each byte with this probability (default: 0)")
    sim.add_argument("--drop", type=_rate, default=0.0, metavar="RATE",
                     help="lose each byte with this probability (default: 0)")
    sim.add_argument("--realtime", action="store_true", help="send at the headset's pace, not as fast as possible")
    target = sim.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="FILE", help="write the stream to FILE")
    target.add_argument("--pty", action="store_true",
                        help="serve the stream on a new pseudo-terminal, in real time; its path goes to stderr")
    sim.set_defaults(run=cmd_simulate)

    dec = commands.add_parser(
        "decode", help="decode a recording or a serial port into CSV or JSON Lines",
        description=_paragraph(
            "Decode a recording (a file of the headset's bytes), standard input or a live serial port,"
            " and write one row per decoded result.  With no input on a terminal, or with --sample,"
            " decode the sample recording that comes with the package."),
        epilog=DECODE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    dec.add_argument("input", nargs="?", metavar="FILE",
                     help="recording to decode; '-' for standard input (default: standard input,"
                          " or the bundled sample when it is a terminal)")
    dec.add_argument("--sample", action="store_true", help="decode the sample recording bundled with the package")
    dec.add_argument("--port", metavar="DEVICE", help="decode a live serial port instead (needs pyserial)")
    dec.add_argument("--baud", type=_baud, default=57600, help="baud rate of --port (default: 57600)")
    dec.add_argument("--duration", type=_positive_seconds, metavar="SECONDS",
                     help="with --port: stop after this many seconds (default: until Ctrl-C)")
    dec.add_argument("--format", choices=("csv", "jsonl", *decoding.FILE_FORMATS), default="csv",
                     help="row format (default: csv); parquet (one file per kind), npz and edf need --out-dir")
    dec.add_argument("--out-dir", metavar="DIR", help="write one file per kind into DIR (created if needed)")
    dec.add_argument("--kinds", type=_kinds, metavar="LIST",
                     help="comma-separated kinds to write, or 'all' (default: all with --out-dir,"
                          " all but raw on standard output)")
    dec.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                     help="show progress on stderr (default: when stderr is a terminal)")
    dec.add_argument("--force", action="store_true",
                     help="with --out-dir: replace the outputs of another recording found in DIR")
    dec.add_argument("--strict", action="store_true",
                     help="exit with status 3 when anything was lost (outputs are written all the same)")
    dec.add_argument("-q", "--quiet", action="store_true", help="no messages on stderr but errors")
    dec.set_defaults(run=cmd_decode)

    inf = commands.add_parser(
        "info", help="a recording at a glance: duration, frames, loss, battery, firmware",
        description="Print a recording's duration on the loss-aware clock, its frame counts, what it lost,"
                    " and the battery, firmware and temperature it reported.")
    inf.add_argument("input", nargs="?", metavar="FILE",
                     help="recording; '-' for standard input (default: standard input, or the bundled sample"
                          " when it is a terminal)")
    inf.add_argument("--sample", action="store_true", help="describe the sample recording bundled with the package")
    inf.set_defaults(run=cmd_info)

    plo = commands.add_parser(
        "plot", help="draw a recording into a PNG picture (needs matplotlib)",
        description="Draw a recording: raw EEG, the eight band powers, attention and meditation,"
                    " heart rate and gyroscope, over one time axis.  Needs matplotlib.")
    plo.add_argument("input", nargs="?", metavar="FILE",
                     help="recording to draw; '-' for standard input (default: standard input,"
                          " or the bundled sample when it is a terminal)")
    plo.add_argument("--sample", action="store_true", help="draw the sample recording bundled with the package")
    plo.add_argument("-o", "--output", metavar="PNG",
                     help="picture to write (default: the recording's name with .png, in this directory)")
    plo.add_argument("--start", type=_seconds, metavar="SECONDS", help="draw from this stream time on")
    plo.add_argument("--end", type=_seconds, metavar="SECONDS", help="draw up to this stream time")
    plo.add_argument("--dpi", type=_dpi, default=110,
                     help=f"resolution, {DPI_RANGE[0]} to {DPI_RANGE[1]} dots per inch (default: 110)")
    plo.set_defaults(run=cmd_plot)
    return parser


def _say(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def _silence_stdout() -> None:
    """After the reader of our standard output went away, or it failed: point
    it at the null device, so that the interpreter's last flush does not
    fail too."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _stdout_failed(error: OSError) -> QuillmoreError:
    _silence_stdout()
    return QuillmoreError(f"cannot write to standard output: {reason(error)}")


# ---------------------------------------------------------------- simulate

def cmd_simulate(args: argparse.Namespace) -> int:
    from . import simulate

    duration: float | None = args.duration
    if duration is None:
        duration = None if args.pty else float(simulate.SAMPLE_SECONDS)
    elif duration == 0:
        duration = None
    pieces = simulate.chunks(duration, args.seed, args.noise, args.drop)

    if args.pty:
        terminal = simulate.PseudoTerminal()
        print(terminal.name, file=sys.stderr, flush=True)
        _say(f"virtual headset on {terminal.name}, in real time; Ctrl-C to stop")
        try:
            simulate.pace(pieces, terminal.write, realtime=True)
        except KeyboardInterrupt:
            pass
        finally:
            terminal.close()
        if terminal.lost:
            _say(f"{terminal.lost:,} bytes were lost while no one was reading {terminal.name}")
        return 0

    if args.output:
        interrupted = False
        with writing(args.output) as stream:
            try:
                simulate.pace(pieces, stream.write, args.realtime)
            except KeyboardInterrupt:
                interrupted = True
        if interrupted:
            _say(f"stopped; {args.output} holds the stream up to then")
        return 0

    out = sys.stdout.buffer
    if out.isatty():
        raise QuillmoreError("refusing to write the binary stream to a terminal; "
                             "use -o FILE, --pty, or redirect standard output", status=2)

    def write(data: bytes) -> None:
        out.write(data)
        if args.realtime:
            out.flush()

    try:
        simulate.pace(pieces, write, args.realtime)
        out.flush()
    except BrokenPipeError:
        _silence_stdout()
    except KeyboardInterrupt:
        pass
    except OSError as error:
        raise _stdout_failed(error) from None
    return 0


# ---------------------------------------------------------------- decode

def _stdin_is_terminal() -> bool:
    stdin = sys.stdin
    if stdin is None:   # started with standard input closed: nothing to read
        return True
    try:
        return stdin.isatty()
    except (OSError, ValueError):
        return False


def _open_source(args: argparse.Namespace, quiet: bool = False) -> tuple[decoding.Source, IO[bytes] | None]:
    if args.sample:
        if args.input:
            raise QuillmoreError("give either a FILE or --sample, not both", status=2)
        return decoding.sample_source(), None
    if args.input == "-":
        return decoding.stdin_source(), None
    if args.input:
        return decoding.open_file(args.input)
    if not _stdin_is_terminal():
        return decoding.stdin_source(), None
    if not quiet:
        _say("no FILE given and standard input is a terminal: using the bundled sample recording")
    return decoding.sample_source(), None


def _require_frames(decoder: decoding.Decoder, source: decoding.Source) -> None:
    """Input in which not one frame was found is not a recording of the
    headset (or the headset sent nothing): that is an error, not an empty
    result."""
    if decoder.frames == 0:
        raise QuillmoreError(f"no frames found in {source.name} ({decoder.bytes:,} bytes): "
                             "not a recording of the headset's stream")


def cmd_decode(args: argparse.Namespace) -> int:
    if args.format in decoding.FILE_FORMATS and not args.out_dir:
        raise QuillmoreError(f"--format {args.format} writes files: give --out-dir", status=2)
    if args.port and (args.input or args.sample):
        raise QuillmoreError(f"give either {'--sample' if args.sample else 'a FILE'} or --port, not both", status=2)
    if args.duration is not None and not args.port:
        raise QuillmoreError("--duration applies to --port only", status=2)
    if args.force and not args.out_dir:
        raise QuillmoreError("--force applies to --out-dir only", status=2)
    kinds: tuple[str, ...] = args.kinds or (KINDS if args.out_dir else tuple(k for k in KINDS if k != "raw"))

    port = None
    stream: IO[bytes] | None = None
    if args.port:
        port = decoding.open_port(args.port, args.baud)
        source = decoding.port_source(port, args.port, args.duration)
        if not args.quiet:
            _say(f"reading {args.port} at {args.baud} baud; Ctrl-C to stop")
    else:
        source, stream = _open_source(args, args.quiet)
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = decoding.Progress(sys.stderr, source.name, source.size, show)

    try:
        if args.out_dir:
            return _decode_to_directory(args, source, kinds, progress)
        return _decode_to_stdout(args, source, kinds, progress)
    finally:
        if stream is not None:
            stream.close()
        if port is not None:
            port.close()


def _finish(args: argparse.Namespace, decoder: decoding.Decoder, stopped: str | None) -> int:
    """Reports the run; returns the exit status."""
    if stopped:
        _say(f"{stopped}; keeping what was decoded")
    if not args.quiet:
        _say(decoder.summary())
    if args.strict and decoder.loss:
        _say("the recording lost data (--strict)")
        return 3
    return 0


def _decode_to_directory(args: argparse.Namespace, source: decoding.Source, kinds: Sequence[str],
                         progress: decoding.Progress) -> int:
    out = decoding.OutputDirectory(args.out_dir, kinds, args.format, source, args.force)
    nothing = f"nothing written to {args.out_dir}"
    whole = args.format in decoding.FILE_FORMATS
    try:
        decoder, stopped = decoding.run(source, () if whole else kinds, out, progress,
                                        out.flush if source.live else _nothing, keep=whole)
        _require_frames(decoder, source)
        if whole:
            out.write_recording(decoder.recording())
        paths = out.commit(decoding.manifest(source, decoder))
    except BaseException as error:
        out.discard()
        if isinstance(error, OSError):
            raise QuillmoreError(f"cannot write in {args.out_dir}: {reason(error)}; {nothing}") from None
        if isinstance(error, QuillmoreError):
            raise QuillmoreError(f"{error}; {nothing}", error.status) from None
        _say(f"{'interrupted' if isinstance(error, KeyboardInterrupt) else 'failed'}; {nothing}")
        raise
    status = _finish(args, decoder, stopped)
    if not args.quiet:
        _say("wrote " + ", ".join(str(path) for path in paths) + f" and {decoding.MANIFEST}")
        if out.removed:
            _say("removed the earlier outputs " + ", ".join(path.name for path in out.removed))
    return status


def _nothing() -> None:
    pass


def _decode_to_stdout(args: argparse.Namespace, source: decoding.Source, kinds: Sequence[str],
                      progress: decoding.Progress) -> int:
    out = sys.stdout
    try:
        writer = decoding.make_writer(out, args.format, kinds, kind_column=len(kinds) > 1)
        decoder, stopped = decoding.run(source, kinds, writer, progress, out.flush)
        out.flush()
    except BrokenPipeError:
        # The reader has what it wanted (... | head).
        _silence_stdout()
        return 0
    except KeyboardInterrupt:
        _say("interrupted; the rows on standard output are incomplete")
        raise
    except OSError as error:
        raise _stdout_failed(error) from None
    _require_frames(decoder, source)
    return _finish(args, decoder, stopped)


# ---------------------------------------------------------------- info

def cmd_info(args: argparse.Namespace) -> int:
    from . import info

    source, stream = _open_source(args)
    try:
        decoder, _ = decoding.run(source, (), _NoRows(), decoding.Progress(sys.stderr, source.name, None, False),
                                  _nothing, keep=True)
    finally:
        if stream is not None:
            stream.close()
    _require_frames(decoder, source)
    print(info.describe(source.name, decoder.bytes, decoder.recording()))
    return 0


class _NoRows:
    def write(self, kind: str, row: decoding.Row) -> None:
        pass


# ---------------------------------------------------------------- plot

def cmd_plot(args: argparse.Namespace) -> int:
    from . import plot

    if args.start is not None and args.end is not None and args.start >= args.end:
        raise QuillmoreError(f"--start ({args.start:g} s) must come before --end ({args.end:g} s)", status=2)
    plot.require_matplotlib()
    source, stream = _open_source(args)
    try:
        recording = decoding.decode_bytes(source.chunks)
    finally:
        if stream is not None:
            stream.close()
    _require_frames(recording.decoder, source)
    length = recording.decoder.time
    if args.start is not None and args.start >= length:
        raise QuillmoreError(f"--start {args.start:g} s is past the end of {source.name} ({length:.1f} s)")
    if args.input is None or args.input == "-":
        name = "sample" if source.path is not None else "stdin"
    else:
        name = Path(args.input).stem
    output = args.output or f"{name}.png"
    counts = recording.decoder.counts
    title = (f"{source.name}: {length:.1f} s, "
             + ", ".join(f"{counts[kind]} {kind}" for kind in KINDS))
    plot.draw(recording, output, title, args.start, args.end, args.dpi)
    _say(f"wrote {output}")
    return 0


# ---------------------------------------------------------------- main

def _terminate(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # A polite kill stops a run as Ctrl-C does: a live port's rows are
    # kept, a file's half-written outputs are removed.
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        status: int = args.run(args)
        return status
    except QuillmoreError as error:
        _say(f"error: {error}")
        return error.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        _silence_stdout()
        return 0
    except OSError as error:
        # What no command caught itself: still one line, not a traceback.
        _say(f"error: {reason(error)}" + (f": {error.filename}" if error.filename else ""))
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
