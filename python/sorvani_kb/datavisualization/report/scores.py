"""Forecast evaluation of the report's input as forecasters do it: per model, per cross-validation
window and pooled over the windows, per member of the hierarchy.

    hierarchy = ms.build_hierarchy(member_ids(inputs))
    result = evaluate(inputs, hierarchy, hierarchy.depth)      # an Evaluation, arrays only

Everything is whole-array numpy over grids ``[windows, n, h]`` (`window_grid`): one row per member
a model forecasts, one column per step ahead, windows of different lengths padded with NaN. Each
window's scaled measures divide by the seasonal-naive error of the member's observed values on or
before that window's cutoff (`window_scales`, the same numbers as
``evaluation.naive_scale(evaluation.histories_before(...))`` from prefix sums, without a
``[windows, n, dates]`` copy). Pooled over the windows means every window's cells of a member
together, each cell scaled by its own window's history: the kernels of `evaluation` run on the
member's cells of every window laid side by side. A cell whose window has an undefined scale (a
constant or too short history) is left out of the scaled measures; a member with no such cell
gets NaN, never infinity.

The columns (`COLUMNS` says what each is) are named as `Report.measures` names them:
``mae``, ``rmse``, ``smape_pct``, ``bias``, ``mase``, ``rmsse``, ``coverage_pct`` (the widest
interval), ``coverage_<L>_pct`` and ``interval_score_<L>`` per interval level L,
``pinball_<P>`` per quantile (P in %), ``missing``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np
import pandas as pd

from . import evaluation as ev
from . import measures as ms
from .errors import InputError

_SERIES = "the series' units"
_SCALED = "a ratio to the member's in-sample seasonal-naive MAE (unitless)"

# What each column of the report's measure frames holds: (unit, how it is computed). "<L>" is an
# interval level in % (80, 97.5), "<P>" a quantile's probability in % (10, 2.5), "<measure>" a
# column of the loss measures.
COLUMNS = {
    "unique_id": ("text", "the member's id, a path of the hierarchy"),
    "model": ("text", "the model's name"),
    "depth": ("count", "the member's depth in its hierarchy: 0 for a root, 1 for its direct sub-members, ..."),
    "interval_level": ("%", "the level of the interval of coverage_pct (NaN: no interval, or none given)"),
    "window": ("index", "the cross-validation window, 0 for the earliest cutoff (0 without cutoffs)"),
    "cutoff": ("date", "the window's cutoff: its last training date (empty without a cutoff column)"),
    "coherence_gap_pct": (
        "%",
        "largest relative difference between the member's forecast and the sum of its direct sub-members' "
        "over the dates where all have a value (NaN without sub-members; the largest of the windows' for "
        "cross-validation)",
    ),
    "missing": ("count", "missing forecast values (point and interval bounds), absent rows included, every window"),
    "mae": (_SERIES, ev.HELP["mae"]),
    "rmse": (_SERIES, ev.HELP["rmse"]),
    "smape_pct": ("% (0 to 200)", ev.HELP["smape"]),
    "bias": (_SERIES, ev.HELP["bias"]),
    "mase": (_SCALED, ev.HELP["mase"]),
    "rmsse": (_SCALED, ev.HELP["rmsse"]),
    "coverage_pct": ("%", ev.HELP["coverage"] + " Of the widest interval the input gives."),
    "coverage_<L>_pct": ("%", ev.HELP["coverage"]),
    "interval_score_<L>": (_SCALED, ev.HELP["scaled_interval_score"] + " " + ev.HELP["interval_score"]),
    "pinball_<P>": (_SCALED, ev.HELP["scaled_pinball"] + " " + ev.HELP["pinball"]),
    "rank": (
        "count",
        "the model's rank among the models for the member by MASE: 1 the lowest, ties to the first model",
    ),
    "<measure>_rel": ("ratio", ev.HELP["relative"]),
}
POOLED_NOTE = (
    "With cross-validation windows: every window's forecast dates of the member together, each scaled by "
    "the member's own history up to that window's cutoff."
)
POINT = ("mae", "rmse", "smape_pct", "bias", "mase", "rmsse")
LOSSES = ("mae", "rmse", "smape_pct", "mase", "rmsse")  # and every interval_score_<L>, pinball_<P>
OVERALL = "Overall"


def number_text(value: float) -> str:
    """80 -> "80", 97.5 -> "97.5", 0.1 * 100 -> "10"."""
    return f"{round(float(value), 9):g}"


def coverage_column(level) -> str:
    return f"coverage_{number_text(level)}_pct"


def interval_column(level) -> str:
    return f"interval_score_{number_text(level)}"


def pinball_column(p) -> str:
    return f"pinball_{number_text(100.0 * float(p))}"


def column_help(column: str) -> tuple:
    """(unit, help) of a measure column, its level or quantile put into the pattern's text."""
    if column in COLUMNS:
        return COLUMNS[column]
    for pattern, (unit, text) in COLUMNS.items():
        head, _, tail = pattern.partition("<")
        tail = tail.partition(">")[2]
        if "<" in pattern and column.startswith(head) and column.endswith(tail):
            return unit, text
    raise KeyError(column)


