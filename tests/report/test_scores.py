"""The evaluation of a hierarchical forecast: per window and pooled measures worked by hand, the
cross-validation layouts, quantiles, the summaries against pandas, the command's options."""

from __future__ import annotations

import contextlib
import io
import warnings

import numpy as np
import pandas as pd
import pytest

from sorvani_kb.datavisualization.report import InputError, InputNote, evaluation, explore, inputs, main, scores
from sorvani_kb.datavisualization.report import measures as ms
from test_windows import cross_validation

nan = np.nan

# A tree T = T/a + T/b observed on steps 1..8; T/b is constant, so its scaled measures are undefined.
A = [2, 4, 3, 5, 6, 8, 7, 9]
OBSERVED = {"T/a": A, "T/b": [5] * 8, "T": [a + 5 for a in A]}
# Two windows of different lengths: cutoff 4 forecasts steps 5, 6; cutoff 5 forecasts 6, 7, 8.
# (id, ds, cutoff, M); T's last forecast is missing.
ROWS = [
    ("T/a", 5, 4, 5), ("T/a", 6, 4, 7), ("T/b", 5, 4, 5), ("T/b", 6, 4, 6), ("T", 5, 4, 10), ("T", 6, 4, 13),
    ("T/a", 6, 5, 7), ("T/a", 7, 5, 8), ("T/a", 8, 5, 8), ("T/b", 6, 5, 5), ("T/b", 7, 5, 5), ("T/b", 8, 5, 5),
    ("T", 6, 5, 12), ("T", 7, 5, 13), ("T", 8, 5, nan),
]  # fmt: skip


def observed_frame():
    return pd.DataFrame(
        [(i, t + 1, v) for i, ys in OBSERVED.items() for t, v in enumerate(ys)], columns=["unique_id", "ds", "y"]
    )


def tree_cv():
    """The windows as cross-validation output, with 80 % (+-0.5) and 95 % (+-2) intervals and a
    naive benchmark N (the last value on or before the cutoff)."""
    cv = pd.DataFrame(ROWS, columns=["unique_id", "ds", "cutoff", "M"])
    cv = cv.assign(**{"M-lo-80": cv.M - 0.5, "M-hi-80": cv.M + 0.5, "M-lo-95": cv.M - 2, "M-hi-95": cv.M + 2})
    last = {(i, c): OBSERVED[i][c - 1] for i in OBSERVED for c in (4, 5)}
    cv["N"] = [last[(i, c)] for i, c in zip(cv.unique_id, cv.cutoff)]
    return cv


