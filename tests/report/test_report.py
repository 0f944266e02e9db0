"""The report command: the page it writes, the shipped sample, and how it refuses bad input."""

import contextlib
import io
import multiprocessing
import os
import re
import runpy
import subprocess
import sys
import time
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from helpers import hierarchy_frames
from pagedata import Page
from sorvani_kb.datavisualization.report import main

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = resources.files("sorvani_kb.datavisualization") / "sample"
IDS = ("Italia/A", "Italia", "Italia/A/y", "Italia/B", "Italia/A/x")  # blocks out of hierarchy order
PRED_COLS = {"id": "serie", "date": "giorno", "mean": "media", "lo": "basso", "hi": "alto"}
OBS_COLS = {"rid": "chiave", "rdate": "quando", "obs": "valore"}
COL_ARGS = [
    "--id-col",
    "serie",
    "--date-col",
    "giorno",
    "--mean-col",
    "media",
    "--lower-col",
    "basso",
    "--upper-col",
    "alto",
    "--obs-id-col",
    "chiave",
    "--obs-date-col",
    "quando",
    "--obs-value-col",
    "valore",
]


def run(*args):
    """main(args) in-process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(list(args), prog="report")
    return status, out.getvalue(), err.getvalue()


def read_page(path):
    return Page(Path(path).read_text(encoding="utf-8"))


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
    assert re.findall(r'<section id="([\w-]+)"', page) == ["overview", "member", "missing"]
    assert len(Page(page).ids) == 12


def test_sample_figures(sample_page):
    page = read_page(sample_page[3])
    (model,) = page.models
    proto = page.model(model)["proto"]["forecast"]
    assert [t.get("name") for t in proto["data"]] == [
        "predict value",
        None,
        "95% confidence interval",
        "past value (true)",
    ]
    assert [s["x0"] for s in proto["layout"]["shapes"]] == ["2024-12-30"]
    past, forecast = pd.to_datetime(page.meta["obs"]["axis"]), pd.to_datetime(proto["data"][0]["x"])
    assert (past.min(), past.max(), forecast.min()) == (
        pd.Timestamp("2024-01-01"),
        forecast.max(),
        pd.Timestamp("2024-12-30"),
    )
    regions = ["Italia/Lazio", "Italia/Lombardia", "Italia/Sicilia"]  # ids sorted
    assert page.children("Italia") == regions
    assert page.children("Italia/Lazio") == ["Italia/Lazio/Latina", "Italia/Lazio/Roma"]
    for member in ["Italia"] + regions:  # coherent sample: the sum check's two lines coincide
        numbers = page.member(model, member)
        np.testing.assert_allclose(numbers["sums"], numbers["mean"], atol=1e-6)


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
    page = read_page(out)
    (model,) = page.models
    assert page.ids == sorted(IDS) and page.model(model)["proto"]["titlePrefix"] == "Predizione visite - "
    assert page.children("Italia") == ["Italia/A", "Italia/B"]
    assert page.children("Italia/A") == ["Italia/A/x", "Italia/A/y"]
    np.testing.assert_allclose(
        page.member(model, "Italia/A")["sums"], [80, 82, 84, 86]
    )  # Italia/A/x + Italia/A/y: 50 + t, 30 + t
    res = page.member(model, "Italia")["res"]  # Italia: matched by id and date, history ignored
    assert sorted(res) == [-2.0, -1.5, -1.0, -0.5]


def test_without_observed_values_no_past_values_and_no_residuals(tmp_path):
    pred, _ = user_files(tmp_path)
    out = tmp_path / "r.html"
    status, _, _ = run(str(pred), "-o", str(out), *COL_ARGS)
    page = read_page(out)
    (model,) = page.models
    assert status == 0 and page.meta["obs"] is None and page.meta["residualProto"] is None
    assert len(page.model(model)["proto"]["forecast"]["data"]) == 3


def rewrite(path, **renames):
    frame = pd.read_csv(path)
    frame.rename(columns=renames).to_csv(path, index=False)


@pytest.mark.parametrize(
    "change, args, message",
    [
        pytest.param(
            lambda p, o: rewrite(p, media="avg"),
            [],
            r"pred.csv: missing column 'media' \(columns present: serie, giorno, avg, basso, alto\)",
            id="column",
        ),
        pytest.param(
            lambda p, o: rewrite(o, quando="t", valore="v"),
            [],
            r"obs.csv: missing columns 'quando', 'valore' \(columns present: chiave, t, v\)",
            id="columns",
        ),
        pytest.param(lambda p, o: o.unlink(), [], r"obs.csv: no such file", id="no-file"),
        pytest.param(lambda p, o: p.write_text(""), [], r"pred.csv: the file is empty", id="empty"),
        pytest.param(
            lambda p, o: p.write_text(p.read_text().replace("2024-01-14", "soon")),
            [],
            r"pred.csv: column 'giorno': 'soon' on row \d+ is not written like the other dates \(e.g. '2024-01-\d\d'\); give --date-format",
            id="dates",
        ),
        pytest.param(
            lambda p, o: p.write_text(p.read_text().replace(",13.0,", ",many,")),
            [],
            r"pred.csv: column 'media' holds 'many' on row \d+, not a number",
            id="numbers",
        ),
        pytest.param(
            None,
            ["-o", "no/such/folder/r.html"],
            r"no/such/folder/r.html: the folder \S+ does not exist",
            id="out-folder",
        ),
    ],
)
def test_bad_input_exits_2_with_one_line_and_keeps_the_old_report(tmp_path, change, args, message):
    pred, obs = user_files(tmp_path)
    if change:
        change(pred, obs)
    out = tmp_path / "r.html"
    out.write_text("old report")
    status, stdout, err = run(str(pred), "--observed", str(obs), "-o", str(out), *COL_ARGS, *args)
    assert (status, stdout, err.count("\n")) == (2, "", 1)
    assert re.fullmatch(r"report: error: \S*" + message + r".*\n", err)
    assert out.read_text() == "old report" and sorted(os.listdir(tmp_path)) == sorted(
        ["r.html", *(p.name for p in (pred, obs) if p.exists())]
    )


@pytest.mark.parametrize("bad", [False, True])
def test_a_large_input_draws_with_a_second_process_that_ends_with_the_command(tmp_path, monkeypatch, bad):
    from sorvani_kb.datavisualization.report import worker

    monkeypatch.setattr(worker, "LARGE_INPUT", 0)  # every input counts as large
    monkeypatch.setattr(worker, "DRAWING_MODULE", "not.loaded")  # as in a fresh process
    pred, obs = user_files(tmp_path)
    if bad:
        pred.write_text(pred.read_text().replace(",13.0,", ",many,"))
    started = []
    start = worker.Worker.start

    def recorded(*args, **kwargs):
        started.append(start(*args, **kwargs))
        return started[-1]

    monkeypatch.setattr(worker.Worker, "start", recorded)
    status, _, err = run(str(pred), "--observed", str(obs), "-o", str(tmp_path / "r.html"), *COL_ARGS)
    assert status == (2 if bad else 0), err
    assert len(started) == 1 and started[0] is not None  # started once, for this input
    assert started[0]._pool is None  # and ended by the command, on success or refusal
    deadline = time.monotonic() + 10
    while multiprocessing.active_children() and time.monotonic() < deadline:  # ended, not left to exit
        time.sleep(0.05)
    assert multiprocessing.active_children() == []


def test_failed_write_leaves_the_old_report(tmp_path, monkeypatch):
    pred, _ = user_files(tmp_path)
    (tmp_path / "r.html").write_text("old report")

    def full_disk(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", full_disk)
    status, _, err = run(str(pred), "-o", str(tmp_path / "r.html"), *COL_ARGS)
    assert (status, err) == (
        2,
        f"report: error: {tmp_path / 'r.html'}: cannot write the report (No space left on device)\n",
    )
    assert (tmp_path / "r.html").read_text() == "old report" and sorted(os.listdir(tmp_path)) == [
        "obs.csv",
        "pred.csv",
        "r.html",
    ]


def test_parquet_without_pyarrow_is_a_clear_error(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow now fails
    (tmp_path / "p.parquet").write_bytes(b"PAR1")
    status, _, err = run(str(tmp_path / "p.parquet"), "-o", str(tmp_path / "r.html"))
    assert status == 2 and err.endswith(
        "p.parquet: reading Parquet needs pyarrow, which is not installed (pip install pyarrow)\n"
    )
    assert not (tmp_path / "r.html").exists()


@pytest.mark.parametrize("tty, quiet, shown", [(True, False, True), (True, True, False), (False, False, False)])
def test_progress_only_on_a_terminal(tmp_path, monkeypatch, tty, quiet, shown):
    pred, _ = user_files(tmp_path)
    err = io.StringIO()
    err.isatty = lambda: tty
    monkeypatch.setattr(sys, "stderr", err)
    with contextlib.redirect_stdout(io.StringIO()):
        status = main([str(pred), "-o", str(tmp_path / "r.html"), *COL_ARGS] + ["--quiet"] * quiet)
    assert status == 0 and (re.search(r"\b(\d+)/\1\b", err.getvalue()) is not None) is shown


def test_help_names_every_option(capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(["--help"])
    text = capsys.readouterr().out
    assert exit_info.value.code == 0
    assert all(
        opt in text
        for opt in re.findall(r"--[\w-]+", " ".join(COL_ARGS))
        + ["--observed", "--model", "--use-case", "--quiet", "--output", "--treemap-nodes"]
    )


def test_module_entry_point_on_the_sample(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-m", "sorvani_kb.datavisualization", "-o", "r.html"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "MPLBACKEND": "Agg"},
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"{tmp_path / 'r.html'}\n", "")
    assert len(read_page(tmp_path / "r.html").ids) == 12


# ------------------------------------------------------------------------------------------------
# Real pipeline output (tests/report/corpus.py): several models, two roots, layouts, pairing.

from corpus import LAYOUT_VARIANTS, RECONCILED, frames, write  # noqa: E402

SMALL = ["--model", RECONCILED, "--model", "AutoETS"]


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
    page = Page(corpus_page)
    assert page.models == [RECONCILED, "AutoETS"]
    assert [page.model(m)["level"] for m in page.models] == ["95%", "95%"]  # the widest the file gives
    assert page.children("Total") == ["Total/Industria", "Total/Servizi"]  # no member of Italia
    assert page.children("Italia/Lazio") == ["Italia/Lazio/Latina", "Italia/Lazio/Roma"]
    aggregates = [i for i in page.ids if page.children(i)]
    for member in aggregates:  # the reconciled model adds up
        numbers = page.member(RECONCILED, member)
        np.testing.assert_allclose(numbers["sums"], numbers["mean"], rtol=1e-9)
    base = page.member("AutoETS", "Total")
    assert np.abs(base["sums"] - base["mean"]).max() > 1  # the base model does not


def test_residuals_pair_forecast_and_observation_by_id_and_date(tmp_path):
    pred, obs = frames("monthly")
    start = pred["ds"].min()
    # Observed: the forecast period only, shuffled, one date missing, and an id the forecasts lack.
    obs = obs[obs["ds"] >= start]
    obs = obs[~((obs["unique_id"] == "Italia") & (obs["ds"] == start + pd.DateOffset(months=3)))]
    obs = pd.concat([obs, pd.DataFrame({"unique_id": ["Elsewhere"], "ds": [start], "y": [1.0]})]).sample(
        frac=1, random_state=5
    )
    paths = write(tmp_path, pred=pred, obs=obs)
    status, _, err = run(
        str(paths[0]), "--observed", str(paths[1]), "-o", str(tmp_path / "r.html"), "--model", "AutoETS"
    )
    assert status == 0 and err == "report: note: obs.csv: 1 id without forecasts left aside ('Elsewhere')\n"
    res = read_page(tmp_path / "r.html").member("AutoETS", "Italia")["res"]
    mine = pred[pred["unique_id"] == "Italia"].merge(obs, on=["unique_id", "ds"], how="left")
    want = (mine["y"] - mine["AutoETS"]).to_numpy()  # observed - forecast, by date; NaN where none
    assert np.isnan(want).sum() == 1 and np.isnan(res).sum() == 1
    np.testing.assert_allclose(res, want, rtol=1e-9)


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
    page = read_page(tmp_path / "r.html")
    assert any("8 missing values for model 'AutoETS'" in n for n in page.meta["notes"])  # the notes are on the page too
    proto = page.model(RECONCILED)["proto"]["forecast"]
    assert proto["layout"]["shapes"][0]["x0"] == "1" and proto["data"][0]["x"] == list(range(1, 9))
    assert np.isnan(page.member(RECONCILED, "Total/Servizi/Turismo")["mean"][2])  # the gap is a gap
    # time steps have no season: the figures show the last 30 of the 52 steps before the forecast
    assert page.observed("Total/Servizi/Turismo")[0][:2] == [-29, -28] and page.meta["history"] == 30
    total = page.member("AutoETS", "Total")  # all missing, against the sum of its sectors
    assert np.isnan(total["mean"]).all() and np.isfinite(total["sums"]).all()


def test_usage_errors_are_one_line_too(tmp_path):
    for argv, message in (
        (["--observed", "x.csv"], "--observed needs a prediction file"),
        (["p.csv", "--bogus"], "unrecognized arguments: --bogus"),
    ):
        with pytest.raises(SystemExit) as info, contextlib.redirect_stderr(io.StringIO()) as buf:
            main(argv, prog="report")
        assert info.value.code == 2 and buf.getvalue() == f"report: error: {message} (see --help)\n"


def test_residuals_without_spread_get_a_histogram_and_a_reason_instead_of_a_qq_plot(tmp_path):
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,1,1\nA,2,2\nB,1,5\nB,2,5\n")
    (tmp_path / "o.csv").write_text(
        "unique_id,ds,y\nA,1,0\nA,2,1\nB,1,4\nB,2,6\n"
    )  # A: residuals -1, -1 (no spread); B: -1, 1
    status, _, err = run(str(tmp_path / "p.csv"), "--observed", str(tmp_path / "o.csv"), "-o", str(tmp_path / "r.html"))
    page = read_page(tmp_path / "r.html")
    assert (status, err) == (0, "")
    a, b = page.member("M", "A"), page.member("M", "B")
    np.testing.assert_array_equal(a["res"], [-1, -1])
    np.testing.assert_array_equal(b["res"], [-1, 1])
    assert np.isnan(a["std"]) and b["std"] == pytest.approx(np.sqrt(2))  # no spread: a histogram and no QQ plot
