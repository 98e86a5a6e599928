"""Recording a session to XDF through LabRecorder's own recording engine.

``quillmore record SESSION.xdf`` hands streams to the PyPI package
``labrecorder`` (a binding of the recorder labs use, LabRecorder): the
headset's outlets and every stream the user names, with the clock offsets
LSL measures between the machines, into one XDF file.  The engine subscribes
to each stream, writes its header at once and its samples as they come, and
its footer (first and last time stamp, sample count, clock offsets) when the
recording ends; ``pyxdf.load_xdf`` opens the file, and ``quillmore.read``
turns it back into a Recording (``quillmore.xdf_read``).

Streams are named by queries ``KEY=VALUE`` (``type=Markers``,
``name=Experiment markers``, ``source_id=...``; ``KEY=PREFIX*`` for a value
that starts so), LSL's predicates ``KEY='VALUE'`` and
``starts-with(KEY,'PREFIX')``.  The streams that match when the recording
starts are recorded; a query that matches none yet is watched for, and its
streams join the recording when they appear.

labrecorder (whose wheels carry their own liblsl, for CPython 3.11 and 3.12)
is an optional dependency, imported only here.
"""

from __future__ import annotations

import atexit
import contextlib
import gc
import os
import re
import sys
import tempfile
import time
from pathlib import Path
from collections.abc import Sequence
from types import ModuleType
from typing import Any

from .errors import QuillmoreError, missing_extra
from .lsl import _CONFIG_PLACES

_QUERY = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=(.+)", re.DOTALL)

RESOLVE_SECONDS = 2.0
"""How long the start of a recording looks for the streams a query names."""
GATHER_SECONDS = 0.5
"""How long the streams that match a query are gathered once one answered."""
SETTLE_SECONDS = 0.5
"""How long the engine is given to fetch the last samples before it stops."""


def query(text: str) -> str:
    """LSL's predicate for ``KEY=VALUE`` (``KEY=PREFIX*``: a value that
    starts with PREFIX).  ValueError for anything else."""
    match = _QUERY.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"expected KEY=VALUE (such as type=Markers or name=My markers), not {text!r}")
    key, value = match.groups()
    if "'" in value:
        raise ValueError(f"a value cannot hold a single quote (LSL's queries have no escape for it): {text!r}")
    if value.endswith("*"):
        prefix = value[:-1]
        if not prefix:
            raise ValueError(f"{text!r} matches every stream: give at least the start of the value")
        return f"starts-with({key},'{prefix}')"
    return f"{key}='{value}'"


def _quiet_engine_log() -> None:
    """LabRecorder's engine carries a liblsl of its own, which logs every
    connection at INFO level on standard error and reads its settings from
    ``LSLAPICFG`` or the usual places: unless the lab has a configuration
    of its own (network settings live there too), one that keeps the log to
    errors, for this process's life."""
    if "LSLAPICFG" in os.environ or any(Path(place).expanduser().exists() for place in _CONFIG_PLACES):
        return
    handle, path = tempfile.mkstemp(prefix="quillmore-lsl-", suffix=".cfg")
    with os.fdopen(handle, "w") as stream:
        stream.write("[log]\nlevel = -2\n")
    os.environ["LSLAPICFG"] = path
    atexit.register(_remove, path)


def _remove(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


def require_labrecorder() -> ModuleType:
    _quiet_engine_log()
    try:
        import labrecorder  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        error = missing_extra("recording to XDF", "labrecorder", "xdf")
        if sys.version_info >= (3, 13):
            error = type(error)(f"{error} (its wheels are for Python 3.11 and 3.12; this is "
                                f"{sys.version_info.major}.{sys.version_info.minor})")
        raise error from None
    except (OSError, RuntimeError) as error:   # its liblsl failed to load
        raise QuillmoreError(f"cannot load LabRecorder's recording engine: {error}") from None
    return labrecorder  # type: ignore[no-any-return]


def resolve(pylsl: ModuleType, predicate: str, seconds: float = RESOLVE_SECONDS) -> list[Any]:
    """The streams on the network that match ``predicate``: looked for up
    to ``seconds`` until one answers, then for a moment more, for the others
    that answer to the same query (each stream once, though it answers on
    several interfaces)."""
    found = pylsl.resolve_bypred(predicate, 1, seconds)
    if found:
        found += pylsl.resolve_bypred(predicate, 0, GATHER_SECONDS)
    unique: dict[str, Any] = {}
    for info in found:
        unique.setdefault(info.uid(), info)
    return list(unique.values())


def find_own(pylsl: ModuleType, source_ids: dict[str, str], uids: dict[str, str],
             seconds: float = 10.0) -> list[Any]:
    """The stream infos of this process's outlets, as the network gives them
    (with the addresses a recorder connects to): for each kind, the stream
    with its ``source_ids`` entry and its ``uids`` entry."""
    found: dict[str, Any] = {}
    deadline = time.monotonic() + seconds
    for kind, sid in source_ids.items():
        while kind not in found:
            left = deadline - time.monotonic()
            if left <= 0:
                raise QuillmoreError(f"the outlet {sid!r} of this process did not show on the network within "
                                     f"{seconds:g} s: is LSL's network traffic blocked on this host?")
            for info in pylsl.resolve_byprop("source_id", sid, 1, min(left, 1.0)):
                if info.uid() == uids[kind]:
                    found[kind] = info
                    break
    return list(found.values())


class XdfRecording:
    """LabRecorder's engine writing ``path``: ``streams`` (pylsl StreamInfo
    objects, or anything with ``as_xml()``) from the start, and the streams
    of ``watchfor`` (LSL predicates) as they appear.  ``close()`` ends it:
    the engine writes each stream's footer and closes the file only when its
    object goes away, so close() stops it and lets go of it."""

    def __init__(self, labrecorder: ModuleType, path: str, streams: Sequence[Any], watchfor: Sequence[str],
                 quiet: bool = False) -> None:
        self.path = path
        # The engine tells what it does on standard output (each stream
        # opened, each footer written): to standard error instead, where the
        # tool's messages go, or nowhere when quiet.
        self._stdout: int | None = None
        with contextlib.suppress(OSError, ValueError):
            sys.stdout.flush()
            self._stdout = os.dup(1)
            target = os.open(os.devnull, os.O_WRONLY) if quiet else os.dup(2)
            os.dup2(target, 1)
            os.close(target)
        try:
            self._engine: Any = labrecorder.Recording(path, list(streams), watchfor=list(watchfor),
                                                      collect_offsets=True)
        except Exception as error:   # the engine reports a file it cannot write as RuntimeError
            self._restore()
            raise QuillmoreError(f"cannot record to {path}: {error}") from None

    def _restore(self) -> None:
        if self._stdout is not None:
            with contextlib.suppress(OSError):
                os.dup2(self._stdout, 1)
                os.close(self._stdout)
            self._stdout = None

    def close(self, settle: float = SETTLE_SECONDS) -> None:
        """Waits ``settle`` seconds for the last samples to arrive, then stops
        the engine and lets go of it.  A second Ctrl-C meanwhile does not
        keep the file from being finished."""
        engine, self._engine = self._engine, None
        if engine is None:
            return
        try:
            try:
                time.sleep(settle)
            except KeyboardInterrupt:
                pass
            engine.stop()
        finally:
            del engine
            gc.collect()
            self._restore()
