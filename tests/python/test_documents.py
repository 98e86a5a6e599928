"""The worked stream examples of tests/cases, run through the Python module.

Each case is fed whole, split in two at every point, as a list of ints, as a
generator and one byte per call; the log and the final state and offset must
be what the document states, however the input arrives."""
import functools

import pytest

from support import OFFSET, PAYLOAD, STATE, CallbackFailure, Recorder, final_log, load_cases

CASES = load_cases()


def set_up(parser, case):
    """A document's host set-up: a zeroed buffer of the instance's own (so
    that no earlier case's bytes are in it), then state and offset."""
    if case.setup:
        setattr(parser, PAYLOAD, bytearray(1024))
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
