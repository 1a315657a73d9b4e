"""The type stub shipped with the module (a stub-only package that type
checkers find in site-packages) names every class, function, overload and
parameter the module has, in the same order."""

import ast
import re
from pathlib import Path

import pytest

import KorvoHardwareAPI as korvo

STUB = Path(korvo.__file__).with_name("KorvoHardwareAPI-stubs") / "__init__.pyi"


def split_top_level(text: str) -> list[str]:
    parts, depth, current = [], 0, ""
    for ch in text:
        depth += ch in "[(" and 1 or 0
        depth -= ch in "])" and 1 or 0
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        parts.append(current.strip())
    return parts


def runtime_overloads(function) -> list[list[tuple[str, bool]]]:
    """(parameter name, has default) of each overload, from pybind11's docstring."""
    name = function.__name__
    signatures = re.findall(rf"^(?:\d+\. )?{name}\((.*)\) -> ", function.__doc__, re.M)
    signatures = [s for s in signatures if s != "*args, **kwargs"]
    overloads = []
    for parameters in signatures:
        params = []
        for p in split_top_level(parameters):
            pname = p.split(":", 1)[0].strip()
            if pname != "self":
                params.append((pname.replace(" ", "_"), " = " in p))
        overloads.append(params)
    return overloads


def stub_params(node: ast.FunctionDef) -> list[tuple[str, bool]]:
    positional = node.args.posonlyargs + node.args.args
    defaults = [False] * (len(positional) - len(node.args.defaults)) + [True] * len(node.args.defaults)
    return [(a.arg, d) for a, d in zip(positional, defaults) if a.arg != "self"]


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text())


def stub_functions(body) -> dict[str, list[ast.FunctionDef]]:
    found: dict[str, list[ast.FunctionDef]] = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def test_stub_is_installed_as_a_stub_package():
    assert STUB.is_file()
    # A .pyi beside the extension would shadow nothing for some checkers and
    # everything for others: there is only the stub package.
    assert not Path(korvo.__file__).with_name("KorvoHardwareAPI.pyi").exists()


MODULE_FUNCTIONS = [n for n, v in vars(korvo).items() if callable(v) and not isinstance(v, type)]
CLASSES = [n for n, v in vars(korvo).items() if isinstance(v, type)]


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_module_function(name):
    functions = stub_functions(stub_tree().body)
    assert [stub_params(f) for f in functions[name]] == runtime_overloads(getattr(korvo, name))


@pytest.mark.parametrize("name", CLASSES)
def test_class_members(name):
    classes = {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}
    assert name in classes
    stub_members = stub_functions(classes[name].body)
    # Members the module defines: pybind11 renders their signatures.
    runtime = [m for m, v in vars(getattr(korvo, name)).items() if callable(v) and (v.__doc__ or "").startswith(m + "(")]
    assert [m for m in stub_members if m in runtime or not m.startswith("_")] == runtime
    for member in runtime:
        expected = runtime_overloads(getattr(getattr(korvo, name), member))
        assert [stub_params(f) for f in stub_members[member]] == expected, member
