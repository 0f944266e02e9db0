"""Errors raised inside the bodies: passed on unchanged, with one traceback entry per module function."""

import traceback

import pandas as pd
import pytest

from helpers import SOURCE, entry, hierarchy_frames, own_entries


class Boom(Exception):
    pass


class Raiser:
    """Raises the one exception it holds on any attribute or item access."""

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error

    def __getitem__(self, key):
        raise self.error


class RaisingFrame(pd.DataFrame):
    error = None

    def __getitem__(self, key):
        raise RaisingFrame.error


OD = ("obtain_dataset", 28)
PP, DR, PR = "plotPrediction.plot_pred", "plotPrediction.dist_residuals", "plotPrediction.plot_residuals"
# (case, call given (module, plotter, raiser, prediction frame, real frame), global replaced by the raiser, entry)
CASES = [
    ("obtain_dataset", lambda m, p, r, f, x: m.obtain_dataset(r, "Italia", "id"), None, OD),
    ("obtain_dataset-frame", lambda m, p, r, f, x: m.obtain_dataset(RaisingFrame(f), "Italia", "id"), None, OD),
    ("plot_pred-ids", lambda m, p, r, f, x: p.plot_pred(r), None, (PP, 84)),
    ("plot_pred-one", lambda m, p, r, f, x: p.plot_pred(r, "Italia"), None, (PP, 90)),
    ("plot_pred-real", lambda m, p, r, f, x: p.plot_pred(f, "Italia", r, "rid", "rdate", "obs"), None, (PP, 93)),
    ("plot_pred-px", lambda m, p, r, f, x: p.plot_pred(f, "Italia"), "px", (PP, 104)),
    (
        "plot_hierarchical-go",
        lambda m, p, r, f, x: p.plot_hierarchical(f, "Italia"),
        "go",
        ("plotPrediction.plot_hierarchical", 175),
    ),
    (
        "plot_sum_hierarchy-pd",
        lambda m, p, r, f, x: p.plot_sum_hierarchy(f, "Italia"),
        "pd",
        ("plotPrediction.plot_sum_hierarchy", 228),
    ),
    ("dist_residuals-ids", lambda m, p, r, f, x: p.dist_residuals(r, x, "rid", "obs"), None, (DR, 287)),
    ("dist_residuals-real", lambda m, p, r, f, x: p.dist_residuals(f, r, "rid", "obs", "Italia"), None, (DR, 293)),
    ("plot_residuals", lambda m, p, r, f, x: p.plot_residuals(r, x, "rid", "obs", "Italia"), None, (PR, 333)),
    ("plot_residuals-real", lambda m, p, r, f, x: p.plot_residuals(f, r, "rid", "obs", "Italia"), None, (PR, 334)),
]


@pytest.mark.parametrize("case, call, patched, expected", CASES, ids=[c[0] for c in CASES])
def test_error_passes_unchanged_with_one_entry(mod, plotter, restore_globals, case, call, patched, expected):
    error = RaisingFrame.error = Boom(case)
    raiser = Raiser(error)
    frame, real = hierarchy_frames(ids=("Italia", "Italia/A", "Italia/B"))
    if patched:
        restore_globals[patched] = raiser
    with pytest.raises(Boom) as ei:
        call(mod, plotter, raiser, frame, real)
    assert ei.value is error
    name, line = entry(*expected)
    assert own_entries(error) == [(name, line)]
    # caller first, then the module's entry, then the code that raised
    names = [f.name for f in traceback.extract_tb(error.__traceback__)]
    assert names[-2:] in ([name, "__getattr__"], [name, "__getitem__"])
    frames = [f for f, _ in traceback.walk_tb(error.__traceback__) if f.f_code.co_filename == SOURCE]
    assert len(frames) == 1 and frames[0].f_globals is vars(mod)
    text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
    assert f'File "{SOURCE}", line {line}, in {name}\n' in text


def test_library_error_passes_unchanged(mod):
    frame, _ = hierarchy_frames()
    with pytest.raises(KeyError) as ei:
        mod.obtain_dataset(frame, "Italia", "nope")
    assert ei.value.args == ("nope",)
    assert own_entries(ei.value) == [entry(*OD)]
    assert list(frame.index) == list(range(12))


@pytest.mark.parametrize("method, line", [("plot_hierarchical", 173), ("plot_sum_hierarchy", 223)])
def test_error_inside_obtain_dataset_adds_both_entries(plotter, method, line):
    frame, _ = hierarchy_frames()
    with pytest.raises(KeyError) as ei:
        getattr(plotter, method)(frame.rename(columns={"id": "other"}), "Italia")
    assert ei.value.args == ("id",)
    assert own_entries(ei.value) == [entry(f"plotPrediction.{method}", line), entry(*OD)]
