"""Synthetic data of the retail structure for the report benchmark: the 12 grouped levels of
tests/report/grouped.py's RETAIL_SPEC over item x store bottom series (3 states, 10 stores 4/3/3,
3 categories, 7 departments), daily sales counts, and the forecasts of three models in the long
format the forecasting libraries write, as Parquet.

Everything is built as arrays: the bottom counts as one (series x days) matrix, each level's
series as sums of its members (one `np.add.reduceat` per level over the bottom rows sorted by
the level's group), the Parquet files written a block of series at a time.

    data = RetailData.make(items=305)                  # a tenth of the size
    paths = data.write("/tmp/bench")                   # observed, holdout and cross-validation files
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "report"))
from grouped import RETAIL_SPEC  # noqa: E402

STATES = ("CA", "TX", "WI")
STORE_STATE = (0, 0, 0, 0, 1, 1, 1, 2, 2, 2)  # 4, 3 and 3 stores
CATEGORIES = ("FOODS", "HOBBIES", "HOUSEHOLD")
DEPT_CATEGORY = (0, 0, 0, 1, 1, 2, 2)  # 7 departments: 3, 2 and 2 to a category
ITEMS = 3049
HISTORY, HORIZON, WINDOWS = 1941, 28, 3
DAYS = HISTORY + HORIZON
FIRST = "2021-01-02"
SEASON = 7
MODELS = ("SeasonalNaive", "AutoETS", "AutoARIMA")
LEVELS = (80, 95)
Z = {80: 1.2815515655446004, 95: 1.959963984540054}
BLOCK = 2048  # series to a Parquet row group of the observed file (about 4 million rows)


def bottom_columns(items=ITEMS):
    """The level columns of the item x store bottom series, stores outer and items inner, as the
    id strings (object arrays): total, state, store, cat, dept, item."""
    stores = len(STORE_STATE)
    store = np.repeat(np.arange(stores), items)
    item = np.tile(np.arange(items), stores)
    dept = item % len(DEPT_CATEGORY)
    cat = np.asarray(DEPT_CATEGORY)[dept]
    state = np.asarray(STORE_STATE)[store]
    cat_name = np.asarray(CATEGORIES, dtype=object)[cat]
    state_name = np.asarray(STATES, dtype=object)[state]
    dept_name = cat_name + "_" + dept.astype(str).astype(object)
    return {
        "total": np.full(len(store), "Total", dtype=object),
        "state": state_name,
        "store": state_name + "_" + store.astype(str).astype(object),
        "cat": cat_name,
        "dept": dept_name,
        "item": dept_name + "_" + np.char.zfill(item.astype(str), 4).astype(object),
    }


@dataclass
class Levels:
    """The series of the grouped structure: `ids` level by level in RETAIL_SPEC's order (sorted
    within a level, the bottom level last), `start[k]` the first series of level k, and for each
    level the group (0.. within the level) of every bottom series."""

    ids: np.ndarray
    names: list
    start: np.ndarray
    group: list

    @classmethod
    def of(cls, items=ITEMS):
        cols = bottom_columns(items)
        ids, group, start = [], [], [0]
        for level in RETAIL_SPEC:
            key = cols[level[0]]
            for c in level[1:]:
                key = key + "/" + cols[c]
            names, inverse = np.unique(key.astype(str), return_inverse=True)
            ids.append(names.astype(object))
            group.append(inverse)
            start.append(start[-1] + len(names))
        return cls(np.concatenate(ids), ["/".join(level) for level in RETAIL_SPEC], np.asarray(start), group)

    def sums(self, bottom):
        """The (series x columns) matrix of every series given the bottom series' rows (in the
        bottom level's order): each level's rows the sums of their members."""
        out = np.empty((len(self.ids), bottom.shape[1]), dtype=np.float64)
        for k, group in enumerate(self.group):
            order = np.argsort(group, kind="stable")
            cuts = np.flatnonzero(np.r_[True, np.diff(group[order]) != 0])
            out[self.start[k] : self.start[k + 1]] = np.add.reduceat(bottom[order], cuts, axis=0)
        return out


def bottom_sales(items=ITEMS, seed=0):
    """Daily sales counts of the item x store series (rows in `bottom_columns` order, DAYS
    columns): Poisson counts around a rate that is small for most items (many days without a
    sale), with a weekly and a yearly pattern, a slow drift, and some items sold only from a
    launch day on (zeros before it)."""
    rng = np.random.default_rng(seed)
    stores = len(STORE_STATE)
    n = items * stores
    t = np.arange(DAYS)
    item_rate = rng.lognormal(-0.6, 1.1, items)
    rate = (np.tile(item_rate, stores) * rng.lognormal(0.0, 0.35, n)).astype(np.float32)
    cat = np.asarray(DEPT_CATEGORY)[np.tile(np.arange(items), stores) % len(DEPT_CATEGORY)]
    weekly = np.array([[1.0, 0.9, 0.85, 0.85, 0.95, 1.25, 1.3], [1.0, 0.95, 0.9, 0.9, 1.0, 1.15, 1.2],
                       [1.0, 0.92, 0.88, 0.9, 0.98, 1.2, 1.25]], dtype=np.float32)  # fmt: skip
    phase = rng.uniform(0, 2 * np.pi, n).astype(np.float32)[:, None]
    yearly = 1 + 0.12 * np.sin(2 * np.pi * t.astype(np.float32) / 365.25 + phase)
    drift = np.exp(rng.normal(0, 0.3, n).astype(np.float32)[:, None] * (t.astype(np.float32) / DAYS))
    lam = rate[:, None] * weekly[cat][:, t % SEASON] * yearly * drift
    del yearly, drift
    launch = np.where(rng.random(items) < 0.3, rng.integers(0, HISTORY - 400, items), 0)
    lam[np.tile(launch, stores)[:, None] > t] = 0
    return rng.poisson(lam).astype(np.float64)


def seasonal_naive(series, cutoff):
    """Forecasts of the next HORIZON days after day `cutoff` (the last seen), repeating the last
    week, and the standard deviation of its one-week-ahead errors over the last eight weeks."""
    k = np.arange(HORIZON)
    mean = series[:, cutoff - SEASON + 1 + k % SEASON]
    seen = series[:, cutoff - 8 * SEASON + 1 : cutoff + 1]
    step = series[:, cutoff - 9 * SEASON + 1 : cutoff - SEASON + 1]
    sigma = np.std(seen - step, axis=1)[:, None] * np.sqrt(1 + k // SEASON)
    return mean, sigma


def weekday_level(series, cutoff):
    """Forecasts of the next HORIZON days after `cutoff`: the mean of the last four weeks times
    each weekday's share over the last eight, and a standard deviation from the last eight weeks'
    deviations from that profile."""
    recent = series[:, cutoff - 8 * SEASON + 1 : cutoff + 1].reshape(len(series), 8, SEASON)
    level = recent[:, 4:].mean(axis=(1, 2))
    mean8 = recent.mean(axis=(1, 2))
    share = np.divide(recent.mean(axis=1), mean8[:, None], out=np.ones((len(series), SEASON)), where=mean8[:, None] > 0)
    profile = share[:, np.arange(HORIZON) % SEASON]  # the eight weeks end on the cutoff
    fitted = mean8[:, None, None] * share[:, None, :]
    sigma = np.sqrt(((recent - fitted) ** 2).mean(axis=(1, 2)))[:, None] * np.sqrt(1 + np.arange(HORIZON) / SEASON)
    return level[:, None] * profile, sigma


def window_forecasts(levels, bottom, every, cutoff, seed):
    """{model: (mean, sigma)} of every series for the HORIZON days after `cutoff`:
    SeasonalNaive on every series (a linear forecast, so coherent), AutoETS the weekday-level
    forecast of the bottom series summed up the levels (bottom-up, coherent), AutoARIMA that
    forecast made for every series on its own and a little off (its aggregates do not add up)."""
    rng = np.random.default_rng(seed)
    out = {"SeasonalNaive": seasonal_naive(every, cutoff)}
    b_mean, b_sigma = weekday_level(bottom, cutoff)
    out["AutoETS"] = (levels.sums(np.round(b_mean, 3)), np.sqrt(levels.sums(b_sigma**2)))
    mean, sigma = weekday_level(every, cutoff)
    out["AutoARIMA"] = (mean * rng.normal(1.0, 0.03, (len(every), 1)), sigma)
    return {m: (np.round(mean, 3), sigma) for m, (mean, sigma) in out.items()}


def _dates():
    return np.datetime64(FIRST, "D") + np.arange(DAYS)


def _ids_column(ids, rows_each):
    """The `unique_id` column of `ids`, each repeated `rows_each` times, as plain strings (what a
    library's frame writes), built through dictionary codes rather than one string per row."""
    import pyarrow as pa

    codes = pa.array(np.repeat(np.arange(len(ids), dtype=np.int32), rows_each))
    return pa.DictionaryArray.from_arrays(codes, pa.array(ids, pa.string())).cast(pa.string())


def _timestamps(days):
    import pyarrow as pa

    return pa.array(days.astype("datetime64[ns]"), pa.timestamp("ns"))


def write_observed(path, ids, every):
    """`unique_id, ds, y` of every series on every day, a row group per BLOCK series."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    days = _dates()
    schema = pa.schema([("unique_id", pa.string()), ("ds", pa.timestamp("ns")), ("y", pa.float64())])
    with pq.ParquetWriter(path, schema) as writer:
        for lo in range(0, len(ids), BLOCK):
            hi = min(lo + BLOCK, len(ids))
            cols = [_ids_column(ids[lo:hi], DAYS), _timestamps(np.tile(days, hi - lo)), pa.array(every[lo:hi].ravel())]
            writer.write_table(pa.Table.from_arrays(cols, schema=schema))


def forecast_table(ids, windows, cutoffs, every=None):
    """The forecasts in the long format: `unique_id, ds`, (`cutoff, y` for cross-validation),
    then per model `M, M-lo-80, M-hi-80, M-lo-95, M-hi-95`; rows by series, then window, then
    day. `windows[w]` is window_forecasts' output for cutoff `cutoffs[w]`."""
    import pyarrow as pa

    days = _dates()
    n, w = len(ids), len(cutoffs)
    rows_of = lambda m: np.stack(m, axis=1).reshape(n * w * HORIZON)  # noqa: E731  (series, window, day)
    cols = {"unique_id": _ids_column(ids, w * HORIZON)}
    spans = [days[c + 1 : c + 1 + HORIZON] for c in cutoffs]
    cols["ds"] = _timestamps(np.tile(np.concatenate(spans), n))
    if every is not None:
        cols["cutoff"] = _timestamps(np.tile(np.repeat(days[list(cutoffs)], HORIZON), n))
        cols["y"] = pa.array(rows_of([every[:, c + 1 : c + 1 + HORIZON] for c in cutoffs]))
    for m in MODELS:
        mean = rows_of([f[m][0] for f in windows])
        sigma = rows_of([f[m][1] for f in windows])
        cols[m] = pa.array(mean)
        for level in LEVELS:
            cols[f"{m}-lo-{level}"] = pa.array(np.round(mean - Z[level] * sigma, 3))
            cols[f"{m}-hi-{level}"] = pa.array(np.round(mean + Z[level] * sigma, 3))
    return pa.table(cols)


@dataclass
class Paths:
    observed: str
    holdout: str
    cv: str

    def exist(self):
        return all(os.path.exists(p) for p in (self.observed, self.holdout, self.cv))


def paths(folder, items=ITEMS):
    stem = os.path.join(folder, f"retail-{items}")
    return Paths(stem + "-observed.parquet", stem + "-forecasts.parquet", stem + "-cv.parquet")


def write(folder, items=ITEMS, seed=0):
    """Writes the observed values, the holdout forecasts (after the HISTORY days) and the
    cross-validation forecasts (WINDOWS consecutive windows ending on the last day) of the retail
    structure with `items` items into `folder`, unless there already: their Paths."""
    import pyarrow.parquet as pq

    out = paths(folder, items)
    if out.exist():
        return out
    os.makedirs(folder, exist_ok=True)
    levels = Levels.of(items)
    bottom = bottom_sales(items, seed)
    every = levels.sums(bottom)
    write_observed(out.observed + ".tmp", levels.ids, every)
    holdout = [window_forecasts(levels, bottom, every, HISTORY - 1, seed + 1)]
    pq.write_table(forecast_table(levels.ids, holdout, [HISTORY - 1]), out.holdout + ".tmp")
    cutoffs = [DAYS - 1 - HORIZON * (WINDOWS - w) for w in range(WINDOWS)]
    cv = [window_forecasts(levels, bottom, every, c, seed + 2 + w) for w, c in enumerate(cutoffs)]
    pq.write_table(forecast_table(levels.ids, cv, cutoffs, every), out.cv + ".tmp")
    for p in (out.observed, out.holdout, out.cv):
        os.replace(p + ".tmp", p)
    return out


def an_item_store(items=ITEMS):
    """The id of a bottom (item x store) series the deep link opens: one with sales, in the middle
    of the ids."""
    levels = Levels.of(items)
    bottom_ids = levels.ids[levels.start[-2] :]
    return bottom_ids[len(bottom_ids) // 2]
