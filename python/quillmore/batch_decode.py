"""``quillmore decode A.bin B.bin ... --out-dir DIR``: a folder of
recordings in one command.

Each recording is decoded by ``quillmore decode FILE --out-dir
DIR/recording=NAME`` with the options given, in worker processes on all
cores, so one sub-folder per recording holds its files and manifest.  The
sub-folders are named the way Hive partitions are, so DuckDB
(``read_parquet('DIR/*/raw.parquet', hive_partitioning = true)``) reads
every recording's files of a kind as one table with a ``recording`` column.
With ``pyarrow.dataset``, give it the files of one kind
(``glob("DIR/*/raw.parquet")``) and ``partitioning=ds.partitioning(
pa.schema([("recording", pa.string())]), flavor="hive")``: a whole DIR
mixes the kinds' files, and names such as ``001`` would read as numbers.

``DIR/recordings.csv`` then has one row per recording: its name, path,
status (``ok``, or the one-line error that stopped it: a file that fails
does not stop the others), sha256, start time (UTC, when a timing file
gives it), duration on the headset clock, frame counts, what was lost, the
share of standard frames reporting poor contact, and the battery at the
start and the end.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import csv
import io
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import IO

from .constants import KINDS
from .output import Staged

SUMMARY = "recordings.csv"
COLUMNS = ("recording", "path", "status", "sha256", "start_time", "duration", *KINDS, "raw_missing",
           "raw_missing_min", "irregular_intervals", "loss", "poor_contact_share", "battery_start", "battery_end")


def names(paths: Sequence[str]) -> list[str]:
    """A sub-folder name per recording: the file's name without its
    suffix, numbered on where two are the same."""
    out: list[str] = []
    seen: dict[str, int] = {}
    for path in paths:
        stem = Path(path).stem or "recording"
        seen[stem] = seen.get(stem, 0) + 1
        out.append(stem if seen[stem] == 1 else f"{stem}-{seen[stem]}")
    return out


def _decode_one(path: str, folder: str, options: Sequence[str]) -> tuple[int, str, dict[str, object]]:
    """In a worker: the tool's own decode of one recording into ``folder``,
    then its figures.  Returns the exit status, the tool's last message, and
    the summary row's figures."""
    from . import cli

    messages = io.StringIO()
    with contextlib.redirect_stderr(messages):
        try:
            status = cli.main(["decode", path, "--out-dir", folder, *options])
        except SystemExit as exit_:   # argparse
            status = exit_.code if isinstance(exit_.code, int) else 2
    lines = [line.removeprefix("quillmore: ") for line in messages.getvalue().splitlines() if line.strip()]
    error = next((line.removeprefix("error: ") for line in lines if line.startswith("error: ")), "")
    return status, error, _figures(path) if status in (0, 3) else {}


def _figures(path: str) -> dict[str, object]:
    from .info import Figures
    from .recording import read

    rec = read(path, allow_empty=True)
    figures = Figures()
    figures.add(rec)
    eeg = figures.counts["eeg"]
    loss = rec.loss
    return {"sha256": rec.source_sha256 or "", "start_time": rec.start_time.isoformat() if rec.start_time else "",
            "duration": f"{rec.duration:.6f}", **figures.counts, "raw_missing": loss.raw_missing,
            "raw_missing_min": loss.raw_missing_min, "irregular_intervals": loss.irregular_intervals,
            "loss": loss.summary(), "poor_contact_share": f"{(eeg - figures.good_contact) / eeg:.4f}" if eeg else "",
            "battery_start": "" if figures.battery_first is None else figures.battery_first,
            "battery_end": "" if figures.battery_last is None else figures.battery_last}


def run(paths: Sequence[str], directory: str, options: Sequence[str], say: Callable[[str], None],
        progress: IO[str] | None, workers: int | None = None) -> tuple[int, int]:
    """Decodes every recording of ``paths`` into ``directory``; returns how
    many failed and how many lost data."""
    root = Path(directory)
    root.mkdir(parents=True, exist_ok=True)
    folders = [str(root / f"recording={name}") for name in names(paths)]
    rows: list[dict[str, object]] = [{"recording": name, "path": path} for name, path in zip(names(paths), paths)]
    failed = lost = done = 0
    workers = workers or min(len(paths), os.cpu_count() or 1)
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(_decode_one, path, folder, options): k
                   for k, (path, folder) in enumerate(zip(paths, folders))}
        for future in concurrent.futures.as_completed(futures):
            row = rows[futures[future]]
            try:
                status, error, figures = future.result()
            except Exception as exc:   # a worker that died: that recording failed, the others go on
                status, error, figures = 1, f"the worker stopped: {exc}", {}
            row.update(figures)
            row["status"] = "ok" if status in (0, 3) else f"failed: {error or f'exit status {status}'}"
            failed += status not in (0, 3)
            lost += bool(figures.get("raw_missing")) or status == 3
            done += 1
            if status not in (0, 3):
                say(f"{row['path']}: {error or f'exit status {status}'}")
            if progress is not None:
                progress.write(f"\r\x1b[K{done} of {len(paths)} recordings decoded")
                progress.flush()
    if progress is not None:
        progress.write("\r\x1b[K")
        progress.flush()
    summary = Staged(root / SUMMARY)
    with open(summary.partial, "w", newline="", encoding="utf-8") as stream:
        writer = csv.DictWriter(stream, COLUMNS, restval="")
        writer.writeheader()
        writer.writerows(rows)
    summary.commit()
    return failed, lost


def progress_stream(enabled: bool | None) -> IO[str] | None:
    show = sys.stderr.isatty() if enabled is None else enabled
    return sys.stderr if show else None
