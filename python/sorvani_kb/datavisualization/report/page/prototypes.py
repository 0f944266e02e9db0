"""How the report calls the module, and the figure prototypes the page copies.

`draw_member` says how the report calls the module for a member, and `module_figures` is that
call for a member of the input: the reference the browser tests hold the page to. At report time
the module draws one figure of every kind for a made-up member (the prototypes,
`model_prototypes` and `residual_prototypes`); the page copies a prototype and puts in the parts
that belong to a member (title, trace names, arrays), so every other part of a figure is what the
installed module, plotly and matplotlib wrote.

Drawing the prototypes needs the module, statsmodels, scipy and plotly, about two seconds of
imports: `load_libraries` imports them, so that a second process can do it while this one reads
the input, and `library_parts` is what such a process is asked for.
"""

from __future__ import annotations

import base64
import contextlib
import copy
import functools
import json
import math
import os

import numpy as np
import pandas as pd

from .. import measures as ms

PLOT_COLUMNS = ["id", "ds", "mean", "lo", "hi"]  # the plotter's id, data, pred_mean, pi_lower, pi_upper
PROTO_ID = "P"  # id of the member the prototypes are drawn for

# ---------------------------------------------------------------------------------------------
# How the report calls the module


def plotter(use_case):
    from ... import plotPrediction as pp

    return pp.plotPrediction(*PLOT_COLUMNS, use_case)


def start_text(value, time_kind):
    """The text of a forecast date as the report passes it for the line where the forecast starts."""
    if time_kind == "step":
        return str(int(value))
    value = pd.Timestamp(value)
    return value.date().isoformat() if value == value.normalize() else value.isoformat(sep=" ")


@contextlib.contextmanager
def default_style():
    """matplotlib's default settings (the QQ plot's axis limits depend on them), and no pyplot
    figure left open before or after."""
    import matplotlib.pyplot as plt
    import matplotlib.style

    plt.close("all")
    try:
        with matplotlib.style.context("default"):
            yield plt
    finally:
        plt.close("all")


def draw_member(plot, member, own, real, children, band, start):
    """The module's figures of one member of one model, as the report draws them.

    own: the member's forecast rows (columns PLOT_COLUMNS, one per forecast date of the model,
    row labels 0..n-1); real: its observed rows (columns id, ds, y), or None when the report has
    no observed values; children: the forecast rows of its direct sub-members, each like `own`;
    band: whether the model has interval bounds; start: the text where the forecast starts.

    Keys of the result: "forecast" always; "histogram" when an observed value falls on a forecast
    date that has a point forecast, "qq" when at least two do and their residuals vary;
    "overlay" and "sum" when the member has sub-members."""
    figures = {}
    real_args = {} if real is None else {"df_real": real, "id_pred_real": "id", "data_real": "ds", "target": "y"}
    (figures["forecast"],) = plot.plot_pred(own, member, confidence_interval=band, vertical_line=start, **real_args)
    if real is not None:
        figures.update(_residual_figures(plot, member, own, real))
    if children:
        frame = pd.concat([own] + list(children), ignore_index=True)
        figures["overlay"] = plot.plot_hierarchical(frame.copy(), member)
        figures["sum"] = plot.plot_sum_hierarchy(frame.copy(), member)
    return figures


def draw_grouping(plot, member, own, members, name):
    """The overlay and the sum check of `member` and its members by `name` (one way a grouped
    structure splits it): keys "overlay:<name>" and "sum:<name>". The module selects the members
    of an overlay by their id paths (`Italia/Nord` of `Italia`): members that are not path
    children (`Italia/Nord/construction` of `Italia/construction`) are drawn under a path alias,
    the member's id, "/" and their own part, and their traces of the overlay named by their ids."""
    ids = [str(m["id"].iloc[0]) for m in members]
    aliased = [
        m if i.startswith(member + "/") and "/" not in i[len(member) + 1 :] else m.assign(id=alias(member, i))
        for m, i in zip(members, ids)
    ]
    frame = pd.concat([own, *aliased], ignore_index=True)
    overlay = plot.plot_hierarchical(frame.copy(), member)
    for trace, ident in zip(overlay.data[1:], ids):
        trace.name = ident
    return {f"overlay:{name}": overlay, f"sum:{name}": plot.plot_sum_hierarchy(frame.copy(), member)}


def alias(member, ident):
    """The path child of `member` standing for `ident`, one of its members in a grouped structure:
    the member's id, "/" and the part of `ident` the member lacks."""
    mine, theirs = member.split("/"), ident.split("/")
    at = next((k for k, (a, b) in enumerate(zip(mine, theirs)) if a != b), len(mine))
    return member + "/" + theirs[at]


