"""plot_pred: one forecast figure per prediction id."""

import gc
import sys

import numpy as np
import pandas as pd
import plotly.express
import plotly.graph_objects
import pytest

from helpers import as_list, entry, hierarchy_frames, own_entries

BAND_FILL = "rgba(124, 252, 0, 0.2)"
CLEAR = "rgba(0,0,0,0)"
REAL = ("rid", "rdate", "obs")


def shuffled():
    """Prediction and real frames with interleaved ids and non-default, differing labels."""
    df, real = hierarchy_frames()
    df = df.iloc[[5, 0, 9, 1, 6, 10, 2, 11, 3, 7, 8, 4]].set_axis(range(50, 62))
    real = real.iloc[::-1].set_axis(list("abcdefghijkl"))
    return df, real


def same(values, expected):
    """Trace data equal to a column, for numbers and dates alike."""
    expected = pd.Series(expected)
    if pd.api.types.is_datetime64_any_dtype(expected):
        assert list(pd.to_datetime(np.asarray(values))) == list(expected)
    else:
        assert as_list(values) == expected.tolist()


def fails(call, exc, line):
    with pytest.raises(exc) as info:
        call()
    assert own_entries(info.value) == [entry("plotPrediction.plot_pred", line)]
    return info.value


def refcounts(*objs):
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("band", [False, None, 0, "", True, 1, "yes"])
@pytest.mark.parametrize("with_real", [False, True])
def test_traces(plotter, band, with_real):
    df, real = shuffled()
    before = (df.copy(), real.copy())
    extra = (real, *REAL) if with_real else ()
    figs = plotter.plot_pred(df, None, *extra, confidence_interval=band)
    order = list(dict.fromkeys(df["id"]))
    assert [f.layout.title.text for f in figs] == [f"Predizione uc - {i}" for i in order]
    for fig, ident in zip(figs, order):
        sel, rsel = df[df["id"] == ident], real[real["rid"] == ident]
        traces = fig.data
        assert len(traces) == 1 + 2 * bool(band) + with_real
        assert all(t.type == "scatter" and t.mode == "lines" for t in traces)
        line = traces[0]
        assert (line.name, line.showlegend, line.line.color) == ("predict value", True, "green")
        same(line.x, sel["date"])
        same(line.y, sel["mean"])
        if band:
            lower, upper = traces[1:3]
            assert (lower.name, lower.showlegend, lower.line.color, lower.fill) == (None, False, CLEAR, None)
            assert (upper.name, upper.showlegend, upper.line.color) == ("95% confidence interval", True, CLEAR)
            assert (upper.fill, upper.fillcolor) == ("tonexty", BAND_FILL)
            for trace, column in ((lower, "lo"), (upper, "hi")):
                same(trace.x, sel["date"])
                same(trace.y, sel[column])
        if with_real:
            past = traces[-1]
            assert (past.name, past.showlegend, past.marker.color) == ("past value (true)", True, "blue")
            same(past.x, rsel["rdate"])
            same(past.y, rsel["obs"])
    pd.testing.assert_frame_equal(df, before[0])
    pd.testing.assert_frame_equal(real, before[1])


@pytest.mark.parametrize(
    "use_case, ids, title",
    [("uc", None, "Predizione uc - Italia/A"), ("7", (7, 8), "Predizione 7 - 7"), ("A", (7.5,), "Predizione A - 7.5")],
)
def test_layout(mod, use_case, ids, title):
    df, _ = hierarchy_frames(ids=ids) if ids else hierarchy_frames()
    plotter = mod.plotPrediction("id", "date", "mean", "lo", "hi", use_case)
    figs = plotter.plot_pred(df, None if ids else "Italia/A")
    assert len(figs) == (len(ids) if ids else 1)
    lay = figs[0].layout
    assert (lay.width, lay.height, lay.title.text) == (800, 500, title)
    assert (lay.yaxis.title.text, lay.xaxis.title.text) == (f"numero {use_case}", "")
    tl = lay.template.layout
    assert (tl.title.font.family, tl.title.font.size, tl.title.font.color) == ("Rockwell", 24, "gray")
    assert (tl.title.x, tl.font.color) == (0, "green")
    assert (lay.legend.yanchor, lay.legend.y, lay.legend.xanchor, lay.legend.x) == ("top", 0.99, "left", 0.01)
    assert lay.shapes == ()


@pytest.mark.parametrize("id_pred, count", [(None, 3), ("", 3), ("Italia/A/x", 1)])
@pytest.mark.parametrize("vline", [None, "", "2024-01-14"])
def test_ids_and_vertical_line(plotter, id_pred, count, vline):
    df, _ = hierarchy_frames()
    figs = plotter.plot_pred(df, id_pred, vertical_line=vline)
    assert len(figs) == count
    for fig in figs:
        if vline:
            (shape,) = fig.layout.shapes
            assert (shape.type, shape.x0, shape.x1) == ("line", vline, vline)
            assert (shape.line.color, shape.line.dash) == ("red", "dash")
        else:
            assert fig.layout.shapes == ()


def test_empty_frame_gives_no_figure(plotter):
    assert plotter.plot_pred(hierarchy_frames()[0].iloc[:0]) == []