def quietly(fn, *args, **kwargs):
    """Runs explore() on an input whose notes (the missing forecast) are expected."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", InputNote)
        return fn(*args, **kwargs)


@pytest.fixture(scope="module")
def tree():
    return quietly(explore, tree_cv(), observed_frame())


def by_member(frame, model="M"):
    return frame[frame["model"] == model].set_index("unique_id")


# -- worked by hand ------------------------------------------------------------------------------


def test_pooled_measures_by_hand(tree):
    m = by_member(tree.measures)
    # Scales (season length 1 for time steps), history on or before the cutoff:
    #   T/a <= 4: 2 4 3 5 -> |diffs| 2 1 2 = 5/3; <= 5: + 6 -> 2 1 2 1 = 6/4 = 1.5; squared: 9/3 = 3, 10/4 = 2.5
    #   T is T/a + 5: the same scales; T/b is constant: undefined.
    # Errors y - M: T/a 1 1 | 1 -1 1;  T/b 0 -1 | 0 0 0;  T 1 0 | 1 -1 (its last forecast missing).
    np.testing.assert_allclose(m.loc[["T", "T/a", "T/b"], "mae"], [3 / 4, 5 / 5, 1 / 5])
    np.testing.assert_allclose(m.loc[["T", "T/a", "T/b"], "rmse"], np.sqrt([3 / 4, 5 / 5, 1 / 5]))
    np.testing.assert_allclose(m.loc[["T", "T/a", "T/b"], "bias"], [-1 / 4, -3 / 5, 1 / 5])
    # T/a: cells 1/(5/3) = 0.6 twice and 1/1.5 thrice -> (1.2 + 2) / 5; T: 0.6, 0, 2/3, 2/3 -> 29/60
    np.testing.assert_allclose(m.loc[["T", "T/a"], "mase"], [29 / 60, 3.2 / 5])
    # T/a: e^2 / 3 twice, e^2 / 2.5 thrice -> (2/3 + 6/5) / 5 = 28/75; T: 1/3, 0, 0.4, 0.4 -> 17/60
    np.testing.assert_allclose(m.loc[["T", "T/a"], "rmsse"], np.sqrt([17 / 60, 28 / 75]))
    assert m.loc["T/b", ["mase", "rmsse", "interval_score_80", "interval_score_95"]].isna().all()
    # sMAPE: 200 |e| / (|y| + |f|) per date; T/a: 6 vs 5, 8 vs 7 | 8 vs 7, 7 vs 8, 9 vs 8
    smape_a = 200 * np.array([1 / 11, 1 / 15, 1 / 15, 1 / 15, 1 / 17]).mean()
    np.testing.assert_allclose(m.loc["T/a", "smape_pct"], smape_a)
    # 80 % covers only a zero error (+-0.5): T/a none of 5, T/b 4 of 5, T 1 of 4; 95 % (+-2) all.
    np.testing.assert_allclose(m.loc[["T", "T/a", "T/b"], "coverage_80_pct"], [25, 0, 80])
    assert (
        (m["coverage_95_pct"] == 100).all() and (m["coverage_pct"] == 100).all() and (m["interval_level"] == 95).all()
    )
    # Interval score 80: width 1 + (2 / 0.2)(|e| - 0.5) outside -> 6 for |e| = 1, 1 inside;
    # T/a: 6 * 0.6 twice, 6 / 1.5 thrice -> 19.2 / 5; T: 3.6, 0.6, 4, 4 -> 12.2 / 4.
    np.testing.assert_allclose(m.loc[["T", "T/a"], "interval_score_80"], [12.2 / 4, 19.2 / 5])
    # Interval score 95: width 4 everywhere; T/a: 2.4 twice, 4 / 1.5 thrice -> 12.8 / 5
    np.testing.assert_allclose(m.loc["T/a", "interval_score_95"], 12.8 / 5)
    # The missing forecast: its point and both bounds of the widest interval.
    assert m["missing"].to_dict() == {"T": 3, "T/a": 0, "T/b": 0}


def test_each_window_by_hand(tree):
    w = tree.window_measures
    assert w.columns[:5].tolist() == ["unique_id", "model", "window", "cutoff", "depth"]
    m = w[w["model"] == "M"].set_index(["cutoff", "unique_id"])
    assert m.index.tolist() == [(c, i) for c in (4, 5) for i in ("T", "T/a", "T/b")]
    # window 0: T/a mean |1 1| = 1 over 5/3; T |1 0| = 0.5 over 5/3. window 1: T/a 1 over 1.5, T 1 over 1.5
    np.testing.assert_allclose(m["mae"], [0.5, 1, 0.5, 1, 1, 0])
    np.testing.assert_allclose(m["mase"], [0.3, 0.6, nan, 2 / 3, 2 / 3, nan])
    np.testing.assert_allclose(m["rmsse"], np.sqrt([0.5 / 3, 1 / 3, nan, 1 / 2.5, 1 / 2.5, nan]))
    np.testing.assert_allclose(m["coverage_80_pct"], [50, 0, 50, 0, 0, 100])
    assert m["missing"].tolist() == [0, 0, 0, 3, 0, 0]
    assert (w["window"].to_numpy() == np.tile(np.repeat([0, 1], 3), 2)).all()


def test_by_horizon_and_calibration_by_hand(tree):
    h = tree.by_horizon
    h = h[h["model"] == "M"].set_index(["level", "step"])
    # level 2 (T/a, T/b), step 1: |e| 1, 0 (window 0) and 1, 0 (window 1) -> 0.5 over 4 cells;
    # scaled only T/a: 1 / (5/3) and 1 / 1.5 -> (0.6 + 2/3) / 2.
    assert h.loc[("level 2", 1), ["mae", "count", "scaled_count"]].tolist() == [0.5, 4, 2]
    np.testing.assert_allclose(h.loc[("level 2", 1), "mase"], (0.6 + 2 / 3) / 2)
    # step 3 exists in window 1 only: T/a 1, T/b 0; T's is missing.
    assert h.loc[("level 2", 3), "mae"] == 0.5 and h.loc[("level 1", 3), "count"] == 0
    assert np.isnan(h.loc[("level 1", 3), "mae"])
    # Overall, step 2: T 0 and 1, T/a 1 and 1, T/b 1 and 0 -> 4 / 6
    np.testing.assert_allclose(h.loc[("Overall", 2), "mae"], 4 / 6)
    c = tree.calibration
    c = c[c["model"] == "M"].set_index(["level", "interval_level"])
    # 80 %: T covers 1 of 4 dates; T/a 0 of 5 and T/b 4 of 5 -> level 2: 4 / 10; overall 5 / 14
    np.testing.assert_allclose(
        c["coverage_pct"].loc[[("level 1", 80), ("level 2", 80), ("Overall", 80)]], [25, 40, 500 / 14]
    )
    assert c["count"].loc[[("level 1", 80), ("level 2", 80), ("Overall", 80)]].tolist() == [4, 10, 14]
    assert (c.xs(95.0, level="interval_level")["coverage_pct"] == 100).all()
    assert sorted(set(tree.calibration["model"])) == ["M"]  # N has no interval


def test_a_constant_history_has_no_scale_never_an_infinity():
    history = np.array([[3.0, 3.0, 3.0, 3.0, 3.0], [1.0, nan, nan, nan, 2.0]])
    s = scores.window_scales(history, [5], 1)
    assert np.isnan(s).all()  # constant; no pair of neighbours known
    assert np.isnan(scores._over(np.array([[[3.0, 4.0], [2.0, 2.0]]]), s)).all()  # scaled: NaN, not inf


def test_window_scales_are_the_kernels_on_each_windows_history():
    rng = np.random.default_rng(7)
    history = rng.normal(10, 3, size=(40, 30))
    history[rng.random(history.shape) < 0.2] = nan
    history[3] = 5.0  # constant
    history[4, :25] = nan  # starts late
    ends = np.array([0, 1, 4, 12, 26, 30])
    for m in (1, 2, 7):
        for kind in ("mae", "mse"):
            expected = evaluation.naive_scale(evaluation.histories_before(history, ends), m, kind)
            np.testing.assert_allclose(scores.window_scales(history, ends, m, kind), expected, rtol=1e-12)


def test_window_scales_do_not_depend_on_the_blocks_of_rows(monkeypatch):
    rng = np.random.default_rng(3)
    history = rng.normal(10, 3, size=(23, 30))
    history[rng.random(history.shape) < 0.3] = nan
    history[5, :] = 4.0  # constant: no scale
    ends = np.array([3, 12, 12, 30])
    whole = scores.naive_scales(history, ends, 2)
    for kind, got in zip(("mae", "mse"), whole):
        expected = evaluation.naive_scale(evaluation.histories_before(history, ends), 2, kind)
        np.testing.assert_allclose(got, expected, rtol=1e-12)
    monkeypatch.setattr(scores, "_ROWS", 4)  # blocks that do not divide the rows
    for a, b in zip(whole, scores.naive_scales(history, ends, 2)):
        np.testing.assert_array_equal(a, b)
    view = np.ascontiguousarray(history).reshape(-1).reshape(history.shape)  # the observed values' matrix
    view.flags.writeable = False  # is read only, never written to
    for a, b in zip(whole, scores.naive_scales(view, ends, 2)):
        np.testing.assert_array_equal(a, b)


# -- cross-validation layouts --------------------------------------------------------------------


def expected_scores(cv, obs, model, m):
    """MASE and MAE per id pooled and per (id, cutoff), from the rows one by one."""
    rows = []
    for (uid, cut), part in cv.groupby(["unique_id", "cutoff"]):
        past = obs[(obs["unique_id"] == uid) & (obs["ds"] <= cut)].sort_values("ds")["y"].to_numpy()
        scale = np.abs(past[m:] - past[:-m]).mean() if len(past) > m else nan
        err = (part["y"] - part[model]).abs()
        rows += [(uid, cut, e, e / scale if scale > 0 else nan) for e in err]
    cells = pd.DataFrame(rows, columns=["unique_id", "cutoff", "ae", "scaled"])
    return cells.groupby("unique_id")[["ae", "scaled"]].mean(), cells.groupby(["cutoff", "unique_id"])[
        ["ae", "scaled"]
    ].mean()


@pytest.mark.parametrize("step, windows", [(1, 4), (3, 3)])  # overlapping and disjoint windows
@pytest.mark.parametrize("m", [1, 2])
def test_cross_validation_windows_against_the_rows(step, windows, m):
    cv, obs = cross_validation(step=step, windows=windows, periods=14)
    cv["Drift"] += np.resize([0.5, -1.0, 2.0, 0.0, -0.25], len(cv))  # errors of every size
    report = explore(cv, obs, season_length=m)
    pooled, per_window = expected_scores(cv, obs, "Drift", m)
    got = report.measures.set_index("unique_id")
    np.testing.assert_allclose(got.loc[pooled.index, "mae"], pooled["ae"], rtol=1e-12)
    np.testing.assert_allclose(got.loc[pooled.index, "mase"], pooled["scaled"], rtol=1e-12)
    w = report.window_measures.set_index(["cutoff", "unique_id"])
    np.testing.assert_allclose(w.loc[per_window.index, "mase"], per_window["scaled"], rtol=1e-12)
    assert report.evaluation.season_length == m and len(w) == windows * 3


def test_the_forecasts_own_actuals_scale_each_window_by_the_windows_before():
    cv, obs = cross_validation(step=1, windows=4, periods=14)
    report = explore(cv, season_length=1)  # no observed input: the history is the earlier windows' actuals
    seen = obs[obs["ds"].isin(cv["ds"])]
    _, per_window = expected_scores(cv, seen, "Drift", 1)
    w = report.window_measures.set_index(["cutoff", "unique_id"])
    np.testing.assert_allclose(w.loc[per_window.index, "mase"], per_window["scaled"], rtol=1e-12)
    assert w.xs(cv["cutoff"].min(), level="cutoff")["mase"].isna().all()  # nothing before the first window


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_files_give_the_numbers_of_the_frames(tmp_path, tree, fmt):
    pred, obs = tmp_path / f"cv.{fmt}", tmp_path / f"obs.{fmt}"
    for frame, path in ((tree_cv(), pred), (observed_frame(), obs)):
        frame.to_csv(path, index=False) if fmt == "csv" else frame.to_parquet(path)
    report = quietly(explore, pred, obs)
    pd.testing.assert_frame_equal(report.measures, tree.measures)
    pd.testing.assert_frame_equal(report.window_measures, tree.window_measures)


def test_quantiles_give_pinball_losses_and_intervals():
    obs = observed_frame()
    fc = pd.DataFrame({"unique_id": ["T/a"] * 3, "ds": [6, 7, 8]})  # one window after step 5
    fc["Q-q-10"], fc["Q-median"], fc["Q-q-90"] = [7.0, 6.0, 8.0], [8.0, 7.0, 10.0], [9.0, 9.0, 11.0]
    report = quietly(explore, fc, obs)
    m = by_member(report.measures, "Q").loc["T/a"]
    # y = 8, 7, 9; scale of 2 4 3 5 6: 6/4 = 1.5.
    # q10 = 7, 6, 8: y above by 1 each -> 0.1 * 1 = 0.1 per date -> 0.1 / 1.5
    # median = 8, 7, 10: 0, 0, below by 1 -> (0.5 * 1) / 3 -> (1/6) / 1.5
    # q90 = 9, 9, 11: below by 1, 2, 2 -> 0.1 * (1 + 2 + 2) / 3 -> (1/6) / 1.5
    np.testing.assert_allclose(m[["pinball_10", "pinball_50", "pinball_90"]].astype(float), [0.1 / 1.5, 1 / 9, 1 / 9])
    # The 80 % interval is q10..q90: 8 in 7..9, 7 in 6..9, 9 in 8..11 -> all covered;
    # its score: widths 2, 3, 3 -> 8/3, scaled 16/9. The point is the median: MAE 1/3.
    assert m["coverage_80_pct"] == 100 and m["interval_level"] == 80
    np.testing.assert_allclose([m["interval_score_80"], m["mae"]], [16 / 9, 1 / 3])


# -- summaries, benchmark, best ------------------------------------------------------------------


def test_summary_and_benchmark_against_pandas(tree):
    m = tree.measures
    for measure in ("mase", "mae", "interval_score_80"):
        means = m.groupby(["depth", "model"])[measure].mean().unstack("model")
        got = tree.summary(measure)
        np.testing.assert_allclose(got.loc[["level 1", "level 2"], means.columns], means.to_numpy())
        np.testing.assert_allclose(got.loc["Overall", means.columns], m.groupby("model")[measure].mean()[means.columns])
    # Relative to N: per level, mean of M over the members both know / mean of N over them.
    rel = tree.summary("mase", benchmark="N")
    wide = m.pivot(index="unique_id", columns="model", values="mase").dropna()
    depth = m.drop_duplicates("unique_id").set_index("unique_id")["depth"]
    ratio = wide.groupby(depth[wide.index]).mean()
    np.testing.assert_allclose(rel.loc[["level 1", "level 2"], "M"], ratio["M"] / ratio["N"])
    np.testing.assert_allclose(rel.loc["Overall", "M"], wide["M"].mean() / wide["N"].mean())
    assert (rel["N"] == 1).all()
    assert rel.index.name == "level" and rel.columns.tolist() == ["M", "N"]


def test_a_benchmark_gives_relative_columns_and_is_checked():
    report = quietly(explore, tree_cv(), observed_frame(), benchmark="N")
    m = report.measures.set_index(["model", "unique_id"])
    for column in ("mae", "rmse", "smape_pct", "mase", "rmsse"):
        bench = m.loc["N", column]  # N is exact for T/b: a benchmark of 0 gives no ratio (NaN, not inf)
        np.testing.assert_allclose(m.loc["M", f"{column}_rel"], m.loc["M", column] / bench.where(bench != 0))
    assert "bias_rel" not in m and "interval_score_80_rel" in m  # only N lacks intervals: NaN
    assert m.loc["M", "interval_score_80_rel"].isna().all()
    summary = report.summary("mae")  # the report's benchmark by default, none with False
    np.testing.assert_allclose(summary.loc["Overall", "M"], m.loc["M", "mae"].mean() / m.loc["N", "mae"].mean())
    assert report.summary("mae", benchmark=False).loc["Overall", "M"] == pytest.approx(m.loc["M", "mae"].mean())
    with pytest.raises(
        InputError, match=r"^forecasts: no model 'n' for benchmark= \(close: 'N'\) \(models present: 'M', 'N'\)$"
    ):
        quietly(explore, tree_cv(), observed_frame(), benchmark="n")
    with pytest.raises(InputError, match=r"^forecasts: no model 'N' for benchmark= \(models present: 'M'\)$"):
        quietly(explore, tree_cv(), observed_frame(), models=["M"], benchmark="N")
    with pytest.raises(InputError, match=r"^no model 'X' for benchmark= \(models present: 'M', 'N'\)$"):
        report.summary("mase", benchmark="X")
    with pytest.raises(InputError, match=r"^measure 'mape': not one of mae, rmse"):
        report.summary("mape")


def test_best_and_rank_by_mase():
    cv = tree_cv()
    cv["C"] = cv["M"]  # a copy of M: a tie, which goes to the model given first
    report = quietly(explore, cv, observed_frame())
    m = report.measures
    wide = m.pivot(index="unique_id", columns="model", values="mase")[["M", "N", "C"]]
    winner = wide.dropna(how="all").idxmin(axis=1)  # first of the lowest
    depth = m.drop_duplicates("unique_id").set_index("unique_id")["depth"]
    counts = pd.crosstab(depth[winner.index], winner).reindex(columns=["M", "N", "C"], fill_value=0)
    best = report.best
    assert best.loc[["level 1", "level 2"]].to_numpy().tolist() == counts.to_numpy().tolist()
    assert best.loc["Overall"].tolist() == counts.sum().tolist() and best["C"].sum() == 0
    ranks = m.pivot(index="unique_id", columns="model", values="rank")
    assert ranks.loc["T/b"].isna().all()  # a constant series: no MASE, no rank
    for uid in winner.index:
        order = wide.loc[uid].rank(method="first").astype(int)
        assert ranks.loc[uid].astype(int).to_dict() == order.to_dict()


# -- the season, the grids, the command ----------------------------------------------------------


def test_the_season_comes_from_the_dates_and_can_be_set():
    cv, obs = cross_validation(step=1, windows=2, periods=30)
    found = explore(cv, obs)
    assert found.evaluation.season_length == 12  # monthly dates
    pooled, _ = expected_scores(cv, obs, "Drift", 12)
    got = found.measures.set_index("unique_id")
    np.testing.assert_allclose(got.loc[pooled.index, "mase"], pooled["scaled"], rtol=1e-12)
    one = explore(cv, obs, season_length=1).measures.set_index("unique_id")
    pooled1, _ = expected_scores(cv, obs, "Drift", 1)
    np.testing.assert_allclose(one.loc[pooled1.index, "mase"], pooled1["scaled"], rtol=1e-12)
    with pytest.raises(InputError, match=r"^season_length= 0: a season length is a whole number of at least 1$"):
        explore(cv, obs, season_length=0)


def test_one_window_grids_are_the_page_grids():
    cv, obs = cross_validation(step=1, windows=1)
    data = inputs.load(cv.drop(columns="cutoff"), obs)
    hierarchy = ms.build_hierarchy(scores.member_ids(data))
    observed = ms.observed_by_id(data.observed, hierarchy)
    page = ms.model_grid(data, "Drift", hierarchy, observed)
    grid = scores.window_grid(data, "Drift", hierarchy, observed)
    assert grid.mean.shape == (1, *page.mean.shape)
    for name in ("mean", "lo", "hi", "y"):
        np.testing.assert_array_equal(getattr(grid, name)[0], getattr(page, name))
    assert (grid.dates[0] == page.axis).all() and (grid.gid == page.gid).all()


def run(*argv):
    err = io.StringIO()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(err):
        try:
            code = main(list(argv))
        except SystemExit as exc:  # argparse's own refusals
            code = exc.code
    return code, err.getvalue().partition(": error: ")[2]


def test_the_commands_evaluation_options(tmp_path):
    pred, obs = tmp_path / "cv.csv", tmp_path / "obs.csv"
    tree_cv().to_csv(pred, index=False)
    observed_frame().to_csv(obs, index=False)
    out = tmp_path / "r.html"
    base = [str(pred), "--observed", str(obs), "-o", str(out), "-q"]
    code, err = run(*base, "--benchmark", "X")
    assert code == 2 and err == f"{pred}: no model 'X' for --benchmark (models present: 'M', 'N')\n"
    code, err = run(*base, "--season-length", "0")
    assert code == 2 and err == "--season-length 0: a season length is a whole number of at least 1\n"
    code, err = run(*base, "--season-length", "two")
    assert code == 2 and "--season-length: invalid int value: 'two'" in err and not out.exists()
    code, err = run(*base, "--season-length", "2", "--benchmark", "N")
    assert code == 0 and out.exists()


def test_the_summaries_of_a_grouped_structure_are_by_its_levels():
    import grouped as gr

    y, _, tags = gr.aggregate(gr.country_state_sector(periods=8), gr.SECTOR_SPEC)
    last = y["ds"].max()
    fc = y[y["ds"] == last].rename(columns={"y": "M"})
    report = quietly(explore, fc.assign(M=fc["M"] + 1.0), y, hierarchy=tags, season_length=1)
    summary = report.summary("mae")
    assert list(summary.index) == list(tags) + ["Overall"]  # Country, Country/State, Country/Sector, ...
    m = report.measures
    expected = m.groupby("hierarchy_level")["mae"].mean()
    np.testing.assert_allclose(summary.loc[list(tags), "M"], expected[list(tags)])
    assert report.best.loc["Country/State/Sector", "M"] == 33


def test_window_and_pooled_tables_equal_the_kernels_to_the_bit():
    from types import SimpleNamespace

    ev = evaluation
    rng = np.random.default_rng(3)
    shape = (3, 5, 7)  # windows, members, steps

    def cells(gaps=0.2):
        v = rng.normal(10, 3, shape)
        v[rng.random(shape) < gaps] = np.nan
        return v

    y, mean = cells(), cells()
    lo, hi = mean - rng.uniform(0, 4, shape), mean + rng.uniform(0, 4, shape)
    q = mean - 1.5
    grid = SimpleNamespace(
        y=y, mean=mean, lo=lo, hi=hi, bands={95: (lo, hi)}, quantiles={0.25: q}, present=rng.random(shape) < 0.9
    )
    s_mae, s_mse = rng.uniform(0.5, 2, shape[:2]), rng.uniform(0.5, 4, shape[:2])
    s_mae[0, 1] = np.nan  # no scale: the scaled measures are NaN there
    window, pooled = scores._tables(grid, s_mae, s_mse, pooled=True)
    (alone,) = scores._tables(grid, s_mae, s_mse, pooled=False)
    over = scores._over
    kernels = {
        "mae": (ev.mae, y, mean),
        "rmse": (ev.rmse, y, mean),
        "smape_pct": (ev.smape, y, mean),
        "bias": (ev.bias, y, mean),
        "mase": (ev.mae, over(y, s_mae), over(mean, s_mae)),
        "rmsse": (ev.rmse, over(y, np.sqrt(s_mse)), over(mean, np.sqrt(s_mse))),
        "coverage_95_pct": (ev.coverage, y, lo, hi),
        scores.interval_column(95): (
            lambda *a: ev.interval_score(*a, 95),
            over(y, s_mae),
            over(lo, s_mae),
            over(hi, s_mae),
        ),
        scores.pinball_column(0.25): (lambda *a: ev.pinball(*a, 0.25), over(y, s_mae), over(q, s_mae)),
    }
    assert set(kernels) <= set(window) and list(window) == list(pooled) == list(alone)
    for column, (kernel, *arrays) in kernels.items():
        np.testing.assert_array_equal(window[column], kernel(*arrays))
        np.testing.assert_array_equal(alone[column], window[column])
        np.testing.assert_array_equal(pooled[column], kernel(*(scores._side_by_side(a) for a in arrays)))
    assert np.isnan(window["mase"][0, 1]) and np.isfinite(window["mae"][0, 1])
    np.testing.assert_array_equal(pooled["missing"], window["missing"].sum(axis=0))