def _residual_figures(plot, member, own, real):
    """The histogram and QQ plot of a member's residuals on the forecast dates, where it has them."""
    figures = {}
    on_date = own[["ds"]].merge(real[["ds", "y"]], how="left", on="ds")["y"].to_numpy(dtype=np.float64)
    keep = np.isfinite(own["mean"].to_numpy(dtype=np.float64)) & np.isfinite(on_date)
    if not keep.any():
        return figures
    res_pred = own[keep]
    res_real = pd.DataFrame({"id": member, "y": on_date[keep]}, index=res_pred.index)
    (figures["histogram"],) = plot.dist_residuals(res_pred, res_real, "id", "y", member)
    with np.errstate(all="ignore"):
        spread = ms.residual_std((on_date[keep] - res_pred["mean"].to_numpy())[None, :])[0]
    if np.isfinite(spread):
        with default_style():
            figures["qq"] = plot.plot_residuals(res_pred, res_real, "id", "y", member)
    return figures


def module_figures(inputs, model, member, window=None, history=None):
    """The module's figures of `member` under `model` (see draw_member), in the cross-validation
    `window` (the last when None), its cutoff as the start line and the observed values up to
    its last forecast date, the last `history` of them before the forecast (as the page, see
    measures.default_history): the reference the page's figures equal. Empty when the model has
    no forecast for the member."""
    if window is None and inputs.cutoffs is not None:
        window = len(inputs.cutoffs) - 1
    frame = ms.window_rows(inputs, model, window)
    ids = frame["id"]

    def block(ident):
        return frame.loc[(ids == ident).to_numpy(), PLOT_COLUMNS].reset_index(drop=True)

    own = block(member)
    if own.empty:
        return {}
    present = pd.unique(ids.to_numpy(dtype=object))
    structure = inputs.structure if inputs.structure is not None and inputs.structure.kind == "grouped" else None
    if structure is None:
        children = [block(i) for i in present if i.startswith(member + "/") and "/" not in i[len(member) + 1 :]]
    else:
        children = []
    real = None
    if inputs.observed is not None:
        obs = inputs.observed
        keep = (obs["id"] == member).to_numpy()
        if window is not None:  # the history up to the window's cutoff and its own actuals
            keep = keep & (obs["ds"] <= frame["ds"].max()).to_numpy()
        real = obs.loc[keep, ["id", "ds", "y"]].reset_index(drop=True)
        before = (real["ds"] < ms.history_start(inputs)).to_numpy()
        n = history if history is not None else ms.default_history(inputs)
        real = real[~before | (np.cumsum(before) > before.sum() - n)].reset_index(drop=True)
        real["id"] = real["id"].astype(object)
    lo_hi = frame[["lo", "hi"]].to_numpy(dtype=np.float64)
    band = bool(np.isfinite(lo_hi).any())
    plot = plotter(inputs.use_case)
    start = inputs.cutoffs[window] if window is not None else frame["ds"].iloc[0]
    figures = draw_member(plot, member, own, real, children, band, start_text(start, inputs.time_kind))
    if structure is not None:
        g = int(np.searchsorted(structure.ids, member))
        known = set(present)
        for k in structure.groupings_of(g):
            members = [block(i) for i in structure.ids[structure.members(k)] if i in known]
            if members:
                figures.update(draw_grouping(plot, member, own, members, structure.group_name[k]))
    return figures


# ---------------------------------------------------------------------------------------------
# Figures as plain JSON


def plain(value):
    """A figure's JSON (as json.loads of to_json gives it) with typed arrays ("bdata") decoded to
    lists and non-finite numbers as None."""
    if isinstance(value, dict):
        if "bdata" in value and "dtype" in value:
            array = np.frombuffer(base64.b64decode(value["bdata"]), dtype=np.dtype(value["dtype"]).newbyteorder("<"))
            if "shape" in value:
                shape = value["shape"]
                shape = [int(s) for s in shape.split(",")] if isinstance(shape, str) else list(shape)
                array = array.reshape(shape)
            return plain(array.tolist())
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def figure_json(fig):
    return plain(json.loads(fig.to_json()))


def axis_text(values):
    """The x values of a trace drawn from a column holding `values`, as the figure's JSON holds them."""
    import plotly.graph_objects as go

    return figure_json(go.Figure(go.Scatter(x=pd.Series(values))))["data"][0].get("x", [])


# ---------------------------------------------------------------------------------------------
# The prototypes


def _synthetic(member, axis, level):
    """Forecast rows of `member` on `axis`: values that only give the prototypes a shape."""
    n = len(axis)
    base = np.arange(n, dtype=np.float64) + 10.0 * (1 + level)
    return pd.DataFrame({"id": member, "ds": axis, "mean": base, "lo": base - 1.0, "hi": base + 1.0})


def _strip_suffix(text, suffix):
    if not isinstance(text, str) or not text.endswith(suffix):
        raise ValueError(f"prototype text {text!r} does not end with {suffix!r}")
    return text[: len(text) - len(suffix)]


