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

. tests/python-fuzz/atheris.sh
atheris_fuzz pyfuzz tests/python-fuzz/fuzz_binding.py tests/python-fuzz/corpus "$SECONDS_TO_RUN" "atheris" "$@"
