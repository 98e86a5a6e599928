"""
A study as BIDS
===============

BIDS is how EEG studies are shared: one folder per subject and session, the
data in EDF or BrainVision, and tables and sidecars that say what each
channel is, what happened when, and how the data were recorded.
:meth:`~quillmore.Recording.to_bids` writes a recording as one run of such
a dataset through MNE-BIDS; ``quillmore bids`` does it for many recordings
at once, on all cores.  Needs ``pip install ".[bids]"``.
"""

# %%
# Two recordings of one subject
# -----------------------------
# Two simulated sessions stand in for a study's recordings; the second has
# lost some bytes on the way, and the experiment's markers are set by hand
# here (a session recorded to XDF brings its own, see the live session
# tutorial).
import json
import shutil
import subprocess
import tempfile
from pathlib import Path

import mne
import mne_bids
import numpy as np
import pandas as pd

import quillmore
from quillmore.recording import MARKER_DTYPE
from quillmore.simulate import simulate

root = Path(tempfile.mkdtemp()) / "study"
runs = []
for run, drop in ((1, 0.0), (2, 0.0005)):
    rec = quillmore.read(simulate(60, seed=run, drop=drop).data)
    rec.markers = np.array([(t, label, "Task events") for t, label in
                            ((10.0, "standard"), (20.0, "target"), (30.0, "standard"))], MARKER_DTYPE)
    print(f"run {run}:", rec.loss.summary())
    runs.append(rec.to_bids(root, subject="01", task="oddball", run=run, line_freq=50))

# %%
# What was written
# ----------------
# The EEG channel is in volts; attention, meditation and contact quality
# (``signal``) are MISC channels; lost stretches are ``BAD_lost`` events
# beside the markers; the sidecar carries the loss counts and the decoder's
# version.
for path in sorted(root.rglob("*")):
    if path.is_file():
        print(path.relative_to(root))
events = runs[1].copy().update(suffix="events", extension=".tsv")
print(pd.read_csv(events.fpath, sep="\t")[["onset", "duration", "trial_type"]])
sidecar = json.loads(runs[1].copy().update(extension=".json").fpath.read_text())
print(json.dumps(sidecar["QuillmoreParser"]["Loss"], indent=1)[:400])

# %%
# The official validator
# ----------------------
# ``bids-validator-deno`` (on PyPI; it runs offline) checks the dataset
# against the standard.
validator = shutil.which("bids-validator-deno")
if validator:
    result = subprocess.run([validator, str(root)], capture_output=True, text=True)
    print("validator exit status:", result.returncode)
    print("\n".join(result.stdout.strip().splitlines()[-4:]))

# %%
# Reading it back
# ---------------
# MNE-BIDS reads a run back as an MNE ``Raw`` with its events as
# annotations, ready for epoching that leaves the lost stretches out.
raw = mne_bids.read_raw_bids(runs[1], verbose="error")
print(raw)
print(sorted(set(raw.annotations.description)))
found, event_id = mne.events_from_annotations(raw, verbose="error")
epochs = mne.Epochs(raw, found, event_id={k: v for k, v in event_id.items() if k != "BAD_lost"},
                    tmin=-0.2, tmax=0.8, baseline=None, reject_by_annotation=True, verbose="error")
print(epochs)
