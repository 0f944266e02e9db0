"""The canonical form of the report's input: what every layer after reading sees."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import pandas as pd

# Columns of Inputs.forecasts, in this order.
FORECAST_COLUMNS = ["model", "window", "id", "ds", "mean", "lo", "hi", "filled"]
# Columns of Inputs.observed, in this order.
OBSERVED_COLUMNS = ["id", "ds", "y"]


@dataclass
class Inputs:
    """The report's input, read and checked.

    forecasts: one row per (model, window, id, ds), sorted so (models in `models` order); row
        labels 0..n-1. `model` is a Categorical whose categories are `models`; `id` is text
        (object dtype of str); `ds` is datetime64[ns] without time zone, or int64 time steps
        (see `time_kind`); `mean`, `lo`, `hi` are float64 with NaN where a value is missing
        (`lo`/`hi` all NaN for a model without interval bounds); `window` (int32) the
        cross-validation window (0 without one). Within a model and window every id has a row
        for every ds of that window's forecast dates: rows the input lacked are added with NaN
        values and `filled` True (the gaps), all others have `filled` False.
    observed: one row per (id, ds), sorted by id, ds, row labels 0..n-1; `id` text (a Categorical
        whose categories are the sorted ids, str), `ds` of the same kind as the forecasts', `y`
        float64 with NaN where missing. None without observed values.
    models: model names in the order of the input's columns, or of the `models` asked for.
    levels: per model, the level of the interval that `lo`/`hi` hold (the widest the input
        gives, e.g. 95), or None when the bounds came without a level or there are none.
    time_kind: "datetime" or "step".
    prediction_path / observed_path: what the page names as the source of each: a file's path,
        or what a frame given in memory is ("a polars DataFrame").
    cutoffs: the cross-validation windows' cutoffs, sorted (the values of `forecasts["window"]`
        index them), or None when the input has one forecast and no cutoff column.
    bands: per model, every interval level -> (lo, hi) float64 arrays over the model's rows of
        `forecasts` (the widest is also `lo`/`hi` there); quantiles: per model, each quantile's
        probability (0 to 1) -> its float64 values over the model's rows.
    notes: one-line messages for the user (missing values and where, gaps, dropped rows); the
        command prints them on stderr, the library gives them as warnings, the page shows them.
    structure: how the ids add up (a `structure.Structure`: a tree, or a grouped structure), or
        None: the tree of the id paths.
    """

    forecasts: pd.DataFrame
    observed: Optional[pd.DataFrame]
    models: list[str]
    levels: dict[str, Optional[float]]
    time_kind: str
    use_case: str
    prediction_path: str
    observed_path: Optional[str] = None
    notes: list[str] = field(default_factory=list)
    structure: Optional[Any] = None
    cutoffs: Optional[np.ndarray] = None
    bands: dict = field(default_factory=dict)
    quantiles: dict = field(default_factory=dict)
