"""Forecast evaluation as forecasters do it: scaled errors, interval and quantile scores, summaries
per hierarchy level and relative to a benchmark model, computed over whole matrices.

Layout. Every per-member measure takes matrices with one row per member (series) and one column
per forecast date, ``[n, h]``, NaN where a value is missing, and returns one value per row,
``[n]``. Any leading axes are kept: cross-validation windows stacked as ``[windows, n, h]`` give
``[windows, n]``. A row's measure is taken over the dates where every value it needs (observed,
forecast, bounds or quantile) is finite, so rows of different effective lengths are padded with
NaN; a row with no such date gives NaN.

Scales. The scaled measures divide by the row's in-sample seasonal-naive error (`naive_scale`),
computed from the row's own history before the forecast start: a ``[n, T]`` matrix on the full
date axis, NaN where nothing was observed (leading NaN for a series that starts late). A scale
that is zero (a constant history) or undefined (fewer than ``m + 1`` values, no pair ``m`` apart)
is NaN, never 0, so every measure scaled by it is NaN too: undefined, never infinite.

Windows. For cross-validation the caller stacks the windows on a leading axis: ``y``, forecasts
and bounds ``[windows, n, h]``, and the histories ``[windows, n, T]`` where window ``w`` keeps only
the dates before its own cutoff (`histories_before` builds them). Each window's rows are then
scaled by their own history. Pooled over all windows means the rows of every window together:
`pooled` and `summary` treat every leading axis as more rows, so the mean of a level is over its
members in every window; ``summary(values, np.arange(n))`` gives one member's mean over windows.

Conventions agree with the open-source forecasting evaluation utilities on data without gaps
(each function's docstring says where and how they differ); `HELP` holds one paragraph
per measure for the page's column help and the library's documentation.
"""

from __future__ import annotations

import functools

import numpy as np
import pandas as pd


def quiet(fn):
    """Runs `fn` without numpy's warnings: values may be infinite or overflow, and every measure
    counts only finite values."""

    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        with np.errstate(all="ignore"):
            return fn(*args, **kwargs)

    return wrapper


HELP = {
    "mae": ("mean absolute error: mean of |observed - forecast| over the forecast dates where both are known."),
    "mse": ("mean squared error: mean of (observed - forecast)^2 over the forecast dates where both are known."),
    "rmse": (
        "root mean squared error: the square root of the mean of (observed - forecast)^2 over the "
        "forecast dates where both are known."
    ),
    "smape": (
        "symmetric mean absolute percentage error: mean of 200 |observed - forecast| / "
        "(|observed| + |forecast|) % over the forecast dates where both are known, a date where "
        "both are 0 counting as 0; it runs from 0 to 200 %."
    ),
    "bias": (
        "mean of forecast - observed over the forecast dates where both are known (positive: the forecast is too high)."
    ),
    "mase": (
        "mean absolute scaled error: the MAE divided by the mean absolute error of the seasonal "
        "naive forecast in the member's own history before the forecast start, "
        "mean |y[t] - y[t-m]| over the pairs of known values m dates apart, m the season length "
        "of the dates (12 monthly, 4 quarterly, 52 weekly, 7 daily, 5 business days, 24 hourly, "
        "1 otherwise). "
        "Below 1 the forecast beats that naive forecast in-sample. Undefined (blank) where the "
        "history is constant or too short to give that mean."
    ),
    "rmsse": (
        "root mean squared scaled error: the square root of the mean squared error divided by "
        "the mean squared error of the seasonal naive forecast in the member's own history, "
        "mean (y[t] - y[t-m])^2 over the pairs of known values m dates apart. Undefined (blank) "
        "where the history is constant or too short."
    ),
    "coverage": (
        "share in % of the forecast dates with an observed value and both bounds of the interval "
        "where lo <= observed <= hi; a well calibrated level-L interval covers about L %."
    ),
    "interval_score": (
        "interval (Winkler) score of the level-L interval: mean over the forecast dates with an "
        "observed value and both bounds of (hi - lo) + (2/a)(lo - y) if y < lo + (2/a)(y - hi) if "
        "y > hi, a = 1 - L/100. Lower is better: it rewards narrow intervals and charges "
        "observations outside them."
    ),
    "scaled_interval_score": (
        "scaled interval score (MSIS): the interval score divided by the same seasonal-naive "
        "mean absolute error of the member's history as the MASE. Undefined (blank) where that "
        "scale is."
    ),
    "pinball": (
        "pinball (quantile) loss of the quantile forecast q at probability p: mean over the "
        "forecast dates with both of max(p (y - q), (p - 1)(y - q)): an observation above q "
        "costs p per unit, one below costs 1 - p. At p = 0.5 it is half the MAE of the median."
    ),
    "scaled_pinball": (
        "scaled pinball loss: the pinball loss divided by the same seasonal-naive mean absolute "
        "error of the member's history as the MASE. Undefined (blank) where that scale is."
    ),
    "relative": (
        "relative to the benchmark model: per member, the model's measure divided by the "
        "benchmark's (below 1: better than the benchmark), blank where the benchmark's is 0 or "
        "unknown; for a level, the mean of the model's measure over the level's members divided "
        "by the mean of the benchmark's over the same members (a ratio of means, not a mean of "
        "ratios)."
    ),
}


