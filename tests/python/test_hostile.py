"""Hosts that misbehave: callbacks that raise, re-enter, rewire the parser or
its buffer, odd attribute values, and long runs that must not leak.  Nothing
here may crash the interpreter; every failure is an ordinary exception."""
import ctypes
import gc
import sys
import tracemalloc
import weakref

import pytest

from support import (MIXED, OFFSET, PAYLOAD, SIGNAL_LOG, STATE, QuillmoreData, QuillmoreExtendData,
                     QuillmoreParser, Recorder, extended, final_log, gyro_frame, hrv_frame, raw_frame, run_isolated,
                     standard,
                     state_line)

RAW_CB = "_QuillmoreParser__raw_callback"


def whole_log(data):
    rec = Recorder()
    parser = rec.parser()
    parser.parse(data)
    return final_log(rec, parser)


# ---------------------------------------------------------------- re-entry

@pytest.mark.parametrize("inserted", [raw_frame(0, 9), b"\xaa\xaa\x04\x00", standard()[:20], b"\xaa"],
                         ids=["whole frame", "frame start", "standard start", "sync byte"])
def test_reentering_parse_is_like_inserting_the_bytes(inserted):
    rec = Recorder()
    parser = rec.parser()
    done = []

    def raw(value):
        rec.raw(value)
        if not done:
            done.append(value)
            parser.parse(inserted)

    setattr(parser, RAW_CB, raw)
    first = raw_frame(0, 1)
    parser.parse(first + MIXED)
    assert final_log(rec, parser) == whole_log(first + inserted + MIXED)
    assert bytes(vars(parser)[PAYLOAD]) == bytes(_payload_after(first + inserted + MIXED))


def _payload_after(data):
    parser = QuillmoreParser()
    parser.parse(data)
    return vars(parser)[PAYLOAD]


def test_reentering_from_a_generator_and_into_another_parser():
    rec, other_rec = Recorder(), Recorder()
    parser, other = rec.parser(), other_rec.parser()

    def chunk():
        for k, byte in enumerate(MIXED):
            if k == 20:
                parser.parse(raw_frame(0, 9))  # inside a standard frame: its bytes land in it
                other.parse(MIXED[:40])
            yield byte

    parser.parse(chunk())
    assert final_log(rec, parser) == whole_log(MIXED[:20] + raw_frame(0, 9) + MIXED[20:])
    assert final_log(other_rec, other) == whole_log(MIXED[:40])


def test_endless_reentry_hits_the_recursion_limit():
    parser = QuillmoreParser(raw_callback=lambda raw: parser.parse(raw_frame(0, 1)))
    with pytest.raises(RecursionError):
        parser.parse(raw_frame(0, 1))
    parser.parse(b"")  # still usable


# ---------------------------------------------------------------- the payload buffer

def _swap_payload_in_generator(data, at, make):
    """A parser and a chunk that hands the parser a new payload at byte `at`."""
    rec = Recorder()
    parser = rec.parser()
    old = vars(parser)[PAYLOAD]

    def chunk():
        for k, byte in enumerate(data):
            if k == at:
                setattr(parser, PAYLOAD, make(old))
            yield byte

    return parser, rec, old, chunk()


def test_payload_replaced_mid_frame_takes_the_following_bytes():
    data = standard()
    parser, rec, old, chunk = _swap_payload_in_generator(data, 13, bytearray)
    parser.parse(chunk)
    assert rec.log == [SIGNAL_LOG]
    assert vars(parser)[PAYLOAD][:33] == data[3:]
    assert old[:10] == data[3:13] and old[10:33] == bytes(23)


def test_smaller_payload_fails_the_store_beyond_it():
    parser, rec, old, chunk = _swap_payload_in_generator(standard(), 8, lambda old: bytearray(10))
    with pytest.raises(IndexError, match="^bytearray index out of range$"):
        parser.parse(chunk)
    assert state_line(parser) == "state 4 offset 10"


