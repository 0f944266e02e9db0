"""The seven public callables as function objects, and the class that holds six of them."""

import copy
import inspect
import pickle
import pydoc
import re
import types

import pytest

import listing
from helpers import MODULE, SOURCE, run_python

NAMES = list(listing.CALLABLES)
CLASS_DOC = listing.CLASS_DOC


def signature(name):
    """The signature text inspect gives for the listing's parameters, annotations as strings."""
    c = listing.CALLABLES[name]
    parts = [
        p.name
        + (f": {p.annotation!r}" if p.annotation else "")
        + ("" if p.default is listing.NO_DEFAULT else f" = {p.default!r}")
        for p in c.params
    ]
    return "(" + ", ".join(parts) + ")" + (f" -> {c.returns!r}" if c.returns else "")


def get(mod, name):
    return getattr(mod if name == "obtain_dataset" else mod.plotPrediction, name)


@pytest.mark.parametrize("name", NAMES)
def test_names_docstring_defaults_annotations(mod, name):
    c = listing.CALLABLES[name]
    f = get(mod, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, c.qualname, MODULE)
    assert f.__doc__ == c.doc
    assert f.__defaults__ == c.defaults
    assert f.__kwdefaults__ is None
    expected = [(p.name, p.annotation) for p in c.params if p.annotation] + (
        [("return", c.returns)] if c.returns else []
    )
    assert list(f.__annotations__.items()) == expected
    assert str(inspect.signature(f)) == signature(name)


@pytest.mark.parametrize("name", NAMES)
def test_code_object(mod, name):
    c = listing.CALLABLES[name]
    code = get(mod, name).__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (SOURCE, name, c.first_line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(c.params), 0, 0)
    assert code.co_varnames == c.argnames + c.locals
    assert code.co_nlocals == len(code.co_varnames)
    assert getattr(code, "co_qualname", c.qualname) == c.qualname


@pytest.mark.parametrize("name", NAMES)
def test_globals_dict_and_repr(mod, name):
    f = get(mod, name)
    assert f.__globals__ is vars(mod)
    assert re.fullmatch(rf"<function {re.escape(listing.CALLABLES[name].qualname)} at 0x[0-9a-fA-F]+>", repr(f))
    try:
        f.tag = 1
        assert f.__dict__ == {"tag": 1}
        f.__dict__ = {"other": 2}
        assert (f.other, hasattr(f, "tag")) == (2, False)
    finally:
        f.__dict__ = {}


@pytest.mark.parametrize("name", NAMES)
def test_descriptor_binding(mod, plotter, name):
    f = get(mod, name)
    bound = f.__get__(plotter, type(plotter))
    assert isinstance(bound, types.MethodType) and bound.__func__ is f and bound.__self__ is plotter
    assert f.__get__(None, mod.plotPrediction) is f
    if name != "obtain_dataset":
        assert getattr(plotter, name).__func__ is f
        assert getattr(mod.plotPrediction, name) is f is vars(mod.plotPrediction)[name]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_give_the_same_object(mod, name, protocol):
    f = get(mod, name)
    assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def python_twin(name):
    """A plain Python function with the listing's signature (annotations as strings) and docstring."""
    c = listing.CALLABLES[name]
    namespace = {}
    exec(f"def {name}{signature(name)}: pass", namespace)
    twin = namespace[name]
    twin.__doc__, twin.__qualname__, twin.__module__ = c.doc, c.qualname, MODULE
    return twin


def twin_class(mod):
    """A plain Python class holding the twins of the methods, documented as the module's class is."""
    methods = {c.name: python_twin(c.name) for c in listing.METHODS}
    return type("plotPrediction", (), {"__module__": MODULE, "__doc__": CLASS_DOC, **methods})


def rendered(thing):
    """help()'s text without its first line (which says what kind of object it documents)."""
    return pydoc.plain(pydoc.render_doc(thing)).split("\n", 1)[1]


@pytest.mark.parametrize("name", NAMES)
def test_pydoc_shows_what_it_shows_for_a_python_function(mod, name):
    # Compared with the rendering of the same function written in Python, whatever the running
    # pydoc makes of signatures (3.14 drops the quotes of string annotations and wraps long ones).
    assert rendered(get(mod, name)) == rendered(python_twin(name))


def test_pydoc_shows_the_class_as_a_python_class(mod):
    assert rendered(mod.plotPrediction) == rendered(twin_class(mod))


def test_class_object(mod):
    cls = mod.plotPrediction
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        "plotPrediction",
        "plotPrediction",
        MODULE,
        CLASS_DOC,
    )
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__mro__ == (cls, object)
    # The namespace as type() leaves it when given these entries in this order.
    names = ["__module__", "__qualname__", "__doc__", "__init__"] + NAMES[2:]
    reference = type("plotPrediction", (), dict.fromkeys(names, "x"))
    assert list(vars(cls)) == list(vars(reference))
    assert [n for n in vars(cls) if n in names] == [n for n in names if n != "__qualname__"]


def test_code_objects_and_the_function_type_cannot_be_abused_into_a_crash():
    out = run_python(
        """
        import types
        import sorvani_kb.datavisualization.plotPrediction as m
        for f in [m.obtain_dataset] + [vars(m.plotPrediction)[n] for n in %r]:
            for probe in (lambda: type(f)(), lambda: type(f).__new__(type(f)), lambda: exec(f.__code__, {}),
                          lambda: types.FunctionType(f.__code__, {})(*[None] * f.__code__.co_argcount)):
                try:
                    probe()
                    print("ran")
                except Exception as e:
                    print(type(e).__name__)
    """
        % NAMES[1:],
        env={"MPLBACKEND": "Agg"},
    ).stdout.split()
    assert len(out) == 7 * 4 and out[:2] == ["TypeError", "TypeError"]
