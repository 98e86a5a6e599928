"""The tool's argument parser for sphinx-argparse, texts unchanged.

The descriptions and epilogs of ``quillmore.cli.build_parser()`` are written
for a terminal (argparse's RawDescriptionHelpFormatter keeps their line
breaks and indentation); sphinx-argparse reads them as reStructuredText.
This hands sphinx-argparse the same parser with each pre-formatted text
wrapped in a literal block, so the page shows what ``--help`` shows.
"""

from __future__ import annotations

import argparse
import textwrap

from quillmore.cli import build_parser


def _literal(text: str | None) -> str | None:
    if not text:
        return text
    return ".. code-block:: text\n\n" + textwrap.indent(text.rstrip("\n"), "    ") + "\n"


def _preformatted(parser: argparse.ArgumentParser) -> bool:
    return issubclass(parser.formatter_class, argparse.RawDescriptionHelpFormatter)


def parser() -> argparse.ArgumentParser:
    top = build_parser()
    for action in top._actions:
        if isinstance(action, argparse._SubParsersAction):
            for command in action.choices.values():
                if _preformatted(command):
                    command.epilog = _literal(command.epilog)
    if _preformatted(top):   # its description is one paragraph: plain text
        top.epilog = _literal(top.epilog)
    return top