# -- the season length of a date axis ------------------------------------------------------------


def _offset_season(offset):
    """The season length of one step of a pandas offset: a whole calendar unit, else 1."""
    if offset is None or getattr(offset, "n", 0) != 1:
        return 1
    o = pd.offsets
    table = (
        ((o.Hour,), 24),
        ((o.BusinessDay,), 5),
        ((o.Day,), 7),
        ((o.Week,), 52),
        ((o.MonthEnd, o.MonthBegin, o.BusinessMonthEnd, o.BusinessMonthBegin), 12),
        ((o.QuarterEnd, o.QuarterBegin, o.BQuarterEnd, o.BQuarterBegin), 4),
    )
    for kinds, m in table:
        if isinstance(offset, kinds):
            return m
    return 1  # years, minutes, seconds, semi-months, business hours...


def season_length(dates):
    """The season length m of a date axis, from its frequency:

    hours 24, days 7, business days 5, weeks (any anchor day) 52, months (starts or ends) 12,
    quarters 4, years 1; 1 as well for integer time steps, a frequency of several units (two
    days, three months), other units (minutes), fewer than three dates or dates with no regular
    frequency (pandas' `infer_freq` finds none: gaps, uneven spacing).

    `dates` is a numpy datetime64 array, a pandas DatetimeIndex or Series of datetimes (naive or
    with a time zone) or an integer array; it is sorted and deduplicated first, and NaT dropped.
    Give it the whole observed axis (history and forecast dates), not a short forecast horizon.
    """
    if isinstance(dates, pd.Series):
        dates = pd.Index(dates)
    if not isinstance(dates, pd.DatetimeIndex):
        values = np.asarray(dates)
        if values.dtype == object and pd.api.types.infer_dtype(values, skipna=True) in ("datetime", "datetime64"):
            values = pd.DatetimeIndex(values)  # Timestamps in a list or an object array
        elif values.dtype.kind != "M":
            return 1  # integer (or any other) steps have no calendar
        dates = pd.DatetimeIndex(values)
    dates = dates[~dates.isna()].unique().sort_values()
    if len(dates) < 3:
        return 1
    return _offset_season(_infer_offset(dates))


def _infer_offset(dates):
    """pandas' inferred frequency of `dates` as an offset, None where it finds none. Newer pandas
    return the offset itself when asked to; older ones know no such option and return a string."""
    try:
        with pd.option_context("future.infer_freq_returns_offset", True):
            freq = pd.infer_freq(dates)
    except KeyError:  # pandas' OptionError: an option this pandas does not have
        freq = pd.infer_freq(dates)
    if freq is None or isinstance(freq, pd.offsets.BaseOffset):
        return freq
    return pd.tseries.frequencies.to_offset(freq)


