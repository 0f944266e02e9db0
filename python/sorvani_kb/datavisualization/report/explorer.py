"""The report page: one self-contained HTML file that explores a hierarchical forecast.

The page holds an overview of the whole hierarchy (a treemap coloured by a chosen measure, the
worst members of each measure, a sortable and searchable table of every member) and a view of
any member: the figures the module draws for it, its measures, links to its parent and its direct
sub-members. `report.html#node=<url-encoded id>` opens a member's view.

How the figures stay exactly the module's: `draw_member` says how the report calls the module for
a member, and `module_figures` is that call for a member of the input: the reference the browser
tests hold the page to. At report time the module draws one figure of every kind for a made-up
member (the prototypes, `model_prototypes` and `residual_prototypes`); the page copies a prototype
and puts in the parts that belong to a member (title, trace names, arrays), so every other part of
a figure is what the installed module, plotly and matplotlib wrote. What has to be computed in
float64 is computed here over whole columns (residuals, sums of sub-members, the residuals'
standard deviation, the normal quantiles of the QQ plot); the page computes only the QQ plot's
axis limits, as matplotlib does. The arrays travel compactly (`Blobs`): decimals as integers,
other values as float32 (relative error below 1e-7), in blocks of ids the page decodes as a view
needs them.

Drawing the prototypes needs the module, statsmodels, scipy and plotly, about two seconds of
imports: for a large input they load in a second process (`worker`) while the input is read.
"""

from __future__ import annotations

import base64
import contextlib
import html
import json
import math
import os
import zlib
from concurrent.futures import ThreadPoolExecutor
from importlib import resources

import numpy as np
import pandas as pd

from . import measures as ms
from .cli import TREEMAP_NODES
from . import worker

PLOT_COLUMNS = ["id", "ds", "mean", "lo", "hi"]  # the plotter's id, data, pred_mean, pi_lower, pi_upper
PROTO_ID = "P"  # id of the member the prototypes are drawn for
WORST = 10  # members listed per measure


# ---------------------------------------------------------------------------------------------
# How the report calls the module


def plotter(use_case):
    from .. import plotPrediction as pp

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
        on_date = own[["ds"]].merge(real[["ds", "y"]], how="left", on="ds")["y"].to_numpy(dtype=np.float64)
        keep = np.isfinite(own["mean"].to_numpy(dtype=np.float64)) & np.isfinite(on_date)
        if keep.any():
            res_pred = own[keep]
            res_real = pd.DataFrame({"id": member, "y": on_date[keep]}, index=res_pred.index)
            (figures["histogram"],) = plot.dist_residuals(res_pred, res_real, "id", "y", member)
            with np.errstate(all="ignore"):
                spread = ms.residual_std((on_date[keep] - res_pred["mean"].to_numpy())[None, :])[0]
            if np.isfinite(spread):
                with default_style():
                    figures["qq"] = plot.plot_residuals(res_pred, res_real, "id", "y", member)
    if children:
        frame = pd.concat([own] + list(children), ignore_index=True)
        figures["overlay"] = plot.plot_hierarchical(frame.copy(), member)
        figures["sum"] = plot.plot_sum_hierarchy(frame.copy(), member)
    return figures


def module_figures(inputs, model, member):
    """The module's figures of `member` under `model` (see draw_member): the reference the page's
    figures equal. Empty when the model has no forecast for the member."""
    start, stop = ms.model_slices(inputs.forecasts, inputs.models)[model]
    frame = inputs.forecasts.iloc[start:stop]
    ids = frame["id"]

    def block(ident):
        return frame.loc[(ids == ident).to_numpy(), PLOT_COLUMNS].reset_index(drop=True)

    own = block(member)
    if own.empty:
        return {}
    present = pd.unique(ids.to_numpy(dtype=object))
    children = [block(i) for i in present if i.startswith(member + "/") and "/" not in i[len(member) + 1:]]
    real = None
    if inputs.observed is not None:
        obs = inputs.observed
        real = obs.loc[(obs["id"] == member).to_numpy(), ["id", "ds", "y"]].reset_index(drop=True)
        real["id"] = real["id"].astype(object)
    lo_hi = frame[["lo", "hi"]].to_numpy(dtype=np.float64)
    band = bool(np.isfinite(lo_hi).any())
    return draw_member(plotter(inputs.use_case), member, own, real, children, band,
                       start_text(frame["ds"].iloc[0], inputs.time_kind))


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
    return {"forecast": forecast, "titlePrefix": title, "overlay": overlay, "overlayTrace": trace,
            "sum": total, "sumPrefixes": names, "axis": forecast["data"][0]["x"]}


