# Sourced by the atheris fuzz scripts (tests/python-fuzz/run.sh,
# tests/recording-fuzz/run.sh).
#
#   atheris_fuzz NAME TARGET CORPUS SECONDS "PIP PACKAGES" [LIBFUZZER OPTIONS...]
#
# Installs clang and the build tools where missing, makes a virtual
# environment in build/NAME with the packages (atheris first), builds both
# extension modules there with clang, AddressSanitizer and libFuzzer's
# coverage (their runtimes come from atheris, preloaded, so nothing of them
# is linked in), puts them in a quillmore package beside the companion
# package's files (the environment has no quillmore of its own), replays
# the committed CORPUS, then fuzzes TARGET for SECONDS from a scratch copy
# of it.  Exits non-zero on any finding; the input is left in
# build/NAME/findings/.
. tests/apt_install.sh
. tests/leaks/companion_package.sh

atheris_fuzz() {
  # Names of their own: the shell has one scope, and apt_install.sh's
  # need() sets `packages`.
  fuzz_dir=build/$1
  fuzz_target=$2
  fuzz_corpus=$3
  fuzz_seconds=$4
  fuzz_packages=$5
  shift 5

  need "clang libclang-rt-14-dev" command -v clang++
  need_build_tools
  need python3-venv python3 -c "import ensurepip"
  need python3-dev python3 -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"
  install_needed

  [ -x "$fuzz_dir/venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$fuzz_dir/venv"
  # shellcheck disable=SC2086  # the packages are words
  "$fuzz_dir/venv/bin/python" -c "import $(echo $fuzz_packages | tr ' ' ',')" 2>/dev/null ||
    "$fuzz_dir/venv/bin/python" -m pip install -q $fuzz_packages
  fuzz_atheris=$("$fuzz_dir/venv/bin/python" -c "import atheris, os; print(os.path.dirname(atheris.path()) if not os.path.exists(os.path.join(atheris.path(), 'asan_with_fuzzer.so')) else atheris.path())")

  cmake -S . -B "$fuzz_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer" \
    -DPython_EXECUTABLE="$fuzz_dir/venv/bin/python" -DQUILLMORE_BUILD_PYTHON=ON -DQUILLMORE_BUILD_C=OFF \
    -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$fuzz_dir/build" --target QuillmoreParser quillmore_recording
  companion_package "$fuzz_dir/build"

  cat >"$fuzz_dir/run-fuzzer" <<SCRIPT
#!/bin/sh
LD_PRELOAD="$fuzz_atheris/asan_with_fuzzer.so" ASAN_OPTIONS=\${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1} \
PYTHONPATH="$PWD/$fuzz_dir/build/binding:$PWD/$fuzz_dir/build/python" exec "$PWD/$fuzz_dir/venv/bin/python" "$PWD/$fuzz_target" "\$@"
SCRIPT
  chmod +x "$fuzz_dir/run-fuzzer"

  echo "== replaying $fuzz_corpus"
  "$fuzz_dir/run-fuzzer" -runs=0 "$fuzz_corpus"

  echo "== fuzzing for $fuzz_seconds s"
  rm -rf "$fuzz_dir/corpus" "$fuzz_dir/findings"
  mkdir -p "$fuzz_dir/corpus" "$fuzz_dir/findings"
  cp "$fuzz_corpus"/* "$fuzz_dir/corpus/"
  "$fuzz_dir/run-fuzzer" "$fuzz_dir/corpus" -max_total_time="$fuzz_seconds" -max_len=4096 -timeout=20 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$fuzz_dir/findings/" "$@"
}
