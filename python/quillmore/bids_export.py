"""Recordings as runs of a BIDS EEG dataset, through MNE-BIDS:
``Recording.to_bids(root, subject=..., task=..., line_freq=...)`` and
``quillmore bids``.

What a run holds:

* the data file, EDF (16 bits a sample) or BrainVision (float32), with the
  channels of ``to_mne()``: ``EEG`` in volts, and ``attention``,
  ``meditation`` and ``signal`` (contact quality) as MISC, described in
  channels.tsv;
* events.tsv: the lost stretches (``BAD_lost``, with their durations) and
  the recording's event markers (their labels, duration 0).  Onsets are
  seconds on the recording's clock, the headset's loss-aware clock of
  ``raw_time``, whose zero is the data file's first sample;
* the EEG sidecar JSON: ``PowerLineFrequency``, which the caller must give
  (the bytes do not tell it), and under ``QuillmoreParser`` the decoder's
  version, the source's sha256, the volts per count, every loss counter and
  the loss in words, and the markers left out for lying outside the
  recording;
* the measurement date (and scans.tsv's ``acq_time``): the recording's
  ``start_time`` when a capture's timing file gave it; otherwise none, which
  MNE-BIDS writes as ``n/a`` (an EDF's start date then says ``X``, unknown,
  which MNE reads as 1985-01-01, EDF's own date for none).

Nothing is overwritten and nothing is left half-written: a run is written
into a hidden folder inside the root (``.quillmore-bids-*.partial``) and
moved into place once complete, and a run whose files the root holds
already is refused.  The files a dataset shares gain the new rows
(participants.tsv, the subject's scans.tsv); those of them that exist
otherwise stay as they are (dataset_description.json, README,
participants.json).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import json
import math
import os
import re
import shutil
import tempfile
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .constants import SAMPLES_PER_SECOND, VOLTS_PER_COUNT
from .errors import QuillmoreError, missing_extra
from .output import Staged, reason
from .signal_exports import BAD_LOST

if TYPE_CHECKING:
    from .recording import Recording

FORMATS = ("EDF", "BrainVision")
DATATYPE = "eeg"
STAGE_PREFIX = ".quillmore-bids-"

CHANNEL_DESCRIPTIONS = {
    "attention": "attention of the standard frames (0 to 100), held from one frame to the next",
    "meditation": "meditation of the standard frames (0 to 100), held from one frame to the next",
    "signal": "contact quality of the standard frames (0 good, 200 no contact), held from one frame to the next",
}
CLOCK = ("onsets in events.tsv are seconds on the headset's loss-aware clock (512 raw samples a second, the"
         " samples inferred as lost counted in) from the first sample of the data file; lost samples hold the"
         " sample before them and are marked BAD_lost")

_LABEL = re.compile(r"[A-Za-z0-9]+")
_INDEX = re.compile(r"[0-9]+")


# ---------------------------------------------------------------- checks

def label(what: str, value: object) -> str:
    text = str(value)
    if not _LABEL.fullmatch(text):
        raise ValueError(f"{what} {text!r} is not a BIDS label: letters and digits only (no 'sub-' prefix)")
    return text


def index(what: str, value: object) -> str:
    text = str(value)
    if isinstance(value, bool) or not _INDEX.fullmatch(text):
        raise ValueError(f"{what} {text!r} is not a BIDS index: a whole number such as 1 or 01")
    return text


def line_frequency(value: object) -> float:
    if value is None:
        raise ValueError("to_bids() needs line_freq, the power-line frequency where the recording was made"
                         " (50 or 60 Hz): BIDS requires it and the recording cannot tell it")
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not (math.isfinite(value) and value > 0):
        raise ValueError(f"line_freq must be a frequency in Hz such as 50 or 60, not {value!r}")
    return float(value)


def data_format(value: str) -> str:
    for name in FORMATS:
        if str(value).lower() == name.lower():
            return name
    raise ValueError(f"unknown format {value!r}; choose from {', '.join(FORMATS)}")


def require(fmt: str) -> Any:
    """mne_bids, with what it needs to write ``fmt``."""
    what = "Recording.to_bids()"
    try:
        import mne  # noqa: F401
    except ImportError:
        raise missing_extra(what, "mne", "bids") from None
    try:
        import mne_bids
    except ImportError:
        raise missing_extra(what, "mne-bids", "bids") from None
    try:
        if fmt == "EDF":
            import edfio  # noqa: F401
        else:
            import pybv  # noqa: F401
    except ImportError:
        raise missing_extra(f"{what} in {fmt}", "edfio" if fmt == "EDF" else "pybv", "bids") from None
    return mne_bids


# ---------------------------------------------------------------- where a run goes

@dataclasses.dataclass(frozen=True)
class Run:
    """Where one recording goes in the dataset."""

    subject: str
    task: str
    session: str | None = None
    run: str | None = None

    @classmethod
    def checked(cls, subject: object, task: object, session: object = None, run: object = None) -> Run:
        return cls(label("subject", subject), label("task", task),
                   None if session is None else label("session", session), None if run is None else index("run", run))

    @property
    def folder(self) -> Path:
        """The run's folder, relative to the root."""
        session = [f"ses-{self.session}"] if self.session is not None else []
        return Path(f"sub-{self.subject}", *session, DATATYPE)

    @property
    def basename(self) -> str:
        session = f"_ses-{self.session}" if self.session is not None else ""
        run = f"_run-{self.run}" if self.run is not None else ""
        return f"sub-{self.subject}{session}_task-{self.task}{run}"

    def owns(self, name: str) -> bool:
        """Whether a file of the run's folder is one of this run's (and not
        of a run with more entities, ``..._run-2_eeg.edf`` for a run-less
        ``basename``)."""
        rest = name.removeprefix(self.basename + "_")
        return rest != name and "-" not in rest

    def existing(self, root: Path) -> list[Path]:
        folder = root / self.folder
        return sorted(p for p in folder.iterdir() if self.owns(p.name)) if folder.is_dir() else []

    def __str__(self) -> str:
        return self.basename.replace("_", " ")


