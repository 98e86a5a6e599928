#!/bin/sh
# Builds the module for the other interpreters that the package supports and
# runs its Python tests on each, in a fresh virtual environment under
# build/versions/.  The build must be free of compiler warnings.
#
#     sh tests/versions.sh            # 3.12 and 3.13
#     sh tests/versions.sh 3.13       # the versions named
#
# An interpreter is taken from pyenv's versions (the newest X.Y.Z installed),
# else as pythonX.Y on PATH; one that is absent is skipped with a message.
set -eu
cd "$(dirname "$0")/.."

[ $# -gt 0 ] || set -- 3.12 3.13

find_python() {  # $1: X.Y
    root=""
    if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
    [ -n "$root" ] || root=${PYENV_ROOT:-$HOME/.pyenv}
    pattern="^$(printf '%s' "$1" | sed 's/\./\\./g')\\.[0-9]+\$"
    newest=$(ls "$root/versions" 2>/dev/null | grep -E "$pattern" | sort -V | tail -n 1 || true)
    if [ -n "$newest" ] && [ -x "$root/versions/$newest/bin/python$1" ]; then
        echo "$root/versions/$newest/bin/python$1"
        return 0
    fi
    # A pyenv shim on PATH may name a version that is not installed: try it.
    if command -v "python$1" >/dev/null 2>&1 && "python$1" -c "" >/dev/null 2>&1; then
        command -v "python$1"
        return 0
    fi
    return 1
}

skipped=""
for version in "$@"; do
    if ! python=$(find_python "$version"); then
        echo "versions.sh: no Python $version (neither in pyenv's versions nor python$version on PATH): skipped"
        skipped="$skipped $version"
        continue
    fi
    dir=build/versions/py$version
    echo "== Python $version: $python ($dir)"
    rm -rf "$dir"
    mkdir -p "$dir"
    "$python" -m venv "$dir/venv"
    venv_python="$dir/venv/bin/python"

    if ! "$venv_python" -m pip wheel -v --no-deps -w "$dir/wheel" . >"$dir/build.log" 2>&1; then
        tail -n 60 "$dir/build.log"
        echo "versions.sh: the build for Python $version failed (log: $dir/build.log)"
        exit 1
    fi
    if grep -E ': warning: ' "$dir/build.log"; then
        echo "versions.sh: the build for Python $version has compiler warnings (log: $dir/build.log)"
        exit 1
    fi
    wheel=$(ls "$dir"/wheel/*.whl)
    "$venv_python" -m pip install -q "$wheel[test]"
    "$venv_python" -m pytest -q -p no:cacheprovider tests/python
done

if [ -n "$skipped" ]; then
    echo "versions.sh: skipped, interpreter absent:$skipped"
fi
