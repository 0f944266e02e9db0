"""Residual diagnostics: per-id residual histograms and the residual QQ plot."""

import gc
import sys
import warnings
from types import SimpleNamespace

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import plotly.graph_objects as go
import pytest
import scipy.stats

import listing
from helpers import as_list, entry, own_entries

DIST, QQ = "plotPrediction.dist_residuals", "plotPrediction.plot_residuals"


@pytest.fixture(autouse=True)
def _close_figures():
    plt.close("all")
    yield
    plt.close("all")


def frames(ids, means, obs, real_ids=None, real_index=None):
    """A prediction frame (id, mean) and a real frame (rid, obs), index 0..n-1 unless given."""
    pred = pd.DataFrame({"id": list(ids), "mean": [float(v) for v in means]})
    real = pd.DataFrame({"rid": list(real_ids or ids), "obs": [float(v) for v in obs]}, index=real_index)
    return pred, real


def spy(fn, calls, name=None):
    """Records each call (name, args, kwargs) and delegates to fn."""

    def wrapper(*args, **kwargs):
        calls.append((name, args, kwargs))
        return fn(*args, **kwargs)

    return wrapper


class Proxy:
    """Stands for a library module: the named functions are spied on, the rest delegated."""

    def __init__(self, target, *names):
        self._target, self.calls = target, []
        for name in names:
            setattr(self, name, spy(getattr(target, name), self.calls, name))

    def __getattr__(self, name):
        return getattr(self._target, name)


def raiser(exc):
    def fail(*args, **kwargs):
        raise exc

    return fail


def check_template(template):
    lay = template.layout
    assert (lay.title.font.family, lay.title.font.size, lay.title.font.color) == ("Rockwell", 24, "gray")
    assert lay.title.x == 0 and lay.font.color == "green"


def hist_x(fig):
    (trace,) = [t for t in fig.data if t.type == "histogram"]
    return np.asarray(as_list(trace.x) or [], dtype=float)


# ---- dist_residuals ----------------------------------------------------------------

MIXED = frames(["B", "A", "B", "C", "A", "C"], [1, 2, 3, 4, 5, 6], [0, 0, 0, 0, 0.5, 0])


@pytest.mark.parametrize(
    "id_pred, expected",
    [
        (None, [[1, 3], [2, 4.5], [4, 6]]),
        ("", [[1, 3], [2, 4.5], [4, 6]]),
        ("A", [[2, 4.5]]),
        ("C", [[4, 6]]),
    ],
)
def test_dist_one_figure_per_id_in_first_appearance_order(plotter, id_pred, expected):
    figs = plotter.dist_residuals(*MIXED, "rid", "obs", id_pred)
    assert type(figs) is list and all(isinstance(f, go.Figure) for f in figs)
    assert [hist_x(f).tolist() for f in figs] == expected
    assert {f.layout.title.text for f in figs} == {"Distribuzione residui"}


def test_dist_integer_ids_and_empty_inputs(plotter):
    pred, real = frames([7, 3, 7, 5], [12, 1, 14, 2], [10, 0, 10, 0])
    assert [hist_x(f).tolist() for f in plotter.dist_residuals(pred, real, "rid", "obs")] == [[2, 4], [1], [2]]
    assert plotter.dist_residuals(pred.iloc[:0], real, "rid", "obs") == []
    (fig,) = plotter.dist_residuals(*MIXED, "rid", "obs", "absent")
    assert all(len(as_list(t.x) or []) == 0 for t in fig.data)


