"""The report as a library: `explore()` gives a `Report` of a hierarchical forecast.

    from sorvani_kb.datavisualization.report import explore
    report = explore(forecasts_df, observed_df)      # pandas, polars, pyarrow, DuckDB, or paths
    report                                            # in a notebook: the explorer, inline
    report.measures.query("coverage_pct < 80")        # one row per member and model
    report.summary("mase")                            # level x model, as hierarchical evaluations report it
    report.save("report.html")                        # the same page the command writes

This module imports nothing heavy until `explore` runs, so that the command can start the
worker process before this one loads pandas.
"""

from __future__ import annotations

import contextlib
import html
import os
import re
import tempfile
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence, Union

from .errors import InputError, InputNote
from .memory import release_memory
from .worker import Worker

if TYPE_CHECKING:
    import pandas as pd

    from .canonical import Inputs
    from .page import PageData
    from .scores import Evaluation

Source = Any  # a path (str or os.PathLike) or a frame: pandas, polars, pyarrow, __arrow_c_stream__
TREEMAP_NODES = 3000  # most members a treemap of the page draws at once
FRAME_HEIGHT = 900  # pixels of the explorer's frame in a notebook

# Per measure key of the page: the column of Report.measures.
MEASURE_COLUMNS = {
    "gap": "coherence_gap_pct",
    "coverage": "coverage_pct",
    "mae": "mae",
    "smape": "smape_pct",
    "bias": "bias",
    "missing": "missing",
}


