"""Assembling the canonical frames: rows keyed on the id x date grid, duplicates, the observed
frame, and how the observed values meet the forecasts."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..errors import InputError
from .columns import sorted_codes
from .dates import time_values
from .text import ids_note, missing_note, plural, source_name


def grid_keys(path, what, id_codes, t_codes, n_ids, n_t, rows):
    """Cell numbers id * n_t + t of the rows; refuses two rows for one id and date."""
    key = id_codes * n_t + t_codes
    cells = n_ids * n_t
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
        where = rows[np.flatnonzero(key == first)] + 1
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


def keyed_rows(path, ids, times, notes):
    """The rows that have both an id and a date (the others are left out, with a note), and the
    ids and dates renumbered over them: (row positions, id codes, ids, date codes, sorted dates)."""
    id_codes, ids = ids
    t_codes, times = sorted_codes(times.codes, time_values(times))
    ok = (id_codes >= 0) & (t_codes >= 0)
    if not ok.all():
        bad = np.flatnonzero(~ok)
        notes.append(
            f"{source_name(path)}: {plural(len(bad), 'row')} without an id or a date left out (first: row {bad[0] + 1})"
        )
        if not ok.any():
            raise InputError(f"{path}: no row has both an id and a date")
    id_codes, ids = _compact(id_codes[ok], ids)
    t_codes, times = _compact(t_codes[ok], times)
    return np.flatnonzero(ok), id_codes, ids, t_codes, times


def observed_frame(path, oids, otimes, values, kind, notes):
    rows, id_codes, ids, t_codes, times = keyed_rows(path, oids, otimes, notes)
    values = values[rows]
    n_t = len(times)
    key, dup, where = grid_keys(path, "observed", id_codes, t_codes, len(ids), n_t, rows)
    if dup >= 0:
        raise dup_error(path, ids[dup // n_t], when_text(times[dup % n_t], kind), where)
    cells = len(ids) * n_t
    if cells <= 4 * len(key) + 1_000_000:  # the rows' places in the id x date grid, in order
        place = np.full(cells, -1, dtype=np.int64)
        place[key] = np.arange(len(key))
        order = place[place >= 0]
    else:
        order = np.argsort(key, kind="stable")
    nan = ~np.isfinite(values)
    if nan.any():
        notes.append(
            missing_note(path, "observed value", {"y": int(nan.sum())}, id_codes[nan], ids, int(rows[nan][0]) + 1)
        )
    id_codes, t_codes = id_codes[order], t_codes[order]
    frame = pd.DataFrame(
        {
            # Millions of rows share a few thousand ids: kept as codes into the sorted ids.
            "id": pd.Categorical.from_codes(id_codes, categories=pd.Index(ids, dtype=object)),
            "ds": times[t_codes],
            "y": np.where(nan, np.nan, values)[order],
        }
    )
    return frame, ids, times, id_codes, t_codes


def pairing_notes(pred_path, obs_path, ids, times, present, obs, notes):
    """Notes on how the observed values meet the forecasts: ids on one side only, no value on a
    forecast date. `obs` is what _observed returns."""
    frame, oids, otimes, id_codes, t_codes = obs
    name = source_name(obs_path)
    to_pred = pd.Index(ids).get_indexer(oids)  # per observed id, its place among the forecast ids
    known = to_pred >= 0
    if not known.any():
        notes.append(
            f"{name}: none of its ids is an id of {source_name(pred_path)} (e.g. {oids[0]!r} there, {ids[0]!r} here)"
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
            f"{name}: {plural(int((~known).sum()), 'id')} without forecasts left aside ({ids_note(oids[~known])})"
        )
    i = to_pred[id_codes]
    t = pd.Index(times).get_indexer(otimes)[t_codes]
    hit = (i >= 0) & (t >= 0) & frame["y"].notna().to_numpy()
    if not present[i[hit] * len(times) + t[hit]].any():
        notes.append(f"{name}: no observed value falls on a forecast date, so there are no residuals")


MAX_GRID = 50_000_000  # id x date cells the forecast grid may have beyond four times the rows


def forecast_frame(path, columns, models, kind, notes, extra=""):
    """The canonical forecast frame of the `models` (layout Models) from the read `columns`
    (ForecastColumns): one grid of ids x forecast dates per model, gaps filled and flagged.
    `extra` is added to the message refusing two rows for one id and date."""
    rows, id_codes, ids, t_codes, times = keyed_rows(path, columns.ids, columns.times, notes)
    n_ids, n_t = len(ids), len(times)
    if n_ids * n_t > max(4 * len(rows), MAX_GRID):
        raise InputError(
            f"{path}: the ids' forecast dates differ too much to align them ({n_ids} ids over "
            f"{n_t} distinct dates, {len(rows)} rows)"
        )
    key, dup, where = grid_keys(path, "forecast", id_codes, t_codes, n_ids, n_t, rows)
    if dup >= 0:
        raise dup_error(path, ids[dup // n_t], when_text(times[dup % n_t], kind), where, extra)
    cells = n_ids * n_t
    present = np.zeros(cells, dtype=bool)
    present[key] = True
    parts = [_model_block(path, m, columns.values, rows, key, id_codes, ids, n_t, notes) for m in models]
    if not present.all():
        notes.append(_gaps_note(path, ids, n_t, present))
    k = len(models)
    frame = pd.DataFrame(
        {
            "model": pd.Categorical.from_codes(np.repeat(np.arange(k), cells), categories=[m.name for m in models]),
            "id": pd.Series(np.tile(np.repeat(ids, n_t), k), dtype=object),
            "ds": np.tile(np.tile(times, n_ids), k),
            "mean": np.concatenate([p["mean"] for p in parts]),
            "lo": np.concatenate([p["lo"] for p in parts]),
            "hi": np.concatenate([p["hi"] for p in parts]),
            "filled": np.tile(~present, k),
        }
    )
    return frame, ids, times, present


def _model_block(path, model, values, rows, key, id_codes, ids, n_t, notes):
    """The mean, lo and hi grids of one model (NaN where missing), with notes on missing values
    and crossed bounds."""
    cells = len(ids) * n_t
    block, counts, hits, first = {}, {}, [], None
    for col, src in (("mean", model.mean), ("lo", model.lo), ("hi", model.hi)):
        arr = np.full(cells, np.nan)
        if src is not None:
            vals = values[src][rows]
            nan = ~np.isfinite(vals)
            arr[key] = np.where(nan, np.nan, vals)
            if nan.any():
                counts[col] = int(nan.sum())
                hits.append(id_codes[nan])
                r = int(rows[nan][0]) + 1
                first = r if first is None else min(first, r)
        block[col] = arr
    if counts:
        notes.append(missing_note(path, "value", counts, np.concatenate(hits), ids, first, model.name))
    if model.lo is not None:
        crossed = block["lo"] > block["hi"]
        if crossed.any():
            notes.append(
                f"{source_name(path)}: model {model.name!r}: the lower bound is above the upper one in "
                f"{plural(int(crossed.sum()), 'row')} (first: id {ids[np.argmax(crossed) // n_t]!r})"
            )
    return block


def _gaps_note(path, ids, n_t, present):
    grid = present.reshape(len(ids), n_t)
    short = np.flatnonzero(~grid.all(axis=1))
    have = grid.sum(axis=1)
    gaps = present.size - int(present.sum())
    some = ", ".join(f"{ids[i]!r} has {have[i]}" for i in short[:3]) + (" ..." if len(short) > 3 else "")
    return (
        f"{source_name(path)}: {plural(len(short), 'id')} lack{'s' if len(short) == 1 else ''} some of the {n_t} "
        f"forecast dates ({some}): "
        + ("the missing row is drawn as a gap" if gaps == 1 else f"the {gaps} missing rows are drawn as gaps")
    )
