"""Allocation-failure sweep of the QuillmoreParser module.

For every kind of frame, fed as bytes and as a list of ints to a parser
whose callbacks are set (a record class of the module's own and one of the
host's), fails one memory allocation at a time, the first, the second, ...
(_testcapi.set_nomemory), until a parse goes through with no failure left to
inject.  Every failure must surface as MemoryError: another exception (the
SystemError of an API called with an exception set), or, under the debug
interpreter, an assertion abort, is a fault.  Exits with status 1 naming the
faulty cases, 2 when it cannot run.

    PYTHONPATH=build/dbg/binding python3.11d tests/leaks/nomemory_sweep.py
"""
import sys

try:
    import _testcapi
except ImportError:
    print("nomemory_sweep: this interpreter has no _testcapi", file=sys.stderr)
    sys.exit(2)

import QuillmoreParser as module
from QuillmoreParser import QuillmoreParser
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
# Beyond this many allocations into a parse every case has gone through.
MOST_ALLOCATIONS = 400


def sink(*args):
    pass


def run_once(data, convert, fail_at):
    parser = QuillmoreParser(sink, sink, sink, sink, sink)
    chunk = convert(data)
    _testcapi.set_nomemory(fail_at, fail_at + 1)
    try:
        parser.parse(chunk)
    except MemoryError:
        return "MemoryError"
    except BaseException as error:  # noqa: B036 - anything else is the finding
        return f"{type(error).__name__}: {error}"
    finally:
        _testcapi.remove_mem_hooks()
    return None


def sweep(name, data, convert, record_class):
    module.QuillmoreData, module.QuillmoreExtendData = record_class
    faults = []
    clean = 0
    for fail_at in range(1, MOST_ALLOCATIONS):
        outcome = run_once(data, convert, fail_at)
        if outcome is None:
            clean += 1
            if clean >= 20:  # twenty in a row: past the parse's last allocation
                break
            continue
        clean = 0
        if outcome != "MemoryError":
            faults.append(f"{name}: allocation {fail_at}: {outcome}")
    return faults


def main():
    own = (module.QuillmoreData, module.QuillmoreExtendData)
    host = (type("HostData", (), {}), type("HostExtendData", (), {}))
    faults = []
    cases = 0
    for name, data in FRAMES.items():
        for convert in (bytes, list):
            for label, classes in (("own records", own), ("host records", host)):
                cases += 1
                faults += sweep(f"{name}, {convert.__name__}, {label}", data, convert, classes)
    module.QuillmoreData, module.QuillmoreExtendData = own
    for fault in faults:
        print(f"nomemory_sweep: {fault}", file=sys.stderr)
    print(f"nomemory_sweep: {cases} cases, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
