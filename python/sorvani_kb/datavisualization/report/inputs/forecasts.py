"""The canonical forecast frame: per model, per cross-validation window, one grid of ids x that
window's forecast dates, rows the input lacks added as flagged gaps.

Without a cutoff column there is one window. Windows may overlap (the forecasting libraries'
default step is one period) or not; each keeps its own forecast dates.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ..errors import InputError
from .columns import sorted_codes
from .dates import time_values
from .grid import cell_duplicates, dup_error, keyed_rows, when_text
from .text import missing_note, plural, source_name

MAX_GRID = 50_000_000  # cells the forecast grid may have beyond four times the rows


@dataclass
class Cells:
    """Where every input row goes in a model's block of the frame: the cells (window, id, date in
    window order), and for each cell its window, id and date codes."""

    rows: np.ndarray  # input rows kept
    cell: np.ndarray  # per kept row, its cell
    window: np.ndarray  # per cell
    id: np.ndarray
    t: np.ndarray
    ids: np.ndarray  # the ids, sorted
    times: np.ndarray  # every forecast date, sorted
    cutoffs: np.ndarray | None  # per window, its cutoff; None without a cutoff column
    id_codes: np.ndarray  # per kept row

    @property
    def size(self):
        return len(self.window)


def forecast_frame(path, columns, models, kind, notes):
    """The canonical forecast frame of the layout's `models` from the read `columns`, the cells,
    and per model its bands {level: (lo, hi)} and quantiles {p: values} over its cells."""
    cells = _cells(path, columns, kind, notes)
    present = np.zeros(cells.size, dtype=bool)
    present[cells.cell] = True
    values = _Consumed(columns.values, models)
    parts = [_model_block(path, m, values, cells, notes) for m in models]
    if not present.all():
        notes.append(_gaps_note(path, cells, present))
    k = len(models)
    frame = pd.DataFrame(
        {
            "model": pd.Categorical.from_codes(
                np.repeat(np.arange(k), cells.size), categories=[m.name for m in models]
            ),
            "window": np.tile(cells.window.astype(np.int32), k),
            "id": pd.Series(np.tile(cells.ids[cells.id], k), dtype=object),
            "ds": np.tile(cells.times[cells.t], k),
            "mean": np.concatenate([p["mean"] for p in parts]),
            "lo": np.concatenate([p["lo"] for p in parts]),
            "hi": np.concatenate([p["hi"] for p in parts]),
            "filled": np.tile(~present, k),
        },
        copy=False,  # the columns are this function's own arrays: not stacked into a copy
    )
    del parts
    bands = {m.name: _bands(m, i, frame, values, cells) for i, m in enumerate(models)}
    quantiles = {m.name: {p: _spread(values.take(c), cells) for p, c in m.quantiles.items()} for m in models}
    return frame, cells, present, bands, quantiles


def _cells(path, columns, kind, notes):
    rows, id_codes, ids, t_codes, times = keyed_rows(path, columns.ids, columns.times, notes)
    w_codes, cutoffs = _windows(path, columns, rows)
    n_ids, n_t = len(ids), len(times)
    pairs, local = _dense_unique(w_codes * n_t + t_codes, (int(w_codes.max()) + 1 if len(w_codes) else 0) * n_t)
    pair_w, pair_t = pairs // n_t, pairs % n_t
    n_w = int(pair_w.max()) + 1 if len(pairs) else 0
    width = np.bincount(pair_w, minlength=n_w)
    start = np.concatenate([[0], np.cumsum(width)])
    if n_ids * len(pairs) > max(4 * len(rows), MAX_GRID):
        raise InputError(
            f"{path}: the ids' forecast dates differ too much to align them ({n_ids} ids over "
            f"{n_t} distinct dates, {len(rows)} rows)"
        )
    cell = n_ids * start[w_codes] + id_codes * width[w_codes] + (local - start[w_codes])
    window = np.repeat(np.arange(n_w), n_ids * width)
    cell_id = np.concatenate([np.repeat(np.arange(n_ids), width[w]) for w in range(n_w)]) if n_w else cell[:0]
    cell_t = np.concatenate([np.tile(pair_t[start[w] : start[w + 1]], n_ids) for w in range(n_w)]) if n_w else cell[:0]
    key, dup, where = cell_duplicates(cell, n_ids * len(pairs), rows)
    if dup >= 0:
        extra = f" in the window of cutoff {when_text(cutoffs[window[dup]], kind)}" if cutoffs is not None else ""
        raise dup_error(path, ids[cell_id[dup]], when_text(times[cell_t[dup]], kind) + extra, where)
    return Cells(rows, cell, window, cell_id, cell_t, ids, times, cutoffs, id_codes)


def _windows(path, columns, rows):
    """Per kept row its window (the rank of its cutoff), and the cutoffs; one window without them."""
    if columns.cutoffs is None:
        return np.zeros(len(rows), dtype=np.int64), None
    codes, values = sorted_codes(columns.cutoffs.codes, time_values(columns.cutoffs))
    codes = codes[rows]
    if (codes < 0).any():
        first = int(rows[np.argmax(codes < 0)]) + 1
        raise InputError(f"{path}: column {columns.cutoffs.col!r} has no cutoff on row {first}")
    used, rank = _dense_unique(codes, len(values))
    return rank, np.asarray(values)[used]


def _dense_unique(keys, n):
    """np.unique(keys, return_inverse=True) for keys in range(n), n small beside the rows: by a
    table of the keys present, without sorting the rows. (Each window's forecast dates.)"""
    if n > 4 * len(keys) + 1_000_000:  # a sparse range: the table would outweigh the sort
        used, inverse = np.unique(keys, return_inverse=True)
        return used, inverse.ravel()
    seen = np.zeros(n, dtype=bool)
    seen[keys] = True
    used = np.flatnonzero(seen)
    rank = np.full(n, -1, dtype=np.int64)
    rank[used] = np.arange(len(used))
    return used, rank[keys]


def _bands(model, i, frame, values, cells):
    """A model's bands {level: (lo, hi)} over its cells. The level in the frame's `lo` and `hi`
    (the widest) is a read-only view of the model's rows there, not a second copy."""
    bands = {}
    for lv, (lo, hi) in model.bands.items():
        if (lo, hi) == (model.lo, model.hi):
            rows = slice(i * cells.size, (i + 1) * cells.size)
            bands[lv] = tuple(_read_only(frame[c].to_numpy()[rows]) for c in ("lo", "hi"))
        else:
            bands[lv] = (_spread(values.take(lo), cells), _spread(values.take(hi), cells))
    return bands


class _Consumed:
    """The value columns read, each let go once the frame has taken it for the last time: at
    millions of rows the columns read and the frame made of them are not held at once. The
    forecasts' own observed column stays: it is used after the frame."""

    def __init__(self, values, models):
        self.values = values
        self.uses: dict = {}
        for m in models:
            used = [m.mean, m.lo, m.hi] + [c for pair in m.bands.values() for c in pair if pair != (m.lo, m.hi)]
            for c in used + list(m.quantiles.values()):
                if c is not None:
                    self.uses[c] = self.uses.get(c, 0) + 1

    def take(self, col):
        column = self.values[col]
        self.uses[col] -= 1
        if not self.uses[col]:
            del self.values[col]
        return column


def _read_only(array):
    view = array.view()
    view.flags.writeable = False
    return view


def _spread(values, cells):
    """A value column on the cells (NaN where the input has no row or no value)."""
    out = np.full(cells.size, np.nan)
    vals = values[cells.rows]
    out[cells.cell] = np.where(np.isfinite(vals), vals, np.nan)
    return out


def _model_block(path, model, values, cells, notes):
    """The mean, lo and hi cells of one model (NaN where missing), with notes on missing values and
    crossed bounds."""
    block, counts, hits, first = {}, {}, [], None
    for col, src in (("mean", model.mean), ("lo", model.lo), ("hi", model.hi)):
        arr = np.full(cells.size, np.nan)
        if src is not None:
            vals = values.take(src)[cells.rows]
            nan = ~np.isfinite(vals)
            arr[cells.cell] = np.where(nan, np.nan, vals)
            if nan.any():
                counts[col] = int(nan.sum())
                hits.append(cells.id_codes[nan])
                r = int(cells.rows[nan][0]) + 1
                first = r if first is None else min(first, r)
        block[col] = arr
    if counts:
        notes.append(missing_note(path, "value", counts, np.concatenate(hits), cells.ids, first, model.name))
    if model.lo is not None:
        crossed = block["lo"] > block["hi"]
        if crossed.any():
            notes.append(
                f"{source_name(path)}: model {model.name!r}: the lower bound is above the upper one in "
                f"{plural(int(crossed.sum()), 'row')} (first: id {cells.ids[cells.id[np.argmax(crossed)]]!r})"
            )
    return block


def _gaps_note(path, cells, present):
    n_ids = len(cells.ids)
    n_w = int(cells.window.max()) + 1
    have = np.bincount(cells.window * n_ids + cells.id, weights=present, minlength=n_w * n_ids).astype(np.int64)
    want = np.bincount(cells.window * n_ids + cells.id, minlength=n_w * n_ids)
    short_pairs = np.flatnonzero(have < want)
    short = np.unique(short_pairs % n_ids)
    gaps = present.size - int(present.sum())
    if n_w == 1:
        some = ", ".join(f"{cells.ids[i]!r} has {have[i]}" for i in short[:3]) + (" ..." if len(short) > 3 else "")
        what = f"some of the {want[0]} forecast dates ({some})"
    else:
        some = ", ".join(repr(cells.ids[i]) for i in short[:3]) + (" ..." if len(short) > 3 else "")
        what = f"some forecast dates of their windows ({some})"
    return f"{source_name(path)}: {plural(len(short), 'id')} lack{'s' if len(short) == 1 else ''} {what}: " + (
        "the missing row is drawn as a gap" if gaps == 1 else f"the {gaps} missing rows are drawn as gaps"
    )


def any_window(cells, present):
    """ids x dates: whether some window has a row for the id on the date."""
    grid = np.zeros(len(cells.ids) * len(cells.times), dtype=bool)
    grid[(cells.id * len(cells.times) + cells.t)[present]] = True
    return grid
