"""The names and numbers that the package's modules share: the kinds of
result, their fields, the sample rate, the temperature's status codes and
the default conversion factor to volts.

This module imports nothing of the package, so any module may import it
without pulling in the extension modules or NumPy.
"""

from __future__ import annotations

from typing import Final

SAMPLES_PER_SECOND: Final = 512
"""Raw samples a second: the stream's only clock."""

KINDS: Final = ("eeg", "extend", "raw", "gyro", "rr")
"""The kinds of result, in the order used for files, columns and summaries."""

ROW_KINDS: Final = ("eeg", "extend", "gyro", "rr")
"""The kinds held as structured arrays of rows (``raw`` is a plain array)."""

EEG_FIELDS: Final = ("signal", "attention", "meditation", "delta", "theta", "lowAlpha", "highAlpha",
                     "lowBeta", "highBeta", "lowGamma", "highGamma")
BANDS: Final = EEG_FIELDS[3:]
"""The eight band powers."""
EXTEND_FIELDS: Final = ("ap", "battery", "version", "gnaw", "temperature", "heart")

FIELDS: Final[dict[str, tuple[str, ...]]] = {
    "eeg": EEG_FIELDS,
    "extend": EXTEND_FIELDS,
    "raw": ("raw",),
    "gyro": ("x", "y", "z"),
    "rr": ("rr1", "rr2", "rr3"),
}
"""Each kind's values, under the names of the records."""

TEMPERATURE_MEASURED: Final = 0
TEMPERATURE_NO_READING: Final = 1
TEMPERATURE_NO_ROW: Final = 2
TEMPERATURE_STATUS: tuple[str, ...] = ("measured", "no_reading", "no_row")
"""The names of the temperature_status codes, in code order (the extension
module's own list says the same; a test holds them together)."""

# A 12-bit converter over 1.8 V behind an amplifier gain of 2000: the default
# factor from raw counts to volts.  A headset with its own calibration
# passes its factor to to_mne() and to_edf().
VOLTS_PER_COUNT: Final = 1.8 / 4096 / 2000
