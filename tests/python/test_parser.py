"""The parser at the Python surface: where state, offset, payload and
callbacks live, how deliveries read them, how records are made, what a
failure leaves behind and which inputs parse accepts."""
import builtins
import contextlib
from array import array

import pytest

from support import (DATA_FIELDS, EXTEND_BODY, EXTEND_FIELDS, EXTEND_LOG, MIXED, MIXED_LOG, OFFSET, PAYLOAD,
                     SIGNAL_LOG, STATE, QuillmoreData, QuillmoreExtendData, QuillmoreParser, Recorder, extended,
                     gyro_frame, hrv_frame, module, raw_frame, standard, state_line)

RAW_CB = "_QuillmoreParser__raw_callback"

# One frame for each callback, leaving the machine ready for the next frame
# (an extended frame ends on AA AA; the 00 after it is a bad length byte).
ONE_FRAME = {
    "raw_callback": raw_frame(0, 1),
    "gyro_callback": gyro_frame(1, 2, 3),
    "rr_callback": hrv_frame(1, 2, 3),
    "eeg_callback": standard(),
    "extend_eeg_callback": extended() + b"\x00",
}
KINDS = list(ONE_FRAME)


@contextlib.contextmanager
def module_namespace_restored():
    """Undoes any change to the module namespace, keeping its order."""
    ns = vars(module)
    saved = list(ns.items())
    try:
        yield ns
    finally:
        ns.clear()
        ns.update(saved)


# ---------------------------------------------------------------- state and offset

def test_state_and_offset_come_from_the_class_until_assigned():
    parser = QuillmoreParser()
    parser.parse(b"")
    parser.parse(b"\x00\x55\x06")  # hunting bytes that leave state 1 assign nothing
    assert STATE not in vars(parser) and OFFSET not in vars(parser)
    assert (getattr(parser, STATE), getattr(parser, OFFSET)) == (1, 0)

    class WaitingForLength(QuillmoreParser):
        _QuillmoreParser__state = 3

    rec = Recorder()
    parser = rec.parser(WaitingForLength)
    parser.parse(raw_frame(0x12, 0x34)[2:])
    assert rec.log == ["raw 4660"] and vars(parser)[STATE] == 1


@pytest.mark.parametrize("frame, log", [(standard(), SIGNAL_LOG), (raw_frame(0x12, 0x34), "raw 4660"),
                                        (gyro_frame(1, 2, 3), "gyro 1 2 3")], ids=["standard", "raw", "gyro"])
def test_length_byte_makes_the_offset_the_instances_own(frame, log):
    # The length byte sets the offset to 0, which is an assignment on the
    # instance even though the class default is 0 too: a later change of the
    # class value no longer reaches this parser.
    class Parser(QuillmoreParser):
        pass

    rec = Recorder()
    parser = rec.parser(Parser)
    parser.parse(frame[:3])
    Parser._QuillmoreParser__byteOffset = 2
    parser.parse(frame[3:])
    assert rec.log == [log]
    assert vars(parser).get(OFFSET, "absent") == len(frame) - 3


def test_state_assigned_back_to_the_class_value_is_the_instances_own():
    # AA then 55 assigns state 2 and then state 1 on the instance.
    class Parser(QuillmoreParser):
        pass

    rec = Recorder()
    parser = rec.parser(Parser)
    parser.parse(b"\xaa\x55")
    Parser._QuillmoreParser__state = 3
    parser.parse(raw_frame(0, 5))
    assert rec.log == ["raw 5"] and vars(parser).get(STATE, "absent") == 1

    parser = QuillmoreParser()
    setattr(parser, STATE, True)  # compares equal to 1
    parser.parse(b"\xaa\x55")
    assert type(vars(parser)[STATE]) is int


def test_new_parser_starts_fresh_while_another_is_mid_frame():
    busy = QuillmoreParser()
    busy.parse(standard()[:20])
    fresh = QuillmoreParser()
    assert state_line(fresh) == "state 1 offset 0"
    assert state_line(busy) == "state 4 offset 17"


