"""The member measures the page holds: beside its own (gap, coverage, MAE, sMAPE, bias, missing)
the evaluation's scaled errors, coverage per level, scores and values relative to a benchmark, per
cross-validation window and pooled over the windows ("all windows"), equal to the report's frames."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from pagedata import Page
from sorvani_kb.datavisualization.report import explore
from test_scores import observed_frame, quietly, tree_cv

# the page's own measure keys and the columns of Report.measures holding the same numbers
OWN = {"gap": "coherence_gap_pct", "coverage": "coverage_pct", "mae": "mae", "smape": "smape_pct", "bias": "bias"}


def cv_with_a_gap():
    """tree_cv with T's forecast of M off by 1 in the first window only: its coherence gap
    differs between the windows."""
    cv = tree_cv()
    first = (cv.unique_id == "T") & (cv.cutoff == cv.cutoff.min())
    cv.loc[first, "M"] += 1.0
    return cv


@pytest.fixture(scope="module")
def pages():
    out = {}
    for name, options in (("plain", {}), ("benchmark", {"benchmark": "N"})):
        report = quietly(explore, cv_with_a_gap(), observed_frame(), **options)
        out[name] = (Page(report.to_html()), report)
    return out


def stored(page, entry):
    """{key: [values by id]} of a model entry's measures (NaN where it has no row)."""
    keys = [m["key"] for m in page.meta["measures"]]
    table = page.array(entry["arrays"]["measures"]).reshape(-1, len(keys))
    gid = page.array(entry["arrays"]["gid"]).astype(int) if "gid" in entry["arrays"] else np.arange(len(page.ids))
    out = {}
    for j, key in enumerate(keys):
        column = pd.Series(np.nan, index=page.ids)
        column.iloc[gid] = table[:, j]
        out[key] = column
    return out


def check_column(got, expected, what):
    got, expected = got.reindex(expected.index).to_numpy(float), expected.to_numpy(float)
    assert (np.isnan(got) == np.isnan(expected)).all(), what
    np.testing.assert_allclose(got[~np.isnan(got)], expected[~np.isnan(expected)], rtol=1e-6, err_msg=what)


def test_each_window_holds_the_reports_window_measures(pages):
    page, report = pages["benchmark"]
    keys = [m["key"] for m in page.meta["measures"]]
    assert keys[:6] == ["gap", "coverage", "mae", "smape", "bias", "missing"]
    assert {"mase", "rmsse", "rmse", "coverage_80_pct", "interval_score_95", "mase_rel"} <= set(keys)
    assert "coverage_95_pct" not in keys  # every model's widest level: the page's own coverage
    windows = report.window_measures
    for entry in page.meta["models"]:
        if entry["window"] == "all":
            continue
        values = stored(page, entry)
        rows = windows[(windows.model == entry["name"]) & (windows.window == entry["window"])].set_index("unique_id")
        for key in ("mase", "rmsse", "rmse", "coverage_80_pct", "interval_score_80"):
            check_column(values[key], rows[key], f"{entry['name']} {entry['window']} {key}")
        # relative to the benchmark N within the same window
        bench = windows[(windows.model == "N") & (windows.window == entry["window"])].set_index("unique_id")
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = rows["mase"] / bench["mase"].reindex(rows.index).replace(0, np.nan)
        check_column(values["mase_rel"], ratio, f"{entry['name']} {entry['window']} mase_rel")


def test_all_windows_hold_the_pooled_measures_and_the_largest_gap(pages):
    page, report = pages["benchmark"]
    pooled = [e for e in page.meta["models"] if e["window"] == "all"]
    assert [(e["name"], e["pooled"]) for e in pooled] == [("M", 2), ("N", 2)]
    measures = report.measures
    for entry in pooled:
        values = stored(page, entry)
        rows = measures[measures.model == entry["name"]].set_index("unique_id")
        for key, column in {**OWN, "mase": "mase", "rmsse": "rmsse", "mase_rel": "mase_rel"}.items():
            check_column(values[key], rows[column], f"{entry['name']} all {key}")
        # the figures are the last window's: the same arrays but the measures
        last = next(e for e in page.meta["models"] if e["name"] == entry["name"] and e["window"] == 1)
        assert {k: v for k, v in entry["arrays"].items() if k != "measures"} == {
            k: v for k, v in last["arrays"].items() if k != "measures"
        }
        assert entry["cutoff"] == last["cutoff"] and entry["start"] == last["start"]
    # T's gap differs by window; pooled and in Report.measures it is the larger one
    gaps = [stored(page, e)["gap"]["T"] for e in page.meta["models"] if e["name"] == "M" and e["window"] != "all"]
    assert gaps[0] > gaps[1]
    m = measures[measures.model == "M"].set_index("unique_id")
    assert m.loc["T", "coherence_gap_pct"] == pytest.approx(max(gaps), rel=1e-6)
    # T/b is constant: its scaled errors are undefined, never infinite
    assert np.isnan(stored(page, pooled[0])["mase"]["T/b"])


