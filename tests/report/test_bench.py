"""The report benchmark runs at its small size (so that it cannot rot), and its synthetic data is
the hierarchy it claims to be: Italia's tree, and the retail structure's 12 grouped levels."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))

import report_bench  # noqa: E402
import retail  # noqa: E402
from grouped import RETAIL_SPEC, full_retail_ids  # noqa: E402


@pytest.mark.parametrize("size, provinces, towns", [(52021, 2000, 50000), (10000, 384, 9595), (1000, 38, 941)])
def test_hierarchy_sizes(size, provinces, towns):
    ids, parent = report_bench.hierarchy(size)
    depth = np.array([i.count("/") for i in ids])
    assert len(ids) == size and len(set(ids)) == size and list(ids) == sorted(ids)
    assert np.bincount(depth).tolist() == [1, 20, provinces, towns]
    assert all(ids[p] == i.rpartition("/")[0] for i, p in zip(ids, parent) if p >= 0)


def test_frames_add_up_and_hold_the_long_format():
    pred, obs = report_bench.frames(300)
    assert list(pred.columns) == ["unique_id", "ds", "AutoETS", "AutoETS-lo-95", "AutoETS-hi-95"]
    assert list(obs.columns) == ["unique_id", "ds", "y"]
    assert len(pred) == 300 * 12 and len(obs) == 300 * 64
    ids, parent = report_bench.hierarchy(300)
    y = obs["y"].to_numpy().reshape(300, 64)
    fc = pred["AutoETS"].to_numpy().reshape(300, 12)
    for values in (y, fc):  # every aggregate is the sum of its members (to the rounding)
        sums = np.zeros_like(values)
        np.add.at(sums, parent[parent >= 0], values[parent >= 0])
        agg = np.bincount(parent[parent >= 0], minlength=300) > 0
        np.testing.assert_allclose(sums[agg], values[agg], rtol=1e-6)
    assert (pred["AutoETS-lo-95"] <= pred["AutoETS"]).all() and (pred["AutoETS"] <= pred["AutoETS-hi-95"]).all()


@pytest.mark.parametrize("items, series", [(3049, 42840), (305, 4424), (7, 252)])
def test_retail_levels(items, series):
    levels = retail.Levels.of(items)
    assert len(levels.ids) == series and len(set(levels.ids)) == series
    assert set(levels.ids) == set(full_retail_ids(items=items))
    assert len(levels.group) == len(RETAIL_SPEC) == 12 and levels.start[-1] == series
    sizes = np.diff(levels.start).tolist()
    assert sizes == [1, 3, 10, 3, 7, 9, 21, 30, 70, items, 3 * items, 10 * items]
    for k, level in enumerate(RETAIL_SPEC):  # every id of a level has one part per column of the level
        assert {i.count("/") for i in levels.ids[levels.start[k] : levels.start[k + 1]]} == {len(level) - 1}
        assert len(levels.group[k]) == 10 * items and set(levels.group[k]) == set(range(sizes[k]))


@pytest.fixture(scope="module")
def retail_files(tmp_path_factory):
    import pyarrow.parquet as pq

    paths = retail.write(str(tmp_path_factory.mktemp("retail")), items=7)
    return {name: pq.read_table(getattr(paths, name)).to_pandas() for name in ("observed", "holdout", "cv")}


def _members(ids):
    """For each bottom id (item x store), the id of its series in each level, from the id's own parts."""
    parts = [i.split("/") for i in ids]
    names = ["total", "state", "store", "cat", "dept", "item"]
    return [["/".join(p[names.index(c)] for c in level) for p in parts] for level in RETAIL_SPEC]


def _wide(frame, column, ids):
    return frame.pivot(index="unique_id", columns="ds", values=column).reindex(index=ids).to_numpy()


def _incoherence(frame, column, levels):
    """The largest gap between a series and the sum of its bottom members, per level."""
    bottom = list(levels.ids[levels.start[-2] :])
    wide = _wide(frame, column, list(levels.ids))
    low = wide[levels.start[-2] :]
    gaps = []
    for k, member_of in enumerate(_members(bottom)):
        ids = list(levels.ids[levels.start[k] : levels.start[k + 1]])
        summed = np.stack([low[[m == i for m in member_of]].sum(axis=0) for i in ids])
        gaps.append(np.abs(summed - wide[levels.start[k] : levels.start[k + 1]]).max())
    return gaps


