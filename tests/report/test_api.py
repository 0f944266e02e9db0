"""The report as a library: explore() on every kind of frame, its refusals and notes, and Report."""

from __future__ import annotations

import contextlib
import html
import io
import re
import warnings

import numpy as np
import pandas as pd
import pytest

from corpus import BAD, RECONCILED, frames, write
from pagedata import parts
from sorvani_kb.datavisualization.report import InputError, InputNote, Report, explore, main

MEASURE_COLUMNS = [
    "unique_id",
    "model",
    "depth",
    "hierarchy_level",
    "interval_level",
    "coherence_gap_pct",
    "coverage_pct",
    "mae",
    "smape_pct",
    "bias",
    "missing",
]


def command_page(tmp_path, pred_path, obs_path, *options):
    out = tmp_path / "command.html"
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        assert main([str(pred_path), "--observed", str(obs_path), "-o", str(out), "--quiet", *options]) == 0
    return out.read_text(encoding="utf-8")


def same_page(a, b):
    """Two pages equal but for the names of their sources."""
    (meta_a, blobs_a), (meta_b, blobs_b) = parts(a), parts(b)
    for meta in (meta_a, meta_b):
        meta.pop("prediction"), meta.pop("observed")
    assert meta_a == meta_b
    assert blobs_a == blobs_b


def as_pandas_index(frame):
    return frame.set_index("unique_id")


def as_polars(frame):
    pl = pytest.importorskip("polars")
    return pl.from_pandas(frame)


def as_lazy(frame):
    return as_polars(frame).lazy()


def as_arrow(frame):
    import pyarrow as pa

    return pa.Table.from_pandas(frame, preserve_index=False)


class ArrowStream:
    """Only the Arrow PyCapsule stream interface, as an unknown library might export it."""

    def __init__(self, frame):
        self.table = as_arrow(frame)

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


CONNECTIONS: list = []  # a relation reads through its connection: kept open for the test's life


def as_duckdb(frame):
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    CONNECTIONS.append(con)
    con.register("frame_in", frame)
    return con.sql("SELECT * FROM frame_in")


def arrow_streams():
    import pyarrow as pa

    return hasattr(pa.RecordBatchReader, "from_stream")


KINDS = {
    "pandas": lambda f: f,
    "pandas-index": as_pandas_index,
    "polars": as_polars,
    "polars-lazy": as_lazy,
    "pyarrow": as_arrow,
    "arrow-stream": ArrowStream,
    "duckdb": as_duckdb,
}


@pytest.fixture(scope="module")
def corpus_reports(tmp_path_factory):
    """The monthly corpus: its frames, and the command's page and the library's measures on its CSV files."""
    folder = tmp_path_factory.mktemp("corpus")
    pred, obs = frames("monthly")
    pred_path, obs_path = write(folder, "monthly", pred=pred, obs=obs)
    page = command_page(folder, pred_path, obs_path)
    return pred, obs, page, explore(pred_path, obs_path).measures


@pytest.mark.parametrize("kind", list(KINDS))
def test_every_kind_of_frame_gives_the_commands_page_and_measures(corpus_reports, kind):
    pred, obs, page, measures = corpus_reports
    if kind in ("arrow-stream", "duckdb") and not arrow_streams():
        with pytest.raises(InputError, match=r"^forecasts: cannot read its Arrow stream .*pyarrow 14 or newer"):
            explore(KINDS[kind](pred), obs)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the corpus is clean: no note
        report = explore(KINDS[kind](pred), KINDS[kind](obs), use_case="pred")
    same_page(report.to_html(), page)
    pd.testing.assert_frame_equal(report.measures, measures, check_exact=True)
    assert report.notes == []


def test_measures_are_one_row_per_member_and_model_as_computed_from_the_frames(corpus_reports):
    pred, obs, _, measures = corpus_reports
    # Today's columns first, then the evaluation's: the corpus gives intervals at 80 and 95 %.
    assert list(measures.columns) == MEASURE_COLUMNS + [
        "rmse",
        "mase",
        "rmsse",
        "coverage_80_pct",
        "interval_score_80",
        "coverage_95_pct",
        "interval_score_95",
        "rank",
    ]
    models = [c for c in pred.columns if c not in ("unique_id", "ds") and "-lo-" not in c and "-hi-" not in c]
    assert len(measures) == len(models) * pred["unique_id"].nunique()
    assert measures["model"].drop_duplicates().tolist() == models
    joined = pred.merge(obs, on=["unique_id", "ds"], how="inner")
    for model in models:
        got = measures[measures["model"] == model].set_index("unique_id")
        err = (joined["y"] - joined[model]).abs().groupby(joined["unique_id"]).mean()
        np.testing.assert_allclose(got.loc[err.index, "mae"], err, rtol=1e-12)
        bias = (joined[model] - joined["y"]).groupby(joined["unique_id"]).mean()
        np.testing.assert_allclose(got.loc[bias.index, "bias"], bias, rtol=1e-9, atol=1e-9)
        inside = (joined[f"{model}-lo-95"] <= joined["y"]) & (joined["y"] <= joined[f"{model}-hi-95"])
        np.testing.assert_allclose(got.loc[err.index, "coverage_pct"], inside.groupby(joined["unique_id"]).mean() * 100)
        assert (got["interval_level"] == 95).all() and (got["missing"] == 0).all()
    depth = measures.set_index("unique_id")["depth"]
    assert depth["Italia"].eq(0).all() and depth["Italia/Lazio"].eq(1).all() and depth["Italia/Lazio/Roma"].eq(2).all()
    level = measures.set_index("unique_id")["hierarchy_level"]  # a tree's levels: its ids' lengths
    assert level["Italia"].eq("level 1").all() and level["Italia/Lazio/Roma"].eq("level 3").all()
    gap = measures[measures["model"] == RECONCILED].set_index("unique_id")["coherence_gap_pct"]
    assert gap[["Italia", "Total", "Italia/Lazio"]].eq(0).all()  # reconciled: adds up
    assert gap[["Italia/Lazio/Roma"]].isna().all()  # no sub-members
    base = measures[measures["model"] == "AutoETS"].set_index("unique_id")["coherence_gap_pct"]
    assert (base[["Italia", "Total"]] > 0).all()