class Report:
    """The explorer page of one hierarchical forecast, and its measures.

    `save(path)` writes the page (one self-contained, offline HTML file); `to_html()` gives its
    text; in Jupyter, JupyterLab or VS Code the report shows itself inline, in an isolated frame.
    `measures` and `notes` give what the page shows as data.
    """

    def __init__(
        self,
        data: PageData,
        notes: Sequence[str],
        levels: dict,
        evaluation: Optional[Evaluation] = None,
        benchmark: Optional[str] = None,
    ):
        self._data = data
        self._notes = list(notes)
        self._levels = dict(levels)
        self._evaluation = evaluation
        self._benchmark = benchmark
        self._measures: Optional[pd.DataFrame] = None

    @property
    def notes(self) -> list[str]:
        """The notes on the input (missing values, gaps, rows left out), one line each."""
        return list(self._notes)

    @property
    def evaluation(self) -> Optional[Evaluation]:
        """The measures as arrays (scores.Evaluation): per model, window and member."""
        return self._evaluation

    @property
    def measures(self) -> pd.DataFrame:
        """One row per member and model, in model then id order. Columns:

        - `unique_id` (str), `model` (str), `depth` (int: 0 for a root, 1 for its direct
          sub-members, ...; in a grouped structure the number of columns the member's level adds
          to its root's), `hierarchy_level` (str: the name of the member's level: the tags' name,
          such as "Country/State", or "level 2" of a tree of id paths, two segments long),
          `interval_level` (float: the interval level of `coverage_pct`, NaN when the model has no
          interval or the input gives no level);
        - `coherence_gap_pct`: largest relative difference, in %, between the member's forecast
          and the sum of its direct sub-members' over the dates where all have a value
          (NaN without sub-members; the largest of the windows' for cross-validation); a member of a grouped
          structure split several ways (by State and by Sector) has the largest of the gaps of its splits;
        - `coverage_pct`: share, in %, of the forecast dates with an observed value where it lies
          inside the (widest) prediction interval;
        - `mae`: mean absolute error, in the series' units; `smape_pct`: symmetric mean absolute
          percentage error, in % (0 to 200); `bias`: mean of forecast minus observed, in the
          series' units (positive: too high);
        - `missing`: count of missing forecast values (point and bounds, absent rows included);
        - `rmse`: root mean squared error, in the series' units;
        - `mase`, `rmsse`: the MAE and the RMSE scaled by the member's in-sample seasonal-naive
          error (mean |y[t] - y[t-m]|, resp. the root of the mean (y[t] - y[t-m])^2) over its
          observed values on or before the cutoff (without one: before the first forecast date),
          m the season length; unitless, NaN where that history is constant or too short;
        - `coverage_<L>_pct` per interval level L the input gives (`coverage_80_pct`): as
          `coverage_pct` for that level's interval, to compare with L;
        - `interval_score_<L>`: the interval (Winkler) score of the level-L interval scaled as
          the MASE (the MSIS), unitless;
        - `pinball_<P>` per quantile P in % (`pinball_10` for 0.1): its pinball loss scaled as
          the MASE (the scaled quantile loss), unitless;
        - `rank` (nullable int): the model's rank among the models for the member by MASE,
          1 the lowest, ties to the model given first; missing where its MASE is NaN;
        - with a benchmark model, `<measure>_rel` for `mae`, `rmse`, `smape_pct`, `mase`,
          `rmsse` and each interval score and pinball loss: the model's value divided by the
          benchmark's for the member (1.0: as good; NaN where the benchmark's is 0 or unknown).

        With cross-validation windows every measure but the gap pools the windows: all their
        forecast dates of the member together, each scaled by the history up to its own cutoff
        (`window_measures` gives each window alone). Measures that need observed values are NaN
        without them. `scores.COLUMNS` holds each column's unit and help text.
        """
        if self._measures is None:
            frame = _measures_frame(self._data, self._levels)
            if self._evaluation is not None:
                from . import scores

                frame = scores.member_columns(frame, self._evaluation, self._benchmark)
            self._measures = frame
        return self._measures.copy()

    @property
    def window_measures(self) -> pd.DataFrame:
        """One row per model, cross-validation window and member: `unique_id`, `model`, `window`
        (0 for the earliest cutoff), `cutoff` (NaT without a cutoff column), `depth` and the
        measure columns of `measures` (`mae` ... `missing`), each of that window alone."""
        from . import scores

        return scores.window_frame(self._scores())

    def summary(self, measure: str = "mase", benchmark: Union[str, bool, None] = None) -> pd.DataFrame:
        """Hierarchy level x model: the mean of a column of `measures` (`mase`, `mae`,
        `coverage_80_pct`, ...) over the level's members ignoring NaN, and over every member
        ("Overall"), as hierarchical forecasting evaluations report a level. With a benchmark
        model (`benchmark=`, default: the one given to explore; False: none) each mean is
        divided by the benchmark's over the same members (a ratio of means: 1.0 as good as the
        benchmark, below 1 better)."""
        from . import scores

        if benchmark is None:
            benchmark = self._benchmark
        return scores.summary_frame(self._scores(), measure, benchmark if isinstance(benchmark, str) else None)

    @property
    def best(self) -> pd.DataFrame:
        """Hierarchy level x model: for how many members each model has the lowest MASE (ties to
        the model given first; a member where no MASE is defined counts for none); "Overall"
        counts every member. `measures["rank"]` ranks the models per member."""
        from . import scores

        return scores.best_frame(self._scores())

    @property
    def by_horizon(self) -> pd.DataFrame:
        """The error by steps ahead, tidy: `level`, `model`, `step` (1: the first forecast date),
        `mae` (mean |observed - forecast| over the level's members, windows pooled), `mase` (mean
        of |observed - forecast| / the member's MASE scale), `count` and `scaled_count` (the
        forecast dates each mean is over); "Overall" rows take every member."""
        from . import scores

        return scores.horizon_frame(self._scores())

    @property
    def calibration(self) -> pd.DataFrame:
        """Empirical against nominal coverage, tidy: `level`, `model`, `interval_level` (the
        nominal %), `coverage_pct` (the share of the level's forecast dates, members and windows
        together, with an observed value and both bounds where the value lies inside), `count`
        (those dates); one row per level of the hierarchy (and "Overall"), model and interval level."""
        from . import scores

        return scores.calibration_frame(self._scores())

    def _scores(self) -> Evaluation:
        if self._evaluation is None:
            raise InputError("this report has no evaluation")
        return self._evaluation

    def to_html(self) -> str:
        """The page: one self-contained HTML document, offline."""
        from . import page

        return page.render(self._data)

    def save(self, path: Union[str, os.PathLike]) -> Path:
        """Writes the page to `path` atomically (an older file there stays as it was until the new
        one is complete); returns the path written."""
        path = Path(path)
        check_output(path)
        try:
            write_atomic(path, self.to_html())
        except OSError as exc:
            raise InputError(f"{path}: cannot write the report ({exc.strerror or exc})") from None
        return path

    def _repr_html_(self) -> str:
        # srcdoc in a sandbox without same-origin: the page's scripts and styles see nothing of
        # the notebook's, and the notebook nothing of theirs.
        return (
            f'<iframe class="sorvani-report" sandbox="allow-scripts allow-popups allow-downloads" '
            f'style="width:100%;height:{FRAME_HEIGHT}px;border:1px solid #d0d7de;border-radius:4px" '
            f'title="{html.escape(self._data.meta.get("title", "Forecast report"))}" '
            f'srcdoc="{html.escape(self.to_html(), quote=True)}"></iframe>'
        )

    def __repr__(self) -> str:
        meta = self._data.meta
        return (
            f"<Report {meta.get('title', '')!r}: {len(meta.get('parent', []))} members, "
            f"models {list(dict.fromkeys(m['name'] for m in meta.get('models', [])))}, {len(self._notes)} notes>"
        )


