#!/bin/sh
# Builds the core's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer), replays the committed regression inputs and
# seeds once, then fuzzes for SECONDS (default 60).  Exits non-zero on any
# finding; the crashing input is left in build/fuzz/findings/.
#
#   sh tests/fuzz/run.sh [SECONDS]
#
# Installs clang and the other build tools from Debian's packages when they
# are missing.  The committed seed directory is only read: the run works on
# a scratch copy under build/fuzz/.
set -eu
cd "$(dirname "$0")/../.."
SECONDS_TO_RUN=${1:-60}

# Debian 12 ships clang 14; the libFuzzer and sanitizer runtimes live in
# libclang-rt-14-dev, which plain `clang` only recommends.
CLANGXX=""
for c in clang++ clang++-14; do
  if command -v "$c" >/dev/null; then CLANGXX=$c; break; fi
done
has_fuzzer_runtime() {
  [ -n "$CLANGXX" ] || return 1
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >/tmp/quillmore-fuzz-probe.cpp
  "$CLANGXX" -fsanitize=fuzzer,address,undefined /tmp/quillmore-fuzz-probe.cpp \
    -o /tmp/quillmore-fuzz-probe >/dev/null 2>&1
}
. tests/apt_install.sh
need "clang libclang-rt-14-dev" has_fuzzer_runtime
need_build_tools
if [ -n "$needed" ]; then
  install_needed
  CLANGXX=clang++
fi
rm -f /tmp/quillmore-fuzz-probe.cpp /tmp/quillmore-fuzz-probe

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CLANGXX" \
  -DQUILLMORE_BUILD_FUZZERS=ON -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz --target quillmore_fuzz_core
FUZZER=build/fuzz/tests/fuzz/quillmore_fuzz_core

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Every committed input once: a regression must stay fixed, and a seed that
# trips an invariant is a finding too.
echo "== replaying tests/fuzz/regressions and tests/fuzz/seeds"
find tests/fuzz/regressions tests/fuzz/seeds -type f ! -name '*.md' | sort >build/fuzz/replay.list
# shellcheck disable=SC2046
"$FUZZER" $(cat build/fuzz/replay.list)

echo "== fuzzing for ${SECONDS_TO_RUN} s"
rm -rf build/fuzz/corpus build/fuzz/findings
mkdir -p build/fuzz/corpus build/fuzz/findings
cp tests/fuzz/seeds/* build/fuzz/corpus/
"$FUZZER" build/fuzz/corpus -max_total_time="$SECONDS_TO_RUN" -max_len=8192 -timeout=10 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/findings/
