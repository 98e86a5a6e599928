"""The module's type stubs as a type checker sees them once the wheel is
installed: they agree with the module, misuse is reported where it is, and
the project's own Python code checks clean.

    python -m pytest -q tests/typing

Builds the wheel for the running interpreter once (or takes the one that
QUILLMORE_WHEEL names), installs it with its plot extra and mypy into a new
virtual environment and runs mypy there, from the repository root so that
the [tool.mypy] settings of pyproject.toml apply.
"""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MISUSE = pathlib.Path(__file__).with_name("misuse.py")
EXPECTED = re.compile(r"#\s*E:\s*\[(?P<code>[a-z-]+)\]\s*(?P<text>.+?)\s*$")
REPORTED = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<message>.*?)\s+\[(?P<code>[a-z-]+)\]$")


def run(command, cwd=ROOT, timeout=600):
    return subprocess.run([str(part) for part in command], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


def checked(command, **kwargs):
    result = run(command, **kwargs)
    assert result.returncode == 0, f"{' '.join(map(str, command))}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    """The Python of a fresh environment with the wheel and mypy installed,
    and a mypy cache that the tests share."""
    base = tmp_path_factory.mktemp("typing")
    wheel = os.environ.get("QUILLMORE_WHEEL")
    if not wheel:
        checked([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", base / "wheel", ROOT])
        wheel = next((base / "wheel").glob("*.whl"))
    checked([sys.executable, "-m", "venv", base / "venv"])
    python = next(p for p in (base / "venv" / "bin" / "python", base / "venv" / "Scripts" / "python.exe")
                  if p.exists())
    checked([python, "-m", "pip", "install", "-q", f"{wheel}[plot]", "mypy"])
    return python, base / "mypy-cache"


def mypy(env, *arguments):
    python, cache = env
    return run([python, "-m", "mypy", "--cache-dir", cache, "--no-color-output", "--no-error-summary", *arguments])


def test_stubs_agree_with_the_module(env):
    python, _ = env
    checked([python, "-m", "mypy.stubtest", "QuillmoreParser"], cwd=env[1].parent)


def test_misuse_is_reported_where_it_is(env):
    expected = {}
    for number, line in enumerate(MISUSE.read_text().splitlines(), 1):
        match = EXPECTED.search(line)
        if match:
            expected[number] = (match["code"], match["text"])
    assert len(expected) >= 15

    result = mypy(env, MISUSE.relative_to(ROOT))
    reported = {}
    for line in result.stdout.splitlines():
        match = REPORTED.match(line)
        if match:
            assert pathlib.Path(match["file"]).name == MISUSE.name, line
            reported.setdefault(int(match["line"]), []).append((match["code"], match["message"]))
    assert result.returncode == 1 and reported, result.stdout + result.stderr

    missing = {number: want for number, (code, text) in expected.items()
               if not any(got == code and text in message for got, message in reported.get(number, []))
               for want in [(code, text)]}
    unexpected = {number: errors for number, errors in reported.items() if number not in expected}
    assert not missing and not unexpected, (
        f"expected but not reported: {missing}\nreported but not expected: {unexpected}\n{result.stdout}")


def test_project_code_checks_clean(env):
    result = mypy(env)
    assert result.returncode == 0, result.stdout + result.stderr
