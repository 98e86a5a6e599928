"""The exceptions that the command-line tool reports as a plain message."""

from __future__ import annotations


class QuillmoreError(Exception):
    """A failure the user can act on: a missing file, a port that will not
    open, an optional dependency that is not installed.  The tool prints the
    message without a traceback and exits with ``status``."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class MissingExtra(QuillmoreError, ImportError):
    """An optional dependency is not installed; ``except ImportError``
    catches it too."""


class NotARecording(QuillmoreError, ValueError):
    """Input in which not one frame was found: not a recording of the
    headset's stream (read() of empty or foreign bytes)."""


def no_frames(name: str, size: int) -> NotARecording:
    """The error for input in which not one frame was found."""
    return NotARecording(f"no frames found in {name} ({size:,} bytes): not a recording of the headset's stream")


def missing_extra(what: str, package: str, extra: str) -> MissingExtra:
    """The error for an optional dependency that is not installed.  The hint
    names the package itself, which works whether this package came from
    the index or from a source checkout; ``extra`` is the name of the
    optional dependency group that would have brought it."""
    return MissingExtra(
        f"{what} needs {package}, which is not installed; install it with: pip install {package}")
