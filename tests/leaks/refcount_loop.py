"""Reference-leak and memory check of the QuillmoreParser module.

Runs every kind of frame, every error path and every method of the module
over and over under a debug interpreter (python3.11d, which has
sys.gettotalrefcount) and checks that the interpreter's total reference
count and its count of allocated memory blocks stay flat: a reference or a
block that the module forgets to release on any path shows up as growth
proportional to the number of rounds.  Exits with status 1 and a message
naming the growth when there is some, 2 when it cannot measure.

    PYTHONPATH=build/dbg/binding python3.11d tests/leaks/refcount_loop.py [--batches N] [--scale X]
"""
import argparse
import builtins
import ctypes
import gc
import importlib
import pathlib
import sys
from array import array

import QuillmoreParser as module
from QuillmoreParser import QuillmoreData, QuillmoreExtendData, QuillmoreParser

P = QuillmoreParser
STATE = "_QuillmoreParser__state"
OFFSET = "_QuillmoreParser__byteOffset"
PAYLOAD = "_QuillmoreParser__payload"
DECODERS = ("_QuillmoreParser__parsePackagePayload", "_QuillmoreParser__parseExtendPackagePayload",
            "_QuillmoreParser__parseHRVPackagePayload")
KEYWORDS = ("eeg_callback", "extend_eeg_callback", "gyro_callback", "rr_callback", "raw_callback")


# ---------------------------------------------------------------- frames

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from headset_frames import EXTEND_BODY as EXTEND, EXTEND_NO_SENSOR, gyro_frame, hrv_frame, raw_frame, standard  # noqa: E402,F401


# Every kind of frame, good and bad, noise, and an extended frame that runs
# past the payload buffer.
STREAM = (b"\x00\x55\xaa\x13" + standard() + EXTEND + b"\xaa\xaa\x04" + raw_frame(0x80, 0)[3:]
          + gyro_frame(1, 200, 3) + hrv_frame(800, 850, 900) + hrv_frame(1, 2, 3, good=False)
          + standard(checksum=0) + EXTEND_NO_SENSOR + b"\xaa\xbb\x05\x0c" + bytes(13)
          + raw_frame(0x12, 0x34, checksum=0) + standard(bytes(32)) + b"\x06" + bytes(1100)
          + b"".join(raw_frame(k, 255 - k) for k in range(20)) + standard() + b"\x06\x11\xaa\x22\xaa\xaa\x00")


# ---------------------------------------------------------------- hosts

class Sink:
    """Callbacks that keep what they get until cleared; the n-th call of
    each may raise."""

    def __init__(self, fail_every=0):
        self.got = []
        self.calls = 0
        self.fail_every = fail_every

    def __call__(self, *args):
        self.got.append(args)
        self.calls += 1
        if self.fail_every and self.calls % self.fail_every == 0:
            raise KeyError(self.calls)


class Undecided:
    def __bool__(self):
        raise ZeroDivisionError("no opinion")

    def __call__(self, *args):
        pass


class Masked:
    def __and__(self, mask):
        return 0xAA & mask


class Replacement:
    def __init__(self):
        self.order = []

    def __setattr__(self, name, value):
        if name != "order":
            self.order.append(name)
        object.__setattr__(self, name, value)


class Watched(P):
    @property
    def _QuillmoreParser__state(self):
        return self.__dict__.get("state", 1)

    @_QuillmoreParser__state.setter
    def _QuillmoreParser__state(self, value):
        self.__dict__["state"] = value


class Overriding(P):
    def _QuillmoreParser__parsePackagePayload(self):
        return super()._QuillmoreParser__parsePackagePayload()

    def _QuillmoreParser__parseHRVPackagePayload(self):
        raise LookupError("override")


def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception:  # noqa: BLE001 - every error path is exercised on purpose
        pass


def vectorcall(callable_, args, kwnames):
    """A call with keyword names that a Python-level call would refuse."""
    function = ctypes.pythonapi.PyObject_Vectorcall
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    vector = (ctypes.py_object * len(args))(*args)
    return function(callable_, vector, len(args) - len(kwnames), kwnames)


def chunks(data):
    return [data, bytearray(data), memoryview(data), array("B", data), list(data), tuple(data), iter(list(data)),
            (b for b in data), memoryview(bytes(x for b in data for x in (b, 0)))[::2], array("H", list(data)),
            memoryview(bytearray(data)).toreadonly(), memoryview(data).cast("b")]