@pytest.mark.parametrize(
    "real_index, expected",
    [
        (None, [2, 3, 4, 5]),  # forecast minus observed, same labels
        ([2, 3, 4, 5], [np.nan, np.nan, 4, 5, np.nan, np.nan]),  # aligned on labels, not positions
        ([3, 2, 1, 0], [2, 4, 6, 8]),  # rows reversed: by position it would be 5s
    ],
)
def test_dist_residual_sign_and_label_alignment(plotter, real_index, expected):
    obs = [7, 8, 9, 10] if real_index == [3, 2, 1, 0] else [10, 10, 10, 10]
    pred, real = frames("AAAA", [12, 13, 14, 15], obs, real_index=real_index)
    (fig,) = plotter.dist_residuals(pred, real, "rid", "obs")
    np.testing.assert_array_equal(hist_x(fig), np.array(expected, dtype=float))


def test_dist_filters_real_frame_on_callers_column(plotter):
    pred, real = frames("AB", [12, 20], [10, 15])
    real["id"], real["who"] = ["B", "A"], ["A", "B"]  # a decoy column named like the plotter's
    figs = plotter.dist_residuals(pred, real.drop(columns="rid"), "who", "obs")
    assert [hist_x(f).tolist() for f in figs] == [[2], [5]]


def test_dist_figure_layout(plotter):
    (fig,) = plotter.dist_residuals(*MIXED, "rid", "obs", "B")
    assert [t.type for t in fig.data] == ["histogram"]
    lay = fig.layout
    assert (lay.title.text, lay.width, lay.height) == ("Distribuzione residui", 800, 500)
    assert lay.xaxis.title.text == "residual" and lay.showlegend is False
    check_template(lay.template)


def test_dist_calls_histogram_and_update_layout(plotter, restore_globals):
    updates = []

    class Recorded(go.Figure):
        def update_layout(self, *args, **kwargs):
            updates.append((args, kwargs))
            return super().update_layout(*args, **kwargs)

    px = restore_globals["px"]
    fake = Proxy(px)
    fake.histogram = spy(lambda *a, **k: Recorded(px.histogram(*a, **k)), fake.calls)
    restore_globals["px"] = fake
    figs = plotter.dist_residuals(*MIXED, "rid", "obs")
    assert len(fake.calls) == 3 and updates == [((), {"xaxis_title": "residual", "showlegend": False})] * 3
    for (_, (res,), kwargs), want in zip(fake.calls, [[1, 3], [2, 4.5], [4, 6]]):
        assert isinstance(res, pd.Series) and res.tolist() == want
        assert list(kwargs) == ["title", "width", "height", "template"]
        assert (kwargs["title"], kwargs["width"], kwargs["height"]) == ("Distribuzione residui", 800, 500)
        assert list(kwargs["template"]) == ["layout"] and isinstance(kwargs["template"]["layout"], go.Layout)
        check_template(go.layout.Template(kwargs["template"]))
    assert fake.calls[0][2]["template"] is not fake.calls[1][2]["template"]
    assert all(type(f) is Recorded for f in figs)


# ---- plot_residuals ----------------------------------------------------------------


def qq_xy(fig, i):
    return np.asarray(as_list(fig.data[i].x), dtype=float), np.asarray(as_list(fig.data[i].y), dtype=float)


def test_qq_figure_layout(plotter):
    fig = plotter.plot_residuals(*frames("kkk", [0, 0, 0], [1, 2, 4]), "rid", "obs", "k")
    assert isinstance(fig, go.Figure) and len(fig.data) == 2
    pts, line = fig.data
    assert (pts.type, pts.mode, pts.marker.color, pts.name) == ("scatter", "markers", "#19d3f3", None)
    assert (line.type, line.mode, line.line.color, line.name) == ("scatter", "lines", "#636efa", None)
    lay = fig.layout
    assert (lay.title.text, lay.width, lay.height, lay.showlegend) == ("Quantile-Quantile Plot", 800, 700, False)
    assert (lay.xaxis.title.text, lay.xaxis.zeroline) == ("Theoritical Quantities", False)
    assert lay.yaxis.title.text == "Sample Quantities"
    check_template(lay.template)


