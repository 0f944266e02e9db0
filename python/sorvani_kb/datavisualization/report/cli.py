"""The report command: reads the input files, writes one self-contained HTML page.

A thin mapping of the command's arguments onto the library (`api.build`, `Report.save`).

    python -m sorvani_kb.datavisualization                       # the shipped sample
    sorvani-report preds.csv --observed obs.csv -o report.html

Bad input ends the run with one line on stderr naming the file and the problem, exit status 2,
and leaves no report behind (an older report at the same path stays as it was). Notes on the
input (missing values, gaps, rows left out) go to stderr after the report is written.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from importlib import resources

from . import api
from .api import TREEMAP_NODES
from .errors import InputError
from .worker import Worker

SAMPLE_USE_CASE = "ordini"


class Parser(argparse.ArgumentParser):
    """argparse with its errors on one line, as every other refusal of the command."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {' '.join(message.split())} (see --help)\n")


def build_parser(prog=None):
    p = Parser(
        prog=prog,
        description="Writes one self-contained HTML page that explores a hierarchical forecast: an overview of "
        "the whole hierarchy (a treemap, the worst members of each measure, a table of every member) and, for "
        "any member, the figures this module draws for it and its measures. Without a prediction file it uses "
        "the shipped sample.",
        epilog="Files are read as CSV (comma, semicolon or tab separated, found from the file; plain or "
        "compressed) or as Parquet. Without column options the prediction file may be in the long format of "
        "the common forecasting libraries (unique_id, ds, one column per model M with M-lo-L and M-hi-L bounds) "
        "or hold id, date, mean, lower, upper; the observed file unique_id, ds, y or id, date, value. The ids "
        "are hierarchy paths with levels separated by '/', such as Italia/Lazio/Roma.",
    )
    p.add_argument(
        "predictions", nargs="?", metavar="PREDICTIONS", help="prediction file: one row per id and forecast date"
    )
    p.add_argument(
        "--observed",
        metavar="FILE",
        help="observed-value file: past values and, for residuals, values on forecast dates",
    )
    p.add_argument(
        "-o", "--output", default="report.html", metavar="PATH", help="report to write (default: %(default)s)"
    )
    p.add_argument(
        "--use-case",
        metavar="LABEL",
        help=f"label put into the figure titles (default: {SAMPLE_USE_CASE!r} for the sample, else the prediction file's name)",
    )
    p.add_argument(
        "--model",
        action="append",
        metavar="M",
        help="draw only model M (repeat for several; default: every model of the file)",
    )
    p.add_argument(
        "--date-format",
        metavar="FMT",
        help="how both files write their dates, as a strptime format such as %%d/%%m/%%Y or %%Y%%m "
        "(default: found from the files; dates that read both day-first and month-first are refused)",
    )
    p.add_argument(
        "--timezone",
        metavar="ZONE",
        help="draw dates in this time zone, such as Europe/Rome: dates with an offset are "
        "converted to it, dates without are taken as its local time (default: the one zone the files give, if any)",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar (it shows only on a terminal anyway)")
    _hierarchy_option(p)
    _column_options(p)
    _evaluation_options(p)
    _page_options(p)
    return p


def _hierarchy_option(p):
    p.add_argument(
        "--hierarchy",
        action="append",
        metavar="FILE",
        help="how the series add up, as the aggregation step of the forecasting libraries gives it: the summing "
        "matrix (CSV or Parquet: unique_id and one 0/1 column per bottom series) and/or the tags (JSON: level "
        "name: [ids]); repeat for both (default: found from the ids: the tree of their paths, or a grouped "
        "structure whose levels combine several columns)",
    )


def _evaluation_options(p):
    g = p.add_argument_group("evaluation")
    g.add_argument(
        "--season-length",
        type=int,
        metavar="M",
        help="season length of MASE, RMSSE and the scaled interval and pinball scores, in dates "
        "(default: from the dates' frequency: 12 monthly, 4 quarterly, 52 weekly, 7 daily, 24 hourly, else 1)",
    )
    g.add_argument(
        "--benchmark",
        metavar="M",
        help="measure every model against model M (1.0: as good as M); M must be one of the models drawn",
    )


def _page_options(p):
    g = p.add_argument_group("report page")
    g.add_argument(
        "--treemap-nodes",
        type=int,
        default=TREEMAP_NODES,
        metavar="N",
        help="most members the treemaps draw at once; deeper levels open from a member's view (default: %(default)s)",
    )
    g.add_argument(
        "--history",
        type=int,
        metavar="N",
        help="the figures show each member's last N observations before the forecast; the measures always use "
        "the whole history (default: three horizons, two seasons or 30, whichever is more)",
    )


def _column_options(p):
    g = p.add_argument_group("prediction columns (default: found from the file)")
    for name, default, what in (
        ("id", "unique_id, else id", "series id"),
        ("date", "ds, else date", "forecast date"),
        ("mean", "mean", "point forecast of the one model"),
        ("lower", "lower", "interval lower bound"),
        ("upper", "upper", "interval upper bound"),
        ("cutoff", "cutoff, when present", "cross-validation window's cutoff"),
    ):
        g.add_argument(f"--{name}-col", metavar="NAME", help=f"{what} (default: {default})")
    g = p.add_argument_group("observed-value columns (default: found from the file)")
    for name, default, what in (
        ("id", "unique_id, else id", "series id"),
        ("date", "ds, else date", "date"),
        ("value", "y, else value", "observed value"),
    ):
        g.add_argument(f"--obs-{name}-col", metavar="NAME", help=f"{what} (default: {default})")


@contextlib.contextmanager
def sample_files():
    """Paths of the shipped sample's prediction and observed-value files."""
    base = resources.files("sorvani_kb.datavisualization") / "sample"
    with resources.as_file(base / "predictions.csv") as pred, resources.as_file(base / "observed.csv") as obs:
        yield str(pred), str(obs)


def options_of(args):
    """The input options the command's arguments give."""
    from .inputs import Options

    return Options(
        id_col=args.id_col,
        date_col=args.date_col,
        mean_col=args.mean_col,
        lower_col=args.lower_col,
        upper_col=args.upper_col,
        obs_id_col=args.obs_id_col,
        obs_date_col=args.obs_date_col,
        obs_value_col=args.obs_value_col,
        cutoff_col=args.cutoff_col,
        season_length=args.season_length,
        benchmark=args.benchmark,
        models=args.model,
        date_format=args.date_format or None,
        timezone=args.timezone or None,
        use_case=args.use_case,
        hierarchy=args.hierarchy,
    )


def make_report(args, progress):
    """Reads and checks the input, builds the page and writes it; returns the Report."""
    api.check_output(args.output)
    # For a large input the libraries the figures need load in a second process, started before
    # this one loads pandas and reads the files.
    use_case = args.use_case or os.path.splitext(os.path.basename(args.predictions or ""))[0]
    started = Worker.start([args.predictions, args.observed], use_case=use_case)
    report = api.build(
        args.predictions,
        args.observed,
        options_of(args),
        treemap_nodes=args.treemap_nodes,
        history=args.history,
        worker=started,
        progress=progress,
    )
    report.save(args.output)
    progress()  # the page's last step: written
    return report


def main(argv=None, prog=None):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.observed and not args.predictions:
        parser.error("--observed needs a prediction file")
    bar = []  # the progress bar, made once the page knows how many figures it draws

    def progress(total=None, step=1):
        if total is not None:
            from tqdm import tqdm

            bar.append(
                tqdm(
                    total=total + 1,
                    desc="figures",
                    unit="fig",
                    file=sys.stderr,  # + writing it
                    disable=args.quiet or not sys.stderr.isatty(),
                )
            )
        elif bar:
            bar[-1].update(step)

    try:
        if args.predictions is None:
            with sample_files() as (pred_path, obs_path):
                args.predictions, args.observed = pred_path, obs_path
                args.use_case = args.use_case or SAMPLE_USE_CASE
                report = make_report(args, progress)
        else:
            report = make_report(args, progress)
    except InputError as exc:
        for b in bar:
            b.close()
        print(f"{parser.prog}: error: {' '.join(str(exc).split())}", file=sys.stderr)
        return 2
    for b in bar:
        b.close()
    for note in report.notes:
        print(f"{parser.prog}: note: {note}", file=sys.stderr)
    print(os.path.abspath(args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