@pytest.mark.parametrize("keyword, state, offset", [
    ("raw_callback", 1, 5), ("gyro_callback", 1, 8), ("rr_callback", 1, 13),
    ("eeg_callback", 5, 33), ("extend_eeg_callback", 8, 12)])
def test_callbacks_see_the_state_of_their_delivery(keyword, state, offset):
    seen = []
    parser = QuillmoreParser(**{keyword: lambda *args: seen.append(state_line(parser))})
    parser.parse(ONE_FRAME[keyword])
    assert seen == [f"state {state} offset {offset}"]


# ---------------------------------------------------------------- callbacks

@pytest.mark.parametrize("keyword", KINDS)
def test_callback_is_read_at_each_delivery(keyword):
    calls = []
    name = "_QuillmoreParser__" + keyword

    def first(*args):
        calls.append("first")
        setattr(parser, name, second)

    def second(*args):
        calls.append("second")
        setattr(parser, name, None)

    parser = QuillmoreParser(**{keyword: first})
    parser.parse(ONE_FRAME[keyword] * 3)
    assert calls == ["first", "second"]


# Every route by which host code can store an attribute of the instance; some
# interpreter versions keep the attributes inside the object and update its
# dict by other paths than a dict store.
ASSIGN = {
    "setattr": setattr,
    "object.__setattr__": object.__setattr__,
    "vars item": lambda parser, name, value: vars(parser).__setitem__(name, value),
    "vars update": lambda parser, name, value: vars(parser).update({name: value}),
}


@pytest.mark.parametrize("route", ASSIGN)
def test_state_assigned_by_a_record_callback_is_followed(route):
    log = []

    def eeg(record):
        log.append("eeg")
        ASSIGN[route](parser, STATE, 1)  # hunting again: the extended body that follows is noise

    parser = QuillmoreParser(eeg_callback=eeg, extend_eeg_callback=lambda record: log.append("extend"),
                             raw_callback=lambda raw: log.append(raw))
    parser.parse(extended() + raw_frame(0, 1)[2:])
    assert log == ["eeg", 1]


@pytest.mark.parametrize("keyword", KINDS)
def test_true_non_callable_fails_at_first_delivery(keyword):
    parser = QuillmoreParser(**{keyword: 5})  # accepted by the constructor
    with pytest.raises(TypeError, match="'int' object is not callable"):
        parser.parse(ONE_FRAME[keyword])


class Falsy:
    calls = 0

    def __bool__(self):
        return False

    def __call__(self, *args):
        Falsy.calls += 1


@pytest.mark.parametrize("falsy", [None, 0, "", [], Falsy()], ids=repr)
def test_false_callbacks_are_not_called(falsy):
    parser = QuillmoreParser(*[falsy] * 5)
    parser.parse(b"".join(ONE_FRAME.values()))
    assert Falsy.calls == 0
    assert state_line(parser) == "state 1 offset 12"


def test_truth_is_tested_once_per_delivery():
    class Flicker:
        tests = 0

        def __bool__(self):
            Flicker.tests += 1
            return Flicker.tests % 2 == 1

        def __call__(self, raw):
            calls.append(raw)

    calls = []
    parser = QuillmoreParser(raw_callback=Flicker())
    parser.parse(b"".join(raw_frame(0, k) for k in range(5)))
    assert Flicker.tests == 5 and calls == [0, 2, 4]


