"""Where a session's bytes come from: a file, standard input, the sample
recording shipped with the package, or a serial port, each as a
:class:`Source` of chunks."""

from __future__ import annotations

import dataclasses
import os
import stat
import sys
from collections.abc import Iterator
from importlib import resources
from pathlib import Path
from typing import IO, TYPE_CHECKING

from . import capture_timing
from .errors import QuillmoreError
from .output import reason

if TYPE_CHECKING:
    from .ports import PortReader

CHUNK_SIZE = 1 << 16
SAMPLE = "sample.bin"


def sample_bytes() -> bytes:
    """The recording shipped with the package."""
    return resources.files(__package__).joinpath("data", SAMPLE).read_bytes()


@dataclasses.dataclass
class Source:
    """Where bytes come from: a name for messages, the size when known, and
    the chunks.  ``live`` sources (ports) end when the user stops them."""

    name: str
    size: int | None
    chunks: Iterator[bytes]
    live: bool = False
    path: str | None = None
    """The path of a regular file, whose bytes can be read again."""
    link: PortReader | capture_timing.Replay | None = None
    """What reports the gaps in the chunks: a port, or a capture's timing."""


def _chunked(data: bytes) -> Iterator[bytes]:
    for start in range(0, len(data), CHUNK_SIZE):
        yield data[start:start + CHUNK_SIZE]


def _read_chunks(stream: IO[bytes], name: str) -> Iterator[bytes]:
    # read1 returns what a pipe has now instead of waiting for a full chunk,
    # so rows from a live pipe appear as the bytes arrive.
    read = getattr(stream, "read1", stream.read)
    while True:
        try:
            chunk = read(CHUNK_SIZE)
        except OSError as error:
            raise QuillmoreError(f"cannot read {name}: {reason(error)}") from None
        if not chunk:
            return
        yield chunk


def open_file(path: str) -> tuple[Source, IO[bytes]]:
    """The source of a file, and the stream to close when it is done."""
    try:
        stream = open(path, "rb")
    except OSError as error:
        raise QuillmoreError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        status = os.fstat(stream.fileno())
    except OSError:
        status = None
    if status is not None and stat.S_ISDIR(status.st_mode):
        stream.close()
        raise QuillmoreError(f"cannot read {path}: it is a directory")
    regular = status is not None and stat.S_ISREG(status.st_mode)
    size = status.st_size if status is not None and regular else None
    timing = capture_timing.find(path) if regular else None
    if timing is not None:
        # A live capture: replayed as it arrived, its reconnects sized as
        # they were live (as quillmore.read does).
        replay = capture_timing.Replay(stream, capture_timing.load(timing))
        return Source(path, size, replay.chunks(), path=path, link=replay), stream
    return Source(path, size, _read_chunks(stream, path), path=path if regular else None), stream


def sample_source() -> Source:
    data = sample_bytes()
    path = resources.files(__package__).joinpath("data", SAMPLE)
    return Source(f"the bundled sample ({SAMPLE})", len(data), _chunked(data),
                  path=str(path) if isinstance(path, Path) else None)


def stdin_source() -> Source:
    return Source("standard input", None, _read_chunks(sys.stdin.buffer, "standard input"))


def port_source(reader: PortReader) -> Source:
    """A live port, read until it is stopped or goes away."""
    return Source(reader.device, None, reader.chunks(), live=True, link=reader)


def pieces(chunks: Iterator[bytes], size: int) -> Iterator[bytes]:
    """``chunks`` cut into pieces of at most ``size`` bytes."""
    for chunk in chunks:
        for start in range(0, len(chunk), size):
            yield chunk[start:start + size]
