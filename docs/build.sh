#!/bin/sh
# Builds the documentation site into build/docs and runs its checks:
#   sh docs/build.sh [PYTHON]
# PYTHON (default: python3) is an interpreter of a virtual environment in
# which the package is installed or can be (`pip install .[docs]`; when the
# package is already installed there, only the extra's requirements are
# added and nothing is compiled).  Then, with warnings as errors:
#   sphinx-build -W -b doctest  the snippets of the pages (the how-to guides, getting started)
#   sphinx-build -W -b html     the site; the tutorials (docs/tutorials/plot_*.py) run here
set -eu
cd "$(dirname "$0")/.."
PYTHON=${1:-${PYTHON:-python3}}

mkdir -p build
if $PYTHON -c "import quillmore, QuillmoreParser, quillmore._recording" 2>/dev/null; then
    # The package is there (tests/run.sh installed its wheel): add the extra's
    # requirements without building it again.
    $PYTHON - <<'PY' > build/docs-requirements.txt
import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]))
PY
    $PYTHON -m pip install -q -r build/docs-requirements.txt
else
    $PYTHON -m pip install -q ".[docs]"
fi

started=$(date +%s)
rm -rf build/docs build/doctest docs/auto_tutorials
# The doctest builder needs the pages, not the tutorials' results.
$PYTHON -m sphinx -W --keep-going -b doctest -D plot_gallery=0 docs build/doctest
$PYTHON -m sphinx -W --keep-going -b html docs build/docs
echo "docs: built build/docs/index.html and ran the pages' doctests in $(( $(date +%s) - started )) s"
