"""One interpreter per process, and clean start-up failures; each case in a fresh process."""

import importlib.util
import os
import sys

import pytest

from helpers import MODULE, hierarchy_frames, run_python

CHANGE = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
OWN_GIL = f"ImportError: module {MODULE} does not support loading in subinterpreters"

# Runs inside the sub-interpreter: two attempts, their outcomes appended to the file OUT.
SUB_CODE = """
import sys
for attempt in range(2):
    try:
        import sorvani_kb.datavisualization.plotPrediction
        outcome = "imported"
    except ImportError as exc:
        outcome = type(exc).__name__ + ": " + str(exc)
    assert "sorvani_kb.datavisualization.plotPrediction" not in sys.modules
    with open(OUT, "a") as out:
        out.write(outcome + "\\n")
"""


def has(name):
    return importlib.util.find_spec(name) is not None


LAUNCHERS = {  # name: (module it needs, code running `code` in a sub-interpreter, the outcome)
    "testcapi": ("_testcapi", "assert _testcapi.run_in_subinterp(code) == 0", CHANGE),
    "legacy": (
        "_interpreters",
        "i = _interpreters.create('legacy'); _interpreters.exec(i, code); _interpreters.destroy(i)",
        CHANGE,
    ),
    "own-gil": (
        "_interpreters",
        "i = _interpreters.create('isolated'); _interpreters.exec(i, code); _interpreters.destroy(i)",
        OWN_GIL,
    ),
    "xxsubinterpreters": (
        "_xxsubinterpreters",
        "i = _xxsubinterpreters.create(); _xxsubinterpreters.run_string(i, code); _xxsubinterpreters.destroy(i)",
        CHANGE,
    ),
}
AVAILABLE = {
    name: has(need) and (name != "xxsubinterpreters" or sys.version_info < (3, 12))  # own-GIL from 3.12 on
    for name, (need, _, _) in LAUNCHERS.items()
}


@pytest.mark.parametrize(
    "launcher",
    [
        pytest.param(name, marks=pytest.mark.skipif(not available, reason=f"no {name} sub-interpreters"))
        for name, available in AVAILABLE.items()
    ],
)
def test_subinterpreter_refused(launcher):
    run_python(
        "import sys, pytest; sys.exit(pytest.main(sys.argv[1:]))",
        "-q",
        "-p",
        "no:cacheprovider",
        f"{__file__}::test_in_subinterpreter",
        env={"LAUNCHER": launcher},
    )


if os.environ.get("LAUNCHER"):  # only in the fresh interpreter of the test above

    def test_in_subinterpreter(mod, tmp_path):
        """The module, imported here first, is refused by a sub-interpreter and keeps working here."""
        need, launch, message = LAUNCHERS[os.environ["LAUNCHER"]]
        out = tmp_path / "outcomes"
        exec(f"import {need}\n{launch}", {"code": f"OUT = {str(out)!r}\n" + SUB_CODE})
        assert out.read_text().splitlines() == [message] * 2
        assert importlib.import_module(MODULE) is mod
        plotter = mod.plotPrediction("id", "date", "mean", "lo", "hi", "uc")
        assert [t.name for t in plotter.plot_hierarchical(hierarchy_frames()[0], "Italia").data] == [
            "Italia",
            "Italia/A",
        ]


@pytest.mark.parametrize(
    "blocked, line, preloaded",
    [
        ("pandas", 2, ""),
        ("statsmodels.graphics.gofplots", 5, ""),
        ("plotly.express", 8, ""),
        ("plotly.graph_objects", 9, "plotly.express"),
    ],
)
def test_failed_start_up_leaves_nothing_behind(blocked, line, preloaded):
    run_python(
        """
        import importlib, sys
        sys.path.insert(0, sys.argv[1])
        from helpers import MODULE, hierarchy_frames, own_entries
        blocked, line = sys.argv[2], int(sys.argv[3])
        for name in sys.argv[4:]:
            importlib.import_module(name)
        sys.modules[blocked] = None
        try:
            importlib.import_module(MODULE)
            raise AssertionError("start-up did not fail")
        except ImportError as exc:
            assert ("init " + MODULE, line) in own_entries(exc), own_entries(exc)
        assert MODULE not in sys.modules
        assert not hasattr(sys.modules["sorvani_kb.datavisualization"], "plotPrediction")
        del sys.modules[blocked]
        mod = importlib.import_module(MODULE)
        for name in ["np", "pd", "plt", "qqplot", "plotly", "px", "go", "obtain_dataset", "plotPrediction"]:
            assert name in vars(mod), name
        plotter = mod.plotPrediction("id", "date", "mean", "lo", "hi", "uc")
        assert len(plotter.plot_sum_hierarchy(hierarchy_frames()[0], "Italia").data) == 2
        del sys.modules[MODULE]
        assert importlib.import_module(MODULE) is mod
        print("ok")
        """,
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
        blocked,
        str(line),
        *preloaded.split(),
    )
