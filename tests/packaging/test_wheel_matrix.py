"""The wheels that cibuildwheel would build, per platform, from the
configuration in pyproject.toml.  Building them needs each platform's CI
runners; listing them works anywhere and offline, so a change that drops a
platform, an interpreter or an architecture (or adds 32-bit or free-threaded
builds that nobody tests) shows up here.

Needs cibuildwheel installed (tests/run.sh installs it)."""
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHONS = ["cp311", "cp312", "cp313"]

EXPECTED = {
    "linux": {f"{py}-{libc}_{arch}" for py in PYTHONS for libc in ("manylinux", "musllinux")
              for arch in ("x86_64", "aarch64")},
    "macos": {f"{py}-macosx_{arch}" for py in PYTHONS for arch in ("x86_64", "arm64")},
    "windows": {f"{py}-win_amd64" for py in PYTHONS},
}


@pytest.mark.parametrize("platform", sorted(EXPECTED))
def test_build_identifiers(platform: str) -> None:
    pytest.importorskip("cibuildwheel", reason="cibuildwheel is not installed")
    listed = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform, str(ROOT)],
        capture_output=True, text=True, check=True, cwd=ROOT,
    ).stdout.split()
    assert len(listed) == len(set(listed))
    assert set(listed) == EXPECTED[platform]
