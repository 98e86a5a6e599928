"""The ``quillmore`` command-line tool."""
import sys


def main(argv=None) -> int:
    print("quillmore: not built yet", file=sys.stderr)
    return 2