# -- grids over windows --------------------------------------------------------------------------


@dataclass
class WindowGrid:
    """One model's forecasts over its cross-validation windows: [W, n, H] float64 arrays, NaN where
    a value is missing or beyond a window's last step (a shorter window) or the window lacks the id."""

    model: str
    gid: np.ndarray  # int64 [n]: the hierarchy member of each row, ascending
    windows: np.ndarray  # int64 [W]: the window indexes (into Inputs.cutoffs) the model has
    steps: np.ndarray  # int64 [W]: the number of forecast dates of each window
    dates: np.ndarray  # [W, H]: each window's forecast dates by step (NaT, or 0 for steps, past its end)
    present: np.ndarray  # bool [W, n, H]: the input has a row there (filled gaps included)
    mean: np.ndarray
    lo: np.ndarray
    hi: np.ndarray
    y: np.ndarray  # the observed value on each forecast date
    bands: dict = field(default_factory=dict)  # level -> (lo, hi), each [W, n, H]
    quantiles: dict = field(default_factory=dict)  # probability -> [W, n, H]

    def __len__(self):
        return len(self.gid)


def member_ids(inputs) -> np.ndarray:
    """The sorted distinct ids of every model and window."""
    ids = ms.all_ids(inputs.forecasts, inputs.models)
    return ids if inputs.cutoffs is None or len(inputs.cutoffs) < 2 else np.unique(ids)


def observed_matrix(observed, n) -> tuple:
    """The observed values as an [n, T] matrix over their date axis (NaN where none), and the
    axis. Where every member has every date the matrix is a view of the observed values: read only."""
    if observed is None:
        return np.full((n, 0), np.nan), np.zeros(0, dtype="datetime64[ns]")
    return observed.matrix(), observed.axis


def _cells(frame, hierarchy):
    """Per row of one model's frame: its window slot, member row and step; the windows and gids."""
    window = frame["window"].to_numpy(dtype=np.int64)
    ids = frame["id"].to_numpy(dtype=object)
    change = np.ones(len(ids), dtype=bool)
    change[1:] = (window[1:] != window[:-1]) | (ids[1:] != ids[:-1])
    starts = np.flatnonzero(change)
    lengths = np.diff(np.append(starts, len(ids)))
    run_g = pd.Index(hierarchy.ids).get_indexer(ids[starts]).astype(np.int64)
    gid = np.unique(run_g)
    windows = np.unique(window[starts])
    row = np.repeat(np.searchsorted(gid, run_g), lengths)
    step = np.arange(len(ids)) - np.repeat(starts, lengths)
    return np.searchsorted(windows, window), row, step, windows, gid


def window_grid(inputs, model, hierarchy, observed, history=None) -> WindowGrid:
    """The grid of `model` over its windows (see WindowGrid); `observed` is what
    measures.observed_by_id gives, `history` its `observed_matrix` when already made. One window
    gives the same matrices as measures.model_grid."""
    start, stop = ms.model_slices(inputs.forecasts, inputs.models)[model]
    frame = inputs.forecasts.iloc[start:stop]
    slot, row, step, windows, gid = _cells(frame, hierarchy)
    shape = (len(windows), len(gid), int(step.max()) + 1 if len(step) else 0)
    ds = frame["ds"].to_numpy()
    dates = np.full(shape[::2], "NaT" if ds.dtype.kind == "M" else 0, dtype=ds.dtype)
    dates[slot, step] = ds
    steps = np.zeros(shape[0], dtype=np.int64)
    np.maximum.at(steps, slot, step + 1)
    cells = (slot * shape[1] + row) * shape[2] + step  # each row's place in the flat grid
    # The canonical rows (sorted by window, id and step, none absent) fill the grid in order.
    full = len(cells) == np.prod(shape) and bool((cells == np.arange(len(cells))).all())
    present = np.full(shape, full)
    if not full:
        present.reshape(-1)[cells] = True

    def place(values):
        if full:  # the frame's own column, read-only: no copy of it per model
            view = np.asarray(values, dtype=np.float64).reshape(shape).view()
            view.flags.writeable = False
            return view
        out = np.full(shape, np.nan)
        out.reshape(-1)[cells] = values
        return out

    matrix, axis = history or observed_matrix(observed, len(hierarchy))
    t = np.searchsorted(axis, ds) if len(axis) else np.zeros(len(ds), dtype=np.int64)
    hit = t < len(axis)  # (an empty axis holds no dates: nothing to compare with)
    if hit.any():
        hit[hit] = axis[t[hit]] == ds[hit]
    y = np.full(len(ds), np.nan)
    y[hit] = matrix[gid[row[hit]], t[hit]]
    column = {c: frame[c].to_numpy(dtype=np.float64) for c in ("mean", "lo", "hi")}
    return WindowGrid(
        model=model,
        gid=gid,
        windows=windows,
        steps=steps,
        dates=dates,
        present=present,
        mean=place(column["mean"]),
        lo=place(column["lo"]),
        hi=place(column["hi"]),
        y=place(y),
        bands={lv: (place(a), place(b)) for lv, (a, b) in sorted(inputs.bands.get(model, {}).items())},
        quantiles={p: place(q) for p, q in sorted(inputs.quantiles.get(model, {}).items())},
    )


