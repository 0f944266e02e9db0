"""Reading what forecasting pipelines write: the corpus in every layout, bad files, dates, gaps."""

import contextlib
import gzip
import io
import os
import re
import zipfile

import numpy as np
import pandas as pd
import pytest

from corpus import BAD, LAYOUT_VARIANTS, MODELS, RECONCILED, frames, ids, to_file, write
from sorvani_kb.datavisualization.report import inputs, main
from sorvani_kb.datavisualization.report.cli import build_parser, options_of


def load(pred, obs=None, *options):
    args = build_parser().parse_args([str(pred)] + (["--observed", str(obs)] if obs else []) + list(options))
    return inputs.load(args.predictions, args.observed, options_of(args))


def run(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args], prog="report")
    return status, out.getvalue(), err.getvalue()


def refused(pred, obs=None, *options):
    with pytest.raises(inputs.InputError) as info:
        load(pred, obs, *options)
    message = str(info.value)
    assert "\n" not in message
    return message


def assert_same(a, b):
    """Two Inputs equal in everything but the paths of the files read."""
    pd.testing.assert_frame_equal(a.forecasts, b.forecasts, check_exact=True)
    if a.observed is None:
        assert b.observed is None
    else:
        pd.testing.assert_frame_equal(a.observed, b.observed, check_exact=True)
    assert (a.models, a.levels, a.time_kind, a.use_case) == (b.models, b.levels, b.time_kind, b.use_case)
    names = lambda i: [
        n.replace(os.path.basename(i.prediction_path), "P").replace(os.path.basename(i.observed_path or "-"), "O")  # noqa: E731
        for n in i.notes
    ]
    assert names(a) == names(b)


@pytest.mark.parametrize("kind", ["monthly", "weekly"])
@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_corpus_is_read_into_the_canonical_form(tmp_path, kind, fmt):
    pred, obs = frames(kind)
    got = load(*write(tmp_path, kind, fmt))
    assert got.models == list(MODELS) and got.levels == dict.fromkeys(MODELS, 95) and got.time_kind == "datetime"
    assert got.notes == [] and got.use_case == "pred"
    f = got.forecasts
    assert list(f.columns) == inputs.FORECAST_COLUMNS and list(f.index) == list(range(len(f)))
    assert (
        list(f["model"].cat.categories) == list(MODELS)
        and f["id"].dtype == object
        and str(f["ds"].dtype) == "datetime64[ns]"
    )
    assert all(isinstance(i, str) for i in f["id"]) and not f["filled"].any()
    assert f[["mean", "lo", "hi"]].dtypes.eq("float64").all()
    horizon = pred["ds"].nunique()
    assert len(f) == len(MODELS) * len(ids()) * horizon
    assert list(pd.unique(f["id"])) == sorted(ids())  # sorted by model, id, ds
    assert (f.groupby(["model", "id"], observed=True)["ds"].apply(lambda d: d.is_monotonic_increasing)).all()
    for model in MODELS:
        want = pred.sort_values(["unique_id", "ds"]).reset_index(drop=True)
        mine = f[f["model"] == model].reset_index(drop=True)
        assert (mine["id"] == want["unique_id"]).all() and (mine["ds"] == want["ds"]).all()
        # the widest level the file gives goes into lo/hi
        np.testing.assert_array_equal(
            mine[["mean", "lo", "hi"]].to_numpy(), want[[model, f"{model}-lo-95", f"{model}-hi-95"]].to_numpy()
        )
    want = obs.sort_values(["unique_id", "ds"]).reset_index(drop=True)
    assert list(got.observed.columns) == inputs.OBSERVED_COLUMNS
    np.testing.assert_array_equal(got.observed["y"], want["y"])
    assert (got.observed["id"] == want["unique_id"]).all() and (got.observed["ds"] == want["ds"]).all()


@pytest.mark.parametrize("variant", [v for v in LAYOUT_VARIANTS if v != "csv"])
def test_layout_variants_give_identical_inputs(tmp_path, variant):
    change, options = LAYOUT_VARIANTS[variant]
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    base = load(*write(tmp_path / "a", "weekly"))
    pred, obs = frames("weekly")
    if change:
        pred, obs = change(pred, obs)
    assert_same(base, load(*write(tmp_path / "b", "weekly", pred=pred, obs=obs, **options)))


def test_float32_and_integer_ids_are_read_as_float64_and_text(tmp_path):
    pred = pd.DataFrame(
        {
            "unique_id": np.repeat([7, 12, 100], 2),
            "ds": np.tile(pd.to_datetime(["2024-01-01", "2024-02-01"]), 3),
            "M": np.float32([0.1, 0.2, 0.3, 0.4, 0.5, 0.6]),
        }
    )
    got = load(to_file(pred, tmp_path / "p.parquet", "parquet"))
    assert list(got.forecasts["id"]) == ["100", "100", "12", "12", "7", "7"]  # text, sorted as text
    assert got.forecasts["mean"].dtype == "float64"
    np.testing.assert_array_equal(got.forecasts["mean"], np.float32([0.5, 0.6, 0.3, 0.4, 0.1, 0.2]).astype("float64"))
    (tmp_path / "p.csv").write_text("unique_id,ds,M\n007,2024-01-01,1\n7,2024-01-01,2\n")
    assert list(load(tmp_path / "p.csv").forecasts["id"]) == ["007", "7"]  # as written, not as numbers


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
@pytest.mark.parametrize("name", list(BAD))
def test_bad_variants_are_refused_in_one_line_naming_the_file(tmp_path, name, fmt):
    change, broken, message = BAD[name]
    pred, obs = change(*frames("monthly"))
    paths = write(tmp_path, pred=pred, obs=obs, fmt=fmt)
    out = tmp_path / "r.html"
    out.write_text("old report")
    status, stdout, err = run(paths[0], "--observed", paths[1], "-o", out)
    assert (status, stdout) == (2, "")
    assert re.fullmatch(r"report: error: " + re.escape(str(paths[broken])) + message + r"\n", err), err
    assert out.read_text() == "old report" and sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["r.html", paths[0].name, paths[1].name]
    )