def test_the_overview_lists_the_worst_of_the_scaled_errors(pages):
    page, report = pages["benchmark"]
    meta = {m["key"]: m for m in page.meta["measures"]}
    assert meta["mase"]["card"] and meta["coverage_80_pct"]["card"] and not meta["rmse"]["card"]
    assert meta["mase_rel"]["label"] == "MASE vs N" and "benchmark" in meta["mase_rel"]["help"]
    entry = next(e for e in page.meta["models"] if e["name"] == "M" and e["window"] == "all")
    m = report.measures.set_index(["unique_id", "model"])["mase"].xs("M", level="model").dropna()
    assert [page.ids[g] for g in entry["worst"]["mase"]] == m.sort_values(ascending=False, kind="stable").index.tolist()
    assert "rmse" not in entry["worst"]


def test_without_windows_levels_or_benchmark_the_page_adds_only_what_it_has():
    cv = tree_cv()
    one = cv[cv.cutoff == cv.cutoff.max()].drop(columns=["cutoff", "M-lo-95", "M-hi-95"])
    page = Page(quietly(explore, one, observed_frame()).to_html())
    keys = [m["key"] for m in page.meta["measures"]]
    # one interval level: its coverage is the page's own column; no benchmark: no relative values
    assert not any(k.startswith("coverage_") or k.endswith("_rel") for k in keys)
    assert {"mase", "rmsse", "interval_score_80"} <= set(keys)
    assert all("window" not in e for e in page.meta["models"])


def test_quantile_forecasts_bring_their_pinball_losses_and_every_levels_coverage():
    from test_windows import history

    obs = history()
    fc = obs[obs["ds"] >= "2024-10-01"].drop(columns="y").reset_index(drop=True)
    base = np.arange(len(fc), dtype=float)
    fc = fc.assign(**{"Q-q-10": base - 2, "Q-q-50": base, "Q-q-90": base + 2, "P": base + 0.5})
    fc = fc.assign(**{"P-lo-90": base - 4, "P-hi-90": base + 4})
    report = quietly(explore, fc, obs, season_length=1)  # monthly, but 9 months of history
    page = Page(report.to_html())
    keys = [m["key"] for m in page.meta["measures"]]
    # P's widest level is 90, Q's 80: both levels' coverage get their own columns
    assert {"pinball_10", "pinball_50", "pinball_90", "coverage_80_pct", "coverage_90_pct"} <= set(keys)
    measures = report.measures
    for entry in page.meta["models"]:
        values = stored(page, entry)
        rows = measures[measures.model == entry["name"]].set_index("unique_id")
        for key in ("pinball_10", "pinball_90", "coverage_80_pct", "coverage_90_pct", "mase"):
            check_column(values[key], rows[key], f"{entry['name']} {key}")
    assert np.isfinite(stored(page, page.model("Q"))["pinball_10"]).any()


def test_a_links_figures_come_first_earlier_windows_and_the_tables_after_every_block(pages):
    page, _ = pages["benchmark"]
    arrays, last = page.meta["arrays"], max(e["window"] for e in page.meta["models"] if e["window"] != "all")
    figures = ("mean", "lo", "hi", "sums", "std")
    for entry in page.meta["models"]:
        stored = entry["arrays"]
        for name in figures:
            if name in stored:
                assert arrays[stored[name]]["blocked"]
                assert arrays[stored[name]]["late"] == (entry["window"] not in (last, "all")), (entry["window"], name)
        assert arrays[stored["measures"]]["late"] and arrays[stored["measures"]]["blocked"]