def history_ends(inputs, grid, axis) -> np.ndarray:
    """Per window of `grid`, the number of leading columns of the observed `axis` that are its
    history: the dates on or before its cutoff, else (no cutoffs) before its first forecast date."""
    if inputs.cutoffs is not None and len(axis):
        return np.searchsorted(axis, np.asarray(inputs.cutoffs)[grid.windows], side="right")
    if not len(axis) or not grid.dates.shape[1]:
        return np.zeros(len(grid.windows), dtype=np.int64)
    return np.searchsorted(axis, grid.dates[:, 0], side="left")


_ROWS = 256  # rows of the history differenced at a time: a few [rows, dates] float64 buffers, in cache


@ev.quiet
def naive_scales(history, ends, m=1) -> tuple:
    """Per window and row, ``evaluation.naive_scale`` of the row's history ``[n, T]`` cut at the
    window's end column (``ends`` [W]: columns before it), of the absolute and of the squared
    seasonal differences: ([W, n], [W, n]), NaN where undefined or 0. One pass over the history,
    a block of rows at a time, summing the differences between consecutive cuts."""
    if int(m) < 1:
        raise ValueError(f"a season length of at least 1, not {m}")
    m = int(m)
    n, width = history.shape
    ends = np.asarray(ends, dtype=np.int64)
    if width <= m:
        nan = np.full((len(ends), n), np.nan)
        return nan, nan.copy()
    k = np.clip(ends - m, 0, width - m)  # pairs ending before the window's end column
    cuts = np.unique(k)  # the pairs before each cut are summed: segments between the cuts
    starts = np.r_[0, cuts[:-1]]
    empty = starts >= cuts  # (only the first can be: the cuts are distinct)
    sums = np.zeros((3, len(cuts), n))  # absolute, squared, count
    last = int(cuts[-1]) if len(cuts) else 0
    for a in range(0, n if last else 0, _ROWS):
        _segment_sums(history[a : a + _ROWS, : last + m], m, starts, empty, sums[:, :, a : a + _ROWS])
    at = np.searchsorted(cuts, k)
    total, count = sums[:2, at], sums[2, at]
    with np.errstate(invalid="ignore", divide="ignore"):
        scale = np.where(count > 0, total / np.maximum(count, 1), np.nan)
    scale = np.where(np.isfinite(scale) & (scale > 0), scale, np.nan)
    return scale[0], scale[1]


def _segment_sums(block, m, starts, empty, out):
    """Into `out` [3, cuts, rows]: per row of `block`, the running sums over the segments from
    `starts` of the absolute and the squared seasonal differences and their count (a missing
    difference counts as none). `empty`: the segments without a pair."""
    diff = np.subtract(block[:, m:], block[:, :-m])  # the pair ending at column t = m, m + 1, ...
    valid = np.isfinite(diff)
    np.copyto(diff, 0.0, where=~valid)
    work = np.empty_like(diff)
    for j in range(3):
        part = np.abs(diff, out=work) if j == 0 else np.multiply(diff, diff, out=work) if j == 1 else valid
        segments = np.add.reduceat(part, starts, axis=1, dtype=np.float64)
        segments[:, empty] = 0.0  # reduceat gives an empty segment its start's column
        np.cumsum(segments.T, axis=0, out=out[j])


def window_scales(history, ends, m=1, kind="mae") -> np.ndarray:
    """The scales of naive_scales of one kind: "mae" (absolute) or "mse" (squared)."""
    if kind not in ("mae", "mse") or int(m) < 1:
        raise ValueError(f"kind 'mae' or 'mse' and a season length of at least 1, not {kind!r} and {m}")
    return naive_scales(history, ends, m)[0 if kind == "mae" else 1]


# -- the measures of one model -------------------------------------------------------------------


@ev.quiet
def _over(values, scale):
    """Cells [W, n, H] divided by their row's scale [W, n]; NaN where the scale is undefined."""
    ok = np.isfinite(scale) & (scale > 0)
    return np.where(ok[..., None], values / np.where(ok, scale, 1.0)[..., None], np.nan)


def _side_by_side(values):
    """[W, n, H] -> [n, W * H]: every window's cells of a row together, for the pooled measures."""
    return values.transpose(1, 0, 2).reshape(values.shape[1], -1)


