"""Hostile calls: random argument binding, frames and ids that misbehave, junk module globals."""

import ctypes
import functools
import inspect
import math
import os
import sys

import matplotlib.pyplot as plt
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import MODULE, entry, hierarchy_frames, own_entries, run_python
from sorvani_kb.datavisualization import plotPrediction as M


def in_child(test):
    """Runs `test` in a fresh interpreter, since what it does could crash the interpreter."""
    if os.environ.get("HARDENING_CHILD") == test.__name__:
        return test

    def run_in_child():
        run_python(
            "import sys, pytest; sys.exit(pytest.main(sys.argv[1:]))",
            "-q",
            "-p",
            "no:cacheprovider",
            f"{inspect.getfile(test)}::{test.__name__}",
            env={"HARDENING_CHILD": test.__name__},
        )

    run_in_child.__name__, run_in_child.__doc__ = test.__name__, test.__doc__
    return run_in_child


class Text(str):
    """A str subclass: refused wherever a parameter must be exactly str."""


# name: (qualified name, params that must be exactly str, params that may also be None)
CALLABLES = {
    "obtain_dataset": ("obtain_dataset", {"gerarchia", "id_pred"}, set()),
    "__init__": (
        "plotPrediction.__init__",
        {"id_pred", "data", "pred_mean", "pi_lower", "pi_upper", "use_case"},
        set(),
    ),
    "plot_pred": (
        "plotPrediction.plot_pred",
        set(),
        {"id_pred", "id_pred_real", "data_real", "target", "vertical_line"},
    ),
    "plot_hierarchical": ("plotPrediction.plot_hierarchical", {"gerarchia"}, set()),
    "plot_sum_hierarchy": ("plotPrediction.plot_sum_hierarchy", {"gerarchia"}, set()),
    "dist_residuals": ("plotPrediction.dist_residuals", {"id_pred_real", "target"}, {"id_pred"}),
    "plot_residuals": ("plotPrediction.plot_residuals", {"id_pred_real", "target"}, {"id_pred"}),
}
JUNK = ["id", "", None, 0, 2.5, b"id", ("id",), Text("id")]
EXTRA_NAMES = ["self", "zz", "df", "df_pred", "gerarchia", "id_pred", "target", "lista_df_pred"]
PLOTTER = M.plotPrediction("id", "date", "mean", "lo", "hi", "uc")
# Before 3.15 the interpreter refuses `f(**{1: 0})` itself, for any callable, before the call;
# from 3.15 on the keyword reaches the function, which reports it in its own order.
CALL_SYNTAX_REFUSES_NON_STR_KEYWORDS = sys.version_info < (3, 15)


def function_of(name):
    return M.obtain_dataset if name == "obtain_dataset" else getattr(M.plotPrediction, name)


def binding_messages(name, params, ndefaults, args, kwargs):
    """The messages allowed for a call that Python's rules refuse; None when the call binds."""
    n, nreq = len(params), len(params) - ndefaults

    def count(given, too_many):
        kind = "exactly" if ndefaults == 0 else ("at most" if too_many else "at least")
        bound = n if too_many else nreq
        return f"{name}() takes {kind} {bound} positional argument{'' if bound == 1 else 's'} ({given} given)"

    if len(args) > n:
        return {count(len(args), True)}
    found = set()
    missing = [i for i in range(len(args), nreq) if params[i] not in kwargs]
    if missing:  # the position of the first missing one, which is the count given without keywords
        found.add(count(missing[0], False))
    for key in kwargs:
        if type(key) is not str:
            found.add(f"{name}() keywords must be strings")
            break
        if key not in params or params.index(key) < len(args):
            why = "an unexpected" if key not in params else "multiple values for"
            found.add(f"{name}() got {why} keyword argument '{key}'")
            break
    return found or None  # a missing argument and a bad keyword: either may be reported first