def test_several_models_are_limited_by_model_and_an_unknown_one_is_refused(tmp_path):
    pred, obs = write(tmp_path)
    got = load(pred, obs, "--model", RECONCILED, "--model", "AutoETS")
    assert got.models == [RECONCILED, "AutoETS"] and list(got.forecasts["model"].cat.categories) == got.models
    assert refused(pred, obs, "--model", "AutoETS/MinTrace") == (
        f"{pred}: no model 'AutoETS/MinTrace' (close: 'AutoETS/MinTrace_method-mint_shrink', 'AutoETS') "
        "(models present: 'AutoETS', 'Naive', 'AutoETS/MinTrace_method-mint_shrink')"
    )


def test_widest_level_per_model_and_bounds_without_their_model(tmp_path):
    pred, _ = frames("monthly")
    pred = pred.drop(columns=["Naive-lo-95", "Naive-hi-95", "AutoETS-hi-80"]).assign(
        **{"Gone-lo-80": 1.0, "Gone-hi-80": 2.0}
    )
    got = load(to_file(pred, tmp_path / "p.csv"))
    assert got.levels == {"AutoETS": 95, "Naive": 80, RECONCILED: 95}
    naive = got.forecasts[got.forecasts["model"] == "Naive"]
    np.testing.assert_array_equal(naive["lo"], pred.sort_values(["unique_id", "ds"])["Naive-lo-80"])
    assert got.notes == [
        "p.csv: columns 'Gone-lo-80', 'Gone-hi-80' left out: interval bounds without their model column "
        "or without the other bound"
    ]


def test_models_without_bounds_and_text_columns_beside_them(tmp_path):
    (tmp_path / "p.csv").write_text("unique_id,ds,region,Naive\nA,2024-01-01,north,1.5\nA,2024-01-02,north,2\n")
    got = load(tmp_path / "p.csv")
    assert got.models == ["Naive"] and got.levels == {"Naive": None} and got.forecasts["lo"].isna().all()
    assert got.notes == ["p.csv: column 'region' left out: text, not forecasts"]


def test_the_report_layout_and_column_options(tmp_path):
    (tmp_path / "p.csv").write_text("id,date,mean,lower,upper\nA,2024-01-01,2,1,3\n")
    (tmp_path / "o.csv").write_text("id,date,value\nA,2024-01-01,2.5\n")
    got = load(tmp_path / "p.csv", tmp_path / "o.csv")
    assert got.models == ["mean"] and got.levels == {"mean": None}
    assert got.forecasts[["mean", "lo", "hi"]].values.tolist() == [[2, 1, 3]] and got.observed["y"].tolist() == [2.5]
    (tmp_path / "q.csv").write_text("unique_id,ds,yhat\nA,2024-01-01,2\n")
    got = load(
        tmp_path / "q.csv", None, "--mean-col", "yhat"
    )  # a flag picks the one-model layout; ids and dates as found
    assert got.models == ["yhat"] and got.forecasts["lo"].isna().all()
    assert refused(tmp_path / "q.csv", None, "--mean-col", "yhat", "--lower-col", "lo") == (
        f"{tmp_path / 'q.csv'}: missing column 'lo' (columns present: unique_id, ds, yhat)"
    )
    assert refused(tmp_path / "p.csv", None, "--id-col", "serie").startswith(
        f"{tmp_path / 'p.csv'}: missing column 'serie' (columns present: id, date"
    )


MISSING_CSV = """unique_id;ds;M;M-lo-90;M-hi-90
NA;2024-01-01;1,5;1;2
NA;2024-02-01;n/a;1;2
B;2024-01-01;;NULL;-
B;2024-02-01;2,25;2;3
;2024-03-01;9;9;9
B;2024-03-01;3;null;4
"""


def test_missing_values_are_noted_with_where_and_are_not_errors(tmp_path):
    (tmp_path / "p.csv").write_text(MISSING_CSV)
    (tmp_path / "o.csv").write_text("unique_id\tds\ty\nNA\t2024-01-01\tNaN\nB\t2024-01-01\t2.0\nB\t\t3\n")
    got = load(tmp_path / "p.csv", tmp_path / "o.csv")
    f = got.forecasts
    assert list(f["id"]) == ["B", "B", "B", "NA", "NA", "NA"]  # "NA" is an id, not a missing one
    np.testing.assert_array_equal(f["mean"], [np.nan, 2.25, 3, 1.5, np.nan, np.nan])
    np.testing.assert_array_equal(f["lo"], [np.nan, 2, np.nan, 1, 1, np.nan])
    assert list(f["filled"]) == [False, False, False, False, False, True]
    assert got.notes == [
        "p.csv: 1 row without an id or a date left out (first: row 5)",
        "p.csv: 5 missing values for model 'M' (mean 2, lo 2, hi 1) in 2 ids ('B', 'NA'), first on row 2",
        "p.csv: 1 id lacks some of the 3 forecast dates ('NA' has 2): the missing row is drawn as a gap",
        "o.csv: 1 row without an id or a date left out (first: row 3)",
        "o.csv: 1 missing observed value in 1 id ('NA'), first on row 1",
    ]