def _tables(grid, s_mae, s_mse, pooled):
    """Every measure column of `grid` per window ([W, n]) and, when `pooled`, over the windows'
    cells of each row together ([n]): each measure's per-date terms are made once, and the pooled
    means sum them in the order the kernels sum `_side_by_side` cells (to the bit their values)."""
    tables: list = [{}, {}] if pooled else [{}]

    @ev.quiet
    def put(column, terms, finish=None):
        values, valid = terms
        masked = np.where(valid, values, 0.0)
        del values
        counts = valid.sum(axis=-1)
        sums = [(masked.sum(axis=-1), counts)]
        if pooled:
            sums.append((_side_by_side(masked).sum(axis=-1), counts.sum(axis=0)))
        for table, (total, n) in zip(tables, sums):
            mean = ev.masked_mean(total, n)
            table[column] = finish(mean) if finish is not None else mean

    y, f = grid.y, grid.mean
    put("mae", ev.mae_terms(y, f))
    put("rmse", ev.mse_terms(y, f), np.sqrt)
    put("smape_pct", ev.smape_terms(y, f))
    put("bias", ev.bias_terms(y, f))
    ys = _over(y, s_mae)
    put("mase", ev.mae_terms(ys, _over(f, s_mae)))
    root = np.sqrt(s_mse)
    put("rmsse", ev.mse_terms(_over(y, root), _over(f, root)), np.sqrt)
    put("coverage_pct", ev.coverage_terms(y, grid.lo, grid.hi))
    for level, (lo, hi) in grid.bands.items():
        put(coverage_column(level), ev.coverage_terms(y, lo, hi))
        put(interval_column(level), ev.interval_score_terms(ys, _over(lo, s_mae), _over(hi, s_mae), level))
    for p, q in grid.quantiles.items():
        put(pinball_column(p), ev.pinball_terms(ys, _over(q, s_mae), p))
    missing = grid.present & np.isnan(grid.mean)
    if np.isfinite(grid.lo).any() or np.isfinite(grid.hi).any():
        missing = missing.astype(np.int64) + (grid.present & np.isnan(grid.lo)) + (grid.present & np.isnan(grid.hi))
    per_window = missing.astype(np.float64).sum(axis=-1)  # small whole numbers: exact in any order
    tables[0]["missing"] = per_window
    if pooled:
        tables[1]["missing"] = per_window.sum(axis=0)
    return tables


def _by_level(values, groups, n_groups):
    """Per group of rows and in total, the sums of [W, n, ...] cell values over windows, rows and
    the remaining axes but the last: [n_groups + 1, last]."""
    per_row = values.sum(axis=0)  # [n, last]
    last = per_row.shape[-1]
    cell = groups[:, None] * last + np.arange(last)[None, :]
    sums = np.zeros((n_groups + 1, last))
    sums[:-1] = np.bincount(cell.ravel(), weights=per_row.ravel(), minlength=n_groups * last).reshape(n_groups, last)
    sums[-1] = per_row.sum(axis=0)
    return sums


@ev.quiet
def _horizon(grid, s_mae, groups, n_groups):
    """Per level (and overall, the last row) and step ahead: MAE, MASE-scaled MAE and counts."""
    err = np.abs(grid.y - grid.mean)
    known = np.isfinite(err)
    scaled = _over(err, s_mae)
    known_s = np.isfinite(scaled)
    count = _by_level(known.astype(np.float64), groups, n_groups)
    count_s = _by_level(known_s.astype(np.float64), groups, n_groups)
    mae = _by_level(np.where(known, err, 0.0), groups, n_groups)
    mase = _by_level(np.where(known_s, scaled, 0.0), groups, n_groups)
    return {
        "mae": np.where(count > 0, mae / np.maximum(count, 1), np.nan),
        "mase": np.where(count_s > 0, mase / np.maximum(count_s, 1), np.nan),
        "count": count.astype(np.int64),
        "scaled_count": count_s.astype(np.int64),
    }


def _calibration(grid, groups, n_groups):
    """Per interval level: (covered cells, cells with an observed value and both bounds), each
    [n_groups + 1] by level of the hierarchy, the last overall."""
    out = {}
    for level, (lo, hi) in grid.bands.items():
        known = np.isfinite(grid.y) & np.isfinite(lo) & np.isfinite(hi)
        inside = known & (lo <= grid.y) & (grid.y <= hi)
        cells = np.stack([inside.sum(axis=2), known.sum(axis=2)], axis=-1).astype(np.float64)  # [W, n, 2]
        sums = _by_level(cells, groups, n_groups)
        out[level] = (sums[:, 0].astype(np.int64), sums[:, 1].astype(np.int64))
    return out


# -- the evaluation of every model ---------------------------------------------------------------


@dataclass
class ModelScores:
    """One model's measures. `window` holds [W, n] arrays (W the model's windows, n its members),
    `pooled` [n] arrays, both keyed by column name; `horizon` [levels + 1, H] arrays by hierarchy
    level and step ahead (the last row: every member); `calibration` per interval level the
    (covered, known) cell counts [levels + 1]."""

    model: str
    gid: np.ndarray  # int64 [n]: the members the model forecasts, ascending
    windows: np.ndarray  # int64 [W]: their indexes into Evaluation.cutoffs
    window: dict
    pooled: dict
    horizon: dict
    calibration: dict


