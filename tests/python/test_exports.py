"""Each export read back by its own library: values and times equal to the
recording's arrays, missing temperatures missing, lost stretches marked."""
import datetime
import json
import math
import subprocess
import sys

import numpy as np
import pytest

import quillmore
from quillmore import errors
from quillmore import recording as qr
from quillmore import signal_exports
from quillmore.simulate import simulate


@pytest.fixture(scope="module")
def rec():
    """Five seconds with broken checksums (so samples are missing and the
    grid has gaps) and one extended frame of each temperature case."""
    from quillmore import encoders as fr
    sim = simulate(5, seed=5, damage=0.02)
    tail = b"".join([fr.Standard(0, 50, 50, *range(8)).encode(), fr.Extended(1, 90, 13, 0, 2, 255, 0, 70).encode(),
                     fr.Raw(1).encode(), fr.Standard(0, 50, 50, *range(8)).encode(), bytes((0x06, 0x01, 0x07, 0x50)),
                     fr.Raw(2).encode()])
    recording = quillmore.read(sim.data + tail)
    assert recording.loss.raw_missing > 0
    assert set(recording.extend["temperature_status"]) == {0, 1, 2}
    return recording


def test_pandas_frames_hold_the_arrays(rec):
    frames = rec.to_pandas()
    assert list(frames) == ["eeg", "extend", "raw", "gyro", "rr", "markers"]
    assert frames["markers"].empty and list(frames["markers"]) == ["label", "stream"]
    raw = frames["raw"]
    assert raw.index.name == "time"
    np.testing.assert_array_equal(raw.index.to_numpy(), rec.raw_time)
    np.testing.assert_array_equal(raw["raw"].to_numpy(), rec.raw)
    for kind in qr.ROW_KINDS:
        frame = frames[kind]
        np.testing.assert_array_equal(frame.index.to_numpy(), rec.rows(kind)["time"])
        for name in rec.rows(kind).dtype.names:
            if name in ("time", "temperature_status"):
                continue
            np.testing.assert_array_equal(frame[name].to_numpy(), rec.rows(kind)[name], err_msg=f"{kind}.{name}")
    extend = frames["extend"]
    status = extend["temperature_status"]
    assert list(status.cat.categories) == ["measured", "no_reading", "no_row"]
    assert extend["temperature"][status != "measured"].isna().all()
    assert extend["temperature"][status == "measured"].notna().all()
    assert extend.attrs["loss"] == rec.loss.as_dict()
    assert rec.to_pandas("gyro").equals(frames["gyro"])


def test_npz_loads_without_pickle(rec, tmp_path):
    path = tmp_path / "rec"
    rec.save_npz(path)
    with np.load(path, allow_pickle=False) as data:
        np.testing.assert_array_equal(data["raw"], rec.raw)
        np.testing.assert_array_equal(data["raw_time"], rec.raw_time)
        for kind in qr.ROW_KINDS:
            assert data[kind].dtype.names == rec.rows(kind).dtype.names
            for name in data[kind].dtype.names:
                np.testing.assert_array_equal(data[kind][name], rec.rows(kind)[name])
        assert json.loads(str(data["loss"])) == rec.loss.as_dict()
        assert float(data["duration"]) == rec.duration


