"""plot_hierarchical and plot_sum_hierarchy: the members of one hierarchy level in one figure."""

import gc
import sys

import numpy as np
import pandas as pd
import plotly.graph_objects
import plotly.io
import pytest

from helpers import as_list, entry, hierarchy_frames, own_entries

HIER, SUM = "plot_hierarchical", "plot_sum_hierarchy"
LINE = {HIER: 173, SUM: 223}


def block(ident, means, start="2024-01-01"):
    n = len(means)
    dates = pd.date_range(start, periods=n, freq="D")
    return pd.DataFrame({"id": [ident] * n, "date": dates, "mean": means, "lo": 0.0, "hi": 1.0})


def frame(*blocks):
    df = pd.concat([block(i, m) for i, m in blocks], ignore_index=True)
    return df.set_axis(range(70, 70 + len(df)))  # labels unlike those the splitter writes


def dates(values):
    return list(pd.to_datetime(np.asarray(values)))


def fake_splitter(ns, result):
    """Rebinds obtain_dataset to one that records its calls and returns (or raises) `result`."""
    calls = []

    def obtain_dataset(*args, **kwargs):
        calls.append((args, kwargs))
        if isinstance(result, BaseException):
            raise result
        return result

    ns["obtain_dataset"] = obtain_dataset
    return calls


class Recorder:
    """Stands for plotly.graph_objects: records the arguments of the named calls, then delegates."""

    def __init__(self, names):
        self.names, self.calls = names, []

    def __getattr__(self, name):
        real = getattr(plotly.graph_objects, name)
        if name not in self.names:
            return real

        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return real(*args, **kwargs)

        return record


IDS = ("Italia", "Italia/A", "Italia/A/x")


@pytest.mark.parametrize(
    "ids, gerarchia, members",
    [
        (IDS, "Italia", ["Italia", "Italia/A"]),
        (IDS, "Italia/A", ["Italia/A", "Italia/A/x"]),
        (IDS[::-1], "Italia/A", ["Italia/A/x", "Italia/A"]),
        (("Italia/A", "Italia/AB", "Italia/AB/y", "Italia/A/x"), "Italia/A", ["Italia/A", "Italia/A/x"]),
        (IDS, "Italia/B", []),
    ],
)
def test_overlay_draws_each_member(plotter, ids, gerarchia, members):
    df, _ = hierarchy_frames(ids=ids)
    df.index = range(200, 200 + len(df))
    before = df.copy()
    fig = plotter.plot_hierarchical(df, gerarchia)
    assert [t.name for t in fig.data] == members
    for trace, ident in zip(fig.data, members):
        rows = df[df["id"] == ident]
        assert (trace.type, trace.mode, trace.showlegend) == ("scatter", "lines", True)
        assert dates(trace.x) == list(rows["date"])
        assert as_list(trace.y) == rows["mean"].tolist()
    pd.testing.assert_frame_equal(df, before)  # the caller's frame keeps its labels


@pytest.mark.parametrize("dtype", [object, "int64"])
def test_overlay_names_are_the_ids_unchanged(plotter, restore_globals, dtype):
    members = [block(5, [1.0, 2.0]), block(6, [3.0, 4.0])]
    for m in members:
        m["id"] = m["id"].astype(dtype)
    fake_splitter(restore_globals, members)
    go = restore_globals["go"] = Recorder({"Scatter"})
    try:
        fig = plotter.plot_hierarchical(frame(("Italia", [0.0])), "Italia")
    except ValueError as exc:  # plotly refuses a numpy integer as a trace name
        assert dtype is not object
        assert own_entries(exc) == [entry("plotPrediction.plot_hierarchical", 187)]
    else:
        assert [t.name for t in fig.data] == ["5", "6"]
    names = [kw["name"] for _, _, kw in go.calls]
    assert names == [5, 6][: len(names)] and len(names) >= 1
    assert {type(n) for n in names} == {int if dtype is object else np.int64}
    assert [list(kw) for _, _, kw in go.calls] == [["x", "y", "mode", "name", "showlegend"]] * len(names)