def explore(
    forecasts: Source,
    observed: Source = None,
    *,
    models: Optional[Sequence[str]] = None,
    use_case: Optional[str] = None,
    date_format: Optional[str] = None,
    timezone: Optional[str] = None,
    id_col: Optional[str] = None,
    date_col: Optional[str] = None,
    mean_col: Optional[str] = None,
    lower_col: Optional[str] = None,
    upper_col: Optional[str] = None,
    obs_id_col: Optional[str] = None,
    obs_date_col: Optional[str] = None,
    obs_value_col: Optional[str] = None,
    cutoff_col: Optional[str] = None,
    hierarchy: Any = None,
    season_length: Optional[int] = None,
    benchmark: Optional[str] = None,
    treemap_nodes: int = TREEMAP_NODES,
    history: Optional[int] = None,
) -> Report:
    """The explorer of a hierarchical forecast.

    forecasts: one row per id and forecast date; observed: past values and, for the measures,
    values on forecast dates (optional). Each may be a path (str or os.PathLike: CSV of any
    separator, plain or compressed, or Parquet), a pandas DataFrame (also with `unique_id` as its
    index), a polars DataFrame or LazyFrame, a pyarrow Table, or any object that exports the
    Arrow PyCapsule stream interface (`__arrow_c_stream__`, DuckDB relations for one). Without
    column options the forecasts may be in the long format of the common forecasting libraries
    (`unique_id`, `ds`, one column per model `M` with `M-lo-L` / `M-hi-L` bounds) or hold `id`,
    `date`, `mean`, `lower`, `upper`; observed values `unique_id`, `ds`, `y` or `id`, `date`,
    `value`. Ids are hierarchy paths whose levels are separated by "/".

    models: only these models, in this order; use_case: the label of the figure titles (default:
    the forecast file's name, or "forecasts" for a frame); date_format: a strptime format for
    both inputs' dates; timezone: the zone to draw dates in; *_col: the column names;
    hierarchy: how the series add up, as the aggregation step of the forecasting libraries gives
    it: the summing matrix (a pandas frame with `unique_id` as a column or the index and one 0/1
    column per bottom series, dense or of sparse dtypes, or a `(scipy.sparse matrix, row ids,
    bottom ids)` tuple), the tags (a mapping of level name, its columns joined with "/", to its
    ids), a path of either as a file (CSV or Parquet; JSON for the tags), or a list or tuple of a
    matrix and tags; without it the structure is found from the ids (a tree of their paths, or
    a grouped structure whose levels combine several columns);     season_length: the m of MASE, RMSSE and the scaled scores (default: from the dates' frequency,
    12 monthly, 52 weekly, 7 daily, ...; 1 gives the retail benchmark's definitions); benchmark:
    the model the others are measured against (`Report.summary`, the `_rel` columns of
    `Report.measures`); treemap_nodes: most members a treemap draws at once; history: how many
    observations before the forecast each member's figures show (default: three horizons, two
    seasons or 30, whichever is more; the measures always use the whole history).

    Raises InputError (a ValueError) with a one-line message naming the input and the problem;
    each note on the input is given as an InputNote warning (a UserWarning).
    """
    from .inputs import Options

    options = Options(
        id_col=id_col,
        date_col=date_col,
        mean_col=mean_col,
        lower_col=lower_col,
        upper_col=upper_col,
        obs_id_col=obs_id_col,
        obs_date_col=obs_date_col,
        obs_value_col=obs_value_col,
        cutoff_col=cutoff_col,
        season_length=season_length,
        benchmark=benchmark,
        models=list(models) if models is not None else None,
        date_format=date_format,
        timezone=timezone,
        use_case=use_case,
        hierarchy=hierarchy,
    )
    try:
        report = build(forecasts, observed, options, treemap_nodes=treemap_nodes, history=history)
    except InputError as exc:
        raise InputError(library_words(str(exc))) from None
    for note in report.notes:
        warnings.warn(library_words(note), InputNote, stacklevel=2)
    return report


def build(
    forecasts: Source,
    observed: Source,
    options: Any,
    *,
    treemap_nodes: int = TREEMAP_NODES,
    worker: Optional[Worker] = None,
    progress: Optional[Callable[..., None]] = None,
    history: Optional[int] = None,
) -> Report:
    """The report of the inputs read with `options` (inputs.Options), in the command's words.
    A `worker` already started is used and ended; otherwise one is started for a large input."""
    if worker is None:
        worker = Worker.start([forecasts, observed], use_case=_use_case(forecasts, options))
    try:
        from . import inputs, page

        data = inputs.load(forecasts, observed, options)
        evaluation, shared = _evaluate(data, options)
        release_memory()  # what the measures freed, before the page's arrays are made
        if history is not None and (not isinstance(history, int) or history < 0):
            raise InputError(f"--history {history!r}: give a number of observations, 0 or more")
        shown = _page_evaluation(evaluation, options.benchmark)
        built = page.build(
            data,
            treemap_nodes=treemap_nodes,
            worker=worker,
            progress=progress,
            history=history,
            evaluation=shown,
            observed=shared,
        )
        del shared
    finally:
        if worker is not None:
            worker.end()
    return Report(built, data.notes, data.levels, evaluation, options.benchmark)


