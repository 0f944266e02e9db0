"""The hierarchy of the report's ids and the per-member measures, computed over whole columns.

Everything here works on matrices, one row per id and one column per forecast date of a model
(the canonical input gives every id a row for every forecast date of its model, so a model's
forecasts reshape into such a grid without any per-series Python loop):

- `build_hierarchy(ids)`: parent, depth and number of direct sub-members of every id. An id's
  parent is the id one "/" level up, when the input holds it; an id whose parent is absent is a
  root of its own hierarchy.
- `model_grid(inputs, model, hierarchy, observed)`: a model's forecasts and the observed values
  on its forecast dates, as grids.
- `child_sums(grid, hierarchy)`: per member with sub-members, the date-by-date sum of its direct
  sub-members' point forecasts, as the module's sum check adds them.
- `group_sums(grid, structure)`: the same per grouping of a grouped structure (an aggregate split
  in one direction: `Italia` by State, `Italia` by Sector), one sparse product over its members.
- `member_measures(grid, sums)`: coherence gap, interval coverage, MAE, sMAPE, bias and missing
  values per member; a member split several ways has the gap of its worst grouping.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from .evaluation import quiet

ROUNDING = 1e-12  # relative differences below this are the rounding of a sum of floats


@dataclass(frozen=True)
class Measure:
    key: str
    label: str
    worst: str  # "high", "low" or "abs" (largest in absolute value): which values are worst
    unit: str  # "" | "%" | "count"
    help: str


MEASURES = (
    Measure(
        "gap",
        "coherence gap",
        "high",
        "%",
        "largest relative difference between the member's forecast and the sum of its direct "
        "sub-members' forecasts over the forecast dates where all of them have a value: "
        "|forecast - sum| / max(|forecast|, |sum|); below 1e-10 % it is the rounding of the sum, and 0",
    ),
    Measure(
        "coverage",
        "coverage",
        "low",
        "%",
        "share of the forecast dates with an observed value where that value lies inside the prediction interval",
    ),
    Measure(
        "mae", "MAE", "high", "", "mean absolute error: mean of |observed - forecast| over the forecast dates with both"
    ),
    Measure(
        "smape",
        "sMAPE",
        "high",
        "%",
        "symmetric mean absolute percentage error: mean of 2 |observed - forecast| / "
        "(|observed| + |forecast|), a date where both are 0 counting as 0",
    ),
    Measure(
        "bias",
        "bias",
        "abs",
        "",
        "mean of forecast - observed (positive: the forecast is too high); the worst are the largest in absolute value",
    ),
    Measure(
        "missing",
        "missing",
        "high",
        "count",
        "number of missing forecast values (point forecast and interval bounds), rows the file lacked included",
    ),
)


@dataclass
class Hierarchy:
    ids: np.ndarray  # object array of str, sorted
    parent: np.ndarray  # int32, -1 for a root
    depth: np.ndarray  # int32, 0 for a root
    n_children: np.ndarray  # int32
    names: list  # the text after the parent's id and "/", or the whole id for a root

    def __len__(self):
        return len(self.ids)


def runs(values):
    """Start offsets of the runs of equal consecutive values of a 1-d array (sorted input gives
    one run per distinct value), and the values of the runs."""
    values = np.asarray(values)
    if len(values) == 0:
        return np.zeros(0, dtype=np.int64), values[:0]
    change = np.empty(len(values), dtype=bool)
    change[0] = True
    np.not_equal(values[1:], values[:-1], out=change[1:])
    starts = np.flatnonzero(change)
    return starts, values[starts]


def build_hierarchy(ids):
    """The hierarchy of `ids` (distinct texts, sorted)."""
    ids = np.asarray(ids, dtype=object)
    split = [i.rpartition("/") for i in ids.tolist()]
    prefix = np.array([p[0] for p in split], dtype=object)
    has_slash = np.array([bool(p[1]) for p in split], dtype=bool)
    parent = pd.Index(ids).get_indexer(prefix).astype(np.int32)
    parent[~has_slash] = -1
    depth = np.zeros(len(ids), dtype=np.int32)
    up = parent.copy()
    while (up >= 0).any():
        live = up >= 0
        depth[live] += 1
        up[live] = parent[up[live]]
    n_children = np.bincount(parent[parent >= 0], minlength=len(ids)).astype(np.int32)
    names = [last if p >= 0 else ident for (_, _, last), p, ident in zip(split, parent.tolist(), ids.tolist())]
    return Hierarchy(ids=ids, parent=parent, depth=depth, n_children=n_children, names=names)


def model_slices(forecasts, models):
    """Row ranges [start, stop) of each model's rows in the canonical forecast frame."""
    codes = np.asarray(forecasts["model"].array.codes)
    bounds = np.append(np.searchsorted(codes, np.arange(len(models), dtype=codes.dtype), side="left"), len(codes))
    return {m: (int(bounds[i]), int(bounds[i + 1])) for i, m in enumerate(models)}


