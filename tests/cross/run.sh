#!/bin/sh
# The core, the C interface and their C++ and C tests built for another
# target with a Debian cross toolchain, and run there under an emulator:
#
#   sh tests/cross/run.sh windows   mingw-w64; the C interface as a DLL; Wine
#   sh tests/cross/run.sh aarch64   g++-aarch64-linux-gnu; qemu-user (the
#                                   NEON paths instead of SSE2)
#
# GoogleTest is built for the target from Debian's source package.  Installs
# what is missing.
set -eu
cd "$(dirname "$0")/../.."

. tests/apt_install.sh
target=${1:-}
case $target in
windows)
  need "g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix" command -v x86_64-w64-mingw32-g++-posix
  need "wine wine64" command -v wine
  toolchain=cmake/toolchains/mingw-w64-x86_64.cmake
  # A Wine prefix of our own, set up without prompts for Mono or Gecko, and
  # without Wine's debug chatter in the test output.
  WINEPREFIX=$PWD/build/wine
  WINEDEBUG=-all
  WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
  ;;
aarch64)
  need "g++-aarch64-linux-gnu gcc-aarch64-linux-gnu" command -v aarch64-linux-gnu-g++
  need qemu-user command -v qemu-aarch64
  toolchain=cmake/toolchains/aarch64-linux-gnu.cmake
  ;;
*)
  echo "usage: sh tests/cross/run.sh windows|aarch64" >&2
  exit 2
  ;;
esac
need googletest test -f /usr/src/googletest/CMakeLists.txt
need_build_tools
install_needed

build=build/cross-$target
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DQUILLMORE_BUILD_BENCHMARKS=OFF -DQUILLMORE_GTEST_SOURCE_DIR=/usr/src/googletest
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure
