"""Reference counts of arguments and of the plotter are unchanged by a call, whatever its outcome."""

import gc
import sys

import matplotlib.pyplot as plt
import pytest

from helpers import hierarchy_frames
from sorvani_kb.datavisualization import plotPrediction as M


def fresh(text):
    """A new str object equal to `text`, so that its count belongs to this test alone."""
    return "".join(list(text))


class Text(str):
    pass


class FailingSetter(M.plotPrediction):
    def __setattr__(self, name, value):
        if name == "pi_lower":
            raise LookupError(name)
        super().__setattr__(name, value)


COLUMNS = ("id", "date", "mean", "lo", "hi", "uc")

# callable: (good arguments, an argument list that fails inside the body, global it uses)
TABLE = {
    "obtain_dataset": (
        lambda p, r: [p, fresh("Italia"), fresh("id")],
        lambda p, r: [p, fresh("Italia"), fresh("nope")],
        None,
    ),
    "constructor": (lambda p, r: [fresh(c) for c in COLUMNS], None, None),
    "plot_pred": (
        lambda p, r: [p, None, r, fresh("rid"), fresh("rdate"), fresh("obs"), True, fresh("2024-01-07")],
        lambda p, r: [p, None, r, fresh("rid"), fresh("nope"), fresh("obs")],
        "px",
    ),
    "plot_hierarchical": (
        lambda p, r: [p, fresh("Italia")],
        lambda p, r: [p.drop(columns="mean"), fresh("Italia")],
        "go",
    ),
    "plot_sum_hierarchy": (
        lambda p, r: [p, fresh("Italia")],
        lambda p, r: [p.drop(columns="mean"), fresh("Italia")],
        "pd",
    ),
    "dist_residuals": (
        lambda p, r: [p, r, fresh("rid"), fresh("obs")],
        lambda p, r: [p, r, fresh("rid"), fresh("nope")],
        "px",
    ),
    "plot_residuals": (
        lambda p, r: [p, r, fresh("rid"), fresh("obs"), fresh("Italia/A")],
        lambda p, r: [p, r, fresh("nope"), fresh("obs"), fresh("Italia/A")],
        "qqplot",
    ),
}
# The first parameter that must be exactly str, as a position in the good argument list.
TYPE_TESTED = {
    "obtain_dataset": 1,
    "constructor": 0,
    "plot_pred": 1,
    "plot_hierarchical": 1,
    "plot_sum_hierarchy": 1,
    "dist_residuals": 2,
    "plot_residuals": 2,
}

CASES: list = [(name, "ok", None) for name in TABLE]
CASES += [(name, "binding", TypeError) for name in TABLE]
CASES += [(name, "type test", TypeError) for name in TABLE]
CASES += [(name, "body", KeyError) for name, row in TABLE.items() if row[1]]
CASES += [("constructor", "body", LookupError)]
CASES += [(name, "missing global", NameError) for name, row in TABLE.items() if row[2]]


@pytest.mark.parametrize("name, failure, error", CASES, ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_counts_unchanged(restore_globals, name, failure, error):
    plotter = M.plotPrediction(*[fresh(c) for c in COLUMNS])
    pred, real = hierarchy_frames(periods=3)
    good, bad, global_name = TABLE[name]
    args = (bad if failure == "body" and bad else good)(pred, real)
    kwargs = {}
    if failure == "binding":
        kwargs["zz"] = object()
    elif failure == "type test":
        args[TYPE_TESTED[name]] = Text("id")
    elif failure == "missing global":
        del restore_globals[global_name]
    if name == "obtain_dataset":
        func = M.obtain_dataset
    elif name == "constructor":
        func = FailingSetter if failure == "body" else M.plotPrediction
    else:
        func = None

    def call():
        target = func or getattr(plotter, name)
        try:
            target(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            return type(exc)
        finally:
            plt.close("all")

    assert call() is error  # also warms the libraries' caches
    watched = [plotter, *vars(plotter).values(), *args, *kwargs.values()]
    watched = [o for o in watched if o is not None and o is not True]  # singletons have shared counts
    if func is not None and name == "constructor":
        watched.append(func)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    assert call() is error
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before