# ---------------------------------------------------------------- one round

def frames_and_inputs():
    sink = Sink()
    for parser in (P(*[sink] * 5), P(), P(*[0, "", None, [], False]), Watched(*[sink] * 5), Overriding(*[sink] * 5)):
        for chunk in chunks(STREAM):
            attempt(parser.parse, chunk)
        for data in (b"", STREAM[:17], STREAM[17:], b"\x00" * 300, bytes(range(256)),  # split mid-frame
                     [0x1AA, 0x2AA, 0x104, 0, 0, 0, 5, 0xFA], [Masked(), Masked()]):
            attempt(parser.parse, data)
    sink.got.clear()


def failing_callbacks():
    for keyword in KEYWORDS:
        parser = P(**{keyword: Sink(fail_every=1)})
        for chunk in (STREAM, list(STREAM), bytearray(STREAM), (b for b in STREAM)):
            attempt(parser.parse, chunk)
        for bad in (Undecided(), 5, lambda: None):
            attempt(P(**{keyword: bad}).parse, STREAM)
    sink = Sink(fail_every=3)
    parser = P(*[sink] * 5)
    for _ in range(5):
        attempt(parser.parse, STREAM)


def bad_elements():
    parser = P()
    for data in ([0xAA, 0xAA, 0x04, 1, "x"], [0xAA, 0xAA, 0x04, 1, 1.5], [0xAA, 0xAA, 0x04, None],
                 [0xAA, 0xAA, 0x04, 256], [0xAA, 0xAA, 0x04, -1], [0xAA, 0xAA, 0x04, 2 ** 70], [0xAA, b"\x01"],
                 [0xAA, 0xAA, 0x04, Masked()], 5, None, 1.5, iter_raising(), array("d", [1.0]), "text"):
        attempt(parser.parse, data)
        setattr(parser, STATE, 1)


def iter_raising():
    yield 0xAA
    yield 0xAA
    raise OSError("link lost")


def argument_errors():
    p = P()
    f = print
    for call, args, kwargs in [
            (P, (f,) * 6, {}), (P.__init__, (p,) + (f,) * 7, {}), (P.__init__, (), {}),
            (P.__init__, (), {"eeg_callback": f}), (p.parse, (), {}), (p.parse, (b"", b""), {}), (P.parse, (), {}),
            (P.parse, (), {"self": p}), (P.parse, (), {"byteData": b""}), (P.parse, (p,), {"x": 1}),
            (p.parse, (b"",), {"byteData": b""}), (P.parse, (p, b""), {"self": p}), (P, (f,), {"eeg_callback": f}),
            (P, (), {"eeg": f}), (P, (), {"eeg_callback": f, "eeg": f}), (p.parse, (b"",), {"x": 1}),
            (lambda: p.parse(b"", **{1: 2}), (), {}), (lambda: P(**{1: 2}), (), {}),
            (getattr(p, DECODERS[0]), (1,), {}), (getattr(P, DECODERS[1]), (), {}),
            (getattr(P, DECODERS[2]), (p, p), {}), (getattr(P, DECODERS[0]), (), {"x": 1}),
            (getattr(P, DECODERS[1]), (p,), {"self": p})]:
        attempt(call, *args, **kwargs)
    for callable_, args, kwnames in [(P.__init__, [p, f], (1,)), (P.__init__, [p, f, f], ("eeg_callback", 1)),
                                     (P.__init__, [p, f, f], ("eeg", 1)), (P.parse, [p, b"", f], (1,)),
                                     (P.parse, [p, f], (1,)), (P.parse, [p, b""], ("byteData",))]:
        attempt(vectorcall, callable_, args, kwnames)
    # Good calls through every binding path.
    P(f, f, f, f, f)
    P(eeg_callback=f, raw_callback=f, gyro_callback=f)
    P.__init__(self=p)
    P.parse(p, byteData=b"\xaa")
    P.parse(self=p, byteData=b"\x00")
    getattr(P, DECODERS[2])(self=p)


