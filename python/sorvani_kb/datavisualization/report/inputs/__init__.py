"""Reading the report's input into one canonical form.

Everything after this layer sees only `Inputs`: the forecasts of every model and the observed
values in fixed column names, ids as text, one time axis kind, rows checked and sorted. An input
is a file (CSV or Parquet, see `sources`) or a frame in memory (pandas, polars, pyarrow, any
Arrow stream, see `frames`); `layouts` says which column is what; `columns` and `dates` read the
columns; `grid` assembles the canonical frames.

Work is done on whole columns: ids and dates are factorised once and only their distinct values
are examined, so an input of millions of rows costs little more than reading it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import pandas as pd

from ..canonical import FORECAST_COLUMNS, OBSERVED_COLUMNS, Inputs
from ..errors import InputError
from ..memory import release_memory
from .columns import read_ids, read_numbers
from .dates import Times, check_format, read_times, settle_day_month, settle_zones
from .forecasts import any_window, forecast_frame
from .frames import frame_source
from .grid import agreement_note, observed_frame, observed_from_forecasts, pairing_notes
from .hierarchy import settle as settle_hierarchy
from .layouts import Layout, observed_layout, prediction_layout
from .options import Options
from .sources import Source, column_reader, open_source
from .text import close_names, cut, listing, source_name

__all__ = ["FORECAST_COLUMNS", "OBSERVED_COLUMNS", "Inputs", "InputError", "Options", "load", "is_path"]


def is_path(value):
    """Whether an input is given as a file's path (str or os.PathLike) rather than a frame."""
    return isinstance(value, (str, os.PathLike))


@dataclass
class Columns:
    """One input's columns as read: ids and dates as codes, numbers as float64 by column."""

    source: Source
    layout: Layout
    ids: Any  # (codes, ids) as read_ids gives them
    times: Times
    values: dict  # column name -> float64 array
    cutoffs: Optional[Times] = None  # forecasts: the cross-validation cutoff of each row


def load(forecasts, observed=None, options=None, labels=("forecasts", "observed")):
    """Reads and checks the forecasts and the observed values (each a file's path or a frame;
    `observed` may be None) into `Inputs`; raises InputError with a one-line message otherwise.
    A frame is named in messages by its entry of `labels`."""
    options = options or Options()
    _check_options(options)
    notes: list[str] = []
    pred = _read(forecasts, labels[0], options, prediction_layout)
    obs = _read(observed, labels[1], options, observed_layout) if observed is not None else None
    kind = _settle_times(pred, obs, options, notes)
    pred_path = pred.source.path
    frame, cells, present, bands, quantiles = forecast_frame(pred_path, pred, pred.layout.models, kind, notes)
    # The columns read are in the frame now; only the forecasts' own observed values are used again.
    own = pred.layout.value
    # (a copy: the columns read may be views of one block, which only goes once none is left)
    pred.values = {own: pred.values[own].copy()} if own is not None else {}
    pred.ids = pred.times = pred.cutoffs = None
    release_memory()
    observed_rows, obs_path, observed_dates = None, None, None
    if obs is not None:
        obs_path = obs.source.path
        made = observed_frame(obs_path, obs, kind, notes)
        release_memory()
        pairing_notes(pred_path, obs_path, cells.ids, cells.times, any_window(cells, present), made, notes)
        if pred.layout.value is not None:
            agreement_note(pred_path, cells, pred.values[pred.layout.value], made, notes)
        observed_rows, observed_dates = made.frame, made.times
        del made
    elif pred.layout.value is not None:  # the observed values come with the forecasts
        observed_rows = observed_from_forecasts(pred_path, cells, pred.values[pred.layout.value], notes)
    structure = settle_hierarchy(options.hierarchy, cells.ids, observed_rows, notes, observed_dates)
    cutoffs = cells.cutoffs
    del cells
    release_memory()  # what the checks freed, before the measures and the page begin
    models = pred.layout.models
    return Inputs(
        frame,
        observed_rows,
        [m.name for m in models],
        {m.name: m.level for m in models},
        kind,
        options.use_case or os.path.splitext(source_name(pred_path))[0],
        _named(pred.source),
        _named(obs.source) if obs is not None else None,
        notes,
        structure=structure,
        cutoffs=cutoffs,
        bands=bands,
        quantiles=quantiles,
    )


def _named(src):
    """What the page calls a source: a file's path, or what a frame is."""
    return src.description or src.path


def _check_options(options):
    if options.timezone:
        try:
            pd.Timestamp("2000-01-01", tz=options.timezone)
        except Exception:  # noqa: BLE001  the zone libraries raise several kinds for an unknown name
            raise InputError(
                f"--timezone {options.timezone!r}: unknown time zone (use a name such as Europe/Rome or UTC)"
            ) from None
    if options.date_format:
        check_format(options.date_format)
    m = options.season_length
    if m is not None and (isinstance(m, bool) or not isinstance(m, (int, np.integer)) or m < 1):
        raise InputError(f"--season-length {m!r}: a season length is a whole number of at least 1")


