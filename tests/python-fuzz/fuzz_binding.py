"""Coverage-guided fuzzer of the QuillmoreParser module itself (atheris).

Each input is a session.  Its first byte picks one of two hosts:

  plain    the stream, split into chunks of fuzzed sizes and handed over as
           bytes, bytearray, memoryview, a list or a generator, must give the
           plain Python decoder's callback log, state, offset and buffer;
  hostile  at every delivery, and in the finalisers and colliding dict keys
           it plants, the host does what the input says next: resizes or
           replaces the buffer or the chunk, deletes or reassigns state,
           offset and callbacks (with values whose finalisers act again),
           raises, feeds the parser again, swaps or deletes the record
           classes, collects garbage.  Any exception may end a parse but a
           SystemError (an API called with an exception set); nothing may
           crash, and AddressSanitizer sees every access.  A fresh parser
           must then still agree with the plain decoder.

    sh tests/python-fuzz/run.sh [SECONDS]
"""
import gc
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

with atheris.instrument_imports(include=["pure_python_parser"]):
    from pure_python_parser import PurePythonParser

import QuillmoreParser as module  # noqa: E402 - after atheris, so its coverage counters register
from QuillmoreParser import QuillmoreParser  # noqa: E402

STATE = "_QuillmoreParser__state"
OFFSET = "_QuillmoreParser__byteOffset"
PAYLOAD = "_QuillmoreParser__payload"
CALLBACKS = ("_QuillmoreParser__eeg_callback", "_QuillmoreParser__extend_eeg_callback",
             "_QuillmoreParser__gyro_callback", "_QuillmoreParser__rr_callback", "_QuillmoreParser__raw_callback")
NAMES = (STATE, OFFSET, PAYLOAD, *CALLBACKS, "_QuillmoreParser__parsePackagePayload",
         "_QuillmoreParser__parseExtendPackagePayload", "_QuillmoreParser__parseHRVPackagePayload")
DATA_FIELDS = ("signal", "attention", "meditation", "delta", "theta", "lowAlpha", "highAlpha",
               "lowBeta", "highBeta", "lowGamma", "highGamma")
EXTEND_FIELDS = ("ap", "battery", "version", "gnaw", "temperature", "heart")
OWN_CLASSES = (module.QuillmoreData, module.QuillmoreExtendData)


def logging_callbacks(log):
    def record(kind, fields):
        return lambda r: log.append((kind, *(getattr(r, f) for f in fields), *(type(getattr(r, f)) for f in fields)))
    return dict(eeg_callback=record("eeg", DATA_FIELDS), extend_eeg_callback=record("extend", EXTEND_FIELDS),
                gyro_callback=lambda x, y, z: log.append(("gyro", x, y, z)),
                rr_callback=lambda a, b, c: log.append(("rr", a, b, c)),
                raw_callback=lambda raw: log.append(("raw", raw)))


# ---------------------------------------------------------------- the plain host

def as_kind(chunk, kind):
    if kind == 0:
        return bytes(chunk)
    if kind == 1:
        return bytearray(chunk)
    if kind == 2:
        return memoryview(bytes(chunk))
    if kind == 3:
        return list(chunk)
    return (b for b in chunk)


def plain(fdp):
    sizes = [fdp.ConsumeIntInRange(0, 64) for _ in range(fdp.ConsumeIntInRange(0, 8))]
    kinds = [fdp.ConsumeIntInRange(0, 4) for _ in range(len(sizes) + 1)]
    stream = fdp.ConsumeBytes(fdp.remaining_bytes())
    compare(stream, sizes, kinds)


def compare(stream, sizes=(), kinds=(0,)):
    chunks, at = [], 0
    for size in sizes:
        chunks.append(stream[at:at + size])
        at += size
    chunks.append(stream[at:])
    got, want = [], []
    parser = QuillmoreParser(**logging_callbacks(got))
    reference = PurePythonParser(**logging_callbacks(want))
    for k, chunk in enumerate(chunks):
        parser.parse(as_kind(chunk, kinds[k % len(kinds)]))
        reference.parse(chunk)
    assert got == want, (got, want)
    assert getattr(parser, STATE) == reference.state and getattr(parser, OFFSET) == reference.byteOffset
    assert getattr(parser, PAYLOAD) == reference.payload


# ---------------------------------------------------------------- the hostile host

