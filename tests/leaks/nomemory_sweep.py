"""Allocation-failure sweep of the extension modules QuillmoreParser and
quillmore._recording.

For every kind of frame, fed as bytes and as a list of ints to a parser
whose callbacks are set (a record class of the module's own and one of the
host's), and for every call of quillmore._recording (a Decoder made, fed,
fed after keeping, finished, its loss() and released read, raw_times() of
a clock with steps), fails one memory allocation at a time, the first, the
second, ... (_testcapi.set_nomemory), until the call goes through with no
failure left to inject.  Every failure must surface as MemoryError: another
exception (the SystemError of an API called with an exception set), or,
under the debug interpreter, an assertion abort, is a fault.  A decoder a
failure interrupted must then still answer loss() and refuse or take more
input without crashing.  Exits with status 1 naming the faulty cases, 2
when it cannot run.

    PYTHONPATH=build/dbg/binding:build/dbg/python python3.11d tests/leaks/nomemory_sweep.py

(build/dbg/python holds a quillmore package with the debug build's
_recording; tests/leaks/run.sh puts it together.)
"""
import sys

try:
    import _testcapi
except ImportError:
    print("nomemory_sweep: this interpreter has no _testcapi", file=sys.stderr)
    sys.exit(2)

import QuillmoreParser as module
from QuillmoreParser import QuillmoreParser
from quillmore import _recording
from refcount_loop import EXTEND, EXTEND_NO_SENSOR, gyro_frame, hrv_frame, raw_frame, standard

FRAMES = {
    "standard": standard(),
    "extended": standard() + EXTEND + b"\xaa\xaa",
    "extended without sensor": standard() + EXTEND_NO_SENSOR + b"\xaa\xaa",
    "raw": raw_frame(0x80, 0x01),
    "gyro": gyro_frame(1, 200, 3),
    "hrv": hrv_frame(800, 850, 900),
    "state and offset made the instance's own": b"\x00",
}
# For quillmore._recording: every kind of row, damage that makes the clock
# infer lost samples (a step in the clock) and holds rows back until the
# next standard frame, and a frame cut short at the end.
RAWS = b"".join(raw_frame(k, 255 - k) for k in range(10))
RECORDING = (standard() + EXTEND + b"\xaa\xaa\x04" + raw_frame(0x80, 0)[3:] + RAWS + gyro_frame(1, 200, 3)
             + raw_frame(1, 2, checksum=0) * 3 + b"\x13\x37" + RAWS + hrv_frame(800, 850, 900) + standard()
             + EXTEND_NO_SENSOR + RAWS + raw_frame(3, 4, checksum=0) + RAWS + standard()[:20])
HALF = len(RECORDING) // 2

# Beyond this many allocations into a parse every case has gone through.
MOST_ALLOCATIONS = 400


def sink(*args):
    pass


def attempt(target, act, fail_at):
    """Fails allocation `fail_at` of act(target); None when it went through,
    else what it raised."""
    _testcapi.set_nomemory(fail_at, fail_at + 1)
    try:
        act(target)
    except MemoryError:
        return "MemoryError"
    except BaseException as error:  # noqa: B036 - anything else is the finding
        return f"{type(error).__name__}: {error}"
    finally:
        _testcapi.remove_mem_hooks()
    return None


def sweep(name, prepare, act, after=None):
    faults = []
    clean = 0
    # set_nomemory(start, stop) fails the allocations numbered start + 1 to
    # stop: from 0, the first allocation of the call is failed too.
    for fail_at in range(0, MOST_ALLOCATIONS):
        target = prepare()
        outcome = attempt(target, act, fail_at)
        if outcome is None:
            clean += 1
            if clean >= 20:  # twenty in a row: past the call's last allocation
                break
            continue
        clean = 0
        if outcome != "MemoryError":
            faults.append(f"{name}: allocation {fail_at}: {outcome}")
        elif after is not None:
            try:
                after(target)
            except BaseException as error:  # noqa: B036
                faults.append(f"{name}: after a failure at allocation {fail_at}: {type(error).__name__}: {error}")
    return faults


def sink(*args):
    pass


def parser_faults():
    own = (module.QuillmoreData, module.QuillmoreExtendData)
    host = (type("HostData", (), {}), type("HostExtendData", (), {}))
    faults = []
    cases = 0
    for name, data in FRAMES.items():
        for convert in (bytes, list):
            for label, classes in (("own records", own), ("host records", host)):
                cases += 1
                module.QuillmoreData, module.QuillmoreExtendData = classes
                faults += sweep(f"{name}, {convert.__name__}, {label}",
                                lambda: (QuillmoreParser(sink, sink, sink, sink, sink), convert(data)),
                                lambda target: target[0].parse(target[1]))
    module.QuillmoreData, module.QuillmoreExtendData = own
    return cases, faults


def fed(data, method="feed"):
    def prepare():
        decoder = _recording.Decoder()
        getattr(decoder, method)(data)
        return decoder
    return prepare


def still_answers(decoder):
    """After a failure: the counters can be read, and more input is taken
    or refused with an exception, never a crash."""
    decoder.loss()
    try:
        decoder.feed(RECORDING)
        decoder.finish()
    except (RuntimeError, MemoryError):
        pass


def recording_faults():
    clock = _recording.Decoder().feed(RECORDING)[1]
    assert len(clock) > 8, "the recording's damage must leave a step in the clock"
    cases = {
        "Decoder()": (lambda: None, lambda _: _recording.Decoder()),
        "Decoder.feed": (_recording.Decoder, lambda d: d.feed(RECORDING)),
        "Decoder.feed, second chunk": (fed(RECORDING[:HALF]), lambda d: d.feed(RECORDING[HALF:])),
        "Decoder.feed, memoryview": (_recording.Decoder, lambda d: d.feed(memoryview(bytearray(RECORDING)))),
        "Decoder.feed after keep": (fed(RECORDING[:HALF], "keep"), lambda d: d.feed(RECORDING[HALF:])),
        "Decoder.keep": (_recording.Decoder, lambda d: d.keep(RECORDING)),
        "Decoder.finish": (fed(RECORDING), lambda d: d.finish()),
        "Decoder.finish after keep": (fed(RECORDING, "keep"), lambda d: d.finish()),
        "Decoder.loss": (fed(RECORDING), lambda d: d.loss()),
        "Decoder.released": (fed(RECORDING), lambda d: d.released),
        "raw_times": (lambda: None, lambda _: _recording.raw_times(clock, 200)),
    }
    faults = []
    for name, (prepare, act) in cases.items():
        faults += sweep(name, prepare, act, still_answers if name.startswith("Decoder.") else None)
    return len(cases), faults


def main():
    cases, faults = parser_faults()
    more, recording = recording_faults()
    faults += recording
    for fault in faults:
        print(f"nomemory_sweep: {fault}", file=sys.stderr)
    print(f"nomemory_sweep: {cases + more} cases, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
