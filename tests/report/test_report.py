"""The report command: the page it writes, the shipped sample, and how it refuses bad input."""

import base64
import contextlib
import io
import json
import os
import re
import runpy
import subprocess
import sys
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from helpers import hierarchy_frames

from sorvani_kb.datavisualization.report import main

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = resources.files("sorvani_kb.datavisualization") / "sample"
IDS = ("Italia/A", "Italia", "Italia/A/y", "Italia/B", "Italia/A/x")  # blocks out of hierarchy order
PRED_COLS = {"id": "serie", "date": "giorno", "mean": "media", "lo": "basso", "hi": "alto"}
OBS_COLS = {"rid": "chiave", "rdate": "quando", "obs": "valore"}
COL_ARGS = ["--id-col", "serie", "--date-col", "giorno", "--mean-col", "media", "--lower-col", "basso",
            "--upper-col", "alto", "--obs-id-col", "chiave", "--obs-date-col", "quando", "--obs-value-col", "valore"]


def run(*args):
    """main(args) in-process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(list(args), prog="report")
    return status, out.getvalue(), err.getvalue()


def plots(page):
    """(traces, layout) of every figure of a page, in page order."""
    decoder, found = json.JSONDecoder(), []
    for m in re.finditer(r'Plotly\.newPlot\(\s*"plot-\d+",\s*', page):
        data, end = decoder.raw_decode(page, m.end())
        layout, _ = decoder.raw_decode(page, end + re.match(r"\s*,\s*", page[end:]).end())
        found.append((data, layout))
    return found


def values(data):
    """Trace data as an array, whether the page holds a list or a base64 typed array."""
    if isinstance(data, dict):
        return np.frombuffer(base64.b64decode(data["bdata"]), dtype=data["dtype"])
    return np.asarray(data)


def numbers(data):
    """Trace data as floats, missing values (null in older plotly's JSON) as NaN."""
    return np.asarray(values(data), dtype=float)


def user_files(folder, fmt="csv"):
    """Prediction and observed files with custom column names, rows reversed or shuffled; the observed file
    holds history far from the forecasts and, on every forecast date, forecast - 0.5 * (t + 1)."""
    pred, real = hierarchy_frames(ids=IDS, periods=4)
    history = real.assign(rdate=real["rdate"] - pd.Timedelta(weeks=10), obs=1e6)
    real = pd.concat([real, history], ignore_index=True).sample(frac=1, random_state=1)
    pred = pred.iloc[::-1].rename(columns=PRED_COLS)  # dates descending, Italia/A/x first
    paths = folder / f"pred.{fmt}", folder / f"obs.{fmt}"
    for frame, path in zip((pred, real.rename(columns=OBS_COLS)), paths):
        frame.to_csv(path, index=False) if fmt == "csv" else frame.to_parquet(path, index=False)
    return paths


@pytest.fixture(scope="module")
def sample_page(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "report.html"
    status, out, err = run("-o", str(path))
    return status, out, err, path


def test_sample_report_is_one_offline_page(sample_page):
    status, out, err, path = sample_page
    assert (status, out.strip(), err) == (0, str(path), "")
    assert os.listdir(path.parent) == ["report.html"]
    page = path.read_text(encoding="utf-8")
    assert page.count("* plotly.js v") == 1
    assert not re.search(r"<(script|link)[^>]*(src|href)=", page)
    # 12 series, Italia and its 3 regions (overlay and sum check each), 12 x (histogram, QQ plot)
    assert page.count('class="plotly-graph-div"') == len(plots(page)) == 12 + 2 * 4 + 2 * 12
    assert [m for m in re.findall(r'<section id="([\w-]+)"', page)] == ["forecasts", "hierarchy", "sum-check", "residuals"]


def test_sample_figures(sample_page):
    figures = plots(sample_page[3].read_text(encoding="utf-8"))
    for data, layout in figures[:12]:
        assert [t.get("name") for t in data] == ["predict value", None, "95% confidence interval", "past value (true)"]
        assert [s["x0"] for s in layout["shapes"]] == ["2024-12-30"]
        past, forecast = pd.to_datetime(values(data[3]["x"])), pd.to_datetime(values(data[0]["x"]))
        assert (past.min(), past.max(), forecast.min()) == (pd.Timestamp("2024-01-01"), forecast.max(), pd.Timestamp("2024-12-30"))
    regions = ["Italia/Lazio", "Italia/Lombardia", "Italia/Sicilia"]  # ids sorted
    assert [t["name"] for t in figures[12][0]] == ["Italia"] + regions
    assert [t["name"] for t in figures[13][0]] == ["Italia/Lazio", "Italia/Lazio/Latina", "Italia/Lazio/Roma"]
    for data, _ in figures[16:20]:  # coherent sample: the sum check's two lines coincide
        np.testing.assert_allclose(values(data[1]["y"]), values(data[0]["y"]), atol=1e-6)


def read_sample(name):
    with resources.as_file(SAMPLE / name) as path:
        return pd.read_csv(path, parse_dates=["date"])


@pytest.mark.parametrize("name, column, periods", [("predictions.csv", "mean", 12), ("observed.csv", "value", 64)])
def test_sample_is_coherent_and_weekly(name, column, periods):
    frame = read_sample(name)
    table = frame.pivot(index="date", columns="id", values=column)
    assert table.shape == (periods, 12) and not table.isna().any().any()
    assert (table.index.to_series().diff().dropna() == pd.Timedelta(weeks=1)).all()
    parents = [i for i in table.columns if i.count("/") < 2]
    assert len(parents) == 4
    for parent in parents:
        members = [i for i in table.columns if i.startswith(parent + "/") and i.count("/") == parent.count("/") + 1]
        assert 2 <= len(members) <= 3
        np.testing.assert_allclose(table[members].sum(axis=1), table[parent], rtol=0, atol=1e-6)


def test_sample_has_bands_and_a_backtest_window():
    pred, obs = read_sample("predictions.csv"), read_sample("observed.csv")
    assert ((pred["lower"] < pred["mean"]) & (pred["mean"] < pred["upper"])).all()
    merged = pred.merge(obs, on=["id", "date"], how="left")
    assert merged["value"].notna().all()  # observed on every forecast date
    assert (obs.groupby("id")["date"].min() < pred["date"].min() - pd.Timedelta(weeks=51)).all()


def test_make_sample_regenerates_the_shipped_files(tmp_path):
    runpy.run_path(str(ROOT / "tools" / "make_sample.py"))["main"](["--out", str(tmp_path)])
    for name in ("predictions.csv", "observed.csv"):
        assert (tmp_path / name).read_bytes() == (SAMPLE / name).read_bytes()


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_user_files_with_custom_columns(tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    pred, obs = user_files(tmp_path, fmt)
    out = tmp_path / "r.html"
    status, _, err = run(str(pred), "--observed", str(obs), "-o", str(out), "--use-case", "visite", *COL_ARGS)
    assert (status, err) == (0, "")
    figures = plots(out.read_text(encoding="utf-8"))
    assert len(figures) == 5 + 2 * 2 + 2 * 5  # members Italia and Italia/A; residuals for every id
    assert figures[0][1]["title"]["text"] == "Predizione visite - Italia"
    assert [t["name"] for t in figures[5][0]] == ["Italia", "Italia/A", "Italia/B"]
    assert [t["name"] for t in figures[6][0]] == ["Italia/A", "Italia/A/x", "Italia/A/y"]
    np.testing.assert_allclose(values(figures[8][0][1]["y"]), [80, 82, 84, 86])  # Italia/A/x + Italia/A/y: 50 + t, 30 + t
    hist, qq = figures[9][0][0], figures[10][0][0]  # Italia: matched by id and date, history ignored
    assert sorted(values(hist["x"])) == [0.5, 1.0, 1.5, 2.0] and sorted(values(qq["y"])) == [-2.0, -1.5, -1.0, -0.5]


def test_ids_and_members_choose_the_figures(tmp_path):
    pred, _ = user_files(tmp_path)
    out = tmp_path / "r.html"
    status, _, _ = run(str(pred), "-o", str(out), "--ids", "Italia/B", "Italia/A/x", "--members", "Italia/A", *COL_ARGS)
    figures = plots(out.read_text(encoding="utf-8"))
    assert status == 0 and len(figures) == 2 + 2
    assert [f[1]["title"]["text"] for f in figures[:2]] == ["Predizione pred - Italia/B", "Predizione pred - Italia/A/x"]
    assert [len(f[0]) for f in figures] == [3, 3, 3, 2]  # no observed file: no past values, no residuals


def rewrite(path, **renames):
    frame = pd.read_csv(path)
    frame.rename(columns=renames).to_csv(path, index=False)


@pytest.mark.parametrize("change, args, message", [
    pytest.param(lambda p, o: rewrite(p, media="avg"), [], r"pred.csv: missing column 'media' \(columns present: serie, giorno, avg, basso, alto\)", id="column"),
    pytest.param(lambda p, o: rewrite(o, quando="t", valore="v"), [], r"obs.csv: missing columns 'quando', 'valore' \(columns present: chiave, t, v\)", id="columns"),
    pytest.param(lambda p, o: o.unlink(), [], r"obs.csv: no such file", id="no-file"),
    pytest.param(lambda p, o: p.write_text(""), [], r"pred.csv: the file is empty", id="empty"),
    pytest.param(lambda p, o: p.write_text(p.read_text().replace("2024-01-14", "soon")), [], r"pred.csv: column 'giorno': 'soon' on row \d+ is not written like the other dates \(e.g. '2024-01-\d\d'\); give --date-format", id="dates"),
    pytest.param(lambda p, o: p.write_text(p.read_text().replace(",13.0,", ",many,")), [], r"pred.csv: column 'media' holds 'many' on row \d+, not a number", id="numbers"),
    pytest.param(None, ["--ids", "Italia/C"], r"pred.csv: unknown id 'Italia/C' \(ids present: Italia, Italia/A, Italia/A/x, Italia/A/y, Italia/B\)", id="id"),
    pytest.param(None, ["--members", "Italia/B"], r"pred.csv: member 'Italia/B' has no sub-members to draw", id="leaf-member"),
    pytest.param(None, ["--members", "Italy"], r"pred.csv: unknown member 'Italy'", id="member"),
    pytest.param(None, ["-o", "no/such/folder/r.html"], r"no/such/folder/r.html: the folder \S+ does not exist", id="out-folder"),
])
def test_bad_input_exits_2_with_one_line_and_keeps_the_old_report(tmp_path, change, args, message):
    pred, obs = user_files(tmp_path)
    if change:
        change(pred, obs)
    out = tmp_path / "r.html"
    out.write_text("old report")
    status, stdout, err = run(str(pred), "--observed", str(obs), "-o", str(out), *COL_ARGS, *args)
    assert (status, stdout, err.count("\n")) == (2, "", 1)
    assert re.fullmatch(r"report: error: \S*" + message + r".*\n", err)
    assert out.read_text() == "old report" and sorted(os.listdir(tmp_path)) == sorted(["r.html", *(p.name for p in (pred, obs) if p.exists())])


def test_failed_write_leaves_the_old_report(tmp_path, monkeypatch):
    pred, _ = user_files(tmp_path)
    (tmp_path / "r.html").write_text("old report")

    def full_disk(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", full_disk)
    status, _, err = run(str(pred), "-o", str(tmp_path / "r.html"), *COL_ARGS)
    assert (status, err) == (2, f"report: error: {tmp_path / 'r.html'}: cannot write the report (No space left on device)\n")
    assert (tmp_path / "r.html").read_text() == "old report" and sorted(os.listdir(tmp_path)) == ["obs.csv", "pred.csv", "r.html"]


def test_parquet_without_pyarrow_is_a_clear_error(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow now fails
    (tmp_path / "p.parquet").write_bytes(b"PAR1")
    status, _, err = run(str(tmp_path / "p.parquet"), "-o", str(tmp_path / "r.html"))
    assert status == 2 and err.endswith("p.parquet: reading Parquet needs pyarrow, which is not installed (pip install pyarrow)\n")
    assert not (tmp_path / "r.html").exists()


@pytest.mark.parametrize("tty, quiet, shown", [(True, False, True), (True, True, False), (False, False, False)])
def test_progress_only_on_a_terminal(tmp_path, monkeypatch, tty, quiet, shown):
    pred, _ = user_files(tmp_path)
    err = io.StringIO()
    err.isatty = lambda: tty
    monkeypatch.setattr(sys, "stderr", err)
    with contextlib.redirect_stdout(io.StringIO()):
        status = main([str(pred), "-o", str(tmp_path / "r.html"), *COL_ARGS] + ["--quiet"] * quiet)
    assert status == 0 and ("9/9" in err.getvalue()) is shown


def test_help_names_every_option(capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(["--help"])
    text = capsys.readouterr().out
    assert exit_info.value.code == 0
    assert all(opt in text for opt in re.findall(r"--[\w-]+", " ".join(COL_ARGS)) + ["--observed", "--ids", "--members", "--use-case", "--quiet", "--output"])


def test_module_entry_point_on_the_sample(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "sorvani_kb.datavisualization", "-o", "r.html"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300, env={**os.environ, "MPLBACKEND": "Agg"})
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"{tmp_path / 'r.html'}\n", "")
    assert len(plots((tmp_path / "r.html").read_text(encoding="utf-8"))) == 44


# ------------------------------------------------------------------------------------------------
# Real pipeline output (tests/report/corpus.py): several models, two roots, layouts, pairing.

from corpus import LAYOUT_VARIANTS, RECONCILED, frames, to_file, write  # noqa: E402

SMALL = ["--model", RECONCILED, "--model", "AutoETS", "--ids", "Italia", "Total/Servizi/Turismo", "--members", "Total", "Italia/Lazio"]


def normalised(page, *paths):
    """A page with the input file names and any random element ids replaced."""
    for p in paths:
        page = page.replace(os.path.basename(str(p)), "FILE")
    return re.sub(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}", "UUID", page)


@pytest.fixture(scope="module")
def corpus_page(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    pred, obs = write(folder, "weekly")
    status, _, err = run(str(pred), "--observed", str(obs), "-o", str(folder / "r.html"), *SMALL)
    assert (status, err) == (0, "")
    return normalised((folder / "r.html").read_text(encoding="utf-8"), pred, obs)


@pytest.mark.parametrize("variant", ["parquet", "shuffled-csv", "semicolon-decimal-comma", "categories-parquet"])
def test_layout_variants_give_the_same_report(tmp_path, corpus_page, variant):
    change, options = LAYOUT_VARIANTS[variant]
    pred, obs = frames("weekly")
    if change:
        pred, obs = change(pred, obs)
    paths = write(tmp_path, "weekly", pred=pred, obs=obs, **options)
    status, _, err = run(str(paths[0]), "--observed", str(paths[1]), "-o", str(tmp_path / "r.html"), *SMALL)
    assert (status, err) == (0, "")
    assert normalised((tmp_path / "r.html").read_text(encoding="utf-8"), *paths) == corpus_page


def test_corpus_page_covers_every_model_and_keeps_roots_apart(corpus_page):
    figures = plots(corpus_page)
    # per model: 2 forecasts, 2 overlays, 2 sum checks, 2 x 2 residual figures
    assert len(figures) == 2 * (2 + 2 + 2 + 4)
    keys = re.findall(r'<section id="([\w-]+)"', corpus_page)
    assert keys == ["forecasts", "hierarchy", "sum-check", "residuals", "forecasts-2", "hierarchy-2", "sum-check-2", "residuals-2"]
    assert "The band shows the 95% interval (the widest the file gives)." in corpus_page
    overlay_total, overlay_lazio = figures[2][0], figures[3][0]
    assert [t["name"] for t in overlay_total] == ["Total", "Total/Industria", "Total/Servizi"]  # no member of Italia
    assert [t["name"] for t in overlay_lazio] == ["Italia/Lazio", "Italia/Lazio/Latina", "Italia/Lazio/Roma"]
    for data, _ in figures[4:6]:  # the reconciled model adds up
        np.testing.assert_allclose(values(data[1]["y"]), values(data[0]["y"]), rtol=1e-9)
    base_sum = figures[10 + 4][0]
    assert np.abs(values(base_sum[1]["y"]) - values(base_sum[0]["y"])).max() > 1  # the base model does not


def test_residuals_pair_forecast_and_observation_by_id_and_date(tmp_path):
    pred, obs = frames("monthly")
    start = pred["ds"].min()
    # Observed: the forecast period only, shuffled, one date missing, and an id the forecasts lack.
    obs = obs[obs["ds"] >= start]
    obs = obs[~((obs["unique_id"] == "Italia") & (obs["ds"] == start + pd.DateOffset(months=3)))]
    obs = pd.concat([obs, pd.DataFrame({"unique_id": ["Elsewhere"], "ds": [start], "y": [1.0]})]).sample(frac=1, random_state=5)
    paths = write(tmp_path, pred=pred, obs=obs)
    status, _, err = run(str(paths[0]), "--observed", str(paths[1]), "-o", str(tmp_path / "r.html"), "--model", "AutoETS",
                         "--ids", "Italia", "--members")
    assert status == 0 and err == "report: note: obs.csv: 1 id without forecasts left aside ('Elsewhere')\n"
    hist, qq = plots((tmp_path / "r.html").read_text(encoding="utf-8"))[1:3]
    mine = pred[pred["unique_id"] == "Italia"].merge(obs, on=["unique_id", "ds"])
    want = (mine["AutoETS"] - mine["y"]).to_numpy()
    assert len(want) == 11
    np.testing.assert_allclose(np.sort(values(hist[0][0]["x"])), np.sort(want), rtol=1e-12)
    np.testing.assert_allclose(np.sort(values(qq[0][0]["y"])), np.sort(-want), rtol=1e-12)


def test_gaps_time_steps_and_notes(tmp_path):
    pred, obs = frames("weekly")
    pred = pred.assign(ds=pred.groupby("unique_id").cumcount() + 1)
    obs = obs.assign(ds=obs.groupby("unique_id").cumcount() - 51)
    pred = pred.drop(pred.index[(pred["unique_id"] == "Total/Servizi/Turismo") & (pred["ds"] == 3)])
    pred.loc[pred["unique_id"] == "Total", "AutoETS"] = np.nan
    paths = write(tmp_path, pred=pred, obs=obs)
    status, _, err = run(str(paths[0]), "--observed", str(paths[1]), "-o", str(tmp_path / "r.html"), *SMALL)
    assert status == 0
    assert err.splitlines() == [
        "report: note: pred.csv: 8 missing values for model 'AutoETS' in 1 id ('Total'), first on row 89",
        "report: note: pred.csv: 1 id lacks some of the 8 forecast dates ('Total/Servizi/Turismo' has 7): the missing row is drawn as a gap",
    ]
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert "8 missing values for model &#x27;AutoETS&#x27;" in page  # the notes are on the page too
    figures = plots(page)
    forecast = figures[1]
    assert forecast[1]["shapes"][0]["x0"] == "1" and list(values(forecast[0][0]["x"])) == list(range(1, 9))
    assert np.isnan(numbers(forecast[0][0]["y"])[2])  # the gap is a gap
    assert list(values(forecast[0][3]["x"]))[:2] == [-51, -50]
    sums = figures[4 + 10][0]  # AutoETS: Total (all missing) against the sum of its sectors
    assert np.isnan(numbers(sums[0]["y"])).all() and np.isfinite(numbers(sums[1]["y"])).all()


def test_usage_errors_are_one_line_too(tmp_path):
    for argv, message in ((["--observed", "x.csv"], "--observed needs a prediction file"),
                          (["p.csv", "--bogus"], "unrecognized arguments: --bogus")):
        with pytest.raises(SystemExit) as info, contextlib.redirect_stderr(io.StringIO()) as buf:
            main(argv, prog="report")
        assert info.value.code == 2 and buf.getvalue() == f"report: error: {message} (see --help)\n"


def test_residuals_without_spread_get_a_histogram_and_a_reason_instead_of_a_qq_plot(tmp_path):
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,1,1\nA,2,2\nB,1,5\nB,2,5\n")
    (tmp_path / "o.csv").write_text("unique_id,ds,y\nA,1,0\nA,2,1\nB,1,4\nB,2,6\n")  # A: residuals -1, -1 (no spread); B: -1, 1
    status, _, err = run(str(tmp_path / "p.csv"), "--observed", str(tmp_path / "o.csv"), "-o", str(tmp_path / "r.html"))
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert (status, err) == (0, "")
    assert re.findall(r"<h3>([^<]*)</h3>", page)[2:] == ["A: residual distribution", "B: residual distribution", "B: quantile-quantile plot"]
    assert "No quantile-quantile plot for A: the residuals are all equal" in page
