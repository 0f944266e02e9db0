"""What the caller may tell the input layer: column names, models, date format, time zone."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Sequence


@dataclass(frozen=True)
class Options:
    """How to read the inputs; None everywhere means "found from the input".

    id_col, date_col, mean_col, lower_col, upper_col: the forecast columns (giving mean_col,
        lower_col or upper_col selects the one-model layout); obs_id_col, obs_date_col,
        obs_value_col: the observed-value columns.
    models: only these models, in this order. date_format: a strptime format for the dates of
        both inputs. timezone: the zone to draw dates in. use_case: the label of the figure
        titles (default: the forecast file's name). cutoff_col: the column of the cross-validation
        window's cutoff (default: `cutoff` when present). hierarchy: how the series add up (a
        summing matrix, tags, or a list of them: see `hierarchy`); None: found from the ids.
        season_length: the m of the scaled measures (MASE, RMSSE, the scaled scores; default:
        found from the dates). benchmark: the model every other is measured against (one of the
        models kept).
    """

    id_col: Optional[str] = None
    date_col: Optional[str] = None
    mean_col: Optional[str] = None
    lower_col: Optional[str] = None
    upper_col: Optional[str] = None
    obs_id_col: Optional[str] = None
    obs_date_col: Optional[str] = None
    obs_value_col: Optional[str] = None
    models: Optional[Sequence[str]] = None
    date_format: Optional[str] = None
    timezone: Optional[str] = None
    use_case: Optional[str] = None
    cutoff_col: Optional[str] = None
    hierarchy: Any = None
    season_length: Optional[int] = None
    benchmark: Optional[str] = None
