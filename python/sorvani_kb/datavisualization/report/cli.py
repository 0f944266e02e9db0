"""The forecast report: one self-contained HTML page holding the figures of plotPrediction.

    python -m sorvani_kb.datavisualization                       # the shipped sample
    python -m sorvani_kb.datavisualization preds.csv --observed obs.csv -o report.html

The page shows the forecast of each series, the hierarchy overlay and the sum check of the chosen
members, and the residual diagnostics wherever observed values fall on forecast dates. plotly.js
is embedded once, so the page opens offline. Bad input ends the run with a one-line message and
exit status 2, and leaves no report behind.
"""

from __future__ import annotations

import argparse
import contextlib
import html
import os
import sys
import tempfile
from dataclasses import dataclass, field
from importlib import resources

import numpy as np
import pandas as pd

SAMPLE_USE_CASE = "ordini"
MIN_RESIDUALS = 2  # observed forecast dates an id needs for its residual figures


class InputError(Exception):
    """Input the report cannot use; the message is one line naming the file."""


@dataclass
class Section:
    key: str
    heading: str
    text: str
    figures: list = field(default_factory=list)  # (caption, html of the figure)


def build_parser(prog=None):
    p = argparse.ArgumentParser(
        prog=prog,
        description="Writes one self-contained HTML page of forecast figures: the forecast of each series, "
        "the hierarchy overlay and sum check of chosen members, and residual diagnostics where observed "
        "values are given. Without a prediction file it uses the shipped sample.",
        epilog="Files ending in .parquet or .pq are read as Parquet (needs pyarrow), all others as CSV. "
        "The ids are hierarchy paths with levels separated by '/', such as Italia/Lazio/Roma.",
    )
    p.add_argument("predictions", nargs="?", metavar="PREDICTIONS", help="prediction file: one row per id and forecast date")
    p.add_argument("--observed", metavar="FILE", help="observed-value file: past values and, for residuals, values on forecast dates")
    p.add_argument("-o", "--output", default="report.html", metavar="PATH", help="report to write (default: %(default)s)")
    p.add_argument("--use-case", metavar="LABEL", help=f"label put into the figure titles (default: {SAMPLE_USE_CASE!r} for the sample, else the prediction file's name)")
    p.add_argument("--ids", nargs="+", metavar="ID", help="series whose forecast and residual figures to draw (default: all)")
    p.add_argument("--members", nargs="*", metavar="ID", help="members whose hierarchy overlay and sum check to draw; none with an empty list (default: every member at most one level below the top that has sub-members)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar (it shows only on a terminal anyway)")
    g = p.add_argument_group("prediction columns")
    for name, default, what in (("id", "id", "series id"), ("date", "date", "forecast date"), ("mean", "mean", "point forecast"), ("lower", "lower", "interval lower bound"), ("upper", "upper", "interval upper bound")):
        g.add_argument(f"--{name}-col", default=default, metavar="NAME", help=f"{what} (default: %(default)s)")
    g = p.add_argument_group("observed-value columns")
    for name, default, what in (("id", "id", "series id"), ("date", "date", "date"), ("value", "value", "observed value")):
        g.add_argument(f"--obs-{name}-col", default=default, metavar="NAME", help=f"{what} (default: %(default)s)")
    return p


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def read_table(path, columns):
    """The frame of a CSV or Parquet file holding at least `columns`."""
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file")
    try:
        if path.lower().endswith((".parquet", ".pq")):
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                raise InputError(f"{path}: reading Parquet needs pyarrow (pip install 'sorvani_kb[parquet]')") from None
            frame = pd.read_parquet(path)
        else:
            frame = pd.read_csv(path)
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise InputError(f"{path}: cannot read the file ({_one_line(exc)})") from None
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        names = ", ".join(repr(c) for c in missing)
        present = ", ".join(str(c) for c in frame.columns)
        raise InputError(f"{path}: missing column{'s' if len(missing) > 1 else ''} {names} (columns present: {present})")
    return frame


def typed(frame, path, ident, date, numbers):
    """Ids as text, dates as datetimes, `numbers` as floats; a clear error where a value is none of these."""
    frame = frame.copy()
    frame[ident] = frame[ident].astype(str)
    try:
        frame[date] = pd.to_datetime(frame[date])
    except (ValueError, TypeError) as exc:
        raise InputError(f"{path}: column {date!r} does not hold dates ({_one_line(exc)})") from None
    for col in numbers:
        values = pd.to_numeric(frame[col], errors="coerce")
        bad = values.isna() & frame[col].notna()
        if bad.any():
            raise InputError(f"{path}: column {col!r} does not hold numbers (row {int(np.argmax(bad.to_numpy())) + 1}: {frame[col][bad].iloc[0]!r})")
        frame[col] = values.astype(float)
    return frame


