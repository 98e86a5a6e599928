"""
A live session: the headset on LSL, recorded to XDF with an experiment's markers
================================================================================

A lab session has three parts running at once: the headset, read from its
serial port and published on the Lab Streaming Layer (LSL); the experiment,
sending an event marker on LSL whenever it shows a stimulus; and a recorder
that writes both, with the offsets between their clocks, into one XDF file.
``quillmore record`` is the first and the last in one command, through
LabRecorder's own recording engine.

Here the headset is the package's virtual one on a pseudo-terminal
(``quillmore simulate --pty``), so this runs anywhere; with a real headset,
give its port (``quillmore ports`` lists them).  Needs
``pip install ".[xdf,mne]"``.
"""

# %%
# The headset and the recorder
# ----------------------------
# The virtual headset prints the path of its port, then sends 512 raw
# samples a second as a real one would.  The recorder publishes the
# headset's streams and records them, with every stream of type
# ``Markers`` on the network, for six seconds.
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import matplotlib.pyplot as plt
import pylsl

import quillmore


def quillmore_command(*argv):
    return subprocess.Popen([sys.executable, "-m", "quillmore", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


folder = Path(tempfile.mkdtemp())
headset = quillmore_command("simulate", "--pty", "--duration", "20", "--seed", "3")
port = headset.stderr.readline().strip()
print("the virtual headset's port:", port)
recorder = quillmore_command("record", str(folder / "session.xdf"), "--port", port,
                             "--also", "type=Markers", "--duration", "6", "--quiet")

# %%
# The experiment's markers
# ------------------------
# An experiment (PsychoPy, a game engine, a stimulus script) opens a marker
# outlet and pushes a string at each event, stamped with LSL's clock.  The
# recorder subscribes to it when it starts.
info = pylsl.StreamInfo("Task events", "Markers", 1, pylsl.IRREGULAR_RATE, "string", "tutorial-task")
outlet = pylsl.StreamOutlet(info)
until = time.monotonic() + 30
while not outlet.have_consumers() and time.monotonic() < until:
    time.sleep(0.05)
for trial in range(5):
    time.sleep(0.8)
    outlet.push_sample(["target" if trial % 2 else "standard"], pylsl.local_clock())
status = recorder.wait(timeout=60)
headset.kill()
headset.communicate()
print("recorder exit status", status, "; files:", sorted(p.name for p in folder.iterdir()))

# %%
# The session file
# ----------------
# ``quillmore.read`` of the XDF file gives the headset's recording, its raw
# counts exactly those of the byte capture written beside it
# (``session.bin``, with its timing file), and the markers of the other
# streams, at the raw sample due when each was sent.
rec = quillmore.read(folder / "session.xdf")
print(rec)
print(rec.markers)
capture = quillmore.read(folder / "session.bin")
print("raw counts of the XDF file found in the capture:",
      capture.raw.tobytes().find(rec.raw[:512].tobytes()) >= 0)

# %%
# In MNE the markers are annotations beside the lost stretches, ready for
# :func:`mne.events_from_annotations` and epoching:
raw = rec.to_mne()
print(raw.annotations)
fig, ax = plt.subplots(figsize=(8, 3), layout="constrained")
ax.plot(raw.times, raw.get_data(picks="EEG")[0] * 1e6, lw=0.4)
for onset, label in zip(raw.annotations.onset, raw.annotations.description):
    if label != "BAD_lost":
        ax.axvline(onset, color="tab:red" if label == "target" else "tab:gray")
        ax.text(onset, ax.get_ylim()[1], label, rotation=90, va="top", ha="right", fontsize=8)
ax.set_xlabel("time (s, the headset's clock from the file's first sample)")
_ = ax.set_ylabel("EEG (µV)")

# %%
# Watching it live
# ----------------
# ``quillmore view --port DEVICE`` (``pip install ".[view]"``) shows the
# same session in the browser while it runs: the filtered trace, band
# powers, contact quality and the samples lost.  ``quillmore view --lsl
# type=EEG`` views the headset's stream published by ``record`` or
# ``stream`` on another machine.
#
# .. image:: /images/view.png
#    :alt: the live view: raw EEG with a lost stretch, band powers, attention and meditation, contact, loss