@pytest.mark.parametrize("kind", ["function", "bound method", "callable object", "partial"])
def test_every_kind_of_callable_receives_the_same_values(kind):
    import functools

    class Sink:
        def __init__(self):
            self.log = []

        def take(self, *values):
            self.log.append(values)

        __call__ = take

    sink = Sink()
    callback = {"function": lambda *values: sink.log.append(values), "bound method": sink.take,
                "callable object": sink, "partial": functools.partial(Sink.take, sink)}[kind]
    parser = QuillmoreParser(*[callback] * 5)
    parser.parse(b"".join(ONE_FRAME.values()) + raw_frame(0xF8, 0x00) + gyro_frame(0xFF, 0, 0x7F))
    records = (QuillmoreData, QuillmoreExtendData)
    log = [tuple(type(v).__name__ if isinstance(v, records) else v for v in values) for values in sink.log]
    assert log == [(1,), (1, 2, 3), (1, 2, 3), ("QuillmoreData",), ("QuillmoreData",), ("QuillmoreExtendData",),
                   (-2048,), (-75, 0, 127)]
    assert state_line(parser) == "state 1 offset 8"


def test_constructor_again_replaces_callbacks_and_keeps_the_rest():
    rec = Recorder()
    parser = QuillmoreParser(raw_callback=lambda raw: None)
    parser.parse(standard()[:10])
    payload = vars(parser)[PAYLOAD]
    parser.__init__(eeg_callback=rec.eeg)
    assert vars(parser)[PAYLOAD] is payload
    assert vars(parser)[RAW_CB] is None
    assert state_line(parser) == "state 4 offset 7"
    parser.parse(standard()[10:])
    assert rec.log == [SIGNAL_LOG]


# ---------------------------------------------------------------- records

def test_delivered_records_own_every_field_and_are_kept():
    rec = Recorder()
    parser = rec.parser()
    only_signal = bytes([0x02, 0x09]) + bytes(30)
    parser.parse(standard(only_signal) + b"\x06\x11\xaa\xaa")
    data, extend = rec.records
    assert vars(data) == dict(signal=9, attention=0, meditation=0, delta=0, theta=0, lowAlpha=0, highAlpha=0,
                              lowBeta=0, highBeta=0, lowGamma=0, highGamma=0)
    assert list(vars(extend)) == list(EXTEND_FIELDS)
    assert type(vars(extend)["temperature"]) is float
    parser.parse(standard()[2:] + bytes([0x06] * 5) + b"\xaa\xaa")
    assert data.signal == 9 and extend.ap == 17 and rec.records[2] is not data


@pytest.mark.parametrize("name, keyword, fields", [("QuillmoreData", "eeg_callback", DATA_FIELDS),
                                                   ("QuillmoreExtendData", "extend_eeg_callback", EXTEND_FIELDS)])
def test_record_class_is_looked_up_in_the_module_at_each_record(name, keyword, fields):
    made = []
    delivered = []

    class Replacement:
        def __init__(self, *args, **kwargs):
            assert not args and not kwargs
            made.append(self)

        def __setattr__(self, field, value):
            self.__dict__.setdefault("order", []).append(field)
            object.__setattr__(self, field, value)

    parser = QuillmoreParser(**{keyword: delivered.append})
    original = getattr(module, name)
    with module_namespace_restored():
        for cls in (Replacement, original, Replacement):
            setattr(module, name, cls)
            parser.parse(ONE_FRAME[keyword])
    assert [type(r) for r in delivered] == [Replacement, original, Replacement]
    assert made == [delivered[0], delivered[2]] and made[0].order == list(fields)
    parser.parse(ONE_FRAME[keyword])
    assert type(delivered[-1]) is original


@pytest.mark.parametrize("name, keyword, state", [("QuillmoreData", "eeg_callback", 5),
                                                   ("QuillmoreExtendData", "extend_eeg_callback", 8)])
def test_record_class_missing_from_module_and_builtins(name, keyword, state):
    delivered = []
    parser = QuillmoreParser(**{keyword: delivered.append})
    with module_namespace_restored():
        delattr(module, name)
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            parser.parse(ONE_FRAME[keyword] + raw_frame(0, 1))
        assert getattr(parser, STATE) == state and delivered == []

        class FromBuiltins:
            pass

        setattr(builtins, name, FromBuiltins)
        try:
            parser = QuillmoreParser(**{keyword: delivered.append})
            parser.parse(ONE_FRAME[keyword])
        finally:
            delattr(builtins, name)
    assert [type(r) for r in delivered] == [FromBuiltins]


