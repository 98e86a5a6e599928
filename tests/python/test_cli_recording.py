"""The command-line tool on the batch path: loss-aware times, --strict, the
whole-recording formats, ``quillmore info`` and gaps in plots."""
import csv
import ctypes
import json
import subprocess
import sys

import numpy as np
import pytest

import quillmore
from quillmore import cli, sources
from quillmore.simulate import simulate


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """Ten seconds with broken checksums: the simulator knows the truth."""
    sim = simulate(10, seed=21, damage=0.02)
    path = tmp_path_factory.mktemp("rec") / "damaged.bin"
    path.write_bytes(sim.data)
    return path


def test_times_in_files_are_on_the_loss_aware_clock(damaged, tmp_path):
    out = tmp_path / "out"
    assert cli.main(["decode", str(damaged), "--out-dir", str(out), "-q"]) == 0
    rec = quillmore.read(damaged)
    with open(out / "raw.csv", newline="") as stream:
        raw = list(csv.DictReader(stream))
    assert [float(row["time"]) for row in raw] == rec.raw_time.tolist()
    with open(out / "eeg.csv", newline="") as stream:
        assert [float(row["time"]) for row in csv.DictReader(stream)] == rec.eeg["time"].tolist()
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["loss"]["raw_missing"] == rec.loss.raw_missing > 0


def test_strict_fails_a_recording_that_lost_data(damaged, capsys):
    assert cli.main(["decode", str(damaged), "--kinds", "eeg"]) == 0
    assert "lost: checksum failures" in capsys.readouterr().err
    assert cli.main(["decode", str(damaged), "--kinds", "eeg", "--strict"]) == 3
    assert "lost data (--strict)" in capsys.readouterr().err
    assert cli.main(["decode", "--sample", "--kinds", "eeg", "--strict"]) == 0


@pytest.mark.parametrize("fmt, files", [("npz", ["recording.npz"]), ("edf", ["recording.edf"]),
                                        ("parquet", ["eeg.parquet", "raw.parquet"])])
def test_whole_recording_formats(damaged, tmp_path, fmt, files):
    out = tmp_path / "out"
    assert cli.main(["decode", str(damaged), "--format", fmt, "--kinds", "eeg,raw", "--out-dir", str(out),
                     "-q"]) == 0
    assert sorted(p.name for p in out.iterdir()) == sorted(files + ["manifest.json"])
    assert json.loads((out / "manifest.json").read_text())["files"] == sorted(files)
    rec = quillmore.read(damaged)
    if fmt == "npz":
        with np.load(out / "recording.npz") as data:
            np.testing.assert_array_equal(data["raw"], rec.raw)
    elif fmt == "parquet":
        import pyarrow.parquet as pq
        np.testing.assert_array_equal(pq.read_table(out / "raw.parquet")["time"].to_numpy(), rec.raw_time)
    else:
        import edfio
        assert edfio.read_edf(out / "recording.edf").signals[0].label == "EEG"


def test_whole_recording_formats_need_a_directory(capsys):
    assert cli.main(["decode", "--sample", "--format", "npz"]) == 2
    assert "--format npz writes files: give --out-dir" in capsys.readouterr().err


def test_info_at_a_glance(damaged, capsys):
    assert cli.main(["info", "--sample"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].endswith("249,326 bytes, 60.0 s on the loss-aware clock")
    assert lines[1] == "frames: 60 eeg, 60 extend, 30720 raw, 30 gyro, 26 rr"
    assert lines[2] == "loss: nothing lost"
    assert "battery: 94 at the start, 94 at the end" in lines and "firmware: 1.302" in lines
    assert cli.main(["info", str(damaged)]) == 0
    out = capsys.readouterr().out
    rec = quillmore.read(damaged)
    assert f"{rec.loss.checksum_failures['raw']} raw" in out and f"{rec.loss.raw_missing} inferred lost" in out


def test_info_adds_up_parts_in_bounded_memory(tmp_path):
    from quillmore import info

    # The running totals over small parts say what the whole recording says.
    data = simulate(40, seed=5, damage=0.02).data
    decoder, figures = quillmore.Decoder(), info.Figures()
    for start in range(0, len(data), 3001):
        figures.add(decoder.feed(data[start:start + 3001]))
    figures.add(decoder.finish())
    assert figures.describe("x", len(data), decoder.loss) == info.describe("x", len(data), quillmore.read(data))

    # Peak memory of `info` does not grow with the input (160 copies of the sample: 40 MB).
    # AddressSanitizer keeps freed memory in quarantine: no figure to take then.
    if hasattr(ctypes.CDLL(None), "__asan_init"):
        return
    sample = sources.sample_bytes()
    peaks = []
    for copies in (4, 160):
        path = tmp_path / f"{copies}.bin"
        path.write_bytes(sample * copies)
        script = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL);"
                  " print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        peaks.append(int(subprocess.run([sys.executable, "-c", script, sys.executable, "-m", "quillmore", "info",
                                         str(path)], capture_output=True, check=True, timeout=120).stdout))
    assert peaks[1] - peaks[0] < 16_000, peaks   # kilobytes


def test_plot_of_a_recording_with_losses(damaged, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "damaged.png"
    assert cli.main(["plot", str(damaged), "-o", str(out), "--start", "2", "--end", "4"]) == 0
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_folder_of_recordings_in_one_command(tmp_path):
    """Several FILEs: one sub-folder each, in parallel; a file that fails is
    reported on its row and the others go on; DuckDB reads the Parquet
    files as one table partitioned by recording."""
    paths = []
    for name, data in (("a", simulate(4, seed=1).data), ("b", simulate(4, seed=2, damage=0.02).data),
                       ("c", b"garbage")):
        paths.append(tmp_path / f"{name}.bin")
        paths[-1].write_bytes(data)
    out = tmp_path / "out"
    result = subprocess.run([sys.executable, "-m", "quillmore", "decode", *map(str, paths), "--format", "parquet",
                             "--out-dir", str(out)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and "1 of 3 recordings failed" in result.stderr
    with open(out / "recordings.csv", newline="") as stream:
        rows = {row["recording"]: row for row in csv.DictReader(stream)}
    assert rows["a"]["status"] == rows["b"]["status"] == "ok"
    assert rows["c"]["status"].startswith("failed: no frames found")
    assert rows["a"]["sha256"] == quillmore.read(paths[0]).source_sha256 and rows["a"]["loss"] == "nothing lost"
    assert int(rows["b"]["raw_missing"]) == quillmore.read(paths[1]).loss.raw_missing > 0
    duckdb = pytest.importorskip("duckdb")
    counts = duckdb.sql(f"select recording, count(*) from read_parquet('{out}/*/raw.parquet', hive_partitioning = true)"
                        " group by recording order by recording").fetchall()
    assert counts == [(name, len(quillmore.read(path).raw)) for name, path in zip("ab", paths)]
