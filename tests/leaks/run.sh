#!/bin/sh
# Reference-leak check of the Python module.  Builds the module for Debian's
# debug interpreter (python3.11-dbg, which counts references and memory
# blocks) in build/dbg and runs tests/leaks/refcount_loop.py over it, which
# fails when either count grows with the number of rounds, then
# tests/leaks/nomemory_sweep.py, which fails one allocation at a time in a
# parse of every frame kind and in every call of quillmore._recording and
# wants MemoryError, no SystemError, no abort.  Installs what it
# needs on a fresh Debian 12 machine; arguments go to refcount_loop.py.
set -eu
cd "$(dirname "$0")/../.."

. tests/apt_install.sh
. tests/leaks/companion_package.sh
need python3.11-dbg command -v python3.11d
need_build_tools
install_needed --no-install-recommends

PYTHON_DBG=$(command -v python3.11d)
# The debug interpreter's Python.h may pick up the release pyconfig.h; the
# debug one is forced in, or the module's own increments and decrements would
# not be counted (Py_REF_DEBUG off) and the totals would mean nothing.
multiarch=$("$PYTHON_DBG" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH"))')
cmake -S . -B build/dbg -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DPython_EXECUTABLE="$PYTHON_DBG" -DPython_INCLUDE_DIR=/usr/include/python3.11d \
  "-DCMAKE_CXX_FLAGS=-include /usr/include/$multiarch/python3.11d/pyconfig.h" \
  -DQUILLMORE_BUILD_PYTHON=ON -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF
cmake --build build/dbg --target QuillmoreParser quillmore_recording
# quillmore._recording inside a quillmore package of the companion
# package's files and the debug build's module.
companion_package build/dbg
PYTHONPATH=build/dbg/binding "$PYTHON_DBG" tests/leaks/refcount_loop.py "$@"
PYTHONPATH=build/dbg/binding:build/dbg/python "$PYTHON_DBG" tests/leaks/nomemory_sweep.py
