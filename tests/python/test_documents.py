"""The worked stream examples of tests/cases, run through the Python module
and the array path.

Each case is fed whole, split in two at every point, as a list of ints, as a
generator and one byte per call; the log and the final state and offset must
be what the document states, however the input arrives.  A case without
directives is also fed a byte at a time in turn with another such case, and
its rows and losses, where it states them, are checked through
quillmore.Decoder, whole and split at every point.  The module has no pause:
a case with "@ pause" is skipped."""
import functools

import pytest

import quillmore
from quillmore.recording import TEMPERATURE_STATUS, concatenate
from support import OFFSET, PAYLOAD, STATE, CallbackFailure, Recorder, final_log, load_cases

CASES = load_cases()
PLAIN = [c for c in CASES if c.plain]


def set_up(parser, case):
    """A document's host set-up: a zeroed buffer of the instance's own (so
    that no earlier case's bytes are in it) holding the bytes the host put
    there, then state and offset."""
    if case.pause:
        pytest.skip("the module has no pause")
    if case.setup or case.payload:
        setattr(parser, PAYLOAD, bytearray(1024))
    for index, data in case.payload:
        getattr(parser, PAYLOAD)[index:index + len(data)] = data
    if "state" in case.setup:
        setattr(parser, STATE, case.setup["state"])
    if "offset" in case.setup:
        setattr(parser, OFFSET, case.setup["offset"])


@functools.lru_cache(maxsize=None)
def failing_byte(case_id):
    """Where a failing callback stops the stream: found one byte per call."""
    case = next(c for c in CASES if c.id == case_id)
    recorder = Recorder(case.fail)
    parser = recorder.parser()
    set_up(parser, case)
    for i in range(len(case.data)):
        try:
            parser.parse(case.data[i:i + 1])
        except CallbackFailure:
            return i
    return None


def run(chunks, case=None, convert=bytes):
    """Feeds `chunks` (bytes); with a case's failing callback, the rest of the
    chunk after the byte at which the call stopped is fed again."""
    recorder = Recorder(case.fail if case else None)
    parser = recorder.parser()
    if case:
        set_up(parser, case)
    start = 0
    for chunk in chunks:
        try:
            parser.parse(convert(chunk))
        except CallbackFailure:
            recorder.log.append("failed")
            stop = failing_byte(case.id)
            assert start <= stop < start + len(chunk), (start, stop, len(chunk))
            parser.parse(convert(chunk[stop + 1 - start:]))
        start += len(chunk)
    return final_log(recorder, parser)


def describe(case, how):
    return f"{case.file}:{case.line} {case.title} ({how})"


@pytest.fixture(params=CASES, ids=[c.id for c in CASES])
def case(request):
    return request.param


def test_documents_load():
    assert len(CASES) >= 90
    assert len({c.id for c in CASES}) == len(CASES), "duplicate case titles"
    for c in CASES:
        assert c.expected and c.expected[-1].startswith("state "), describe(c, "no state line")


def test_whole(case):
    assert run([case.data], case) == case.expected, describe(case, "whole")


def test_split_in_two_at_every_point(case):
    for cut in range(len(case.data) + 1):
        assert run([case.data[:cut], case.data[cut:]], case) == case.expected, describe(case, f"split at {cut}")


def test_list_of_ints(case):
    assert run([case.data], case, list) == case.expected, describe(case, "list")


def test_generator(case):
    assert run([case.data], case, lambda chunk: (b for b in chunk)) == case.expected, describe(case, "generator")


def test_one_byte_per_call(case):
    chunks = [case.data[i:i + 1] for i in range(len(case.data))]
    assert run(chunks, case) == case.expected, describe(case, "bytewise")


def test_one_int_per_call(case):
    chunks = [case.data[i:i + 1] for i in range(len(case.data))]
    assert run(chunks, case, list) == case.expected, describe(case, "one-element lists")


def test_fed_in_turn_with_another_case(case):
    """Two parsers fed a byte each in turn decode what each would alone: this
    case and the next case without directives."""
    if not case.plain:
        pytest.skip("directives")
    other = PLAIN[(PLAIN.index(case) + 1) % len(PLAIN)]
    recorders = Recorder(), Recorder()
    parsers = [r.parser() for r in recorders]
    for i in range(max(len(case.data), len(other.data))):
        for parser, data in zip(parsers, (case.data, other.data)):
            parser.parse(data[i:i + 1])
    assert final_log(recorders[0], parsers[0]) == case.expected, describe(case, "in turn")
    assert final_log(recorders[1], parsers[1]) == other.expected, describe(other, "beside " + case.title)


LOSS_NAMES = ("standard_checksum_failures", "raw_checksum_failures", "hrv_checksum_failures", "bytes_skipped",
              "extended_dropped", "extended_abandoned", "frames_cut_short")


def loss_line(loss):
    counts = (loss.checksum_failures["eeg"], loss.checksum_failures["raw"], loss.checksum_failures["rr"],
              loss.bytes_skipped, loss.extended_dropped, loss.extended_abandoned, loss.frames_cut_short)
    return " ".join(["loss"] + [f"{name} {count}" for name, count in zip(LOSS_NAMES, counts) if count])


def row_lines(recording):
    lines = []
    for kind in ("eeg", "extend", "gyro", "rr"):
        for row in recording.rows(kind):
            line = f"row {kind} sample {int(row['sample'])} time {float(row['time'])!r}"
            if kind == "extend":
                line += (f" temperature {float(row['temperature'])!r}"
                         f" temperature_status {TEMPERATURE_STATUS[row['temperature_status']]}")
            if kind in ("extend", "gyro"):
                line += f" damaged {int(row['damaged'])}"
            lines.append(line)
    return lines


def test_rows_and_loss_through_the_array_path(case):
    if not case.plain or not (case.rows or case.loss is not None):
        pytest.skip("no rows or losses stated, or directives")
    expected = case.rows + ([case.loss] if case.loss is not None else [])
    for cut in range(len(case.data) + 1):
        decoder = quillmore.Decoder()
        recording = concatenate([decoder.feed(case.data[:cut]), decoder.feed(case.data[cut:]), decoder.finish()])
        got = (row_lines(recording) if case.rows else []) + ([loss_line(decoder.loss)] if case.loss is not None else [])
        assert got == expected, describe(case, f"array path, split at {cut}")
