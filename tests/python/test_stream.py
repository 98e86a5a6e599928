"""Live sessions: the virtual headset on a pseudo-terminal, read as a port and
published on the Lab Streaming Layer (loopback), received by real inlets;
the bytes kept with --save-bytes; reconnection; host time stamps; errors."""
import csv
import io
import os
import re
import subprocess
import sys
import time
import uuid
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

import quillmore
from quillmore import cli, ports
from quillmore.constants import FIELDS, VOLTS_PER_COUNT
from quillmore.simulate import simulate

pylsl = pytest.importorskip("pylsl")
pytest.importorskip("serial")

KINDS = ("raw", "eeg", "extend", "gyro", "rr")


def start(*argv):
    return subprocess.Popen([sys.executable, "-m", "quillmore", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def headset(*argv):
    """A virtual headset on a pseudo-terminal; returns the process and its device."""
    process = start("simulate", "--pty", *argv)
    device = process.stderr.readline().strip()
    assert re.fullmatch(r"/dev/\S+", device), device
    return process, device


def finish(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def inlets(origin):
    """Open inlets on the five streams of ``origin``, by source_id."""
    opened = {}
    for kind in KINDS:
        found = pylsl.resolve_byprop("source_id", f"quillmore:{origin}:{kind}", timeout=10)
        assert len(found) == 1, kind
        opened[kind] = pylsl.StreamInlet(found[0], max_buflen=60)
        opened[kind].open_stream(timeout=10)
    return opened


MICROVOLTS = VOLTS_PER_COUNT * 1e6


def pull(inlet, until, count=None):
    samples, stamps = [], []
    while time.monotonic() < until and (count is None or len(samples) < count):
        chunk, times = inlet.pull_chunk(timeout=0.2)
        samples += chunk
        stamps += times
    return samples, stamps


def test_a_port_round_trip_gives_the_recordings_values(tmp_path):
    origin = f"test-{uuid.uuid4().hex}"
    saved = tmp_path / "session.bin"
    sim, device = headset("--duration", "8", "--seed", "8")
    streamer = start("stream", "--port", device, "--duration", "6", "--save-bytes", str(saved),
                     "--source-id", origin)
    try:
        opened = inlets(origin)
        info = ElementTree.fromstring(opened["raw"].info().as_xml())
        until = time.monotonic() + 3.5
        raw, stamps = pull(opened["raw"], until)
        eeg, _ = pull(opened["eeg"], time.monotonic() + 0.5)
    finally:
        status, _, err = finish(streamer)
        sim.wait(timeout=30)
        sim.stderr.close()
    assert status == 0, err
    assert f"saved {saved.stat().st_size:,} bytes to {saved}" in err

    # What the outlet sent is an unaltered stretch of the saved session.
    recording = quillmore.read(saved)
    truth = recording.raw.tolist()
    # Microvolts, from which the counts come back exactly.
    received = [round(sample[0] / MICROVOLTS) for sample in raw]
    assert len(received) > 1000
    first = next(i for i in range(len(truth)) if truth[i:i + len(received)] == received)
    eeg_truth = [[int(row[name]) for name in FIELDS["eeg"]] for row in recording.eeg]
    assert eeg and all(row in eeg_truth for row in eeg)

    # Monotonic stamps at about 512 a second, with no bunching.
    steps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert min(steps) > 0
    assert abs((stamps[-1] - stamps[0]) / (len(stamps) - 1) - 1 / 512) < 0.1 / 512
    assert first + len(received) <= len(truth)
    # The stamps come from the headset's clock fitted to the arrivals, not
    # from the reads' jitter.  Stamps that followed the reads would lengthen
    # a step wherever a read came late; the fit lengthens none beyond the
    # fitted period but for a rare refit of its slope.  It only shortens the
    # steps where it found a sooner read and moved its line down: a busy
    # machine delays the first reads by milliseconds, and the line catches
    # up over as many parts as that takes (up to 2% of the steps on a
    # loaded 2-core machine).  The capture's timing file holds the readings
    # the live stamps were made from, so offline the same parts get the same
    # stamps; between them the capture interpolates where the outlet dates
    # back at the nominal rate, which differs by at most 3/4 of a sample
    # while the line catches up.
    period = np.median(steps)
    assert abs(period * 512 - 1) < 1e-3
    assert np.mean(np.array(steps) / period - 1 > 0.01) < 0.01
    offline = recording.host_time()[first:first + len(received)]
    assert np.abs(np.array(stamps) - offline).max() < 0.8 / 512

    assert info.findtext("name") == "EEG headset raw EEG" and info.findtext("type") == "EEG"
    assert float(info.findtext("nominal_srate")) == 512 and info.findtext("channel_format") == "float32"
    assert float(info.findtext("desc/acquisition/volts_per_count")) == VOLTS_PER_COUNT
    channel = info.find("desc/channels/channel")
    assert [channel.findtext(tag) for tag in ("label", "unit", "type")] == ["EEG", "microvolts", "EEG"]
    band = ElementTree.fromstring(opened["eeg"].info().as_xml())
    assert [c.findtext("label") for c in band.findall("desc/channels/channel")] == list(FIELDS["eeg"])


def test_a_recording_sent_fast_arrives_whole(tmp_path):
    origin = f"test-{uuid.uuid4().hex}"
    recording = tmp_path / "rec.bin"
    recording.write_bytes(simulate(10, seed=4).data)
    streamer = start("stream", str(recording), "--fast", "--wait", "20", "--raw-units", "counts", "--source-id", origin)
    try:
        opened = inlets(origin)
        # All five at once: an inlet whose outlet has closed may block.
        wanted = {"raw": 5120, "eeg": 10, "extend": 10, "gyro": 5, "rr": 3}
        got = {kind: ([], []) for kind in wanted}
        until = time.monotonic() + 20
        while time.monotonic() < until and any(len(got[kind][0]) < n for kind, n in wanted.items()):
            for kind, n in wanted.items():
                if len(got[kind][0]) < n:
                    chunk, stamps = opened[kind].pull_chunk(timeout=0.0)
                    got[kind][0].extend(chunk)
                    got[kind][1].extend(stamps)
            time.sleep(0.01)
    finally:
        status, _, err = finish(streamer)
    assert status == 0, err
    truth = quillmore.read(recording)
    assert [sample[0] for sample in got["raw"][0]] == truth.raw.tolist()   # --raw-units counts
    assert {kind: len(samples) for kind, (samples, _) in got.items()} == \
        {kind: len(getattr(truth, kind)) for kind in KINDS}
    assert [[int(row[name]) for name in FIELDS["rr"]] for row in truth.rr] == got["rr"][0]
    # On the recording's own clock: the standard frames are one second apart.
    eeg_stamps = got["eeg"][1]
    assert all(abs(b - a - 1.0) < 1e-6 for a, b in zip(eeg_stamps, eeg_stamps[1:]))


def test_fast_keeps_to_a_pace_that_subscribers_buffers_can_take(tmp_path, monkeypatch, capsys):
    recording = tmp_path / "rec.bin"
    recording.write_bytes(simulate(120, seed=5).data)
    sent = []   # (seconds since the start, seconds of raw samples sent so far)

    class Outlets:
        def __init__(self, *args):
            self.pylsl = pylsl
            self.started, self.raw = time.monotonic(), 0

        def push(self, part, last):
            self.raw += len(part.raw)
            sent.append((time.monotonic() - self.started, self.raw / 512))

        def consumers(self):
            return True

        def close(self):
            pass
    monkeypatch.setattr(cli.lsl, "Outlets", Outlets)
    assert cli.main(["stream", str(recording), "--fast"]) == 0
    # Never further ahead of the speed than one piece (about 2 s of recording):
    # 120 s take 2 s, where a subscriber's buffer holds 360 s.
    assert sent[-1][1] == 120
    assert all(seconds <= cli.lsl.FAST_SPEED * elapsed + 4 for elapsed, seconds in sent)
    err = capsys.readouterr().err
    assert "sent 120 eeg, 120 extend, 61440 raw" in err and "nothing lost" not in err
    assert "the input lost nothing (what subscribers missed, only they can tell)" in err


def test_reconnect_across_a_headset_restart(tmp_path):
    link = tmp_path / "headset"
    first, _ = headset("--duration", "2", "--seed", "1", "--link", str(link))
    decoder = start("decode", "--port", str(link), "--reconnect", "--duration", "6", "--kinds", "eeg")
    try:
        first.wait(timeout=30)
        time.sleep(1.0)
        second, _ = headset("--duration", "2", "--seed", "2", "--link", str(link))
        second.wait(timeout=30)
    finally:
        status, out, err = finish(decoder)
        for process in (first, second):
            process.stderr.close()
    assert status == 0, err
    assert "went away" in err and "is back after" in err
    # One figure for the gap: the clock counts its time, so the rows after it
    # stand that much later and its samples are in the loss summary.
    gap = float(re.search(r"went away 1 time: (\d+\.\d) s without data", err).group(1))
    missing = int(re.search(r"(\d+) raw samples missing", err).group(1))
    assert "the link went away 1 time" in err
    times = [float(line.split(",")[1]) for line in out.splitlines()[1:]]
    assert max(b - a for a, b in zip(times, times[1:])) >= gap
    assert missing >= (gap - 1) * 512
    # Standard frames of both sessions (each second, after 0.5 s of it).
    assert len(out.splitlines()) - 1 >= 3


def test_live_rows_carry_the_computers_clock():
    sim, device = headset("--duration", "3", "--seed", "3")
    try:
        before = time.time()
        result = subprocess.run([sys.executable, "-m", "quillmore", "decode", "--port", device, "--duration", "2",
                                 "--kinds", "raw,eeg", "-q"], capture_output=True, text=True, timeout=60)
        after = time.time()
    finally:
        sim.wait(timeout=30)
        sim.stderr.close()
    assert result.returncode == 0, result.stderr
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    assert list(rows[0])[:4] == ["kind", "index", "time", "host_time"]
    raw_times = [float(row["host_time"]) for row in rows if row["kind"] == "raw"]
    assert before < raw_times[0] and raw_times[-1] < after
    assert all(b > a for a, b in zip(raw_times, raw_times[1:]))


@pytest.mark.parametrize("argv, message", [
    (["stream", "--port", "/nonexistent/port"], "cannot open port /nonexistent/port: No such file or directory"),
    (["decode", "--port", "/nonexistent/port", "--save-bytes", "{new}"], "cannot open port /nonexistent/port"),
    (["stream", "--port", "/dev/null", "--fast"], "--fast applies to a recording (FILE) only"),
    (["decode", "--sample", "--save-bytes", "{existing}"], "{existing} exists; --save-bytes never writes over"),
    (["decode", "--sample", "--reconnect"], "--reconnect applies to --port only"),
])
def test_stream_errors(tmp_path, capsys, argv, message):
    existing = tmp_path / "kept.bin"
    existing.write_bytes(b"keep me")
    argv = [arg.format(existing=existing, new=tmp_path / "new.bin") for arg in argv]
    assert cli.main(argv) in (1, 2)
    assert capsys.readouterr().err.startswith(f"quillmore: error: {message.format(existing=existing)}")
    # Nothing written over, and no empty capture left behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["kept.bin"]
    assert existing.read_bytes() == b"keep me"


def test_stream_errors_of_the_library(monkeypatch, capsys, tmp_path):
    recording = tmp_path / "rec.bin"
    recording.write_bytes(simulate(1, seed=1).data)
    monkeypatch.setitem(sys.modules, "pylsl", None)
    assert cli.main(["stream", str(recording)]) == 1
    assert "streaming to the Lab Streaming Layer needs pylsl, which is not installed; " \
           "install it with: pip install pylsl" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "pylsl", pylsl)

    def refuse(*args, **kwargs):
        raise RuntimeError("could not create the outlet")
    monkeypatch.setattr(pylsl, "StreamOutlet", refuse)
    assert cli.main(["stream", str(recording)]) == 1
    assert "cannot create the LSL outlet 'EEG headset raw EEG': could not create the outlet" in \
        capsys.readouterr().err


def test_ports_are_listed_with_the_likely_ones_marked(monkeypatch, capsys):
    from serial.tools import list_ports, list_ports_common

    def port(device, vid):
        info = list_ports_common.ListPortInfo(device, skip_link_detection=True)
        info.vid, info.description = vid, "adapter" if vid else "n/a"
        return info
    monkeypatch.setattr(list_ports, "comports", lambda: [port("/dev/ttyS0", None), port("/dev/ttyUSB0", 0x10C4),
                                                         port("/dev/rfcomm0", None)])
    assert [(p.device, p.likely) for p in ports.list_ports()] == \
        [("/dev/rfcomm0", True), ("/dev/ttyS0", False), ("/dev/ttyUSB0", True)]
    assert cli.main(["ports"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("* /dev/rfcomm0") and lines[1].startswith("  /dev/ttyS0")


def test_mne_lsl_reads_the_live_eeg_as_to_mne_gives_it(tmp_path):
    """MNE-LSL, a client nobody here wrote, takes the raw outlet as EEG in
    microvolts (unit V, multiplier 10^-6): scaled so, its data are to_mne()'s volts."""
    stream_lsl = pytest.importorskip("mne_lsl.stream")
    recording = tmp_path / "rec.bin"
    recording.write_bytes(simulate(8, seed=4).data)
    origin = f"test-{uuid.uuid4().hex}"
    streamer = start("stream", str(recording), "--source-id", origin)
    try:
        client = stream_lsl.StreamLSL(bufsize=4, source_id=f"quillmore:{origin}:raw").connect(timeout=15)
        time.sleep(3)
        data, _ = client.get_data()
        channel = client.info["chs"][0]
        assert client.get_channel_types() == ["eeg"] and channel["unit_mul"] == -6
        client.disconnect()
    finally:
        status, _, err = finish(streamer)
    assert status == 0, err
    rec = quillmore.read(recording)
    live = data[0].astype(np.float64) * 1e-6
    counts = np.rint(data[0] / MICROVOLTS).astype(int).tolist()
    truth = rec.raw.tolist()
    first = next(i for i in range(len(truth)) if truth[i:i + len(counts)] == counts)
    offline = rec.to_mne().get_data()[0][first:first + len(counts)]
    assert np.allclose(live, offline, rtol=1e-6, atol=0)
