"""The output of a forecasting library's aggregation step, made here: grouped and tree structures.

Given bottom series (one column per level column, `ds`, `y`) and a spec (a list of levels, each a
list of columns), `aggregate` gives what the aggregation step hands back: every series in the long
format (`unique_id` the values of its level's columns joined with "/"), the summing matrix (a
frame with `unique_id` and one 0/1 column per bottom series) and the tags (level name, its columns
joined with "/", to its ids).

    bottom = country_state_sector(states=3, sectors=11)
    y, S, tags = aggregate(bottom, SECTOR_SPEC)
"""

from __future__ import annotations

import numpy as np
import pandas as pd

SECTOR_SPEC = [["Country"], ["Country", "State"], ["Country", "Sector"], ["Country", "State", "Sector"]]
# The retail benchmark's 12 levels, each level naming the columns it nests in so that an id holds
# its ancestors' values: total, state, store, category, department, state x category, state x
# department, store x category, store x department, item, item x state, item x store.
RETAIL_SPEC = [
    ["total"],
    ["total", "state"],
    ["total", "state", "store"],
    ["total", "cat"],
    ["total", "cat", "dept"],
    ["total", "state", "cat"],
    ["total", "state", "cat", "dept"],
    ["total", "state", "store", "cat"],
    ["total", "state", "store", "cat", "dept"],
    ["total", "cat", "dept", "item"],
    ["total", "state", "cat", "dept", "item"],
    ["total", "state", "store", "cat", "dept", "item"],
]


def dates(periods=6):
    return pd.date_range("2024-01-01", periods=periods, freq="MS")


def country_state_sector(states=3, sectors=11, periods=6, seed=0):
    """Bottom series of Country / State / Sector: one per state and sector."""
    rng = np.random.RandomState(seed)
    rows = [("Italia", f"S{s}", f"sector{k}") for s in range(states) for k in range(sectors)]
    return _bottom(rows, ["Country", "State", "Sector"], periods, rng)


def two_by_two(periods=4, seed=1):
    rows = [("T", a, b) for a in ("a1", "a2") for b in ("b1", "b2")]
    return _bottom(rows, ["T", "A", "B"], periods, np.random.RandomState(seed))


def retail(states=3, stores=10, cats=3, depts=7, items_per_dept=3, periods=6, seed=2):
    """Bottom series of the retail structure at small size: stores spread over the states,
    departments over the categories, a few items per department, every item in every store."""
    rng = np.random.RandomState(seed)
    store_state = [f"ST{s % states}" for s in range(stores)]
    dept_cat = [f"C{d % cats}" for d in range(depts)]
    rows = []
    for s in range(stores):
        for d in range(depts):
            for i in range(items_per_dept):
                rows.append(
                    (
                        "Total",
                        store_state[s],
                        f"{store_state[s]}_{s}",
                        dept_cat[d],
                        f"{dept_cat[d]}_{d}",
                        f"{dept_cat[d]}_{d}_{i:03d}",
                    )
                )
    return _bottom(rows, ["total", "state", "store", "cat", "dept", "item"], periods, rng)


def _bottom(rows, columns, periods, rng):
    frame = pd.DataFrame(rows, columns=columns)
    n = len(frame)
    values = np.round(rng.uniform(1, 100, (n, periods)), 2)
    out = frame.loc[np.repeat(np.arange(n), periods)].reset_index(drop=True)
    out["ds"] = np.tile(dates(periods), n)
    out["y"] = values.ravel()
    return out


def aggregate(bottom, spec):
    """(series in the long format, summing matrix frame, tags), as the aggregation step gives them:
    the aggregates level by level in the spec's order, then the bottom level's series."""
    parts, tags = [], {}
    leaf_cols = spec[-1]
    leaf_ids = bottom[leaf_cols].astype(str).agg("/".join, axis=1)
    bottom_names = list(dict.fromkeys(leaf_ids))
    rows = []
    for level in spec:
        ids = bottom[level].astype(str).agg("/".join, axis=1)
        summed = bottom.assign(unique_id=ids).groupby(["unique_id", "ds"], sort=False)["y"].sum().reset_index()
        parts.append(summed)
        names = list(dict.fromkeys(ids))
        tags["/".join(level)] = np.array(names, dtype=object)
        member = pd.crosstab(ids, leaf_ids).reindex(index=names, columns=bottom_names, fill_value=0)
        rows.append((member > 0).astype(np.float64))
    y = pd.concat(parts, ignore_index=True)
    matrix = pd.concat(rows)
    matrix.index.name = "unique_id"
    return y, matrix.reset_index(), tags


def values_matrix(y, ids):
    """The ids x dates matrix of the long-format values `y`, in the order of `ids`."""
    wide = y.pivot(index="unique_id", columns="ds", values="y")
    return wide.reindex(index=list(ids)).to_numpy(dtype=np.float64)


def full_retail_ids(items=3049, stores=10):
    """The ids of the retail structure at its full size (30,490 item x store series, 42,840 in
    all), without values: 3 states, 10 stores, 3 categories, 7 departments."""
    states = ["CA", "TX", "WI"]
    store_state = [states[0]] * 4 + [states[1]] * 3 + [states[2]] * 3
    cats, dept_cat = ["FOODS", "HOBBIES", "HOUSEHOLD"], [0, 0, 0, 1, 1, 2, 2]
    item_dept = np.arange(items) % 7
    rows = []
    for s in range(stores):
        st = store_state[s]
        for i in range(items):
            d = item_dept[i]
            c = cats[dept_cat[d]]
            rows.append(("Total", st, f"{st}_{s}", c, f"{c}_{d}", f"{c}_{d}_{i:04d}"))
    frame = pd.DataFrame(rows, columns=["total", "state", "store", "cat", "dept", "item"])
    ids = set()
    for level in RETAIL_SPEC:
        ids.update(frame[level].drop_duplicates().astype(str).agg("/".join, axis=1).tolist())
    return np.array(sorted(ids), dtype=object)


def forecasts_of(bottom, spec, horizon=3, seed=3):
    """What a forecasting pipeline gives for the series of `bottom`: (forecasts, observed, summing
    matrix, tags). The forecasts of the last `horizon` dates in the long format: model `M`
    forecasts the bottom series and adds them up (coherent by construction), with a 90 % band;
    model `B` forecasts every series on its own (off by up to 5 %, so no aggregate adds up).
    The observed values cover every date."""
    rng = np.random.RandomState(seed)
    y, matrix, tags = aggregate(bottom, spec)
    noisy = bottom.assign(y=np.round(bottom["y"] * rng.uniform(0.9, 1.1, len(bottom)), 2))
    fy, _, _ = aggregate(noisy, spec)
    last = np.sort(fy["ds"].unique())[-horizon:]
    fc = fy[fy["ds"].isin(last)].rename(columns={"y": "M"}).reset_index(drop=True)
    fc["M-lo-90"], fc["M-hi-90"] = fc["M"] * 0.9, fc["M"] * 1.1
    fc["B"] = fc["M"] * rng.uniform(0.95, 1.05, len(fc))
    return fc, y, matrix, tags