def test_gaps_are_filled_and_flagged_per_model(tmp_path):
    pred, obs = frames("weekly")
    drop = pred.index[
        (pred["unique_id"] == "Italia/Sicilia/Catania") & (pred["ds"] >= pred["ds"].max() - pd.Timedelta(weeks=2))
    ]
    got = load(*write(tmp_path, pred=pred.drop(drop), obs=obs))
    f = got.forecasts
    gap = f[f["filled"]]
    assert (
        len(gap) == 3 * len(MODELS)
        and set(gap["id"]) == {"Italia/Sicilia/Catania"}
        and gap[["mean", "lo", "hi"]].isna().all().all()
    )
    assert f.groupby(["model", "id"], observed=True).size().nunique() == 1  # equal blocks for the hierarchy figures
    assert (
        "1 id lacks some of the 8 forecast dates ('Italia/Sicilia/Catania' has 5): the 3 missing rows are drawn as gaps"
        in got.notes[0]
    )


@pytest.mark.parametrize(
    "dates, fmt, first",
    [
        (["13/01/2024", "20/01/2024", "03/02/2024"], None, "2024-01-13"),  # day above 12: day first
        (["01/13/2024", "01/20/2024", "02/03/2024"], None, "2024-01-13"),  # month first
        (["03.02.24", "17.02.24"], None, "2024-02-03"),
        (["2024/02/03", "2024/02/17"], None, "2024-02-03"),
        (["01/02/2024", "01/03/2024"], "%d/%m/%Y", "2024-02-01"),
        (["202402", "202403"], "%Y%m", "2024-02-01"),
        (["Feb 3, 2024", "Mar 3, 2024"], None, "2024-02-03"),
        (["2024-02-03T10:30", "2024-02-03 11:00:00"], None, "2024-02-03 10:30:00"),
    ],
)
def test_date_forms(tmp_path, dates, fmt, first):
    rows = "".join(f'A,"{d}",1\n' for d in dates)
    (tmp_path / "p.csv").write_text("unique_id,ds,M\n" + rows)
    got = load(tmp_path / "p.csv", None, *(["--date-format", fmt] if fmt else []))
    assert got.time_kind == "datetime" and got.forecasts["ds"].iloc[0] == pd.Timestamp(first)


def test_day_and_month_order_is_settled_by_either_file_and_refused_when_they_disagree(tmp_path):
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,01/02/2024,1\nA,01/03/2024,1\n")  # reads both ways
    (tmp_path / "o.csv").write_text("unique_id,ds,y\nA,31/01/2024,1\nA,01/02/2024,2\n")  # day first
    assert load(tmp_path / "p.csv", tmp_path / "o.csv").forecasts["ds"].tolist() == [
        pd.Timestamp("2024-02-01"),
        pd.Timestamp("2024-03-01"),
    ]
    (tmp_path / "o.csv").write_text("unique_id,ds,y\nA,01/31/2024,1\n")  # month first
    assert load(tmp_path / "p.csv", tmp_path / "o.csv").forecasts["ds"].tolist() == [
        pd.Timestamp("2024-01-02"),
        pd.Timestamp("2024-01-03"),
    ]
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,13/02/2024,1\n")
    assert refused(tmp_path / "p.csv", tmp_path / "o.csv") == (
        f"{tmp_path / 'o.csv'}: column 'ds' puts the month first ('01/31/2024' on row 1), p.csv the day ('13/02/2024' on row 1); "
        "give --date-format"
    )


@pytest.mark.parametrize(
    "dates, message",
    [
        (
            ["2024-01-01", "soon"],
            r"'soon' on row 2 is not written like the other dates \(e.g. '2024-01-01'\); give --date-format",
        ),
        (["2024-01-01", "01/02/2024", "2024-01-03"], r"'01/02/2024' on row 2 is not written like the other dates"),
        (["2024-02-30", "2024-03-01"], r"'2024-02-30' on row 1 is not a date; give --date-format"),
        (["13/12/2024", "31/02/2024"], r"'31/02/2024' on row 2 is not a date \(read day first\)"),
        (
            ["13/01/2024", "01/13/2024"],
            r"'13/01/2024' on row 1 puts the day first, '01/13/2024' on row 2 the month; give --date-format",
        ),
        (
            ["2024-01-01T00:00+01:00", "2024-01-08T00:00"],
            r"'2024-01-08T00:00' on row 2 has no time zone, unlike '2024-01-01T00:00\+01:00'",
        ),
        (["1", "2", "x3"], r"'x3' on row 3 is not written like the other dates \(e.g. '1'\)"),
        (["2024-01", "2024-02"], None),
    ],
)
def test_dates_that_cannot_be_read_are_refused_naming_the_value_and_row(tmp_path, dates, message):
    (tmp_path / "p.csv").write_text("unique_id,ds,M\n" + "".join(f"A,{d},1\n" for d in dates))
    if message is None:
        assert load(tmp_path / "p.csv").forecasts["ds"].tolist() == [
            pd.Timestamp("2024-01-01"),
            pd.Timestamp("2024-02-01"),
        ]
    else:
        assert re.fullmatch(
            re.escape(f"{tmp_path / 'p.csv'}: column 'ds': ") + message + ".*", refused(tmp_path / "p.csv")
        )


