"""The seven public callables as function objects, and the class that holds six of them."""

import copy
import inspect
import pickle
import pydoc
import re
import types

import pytest

from helpers import MODULE, SOURCE, run_python

PD, STR, NONE = "pd.DataFrame", "str", object()
FIG = "plotly.graph_objs._figure.Figure"
SELF = [("self", None, NONE)]
ATTRS = ["id_pred", "data", "pred_mean", "pi_lower", "pi_upper", "use_case"]
RESID = SELF + [("df_pred", PD, NONE), ("df_real", PD, NONE), ("id_pred_real", STR, NONE), ("target", STR, NONE),
                ("id_pred", STR, None)]


def doc(indent, first, *lines):
    """A docstring laid out as the module writes them: every line but the first indented, blank lines empty."""
    pad = " " * indent
    return "\n".join([first] + [pad + line if line else "" for line in lines]) + "\n" + pad


RESID_DOC = ["", "Parameters", "----------", "df_pred : dataframe of prediction", "df_real : pd.DataFrame",
             "    dataframe of real data", "target : str", "    name column of real values", "id_pred : str ",
             "    id of prediction to be considered", "", "Returns", "-------", "list"]

# name: (qualname, first line, parameters as (name, annotation, default), return annotation, locals, docstring)
CALLABLES = {
    "obtain_dataset": ("obtain_dataset", 11, [("df", PD, NONE), ("gerarchia", STR, NONE), ("id_pred", STR, NONE)],
                       None, ["n_level", "split", "select", "result"],
                       doc(4, "generate list of prediction dataframe for gerarchy specified", "", "df : pd.DataFrame",
                           "    prediction dataframe", "gerarchia : str", "    hierarchy selected", "id_pred : str",
                           "    name of id pred column", "", "Returns", "-------", "_type_", "    _description_")),
    "__init__": ("plotPrediction.__init__", 48, SELF + [(a, STR, NONE) for a in ATTRS], None, [], None),
    "plot_pred": ("plotPrediction.plot_pred", 57,
                  SELF + [("df_pred", PD, NONE), ("id_pred", STR, None), ("df_real", PD, None), ("id_pred_real", STR, None),
                          ("data_real", STR, None), ("target", STR, None), ("confidence_interval", "bool", False),
                          ("vertical_line", STR, None)],
                  FIG, ["lista_id", "lista_fig", "id_pre", "df_pred_parz", "df_real_parz", "real", "fig"],
                  doc(8, "Plot prediction", "", "Parameters", "----------", "df_pred : pd:DataFrame",
                      "    dataframe of prediction", "id_pred : str ", "    id of prediction to be considered",
                      "df_real : pd.DataFrame", "    dataframe of real data", "target : str",
                      "    name column of real values", "", "Results", "-------", FIG, "    plot prediction")),
    "plot_hierarchical": ("plotPrediction.plot_hierarchical", 158, SELF + [("df_pred", PD, NONE), ("gerarchia", STR, NONE)],
                          None, ["lista_df_pred", "fig", "list_fig", "pred"],
                          doc(8, "Plot a set of hierarchical time series", "", "Parameters", "----------",
                              "lista_df_pred : list", "    list of dataframe of prediction for the low level of hierarchy",
                              "", "Returns", "-------", FIG, "    plot a set hierarchical time series")),
    "plot_sum_hierarchy": ("plotPrediction.plot_sum_hierarchy", 204, SELF + [("df_pred", PD, NONE), ("gerarchia", STR, NONE)],
                           None, ["lista_df_pred", "df_pred_tot", "tot_hier_pred", "fig"],
                           doc(8, "Plot sum of hierarchical time series", "", "Parameters", "----------",
                               "df_pred : pd.DataFrame", "    dataframe of high level of hierarchy", "lista_df_pred : list",
                               "    list of dataframe of prediction for the low level of hierarchy", "livello : str",
                               "    name of low level hierarchy", "", "Returns", "-------", FIG,
                               "    plot of sum hierarchical time series")),
    "dist_residuals": ("plotPrediction.dist_residuals", 264, RESID, "list",
                       ["lista_id", "lista_fig", "id_pre", "df_pred_parz", "df_real_parz", "res", "fig"],
                       doc(8, "Plots distribution of residuals", *RESID_DOC,
                           "    list of figure for distribution plot of residuals")),
    "plot_residuals": ("plotPrediction.plot_residuals", 314, RESID, "list",
                       ["df_pred_parz", "df_real_parz", "res", "fig_matplot", "qqplot_data", "fig"],
                       doc(8, "Plots residuals", *RESID_DOC, "    list of figure for plot of residuals")),
}
NAMES = list(CALLABLES)


