"""quillmore.read and quillmore.Decoder: the arrays hold what the frames
held, every chunking gives what read() gives, the losses and the clock
match what the simulator knows it damaged."""
import io
import pathlib

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillmore
from quillmore import encoders as fr
from quillmore.constants import BANDS, FIELDS
from quillmore import recording as qr
from quillmore.sources import sample_bytes
from quillmore.simulate import simulate

SAMPLE = pathlib.Path(quillmore.__file__).parent / "data" / "sample.bin"


def true_times(frames):
    """Each frame's time on a lossless clock: raw frames sent before it / 512."""
    raws = 0
    times = []
    for frame in frames:
        times.append(raws / 512)
        if frame.kind == "raw":
            raws += 1
    return times


def assert_same(a, b):
    np.testing.assert_array_equal(a.raw, b.raw)
    np.testing.assert_array_equal(a.raw_time, b.raw_time)
    for kind in qr.ROW_KINDS:
        # Compared field by field: NaN temperatures are equal here.
        assert a.rows(kind).dtype == b.rows(kind).dtype
        for name in a.rows(kind).dtype.names:
            np.testing.assert_array_equal(a.rows(kind)[name], b.rows(kind)[name], err_msg=f"{kind}.{name}")
    assert a.loss == b.loss
    assert a.duration == b.duration


# ---------------------------------------------------------------- sources

@pytest.fixture(scope="module")
def sample():
    return quillmore.read(SAMPLE)


def test_every_kind_of_source_reads_the_same(sample, tmp_path):
    data = sample_bytes()
    assert_same(quillmore.read(str(SAMPLE)), sample)
    assert_same(quillmore.read(data), sample)
    assert_same(quillmore.read(bytearray(data)), sample)
    assert_same(quillmore.read(memoryview(data)), sample)
    assert_same(quillmore.read(io.BytesIO(data)), sample)
    with open(SAMPLE, "rb") as stream:
        assert_same(quillmore.read(stream), sample)
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    assert len(quillmore.read(empty, allow_empty=True).raw) == 0
    assert sample.source_sha256 == quillmore.read(data).source_sha256 == quillmore.read(io.BytesIO(data)).source_sha256


def test_a_named_pipe_is_read_to_its_end(tmp_path):
    import os
    import threading
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    data = sample_bytes()

    def write():
        with open(fifo, "wb") as stream:
            stream.write(data)
    writer = threading.Thread(target=write)
    writer.start()
    rec = quillmore.read(fifo)
    writer.join()
    assert len(rec.raw) == 30720 and rec.source_sha256 == quillmore.read(data).source_sha256


@pytest.mark.parametrize("source", [123, io.StringIO("text")])
def test_other_sources_are_refused(source):
    with pytest.raises(TypeError):
        quillmore.read(source)


def test_the_sample_holds_the_frames_it_was_made_from(sample):
    sim = simulate(60, seed=2024)
    assert sim.data == sample_bytes()
    assert sample.raw.dtype == np.int16
    assert sample.raw.tolist() == [f["raw"] for f in sim.truth("raw")]
    for kind in ("eeg", "extend", "gyro", "rr"):
        truth = sim.truth(kind)
        rows = sample.rows(kind)
        assert len(rows) == len(truth)
        for name in FIELDS[kind]:
            assert rows[name].tolist() == pytest.approx([t[name] for t in truth]), f"{kind}.{name}"
    assert not sample.extend["damaged"].any() and not sample.gyro["damaged"].any()
    assert (sample.extend["temperature_status"] == qr.TEMPERATURE_MEASURED).all()
    # A clean stream: times are the frames' own.
    times = true_times(sim.frames)
    for kind in qr.ROW_KINDS:
        expected = [t for f, t in zip(sim.frames, times) if f.kind == kind]
        assert sample.rows(kind)["time"].tolist() == expected, kind
        assert (sample.rows(kind)["sample"] == sample.rows(kind)["time"] * 512).all()
    np.testing.assert_array_equal(sample.raw_time, np.arange(len(sample.raw)) / 512)
    assert sample.duration == 60.0
    assert not sample.loss and sample.loss.summary() == "nothing lost"


# ---------------------------------------------------------------- chunking

@pytest.fixture(scope="module")
def damaged_stream():
    """Three seconds with broken checksums, stray bytes and lost bytes."""
    return simulate(3, seed=7, noise=0.002, drop=0.002, damage=0.02).data


def feed_in(data, sizes):
    decoder = quillmore.Decoder()
    parts = []
    at = 0
    for size in sizes:
        parts.append(decoder.feed(data[at:at + size]))
        at += size
    parts.append(decoder.feed(data[at:]))
    parts.append(decoder.finish())
    return qr.concatenate(parts)


