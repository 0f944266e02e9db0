"""Assembling the canonical frames: rows keyed on the id x date grid, duplicates, the observed
frame, and how the observed values meet the forecasts."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np
import pandas as pd

from ..errors import InputError
from ..memory import release_memory
from .columns import code_type, sorted_codes
from .dates import time_values
from .text import ids_note, missing_note, plural, source_name


def grid_keys(path, what, id_codes, t_codes, n_ids, n_t, rows):
    """Cell numbers id * n_t + t of the rows, the first cell two rows share (-1 if none) and those
    rows' numbers."""
    return cell_duplicates(id_codes.astype(np.int64) * n_t + t_codes, n_ids * n_t, rows)


def in_order(key):
    """Whether the cell numbers rise strictly: rows sorted by id and date, none repeated (the way
    the forecasting libraries write them), which needs neither a count of the cells nor a sort."""
    return len(key) < 2 or bool((key[1:] > key[:-1]).all())


def cell_duplicates(key, cells, rows):
    """(key, the first cell that two rows share or -1, those rows' numbers or None); `rows`: the
    input row of each key, None when they are the rows in order."""
    if in_order(key):
        return key, -1, None
    if cells <= 4 * len(key) + 1_000_000:
        counts = np.bincount(key, minlength=cells)
        dup = counts > 1
        first = int(np.argmax(dup)) if dup.any() else -1
    else:
        order = np.argsort(key, kind="stable")
        sk = key[order]
        same = np.flatnonzero(sk[1:] == sk[:-1])
        first = int(sk[same[0]]) if len(same) else -1
    if first >= 0:
        at = np.flatnonzero(key == first)
        where = (rows[at] if rows is not None else at) + 1
        return key, first, where
    return key, -1, None


def dup_error(path, ident, when, where, extra=""):
    rows = ", ".join(str(r) for r in where[:3]) + (f" ... ({len(where)} rows)" if len(where) > 3 else "")
    return InputError(
        f"{path}: {len(where)} rows for id {ident!r} and date {when} (rows {rows}); each id and date may "
        f"appear once{extra}"
    )


def when_text(value, kind):
    if kind == "step":
        return str(int(value))
    ts = pd.Timestamp(value)
    return ts.date().isoformat() if ts == ts.normalize() else ts.isoformat(sep=" ")


def _compact(codes, values):
    """Codes renumbered over the values they use, and those values (order kept)."""
    used = np.zeros(len(values), dtype=bool)
    used[codes] = True
    if used.all():
        return codes, values
    new = np.cumsum(used) - 1
    values = values[used]
    return new[codes], values


def keyed_rows(path, ids, times, notes, positions=True):
    """The rows that have both an id and a date (the others are left out, with a note), and the
    ids and dates renumbered over them: (row positions, id codes, ids, date codes, sorted dates).
    Without `positions`, the row positions are None when every row is kept."""
    id_codes, ids = ids
    t_codes, times = sorted_codes(times.codes, time_values(times))
    ok = (id_codes >= 0) & (t_codes >= 0)
    every = bool(ok.all())
    if not every:
        bad = np.flatnonzero(~ok)
        notes.append(
            f"{source_name(path)}: {plural(len(bad), 'row')} without an id or a date left out (first: row {bad[0] + 1})"
        )
        if not ok.any():
            raise InputError(f"{path}: no row has both an id and a date")
        id_codes, t_codes = id_codes[ok], t_codes[ok]
    # With every row kept (the usual case) the codes go on as they are, not copied.
    id_codes, ids = _compact(id_codes, ids)
    t_codes, times = _compact(t_codes, times)
    rows = np.flatnonzero(ok) if positions or not every else None
    return rows, id_codes, ids, t_codes, times


@dataclass
class ObservedRows:
    """The observed values as rows sorted by id and date: `frame` (id, ds, y), the sorted ids and
    dates, and per row its date code; `t_codes` None when every id has every date, row r then
    being on date r % len(times)."""

    frame: pd.DataFrame
    ids: np.ndarray
    times: np.ndarray
    t_codes: Optional[np.ndarray]

    def values_at(self, id_codes, t_codes):
        """The observed value of each (id code, date code), NaN where there is no row."""
        y = self.frame["y"].to_numpy()
        n_t = len(self.times)
        want = np.asarray(id_codes, dtype=np.int64) * n_t + t_codes
        if self.t_codes is None:
            return y[want]
        if not len(y):
            return np.full(len(want), np.nan)
        key = self.frame["id"].cat.codes.to_numpy().astype(np.int64) * n_t + self.t_codes  # ascending
        pos = np.minimum(np.searchsorted(key, want), len(key) - 1)
        return np.where(key[pos] == want, y[pos], np.nan)


