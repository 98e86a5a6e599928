"""Writing a named output without harming what the name stands for.

A recording, a picture or a table named with ``-o`` may be an ordinary file,
a symlink, a device (``/dev/null``, a serial port), a named pipe or a
directory, and each wants different treatment:

* a regular file, or a name that does not exist yet, is written under a
  temporary name beside it (``.NAME.partial``, see :class:`Staged`) and
  renamed into place only when writing has finished, so a failed run never
  leaves half a file and never replaces a good one with a broken one;
* a symlink is followed: its target is written as above, the link stays;
* anything else (a device, a named pipe, a socket) cannot be renamed over
  without destroying it, so it is written straight into;
* a directory is refused.

Every failure, on opening, writing or renaming, becomes one
:class:`~quillmore.errors.QuillmoreError` that names the path.  A capture of
a live session's bytes (:class:`Capture`) follows rules of its own.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import IO

from .errors import QuillmoreError


# The longest file name when the file system does not say (POSIX systems and
# Windows allow 255 bytes or characters).
NAME_MAX = 255
_PARTIAL = ".partial"


def _name_max(directory: Path) -> int:
    try:
        limit = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError, AttributeError):   # no such directory yet, or no pathconf (Windows)
        return NAME_MAX
    return limit if limit > 0 else NAME_MAX


def partial_path(path: Path) -> Path:
    """Where ``path`` is written until it is complete: ``.NAME.partial``
    beside it.  A name too long for that to fit the file system's limit is
    shortened and followed by a digest of the whole name, so that the
    temporary name always fits and is still the same on every run (the next
    run writes over, or removes, what a killed one left)."""
    name = path.name
    limit = _name_max(path.parent)
    if len(os.fsencode(f".{name}{_PARTIAL}")) <= limit:
        return path.with_name(f".{name}{_PARTIAL}")
    digest = hashlib.sha256(os.fsencode(name)).hexdigest()[:16]
    room = limit - len(f".~{digest}{_PARTIAL}")
    while len(os.fsencode(name)) > room:
        name = name[:-1]
    return path.with_name(f".{name}~{digest}{_PARTIAL}")


class Staged:
    """A file written under its temporary name (``partial``, see
    :func:`partial_path`) and put in place at ``path`` by ``commit()``;
    ``discard()`` removes the temporary file, as does a later run that
    stages the same path.  Until ``commit()``, whatever ``path`` held stays
    as it was."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.partial = partial_path(path)

    def commit(self) -> None:
        """Renames the temporary file into place (raises OSError)."""
        os.replace(self.partial, self.path)

    def discard(self) -> None:
        with contextlib.suppress(OSError):
            self.partial.unlink()


def close_quietly(stream: IO[bytes] | IO[str]) -> None:
    """Closes a stream on an error path, where a second error (the flush of a
    full disk, say) would only hide the first."""
    with contextlib.suppress(OSError):
        stream.close()


def reason(error: OSError) -> str:
    return error.strerror or str(error)


@contextlib.contextmanager
def writing(name: str) -> Iterator[IO[bytes]]:
    """A binary stream into ``name``, treated as the module's docstring says.
    An error inside the block (or KeyboardInterrupt) removes the temporary
    file and leaves ``name`` as it was."""
    target = Path(os.path.realpath(name))
    try:
        mode = target.stat().st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise QuillmoreError(f"cannot write {name}: {reason(error)}") from None
    if mode is not None and stat.S_ISDIR(mode):
        raise QuillmoreError(f"cannot write {name}: it is a directory")
    staged = Staged(target) if mode is None or stat.S_ISREG(mode) else None
    try:
        stream = open(target if staged is None else staged.partial, "wb")
    except OSError as error:
        raise QuillmoreError(f"cannot write {name}: {reason(error)}") from None
    try:
        yield stream
        stream.close()
        if staged is not None:
            staged.commit()
    except BaseException as error:
        close_quietly(stream)
        if staged is not None:
            staged.discard()
        if isinstance(error, OSError):
            # A device or pipe has had what was written before the error.
            left = "; nothing written" if staged is not None else ""
            raise QuillmoreError(f"cannot write {name}: {reason(error)}{left}") from None
        raise


class Capture:
    """Every byte read from a live source, kept as it arrives, so a session
    can be decoded again later (``--save-bytes``).

    Unlike the outputs above, a capture is written straight into its file
    and flushed after every read: a crash, Ctrl-C or an unplug then loses at
    most the last read, where a temporary name would lose everything.  So
    an existing regular file is never written over; a device or pipe is
    written straight into, a directory refused.

    A capture into a regular file gets its timing file beside it
    (``capture_timing``): when each read arrived, and when the port went
    away and came back (``event``), flushed with the bytes."""

    def __init__(self, name: str) -> None:
        from .capture_timing import TimingLog

        self.name = name
        self.bytes = 0
        self.timing: TimingLog | None = None
        self.arrival: float | None = None
        """When the last chunk arrived, on the timing file's host clock (None
        without a timing file): the reading its line holds."""
        target = os.path.realpath(name)
        self._target = target
        if os.path.isdir(target):
            raise QuillmoreError(f"cannot save bytes to {name}: it is a directory")
        regular = not os.path.exists(target) or os.path.isfile(target)
        try:
            self._stream: IO[bytes] = open(target, "xb" if regular else "wb")
        except FileExistsError:
            raise QuillmoreError(f"{name} exists; --save-bytes never writes over a file, "
                                 "choose another name") from None
        except OSError as error:
            raise QuillmoreError(f"cannot save bytes to {name}: {reason(error)}") from None
        if regular:
            try:
                self.timing = TimingLog(target)
            except QuillmoreError:
                close_quietly(self._stream)
                os.unlink(target)
                raise

    def event(self, kind: str) -> None:
        """The port was ``lost`` or is ``back``: noted in the timing file."""
        if self.timing is not None:
            self.timing.event(kind)

    def tee(self, chunks: Iterator[bytes]) -> Iterator[bytes]:
        """``chunks`` unchanged, each written and flushed before it is passed on."""
        for chunk in chunks:
            arrived = self.timing.now() if self.timing is not None else None
            try:
                self._stream.write(chunk)
                self._stream.flush()
            except OSError as error:
                raise QuillmoreError(f"cannot save bytes to {self.name}: {reason(error)} "
                                     f"(after {self.bytes:,} bytes)") from None
            if self.timing is not None and arrived is not None:
                self.timing.read(len(chunk), arrived)
                self.arrival = arrived[0]
            self.bytes += len(chunk)
            yield chunk

    @property
    def kept(self) -> bool:
        """Whether ``close()`` keeps the capture.  One into a regular file
        that never got a byte (the port did not open, the session failed
        before reading, the headset sent nothing) is removed with its timing
        file: it holds nothing to decode, and would only stand in the way of
        the next try under its name."""
        return self.timing is None or self.bytes > 0

    def close(self) -> None:
        """Closes the files, and removes them unless ``kept``."""
        close_quietly(self._stream)
        if self.timing is not None:
            self.timing.close()
            if not self.kept:
                for leftover in (self._target, self.timing.name):
                    with contextlib.suppress(OSError):
                        os.unlink(leftover)