def _source(value, label):
    return open_source(os.fspath(value)) if is_path(value) else frame_source(value, label)


def _read(value, label, options, layout_of):
    """Opens one input, finds its layout and reads the columns it needs."""
    src = _source(value, label)
    layout = layout_of(src, options)
    forecasts = layout_of is prediction_layout
    if forecasts:
        _choose_models(src, layout, options.models)
        _check_benchmark(src, layout, options.benchmark)
        columns = [c for m in layout.models for c in (m.mean, m.lo, m.hi) if c]
        columns += [c for m in layout.models for pair in m.bands.values() for c in pair]
        columns += [c for m in layout.models for c in m.quantiles.values()]
        numbers = list(dict.fromkeys(columns + ([layout.value] if layout.value else [])))
    else:
        numbers = [layout.value]
    fmt = options.date_format
    dates = [layout.ds] + ([layout.cutoff] if forecasts and layout.cutoff else [])
    frame = column_reader(
        src, [layout.id, *dates, *numbers], ids=[layout.id], dates=dates, numbers=numbers, dates_as_text=bool(fmt)
    )
    if not len(frame):
        raise InputError(f"{src.path}: no rows" + (", only the header" if src.kind != "frame" else ""))
    # Each column becomes codes or numbers and is let go before the next is taken (read, from Parquet).
    ids = read_ids(frame.pop(layout.id), own=src.kind == "parquet")
    times = read_times(frame.pop(layout.ds), src.path, layout.ds, fmt)
    cutoffs = read_times(frame.pop(layout.cutoff), src.path, layout.cutoff, fmt) if len(dates) > 1 else None
    values = {c: read_numbers(frame.pop(c), src, c) for c in numbers}
    del frame  # its columns may be Arrow's memory, given back here
    release_memory()
    return Columns(src, layout, ids, times, values, cutoffs)


def _choose_models(src, layout, wanted):
    """Keeps the models asked for, in that order; refuses an unknown one or none at all."""
    names = [m.name for m in layout.models]
    if wanted:
        unknown = [w for w in wanted if w not in names]
        if unknown:
            close = close_names(unknown[0], names)
            raise InputError(
                f"{src.path}: no model {unknown[0]!r}"
                + (f" (close: {listing(close)})" if close else "")
                + f" (models present: {listing(names, 12)})"
            )
        layout.models = sorted((m for m in layout.models if m.name in wanted), key=lambda m: list(wanted).index(m.name))
    if not layout.models:
        raise InputError(
            f"{src.path}: no model columns beside {layout.id!r} and {layout.ds!r} (columns present: "
            f"{', '.join(cut(c) for c in src.columns[:20])})"
        )


def _check_benchmark(src, layout, benchmark):
    """Refuses a benchmark that is not among the models kept."""
    names = [m.name for m in layout.models]
    if benchmark is not None and benchmark not in names:
        close = close_names(benchmark, names)
        raise InputError(
            f"{src.path}: no model {benchmark!r} for --benchmark"
            + (f" (close: {listing(close)})" if close else "")
            + f" (models present: {listing(names, 12)})"
        )


def _layout_notes(src, layout, notes):
    name = source_name(src.path)
    if layout.text:
        notes.append(
            f"{name}: column{'s' if len(layout.text) > 1 else ''} {listing(layout.text)} left out: text, not forecasts"
        )
    if layout.ignored:
        notes.append(
            f"{name}: column{'s' if len(layout.ignored) > 1 else ''} {listing(layout.ignored)} left out: "
            "interval bounds without their model column or without the other bound"
        )


def _settle_times(pred, obs, options, notes):
    """Brings both inputs' dates to one kind and zone; returns the kind ("datetime" or "step")."""
    _layout_notes(pred.source, pred.layout, notes)
    ptimes: Times = pred.times
    otimes: Optional[Times] = obs.times if obs is not None else None
    settle_day_month([ptimes, otimes, pred.cutoffs])
    settle_zones([ptimes, otimes, pred.cutoffs], options.timezone)
    cut = pred.cutoffs
    if cut is not None and cut.kind != ptimes.kind:
        raise InputError(
            f"{cut.path}: column {cut.col!r} and column {ptimes.col!r} hold different kinds of dates "
            "(time steps and dates); give both the same kind"
        )
    if otimes is not None and otimes.kind != ptimes.kind:
        step, dated = (otimes, ptimes) if otimes.kind == "step" else (ptimes, otimes)
        raise InputError(
            f"{step.path}: column {step.col!r} holds time steps (whole numbers) but {source_name(dated.path)} "
            f"column {dated.col!r} holds dates; give both files the same kind"
        )
    for t in (ptimes, otimes):
        if (
            t is not None
            and t.kind == "step"
            and len(t.values)
            and ((t.values >= 19000101) & (t.values <= 21001231)).all()
        ):
            notes.append(
                f"{source_name(t.path)}: column {t.col!r} holds whole numbers, drawn as time steps; if they are "
                "dates, give --date-format %Y%m%d"
            )
            break
    return ptimes.kind