def test_date_format_applies_to_both_files_and_names_a_value_that_does_not_match(tmp_path):
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,02/2024,1\n")
    (tmp_path / "o.csv").write_text("unique_id,ds,y\nA,01/2024,1\nA,2024-02,1\n")
    assert refused(tmp_path / "p.csv", tmp_path / "o.csv", "--date-format", "%m/%Y") == (
        f"{tmp_path / 'o.csv'}: column 'ds': '2024-02' on row 2 does not match --date-format '%m/%Y'"
    )
    for fmt, what in (
        ("dd/mm", "no strptime directive"),
        ("%Q", "'%Q' is not a strptime directive"),
        ("%Y%", "'%' is not a strptime directive"),
    ):
        assert (
            refused(tmp_path / "p.csv", None, "--date-format", fmt)
            == f"--date-format {fmt!r}: {what} (a format is such as %d/%m/%Y or %Y%m)"
        )


def test_integer_dates_are_time_steps_never_nanoseconds(tmp_path):
    pred = pd.DataFrame({"unique_id": ["A", "A"], "ds": [1, 2], "M": [1.0, 2.0]})
    obs = pd.DataFrame({"unique_id": ["A"] * 3, "ds": [-1, 0, 1], "y": [1.0, 2.0, 3.0]})
    for fmt in ("csv", "parquet"):
        got = load(*write(tmp_path, fmt=fmt, pred=pred, obs=obs))
        assert (
            got.time_kind == "step" and got.forecasts["ds"].dtype == np.int64 and got.forecasts["ds"].tolist() == [1, 2]
        )
        assert got.observed["ds"].tolist() == [-1, 0, 1]
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,20240101,1\nA,20240108,1\n")
    got = load(tmp_path / "p.csv")
    assert got.time_kind == "step" and got.notes == [
        "p.csv: column 'ds' holds whole numbers, drawn as time steps; if they are dates, give --date-format %Y%m%d"
    ]
    assert load(tmp_path / "p.csv", None, "--date-format", "%Y%m%d").forecasts["ds"].iloc[1] == pd.Timestamp(
        "2024-01-08"
    )


def test_time_zones_are_reconciled_explicitly(tmp_path):
    p, o = tmp_path / "p.csv", tmp_path / "o.csv"
    p.write_text("unique_id,ds,M\nA,2024-03-30T23:00:00Z,1\nA,2024-04-06T22:00:00Z,1\n")
    o.write_text("unique_id,ds,y\nA,2024-03-30 23:00:00+00:00,1\n")
    got = load(p, o)  # one zone in both files: its wall times
    assert got.forecasts["ds"].tolist() == [pd.Timestamp("2024-03-30 23:00"), pd.Timestamp("2024-04-06 22:00")]
    assert got.observed["ds"].tolist() == [pd.Timestamp("2024-03-30 23:00")]
    o.write_text("unique_id,ds,y\nA,2024-03-31,1\n")
    assert refused(p, o).startswith(
        f"{o}: column 'ds' holds dates without a time zone, p.csv column 'ds' dates in UTC; give --timezone"
    )
    got = load(p, o, "--timezone", "Europe/Rome")  # aware ones converted, naive ones taken as Rome's local time
    assert got.forecasts["ds"].tolist() == [pd.Timestamp("2024-03-31 00:00"), pd.Timestamp("2024-04-07 00:00")]
    assert got.observed["ds"].tolist() == [pd.Timestamp("2024-03-31")]
    p.write_text("unique_id,ds,M\nA,2024-03-31T00:00:00+01:00,1\nA,2024-04-07T00:00:00+02:00,1\n")
    assert refused(p).startswith(f"{p}: column 'ds' holds dates in several UTC offsets; give --timezone")
    assert load(p, None, "--timezone", "Europe/Rome").forecasts["ds"].tolist() == [
        pd.Timestamp("2024-03-31"),
        pd.Timestamp("2024-04-07"),
    ]
    assert (
        refused(p, None, "--timezone", "Mars/Olympus")
        == "--timezone 'Mars/Olympus': unknown time zone (use a name such as Europe/Rome or UTC)"
    )
    zoned = pd.DataFrame(
        {"unique_id": ["A"], "ds": pd.DatetimeIndex(["2024-01-01 00:00"]).tz_localize("Europe/Rome"), "M": [1.0]}
    )
    got = load(to_file(zoned, tmp_path / "z.parquet", "parquet"))
    assert (
        got.forecasts["ds"].tolist() == [pd.Timestamp("2024-01-01")]
        and str(got.forecasts["ds"].dtype) == "datetime64[ns]"
    )


