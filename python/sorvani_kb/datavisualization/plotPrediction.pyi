# Types of the native module plotPrediction: figures of hierarchical forecasts.
# pandas, plotly, statsmodels (and matplotlib before 3.8) ship no type information of their own,
# so their names are Any to a type checker unless stubs for them are installed.

from typing import Any

import matplotlib.pyplot as _plt  # type: ignore[import-untyped,unused-ignore]
import numpy as _np
import pandas as _pd  # type: ignore[import-untyped,unused-ignore]
import plotly as plotly  # type: ignore[import-untyped,unused-ignore]
import plotly.express as _px  # type: ignore[import-untyped,unused-ignore]
import plotly.graph_objects as _go  # type: ignore[import-untyped,unused-ignore]
from statsmodels.graphics.gofplots import qqplot as qqplot  # type: ignore[import-untyped,unused-ignore]

# The libraries the module works with, bound in its namespace at import.
np = _np
pd = _pd
plt = _plt
px = _px
go = _go

__test__: dict[str, Any]

def obtain_dataset(df: _pd.DataFrame, gerarchia: str, id_pred: str) -> list[_pd.DataFrame]:
    """The frames of the member `gerarchia` and of its direct sub-members, cut from `df` (whose
    rows hold one block per id, all blocks of one length); relabels the rows of `df` in place."""

class plotPrediction:
    """class for plot prediction,result of job"""

    id_pred: str
    data: str
    pred_mean: str
    pi_lower: str
    pi_upper: str
    use_case: str
    def __init__(
        self, id_pred: str, data: str, pred_mean: str, pi_lower: str, pi_upper: str, use_case: str
    ) -> None: ...
    def plot_pred(
        self,
        df_pred: _pd.DataFrame,
        id_pred: str | None = None,
        df_real: _pd.DataFrame | None = None,
        id_pred_real: str | None = None,
        data_real: str | None = None,
        target: str | None = None,
        confidence_interval: bool = False,
        vertical_line: str | None = None,
    ) -> list[_go.Figure]:
        """One forecast figure per id (only `id_pred` when given), in order of first appearance."""
    def plot_hierarchical(self, df_pred: _pd.DataFrame, gerarchia: str) -> _go.Figure:
        """The forecasts of `gerarchia` and of its direct sub-members, one line each."""
    def plot_sum_hierarchy(self, df_pred: _pd.DataFrame, gerarchia: str) -> _go.Figure:
        """The forecast of `gerarchia` beside the sum of its direct sub-members' forecasts."""
    def dist_residuals(
        self, df_pred: _pd.DataFrame, df_real: _pd.DataFrame, id_pred_real: str, target: str, id_pred: str | None = None
    ) -> list[_go.Figure]:
        """One histogram of forecast minus observed per id (only `id_pred` when given)."""
    def plot_residuals(
        self, df_pred: _pd.DataFrame, df_real: _pd.DataFrame, id_pred_real: str, target: str, id_pred: str | None = None
    ) -> _go.Figure:
        """A quantile-quantile plot of observed minus forecast for the id `id_pred`."""