def test_smaller_payload_ends_an_extended_frame():
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, PAYLOAD, bytearray(40))
    parser.parse(standard() + b"\x06" + bytes(range(1, 40)) + raw_frame(0, 3))
    assert rec.log == [SIGNAL_LOG, "raw 3"]


@pytest.mark.parametrize("replacement, message", [
    (5, "'int' object does not support item assignment"),
    (None, "'NoneType' object does not support item assignment"),
    (b"\0" * 1024, "'bytes' object does not support item assignment"),
    (memoryview(bytes(1024)), "cannot modify read-only memory"),
], ids=["int", "None", "bytes", "readonly_memoryview"])
def test_payload_that_cannot_store(replacement, message):
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, PAYLOAD, replacement)
    parser.parse(b"\x00\xaa\x55" * 5)  # hunting stores nothing
    with pytest.raises(TypeError, match=f"^{message}$"):
        parser.parse(raw_frame(0, 1))
    assert state_line(parser) == "state 6 offset 0"


@pytest.mark.parametrize("decoder", ["__parsePackagePayload", "__parseExtendPackagePayload",
                                     "__parseHRVPackagePayload"])
@pytest.mark.parametrize("replacement", [None, 5], ids=repr)
def test_decoders_on_a_payload_without_items(decoder, replacement):
    parser = QuillmoreParser()
    setattr(parser, PAYLOAD, replacement)
    with pytest.raises(TypeError, match=f"^'{type(replacement).__name__}' object is not subscriptable$"):
        getattr(parser, "_QuillmoreParser" + decoder)()


def test_payload_of_bytes_can_be_decoded():
    # Decoders only read the buffer; item access on bytes works as on a
    # bytearray.
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, PAYLOAD, standard()[3:] + bytes(991))
    parser._QuillmoreParser__parsePackagePayload()
    assert rec.log == [SIGNAL_LOG]


def test_payload_must_be_a_buffer_of_bytes():
    # A container that would take the stores (a list) is refused rather than
    # half-used: the machine collects into a buffer of bytes.
    rec = Recorder()
    parser = rec.parser()
    payload = [0] * 1024
    setattr(parser, PAYLOAD, payload)
    with pytest.raises(TypeError, match="^the payload buffer must be a bytearray, not 'list'$"):
        parser.parse(raw_frame(0x12, 0x34) + standard())
    assert payload == [0] * 1024 and getattr(parser, STATE) == 6


@pytest.mark.parametrize("resize, outcome", [
    (lambda buf: buf.__delitem__(slice(10, None)), IndexError),
    (lambda buf: buf.extend(bytes(5000)), None),
    (lambda buf: buf.clear(), IndexError),
])
def test_payload_resized_by_a_callback(resize, outcome):
    rec = Recorder()
    parser = rec.parser()

    def raw(value):
        rec.raw(value)
        resize(vars(parser)[PAYLOAD])

    setattr(parser, RAW_CB, raw)
    data = raw_frame(0, 1) + standard() + b"\x06" + bytes(3000) + b"\xaa\xaa\x04" + raw_frame(0, 2)[3:]
    if outcome is None:
        parser.parse(data)
        assert rec.log[:2] == ["raw 1", SIGNAL_LOG] and rec.log[-1] == "raw 2" and len(rec.log) == 4
    else:
        with pytest.raises(outcome):
            parser.parse(data)
        assert rec.log == ["raw 1"] and getattr(parser, STATE) == 4


def test_parser_parses_its_own_payload():
    rec = Recorder()
    parser = rec.parser()
    payload = vars(parser)[PAYLOAD]
    payload[:8] = raw_frame(0, 4)
    parser.parse(payload)
    assert rec.log == ["raw 4"] and state_line(parser) == "state 1 offset 5"
    assert payload[:8] == bytes.fromhex("00 00 00 04 FB 00 04 FB")


# ---------------------------------------------------------------- the input chunk

