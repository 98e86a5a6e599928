#!/bin/sh
# The Python tests against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (in build/asan), with the sanitizer runtimes
# preloaded into an ordinary interpreter.  Part of the CI run.  Installs the
# build tools where missing; $PYTHON (default: the virtual environment that
# tests/run.sh makes, made here with the package and its test extras when it
# is missing) supplies the companion package and the test tools, while the
# module itself comes from build/asan.  Arguments go to pytest.
set -eu
cd "$(dirname "$0")/../.."
. tests/apt_install.sh
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
cmake --build build/asan
# No leak report: the interpreter keeps much of its memory until exit.  The
# tests find the runtime loaded and skip what its quarantine would distort.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=build/asan/binding \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@"