def test_observed_ids_and_dates_are_checked_against_the_forecasts(tmp_path):
    pred, obs = frames("monthly")
    history = obs[obs["ds"] < pred["ds"].min()]
    got = load(
        *write(
            tmp_path,
            pred=pred,
            obs=history[history["unique_id"] != "Total"].assign(
                unique_id=lambda f: f["unique_id"].str.replace("Italia", "Italy")
            ),
        )
    )
    assert got.notes == [
        "obs.csv: no observed values for 12 forecast ids ('Italia', 'Italia/Lazio', 'Italia/Lazio/Latina' and 9 more)",
        "obs.csv: 11 ids without forecasts left aside ('Italy', 'Italy/Lazio', 'Italy/Lazio/Latina' and 8 more)",
        "obs.csv: no observed value falls on a forecast date, so there are no residuals",
    ]


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "the file is empty"),
        (b" \n\n", "the file is empty"),
        (b"unique_id,ds,y\n", "no rows, only the header"),
        (
            b"unique_id,ds,y\nA,2024-01-01,1\nB,2024-01-01,1,7,8\n",
            r"cannot read the file as CSV \(Error tokenizing data. C error: Expected 3 fields in line 3, saw 5\s*\)",
        ),
        (
            b"unique_id,ds,y\nCitt\xe0,2024-01-01,1\n",
            r"not UTF-8 text \(byte 0xe0 at offset 19\): save the file as UTF-8",
        ),
        (b"PAR1\x00\x01garbage", r"cannot read the file as Parquet \(.*\)"),
        (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", r"a binary file, not CSV text or Parquet"),
        (gzip.compress(b"unique_id,ds,y\nA,2024-01-01,1\n")[:-9], r"cannot read the file.*"),
        ("\ufeffunique_id,ds,y\nA,2024-01-01,1\n".encode("utf-16"), None),
        (gzip.compress(b"unique_id;ds;y\nA;2024-01-01;1,5\n"), None),
    ],
)
def test_unreadable_files_are_refused_in_one_line(tmp_path, content, message):
    path = tmp_path / "obs.csv"
    path.write_bytes(content)
    (tmp_path / "p.csv").write_text("unique_id,ds,M\nA,2024-01-01,1\n")
    if message is None:
        got = load(tmp_path / "p.csv", path)
        assert got.observed["y"].iloc[0] in (1.0, 1.5) and got.observed["id"].tolist() == ["A"]
    else:
        assert re.fullmatch(re.escape(f"{path}: ") + message, refused(tmp_path / "p.csv", path))


def test_folders_missing_files_and_archives(tmp_path):
    assert refused(tmp_path) == (
        f"{tmp_path}: a folder holding no Parquet files (0 other files); give a file, or a "
        "folder or pattern of Parquet part files"
    )
    assert refused(tmp_path / "nope.csv") == f"{tmp_path / 'nope.csv'}: no such file"
    with zipfile.ZipFile(tmp_path / "book.xlsx", "w") as z:
        z.writestr("xl/workbook.xml", "<workbook/>")
    assert (
        refused(tmp_path / "book.xlsx")
        == f"{tmp_path / 'book.xlsx'}: an Excel workbook, not a CSV or Parquet file: save the sheet as CSV"
    )
    with zipfile.ZipFile(tmp_path / "two.zip", "w") as z:
        z.writestr("a.csv", "x")
        z.writestr("b.csv", "y")
    assert (
        refused(tmp_path / "two.zip")
        == f"{tmp_path / 'two.zip'}: a zip archive holding 2 files: give the one file to read"
    )
    with zipfile.ZipFile(tmp_path / "one.zip", "w") as z:
        z.writestr("p.csv", "unique_id,ds,M\nA,2024-01-01,1\n")
    assert load(tmp_path / "one.zip").forecasts["mean"].tolist() == [1.0]
    (tmp_path / "p.parquet").write_text("unique_id,ds,M\n")
    assert (
        refused(tmp_path / "p.parquet")
        == f"{tmp_path / 'p.parquet'}: not a Parquet file (it does not start with the Parquet mark)"
    )


def test_missing_columns_name_close_matches_and_the_columns_present(tmp_path):
    (tmp_path / "p.csv").write_text("Unique_ID;Ds;AutoETS\nA;2024-01-01;1\n")
    assert refused(tmp_path / "p.csv") == (
        f"{tmp_path / 'p.csv'}: missing columns 'unique_id' (close: 'Unique_ID'), 'ds' (close: 'Ds') "
        "(columns present: Unique_ID, Ds, AutoETS); or name them with --id-col/--date-col"
    )
    (tmp_path / "p.csv").write_text("unique_id,ds\nA,2024-01-01\n")
    assert (
        refused(tmp_path / "p.csv")
        == f"{tmp_path / 'p.csv'}: no model columns beside 'unique_id' and 'ds' (columns present: unique_id, ds)"
    )


def test_separator_is_found_from_the_rows_not_guessed_from_the_header(tmp_path):
    # Quoted commas in ids, a semicolon inside a quoted id: only the comma splits every row alike.
    (tmp_path / "p.csv").write_text('unique_id,ds,M\n"Roma, centro",2024-01-01,1.5\n"a;b",2024-01-01,2\n')
    assert load(tmp_path / "p.csv").forecasts["id"].tolist() == ["Roma, centro", "a;b"]
    (tmp_path / "p.csv").write_text("unique_id;ds;M;M-lo-95;M-hi-95\nA;2024-01-01;1.234,5;1.000,25;2.000\n")
    assert load(tmp_path / "p.csv").forecasts[["mean", "lo", "hi"]].values.tolist() == [[1234.5, 1000.25, 2000.0]]
    # A decimal comma first seen beyond the sampled head of the file.
    rows = (
        "".join(f"A;{d.date()};{i}\n" for i, d in enumerate(pd.date_range("2000-01-01", periods=300)))
        + "A;2024-01-01;2,5\n"
    )
    (tmp_path / "p.csv").write_text("unique_id;ds;M\n" + rows)
    assert load(tmp_path / "p.csv").forecasts["mean"].iloc[-1] == 2.5


# ------------------------------------------------------------------------------------------------
# Parquet datasets as distributed pipelines write them


