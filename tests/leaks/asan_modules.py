"""pytest plugin of tests/leaks/asan.sh: the run must import both extension
modules from the AddressSanitizer build in $QUILLMORE_ASAN_BUILD, not a copy
installed elsewhere (an uninstrumented module would pass every test and
check nothing).  Stops the run before the first test otherwise, and names
the files in the report's header."""
import os
import pathlib

import pytest


def _loaded():
    import QuillmoreParser
    import quillmore._recording
    return {"QuillmoreParser": QuillmoreParser.__file__, "quillmore._recording": quillmore._recording.__file__}


def pytest_configure(config):
    build = pathlib.Path(os.environ["QUILLMORE_ASAN_BUILD"]).resolve()
    for name, file in _loaded().items():
        path = pathlib.Path(file).resolve()
        if build not in path.parents:
            raise pytest.UsageError(f"{name} was imported from {path}, not from the sanitizer build in {build}")
        if b"__asan_init" not in path.read_bytes():
            raise pytest.UsageError(f"{name} ({path}) is not built with AddressSanitizer")


def pytest_report_header(config):
    return [f"{name}: {file}" for name, file in _loaded().items()]