def _distinct(values):
    """Sorted runs of ids (one window) as they are; the ids of several windows sorted and made
    distinct (the windows' ids as they are when every window has the same)."""
    if len(values) < 2:
        return values
    rising = values[1:] > values[:-1]
    if rising.all():
        return values
    return _same_or_union(np.split(values, np.flatnonzero(~rising) + 1))


def _same_or_union(parts):
    """The sorted union of sorted arrays of distinct texts: the first as it is when all are equal
    (the usual case, found without sorting texts: the same str objects compare by identity)."""
    if all(np.array_equal(p, parts[0]) for p in parts[1:]):
        return parts[0]
    return np.unique(np.concatenate(parts))


def all_ids(forecasts, models):
    """The sorted distinct ids over every model."""
    slices = model_slices(forecasts, models)
    ids = forecasts["id"].to_numpy(dtype=object)
    per_model = [_distinct(runs(ids[a:b])[1]) for a, b in slices.values()]
    return _same_or_union(per_model) if per_model else np.zeros(0, dtype=object)


class Observed:
    """The observed values of the ids of the report, by global id index, in id then date order.

    The rows of id g are offset[g]:offset[g + 1], their dates ascending. When the rows of every
    id are consecutive dates of `axis` (the usual case), `start` gives each id's first position
    on it (0 for an id without rows) and the rows' positions and ids follow from it: `pos` and
    `gid` are only made when asked for, and where every id has every date the ids x dates matrix
    is the values themselves."""

    def __init__(self, axis, values, dates, offset, pos=None, start=None):
        self.axis = axis  # the distinct dates (datetime64[ns] or int64), sorted
        self.values = values  # float64, one per observed row kept
        self.dates = dates  # same kind as axis, one per observed row kept
        self.offset = offset  # int64, len(ids) + 1
        self.start = start  # int64 [len(ids)] when every id's rows are consecutive dates, else None
        self._pos = pos
        self._gid = None
        self._keys = None
        if pos is None and start is None:
            raise ValueError("observed rows need their positions on the axis or each id's first one")

    def count(self):
        return np.diff(self.offset)

    @property
    def pos(self):
        """int64: position of each row's date on `axis`."""
        if self._pos is None:
            self._pos = _ramps(self.start, self.offset)
        return self._pos

    @property
    def gid(self):
        """int64: the global index of each row."""
        if self._gid is None:
            self._gid = np.repeat(np.arange(len(self.offset) - 1, dtype=np.int64), self.count())
        return self._gid

    def dense(self):
        """Every id has a row on every date of the axis."""
        n, width = len(self.offset) - 1, len(self.axis)
        return self.start is not None and len(self.values) == n * width and (self.count() == width).all()

    def matrix(self):
        """The ids x dates matrix of the values, NaN where there is no row: a view of `values`
        (not to be written to) where every id has every date."""
        n, width = len(self.offset) - 1, len(self.axis)
        if self.dense():
            return self.values.reshape(n, width)
        out = np.full((n, width), np.nan)
        if self.start is not None:
            flat = _ramps(np.arange(n, dtype=np.int64) * width + self.start, self.offset)
            out.reshape(-1)[flat] = self.values
        else:
            out[self.gid, self.pos] = self.values
        return out

    def one_per_date(self):
        """At most one row per id and date, in date order within each id."""
        return self.start is not None or bool((np.diff(self._row_keys()) > 0).all())

    def _row_keys(self):
        if self._keys is None:
            self._keys = self.gid * (len(self.axis) + 1) + self.pos
        return self._keys

    def rows_at(self, g, t):
        """The row of id `g` on axis position `t` (arrays of one shape; t -1: none), -1 where
        there is none (of several, the last)."""
        g, t = np.broadcast_arrays(np.asarray(g, dtype=np.int64), np.asarray(t, dtype=np.int64))
        if not len(self.values):
            return np.full(g.shape, -1, dtype=np.int64)
        if self.start is not None:
            k = t - self.start[g]
            ok = (t >= 0) & (k >= 0) & (k < self.count()[g])
            return np.where(ok, self.offset[g] + k, -1)
        keys = self._row_keys()
        want = g * (len(self.axis) + 1) + t
        rows = np.searchsorted(keys, want, side="right") - 1
        ok = (t >= 0) & (rows >= 0)
        ok[ok] = keys[rows[ok]] == want[ok]
        return np.where(ok, rows, -1)


