"""No file a user can give makes the report command end in a traceback: it writes the report, or
refuses in one line on stderr with exit status 2 and writes nothing."""

import contextlib
import io
import os
import shutil
import tempfile
import warnings

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sorvani_kb.datavisualization.report import main

# Kept small: the suite runs on several interpreters. SORVANI_FUZZ_EXAMPLES raises it for a long run.
EXAMPLES = int(os.environ.get("SORVANI_FUZZ_EXAMPLES", "60"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    derandomize="SORVANI_FUZZ_EXAMPLES" not in os.environ,
)

IDS = [
    "Italia",
    "Italia/A",
    "Italia/A/x",
    "Italia/B",
    "Total",
    "Total/B",
    "007",
    "7",
    "NA",
    "",
    " ",
    "a,b",
    'q"uote',
    "Città/Ünï",
    "/",
    "Italia//A",
]
DATES = [
    "2024-01-01",
    "2024-01-08",
    "2024-01-15",
    "01/02/2024",
    "13/02/2024",
    "02/13/2024",
    "2024-01-01T00:00+01:00",
    "2024-01-01T00:00Z",
    "1",
    "2",
    "-3",
    "2.5",
    "20240101",
    "",
    "NaT",
    "soon",
    "2024-02-30",
    "3021-01-01",
    "99999999999999999999",
    "2024/01/01",
    "Jan 2024",
    "1e3",
    "inf",
    "0x10",
]
NUMBERS = [
    "1",
    "2.5",
    "-3",
    "1e308",
    "1e999",
    "",
    "NA",
    "n/a",
    "null",
    "nan",
    "inf",
    "-inf",
    "1,5",
    "1.234,5",
    "abc",
    "0x1F",
    " 4 ",
    "True",
]
HEADERS = [
    "unique_id",
    "ds",
    "y",
    "M",
    "M-lo-95",
    "M-hi-95",
    "M-lo-80",
    "Other/Model-x",
    "id",
    "date",
    "mean",
    "lower",
    "upper",
    "value",
    "",
    "ds",
]
SEPS = [",", ";", "\t", "|"]


@st.composite
def csv_bytes(draw, header):
    """A CSV file: a header drawn around `header`, rows of drawn cells, maybe a broken byte or two."""
    cols = draw(st.lists(st.sampled_from(HEADERS), max_size=3)) + header
    cols = draw(st.permutations(cols)) if draw(st.booleans()) else cols
    sep = draw(st.sampled_from(SEPS))
    cell = st.one_of(
        st.sampled_from(IDS),
        st.sampled_from(DATES),
        st.sampled_from(NUMBERS),
        st.text(st.characters(blacklist_categories=("Cs",)), max_size=6),
    )
    n = draw(st.integers(0, 8))
    rows = []
    for _ in range(n):
        width = len(cols) + draw(st.sampled_from([0, 0, 0, 0, -1, 1]))
        row = []
        for c in cols[: max(width, 0)] + ["x"] * max(width - len(cols), 0):
            pool = IDS if c in ("unique_id", "id") else DATES if c in ("ds", "date") else NUMBERS
            row.append(draw(st.one_of(st.sampled_from(pool), cell)) if draw(st.integers(0, 9)) else draw(cell))
        rows.append(sep.join(row))
    text = "\n".join([sep.join(cols)] + rows) + draw(st.sampled_from(["\n", "", "\r\n", "\n\n"]))
    data = text.encode(draw(st.sampled_from(["utf-8", "utf-8", "utf-8-sig", "latin-1", "utf-16"])), errors="replace")
    if data and draw(st.integers(0, 4)) == 0:  # a stray byte somewhere
        at = draw(st.integers(0, len(data)))
        data = data[:at] + draw(st.binary(min_size=1, max_size=3)) + data[at:]
    if data and draw(st.integers(0, 6)) == 0:
        data = data[: draw(st.integers(0, len(data)))]
    return data


@st.composite
def parquet_frames(draw, names):
    n = draw(st.integers(0, 6))
    columns = {}
    for name in names + draw(st.lists(st.sampled_from(HEADERS[:8]), max_size=2, unique=True)):
        kind = draw(
            st.sampled_from(["text", "int", "float", "float32", "bool", "date", "zoned", "category", "null", "mixed"])
        )
        if kind == "text":
            values = draw(st.lists(st.sampled_from(IDS + DATES + NUMBERS), min_size=n, max_size=n))
        elif kind == "int":
            values = draw(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=n, max_size=n))
        elif kind == "float":
            values = np.array(draw(st.lists(st.floats(), min_size=n, max_size=n)), dtype="float64")
        elif kind == "float32":
            values = np.array(draw(st.lists(st.floats(width=32), min_size=n, max_size=n)), dtype="float32")
        elif kind == "bool":
            values = draw(st.lists(st.booleans(), min_size=n, max_size=n))
        elif kind in ("date", "zoned"):
            values = pd.to_datetime(
                draw(
                    st.lists(
                        st.datetimes(
                            min_value=pd.Timestamp("1700-01-01").to_pydatetime(),
                            max_value=pd.Timestamp("2200-01-01").to_pydatetime(),
                        ),
                        min_size=n,
                        max_size=n,
                    )
                )
            )
            if kind == "zoned":
                values = values.tz_localize(
                    draw(st.sampled_from(["UTC", "Europe/Rome"])), ambiguous="NaT", nonexistent="NaT"
                )
        elif kind == "category":
            values = pd.Categorical(draw(st.lists(st.sampled_from(IDS), min_size=n, max_size=n)))
        elif kind == "null":
            values = [None] * n
        else:
            values = draw(
                st.lists(st.one_of(st.none(), st.integers(0, 9), st.sampled_from(NUMBERS)), min_size=n, max_size=n)
            )
            values = [str(v) if v is not None else None for v in values]
        columns[name] = values
    return pd.DataFrame(columns)