def type_message(params, strict, loose, args, kwargs):
    values = dict(zip(params, args), **kwargs)
    for p in params:
        v = values.get(p)
        if (p in strict and type(v) is not str) or (p in loose and v is not None and type(v) is not str):
            return f"Argument '{p}' has incorrect type (expected str, got {type(v).__name__})"
    return None


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(CALLABLES)))
    params = list(inspect.signature(function_of(name)).parameters)
    first = params[0] == "self"
    args = draw(st.lists(st.sampled_from(JUNK), max_size=len(params) + 1))
    keys = draw(st.lists(st.sampled_from(params[first:] + EXTRA_NAMES), unique=True, max_size=6))
    kwargs = {k: draw(st.sampled_from(JUNK)) for k in keys}
    if draw(st.integers(0, 9)) == 0:  # very many keywords, before or after the drawn ones
        many = {f"k{i}": i for i in range(300)}
        kwargs = {**many, **kwargs} if draw(st.booleans()) else {**kwargs, **many}
    if draw(st.integers(0, 9)) == 0:
        kwargs[draw(st.sampled_from([1, None, b"df"]))] = 0
    style = draw(st.sampled_from(["bound", "function", "partial"] if first else ["function", "partial"]))
    return name, params, args, kwargs, style, draw(st.integers(0, len(args) + first))


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls())
def test_binding_gives_a_result_or_the_module_message(call):
    name, params, args, kwargs, style, split = call
    qualname, strict, loose = CALLABLES[name]
    func = function_of(name)
    if name == "__init__":  # through the class: self is the new object
        target, full, passed = M.plotPrediction, [object()] + args, args
    elif style == "bound":
        target, full, passed = getattr(PLOTTER, name), [PLOTTER] + args, args
    else:
        target, full = func, ([PLOTTER] if params[0] == "self" else []) + args
        passed = full
    if style == "partial":
        invoke = lambda: functools.partial(target, *passed[:split], **kwargs)(*passed[split:])  # noqa: E731
    else:
        invoke = lambda: target(*passed, **kwargs)  # noqa: E731
    if any(type(k) is not str for k in kwargs) and CALL_SYNTAX_REFUSES_NON_STR_KEYWORDS:
        expected, entries = {"keywords must be strings", f"{name}() keywords must be strings"}, None
    else:
        defaults = sum(p.default is not p.empty for p in inspect.signature(func).parameters.values())
        expected = binding_messages(name, params, defaults, full, kwargs)
        try:  # the oracle agrees with Python's own binding
            inspect.signature(func).bind(*full, **kwargs)
            assert expected is None, expected
        except TypeError:
            assert expected is not None
        entries = [entry(qualname, func.__code__.co_firstlineno)]
        if expected is None and type_message(params, strict, loose, full, kwargs):
            expected, entries = {type_message(params, strict, loose, full, kwargs)}, []
        if any(type(k) is not str for k in kwargs):
            # Where a call goes through a dict of keywords, the interpreter still refuses it itself.
            expected = expected | {"keywords must be strings"}
    try:
        invoke()
    except Exception as exc:  # noqa: BLE001
        if expected is not None:
            assert type(exc) is TypeError and str(exc) in expected
            if str(exc) == "keywords must be strings":  # refused before the module was called
                assert own_entries(exc) == []
            else:
                assert entries is None or own_entries(exc) == entries
        else:  # junk in place of frames: the library's error, at a line of the body
            first_entry = own_entries(exc)[0]
            assert first_entry[0] == f"{MODULE}.{qualname}" and first_entry[1] != func.__code__.co_firstlineno
    else:
        assert expected is None


@in_child
def test_raw_vectorcall_keyword_names():
    """Keyword names no Python-level call can produce: non-str, duplicated, a str subclass."""
    f = M.obtain_dataset
    assert ctypes.c_ssize_t.from_address(id(type(f)) + 32).value == type(f).__basicsize__, "type layout"
    offset = ctypes.c_ssize_t.from_address(id(type(f)) + 56).value  # tp_vectorcall_offset
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p)
    vectorcall = proto(ctypes.c_void_p.from_address(id(f) + offset).value)

    def raw(args, names, values):
        items, names = (ctypes.py_object * (len(args) + len(values) + 1))(*args, *values), tuple(names)
        return vectorcall(f, ctypes.addressof(items), len(args), id(names) if names else None)

    df = hierarchy_frames()[0]
    for args, names, values, message in [
        ((df, "Italia", "id"), [1], [0], "obtain_dataset() keywords must be strings"),
        (
            (),
            ["gerarchia", "id_pred", "df", "df"],
            ["Italia", "id", df, df],
            "obtain_dataset() got multiple values for keyword argument 'df'",
        ),
        (
            (df,),
            ["gerarchia", "gerarchia"],
            ["Italia"] * 2,
            "obtain_dataset() takes exactly 3 positional arguments (2 given)",
        ),
    ]:
        try:
            raw(args, names, values)
            raise AssertionError(message)
        except TypeError as exc:
            assert str(exc) == message and own_entries(exc) == [entry("obtain_dataset", 11)]
    result = raw((), [Text("df"), Text("gerarchia"), Text("id_pred")], [df, "Italia", "id"])
    assert [part["id"].iloc[0] for part in result] == ["Italia", "Italia/A"]