def _evaluate(data: Inputs, options: Any) -> tuple:
    """The evaluation of the input, and (its hierarchy, its observed values by id) for the page."""
    import numpy as np

    from . import measures, scores
    from . import structure as st

    hierarchy = measures.build_hierarchy(scores.member_ids(data))
    # The summaries group the members by the levels Report.measures names (hierarchy_level): a
    # grouped structure's, else those of the id paths' tree.
    found = data.structure
    if found is None or not np.array_equal(found.ids, hierarchy.ids):
        found = st.from_paths(hierarchy.ids)
    observed = measures.observed_by_id(data.observed, hierarchy)
    evaluation = scores.evaluate(
        data,
        hierarchy,
        levels=found.level,
        level_names=found.level_names,
        season_length=options.season_length,
        observed=observed,
    )
    return evaluation, (hierarchy, observed)


def _page_evaluation(evaluation: Evaluation, benchmark: Optional[str]) -> dict:
    """What the page's overview shows of the evaluation, in plain lists."""
    from . import scores

    return scores.page_data(evaluation, benchmark)


def _use_case(forecasts, options):
    """The use case as the input layer will name it: the option, else the file's name."""
    if options.use_case:
        return options.use_case
    if isinstance(forecasts, (str, os.PathLike)):
        return os.path.splitext(os.path.basename(os.fspath(forecasts)))[0]
    return "forecasts"


# The command's option names, as a message of the input layer writes them, and their names here.
_OPTION = re.compile(
    r"--(date-format|timezone|model|id-col|date-col|mean-col|lower-col|upper-col|obs-id-col|"
    r"obs-date-col|obs-value-col|use-case|cutoff-col|hierarchy|season-length|benchmark|history)\b"
)


def library_words(message: str) -> str:
    """A message of the input layer with the command's options named as explore()'s arguments."""
    return _OPTION.sub(lambda m: m[1].replace("-", "_") + ("s=" if m[1] == "model" else "="), message)


def _measures_frame(data: PageData, levels: dict) -> pd.DataFrame:
    import numpy as np
    import pandas as pd

    parts = []
    for m, gap in _last_windows(data.measures):
        n = len(m.ids)
        level = levels.get(m.model)
        part = {
            "unique_id": pd.Series(m.ids, dtype=object),
            "model": m.model,
            "depth": np.asarray(m.depth, dtype=np.int64),
            "hierarchy_level": pd.Series(m.level, dtype=object),
            "interval_level": np.full(n, np.nan if level is None else float(level)),
        }
        for key, column in MEASURE_COLUMNS.items():
            part[column] = np.asarray(m.values[key], dtype=np.float64)
        part["coherence_gap_pct"] = gap
        parts.append(pd.DataFrame(part, index=pd.RangeIndex(n)))
    if not parts:
        columns = ["unique_id", "model", "depth", "hierarchy_level", "interval_level", *MEASURE_COLUMNS.values()]
        text = ("unique_id", "model", "hierarchy_level")
        return pd.DataFrame({c: pd.Series(dtype=object if c in text else float) for c in columns})
    frame = pd.concat(parts, ignore_index=True)
    frame["missing"] = frame["missing"].astype(np.int64)
    return frame


def _last_windows(measures: Sequence[Any]) -> list:
    """Per model, the measures of its last window (the only one without cutoffs) and the coherence
    gap of each of its members: the largest over the windows that forecast the member."""
    import numpy as np
    import pandas as pd

    out = []
    for model in dict.fromkeys(m.model for m in measures):
        own = [m for m in measures if m.model == model]
        last = max(own, key=lambda m: -1 if m.window is None else m.window)
        index = pd.Index(last.ids)
        gap = np.full(len(last.ids), np.nan)
        for m in own:
            rows = index.get_indexer(m.ids)
            here = np.asarray(m.values["gap"], dtype=np.float64)
            keep = rows >= 0
            np.fmax.at(gap, rows[keep], here[keep])
        out.append((last, gap))
    return out


def check_output(path: Union[str, os.PathLike]) -> None:
    out_dir = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(out_dir):
        raise InputError(f"{path}: the folder {out_dir} does not exist")
    if os.path.isdir(path):
        raise InputError(f"{path}: a folder; give the path of the report file")


def write_atomic(path: Union[str, os.PathLike], text: str) -> None:
    """Writes `text` to a temporary file beside `path`, then moves it into place."""
    path = os.fspath(path)
    fd, tmp = tempfile.mkstemp(
        dir=os.path.dirname(os.path.abspath(path)), prefix="." + os.path.basename(path) + ".", suffix=".tmp"
    )
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            fh.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
