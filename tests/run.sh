#!/bin/sh
# Installs what the tests need on a fresh Debian machine and runs them all:
# the C++ tests (plain and under AddressSanitizer + UndefinedBehaviorSanitizer)
# and the Python tests (the module, the command-line tool, the type stubs)
# against the package as `pip install .` builds it, in a virtual environment
# of its own (build/venv) unless PYTHON names an interpreter to install into,
# and the list of wheels the cibuildwheel configuration would build.
set -eu
cd "$(dirname "$0")/.."

. tests/apt_install.sh
need "libgtest-dev libgmock-dev" test -f /usr/include/gtest/gtest.h
need libbenchmark-dev test -f /usr/include/benchmark/benchmark.h
# A real browser and its driver for the live view's tests (tests/python/test_view.py).
need "chromium chromium-driver" sh -c 'command -v chromium && command -v chromedriver'
need_build_tools
if [ -z "${PYTHON:-}" ]; then
    # Debian's own Python keeps venv's pip and the C headers in packages of
    # their own, and refuses `pip install` outside a virtual environment.
    need python3-venv python3 -c "import ensurepip"
    need python3-dev python3 -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"
fi
install_needed

if [ -z "${PYTHON:-}" ]; then
    [ -x build/venv/bin/python ] || python3 -m venv build/venv
    PYTHON=build/venv/bin/python
fi
# One wheel serves the installed module and the type-checking test's fresh
# environment.
rm -rf build/wheel
$PYTHON -m pip wheel -q --no-deps -w build/wheel .
QUILLMORE_WHEEL=$(ls build/wheel/*.whl)
export QUILLMORE_WHEEL
$PYTHON -m pip install -q --force-reinstall --no-deps "$QUILLMORE_WHEEL"
$PYTHON -m pip install -q "$QUILLMORE_WHEEL[test]" cibuildwheel

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test
ctest --test-dir build/test --output-on-failure

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLMORE_SANITIZE=ON -DQUILLMORE_BUILD_BENCHMARKS=OFF
cmake --build build/sanitize
ctest --test-dir build/sanitize --output-on-failure

$PYTHON -m pytest -q tests/python tests/typing tests/packaging