def refuse_existing(root: Path, runs: Sequence[Run]) -> None:
    for target in runs:
        if found := target.existing(root):
            raise FileExistsError(f"{root} holds {target} already ({found[0].relative_to(root)}); "
                                  "nothing is written over: choose another run or session")


# ---------------------------------------------------------------- one run

@dataclasses.dataclass
class StagedRun:
    """A run written into a hidden folder of the root, not yet in place."""

    folder: Path
    target: Run
    data_file: Path    # relative to the root
    markers: int       # markers written to events.tsv
    outside: int       # markers left out: outside the recording


def _add_markers(raw: Any, markers: np.ndarray[Any, Any]) -> tuple[int, int]:
    """The markers that ``raw``'s annotations do not carry yet, as
    annotations of duration 0 (a marker counts as carried when an
    annotation other than a lost stretch starts on its sample and its
    description holds the label).  Returns the markers in ``raw`` and those
    left out for lying outside it."""
    annotations = raw.annotations
    last = raw.times[-1]
    carried: dict[int, list[str]] = {}
    for onset, text in zip(annotations.onset, annotations.description):
        if text != BAD_LOST:
            carried.setdefault(round(onset * SAMPLES_PER_SECOND), []).append(str(text))
    onsets: list[float] = []
    labels: list[str] = []
    outside = inside = 0
    for time, text, _stream in markers:
        name = re.sub(r"[\t\r\n]+", " ", str(text)).strip() or "n/a"
        if not 0.0 <= time <= last:
            outside += 1
            continue
        inside += 1
        sample = round(time * SAMPLES_PER_SECOND)
        if any(name in held for at in (sample - 1, sample, sample + 1) for held in carried.get(at, ())):
            continue
        onsets.append(float(time))
        labels.append(name)
    if onsets:
        annotations.append(onsets, [0.0] * len(onsets), labels)
    return inside, outside


def _describe_channels(path: Path) -> None:
    lines = path.read_text(encoding="utf-8").splitlines()
    header = lines[0].split("\t")
    name, description = header.index("name"), header.index("description")
    rows = [line.split("\t") for line in lines[1:]]
    for row in rows:
        row[description] = CHANNEL_DESCRIPTIONS.get(row[name], row[description])
    path.write_text("\n".join("\t".join(row) for row in [header, *rows]) + "\n", encoding="utf-8")


def stage(rec: Recording, root: Path, target: Run, line_freq: float, fmt: str, volts_per_count: float,
          prefix: str = STAGE_PREFIX) -> StagedRun:
    """Writes the run into a new hidden folder of ``root`` (``prefix``...)."""
    from . import __version__

    mne_bids = require(fmt)
    folder = Path(tempfile.mkdtemp(prefix=prefix, suffix=".partial", dir=root))
    try:
        raw = rec.to_mne(volts_per_count)
        raw.info["line_freq"] = line_freq
        inside, outside = _add_markers(raw, rec.markers)
        path = mne_bids.BIDSPath(subject=target.subject, session=target.session, task=target.task, run=target.run,
                                 datatype=DATATYPE, root=folder)
        with warnings.catch_warnings():
            # pybv says so of every channel not in volts: the MISC channels.
            warnings.filterwarnings("ignore", "Encountered unsupported non-voltage units")
            written = mne_bids.write_raw_bids(raw, path, allow_preload=True, format=fmt, verbose="error")
        data_file = Path(written.fpath).relative_to(folder)
        assert target.owns(data_file.name) and data_file.parent == target.folder, data_file
        run_folder = folder / target.folder
        _describe_channels(run_folder / f"{target.basename}_channels.tsv")
        sidecar = run_folder / f"{target.basename}_eeg.json"
        values = json.loads(sidecar.read_text(encoding="utf-8"))
        values["QuillmoreParser"] = {
            "DecoderVersion": __version__, "SourceSHA256": rec.source_sha256 or "n/a",
            "VoltsPerCount": volts_per_count, "Clock": CLOCK, "Loss": rec.loss.as_dict(),
            "LossSummary": rec.loss.summary(), "MarkersOutsideRecording": outside}
        sidecar.write_text(json.dumps(values, indent=4, ensure_ascii=False) + "\n", encoding="utf-8")
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    return StagedRun(folder, target, data_file, inside, outside)


