"""The worked stream examples of tests/cases, run through the Python module.

Each case is fed whole, split in two at every point, as a list of ints, as a
generator and one byte per call; the log and the final state and offset must
be what the document states, however the input arrives."""
import pytest

from support import Recorder, final_log, load_cases

CASES = load_cases()


def run(chunks):
    recorder = Recorder()
    parser = recorder.parser()
    for chunk in chunks:
        parser.parse(chunk)
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
    assert run([case.data]) == case.expected, describe(case, "whole")


def test_split_in_two_at_every_point(case):
    for cut in range(len(case.data) + 1):
        assert run([case.data[:cut], case.data[cut:]]) == case.expected, describe(case, f"split at {cut}")


def test_list_of_ints(case):
    assert run([list(case.data)]) == case.expected, describe(case, "list")


def test_generator(case):
    assert run([(b for b in case.data)]) == case.expected, describe(case, "generator")


def test_one_byte_per_call(case):
    assert run([case.data[i:i + 1] for i in range(len(case.data))]) == case.expected, describe(case, "bytewise")


def test_one_int_per_call(case):
    assert run([[b] for b in case.data]) == case.expected, describe(case, "one-element lists")