# -- masked means over the last axis -------------------------------------------------------------


def _arrays(*values):
    return [np.asarray(v, dtype=np.float64) for v in values]


@quiet
def masked_mean(sums, counts):
    """`sums / counts`, NaN where the count is 0: the mean of sums of valid terms."""
    return np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)


@quiet
def _mean(values, valid, axis=-1):
    """Mean of `values` where `valid` along `axis`; NaN where nothing is valid."""
    return masked_mean(np.where(valid, values, 0.0).sum(axis=axis), valid.sum(axis=axis))


def _both(y, f):
    return np.isfinite(y) & np.isfinite(f)


@quiet
def _scaled(values, scale):
    """`values` divided by a positive finite `scale` (broadcast over rows), NaN elsewhere."""
    scale = np.asarray(scale, dtype=np.float64)
    ok = np.isfinite(scale) & (scale > 0)
    return np.where(ok, values / np.where(ok, scale, 1.0), np.nan)


# -- the seasonal-naive scale --------------------------------------------------------------------


@quiet
def naive_scale(history, m=1, kind="mae"):
    """Per row, the in-sample error of the seasonal naive forecast y[t-m] over the row's history:

        kind "mae":  mean over t of |y[t] - y[t-m]|       (the MASE denominator)
        kind "mse":  mean over t of (y[t] - y[t-m])^2     (the RMSSE denominator)

    over the pairs t, t-m (columns m apart) where both values are finite. `history` is
    ``[..., n, T]`` on the full date axis, NaN where missing; the result is ``[..., n]``.
    A row with no such pair, or whose mean is 0 (a constant history) or not finite, gets NaN.

    As `mase` / `rmsse` of the forecasting evaluation utilities scale by the training data, with
    one difference: they pair rows m apart in the training frame, here dates m apart on the axis
    (the same where the training frame has a row for every date)."""
    if kind not in ("mae", "mse"):
        raise ValueError(f"kind must be 'mae' or 'mse', not {kind!r}")
    m = int(m)
    if m < 1:
        raise ValueError(f"the season length must be at least 1, not {m}")
    (history,) = _arrays(history)
    if history.shape[-1] <= m:
        return np.full(history.shape[:-1], np.nan)
    now, before = history[..., m:], history[..., :-m]
    diff = now - before
    valid = np.isfinite(now) & np.isfinite(before)
    err = np.abs(diff) if kind == "mae" else diff * diff
    scale = _mean(err, valid & np.isfinite(err))
    return np.where(np.isfinite(scale) & (scale > 0), scale, np.nan)


def histories_before(observed, starts):
    """The histories of stacked windows: ``observed`` ``[n, T]`` on the full date axis and
    ``starts`` ``[windows]`` (or ``[windows, n]``), the column of each window's first forecast
    date (one past its cutoff); window w keeps the columns before its start, NaN from it on.
    Result ``[windows, n, T]``, for `naive_scale`: each window scaled by the history up to its
    own cutoff, as the forecasting evaluation utilities scale each cutoff of a cross-validation."""
    (observed,) = _arrays(observed)
    starts = np.asarray(starts, dtype=np.int64)
    if starts.ndim == 1:
        starts = starts[:, None]
    keep = np.arange(observed.shape[-1])[None, None, :] < starts[:, :, None]
    return np.where(keep, observed[None, :, :], np.nan)


# -- point forecast errors -----------------------------------------------------------------------


# Each measure below is a masked mean over the last axis of per-date terms: `<measure>_terms`
# gives them as (values, valid), so that callers can sum them over other axes too.


@quiet
def mae_terms(y, f):
    y, f = _arrays(y, f)
    return np.abs(y - f), _both(y, f)


def mae(y, f):
    """Per row, mean of |y - f| over the dates where both are finite (NaN where none)."""
    return _mean(*mae_terms(y, f))


@quiet
def mse_terms(y, f):
    y, f = _arrays(y, f)
    e = y - f
    return e * e, _both(y, f)


