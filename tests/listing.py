"""The module written as Python (src/plotPrediction.py), read for the tests.

The listing is the one place that says what each callable is (name, qualified name, first line,
parameters with annotations and defaults, docstring, the locals of its code object) and which
statement stands on each source line. The tests read those facts from here instead of keeping
tables of their own.
"""

import ast
import importlib.util
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

PATH = Path(__file__).resolve().parents[1] / "src" / "plotPrediction.py"
SOURCE = PATH.read_text()
TREE = ast.parse(SOURCE)
LINES = SOURCE.split("\n")

NO_DEFAULT = object()


@dataclass(frozen=True)
class Param:
    name: str
    annotation: object  # the annotation's text, or None
    default: object  # the default value, or NO_DEFAULT

    @property
    def tested(self):
        """The boundary type test: None, "str" (exactly str) or "str or None"."""
        if self.annotation != "str":
            return None
        return "str or None" if self.default is None else "str"


@dataclass(frozen=True)
class Callable:
    name: str
    qualname: str
    first_line: int
    last_line: int
    params: tuple
    returns: object  # the return annotation's text, or None
    doc: object
    locals: tuple

    @property
    def argnames(self):
        return tuple(p.name for p in self.params)

    @property
    def defaults(self):
        values = tuple(p.default for p in self.params if p.default is not NO_DEFAULT)
        return values or None

    @property
    def required(self):
        return sum(p.default is NO_DEFAULT for p in self.params)

    @property
    def dotted_name(self):
        return f"sorvani_kb.datavisualization.plotPrediction.{self.qualname}"


def _literal_locals():
    for node in TREE.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "LOCALS":
            return ast.literal_eval(node.value)
    raise AssertionError("the listing names no LOCALS")


def _callables():
    found = {}
    local_names = _literal_locals()

    def visit(node, prefix):
        for child in node.body:
            if isinstance(child, ast.ClassDef):
                visit(child, prefix + child.name + ".")
            elif isinstance(child, ast.FunctionDef):
                args = child.args.args
                defaults = [NO_DEFAULT] * (len(args) - len(child.args.defaults)) + [
                    ast.literal_eval(d) for d in child.args.defaults
                ]
                params = tuple(
                    Param(a.arg, ast.unparse(a.annotation) if a.annotation else None, d) for a, d in zip(args, defaults)
                )
                qualname = prefix + child.name
                found[child.name] = Callable(
                    name=child.name,
                    qualname=qualname,
                    first_line=child.lineno,
                    last_line=child.end_lineno,
                    params=params,
                    returns=ast.unparse(child.returns) if child.returns else None,
                    doc=ast.get_docstring(child, clean=False),
                    locals=tuple(local_names[qualname]),
                )

    visit(TREE, "")
    return found


CALLABLES = _callables()  # by bare name, in the order of the listing
METHODS = [c for c in CALLABLES.values() if c.qualname.startswith("plotPrediction.")]
CLASS_DOC = ast.get_docstring(next(n for n in TREE.body if isinstance(n, ast.ClassDef)), clean=False)


def callable_at(line):
    """The callable whose body holds `line`."""
    return next(c for c in CALLABLES.values() if c.first_line <= line <= c.last_line)


def load(name="sorvani_listing"):
    """The listing imported as a module of its own."""
    spec = importlib.util.spec_from_file_location(name, PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_BINOPS = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/"}
_CMPOPS = {ast.Eq: "==", ast.NotEq: "!=", ast.LtE: "<="}


def _facts():
    """{line: set of what a statement on that line does}, from the nodes that start there."""
    facts = defaultdict(set)
    for node in ast.walk(TREE):
        line = getattr(node, "lineno", None)
        add = facts[line].add
        if isinstance(node, ast.Attribute):
            add(("setattr" if isinstance(node.ctx, ast.Store) else "getattr", node.attr))
            if isinstance(node.value, ast.Name) and node.value.id == "self":
                add(("self", node.attr))
        elif isinstance(node, ast.Subscript):
            add(("getitem",))
        elif isinstance(node, ast.Call):
            add(("call", tuple(k.arg for k in node.keywords)))
            if isinstance(node.func, ast.Name):
                add(("builtin", node.func.id))
        elif isinstance(node, ast.Compare):
            for op in node.ops:
                add((_CMPOPS.get(type(op), "compare"),))
        elif isinstance(node, ast.BinOp):
            add((_BINOPS.get(type(node.op), "binop"),))
        elif isinstance(node, (ast.If, ast.IfExp, ast.BoolOp)):
            add(("bool",))
        elif isinstance(node, ast.For):
            add(("loop",))
        elif isinstance(node, ast.FormattedValue):
            add(("format",))
        elif isinstance(node, ast.Name):
            add(("name", node.id))
        elif isinstance(node, ast.comprehension):
            facts[node.target.lineno].add(("loop",))
            if node.ifs:
                facts[node.ifs[0].lineno].add(("bool",))
    return facts


FACTS = _facts()


def expected_fact(op):
    """What the line of a failing stand-in operation `op` (a Log entry) must hold."""
    kind = op[0]
    if kind in ("getattr", "setattr", "self"):
        return (kind, op[1])
    if kind == "getitem":
        return ("getitem",)
    if kind == "call":
        return ("call", op[2])
    if kind in ("iter", "next"):
        return ("loop",)
    if kind in ("len", "int"):
        return ("builtin", kind)
    if kind == "index":
        return ("builtin", "range")
    return (kind,)


def is_code(line):
    """Whether `line` holds code: not blank, not a comment, not inside a docstring."""
    text = LINES[line - 1].strip()
    if not text or text.startswith("#"):
        return False
    for c in CALLABLES.values():
        node = (
            c.doc is not None
            and next(n for n in ast.walk(TREE) if isinstance(n, ast.FunctionDef) and n.lineno == c.first_line).body[0]
        )
        if node and node.lineno <= line <= node.end_lineno:
            return False
    return True