@pytest.mark.parametrize("cls, frames", [(QuillmoreData, standard()), (QuillmoreExtendData, extended())],
                         ids=["QuillmoreData", "QuillmoreExtendData"])
def test_record_is_built_even_without_a_callback(cls, frames):
    # The decoder builds and fills its record whether or not a callback will
    # receive it; a host hook on the record class sees that.
    made = []
    cls.__init__ = lambda self: made.append(self)
    try:
        QuillmoreParser().parse(frames)
    finally:
        del cls.__init__
    assert len(made) == 1


# ---------------------------------------------------------------- decoders

# What parse hands each decoder: state, offset and the collected bytes.
DECODER_INPUT = {"__parsePackagePayload": ("eeg_callback", 5, 33, standard()[3:]),
                 "__parseExtendPackagePayload": ("extend_eeg_callback", 8, 12, EXTEND_BODY + b"\xaa"),
                 "__parseHRVPackagePayload": ("rr_callback", 1, 13, hrv_frame(1, 2, 3)[3:])}


@pytest.mark.parametrize("decoder", DECODER_INPUT)
def test_parse_calls_decoders_through_the_instance(decoder):
    keyword, state, offset, collected = DECODER_INPUT[decoder]
    seen = []

    def override(self):
        seen.append((state_line(self), bytes(getattr(self, PAYLOAD)[:offset])))
        getattr(super(Sub, self), "_QuillmoreParser" + decoder)()

    Sub = type("Sub", (QuillmoreParser,), {"_QuillmoreParser" + decoder: override})
    rec = Recorder()
    parser = rec.parser(Sub)
    parser.parse(ONE_FRAME[keyword] + raw_frame(0, 1))
    assert seen == [(f"state {state} offset {offset}", collected)]
    assert rec.log[-1] == "raw 1" and len(rec.log) == (3 if state == 8 else 2)

    # An override set on the instance is honoured as well.
    parser = rec.parser()
    setattr(parser, "_QuillmoreParser" + decoder, lambda: seen.append("instance"))
    rec.log.clear()
    parser.parse(ONE_FRAME[keyword])
    assert seen[-1] == "instance" and rec.log == ([SIGNAL_LOG] if state == 8 else [])


@pytest.mark.parametrize("decoder, content, expected", [
    ("__parsePackagePayload", standard()[3:], SIGNAL_LOG),
    ("__parseExtendPackagePayload", EXTEND_BODY + b"\xaa", EXTEND_LOG),
    ("__parseHRVPackagePayload", bytes.fromhex("03 20 03 52 03 84 00 00 00 0B"), "rr 800 850 900")])
def test_decoders_called_by_hand_decode_the_buffer(decoder, content, expected):
    rec = Recorder()
    parser = rec.parser()
    parser.parse(b"\xaa\xaa\x20\x01")
    getattr(parser, PAYLOAD)[:len(content)] = content
    getattr(parser, "_QuillmoreParser" + decoder)()
    getattr(QuillmoreParser, "_QuillmoreParser" + decoder)(parser)
    assert rec.log == [expected, expected]
    assert state_line(parser) == "state 4 offset 1"


# ---------------------------------------------------------------- own payload buffer

def test_each_parser_has_its_own_payload():
    class_payload = QuillmoreParser._QuillmoreParser__payload
    a, b = QuillmoreParser(), QuillmoreParser()
    for parser in (a, b):
        assert type(vars(parser)[PAYLOAD]) is bytearray and len(vars(parser)[PAYLOAD]) == 1024
    assert vars(a)[PAYLOAD] is not vars(b)[PAYLOAD]
    a.parse(standard())
    assert vars(a)[PAYLOAD][:33] == standard()[3:] and vars(b)[PAYLOAD] == bytearray(1024)
    assert QuillmoreParser._QuillmoreParser__payload is class_payload and class_payload == bytearray(1024)


def test_parse_gives_a_payload_to_a_parser_that_skipped_the_constructor():
    class NoInit(QuillmoreParser):
        def __init__(self):
            self._QuillmoreParser__raw_callback = rec.raw

    rec = Recorder()
    parser = NoInit()
    assert PAYLOAD not in vars(parser)
    parser.parse(raw_frame(0, 9))
    assert rec.log == ["raw 9"]
    assert len(vars(parser)[PAYLOAD]) == 1024
    assert QuillmoreParser._QuillmoreParser__payload == bytearray(1024)


# ---------------------------------------------------------------- extended frames past the buffer

@pytest.mark.parametrize("byte, after", [(0xAA, "state 2 offset 0"), (0x06, "state 1 offset 0"),
                                         (0x55, "state 1 offset 0")])
def test_extended_frame_past_the_buffer_is_dropped(byte, after):
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, STATE, 7)
    setattr(parser, OFFSET, 1023)
    parser.parse(b"\x01")
    assert state_line(parser) == "state 7 offset 1024" and vars(parser)[PAYLOAD][1023] == 1
    before = bytes(vars(parser)[PAYLOAD])
    parser.parse(bytes([byte]))
    assert state_line(parser) == after and bytes(vars(parser)[PAYLOAD]) == before
    parser.parse(raw_frame(0, 3)[1 if after.startswith("state 2") else 0:])
    assert rec.log == ["raw 3"]


# ---------------------------------------------------------------- raw samples

def test_raw_samples_are_16_bit_twos_complement():
    rec = Recorder()
    parser = rec.parser()
    parser.parse(b"".join(raw_frame(v >> 8, v & 0xFF) for v in range(65536)))
    assert rec.log == [f"raw {int.from_bytes(v.to_bytes(2, 'big'), 'big', signed=True)}" for v in range(65536)]


# ---------------------------------------------------------------- failures

@pytest.mark.parametrize("keyword, state, offset", [
    ("raw_callback", 1, 5), ("gyro_callback", 1, 8), ("rr_callback", 1, 13),
    ("eeg_callback", 5, 33), ("extend_eeg_callback", 8, 12)])
def test_raising_callback_stops_the_chunk_and_parsing_resumes(keyword, state, offset):
    class Boom(Exception):
        pass

    rec = Recorder()
    raised = []

    def once(*args):
        if not raised:
            raised.append(args)
            raise Boom

    parser = QuillmoreParser(**{**rec.callbacks(), keyword: once})
    tail, tail_log = (gyro_frame(7, 7, 7), "gyro 7 7 7") if keyword == "raw_callback" else (raw_frame(0, 7), "raw 7")
    with pytest.raises(Boom):
        parser.parse(ONE_FRAME[keyword] + tail)
    assert state_line(parser) == f"state {state} offset {offset}"
    logged = list(rec.log)
    assert tail_log not in logged
    parser.parse(tail)
    if state == 8:
        # Still between the two closing AA: the tail's first AA ends the
        # frame again and its second is taken as a (bad) length byte.
        assert len(raised) == 1 and rec.log == logged
        assert state_line(parser) == "state 1 offset 12"
    else:
        assert rec.log == logged + [tail_log]


# ---------------------------------------------------------------- input types

@pytest.mark.parametrize("convert", [
    bytes, bytearray, memoryview, lambda d: array("B", d), list, tuple, lambda d: iter(list(d)),
    lambda d: (b for b in d), lambda d: memoryview(bytes(x for b in d for x in (b, 0)))[::2],
    lambda d: array("H", list(d)), lambda d: array("q", list(d)), lambda d: memoryview(bytearray(d)).toreadonly(),
    lambda d: [True if b == 1 else b for b in d]],
    ids=["bytes", "bytearray", "memoryview", "array_B", "list", "tuple", "list_iterator", "generator",
         "strided_memoryview", "array_H", "array_q", "readonly_memoryview", "bool_elements"])
