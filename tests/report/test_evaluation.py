"""Evaluation measures against values worked out by hand, and against a plain loop over random data."""

import math

import numpy as np
import pandas as pd
import pytest

from sorvani_kb.datavisualization.report import evaluation as ev

nan = np.nan


# -- season length ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "dates, m",
    [
        (pd.date_range("2020-01-01", periods=30, freq="MS"), 12),
        (pd.date_range("2020-01-31", periods=30, freq=pd.offsets.MonthEnd()), 12),
        (pd.date_range("2020-01-06", periods=20, freq="W-MON"), 52),
        (pd.date_range("2020-01-05", periods=20, freq="W-SUN"), 52),
        (pd.date_range("2020-01-01", periods=40, freq="D"), 7),
        (pd.date_range("2020-01-01", periods=60, freq=pd.offsets.Hour()), 24),
        (pd.date_range("2020-01-01", periods=12, freq=pd.offsets.QuarterBegin(startingMonth=1)), 4),
        (pd.date_range("2020-03-31", periods=12, freq=pd.offsets.QuarterEnd()), 4),
        (pd.date_range("2000-01-01", periods=10, freq=pd.offsets.YearBegin()), 1),
        (pd.date_range("2020-01-01", periods=40, freq="2D"), 1),  # several units: no season
        (pd.DatetimeIndex(["2020-01-01", "2020-01-02", "2020-01-05", "2020-01-20"]), 1),  # irregular
        (pd.date_range("2020-01-01", periods=2, freq="D"), 1),  # too few dates to tell
        (np.arange(100, dtype=np.int64), 1),  # integer steps
    ],
)
def test_season_length(dates, m):
    assert ev.season_length(dates) == m


def test_season_length_takes_numpy_series_unsorted_and_time_zones():
    days = pd.date_range("2021-03-01", periods=21, freq="D")
    assert ev.season_length(days.to_numpy()[::-1]) == 7  # datetime64, reversed
    assert ev.season_length(pd.Series(np.repeat(days.to_numpy(), 3))) == 7  # repeated, a Series
    assert ev.season_length(pd.date_range("2021-01-01", periods=30, freq="MS", tz="Europe/Rome")) == 12
    months = pd.date_range("2020-01-01", periods=30, freq="MS")
    assert ev.season_length(months.delete(7)) == 1  # a month missing: no regular frequency


# -- the seasonal-naive scale ----------------------------------------------------------------


def test_naive_scale_by_hand():
    history = np.array(
        [
            [1.0, 3.0, 2.0, 6.0, nan, nan],  # m=1: diffs 2, -1, 4; m=2: diffs 1, 3
            [nan, 2.0, nan, 5.0, 6.0, 4.0],  # starts late, a gap: m=1 pairs (5,6), (6,4): diffs 1, -2
            [4.0, 4.0, 4.0, 4.0, 4.0, 4.0],  # constant: scale 0 -> NaN
            [nan, nan, nan, nan, nan, 7.0],  # one value: no pair
        ]
    )
    np.testing.assert_allclose(ev.naive_scale(history, 1, "mae"), [7 / 3, 3 / 2, nan, nan])
    np.testing.assert_allclose(ev.naive_scale(history, 1, "mse"), [(4 + 1 + 16) / 3, (1 + 4) / 2, nan, nan])
    # m=2: row 0 diffs 1, 3; row 1 pairs (2,5)=3, (5,4)=-1 (6 has nan two back)
    np.testing.assert_allclose(ev.naive_scale(history, 2, "mae"), [2.0, 2.0, nan, nan])
    np.testing.assert_allclose(ev.naive_scale(history, 2, "mse"), [5.0, 5.0, nan, nan])
    assert np.isnan(ev.naive_scale(history, 6)).all()  # history no longer than m
    with pytest.raises(ValueError):
        ev.naive_scale(history, 0)
    with pytest.raises(ValueError):
        ev.naive_scale(history, 1, "mape")


def test_windows_are_scaled_by_their_own_history():
    observed = np.array([[1.0, 3.0, 2.0, 6.0, 5.0, 9.0]])
    hist = ev.histories_before(observed, [3, 5])
    assert hist.shape == (2, 1, 6)
    # window 0 sees 1, 3, 2: diffs 2, -1 -> 1.5; window 1 sees 1, 3, 2, 6, 5: diffs 2, -1, 4, -1 -> 2
    np.testing.assert_allclose(ev.naive_scale(hist, 1), [[1.5], [2.0]])
    # the two windows' forecasts of 2 dates each, stacked [windows, n, h]
    y = np.array([[[6.0, 5.0]], [[9.0, nan]]])
    f = np.array([[[4.0, 5.0]], [[6.0, 1.0]]])
    # window 0: mae (2 + 0) / 2 = 1, / 1.5; window 1: mae 3 (the nan date dropped), / 2
    np.testing.assert_allclose(ev.mase(y, f, ev.naive_scale(hist, 1)), [[2 / 3], [1.5]])


