"""The command-line tool on what goes wrong: special files, full disks, closed
pipes, bad options, input that is not a recording.  Every failure must be
one line ``quillmore: error: ...`` with a non-zero exit, and no file may be
harmed or left half-written."""
import csv
import hashlib
import io
import json
import os
import stat
import subprocess
import sys
import threading

import pytest

from quillmore.sources import sample_bytes
from quillmore.encoders import Extended, Raw, Standard, encode
from quillmore.simulate import simulate

SAMPLE = sample_bytes()


def quillmore(*argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, cwd=None):
    return subprocess.run([sys.executable, "-m", "quillmore", *argv], stdin=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=120, cwd=cwd)


def one_error_line(result, status=1):
    assert result.returncode == status, result.stderr
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillmore: error: "), result.stderr
    return lines[0][len("quillmore: error: "):]


@pytest.fixture
def files(tmp_path):
    (tmp_path / "rec.bin").write_bytes(simulate(3, seed=1).data)
    (tmp_path / "noise.bin").write_bytes(os.urandom(3000).replace(b"\xaa", b"\x00"))
    (tmp_path / "dir").mkdir()
    return tmp_path


# Each case: arguments ({tmp} is the test's folder), standard output ("full"
# for /dev/full), exit status and the start of the one-line message.
FAILURES = [
    (["simulate", "--duration", "2", "-o", "/dev/full"], None, 1,
     "cannot write /dev/full: No space left on device"),
    (["simulate", "--duration", "1", "-o", "{tmp}/dir"], None, 1, "cannot write {tmp}/dir: it is a directory"),
    (["simulate", "--duration", "2"], "full", 1, "cannot write to standard output: No space left on device"),
    (["decode", "--sample"], "full", 1, "cannot write to standard output: No space left on device"),
    (["decode", "{tmp}/noise.bin"], None, 1, "no frames found in {tmp}/noise.bin (3,000 bytes)"),
    (["decode", "{tmp}/noise.bin", "--out-dir", "{tmp}/out"], None, 1, "no frames found"),
    (["decode", "{tmp}/noise.bin", "--out-dir", "{tmp}/new/out"], None, 1, "no frames found"),
    (["decode", "{tmp}/noise.bin", "--out-dir", "{tmp}/dir/out", "--format", "npz"], None, 1, "no frames found"),
    (["decode"], None, 1, "no frames found in standard input (0 bytes)"),
    (["decode", "/dev/null", "--format", "jsonl"], None, 1, "no frames found in /dev/null (0 bytes)"),
    (["decode", "/dev/null"], None, 1, "no frames found in /dev/null (0 bytes)"),
    (["decode", "{tmp}/dir"], None, 1, "cannot read {tmp}/dir: Is a directory"),
    (["decode", "--port", "/dev/null", "--duration", "0"], None, 2, "argument --duration: must be more than 0"),
    (["decode", "--port", "/dev/null", "--baud", "0"], None, 2, "argument --baud: a baud rate must be more than 0"),
    (["decode", "{tmp}/rec.bin", "--sample"], None, 2, "give either a FILE or --sample"),
    (["decode", "--port", "/dev/null", "--format", "npz", "--out-dir", "{tmp}/live"], None, 2,
     "--format npz cannot be written live from --port; use csv, jsonl or parquet"),
    (["decode", "--port", "/dev/null", "--format", "edf", "--out-dir", "{tmp}/live"], None, 2,
     "--format edf cannot be written live"),
    (["plot", "--sample", "--dpi", "5000"], None, 2, "argument --dpi: must be 20 to 600"),
    (["plot", "--sample", "--dpi", "0"], None, 2, "argument --dpi: must be 20 to 600"),
    (["plot", "--sample", "--start", "20", "--end", "10"], None, 2, "--start (20 s) must come before --end"),
    (["plot", "{tmp}/rec.bin", "--start", "20"], None, 1, "--start 20 s is past the end of {tmp}/rec.bin (3.0 s)"),
    (["plot", "{tmp}/noise.bin"], None, 1, "no frames found"),
]