def observed_frame(path, obs, kind, notes):
    """The observed rows of `obs` (the columns read, which this takes over: they are let go as soon
    as they are used) as `ObservedRows`."""
    oids, otimes, values = obs.ids, obs.times, obs.values.pop(obs.layout.value)
    obs.ids = obs.times = None
    rows, id_codes, ids, t_codes, times = keyed_rows(path, oids, otimes, notes, positions=False)
    del oids, otimes
    if rows is not None:
        values = values[rows]
    n_ids, n_t = len(ids), len(times)
    nan = ~np.isfinite(values)
    if nan.any():
        first = int(rows[nan][0] if rows is not None else np.argmax(nan)) + 1
        notes.append(missing_note(path, "observed value", {"y": int(nan.sum())}, id_codes[nan], ids, first))
    runs = _full_runs(id_codes, t_codes, n_ids, n_t)
    if runs is not None:  # series after series, each over every date: the runs put in id order
        del id_codes, t_codes
        y = _runs_in_order(values, runs, n_t, bool(nan.any()), _own(values, obs.source))
        del values  # before the id and date columns are made: each is 4 or 8 bytes a row
        release_memory()  # the values read may have been Arrow's
        id_codes, t_codes = np.repeat(np.arange(n_ids, dtype=code_type(n_ids)), n_t), None
        ds = np.tile(times, n_ids)
    else:
        id_codes, t_codes, y = _rows_in_order(
            path, kind, (id_codes, t_codes, values), ids, times, rows, bool(nan.any())
        )
        del values
        release_memory()
        ds = times[t_codes]
    if nan.any():
        y[~np.isfinite(y)] = np.nan  # infinities too: no value
    frame = pd.DataFrame(
        {
            # Millions of rows share a few thousand ids: kept as codes into the sorted ids.
            "id": pd.Categorical.from_codes(id_codes, categories=pd.Index(ids, dtype=object)),
            "ds": ds,
            "y": y,
        },
        copy=False,  # the columns are this function's own arrays
    )
    return ObservedRows(frame, ids, times, t_codes)


def _full_runs(id_codes, t_codes, n_ids, n_t):
    """The id of each run when the rows are one run per id over every date in order (a long frame
    written series after series, the series in any order); None otherwise."""
    if n_t == 0 or len(id_codes) != n_ids * n_t:
        return None
    if not (t_codes.reshape(n_ids, n_t) == np.arange(n_t)).all():
        return None
    runs = id_codes.reshape(n_ids, n_t)
    first = runs[:, 0].copy()  # not a view: the row codes can go once the runs are known
    if not (runs == first[:, None]).all():
        return None
    seen = np.zeros(n_ids, dtype=bool)
    seen[first] = True
    return first if seen.all() else None


def _own(values, source):
    """`values` made writable when they are this reader's own array (read from a Parquet file
    here, never a caller's frame), else None."""
    if source.kind != "parquet":
        return None
    mine = values.view()
    try:
        mine.flags.writeable = True  # possible where the array that holds the values is writable
    except ValueError:
        return None
    return mine


def _runs_in_order(values, runs, n_t, copy, own=None):
    """The values of whole runs, the runs reordered by their ids; `own`: the same values, this
    reader's to reorder in place (no second array of them)."""
    order = np.argsort(runs, kind="stable")
    if own is not None and own.flags.c_contiguous:
        _permute_rows(own.reshape(len(runs), n_t), order)
        return own
    if np.array_equal(order, np.arange(len(order))):
        return values.copy() if copy else values
    return values.reshape(len(runs), n_t)[order].reshape(-1)


def _permute_rows(rows, order):
    """rows[i] = rows[order[i]] for every i, in place, a cycle of the permutation at a time (one
    row is held aside per cycle): a loop over the series, not the values."""
    done = order == np.arange(len(order))
    for start in np.flatnonzero(~done).tolist():
        if done[start]:
            continue
        held, i = rows[start].copy(), start
        while True:
            done[i] = True
            j = int(order[i])
            if j == start:
                rows[i] = held
                break
            rows[i] = rows[j]
            i = j


