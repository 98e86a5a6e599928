"""The companion package: frame encoders, virtual headset and the
``quillmore`` command (simulate, decode, plot)."""
import csv
import io
import json
import os
import re
import subprocess
import sys

import pytest

import quillmore
from quillmore import cli, session
from quillmore.constants import FIELDS, KINDS
from quillmore.rows_text import WRITTEN_FIELDS
from quillmore.encoders import Extended, Gyro, Hrv, Raw, Standard, encode
from quillmore.simulate import Corruptor, pace, simulate

SAMPLE_COUNTS = {"eeg": 60, "extend": 60, "raw": 30720, "gyro": 30, "rr": 26}


def run_cli(*argv):
    return subprocess.run([sys.executable, "-m", "quillmore", *argv], capture_output=True, timeout=60)


def read_rows(path):
    if path.suffix == ".jsonl":
        return [json.loads(line) for line in path.read_text().splitlines()]
    with open(path, newline="") as stream:
        return list(csv.DictReader(stream))


def as_written(value, fmt):
    """A decoded value as it reads back from a file of format ``fmt``."""
    return value if fmt == "jsonl" else str(value)


# ---------------------------------------------------------------- frames

def record_fields(recording, kind):
    """The arrays' rows of ``kind`` as the module's records hold them: the
    temperature the int 0 for "no reading" and 0.0 without a row 08."""
    if kind == "raw":
        return [{"raw": value} for value in recording.raw.tolist()]
    rows = recording.rows(kind)
    out = [{name: rows[name][k].item() for name in FIELDS[kind]} for k in range(len(rows))]
    if kind == "extend":
        for row, status in zip(out, rows["temperature_status"].tolist()):
            row["temperature"] = {1: 0, 2: 0.0}.get(status, row["temperature"])
    return out


STANDARD = Standard(signal=26, attention=1, meditation=100, delta=0xFFFFFF, theta=0, lowAlpha=0x010203,
                    highAlpha=0xAAAAAA, lowBeta=5, highBeta=0x800000, lowGamma=255, highGamma=256)
EXTENDED = Extended(ap=17, battery=90, main_version=12, gnaw=3, secondary_version=34, int_temp=36, dec_temp=5,
                    heart=72)


@pytest.mark.parametrize("frames", [
    [Raw(0), Raw(32767), Raw(-32768), Raw(-1), Raw(-32767)],
    [STANDARD, Raw(1)],
    # An extended frame is collected only after a standard frame and ends at
    # the next AA AA; a gyroscope frame supplies it here.
    [STANDARD, EXTENDED, Gyro(0, 180, -1)],
    [STANDARD, Extended(0, 0, 0, 0, 0, 255, 9, 0), Raw(0)],           # no temperature: the int 0
    [STANDARD, Extended(255, 255, 99, 255, 99, 0, 0, 255), Gyro(-75, 90, 179)],
    [Gyro(-75, 180, 0), Hrv(0, 65535, 800, blink=200), Hrv(1000, 999, 600)],
], ids=["raw", "standard", "extended", "no-temperature", "extremes", "gyro-hrv"])
def test_frames_decode_to_their_fields(frames):
    recording = quillmore.read(encode(frames))
    for kind in KINDS:
        expected = [frame.fields() for frame in frames if frame.kind == kind]
        got = record_fields(recording, kind)
        assert got == expected, kind
        # Exact types too: the int 0 for a missing temperature.
        assert [list(map(type, row.values())) for row in got] == \
            [list(map(type, row.values())) for row in expected], kind


