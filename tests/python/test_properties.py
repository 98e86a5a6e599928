"""Properties of the module against the plain Python decoder of
bench/pure_python_parser.py, the reference for callback logs.  However a
stream is cut, whatever types carry it and whatever a host does inside its
callbacks, the module must deliver what that decoder delivers, with the
parser showing the same state at each delivery, raise what it raises and be
left as it is left."""
import gc
import pathlib
import sys
import weakref
from array import array

import pytest
from hypothesis import given, settings, strategies as st

from support import (CALLBACK_KEYWORDS, DATA_FIELDS, EXTEND_FIELDS, OFFSET, PAYLOAD, STATE, QuillmoreParser, fmt,
                     state_line, streams)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from pure_python_parser import PurePythonParser  # noqa: E402


class Model(PurePythonParser):
    """The plain decoder, with its attributes also under the module's names."""


def _alias(name):
    return property(lambda self: getattr(self, name), lambda self, value: setattr(self, name, value))


for _ours, _theirs in [(STATE, "state"), (OFFSET, "byteOffset"), (PAYLOAD, "payload"),
                       *((f"_QuillmoreParser__{k}", k) for k in CALLBACK_KEYWORDS)]:
    setattr(Model, _ours, _alias(_theirs))


def describe(args):
    if len(args) == 1 and not isinstance(args[0], int):
        record = args[0]
        fields = EXTEND_FIELDS if type(record).__name__ == "QuillmoreExtendData" else DATA_FIELDS
        return " ".join(f"{name}={fmt(getattr(record, name))}" for name in fields)
    return " ".join(map(fmt, args))


class Failure(Exception):
    pass


class Host:
    """Callbacks that log each delivery with the state the parser shows at that
    moment, and misbehave at the deliveries that the plan names."""

    def __init__(self, cls, plan=None):
        self.plan = plan or {}
        self.log = []
        self.deliveries = 0
        self.chunk = None
        self.parser = cls(**{keyword: self.callback(keyword) for keyword in CALLBACK_KEYWORDS})
        self.ref = weakref.ref(self.parser)

    def callback(self, keyword, tag=""):
        def deliver(*args):
            self.deliveries += 1
            parser = self.ref()
            self.log.append(f"{keyword}{tag} {describe(args)} | {state_line(parser)}")
            action = self.plan.get(self.deliveries)
            if action:
                self.misbehave(parser, *action)
        return deliver

    def misbehave(self, parser, what, *args):
        if what == "raise":
            raise Failure(self.deliveries)
        if what == "reenter":
            parser.parse(args[0])
        elif what in ("state", "offset"):
            setattr(parser, STATE if what == "state" else OFFSET, args[0])
        elif what == "payload":
            setattr(parser, PAYLOAD, bytearray(args[0]))
        elif what == "resize":
            payload = getattr(parser, PAYLOAD)
            payload[args[0]:] = bytes(max(0, args[0] - len(payload)))
        elif what == "swap":
            keyword, to = args
            new = {"none": None, "other": self.callback(keyword, "'"), "back": self.callback(keyword)}[to]
            setattr(parser, f"_QuillmoreParser__{keyword}", new)
        elif what == "drop":
            self.parser = None
        elif what == "input" and isinstance(self.chunk, (list, bytearray)):
            self.chunk[args[0]:] = args[1]  # grows, shrinks or rewrites the chunk being parsed


def run(cls, pieces, plan=None):
    """Feeds each (chunk type, bytes) to its own parse call; an exception ends
    that call only.  Returns the deliveries and errors in order, then the
    parser's final state, offset and payload."""
    host = Host(cls, plan)
    for make, piece in pieces:
        if host.parser is None:
            break
        host.chunk = make(piece)
        try:
            host.parser.parse(host.chunk)
        except Exception as error:  # noqa: BLE001 - compared with the model's
            host.log.append(f"{type(error).__name__}: {error}")
    if host.parser is None:
        gc.collect()
        host.log.append(f"collected: {host.ref() is None}")
    else:
        host.log += [state_line(host.parser), bytes(getattr(host.parser, PAYLOAD)).hex()]
    return host.log


CHUNK_TYPES = {
    "bytes": bytes, "bytearray": bytearray, "memoryview": memoryview, "array": lambda c: array("B", c),
    "memoryview_slice": lambda c: memoryview(b"\xaa" + c + b"\xaa")[1:-1], "list": list, "tuple": tuple,
    "generator": lambda c: (b for b in c),
}


def split(data, cuts, kinds):
    bounds = [0, *sorted(c % (len(data) + 1) for c in cuts), len(data)]
    return [(CHUNK_TYPES[kinds[k % len(kinds)]], data[a:b]) for k, (a, b) in enumerate(zip(bounds, bounds[1:]))]