def test_retail_files_hold_the_long_format_and_add_up(retail_files):
    levels = retail.Levels.of(7)
    obs, fc, cv = retail_files["observed"], retail_files["holdout"], retail_files["cv"]
    bands = [f"{m}{s}" for m in retail.MODELS for s in ("", "-lo-80", "-hi-80", "-lo-95", "-hi-95")]
    assert list(obs.columns) == ["unique_id", "ds", "y"] and len(obs) == 252 * 1969
    assert list(fc.columns) == ["unique_id", "ds", *bands] and len(fc) == 252 * 28
    assert list(cv.columns) == ["unique_id", "ds", "cutoff", "y", *bands] and len(cv) == 252 * 3 * 28
    assert obs["ds"].nunique() == 1969 and fc["ds"].min() == obs["ds"].sort_values().unique()[1941]
    assert max(_incoherence(obs, "y", levels)) == 0  # counts: the sums are exact
    for model in ("SeasonalNaive", "AutoETS"):
        assert max(_incoherence(fc, model, levels)) < 1e-6
    assert max(_incoherence(fc, "AutoARIMA", levels)) > 0.01
    for m in retail.MODELS:
        for frame in (fc, cv):
            ordered = frame[[f"{m}-lo-95", f"{m}-lo-80", m, f"{m}-hi-80", f"{m}-hi-95"]].to_numpy()
            assert (np.diff(ordered, axis=1) >= 0).all()


def test_retail_sales_are_intermittent_counts(retail_files):
    obs = retail_files["observed"]
    bottom = obs[obs["unique_id"].str.count("/") == 5]["y"].to_numpy()
    assert (bottom == np.round(bottom)).all() and bottom.min() == 0
    assert 0.3 < (bottom == 0).mean() < 0.9 and np.median(bottom[bottom > 0]) <= 3


def test_retail_cross_validation_windows(retail_files):
    obs, cv = retail_files["observed"], retail_files["cv"]
    days = np.sort(obs["ds"].unique())
    assert sorted(cv["cutoff"].unique()) == list(days[[1940 - 56, 1940 - 28, 1940]])
    for cutoff, window in cv.groupby("cutoff"):
        after = days[days > cutoff][:28]
        assert sorted(window["ds"].unique()) == list(after)
    joined = cv.merge(obs, on=["unique_id", "ds"], suffixes=("", "_obs"))
    assert len(joined) == len(cv) and (joined["y"] == joined["y_obs"]).all()


def test_small_run(tmp_path):
    env = {**os.environ, "MPLBACKEND": "Agg"}
    proc = subprocess.run(
        [
            sys.executable,
            str(ROOT / "bench" / "report_bench.py"),
            "--small",
            "--case",
            "tree,retail,retail-cv",
            "--peer-python",
            "",
            "--data",
            str(tmp_path),
            "--json",
            str(tmp_path / "out.json"),
        ],
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    row, *grouped = json.loads((tmp_path / "out.json").read_text())
    assert row["size"] == 300 and row["read_s"] > 0 and row["write_s"] > 0 and 0 < row["file_mib"] < 64
    assert row["peak_mib"] > 50
    assert "| 300 |" in proc.stdout
    assert [(g["case"], g["series"], g["rows"]) for g in grouped] == [
        ("retail", 252, [252 * 28, 252 * 1969]),
        ("retail-cv", 252, [252 * 84, 252 * 1969]),
    ]
    for g in grouped:
        assert g["read_s"] > 0 and g["write_s"] > 0 and 0 < g["file_mib"] < 64 and g["peak_mib"] > 50
        assert g["id"].count("/") == 5 and "peer_s" not in g
        assert f"| {g['case']} | 252 |" in proc.stdout
    from browser import BINARY

    if BINARY is not None:
        assert row["deep_link_ms"] > 0 and row["one_figure_ms"] > 0
        for g in grouped:
            assert g["deep_link_ms"] > 0 and g["overview_ms"] > 0
            assert all(g["controls_ms"][k] > 0 for k in ("measure", "direction", "sort", "search"))


def test_the_benchmark_says_when_it_measures_another_copy_than_the_checkouts(tmp_path, monkeypatch):
    import shutil

    import sorvani_kb.datavisualization.report as report

    here = ROOT / "python" / "sorvani_kb" / "datavisualization" / "report"
    copy = tmp_path / "report"
    shutil.copytree(here, copy, ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.setattr(report, "__file__", str(copy / "__init__.py"))
    assert report_bench.measured_copy() == (copy.resolve(), None)  # installed from this very code
    (copy / "api.py").write_text((here / "api.py").read_text() + "\n# older\n")
    (copy / "memory.py").unlink()
    where, warning = report_bench.measured_copy()
    assert where == copy.resolve() and warning.startswith("2 of the checkout's report files differ")
    monkeypatch.setattr(report, "__file__", str(here / "__init__.py"))
    assert report_bench.measured_copy() == (here.resolve(), None)
