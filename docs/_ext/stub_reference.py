"""``.. stub-module:: NAME`` with ``:stub: PATH``: the reference of an
extension module generated from its type stub.

The compiled module carries no docstrings; its stub (a ``.pyi`` file that
type checkers and editors read) holds the signatures, and docstrings for the
classes, methods and attributes.  This directive reads the stub with
:mod:`ast` and writes ``py:class``, ``py:method`` and ``py:attribute``
entries from it, so the reference cannot drift from what type checkers see.
Names starting with ``_`` are left out; private type aliases are written
out in the annotations that use them.
"""

from __future__ import annotations

import ast
import re
from pathlib import Path

from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles


def _docstring(body: list[ast.stmt], index: int) -> str | None:
    """The string literal right after ``body[index]``, if any."""
    if index + 1 < len(body):
        node = body[index + 1]
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str):
            return node.value.value
    return None


def _arguments(function: ast.FunctionDef, aliases: dict[str, str]) -> str:
    args = function.args
    parts = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for k, (arg, default) in enumerate(zip(positional, defaults)):
        if k == 0 and arg.arg == "self":
            continue
        text = arg.arg
        if arg.annotation is not None:
            text += f": {_expand(arg.annotation, aliases)}"
        if default is not None:
            text += f" = {ast.unparse(default)}"
        parts.append(text)
        if args.posonlyargs and arg is args.posonlyargs[-1]:
            parts.append("/")
    return ", ".join(parts)


def _expand(node: ast.expr, aliases: dict[str, str]) -> str:
    text = ast.unparse(node)
    for name, value in aliases.items():
        text = re.sub(rf"\b{re.escape(name)}\b", f"({value})" if "|" in value else value, text)
    return text


def _indent(text: str, prefix: str = "   ") -> list[str]:
    import inspect
    return [prefix + line if line else "" for line in inspect.cleandoc(text).splitlines()]


def stub_lines(module: str, path: Path) -> list[str]:
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    aliases = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None \
                and node.target.id.startswith("_"):
            aliases[node.target.id] = ast.unparse(node.value)
    lines = [f".. py:module:: {module}", ""]
    doc = ast.get_docstring(tree)
    if doc:
        lines += doc.splitlines() + [""]
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        init = next((n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__"), None)
        signature = f"({_arguments(init, aliases)})" if init is not None else ""
        lines += [f".. py:class:: {node.name}{signature}", ""]
        doc = ast.get_docstring(node)
        if doc:
            lines += _indent(doc) + [""]
        for index, member in enumerate(node.body):
            if isinstance(member, ast.FunctionDef) and not member.name.startswith("_"):
                returns = "" if member.returns is None or ast.unparse(member.returns) == "None" \
                    else f" -> {_expand(member.returns, aliases)}"
                lines += [f"   .. py:method:: {member.name}({_arguments(member, aliases)}){returns}", ""]
                doc = ast.get_docstring(member)
                if doc:
                    lines += _indent(doc, "      ") + [""]
            elif isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name) \
                    and not member.target.id.startswith("_"):
                lines += [f"   .. py:attribute:: {member.target.id}",
                          f"      :type: {_expand(member.annotation, aliases)}", ""]
                doc = _docstring(node.body, index)
                if doc:
                    lines += _indent(doc, "      ") + [""]
    return lines


class StubModule(SphinxDirective):
    required_arguments = 1
    option_spec = {"stub": directives.unchanged_required}

    def run(self) -> list:
        path = Path(self.config.stub_reference_root) / self.options["stub"]
        self.env.note_dependency(str(path))
        content = StringList(stub_lines(self.arguments[0], path), source=str(path))
        from docutils import nodes
        holder = nodes.section()
        holder.document = self.state.document
        nested_parse_with_titles(self.state, content, holder)
        return holder.children


def setup(app):  # type: ignore[no-untyped-def]
    app.add_config_value("stub_reference_root", ".", "env")
    app.add_directive("stub-module", StubModule)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