# -- point errors ----------------------------------------------------------------------------


def test_point_errors_by_hand():
    y = np.array([[3.0, 5.0, nan, 0.0], [nan, nan, 1.0, 2.0], [nan, 1.0, nan, nan]])
    f = np.array([[2.0, 7.0, 4.0, 0.0], [1.0, 1.0, nan, 1.0], [1.0, nan, nan, nan]])
    # row 0 uses dates 0, 1, 3: errors y - f = 1, -2, 0; row 1 only date 3: 1; row 2 none
    np.testing.assert_allclose(ev.mae(y, f), [1.0, 1.0, nan])
    np.testing.assert_allclose(ev.mse(y, f), [5 / 3, 1.0, nan])
    np.testing.assert_allclose(ev.rmse(y, f), [math.sqrt(5 / 3), 1.0, nan])
    np.testing.assert_allclose(ev.bias(y, f), [1 / 3, -1.0, nan])  # forecast - observed
    # 200|e|/(|y|+|f|): 200/5 = 40, 400/12, and 0/0 counts 0 -> (40 + 33.33 + 0) / 3; row 1: 200/3
    np.testing.assert_allclose(ev.smape(y, f), [(40 + 400 / 12) / 3, 200 / 3, nan])


def test_scaled_errors_by_hand_and_undefined_scales():
    history = np.array([[1.0, 3.0, 2.0, 6.0], [5.0, 5.0, 5.0, 5.0], [nan, nan, nan, 2.0]])
    y = np.array([[3.0, 5.0], [5.0, 6.0], [1.0, 2.0]])
    f = np.array([[2.0, 7.0], [5.0, 5.0], [2.0, 2.0]])
    scale, scale_mse = ev.naive_scale(history, 1, "mae"), ev.naive_scale(history, 1, "mse")
    # row 0: mae 1.5 / (7/3) = 9/14; mse 2.5 / 7 under the root; rows 1 (constant), 2 (one value): NaN
    np.testing.assert_allclose(ev.mase(y, f, scale), [9 / 14, nan, nan])
    np.testing.assert_allclose(ev.rmsse(y, f, scale_mse), [math.sqrt(2.5 / 7), nan, nan])
    # a zero or infinite scale given directly is undefined too, never 0 or inf
    out = ev.mase(y, f, np.array([0.0, np.inf, -1.0]))
    assert np.isnan(out).all()


# -- intervals -------------------------------------------------------------------------------


def test_coverage_per_level():
    y = np.array([[1.0, 3.0, 6.0, nan, 2.5]])
    lo80, hi80 = np.array([[2.0, 2.0, 2.0, 2.0, nan]]), np.array([[4.0, 4.0, 4.0, 4.0, 4.0]])
    lo95, hi95 = np.array([[0.5, 1.5, 1.0, 1.0, 1.0]]), np.array([[5.0, 4.5, 7.0, 7.0, 5.0]])
    # dates 0-2 have y and both bounds at 80 (date 3 no y, date 4 no lo): only 3 is inside -> 1/3
    np.testing.assert_allclose(ev.coverage(y, lo80, hi80), [100 / 3])
    # 95: dates 0, 1, 2, 4 known; all inside -> 100
    np.testing.assert_allclose(ev.coverage(y, lo95, hi95), [100.0])
    # on the bounds counts as inside
    np.testing.assert_allclose(ev.coverage([[2.0, 4.0]], [[2.0, 2.0]], [[4.0, 4.0]]), [100.0])
    assert np.isnan(ev.coverage([[nan]], [[0.0]], [[1.0]])).all()


def test_winkler_below_inside_above():
    lo, hi = np.full((3, 1), 2.0), np.full((3, 1), 4.0)
    y = np.array([[1.0], [3.0], [6.0]])
    # level 80: alpha 0.2, 2/alpha = 10; width 2; below by 1 -> 12, inside -> 2, above by 2 -> 22
    np.testing.assert_allclose(ev.interval_score(y, lo, hi, 80), [12.0, 2.0, 22.0])
    # level 95: 2/alpha = 40: 2 + 40, 2, 2 + 80; one row over the three dates: their mean
    np.testing.assert_allclose(ev.interval_score(y.T, lo.T, hi.T, 95), [(42 + 2 + 82) / 3])
    np.testing.assert_allclose(ev.scaled_interval_score(y, lo, hi, 80, [4.0, 2.0, 0.0]), [3.0, 1.0, nan])
    with pytest.raises(ValueError):
        ev.interval_score(y, lo, hi, 100)