def command(args, folder):
    """Runs the command in-process; returns (status, stderr) and checks the one-line rule."""
    out, err = io.StringIO(), io.StringIO()
    report = os.path.join(folder, "r.html")
    with open(report, "w") as fh:
        fh.write("old report")
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), warnings.catch_warnings():
        warnings.simplefilter("error")
        status = main(args + ["-o", report, "--quiet"], prog="report")
    text = err.getvalue()
    if status == 2:
        assert text.count("\n") == 1 and text.startswith("report: error: ") and out.getvalue() == "", text
        with open(report) as fh:
            assert fh.read() == "old report"
        assert not [n for n in os.listdir(folder) if n.startswith(".r.html")]  # no temporary file left
    else:
        assert status == 0 and all(line.startswith("report: note: ") for line in text.splitlines()), text
    return status, text


@contextlib.contextmanager
def folder():
    path = tempfile.mkdtemp()
    try:
        yield path
    finally:
        shutil.rmtree(path)


OPTIONS = st.lists(
    st.sampled_from(
        [
            ["--date-format", "%d/%m/%Y"],
            ["--date-format", "%Y-%m-%d %z"],
            ["--date-format", "%s"],
            ["--date-format", "%Y%m%d"],
            ["--timezone", "Europe/Rome"],
            ["--timezone", "UTC"],
            ["--model", "M"],
            ["--mean-col", "M"],
            ["--obs-value-col", "y"],
        ]
    ),
    max_size=2,
)


@FUZZ
@given(pred=csv_bytes(["unique_id", "ds", "M"]), obs=st.none() | csv_bytes(["unique_id", "ds", "y"]), options=OPTIONS)
def test_malformed_csv_never_ends_in_a_traceback(pred, obs, options):
    with folder() as d:
        with open(os.path.join(d, "pred.csv"), "wb") as fh:
            fh.write(pred)
        args = [os.path.join(d, "pred.csv")]
        if obs is not None:
            with open(os.path.join(d, "obs.csv"), "wb") as fh:
                fh.write(obs)
            args += ["--observed", os.path.join(d, "obs.csv")]
        status, err = command(args + [a for option in options for a in option], d)
        if status == 2:
            assert os.path.join(d, "") in err or "--" in err  # names the file (or the option)


@FUZZ
@given(pred=parquet_frames(["unique_id", "ds", "M"]), obs=st.none() | parquet_frames(["unique_id", "ds", "y"]))
def test_odd_parquet_columns_never_end_in_a_traceback(pred, obs):
    with folder() as d:
        args = [os.path.join(d, "pred.parquet")]
        pred.to_parquet(args[0], index=False)
        if obs is not None:
            obs.to_parquet(os.path.join(d, "obs.parquet"), index=False)
            args += ["--observed", os.path.join(d, "obs.parquet")]
        command(args, d)