FONTS = {"title_font": {"family": "Rockwell", "size": 24, "color": "gray"}, "font": {"color": "green"}}


@pytest.mark.parametrize(
    "method, title, legend",
    [
        (HIER, "Predizione gerarchia uc", {"yanchor": "bottom", "y": 0, "xanchor": "left", "x": -0.5}),
        (SUM, "Predizione gerarchia aggregata uc", {"yanchor": "top", "y": 0.99, "xanchor": "left", "x": 0.01}),
    ],
)
def test_layout(plotter, restore_globals, method, title, legend):
    go = restore_globals["go"] = Recorder({"Figure"})
    fig = getattr(plotter, method)(frame(("Italia", [1.0, 2.0, 3.0]), ("Italia/A", [1.0, 2.0, 3.0])), "Italia")
    ((_, args, kwargs),) = go.calls
    layout = {
        "template": "plotly_white",
        **FONTS,
        "title": {"text": title},
        "legend": legend,
        "yaxis_title": "numero uc",
    }
    assert args == () and list(kwargs) == ["layout"]
    assert list(kwargs["layout"].items()) == list(layout.items())
    lay = fig.layout
    assert lay.template == plotly.io.templates["plotly_white"]
    assert (lay.title.text, lay.title.font.family, lay.title.font.size, lay.font.color) == (
        title,
        "Rockwell",
        24,
        "green",
    )
    assert (lay.legend.yanchor, lay.legend.y, lay.legend.xanchor, lay.legend.x) == tuple(legend.values())
    assert (lay.yaxis.title.text, lay.width, lay.height) == ("numero uc", None, None)


@pytest.mark.parametrize("method", [HIER, SUM])
def test_splitter_gets_a_shallow_copy(plotter, restore_globals, method):
    df = frame(("Italia", [1.0, 2.0, 3.0]), ("Italia/A", [1.0, 2.0, 3.0]))
    calls = fake_splitter(restore_globals, [block("Italia", [1.0]), block("Italia/A", [1.0])])
    gerarchia = "".join(["Ita", "lia"])
    getattr(plotter, method)(df, gerarchia)
    ((args, kwargs),) = calls
    assert kwargs == {} and len(args) == 3
    assert args[0] is not df and args[1] is gerarchia and args[2] == "id"
    pd.testing.assert_frame_equal(args[0], df)
    assert np.shares_memory(args[0]["mean"].to_numpy(), df["mean"].to_numpy())


@pytest.mark.parametrize(
    "blocks, gerarchia, sums",
    [
        ((("Italia", [11, 22, 33]), ("Italia/A", [1, 2, 3]), ("Italia/B", [10, 20, 30])), "Italia", [11, 22, 33]),
        ((("Italia", [5, 5, 5]), ("Italia/A", [1, np.nan, 3]), ("Italia/B", [10, 20, 30])), "Italia", [11, 20, 33]),
        ((("Italia", [1, 2, 3]), ("Italia/A", [4, 5, 6])), "Italia", [4, 5, 6]),  # one member
        ((("Italia/A", [9, 9, 9]), ("Italia/A/x", [1, 2, 3]), ("Italia/AB", [100] * 3)), "Italia/A", [1, 2, 3]),
        (
            (("Italia/A", [9, 9, 9]), ("Italia/A/x", [1, 2, 3]), ("Italia/A/y", [4, 4, 4]), ("Italia/A/x/z", [7] * 3)),
            "Italia/A",
            [5, 6, 7],
        ),
    ],
    ids=["coherent", "missing forecast", "one member", "sibling", "deeper level"],
)
def test_sum_check(plotter, blocks, gerarchia, sums):
    df = frame(*((i, [float(v) for v in m]) for i, m in blocks))
    before = df.copy()
    fig = plotter.plot_sum_hierarchy(df, gerarchia)
    aggregate, total = fig.data
    ident = blocks[0][0]
    assert (aggregate.name, aggregate.marker.color) == (f"Predizione {ident}", "green")
    assert (total.name, total.marker.color) == (f"Somma predizioni {ident}", "blue")
    assert {(t.type, t.mode, t.showlegend) for t in fig.data} == {("scatter", "lines", True)}
    assert dates(aggregate.x) == dates(total.x) == list(df["date"].iloc[:3])
    assert as_list(aggregate.y) == list(map(float, blocks[0][1]))
    assert as_list(total.y) == [float(s) for s in sums]
    pd.testing.assert_frame_equal(df, before)