# -- quantiles -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "p, expected",
    [
        # y = 10 against q = 8 (under by 2) and q = 13 (over by 3): max(p d, (p - 1) d)
        (0.1, (0.1 * 2 + 0.9 * 3) / 2),  # 0.2 and 2.7
        (0.5, (0.5 * 2 + 0.5 * 3) / 2),  # 1.0 and 1.5
        (0.9, (0.9 * 2 + 0.1 * 3) / 2),  # 1.8 and 0.3
    ],
)
def test_pinball(p, expected):
    y, q = np.array([[10.0, 10.0, nan]]), np.array([[8.0, 13.0, 9.0]])
    np.testing.assert_allclose(ev.pinball(y, q, p), [expected])
    np.testing.assert_allclose(ev.scaled_pinball(y, q, p, [0.5]), [expected / 0.5])
    with pytest.raises(ValueError):
        ev.pinball(y, q, 1.0)


def test_quantile_levels():
    levels = ev.quantile_levels([0.9, 0.5, 0.1, 0.025, 0.975, 0.3, 0.0125, 0.9875])
    # 0.1 & 0.9 -> 80, 0.025 & 0.975 -> 95, 0.0125 & 0.9875 -> 97.5; 0.3 has no 0.7, 0.5 is the median
    assert list(levels) == [80, 95, 97.5]
    assert levels[80] == (0.1, 0.9) and levels[95] == (0.025, 0.975)
    assert ev.quantile_levels([0.5]) == {}
    with pytest.raises(ValueError):
        ev.quantile_levels([10, 90])  # percentages are not probabilities


# -- summaries -------------------------------------------------------------------------------


def test_pooled_summary_and_relative():
    model = np.array([1.0, 3.0, nan, 2.0, 4.0])
    bench = np.array([2.0, 2.0, 1.0, 0.0, nan])
    depth = np.array([0, 1, 1, 1, 2])
    assert ev.pooled(model) == (2.5, 4)  # (1 + 3 + 2 + 4) / 4
    # (1*1 + 1*3 + 2*2 + 0*4) / (1 + 1 + 2 + 0); the weight-0 value is still counted as used
    assert ev.pooled(model, weights=[1, 1, 1, 2, 0]) == (2.0, 4)
    means, counts = ev.summary(model, depth)
    np.testing.assert_allclose(means, [1.0, 2.5, 4.0])  # level 1: (3 + 2) / 2
    assert counts.tolist() == [1, 2, 1]
    # per member: 1/2, 3/2; NaN for the missing model value, the 0 and the missing benchmark
    np.testing.assert_allclose(ev.relative(model, bench), [0.5, 1.5, nan, nan, nan])
    # ratio of means over members known to both (0, 1, 3): (1 + 3 + 2) / (2 + 2 + 0) = 1.5
    assert ev.relative_summary(model, bench) == (1.5, 3)
    ratios, counts = ev.relative_summary(model, bench, depth, n_groups=3)
    # level 0: 1/2; level 1: members 1, 3: (3 + 2) / (2 + 0); level 2: nothing known to both
    np.testing.assert_allclose(ratios, [0.5, 2.5, nan])
    assert counts.tolist() == [1, 2, 0]


def test_summary_pools_windows_as_more_members():
    per_window = np.array([[1.0, 10.0], [3.0, nan], [5.0, 20.0]])  # [windows, n]
    means, counts = ev.summary(per_window, np.array([0, 1]))
    np.testing.assert_allclose(means, [3.0, 15.0])  # member 0: (1 + 3 + 5) / 3
    assert counts.tolist() == [3, 2]
    assert ev.pooled(per_window) == (39 / 5, 5)


def test_by_horizon():
    y = np.array([[1.0, 2.0, nan], [4.0, 0.0, 1.0], [2.0, 2.0, 2.0]])
    f = np.array([[2.0, 2.0, 5.0], [1.0, 1.0, 1.0], [2.0, nan, nan]])
    out = ev.by_horizon(y, f, scale=np.array([1.0, 2.0, nan]))
    # step 0: |e| 1, 3, 0 -> 4/3; step 1: 0, 1 -> 1/2; step 2: only row 1: 0
    np.testing.assert_allclose(out["mae"], [4 / 3, 0.5, 0.0])
    assert out["count"].tolist() == [3, 2, 1]
    # scaled, row 2 has no scale: step 0: 1/1, 3/2 -> 1.25; step 1: 0, 1/2 -> 0.25; step 2: 0
    np.testing.assert_allclose(out["scaled"], [1.25, 0.25, 0.0])
    assert out["scaled_count"].tolist() == [2, 2, 1]