def _table(path: Path) -> list[list[str]]:
    return [line.split("\t") for line in path.read_text(encoding="utf-8").splitlines() if line]


def _merge_table(theirs: Path, ours: Path) -> None:
    """Adds the rows of ``ours`` whose first cell (participant_id,
    filename) ``theirs`` lacks, and any columns it lacks (``n/a`` in its
    own rows)."""
    old, new = _table(theirs), _table(ours)
    if not old:
        os.replace(ours, theirs)
        return
    header = old[0] + [c for c in new[0] if c not in old[0]]
    keys = {row[0] for row in old[1:]}
    added = [dict(zip(new[0], row)) for row in new[1:] if row[0] not in keys]
    if not added and len(header) == len(old[0]):
        return
    rows = [row + ["n/a"] * (len(header) - len(row)) for row in old[1:]]
    rows += [[row.get(column, "n/a") for column in header] for row in added]
    merged = Staged(theirs)
    Path(merged.partial).write_text("\n".join("\t".join(row) for row in [header, *rows]) + "\n", encoding="utf-8")
    merged.commit()


def commit(run: StagedRun, root: Path) -> None:
    """Moves a staged run into ``root`` (its own files first, the shared
    tables last) and removes its folder."""
    try:
        files = [p for p in run.folder.rglob("*") if p.is_file()]
        own = [p for p in files if p.parent == run.folder / run.target.folder and run.target.owns(p.name)]
        refuse_existing(root, [run.target])
        shared = []
        for path in own + [p for p in files if p not in own]:
            destination = root / path.relative_to(run.folder)
            if destination.exists():
                if path.suffix == ".tsv":
                    shared.append((destination, path))
                continue   # what the dataset says of itself stays as it is
            destination.parent.mkdir(parents=True, exist_ok=True)
            os.replace(path, destination)
        for destination, path in shared:
            _merge_table(destination, path)
    finally:
        shutil.rmtree(run.folder, ignore_errors=True)


def to_bids(rec: Recording, root: str | os.PathLike[str], *, subject: str, task: str, session: str | None = None,
            run: int | str | None = None, line_freq: float | None = None, format: str = "EDF",
            volts_per_count: float = VOLTS_PER_COUNT) -> Any:
    target = Run.checked(subject, task, session, run)
    frequency = line_frequency(line_freq)
    fmt = data_format(format)
    mne_bids = require(fmt)
    folder = Path(root)
    refuse_existing(folder, [target])
    created = not folder.exists()
    folder.mkdir(parents=True, exist_ok=True)
    try:
        staged = stage(rec, folder, target, frequency, fmt, volts_per_count)
    except BaseException:
        if created:
            with contextlib.suppress(OSError):
                folder.rmdir()
        raise
    commit(staged, folder)
    if staged.outside:
        warnings.warn(f"left out {staged.outside} of the recording's {len(rec.markers)} markers: they lie outside it"
                      " (before its first sample or after its last); the EEG sidecar counts them",
                      RuntimeWarning, stacklevel=3)
    return mne_bids.BIDSPath(subject=target.subject, session=target.session, task=target.task, run=target.run,
                             datatype=DATATYPE, suffix=DATATYPE, extension=staged.data_file.suffix, root=folder)


# ---------------------------------------------------------------- several recordings

