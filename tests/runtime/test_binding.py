"""Argument binding of the public callables: counts, keywords, boundary type tests, references."""

import ctypes
import sys

import pytest

import listing
from helpers import entry, hierarchy_frames, own_entries


def _binding(c):
    """(qualname, first line, parameters, required count, str-only parameters, str-or-None
    parameters, a local) of a callable of the listing."""
    strict = tuple(p.name for p in c.params if p.tested == "str")
    optional = tuple(p.name for p in c.params if p.tested == "str or None")
    return (c.qualname, c.first_line, c.argnames, c.required, strict, optional, c.locals[0] if c.locals else None)


BIND = {name: _binding(c) for name, c in listing.CALLABLES.items()}
ATTRS = listing.CALLABLES["__init__"].argnames[1:]
NAMES = list(BIND)


class Probe:
    """Stands for a frame or a plotter; records every use a body would make of it."""

    def __init__(self):
        object.__setattr__(self, "log", [])

    def __getattr__(self, name):
        self.log.append(name)
        raise AttributeError(name)

    def __setattr__(self, name, value):
        self.log.append(name)

    __getitem__ = __getattr__


class StrSub(str):
    pass


def func(mod, name):
    return getattr(mod if name == "obtain_dataset" else mod.plotPrediction, name)


def good_args(name):
    """Arguments for every parameter that pass the type tests: fresh texts and probes."""
    _, _, params, _, strict, optional, _ = BIND[name]
    return {p: "".join(["v_", p]) if p in strict + optional else Probe() for p in params}