def mse(y, f):
    """Per row, mean of (y - f)^2 over the dates where both are finite (NaN where none)."""
    return _mean(*mse_terms(y, f))


@quiet
def rmse(y, f):
    """Per row, sqrt(mean of (y - f)^2) over the dates where both are finite."""
    return np.sqrt(mse(y, f))


@quiet
def smape_terms(y, f):
    y, f = _arrays(y, f)
    both = _both(y, f)
    denom = np.abs(y) + np.abs(f)
    return np.where(both & (denom > 0), 200.0 * np.abs(y - f) / np.where(denom > 0, denom, 1.0), 0.0), both


def smape(y, f):
    """Per row, mean of 200 |y - f| / (|y| + |f|) in % over the dates where both are finite, a
    date where both are 0 counting as 0 (as the report's sMAPE). The forecasting evaluation
    utilities' `smape` is this divided by 200 (a fraction from 0 to 1)."""
    return _mean(*smape_terms(y, f))


@quiet
def bias_terms(y, f):
    y, f = _arrays(y, f)
    return f - y, _both(y, f)


def bias(y, f):
    """Per row, mean of f - y over the dates where both are finite (positive: too high)."""
    return _mean(*bias_terms(y, f))


def mase(y, f, scale):
    """Per row, MASE = mae(y, f) / scale, `scale` the row's ``naive_scale(history, m, "mae")``
    (``[..., n]``); NaN where the scale is NaN or not positive. Agrees with the forecasting
    evaluation utilities' `mase` (same seasonality, training data = the history before the
    forecast start), except that a constant history gives NaN here, not infinity."""
    return _scaled(mae(y, f), scale)


@quiet
def rmsse(y, f, scale_mse):
    """Per row, RMSSE = sqrt(mse(y, f) / scale_mse), `scale_mse` the row's
    ``naive_scale(history, m, "mse")``, as the retail benchmark competition defines it (there
    with m = 1) and the forecasting evaluation utilities' `rmsse` computes it; NaN where the
    scale is NaN or not positive."""
    return np.sqrt(_scaled(mse(y, f), scale_mse))


# -- intervals -----------------------------------------------------------------------------------


def _alpha(level):
    level = float(level)
    if not 0.0 < level < 100.0:
        raise ValueError(f"an interval level is a percentage strictly between 0 and 100, not {level}")
    return 1.0 - level / 100.0


@quiet
def coverage_terms(y, lo, hi):
    y, lo, hi = _arrays(y, lo, hi)
    known = np.isfinite(y) & np.isfinite(lo) & np.isfinite(hi)
    inside = known & (lo <= y) & (y <= hi)
    return inside * 100.0, known


def coverage(y, lo, hi):
    """Per row, the share in % of the dates with y, lo and hi all finite where lo <= y <= hi;
    NaN where there is no such date. The forecasting evaluation utilities' `coverage` gives the
    fraction (not %) and counts a date without an observed value or a bound as not covered; on
    complete data the two agree but for the factor 100."""
    return _mean(*coverage_terms(y, lo, hi))


@quiet
def interval_score_terms(y, lo, hi, level):
    alpha = _alpha(level)
    y, lo, hi = _arrays(y, lo, hi)
    known = np.isfinite(y) & np.isfinite(lo) & np.isfinite(hi)
    return (hi - lo) + (2.0 / alpha) * (np.maximum(lo - y, 0.0) + np.maximum(y - hi, 0.0)), known


def interval_score(y, lo, hi, level):
    """Per row, the interval (Winkler) score of the level-% interval [lo, hi], alpha = 1 - level/100:

        mean over dates of (hi - lo) + (2/alpha)(lo - y)[y < lo] + (2/alpha)(y - hi)[y > hi]

    over the dates with y, lo and hi all finite (NaN where none). As the forecasting evaluation
    utilities' `winkler_score`, which however counts a date without an observed value as its
    width alone."""
    return _mean(*interval_score_terms(y, lo, hi, level))