@pytest.mark.parametrize(
    "means, obs, above",
    [
        ([12, 13], [10, 10], False),  # observed minus forecast: -2, -3
        ([0, 0, 0, 0, 0, 0], [-3, -1, 4, 1.5, 5, -9], False),
        ([1, 1, 1, 1], [101, 102, 103, 104], True),  # not centred: points lie above the line
    ],
)
def test_qq_points_are_the_normal_quantiles_of_the_residuals(plotter, means, obs, above):
    pred, real = frames("k" * len(obs), means, obs)
    fig = plotter.plot_residuals(pred, real, "rid", "obs", "k")
    res, n = np.array(obs, dtype=float) - np.array(means, dtype=float), len(obs)
    x, y = qq_xy(fig, 0)
    np.testing.assert_array_equal(y, np.sort(res))
    positions = np.arange(1, n + 1) / (n + 1)
    np.testing.assert_allclose(x, scipy.stats.norm.ppf(positions, scale=np.std(res, ddof=1)), rtol=1e-12)
    lx, ly = qq_xy(fig, 1)
    np.testing.assert_array_equal(lx, ly)
    assert len(lx) == 2 and lx[0] <= min(x.min(), y.min()) and lx[-1] >= max(x.max(), y.max())
    assert (y > x).all() == above


def test_qq_calls_subplot_qqplot_and_figure(plotter, restore_globals):
    calls = []
    restore_globals["plt"] = fake_plt = Proxy(plt, "subplot")
    restore_globals["go"] = fake_go = Proxy(go, "Figure")
    restore_globals["qqplot"] = spy(restore_globals["qqplot"], calls)
    pred, real = frames("kjk", [12, 0, 13], [10, 0, 20], real_index=[0, 1, 2])
    fig = plotter.plot_residuals(pred, real, "rid", "obs", "k")
    assert fake_plt.calls == [("subplot", (), {})] and fake_go.calls == [("Figure", (), {})]
    assert isinstance(fig, go.Figure)
    ((_, (res,), kwargs),) = calls
    pd.testing.assert_series_equal(res, pd.Series([-2.0, 7.0], index=[0, 2]), check_names=False)
    assert list(kwargs) == ["scale", "line", "ax"]
    assert kwargs["scale"] == pytest.approx(np.std([-2.0, 7.0], ddof=1)) and kwargs["line"] == "45"
    assert kwargs["ax"] is plt.gca()


@pytest.mark.parametrize("user_lines", [0, 1, 3])
def test_qq_repeated_calls_show_their_own_residuals(plotter, user_lines):
    series = [[1, 2, 3], [-10, 0, 5, 20], [7, -7, 0.5, 2, 9]]
    args = [frames("k" * len(s), [0] * len(s), s) + ("rid", "obs", "k") for s in series]
    fresh = [qq_xy(plt.close("all") or plotter.plot_residuals(*a), 0) for a in args]  # each on a new figure
    plt.close("all")
    for i in range(user_lines):
        plt.plot([0, 1], [i, i])
    for n, (a, (fx, fy)) in enumerate(zip(args, fresh), start=1):
        fig = plotter.plot_residuals(*a)
        lines = plt.gca().lines
        assert len(lines) == user_lines + 2 * n and len(plt.get_fignums()) == 1
        np.testing.assert_array_equal(np.stack(qq_xy(fig, 0)), np.stack((fx, fy)))
        np.testing.assert_array_equal(np.stack(qq_xy(fig, 1)), np.stack(lines[-1].get_data()))


@pytest.mark.parametrize(
    "real_ids, id_pred, length",
    [
        ("jjjj", "k", 4),  # id only in the prediction frame: every label unmatched
        ("kkkk", "z", 0),  # id in neither frame
        ("kkkk", None, 0),  # None compared as it comes: nothing matches
    ],
)
def test_qq_unmatched_ids_give_missing_residuals(plotter, restore_globals, real_ids, id_pred, length):
    calls = []
    restore_globals["qqplot"] = spy(restore_globals["qqplot"], calls)
    pred, real = frames("kkkk", [1, 2, 3, 4], [1, 1, 1, 1], real_ids=real_ids)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=RuntimeWarning)
        try:
            fig = plotter.plot_residuals(pred, real, "rid", "obs", id_pred)
        except (ValueError, FloatingPointError, IndexError) as exc:
            assert own_entries(exc) == [entry(QQ, 338)]
        else:
            assert isinstance(fig, go.Figure) and len(fig.data) == 2
            assert len(as_list(fig.data[0].y)) == length
    ((_, (res,), _),) = calls
    assert len(res) == length and res.isna().all()