def count_message(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def fillers(n):
    """New objects of no accepted type, so that any type test would refuse them."""
    return [object() for _ in range(n)]


def fails(f, *args, **kwargs):
    """Calls `f`, expecting a TypeError; the call must leave every argument's reference count as it was."""
    # None is shared by the whole interpreter: its count moves with everything else (before 3.12).
    objects = [o for o in (*args, *kwargs.values()) if o is not None]
    before = [sys.getrefcount(o) for o in objects]
    with pytest.raises(TypeError) as ei:
        f(*args, **kwargs)
    message, entries = str(ei.value), own_entries(ei.value)
    del ei
    assert [sys.getrefcount(o) for o in objects] == before
    return message, entries


def arg_error(name, message):
    return message, [entry(BIND[name][0], BIND[name][1])]


COUNT_CASES = [(n, g) for n in NAMES for g in list(range(BIND[n][3])) + [len(BIND[n][2]) + 1]]


@pytest.mark.parametrize("name, given", COUNT_CASES)
def test_positional_count(mod, name, given):
    _, _, params, required, _, _, _ = BIND[name]
    exact = required == len(params)
    if given > len(params):
        how, n = ("exactly" if exact else "at most"), len(params)
    else:
        how, n = ("exactly" if exact else "at least"), required
    # no argument would pass a type test: the count is checked first
    assert fails(func(mod, name), *fillers(given)) == arg_error(name, count_message(name, how, n, given))


MISSING = [(n, i) for n in NAMES for i in range(0 if n == "obtain_dataset" else 1, BIND[n][3])]


@pytest.mark.parametrize("name, missing", MISSING)
def test_missing_argument_with_keywords_reports_its_position(mod, name, missing):
    _, _, params, required, _, _, _ = BIND[name]
    first = 0 if name == "obtain_dataset" else 1
    keywords = {p: object() for p in params[first:required] if p != params[missing]}
    if not keywords:  # only one required parameter after self: use an optional one as the keyword
        keywords = {params[required]: object()}
    how = "exactly" if required == len(params) else "at least"
    message = count_message(name, how, required, missing)
    assert fails(func(mod, name), *fillers(first), **keywords) == arg_error(name, message)


MULTIPLE = "got multiple values for keyword argument"
KEYWORD_CASES = [(n, BIND[n][2][i], MULTIPLE) for n in NAMES for i in (0, BIND[n][3] - 1)] + [
    (n, kw, "got an unexpected keyword argument")
    for n in NAMES
    for kw in ("nope", BIND[n][6], "self")
    if kw and kw not in BIND[n][2]
]


@pytest.mark.parametrize("name, keyword, problem", KEYWORD_CASES)
def test_keyword_errors(mod, name, keyword, problem):
    # a second bad keyword is not the one reported
    result = fails(func(mod, name), *fillers(BIND[name][3]), **{keyword: object(), "later": object()})
    assert result == arg_error(name, f"{name}() {problem} '{keyword}'")


def vectorcall_with_keyword_names(f, args, kwnames, values):
    """Calls `f` with a keyword-name tuple the interpreter's own call syntax would refuse to build."""
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    holder = type("Holder", (), {"f": f})()  # a method call passes the holder as the first argument
    items = [holder, *args, *values]
    return call("f", (ctypes.py_object * len(items))(*items), 1 + len(args), kwnames)


@pytest.mark.parametrize("name", NAMES)
def test_keywords_must_be_strings(mod, name):
    required = BIND[name][3]
    with pytest.raises(TypeError) as ei:
        vectorcall_with_keyword_names(func(mod, name), [7] * (required - 1), (1,), [7])
    assert (str(ei.value), own_entries(ei.value)) == arg_error(name, f"{name}() keywords must be strings")
    # Through ordinary call syntax the interpreter may refuse the mapping before the module sees it.
    with pytest.raises(TypeError, match="keywords must be strings$"):
        func(mod, name)(*[7] * required, **{1: 2})


TYPE_CASES = [
    (n, p, bad)
    for n in NAMES
    for p in BIND[n][4] + BIND[n][5]
    for bad in [10**9 + 7, StrSub("x"), b"x"] + ([None] if p in BIND[n][4] else [])
]


@pytest.mark.parametrize("name, param, bad", TYPE_CASES)
def test_type_test(mod, name, param, bad):
    args = good_args(name)
    args[param] = bad
    message = f"Argument '{param}' has incorrect type (expected str, got {type(bad).__name__})"
    assert fails(func(mod, name), *args.values()) == (message, [])
    assert [a.log for a in args.values() if isinstance(a, Probe)] == [[] for a in args.values() if isinstance(a, Probe)]


@pytest.mark.parametrize("name", NAMES)
def test_type_tests_run_in_parameter_order_and_let_none_through_where_allowed(mod, name):
    _, _, params, _, strict, optional, _ = BIND[name]
    tested = [p for p in params if p in strict + optional]
    args = {p: 7 if p in tested else Probe() for p in params}
    with pytest.raises(TypeError, match=rf"^Argument '{tested[0]}' has incorrect type \(expected str, got int\)$"):
        func(mod, name)(**args)
    args.update({p: None if p in optional else "ok" for p in tested[:-1]})
    with pytest.raises(TypeError, match=rf"^Argument '{tested[-1]}' has incorrect type"):
        func(mod, name)(**args)


@pytest.mark.parametrize("npos", range(4))
@pytest.mark.parametrize("key_type", [str, StrSub])
def test_obtain_dataset_binds_mixed_arguments(mod, npos, key_type):
    frame, _ = hierarchy_frames()
    values = {"df": frame, "gerarchia": "Italia/A", "id_pred": "id"}
    names = list(values)
    keywords = {key_type(n): values[n] for n in reversed(names[npos:])}
    result = mod.obtain_dataset(*[values[n] for n in names[:npos]], **keywords)
    assert [part["id"].iloc[0] for part in result] == ["Italia/A", "Italia/A/x"]


def test_successful_calls_and_body_errors_keep_reference_counts(mod):
    frame, _ = hierarchy_frames()
    texts = ["".join(["c", a]) for a in ATTRS]
    args = [frame, "".join(["Ita", "lia"]), "".join(["i", "d"]), Probe()] + texts
    mod.obtain_dataset(*args[:3])  # pandas may keep the column key in its own cache
    before = [sys.getrefcount(a) for a in args]
    for _ in range(3):
        result, plotter = mod.obtain_dataset(*args[:3]), mod.plotPrediction(*texts)
        del result, plotter
        with pytest.raises(AttributeError):
            mod.obtain_dataset(args[3], args[1], args[2])
    assert [sys.getrefcount(a) for a in args] == before