def scaled_interval_score(y, lo, hi, level, scale):
    """Per row, interval_score(y, lo, hi, level) / scale with the MAE naive scale of the row's
    history (the M4 competition's MSIS); NaN where the scale is NaN or not positive."""
    return _scaled(interval_score(y, lo, hi, level), scale)


# -- quantiles -----------------------------------------------------------------------------------


def _probability(p):
    p = float(p)
    if not 0.0 < p < 1.0:
        raise ValueError(f"a quantile probability is strictly between 0 and 1, not {p}")
    return p


@quiet
def pinball_terms(y, q, p):
    p = _probability(p)
    y, q = _arrays(y, q)
    d = y - q
    return np.maximum(p * d, (p - 1.0) * d), _both(y, q)


def pinball(y, q, p):
    """Per row, the pinball loss of the quantile forecast q at probability p (0 < p < 1):

        mean over dates of max(p (y - q), (p - 1)(y - q))

    over the dates where y and q are finite (NaN where none); the forecasting evaluation
    utilities' `quantile_loss`."""
    return _mean(*pinball_terms(y, q, p))


def scaled_pinball(y, q, p, scale):
    """Per row, pinball(y, q, p) / scale with the MAE naive scale of the row's history: the
    forecasting evaluation utilities' `scaled_quantile_loss` (the retail benchmark competition's
    scaled pinball loss, there with m = 1); NaN where the scale is NaN or not positive."""
    return _scaled(pinball(y, q, p), scale)


def quantile_levels(ps, tol=1e-9):
    """The interval levels made by pairs of quantile probabilities symmetric about the median:
    p and 1 - p (p < 0.5) make the central interval of level 100 (1 - 2p) %, e.g. 0.1 and 0.9
    make 80. Returns {level: (p_lo, p_hi)} in increasing level, the probabilities as given;
    a probability without its mirror (and the median) makes none. Probabilities must lie in (0, 1)."""
    ps = np.unique(np.asarray([_probability(p) for p in np.atleast_1d(ps)], dtype=np.float64))
    low = ps[ps < 0.5 - tol]
    if not len(low) or not len(ps):
        return {}
    gap = np.abs((1.0 - low)[:, None] - ps[None, :])
    mirror = gap.argmin(axis=1)
    found = gap[np.arange(len(low)), mirror] <= tol
    levels = np.round(100.0 * (1.0 - 2.0 * low[found]), 9)
    pairs = sorted(zip(levels.tolist(), low[found].tolist(), ps[mirror[found]].tolist()))
    return {(int(lv) if float(lv).is_integer() else lv): (a, b) for lv, a, b in pairs}


# -- summaries over members ----------------------------------------------------------------------


@quiet
def pooled(values, weights=None):
    """The mean of a per-member measure over all its values ignoring NaN (and infinities), every
    leading axis (windows) counting as more members; with `weights` (broadcast to `values`,
    NaN or negative ones dropping their value) the weighted mean sum(w v) / sum(w). Returns
    (mean, count of values used); the mean is NaN where no value is used or the weights sum to 0."""
    (values,) = _arrays(values)
    used = np.isfinite(values)
    if weights is None:
        w = np.ones_like(values)
    else:
        w = np.broadcast_to(np.asarray(weights, dtype=np.float64), values.shape)
        used = used & np.isfinite(w) & (w >= 0)
    total = np.where(used, w, 0.0).sum()
    mean = np.where(used, w * values, 0.0).sum() / total if total > 0 else np.nan
    return float(mean), int(used.sum())


