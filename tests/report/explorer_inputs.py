"""Inputs for the explorer's tests, built directly in the canonical form `inputs.load` gives.

`kinds()` is a small hierarchy with a member of every kind the page draws differently:

    Italia                  root; sub-members Italia/Nord, Italia/NordEst, Italia/Sud
    Italia/Nord             sub-members Milano and Torino
    Italia/Nord/Milano      a missing point forecast, and a forecast date the file lacked (a gap)
    Italia/Nord/Torino      observed only before the forecast: no residuals
    Italia/NordEst          a sibling whose id starts with another member's id
    Italia/Sud              a single sub-member
    Italia/Sud/Napoli       residuals all equal under the first model: no QQ plot there
    Total                   a second root; its one sub-member Total/A
    Total/A                 one observed forecast date: a histogram, no QQ plot
    Solo                    a root without sub-members or observed values

Two models: "base" with 95% bounds, and "rec/x-1" (a name with "/" and "-") without bounds.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from sorvani_kb.datavisualization.report.inputs import Inputs

MODELS = ["base", "rec/x-1"]
LEAVES = ["Italia/Nord/Milano", "Italia/Nord/Torino", "Italia/NordEst", "Italia/Sud/Napoli", "Total/A", "Solo"]
IDS = sorted(["Italia", "Italia/Nord", "Italia/Sud"] + ["Total"] + LEAVES)
HISTORY, HORIZON = 10, 6


def canonical(forecasts, models):
    """The canonical forecast frame of {model: frame with id, ds, mean, lo, hi}: sorted, every id
    on every forecast date of its model (missing rows added with NaN and filled True)."""
    parts = []
    for model in models:
        frame = forecasts[model]
        ids = sorted(pd.unique(frame["id"]))
        dates = np.sort(pd.unique(frame["ds"]))
        grid = pd.DataFrame({"id": np.repeat(ids, len(dates)), "ds": np.tile(dates, len(ids))})
        merged = grid.merge(frame.assign(filled=False), how="left", on=["id", "ds"])
        merged["filled"] = merged["filled"].isna()
        merged.insert(0, "model", model)
        parts.append(merged)
    out = pd.concat(parts, ignore_index=True)
    out["model"] = pd.Categorical(out["model"], categories=models)
    out["id"] = out["id"].astype(object)
    for col in ("mean", "lo", "hi"):
        out[col] = out[col].astype(np.float64)
    return out[["model", "id", "ds", "mean", "lo", "hi", "filled"]].reset_index(drop=True)


def make_inputs(forecasts, observed=None, levels=None, time_kind="datetime", use_case="vendite", notes=()):
    models = list(forecasts)
    obs = None
    if observed is not None:
        obs = observed.sort_values(["id", "ds"], kind="stable").reset_index(drop=True)
        obs["id"] = obs["id"].astype(object)
        obs["y"] = obs["y"].astype(np.float64)
    return Inputs(
        forecasts=canonical(forecasts, models),
        observed=obs,
        models=models,
        levels=dict(levels or dict.fromkeys(models)),
        time_kind=time_kind,
        use_case=use_case,
        prediction_path="/data/pred.csv",
        observed_path=None if observed is None else "/data/obs.csv",
        notes=list(notes),
    )


def kinds(time_kind="datetime", observed=True):
    """The Inputs of the hierarchy described above."""
    if time_kind == "step":
        dates = np.arange(100, 100 + HISTORY + HORIZON, dtype=np.int64)
    else:
        dates = pd.date_range("2024-01-01", periods=HISTORY + HORIZON, freq="W-MON").to_numpy()
    rng = np.random.RandomState(7)
    leaf_values = {
        i: 50 + 20 * n + 5 * np.sin(np.arange(HISTORY + HORIZON) / 2) + rng.normal(0, 2, HISTORY + HORIZON)
        for n, i in enumerate(LEAVES)
    }
    truth = dict(leaf_values)
    for member in sorted(IDS, key=lambda i: -i.count("/")):
        if member not in truth:
            kids = [i for i in IDS if i.startswith(member + "/") and i.count("/") == member.count("/") + 1]
            truth[member] = sum(truth[k] for k in kids)
    forecasts = {}
    for m, model in enumerate(MODELS):
        rows = []
        for n, ident in enumerate(IDS):
            mean = np.round(truth[ident][HISTORY:] * (1.0 + 0.03 * (n % 4 - 1.5) + 0.02 * m), 3)
            if model == "base" and ident == "Italia/Sud/Napoli":
                mean = np.round(mean)  # whole numbers: observed = mean + 1.5 exactly
            width = 2.0 + 0.1 * np.arange(HORIZON) * (1 + n % 3)
            frame = pd.DataFrame(
                {
                    "id": ident,
                    "ds": dates[HISTORY:],
                    "mean": mean,
                    "lo": mean - width if model == "base" else np.nan,
                    "hi": mean + width if model == "base" else np.nan,
                }
            )
            if model == "base" and ident == "Italia/Nord/Milano":
                frame.loc[1, "mean"] = np.nan
                frame = frame.drop(index=3)  # a row the file lacked
            rows.append(frame)
        forecasts[model] = pd.concat(rows, ignore_index=True)
    obs = None
    if observed:
        rows = []
        for ident in IDS:
            y = np.round(truth[ident], 2)
            frame = pd.DataFrame({"id": ident, "ds": dates, "y": y})
            if ident == "Solo":
                continue
            if ident == "Italia/Nord/Torino":
                frame = frame.iloc[:HISTORY]
            if ident == "Total/A":
                frame = frame.iloc[: HISTORY + 1]
            if ident == "Italia/Sud/Napoli":  # the first model's forecast plus 1.5 on every forecast date
                base = forecasts["base"]
                frame.loc[HISTORY:, "y"] = base.loc[base["id"] == ident, "mean"].to_numpy() + 1.5
            rows.append(frame)
        obs = pd.concat(rows, ignore_index=True)
    return make_inputs(
        forecasts,
        obs,
        levels={"base": 95.0, "rec/x-1": None},
        time_kind=time_kind,
        notes=["pred.csv: 1 missing value (base, Italia/Nord/Milano)"],
    )


ODD_IDS = ["", " ", "/", "Italia", "Italia//A", "Italia/", "a,b", 'q"u</script>', "Città/Ünï"]
EXTREMES = [1e308, -1e308, np.inf, 1e-320, np.nan, 0.0, 5.0, -2.5, 3e38, 1.000000001]


def odd(dates=2):
    """Ids that are odd texts (empty, blanks, "/" at the ends, quotes, markup, accents) and values
    at the edges of float64 (huge, infinite, subnormal, overflowing when subtracted), under a
    model with those values and one with no value at all."""
    days = pd.date_range("2024-01-01", periods=dates, freq="D")
    rows = [(i, d, EXTREMES[(n + t) % len(EXTREMES)]) for n, i in enumerate(ODD_IDS) for t, d in enumerate(days)]
    frame = pd.DataFrame(rows, columns=["id", "ds", "mean"])
    frame = frame.assign(lo=frame["mean"] - 1, hi=frame["mean"] + 1)
    observed = pd.DataFrame(
        {
            "id": np.repeat(ODD_IDS, 2),
            "ds": np.tile(pd.date_range("2024-01-01", periods=2, freq="D"), len(ODD_IDS)),
            "y": np.tile([1e308, 2.0], len(ODD_IDS)),
        }
    )
    return make_inputs(
        {"m": frame, "none": frame.assign(mean=np.nan, lo=np.nan, hi=np.nan)},
        observed,
        levels={"m": 95.0, "none": None},
    )