@pytest.mark.parametrize("frame", [
    Raw(32768), Gyro(181, 0, 0), Hrv(65536, 0, 0), Standard(256, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
    Extended(ap=0xAA, battery=0, main_version=1, gnaw=0, secondary_version=0, int_temp=0, dec_temp=0, heart=0),
    Extended(ap=0, battery=0, main_version=100, gnaw=0, secondary_version=0, int_temp=0, dec_temp=0, heart=0),
])
def test_values_the_stream_cannot_carry_are_refused(frame):
    with pytest.raises(ValueError):
        frame.encode()


# ---------------------------------------------------------------- simulator

def test_simulation_is_plausible_and_reproducible():
    sim = simulate(12, seed=11)
    assert sim.data == simulate(12, seed=11).data
    assert sim.data != simulate(12, seed=12).data
    counts = {kind: len(sim.truth(kind)) for kind in KINDS}
    assert counts["raw"] == 12 * 512 and counts["eeg"] == counts["extend"] == 12
    assert counts["gyro"] == 6 and 3 <= counts["rr"] <= 7
    samples = [row["raw"] for row in sim.truth("raw")]
    assert max(map(abs, samples)) < 4000 and len(set(samples)) > 500
    for row in sim.truth("eeg"):
        assert 0 <= row["attention"] <= 100 and 0 <= row["meditation"] <= 100
        if row["signal"] == 0:
            # With good contact alpha and beta stand above gamma: the powers
            # come from the rhythms in the signal, not from noise.
            assert row["highAlpha"] > row["highGamma"] and row["lowBeta"] > row["highGamma"]
    assert all(500 <= v <= 1300 for row in sim.truth("rr") for v in row.values())


def test_band_powers_follow_the_signal():
    np = pytest.importorskip("numpy")
    sim = simulate(40, seed=3)
    samples, frames = [], []
    for frame in sim.frames:
        if frame.kind == "raw":
            samples.append(frame.sample)
        elif frame.kind == "eeg" and len(samples) >= 512:
            frames.append((len(samples), frame))
    # Each standard frame reports the band powers of the 512 samples before
    # it; the headset's units are a fixed multiple of the spectrum's.
    edges = ((0.5, 2.75), (3.5, 6.75), (7.5, 9.25), (10, 11.75), (13, 16.75), (18, 29.75), (31, 39.75),
             (41, 49.75))
    signal = np.asarray(samples, dtype=float)
    frequencies = np.fft.rfftfreq(512, 1 / 512)
    ratios = []
    for end, frame in frames:
        window = signal[end - 512:end]
        power = 2 * np.abs(np.fft.rfft(window - window.mean())) ** 2 / 512 ** 2
        spectrum = [power[(frequencies >= low) & (frequencies <= high)].sum() for low, high in edges]
        reported = [frame.fields()[name] for name in FIELDS["eeg"][3:]]
        ratios.append(np.log(reported) - np.log(spectrum))
    median = np.median(ratios, axis=0)
    assert np.all(np.abs(median - median.mean()) < 0.4), median


def test_realtime_pace():
    clock = [100.0]
    sleeps = []

    def sleep(seconds):
        sleeps.append(seconds)
        clock[0] += seconds
    pieces = [(0.5, b"a"), (1.0, b"b"), (1.0, b"c"), (2.5, b"d")]
    sent = []
    assert pace(iter(pieces), sent.append, True, clock=lambda: clock[0], sleep=sleep) == 2.5
    assert sent == [b"a", b"b", b"c", b"d"] and sleeps == [0.5, 0.5, 1.5]
    assert pace(iter(pieces), sent.append, False, clock=lambda: clock[0], sleep=sleep) == 2.5
    assert len(sleeps) == 3


@pytest.mark.parametrize("noise, drop", [(0.0, 0.0), (0.003, 0.002)])
def test_cli_stream_equals_the_simulated_one(tmp_path, noise, drop):
    # The command makes the stream in small pieces, corrupting each as it
    # goes; the result must not depend on the pieces.
    out = tmp_path / "rec.bin"
    args = ["simulate", "--seed", "5", "--duration", "4.25", "-o", str(out)]
    assert cli.main(args + ["--noise", str(noise), "--drop", str(drop)]) == 0
    assert out.read_bytes() == simulate(4.25, seed=5, noise=noise, drop=drop).data
    assert os.listdir(tmp_path) == ["rec.bin"]


def test_corruptor_rates():
    data = bytes(200000)
    noisy = Corruptor(0.01, 0.0, seed=1)(data)
    assert 1800 < len(noisy) - len(data) < 2200
    dropped = Corruptor(0.0, 0.01, seed=1)(data)
    assert 1800 < len(data) - len(dropped) < 2200


# ---------------------------------------------------------------- decode

def test_bundled_sample(tmp_path, capsys):
    assert cli.main(["decode", "--sample", "--out-dir", str(tmp_path)]) == 0
    assert {path.name: len(read_rows(path)) for path in tmp_path.iterdir() if path.name != "manifest.json"} == \
        {f"{kind}.csv": n for kind, n in SAMPLE_COUNTS.items()}
    err = capsys.readouterr().err
    assert "decoded 60 eeg, 60 extend, 30720 raw, 30 gyro, 26 rr" in err
    assert "\r" not in err   # no progress display when stderr is not a terminal

    # Without --out-dir: one table on stdout, raw left out by default.
    assert cli.main(["decode", "--sample"]) == 0
    rows = list(csv.reader(io.StringIO(capsys.readouterr().out)))
    header = rows.pop(0)
    assert header[:3] == ["kind", "index", "time"] and "raw" not in header
    assert len(rows) == sum(n for kind, n in SAMPLE_COUNTS.items() if kind != "raw")
    for row in rows:
        filled = {header[i] for i, cell in enumerate(row) if cell != ""}
        assert filled == {"kind", "index", "time", *WRITTEN_FIELDS[row[0]]}


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_simulate_then_decode_round_trips(tmp_path, fmt):
    sim = simulate(6, seed=7)
    recording = tmp_path / "rec.bin"
    recording.write_bytes(sim.data)
    out = tmp_path / "out"
    assert cli.main(["decode", str(recording), "--out-dir", str(out), "--format", fmt, "-q"]) == 0
    for kind in KINDS:
        rows = read_rows(out / f"{kind}.{fmt}")
        truth = sim.truth(kind)
        for fields in truth:
            if fields.get("temperature") == 0:   # the sensor's "no reading": no value in the file
                fields["temperature"] = None if fmt == "jsonl" else ""
        assert [{name: row[name] for name in FIELDS[kind]} for row in rows] == \
            [{name: as_written(value, fmt) for name, value in fields.items()} for fields in truth], kind
        assert [row["index"] for row in rows] == [as_written(i, fmt) for i in range(len(truth))]
    raw = read_rows(out / f"raw.{fmt}")
    assert raw[1000]["time"] == as_written(1000 / 512, fmt)
    # A standard frame follows the 256th sample of each second.
    assert [row["time"] for row in read_rows(out / f"eeg.{fmt}")][:2] == [as_written(0.5, fmt),
                                                                         as_written(1.5, fmt)]


@pytest.mark.parametrize("noise, drop", [(0.001, 0.0), (0.0, 0.001), (0.05, 0.05)])
def test_corrupted_streams_decode(tmp_path, noise, drop):
    sim = simulate(10, seed=3, noise=noise, drop=drop)
    recording = tmp_path / "rec.bin"
    recording.write_bytes(sim.data)
    result = run_cli("decode", str(recording), "--kinds", "all", "--format", "jsonl")
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    raw = sum(row["kind"] == "raw" for row in rows)
    if noise + drop < 0.01:
        # A damaged byte costs about one frame.
        assert 5120 * 0.95 < raw <= 5120
    else:
        assert 0 < raw < 5120
    assert re.search(rb"decoded \d+ eeg", result.stderr)


def test_overlong_extended_frame_does_not_stop_decoding():
    # Noise without AA AA after a standard frame's 06 runs past the
    # decoder's 1024-byte buffer; the frames after it still decode.
    recording = quillmore.read(encode([STANDARD]) + b"\x06" + bytes(1500) + encode([Raw(5), Raw(-5)]))
    assert record_fields(recording, "eeg") == [STANDARD.fields()]
    assert record_fields(recording, "raw") == [{"raw": 5}, {"raw": -5}]


@pytest.mark.parametrize("command", [["simulate"], ["decode", "--sample", "--kinds", "raw"]])
def test_closed_pipe_ends_quietly(command):
    process = subprocess.Popen([sys.executable, "-m", "quillmore", *command], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert len(process.stdout.read(100)) == 100
    process.stdout.close()
    assert process.wait(timeout=60) == 0
    assert process.stderr.read() == b""
    process.stderr.close()


def test_simulate_piped_into_decode():
    simulated = run_cli("simulate", "--duration", "5", "--seed", "1")
    result = subprocess.run([sys.executable, "-m", "quillmore", "decode", "-", "--kinds", "eeg", "--progress"],
                            input=simulated.stdout, capture_output=True, timeout=60)
    assert result.returncode == 0
    lines = result.stdout.decode().splitlines()
    # One kind: no kind column.
    assert lines[0] == "index,time," + ",".join(FIELDS["eeg"]) and len(lines) == 1 + 5
    assert b"decoded 5 eeg, 5 extend, 2560 raw" in result.stderr
    # Progress goes to stderr only, and is cleared before the summary.
    assert b"standard input: 20," in result.stderr and b"\r\x1b[Kquillmore: decoded" in result.stderr


def test_pseudo_terminal_serves_the_stream_to_a_serial_port(tmp_path):
    pytest.importorskip("serial")
    headset = subprocess.Popen([sys.executable, "-m", "quillmore", "simulate", "--pty", "--duration", "4",
                                "--seed", "8"], stderr=subprocess.PIPE, text=True)
    try:
        device = headset.stderr.readline().strip()
        assert re.fullmatch(r"/dev/\S+", device)
        out = tmp_path / "live"
        assert cli.main(["decode", "--port", device, "--duration", "2", "--out-dir", str(out), "-q"]) == 0
    finally:
        headset.wait(timeout=30)
        headset.stderr.close()
    raw = [int(row["raw"]) for row in read_rows(out / "raw.csv")]
    assert len(raw) > 300
    # What arrived is an unaltered stretch of what was sent (the pty must
    # be in raw mode: no echo, no CR/LF translation).
    truth = [row["raw"] for row in simulate(4, seed=8).truth("raw")]
    start = next(i for i in range(len(truth)) if truth[i:i + len(raw)] == raw)
    assert start + len(raw) <= len(truth)


# ---------------------------------------------------------------- failures

def test_interrupted_decoding_writes_nothing(tmp_path, monkeypatch, capsys):
    def interrupt(self, chunk):
        raise KeyboardInterrupt
    monkeypatch.setattr(session.SessionDecoder, "feed", interrupt)
    out = tmp_path / "out"
    assert cli.main(["decode", "--sample", "--out-dir", str(out)]) == 130
    assert not out.exists()   # the run made it, and takes it away again
    assert "interrupted; nothing written" in capsys.readouterr().err


@pytest.mark.parametrize("argv, hidden_module, message", [
    (["decode", "{tmp}/missing.bin"], None, "cannot read {tmp}/missing.bin: No such file"),
    (["plot", "{tmp}/missing.bin"], None, "cannot read {tmp}/missing.bin: No such file"),
    (["decode", "--port", "{tmp}/no-such-port"], None, "cannot open port {tmp}/no-such-port"),
    (["decode", "--port", "/dev/ttyS0"], "serial", "reading a serial port needs pyserial, which is not installed"),
    (["plot", "-o", "{tmp}/out.png"], "matplotlib", "plotting needs matplotlib, which is not installed"),
    (["simulate", "-o", "{tmp}/no-dir/rec.bin"], None, "cannot write {tmp}/no-dir/rec.bin"),
], ids=["missing-file", "plot-missing-file", "bad-port", "no-pyserial", "no-matplotlib", "unwritable"])
def test_errors_exit_with_a_message(tmp_path, monkeypatch, capsys, argv, hidden_module, message):
    if hidden_module is not None:
        monkeypatch.setitem(sys.modules, hidden_module, None)   # import now fails
    elif "--port" in argv:
        pytest.importorskip("serial")   # a bad port needs pyserial to get that far
    elif argv[0] == "plot":
        pytest.importorskip("matplotlib")   # a missing extra is reported first
    argv = [arg.format(tmp=tmp_path) for arg in argv]
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert f"quillmore: error: {message.format(tmp=tmp_path)}" in err
    assert "Traceback" not in err
    assert not (tmp_path / "out.png").exists()


def test_usage_errors():
    for argv in (["decode", "--kinds", "eeg,brain"], ["simulate", "--noise", "1.5"], ["frobnicate"]):
        result = run_cli(*argv)
        assert result.returncode == 2
        assert result.stderr.startswith(b"quillmore: error: ") and result.stderr.count(b"\n") == 1


# ---------------------------------------------------------------- plot

def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    sim = simulate(8, seed=4)
    recording = tmp_path / "rec.bin"
    recording.write_bytes(sim.data)
    out = tmp_path / "rec.png"
    result = run_cli("plot", str(recording), "-o", str(out), "--start", "1", "--end", "7")
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 20000
    assert sorted(os.listdir(tmp_path)) == ["rec.bin", "rec.png"]


def test_simulate_writes_the_truth_of_what_it_sent(tmp_path):
    """The truth file lists every raw sample sent, before the link's damage,
    dated on a crystal 100 ppm fast; a restart shows as an irregular interval."""
    stream, truth = tmp_path / "s.bin", tmp_path / "truth.csv"
    assert run_cli("simulate", "--duration", "3", "--seed", "2", "--restarts", "--clock-ppm", "100",
                   "--truth", str(truth), "-o", str(stream)).returncode == 0
    rows = read_rows(truth)
    rec = quillmore.read(stream)
    assert [int(row["raw"]) for row in rows] == rec.raw.tolist()
    assert [int(row["index"]) for row in rows] == list(range(3 * 512))
    assert float(rows[-1]["sent"]) == pytest.approx(3 / 1.0001, abs=1e-6)
    assert rec.loss.irregular_intervals == 1 and not rec.loss
    again = run_cli("simulate", "--duration", "1", "--truth", str(truth), "-o", str(tmp_path / "t.bin"))
    assert again.returncode == 1 and b"never writes over" in again.stderr
    assert not (tmp_path / "t.bin").exists()