def assign(count: int, subject: str, task: str, sessions: Sequence[str] | None,
           runs: Sequence[str] | None) -> list[Run]:
    """Where each of ``count`` recordings goes.  ``sessions`` and ``runs``
    each give one value or one per recording; one --run for several
    recordings is ambiguous.  Recordings that would share a name without
    --run are numbered as runs 1, 2, ... within each session, in order."""
    recordings = f"{count} recording{'' if count == 1 else 's'}"
    if sessions and len(sessions) not in (1, count):
        raise ValueError(f"--session lists {len(sessions)} sessions for {recordings}: give one for all,"
                         " or one per RECORDING")
    if runs and len(runs) != count:
        if len(runs) == 1:
            raise ValueError(f"--run {runs[0]} names one run for {recordings}: leave it out to number them"
                             f" 1 to {count}, or list one per RECORDING (--run {','.join(map(str, range(1, count + 1)))})")
        raise ValueError(f"--run lists {len(runs)} runs for {recordings}: list one per RECORDING")
    each_session: list[str | None] = [None] * count
    if sessions:
        each_session = [*sessions] * (count if len(sessions) == 1 else 1)
    each_run: list[str | None] = list(runs) if runs else [None] * count
    if not runs and len(set(each_session)) < count:
        each_run = [str(each_session[:k].count(s) + 1) for k, s in enumerate(each_session)]
    targets = [Run.checked(subject, task, s, r) for s, r in zip(each_session, each_run)]
    for k, target in enumerate(targets):
        if target in targets[:k]:
            raise ValueError(f"RECORDINGs {targets.index(target) + 1} and {k + 1} would both be {target}:"
                             " give each its own --run")
    return targets


def _stage_file(path: str, root: Path, target: Run, line_freq: float, fmt: str, volts_per_count: float,
                prefix: str) -> tuple[StagedRun, float, str]:
    """In a worker: one recording decoded and staged; its duration and loss."""
    from .recording import read

    rec = read(path)
    return stage(rec, root, target, line_freq, fmt, volts_per_count, prefix), rec.duration, rec.loss.summary()


def _one_line(error: BaseException) -> str:
    if isinstance(error, OSError) and not isinstance(error, FileExistsError):
        return f"{reason(error)}" + (f": {error.filename}" if error.filename else "")
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


def _failure(path: str, error: BaseException) -> str:
    line = _one_line(error)
    return line if path in line else f"{path}: {line}"


def write_study(paths: Sequence[str], root: str, targets: Sequence[Run], line_freq: float, fmt: str,
                volts_per_count: float, say: Callable[[str], None], workers: int | None = None) -> None:
    """``quillmore bids``: each recording decoded and staged in a worker
    process of its own (on all cores), then, once every one has succeeded,
    moved into place in the order given.  A recording that fails stops the
    whole study: nothing is written."""
    require(fmt)
    folder = Path(root)
    if folder.exists() and not folder.is_dir():
        raise QuillmoreError(f"cannot write in {root}: it is not a directory")
    try:
        refuse_existing(folder, targets)
    except FileExistsError as error:
        raise QuillmoreError(str(error)) from None
    created = not folder.exists()
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise QuillmoreError(f"cannot write in {root}: {reason(error)}") from None
    # This run's hidden folders, each removed once moved into place, and
    # whatever is left of them at the end (an interrupted run's).
    prefix = f"{STAGE_PREFIX}{os.getpid()}-"
    jobs = [(path, folder, target, line_freq, fmt, volts_per_count, prefix) for path, target in zip(paths, targets)]
    results: list[tuple[StagedRun, float, str] | None] = [None] * len(jobs)
    failures: dict[int, str] = {}
    try:
        if len(jobs) == 1:
            try:
                results[0] = _stage_file(*jobs[0])
            except Exception as error:   # reported on one line
                failures[0] = _failure(paths[0], error)
        else:
            with concurrent.futures.ProcessPoolExecutor(min(len(jobs), workers or os.cpu_count() or 1)) as pool:
                futures = {pool.submit(_stage_file, *job): k for k, job in enumerate(jobs)}
                for future in concurrent.futures.as_completed(futures):
                    k = futures[future]
                    try:
                        results[k] = future.result()
                    except Exception as error:   # reported on one line; the others still finish
                        failures[k] = _failure(paths[k], error)
        if failures:
            more = f" ({len(failures) - 1} more failed)" if len(failures) > 1 else ""
            raise QuillmoreError(f"{failures[min(failures)]}{more}; nothing written to {root}")
        for k, (path, result) in enumerate(zip(paths, results)):
            assert result is not None
            staged, duration, loss = result
            try:
                commit(staged, folder)
            except OSError as error:
                before = f"; the {k} runs before it are in place" if k else ""
                raise QuillmoreError(f"cannot write {staged.target} in {root}: {_one_line(error)}{before}") from None
            outside = f", {staged.outside} outside it left out" if staged.outside else ""
            say(f"{path}: {staged.data_file} ({duration:.1f} s on the headset clock, {staged.markers} markers"
                f"{outside}; {loss})")
    finally:
        for left in folder.glob(f"{prefix}*.partial"):
            shutil.rmtree(left, ignore_errors=True)
        if created:
            with contextlib.suppress(OSError):
                folder.rmdir()   # only when nothing was written