class Host:
    """Acts on a parser as the input's next bytes say."""

    MAX_DEPTH = 3

    def __init__(self, fdp):
        self.fdp = fdp
        self.parser = QuillmoreParser(*(self.callback(k) for k in range(5)))
        self.chunk = None
        self.depth = 0
        self.acts = 0

    def byte(self, low=0, high=255):
        return self.fdp.ConsumeIntInRange(low, high) if self.fdp.remaining_bytes() else low

    def callback(self, slot):
        def deliver(*args):
            self.act()
        deliver.slot = slot
        return deliver

    def acting(self, what):
        """A value whose finaliser, comparison or call acts again."""
        host = self

        class Acting(int):
            def __del__(self):
                host.act()

        class Key(str):
            def __hash__(self):
                return hash(what)

            def __eq__(self, other):
                host.act()
                return False

        class Record:
            def __init__(self):
                host.act()

            def __del__(self):
                host.act()

        return Acting, Key, Record

    def act(self):
        if self.depth >= self.MAX_DEPTH or self.acts > 200 or not self.fdp.remaining_bytes():
            return
        self.depth += 1
        self.acts += 1
        try:
            self.one_action(self.byte(0, 15))
        finally:
            self.depth -= 1

    def one_action(self, kind):
        p = self.parser
        payload = vars(p).get(PAYLOAD)
        if kind == 0:
            return
        if kind == 1 and isinstance(payload, bytearray):
            how = self.byte(0, 3)
            if how == 0:
                del payload[:self.byte()]
            elif how == 1:
                payload.extend(bytes(self.byte() * 64))
            elif how == 2:
                payload.clear()
            else:
                del payload[self.byte():]
        elif kind == 2:
            choice = self.byte(0, 4)
            value = [bytearray(self.byte() * 8), bytes(1024), None, memoryview(bytearray(40)),
                     bytearray(1024)][choice]
            setattr(p, PAYLOAD, value)
        elif kind in (3, 4):
            name = STATE if kind == 3 else OFFSET
            Acting, _, _ = self.acting(name)
            choice = self.byte(0, 5)
            if choice == 0:
                if name in vars(p):
                    delattr(p, name)
            else:
                base = self.byte(0, 12) if name == STATE else self.byte(0, 255) * 5
                value = [base, True, float(base), Acting(base), 10 ** 20][choice - 1]
                setattr(p, name, value)
        elif kind == 5:
            raise KeyError("host")
        elif kind == 6:
            p.parse(self.fdp.ConsumeBytes(self.byte(0, 40)))
        elif kind == 7:
            which = self.byte(0, 3)
            _, _, Record = self.acting("")
            name = ("QuillmoreData", "QuillmoreExtendData")[which & 1]
            if which < 2:
                setattr(module, name, Record)
            elif hasattr(module, name):
                delattr(module, name)
        elif kind == 8:
            slot = self.byte(0, 4)
            Acting, _, _ = self.acting("")

            class Dying:
                def __init__(self, inner):
                    self.inner = inner

                def __call__(self, *args):
                    self.inner(*args)

                def __del__(self_):
                    self.act()

            value = [None, Dying(self.callback(slot)), self.callback(slot), 0][self.byte(0, 3)]
            setattr(p, CALLBACKS[slot], value)
        elif kind == 9:
            name = NAMES[self.byte(0, len(NAMES) - 1)]
            _, Key, _ = self.acting(name)
            saved = vars(p).pop(name, None)
            vars(p)[Key("k")] = 0
            if saved is not None:
                vars(p)[name] = saved
        elif kind == 10:
            gc.collect()
        elif kind == 11 and isinstance(self.chunk, bytearray):
            how = self.byte(0, 2)
            if how == 0:
                self.chunk.extend(self.fdp.ConsumeBytes(self.byte(0, 40)))
            elif how == 1:
                del self.chunk[self.byte():]
            else:
                self.chunk.clear()
        elif kind == 12:
            module.QuillmoreData, module.QuillmoreExtendData = OWN_CLASSES
        elif kind == 13:
            other = QuillmoreParser()
            other.parse(self.fdp.ConsumeBytes(self.byte(0, 40)))
        elif kind == 14:
            self.parser.__init__(*(self.callback(k) for k in range(5)))


def hostile(fdp):
    host = Host(fdp)
    for _ in range(host.byte(1, 4)):
        kind = host.byte(0, 4)
        data = fdp.ConsumeBytes(host.byte(0, 255))
        host.chunk = as_kind(data, kind) if kind != 4 else [b if b != 0x42 else "x" for b in data]
        try:
            host.parser.parse(host.chunk)
        except SystemError:
            raise
        except Exception:  # noqa: BLE001 - every other failure is the host's or a rule's
            pass
    try:
        host.act()
        del host
        gc.collect()
    except SystemError:
        raise
    except Exception:  # noqa: BLE001
        pass
    if unraisable_system_errors:
        raise unraisable_system_errors.pop()


# Exceptions raised in finalisers cannot propagate; only a SystemError among
# them is a finding.
unraisable_system_errors = []


def note_unraisable(report):
    if isinstance(report.exc_value, SystemError):
        unraisable_system_errors.append(report.exc_value)


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    try:
        if fdp.ConsumeIntInRange(0, 3) == 0:
            hostile(fdp)
            # The module is still whole: a fresh parser decodes as the plain decoder does.
            module.QuillmoreData, module.QuillmoreExtendData = OWN_CLASSES
            compare(bytes.fromhex("aaaa0400000001fe") + data[:200])
        else:
            plain(fdp)
    finally:
        module.QuillmoreData, module.QuillmoreExtendData = OWN_CLASSES


if __name__ == "__main__":
    sys.setrecursionlimit(400)
    sys.unraisablehook = note_unraisable
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