def test_input_changed_in_place_by_a_callback():
    data = bytearray(raw_frame(0, 1) + raw_frame(0, 2))
    rec = Recorder()

    def raw(value):
        rec.raw(value)
        data[8:] = raw_frame(0, 9)  # same length: only the values change

    QuillmoreParser(raw_callback=raw).parse(data)
    assert rec.log == ["raw 1", "raw 9"]


@pytest.mark.parametrize("kind", [bytearray, list])
@pytest.mark.parametrize("change, expected", [
    (lambda data: data.extend(raw_frame(0, 3)), ["raw 1", "raw 2", "raw 3"]),
    (lambda data: data.clear(), ["raw 1"]),
], ids=["extend", "clear"])
def test_input_resized_by_a_callback_is_iterated_as_it_is(kind, change, expected):
    # parse walks its chunk as a for loop would: a chunk that grows is
    # walked to its new end, one that shrinks ends early.
    data = kind(raw_frame(0, 1) + raw_frame(0, 2))
    rec = Recorder()

    def raw(value):
        rec.raw(value)
        if value == 1:
            change(data)

    QuillmoreParser(raw_callback=raw).parse(data)
    assert rec.log == expected


# ---------------------------------------------------------------- the parser's own attributes

@pytest.mark.parametrize("value", [12, 0, -1, 10 ** 30, 1.5, "x", None], ids=repr)
def test_state_outside_the_machine_ignores_every_byte(value):
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, STATE, value)
    parser.parse(MIXED + bytes(range(256)))
    assert rec.log == [] and getattr(parser, STATE) == value and type(getattr(parser, STATE)) is type(value)
    assert OFFSET not in vars(parser)


def test_state_equal_to_a_machine_state_is_that_state():
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, STATE, 3.0)
    parser.parse(raw_frame(0, 5)[2:])
    assert rec.log == ["raw 5"] and state_line(parser) == "state 1 offset 5"


@pytest.mark.parametrize("offset, error, message", [
    (10 ** 30, IndexError, "cannot fit 'int' into an index-sized integer"),
    (-(10 ** 30), IndexError, "cannot fit 'int' into an index-sized integer"),
    (2 ** 62, IndexError, "bytearray index out of range"),
    (-2000, IndexError, "bytearray index out of range"),
    (1024, IndexError, "bytearray index out of range"),
    (1.5, TypeError, "bytearray indices must be integers or slices, not float"),
    ("x", TypeError, "bytearray indices must be integers or slices, not str"),
    (None, TypeError, "bytearray indices must be integers or slices, not NoneType"),
], ids=repr)
def test_unusable_offset_fails_the_store(offset, error, message):
    parser = QuillmoreParser()
    setattr(parser, STATE, 4)
    setattr(parser, OFFSET, offset)
    with pytest.raises(error, match=f"^{message}$"):
        parser.parse(b"\x01")
    assert getattr(parser, OFFSET) == offset and getattr(parser, STATE) == 4
    setattr(parser, OFFSET, 0)
    parser.parse(standard()[3:])
    assert getattr(parser, STATE) == 5


@pytest.mark.parametrize("convert", [bytes, list])
@pytest.mark.parametrize("state, offset", [(1, 10 ** 30), (1, -(10 ** 30)), (1, 1.5), (7, 1024), (7, 10 ** 30)],
                         ids=repr)
def test_unusable_offset_left_behind(state, offset, convert):
    # A length byte sets a new offset, and an extended frame at an offset past
    # any buffer is dropped, however large that offset.
    rec = Recorder()
    parser = rec.parser()
    setattr(parser, STATE, state)
    setattr(parser, OFFSET, offset)
    parser.parse(convert(b"\x01" + raw_frame(0, 7)))
    assert rec.log == ["raw 7"] and state_line(parser) == "state 1 offset 5"