def payloads_and_attributes():
    sink = Sink()
    parser = P(*[sink] * 5)
    for payload in (None, 5, b"\0" * 1024, memoryview(bytes(1024)), [0] * 1024, bytearray(10), bytearray(3000),
                    array("B", bytes(1024)), memoryview(bytearray(1024)), array("H", [0] * 1024),
                    standard()[3:] + bytes(991)):
        setattr(parser, PAYLOAD, payload)
        for data in (STREAM, list(STREAM[:80])):
            attempt(parser.parse, data)
        for decoder in DECODERS:
            attempt(getattr(parser, decoder))
        setattr(parser, STATE, 1)
    setattr(parser, PAYLOAD, bytearray(1024))
    for state, offset in [(12, 0), (0, 5), (4, 10 ** 30), (4, -(10 ** 30)), (4, 1.5), (4, "x"), (4, None),
                          (7, 1023), (7, 2 ** 62), (7, 10 ** 30), (4, -1), (3.0, 0), ("x", 0), (True, 0)]:
        setattr(parser, STATE, state)
        setattr(parser, OFFSET, offset)
        attempt(parser.parse, STREAM[:60])
        attempt(parser.parse, list(STREAM[:60]))
    del parser._QuillmoreParser__raw_callback
    attempt(parser.parse, raw_frame(0, 1))
    parser.__init__(*[sink] * 5)
    parser.parse(STREAM)
    sink.got.clear()


def hostile_callbacks():
    # Re-entry, payload and input resized by a callback, callbacks swapped,
    # the last reference dropped, endless re-entry.
    holder = []
    data = bytearray(raw_frame(0, 1) + raw_frame(0, 2) + standard() + EXTEND + b"\xaa\xaa")

    def raw(value):
        parser = holder[0]
        parser.parse(raw_frame(0, 9) if value == 1 else b"\xaa")
        payload = getattr(parser, PAYLOAD)
        payload.extend(bytes(10)) if value == 1 else payload.__delitem__(slice(1024, None))
        data.extend(raw_frame(0, 3)) if value == 2 else None
        setattr(parser, "_QuillmoreParser__gyro_callback", Sink())
        if value == 3:
            holder.clear()
            gc.collect()

    holder.append(P(raw_callback=raw, eeg_callback=Sink(), extend_eeg_callback=Sink()))
    holder[0].parse(data)
    holder.append(P(raw_callback=raw))
    holder[0].parse(list(data))
    holder.clear()

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        looping = P(raw_callback=lambda value: looping.parse(raw_frame(0, 1)))
        attempt(looping.parse, raw_frame(0, 1))
        looping.__init__()  # breaks the cycle through the lambda's closure
    finally:
        sys.setrecursionlimit(limit)


def records():
    sink = Sink()
    parser = P(eeg_callback=sink, extend_eeg_callback=sink)
    data = standard() + EXTEND + b"\xaa\xaa\x00"
    for name in ("QuillmoreData", "QuillmoreExtendData"):
        original = getattr(module, name)
        setattr(module, name, Replacement)
        parser.parse(data)
        delattr(module, name)
        attempt(parser.parse, data)
        setattr(builtins, name, Replacement)
        parser.parse(data)
        delattr(builtins, name)
        setattr(module, name, original)
    for cls in (QuillmoreData, QuillmoreExtendData):
        cls.__init__ = lambda self: None
        parser.parse(data)
        del cls.__init__
        attempt(cls, 1)
        cls().signal = 5
    P().parse(data)
    sink.got.clear()


class _Acting(int):
    """A state or offset whose finaliser resizes its parser's buffer."""
    parser = None

    def __del__(self):
        payload = getattr(type(self).parser, PAYLOAD)
        payload.extend(bytes(64)) if len(payload) < 4096 else payload.__delitem__(slice(1024, None))


class _Colliding(str):
    """A key that collides with the state's name and resizes the buffer."""
    parser = None

    def __hash__(self):
        return hash(STATE)

    def __eq__(self, other):
        getattr(type(self).parser, PAYLOAD).extend(bytes(8))
        return False


class _IndexOnly:
    def __index__(self):
        return 0x11


def host_code_everywhere():
    # Finalisers of replaced values and of dropped records, a colliding key,
    # elements that store but cannot be masked, and the rows that stop there.
    sink = Sink()
    parser = P(eeg_callback=sink, raw_callback=sink)
    _Acting.parser = _Colliding.parser = parser
    for name in (STATE, OFFSET):
        setattr(parser, name, _Acting(1 if name == STATE else 0))
        parser.parse(raw_frame(0, 1) + standard())
    vars(parser)[_Colliding("k")] = 0
    parser.parse(raw_frame(0, 2) * 3 + standard())
    for state, offset in ((7, 3), (4, 32), (6, 4), (10, 5), (0, 0)):
        setattr(parser, STATE, state)
        setattr(parser, OFFSET, offset)
        attempt(parser.parse, [_IndexOnly(), "x"])
    del parser._QuillmoreParser__payload[1024:]
    vars(parser).clear()
    _Acting.parser = _Colliding.parser = None
    sink.got.clear()