@pytest.mark.parametrize("argv, stdout, status, message", FAILURES,
                         ids=[" ".join(case[0]) + (" >full" if case[1] else "") for case in FAILURES])
def test_failures_are_one_line(files, argv, stdout, status, message):
    if argv[0] == "plot":
        pytest.importorskip("matplotlib")
    if "--port" in argv:
        pytest.importorskip("serial")
    before = sorted(os.listdir(files))
    argv = [arg.format(tmp=files) for arg in argv]
    if stdout == "full":
        with open("/dev/full", "wb") as full:
            result = quillmore(*argv, stdout=full)
    else:
        result = quillmore(*argv, cwd=files)
    assert one_error_line(result, status).startswith(message.format(tmp=files))
    # Nothing on standard output, nothing left behind (the directories a run
    # made included, those it found kept), no device replaced.
    assert not result.stdout
    assert sorted(os.listdir(files)) == before and os.listdir(files / "dir") == []
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)


def test_special_outputs_are_written_into_not_replaced(tmp_path):
    target = tmp_path / "target.bin"
    target.write_bytes(b"old")
    link = tmp_path / "link.bin"
    link.symlink_to(target.name)
    assert quillmore("simulate", "--duration", "1", "--seed", "2", "-o", str(link)).returncode == 0
    assert link.is_symlink() and target.read_bytes() == simulate(1, seed=2).data

    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    assert quillmore("simulate", "--duration", "1", "--seed", "2", "-o", str(fifo)).returncode == 0
    reader.join(timeout=60)
    assert received == [simulate(1, seed=2).data] and stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["fifo", "link.bin", "target.bin"]


@pytest.mark.parametrize("name", ["a" * 246, "b" * 247, "c" * 255, "é" * 125 + ".bin"],
                         ids=["246 bytes", "247 bytes", "255 bytes", "254 bytes in 129 characters"])
def test_names_up_to_the_limit_are_written(tmp_path, name):
    from quillmore.output import partial_path

    target = tmp_path / name
    # What a killed run left is written over and goes.
    partial_path(target).write_bytes(b"left over")
    assert quillmore("simulate", "--duration", "1", "--seed", "2", "-o", str(target)).returncode == 0
    assert os.listdir(tmp_path) == [name] and target.read_bytes() == simulate(1, seed=2).data