# -- cross-check against a plain loop over random data ---------------------------------------


def loop_scale(row, m, square):
    pairs = [(row[t], row[t - m]) for t in range(m, len(row)) if math.isfinite(row[t]) and math.isfinite(row[t - m])]
    if not pairs:
        return nan
    s = sum((a - b) ** 2 if square else abs(a - b) for a, b in pairs) / len(pairs)
    return s if s > 0 else nan


def loop_mean(terms):
    return sum(terms) / len(terms) if terms else nan


def loop_row(y, f, lo, hi, level, p):
    both = [t for t in range(len(y)) if math.isfinite(y[t]) and math.isfinite(f[t])]
    known = [t for t in range(len(y)) if math.isfinite(y[t]) and math.isfinite(lo[t]) and math.isfinite(hi[t])]
    alpha = 1 - level / 100
    score = []
    for t in known:
        s = hi[t] - lo[t]
        if y[t] < lo[t]:
            s += 2 / alpha * (lo[t] - y[t])
        if y[t] > hi[t]:
            s += 2 / alpha * (y[t] - hi[t])
        score.append(s)
    smape_terms = []
    for t in both:
        d = abs(y[t]) + abs(f[t])
        smape_terms.append(200 * abs(y[t] - f[t]) / d if d else 0.0)
    return {
        "mae": loop_mean([abs(y[t] - f[t]) for t in both]),
        "mse": loop_mean([(y[t] - f[t]) ** 2 for t in both]),
        "smape": loop_mean(smape_terms),
        "bias": loop_mean([f[t] - y[t] for t in both]),
        "coverage": loop_mean([100.0 if lo[t] <= y[t] <= hi[t] else 0.0 for t in known]),
        "interval": loop_mean(score),
        "pinball": loop_mean([max(p * (y[t] - f[t]), (p - 1) * (y[t] - f[t])) for t in both]),
    }


def random_case(seed, shape_history, shape_forecast):
    rng = np.random.default_rng(seed)
    history = rng.normal(10, 3, shape_history).round(1)
    history[rng.random(shape_history) < 0.2] = nan
    history[..., 0, :5] = nan  # a series that starts late
    history[..., 1, :] = 4.0  # a constant one
    y = rng.normal(10, 3, shape_forecast)
    f = y + rng.normal(0, 2, shape_forecast)
    y[rng.random(shape_forecast) < 0.2] = nan
    f[rng.random(shape_forecast) < 0.1] = nan
    half = np.abs(rng.normal(3, 1, shape_forecast))
    lo, hi = f - half, f + half
    lo[rng.random(shape_forecast) < 0.1] = nan
    return history, y, f, lo, hi


@pytest.mark.parametrize("seed, m", [(0, 1), (1, 4), (2, 7)])
def test_against_a_plain_loop(seed, m):
    history, y, f, lo, hi = random_case(seed, (2, 6, 30), (2, 6, 8))  # two windows of six series
    scale = ev.naive_scale(history, m, "mae")
    scale_mse = ev.naive_scale(history, m, "mse")
    got = {
        "mae": ev.mae(y, f),
        "smape": ev.smape(y, f),
        "bias": ev.bias(y, f),
        "mase": ev.mase(y, f, scale),
        "rmsse": ev.rmsse(y, f, scale_mse),
        "coverage": ev.coverage(y, lo, hi),
        "interval": ev.interval_score(y, lo, hi, 90),
        "msis": ev.scaled_interval_score(y, lo, hi, 90, scale),
        "pinball": ev.pinball(y, f, 0.7),
        "spl": ev.scaled_pinball(y, f, 0.7, scale),
    }
    for w in range(y.shape[0]):
        for i in range(y.shape[1]):
            s = loop_scale(history[w, i].tolist(), m, False)
            s2 = loop_scale(history[w, i].tolist(), m, True)
            r = loop_row(y[w, i].tolist(), f[w, i].tolist(), lo[w, i].tolist(), hi[w, i].tolist(), 90, 0.7)
            expected = {
                "mae": r["mae"],
                "smape": r["smape"],
                "bias": r["bias"],
                "mase": r["mae"] / s,
                "rmsse": math.sqrt(r["mse"] / s2),
                "coverage": r["coverage"],
                "interval": r["interval"],
                "msis": r["interval"] / s,
                "pinball": r["pinball"],
                "spl": r["pinball"] / s,
            }
            for key, value in expected.items():
                np.testing.assert_allclose(got[key][w, i], value, rtol=1e-12, err_msg=f"{key} [{w}, {i}]")
    assert np.isnan(got["mase"][:, 1]).all() and np.isnan(got["rmsse"][:, 1]).all()  # constant history
