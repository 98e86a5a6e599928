"""Sessions recorded to XDF (quillmore record, through LabRecorder's engine)
and read back (quillmore.read of the XDF file): the virtual headset on a
pseudo-terminal, a marker stream of the test's own on loopback."""
import importlib.util
import os
import signal
import sys
import time
import uuid

import numpy as np
import pytest

import quillmore
from quillmore import cli
from quillmore.simulate import simulate

from test_stream import finish, headset, start

pylsl = pytest.importorskip("pylsl")
pytest.importorskip("serial")


def engine():
    """pyxdf and LabRecorder's engine (whose wheels are for Python 3.11 and 3.12)."""
    pytest.importorskip("labrecorder")
    return pytest.importorskip("pyxdf")


def marker_outlet():
    name = f"test markers {uuid.uuid4().hex[:8]}"
    info = pylsl.StreamInfo(name, "Markers", 1, pylsl.IRREGULAR_RATE, "string", name)
    return name, pylsl.StreamOutlet(info)


def wait_for_consumer(outlet, seconds=30):
    until = time.monotonic() + seconds
    while not outlet.have_consumers():
        assert time.monotonic() < until, "the recorder never subscribed"
        time.sleep(0.01)


def stretch_of(part, whole):
    """Where ``part`` lies in ``whole``, or None."""
    part, whole = np.asarray(part), np.asarray(whole)
    for start in np.flatnonzero(whole[:len(whole) - len(part) + 1] == part[0]):
        if np.array_equal(whole[start:start + len(part)], part):
            return int(start)
    return None


def test_a_port_recorded_to_xdf_reads_back_as_its_capture(tmp_path):
    pyxdf = engine()
    truth = tmp_path / "truth.csv"
    session = tmp_path / "s.xdf"
    sim, device = headset("--duration", "20", "--seed", "6", "--truth", str(truth))
    name, outlet = marker_outlet()
    recorder = start("record", str(session), "--port", device, "--also", "type=Markers", "--duration", "6")
    sent = []
    try:
        wait_for_consumer(outlet)
        for k in range(6):
            time.sleep(0.6)
            at = pylsl.local_clock()
            outlet.push_sample([f"stimulus {k}"], at)
            sent.append((f"stimulus {k}", at))
    finally:
        status, _, err = finish(recorder)
        sim.kill()
        sim.communicate()
    assert status == 0, err

    # pyxdf opens the file: the headset's six streams and the markers.
    streams, _ = pyxdf.load_xdf(str(session))
    names = {s["info"]["name"][0] for s in streams}
    assert {"EEG headset raw EEG", "EEG headset band power", "EEG headset loss", name} <= names

    # The raw counts are the capture's, exactly.
    rec = quillmore.read(session)
    capture = quillmore.read(tmp_path / "s.bin")
    assert len(rec.raw) > 5 * 512
    first = stretch_of(rec.raw, capture.raw)
    assert first is not None
    assert not rec.loss and rec.duration == pytest.approx(len(rec.raw) / 512, abs=0.01)
    assert abs((rec.start_time - capture.start_time).total_seconds() - first / 512) < 0.01
    assert len(rec.eeg) >= 5 and set(rec.eeg["attention"]) <= set(capture.eeg["attention"])

    # The markers, at the raw sample due when each was sent (the virtual
    # headset's truth), within a few milliseconds.
    mine = rec.markers[rec.markers["stream"] == name]
    assert [str(label) for label in mine["label"]] == [label for label, _ in sent]
    lines = np.loadtxt(truth, delimiter=",", skiprows=1)
    values, due = lines[:, 1].astype(int), lines[:, 2]
    start_in_truth = stretch_of(capture.raw[:64], values) + first
    for time_, (_, at) in zip(mine["time"], sent):
        expected = (np.searchsorted(due, at) - start_in_truth) / 512
        assert abs(time_ - expected) < 0.005
    raw = rec.to_mne()
    events = [(onset, text) for onset, text in zip(raw.annotations.onset, raw.annotations.description)
              if text.startswith("stimulus")]
    assert [text for _, text in events] == [label for label, _ in sent]
    assert np.allclose([onset for onset, _ in events], mine["time"], atol=1 / 512)
    table = rec.to_pandas("markers")
    assert table.loc[table["stream"] == name, "label"].tolist() == [label for label, _ in sent]

    # And as events of the session shared as BIDS, where they were.
    if importlib.util.find_spec("mne_bids") is not None:
        import pandas

        path = rec.to_bids(tmp_path / "bids", subject="01", task="oddball", line_freq=50)
        table = pandas.read_csv(path.copy().update(suffix="events", extension=".tsv").fpath, sep="\t")
        stimuli = table[table["trial_type"].str.startswith("stimulus")]
        assert stimuli["trial_type"].tolist() == [label for label, _ in sent]
        assert np.allclose(stimuli["onset"], mine["time"], atol=1 / 512)


