"""Recordings as BIDS runs: the official validator finds no error in what
is written, MNE-BIDS reads back the same volts, markers and lost stretches,
and what cannot be named or would be written over is refused with nothing
written."""
import datetime
import json
import os
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import quillmore
from quillmore import cli
from quillmore.recording import MARKER_DTYPE
from quillmore.simulate import simulate

mne_bids = pytest.importorskip("mne_bids")
mne = pytest.importorskip("mne")

DAMAGED = simulate(5, seed=5, damage=0.02).data
MARKERS = [(1.0, "start", "Markers"), (2.5, "blink", "Markers"), (4.25, "end", "Buttons"), (99.0, "late", "Markers")]


def validate(root):
    """The official validator on ``root``: no error (warnings are fine)."""
    command = os.path.join(sysconfig.get_path("scripts"), "bids-validator-deno")
    if not os.path.exists(command):
        pytest.skip("bids-validator-deno is not installed (pip install bids-validator-deno)")
    result = subprocess.run([command, "--format", "json", str(root)], capture_output=True, text=True, timeout=120)
    errors = [(i["code"], i.get("location")) for i in json.loads(result.stdout)["issues"]["issues"]
              if i["severity"] == "error"]
    assert result.returncode == 0 and not errors, errors or result.stderr


def files(root):
    return {p.relative_to(root): p.read_bytes() for p in root.rglob("*") if p.is_file()} if root.exists() else {}


@pytest.mark.parametrize("fmt, start", [("EDF", None), ("BrainVision", "2024-05-01T09:30:00.25")])
def test_a_run_validates_and_reads_back(tmp_path, fmt, start):
    rec = quillmore.read(DAMAGED)
    rec.markers = np.array(MARKERS, MARKER_DTYPE)
    if start:
        rec.start_time = datetime.datetime.fromisoformat(start).replace(tzinfo=datetime.timezone.utc)
    expected = rec.to_mne()
    with pytest.warns(RuntimeWarning, match="left out 1 of the recording's 4 markers: they lie outside it"):
        path = rec.to_bids(tmp_path, subject="01", task="rest", run=1, line_freq=50, format=fmt)
    validate(tmp_path)

    raw = mne_bids.read_raw_bids(path, verbose="error")
    assert raw.ch_names == expected.ch_names and raw.get_channel_types() == ["eeg", "misc", "misc", "misc"]
    want, got = expected.get_data(), raw.get_data()[:, :expected.n_times]   # EDF pads to whole records
    # EDF: 16 bits over the range of each channel type (EEG; MISC); BrainVision: float32.
    if fmt == "EDF":
        steps = np.array([np.ptp(want[0])] + [np.ptp(want[1:])] * 3) / 65534
    else:
        steps = np.abs(want).max(axis=1) * 2 ** -23
    assert np.all(np.abs(got - want) <= steps[:, None])
    assert raw.info["meas_date"] == rec.start_time or start is None

    events = [(round(a["onset"] * 512), round(a["duration"] * 512), a["description"]) for a in raw.annotations]
    lost = [(round(a["onset"] * 512), round(a["duration"] * 512), "BAD_lost") for a in expected.annotations
            if a["description"] == "BAD_lost"]
    assert [e for e in events if e[2] == "BAD_lost"] == lost and sum(n for _, n, _ in lost) == rec.loss.raw_missing
    labels = [e for e in events if e[2] not in ("BAD_lost", "BAD_ACQ_SKIP")]
    assert [(at, text.split("/")[-1]) for at, _, text in labels] == [(round(t * 512), label) for t, label, _ in MARKERS[:3]]

    sidecar = json.loads(path.copy().update(extension=".json").fpath.read_text())
    assert sidecar["PowerLineFrequency"] == 50
    ours = sidecar["QuillmoreParser"]
    assert (ours["DecoderVersion"], ours["Loss"], ours["MarkersOutsideRecording"]) == \
        (quillmore.__version__, rec.loss.as_dict(), 1)