def _rows_in_order(path, kind, columns, ids, times, rows, copy):
    """Rows in any order: refused if an id and date repeat, else put in id x date order."""
    id_codes, t_codes, values = columns
    n_t = len(times)
    key, dup, where = grid_keys(path, "observed", id_codes, t_codes, len(ids), n_t, rows)
    if dup >= 0:
        raise dup_error(path, ids[dup // n_t], when_text(times[dup % n_t], kind), where)
    cells = len(ids) * n_t
    if in_order(key):  # already in id x date order: the columns as they are
        return id_codes, t_codes, values.copy() if copy else values
    if cells <= 4 * len(key) + 1_000_000:  # the rows' places in the id x date grid, in order
        place = np.full(cells, -1, dtype=np.int64)
        place[key] = np.arange(len(key))
        order = place[place >= 0]
        del place
    else:
        order = np.argsort(key, kind="stable")
    del key  # each of these is 8 bytes a row: gone before the frame's columns are made
    return id_codes[order], t_codes[order], values[order]


def pairing_notes(pred_path, obs_path, ids, times, present, obs, notes):
    """Notes on how the observed values meet the forecasts: ids on one side only, no value on a
    forecast date. `obs` is what observed_frame returns, `present` the forecast ids x dates."""
    name = source_name(obs_path)
    to_pred = pd.Index(ids).get_indexer(obs.ids)  # per observed id, its place among the forecast ids
    known = to_pred >= 0
    if not known.any():
        notes.append(
            f"{name}: none of its ids is an id of {source_name(pred_path)} (e.g. {obs.ids[0]!r} there, {ids[0]!r} here)"
        )
        return
    unseen = np.ones(len(ids), dtype=bool)
    unseen[to_pred[known]] = False
    if unseen.any():
        notes.append(
            f"{name}: no observed values for {plural(int(unseen.sum()), 'forecast id')} ({ids_note(ids[unseen])})"
        )
    if (~known).any():
        notes.append(
            f"{name}: {plural(int((~known).sum()), 'id')} without forecasts left aside ({ids_note(obs.ids[~known])})"
        )
    # The forecast cells looked up among the observed rows: far fewer than those rows.
    cells = np.flatnonzero(present)
    i = pd.Index(obs.ids).get_indexer(ids)[cells // len(times)]
    t = pd.Index(obs.times).get_indexer(times)[cells % len(times)]
    ok = (i >= 0) & (t >= 0)
    if not np.isfinite(obs.values_at(i[ok], t[ok])).any():
        notes.append(f"{name}: no observed value falls on a forecast date, so there are no residuals")


def _first_per_key(key):
    """Positions of the first occurrence of each distinct key, in key order, and each position's
    group (the rank of its key)."""
    order = np.argsort(key, kind="stable")
    sk = key[order]
    first = np.ones(len(sk), dtype=bool)
    first[1:] = sk[1:] != sk[:-1]
    group = np.empty(len(key), dtype=np.int64)
    group[order] = np.cumsum(first) - 1
    return order[first], group


def observed_from_forecasts(path, cells, y, notes, column="y"):
    """The observed frame from the forecasts' own `y` column (cross-validation output carries the
    actuals): one value per id and date, the windows that share a date agreeing."""
    n_t = len(cells.times)
    t = cells.t[cells.cell]
    key = cells.id_codes * n_t + t
    values = y[cells.rows]
    keep, group = _first_per_key(key)
    kept = values[keep]
    with np.errstate(invalid="ignore"):
        off = np.isfinite(values) & np.isfinite(kept[group]) & (values != kept[group])
    if off.any():
        r = int(np.argmax(off))
        notes.append(
            f"{source_name(path)}: column {column!r} differs between windows for {plural(int(off.sum()), 'row')} "
            f"(first: id {cells.ids[cells.id_codes[r]]!r} on row {int(cells.rows[r]) + 1}); the first "
            "window's value is used"
        )
    nan = ~np.isfinite(kept)
    if nan.any():
        first_row = int(cells.rows[keep][nan].min()) + 1
        notes.append(
            missing_note(
                path, "observed value", {column: int(nan.sum())}, cells.id_codes[keep][nan], cells.ids, first_row
            )
        )
    return pd.DataFrame(
        {
            "id": pd.Categorical.from_codes(cells.id_codes[keep], categories=pd.Index(cells.ids, dtype=object)),
            "ds": cells.times[t[keep]],
            "y": np.where(nan, np.nan, kept),
        }
    )


def agreement_note(path, cells, y, obs, notes, column="y"):
    """A note when the forecasts' own `y` disagrees with the observed values on a shared id and date."""
    i = pd.Index(obs.ids).get_indexer(cells.ids)[cells.id_codes]
    t = pd.Index(obs.times).get_indexer(cells.times)[cells.t[cells.cell]]
    ok = (i >= 0) & (t >= 0)
    there = np.full(len(i), np.nan)
    there[ok] = obs.values_at(i[ok], t[ok])
    here = y[cells.rows]
    with np.errstate(invalid="ignore"):
        off = np.isfinite(here) & np.isfinite(there) & ~np.isclose(here, there, rtol=1e-9, atol=0.0)
    if off.any():
        r = int(np.argmax(off))
        notes.append(
            f"{source_name(path)}: column {column!r} disagrees with the observed values in "
            f"{plural(int(off.sum()), 'row')} (first: id {cells.ids[cells.id_codes[r]]!r} on row "
            f"{int(cells.rows[r]) + 1}, {here[r]:g} here, {there[r]:g} there); the observed values are used"
        )
