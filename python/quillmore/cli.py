"""The ``quillmore`` command-line tool: its arguments and its commands ``simulate``,
``decode``, ``stream``, ``record``, ``view``, ``ports``, ``info``, ``plot`` and ``bids``."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import FrameType
from typing import IO, Any, NoReturn

from . import cli_options as options
from . import lsl
from . import __version__
from .constants import KINDS, VOLTS_PER_COUNT
from .errors import QuillmoreError
from .output import Capture, Staged, reason, writing
from .output_directory import FILE_FORMATS, MANIFEST, WHOLE_FORMATS, OutputDirectory, manifest
from .ports import DEFAULT_BAUD, PortReader
from .progress import Progress
from .rows_text import TextRows
from .session import Pace, SessionDecoder, run
from .sinks import OutletSink, RowSink, ViewSink
from .sources import Source, open_file, pieces, port_source, sample_source, stdin_source

PROG = "quillmore"


class _Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, as every other failure is
    reported, with where to find the usage (status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    """The tool's argument parser, every command with its options and help
    texts (the documentation's command-line reference is made from it)."""
    parser = _Parser(prog=PROG, description=options.DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    sim = commands.add_parser(
        "simulate", help="a virtual headset: write a realistic stream", description=options.paragraph(
            "A virtual headset: 512 raw EEG samples a second (alpha, theta and beta rhythms, noise, blinks),"
            " a standard frame (band powers, attention, meditation, signal quality) and an extended frame"
            " (battery, version, temperature, heart rate) every second, gyroscope frames every other second"
            " and heart-rate-variability frames every third heartbeat."),
        epilog=options.SIMULATE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    sim.add_argument("--duration", type=options.seconds, metavar="SECONDS",
                     help="length of the stream (default: 60; with --pty: until stopped); 0 = until stopped")
    sim.add_argument("--seed", type=int, default=None, help="seed of the generator (default: a new one each run)")
    sim.add_argument("--noise", type=options.rate, default=0.0, metavar="RATE",
                     help="insert a stray byte before each byte with this probability (default: 0)")
    sim.add_argument("--drop", type=options.rate, default=0.0, metavar="RATE",
                     help="lose each byte with this probability (default: 0)")
    sim.add_argument("--substitute", type=options.rate, default=0.0, metavar="RATE",
                     help="change each byte into another with this probability (default: 0)")
    sim.add_argument("--lose-buffers", type=options.rate, default=0.0, metavar="RATE",
                     help="lose each 512-byte read buffer whole with this probability, as a host that fell"
                          " behind does (default: 0)")
    sim.add_argument("--restarts", action="store_true",
                     help="restart the one-second cadence when contact is made, as real headsets do: the"
                          " standard frame then comes after fewer than 512 samples")
    sim.add_argument("--clock-ppm", type=options.ppm, default=0.0, metavar="PPM",
                     help="the headset's crystal runs this many parts per million fast (negative: slow);"
                          " changes when bytes are sent (--realtime, --pty), not what is sent (default: 0)")
    sim.add_argument("--truth", metavar="FILE",
                     help="write FILE, a CSV line per raw sample sent: its index in the stream, its value and"
                          " when it was sent (with --pty: when it was due on LSL's local_clock(), or"
                          " time.monotonic() without pylsl; otherwise seconds on the headset's crystal)")
    sim.add_argument("--realtime", action="store_true", help="send at the headset's pace, not as fast as possible")
    target = sim.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="FILE", help="write the stream to FILE")
    target.add_argument("--pty", action="store_true",
                        help="serve the stream on a new pseudo-terminal, in real time; its path goes to stderr")
    sim.add_argument("--link", metavar="PATH",
                     help="with --pty: also make PATH a symlink to the pseudo-terminal, a fixed name for the port")
    sim.set_defaults(run=cmd_simulate)

    dec = commands.add_parser(
        "decode", help="decode a recording or a serial port into CSV or JSON Lines",
        description=options.paragraph(
            "Decode a recording (a file of the headset's bytes), standard input or a live serial port,"
            " and write one row per decoded result.  With no input on a terminal, or with --sample,"
            " decode the sample recording that comes with the package."),
        epilog=options.DECODE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    dec.add_argument("input", nargs="*", metavar="FILE",
                     help="recording to decode; '-' for standard input (default: standard input, or the bundled"
                          " sample when it is a terminal).  Several FILEs with --out-dir: each into its own"
                          " sub-folder DIR/recording=NAME, in parallel, with DIR/recordings.csv summing them up")
    dec.add_argument("--sample", action="store_true", help="decode the sample recording bundled with the package")
    _port_options(dec)
    dec.add_argument("--format", choices=("csv", "jsonl", *FILE_FORMATS), default="csv",
                     help="row format (default: csv); parquet (one file per kind), npz and edf need --out-dir"
                          " (npz and edf: a recording, not --port)")
    dec.add_argument("--out-dir", metavar="DIR", help="write one file per kind into DIR (created if needed)")
    dec.add_argument("--kinds", type=options.kinds, metavar="LIST",
                     help="comma-separated kinds to write, or 'all' (default: all with --out-dir,"
                          " all but raw on standard output)")
    dec.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                     help="show progress on stderr (default: when stderr is a terminal)")
    _volts_option(dec)
    dec.add_argument("--force", action="store_true",
                     help="with --out-dir: replace the outputs of another recording found in DIR")
    dec.add_argument("--strict", action="store_true",
                     help="exit with status 3 when anything was lost (outputs are written all the same)")
    dec.add_argument("-q", "--quiet", action="store_true", help="no messages on stderr but errors")
    dec.set_defaults(run=cmd_decode)

    stm = commands.add_parser(
        "stream", help="publish a port, recording or standard input on the Lab Streaming Layer (needs pylsl)",
        description=options.paragraph(
            "Decode a live serial port, a recording (paced at the headset's rate unless --fast) or standard"
            " input, and publish five Lab Streaming Layer outlets: raw EEG (512 Hz), band power with attention,"
            " meditation and contact quality (1 Hz), and the device values, gyroscope and RR intervals"
            " (irregular), with a sixth that counts what the input lost.  A recorder subscribes to them by name or"
            " source_id.  Needs pylsl."),
        epilog=options.STREAM_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    stm.add_argument("input", nargs="?", metavar="FILE", help="recording to stream; '-' for standard input")
    _port_options(stm)
    stm.add_argument("--fast", action="store_true",
                     help=f"send a recording {lsl.FAST_SPEED} times faster than the headset (a minute a second),"
                          " stamped on its own 512 Hz clock; a subscriber must pull at least every"
                          f" {lsl.PULL_WITHIN} s (see below)")
    stm.add_argument("--wait", type=options.seconds, default=0.0, metavar="SECONDS",
                     help="before sending, wait up to this long for a consumer on every outlet (default: 0)")
    _outlet_options(stm, "the port, file: and the recording's path, or stdin")
    stm.add_argument("-q", "--quiet", action="store_true", help="no messages on stderr but errors")
    stm.set_defaults(run=cmd_stream)

    rec = commands.add_parser(
        "record", help="record a session to an XDF file through LabRecorder's engine (needs labrecorder)",
        description=options.paragraph(
            "Record a session into one XDF file through LabRecorder's recording engine: the headset on"
            " --port, published on the Lab Streaming Layer as 'quillmore stream' does, or its streams already"
            " on the network (--lsl), and every stream named by --also (event markers, other devices), with"
            " the clock offsets between them.  The bytes read from the port are kept beside the file."
            "  Needs labrecorder (Python 3.11 and 3.12), pylsl and pyserial."),
        epilog=options.RECORD_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    rec.add_argument("output", metavar="SESSION.xdf", help="the XDF file to write (a new file)")
    rec.add_argument("--port", metavar="DEVICE", help="record the headset on this serial port")
    rec.add_argument("--lsl", type=options.lsl_query, metavar="QUERY",
                     help="record the streams on the network that QUERY matches instead (KEY=VALUE, or"
                          " KEY=PREFIX* for a value that starts so: name=EEG headset*)")
    rec.add_argument("--also", type=options.lsl_query, action="append", default=[], metavar="QUERY",
                     help="also record the streams that QUERY matches (type=Markers, name=NAME, ...); repeatable")
    rec.add_argument("--baud", type=options.baud, default=DEFAULT_BAUD, help=f"baud rate of --port (default: {DEFAULT_BAUD})")
    rec.add_argument("--duration", type=options.positive_seconds, metavar="SECONDS",
                     help="stop after this many seconds (default: until Ctrl-C)")
    rec.add_argument("--reconnect", action="store_true",
                     help="with --port: when the port goes away, reopen it and go on (the gap counts as loss)")
    rec.add_argument("--no-bytes", action="store_true",
                     help="with --port: do not keep the bytes read (default: SESSION.bin and its timing file"
                          " SESSION.bin.timing.csv beside the XDF file)")
    _outlet_options(rec, "the port's path")
    rec.add_argument("-q", "--quiet", action="store_true", help="no messages on stderr but errors")
    rec.set_defaults(run=cmd_record)

    viw = commands.add_parser(
        "view", help="a live page in the browser: raw EEG, band powers, contact, loss (needs bokeh, scipy)",
        description=options.paragraph(
            "Serve a live page on this computer (a free port, printed, opened in the browser): the raw EEG"
            " in microvolts, band-pass filtered and notched as a live consumer would (switchable), the band"
            " powers, attention and meditation, contact quality, battery, heart rate, gyroscope, and the"
            " samples lost.  A recording is replayed at the headset's pace (--speed for faster), a port shown"
            " as it arrives, an LSL stream (--lsl) as its raw trace and the band powers derived from it."
            "  Needs bokeh and scipy."),
        epilog=options.VIEW_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    _recording_input(viw, "show")
    _port_options(viw)
    viw.add_argument("--lsl", metavar="QUERY",
                     help="view an LSL stream: KEY=VALUE[,KEY=VALUE...] of its properties, e.g. type=EEG"
                          " (needs pylsl)")
    viw.add_argument("--speed", type=options.speed, default=1.0,
                     help="replay a FILE this many times faster than the headset (default: 1)")
    viw.add_argument("--host", default=None,
                     help="serve on this address instead of 127.0.0.1 (anyone who reaches it can watch)")
    viw.add_argument("--http-port", type=options.tcp_port, default=0, metavar="N",
                     help="serve on this TCP port (default: a free one)")
    viw.add_argument("--no-browser", action="store_true", help="do not open the page in the browser")
    viw.add_argument("--band-pass", type=options.band, default=(1.0, 40.0), metavar="LOW,HIGH",
                     help="the band-pass filter's corners in Hz (default: 1,40)")
    viw.add_argument("--notch", type=int, choices=(0, 50, 60), default=50,
                     help="the mains notch a page starts with, in Hz; 0 for none (default: 50)")
    _volts_option(viw)
    viw.add_argument("-q", "--quiet", action="store_true", help="no messages on stderr but errors")
    viw.set_defaults(run=cmd_view)

    prt = commands.add_parser("ports", help="list the serial ports (needs pyserial)",
                              description="List the serial ports, marking with * those that look like the"
                                          " headset's: a USB serial adapter or a Bluetooth serial link.")
    prt.set_defaults(run=cmd_ports)

    inf = commands.add_parser(
        "info", help="a recording at a glance: duration, frames, loss, battery, firmware",
        description="Print a recording's duration on the loss-aware clock, its frame counts, what it lost,"
                    " and the battery, firmware and temperature it reported.")
    _recording_input(inf, "describe")
    inf.set_defaults(run=cmd_info)

    bid = commands.add_parser(
        "bids", help="write recordings as runs of a BIDS EEG dataset (needs mne-bids)",
        description=options.paragraph(
            "Write each RECORDING as one run of the BIDS EEG dataset in --root, through MNE-BIDS: the raw EEG in"
            " volts with attention, meditation and contact quality as MISC channels, lost stretches (BAD_lost)"
            " and event markers in events.tsv, the loss counts and this decoder's version in the EEG sidecar"
            " JSON.  Needs mne-bids, and edfio (EDF) or pybv (BrainVision)."),
        epilog=options.BIDS_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    bid.add_argument("input", nargs="+", metavar="RECORDING", help="a file of the headset's bytes; each is one run")
    bid.add_argument("--root", required=True, metavar="DIR", help="the dataset's folder (created if needed)")
    bid.add_argument("--subject", required=True, type=options.bids_label, metavar="LABEL",
                     help="the subject (letters and digits: sub-LABEL)")
    bid.add_argument("--task", required=True, type=options.bids_label, metavar="LABEL", help="the task (task-LABEL)")
    bid.add_argument("--session", dest="sessions", type=options.bids_labels, metavar="LABEL[,LABEL...]",
                     help="the session of every RECORDING, or one per RECORDING (default: none)")
    bid.add_argument("--run", dest="runs", type=options.bids_indices, metavar="N[,N...]",
                     help="one run number per RECORDING (default: none for one RECORDING; 1, 2, ... for several)")
    bid.add_argument("--line-freq", type=options.line_freq, metavar="{50,60}",
                     help="the power-line frequency where the recordings were made, in Hz (required)")
    bid.add_argument("--format", type=options.bids_format, default="EDF", metavar="{EDF,BrainVision}",
                     help="the data files' format: EDF (16 bits a sample, the default) or BrainVision (float32)")
    _volts_option(bid)
    bid.add_argument("-q", "--quiet", action="store_true", help="no messages on stderr but errors")
    bid.set_defaults(run=cmd_bids)

    plo = commands.add_parser(
        "plot", help="draw a recording into a PNG picture (needs matplotlib)",
        description="Draw a recording: raw EEG, the eight band powers, attention and meditation,"
                    " heart rate and gyroscope, over one time axis.  Needs matplotlib.")
    _recording_input(plo, "draw")
    plo.add_argument("-o", "--output", metavar="PNG",
                     help="picture to write (default: the recording's name with .png, in this directory)")
    plo.add_argument("--start", type=options.seconds, metavar="SECONDS", help="draw from this stream time on")
    plo.add_argument("--end", type=options.seconds, metavar="SECONDS", help="draw up to this stream time")
    _volts_option(plo)
    plo.add_argument("--dpi", type=options.dpi, default=110,
                     help=f"resolution, {options.DPI_RANGE[0]} to {options.DPI_RANGE[1]} dots per inch (default: 110)")
    plo.set_defaults(run=cmd_plot)
    return parser


def _volts_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--volts-per-count", type=options.volts_per_count, default=VOLTS_PER_COUNT, metavar="V",
                         help="volts of one raw count, your headset's own calibration (default:"
                              f" {VOLTS_PER_COUNT:.6g}, a 12-bit converter over 1.8 V behind a gain of 2000)")


def _outlet_options(command: argparse.ArgumentParser, origin: str) -> None:
    """The options of the headset's LSL outlets (``stream``, ``record``);
    ``origin`` says what names them by default."""
    command.add_argument("--raw-units", choices=lsl.RAW_UNITS, default="microvolts",
                         help="the raw EEG outlet in microvolts (float32, by --volts-per-count; default) or in the"
                              " headset's integer counts (int16)")
    _volts_option(command)
    command.add_argument("--name", default=lsl.DEFAULT_NAME,
                         help=f"device name that starts every stream's name (default: {lsl.DEFAULT_NAME!r})")
    command.add_argument("--source-id", metavar="ORIGIN",
                         help=f"origin part of the streams' source_id (default: {origin})")


def _recording_input(command: argparse.ArgumentParser, verb: str) -> None:
    command.add_argument("input", nargs="?", metavar="FILE",
                         help=f"recording to {verb}; '-' for standard input (default: standard input,"
                              " or the bundled sample when it is a terminal)")
    command.add_argument("--sample", action="store_true", help=f"{verb} the sample recording bundled with the package")


def _port_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--port", metavar="DEVICE", help="read a live serial port (needs pyserial)")
    command.add_argument("--baud", type=options.baud, default=DEFAULT_BAUD, help=f"baud rate of --port (default: {DEFAULT_BAUD})")
    command.add_argument("--duration", type=options.positive_seconds, metavar="SECONDS",
                         help="with --port: stop after this many seconds (default: until Ctrl-C)")
    command.add_argument("--reconnect", action="store_true",
                         help="with --port: when the port goes away, reopen it and go on (the gap counts as loss)")
    command.add_argument("--save-bytes", metavar="FILE",
                         help="keep every byte read in FILE (a new file), flushed as it arrives, to decode again later")


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
    """``quillmore simulate``: a virtual headset's stream to a file, standard
    output or a pseudo-terminal.  Returns the exit status."""
    from . import simulate

    duration: float | None = args.duration
    if duration is None:
        duration = None if args.pty else float(simulate.SAMPLE_SECONDS)
    elif duration == 0:
        duration = None
    if args.link and not args.pty:
        raise QuillmoreError("--link applies to --pty only", status=2)
    truth = None
    if args.truth:
        from .capture_timing import host_clock
        try:
            truth = simulate.Truth(args.truth, host_clock()[0] if args.pty else None, args.clock_ppm)
        except FileExistsError:
            raise QuillmoreError(f"{args.truth} exists; --truth never writes over a file") from None
        except OSError as error:
            raise QuillmoreError(f"cannot write {args.truth}: {error.strerror or error}") from None
    pieces = simulate.chunks(duration, args.seed, args.noise, args.drop, substitute=args.substitute,
                             lose_buffers=args.lose_buffers, restarts=args.restarts, clock_ppm=args.clock_ppm,
                             samples=truth.queue if truth else None)
    try:
        return _simulate(args, simulate, pieces, truth)
    finally:
        if truth is not None:
            truth.close()


def _simulate(args: argparse.Namespace, simulate: Any, pieces: Iterator[tuple[float, bytes]],
              truth: Any) -> int:
    sent = truth.sent if truth is not None else None
    if args.link and not args.pty:
        raise QuillmoreError("--link applies to --pty only", status=2)
    if args.pty:
        if args.link and (os.path.exists(args.link) or os.path.islink(args.link)) and not os.path.islink(args.link):
            raise QuillmoreError(f"cannot link {args.link}: it exists and is not a symlink")
        terminal = simulate.PseudoTerminal()
        if args.link:
            # Replace an earlier run's link atomically: a reader never sees none.
            link = Staged(Path(args.link))
            link.discard()   # left by a killed run
            os.symlink(terminal.name, link.partial)
            link.commit()
        print(terminal.name, file=sys.stderr, flush=True)
        _say(f"virtual headset on {terminal.name}, in real time; Ctrl-C to stop")
        try:
            simulate.pace(pieces, terminal.write, realtime=True, sent=sent)
        except KeyboardInterrupt:
            pass
        finally:
            terminal.close()
            if args.link and os.path.realpath(args.link) == terminal.name:
                os.unlink(args.link)
        if terminal.lost:
            _say(f"{terminal.lost:,} bytes were lost while no one was reading {terminal.name}")
        return 0

    if args.output:
        interrupted = False
        with writing(args.output) as stream:
            try:
                simulate.pace(pieces, stream.write, args.realtime, sent=sent)
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
        simulate.pace(pieces, write, args.realtime, sent=sent)
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


def _open_source(args: argparse.Namespace, quiet: bool = False) -> tuple[Source, IO[bytes] | None]:
    if getattr(args, "sample", False):
        if args.input:
            raise QuillmoreError("give either a FILE or --sample, not both", status=2)
        return sample_source(), None
    if args.input == "-":
        return stdin_source(), None
    if args.input:
        return open_file(args.input)
    if not _stdin_is_terminal():
        return stdin_source(), None
    if not quiet:
        _say("no FILE given and standard input is a terminal: using the bundled sample recording")
    return sample_source(), None


def _require_frames(decoder: SessionDecoder, source: Source) -> None:
    """Input in which not one frame was found is not a recording of the
    headset (or the headset sent nothing): that is an error, not an empty
    result."""
    if decoder.frames == 0:
        raise QuillmoreError(f"no frames found in {source.name} ({decoder.bytes:,} bytes): "
                             "not a recording of the headset's stream")


def cmd_decode(args: argparse.Namespace) -> int:
    """``quillmore decode``: recordings, standard input or a port into rows
    or files.  Returns the exit status."""
    if args.format in FILE_FORMATS and not args.out_dir:
        raise QuillmoreError(f"--format {args.format} writes files: give --out-dir", status=2)
    if args.force and not args.out_dir:
        raise QuillmoreError("--force applies to --out-dir only", status=2)
    if args.port and args.format in WHOLE_FORMATS:
        # Such a file is made from the whole session at once, which a port
        # has only once it stops: hours of it held in memory until then.
        raise QuillmoreError(f"--format {args.format} cannot be written live from --port; use csv, jsonl or "
                             "parquet, or keep the bytes with --save-bytes FILE and decode FILE afterwards",
                             status=2)
    kinds: tuple[str, ...] = args.kinds or (KINDS if args.out_dir else tuple(k for k in KINDS if k != "raw"))
    if len(args.input) > 1:
        return _decode_several(args)
    args.input = args.input[0] if args.input else None

    source, reader, capture, stream = _live_or_recorded(args)
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = Progress(sys.stderr, source.name, source.size, show)

    try:
        if args.out_dir:
            status = _decode_to_directory(args, source, kinds, progress)
        else:
            status = _decode_to_stdout(args, source, kinds, progress)
        _report_live(args, reader, capture)
        if status == 0 and args.strict and reader is not None and reader.gaps:
            _say("the port went away and data was lost (--strict)")
            status = 3
        return status
    finally:
        _close_inputs(stream, reader, capture)


def _live_or_recorded(args: argparse.Namespace) \
        -> tuple[Source, PortReader | None, Capture | None, IO[bytes] | None]:
    """The source that the port options and FILE name, with the bytes kept
    in --save-bytes.  Returns the source, the port reader, the capture and
    the file to close."""
    if args.port and (args.input or getattr(args, "sample", False)):
        raise QuillmoreError("give either a FILE or --port, not both", status=2)
    if not args.port:
        for option in ("duration", "reconnect"):
            if getattr(args, option):
                raise QuillmoreError(f"--{option} applies to --port only", status=2)
    capture = Capture(args.save_bytes) if args.save_bytes else None
    reader = None
    stream: IO[bytes] | None = None
    try:
        if args.port:
            say = _nothing_said if args.quiet else _say
            reader = PortReader(args.port, args.baud, args.duration, args.reconnect, say)
            source = port_source(reader)
            say(f"reading {args.port} at {args.baud} baud; Ctrl-C to stop")
        else:
            source, stream = _open_source(args, args.quiet)
    except BaseException:
        if capture is not None:
            capture.close()
        raise
    _keep_bytes(source, reader, capture)
    return source, reader, capture, stream


def _keep_bytes(source: Source, reader: PortReader | None, capture: Capture | None) -> None:
    """Every byte of ``source`` into ``capture`` as it is read, and the
    port's comings and goings into its timing file."""
    if capture is not None:
        source.chunks = capture.tee(source.chunks)
        if reader is not None:
            reader.on_event = capture.event


def _arrival_of(capture: Capture | None) -> Callable[[], float | None] | None:
    """When the last chunk arrived as the capture's timing file notes it:
    stamped by that reading, the session and its capture read later agree."""
    if capture is None:
        return None
    return lambda: capture.arrival


def _close_inputs(stream: IO[bytes] | None, reader: PortReader | None, capture: Capture | None) -> None:
    """Closes what ``_live_or_recorded`` opened (any of them may be None)."""
    for opened in (stream, reader, capture):
        if opened is not None:
            opened.close()


def _nothing_said(message: str) -> None:
    pass


def _report_live(args: argparse.Namespace, reader: PortReader | None, capture: Capture | None) -> None:
    if args.quiet:
        return
    if reader is not None and (loss := reader.loss()):
        _say(loss)
    if capture is not None:
        if capture.kept:
            _say(f"saved {capture.bytes:,} bytes to {capture.name}")
        else:
            _say(f"nothing was read; {capture.name} is not kept")


def _finish(args: argparse.Namespace, decoder: SessionDecoder, stopped: str | None) -> int:
    """Reports the run; returns the exit status."""
    if stopped:
        _say(f"{stopped}; keeping what was decoded")
    if not args.quiet:
        _say(decoder.summary())
    if args.strict and decoder.loss:
        _say("the recording lost data (--strict)")
        return 3
    return 0


def _decode_to_directory(args: argparse.Namespace, source: Source, kinds: Sequence[str],
                         progress: Progress) -> int:
    out = OutputDirectory(args.out_dir, kinds, args.format, source, args.force, args.volts_per_count)
    nothing = f"nothing written to {args.out_dir}"
    try:
        decoder, stopped = run(source, RowSink(out, source.live, out.flush if source.live else _nothing), progress)
        _require_frames(decoder, source)
        out.finish(decoder.loss, decoder.sha256, decoder.time)
        paths = out.commit(manifest(source, decoder))
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
        _say("wrote " + ", ".join(str(path) for path in paths) + f" and {MANIFEST}")
        if out.removed:
            _say("removed the earlier outputs " + ", ".join(path.name for path in out.removed))
    return status


def _nothing() -> None:
    pass


def _decode_several(args: argparse.Namespace) -> int:
    from . import batch_decode

    if not args.out_dir:
        raise QuillmoreError("several FILEs need --out-dir (one sub-folder each)", status=2)
    for option, given in (("--port", args.port), ("--sample", args.sample), ("--save-bytes", args.save_bytes)):
        if given:
            raise QuillmoreError(f"{option} applies to one input, not several FILEs", status=2)
    if "-" in args.input:
        raise QuillmoreError("standard input ('-') cannot be one of several FILEs", status=2)
    for path in args.input:
        if not os.path.isfile(path):
            raise QuillmoreError(f"cannot read {path}: " + ("it is not a file" if os.path.exists(path)
                                                             else "No such file or directory"))
    options = ["--format", args.format, "--volts-per-count", repr(args.volts_per_count), "--no-progress", "-q"]
    options += (["--kinds", ",".join(args.kinds)] if args.kinds else []) + (["--force"] if args.force else [])
    failed, lost = batch_decode.run(args.input, args.out_dir, options, _say,
                                    batch_decode.progress_stream(args.progress))
    summary = os.path.join(args.out_dir, batch_decode.SUMMARY)
    if not args.quiet:
        _say(f"decoded {len(args.input) - failed} of {len(args.input)} recordings into {args.out_dir}"
             f"{f'; {lost} lost data' if lost else ''}; summary in {summary}")
    if failed:
        _say(f"{failed} of {len(args.input)} recordings failed (see {summary})")
        return 1
    if args.strict and lost:
        _say(f"{lost} recordings lost data (--strict)")
        return 3
    return 0


def _decode_to_stdout(args: argparse.Namespace, source: Source, kinds: Sequence[str],
                      progress: Progress) -> int:
    out = sys.stdout
    try:
        writer = TextRows(out, args.format, kinds, kind_column=len(kinds) > 1, host_time=source.live)
        decoder, stopped = run(source, RowSink(writer, source.live, out.flush), progress)
        if decoder.frames:
            writer.begin()   # a recording without rows of the kinds asked for: the header alone
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
    """``quillmore info``: a recording at a glance.  Returns the exit status."""
    from . import info
    from .recording import Decoder

    source, stream = _open_source(args)
    # Running totals, each part let go once counted: memory stays the same
    # whatever the input's length.
    figures = info.Figures()
    decoder = Decoder()
    try:
        for chunk in source.chunks:
            figures.add(decoder.feed(chunk))
        figures.add(decoder.finish())
    finally:
        if stream is not None:
            stream.close()
    if figures.frames == 0:
        raise QuillmoreError(f"no frames found in {source.name} ({decoder.bytes_fed:,} bytes): "
                             "not a recording of the headset's stream")
    print(figures.describe(source.name, decoder.bytes_fed, decoder.loss))
    return 0


# ---------------------------------------------------------------- stream

# A paced recording is sent in pieces of this many bytes (about 1/8 s); at
# --fast speed, in pieces of about 2 s of recording (1/30 s of sending).
PACED_PIECE = 512
FAST_PIECE = 1 << 13


def _origin(args: argparse.Namespace, source: Source) -> str:
    if args.source_id:
        return str(args.source_id)
    if args.port:
        return os.path.abspath(str(args.port))
    if source.path is not None:
        return "file:" + os.path.abspath(source.path)
    return "stdin"


def cmd_stream(args: argparse.Namespace) -> int:
    """``quillmore stream``: a port, recording or standard input onto Lab
    Streaming Layer outlets.  Returns the exit status."""
    lsl.require_pylsl()
    if args.fast and (args.port or not args.input or args.input == "-"):
        raise QuillmoreError("--fast applies to a recording (FILE) only", status=2)
    source, reader, capture, stream = _live_or_recorded(args)
    try:
        outlets = lsl.Outlets(args.name, _origin(args, source), source.name, f"{PROG} {__version__}",
                              args.raw_units, args.volts_per_count)
        try:
            return _stream(args, source, outlets, reader, capture)
        finally:
            outlets.close()
    finally:
        _close_inputs(stream, reader, capture)


def _stream(args: argparse.Namespace, source: Source, outlets: lsl.Outlets,
            reader: PortReader | None, capture: Capture | None) -> int:
    # A recording goes out at the headset's pace, or with --fast at
    # lsl.FAST_SPEED times it, which a subscriber's buffer can take; a live
    # port and standard input as they arrive.
    paced = args.fast or (not source.live and source.path is not None)
    deadline = time.monotonic() + args.wait
    while args.wait and not outlets.consumers() and time.monotonic() < deadline:
        time.sleep(0.05)
    if not args.quiet:
        _say(f"streaming {source.name} on LSL as '{args.name} ...' (source_id quillmore:{_origin(args, source)}:KIND);"
             " Ctrl-C to stop")
        if args.fast:
            _say(f"sending {lsl.FAST_SPEED} times faster than the headset: a subscriber must take all it holds"
                 f" at least every {lsl.PULL_WITHIN} s (with LSL's default buffer of {lsl.BUFFER_SECONDS} s)")
    # A recording sent fast keeps its own clock; otherwise a part is
    # stamped when its chunk arrived.
    sink = OutletSink(outlets, outlets.pylsl.local_clock, own_clock=args.fast, arrival=_arrival_of(capture))
    pace = Pace(lsl.FAST_SPEED if args.fast else 1) if paced else None
    if paced:
        source.chunks = pieces(source.chunks, FAST_PIECE if args.fast else PACED_PIECE)
    decoder, stopped = run(source, sink, after_chunk=pace)
    # Give subscribers a moment to fetch the last samples before the
    # outlets close.
    time.sleep(1.0)
    _require_frames(decoder, source)
    if stopped:
        _say(f"{stopped}")
    if not args.quiet:
        # What the subscribers received is theirs to tell: this side knows
        # what it sent and what the input lost.
        counts = ", ".join(f"{n} {kind}" for kind, n in decoder.counts.items())
        loss = decoder.loss
        lost = f"the input lost {loss.summary().removeprefix('lost: ')}" if loss else "the input lost nothing"
        _say(f"sent {counts} from {decoder.bytes:,} bytes ({decoder.time:.1f} s) to the outlets; {lost}"
             " (what subscribers missed, only they can tell)")
    _report_live(args, reader, capture)
    return 0


# ---------------------------------------------------------------- record

# How long a recording waits for its engine to subscribe to the headset's
# outlets before it starts reading the port.
SUBSCRIBE_SECONDS = 10.0


def bytes_name(output: str) -> str:
    """Where ``record`` keeps the bytes of SESSION.xdf: SESSION.bin."""
    base, extension = os.path.splitext(output)
    return (base if extension.lower() == ".xdf" else output) + ".bin"


def cmd_record(args: argparse.Namespace) -> int:
    from . import xdf_record
    from .capture_timing import SUFFIX

    if bool(args.port) == bool(args.lsl):
        raise QuillmoreError("give either --port DEVICE (the headset) or --lsl QUERY (its streams on the network)",
                             status=2)
    if args.lsl:
        for option in ("reconnect", "no_bytes", "source_id"):
            if getattr(args, option):
                raise QuillmoreError(f"--{option.replace('_', '-')} applies to --port only", status=2)
    # Nothing is written over: the XDF file, the bytes and their timing.
    keep = None if args.lsl or args.no_bytes else bytes_name(args.output)
    for name in (args.output, *((keep, keep + SUFFIX) if keep else ())):
        if os.path.lexists(name):
            what = "it is a directory" if os.path.isdir(name) else "record never writes over a file"
            hint = "; choose another name" + ("" if name == args.output else " (or --no-bytes)")
            raise QuillmoreError(f"{name} exists: {what}{hint}")
    pylsl = lsl.require_pylsl()
    labrecorder = xdf_record.require_labrecorder()
    say = _nothing_said if args.quiet else _say
    watched = [query for query in args.also]
    extra: list[Any] = []
    for query in args.also:
        found = xdf_record.resolve(pylsl, query.predicate)
        if found:
            extra += found
            watched.remove(query)
    if args.lsl:
        return _record_network(args, pylsl, labrecorder, extra, watched, say)
    return _record_port(args, pylsl, labrecorder, keep, extra, watched, say)


def _also_said(extra: list[Any], watched: list[options.Query]) -> str:
    parts = [f"{info.name()!r} ({info.type()})" for info in extra]
    parts += [f"whatever {query.text} finds when it appears" for query in watched]
    return f" with {', '.join(parts)}" if parts else ""


def _record_port(args: argparse.Namespace, pylsl: Any, labrecorder: Any, keep: str | None, extra: list[Any],
                 watched: list[options.Query], say: Any) -> int:
    from . import xdf_record

    reader = PortReader(args.port, args.baud, args.duration, args.reconnect, say)
    try:
        capture = Capture(keep) if keep else None
    except BaseException:
        reader.close()
        raise
    source = port_source(reader)
    _keep_bytes(source, reader, capture)
    try:
        origin = str(args.source_id) if args.source_id else os.path.abspath(str(args.port))
        outlets = lsl.Outlets(args.name, origin, source.name, f"{PROG} {__version__}", args.raw_units,
                              args.volts_per_count)
        try:
            uids = outlets.uids()
            own = xdf_record.find_own(pylsl, {kind: lsl.source_id(origin, kind) for kind in uids}, uids)
            known = {info.uid() for info in own}
            extra = [info for info in extra if info.uid() not in known]
            recording = xdf_record.XdfRecording(labrecorder, args.output, own + extra,
                                                [query.predicate for query in watched], args.quiet)
            try:
                # The port is read once the engine takes every outlet: the
                # file then holds the session from its first byte.
                deadline = time.monotonic() + SUBSCRIBE_SECONDS
                while not outlets.consumers(every=True):
                    if time.monotonic() > deadline:
                        raise QuillmoreError(f"the recording engine did not subscribe to the headset's outlets"
                                             f" within {SUBSCRIBE_SECONDS:g} s")
                    time.sleep(0.02)
                say(f"recording {args.port} to {args.output}{_also_said(extra, watched)}; Ctrl-C to stop")
                sink = OutletSink(outlets, pylsl.local_clock, own_clock=False, arrival=_arrival_of(capture))
                decoder, stopped = run(source, sink)
            finally:
                recording.close()
        finally:
            outlets.close()
    finally:
        _close_inputs(None, reader, capture)
    _require_frames(decoder, source)
    if stopped and stopped != "stopped":
        _say(stopped)
    if not args.quiet:
        counts = ", ".join(f"{n} {kind}" for kind, n in decoder.counts.items())
        _say(f"recorded {counts} ({decoder.time:.1f} s; {decoder.loss.summary()}) to {args.output}")
    _report_live(args, reader, capture)
    return 0


def _record_network(args: argparse.Namespace, pylsl: Any, labrecorder: Any, extra: list[Any],
                    watched: list[options.Query], say: Any) -> int:
    from . import xdf_record

    streams = xdf_record.resolve(pylsl, args.lsl.predicate, 5.0)
    if not streams:
        raise QuillmoreError(f"no stream matches --lsl {args.lsl.text} on the network (looked for 5 s)")
    known = {info.uid() for info in streams}
    streams += [info for info in extra if info.uid() not in known]
    recording = xdf_record.XdfRecording(labrecorder, args.output, streams, [query.predicate for query in watched],
                                        args.quiet)
    stopped = "the duration ended"
    try:
        names = ", ".join(f"{info.name()!r}" for info in streams)
        say(f"recording {names} to {args.output}{_also_said([], watched)}; Ctrl-C to stop")
        deadline = None if args.duration is None else time.monotonic() + args.duration
        try:
            while deadline is None or time.monotonic() < deadline:
                time.sleep(0.1 if deadline is None else max(0.0, min(0.1, deadline - time.monotonic())))
        except KeyboardInterrupt:
            stopped = "stopped"
    finally:
        recording.close()
    say(f"{stopped}; wrote {args.output}")
    return 0

# ---------------------------------------------------------------- view

# A recording is replayed to the view in pieces of about 1/32 s of the
# headset's bytes (times the speed), so the trace moves smoothly.
VIEW_PIECE = 128


def cmd_view(args: argparse.Namespace) -> int:
    from . import view, view_state

    view.require_bokeh()
    view_state.require_scipy()
    if args.lsl is not None:
        for option, given in (("FILE", args.input), ("--sample", args.sample), ("--port", args.port),
                              ("--save-bytes", args.save_bytes)):
            if given:
                raise QuillmoreError(f"give either {option} or --lsl, not both", status=2)
    if args.speed != 1.0 and (args.port or args.lsl is not None or not args.input or args.input == "-"):
        if not args.sample:
            raise QuillmoreError("--speed applies to a recording (FILE or --sample) only", status=2)
    host = args.host or "127.0.0.1"
    if args.lsl is not None:
        return _view_lsl(args, host)
    source, reader, capture, stream = _live_or_recorded(args)
    try:
        board = view_state.Board(source.name, band=args.band_pass, capture=capture)
        server = _view_server(args, host, board, source.name)
        try:
            return _view(args, source, board)
        except KeyboardInterrupt:
            if not args.quiet:
                _say("stopped")
            return 0
        finally:
            server.stop()
    finally:
        _close_inputs(stream, reader, capture)


def _view_server(args: argparse.Namespace, host: str, board: Any, name: str) -> Any:
    from . import view

    if args.host and host not in ("127.0.0.1", "localhost", "::1"):
        _say(f"warning: serving on {host}: anyone on the network who can reach it can watch this session")
    server = view.ViewServer(board, host, args.http_port, name, args.notch)
    server.start()
    print(server.url, flush=True)
    if not args.quiet:
        _say(f"viewing {name} at {server.url}; Ctrl-C to stop")
    if not args.no_browser:
        import webbrowser

        webbrowser.open(server.url)
    return server


def _view(args: argparse.Namespace, source: Source, board: Any) -> int:
    # A recording (a regular file, the sample) is replayed at the headset's
    # pace times --speed; a port and standard input are shown as they come.
    paced = not source.live and source.path is not None
    pace = Pace(args.speed) if paced else None
    if paced:
        source.chunks = pieces(source.chunks, VIEW_PIECE * max(1, round(args.speed)))
    sink = ViewSink(board, args.volts_per_count)
    source.chunks = sink.arrivals(source.chunks)
    decoder, stopped = run(source, sink, after_chunk=pace)
    board.finish()
    _require_frames(decoder, source)
    if stopped == "stopped":   # Ctrl-C on a port
        if not args.quiet:
            _say(decoder.summary())
        return 0
    if not args.quiet:
        _say(f"{stopped + '; ' if stopped else 'the end of the input; '}{decoder.summary()};"
             " the page keeps showing it, Ctrl-C to stop")
    while True:
        time.sleep(3600)


def _view_lsl(args: argparse.Namespace, host: str) -> int:
    import numpy as np

    from . import view_state

    pylsl = lsl.require_pylsl()
    info = lsl.resolve(pylsl, args.lsl, timeout=10.0)
    rate = info.nominal_srate()
    if not rate > 0:
        raise QuillmoreError(f"the LSL stream {info.name()!r} has no regular rate: it has no trace to view")
    # Time stamps smoothed by LSL itself (a sender's stamps carry the
    # jitter of its reads), and a stretch without samples counted as a gap
    # only past 0.1 s.
    inlet = pylsl.StreamInlet(info, max_buflen=LSL_BUFFER_SECONDS,
                              processing_flags=pylsl.proc_dejitter | pylsl.proc_monotonize)
    # A resolved stream's info has no description: the inlet's has.
    scale, unit = lsl.microvolts_per_unit(inlet.info(timeout=10.0), args.volts_per_count)
    if unit is None and not args.quiet:
        _say(f"the LSL stream {info.name()!r} names no unit for its first channel: taken as microvolts")
    name = f"LSL stream {info.name()!r} ({info.type()}, {rate:g} Hz)"
    board = view_state.Board(name, rate, args.band_pass, derived_bands=True, gap=max(1.5 / rate, 0.1))
    board.status.loss_known = False
    try:
        server = _view_server(args, host, board, name)
    except BaseException:
        inlet.close_stream()
        raise
    try:
        first = None
        recent = np.zeros(0)
        next_row = 0.0
        while True:
            chunk, stamps = inlet.pull_chunk(timeout=0.2)
            if not stamps:
                continue
            arrival = time.time()
            values = np.asarray(chunk, np.float64)[:, 0] * scale
            if first is None:
                first = stamps[0]
            times = np.asarray(stamps) - first
            board.add_samples(times, values, arrival)
            # The band powers of the last two seconds, once a second of
            # stream time.
            recent = np.concatenate([recent, values])[-int(2 * rate):]
            if times[-1] >= next_row and len(recent) >= rate:
                powers = view_state.band_powers(recent, rate)
                board.add_rows([float(times[-1])], [float("nan")], [float("nan")], [powers])
                next_row = float(times[-1]) + 1.0
    except KeyboardInterrupt:
        if not args.quiet:
            _say("stopped")
        return 0
    finally:
        inlet.close_stream()
        server.stop()


LSL_BUFFER_SECONDS = 30


# ---------------------------------------------------------------- ports

def cmd_ports(args: argparse.Namespace) -> int:
    """``quillmore ports``: the serial ports, the headset's likely ones
    marked.  Returns the exit status."""
    from . import ports

    found = ports.list_ports()
    if not found:
        _say("no serial ports found (is the headset paired, or its adapter plugged in?)")
        return 0
    width = max(len(port.device) for port in found)
    for port in found:
        mark = "*" if port.likely else " "
        print(f"{mark} {port.device:<{width}}  {port.description}  {port.hardware}".rstrip())
    if any(port.likely for port in found):
        print("* looks like the headset's link (a USB serial adapter or Bluetooth serial port)")
    return 0


# ---------------------------------------------------------------- plot

def cmd_plot(args: argparse.Namespace) -> int:
    """``quillmore plot``: a recording drawn into a PNG.  Returns the exit
    status."""
    from . import plot
    from .recording import Decoder

    if args.start is not None and args.end is not None and args.start >= args.end:
        raise QuillmoreError(f"--start ({args.start:g} s) must come before --end ({args.end:g} s)", status=2)
    plot.require_matplotlib()
    source, stream = _open_source(args)
    # The picture is gathered as the input streams by: memory does not grow with its length.
    envelope = plot.Envelope(plot.columns(args.dpi), args.start, args.end)
    decoder = Decoder()
    try:
        for chunk in plot.gathered(source.chunks):
            envelope.add(decoder.feed(chunk))
        envelope.add(decoder.finish())
    finally:
        if stream is not None:
            stream.close()
    if envelope.frames == 0:
        raise QuillmoreError(f"no frames found in {source.name} ({decoder.bytes_fed:,} bytes): "
                             "not a recording of the headset's stream")
    length = envelope.duration
    if args.start is not None and args.start >= length:
        raise QuillmoreError(f"--start {args.start:g} s is past the end of {source.name} ({length:.1f} s)")
    if args.input is None or args.input == "-":
        name = "sample" if source.path is not None else "stdin"
    else:
        name = Path(args.input).stem
    output = args.output or f"{name}.png"
    title = f"{source.name}: {length:.1f} s, " + ", ".join(f"{n} {kind}" for kind, n in envelope.counts.items())
    plot.draw(envelope, output, title, args.dpi, args.volts_per_count)
    _say(f"wrote {output}")
    return 0


# ---------------------------------------------------------------- bids

def cmd_bids(args: argparse.Namespace) -> int:
    from . import bids_export

    if args.line_freq is None:
        raise QuillmoreError("--line-freq is required: the power-line frequency where the recordings were made,"
                             " 50 or 60 (Hz); BIDS needs it and the recordings cannot tell it", status=2)
    seen: dict[str, str] = {}
    for path in args.input:
        if not os.path.isfile(path):
            raise QuillmoreError(f"cannot read {path}: " + ("it is not a file" if os.path.exists(path)
                                                             else "No such file or directory"))
        if (same := os.path.realpath(path)) in seen:
            raise QuillmoreError(f"{path} is given twice (as {seen[same]} too): each RECORDING is one run", status=2)
        seen[same] = path
    try:
        targets = bids_export.assign(len(args.input), args.subject, args.task, args.sessions, args.runs)
    except ValueError as error:
        raise QuillmoreError(str(error), status=2) from None
    say = _nothing_said if args.quiet else _say
    bids_export.write_study(args.input, args.root, targets, args.line_freq, args.format, args.volts_per_count, say)
    n = len(args.input)
    say(f"wrote {n} run{'' if n == 1 else 's'} of sub-{args.subject} task-{args.task} into {args.root}")
    return 0


# ---------------------------------------------------------------- main

def _terminate(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the tool with ``argv`` (default: the process's arguments) and
    returns its exit status: errors are one line on standard error, never a
    traceback."""
    if sys.platform == "linux" and "pyarrow" not in sys.modules:
        # pyarrow's default allocator keeps more of what it freed than
        # jemalloc, which its Linux wheels carry: a long recording written
        # to Parquet peaks 20% lower with it.
        os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "jemalloc")
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
