"""``quillmore info``: a recording at a glance."""

from __future__ import annotations

import numpy as np

from .recording import SAMPLES_PER_SECOND, TEMPERATURE_MEASURED, Recording


def _range(values: list[float], unit: str, digits: int) -> str:
    low, high = min(values), max(values)
    if low == high:
        return f"{low:.{digits}f}{unit}"
    return f"{low:.{digits}f} to {high:.{digits}f}{unit}"


def describe(name: str, size: int, rec: Recording) -> str:
    """Lines for people: duration, frames, loss, battery, firmware,
    temperature, contact, damaged rows."""
    counts = rec.counts()
    lines = [
        f"{name}: {size:,} bytes, {rec.duration:.1f} s on the loss-aware clock",
        "frames: " + ", ".join(f"{n} {kind}" for kind, n in counts.items()),
        "loss: " + rec.loss.summary().removeprefix("lost: "),
    ]
    # Device values from the frames that look whole only.
    extend = rec.extend[~rec.extend["damaged"]] if len(rec.extend) else rec.extend
    if len(extend):
        battery = extend["battery"]
        lines.append(f"battery: {int(battery[0])} at the start, {int(battery[-1])} at the end")
        versions = sorted({round(float(v), 3) for v in extend["version"] if v})
        lines.append("firmware: " + (", ".join(f"{v:g}" for v in versions) if versions else "not reported"))
        measured = extend["temperature"][extend["temperature_status"] == TEMPERATURE_MEASURED]
        lines.append("temperature: " + (_range(measured.tolist(), " °C", 1) + f" ({len(measured)} readings)"
                                        if len(measured) else "no readings"))
    else:
        lines.append("battery, firmware, temperature: no extended frames")
    if len(rec.eeg):
        good = int(np.count_nonzero(rec.eeg["signal"] == 0))
        lines.append(f"contact: good in {good} of {len(rec.eeg)} standard frames")
    flagged = int(np.count_nonzero(rec.extend["damaged"])) if len(rec.extend) else 0
    flagged_gyro = int(np.count_nonzero(rec.gyro["damaged"])) if len(rec.gyro) else 0
    if flagged or flagged_gyro:
        lines.append(f"damaged rows (flagged, kept): {flagged} extended, {flagged_gyro} gyroscope")
    if len(rec.raw) or rec.loss.raw_missing:
        line = f"raw samples: {len(rec.raw)} decoded ({len(rec.raw) / SAMPLES_PER_SECOND:.1f} s)"
        if rec.loss.raw_missing:
            share = rec.loss.raw_missing / (len(rec.raw) + rec.loss.raw_missing)
            line += f", {rec.loss.raw_missing} inferred lost ({share:.1%})"
        lines.append(line)
    return "\n".join(lines)