@dataclass
class Evaluation:
    """The measures of every model (see ModelScores) over the hierarchy's members."""

    ids: np.ndarray  # the hierarchy's ids
    depth: np.ndarray  # int32 [N]
    levels: np.ndarray  # int64 [N]: each member's level of the summaries, an index of level_names
    level_names: list
    season_length: int
    cutoffs: Optional[np.ndarray]  # the windows' cutoffs, None without a cutoff column
    models: list  # ModelScores, in the input's model order

    @property
    def names(self) -> list:
        return [s.model for s in self.models]

    def scores(self, model: str) -> ModelScores:
        return self.models[self.names.index(model)]

    def member(self, model: str, column: str) -> np.ndarray:
        """A pooled column of `model` over every member of the hierarchy, NaN where the model
        lacks the member or the column."""
        s = self.scores(model)
        out = np.full(len(self.ids), np.nan)
        if column in s.pooled:
            out[s.gid] = s.pooled[column]
        return out

    def columns(self) -> list:
        """The measure columns of every model, in a fixed order: the point measures, coverage of
        the widest interval, per level its coverage and interval score, per quantile its pinball
        loss, missing."""
        bands = sorted({k for s in self.models for k in s.pooled if k.startswith("interval_score_")}, key=_number)
        quantiles = sorted({k for s in self.models for k in s.pooled if k.startswith("pinball_")}, key=_number)
        per_level = [c for k in bands for c in (coverage_column(_number(k)), k)]
        return [*POINT, "coverage_pct", *per_level, *quantiles, "missing"]


def _number(column):
    return float(column.rsplit("_", 1)[-1])


def season_of(inputs, observed) -> int:
    """The season length of the input's dates: of the observed and forecast dates together."""
    if inputs.time_kind != "datetime":
        return 1
    dates = pd.unique(inputs.forecasts["ds"].to_numpy())
    if observed is not None:
        dates = np.concatenate([observed.axis, dates])
    return ev.season_length(dates)


def default_levels(hierarchy) -> tuple:
    """The summaries' levels by depth: (levels [N], names "level 0", "level 1", ...)."""
    depth = np.asarray(hierarchy.depth, dtype=np.int64)
    top = int(depth.max()) + 1 if len(depth) else 0
    return depth, [f"level {d}" for d in range(top)]


def evaluate(
    inputs,
    hierarchy,
    levels: Optional[np.ndarray] = None,
    level_names: Optional[Sequence[str]] = None,
    season_length: Optional[int] = None,
    observed: Optional[ms.Observed] = None,
) -> Evaluation:
    """Every model's measures of `inputs` over the members of `hierarchy` (measures.Hierarchy),
    per window and pooled. `levels` [N] gives each member's group of the summaries (default: its
    depth), `level_names` their names (default "level 0", ...); `season_length` the m of MASE and
    the scaled scores (default: found from the dates, evaluation.season_length); `observed`:
    measures.observed_by_id of the input over `hierarchy`, when already made."""
    if levels is None:
        levels, names = default_levels(hierarchy)
        level_names = level_names or names
    levels = np.asarray(levels, dtype=np.int64)
    n_groups = int(levels.max()) + 1 if len(levels) else 0
    level_names = list(level_names) if level_names is not None else [f"level {g}" for g in range(n_groups)]
    if len(level_names) < n_groups:
        raise ValueError(f"{n_groups} levels but {len(level_names)} level names")
    if observed is None:
        observed = ms.observed_by_id(inputs.observed, hierarchy)
    m = int(season_length) if season_length else season_of(inputs, observed)
    history, axis = observed_matrix(observed, len(hierarchy))
    models, scales = [], {}
    for model in inputs.models:
        grid = window_grid(inputs, model, hierarchy, observed, (history, axis))
        ends = history_ends(inputs, grid, axis)
        if tuple(ends) not in scales:  # the models of one input share their windows' ends
            scales[tuple(ends)] = naive_scales(history, ends, m)
        s_mae, s_mse = (s[:, grid.gid] for s in scales[tuple(ends)])
        one = len(grid.windows) == 1  # pooled over one window: that window's values
        window, *others = _tables(grid, s_mae, s_mse, pooled=not one)
        pooled = {k: v[0] for k, v in window.items()} if one else others[0]
        del others
        groups = levels[grid.gid]
        models.append(
            ModelScores(
                model=model,
                gid=grid.gid,
                windows=grid.windows,
                window=window,
                pooled=pooled,
                horizon=_horizon(grid, s_mae, groups, len(level_names)),
                calibration=_calibration(grid, groups, len(level_names)),
            )
        )
        del grid, window, pooled  # before the next model's are made
    return Evaluation(
        ids=hierarchy.ids,
        depth=hierarchy.depth,
        levels=levels,
        level_names=level_names,
        season_length=m,
        cutoffs=inputs.cutoffs,
        models=models,
    )


# -- frames --------------------------------------------------------------------------------------


def check_model(evaluation: Evaluation, model: str, what: str = "benchmark=") -> str:
    """`model` if the evaluation has it; an InputError naming the models present otherwise."""
    names = evaluation.names
    if model not in names:
        shown = ", ".join(repr(n) for n in names[:12]) + (f" and {len(names) - 12} more" if len(names) > 12 else "")
        raise InputError(f"no model {model!r} for {what} (models present: {shown})")
    return model


