"""``quillmore info``: a recording at a glance.

The figures are running totals over the parts of a ``quillmore.Decoder``,
gathered as the input streams by and the parts let go: the memory ``info``
takes does not grow with the recording (or with an endless input such as a
device)."""

from __future__ import annotations

import math

from typing import TYPE_CHECKING

import numpy as np

from .constants import KINDS, SAMPLES_PER_SECOND, TEMPERATURE_MEASURED

if TYPE_CHECKING:
    from .recording import Loss, Recording


class Figures:
    """What ``describe`` reports, added up part by part."""

    def __init__(self) -> None:
        self.counts = dict.fromkeys(KINDS, 0)
        self.duration = 0.0
        # Device values come from the extended frames that look whole only.
        self.whole_extended = 0
        self.battery_first: int | None = None
        self.battery_last: int | None = None
        self.versions: set[float] = set()
        self.readings = 0
        self.coldest = math.inf
        self.warmest = -math.inf
        self.good_contact = 0
        self.damaged_extend = 0
        self.damaged_gyro = 0

    @property
    def frames(self) -> int:
        return sum(self.counts.values())

    def add(self, part: Recording) -> None:
        for kind, n in part.counts().items():
            self.counts[kind] += n
        self.duration += part.duration
        if len(part.eeg):
            self.good_contact += int(np.count_nonzero(part.eeg["signal"] == 0))
        if len(part.gyro):
            self.damaged_gyro += int(np.count_nonzero(part.gyro["damaged"]))
        if not len(part.extend):
            return
        damaged = part.extend["damaged"]
        self.damaged_extend += int(np.count_nonzero(damaged))
        extend = part.extend[~damaged]
        if not len(extend):
            return
        self.whole_extended += len(extend)
        battery = extend["battery"]
        if self.battery_first is None:
            self.battery_first = int(battery[0])
        self.battery_last = int(battery[-1])
        self.versions.update(round(float(v), 3) for v in np.unique(extend["version"]) if v)
        measured = extend["temperature"][extend["temperature_status"] == TEMPERATURE_MEASURED]
        if len(measured):
            self.readings += len(measured)
            self.coldest = min(self.coldest, float(measured.min()))
            self.warmest = max(self.warmest, float(measured.max()))

    def describe(self, name: str, size: int, loss: Loss) -> str:
        """Lines for people: duration, frames, loss, battery, firmware,
        temperature, contact, damaged rows."""
        lines = [
            f"{name}: {size:,} bytes, {self.duration:.1f} s on the loss-aware clock",
            "frames: " + ", ".join(f"{n} {kind}" for kind, n in self.counts.items()),
            "loss: " + loss.summary().removeprefix("lost: "),
        ]
        if self.whole_extended:
            lines.append(f"battery: {self.battery_first} at the start, {self.battery_last} at the end")
            versions = sorted(self.versions)
            lines.append("firmware: " + (", ".join(f"{v:g}" for v in versions) if versions else "not reported"))
            lines.append("temperature: " + (_range(self.coldest, self.warmest, " °C", 1) + f" ({self.readings} readings)"
                                            if self.readings else "no readings"))
        else:
            lines.append("battery, firmware, temperature: no extended frames")
        if self.counts["eeg"]:
            lines.append(f"contact: good in {self.good_contact} of {self.counts['eeg']} standard frames")
        if self.damaged_extend or self.damaged_gyro:
            lines.append(f"damaged rows (flagged, kept): {self.damaged_extend} extended, {self.damaged_gyro} gyroscope")
        raw = self.counts["raw"]
        if raw or loss.raw_missing:
            line = f"raw samples: {raw} decoded ({raw / SAMPLES_PER_SECOND:.1f} s)"
            if loss.raw_missing:
                share = loss.raw_missing / (raw + loss.raw_missing)
                line += f", {loss.raw_missing} inferred lost ({share:.1%}"
                if loss.raw_missing_min < loss.raw_missing:
                    line += f"; at least {loss.raw_missing_min}"
                line += ")"
            lines.append(line)
        return "\n".join(lines)


def _range(low: float, high: float, unit: str, digits: int) -> str:
    if low == high:
        return f"{low:.{digits}f}{unit}"
    return f"{low:.{digits}f} to {high:.{digits}f}{unit}"


def describe(name: str, size: int, rec: Recording) -> str:
    """The lines of ``Figures.describe`` for a recording at hand."""
    figures = Figures()
    figures.add(rec)
    return figures.describe(name, size, rec.loss)