cuts_st = st.lists(st.integers(0, 1000), max_size=8)
kinds_st = st.lists(st.sampled_from(sorted(CHUNK_TYPES)), min_size=1, max_size=9)


# ---------------------------------------------------------------- input

@settings(max_examples=3 * settings.default.max_examples)
@given(data=st.one_of(streams(12), st.binary(max_size=120)), cuts=cuts_st, kinds=kinds_st)
def test_any_split_and_chunk_types_give_the_plain_decoders_results(data, cuts, kinds):
    expected = run(Model, [(bytes, data)])
    assert run(QuillmoreParser, [(bytes, data)]) == expected
    assert run(QuillmoreParser, split(data, cuts, kinds)) == expected


ALIASES = [256, -256, 256 * 1000, 2 ** 70, -(2 ** 70)]


@given(data=streams(10), cuts=cuts_st, aliased=st.dictionaries(st.integers(0, 400), st.sampled_from(ALIASES),
                                                               max_size=3))
def test_ints_are_compared_by_their_low_byte_and_stored_only_as_bytes(data, cuts, aliased):
    # Elements other than 0..255 with the same low byte: where the machine
    # only compares them they act as that byte, where it stores them they
    # raise ValueError and the call stops there.
    values = list(data)
    for index, shift in aliased.items():
        if index < len(values):
            values[index] += shift
    pieces = split(values, cuts, ["list"])
    got = run(QuillmoreParser, pieces)
    assert got == run(Model, pieces)
    if values == list(data):
        assert got == run(QuillmoreParser, [(bytes, bytes(piece)) for _, piece in pieces])


# ---------------------------------------------------------------- failing deliveries

# The state that a failing delivery leaves, by callback.
STATE_AFTER_FAILURE = {"raw_callback": 1, "gyro_callback": 1, "rr_callback": 1, "eeg_callback": 5,
                       "extend_eeg_callback": 8}


@given(data=streams(12, min_frames=2), k=st.integers(1, 6), kind=st.sampled_from(sorted(CHUNK_TYPES)))
def test_failing_delivery_stops_at_its_byte_and_the_rest_resumes(data, k, kind):
    plan = {k: ("raise",)}
    model = Host(Model, plan)
    position = None
    for position in range(len(data)):  # byte by byte, to learn where it fails
        try:
            model.parser.parse(data[position:position + 1])
        except Failure:
            break
    else:
        position = None
    host = Host(QuillmoreParser, plan)
    make = CHUNK_TYPES[kind]
    if position is None:
        host.parser.parse(make(data))
    else:
        with pytest.raises(Failure):
            host.parser.parse(make(data))
        assert host.log == model.log
        assert state_line(host.parser) == state_line(model.parser)
        assert getattr(host.parser, STATE) == STATE_AFTER_FAILURE[host.log[-1].split()[0]]
        host.parser.parse(make(data[position + 1:]))
        model.parser.parse(data[position + 1:])
    assert host.log == model.log
    assert state_line(host.parser) == state_line(model.parser)
    assert getattr(host.parser, PAYLOAD) == getattr(model.parser, PAYLOAD)


# ---------------------------------------------------------------- hosts that misbehave

PAYLOAD_SIZES = st.sampled_from([18, 40, 1024, 1100])  # 18 and up: every decoder's reads fail alike
ACTIONS = st.one_of(
    st.just(("raise",)),
    st.tuples(st.just("reenter"), st.one_of(streams(2), st.binary(max_size=8))),
    st.tuples(st.just("state"), st.integers(0, 12)),
    st.tuples(st.just("offset"), st.one_of(st.integers(-40, 1100), st.sampled_from([2 ** 62, 2 ** 64, -(2 ** 64)]))),
    st.tuples(st.just("payload"), PAYLOAD_SIZES),
    st.tuples(st.just("resize"), PAYLOAD_SIZES),
    st.tuples(st.just("swap"), st.sampled_from(CALLBACK_KEYWORDS), st.sampled_from(["none", "other", "back"])),
    st.just(("drop",)),
    st.tuples(st.just("input"), st.integers(0, 60), st.one_of(streams(2), st.binary(max_size=12))),
)


@given(data=streams(12, min_frames=4), cuts=cuts_st, kinds=kinds_st,
       plan=st.dictionaries(st.integers(1, 6), ACTIONS, min_size=1, max_size=4))
def test_misbehaving_host_meets_the_plain_decoders_behaviour(data, cuts, kinds, plan):
    # Raising, re-entering parse, replacing or resizing the payload,
    # assigning state and offset, swapping callbacks, changing the chunk
    # being parsed and dropping the last reference to the parser, at any
    # delivery: never a crash, and every delivery, error and state as the
    # plain decoder has them.
    pieces = split(data, cuts, kinds)
    assert run(QuillmoreParser, pieces, plan) == run(Model, pieces, plan)