def check_measure(evaluation: Evaluation, measure: str) -> str:
    known = [c for c in evaluation.columns() if c != "missing"]
    if measure not in known:
        raise InputError(f"measure {measure!r}: not one of {', '.join(known)}")
    return measure


def _matrix(evaluation, column):
    """[models, N]: the pooled column of every model over every member, NaN where undefined."""
    return np.stack([evaluation.member(m, column) for m in evaluation.names]) if evaluation.models else np.zeros((0, 0))


def ranks(evaluation: Evaluation, measure: str = "mase") -> np.ndarray:
    """[models, N]: each model's rank for each member by `measure` (1 the lowest), ties to the
    model that comes first; NaN where the model's value is undefined."""
    values = _matrix(evaluation, measure)
    key = np.where(np.isfinite(values), values, np.inf)
    order = np.argsort(key, axis=0, kind="stable")
    rank = np.empty_like(order)
    np.put_along_axis(rank, order, np.arange(1, len(values) + 1)[:, None], axis=0)
    return np.where(np.isfinite(values), rank.astype(np.float64), np.nan)


def _level_index(evaluation):
    return pd.Index([*evaluation.level_names, OVERALL], name="level")


def summary_frame(evaluation: Evaluation, measure: str = "mase", benchmark: Optional[str] = None) -> pd.DataFrame:
    """Level x model: the mean of `measure` over the level's members (evaluation.summary; Overall:
    every member, evaluation.pooled); with a `benchmark` model, that mean relative to the
    benchmark's over the members both know (evaluation.relative_summary)."""
    check_measure(evaluation, measure)
    n_groups = len(evaluation.level_names)
    base = evaluation.member(check_model(evaluation, benchmark), measure) if benchmark else None
    out = {}
    for model in evaluation.names:
        values = evaluation.member(model, measure)
        if base is None:
            means, _ = ev.summary(values, evaluation.levels, n_groups)
            overall, _ = ev.pooled(values)
        else:
            means, _ = ev.relative_summary(values, base, evaluation.levels, n_groups)
            overall, _ = ev.relative_summary(values, base)
        out[model] = np.append(means, overall)
    return pd.DataFrame(out, index=_level_index(evaluation), columns=pd.Index(evaluation.names, name="model"))


def best_frame(evaluation: Evaluation, measure: str = "mase") -> pd.DataFrame:
    """Level x model: how many members each model is best for by `measure` (the lowest; ties to
    the first model); a member where no model's value is defined counts for none."""
    rank = ranks(evaluation, measure)
    n_groups = len(evaluation.level_names)
    out = {}
    for i, model in enumerate(evaluation.names):
        best = np.bincount(evaluation.levels[rank[i] == 1], minlength=n_groups)[:n_groups]
        out[model] = np.append(best, best.sum()).astype(np.int64)
    return pd.DataFrame(out, index=_level_index(evaluation), columns=pd.Index(evaluation.names, name="model"))


def horizon_frame(evaluation: Evaluation) -> pd.DataFrame:
    """Tidy: level, model, step (1 = the first forecast date after the cutoff), mae, mase (the
    mean of |observed - forecast| / the member's MAE scale), count (cells of mae), scaled_count."""
    parts = []
    names = [*evaluation.level_names, OVERALL]
    for s in evaluation.models:
        g, h = s.horizon["mae"].shape
        part = {"level": np.repeat(names, h), "model": s.model, "step": np.tile(np.arange(1, h + 1), g)}
        part.update({k: s.horizon[k].ravel() for k in ("mae", "mase", "count", "scaled_count")})
        parts.append(pd.DataFrame(part))
    if not parts:
        return pd.DataFrame(columns=["level", "model", "step", "mae", "mase", "count", "scaled_count"])
    return pd.concat(parts, ignore_index=True)


def calibration_frame(evaluation: Evaluation) -> pd.DataFrame:
    """Tidy: level, model, interval_level (the nominal %), coverage_pct (the share of the level's
    forecast dates with an observed value and both bounds where the value lies inside, every
    window and member together), count (those dates)."""
    rows = []
    names = [*evaluation.level_names, OVERALL]
    for s in evaluation.models:
        for level, (inside, known) in s.calibration.items():
            with np.errstate(invalid="ignore", divide="ignore"):
                share = np.where(known > 0, inside * 100.0 / np.maximum(known, 1), np.nan)
            rows.append(
                pd.DataFrame(
                    {
                        "level": names,
                        "model": s.model,
                        "interval_level": float(level),
                        "coverage_pct": share,
                        "count": known,
                    }
                )
            )
    if not rows:
        return pd.DataFrame(columns=["level", "model", "interval_level", "coverage_pct", "count"])
    return pd.concat(rows, ignore_index=True)


def loss_columns(evaluation: Evaluation) -> list:
    """The columns a benchmark makes relative: the point and scaled errors and the scores."""
    return [c for c in evaluation.columns() if c in LOSSES or c.startswith(("interval_score_", "pinball_"))]


