"""The report benchmark runs at its small size (so that it cannot rot), and its synthetic data is
the hierarchy it claims to be."""

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


def test_small_run(tmp_path):
    env = {**os.environ, "MPLBACKEND": "Agg"}
    proc = subprocess.run(
        [
            sys.executable,
            str(ROOT / "bench" / "report_bench.py"),
            "--small",
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
    (row,) = json.loads((tmp_path / "out.json").read_text())
    assert row["size"] == 300 and row["read_s"] > 0 and row["write_s"] > 0 and 0 < row["file_mib"] < 64
    assert row["peak_mib"] > 50
    assert "| 300 |" in proc.stdout
    from browser import BINARY

    if BINARY is not None:
        assert row["deep_link_ms"] > 0 and row["one_figure_ms"] > 0