def library_message(message):
    """A refusal of the command as the library words it for frames."""
    return (
        message.replace(r": no rows, only the header", r": no rows$")
        .replace("--date-format", "date_format=")
        .replace("--timezone", "timezone=")
        .replace("--id-col/--date-col", "id_col=/date_col=")
        .replace(r"pred\.\w+", "forecasts")
        .replace(r"obs\.\w+", "observed")
    )


@pytest.mark.parametrize("name", list(BAD))
def test_frames_are_refused_as_files_are_naming_the_argument(name):
    change, culprit, message = BAD[name]
    pred, obs = change(*frames("monthly"))
    with pytest.raises(InputError) as info:
        explore(pred, obs)
    text = str(info.value)
    assert isinstance(info.value, ValueError) and "\n" not in text
    assert re.match(["forecasts", "observed"][culprit] + library_message(message), text), text


def test_polars_and_arrow_frames_are_refused_alike():
    pred, obs = frames("monthly")
    expected = r"^forecasts: 2 rows for id 'Italia/Lazio' and date 2024-03-01 \(rows 15, 229\); each id and date may appear once$"
    duplicated = BAD["duplicate"][0](pred, obs)[0]
    for kind in ("polars", "polars-lazy", "pyarrow"):
        with pytest.raises(InputError, match=expected):
            explore(KINDS[kind](duplicated), obs)
    with pytest.raises(InputError, match=r"^observed: missing column 'unique_id' \(close: 'Unique_ID'\)"):
        explore(as_lazy(pred), as_lazy(obs.rename(columns={"unique_id": "Unique_ID"})))


def test_what_is_not_a_frame_and_columns_named_twice_are_refused():
    with pytest.raises(InputError, match=r"^forecasts: a builtins\.dict, not a path nor a data frame \(pandas, polars"):
        explore({"unique_id": ["a"]})
    pred, obs = frames("monthly")
    twice = pred.rename(columns={"Naive": "AutoETS"})
    with pytest.raises(InputError, match=r"^forecasts: column 'AutoETS' appears more than once"):
        explore(twice, obs)
    with pytest.raises(InputError, match=r"^date_format= '%Q': '%Q' is not a strptime directive"):
        explore(pred, obs, date_format="%Q")
    with pytest.raises(InputError, match=r"^forecasts: no model 'ETS' \(close: 'AutoETS'\)"):
        explore(pred, obs, models=["ETS"])


def test_notes_are_warnings_listed_on_the_report_and_the_page():
    pred, obs = frames("monthly")
    pred.loc[pred["unique_id"] == "Total", "Naive"] = np.nan
    pred = pred[~((pred["unique_id"] == "Italia/Lazio/Roma") & (pred["ds"] == pred["ds"].max()))]
    with pytest.warns(InputNote) as caught:
        report = explore(pred, obs, models=["Naive", "AutoETS"])
    notes = [str(w.message) for w in caught if w.category is InputNote]
    assert notes == report.notes and len(notes) == 2
    assert notes[0].startswith("forecasts: 12 missing values for model 'Naive' in 1 id ('Total'), first on row ")
    assert notes[1].startswith("forecasts: 1 id lacks some of the 12 forecast dates ('Italia/Lazio/Roma' has 11)")
    meta, _ = parts(report.to_html())
    assert meta["notes"] == notes and [m["name"] for m in meta["models"]] == ["Naive", "AutoETS"]
    assert (meta["prediction"], meta["observed"]) == ("a pandas DataFrame", "a pandas DataFrame")
    assert report.measures.set_index(["model", "unique_id"]).loc[("Naive", "Total"), "missing"] == 12


def test_report_saves_atomically_and_shows_itself_in_an_isolated_frame(tmp_path):
    pred, obs = frames("weekly")
    report = explore(pred, obs, models=["Naive"])
    assert isinstance(report, Report) and "Naive" in repr(report)
    text = report.to_html()
    out = report.save(tmp_path / "r.html")
    assert out.read_text(encoding="utf-8") == text and [p.name for p in tmp_path.iterdir()] == ["r.html"]
    out.write_text("old report")
    with pytest.raises(InputError, match=r": a folder; give the path of the report file$"):
        report.save(tmp_path)
    with pytest.raises(InputError, match=r"/nowhere/r\.html: the folder .*nowhere does not exist$"):
        report.save(tmp_path / "nowhere" / "r.html")
    assert out.read_text() == "old report" and [p.name for p in tmp_path.iterdir()] == ["r.html"]
    frame = report._repr_html_()
    tag = re.fullmatch(r'<iframe ([^>]*)srcdoc="([^"]*)"></iframe>', frame, re.S)
    assert tag is not None
    sandbox = re.search(r'sandbox="([^"]*)"', tag[1])[1].split()
    assert "allow-scripts" in sandbox and "allow-same-origin" not in sandbox  # the page cannot reach the notebook
    assert html.unescape(tag[2]) == text
    measures = report.measures
    measures.loc[0, "mae"] = -1.0  # a copy: the report's own stays
    assert report.measures.loc[0, "mae"] != -1.0