def test_the_tool_writes_one_run_per_recording_and_refuses_what_it_cannot_name(tmp_path, capsys):
    for name, data in (("a.bin", simulate(3, seed=1).data), ("b.bin", DAMAGED), ("noise.bin", b"\x01" * 3000)):
        (tmp_path / name).write_bytes(data)
    (tmp_path / "file").write_text("")
    study = tmp_path / "study"
    base = ["bids", str(tmp_path / "a.bin"), str(tmp_path / "b.bin"), "--root", str(study), "--subject", "01",
            "--task", "rest"]
    assert cli.main([*base, "--line-freq", "60"]) == 0
    said = capsys.readouterr().err
    assert "b.bin: sub-01/eeg/sub-01_task-rest_run-2_eeg.edf (5.0 s on the headset clock, 0 markers; lost:" in said
    assert (study / "sub-01/sub-01_scans.tsv").read_text().count("_eeg.edf") == 2
    validate(study)

    written = files(study)
    cases = [  # arguments after base (or instead of it), exit status, start of the one-line error
        ([], 2, "--line-freq is required"),
        (["--line-freq", "55"], 2, "argument --line-freq: the power-line frequency is 50 or 60"),
        (["--line-freq", "50", "--run", "3"], 2, "--run 3 names one run for 2 recordings"),
        (["--line-freq", "50", "--run", "4,4"], 2, "RECORDINGs 1 and 2 would both be sub-01 task-rest run-4"),
        (["--line-freq", "50", "--session", "1,2,3"], 2, "--session lists 3 sessions for 2 recordings"),
        (["--line-freq", "50", "--session", "a-b"], 2, "argument --session: 'a-b' is not a BIDS label"),
        (["--line-freq", "50", "--format", "gdf"], 2, "argument --format: unknown format 'gdf'"),
        (["--line-freq", "50"], 1, f"{study} holds sub-01 task-rest run-1 already"),
        ([*base[:3], str(tmp_path / "noise.bin"), *base[3:], "--session", "2", "--line-freq", "50"], 1,
         f"no frames found in {tmp_path / 'noise.bin'}"),
        ([*base[:3], str(tmp_path / "a.bin"), *base[3:], "--line-freq", "50"], 2, f"{tmp_path / 'a.bin'} is given twice"),
        (["bids", str(tmp_path / "a.bin"), "--root", str(tmp_path / "file"), "--subject", "1", "--task", "x",
          "--line-freq", "50"], 1, f"cannot write in {tmp_path / 'file'}: it is not a directory"),
    ]
    for argv, status, message in cases:
        try:
            code = cli.main(argv if argv and argv[0] == "bids" else [*base, *argv])
        except SystemExit as exit_:   # argparse
            code = exit_.code
        err = capsys.readouterr().err.splitlines()
        assert (code, len(err)) == (status, 1) and err[0].startswith(f"quillmore: error: {message}"), (argv, err)
        assert files(study) == written and not list(study.glob(".*")), argv


def test_what_to_bids_refuses(tmp_path, monkeypatch):
    rec = quillmore.read(DAMAGED)
    for kwargs, error, message in [
            ({"line_freq": None}, ValueError, "to_bids\\(\\) needs line_freq"),
            ({"subject": "sub-01"}, ValueError, "subject 'sub-01' is not a BIDS label"),
            ({"run": "one"}, ValueError, "run 'one' is not a BIDS index"),
            ({"format": "BDF"}, ValueError, "unknown format 'BDF'")]:
        with pytest.raises(error, match=message):
            rec.to_bids(tmp_path / "root", **{"subject": "01", "task": "rest", "line_freq": 50, **kwargs})
    monkeypatch.setitem(sys.modules, "mne_bids", None)   # as if not installed
    with pytest.raises(ImportError, match="needs mne-bids, which is not installed; install it with: pip install"):
        rec.to_bids(tmp_path / "root", subject="01", task="rest", line_freq=50)
    assert not (tmp_path / "root").exists()
