"""Real-looking output of a hierarchical forecasting pipeline, made here, and its bad variants.

Two hierarchies (two roots): employment by region, "Italia" / region / province, and by sector,
"Total" / sector / branch; ids are the paths joined with "/". The prediction file is in the long
format of the common forecasting libraries: `unique_id`, `ds`, and per model `M` the columns
`M`, `M-lo-95`, `M-lo-80`, `M-hi-80`, `M-hi-95`. Models: two base models, whose aggregates do not
add up, and one reconciled bottom-up from the first (its name holds "/" and "-", as a
reconciliation library names it), which adds up. The observed file (`unique_id`, `ds`, `y`) holds
the history and the forecast period.

    pred, obs = frames("monthly")                      # pandas frames
    pred_path, obs_path = write(folder, "weekly", fmt="parquet")

Everything is deterministic (numpy's legacy RandomState, values rounded to cents).
"""

from __future__ import annotations

import datetime as dt
import math

import numpy as np
import pandas as pd

HIERARCHIES = {
    "Italia": {
        "Lazio": ["Roma", "Latina"],
        "Lombardia": ["Milano", "Bergamo", "Brescia"],
        "Sicilia": ["Palermo", "Catania"],
    },
    "Total": {"Industria": ["Manifattura", "Costruzioni"], "Servizi": ["Commercio", "Turismo", "Finanza"]},
}
RECONCILED = "AutoETS/MinTrace_method-mint_shrink"
MODELS = ("AutoETS", "Naive", RECONCILED)
LEVELS = (80, 95)
Z = {80: 1.2815515655446004, 95: 1.959963984540054}
FREQS = {  # kind: (pandas frequency, history length, horizon, season length, first date)
    "monthly": ("MS", 36, 12, 12, "2021-01-01"),
    "weekly": ("W-MON", 52, 8, 52, "2023-01-02"),
}


def ids():
    """Every id, each aggregate before its members."""
    out = []
    for root, groups in HIERARCHIES.items():
        out.append(root)
        for group, leaves in groups.items():
            out.append(f"{root}/{group}")
            out += [f"{root}/{group}/{leaf}" for leaf in leaves]
    return out


def leaves():
    return [i for i in ids() if i.count("/") == 2]


def members(ident, all_ids=None):
    """The leaves below `ident` (itself if a leaf)."""
    return [i for i in (all_ids or leaves()) if i == ident or i.startswith(ident + "/")]


def frames(kind="monthly", seed=0):
    """(predictions, observed) frames of the corpus, rows ordered by id then date."""
    freq, history, horizon, season, start = FREQS[kind]
    rng = np.random.RandomState(seed)
    dates = pd.date_range(start, periods=history + horizon, freq=freq)
    t = np.arange(history + horizon)
    signal, observed = {}, {}
    for n, leaf in enumerate(leaves()):
        level = 100 + 40 * n
        s = level * (1 + 0.15 * np.sin(2 * math.pi * (t + 3 * n) / season)) + 0.4 * (n % 3 - 1) * t
        signal[leaf] = s
        observed[leaf] = np.round(s + 0.05 * level * rng.standard_normal(len(t)), 2)
    every = ids()
    for ident in every:
        if ident not in signal:
            signal[ident] = sum(signal[m] for m in members(ident))
            observed[ident] = np.round(sum(observed[m] for m in members(ident)), 2)
    h = np.arange(1, horizon + 1)
    cols = {"unique_id": np.repeat(every, horizon), "ds": np.tile(dates[history:], len(every))}
    means = {}
    for model in MODELS[:2]:
        bias = 1 + 0.04 * (rng.random_sample(len(every)) - 0.5)
        for b, ident in zip(bias, every):
            if model == "AutoETS":
                means[model, ident] = np.round(signal[ident][history:] * b, 2)
            else:  # the last observed value, repeated
                means[model, ident] = np.repeat(observed[ident][history - 1], horizon)
    for ident in every:  # bottom-up from the first base model: adds up by construction
        means[RECONCILED, ident] = np.round(sum(means["AutoETS", m] for m in members(ident)), 2)
    for model in MODELS:
        mean = np.concatenate([means[model, i] for i in every])
        sigma = np.concatenate([0.02 * signal[i][history] * np.sqrt(h) for i in every])
        cols[model] = mean
        for side, levels in (("lo", (95, 80)), ("hi", (80, 95))):
            for lv in levels:
                cols[f"{model}-{side}-{lv}"] = np.round(mean + (-1 if side == "lo" else 1) * Z[lv] * sigma, 2)
    pred = pd.DataFrame(cols)
    obs = pd.DataFrame(
        {
            "unique_id": np.repeat(every, len(dates)),
            "ds": np.tile(dates, len(every)),
            "y": np.concatenate([observed[i] for i in every]),
        }
    )
    return pred, obs


def to_file(frame, path, fmt="csv", sep=",", decimal=".", **csv_options):
    """Writes one frame as the pipelines do: CSV without the row index, or Parquet."""
    if fmt == "parquet":
        frame.to_parquet(path, index=False)
    else:
        frame.to_csv(path, index=False, sep=sep, decimal=decimal, **csv_options)
    return path


def write(folder, kind="monthly", fmt="csv", pred=None, obs=None, names=("pred", "obs"), **csv_options):
    """Writes the corpus (or the frames given) into `folder`: (prediction path, observed path)."""
    if pred is None or obs is None:
        made = frames(kind)
        pred = made[0] if pred is None else pred
        obs = made[1] if obs is None else obs
    ext = "parquet" if fmt == "parquet" else "csv"
    return (
        to_file(pred, folder / f"{names[0]}.{ext}", fmt, **csv_options),
        to_file(obs, folder / f"{names[1]}.{ext}", fmt, **csv_options),
    )