@quiet
def summary(values, groups, n_groups=None, weights=None):
    """Per group (e.g. per hierarchy level, ``groups = hierarchy.depth``), the mean over the
    group's members of a per-member measure ignoring NaN, as the hierarchical forecasting
    evaluation reports a level (its default `agg_fn="mean"`). `values` is ``[..., n]``, `groups`
    ``[n]`` of ints in [0, n_groups); leading axes of `values` (windows) pool as more members.
    Optional `weights` as in `pooled`. Returns (means [n_groups], counts [n_groups]); the mean of
    a group with no value used is NaN."""
    (values,) = _arrays(values)
    groups = np.asarray(groups, dtype=np.int64)
    if n_groups is None:
        n_groups = int(groups.max()) + 1 if groups.size else 0
    g = np.broadcast_to(groups, values.shape).ravel()
    v = values.ravel()
    used = np.isfinite(v)
    if weights is None:
        w = np.ones_like(v)
    else:
        w = np.broadcast_to(np.asarray(weights, dtype=np.float64), values.shape).ravel()
        used = used & np.isfinite(w) & (w >= 0)
    total = np.bincount(g[used], weights=w[used], minlength=n_groups)
    sums = np.bincount(g[used], weights=(w * v)[used], minlength=n_groups)
    counts = np.bincount(g[used], minlength=n_groups)
    means = np.where(total > 0, sums / np.where(total > 0, total, 1.0), np.nan)
    return means, counts


@quiet
def relative(measure_model, measure_benchmark):
    """Per member, measure_model / measure_benchmark; NaN where either is NaN or the benchmark's
    is 0 (the hierarchical forecasting evaluation clips the benchmark at a tiny epsilon
    instead)."""
    a, b = _arrays(measure_model, measure_benchmark)
    ok = np.isfinite(a) & np.isfinite(b) & (b != 0)
    return np.where(ok, a / np.where(ok, b, 1.0), np.nan)


@quiet
def relative_summary(measure_model, measure_benchmark, groups=None, n_groups=None):
    """For a level, the ratio of the means: mean of the model's measure over the members where both
    the model's and the benchmark's are known, divided by the mean of the benchmark's over the
    same members. This is how the hierarchical forecasting evaluation's `benchmark` option scales
    a level (it averages each model's measure over the level's members, then divides by the
    benchmark's average); it averages each model over its own known members, here over the
    members both know. Without `groups`: one (ratio, count) over everything; with `groups` as in
    `summary`: (ratios [n_groups], counts [n_groups]). NaN where the benchmark's mean is 0."""
    a, b = _arrays(measure_model, measure_benchmark)
    both = np.isfinite(a) & np.isfinite(b)
    a, b = np.where(both, a, np.nan), np.where(both, b, np.nan)
    if groups is None:
        (ma, count), (mb, _) = pooled(a), pooled(b)
        return (ma / mb if np.isfinite(mb) and mb != 0 else np.nan), count
    (ma, counts), (mb, _) = summary(a, groups, n_groups), summary(b, groups, n_groups)
    return relative(ma, mb), counts


# -- errors by step ahead ------------------------------------------------------------------------


@quiet
def by_horizon(y, f, scale=None):
    """Per step ahead (column), over the rows (and windows) of ``[..., n, h]`` matrices:

        "mae":          mean over rows of |y - f| where both are finite
        "count":        number of rows used for "mae"
        "scaled":       mean over rows of |y - f| / scale, the rows' MAE naive scale ``[..., n]``,
                        over the rows used for "mae" with a positive finite scale (NaN without
                        `scale`)
        "scaled_count": number of rows used for "scaled"

    Each is an array [h]; a step with no row gives NaN."""
    y, f = _arrays(y, f)
    h = y.shape[-1]
    err = np.abs(y - f).reshape(-1, h)
    both = _both(y, f).reshape(-1, h)
    out = {"mae": _mean(err, both, axis=0), "count": both.sum(axis=0)}
    if scale is None:
        out["scaled"] = np.full(h, np.nan)
        out["scaled_count"] = np.zeros(h, dtype=np.int64)
        return out
    s = np.broadcast_to(np.asarray(scale, dtype=np.float64), y.shape[:-1]).reshape(-1, 1)
    ok = both & np.isfinite(s) & (s > 0)
    out["scaled"] = _mean(err / np.where(np.isfinite(s) & (s > 0), s, 1.0), ok, axis=0)
    out["scaled_count"] = ok.sum(axis=0)
    return out