def hierarchy_order(frame, ident, date):
    """The rows regrouped into one block per id, each aggregate before its sub-members, members in
    order of first appearance, dates ascending within a block; row labels 0..n-1."""
    ids = list(pd.unique(frame[ident]))
    first = {}
    for pos, value in enumerate(ids):
        parts = value.split("/")
        for depth in range(1, len(parts) + 1):
            first.setdefault("/".join(parts[:depth]), pos)
    key = {value: tuple(first["/".join(value.split("/")[:d])] for d in range(1, value.count("/") + 2)) for value in ids}
    rank = {value: r for r, value in enumerate(sorted(ids, key=key.__getitem__))}
    order = np.lexsort((frame[date].to_numpy(), frame[ident].map(rank).to_numpy()))
    return frame.iloc[order].reset_index(drop=True)


def _listing(values, limit=8):
    values = [str(v) for v in values]
    return ", ".join(values[:limit]) + (f", ... ({len(values)} in all)" if len(values) > limit else "")


def direct_members(ids, member):
    return [i for i in ids if i.startswith(member + "/") and i.count("/") == member.count("/") + 1]


def choose(ids, wanted, members, path):
    """The ids to draw and the hierarchy members to draw, checked against the ids of the file."""
    known = set(ids)
    for value in wanted or ():
        if value not in known:
            raise InputError(f"{path}: unknown id {value!r} (ids present: {_listing(ids)})")
    if members is None:
        members = [i for i in ids if i.count("/") <= 1 and direct_members(ids, i)]
    for value in members:
        if value not in known:
            raise InputError(f"{path}: unknown member {value!r} (ids present: {_listing(ids)})")
        if not direct_members(ids, value):
            raise InputError(f"{path}: member {value!r} has no sub-members to draw")
    return list(wanted or ids), list(members)


def observed_on_forecast_dates(pred, obs, cols):
    """For each forecast row (same row labels), the id and the value observed on its date, if any."""
    right = obs[[cols.obs_id_col, cols.obs_date_col, cols.obs_value_col]].drop_duplicates([cols.obs_id_col, cols.obs_date_col], keep="last")
    right.columns = ["_id", "_date", "value"]
    merged = pred[[cols.id_col, cols.date_col]].merge(right, how="left", left_on=[cols.id_col, cols.date_col], right_on=["_id", "_date"])
    return pd.DataFrame({"id": pred[cols.id_col].to_numpy(), "value": merged["value"].to_numpy()}, index=pred.index)


def _date_text(value):
    value = pd.Timestamp(value)
    return value.date().isoformat() if value == value.normalize() else value.isoformat(sep=" ")


def build_sections(pred, obs, cols, use_case, ids, members, residuals, progress):
    """The report's sections, each with the HTML of its figures; `residuals` is what residual_frames
    gives, or None; `progress` is called once per figure."""
    import matplotlib.pyplot as plt
    import plotly.io as pio

    from .. import plotPrediction as pp

    plotter = pp.plotPrediction(cols.id_col, cols.date_col, cols.mean_col, cols.lower_col, cols.upper_col, use_case)
    count = [0]

    def add(section, caption, fig):
        div = pio.to_html(fig, full_html=False, include_plotlyjs=False, div_id=f"plot-{count[0]}", default_height="500px")
        section.figures.append((caption, div))
        count[0] += 1
        progress()

    forecasts = Section("forecasts", "Forecasts", "One figure per series: the point forecast with its 95% prediction interval, "
                        "the observed values where given, and a dashed line where the forecast starts.")
    for ident in ids:
        start = pred.loc[pred[cols.id_col] == ident, cols.date_col].min()
        real = {} if obs is None else dict(df_real=obs, id_pred_real=cols.obs_id_col, data_real=cols.obs_date_col, target=cols.obs_value_col)
        (fig,) = plotter.plot_pred(pred, ident, confidence_interval=True, vertical_line=_date_text(start), **real)
        add(forecasts, ident, fig)
    overlay = Section("hierarchy", "Hierarchy", "For each chosen member, its forecast together with those of its direct sub-members.")
    sums = Section("sum-check", "Sum check", "For each chosen member, its forecast beside the sum of its direct sub-members' "
                   "forecasts, date by date: on a coherent forecast the two lines coincide.")
    for member in members:
        add(overlay, f"{member} and its direct sub-members", plotter.plot_hierarchical(pred, member))
    for member in members:
        add(sums, f"{member} against the sum of its direct sub-members", plotter.plot_sum_hierarchy(pred, member))
    sections = [forecasts] + ([overlay, sums] if members else [])
    if residuals is not None:
        res_pred, res_obs, res_ids = residuals
        section = Section("residuals", "Residuals", "Over the forecast dates with an observed value: a histogram of the forecast "
                          "minus the observed value, and a quantile-quantile plot of the observed value minus the forecast "
                          "against a normal distribution with the residuals' own spread.")
        for ident in res_ids:
            (fig,) = plotter.dist_residuals(res_pred, res_obs, "id", "value", ident)
            add(section, f"{ident}: residual distribution", fig)
            fig = plotter.plot_residuals(res_pred, res_obs, "id", "value", ident)
            plt.close("all")
            add(section, f"{ident}: quantile-quantile plot", fig)
        sections.append(section)
    return sections


