"""Serial ports: which there are, opening one, and reading one as a live
source that can outlast an unplug.

pyserial is an optional dependency, imported only here and only when a port
is used.  The headset pairs over Bluetooth (an ``rfcomm`` device, or a COM
port on Windows) or comes with a USB serial adapter; the listing marks the
ports that look like either.
"""

from __future__ import annotations

import dataclasses
import os
import time
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Protocol

from .errors import QuillmoreError, missing_extra

DEFAULT_BAUD = 57600
# How long one read waits for the first byte; also how often a stop
# (Ctrl-C, the end of --duration) is noticed.
READ_TIMEOUT = 0.2
# How often a port that went away is tried again.
REOPEN_INTERVAL = 0.5


class Port(Protocol):
    in_waiting: int

    def read(self, size: int = ...) -> bytes: ...
    def close(self) -> None: ...


class PortClosed(Exception):
    """The port went away while we read it (unplugged, or the other end closed)."""


def _pyserial(what: str) -> ModuleType:
    try:
        import serial  # type: ignore[import-untyped]
    except ImportError:
        raise missing_extra(what, "pyserial", "serial") from None
    return serial  # type: ignore[no-any-return]


# ---------------------------------------------------------------- listing

@dataclasses.dataclass(frozen=True)
class PortInfo:
    """A serial port: its ``device`` path (or COM name), the system's
    ``description`` and ``hardware`` id, and whether it is ``likely`` the
    headset's."""

    device: str
    description: str
    hardware: str
    likely: bool
    """USB serial adapter or Bluetooth serial link: what the headset uses."""


def list_ports() -> list[PortInfo]:
    """The serial ports there are, sorted by device.  Needs pyserial
    (``MissingExtra`` otherwise)."""
    _pyserial("listing serial ports")
    from serial.tools import list_ports as listing  # type: ignore[import-untyped]

    found = []
    for port in sorted(listing.comports(), key=lambda port: str(port.device)):
        device = str(port.device)
        description = str(port.description or "")
        bluetooth = "rfcomm" in device or "bluetooth" in (description + str(port.hwid)).lower()
        usb = port.vid is not None
        found.append(PortInfo(device, description, str(port.hwid or ""), usb or bluetooth))
    return found


# ---------------------------------------------------------------- reading

def open_port(device: str, baud: int) -> Port:
    """Opens ``device`` at ``baud`` for reading, with a short read timeout.
    A port that cannot be opened is a ``QuillmoreError`` with the system's
    reason; needs pyserial."""
    serial = _pyserial("reading a serial port")
    try:
        port: Port = serial.Serial(device, baud, timeout=READ_TIMEOUT)
    except (serial.SerialException, OSError, ValueError) as error:
        # pyserial wraps the system's error in a long message of its own.
        code = getattr(error, "errno", None)
        reason = os.strerror(code) if isinstance(code, int) else str(error)
        raise QuillmoreError(f"cannot open port {device}: {reason}") from None
    return port


class PortReader:
    """The bytes of a port as they arrive, for ``seconds`` or until stopped.

    With ``reconnect``, a port that goes away (unplugged, out of Bluetooth
    range, the other end restarted) is opened again every half second and
    reading goes on; ``gaps`` and ``gap_seconds`` count what was missed,
    from the last byte before the loss to the first byte after it.
    ``say`` reports each loss and each return."""

    def __init__(self, device: str, baud: int, seconds: float | None = None, reconnect: bool = False,
                 say: Callable[[str], None] = lambda message: None) -> None:
        self.device = device
        self.baud = baud
        self.reconnect = reconnect
        self.gaps = 0
        self.gap_seconds = 0.0
        self.on_gap: Callable[[float], None] | None = None
        """Told each gap's seconds when the port is back, before the first
        chunk after it."""
        self.on_event: Callable[[str], None] | None = None
        """Told ``"lost"`` when the port goes away and ``"back"`` when it
        returns (before ``on_gap``)."""
        self._say = say
        self._deadline = None if seconds is None else time.monotonic() + seconds
        self._port: Port | None = open_port(device, baud)

    def _running(self) -> bool:
        return self._deadline is None or time.monotonic() < self._deadline

    def _reopen(self) -> Port | None:
        while self._running():
            time.sleep(REOPEN_INTERVAL)
            try:
                return open_port(self.device, self.baud)
            except QuillmoreError:
                continue
        return None

    def chunks(self) -> Iterator[bytes]:
        """The bytes as they arrive, each chunk all that was waiting, until
        the time is up.  Without ``reconnect``, a port that goes away ends
        it with ``PortClosed``."""
        last = time.monotonic()
        lost_since: float | None = None
        while self._running() and self._port is not None:
            try:
                # Wait (up to the timeout) for one byte, then take all that is there.
                chunk = self._port.read(1)
                if chunk and self._port.in_waiting:
                    chunk += self._port.read(self._port.in_waiting)
            except OSError as error:   # pyserial's SerialException is an OSError
                self.close()
                if not self.reconnect:
                    raise PortClosed(str(error)) from None
                if lost_since is None:
                    lost_since = last
                    self._say(f"{self.device} went away ({error}); trying to reopen it")
                    if self.on_event is not None:
                        self.on_event("lost")
                self._port = self._reopen()
                continue
            if not chunk:
                continue
            last = time.monotonic()
            if lost_since is not None:
                gap = last - lost_since
                self.gaps += 1
                self.gap_seconds += gap
                self._say(f"{self.device} is back after {gap:.1f} s")
                if self.on_event is not None:
                    self.on_event("back")
                if self.on_gap is not None:
                    self.on_gap(gap)
                lost_since = None
            yield chunk

    def loss(self) -> str | None:
        """What the gaps cost, for the summary; None when there were none."""
        if not self.gaps:
            return None
        plural = "" if self.gaps == 1 else "s"
        return (f"{self.device} went away {self.gaps} time{plural}: {self.gap_seconds:.1f} s without data "
                f"(its samples are counted in the loss)")

    def close(self) -> None:
        """Closes the port (it may be closed already)."""
        if self._port is not None:
            port, self._port = self._port, None
            try:
                port.close()
            except OSError:
                pass