def _ramps(first, offset):
    """Per row of the ids' runs (`offset`), its id's `first` value plus its place in its run."""
    count = np.diff(offset)
    out = np.arange(int(offset[-1]), dtype=np.int64)
    out += np.repeat(np.asarray(first, dtype=np.int64) - offset[:-1], count)
    return out


_BLOCK = 1 << 22  # observed rows compared at a time


def observed_by_id(observed, hierarchy):
    """The observed rows of the ids the hierarchy holds (others are not drawn anywhere). The
    frame's columns are used as they are when every row is kept."""
    n = len(hierarchy)
    if observed is None or len(observed) == 0:
        return None
    column = observed["id"]
    found = _category_rows(column, hierarchy.ids) if isinstance(column.dtype, pd.CategoricalDtype) else None
    offset, keep = found if found is not None else _id_rows(column, hierarchy.ids)
    dates = observed["ds"].to_numpy()
    values = observed["y"].to_numpy(dtype=np.float64)
    if keep is not None:
        dates, values = dates[keep], values[keep]
    axis = _shared_dates(dates, offset)
    if axis is not None:  # every id on every date: the rows are the ids x dates matrix
        return Observed(axis=axis, values=values, dates=dates, offset=offset, start=np.zeros(n, dtype=np.int64))
    axis = np.sort(pd.unique(dates))
    pos = _positions(axis, dates)
    return Observed(axis=axis, values=values, dates=dates, offset=offset, pos=pos, start=_starts(pos, offset))


def _category_rows(column, ids):
    """(offset of each id's rows, the rows kept or None for all) of a categorical id column whose
    codes ascend as `ids` do (a frame sorted by id); None otherwise."""
    cat_g = pd.Index(ids).get_indexer(column.cat.categories)
    codes = np.asarray(column.array.codes)
    mapped = cat_g >= 0
    if (len(codes) and codes[0] < 0) or not (np.diff(cat_g[mapped]) > 0).all():
        return None
    for a in range(0, len(codes) - 1, _BLOCK):  # sorted, a block at a time: no copy of the column
        b = min(a + _BLOCK, len(codes) - 1)
        if not (codes[a + 1 : b + 1] >= codes[a:b]).all():
            return None
    bounds = np.append(np.searchsorted(codes, np.arange(len(cat_g), dtype=codes.dtype)), len(codes))
    count = np.zeros(len(ids), dtype=np.int64)
    count[cat_g[mapped]] = np.diff(bounds)[mapped]
    offset = np.zeros(len(ids) + 1, dtype=np.int64)
    np.cumsum(count, out=offset[1:])
    if mapped.all():
        return offset, None
    first = np.zeros(len(ids), dtype=np.int64)
    first[cat_g[mapped]] = bounds[:-1][mapped]
    return offset, _ramps(first, offset)


