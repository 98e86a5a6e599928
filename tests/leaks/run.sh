#!/bin/sh
# Reference-leak check of the Python module.  Builds the module for Debian's
# debug interpreter (python3.11-dbg, which counts references and memory
# blocks) in build/dbg and runs tests/leaks/refcount_loop.py over it, which
# fails when either count grows with the number of rounds.  Installs what it
# needs on a fresh Debian 12 machine; arguments go to refcount_loop.py.
set -eu
cd "$(dirname "$0")/../.."

need_apt=""
command -v python3.11d >/dev/null || need_apt="$need_apt python3.11-dbg"
command -v cmake >/dev/null || need_apt="$need_apt cmake"
command -v ninja >/dev/null || need_apt="$need_apt ninja-build"
command -v g++ >/dev/null || need_apt="$need_apt g++"
if [ -n "$need_apt" ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need_apt
fi

PYTHON_DBG=$(command -v python3.11d)
# The debug interpreter's Python.h may pick up the release pyconfig.h; the
# debug one is forced in, or the module's own increments and decrements would
# not be counted (Py_REF_DEBUG off) and the totals would mean nothing.
multiarch=$("$PYTHON_DBG" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH"))')
cmake -S . -B build/dbg -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DPython_EXECUTABLE="$PYTHON_DBG" -DPython_INCLUDE_DIR=/usr/include/python3.11d \
  "-DCMAKE_CXX_FLAGS=-include /usr/include/$multiarch/python3.11d/pyconfig.h" \
  -DQUILLMORE_BUILD_PYTHON=ON -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF
cmake --build build/dbg
PYTHONPATH=build/dbg/binding "$PYTHON_DBG" tests/leaks/refcount_loop.py "$@"
