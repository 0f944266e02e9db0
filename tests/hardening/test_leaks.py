"""Reference leaks hunted the way CPython hunts its own: under a debug interpreter, the interpreter's
running total of references (sys.gettotalrefcount) before and after many calls of every callable,
on every path a call can take, with the libraries replaced by plain-Python stand-ins so that the
total moves only by what the module itself does. Every path must leave the total unchanged.

Skipped on a release interpreter, which keeps no total.
"""

import ctypes
import functools
import gc
import os
import sys

import pytest

import listing
from sorvani_kb.datavisualization import plotPrediction as M
from standins import COLUMNS, LIBRARIES, Log, StandIn, StandInError, libraries_replaced, scenarios

if os.environ.get("SORVANI_REQUIRE_DEBUG") == "1" and not hasattr(sys, "gettotalrefcount"):
    raise RuntimeError("SORVANI_REQUIRE_DEBUG=1 but this interpreter is not a debug build")
pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")

ROUNDS = 3
CALLS = 10


def _rounds(f, calls):
    for _ in range(2):  # warm every cache the path touches
        f()
    gc.collect()
    # No collection of older objects starts by itself between the two readings of a round; the
    # young ones (any cycles the calls made) are collected explicitly, which is cheap.
    enabled = gc.isenabled()
    gc.disable()
    try:
        deltas = []
        for _ in range(ROUNDS):
            gc.collect(0)
            before = sys.gettotalrefcount()
            for _ in range(calls):
                f()
            gc.collect(0)
            deltas.append(sys.gettotalrefcount() - before)
        return deltas
    finally:
        if enabled:
            gc.enable()


_BASELINE: dict = {}


def gained(call, calls=CALLS):
    """References the total gained in each of ROUNDS rounds of `calls` calls of `call`, beyond
    what the measurement itself takes (measured the same way around an empty call)."""
    if calls not in _BASELINE:
        _BASELINE[calls] = _rounds(lambda: None, calls)
    return [d - b for d, b in zip(_rounds(call, calls), _BASELINE[calls])]


def raising(f, *exceptions):
    """`f`, made to swallow the exceptions a failing path is expected to raise (and no others)."""

    def call():
        try:
            f()
        except exceptions:
            pass
        else:
            raise AssertionError("the path did not fail")

    return call


def function_of(c):
    return M.obtain_dataset if c.name == "obtain_dataset" else getattr(M.plotPrediction, c.name)


@functools.lru_cache(maxsize=None)
def _vectorcall():
    # An exported function from 3.10 on (3.9 has it inline only, and no debug run uses 3.9).
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    return call


def vectorcall(f, args, kwnames, values):
    """A call of `f` with a keyword-name tuple that call syntax would refuse to build (the
    argument array made once, so that the calls measure the module and not ctypes)."""
    items = [*args, *values]
    array = (ctypes.py_object * len(items))(*items)
    return lambda: _vectorcall()(f, array, len(args), kwnames)


def binding_paths():
    """(id, call) for each way binding can refuse the arguments of each callable."""
    paths = []
    for c in listing.CALLABLES.values():
        f, n, first = function_of(c), len(c.params), c.params[0].name
        tested = next(p for p in c.params if p.tested)
        good = ["x" if p.tested else StandIn(Log()) for p in c.params]
        bad_type = [1 if p is tested else v for p, v in zip(c.params, good)]
        paths += [
            (f"{c.name}-too few", raising(lambda f=f: f(), TypeError)),
            (f"{c.name}-too many", raising(lambda f=f, n=n: f(*[1] * (n + 1)), TypeError)),
            (f"{c.name}-unexpected keyword", raising(lambda f=f, g=good: f(*g, zz=1), TypeError)),
            (f"{c.name}-repeated keyword", raising(lambda f=f, g=good, k=first: f(*g, **{k: 1}), TypeError)),
            (
                f"{c.name}-missing with keywords",
                raising(lambda f=f, g=good, k=c.params[-1].name: f(**{k: g[-1]}), TypeError),
            ),
            (f"{c.name}-non-str keyword", raising(vectorcall(f, good[:-1], (1,), good[-1:]), TypeError)),
            (f"{c.name}-type test", raising(lambda f=f, b=bad_type: f(*b), TypeError)),
        ]
    return paths


BINDING = binding_paths()


@pytest.mark.parametrize("name, call", BINDING, ids=[p[0] for p in BINDING])
def test_binding_errors_leak_nothing(name, call):
    assert gained(call) == [0] * ROUNDS


NAMES = list(scenarios(M, Log()))


@pytest.mark.parametrize("name", NAMES)
def test_successful_calls_leak_nothing(restore_globals, name):
    log = Log()
    function, arguments = scenarios(M, log)[name]

    def call():
        log.reset()
        function(*arguments())

    with libraries_replaced(restore_globals, log):
        assert gained(call) == [0] * ROUNDS


@pytest.mark.parametrize("name", NAMES)
def test_every_failing_operation_leaks_nothing(restore_globals, name):
    log = Log()
    function, arguments = scenarios(M, log)[name]
    with libraries_replaced(restore_globals, log):
        log.reset()
        function(*arguments())
        count = len(log.ops)

        def every_failure():
            for k in range(count):
                log.reset(fail_at=k)
                try:
                    function(*arguments())
                except StandInError:
                    pass

        deltas = gained(every_failure, calls=1)
        if deltas != [0] * ROUNDS:  # name the operations whose failure leaks
            leaking = []
            for k in range(count):

                def fail_at_k(k=k):
                    log.reset(fail_at=k)
                    function(*arguments())

                if gained(raising(fail_at_k, StandInError)) != [0] * ROUNDS:
                    leaking.append((k, log.ops[k]))
            pytest.fail(f"references gained per round {deltas}; failing operations that leak: {leaking}")


@pytest.mark.parametrize("missing", LIBRARIES + ("obtain_dataset",))
@pytest.mark.parametrize("name", NAMES)
def test_missing_globals_leak_nothing(restore_globals, name, missing):
    log = Log()
    function, arguments = scenarios(M, log)[name]
    with libraries_replaced(restore_globals, log):
        del restore_globals[missing]

        def call():
            log.reset()
            try:
                function(*arguments())
            except NameError:
                pass

        assert gained(call) == [0] * ROUNDS


class FailingSetter(M.plotPrediction):
    def __setattr__(self, name, value):
        if name == "pi_lower":
            raise LookupError(name)
        super().__setattr__(name, value)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: M.plotPrediction(*COLUMNS), id="construction"),
        pytest.param(
            lambda: M.plotPrediction(**dict(zip(listing.CALLABLES["__init__"].argnames[1:], COLUMNS))),
            id="construction by keyword",
        ),
        pytest.param(raising(lambda: FailingSetter(*COLUMNS), LookupError), id="failing __init__"),
        pytest.param(
            raising(lambda: M.plotPrediction(*COLUMNS[:-1], None), TypeError),  # type: ignore[arg-type]
            id="constructor type test",
        ),
    ],
)
def test_construction_leaks_nothing(make):
    assert gained(make) == [0] * ROUNDS


def test_the_hunt_finds_a_leak():
    # A reference dropped on the floor each call is what the hunt is for; it must see one.
    keep = []
    assert gained(lambda: keep.append(object())) == [CALLS] * ROUNDS
    assert gained(lambda: keep.append(object()), calls=1) == [1] * ROUNDS
