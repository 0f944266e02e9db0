"""Repeated calls, successful or failing, do not make memory grow."""

import gc
import tracemalloc

import matplotlib.pyplot as plt
import numpy as np
import pytest

from helpers import hierarchy_frames
from sorvani_kb.datavisualization import plotPrediction as M

PLOTTER = M.plotPrediction("id", "date", "mean", "lo", "hi", "uc")
PRED, REAL = hierarchy_frames(periods=2)
M.obtain_dataset(PRED, "Italia", "id")  # relabel once, so later calls see the same frame


def growth(call, per_batch, batches=3):
    """The smallest gain of traced bytes from one batch of calls to the next, after a warm-up
    batch; pyplot figures are closed and garbage collected between batches. A leak shows in
    every batch, a cache that fills once in only one."""

    def batch():
        for _ in range(per_batch):
            try:
                call()
            except Exception:  # noqa: BLE001
                pass
        plt.close("all")
        gc.collect()

    batch()
    tracemalloc.start()
    try:
        sizes = []
        for _ in range(batches):
            batch()
            sizes.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    return min(b - a for a, b in zip(sizes, sizes[1:]))


def obtain_on_a_copy():
    # A new frame each time: pandas keeps a list of weak references per frame that only shrinks now and then.
    return M.obtain_dataset(PRED.copy(), "Italia", "id")


CHEAP = {
    "obtain_dataset": (obtain_on_a_copy, 5000, None),
    "constructor": (lambda: M.plotPrediction("id", "date", "mean", "lo", "hi", "uc"), 20000, None),
    "binding error": (lambda: M.obtain_dataset(PRED, "Italia", "id", zz=1), 20000, TypeError),  # type: ignore[call-arg]
    "count error": (lambda: PLOTTER.plot_pred(PRED, *range(9)), 20000, TypeError),
    "type test": (lambda: PLOTTER.dist_residuals(PRED, REAL, "rid", 1), 20000, TypeError),  # type: ignore[arg-type]
    "body error": (lambda: M.obtain_dataset(PRED, "Italia", "nope"), 5000, KeyError),
    "missing global": (lambda: PLOTTER.plot_hierarchical(PRED, "Italia"), 10000, NameError),
}


@pytest.mark.parametrize("name", CHEAP)
def test_cheap_calls_do_not_grow(restore_globals, name):
    call, count, error = CHEAP[name]
    if name == "missing global":
        del restore_globals["obtain_dataset"]
    try:
        call()
    except Exception as exc:  # noqa: BLE001
        assert error is not None and isinstance(exc, error)
    else:
        assert error is None
    # A leak of one small object per call would be at least 16 bytes times `count` / 4.
    assert growth(call, count // 4) < 8 * 1024


FIGURES = {
    "plot_pred": lambda: PLOTTER.plot_pred(PRED, None, REAL, "rid", "rdate", "obs", True, "2024-01-07"),
    "plot_hierarchical": lambda: PLOTTER.plot_hierarchical(PRED, "Italia"),
    "plot_sum_hierarchy": lambda: PLOTTER.plot_sum_hierarchy(PRED, "Italia"),
    "dist_residuals": lambda: PLOTTER.dist_residuals(PRED, REAL, "rid", "obs"),
    "plot_residuals": lambda: PLOTTER.plot_residuals(PRED, REAL, "rid", "obs", "Italia/A"),
    "plot_pred failing once its figure is built": lambda: PLOTTER.plot_pred(
        PRED,
        "Italia",
        None,
        None,
        None,
        None,
        np.ones(2),  # type: ignore[arg-type]
    ),
}


@pytest.mark.parametrize("name", FIGURES)
def test_figure_methods_do_not_grow(name):
    # A figure kept alive costs 50 to 150 kilobytes, so four of them far more than this.
    assert growth(FIGURES[name], 4) < 120 * 1024
