"""Tools around the QuillmoreParser decoder: a virtual headset, a recording
decoder and plots, with the command-line tool ``quillmore``."""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("QuillmoreParser")
except _metadata.PackageNotFoundError:   # run from a source tree
    __version__ = "unknown"