def model_prototypes(use_case, axis, band, start, has_observed, observed_axis):
    """The module's figures of one model drawn for a made-up member with two sub-members: the
    forecast, overlay and sum-check prototypes, with every member-specific part removed."""
    plot = plotter(use_case)
    own = _synthetic(PROTO_ID, axis, 0)
    real = None
    if has_observed:
        take = observed_axis[:2]
        real = pd.DataFrame({"id": PROTO_ID, "ds": take, "y": np.arange(len(take), dtype=np.float64)})
    kids = [_synthetic(PROTO_ID + "/" + s, axis, i + 1) for i, s in enumerate("ab")]
    figs = draw_member(plot, PROTO_ID, own, real, kids, band, start)
    forecast = figure_json(figs["forecast"])
    title = _strip_suffix(forecast["layout"]["title"]["text"], PROTO_ID)
    for trace in forecast["data"]:
        trace["y"] = []
    if has_observed:
        forecast["data"][-1]["x"] = []
    overlay = figure_json(figs["overlay"])
    trace = overlay["data"][1]
    trace["y"], trace["name"] = [], None
    overlay["data"] = []
    total = figure_json(figs["sum"])
    names = [_strip_suffix(t["name"], PROTO_ID) for t in total["data"]]
    for t in total["data"]:
        t["y"], t["name"] = [], None
    return {
        "forecast": forecast,
        "titlePrefix": title,
        "overlay": overlay,
        "overlayTrace": trace,
        "sum": total,
        "sumPrefixes": names,
        "axis": forecast["data"][0]["x"],
    }


def residual_prototypes(use_case):
    """The residual histogram and QQ prototypes, and the margins matplotlib's autoscaling used
    around the QQ plot's points (x, y). Drawn once per use case in a process (they depend on
    nothing else); each call gets its own copy."""
    return copy.deepcopy(_residual_prototypes(use_case))


@functools.lru_cache(maxsize=8)
def _residual_prototypes(use_case):
    axis = np.arange(3, dtype=np.int64)
    own = _synthetic(PROTO_ID, axis, 0)
    real = pd.DataFrame({"id": PROTO_ID, "ds": axis, "y": own["mean"].to_numpy() + np.array([-1.0, 0.5, 2.0])})
    plot = plotter(use_case)
    (hist,) = plot.dist_residuals(own, real, "id", "y", PROTO_ID)
    with default_style() as plt:
        qq = plot.plot_residuals(own, real, "id", "y", PROTO_ID)
        margins = list(plt.gca().margins())
    hist, qq = figure_json(hist), figure_json(qq)
    hist["data"][0]["x"] = []
    for t in qq["data"]:
        t["x"], t["y"] = [], []
    return {"histogram": hist, "qq": qq, "margins": margins}


def normal_quantiles(counts):
    """For each sample size n, the quantiles of the standard normal distribution at the plotting
    positions i / (n + 1), i = 1..n, where the QQ plot puts the sorted residuals."""
    from scipy import stats

    out = {}
    for n in sorted(int(c) for c in counts if c >= 2):
        p = (np.arange(1.0, n + 1) - 0) / (n + 1 - 0 - 0)
        out[str(n)] = [float(v) for v in stats.norm.ppf(p)]
    return out


def library_parts(use_case, time_kind, models, observed_axis, residual_counts):
    """What the page takes from the module, plotly and scipy: the prototypes of each model (given
    as (axis, band, start)), the residual prototypes, the observed dates as the figures write
    them and the normal quantiles of the QQ plots."""
    drawn = {}  # models (or windows) on the same dates with the same band share their prototypes
    for axis, band, start in models:
        key = _prototype_key(axis, band, start)
        if len(axis) and key not in drawn:
            drawn[key] = model_prototypes(use_case, axis, band, start, observed_axis is not None, observed_axis)
    out = {
        "models": [drawn[_prototype_key(*model)] if len(model[0]) else None for model in models],
        "residual": None,
        "obsAxis": None,
        "quantiles": {},
    }
    if observed_axis is not None:
        out.update(
            residual=residual_prototypes(use_case),
            obsAxis=axis_text(observed_axis),
            quantiles=normal_quantiles(residual_counts),
        )
    return out


def _prototype_key(axis, band, start):
    axis = np.asarray(axis)
    return (axis.dtype.str, axis.shape, axis.tobytes(), bool(band), start)


def load_libraries(use_case=None):
    """Imports what drawing the prototypes needs (pyplot without a display); given the report's
    use case, also draws the residual prototypes, which depend on nothing else."""
    if "MPLBACKEND" not in os.environ:
        import matplotlib

        matplotlib.use("Agg")
    import plotly.express  # noqa: F401
    import plotly.graph_objects  # noqa: F401
    import scipy.stats  # noqa: F401

    from ... import plotPrediction  # noqa: F401

    if use_case is not None:
        _residual_prototypes(use_case)
