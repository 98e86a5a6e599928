#!/bin/sh
# Fuzzes the Python module with atheris: builds it with clang,
# AddressSanitizer and libFuzzer's coverage (build/pyfuzz), installs atheris
# into a virtual environment there, replays the committed corpus, then
# fuzzes for SECONDS (default 120) from it.  Exits non-zero on any finding;
# the input is left in build/pyfuzz/findings/.
#
#   sh tests/python-fuzz/run.sh [SECONDS] [EXTRA LIBFUZZER OPTIONS...]
#
# The committed corpus (tests/python-fuzz/corpus) is only read; new inputs
# go to a scratch copy.  To fold a long run's finds back in, copy them:
#   cp -n build/pyfuzz/corpus/* tests/python-fuzz/corpus/
# (libFuzzer's -merge=1 does not work under atheris here: its child runs fail.)
set -eu
cd "$(dirname "$0")/../.."
SECONDS_TO_RUN=${1:-120}
[ $# -gt 0 ] && shift

. tests/apt_install.sh
need "clang libclang-rt-14-dev" command -v clang++
need_build_tools
need python3-venv python3 -c "import ensurepip"
install_needed

dir=build/pyfuzz
PYTHON=${PYTHON:-python3}
[ -x "$dir/venv/bin/python" ] || "$PYTHON" -m venv "$dir/venv"
"$dir/venv/bin/python" -c "import atheris" 2>/dev/null || "$dir/venv/bin/python" -m pip install -q atheris
ATHERIS=$("$dir/venv/bin/python" -c "import atheris, os; print(os.path.dirname(atheris.path()) if not os.path.exists(os.path.join(atheris.path(), 'asan_with_fuzzer.so')) else atheris.path())")

# The module only: its sanitizer and fuzzer runtimes come from atheris,
# preloaded, so nothing of them is linked in.
cmake -S . -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer" \
  -DPython_EXECUTABLE="$dir/venv/bin/python" -DQUILLMORE_BUILD_PYTHON=ON \
  -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir/build" --target QuillmoreParser

cat >"$dir/run-fuzzer" <<SCRIPT
#!/bin/sh
LD_PRELOAD="$ATHERIS/asan_with_fuzzer.so" ASAN_OPTIONS=\${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1} \
PYTHONPATH="$PWD/$dir/build/binding" exec "$PWD/$dir/venv/bin/python" "$PWD/tests/python-fuzz/fuzz_binding.py" "\$@"
SCRIPT
chmod +x "$dir/run-fuzzer"

echo "== replaying tests/python-fuzz/corpus"
"$dir/run-fuzzer" -runs=0 tests/python-fuzz/corpus

echo "== fuzzing for ${SECONDS_TO_RUN} s"
rm -rf "$dir/corpus" "$dir/findings"
mkdir -p "$dir/corpus" "$dir/findings"
cp tests/python-fuzz/corpus/* "$dir/corpus/"
"$dir/run-fuzzer" "$dir/corpus" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$dir/findings/" "$@"
