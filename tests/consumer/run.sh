#!/bin/sh
# A consumer's view of the package: builds QuillmoreParser without its tests,
# installs it into a scratch prefix, then builds tests/consumer outside the
# tree against it three ways (CMake find_package, pkg-config by hand, CMake
# FetchContent of the source tree), in C (shared and static library) and
# C++, and runs the guide's ctypes example against the installed library.
# Every program decodes the sample recording and must print the same report.
set -eu
cd "$(dirname "$0")/../.."
root=$PWD
work=$root/build/consumer
sample=$root/python/quillmore/data/sample.bin
. tests/apt_install.sh
need pkg-config command -v pkg-config
need_build_tools
install_needed

PYTHON=${PYTHON:-python3}
CC=${CC:-cc}
CXX=${CXX:-c++}
rm -rf "$work"

cmake -S . -B "$work/quillmore" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF
cmake --build "$work/quillmore"
cmake --install "$work/quillmore" --prefix "$work/prefix"
pcdir=$(dirname "$(find "$work/prefix" -name quillmore.pc)")
libdir=$(dirname "$pcdir")

# find_package(QuillmoreParser 0.2 CONFIG REQUIRED)
cmake -S tests/consumer -B "$work/find" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix"
cmake --build "$work/find"
# A 0.x package accepts its own minor version only.
for wanted in 0.1 0.3 1.0; do
  if cmake -S tests/consumer -B "$work/wrong-version" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DQUILLMORE_WANTED_VERSION=$wanted >/dev/null 2>&1; then
    echo "consumer: find_package(QuillmoreParser $wanted) accepted version 0.2" >&2
    exit 1
  fi
  rm -rf "$work/wrong-version"
done
# FetchContent of the source tree (add_subdirectory underneath)
cmake -S tests/consumer -B "$work/fetch" -G Ninja -DQUILLMORE_SOURCE_DIR="$root"
cmake --build "$work/fetch"
# pkg-config
export PKG_CONFIG_PATH="$pcdir"
# shellcheck disable=SC2046
$CC -std=c99 -Wall -Wextra -pedantic-errors -Werror -o "$work/attention_c_pc" tests/consumer/attention.c \
  $(pkg-config --cflags --libs quillmore)
# shellcheck disable=SC2046
$CXX -std=c++17 -Wall -Wextra -Werror -o "$work/attention_cpp_pc" tests/consumer/attention.cpp \
  $(pkg-config --cflags --libs quillmore-core)

"$work/find/attention_cpp" "$sample" >"$work/expected.txt"
grep -q '^attention ' "$work/expected.txt"
grep -q '^raw samples [1-9]' "$work/expected.txt"
check() {
  if ! "$@" "$sample" | cmp -s - "$work/expected.txt"; then
    echo "consumer: $* prints another report than attention_cpp" >&2
    exit 1
  fi
}
check "$work/find/attention_c"
check "$work/find/attention_c_static"
check "$work/fetch/attention_c"
check "$work/fetch/attention_c_static"
check "$work/fetch/attention_cpp"
check env LD_LIBRARY_PATH="$libdir" "$work/attention_c_pc"
check "$work/attention_cpp_pc"
check "$PYTHON" tests/consumer/attention_ctypes.py "$(ls "$libdir"/libquillmore.so)"

# The guide to the C interface shows these very files.
"$PYTHON" tests/consumer/doc_blocks.py docs/guide/native.md tests/consumer/attention.c tests/consumer/attention_ctypes.py
echo "consumer: find_package, pkg-config, FetchContent (C, C++) and ctypes agree"