def test_state_property_sees_every_assignment():
    assigned = []

    class Watched(QuillmoreParser):
        @property
        def _QuillmoreParser__state(self):
            return self.__dict__.get("state", 1)

        @_QuillmoreParser__state.setter
        def _QuillmoreParser__state(self, value):
            assigned.append(value)
            self.__dict__["state"] = value

    rec = Recorder()
    parser = rec.parser(Watched)
    parser.parse(raw_frame(0, 5))
    assert rec.log == ["raw 5"]
    assert assigned == [2, 3, 6, 1]


def test_callback_rewires_the_parser_between_frames():
    rec = Recorder()
    parser = QuillmoreParser(raw_callback=lambda raw: rewire(raw))

    def rewire(raw):
        rec.raw(raw)
        setattr(parser, STATE, 3)  # as if AA AA had been read
        setattr(parser, "_QuillmoreParser__gyro_callback", rec.gyro)
        setattr(parser, RAW_CB, rec.raw)

    parser.parse(raw_frame(0, 1) + gyro_frame(1, 2, 3)[2:] + raw_frame(0, 2))
    assert rec.log == ["raw 1", "gyro 1 2 3", "raw 2"]


def test_callback_removed_from_the_instance():
    parser = QuillmoreParser(raw_callback=lambda raw: delattr(parser, RAW_CB))
    parser.parse(raw_frame(0, 1))
    with pytest.raises(AttributeError, match=RAW_CB):
        parser.parse(raw_frame(0, 2))


@pytest.mark.parametrize("keyword, state", [("raw_callback", 1), ("eeg_callback", 5), ("rr_callback", 1),
                                            ("extend_eeg_callback", 8), ("gyro_callback", 1)])
def test_callback_whose_truth_test_raises(keyword, state):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no opinion")

        def __call__(self, *args):
            raise AssertionError("called")

    parser = QuillmoreParser(**{keyword: Undecided()})
    frames = {"raw_callback": raw_frame(0, 1), "eeg_callback": standard(), "rr_callback": hrv_frame(1, 2, 3),
              "extend_eeg_callback": extended(), "gyro_callback": gyro_frame(1, 2, 3)}
    with pytest.raises(ZeroDivisionError, match="no opinion"):
        parser.parse(frames[keyword])
    assert getattr(parser, STATE) == state


def test_last_reference_dropped_inside_a_callback():
    holder = []
    rec = Recorder()

    def raw(value):
        rec.raw(value)
        holder.clear()
        gc.collect()

    holder.append(QuillmoreParser(raw_callback=raw))
    ref = weakref.ref(holder[0])
    holder[0].parse(raw_frame(0, 1) + raw_frame(0, 2))
    assert rec.log == ["raw 1", "raw 2"]
    gc.collect()
    assert ref() is None


def test_parser_in_a_reference_cycle_is_collected():
    parser = QuillmoreParser()
    parser._QuillmoreParser__raw_callback = lambda raw: parser
    parser.parse(raw_frame(0, 1))
    ref = weakref.ref(parser)
    del parser
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- reference counts and memory

def test_reference_counts_stay_balanced():
    rec = Recorder()
    callbacks = rec.callbacks()
    parser = QuillmoreParser(**callbacks)

    def failing(*args):
        raise KeyError("x")

    payload = vars(parser)[PAYLOAD]
    data = MIXED * 20
    watched = [*callbacks.values(), failing, parser, payload, data, QuillmoreData, QuillmoreExtendData,
               QuillmoreParser.parse]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        parser.parse(data)
        parser.parse(list(data[:60]))
        rec.log.clear()
        rec.records.clear()
        for keyword in ("raw_callback", "eeg_callback", "extend_eeg_callback"):
            setattr(parser, "_QuillmoreParser__" + keyword, failing)
            with pytest.raises(KeyError):
                parser.parse(MIXED)
            setattr(parser, "_QuillmoreParser__" + keyword, callbacks[keyword])
            parser.parse(b"\x00")
        with pytest.raises(TypeError):
            parser.parse([0xAA, 0xAA, 0x04, "x"])
        with pytest.raises(TypeError):
            parser.parse(b"", b"")
        setattr(parser, STATE, 1)
    rec.records.clear()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before
    parser.parse(standard())
    references = sys.getrefcount(rec.records[-1])
    assert references == 2  # the list and the argument