def residual_prototypes(use_case):
    """The residual histogram and QQ prototypes, and the margins matplotlib's autoscaling used
    around the QQ plot's points (x, y)."""
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


# ---------------------------------------------------------------------------------------------
# The page's data


class Blobs:
    """Binary arrays for the page, in chunks, each chunk put in a script element of its own
    (chunk c of an array whose first element is `el` is element el + c) as base64 of deflated
    bytes: one byte telling the encoding, then the numbers, little-endian and byte-shuffled (the
    k-th bytes of all numbers together). Encoding 0: the array's own type (float32 for values);
    encoding 1 + k: values that are decimals of k places, as int32 of value * 10**k (INT32_MIN
    for a missing value), which the page divides by 10**k: the numbers here to 1e-9 relative;
    encoding 255: float64, for values beyond the range of float32.

    Arrays of values per id are cut by blocks of `block` consecutive ids (chunk c holds the rows
    of the ids of block c), and the page holds the chunks block by block, each block followed by
    a marker: a member's view needs the chunks of its own block (and its sub-members'), and can
    be drawn as soon as the browser has read them. Other arrays are one chunk each."""

    MISSING = -(2 ** 31)
    MAX_PLACES = 6
    FLOAT64 = 255

    def __init__(self, n_ids, block, level=1):
        self.n_ids, self.block, self.level = n_ids, block, level
        self.n_blocks = max(1, -(-n_ids // block))
        self.starts = np.minimum(np.arange(self.n_blocks + 1) * block, n_ids)
        self.arrays = []  # (name, array, dtype, decimal places to try, chunk bounds, blocked, late)
        self.head = []  # (element number, text) of the unblocked arrays
        self.tail = []  # the same, for arrays only the overview needs
        self.blocks = [[] for _ in range(self.n_blocks)]  # per block: (element number, text)
        self.index = {}
        self._next = 0

    def add(self, name, array, dtype, keys=None, width=1, offsets=None, late=False):
        """Stores `array` (flattened) under `name`. keys: the id (global index, ascending) of each
        row of `width` elements; offsets: for variable-length rows, where each id's elements start
        (n_ids + 1 offsets); neither: one chunk (late: after the blocks)."""
        dtype = np.dtype(dtype).newbyteorder("<")
        array = np.asarray(array)
        places = None
        if dtype.kind == "f":
            array = np.ascontiguousarray(array, dtype=np.float64).ravel()
            places = self._places(array)
        else:
            array = np.ascontiguousarray(array.astype(dtype, copy=False)).ravel()
        if offsets is not None:
            bounds = np.asarray(offsets)[self.starts]
        elif keys is not None:
            bounds = np.append(np.searchsorted(keys, self.starts[:-1]), len(keys)) * width
        else:
            bounds = np.array([0, len(array)])
        blocked = keys is not None or offsets is not None
        self.arrays.append((name, array, dtype, places, [int(b) for b in bounds], blocked, late))
        return name

    def _places(self, values):
        """The fewest decimal places that write a sample of `values` exactly, or None."""
        finite = values[np.isfinite(values)]
        if not len(finite):
            return None
        sample = finite[:: max(1, len(finite) // 4096)]
        for k in range(self.MAX_PLACES + 1):
            if self._decimal(sample, k, limit=False) is not None:
                return k
        return None

    def _decimal(self, values, k, limit=True):
        """values * 10**k as int32 when that gives back every value (to 1e-9 relative), else None."""
        ints, ok = self._scaled(values, k, limit)
        return ints if ok.all() else None

    def _scaled(self, values, k, limit=True):
        """values * 10**k, rounded (int32 with MISSING for NaN when `limit`), and where that
        gives back the value to 1e-9 relative."""
        scale = 10.0 ** k
        finite = np.isfinite(values)
        plain = np.where(finite, values, 0.0)
        with np.errstate(all="ignore"):
            scaled = np.round(plain * scale)
            ok = (np.abs(scaled) < (2 ** 31 - 1 if limit else 2.0 ** 53)) & ~np.isinf(values)
            ok &= np.abs(scaled / scale - plain) <= 1e-9 * np.abs(plain)
        if not limit:
            return scaled, ok
        return np.where(finite & ok, scaled, self.MISSING).astype("<i4"), ok

    def _encodings(self, array, dtype, places, bounds):
        """Per chunk: (encoding, the numbers to store)."""
        starts = np.asarray(bounds[:-1])
        empty = np.diff(bounds) == 0

        def every(flags):
            if not len(flags):
                return np.ones(len(starts), dtype=bool)
            return np.logical_and.reduceat(flags, np.minimum(starts, len(flags) - 1)) | empty

        if dtype.kind != "f":
            return [(0, array)] * len(starts)
        codes = np.zeros(len(starts), dtype=int)
        sources = {0: None}
        if places is not None:
            ints, ok = self._scaled(array, places)
            decimal = every(ok)
            codes[decimal] = places + 1
            sources[places + 1] = ints
        magnitude = np.abs(array)
        with np.errstate(invalid="ignore"):
            narrow = ~((magnitude > np.finfo(np.float32).max) & np.isfinite(array)) & \
                ~((magnitude < np.finfo(np.float32).tiny) & (magnitude > 0))
        wide = (codes == 0) & ~every(narrow)
        codes[wide] = self.FLOAT64  # beyond what float32 holds
        if (codes == 0).any():
            with np.errstate(over="ignore"):
                sources[0] = array.astype(dtype)
        if wide.any():
            sources[self.FLOAT64] = array.astype("<f8")
        return [(int(c), sources[int(c)]) for c in codes]

    def _pack(self, job):
        code, piece = job
        shuffled = bytes([code]) + piece.view(np.uint8).reshape(-1, piece.itemsize).T.tobytes()
        return base64.b64encode(zlib.compress(shuffled, self.level)).decode("ascii")

    def finish(self, workers=2):
        """Encodes and compresses every chunk (zlib works outside the interpreter lock: threads
        share it)."""
        jobs = []
        for _, array, dtype, places, bounds, _, _ in self.arrays:
            for (code, source), a, b in zip(self._encodings(array, dtype, places, bounds), bounds[:-1], bounds[1:]):
                jobs.append((code, source[a:b]))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            packed = iter(list(pool.map(self._pack, jobs)))
        for name, array, dtype, _, bounds, blocked, late in self.arrays:
            first = self._next
            for c in range(len(bounds) - 1):
                (self.blocks[c] if blocked else self.tail if late else self.head).append((self._next, next(packed)))
                self._next += 1
            self.index[name] = {"el": first, "dtype": dtype.str[1:], "n": int(array.size), "bounds": bounds,
                                "blocked": blocked, "late": late}
        self.arrays = []


def block_size(bytes_per_id, target=1 << 17):
    """Ids per block: a power of two giving chunks of about `target` bytes."""
    return int(2 ** max(4, min(16, math.floor(math.log2(max(1.0, target / max(1.0, bytes_per_id)))))))


def encode_model(blobs, i, grid, hierarchy, sums, values):
    """The arrays of one model; returns the names it stored them under."""
    p = f"m{i}."
    width = grid.mean.shape[1]
    keys = grid.gid
    names = {
        "mean": blobs.add(p + "mean", grid.mean, "f4", keys, width),
        "res": blobs.add(p + "res", grid.residual, "f4", keys, width),
        "std": blobs.add(p + "std", ms.residual_std(grid.residual), "f4", keys),
        "sums": blobs.add(p + "sums", sums.total, "f4", keys[sums.rows], width),
        "aggRows": blobs.add(p + "aggRows", sums.rows, "i4"),
        "measures": blobs.add(p + "measures", np.stack([values[m.key] for m in ms.MEASURES], axis=1) if len(grid) else
                              np.zeros((0, len(ms.MEASURES))), "f4", keys, len(ms.MEASURES)),
    }
    if not np.array_equal(keys, np.arange(len(hierarchy))):
        names["gid"] = blobs.add(p + "gid", keys, "i4")
    if grid.band:
        names["lo"] = blobs.add(p + "lo", grid.lo, "f4", keys, width)
        names["hi"] = blobs.add(p + "hi", grid.hi, "f4", keys, width)
    return names


def encode_observed(blobs, observed):
    """The observed values by id: offsets, values, and either each id's first position on the
    observed axis (when every id's dates are consecutive dates of the axis) or every row's."""
    counts = observed.count()
    first = observed.offset[:-1]
    g = observed.gid
    start = np.zeros(len(counts), dtype=np.int64)
    has = counts > 0
    start[has] = observed.pos[first[has]]
    consecutive = bool(((observed.pos - start[g]) == (np.arange(len(g)) - first[g])).all())
    names = {"count": blobs.add("o.count", counts, "i4", np.arange(len(counts))),
             "values": blobs.add("o.values", observed.values, "f4", offsets=observed.offset)}
    if consecutive:
        names["start"] = blobs.add("o.start", start, "i4", np.arange(len(counts)))
    else:
        names["pos"] = blobs.add("o.pos", observed.pos, "u2" if len(observed.axis) < 65536 else "i4", offsets=observed.offset)
    return names


def worst_thresholds(level):
    """Per measure, the value from which on a member is not listed among the worst, and what the
    page says when no member is listed."""
    nominal = 100.0 if level is None else float(level)
    return {
        "gap": (1e-6, "Every member with sub-members adds up (gap below 1e-6 %)."),
        "coverage": (nominal, f"No member's coverage is below {nominal:g}%."),
        "mae": (0.0, "No member has an error."),
        "smape": (0.0, "No member has an error."),
        "bias": (0.0, "No member has a bias."),
        "missing": (0.0, "No member has missing values."),
    }


def id_names(hierarchy):
    """Per id, the text after its parent's id and "/" (the id is its parent's id, "/" and this
    name), or the whole id for a root: the ids without repeating their paths."""
    return hierarchy.names


def level_text(level):
    if level is None:
        return None
    return f"{level:g}%"


def library_parts(use_case, time_kind, models, observed_axis, residual_counts):
    """What the page takes from the module, plotly and scipy: the prototypes of each model (given
    as (axis, band, start)), the residual prototypes, the observed dates as the figures write
    them and the normal quantiles of the QQ plots."""
    out = {"models": [model_prototypes(use_case, axis, band, start, observed_axis is not None, observed_axis)
                      if len(axis) else None for axis, band, start in models],
           "residual": None, "obsAxis": None, "quantiles": {}}
    if observed_axis is not None:
        residual = _drawn_ahead.pop(use_case, None) or residual_prototypes(use_case)
        out.update(residual=residual, obsAxis=axis_text(observed_axis),
                   quantiles=normal_quantiles(residual_counts))
    return out


_drawn_ahead = {}  # residual prototypes drawn before they were asked for, by use case


def load_libraries(use_case=None):
    """Imports what drawing the prototypes needs (pyplot without a display); given the report's
    use case, also draws the residual prototypes, which depend on nothing else."""
    if "MPLBACKEND" not in os.environ:
        import matplotlib

        matplotlib.use("Agg")
    import plotly.express  # noqa: F401
    import plotly.graph_objects  # noqa: F401
    import scipy.stats  # noqa: F401

    from .. import plotPrediction  # noqa: F401

    if use_case is not None:
        _drawn_ahead[use_case] = residual_prototypes(use_case)


def build_page_data(inputs, args, progress):
    """Everything the page needs: (meta dict, Blobs). Uses the worker process, if one was
    started for this run, and ends it."""
    pool = worker.take()
    try:
        return _page_data(inputs, args, progress, pool)
    finally:
        worker.end(pool)


def _page_data(inputs, args, progress, pool):
    forecasts = inputs.forecasts
    hierarchy = ms.build_hierarchy(ms.all_ids(forecasts, inputs.models))
    observed = ms.observed_by_id(inputs.observed, hierarchy)
    # What the prototypes need is known once the grids are: ask the worker for them first, so
    # that it draws while the measures are computed here.
    grids = [ms.model_grid(inputs, model, hierarchy, observed) for model in inputs.models]
    residual_counts = set()
    axes = []
    for grid in grids:
        residual_counts.update(np.unique((~np.isnan(grid.residual)).sum(axis=1)).tolist())
        axes.append((grid.axis, grid.band, start_text(grid.axis[0], inputs.time_kind) if len(grid.axis) else ""))
    job = (inputs.use_case, inputs.time_kind, axes, observed.axis if observed is not None else None, residual_counts)
    pending = None
    if pool is not None:
        with contextlib.suppress(Exception):
            pending = worker.submit(pool, library_parts, *job)
    progress()
    per_id = 4.0 * (len(inputs.forecasts) / max(1, len(hierarchy)) * 5
                    + (len(observed.values) / max(1, len(hierarchy)) if observed is not None else 0))
    blobs = Blobs(len(hierarchy), block_size(per_id))
    obs_arrays = encode_observed(blobs, observed) if observed is not None else None
    models = []
    for i, (model, grid, (_, _, start)) in enumerate(zip(inputs.models, grids, axes)):
        sums = ms.child_sums(grid, hierarchy)
        values = ms.member_measures(grid, sums)
        fine = worst_thresholds(grid.level)
        worst = {m.key: [int(grid.gid[r]) for r in ms.worst(values[m.key], m.worst, WORST, fine[m.key][0])] for m in ms.MEASURES}
        models.append({
            "name": model, "level": level_text(grid.level), "none": {k: v[1] for k, v in fine.items()}, "band": grid.band, "n": len(grid),
            "width": int(len(grid.axis)), "start": start, "worst": worst,
            "arrays": encode_model(blobs, i, grid, hierarchy, sums, values),
            "range": [start_text(grid.axis[0], inputs.time_kind), start_text(grid.axis[-1], inputs.time_kind)] if len(grid.axis) else None,
        })
        grids[i] = None  # its matrices are in the blobs now
        progress()
    blobs.finish()
    names = id_names(hierarchy)
    parts = worker.answer(pending) if pending is not None else None
    if parts is None:  # no second process, or one that failed: drawn here
        load_libraries()
        parts = library_parts(*job)
    for model, proto in zip(models, parts["models"]):
        model["proto"] = proto
    progress()
    meta = {
        "title": f"Forecast report: {inputs.use_case}",
        "useCase": inputs.use_case,
        "prediction": os.path.basename(inputs.prediction_path or ""),
        "observed": os.path.basename(inputs.observed_path) if inputs.observed_path else None,
        "timeKind": inputs.time_kind,
        "notes": list(inputs.notes),
        "names": names,
        "parent": hierarchy.parent.tolist(),
        "models": models,
        "obs": None if observed is None else {"axis": parts["obsAxis"], "arrays": obs_arrays},
        "residualProto": parts["residual"],
        "quantiles": parts["quantiles"],
        "measures": [{"key": m.key, "label": m.label, "worst": m.worst, "unit": m.unit, "help": m.help} for m in ms.MEASURES],
        "treemapNodes": max(1, int(getattr(args, "treemap_nodes", TREEMAP_NODES) or TREEMAP_NODES)),
        "arrays": blobs.index,
        "block": blobs.block,
        "blocks": blobs.n_blocks,
    }
    return meta, blobs


# ---------------------------------------------------------------------------------------------
# The HTML


def asset(name):
    return (resources.files(__package__) / "assets" / name).read_text(encoding="utf-8")


def table_library():
    """DataTables as the itables package ships it for offline pages: (module source, css)."""
    base = resources.files("itables") / "html"
    return (base / "dt_bundle.js").read_bytes(), (base / "dt_bundle.css").read_text(encoding="utf-8")


def script_json(value):
    """JSON text safe inside a <script> element."""
    text = json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def render(meta, blobs):
    """The page: the plotly.js library, the data that every view needs, the page's script, then
    the blocks of per-id data, each followed by a marker that tells the script it has arrived."""
    from plotly.offline import get_plotlyjs

    dt_js, dt_css = table_library()
    top, body = asset("explorer.html").split("<!--@@-->")
    title = html.escape(meta["title"])
    out = [top.replace("@TITLE@", title).replace("@STYLE@", asset("explorer.css") + "\n" + dt_css.replace("</", "<\\/")),
           '<script type="text/javascript">window.PlotlyConfig = {MathJaxConfig: "local"};</script>\n',
           '<script type="text/javascript">', get_plotlyjs(), "</script>\n",
           body.replace("@TITLE@", title),
           '<script type="application/json" id="sorvani-meta">', script_json(meta), "</script>\n"]

    def element(number, text):
        out.extend([f'<script type="application/octet-stream" id="sorvani-b{number}">', text, "</script>\n"])

    for number, text in blobs.head:
        element(number, text)
    out += ["<script>", asset("explorer.js"), "</script>\n"]
    for b, chunks in enumerate(blobs.blocks):
        for number, text in chunks:
            element(number, text)
        out.append(f"<script>window.__sorvaniBlock && window.__sorvaniBlock({b});</script>\n")
    for number, text in blobs.tail:
        element(number, text)
    out += ['<script type="application/octet-stream" id="sorvani-datatables">', base64.b64encode(dt_js).decode("ascii"),
            f"</script>\n<script>window.__sorvaniBlock && window.__sorvaniBlock({blobs.n_blocks});</script>\n</body>\n</html>\n"]
    return "".join(out)


def write_report(inputs, args, progress=None):
    """The report page of `inputs` (HTML text). `progress(total=None, step=1)` is called with the
    number of steps first, then once per step done."""
    progress = progress or (lambda total=None, step=1: None)
    progress(total=3 + len(inputs.models))
    meta, blobs = build_page_data(inputs, args, progress)
    text = render(meta, blobs)
    progress()
    return text