def test_parquet_files_hold_the_arrays_and_the_metadata(rec, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    paths = rec.to_parquet(tmp_path / "out")
    assert sorted(p.rsplit("/", 1)[1] for p in paths) == sorted(f"{k}.parquet" for k in ("eeg", "extend", "raw", "gyro", "rr"))
    raw = pq.read_table(tmp_path / "out" / "raw.parquet")
    np.testing.assert_array_equal(raw["raw"].to_numpy(), rec.raw)
    np.testing.assert_array_equal(raw["time"].to_numpy(), rec.raw_time)
    meta = raw.schema.metadata
    assert json.loads(meta[b"quillmore.loss"]) == rec.loss.as_dict()
    assert meta[b"quillmore.source_sha256"].decode() == rec.source_sha256
    eeg = pq.read_table(tmp_path / "out" / "eeg.parquet")
    for name in rec.eeg.dtype.names:
        np.testing.assert_array_equal(eeg[name].to_numpy(), rec.eeg[name])
    extend = pq.read_table(tmp_path / "out" / "extend.parquet").to_pylist()
    for row, expected in zip(extend, rec.extend):
        assert row["temperature_status"] == qr.TEMPERATURE_STATUS[expected["temperature_status"]]
        if expected["temperature_status"] == qr.TEMPERATURE_MEASURED:
            assert row["temperature"] == expected["temperature"]
        else:
            assert row["temperature"] is None


def grid_positions(rec):
    return np.rint(rec.raw_time * 512).astype(int)


def test_mne_raw_holds_the_samples_and_marks_the_losses(rec):
    mne = pytest.importorskip("mne")
    raw = rec.to_mne()
    assert isinstance(raw, mne.io.RawArray)
    assert raw.info["sfreq"] == 512
    assert raw.ch_names == ["EEG", "attention", "meditation", "signal"]
    assert raw.get_channel_types() == ["eeg", "misc", "misc", "misc"]
    data = raw.get_data()
    at = grid_positions(rec)
    np.testing.assert_allclose(data[0, at], rec.raw * qr.VOLTS_PER_COUNT, rtol=1e-12)
    # Each standard frame's values from its time on.
    for row in rec.eeg:
        k = int(round(row["time"] * 512))
        assert data[1:, k].tolist() == [row["attention"], row["meditation"], row["signal"]]
    # The lost samples, exactly, as BAD_ annotations.
    lost = np.setdiff1d(np.arange(data.shape[1]), at)
    marked = np.concatenate([np.arange(round(a["onset"] * 512), round((a["onset"] + a["duration"]) * 512))
                             for a in raw.annotations])
    np.testing.assert_array_equal(marked, lost)
    assert all(a["description"].startswith("BAD_") for a in raw.annotations)
    assert len(lost) == rec.loss.raw_missing
    # MNE's filters take it as it is.
    raw.copy().filter(1.0, 40.0, verbose="error")
    other = rec.to_mne(volts_per_count=1e-6)
    np.testing.assert_allclose(other.get_data()[0, at], rec.raw * 1e-6)


def test_edf_file_opens_with_the_same_channels_and_annotations(rec, tmp_path):
    edfio = pytest.importorskip("edfio")
    path = tmp_path / "rec.edf"
    rec.to_edf(path)
    edf = edfio.read_edf(path)
    assert [s.label for s in edf.signals] == ["EEG", "attention", "meditation", "signal"]
    eeg = edf.signals[0]
    assert eeg.sampling_frequency == 512
    at = grid_positions(rec)
    np.testing.assert_array_equal(eeg.digital[at], rec.raw)
    # Physical values as exact as the header's 8-character range allows.
    np.testing.assert_allclose(eeg.data[at], rec.raw * qr.VOLTS_PER_COUNT * 1e6, rtol=0, atol=1e-3)
    attention = edf.signals[1].data
    for row in rec.eeg:
        assert attention[int(round(row["time"] * 512))] == row["attention"]
    texts = [a.text for a in edf.annotations]
    expected = signal_exports.continuous(rec).bad
    lost = [(a.onset, a.duration) for a in edf.annotations if a.text == "BAD_lost"]
    assert [x for pair in lost for x in pair] == pytest.approx([x for pair in expected for x in pair])
    assert all(t.startswith("BAD_") for t in texts)
    # Another reader opens it too: MNE's, with the channels and the marks.
    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_edf(path, preload=True, verbose="error")
    assert raw.ch_names == ["EEG", "attention", "meditation", "signal"] and raw.info["sfreq"] == 512
    assert sum(d == "BAD_lost" for d in raw.annotations.description) == len(expected)
    np.testing.assert_allclose(raw.get_data()[0, at], rec.raw * qr.VOLTS_PER_COUNT, rtol=0, atol=1e-9)


def test_exports_say_which_package_is_missing(rec, monkeypatch, tmp_path):
    import builtins
    real_import = builtins.__import__

    def no_extras(name, *args, **kwargs):
        if name.split(".")[0] in ("pandas", "pyarrow", "mne", "edfio"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_extras)
    for call, package in ((lambda: rec.to_pandas(), "pandas"), (lambda: rec.to_parquet(tmp_path), "pyarrow"),
                          (lambda: rec.to_mne(), "mne"), (lambda: rec.to_edf(tmp_path / "x.edf"), "edfio")):
        with pytest.raises(ImportError, match=f"pip install {package}"):   # a QuillmoreError too
            call()


def test_input_without_frames_is_not_a_recording():
    for data in (b"", b"\x01\x02garbage"):
        with pytest.raises(errors.NotARecording, match="no frames found in the bytes given"):
            quillmore.read(data)
    empty = quillmore.read(b"", allow_empty=True)
    with pytest.raises(ValueError, match="nothing to export"):
        signal_exports.continuous(empty)
    assert math.isclose(empty.duration, 0.0)


def test_parquet_of_a_kind_without_rows_has_its_columns(rec, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    rec.to_parquet(tmp_path / "full")
    quillmore.read(b"", allow_empty=True).to_parquet(tmp_path / "empty")
    for kind in ("eeg", "extend", "raw", "gyro", "rr"):
        empty, full = (pq.read_table(tmp_path / folder / f"{kind}.parquet") for folder in ("empty", "full"))
        assert empty.num_rows == 0 and empty.schema.remove_metadata() == full.schema.remove_metadata()


# Each module, and the package modules it must not load: the shared names
# load nothing (beyond the errors the package itself names), and the
# exporters see Recording for typing only.
LEAVES = [("quillmore.constants", None),
          ("quillmore.table_exports", {"quillmore.recording", "quillmore._recording"}),
          ("quillmore.signal_exports", {"quillmore.recording", "quillmore._recording"})]


@pytest.mark.parametrize("module, forbidden", LEAVES)
def test_modules_load_no_more_of_the_package_than_they_need(module, forbidden):
    code = f"import sys, {module}; print(' '.join(m for m in sys.modules if m.startswith('quillmore.')))"
    loaded = set(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                check=True).stdout.split())
    assert loaded - {module, "quillmore.errors"} == set() if forbidden is None else not loaded & forbidden, loaded


def test_temperature_status_names_agree_with_the_extension_module():
    from quillmore import _recording, constants
    assert constants.TEMPERATURE_STATUS == tuple(_recording.TEMPERATURE_STATUS)


def test_load_npz_reads_back_what_save_npz_wrote(tmp_path):
    rec = quillmore.read(simulate(3, seed=5, damage=0.02).data)
    rec.start_time = datetime.datetime(2026, 12, 10, 9, 30, 1, 250000, tzinfo=datetime.timezone.utc)
    rec.save_npz(tmp_path / "r.npz")
    back = quillmore.load_npz(tmp_path / "r.npz")
    for kind in ("eeg", "extend", "gyro", "rr"):
        got, want = back.rows(kind), rec.rows(kind)
        assert got.dtype == want.dtype
        assert all(np.array_equal(got[name], want[name], equal_nan=want[name].dtype.kind == "f")
                   for name in want.dtype.names)
    assert np.array_equal(back.raw, rec.raw) and np.array_equal(back.raw_time, rec.raw_time)
    assert (back.loss, back.duration, back.source_sha256, back.start_time) == \
        (rec.loss, rec.duration, rec.source_sha256, rec.start_time)
    (tmp_path / "not.npz").write_bytes(b"PK not a zip")
    for path in (tmp_path / "not.npz", tmp_path / "missing.npz"):
        with pytest.raises(ValueError, match="cannot read"):
            quillmore.load_npz(path)
