"""One Decoder shared by several threads: every call either completes or is
refused whole (RuntimeError while another call holds the decoder,
ValueError once it has finished), nothing crashes, and what was accepted
adds up.  Every thread feeds the same chunk, so that the accepted calls,
in whatever order they ran, stand for that chunk repeated: their parts
together must hold read() of it, the decoder's loss and hash must be those
of it."""
import contextlib
import gc
import hashlib
import sys
import threading
import time

import numpy as np
import pytest

import quillmore
from quillmore import _recording
from quillmore import recording as qr
from quillmore.simulate import simulate

THREADS = 4
CALLS = 40


@pytest.fixture(scope="module")
def chunk():
    # Damage of every kind and a frame cut at each end, so that every part
    # carries losses and the joins between chunks matter.
    return simulate(2, seed=16, noise=0.003, drop=0.003, damage=0.03).data[101:-37]


@pytest.fixture(autouse=True)
def busy_interpreter():
    """Thread switches as often as the interpreter allows, and collections
    often enough that finalisers and gc callbacks run inside the calls."""
    interval, thresholds = sys.getswitchinterval(), gc.get_threshold()
    sys.setswitchinterval(1e-6)
    gc.set_threshold(50, 5, 5)
    yield
    sys.setswitchinterval(interval)
    gc.set_threshold(*thresholds)


def refused(error):
    return (isinstance(error, RuntimeError) and "in use by another thread" in str(error)) or (
        isinstance(error, ValueError) and "finished" in str(error))


def run_threads(*targets):
    errors, start = [], threading.Barrier(len(targets))

    def run(target):
        try:
            start.wait()
            target()
        except BaseException as error:  # noqa: B036 - reported below, with its thread's traceback lost otherwise
            errors.append(error)
    threads = [threading.Thread(target=run, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


@contextlib.contextmanager
def calls_from_gc(call):
    """`call`, then a switch to the other threads, at the start of every
    collection, on whichever thread allocated: often inside a call of the
    decoder (building its result, running finalisers), where feeding the
    same decoder is refused; in the moments outside a call's critical
    section it is a call like any."""
    def callback(phase, info):
        if phase == "start":
            call()
            time.sleep(0)    # and the other threads run, in the middle of this call
    gc.callbacks.append(callback)
    try:
        yield
    finally:
        gc.callbacks.remove(callback)


def assert_stands_for(parts, whole):
    """The parts, in some order, hold the rows of `whole`."""
    assert sum(len(p.raw) for p in parts) == len(whole.raw)
    np.testing.assert_array_equal(np.sort(np.concatenate([p.raw for p in parts])), np.sort(whole.raw))
    for kind in qr.ROW_KINDS:
        assert sum(len(p.rows(kind)) for p in parts) == len(whole.rows(kind)), kind
    assert sum(p.duration for p in parts) == whole.duration


def test_a_decoder_shared_by_threads_accepts_whole_calls_only(chunk):
    decoder = quillmore.Decoder()
    parts, accepted, outcomes = [], [0], {"refused": 0}
    lock = threading.RLock()           # the test's own bookkeeping (gc callbacks re-enter it)
    feeding = threading.Event()

    def keep(part, chunks):
        with lock:
            parts.append(part)
            accepted[0] += chunks

    def attempt(call, chunks):
        try:
            part = call()
        except (RuntimeError, ValueError) as error:
            assert refused(error), repr(error)
            with lock:
                outcomes["refused"] += 1
            return
        keep(part, chunks)

    def feeder():
        for _ in range(CALLS):
            attempt(lambda: decoder.feed(chunk), 1)

    def reader():
        # The wrapper's figures after the last completed call, and the
        # extension's own readers, which refuse while a call decodes.
        while not feeding.is_set():
            assert isinstance(decoder.loss, qr.Loss) and len(decoder.sha256) == 64
            assert decoder.bytes_fed % len(chunk) == 0
            for read in (decoder._decoder.loss, lambda: decoder._decoder.released):
                try:
                    read()
                except RuntimeError as error:
                    assert refused(error), repr(error)

    remaining = [THREADS]

    def feeder_then_count():
        feeder()
        with lock:
            remaining[0] -= 1
            if remaining[0] == 0:
                feeding.set()       # the reader stops with the last feeder

    with calls_from_gc(lambda: feeding.is_set() or attempt(lambda: decoder.feed(chunk), 1)):
        run_threads(*[feeder_then_count] * THREADS, reader)

    assert outcomes["refused"] > 0, "the threads never overlapped; the test proves nothing"
    # Several threads finish at once: one gets the rest, the others are refused.
    before = len(parts)
    run_threads(*[lambda: attempt(decoder.finish, 0)] * THREADS)
    assert len(parts) == before + 1
    with pytest.raises(ValueError, match="finished"):
        decoder.feed(chunk)

    whole = quillmore.read(chunk * accepted[0])
    assert_stands_for(parts, whole)
    assert qr.concatenate(parts).loss == decoder.loss == whole.loss
    assert decoder.sha256 == hashlib.sha256(chunk * accepted[0]).hexdigest() == whole.source_sha256
    assert decoder.bytes_fed == len(chunk) * accepted[0]


def test_the_extension_decoder_shared_by_threads(chunk):
    """quillmore._recording.Decoder itself, as another host than the
    package's wrapper might drive it: feed, finish, loss(), released and
    raw_times() of the parts from several threads, and from collections in
    the middle of building a part."""
    decoder = _recording.Decoder()
    counts, accepted, lock = [], [0], threading.RLock()
    sizes = [2] + [_recording.LAYOUTS[kind][0] for kind in qr.ROW_KINDS]

    def call(method, *args):
        try:
            return method(*args)
        except RuntimeError as error:
            assert refused(error), repr(error)
            return None

    def taken(arrays):
        raw, clock, *rows = arrays
        samples = len(memoryview(raw).cast("B")) // 2
        assert len(_recording.raw_times(clock, samples)) == 8 * samples
        return [samples] + [len(r) // size for r, size in zip(rows, sizes[1:])]

    def feed():
        arrays = call(decoder.feed, chunk)
        if arrays is not None:
            with lock:
                counts.append(taken(arrays))
                accepted[0] += 1

    def feeder():
        for _ in range(CALLS):
            feed()
            call(decoder.loss)
            call(getattr, decoder, "released")

    gc.set_threshold(1)     # a collection at nearly every allocation of a tracked object
    with calls_from_gc(feed):
        run_threads(*[feeder] * THREADS)
    counts.append(taken(decoder.finish()))
    whole = quillmore.read(chunk * accepted[0])
    assert [sum(c) for c in zip(*counts)] == [len(whole.raw)] + [len(whole.rows(k)) for k in qr.ROW_KINDS]
    assert qr.Loss._from_counters(decoder.loss()) == whole.loss