# ---- argument checks and failures, both methods -------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize("method", ["dist_residuals", "plot_residuals"])
@pytest.mark.parametrize(
    "bad, got",
    [
        ({"id_pred": 3}, "int"),
        ({"id_pred": Text("A")}, "Text"),
        ({"target": None}, "NoneType"),
        ({"id_pred_real": None}, "NoneType"),
        ({"target": 1.5}, "float"),
    ],
)
def test_boundary_type_tests(plotter, method, bad, got):
    kwargs = dict(df_pred=None, df_real=None, id_pred_real="rid", target="obs", id_pred="A")
    kwargs.update(bad)
    with pytest.raises(TypeError) as info:
        getattr(plotter, method)(**kwargs)
    assert str(info.value) == f"Argument '{next(iter(bad))}' has incorrect type (expected str, got {got})"
    assert own_entries(info.value) == []


@pytest.mark.parametrize(
    "method, first", [(m, listing.CALLABLES[m].first_line) for m in ("dist_residuals", "plot_residuals")]
)
@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        (3, {}, "at least 5 positional arguments (4 given)"),
        (6, {}, "at most 6 positional arguments (7 given)"),
        (2, {"target": "obs"}, "at least 5 positional arguments (3 given)"),
    ],
)
def test_argument_count_messages(plotter, method, first, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(plotter, method)(*[*MIXED, "rid", "obs", "A", "x"][:args], **kwargs)
    assert str(info.value) == f"{method}() takes {text}"
    assert own_entries(info.value) == [entry(f"plotPrediction.{method}", first)]


@pytest.mark.parametrize(
    "method, change, exc, line",
    [
        (DIST, {"pred": "mean"}, KeyError, 295),
        (DIST, {"id_pred_real": "zz"}, KeyError, 293),
        (DIST, {"del": "px"}, NameError, 297),
        (DIST, {"fake": ("px", lambda boom: SimpleNamespace(histogram=raiser(boom)))}, RuntimeError, 297),
        (QQ, {"pred": "id"}, KeyError, 333),
        (QQ, {"id_pred_real": "zz"}, KeyError, 334),
        (QQ, {"target": "zz"}, KeyError, 335),
        (QQ, {"del": "plt"}, NameError, 337),
        (QQ, {"fake": ("qqplot", raiser)}, RuntimeError, 338),
        (QQ, {"del": "go"}, NameError, 340),
    ],
)
def test_failures_pass_through_with_one_entry(plotter, restore_globals, method, change, exc, line):
    (pred, real), boom = MIXED, RuntimeError("library failure")
    pred = pred.drop(columns=change.get("pred", []))
    if "del" in change:
        del restore_globals[change["del"]]
    if "fake" in change:
        name, make = change["fake"]
        restore_globals[name] = make(boom)
    args = [pred, real, change.get("id_pred_real", "rid"), change.get("target", "obs"), "A"]
    gc.collect()
    before = [sys.getrefcount(o) for o in (pred, real, plotter)]
    with pytest.raises(exc) as info:
        getattr(plotter, method.split(".")[1])(*args)
    if exc is RuntimeError:
        assert info.value is boom
    if exc is NameError:
        assert str(info.value) == f"name '{change['del']}' is not defined"
    assert own_entries(info.value) == [entry(method, line)]
    del info
    gc.collect()
    assert [sys.getrefcount(o) for o in (pred, real, plotter)] == before