def test_sum_pairs_members_by_position(plotter, restore_globals):
    aggregate = block(5, [3.0, 5.0], start="2030-06-01")
    fake_splitter(restore_globals, [aggregate, block(6, [1.0, 2.0], start="1999-01-01"), block(7, [2.0, 3.0])])
    fig = plotter.plot_sum_hierarchy(frame(("Italia", [0.0])), "Italia")
    assert [t.name for t in fig.data] == ["Predizione 5", "Somma predizioni 5"]
    assert dates(fig.data[0].x) == dates(fig.data[1].x) == list(aggregate["date"])
    assert as_list(fig.data[1].y) == [3.0, 5.0]


RAISED = LookupError("from the splitter")
OWN_SPLIT = entry("obtain_dataset", 28)


@pytest.mark.parametrize(
    "method, columns, members, exc, lines",
    [
        (SUM, "id date mean", [], IndexError, [225]),
        (SUM, "id date mean", [block("Italia", [1.0])], ValueError, [228]),
        (SUM, "id date nope", None, KeyError, [228]),
        (SUM, "id nope mean", None, KeyError, [244]),
        (HIER, "id nope mean", None, KeyError, [188]),
        (HIER, "id date nope", None, KeyError, [189]),
        (HIER, "id date mean", RAISED, LookupError, [173]),
        (SUM, "id date mean", RAISED, LookupError, [223]),
        (HIER, "nope date mean", None, KeyError, [173, OWN_SPLIT]),
        (SUM, "nope date mean", None, KeyError, [223, OWN_SPLIT]),
    ],
)
def test_failures(mod, restore_globals, method, columns, members, exc, lines):
    df = frame(("Italia", [1.0, 2.0, 3.0]), ("Italia/A", [1.0, 2.0, 3.0]))
    plotter = mod.plotPrediction(*columns.split(), "lo", "hi", "uc")
    if members is not None:
        fake_splitter(restore_globals, members)
    expected = [e if isinstance(e, tuple) else entry(f"plotPrediction.{method}", e) for e in lines]

    def fail():
        RAISED.__traceback__ = None
        with pytest.raises(exc) as info:
            getattr(plotter, method)(df, "Italia")
        assert own_entries(info.value) == expected
        assert members is not RAISED or info.value is RAISED

    for _ in range(2):  # warm up library caches
        fail()
    gc.collect()
    counts = [sys.getrefcount(o) for o in (df, plotter)]
    for _ in range(3):
        fail()
    gc.collect()
    assert [sys.getrefcount(o) for o in (df, plotter)] == counts


class Text(str):
    pass


@pytest.mark.parametrize("method", [HIER, SUM])
@pytest.mark.parametrize("gerarchia, got", [(None, "NoneType"), (Text("Italia"), "Text"), (1, "int")])
def test_gerarchia_must_be_text(plotter, restore_globals, method, gerarchia, got):
    calls = fake_splitter(restore_globals, [])
    df = frame(("Italia", [1.0, 2.0, 3.0]))
    with pytest.raises(TypeError) as info:
        getattr(plotter, method)(df, gerarchia)
    assert str(info.value) == f"Argument 'gerarchia' has incorrect type (expected str, got {got})"
    assert own_entries(info.value) == [] and calls == []