def test_input_types(convert):
    rec = Recorder()
    parser = rec.parser()
    parser.parse(convert(MIXED))
    assert rec.log == MIXED_LOG
    assert state_line(parser) == "state 1 offset 5"


def test_signed_memoryview_elements_are_their_values():
    # AA AA are -86 -86 here and compare as their low byte; the stored
    # bytes 00 40 12 34 79 are all below 0x80.
    rec = Recorder()
    parser = rec.parser()
    parser.parse(memoryview(bytes.fromhex("AA AA 04 00 40 12 34 79")).cast("b"))
    assert rec.log == ["raw 4660"] and state_line(parser) == "state 1 offset 5"
    parser = rec.parser()
    with pytest.raises(ValueError, match=r"^byte must be in range\(0, 256\)$"):
        parser.parse(memoryview(raw_frame(0x12, 0x34)).cast("b"))  # the checksum B9 is stored as -71
    assert state_line(parser) == "state 6 offset 4"


def test_empty_chunk_changes_nothing():
    parser = QuillmoreParser()
    parser.parse(standard()[:9])
    before = (state_line(parser), bytes(vars(parser)[PAYLOAD]))
    for empty in (b"", [], (), iter(()), bytearray()):
        parser.parse(empty)
    assert (state_line(parser), bytes(vars(parser)[PAYLOAD])) == before


class Pulls:
    """An iterable that records every element taken from it."""

    def __init__(self, items):
        self.items = items
        self.pulled = []

    def __iter__(self):
        for item in self.items:
            self.pulled.append(item)
            yield item


@pytest.mark.parametrize("prefix, state", [(b"\x00\xaa", "state 2 offset 0"), (b"\xaa\xaa\x04\x01", "state 6 offset 1")])
@pytest.mark.parametrize("bad", ["x", 1.0, None, b"\x01"], ids=repr)
def test_non_integer_element_raises_where_it_stands(prefix, state, bad):
    items = list(prefix) + [bad, 0xAA, 0xAA]
    source = Pulls(items)
    parser = QuillmoreParser()
    with pytest.raises(TypeError):
        parser.parse(source)
    assert source.pulled == items[:len(prefix) + 1]
    assert state_line(parser) == state


@pytest.mark.parametrize("value", [256, -1, 2 ** 70, -(2 ** 70)])
def test_out_of_range_element_in_a_storing_state(value):
    rec = Recorder()
    parser = rec.parser()
    source = Pulls([0xAA, 0xAA, 0x04, 0, value, 0, 0, 0])
    with pytest.raises(ValueError, match=r"^byte must be in range\(0, 256\)$"):
        parser.parse(source)
    assert len(source.pulled) == 5
    assert state_line(parser) == "state 6 offset 1"
    parser.parse([0, 0, 5, 0xFA])
    assert rec.log == ["raw 5"]


@pytest.mark.parametrize("values", [[0x1AA, 0x2AA], [-86, 0xAA + 256 * 99], [2 ** 80 + 0xAA, -(2 ** 80) + 0xAA]],
                         ids=["0x1AA", "negative", "huge"])
def test_elements_are_compared_by_their_low_byte(values):
    rec = Recorder()
    parser = rec.parser()
    parser.parse([256, 0x100 + 0x55, *values, 0x104, 0, 0, 0, 5, 0xFA])
    assert rec.log == ["raw 5"]


def test_element_with_and_operator_is_compared_by_its_result():
    class Masked:
        def __and__(self, mask):
            return 0xAA & mask

    parser = QuillmoreParser()
    parser.parse([Masked(), Masked()])
    assert state_line(parser) == "state 3 offset 0"
    with pytest.raises(TypeError):
        QuillmoreParser().parse([0xAA, 0xAA, 0x04, Masked()])  # stored elements must be integers