def member_columns(frame: pd.DataFrame, evaluation: Evaluation, benchmark: Optional[str] = None) -> pd.DataFrame:
    """`frame` (one row per member and model: `unique_id`, `model`) with the pooled measures of
    its rows (replacing columns of the same names), `rank` by MASE and, with a benchmark,
    `<measure>_rel` per loss column."""
    out = frame.copy()
    if not len(out):
        return out
    ids = pd.Index(evaluation.ids).get_indexer(out["unique_id"].to_numpy(dtype=object))
    codes = pd.Index(evaluation.names).get_indexer(out["model"].to_numpy(dtype=object))
    for column in evaluation.columns():
        out[column] = _matrix(evaluation, column)[codes, ids]
    out["missing"] = out["missing"].astype(np.int64)
    out["rank"] = pd.array(ranks(evaluation)[codes, ids], dtype="Int64")
    if benchmark:
        b = evaluation.names.index(check_model(evaluation, benchmark))
        for column in loss_columns(evaluation):
            values = _matrix(evaluation, column)
            out[f"{column}_rel"] = ev.relative(values, values[b][None, :])[codes, ids]
    return out


def window_frame(evaluation: Evaluation) -> pd.DataFrame:
    """One row per model, window and member, in that order: unique_id, model, window, cutoff,
    depth and every measure column of that window alone."""
    columns = evaluation.columns()
    parts = []
    for s in evaluation.models:
        n = len(s.gid)
        window = np.repeat(s.windows, n)
        part = {
            "unique_id": pd.Series(np.tile(evaluation.ids[s.gid], len(s.windows)), dtype=object),
            "model": s.model,
            "window": window,
            "cutoff": evaluation.cutoffs[window] if evaluation.cutoffs is not None else pd.NaT,
            "depth": np.tile(np.asarray(evaluation.depth, dtype=np.int64)[s.gid], len(s.windows)),
        }
        nan = np.full(len(window), np.nan)
        part.update({c: np.asarray(s.window[c], dtype=np.float64).ravel() if c in s.window else nan for c in columns})
        parts.append(pd.DataFrame(part))
    if not parts:
        return pd.DataFrame(columns=["unique_id", "model", "window", "cutoff", "depth", *columns])
    frame = pd.concat(parts, ignore_index=True)
    frame["missing"] = frame["missing"].astype(np.int64)
    return frame


# -- what the page's overview shows ----------------------------------------------------------------

_LABELS = {"mae": "MAE", "rmse": "RMSE", "smape_pct": "sMAPE", "mase": "MASE", "rmsse": "RMSSE"}


def column_label(column: str) -> str:
    """A measure column's name on the page: "MASE", "coverage 80%", "pinball 10%"."""
    if column in _LABELS:
        return _LABELS[column]
    for head, name in (("coverage_", "coverage"), ("interval_score_", "interval score"), ("pinball_", "pinball")):
        if column.startswith(head):
            return f"{name} {column[len(head) :].removesuffix('_pct')}%"
    return column


def plain(values) -> list:
    """Floats as a JSON list: NaN and infinities as None."""
    array = np.asarray(values, dtype=np.float64).ravel()
    return np.where(np.isfinite(array), array.astype(object), None).tolist()


def page_measures(evaluation: Evaluation) -> list:
    """The columns the page summarises: MASE first, then the others but bias, the widest
    interval's coverage (each level's is there) and the missing count."""
    left_out = {"bias", "coverage_pct", "missing"}
    columns = [c for c in evaluation.columns() if c not in left_out]
    return sorted(columns, key=lambda c: c != "mase")


def _summaries(evaluation: Evaluation, benchmark: Optional[str]) -> list:
    relative = set(loss_columns(evaluation)) if benchmark else set()
    out = []
    for column in page_measures(evaluation):
        frame = summary_frame(evaluation, column, benchmark if column in relative else None)
        unit, text = column_help(column)
        out.append(
            {
                "key": column,
                "label": column_label(column),
                "unit": "%" if unit.startswith("%") and column not in relative else "",
                "help": text,
                "relative": column in relative,
                "values": [plain(row) for row in frame.to_numpy()],
            }
        )
    return out


def _horizon_traces(evaluation: Evaluation) -> list:
    """Per level (and Overall): the error by step of each model, scaled (mase) when every model
    has a scaled value somewhere at the level, else the MAE."""
    levels = []
    for g in range(len(evaluation.level_names) + 1):
        rows = [(s.model, s.horizon["mae"][g], s.horizon["mase"][g]) for s in evaluation.models]
        scaled = bool(rows) and all(np.isfinite(m).any() for _, _, m in rows)
        levels.append(
            {
                "measure": "mase" if scaled else "mae",
                "traces": [
                    {"model": model, "step": list(range(1, len(mae) + 1)), "value": plain(mase if scaled else mae)}
                    for model, mae, mase in rows
                ],
            }
        )
    return levels


def _calibration_traces(evaluation: Evaluation) -> list:
    """Per level (and Overall): each model's empirical coverage (%) at each nominal level."""
    frame = calibration_frame(evaluation)
    levels = []
    for name in [*evaluation.level_names, OVERALL]:
        here = frame[frame["level"] == name]
        traces = []
        for model in evaluation.names:
            rows = here[here["model"] == model].sort_values("interval_level")
            if len(rows):
                traces.append(
                    {"model": model, "nominal": plain(rows["interval_level"]), "coverage": plain(rows["coverage_pct"])}
                )
        levels.append(traces)
    return levels