@pytest.mark.parametrize("size", [1, 3, 8, 37, 512, 4096])
def test_fixed_chunkings_equal_read(damaged_stream, size):
    whole = quillmore.read(damaged_stream)
    assert whole.loss
    assert_same(feed_in(damaged_stream, [size] * (len(damaged_stream) // size)), whole)


@given(st.lists(st.integers(0, 3000), max_size=40))
def test_any_chunking_equals_read(damaged_stream, sizes):
    assert_same(feed_in(damaged_stream, sizes), quillmore.read(damaged_stream))


def test_decoder_parts_report_what_they_added():
    decoder = quillmore.Decoder()
    sim = simulate(2, seed=3, damage=0.05)
    first = decoder.feed(sim.data[:9000])
    assert first.loss.checksum_failures["raw"] == decoder.loss.checksum_failures["raw"]
    rest = decoder.feed(sim.data[9000:])
    end = decoder.finish()
    assert (first.loss + rest.loss + end.loss) == decoder.loss
    assert decoder.sha256 == quillmore.read(sim.data).source_sha256
    with pytest.raises(ValueError):
        decoder.feed(b"\xaa")


# ---------------------------------------------------------------- losses and the clock

@pytest.mark.parametrize("seed", [1, 2, 3])
def test_counters_and_clock_match_the_damage_done(seed):
    sim = simulate(20, seed=seed, damage=0.01)
    rec = quillmore.read(sim.data)
    damaged = set(sim.damaged)
    kinds = [sim.frames[i].kind for i in damaged]
    assert rec.loss.checksum_failures == {kind: kinds.count(kind) for kind in ("eeg", "raw", "rr")}
    assert rec.loss.bytes_skipped == 0

    times = true_times(sim.frames)
    kept = [(f, t) for i, (f, t) in enumerate(zip(sim.frames, times)) if i not in damaged]
    last = [t for f, t in kept if f.kind == "eeg"][-1]
    # Failed raw frames are samples lost where they stood, before the first
    # decoded standard frame too; nothing is inferred after the last one.
    window = [(f, t) for f, t in kept if t <= last]
    assert rec.raw_time[rec.raw_time <= last].tolist() == [t for f, t in window if f.kind == "raw"]
    for kind in qr.ROW_KINDS:
        times_of = rec.rows(kind)["time"]
        assert times_of[times_of <= last].tolist() == [t for f, t in window if f.kind == kind], kind
    assert rec.loss.raw_missing == sum(1 for i in damaged if sim.frames[i].kind == "raw" and times[i] < last)
    assert rec.duration == (len(rec.raw) + rec.loss.raw_missing) / 512
    # Extended frames after a standard frame with a broken checksum are
    # flagged, and only those.
    after_broken = [sim.frames[i - 1].kind == "eeg" and (i - 1) in damaged
                    for i, f in enumerate(sim.frames) if f.kind == "extend"]
    assert rec.extend["damaged"].tolist() == after_broken


def test_clock_holds_under_byte_noise_and_drops():
    """1% stray and 1% lost bytes.  Decoded standard frames, matched to the
    frames sent by their band powers, keep their distances in time (what was
    lost before the first of them is estimated from the evidence alone)."""
    sim = simulate(60, seed=11, noise=0.01, drop=0.01)
    rec = quillmore.read(sim.data)
    times = true_times(sim.frames)
    sent = {tuple(f.fields()[b] for b in BANDS): t for f, t in zip(sim.frames, times) if f.kind == "eeg"}
    matched = [(sent[key], row["time"]) for row in rec.eeg
               if (key := tuple(int(row[b]) for b in BANDS)) in sent]
    assert len(matched) > 10
    offset = matched[0][1] - matched[0][0]
    assert abs(offset) <= 0.05
    assert all(got - true == offset for true, got in matched)
    assert rec.loss.raw_missing > 0 and rec.loss.bytes_skipped > 0
    # Losses before the first and after the last standard frame are not known.
    assert 57 <= rec.duration <= 60


def test_a_stream_without_raw_frames_still_has_a_clock():
    frames = []
    for second in range(4):
        frames += [fr.Standard(0, 50 + second, 50, *range(8)), fr.Extended(1, 90, 13, 0, 2, 36, 5, 70)]
    data = fr.encode(frames) + fr.Raw(0).encode()
    rec = quillmore.read(data)
    assert rec.eeg["time"].tolist() == [0.0, 1.0, 2.0, 3.0]
    assert rec.extend["time"].tolist() == [0.0, 1.0, 2.0, 3.0]
    assert rec.loss.raw_missing == 3 * 512


def test_frames_cut_short_and_summary():
    data = fr.encode([fr.Raw(5), fr.Raw(6)]) + fr.Raw(7).encode()[:5]
    rec = quillmore.read(data)
    assert rec.raw.tolist() == [5, 6]
    assert rec.loss.frames_cut_short == 1
    assert rec.loss.summary() == "lost: the last frame was cut short"
    noisy = quillmore.read(b"\x01\x02" + fr.Raw(5).encode() + fr.Raw(5).encode()[:-1] + b"\x00")
    assert str(noisy.loss) == "lost: checksum failures: 1 raw; 2 bytes skipped"


def test_the_package_lists_its_public_names():
    import quillmore as package
    public = [name for name in dir(package) if not name.startswith("_")]
    assert public == sorted(name for name in package.__all__ if not name.startswith("_"))
    assert all(getattr(package, name) is not None for name in package.__all__)
