"""The one-line progress display of ``quillmore decode`` on a terminal."""

from __future__ import annotations

import time
from typing import IO, TYPE_CHECKING

if TYPE_CHECKING:
    from .session import SessionDecoder


class Progress:
    """A one-line progress display on a terminal: a bar and percentage when
    the size is known, otherwise bytes and stream time so far."""

    WIDTH = 30

    def __init__(self, stream: IO[str], name: str, size: int | None, enabled: bool) -> None:
        self._stream = stream
        self._name = name
        self._size = size
        self._enabled = enabled
        self._last = 0.0
        self._shown = False

    def update(self, decoder: SessionDecoder, force: bool = False) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        if not force and now - self._last < 0.1:
            return
        self._last = now
        done = decoder.bytes
        if self._size:
            fraction = min(1.0, done / self._size)
            filled = round(fraction * self.WIDTH)
            bar = "#" * filled + "." * (self.WIDTH - filled)
            text = f"{self._name} [{bar}] {fraction:4.0%}"
        else:
            text = f"{self._name}: {done:,} bytes"
        text += f"  {decoder.time:.0f} s, {decoder.counts['eeg']} eeg"
        self._stream.write("\r" + text + "\x1b[K")
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False
