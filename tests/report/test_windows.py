"""Cross-validation output, quantile forecasts and the actuals the forecasts carry, as read."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from sorvani_kb.datavisualization.report import inputs
from sorvani_kb.datavisualization.report.inputs import InputError, Options

IDS = ["T", "T/a", "T/b"]


def history(periods=12):
    dates = pd.date_range("2024-01-01", periods=periods, freq="MS")
    y = {"T/a": np.arange(periods) * 2.0 + 10, "T/b": np.arange(periods) * 1.0 + 5}
    y["T"] = y["T/a"] + y["T/b"]
    return pd.DataFrame([(i, d, y[i][k]) for i in IDS for k, d in enumerate(dates)], columns=["unique_id", "ds", "y"])


def cross_validation(step=1, h=3, windows=4, periods=12):
    """As the forecasting libraries' cross-validation returns it: unique_id, ds, cutoff, y, a model."""
    obs = history(periods)
    dates = sorted(obs["ds"].unique())
    rows = []
    for w in range(windows):
        cut = dates[periods - h - 1 - (windows - 1 - w) * step]
        for i in IDS:
            own = obs[obs["unique_id"] == i].set_index("ds")["y"]
            for k in range(1, h + 1):
                d = dates[dates.index(cut) + k]
                rows.append((i, d, cut, own[d], own[cut] + k))  # a drift forecast from the cutoff
    return pd.DataFrame(rows, columns=["unique_id", "ds", "cutoff", "y", "Drift"]), obs


@pytest.mark.parametrize("step, windows", [(1, 4), (3, 3)])  # overlapping and disjoint windows
def test_every_window_keeps_its_own_dates(step, windows):
    cv, obs = cross_validation(step=step, windows=windows)
    data = inputs.load(cv, obs)
    assert len(data.cutoffs) == windows
    f = data.forecasts
    assert len(f) == windows * len(IDS) * 3 and f["window"].tolist() == np.repeat(np.arange(windows), 9).tolist()
    for w, cut in enumerate(data.cutoffs):
        rows = f[f["window"] == w]
        dates = pd.date_range(pd.Timestamp(cut), periods=4, freq="MS")[1:]
        assert rows["ds"].tolist() == list(dates) * len(IDS)
        assert rows["id"].tolist() == [i for i in sorted(IDS) for _ in range(3)]
        expected = cv[cv["cutoff"] == cut].sort_values(["unique_id", "ds"])["Drift"].to_numpy()
        np.testing.assert_array_equal(rows["mean"].to_numpy(), expected)
    assert not f["filled"].any() and data.notes == []


def test_the_actuals_of_the_forecasts_stand_for_the_observed_values():
    cv, obs = cross_validation()
    data = inputs.load(cv)
    expected = obs[obs["ds"].isin(cv["ds"])].sort_values(["unique_id", "ds"]).reset_index(drop=True)
    assert data.observed["id"].astype(str).tolist() == expected["unique_id"].tolist()
    assert data.observed["ds"].tolist() == expected["ds"].tolist()
    np.testing.assert_array_equal(data.observed["y"].to_numpy(), expected["y"].to_numpy())
    assert data.notes == []
    # Windows that share a date must agree on its actual; the first window's is kept.
    off = cv.copy()
    off.loc[(off["cutoff"] == off["cutoff"].max()) & (off["unique_id"] == "T/b"), "y"] += 1
    data = inputs.load(off)
    assert data.notes[0].startswith("forecasts: column 'y' differs between windows for 2 rows (first: id 'T/b' on row ")
    # With an observed input too: that one is used, and a disagreement is named.
    data = inputs.load(off, obs)
    assert data.notes == [
        "forecasts: column 'y' disagrees with the observed values in 3 rows (first: id 'T/b' on row "
        "34, 15 here, 14 there); the observed values are used"
    ]


def test_a_duplicate_within_a_window_names_the_window():
    cv, obs = cross_validation()
    twice = pd.concat([cv, cv.iloc[[4]]], ignore_index=True)
    with pytest.raises(
        InputError,
        match=r"^forecasts: 2 rows for id 'T/a' and date 2024-08-01 in the window of cutoff "
        r"2024-06-01 \(rows 5, 37\); each id and date may appear once$",
    ):
        inputs.load(twice, obs)
    cutoff = cv.rename(columns={"cutoff": "origin"})
    assert len(inputs.load(cutoff, obs, Options(cutoff_col="origin")).cutoffs) == 4
    with pytest.raises(InputError, match=r"^forecasts: missing column 'start' "):
        inputs.load(cv, obs, Options(cutoff_col="start"))