def test_delivered_records_are_not_retained():
    refs = []
    parser = QuillmoreParser(eeg_callback=lambda r: refs.append(weakref.ref(r)),
                             extend_eeg_callback=lambda r: refs.append(weakref.ref(r)))
    parser.parse((extended() + b"\x00") * 3)
    assert len(refs) == 6 and all(ref() is None for ref in refs)


def _rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


def _under_address_sanitizer():
    return hasattr(ctypes.CDLL(None), "__asan_init")  # its runtime, preloaded into the process


@pytest.mark.skipif(_under_address_sanitizer(), reason="AddressSanitizer keeps freed memory in quarantine")
def test_long_run_keeps_memory_flat():
    counts = [0] * 5

    def count(k):
        def callback(*args):
            counts[k] += 1
        return callback

    parser = QuillmoreParser(*(count(k) for k in range(5)))
    chunk = (MIXED + extended() + b"\x00") * 100  # 800 deliveries
    chunks = [chunk, list(chunk), memoryview(chunk), bytearray(chunk)]

    def run(calls):
        for k in range(calls):
            parser.parse(chunks[k % 4] if k % 8 else (b for b in chunk))

    run(20)
    gc.collect()
    tracemalloc.start()
    try:
        run(20)
        start, _ = tracemalloc.get_traced_memory()
        rss = _rss_kib()
        run(250)  # about 200,000 frames
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sum(counts) > 200_000
    assert end - start < 64 * 1024
    assert _rss_kib() - rss < 4 * 1024


# ---------------------------------------------------------------- host code where a value is dropped or looked up
#
# Dropping a reference (a finaliser), a dict lookup (the __eq__ of a key whose
# hash collides) and a comparison all run host code.  Whatever it does to the
# buffer, the record class, state or offset, the parser must go on from what
# it left, as a Python loop over the bytes would.  Each host runs in its own
# interpreter: before these faults were mended they crashed the process.

_PRELUDE = """
import gc
import QuillmoreParser as module
from support import *
"""


def _isolated(body):
    code, output = run_isolated(_PRELUDE + body)
    assert code == 0, output
    return output


def test_finaliser_of_the_replaced_state_resizes_the_buffer():
    # The machine's first assignment of the state drops the host's value,
    # whose finaliser moves the buffer's start.
    assert _isolated("""
rec = Recorder()
parser = rec.parser()
payload = bytearray(64 << 20)
setattr(parser, PAYLOAD, payload)
class State(int):
    def __del__(self):
        del parser._QuillmoreParser__payload[:1]
setattr(parser, STATE, State(1))
parser.parse(raw_frame(0, 1))
assert len(payload) == (64 << 20) - 1 and payload[:5] == bytes([0, 0, 0, 1, 0xFE]), payload[:8]
parser.parse(raw_frame(0, 2) * 3)
assert rec.log == ["raw 1"] + ["raw 2"] * 3, rec.log
print("ok")
""").strip() == "ok"


def test_finaliser_deletes_the_host_record_class_before_the_record_is_built():
    # The state is assigned 5 before the standard decoder looks the class
    # up, so the name is gone by then.
    assert _isolated("""
got = []
module.QuillmoreData = type("Host", (), {})
parser = QuillmoreParser(eeg_callback=got.append)
parser.parse(standard()[:-1])
class State(int):
    def __del__(self):
        del module.QuillmoreData
        gc.collect()
setattr(parser, STATE, State(4))
try:
    parser.parse(standard()[-1:])
except NameError as error:
    assert str(error) == "name 'QuillmoreData' is not defined", error
else:
    raise AssertionError("no NameError")
assert got == [] and state_line(parser) == "state 5 offset 33"
print("ok")
""").strip() == "ok"


