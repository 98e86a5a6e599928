#!/bin/sh
# The Python tests against both extension modules, QuillmoreParser and
# quillmore._recording, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (in build/asan), with the sanitizer runtimes
# preloaded into an ordinary interpreter.  Part of the CI run.  Installs the
# build tools where missing; $PYTHON (default: the virtual environment that
# tests/run.sh makes, made here with the package and its test extras when it
# is missing) supplies the test tools and the package's dependencies.
#
# The companion package is put together in build/asan/python/quillmore: its
# Python files (links to python/quillmore) and the instrumented _recording
# beside them, ahead of the virtual environment's copy on PYTHONPATH.  The
# run stops before the first test unless the modules it imports are these
# builds (tests/leaks/asan_modules.py).  Arguments go to pytest; without a
# test file or directory among them, the whole of tests/python runs.
#
#   sh tests/leaks/asan.sh [PYTEST ARGUMENTS...]
set -eu
cd "$(dirname "$0")/../.."
. tests/apt_install.sh
. tests/leaks/companion_package.sh
need_build_tools
install_needed
if [ -z "${PYTHON:-}" ]; then
    if [ ! -x build/venv/bin/python ]; then
        python3 -m venv build/venv
        build/venv/bin/python -m pip install -q ".[test]"
    fi
    PYTHON=build/venv/bin/python
fi
PYTHON=$(command -v "$PYTHON")
"$PYTHON" -c "import pytest, hypothesis, quillmore" 2>/dev/null || "$PYTHON" -m pip install -q ".[test]"

cmake -S . -B build/asan -G Ninja -DQUILLMORE_SANITIZE=ON -DQUILLMORE_BUILD_PYTHON=ON \
  -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF -DPython_EXECUTABLE="$PYTHON"
cmake --build build/asan --target QuillmoreParser quillmore_recording

companion_package build/asan

suite=tests/python
for argument in "$@"; do
    if [ -e "${argument%%::*}" ]; then suite=""; fi
done

# No leak report: the interpreter keeps much of its memory until exit.  The
# tests find the runtime loaded and skip what its quarantine would distort.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$PWD/build/asan/binding:$PWD/build/asan/python:$PWD/tests/leaks" \
QUILLMORE_ASAN_BUILD="$PWD/build/asan" \
  "$PYTHON" -m pytest -q -p no:cacheprovider -p asan_modules $suite "$@"