@pytest.mark.parametrize(
    "ids, id_pred, titles, points",
    [
        (("Italia", "Italia/A"), "Italia/B", ["Italia/B"], [0]),
        ((7, 8), "7", ["7"], [0]),  # a text never equals a number
        (("Italia", None, "Italia/A/x"), None, ["Italia", "nan", "Italia/A/x"], [4, 0, 4]),
    ],
    ids=["absent", "text vs number", "missing id"],
)
def test_ids_without_rows(plotter, ids, id_pred, titles, points):
    df, _ = hierarchy_frames(ids=ids)
    df.loc[df["id"].isna(), "id"] = np.nan
    try:
        figs = plotter.plot_pred(df, id_pred)
    except IndexError as exc:  # plotly versions that draw no trace for an empty selection
        assert own_entries(exc) == [entry("plotPrediction.plot_pred", 122)]
        return
    assert [f.layout.title.text for f in figs] == [f"Predizione uc - {t}" for t in titles]
    assert [len(f.data) for f in figs] == [1] * len(titles)
    assert [len(f.data[0].x) for f in figs] == points


class Undecided:
    def __bool__(self):
        raise RuntimeError("no truth value")


def reading(mod, names):
    """A plotter whose `data` attribute yields the given column names, one per read."""

    class Plotter(mod.plotPrediction):
        data = property(lambda self: self.names.pop(0), lambda self, value: None)

    plotter = Plotter("id", "date", "mean", "lo", "hi", "uc")
    plotter.names = list(names)
    return plotter


@pytest.mark.parametrize(
    "columns, args, exc, line",
    [
        (("nope", "date", "mean", "lo", "hi"), (), KeyError, 84),
        (("nope", "date", "mean", "lo", "hi"), ("Italia",), KeyError, 90),
        (("id", "date", "mean", "lo", "hi"), ("Italia", "real", None, "rdate", "obs"), KeyError, 93),
        (("id", "date", "mean", "lo", "hi"), ("Italia", "real", "rid", "nope", "obs"), KeyError, 95),
        (("id", "date", "mean", "lo", "hi"), ("Italia", "real", "rid", "rdate", "nope"), KeyError, 96),
        (("id", "nope", "mean", "lo", "hi"), ("Italia",), ValueError, 104),
        (("id", "date", "mean", "nope", "hi"), ("Italia", None, None, None, None, True), KeyError, 130),
        (("id", "date", "mean", "lo", "nope"), ("Italia", None, None, None, None, True), KeyError, 137),
        (("id", "date", "mean", "lo", "hi"), ("Italia", None, None, None, None, Undecided()), RuntimeError, 125),
    ],
)
def test_failures(mod, columns, args, exc, line):
    df, real = hierarchy_frames()
    plotter = mod.plotPrediction(*columns, "uc")
    args = tuple(real if a == "real" else a for a in args)
    for _ in range(2):  # warm up library caches
        fails(lambda: plotter.plot_pred(df, *args), exc, line)
    counts = refcounts(df, real, plotter)
    for _ in range(3):
        fails(lambda: plotter.plot_pred(df, *args), exc, line)
    assert refcounts(df, real, plotter) == counts


@pytest.mark.parametrize("reads, line", [(["date", "date", "nope"], 129), (["date", "date", "date", "nope"], 136)])
def test_band_reads_the_date_column_per_trace(mod, reads, line):
    fails(
        lambda: reading(mod, reads).plot_pred(hierarchy_frames()[0], "Italia", confidence_interval=True), KeyError, line
    )


class Recorder:
    """Stands for a library module: records the calls of the named functions and delegates."""

    def __init__(self, target, names):
        self.target, self.names, self.calls = target, names, []

    def __getattr__(self, name):
        real = getattr(self.target, name)
        if name not in self.names:
            return real

        def record(*args, **kwargs):
            result = real(*args, **kwargs)
            self.calls.append((name, args, kwargs, result))
            return result

        return record


def test_library_calls(plotter, restore_globals):
    px = restore_globals["px"] = Recorder(plotly.express, {"line"})
    go = restore_globals["go"] = Recorder(plotly.graph_objects, {"Scatter", "Layout"})
    df, real = shuffled()
    (fig,) = plotter.plot_pred(df, "Italia/A", real, *REAL, True)
    sel, rsel = df[df["id"] == "Italia/A"], real[real["rid"] == "Italia/A"]

    ((_, args, kwargs, result),) = px.calls
    assert result is fig and len(args) == 1
    pd.testing.assert_frame_equal(args[0], sel)
    assert list(kwargs)[-1] == "template"
    template = kwargs.pop("template")
    assert list(kwargs.items()) == [
        ("x", "date"), ("y", "mean"), ("color_discrete_sequence", ["green"]), ("labels", {"date": "", "mean": "numero uc"}),
        ("title", "Predizione uc - Italia/A"), ("width", 800), ("height", 500),
    ]  # fmt: skip
    assert list(kwargs["labels"]) == ["date", "mean"]

    assert [c[0] for c in go.calls] == ["Scatter", "Layout", "Scatter", "Scatter"]
    past, layout, lower, upper = go.calls
    assert type(template) is dict and list(template) == ["layout"] and template["layout"] is layout[3]
    assert layout[1:3] == (
        (),
        {"title_font": {"family": "Rockwell", "size": 24, "color": "gray"}, "title_x": 0, "font": {"color": "green"}},
    )
    expected = [
        (
            past,
            rsel,
            "rdate",
            "obs",
            {"marker": {"color": "blue"}, "mode": "lines", "name": "past value (true)", "showlegend": True},
        ),
        (lower, sel, "date", "lo", {"mode": "lines", "line_color": CLEAR, "showlegend": False}),
        (
            upper,
            sel,
            "date",
            "hi",
            {
                "mode": "lines",
                "line_color": CLEAR,
                "name": "95% confidence interval",
                "fill": "tonexty",
                "fillcolor": BAND_FILL,
                "showlegend": True,
            },
        ),
    ]
    for (_, args, kwargs, _), frame, x, y, rest in expected:
        assert args == ()
        pd.testing.assert_series_equal(kwargs.pop("x"), frame[x])
        pd.testing.assert_series_equal(kwargs.pop("y"), frame[y])
        assert kwargs == rest
