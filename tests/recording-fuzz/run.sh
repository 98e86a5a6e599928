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

. tests/python-fuzz/atheris.sh
atheris_fuzz recording-fuzz tests/recording-fuzz/fuzz_recording.py tests/recording-fuzz/corpus "$SECONDS_TO_RUN" "atheris numpy" "$@"