class Boom(Exception):
    raised: list = []


def boom(*_, **__):
    Boom.raised.append(Boom())
    raise Boom.raised[-1]


class Eq:
    __eq__, __hash__ = boom, object.__hash__


class Hostile:
    __getattr__ = __getitem__ = __call__ = __len__ = boom


class BadFrame(pd.DataFrame):
    __getitem__ = boom


def hostile_calls(dp, dr):
    return {
        "obtain_dataset": lambda: M.obtain_dataset(dp, "Italia", "id"),
        "plotPrediction.plot_pred": lambda: PLOTTER.plot_pred(dp, None, dr, "rid", "rdate", "obs", True, "2024-01-07"),
        "plotPrediction.plot_hierarchical": lambda: PLOTTER.plot_hierarchical(dp, "Italia"),
        "plotPrediction.plot_sum_hierarchy": lambda: PLOTTER.plot_sum_hierarchy(dp, "Italia"),
        "plotPrediction.dist_residuals": lambda: PLOTTER.dist_residuals(dp, dr, "rid", "obs"),
        "plotPrediction.plot_residuals": lambda: PLOTTER.plot_residuals(dp, dr, "rid", "obs", "Italia"),
    }


def outcome(qualname, call, line=None):
    """'result', or the type of the exception, checked to carry the module's entry first and,
    for an exception the test raised itself, to be that very object."""
    del Boom.raised[:]
    try:
        call()
        return "result"
    except Exception as exc:  # noqa: BLE001
        entries = own_entries(exc)
        assert entries and entries[0][0] == f"{MODULE}.{qualname}", (qualname, entries)
        assert line is None or entries[0][1] == line, (qualname, entries)
        assert not isinstance(exc, Boom) or exc is Boom.raised[-1], qualname
        return type(exc)
    finally:
        plt.close("all")


ODD_IDS = [None, math.nan, 7, 2.5, True, (1, 2), b"x", Eq(), "Italia", "Italia/A"]
ODD_VALUES = [[1.0, 2.0], ["a", "b"], [1 + 2j, 3j], [None, None], [Eq(), Eq()]]


@in_child
def test_hostile_frames_and_ids():
    dp, dr = hierarchy_frames(periods=2)
    for frames in [(BadFrame(dp), dr), (dp, BadFrame(dr)), (Hostile(), dr), (dp, Hostile()), (Hostile(), Hostile())]:
        for qualname, call in hostile_calls(*frames).items():
            outcome(qualname, call)
    assert outcome("obtain_dataset", hostile_calls(BadFrame(dp), dr)["obtain_dataset"], 28) is Boom

    @settings(max_examples=20, deadline=None, database=None)
    @given(st.lists(st.sampled_from(ODD_IDS), min_size=3, max_size=3), st.sampled_from(ODD_VALUES))
    def check(ids, values):
        d, r = hierarchy_frames(periods=2)
        d["id"] = [i for i in ids for _ in range(2)]
        r["rid"], d["mean"] = list(d["id"]), values * 3
        for qualname, call in hostile_calls(d, r).items():
            outcome(qualname, call)

    check()


GLOBAL_USERS = {  # global: [(callable, line of the statement that uses it)]
    "px": [("plot_pred", 104), ("dist_residuals", 297)],
    "go": [
        ("plot_pred", 94),
        ("plot_hierarchical", 175),
        ("plot_sum_hierarchy", 230),
        ("dist_residuals", 302),
        ("plot_residuals", 340),
    ],
    "pd": [("plot_sum_hierarchy", 228)],
    "plt": [("plot_residuals", 337)],
    "qqplot": [("plot_residuals", 338)],
    "obtain_dataset": [("plot_hierarchical", 173), ("plot_sum_hierarchy", 223)],
}


@in_child
def test_junk_module_globals(restore_globals):
    table, saved = hostile_calls(*hierarchy_frames(periods=2)), dict(restore_globals)
    for name, users in GLOBAL_USERS.items():
        for junk, expected in [
            ("deleted", NameError),
            (1, (AttributeError, TypeError)),
            (None, (AttributeError, TypeError)),
            (Hostile(), Boom),
        ]:
            for method, line in users:
                if junk == "deleted":
                    del restore_globals[name]
                else:
                    restore_globals[name] = junk
                try:
                    kind = outcome(f"plotPrediction.{method}", table[f"plotPrediction.{method}"], line)
                finally:
                    restore_globals.update(saved)
                assert kind != "result" and issubclass(kind, expected), (name, junk, kind)
    assert all(outcome(qualname, call) == "result" for qualname, call in table.items())
