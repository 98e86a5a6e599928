#!/bin/sh
# Fuzzes the array path with atheris: quillmore.Decoder over random
# chunkings against quillmore.read, and read against the QuillmoreParser
# module's callbacks (see fuzz_recording.py).  Builds both extension
# modules with clang, AddressSanitizer and libFuzzer's coverage
# (build/recording-fuzz), puts them in a quillmore package beside the
# companion package's files, installs atheris and NumPy into a virtual
# environment there, replays the committed corpus, then fuzzes for SECONDS
# (default 120) from it.  (The environment has no quillmore of its own, so
# the modules imported are the ones built here.)  Exits non-zero on any finding; the input is left
# in build/recording-fuzz/findings/.
#
#   sh tests/recording-fuzz/run.sh [SECONDS] [EXTRA LIBFUZZER OPTIONS...]
#
# The committed corpus (tests/recording-fuzz/corpus, written by
# make_corpus.py) is only read; new inputs go to a scratch copy.
set -eu
cd "$(dirname "$0")/../.."
SECONDS_TO_RUN=${1:-120}
[ $# -gt 0 ] && shift

. tests/apt_install.sh
. tests/leaks/companion_package.sh
need "clang libclang-rt-14-dev" command -v clang++
need_build_tools
need python3-venv python3 -c "import ensurepip"
need python3-dev python3 -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"
install_needed

dir=build/recording-fuzz
PYTHON=${PYTHON:-python3}
[ -x "$dir/venv/bin/python" ] || "$PYTHON" -m venv "$dir/venv"
"$dir/venv/bin/python" -c "import atheris, numpy" 2>/dev/null || "$dir/venv/bin/python" -m pip install -q atheris numpy
ATHERIS=$("$dir/venv/bin/python" -c "import atheris, os; print(os.path.dirname(atheris.path()) if not os.path.exists(os.path.join(atheris.path(), 'asan_with_fuzzer.so')) else atheris.path())")

# The modules only: their sanitizer and fuzzer runtimes come from atheris,
# preloaded, so nothing of them is linked in.
cmake -S . -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer" \
  -DPython_EXECUTABLE="$dir/venv/bin/python" -DQUILLMORE_BUILD_PYTHON=ON -DQUILLMORE_BUILD_C=OFF \
  -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir/build" --target QuillmoreParser quillmore_recording
companion_package "$dir/build"

cat >"$dir/run-fuzzer" <<SCRIPT
#!/bin/sh
LD_PRELOAD="$ATHERIS/asan_with_fuzzer.so" ASAN_OPTIONS=\${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1} \
PYTHONPATH="$PWD/$dir/build/binding:$PWD/$dir/build/python" exec "$PWD/$dir/venv/bin/python" "$PWD/tests/recording-fuzz/fuzz_recording.py" "\$@"
SCRIPT
chmod +x "$dir/run-fuzzer"
echo "== replaying tests/recording-fuzz/corpus"
"$dir/run-fuzzer" -runs=0 tests/recording-fuzz/corpus

echo "== fuzzing for ${SECONDS_TO_RUN} s"
rm -rf "$dir/corpus" "$dir/findings"
mkdir -p "$dir/corpus" "$dir/findings"
cp tests/recording-fuzz/corpus/* "$dir/corpus/"
"$dir/run-fuzzer" "$dir/corpus" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$dir/findings/" "$@"
