"""The report package's layers import one way only, and its functions stay short."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

import sorvani_kb.datavisualization.report as report

ROOT = Path(report.__file__).parent
PACKAGE = "sorvani_kb.datavisualization.report"
# Top to bottom: a module may import only modules of lower layers (and its own package's).
LAYERS = [
    {"cli"},
    {"api"},
    {"worker"},
    {"inputs", "page"},
    {"scores"},
    {"measures"},
    {"evaluation", "structure"},
    {"canonical", "errors", "memory"},
]
LONGEST = 60  # lines of a function's code


def unit(path):
    """The top-level unit a module of the package belongs to: `inputs` for inputs/dates.py."""
    return path.relative_to(ROOT).parts[0].removesuffix(".py")


def layer(name):
    return next(i for i, names in enumerate(LAYERS) if name in names)


def modules():
    return sorted(p for p in ROOT.rglob("*.py") if p.name != "__init__.py" or p.parent != ROOT)


def imported_units(path):
    """The package's top-level units that the module at `path` imports, anywhere in it."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    package = [PACKAGE, *path.relative_to(ROOT).parts[:-1]]  # the module's own package
    names = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            base = ".".join(package[: len(package) - node.level + 1]) if node.level else ""
            if node.module:
                names.append(f"{base}.{node.module}" if base else node.module)
            else:
                names += [f"{base}.{a.name}" for a in node.names]
        elif isinstance(node, ast.Import):
            names += [a.name for a in node.names]
    prefix = PACKAGE + "."
    found = {n[len(prefix) :].split(".")[0] for n in names if n.startswith(prefix)}
    return {name for name in found if (ROOT / name).is_dir() or (ROOT / f"{name}.py").exists()}


def test_every_module_has_a_layer():
    units = {unit(p) for p in modules()}
    assert units <= set().union(*LAYERS)


@pytest.mark.parametrize("path", modules(), ids=lambda p: str(p.relative_to(ROOT)))
def test_imports_go_down_only(path):
    own = unit(path)
    upward = {name for name in imported_units(path) - {own} if layer(name) <= layer(own)}
    assert not upward, f"{path.relative_to(ROOT)} imports {sorted(upward)}, not below its layer"


def test_the_layer_check_sees_imports():
    source = ROOT / "api.py"
    assert {"errors", "worker"} <= imported_units(source)
    assert {"canonical", "errors"} <= imported_units(ROOT / "inputs" / "__init__.py")


def code_lines(node):
    """Lines of a function from its signature's end to its end, its docstring left out."""
    body = node.body
    first = (
        body[1]
        if len(body) > 1 and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant)
        else body[0]
    )
    return node.end_lineno - first.lineno + 1


@pytest.mark.parametrize("path", modules(), ids=lambda p: str(p.relative_to(ROOT)))
def test_functions_are_short(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    functions = [node for node in ast.walk(tree) if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))]
    long = [f"{node.name} ({code_lines(node)} lines)" for node in functions if code_lines(node) > LONGEST]
    assert not long, f"{path.relative_to(ROOT)}: {', '.join(long)}"
