"""Module globals are looked up at each use: rebinding, deleting and builtins fallback."""

import builtins

import matplotlib.pyplot as pyplot
import pytest

from helpers import entry, hierarchy_frames, own_entries


class Recorder:
    """Stands in for a module or a function of the namespace; records each use and delegates."""

    def __init__(self, real):
        self.real, self.seen = real, []

    def __getattr__(self, name):
        self.seen.append(name)
        return getattr(self.real, name)

    def __call__(self, *args, **kwargs):
        self.seen.append(("call", args, kwargs))
        return self.real(*args, **kwargs)


def calls(mod, plotter):
    """Callers keyed by a short name; each builds its own frames so every call starts alike."""

    def frames():
        return hierarchy_frames(ids=("Italia", "Italia/A", "Italia/B"))

    def residuals():
        try:
            return plotter.plot_residuals(*frames(), "rid", "obs", "Italia")
        finally:
            pyplot.close("all")

    return {
        "split": lambda: mod.obtain_dataset(frames()[0], "Italia/A", "id"),
        "pred": lambda: plotter.plot_pred(frames()[0], "Italia"),
        "pred_real": lambda: plotter.plot_pred(frames()[0], "Italia", frames()[1], "rid", "rdate", "obs"),
        "pred_band": lambda: plotter.plot_pred(frames()[0], "Italia", confidence_interval=True),
        "hier": lambda: plotter.plot_hierarchical(frames()[0], "Italia"),
        "sum": lambda: plotter.plot_sum_hierarchy(frames()[0], "Italia"),
        "dist": lambda: plotter.dist_residuals(*frames(), "rid", "obs", "Italia"),
        "resid": residuals,
    }


REBOUND = [
    ("pd", "sum", "concat"),
    ("px", "pred", "line"),
    ("px", "dist", "histogram"),
    ("go", "pred", "Layout"),
    ("go", "pred_band", "Scatter"),
    ("go", "hier", "Figure"),
    ("go", "sum", "Scatter"),
    ("go", "dist", "Layout"),
    ("go", "resid", "Figure"),
    ("plt", "resid", "subplot"),
    ("qqplot", "resid", "call"),
    ("obtain_dataset", "hier", "call"),
    ("obtain_dataset", "sum", "call"),
]


def uses(recorder):
    return [u if isinstance(u, str) else u[0] for u in recorder.seen]


@pytest.mark.parametrize("name, caller, used", REBOUND)
def test_rebinding_is_seen_by_the_next_call_and_undone_by_the_one_after(
    mod, plotter, restore_globals, name, caller, used
):
    run = calls(mod, plotter)[caller]
    run()  # a first call may cache the lookup
    recorder = restore_globals[name] = Recorder(restore_globals[name])
    run()
    assert used in uses(recorder)
    restore_globals[name] = recorder.real
    count = len(recorder.seen)
    run()
    assert len(recorder.seen) == count


@pytest.mark.parametrize("caller", ["hier", "sum"])
def test_hierarchy_figures_hand_their_own_arguments_to_obtain_dataset(mod, plotter, restore_globals, caller):
    frame, _ = hierarchy_frames(ids=("Italia", "Italia/A", "Italia/B"))
    recorder = restore_globals["obtain_dataset"] = Recorder(mod.obtain_dataset)
    getattr(plotter, {"hier": "plot_hierarchical", "sum": "plot_sum_hierarchy"}[caller])(frame, "Italia")
    ((_, args, kwargs),) = recorder.seen
    assert kwargs == {} and len(args) == 3
    assert args[1:] == ("Italia", plotter.id_pred)
    # A shallow copy is relabelled, the caller's frame keeps its index.
    assert args[0] is not frame and list(args[0].index) == [0, 1, 2, 3] * 3
    assert list(frame.index) == list(range(12))


DELETED = [
    ("plot_pred", "px", "pred", 104),
    ("plot_pred", "go", "pred", 114),
    ("plot_pred", "go", "pred_real", 94),
    ("plot_hierarchical", "obtain_dataset", "hier", 173),
    ("plot_hierarchical", "go", "hier", 175),
    ("plot_sum_hierarchy", "obtain_dataset", "sum", 223),
    ("plot_sum_hierarchy", "pd", "sum", 228),
    ("plot_sum_hierarchy", "go", "sum", 230),
    ("dist_residuals", "px", "dist", 297),
    ("dist_residuals", "go", "dist", 302),
    ("plot_residuals", "plt", "resid", 337),
    ("plot_residuals", "qqplot", "resid", 338),
    ("plot_residuals", "go", "resid", 340),
]


@pytest.mark.parametrize("function, name, caller, line", DELETED)
def test_deleted_global_raises_name_error_until_restored(mod, plotter, restore_globals, function, name, caller, line):
    run = calls(mod, plotter)[caller]
    run()
    real = restore_globals.pop(name)
    with pytest.raises(NameError) as ei:
        run()
    assert str(ei.value) == f"name '{name}' is not defined"
    qualname = function if function == "obtain_dataset" else f"plotPrediction.{function}"
    assert own_entries(ei.value) == [entry(qualname, line)]
    restore_globals[name] = real
    run()


@pytest.mark.parametrize(
    "name, caller, used",
    [("px", "pred", "line"), ("go", "sum", "Scatter"), ("obtain_dataset", "hier", "call"), ("qqplot", "resid", "call")],
)
def test_missing_global_falls_back_to_builtins(mod, plotter, restore_globals, name, caller, used):
    run = calls(mod, plotter)[caller]
    run()
    recorder = Recorder(restore_globals.pop(name))
    setattr(builtins, name, recorder)
    try:
        run()
        assert used in uses(recorder)
    finally:
        delattr(builtins, name)
    restore_globals[name] = recorder.real
    count = len(recorder.seen)
    run()
    assert len(recorder.seen) == count
