"""Tools around the QuillmoreParser decoder: recordings as NumPy arrays
(``quillmore.read``, ``quillmore.Decoder``), a virtual headset, a recording
decoder and plots, with the command-line tool ``quillmore``."""

from __future__ import annotations

from importlib import metadata as _metadata
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .recording import Decoder, Recording, read

__all__ = ["Decoder", "Recording", "read", "__version__"]

try:
    __version__ = _metadata.version("QuillmoreParser")
except _metadata.PackageNotFoundError:   # run from a source tree
    __version__ = "unknown"


def __getattr__(name: str) -> Any:
    # read, Decoder and Recording need NumPy; the command-line tool's other
    # commands do not, so it is imported on first use only.
    if name in ("read", "Decoder", "Recording"):
        from . import recording
        return getattr(recording, name)
    raise AttributeError(f"module 'quillmore' has no attribute {name!r}")