def dataset_variants(folder, pred):
    """The forecasts written as a folder or pattern of part files, as several writers do."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    out = {}
    parts = folder / "pandas"
    parts.mkdir()
    for k, chunk in enumerate(np.array_split(np.arange(len(pred)), 3)):
        pred.iloc[chunk].to_parquet(parts / f"part-{k:05d}.parquet", index=False)
    (parts / "_SUCCESS").write_text("")  # as Spark leaves it
    (parts / ".part-00000.parquet.crc").write_bytes(b"crc")
    out["folder"] = parts
    out["pattern"] = str(parts / "part-*.parquet")
    table = pa.Table.from_pandas(pred, preserve_index=False)
    typed = folder / "typed"
    typed.mkdir()
    # Dictionary-encoded and large strings, timestamps in ms with a zone, in two parts.
    table = table.set_column(0, "unique_id", table.column("unique_id").dictionary_encode())
    zoned = table.set_column(1, "ds", table.column("ds").cast(pa.timestamp("ms", tz="UTC")))
    pq.write_table(zoned.slice(0, 100), typed / "a.parquet")
    large = zoned.set_column(0, "unique_id", zoned.column("unique_id").cast(pa.string()).cast(pa.large_string()))
    pq.write_table(large.slice(100), typed / "b.parquet")
    out["typed"] = typed
    hive = folder / "hive"
    pq.write_to_dataset(
        pa.Table.from_pandas(pred.assign(part=pred.index % 2), preserve_index=False), hive, partition_cols=["part"]
    )
    out["hive"] = hive
    return out


def test_parquet_datasets_read_as_the_one_file(tmp_path):
    pred, obs = frames("monthly")
    one, obs_path = write(tmp_path, "monthly", fmt="parquet")
    expected = load(one, obs_path)
    for name, source in dataset_variants(tmp_path, pred).items():
        got = load(source, obs_path, "--use-case", "pred", *(["--timezone", "UTC"] if name == "typed" else []))
        assert_same(got, expected)
        if name == "hive":  # the partition column is a column like any other: not a model
            assert got.models == expected.models and not any("part" in n for n in got.notes)
    assert refused(tmp_path / "pandas" / "nothing-*.parquet").endswith(": no file matches the pattern")
    (tmp_path / "csvs").mkdir()
    to_file(pred, tmp_path / "csvs" / "a.csv")
    assert refused(tmp_path / "csvs").endswith(
        ": a folder holding no Parquet files (1 other files); give a file, or a folder or pattern of Parquet part files"
    )


@pytest.mark.parametrize(
    "column",
    [
        np.tile(pd.date_range("2024-01-01", periods=5).to_numpy(), 4),  # series after series
        np.tile(np.array([3, 1, 2, 1], dtype=np.int64), 3),  # a run repeating a value of its own
        np.tile(np.array(["2024-01-02", "NaT", "2024-01-01"], dtype="datetime64[ns]"), 2),
        np.append(np.tile(np.arange(4), 3), [0, 1, 2, 5]),  # the last run differs
        np.append(np.tile(np.arange(4), 3), [0, 1]),  # a short last run
        np.arange(7),  # one run
        np.array([5, 5, 5, 5]),
    ],
)
def test_dates_are_factorised_as_pandas_does_whether_or_not_they_repeat_one_run(column):
    from sorvani_kb.datavisualization.report.inputs.dates import _factorize

    codes, uniques = _factorize(pd.Series(column))
    want_codes, want_uniques = pd.factorize(pd.Series(column))
    np.testing.assert_array_equal(codes, want_codes)
    np.testing.assert_array_equal(np.asarray(uniques), np.asarray(want_uniques))


def _long_history(n_ids=6, n_t=9):
    """A full id x date grid of observed values, series after series in id order, with one
    missing value and one infinity."""
    ids = [f"Italia/R{k}" for k in range(n_ids - 1)] + ["Italia"]
    rows = pd.DataFrame(
        {
            "unique_id": np.repeat(sorted(ids), n_t),
            "ds": np.tile(pd.date_range("2024-01-01", periods=n_t, freq="D"), n_ids),
            "y": np.arange(n_ids * n_t, dtype=float),
        }
    )
    rows.loc[4, "y"], rows.loc[20, "y"] = np.nan, np.inf
    pred = rows.groupby("unique_id").tail(2).rename(columns={"y": "M"})
    return pred.reset_index(drop=True), rows


def test_observed_rows_in_any_order_give_the_same_frame_and_notes(tmp_path):
    pred, obs = _long_history()
    pred.to_parquet(tmp_path / "pred.parquet")
    runs = obs.groupby("unique_id", sort=False)
    by_series = pd.concat([runs.get_group(k) for k in reversed(list(runs.groups))])  # series after series
    variants = {"sorted": obs, "series": by_series, "rows": obs.sample(frac=1.0, random_state=3)}
    got = {}
    for name, frame in variants.items():
        frame.to_parquet(tmp_path / f"{name}.parquet", index=False)
        got[name] = load(tmp_path / "pred.parquet", tmp_path / f"{name}.parquet")
    first_rows = {}
    for name, report in got.items():  # the notes name the first row as written, which differs
        first_rows[name] = [re.sub(r"row \d+", "row N", n) for n in report.notes]
        report.notes = first_rows[name]
    for name in ("series", "rows"):
        assert_same(got["sorted"], got[name])
    observed = got["series"].observed
    assert observed["y"].isna().sum() == 2  # the infinity is no value either
    np.testing.assert_array_equal(observed["y"].to_numpy()[6:9], [6.0, 7.0, 8.0])
    assert first_rows["series"] == [
        "series.parquet: 2 missing observed values in 2 ids ('Italia', 'Italia/R1'), first on row N"
    ]


def test_observed_runs_with_a_gap_or_a_repeat_are_read_or_refused_as_any_rows(tmp_path):
    pred, obs = _long_history()
    pred.to_parquet(tmp_path / "pred.parquet")
    repeat = obs.copy()
    repeat.loc[10, "ds"] = repeat.loc[11, "ds"]  # as many rows as the grid, but one id and date twice
    repeat.to_parquet(tmp_path / "repeat.parquet", index=False)
    message = refused(tmp_path / "pred.parquet", tmp_path / "repeat.parquet")
    assert re.search(r"2 rows for id 'Italia/R0' and date 2024-01-03 \(rows 11, 12\)", message), message
    gap = obs.drop(index=30)
    gap.to_parquet(tmp_path / "gap.parquet", index=False)
    got = load(tmp_path / "pred.parquet", tmp_path / "gap.parquet")
    assert len(got.observed) == len(obs) - 1
    key = got.observed["id"].astype(str) + got.observed["ds"].astype(str)
    assert key.is_unique and (got.observed["id"].cat.codes.diff().fillna(0) >= 0).all()


def test_the_observed_matrix_of_a_full_grid_is_its_values_and_else_built_from_the_rows(tmp_path):
    from sorvani_kb.datavisualization.report.inputs.hierarchy import observed_matrix

    pred, obs = _long_history(n_ids=4, n_t=7)
    pred.to_parquet(tmp_path / "pred.parquet")
    for name, frame in (("full", obs), ("gap", obs.drop(index=[3, 15]))):
        frame.to_parquet(tmp_path / f"{name}.parquet", index=False)
        got = load(tmp_path / "pred.parquet", tmp_path / f"{name}.parquet").observed
        ids = np.asarray(got["id"].cat.categories, dtype=object)
        dates = np.sort(got["ds"].unique())
        want = got.pivot(index="id", columns="ds", values="y").reindex(index=ids, columns=dates).to_numpy()
        for limit in (3, 100):
            np.testing.assert_array_equal(observed_matrix(got, ids, limit, dates=dates), want[:, -limit:])
            np.testing.assert_array_equal(observed_matrix(got, ids, limit), want[:, -limit:])


def test_rows_are_permuted_in_place_as_fancy_indexing_would():
    from sorvani_kb.datavisualization.report.inputs.grid import _permute_rows

    rng = np.random.default_rng(5)
    for n in (1, 2, 7, 50):
        rows = rng.normal(size=(n, 3))
        order = rng.permutation(n)
        want = rows[order]
        _permute_rows(rows, order)
        np.testing.assert_array_equal(rows, want)


@pytest.mark.parametrize("cores", [1, 2, 3])  # row groups read in this thread, or shared by two
def test_parquet_number_and_time_columns_read_by_row_group_equal_arrows_conversion(tmp_path, monkeypatch, cores):
    import pyarrow as pa
    import pyarrow.parquet as pq

    from sorvani_kb.datavisualization.report.inputs import sources
    from sorvani_kb.datavisualization.report.inputs.sources import _fixed_width_column

    monkeypatch.setattr(sources, "_cores", lambda: cores)

    n = 1000
    table = pa.table(
        {
            "y": pa.array([None if k % 97 == 0 else k / 7 for k in range(n)], pa.float64()),
            "ds": pa.array([None if k % 89 == 0 else k * 86_400 * 10**9 for k in range(n)], pa.timestamp("ns")),
            "us": pa.array(range(n), pa.timestamp("us")),
            "zoned": pa.array(range(n), pa.timestamp("ns", tz="UTC")),
            "f32": pa.array(range(n), pa.float32()),
        }
    )
    pq.write_table(table, tmp_path / "t.parquet", row_group_size=128, version="2.6")  # nanoseconds kept
    for col in ("y", "ds"):
        got = _fixed_width_column(str(tmp_path / "t.parquet"), col)
        want = table.column(col).to_pandas().to_numpy()
        np.testing.assert_array_equal(got, want)
        assert got.dtype == want.dtype
    for col in ("us", "zoned", "f32"):  # left to Arrow's own conversion
        assert _fixed_width_column(str(tmp_path / "t.parquet"), col) is None


@pytest.mark.parametrize("cores", [1, 2])
def test_parquet_text_ids_read_by_row_group_as_the_ids_of_the_text(tmp_path, monkeypatch, cores):
    import pyarrow as pa
    import pyarrow.parquet as pq

    from sorvani_kb.datavisualization.report.inputs import columns, sources
    from sorvani_kb.datavisualization.report.inputs.sources import _dictionary_column

    monkeypatch.setattr(sources, "_cores", lambda: cores)

    rng = np.random.default_rng(5)
    names = np.array(
        ["Italia/Nord", "Italia", " Italia/Sud ", "Ísola", "Italia/Nord/Milano", "b", "a", ""], dtype=object
    )
    ids = names[rng.integers(0, len(names), 3000)]
    ids[rng.integers(0, 3000, 40)] = None
    ids[:700] = "b"  # row groups whose dictionaries hold different ids, in different orders
    path = str(tmp_path / "ids.parquet")
    for kind in (pa.string(), pa.large_string()):
        pq.write_table(pa.table({"unique_id": pa.array(ids, kind), "k": np.arange(3000)}), path, row_group_size=256)
        got = _dictionary_column(path, "unique_id")
        assert list(got.categories) == sorted(set(ids) - {None})
        assert got.isna().sum() == sum(v is None for v in ids) > 0
        assert [None if pd.isna(v) else v for v in got] == list(ids)
        codes, distinct = columns.read_ids(pd.Series(got), own=True)
        want_codes, want = columns.read_ids(pd.Series(ids, dtype=object))
        np.testing.assert_array_equal(codes, want_codes)
        assert list(distinct) == list(want)  # stripped and merged ("Italia/Sud"), "" and None missing
    assert _dictionary_column(path, "k") is None  # not text: Arrow's own conversion
    pq.write_table(pa.table({"unique_id": pa.array([], pa.string())}), path)
    assert _dictionary_column(path, "unique_id") is None  # no row group


def test_window_dates_numbered_by_a_table_as_np_unique_numbers_them():
    from sorvani_kb.datavisualization.report.inputs.forecasts import _dense_unique

    rng = np.random.default_rng(2)
    for keys, n in (
        (rng.integers(0, 40, 500), 40),  # dense: the table
        (rng.choice([3, 17, 39], 200), 40),  # keys missing from the range
        (rng.integers(0, 10**9, 300), 10**9),  # sparse: the sort
        (np.array([], dtype=np.int64), 5),
    ):
        used, rank = _dense_unique(keys, n)
        want_used, want_rank = np.unique(keys, return_inverse=True)
        np.testing.assert_array_equal(used, want_used)
        np.testing.assert_array_equal(rank, want_rank.ravel())


def test_ids_renumbered_in_place_only_when_the_column_is_the_readers_own():
    from sorvani_kb.datavisualization.report.inputs.columns import read_ids

    # enough ids for 4-byte codes, the width they are renumbered in (fewer are cast, so copied)
    categories = [f"Italia/{k}" for k in range(40_000, 0, -1)]
    rng = np.random.default_rng(4)
    codes_in = rng.integers(-1, len(categories), 5_000).astype(np.int32)
    column = pd.Series(pd.Categorical.from_codes(codes_in, categories=categories))
    assert column.array.codes.dtype == np.int32
    names = np.where(codes_in >= 0, np.asarray(categories, dtype=object)[codes_in], None)
    for own in (False, True):
        series = pd.Series(column.array.copy()) if own else column
        codes, ids = read_ids(series, own=own)
        assert list(ids) == sorted(categories) and np.shares_memory(codes, series.array.codes) == own
        np.testing.assert_array_equal(np.where(codes >= 0, ids[codes], None), names)
    np.testing.assert_array_equal(column.array.codes, codes_in)  # a caller's column is left as it was


def test_widest_bounds_are_views_of_the_frame_and_the_columns_read_are_let_go(tmp_path):
    from sorvani_kb.datavisualization.report.inputs import _read, prediction_layout
    from sorvani_kb.datavisualization.report.inputs.forecasts import forecast_frame

    rows = pd.DataFrame(
        {
            "unique_id": np.repeat(["Italia", "Italia/a"], 3),
            "ds": np.tile(pd.date_range("2024-01-01", periods=3), 2),
            "y": np.arange(6.0),
        }
    )
    for m, shift in (("A", 0.0), ("B", 10.0)):
        rows[m] = rows["y"] + shift
        for lv, w in ((80, 1.0), (95, 2.0)):
            rows[f"{m}-lo-{lv}"], rows[f"{m}-hi-{lv}"] = rows[m] - w, rows[m] + w
    rows.loc[4, "B-lo-80"] = np.nan
    rows.to_parquet(tmp_path / "pred.parquet")
    pred = _read(str(tmp_path / "pred.parquet"), "forecasts", inputs.Options(), prediction_layout)
    frame, cells, _, bands, _ = forecast_frame("pred.parquet", pred, pred.layout.models, "datetime", [])
    assert list(pred.values) == ["y"]  # each model column went once the frame had it
    n = cells.size
    for i, m in enumerate(("A", "B")):
        lo95, hi95 = bands[m][95]
        assert np.shares_memory(lo95, frame["lo"].to_numpy()) and not lo95.flags.writeable
        np.testing.assert_array_equal(lo95, frame["lo"].to_numpy()[i * n : (i + 1) * n])
        np.testing.assert_array_equal(hi95, rows[m + "-hi-95"].to_numpy())
        want_lo80 = rows[m + "-lo-80"].to_numpy()
        np.testing.assert_array_equal(bands[m][80][0], want_lo80)
        assert not np.shares_memory(bands[m][80][0], frame["lo"].to_numpy())


def test_a_parquet_file_is_read_a_column_at_a_time_as_the_whole_read_gives_it(tmp_path):
    from sorvani_kb.datavisualization.report.inputs.sources import column_reader, open_source, read_columns

    pred, _ = _long_history(n_ids=3, n_t=4)
    pred.to_parquet(tmp_path / "p.parquet", index=False)
    pred.to_csv(tmp_path / "p.csv", index=False)
    for name in ("p.parquet", "p.csv"):
        src = open_source(str(tmp_path / name))
        whole = read_columns(src, ["unique_id", "ds", "M"], ids=["unique_id"], dates=["ds"], numbers=["M"])
        taken = column_reader(src, ["unique_id", "ds", "M"], ids=["unique_id"], dates=["ds"], numbers=["M"])
        assert len(taken) == len(whole) == len(pred)
        for col in ("unique_id", "ds", "M"):
            pd.testing.assert_series_equal(taken.pop(col), whole[col])
