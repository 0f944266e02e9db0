"""Reading the report's input files into one canonical form.

Everything after this layer sees only `Inputs`: the forecasts of every model and the observed
values in fixed column names, ids as text, one time axis kind, rows checked and sorted.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import pandas as pd

# Columns of Inputs.forecasts, in this order.
FORECAST_COLUMNS = ["model", "id", "ds", "mean", "lo", "hi", "filled"]
# Columns of Inputs.observed, in this order.
OBSERVED_COLUMNS = ["id", "ds", "y"]


class InputError(Exception):
    """Input the report cannot use; the message is one line naming the file and the problem."""


@dataclass
class Inputs:
    """The report's input, read and checked.

    forecasts: one row per (model, id, ds), sorted by model (in `models` order), id, ds; row
        labels 0..n-1. `model` is a Categorical whose categories are `models`; `id` is text
        (object dtype of str); `ds` is datetime64[ns] without time zone, or int64 time steps
        (see `time_kind`); `mean`, `lo`, `hi` are float64 with NaN where a value is missing
        (`lo`/`hi` all NaN for a model without interval bounds). Within a model every id has a
        row for every ds of that model's forecast dates: rows the file lacked are added with NaN
        values and `filled` True (the gaps), all others have `filled` False.
    observed: one row per (id, ds), sorted by id, ds, row labels 0..n-1; `id` text, `ds` of the
        same kind as the forecasts', `y` float64 with NaN where missing. None without a file.
    models: model names in the order of the file's columns.
    levels: per model, the level of the interval that `lo`/`hi` hold (the widest the file
        gives, e.g. 95), or None when the bounds came without a level or there are none.
    time_kind: "datetime" or "step".
    notes: one-line messages for the user (missing values and where, gaps, dropped rows);
        the command prints them on stderr and the page shows them.
    """

    forecasts: pd.DataFrame
    observed: pd.DataFrame | None
    models: list[str]
    levels: dict[str, float | None]
    time_kind: str
    use_case: str
    prediction_path: str
    observed_path: str | None = None
    notes: list[str] = field(default_factory=list)
