"""The native bodies against the module's Python listing: the same library operations in the same
order, and every failure named at the line of the listing that makes the failing operation."""

import re
from pathlib import Path

import pytest

import listing
from helpers import MODULE, own_entries
from sorvani_kb.datavisualization import plotPrediction as M
from standins import LIBRARIES, Log, StandInError, libraries_replaced, scenarios

SRC = Path(__file__).resolve().parents[2] / "src"
NAMES = list(scenarios(M, Log()))


@pytest.fixture(scope="module")
def reference():
    return listing.load()


def run(module, name, log, fail_at=None):
    """Calls scenario `name` of `module` on stand-ins; the exception it raised, if any."""
    function, arguments = scenarios(module, log)[name]
    log.reset(fail_at)
    with libraries_replaced(vars(module), log):
        try:
            function(*arguments())
        except StandInError as exc:
            return exc
    return None


@pytest.mark.parametrize("name", NAMES)
def test_same_operations_as_the_listing(reference, name):
    native, python = Log(), Log()
    assert run(M, name, native) is None
    assert run(reference, name, python) is None
    assert native.ops == python.ops


@pytest.mark.parametrize("name", NAMES)
def test_each_failure_is_named_at_the_line_that_makes_it(name):
    log = Log()
    run(M, name, log)
    ops = list(log.ops)
    for k, op in enumerate(ops):
        exc = run(M, name, log, fail_at=k)
        assert isinstance(exc, StandInError), (k, op)
        entries = own_entries(exc)
        assert entries, (k, op)
        # The innermost entry is where the operation failed; each outer one called the next.
        inner_name, inner_line = entries[-1]
        owner = listing.callable_at(inner_line)
        assert inner_name == owner.dotted_name, (k, op, entries)
        assert listing.expected_fact(op) in listing.FACTS[inner_line], (
            k,
            op,
            inner_line,
            listing.LINES[inner_line - 1],
        )
        for (outer_name, outer_line), (callee, _) in zip(entries, entries[1:]):
            assert outer_name == listing.callable_at(outer_line).dotted_name
            assert ("name", callee.rsplit(".", 1)[1]) in listing.FACTS[outer_line], (outer_line, callee)


def globals_used(qualname):
    """The names a callable of the listing (and the splitter, when it calls it) looks up."""
    c = next(c for c in listing.CALLABLES.values() if c.qualname == qualname)
    names = {
        fact[1]
        for line in range(c.first_line + 1, c.last_line + 1)
        for fact in listing.FACTS[line]
        if fact[0] == "name"
    }
    if "obtain_dataset" in names:
        names |= globals_used("obtain_dataset")
    return names


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("missing", LIBRARIES + ("obtain_dataset",))
def test_a_missing_global_is_named_where_it_is_used(restore_globals, name, missing):
    log = Log()
    function, arguments = scenarios(M, log)[name]
    raised = None
    with libraries_replaced(restore_globals, log):
        del restore_globals[missing]
        try:
            function(*arguments())
        except NameError as exc:
            raised = exc
    qualname = getattr(function, "__func__", function).__qualname__
    assert (raised is not None) == (missing in globals_used(qualname))
    if raised is not None:
        assert str(raised) == f"name '{missing}' is not defined"
        line = own_entries(raised)[-1][1]
        assert ("name", missing) in listing.FACTS[line], (line, listing.LINES[line - 1])


def test_every_marked_line_holds_code():
    marked = set()
    for path in SRC.rglob("*.cpp"):
        text = path.read_text()
        marked |= {int(n) for n in re.findall(r"\bat\((\d+)\)", text)}
        # Lines handed to helpers that mark them: f(at, 114, 115, 117), Iter x(at, 87, ...)
        for args in re.findall(r"\(at, ((?:\d+, )*\d+)", text):
            marked |= {int(n) for n in args.split(", ")}
    assert len(marked) > 100
    assert [n for n in sorted(marked) if not listing.is_code(n)] == []


def test_the_listing_describes_the_module():
    for c in listing.CALLABLES.values():
        function = M.obtain_dataset if c.name == "obtain_dataset" else getattr(M.plotPrediction, c.name)
        code = function.__code__
        assert (function.__name__, function.__qualname__, function.__module__) == (c.name, c.qualname, MODULE)
        assert (code.co_name, code.co_firstlineno) == (c.name, c.first_line)
        assert code.co_varnames == c.argnames + c.locals
        assert function.__defaults__ == c.defaults
        assert function.__doc__ == c.doc
        annotations = {p.name: p.annotation for p in c.params if p.annotation}
        if c.returns:
            annotations["return"] = c.returns
        assert function.__annotations__ == annotations
    assert M.plotPrediction.__doc__ == listing.CLASS_DOC
