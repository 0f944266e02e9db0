"""Start-up of the native module: namespace, module definition, version check, failed imports."""

import json
import sys
import textwrap

import pytest

from helpers import MODULE, SOURCE, run_python

LIBS = "import numpy, pandas, matplotlib.pyplot, statsmodels.graphics.gofplots, plotly.express, plotly.graph_objects\n"
PRELUDE = f"""import json, sys, traceback, warnings
MOD, SOURCE = {MODULE!r}, {SOURCE!r}
def own(e):
    return [[f.name, f.lineno] for f in traceback.extract_tb(e.__traceback__) if f.filename == SOURCE]
def emit(obj):
    print("RESULT " + json.dumps(obj))
"""
ALIASES = [("np", 1), ("pd", 2), ("plt", 3), ("qqplot", 5), ("plotly", 7), ("px", 8), ("go", 9)]
COMPILED = "%d.%d" % sys.version_info[:2]
OTHER = "3.11" if COMPILED == "3.10" else "3.10"  # a version the module was not built for
INIT = "init " + MODULE
ENV = {"PYTHONWARNINGS": "default", "MPLBACKEND": "Agg"}


def run(code, *args, libs=False):
    """Runs `code` after PRELUDE (and the library imports) in a fresh interpreter; returns what it emitted."""
    proc = run_python(PRELUDE + (LIBS if libs else "") + textwrap.dedent(code), *args, env=ENV)
    out = [line[7:] for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(out) == 1, proc.stdout + proc.stderr
    return json.loads(out[0])


def test_namespace_after_fresh_import():
    r = run("""
        import sorvani_kb, sorvani_kb.datavisualization
        lazy = [n for n in ("pandas", "plotly", "matplotlib", "statsmodels", MOD) if n in sys.modules]
        import builtins, numpy, pandas, matplotlib.pyplot, plotly, plotly.express, plotly.graph_objects
        from statsmodels.graphics.gofplots import qqplot
        import sorvani_kb.datavisualization as pkg
        import sorvani_kb.datavisualization.plotPrediction as m
        ns = vars(m)
        same = {"np": numpy, "pd": pandas, "plt": matplotlib.pyplot, "qqplot": qqplot, "plotly": plotly,
                "px": plotly.express, "go": plotly.graph_objects, "__builtins__": builtins,
                "__loader__": m.__spec__.loader, "__file__": m.__spec__.origin}
        emit({"lazy": lazy, "keys": list(ns), "same": [k for k, v in same.items() if ns[k] is not v], "doc": ns["__doc__"],
              "name": ns["__name__"], "package": ns["__package__"], "test": repr(ns["__test__"]),
              "loader": type(m.__loader__).__name__, "pkg": pkg.plotPrediction is m,
              "public": [m.obtain_dataset.__qualname__, m.plotPrediction.__qualname__]})
    """)
    assert r["lazy"] == []  # the packages themselves import no library
    assert r["keys"] == [
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__builtins__",
        "np",
        "pd",
        "plt",
        "qqplot",
        "plotly",
        "px",
        "go",
        "obtain_dataset",
        "plotPrediction",
        "__test__",
    ]
    assert r["same"] == []
    assert (r["doc"], r["name"], r["package"], r["test"]) == (None, MODULE, "sorvani_kb.datavisualization", "{}")
    assert (r["loader"], r["pkg"], r["public"]) == ("ExtensionFileLoader", True, ["obtain_dataset", "plotPrediction"])


def test_module_definition_exec_slot_and_reimport():
    r = run("""
        import ctypes, sysconfig, types
        if sysconfig.get_config_var("Py_GIL_DISABLED") or hasattr(sys, "getobjects"):
            emit("skip"); sys.exit()
        import sorvani_kb.datavisualization.plotPrediction as m
        P, S = ctypes.c_void_p, ctypes.c_ssize_t
        Def = type("Def", (ctypes.Structure,), {"_fields_": [("refcnt", S), ("type", P), ("init", P), ("index", S),
            ("copy", P), ("name", ctypes.c_char_p), ("doc", P), ("size", S), ("methods", P), ("slots", P)]})
        Slot = type("Slot", (ctypes.Structure,), {"_fields_": [("slot", ctypes.c_int), ("value", P)]})
        init = ctypes.CDLL(m.__file__).PyInit_plotPrediction
        init.restype = P  # the definition is returned borrowed; py_object would release it
        addr = init()
        d = Def.from_address(addr)
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = P, [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, P]
        sentinel = m.np = object()
        same = api.PyModule_ExecDef(m, addr)
        try:
            api.PyModule_ExecDef(types.ModuleType(MOD), addr)
            other = None
        except RuntimeError as e:
            other = str(e)
        del sys.modules[MOD]
        import sorvani_kb.datavisualization.plotPrediction as again
        emit({"reimport": [again is m, m.np is sentinel],"type": type(ctypes.cast(addr, ctypes.py_object).value).__name__, "again": init() == addr,
              "own": api.PyModule_GetDef(m) == addr, "name": d.name.decode(), "doc": d.doc, "size": d.size,
              "methods": d.methods, "slots": [[s.slot, bool(s.value)] for s in (Slot * 3).from_address(d.slots)],
              "same": [same, m.np is sentinel], "other": other})
    """)
    if r == "skip":
        pytest.skip("object header layout differs on this build")
    assert (r["type"], r["again"], r["own"], r["name"]) == ("moduledef", True, True, "plotPrediction")
    assert (r["doc"], r["size"], r["methods"]) == (None, 0, None)
    # 3.15 numbers the slots anew: create and exec are 84 and 85 there.
    create, exec_ = (84, 85) if sys.version_info >= (3, 15) else (1, 2)
    assert r["slots"] == [[create, True], [exec_, True], [0, False]]
    assert r["same"] == [0, True] and r["reimport"] == [True, True]  # the exec slot does nothing the second time
    assert r["other"] == "Module 'plotPrediction' has already been imported. Re-initialisation is not supported."


MISMATCH = [
    (OTHER + ".1 (main) [GCC]", OTHER),
    ("4.2.0", "4.2"),
    ("12.345", "12.3"),
    ("3..5", "3."),
    ("x3.13", ""),
    ("3.1", "3.1"),
    (COMPILED + "0.1", (COMPILED + "0")[:4]),
    (COMPILED + "7", (COMPILED + "7")[:4]),
]


def test_version_mismatch_warns_and_fails_under_error_filter():
    r = run(
        """
        saved = sys.version
        out = []
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for v in json.loads(sys.argv[1]):
                sys.version = v
                try:
                    import sorvani_kb.datavisualization.plotPrediction
                    out.append("imported")
                except RuntimeWarning as e:
                    out.append([str(e), own(e), MOD in sys.modules])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            sys.version = sys.argv[2] + ".1 (main) [GCC]"
            import sorvani_kb.datavisualization.plotPrediction as m
        sys.version = saved
        emit({"errors": out, "warned": [[w.category.__name__, str(w.message)] for w in caught],
              "works": m.plotPrediction("a", "b", "c", "d", "e", "f").use_case})
    """,
        json.dumps([v for v, _ in MISMATCH]),
        OTHER,
        libs=True,
    )
    text = f"compile time version {COMPILED} of module '{MODULE}' does not match runtime version %s"
    assert r["errors"] == [[text % shown, [], False] for _, shown in MISMATCH]
    assert r["warned"] == [["RuntimeWarning", text % OTHER]]
    assert r["works"] == "f"


@pytest.mark.parametrize("suffix", [None, "", ".7 (main) [GCC]", "rc1"])
def test_matching_version_is_silent(suffix):
    r = run(
        """
        warnings.simplefilter("error")
        if sys.argv[1] != "null":
            sys.version = json.loads(sys.argv[1])
        import sorvani_kb.datavisualization.plotPrediction as m
        emit(m.__name__)
    """,
        json.dumps(None if suffix is None else COMPILED + suffix),
        libs=True,
    )
    assert r == MODULE


FAILED_IMPORT = """
    name = sys.argv[1]
    saved, sys.modules[name] = sys.modules.get(name), None
    try:
        import sorvani_kb.datavisualization.plotPrediction
        emit("imported"); sys.exit()
    except ImportError as e:
        g = [f for f, _ in traceback.walk_tb(e.__traceback__) if f.f_code.co_filename == SOURCE][0].f_globals
        first = [type(e).__name__, own(e), [k for k in ("np", "pd", "plt", "qqplot", "plotly", "px", "go",
                 "obtain_dataset", "plotPrediction") if k in g], MOD in sys.modules]
    sys.modules.pop(name)
    sys.modules.update({name: saved} if saved else {})
    import sorvani_kb.datavisualization.plotPrediction as m
    emit({"first": first, "again": [m.go.__name__, len(m.obtain_dataset.__code__.co_varnames)]})
"""


@pytest.mark.parametrize(
    "name, line, preload",
    [
        ("numpy", 1, True),
        ("pandas", 2, True),
        ("matplotlib.pyplot", 3, True),
        ("statsmodels.graphics.gofplots", 5, True),
        ("plotly", 7, True),
        ("plotly.express", 8, True),
        ("plotly.graph_objects", 9, True),
        ("numpy", 1, False),
        ("statsmodels", 5, False),
        ("plotly", 7, False),
    ],
)
def test_missing_library_fails_at_its_line_and_a_retry_works(name, line, preload):
    r = run(FAILED_IMPORT, name, libs=preload)
    bound = [alias for alias, at in ALIASES if at < line]
    assert r["first"] == ["ModuleNotFoundError", [[INIT, line]], bound, False]
    assert r["again"] == ["plotly.graph_objects", 7]


def test_missing_qqplot_name_and_submodule_fallback():
    r = run("""
        import types
        for n in ("statsmodels", "statsmodels.graphics", "statsmodels.graphics.gofplots"):
            sys.modules[n] = types.ModuleType(n)
        try:
            import sorvani_kb.datavisualization.plotPrediction
        except ImportError as e:
            first = [type(e).__name__, str(e), own(e), MOD in sys.modules]
        sub = types.ModuleType("statsmodels.graphics.gofplots.qqplot")
        sys.modules[sub.__name__] = sub
        import sorvani_kb.datavisualization.plotPrediction as m
        emit({"first": first, "fallback": m.qqplot is sub})
    """)
    assert r == {"first": ["ImportError", "cannot import name qqplot", [[INIT, 5]], False], "fallback": True}


def test_second_interpreter_is_refused():
    code = PRELUDE + textwrap.dedent("""
        try:
            import _testcapi
        except ImportError:
            emit("skip"); sys.exit()
        import sorvani_kb.datavisualization.plotPrediction as m
        status = _testcapi.run_in_subinterp(
            "try:\\n    import sorvani_kb.datavisualization.plotPrediction\\n    print('SUB imported')\\n"
            "except ImportError as e:\\n    print('SUB', type(e).__name__, e)\\n")
        import pandas as pd
        frame = pd.DataFrame({"id": ["Italia", "Italia/A"], "v": [1, 2]})
        emit([status, m.plotPrediction("a", "b", "c", "d", "e", "f").use_case,
              len(m.obtain_dataset(frame, "Italia", "id")), sys.modules[MOD] is m])
    """)
    proc = run_python(code, env=ENV)
    if 'RESULT "skip"' in proc.stdout:
        pytest.skip("no sub-interpreter support in this build")
    assert [line for line in proc.stdout.splitlines() if line.startswith("SUB")] == [
        "SUB ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    ]
    assert 'RESULT [0, "f", 2, true]' in proc.stdout.splitlines()
