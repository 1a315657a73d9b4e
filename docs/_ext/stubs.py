"""The reference of the compiled modules, from their type stubs and their
docstrings.

pybind11 writes each signature into its docstring with the runtime's view
(``self: KorvoHardwareAPI.Arvena, arg0: list[float]``, one numbered
signature per overload), and autodoc cannot read the source of a compiled
module. The stubs installed beside the modules say what a type checker
sees (``Sequence[float]``, the dicts' keys, the overloads) and list every
member in the order the module defines it. So each class and function is
documented with the stub's signatures and members, in the stub's order, and
the module's own docstring (pybind11's signature lines dropped), or the
stub's where the module has none:

    ```{stub-class} KorvoHardwareAPI.Arvena
    ```
    ```{stub-function} KorvoHardwareAPI.detect_arvenas
    ```

Every public name of KorvoHardwareAPI and every name korvo exports must
appear in the reference: one left out is a warning, so a build with
warnings as errors fails.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import re
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

LOG = logging.getLogger(__name__)

# A documented module name, and the module (with its stub) that defines it.
DEFINED_IN = {"KorvoHardwareAPI": "KorvoHardwareAPI", "korvo": "korvo._native"}
PYBIND_SIGNATURE = re.compile(r"^(\d+\. )?\w+\(.*\)( -> .*)?$")


def stub_path(module_name: str) -> Path:
    module = importlib.import_module(module_name)
    here = Path(module.__file__ or "")
    if module_name == "KorvoHardwareAPI":
        return here.with_name("KorvoHardwareAPI-stubs") / "__init__.pyi"
    return here.parent / (module_name.rsplit(".", 1)[-1] + ".pyi")


def stub_module(module_name: str) -> ast.Module:
    return ast.parse(stub_path(module_name).read_text())


def aliases(stub: ast.Module) -> dict[str, str]:
    """The stub's private type aliases (_Vector = Sequence[float]): shown
    expanded, since they exist for type checkers only."""
    out = {}
    for node in stub.body:
        if (isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name)
                and node.targets[0].id.startswith("_") and not isinstance(node.value, ast.Constant)):
            out[node.targets[0].id] = ast.unparse(node.value)
    return out


def expand(text: str, names: dict[str, str]) -> str:
    for name, value in names.items():
        text = re.sub(rf"\b{re.escape(name)}\b", value, text)
    return text


def decorators(node: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def signature(node: ast.FunctionDef) -> str:
    a = node.args
    shown = ast.arguments(
        posonlyargs=[x for x in a.posonlyargs if x.arg != "self"],
        args=[x for x in a.args if x.arg != "self"],
        vararg=a.vararg,
        kwonlyargs=a.kwonlyargs,
        kw_defaults=a.kw_defaults,
        kwarg=a.kwarg,
        defaults=a.defaults,
    )
    text = ast.unparse(shown)
    # A positional-only marker with nothing before it (self dropped) is none.
    text = re.sub(r"^/(, )?", "", text)
    returns = f" -> {ast.unparse(node.returns)}" if node.returns is not None and node.name != "__init__" else ""
    return f"({text}){returns}"


def clean_docstring(text: str | None) -> list[str]:
    """A docstring without pybind11's signature lines, an indented example
    after a paragraph made a literal block."""
    lines = inspect.cleandoc(text or "").splitlines()
    kept = [line for line in lines if line.strip() != "Overloaded function." and not PYBIND_SIGNATURE.match(line)]
    while kept and not kept[0].strip():
        kept.pop(0)
    out: list[str] = []
    for line in kept:
        opens_example = (line.startswith("    ") and len(out) >= 2 and not out[-1].strip()
                         and out[-2].strip() and not out[-2].startswith(" "))
        if opens_example and not out[-2].rstrip().endswith("::"):
            out[-2] = out[-2].rstrip() + (":" if out[-2].rstrip().endswith(":") else " ::")
        out.append(line)
    return out


def stub_docstring(node: ast.AST) -> str | None:
    return ast.get_docstring(node) if isinstance(node, (ast.ClassDef, ast.FunctionDef)) else None


def indented(lines: list[str], by: str) -> list[str]:
    return [by + line if line.strip() else "" for line in lines]


class StubDirective(SphinxDirective):
    required_arguments = 1

    def locate(self) -> tuple[str, str, Any, ast.Module]:
        documented, _, name = self.arguments[0].rpartition(".")
        module_name = DEFINED_IN[documented]
        return documented, name, getattr(importlib.import_module(module_name), name), stub_module(module_name)

    def render(self, lines: list[str]) -> list[nodes.Node]:
        container = nodes.section()
        container.document = self.state.document
        nested_parse_with_titles(self.state, StringList(lines, source=self.get_source_info()[0]), container)
        return list(container.children)


def function_lines(directive: str, name: str, overloads: list[ast.FunctionDef], doc: list[str],
                   names: dict[str, str]) -> list[str]:
    lines = [f".. py:{directive}:: {name}{expand(signature(overloads[0]), names)}"]
    lines += [f"   {' ' * len(directive)}    {name}{expand(signature(o), names)}" for o in overloads[1:]]
    return lines + [""] + indented(doc, "   ") + [""]


class StubFunction(StubDirective):
    def run(self) -> list[nodes.Node]:
        documented, name, obj, stub = self.locate()
        overloads = [n for n in stub.body if isinstance(n, ast.FunctionDef) and n.name == name]
        doc = clean_docstring(obj.__doc__) or clean_docstring(stub_docstring(overloads[0]))
        lines = [f".. currentmodule:: {documented}", ""] + function_lines("function", name, overloads, doc, aliases(stub))
        return self.render(lines)


class StubClass(StubDirective):
    def run(self) -> list[nodes.Node]:
        documented, name, cls, stub = self.locate()
        node = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == name)
        members: dict[str, list[ast.FunctionDef]] = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and not any(d.endswith(".setter") for d in decorators(item)):
                members.setdefault(item.name, []).append(item)
        names = aliases(stub)
        inits = members.pop("__init__", [])
        doc = clean_docstring(cls.__doc__) or clean_docstring(stub_docstring(node))
        header = [f".. py:class:: {name}{expand(signature(inits[0]), names) if inits else ''}"]
        header += [f"              {name}{expand(signature(o), names)}" for o in inits[1:]]
        if inits and len(inits) == 1:
            init_doc = clean_docstring(getattr(cls.__init__, "__doc__", None))
            doc = doc + ([""] if doc and init_doc else []) + init_doc
        lines = [f".. currentmodule:: {documented}", ""] + header + [""] + indented(doc, "   ") + [""]
        for member, overloads in members.items():
            if member.startswith("_") and member not in ("__enter__", "__exit__"):
                continue
            runtime = inspect.getattr_static(cls, member, None)
            if "property" in decorators(overloads[0]):
                getter = overloads[0]
                text = clean_docstring(getattr(runtime, "__doc__", None)) or clean_docstring(stub_docstring(getter))
                lines += [f"   .. py:property:: {member}"]
                if getter.returns is not None:
                    lines += [f"      :type: {expand(ast.unparse(getter.returns), names)}"]
                lines += [""] + indented(text, "      ") + [""]
            else:
                text = clean_docstring(getattr(runtime, "__doc__", None)) or clean_docstring(stub_docstring(overloads[0]))
                lines += indented(function_lines("method", member, overloads, text, names), "   ")
        return self.render(lines)


class StubDicts(StubDirective):
    """The dicts a module returns, as the stub's TypedDicts describe them."""

    def run(self) -> list[nodes.Node]:
        documented = self.arguments[0]
        stub = stub_module(DEFINED_IN[documented])
        names = aliases(stub)
        lines = [f".. currentmodule:: {documented}", ""]
        for node in stub.body:
            if isinstance(node, ast.ClassDef) and any(ast.unparse(b) == "TypedDict" for b in node.bases):
                lines += [f".. py:class:: {node.name}", ""]
                for field in node.body:
                    if isinstance(field, ast.AnnAssign) and isinstance(field.target, ast.Name):
                        lines += [f"   .. py:attribute:: {field.target.id}",
                                  f"      :type: {expand(ast.unparse(field.annotation), names)}", ""]
        return self.render(lines)


def check_coverage(app: Sphinx, env: Any) -> None:
    documented = set(env.get_domain("py").objects)
    hardware = importlib.import_module("KorvoHardwareAPI")
    korvo = importlib.import_module("korvo")
    wanted = [f"KorvoHardwareAPI.{n}" for n in dir(hardware) if not n.startswith("_")]
    wanted += [f"korvo.{n}" for n in korvo.__all__]
    for name in wanted:
        if name not in documented:
            LOG.warning("%s is missing from the Python reference", name, type="korvo", subtype="coverage")


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("stub-class", StubClass)
    app.add_directive("stub-function", StubFunction)
    app.add_directive("stub-dicts", StubDicts)
    app.connect("env-check-consistency", check_coverage)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