def signature(name):
    """The signature text inspect gives for the parameters of the table, annotations as strings."""
    _, _, params, ret, _, _ = CALLABLES[name]
    parts = [p + (f": {a!r}" if a else "") + ("" if d is NONE else f" = {d!r}") for p, a, d in params]
    return "(" + ", ".join(parts) + ")" + (f" -> {ret!r}" if ret else "")


CLASS_DOC = "class for plot prediction,result of job\n    "


def get(mod, name):
    return getattr(mod if name == "obtain_dataset" else mod.plotPrediction, name)


@pytest.mark.parametrize("name", NAMES)
def test_names_docstring_defaults_annotations(mod, name):
    qualname, _, params, ret, _, docstring = CALLABLES[name]
    f = get(mod, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, qualname, MODULE)
    assert f.__doc__ == docstring
    defaults = tuple(d for _, _, d in params if d is not NONE)
    assert f.__defaults__ == (defaults or None)
    assert f.__kwdefaults__ is None
    expected = [(p, a) for p, a, _ in params if a] + ([("return", ret)] if ret else [])
    assert list(f.__annotations__.items()) == expected
    assert str(inspect.signature(f)) == signature(name)


@pytest.mark.parametrize("name", NAMES)
def test_code_object(mod, name):
    qualname, line, params, _, local_names, _ = CALLABLES[name]
    code = get(mod, name).__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (SOURCE, name, line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_varnames == tuple(p for p, _, _ in params) + tuple(local_names)
    assert code.co_nlocals == len(code.co_varnames)
    assert getattr(code, "co_qualname", qualname) == qualname


@pytest.mark.parametrize("name", NAMES)
def test_globals_dict_and_repr(mod, name):
    f = get(mod, name)
    assert f.__globals__ is vars(mod)
    assert re.fullmatch(rf"<function {re.escape(CALLABLES[name][0])} at 0x[0-9a-fA-F]+>", repr(f))
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


def flat(text):
    """Plain rendered help without the class box and without any whitespace (pydoc wraps long signatures)."""
    return "".join("".join(re.sub(r"^ \|", "", line).split()) for line in pydoc.plain(text).splitlines())


@pytest.mark.parametrize("name", NAMES)
def test_pydoc_shows_signature_and_docstring(mod, name):
    wanted = "".join((name + signature(name) + inspect.cleandoc(CALLABLES[name][5] or "")).split())
    assert wanted in flat(pydoc.render_doc(get(mod, name)))
    if name != "obtain_dataset":
        assert wanted in flat(pydoc.render_doc(mod.plotPrediction))


def test_class_object(mod):
    cls = mod.plotPrediction
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == ("plotPrediction", "plotPrediction", MODULE, CLASS_DOC)
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__mro__ == (cls, object)
    # The namespace as type() leaves it when given these entries in this order.
    names = ["__module__", "__qualname__", "__doc__", "__init__"] + NAMES[2:]
    reference = type("plotPrediction", (), {n: "x" for n in names})
    assert list(vars(cls)) == list(vars(reference))
    assert [n for n in vars(cls) if n in names] == [n for n in names if n != "__qualname__"]
    header = "class plotPrediction(builtins.object)plotPrediction" + signature("__init__").replace("self, ", "") + CLASS_DOC
    assert "".join(header.split()) in flat(pydoc.render_doc(cls))


def test_code_objects_and_the_function_type_cannot_be_abused_into_a_crash():
    out = run_python("""
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
    """ % NAMES[1:], env={"MPLBACKEND": "Agg"}).stdout.split()
    assert len(out) == 7 * 4 and out[:2] == ["TypeError", "TypeError"]