def test_streams_on_the_network_recorded_until_ctrl_c(tmp_path):
    """--lsl: a recording sent by 'quillmore stream' in counts, with loss,
    recorded until SIGINT; its counts are a stretch of the recording's and
    the loss stream carries the loss."""
    engine()
    recording = tmp_path / "rec.bin"
    recording.write_bytes(simulate(20, seed=7, drop=0.0005).data)
    origin = f"test-{uuid.uuid4().hex}"
    streamer = start("stream", str(recording), "--raw-units", "counts", "--source-id", origin)
    session = tmp_path / "net.xdf"
    try:
        found = pylsl.resolve_byprop("source_id", f"quillmore:{origin}:raw", 1, 15)
        assert found
        recorder = start("record", str(session), "--lsl", f"source_id=quillmore:{origin}:*")
        while not (line := recorder.stderr.readline()).startswith("quillmore: recording"):
            assert line, "the recorder ended before it started recording"
        time.sleep(5)
        recorder.send_signal(signal.SIGINT)
        status, _, err = finish(recorder)
    finally:
        streamer.kill()
        streamer.communicate()
    assert status == 0, err
    rec = quillmore.read(session)
    whole = quillmore.read(recording)
    assert len(rec.raw) > 3 * 512
    assert stretch_of(rec.raw, whole.raw) is not None
    assert rec.loss and rec.loss.raw_missing > 0
    assert not (tmp_path / "net.bin").exists()


@pytest.mark.parametrize("argv, message, status", [
    (["record", "{dir}/new.xdf", "--port", "/dev/null", "--also", "Markers"],
     "argument --also: expected KEY=VALUE (such as type=Markers or name=My markers), not 'Markers'", 2),
    (["record", "{dir}/new.xdf", "--port", "/dev/null", "--also", "name=it's"],
     "argument --also: a value cannot hold a single quote", 2),
    (["record", "{dir}/new.xdf"], "give either --port DEVICE (the headset) or --lsl QUERY", 2),
    (["record", "{dir}/new.xdf", "--lsl", "type=EEG", "--no-bytes"], "--no-bytes applies to --port only", 2),
    (["record", "{dir}/kept.xdf", "--port", "/dev/null"],
     "{dir}/kept.xdf exists: record never writes over a file; choose another name", 1),
    (["record", "{dir}/other.xdf", "--port", "/dev/null"],
     "{dir}/other.bin exists: record never writes over a file; choose another name (or --no-bytes)", 1),
    (["record", "{dir}/new.xdf", "--port", "/nonexistent/port"],
     "cannot open port /nonexistent/port: No such file or directory", 1),
])
def test_record_errors(tmp_path, capsys, argv, message, status):
    if "/nonexistent/" in message:
        engine()
    for kept in ("kept.xdf", "other.bin"):
        (tmp_path / kept).write_bytes(b"keep me")
    argv = [arg.format(dir=tmp_path) for arg in argv]
    try:
        got = cli.main(argv)
    except SystemExit as exit:   # argparse's usage errors
        got = exit.code
    assert got == status
    assert message.format(dir=tmp_path) in capsys.readouterr().err
    assert {path.name for path in tmp_path.iterdir()} == {"kept.xdf", "other.bin"}
    assert (tmp_path / "kept.xdf").read_bytes() == (tmp_path / "other.bin").read_bytes() == b"keep me"


def test_the_missing_extras_are_named(monkeypatch, capsys, tmp_path):
    monkeypatch.setitem(sys.modules, "labrecorder", None)
    assert cli.main(["record", str(tmp_path / "s.xdf"), "--port", "/dev/null"]) == 1
    assert "recording to XDF needs labrecorder, which is not installed; install it with: pip install labrecorder" \
        in capsys.readouterr().err
    assert not os.listdir(tmp_path)
    monkeypatch.setitem(sys.modules, "pyxdf", None)
    (tmp_path / "s.xdf").write_bytes(b"XDF:" + bytes(64))
    with pytest.raises(quillmore.MissingExtra, match="reading an XDF file needs pyxdf"):
        quillmore.read(tmp_path / "s.xdf")