@pytest.mark.parametrize("drop", ["callback", "record"])
def test_finaliser_of_a_dropped_callback_or_record_reallocates_the_buffer(drop):
    # A callback that replaces itself, or a record class whose instances
    # grow the buffer when they die: the bytes after that land in the new
    # storage.
    assert _isolated(f"""
log = []
def grow():
    vars(parser)[PAYLOAD].extend(bytes(1 << 20))
class Once:
    def __call__(self, raw):
        log.append(raw)
        setattr(parser, "_QuillmoreParser__raw_callback", log.append)
    def __del__(self):
        grow()
class Record:
    def __del__(self):
        grow()
data = raw_frame(0, 1) + standard()[:20] + raw_frame(0, 2)
if {drop!r} == "record":
    data = standard() + data
expected = QuillmoreParser()
expected.parse(data)
if {drop!r} == "record":
    module.QuillmoreData = Record
    parser = QuillmoreParser(eeg_callback=lambda record: None, raw_callback=log.append)
else:
    parser = QuillmoreParser(raw_callback=Once())
parser.parse(data)
assert log == [1], log
payload = vars(parser)[PAYLOAD]
assert len(payload) == 1024 + (1 << 20) and payload[:1024] == vars(expected)[PAYLOAD], payload[:40]
print("ok")
""").strip() == "ok"


@pytest.mark.parametrize("name", ["_QuillmoreParser__parsePackagePayload", "_QuillmoreParser__state",
                                  "_QuillmoreParser__payload"])
def test_colliding_key_empties_the_buffer_during_a_lookup(name):
    # A key whose hash equals an attribute name's, inserted before it, makes
    # every lookup of that name call the key's __eq__, which here empties the
    # buffer: the next store, or the decoder, must see the empty buffer.
    output = _isolated(f"""
class Collider(str):
    def __hash__(self):
        return hash({name!r})
    def __eq__(self, other):
        if armed:
            buffer.clear()
        return False
armed = False
got = []
parser = QuillmoreParser(eeg_callback=got.append)
moved = vars(parser).pop({name!r}, None)
vars(parser)[Collider("x")] = 0
if moved is not None:
    vars(parser)[{name!r}] = moved
buffer = getattr(parser, PAYLOAD)
armed = True
try:
    parser.parse(standard())
except IndexError as error:
    print("IndexError", error)
print(got, len(vars(parser)[PAYLOAD]))
""")
    assert output.splitlines()[-2:] == ["IndexError bytearray index out of range", "[] 0"], output


# ---------------------------------------------------------------- deep re-entry

# The highest recursion limit at which the interpreter's own C-recursing code
# still ends in RecursionError: on 3.11 a function calling itself through
# map() runs past the end of the default 8 MiB C stack from about 14000; from
# 3.12 a separate limit guards the C stack whatever the Python limit.  A
# callback that feeds its own parser once crashed at 8000 (3.11) and 4000
# (3.13).
_HIGH_LIMIT = 13000 if sys.version_info[:2] == (3, 11) else 50000


@pytest.mark.skipif(_under_address_sanitizer(), reason="AddressSanitizer's redzones make every C frame larger")
def test_deep_reentry_ends_in_recursion_error_at_a_high_limit():
    assert _isolated(f"""
import sys
sys.setrecursionlimit({_HIGH_LIMIT})
depth = 0
def feed_again(raw):
    global depth
    depth += 1
    parser.parse(raw_frame(0, 1))
parser = QuillmoreParser(raw_callback=feed_again)
try:
    parser.parse(raw_frame(0, 1))
except RecursionError:
    print("RecursionError", depth > 100)
""").strip() == "RecursionError True"


# ---------------------------------------------------------------- state and offset made foreign by a callback

class _Int(int):
    pass


_DELETE = object()


