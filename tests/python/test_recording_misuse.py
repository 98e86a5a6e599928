"""quillmore.read and quillmore.Decoder under misuse: sizes that overflow,
files that shrink, file objects that are not blocking, sources changed after
the fact, copies, and calls made while another call holds the decoder."""
import copy
import gc
import io
import pickle
import struct
import sys
import weakref

import numpy as np
import pytest

import quillmore
from quillmore import _recording
from quillmore import recording as qr
from quillmore.sources import sample_bytes


def test_a_count_too_large_for_memory_is_refused_not_written_past():
    clock = struct.pack("=Q", 0)
    with pytest.raises(MemoryError):
        _recording.raw_times(clock, 2**61)
    huge = np.broadcast_to(np.int16(0), (2**61,))
    part = qr.Recording(huge, clock, qr._empty_rows(), qr._NO_LOSS, 0.0)
    with pytest.raises(MemoryError):
        part.raw_time


def test_a_file_that_shrinks_while_read_gives_what_was_there(tmp_path, monkeypatch):
    data = sample_bytes()
    path = tmp_path / "capture.bin"
    path.write_bytes(data)
    keep = qr.Decoder._keep
    piece = 4096

    def keep_then_truncate(self, chunk):
        keep(self, chunk)
        if self.bytes_fed == piece:   # a logger restarts its capture file
            with open(path, "r+b") as stream:
                stream.truncate(2 * piece)

    monkeypatch.setattr(qr, "_READ_CHUNK", piece)
    monkeypatch.setattr(qr.Decoder, "_keep", keep_then_truncate)
    with pytest.warns(RuntimeWarning, match="shrank while it was read"):
        got = quillmore.read(path)
    monkeypatch.undo()
    want = quillmore.read(data[:2 * piece])
    np.testing.assert_array_equal(got.raw, want.raw)
    assert got.source_sha256 == want.source_sha256


class Chunks(io.RawIOBase):
    def __init__(self, *chunks):
        self.chunks = list(chunks)

    def read(self, size=-1):
        return self.chunks.pop(0) if self.chunks else b""


@pytest.mark.parametrize("answer", [None, 0, "", [], 3.5])
def test_only_an_empty_bytes_like_ends_a_file_object(answer):
    data = sample_bytes()
    with pytest.raises(TypeError):
        quillmore.read(Chunks(data[:1000], answer, data[1000:]))


def test_an_empty_bytes_like_of_any_type_ends_a_file_object():
    data = sample_bytes()
    for end in (b"", bytearray(), memoryview(b"")):
        assert len(quillmore.read(Chunks(data, end, b"more")).raw) == len(quillmore.read(data).raw)


def test_the_hash_is_of_the_bytes_decoded_and_keeps_nothing_alive(tmp_path):
    data = sample_bytes()
    digest = quillmore.read(data).source_sha256

    class Buffer(bytearray):   # a subclass can be weakly referenced
        pass

    source = Buffer(data)
    alive = weakref.ref(source)
    rec = quillmore.read(source)
    source[:100] = bytes(100)
    del source
    gc.collect()
    assert alive() is None
    assert rec.source_sha256 == digest

    view = memoryview(data)
    rec = quillmore.read(view)
    view.release()
    assert rec.source_sha256 == digest

    path = tmp_path / "growing.bin"
    path.write_bytes(data)
    rec = quillmore.read(path)
    with open(path, "ab") as stream:
        stream.write(b"\xaa" * 100)
    assert rec.source_sha256 == digest


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda d: pickle.dumps(d)])
def test_a_decoder_cannot_be_copied(duplicate):
    for decoder in (quillmore.Decoder(), _recording.Decoder()):
        with pytest.raises(TypeError):
            duplicate(decoder)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__release_buffer__ needs Python 3.12")
@pytest.mark.parametrize("make", [quillmore.Decoder, _recording.Decoder])
def test_a_call_made_while_another_holds_the_decoder_is_refused(make):
    data = sample_bytes()
    decoder = make()
    calls = [lambda: decoder.feed(data), decoder.finish]
    if make is _recording.Decoder:
        calls += [decoder.loss, lambda: decoder.released]
    refused = []

    class Source:
        # Python code that runs inside feed(), where another thread could
        # come in and use the same decoder.
        def __buffer__(self, flags):
            return memoryview(data)

        def __release_buffer__(self, view):
            for call in calls:
                with pytest.raises(RuntimeError, match="in use"):
                    call()
                refused.append(call)
            view.release()

    first = decoder.feed(Source())
    assert len(refused) == len(calls)
    rest = decoder.finish()
    raws = [len(part.raw) if make is quillmore.Decoder else memoryview(part[0]).nbytes // 2
            for part in (first, rest)]
    assert sum(raws) == len(quillmore.read(data).raw)
    if make is quillmore.Decoder:
        assert decoder.sha256 == quillmore.read(data).source_sha256


def test_a_link_gap_is_counted_once_and_checked():
    data = sample_bytes()
    half = len(data) // 2
    decoder = quillmore.Decoder()
    parts = [decoder.feed(data[:half])]
    for bad in (-1.0, float("nan"), float("inf"), "2"):
        with pytest.raises((ValueError, TypeError)):
            decoder.link_gap(bad)
    decoder.link_gap(3.0)
    parts += [decoder.feed(data[half:]), decoder.finish()]
    whole = qr.concatenate(parts)
    clean = quillmore.read(data)
    assert whole.loss.link_gaps == decoder.loss.link_gaps == 1
    # Three seconds more on the clock, all of them missing samples.
    assert whole.loss.raw_missing - clean.loss.raw_missing == 3 * 512
    assert whole.duration == clean.duration + 3
    assert "the link went away 1 time" in whole.loss.summary()
