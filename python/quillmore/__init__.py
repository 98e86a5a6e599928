"""Tools around the QuillmoreParser decoder: recordings as NumPy arrays
(``quillmore.read``, ``quillmore.Decoder``), a virtual headset, a recording
decoder and plots, with the command-line tool ``quillmore``."""

from __future__ import annotations

from importlib import metadata as _metadata
from typing import TYPE_CHECKING, Any

from .errors import MissingExtra, NotARecording, QuillmoreError

if TYPE_CHECKING:
    from .recording import Decoder, Loss, Recording, read
    from .table_exports import load_npz

__all__ = ["Decoder", "Loss", "MissingExtra", "NotARecording", "QuillmoreError", "Recording", "load_npz", "read",
           "__version__"]
_FROM_RECORDING = ("read", "Decoder", "Recording", "Loss")

try:
    __version__ = _metadata.version("QuillmoreParser")
except _metadata.PackageNotFoundError:   # run from a source tree
    __version__ = "unknown"


def __getattr__(name: str) -> Any:
    # read, Decoder, Recording and Loss need NumPy; the command-line tool's
    # other commands do not, so it is imported on first use only.
    if name in _FROM_RECORDING:
        from . import recording
        return getattr(recording, name)
    if name == "load_npz":
        from .table_exports import load_npz
        return load_npz
    raise AttributeError(f"module 'quillmore' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The public names, not the helpers this file imports.
    return sorted(set(__all__) | {name for name in globals() if name.startswith("__")})