# ------------------------------------------------------------------------------------------------
# Variants that change only how the files are written: the report must not change.


def shuffled(pred, obs):
    return pred.sample(frac=1, random_state=3), obs.sample(frac=1, random_state=4)


def columns_reordered(pred, obs):
    """Bounds before their models, ids last; the models keep their order (it is the report's)."""
    bounds = [c for c in pred.columns[2:] if c not in MODELS]
    return pred[["ds"] + bounds[::-1] + list(MODELS) + ["unique_id"]], obs[["y", "ds", "unique_id"]]


def categories(pred, obs):
    """Ids as categories, as a Parquet writer stores a dictionary-encoded column."""
    return pred.assign(unique_id=pred["unique_id"].astype("category")), obs.assign(
        unique_id=obs["unique_id"].astype("category")
    )


LAYOUT_VARIANTS = {  # name: (frames change or None, write options)
    "csv": (None, dict(fmt="csv")),
    "parquet": (None, dict(fmt="parquet")),
    "shuffled-csv": (shuffled, dict(fmt="csv")),
    "shuffled-parquet": (shuffled, dict(fmt="parquet")),
    "semicolon-decimal-comma": (None, dict(fmt="csv", sep=";", decimal=",")),
    "tab": (None, dict(fmt="csv", sep="\t")),
    "columns-reordered": (columns_reordered, dict(fmt="csv")),
    "categories-parquet": (categories, dict(fmt="parquet")),
    "gzip": (None, dict(fmt="csv", compression="gzip")),
    "bom": (None, dict(fmt="csv", encoding="utf-8-sig")),
}


# ------------------------------------------------------------------------------------------------
# Bad variants, as frames: each breaks one file in one way. name: (change, file broken, message).
# The message is a regular expression for what follows the file's path in the one-line refusal.


def _row(frame, ident, n=0):
    return frame.index[frame["unique_id"] == ident][n]


def no_rows(pred, obs):
    return pred.iloc[:0], obs


def no_ds(pred, obs):
    return pred.drop(columns="ds"), obs


def misspelt_id(pred, obs):
    return pred, obs.rename(columns={"unique_id": "Unique_ID"})


def duplicate(pred, obs):
    r = _row(pred, "Italia/Lazio", 2)
    return pd.concat([pred, pred.loc[[r]]], ignore_index=True), obs


def text_in_numbers(pred, obs):
    pred = pred.astype({"AutoETS": str})  # a text column, also in Parquet
    pred.loc[_row(pred, "Total/Servizi", 1), "AutoETS"] = "12.5 (est.)"
    return pred, obs


def text_in_observed(pred, obs):
    obs = obs.astype({"y": str})
    obs.loc[5, "y"] = "?!"
    return pred, obs


def day_first_dates(pred, obs):
    """Dates written day-first: on the 1st of each month every date reads both ways."""
    return pred.assign(ds=pred["ds"].dt.strftime("%d/%m/%Y")), obs.assign(ds=obs["ds"].dt.strftime("%d/%m/%Y"))


def zoned_predictions(pred, obs):
    return pred.assign(ds=pred["ds"].dt.tz_localize(dt.timezone(dt.timedelta(hours=1)))), obs


def step_predictions(pred, obs):
    steps = pred.groupby("unique_id").cumcount() + 1
    return pred.assign(ds=steps), obs


def far_dates(pred, obs):
    return pred, obs.assign(ds=obs["ds"].dt.strftime("%Y-%m-%d").where(obs.index != 7, "3021-01-01"))


def broken_steps(pred, obs):
    steps = (pred.groupby("unique_id").cumcount() + 1).astype(float)
    steps[9] = 2.5
    return pred.assign(ds=steps), obs.assign(ds=obs.groupby("unique_id").cumcount() - 35)


BAD = {
    "no-rows": (no_rows, 0, r": no rows, only the header"),
    "no-ds": (
        no_ds,
        0,
        r": missing column 'ds' \(columns present: unique_id, AutoETS, AutoETS-lo-95, .*\); or name them with --id-col/--date-col",
    ),
    "misspelt-id": (
        misspelt_id,
        1,
        r": missing column 'unique_id' \(close: 'Unique_ID'\) \(columns present: Unique_ID, ds, y\)",
    ),
    "duplicate": (
        duplicate,
        0,
        r": 2 rows for id 'Italia/Lazio' and date 2024-03-01 \(rows 15, 229\); each id and date may appear once",
    ),
    "text-in-numbers": (text_in_numbers, 0, r": column 'AutoETS' holds '12.5 \(est.\)' on row 182, not a number"),
    "text-in-observed": (text_in_observed, 1, r": column 'y' holds '\?!' on row 6, not a number"),
    "day-first": (
        day_first_dates,
        0,
        r": column 'ds': '01/02/2024' on row 2 may be day-first or month-first and no date "
        r"tells which; give --date-format %d/%m/%Y or %m/%d/%Y",
    ),
    "zoned-predictions": (
        zoned_predictions,
        1,
        r": column 'ds' holds dates without a time zone, pred\.\w+ column 'ds' dates "
        r"in UTC\+01:00; give --timezone \(such as Europe/Rome or UTC\) to draw them in one zone",
    ),
    "steps-and-dates": (
        step_predictions,
        0,
        r": column 'ds' holds time steps \(whole numbers\) but obs\.\w+ column 'ds' holds "
        r"dates; give both files the same kind",
    ),
    "far-date": (far_dates, 1, r": column 'ds': '3021-01-01' on row 8 is outside the years 1677 to 2262"),
    "broken-steps": (
        broken_steps,
        0,
        r": column 'ds': '2.5' on row 10 is a number but not a whole one: time steps are whole numbers",
    ),
}