@pytest.mark.parametrize("name", [STATE, OFFSET])
@pytest.mark.parametrize("value", [_DELETE, True, 1.0, _Int(1)], ids=["deleted", "True", "1.0", "int subclass"])
def test_chunking_does_not_matter_after_a_callback_makes_an_attribute_foreign(name, value):
    # After the callback the attribute is the class's again or not an int of
    # the instance's own: the machine's next assignment must make it the
    # instance's own int, wherever the chunk ends.
    data = raw_frame(0, 1) + raw_frame(0x12, 0x34) + raw_frame(0xFF, 0xFF) + raw_frame(0, 5)

    def run(chunks):
        rec = Recorder()
        parser = rec.parser()

        def raw(sample):
            rec.raw(sample)
            rec.log.append(type(vars(parser).get(name)).__name__)
            if value is _DELETE:
                if name in vars(parser):
                    delattr(parser, name)
            else:
                setattr(parser, name, value if name == STATE else type(value)(5) if value is not True else True)

        setattr(parser, RAW_CB, raw)
        for chunk in chunks:
            parser.parse(chunk)
        owned = {key: type(vars(parser).get(key)) for key in (STATE, OFFSET)}
        return rec.log, state_line(parser), owned

    whole = run([data])
    assert whole[0] == ["raw 1", "int", "raw 4660", "int", "raw -1", "int", "raw 5", "int"]
    assert run([data[k:k + 8] for k in range(0, len(data), 8)]) == whole
    assert run([data[k:k + 1] for k in range(len(data))]) == whole
    assert run([list(data)]) == whole


# ---------------------------------------------------------------- the order within a row

@pytest.mark.parametrize("element", ["x", 1.5, None], ids=repr)
def test_state_10_resets_the_offset_before_it_examines_the_element(element):
    parser = QuillmoreParser()
    setattr(parser, STATE, 10)
    setattr(parser, OFFSET, 7)
    with pytest.raises(TypeError):
        parser.parse([element])
    assert state_line(parser) == "state 10 offset 0"


@pytest.mark.parametrize("state", [0, 12, -3, "s", None], ids=repr)
def test_state_outside_the_machine_passes_elements_of_any_type(state):
    parser = QuillmoreParser()
    setattr(parser, STATE, state)
    parser.parse(["x", 1.5, None, object(), -1, 10 ** 30])
    assert getattr(parser, STATE) == state and OFFSET not in vars(parser)


class _IndexOnly:
    """Stores as its __index__ but cannot be masked (no __and__)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("state, offset, after", [
    (1, 0, "state 1 offset 0"),    # compares only
    (2, 0, "state 2 offset 0"),
    (3, 0, "state 3 offset 0"),
    (5, 0, "state 5 offset 0"),
    (8, 3, "state 8 offset 3"),
    (7, 3, "state 7 offset 4"),    # stores, then compares
    (4, 32, "state 5 offset 33"),  # stores, completes, then takes the checksum byte
    (6, 4, "state 1 offset 5"),
])
def test_element_without_a_low_byte_fails_where_its_row_examines_it(state, offset, after):
    parser = QuillmoreParser()
    setattr(parser, STATE, state)
    setattr(parser, OFFSET, offset)
    with pytest.raises(TypeError):
        parser.parse([_IndexOnly(0x11)])
    assert state_line(parser) == after
    stored = vars(parser)[PAYLOAD][offset] == 0x11
    assert stored == (state in (4, 6, 7))


@pytest.mark.parametrize("state, offset, after", [(4, 3, "state 4 offset 4"), (9, 7, "state 1 offset 8"),
                                                  (11, 12, "state 1 offset 13")])
def test_element_without_a_low_byte_is_collected_where_no_row_examines_it(state, offset, after):
    parser = QuillmoreParser()
    setattr(parser, STATE, state)
    setattr(parser, OFFSET, offset)
    parser.parse([_IndexOnly(0x11)])
    assert state_line(parser) == after and vars(parser)[PAYLOAD][offset] == 0x11