def test_a_full_disk_leaves_no_partial_files(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(small)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    try:
        out = small / "out"
        out.mkdir()
        # Leftovers of a killed run go, whatever the outcome of this one.
        (out / ".raw.csv.partial").write_bytes(b"x" * 1000)
        message = one_error_line(quillmore("decode", "--sample", "--out-dir", str(out)))
        assert message == f"cannot write in {out}: No space left on device; nothing written to {out}"
        assert os.listdir(out) == []
        # Directories the run made go too; the one it found stays.
        new = small / "new" / "out"
        message = one_error_line(quillmore("decode", "--sample", "--out-dir", str(new)))
        assert message == f"cannot write in {new}: No space left on device; nothing written to {new}"
        assert os.listdir(small) == ["out"]
    finally:
        subprocess.run(["umount", str(small)], check=True)


def test_standard_input_is_read_unless_it_is_a_terminal():
    piped = subprocess.run([sys.executable, "-m", "quillmore", "decode", "--kinds", "eeg", "-q"],
                           input=SAMPLE[:40000], capture_output=True, timeout=60)
    assert piped.returncode == 0 and len(piped.stdout.splitlines()) == 1 + 10   # 40 kB: 9.6 s

    master, slave = os.openpty()
    try:
        on_terminal = quillmore("decode", "--kinds", "eeg", stdin=slave)
    finally:
        os.close(master)
        os.close(slave)
    assert on_terminal.returncode == 0 and len(on_terminal.stdout.splitlines()) == 1 + 60
    assert b"standard input is a terminal: using the bundled sample recording" in on_terminal.stderr


def test_quiet_port_reading_says_nothing_but_the_error():
    pytest.importorskip("serial")
    master, slave = os.openpty()
    try:
        result = quillmore("decode", "--port", os.ttyname(slave), "--duration", "0.3", "-q")
    finally:
        os.close(master)
        os.close(slave)
    assert one_error_line(result).startswith("no frames found in /dev/")


def test_temperature_cases_are_never_a_zero_in_files(tmp_path):
    standard = Standard(0, 50, 50, 1, 2, 3, 4, 5, 6, 7, 8).encode()
    measured = Extended(1, 2, 12, 3, 34, 36, 5, 70).encode()
    no_reading = Extended(1, 2, 12, 3, 34, 255, 9, 70).encode()
    no_row = bytes((0x06, 1, 0x07, 2))   # ap and battery only
    stream = b"".join(standard + extended + Raw(0).encode() for extended in (measured, no_reading, no_row))
    (tmp_path / "rec.bin").write_bytes(stream)
    csv_out = quillmore("decode", str(tmp_path / "rec.bin"), "--kinds", "extend", "-q").stdout.decode()
    rows = list(csv.DictReader(io.StringIO(csv_out)))
    assert [(row["temperature"], row["temperature_status"]) for row in rows] == \
        [("36.5", "measured"), ("", "no_reading"), ("", "no_row")]
    jsonl = quillmore("decode", str(tmp_path / "rec.bin"), "--kinds", "extend", "--format", "jsonl", "-q")
    rows = [json.loads(line) for line in jsonl.stdout.splitlines()]
    assert [(row["temperature"], row["temperature_status"]) for row in rows] == \
        [(36.5, "measured"), (None, "no_reading"), (None, "no_row")]


def test_out_dir_manifest_and_other_recordings(tmp_path, files):
    out = tmp_path / "out"
    rec = files / "rec.bin"
    assert quillmore("decode", str(rec), "--out-dir", str(out), "-q").returncode == 0
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["source"] == {"name": str(rec), "size": rec.stat().st_size,
                                  "sha256": hashlib.sha256(rec.read_bytes()).hexdigest()}
    assert manifest["counts"] == {"eeg": 3, "extend": 3, "raw": 1536, "gyro": 2, "rr": 1}
    assert manifest["loss"] == {"bytes_in_no_frame": 0, "checksum_failures": {"eeg": 0, "raw": 0, "rr": 0},
                                "bytes_skipped": 0, "extended_dropped": 0, "extended_abandoned": 0,
                                "frames_cut_short": 0, "raw_missing": 0, "link_gaps": 0,
                                    "raw_missing_min": 0, "irregular_intervals": 0,
                                    "irregular_shortfall": 0}
    assert manifest["tool"].startswith("quillmore ")
    # The same recording again, one kind in another format: both kept.
    assert quillmore("decode", str(rec), "--out-dir", str(out), "--kinds", "eeg", "--format", "jsonl",
                     "-q").returncode == 0
    assert "eeg.jsonl" in json.loads((out / "manifest.json").read_text())["files"]
    assert len(os.listdir(out)) == 7
    # Another recording is refused, or replaces all with --force.
    other = tmp_path / "other.bin"
    other.write_bytes(SAMPLE)
    assert one_error_line(quillmore("decode", str(other), "--out-dir", str(out), "--kinds", "rr")) == \
        f"{out} already holds the outputs of {rec}; use --force to replace them, or another --out-dir"
    forced = quillmore("decode", str(other), "--out-dir", str(out), "--kinds", "rr", "--force")
    assert forced.returncode == 0 and b"removed the earlier outputs" in forced.stderr
    assert sorted(os.listdir(out)) == ["manifest.json", "rr.csv"]


def test_version():
    result = quillmore("--version")
    assert result.returncode == 0 and result.stdout.decode().startswith("quillmore ")