def methods_and_reload():
    importlib.reload(module)  # the same module, left as it is
    for name in ("__init__", "parse", *DECODERS):
        method = getattr(P, name)
        (method.__name__, method.__qualname__, method.__code__, method.__defaults__, method.__globals__)
        method.__get__(P())


WORK = (frames_and_inputs, failing_callbacks, bad_elements, argument_errors, payloads_and_attributes,
        hostile_callbacks, host_code_everywhere, records, methods_and_reload)


def one_round():
    for work in WORK:
        work()


def import_again():
    # A new import after the module left sys.modules yields the same module.
    saved = sys.modules.pop("QuillmoreParser")
    try:
        importlib.import_module("QuillmoreParser")
    finally:
        sys.modules["QuillmoreParser"] = saved


# What is measured: (what, one round of it, rounds per batch, growth of
# references and of blocks per batch that counts as noise).  The
# interpreter's caches (type attribute cache, the import machinery's) come and
# go by some tens of blocks, up to about a hundred for imports, which are
# therefore measured in large batches.
CHECKS = [("frames, inputs, error paths and methods", one_round, 40, (10, 20)),
          ("importing the module again", import_again, 400, (10, 150))]


# ---------------------------------------------------------------- measuring

def references_are_counted():
    """Whether the module's own increments and decrements reach the total,
    i.e. it was compiled with the debug interpreter's pyconfig.h: otherwise
    every delivery below would seem to leak the argument it was given."""
    parser = P(raw_callback=lambda raw: None)
    frames = raw_frame(0x12, 0x34) * 1000
    parser.parse(frames)
    before = sys.gettotalrefcount()
    parser.parse(frames)
    return abs(sys.gettotalrefcount() - before) < 100


def totals():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def measure(what, work, rounds, tolerance, batches):
    """Runs `batches` batches of `rounds` rounds after a warm-up; returns a
    message if references or blocks grew by more than `tolerance` (a pair)."""
    for _ in range(rounds // 2):
        work()
    refs, blocks = totals()
    growth = []
    for batch in range(batches):
        for _ in range(rounds):
            work()
        now_refs, now_blocks = totals()
        growth.append((now_refs - refs, now_blocks - blocks))
        refs, blocks = now_refs, now_blocks
        print(f"  {what}, batch {batch + 1}: {rounds} rounds, references {growth[-1][0]:+d}, "
              f"blocks {growth[-1][1]:+d}", flush=True)
    # A leak grows every batch by about the same amount; noise (caches that
    # the interpreter fills or trims) does not: judge by the median batch.
    failed = []
    for index, counted in enumerate(("references", "blocks")):
        typical = sorted(g[index] for g in growth)[len(growth) // 2]
        if typical > tolerance[index]:
            failed.append(f"{counted} grow by about {typical} per {rounds} rounds "
                          f"({', '.join(f'{g[index]:+d}' for g in growth)})")
    totals_line = (f"{batches * rounds} rounds: references {sum(g[0] for g in growth):+d}, "
                   f"blocks {sum(g[1] for g in growth):+d}")
    if failed:
        return f"LEAK in {what} over {totals_line}: " + "; ".join(failed)
    print(f"refcount_loop: {what}: flat over {totals_line}", flush=True)
    return None


def main():
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("--batches", type=int, default=6, help="batches measured per check (default 6)")
    options.add_argument("--scale", type=float, default=1.0, help="multiplies the rounds per batch (default 1)")
    args = options.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print(f"refcount_loop: {sys.executable} is not a debug interpreter (no sys.gettotalrefcount)", file=sys.stderr)
        return 2
    print(f"refcount_loop: {module.__file__}", flush=True)
    if not references_are_counted():
        print("refcount_loop: the module does not count its references (built without Py_REF_DEBUG: compile it "
              "with the debug interpreter's pyconfig.h)", file=sys.stderr)
        return 2
    leaks = [measure(what, work, max(1, round(rounds * args.scale)), tolerance, args.batches)
             for what, work, rounds, tolerance in CHECKS]
    leaks = [leak for leak in leaks if leak]
    for leak in leaks:
        print(f"refcount_loop: {leak}", file=sys.stderr)
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
