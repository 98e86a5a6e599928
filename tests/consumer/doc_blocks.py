"""Checks that each given file appears verbatim as a fenced code block of
the given page (docs/guide/native.md), so that its examples are the ones the consumer check
builds and runs.

    python3 doc_blocks.py PAGE FILE...
"""
import re
import sys


def main() -> int:
    readme = open(sys.argv[1], encoding="utf-8").read()
    blocks = re.findall(r"^```[a-z]*\n(.*?)^```$", readme, flags=re.S | re.M)
    missing = [path for path in sys.argv[2:] if open(path, encoding="utf-8").read() not in blocks]
    for path in missing:
        print(f"{sys.argv[1]}: no code block holds {path} as it is", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