# Where the page's member measures come from: its own columns (the measures module's keys) that
# the evaluation also computes, pooled over the windows.
_PAGE_KEYS = {"coverage": "coverage_pct", "mae": "mae", "smape": "smape_pct", "bias": "bias", "missing": "missing"}
# The measures whose worst members the overview lists (besides the measures module's).
_CARDS = ("mase", "rmsse", "mase_rel")


def _page_column(column: str, benchmark: Optional[str]) -> dict:
    """The page's description of a measure column: its key, label, worst end, unit and help."""
    base = column[: -len("_rel")] if column.endswith("_rel") else column
    unit, text = column_help(base)
    label, text = column_label(base), f"{text} Unit: {unit}."
    if base != column:
        label, text = f"{label} vs {benchmark}", f"{text} Relative: {ev.HELP['relative']}"
    coverage = base.startswith("coverage_")
    return {
        "key": column,
        "label": label,
        "worst": "low" if coverage else "high",
        "unit": "%" if coverage else "",
        "help": text,
        "card": column in _CARDS or coverage,
    }


@dataclass
class MemberColumns:
    """The evaluation's measures the page shows for each member beside the measures module's:
    MASE, RMSSE, RMSE, coverage per level (when the input gives more than one), the interval
    scores, the pinball losses and, with a benchmark, each loss relative to the benchmark's."""

    evaluation: Evaluation
    benchmark: Optional[str]
    columns: list  # the page's descriptions (_page_column), in the page's order

    @classmethod
    def of(cls, evaluation: Evaluation, benchmark: Optional[str] = None) -> "MemberColumns":
        own = {"mae", "smape_pct", "bias", "coverage_pct", "missing"}
        widest = {
            max((_number(k) for k in s.pooled if k.startswith("interval_score_")), default=None)
            for s in evaluation.models
        }
        if len(widest - {None}) == 1:  # every model's widest level: the page's own coverage
            own.add(coverage_column(next(iter(widest - {None}))))
        shown = [c for c in evaluation.columns() if c not in own]
        shown = sorted(shown, key=lambda c: (c != "mase", c != "rmsse"))
        if benchmark:
            shown += [f"{c}_rel" for c in loss_columns(evaluation)]
        return cls(evaluation, benchmark, [_page_column(c, benchmark) for c in shown])

    def _member(self, model: str, column: str, window: Optional[int]) -> np.ndarray:
        """[N]: `column` of `model` in `window` (an index into the cutoffs; None: pooled)."""
        if column.endswith("_rel"):
            base = column[: -len("_rel")]
            return ev.relative(self._member(model, base, window), self._member(self.benchmark or "", base, window))
        if window is None:
            return self.evaluation.member(model, column)
        s = self.evaluation.scores(model)
        out = np.full(len(self.evaluation.ids), np.nan)
        at = np.flatnonzero(s.windows == window)
        if len(at) and column in s.window:
            out[s.gid] = np.asarray(s.window[column], dtype=np.float64)[at[0]]
        return out

    def values(self, model: str, window: Optional[int] = None) -> np.ndarray:
        """[N, columns]: every column of `model` for every member of the hierarchy, in `window`
        or pooled over the windows (None), NaN where undefined or not forecast."""
        if model not in self.evaluation.names:
            return np.full((len(self.evaluation.ids), len(self.columns)), np.nan)
        cols = [self._member(model, c["key"], window) for c in self.columns]
        return np.stack(cols, axis=1) if cols else np.zeros((len(self.evaluation.ids), 0))

    def page_values(self, model: str) -> dict:
        """The pooled values of the page's own measure keys (coverage, mae, smape, bias, missing)
        of `model`, each [N]: what the page shows for "all windows"."""
        return {key: self.evaluation.member(model, column) for key, column in _PAGE_KEYS.items()}


def page_data(evaluation: Evaluation, benchmark: Optional[str] = None) -> dict:
    """The evaluation as the page shows it, in plain lists: the levels (and Overall),
    the models, per measure its summary (level x model; relative to the benchmark for the loss
    measures when one is given), the best counts by MASE, the error by step ahead and the
    calibration per level; `rank`, [models, members] (NaN: none), each model's rank for each
    member by MASE, which the page stores with its arrays; and `members` (MemberColumns), the
    measures of each member the page shows beside its own."""
    if benchmark:
        check_model(evaluation, benchmark)
    return {
        "levels": [*evaluation.level_names, OVERALL],
        "models": evaluation.names,
        "benchmark": benchmark or None,
        "summaries": _summaries(evaluation, benchmark),
        "best": best_frame(evaluation).to_numpy().tolist(),
        "horizon": _horizon_traces(evaluation),
        "calibration": _calibration_traces(evaluation),
        "rank": ranks(evaluation),
        "members": MemberColumns.of(evaluation, benchmark),
    }