def test_quantile_columns_make_intervals_and_the_median_the_point():
    obs = history()
    fc = obs[obs["ds"] >= "2024-10-01"].drop(columns="y").reset_index(drop=True)
    base = np.arange(len(fc), dtype=float)
    fc = fc.assign(
        **{
            "Q-q-10": base - 2,
            "Q-q-50": base,
            "Q-q-90": base + 2,
            "Q-q-25": base - 1,
            "Q-q-75": base + 1,
            "P": base + 0.5,
            "P-median": base,
            "P-q-5": base - 3,
            "P-q-95": base + 3,
            "P-lo-90": base - 4,
            "P-hi-90": base + 4,
        }
    )
    data = inputs.load(fc, obs)
    assert data.models == ["P", "Q"] and data.levels == {"P": 90, "Q": 80}
    f = data.forecasts.set_index("model")
    np.testing.assert_array_equal(f.loc["Q", "mean"], base)  # no point column: the median
    np.testing.assert_array_equal(f.loc["P", "mean"], base + 0.5)  # its own point column
    np.testing.assert_array_equal(f.loc["Q", "lo"], base - 2)  # q-10 and q-90: the 80 % interval
    assert sorted(data.bands["Q"]) == [50, 80]
    np.testing.assert_array_equal(data.bands["Q"][50][1], base + 1)
    # Bound columns are preferred over the quantiles that would make the same level.
    np.testing.assert_array_equal(data.bands["P"][90][0], base - 4)
    assert sorted(data.quantiles["Q"]) == [0.1, 0.25, 0.5, 0.75, 0.9]
    assert sorted(data.quantiles["P"]) == [0.05, 0.5, 0.95]
    np.testing.assert_array_equal(data.quantiles["P"][0.95], base + 3)


def test_cross_validation_as_part_files_of_several_writers(tmp_path):
    cv, obs = cross_validation()
    expected = inputs.load(cv, obs)
    written = {}
    pl = pytest.importorskip("polars")
    frame = pl.from_pandas(cv)
    (tmp_path / "polars").mkdir()
    for k in range(2):  # polars: plain part files, large strings, timestamps in us
        frame[k * 18 : (k + 1) * 18].write_parquet(tmp_path / "polars" / f"part-{k}.parquet")
    written["polars"] = tmp_path / "polars"
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    con.register("cv", cv)
    con.execute(f"COPY cv TO '{tmp_path / 'duck'}' (FORMAT PARQUET, PARTITION_BY (cutoff))")  # hive: cutoff=.../
    written["duckdb"] = tmp_path / "duck"
    for name, path in written.items():
        got = inputs.load(path, obs)
        pd.testing.assert_frame_equal(got.forecasts, expected.forecasts, check_exact=True, obj=name)
        np.testing.assert_array_equal(got.cutoffs, expected.cutoffs)


def test_figures_show_a_window_of_history_and_the_measures_all_of_it(tmp_path):
    from sorvani_kb.datavisualization.report import explore, page
    from sorvani_kb.datavisualization.report.page import prototypes

    obs = history(periods=40)
    fc = obs[obs["ds"] >= "2026-10-01"].rename(columns={"y": "M"}).reset_index(drop=True)  # 7 forecast months
    fc["M"] += 1.0
    shown = {}
    for n in (None, 5):
        report = explore(fc, obs, history=n)
        shown[n] = report
    meta = {n: json_meta(r.to_html()) for n, r in shown.items()}
    # The default keeps three horizons, two seasons or 30, whichever is more: 30 months here, of 33.
    assert meta[None]["history"] == 30 and meta[5]["history"] == 5
    data = inputs.load(fc, obs)
    real = prototypes.module_figures(data, "M", "T/a", history=5)["forecast"]
    x = page.figure_json(real)["data"][-1]["x"]
    assert len(x) == 5 + 7 and x[0].startswith("2026-05-01")  # 5 months before October, and the 7 forecast months
    pd.testing.assert_frame_equal(shown[None].measures, shown[5].measures)  # the measures use it all
    with pytest.raises(InputError, match=r"^history= -1: give a number of observations, 0 or more$"):
        explore(fc, obs, history=-1)


def json_meta(text):
    import json
    import re

    return json.loads(re.search(r'<script type="application/json" id="sorvani-meta">(.*?)</script>', text, re.S)[1])