def _id_rows(column, ids):
    """(offset of each id's rows, the rows kept or None for all) of any id column of a frame
    sorted by id."""
    if isinstance(column.dtype, pd.CategoricalDtype):  # codes into the ids: mapped, not compared
        cat_g = pd.Index(ids).get_indexer(column.cat.categories)
        codes = np.asarray(column.array.codes)
        row_g = np.where(codes >= 0, cat_g[codes], -1)
    else:
        values = column.to_numpy(dtype=object)
        starts, run_ids = runs(values)
        lengths = np.diff(np.append(starts, len(values)))
        row_g = np.repeat(pd.Index(ids).get_indexer(run_ids), lengths)
    keep = row_g >= 0
    offset = np.zeros(len(ids) + 1, dtype=np.int64)
    offset[1:] = np.cumsum(np.bincount(row_g[keep], minlength=len(ids)))
    return offset, None if keep.all() else np.flatnonzero(keep)


def _shared_dates(dates, offset):
    """The dates of the first id when every id has rows on exactly those dates, ascending; else None."""
    count = np.diff(offset)
    width = int(count[0]) if len(count) else 0
    if not width or not (count == width).all():
        return None
    first = dates[:width]
    if not (first[1:] > first[:-1]).all():  # (NaT is not)
        return None
    grid, row = _ints(dates).reshape(-1, width), _ints(first)  # as integers: compared faster
    step = max(1, _BLOCK // width)
    if not all((grid[a : a + step] == row).all() for a in range(0, len(grid), step)):
        return None
    return first.copy()


def _ints(values):
    """Dates (datetime64) or time steps as int64, without a copy where they are already 8 bytes."""
    return values.view(np.int64) if values.dtype.kind == "M" else values.astype(np.int64, copy=False)


def _positions(axis, dates):
    """The position of each of `dates` on `axis` (their distinct values, sorted): arithmetic when
    the axis is evenly spaced, else a search."""
    if len(axis) > 1 and axis.dtype.kind in "Mi":
        a, d = _ints(axis), _ints(dates)
        step = a[1] - a[0]
        if step > 0 and (np.diff(a) == step).all():
            return (d - a[0]) // step
    return np.searchsorted(axis, dates)


def _starts(pos, offset):
    """Each id's first position on the axis (0 without rows) when every id's rows are consecutive
    dates of the axis, else None."""
    count = np.diff(offset)
    start = np.zeros(len(count), dtype=np.int64)
    has = count > 0
    start[has] = pos[offset[:-1][has]]
    return start if (pos == _ramps(start, offset)).all() else None


@dataclass
class ModelGrid:
    model: str
    level: float | None
    band: bool  # the model has interval bounds (draws the band)
    axis: np.ndarray  # the model's forecast dates, sorted
    gid: np.ndarray  # int64: global index of each of the model's ids (its rows), ascending
    local: np.ndarray  # int64 over all ids: model row of a global id, -1 when absent
    mean: np.ndarray  # float64 [n, F]
    lo: np.ndarray
    hi: np.ndarray
    y: np.ndarray  # observed value on each forecast date, NaN when none: float64 [n, F]

    def __len__(self):
        return len(self.gid)

    @property
    @quiet
    def residual(self):
        """Observed minus forecast where both are finite (infinite if that overflows), NaN elsewhere."""
        return np.where(np.isfinite(self.y) & np.isfinite(self.mean), self.y - self.mean, np.nan)


class GridError(ValueError):
    """The forecast frame is not in the canonical form the grids need."""


def window_rows(inputs, model, window=None):
    """The canonical forecast rows of `model` in one cross-validation window (every window's when
    `window` is None: the input's only one, without a cutoff column)."""
    start, stop = model_slices(inputs.forecasts, inputs.models)[model]
    frame = inputs.forecasts.iloc[start:stop]
    if window is None or "window" not in frame:
        return frame
    w = frame["window"].to_numpy()
    lo, hi = np.searchsorted(w, [window, window + 1])
    return frame.iloc[lo:hi]


def windows(inputs):
    """The windows of the input: [None] without a cutoff column, else 0 .. number of cutoffs - 1."""
    return [None] if inputs.cutoffs is None else list(range(len(inputs.cutoffs)))


def model_grid(inputs, model, hierarchy, observed, window=None):
    """The grid of `model` in `window` (see ModelGrid, window_rows); `observed` is what
    observed_by_id gives."""
    frame = window_rows(inputs, model, window)
    start, stop = 0, len(frame)
    ids = frame["id"].to_numpy(dtype=object)
    starts, model_ids = runs(ids)
    n = len(model_ids)
    dates = frame["ds"].to_numpy()
    width = (stop - start) // n if n else 0
    if n and (width * n != stop - start or not (np.diff(starts) == width).all()):
        raise GridError(f"model {model!r}: the ids do not all have a row for every forecast date")
    axis = dates[:width]
    grid_dates = dates.reshape(n, width)
    if n and not (grid_dates == axis).all():
        raise GridError(f"model {model!r}: the ids do not share the same forecast dates")
    gid = pd.Index(hierarchy.ids).get_indexer(model_ids).astype(np.int64)
    local = np.full(len(hierarchy), -1, dtype=np.int64)
    local[gid] = np.arange(n)

    def matrix(column):
        return frame[column].to_numpy(dtype=np.float64).reshape(n, width)

    lo, hi = matrix("lo"), matrix("hi")
    found = observed is not None and n and width
    y = _on_dates(observed, axis, gid) if found else np.full((n, width), np.nan)
    level = inputs.levels.get(model)
    band = bool(np.isfinite(lo).any() or np.isfinite(hi).any())
    return ModelGrid(
        model=model, level=level, band=band, axis=axis, gid=gid, local=local, mean=matrix("mean"), lo=lo, hi=hi, y=y
    )


def _on_dates(observed, axis, gid):
    """The observed values of the ids `gid` on the forecast dates `axis`: [len(gid), len(axis)],
    NaN where there is none (a date twice on `axis`: on its first column only)."""
    n_axis = len(observed.axis)
    out = np.full((len(gid), len(axis)), np.nan)
    if not n_axis or not len(observed.values):
        return out
    on = np.searchsorted(observed.axis, axis)
    t = np.where((on < n_axis) & (observed.axis[np.minimum(on, n_axis - 1)] == axis), on, -1)
    _, first = np.unique(t, return_index=True)
    once = np.full(len(t), -1, dtype=np.int64)
    once[first] = t[first]
    rows = observed.rows_at(gid[:, None], once[None, :])
    return np.where(rows >= 0, observed.values[rows], np.nan)


@dataclass
class ChildSums:
    rows: np.ndarray  # int64: model rows of the members with at least one sub-member in the model
    total: np.ndarray  # float64 [len(rows), F]: the sum as the module's sum check draws it
    complete: np.ndarray  # bool [len(rows), F]: every sub-member has a value on that date
    count: np.ndarray  # int64 [len(rows)]: number of sub-members in the model


@quiet
def child_sums(grid, hierarchy):
    """Date-by-date sums of the direct sub-members' point forecasts of every member that has some.

    As the module adds them: missing values are skipped (a date where every sub-member is
    missing sums to 0), except that a single sub-member's forecast is the sum as it is."""
    n, width = grid.mean.shape
    parent_g = hierarchy.parent[grid.gid]
    parent_row = np.where(parent_g >= 0, grid.local[np.maximum(parent_g, 0)], -1)
    child = np.flatnonzero(parent_row >= 0)
    owner = parent_row[child]
    count = np.bincount(owner, minlength=n)
    rows = np.flatnonzero(count)
    total = np.zeros((n, width))
    missing = np.zeros((n, width))
    values = grid.mean[child]
    nan = np.isnan(values)
    for t in range(width):
        total[:, t] = np.bincount(owner, weights=np.where(nan[:, t], 0.0, values[:, t]), minlength=n)
        missing[:, t] = np.bincount(owner, weights=nan[:, t], minlength=n)
    total, missing, count = total[rows], missing[rows], count[rows]
    single = count == 1
    total[single] = np.where(missing[single] > 0, np.nan, total[single])
    return ChildSums(rows=rows, total=total, complete=missing == 0, count=count)


@quiet
def _row_mean(values, valid):
    counts = valid.sum(axis=1)
    sums = np.where(valid, values, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)


@quiet
def residual_std(residual):
    """Per row, the sample standard deviation (n - 1) of the finite residuals; NaN where there are
    fewer than two or they are all equal (no spread: the QQ plot would have no scale)."""
    valid = np.isfinite(residual)
    counts = valid.sum(axis=1)
    mean = _row_mean(residual, valid)
    dev = np.where(valid, residual - mean[:, None], 0.0)
    if residual.shape[1]:
        spread = np.where(valid, residual, -np.inf).max(axis=1) > np.where(valid, residual, np.inf).min(axis=1)
    else:
        spread = np.zeros(len(residual), dtype=bool)
    with np.errstate(invalid="ignore", divide="ignore"):
        std = np.sqrt((dev * dev).sum(axis=1) / np.maximum(counts - 1, 1))
    return np.where((counts > 1) & spread, std, np.nan)


@dataclass
class GroupSums:
    groups: np.ndarray  # int64: the groupings whose aggregate and at least one member the model forecasts
    rows: np.ndarray  # int64: model row of each one's aggregate (ascending, repeated when split several ways)
    total: np.ndarray  # float64 [len(groups), F]: the sum of its members as the module's sum check adds them
    complete: np.ndarray  # bool [len(groups), F]: every member in the model has a value on that date
    count: np.ndarray  # int64 [len(groups)]: number of its members in the model


@quiet
def group_sums(grid, structure):
    """Date-by-date sums of each grouping's members' point forecasts, by the rules of child_sums,
    as one product of the groupings x members matrix with the forecasts."""
    member = structure.membership()[:, grid.gid].tocsr()
    owner_row = grid.local[structure.group_owner]
    count = np.diff(member.indptr)
    live = np.flatnonzero((owner_row >= 0) & (count > 0))
    member, count = member[live], count[live]
    nan = np.isnan(grid.mean)
    total = np.asarray(member @ np.where(nan, 0.0, grid.mean)).reshape(len(live), -1)
    missing = np.asarray(member @ nan.astype(np.float64)).reshape(len(live), -1)
    single = count == 1
    total[single] = np.where(missing[single] > 0, np.nan, total[single])
    return GroupSums(groups=live, rows=owner_row[live], total=total, complete=missing == 0, count=count)


@quiet
def sum_gaps(f, sums):
    """Per row of `sums` (ChildSums or GroupSums), the largest relative difference in % between the
    aggregate's forecast `f` and the sum, over the dates where both are complete (NaN: none)."""
    if not len(sums.rows):
        return np.zeros(0)
    own = f[sums.rows]
    ok = sums.complete & np.isfinite(own)
    scale = np.maximum(np.abs(own), np.abs(sums.total))
    with np.errstate(invalid="ignore", divide="ignore"):
        rel = np.where(scale > 0, np.abs(own - sums.total) / np.where(scale > 0, scale, 1.0), 0.0)
    rel = np.where(rel < ROUNDING, 0.0, rel)  # what adding floats leaves behind is no gap
    rel = np.where(ok, rel, -1.0)
    best = rel.max(axis=1) if f.shape[1] else np.full(len(sums.rows), -1.0)
    return np.where(best >= 0, best * 100.0, np.nan)


def worst_grouping(n, sums, gaps):
    """Per model row, the grouping (of GroupSums) with the largest gap; -1 where none has one."""
    out = np.full(n, -1, dtype=np.int64)
    has = np.isfinite(gaps)
    order = np.lexsort((-gaps[has], sums.rows[has]))
    rows, groups = sums.rows[has][order], sums.groups[has][order]
    first = np.ones(len(rows), dtype=bool)
    first[1:] = rows[1:] != rows[:-1]
    out[rows[first]] = groups[first]
    return out


@quiet
def member_measures(grid, sums):
    """Per model row, every measure of MEASURES (float64 arrays, NaN where undefined); with
    GroupSums also "gap_by", the grouping of each member's gap (-1: none)."""
    n, width = grid.mean.shape
    f, y = grid.mean, grid.y
    both = np.isfinite(f) & np.isfinite(y)
    err = np.where(both, y - f, 0.0)
    out = {}
    gap = np.full(n, np.nan)
    gaps = sum_gaps(f, sums)
    np.fmax.at(gap, sums.rows, gaps)
    out["gap"] = gap
    if isinstance(sums, GroupSums):
        out["gap_by"] = worst_grouping(n, sums, gaps)
    inside = np.isfinite(y) & np.isfinite(grid.lo) & np.isfinite(grid.hi)
    covered = inside & (grid.lo <= y) & (y <= grid.hi)
    with np.errstate(invalid="ignore", divide="ignore"):
        out["coverage"] = np.where(
            inside.any(axis=1), covered.sum(axis=1) * 100.0 / np.maximum(inside.sum(axis=1), 1), np.nan
        )
    out["mae"] = _row_mean(np.abs(err), both)
    denom = np.abs(np.where(both, y, 0.0)) + np.abs(np.where(both, f, 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = np.where(denom > 0, 2.0 * np.abs(err) / np.where(denom > 0, denom, 1.0), 0.0)
    out["smape"] = _row_mean(ratio * 100.0, both)
    out["bias"] = _row_mean(-err, both)
    missing = np.isnan(f).sum(axis=1)
    if grid.band:
        missing = missing + np.isnan(grid.lo).sum(axis=1) + np.isnan(grid.hi).sum(axis=1)
    out["missing"] = missing.astype(np.float64)
    return out


def worst(values, direction, limit=10, fine=0.0):
    """Indices of the `limit` worst values, worst first: "high": the largest above `fine`; "low":
    the smallest below `fine`; "abs": the largest in absolute value above `fine`. Missing values
    are never listed; ties keep index order."""
    values = np.asarray(values, dtype=np.float64)
    key = np.abs(values) if direction == "abs" else values
    with np.errstate(invalid="ignore"):
        bad = np.isfinite(key) & ((key < fine) if direction == "low" else (key > fine))
    listed = np.flatnonzero(bad)
    order = np.argsort(key[listed] if direction == "low" else -key[listed], kind="stable")
    return listed[order[:limit]]


def default_history(inputs):
    """How many observations before the forecast the figures show when not told: three horizons,
    two seasons or 30, whichever is more (a few months of daily data, three years of monthly)."""
    from .evaluation import season_length

    frame = inputs.forecasts
    horizon = int(np.diff(_group_starts(frame)).max()) if len(frame) else 1
    dates = np.sort(pd.unique(frame["ds"].to_numpy()))
    return max(3 * horizon, 2 * season_length(dates), 30)


def _group_starts(frame):
    """The first row of each model, window and id of the canonical forecast frame (sorted so),
    and its length."""
    change = np.zeros(len(frame), dtype=bool)
    change[0] = True
    for key in ("model", "window", "id"):
        if key in frame:
            column = frame[key]
            v = np.asarray(column.array.codes) if isinstance(column.dtype, pd.CategoricalDtype) else column.to_numpy()
            change[1:] |= v[1:] != v[:-1]
    return np.append(np.flatnonzero(change), len(frame))


def history_start(inputs):
    """The first forecast date of the input: the observations before it are its history."""
    return inputs.forecasts["ds"].min()


@quiet
def recent(observed, start, n):
    """The observed rows the figures show: per id its last `n` observations before `start` and
    every one from `start` on. The measures always use them all."""
    if observed is None or n is None:
        return observed
    count = observed.count()
    first = int((observed.axis < start).sum())  # the axis positions before `start`
    if observed.start is not None:
        before = np.clip(first - observed.start, 0, count)
    else:
        before = np.bincount(observed.gid[observed.pos < first], minlength=len(count))
    skip = np.maximum(before - n, 0)  # each id's rows left out: its first ones
    if not skip.any():
        return observed
    offset = np.zeros_like(observed.offset)
    np.cumsum(count - skip, out=offset[1:])
    rows = _ramps(observed.offset[:-1] + skip, offset)
    start = None
    if observed.start is not None:
        start = np.where(count > skip, observed.start + skip, 0)
    return Observed(
        axis=observed.axis,
        values=observed.values[rows],
        dates=observed.dates[rows],
        offset=offset,
        pos=None if start is not None else observed.pos[rows],
        start=start,
    )