def residual_frames(pred, obs, cols, ids):
    """The forecast rows that have an observed value, those values under the same row labels (columns
    id and value), and the ids among `ids` with enough of them for residual figures."""
    aligned = observed_on_forecast_dates(pred, obs, cols)
    keep = aligned["value"].notna().to_numpy()
    counts = aligned[keep].groupby("id").size()
    return pred[keep], aligned[keep], [i for i in ids if counts.get(i, 0) >= MIN_RESIDUALS]


PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
body {{ font-family: sans-serif; max-width: 1100px; margin: 0 auto; padding: 1em; color: #222; }}
nav a {{ margin-right: 1em; }}
.figure {{ margin: 1.5em 0; }}
</style>
<script type="text/javascript">window.PlotlyConfig = {{MathJaxConfig: 'local'}};</script>
<script type="text/javascript">{plotlyjs}</script>
</head>
<body>
<h1>{title}</h1>
<p>{intro}</p>
<nav>{nav}</nav>
{body}
</body>
</html>
"""


def render(title, intro, sections):
    from plotly.offline import get_plotlyjs

    esc = html.escape
    nav = "".join(f'<a href="#{s.key}">{esc(s.heading)}</a>' for s in sections)
    body, n = [], 0
    for s in sections:
        body.append(f'<section id="{s.key}">\n<h2>{esc(s.heading)}</h2>\n<p>{esc(s.text)}</p>')
        for caption, div in s.figures:
            body.append(f'<div class="figure" id="figure-{n}">\n<h3>{esc(caption)}</h3>\n{div}\n</div>')
            n += 1
        body.append("</section>")
    return PAGE.format(title=esc(title), intro=esc(intro), nav=nav, body="\n".join(body), plotlyjs=get_plotlyjs())


def write_atomic(path, text):
    """Writes `text` to a temporary file beside `path`, then moves it into place."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)), prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            fh.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def sample_files():
    """Paths of the shipped sample's prediction and observed-value files."""
    base = resources.files("sorvani_kb.datavisualization") / "sample"
    with resources.as_file(base / "predictions.csv") as pred, resources.as_file(base / "observed.csv") as obs:
        yield str(pred), str(obs)


def make_report(args, pred_path, obs_path, use_case):
    """Reads and checks the input, builds every figure and writes the report; returns its path."""
    out_dir = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(out_dir):
        raise InputError(f"{args.output}: the folder {out_dir} does not exist")
    pred_cols = [args.id_col, args.date_col, args.mean_col, args.lower_col, args.upper_col]
    pred = typed(read_table(pred_path, pred_cols), pred_path, args.id_col, args.date_col, pred_cols[2:])
    pred = hierarchy_order(pred, args.id_col, args.date_col)
    obs = None
    if obs_path is not None:
        obs_cols = [args.obs_id_col, args.obs_date_col, args.obs_value_col]
        obs = typed(read_table(obs_path, obs_cols), obs_path, args.obs_id_col, args.obs_date_col, obs_cols[2:])
    all_ids = list(pd.unique(pred[args.id_col]))
    ids, members = choose(all_ids, args.ids, args.members, pred_path)
    lengths = pred[args.id_col].value_counts()
    if members and lengths.nunique() > 1:
        raise InputError(f"{pred_path}: the hierarchy figures need as many forecast dates for every id "
                         f"({lengths.index[0]!r} has {lengths.iloc[0]}, {lengths.index[-1]!r} has {lengths.iloc[-1]})")
    residuals = None if obs is None else residual_frames(pred, obs, args, ids)
    total = len(ids) + 2 * len(members) + (0 if residuals is None else 2 * len(residuals[2]))
    from tqdm import tqdm

    with tqdm(total=total, desc="figures", unit="fig", file=sys.stderr, disable=args.quiet or not sys.stderr.isatty()) as bar:
        sections = build_sections(pred, obs, args, use_case, ids, members, residuals, bar.update)
    dates = pred[args.date_col]
    intro = (f"Forecasts of {len(all_ids)} series from {os.path.basename(pred_path)}, "
             f"{_date_text(dates.min())} to {_date_text(dates.max())}"
             + (f", compared with the observed values of {os.path.basename(obs_path)}." if obs is not None else "; no observed values given."))
    write_atomic(args.output, render(f"Forecast report: {use_case}", intro, sections))
    return args.output


def main(argv=None, prog=None):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.observed and not args.predictions:
        parser.error("--observed needs a prediction file")
    if "MPLBACKEND" not in os.environ:
        import matplotlib

        matplotlib.use("Agg")
    try:
        if args.predictions is None:
            with sample_files() as (pred_path, obs_path):
                path = make_report(args, pred_path, obs_path, args.use_case or SAMPLE_USE_CASE)
        else:
            stem = os.path.splitext(os.path.basename(args.predictions))[0]
            path = make_report(args, args.predictions, args.observed, args.use_case or stem)
    except InputError as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    print(os.path.abspath(path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
