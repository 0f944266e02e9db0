"""The page's data: the meta dict (hierarchy, models, prototypes, the index of the arrays), the
binary arrays of each model and of the observed values, and each model's measures.

What has to be computed in float64 is computed here over whole columns (residuals, sums of
sub-members, the residuals' standard deviation, the normal quantiles of the QQ plot); the page
computes only the QQ plot's axis limits, as matplotlib does. The arrays travel compactly
(`Blobs`): decimals as integers, other values as float32 (relative error below 1e-7), in blocks of
ids the page decodes as a view needs them.
"""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass
from typing import Optional

import numpy as np

from .. import measures as ms
from .. import structure as st
from .codec import Blobs, block_size
from .prototypes import library_parts, load_libraries, start_text

TREEMAP_NODES = 3000  # most members a treemap of the page draws at once
WORST = 10  # members listed per measure


@dataclass
class ModelMeasures:
    """The measures of one model's members, one row per member the model forecasts."""

    model: str
    ids: np.ndarray  # object array of str: the member of each row, in id order
    depth: np.ndarray  # int: depth of the member in the hierarchy, 0 for a root
    values: dict  # measure key (see measures.MEASURES) -> float64 array, NaN where undefined
    level: np.ndarray  # object array of str: the name of the member's level
    window: Optional[int] = None  # the cross-validation window, None without cutoffs


@dataclass
class PageData:
    """Everything the page holds: `meta` (the page's JSON), the binary arrays, and the measures
    per model (in the order of the models)."""

    meta: dict
    blobs: Blobs
    measures: list


def encode_model(blobs, i, grid, hierarchy, sums, values, keys_shown=None, shown=None, late=False):
    """The arrays of one model; returns the names it stored them under. With the sums of a grouped
    structure (GroupSums): "sums" per grouping in "groups", and "gapBy" per member. `keys_shown`:
    the measures stored, in order (default: those of measures.MEASURES). `shown`: (the observed
    values the page holds, what it decodes of them) when it holds some: where the residuals are
    exactly those the page derives from them and the forecasts (page_residuals), "res" is not
    stored but "fcObs", the forecast dates' positions on the observed axis. `late`: the figures'
    arrays too come after every block (an earlier cross-validation window's: a link shows the
    last window unless it names another)."""
    p = f"m{i}."
    width = grid.mean.shape[1]
    keys = grid.gid
    residual = grid.residual
    names = {"mean": blobs.add(p + "mean", grid.mean, "f4", keys, width, late=late)}
    derived = page_residuals(blobs.decoded(names["mean"]), grid, residual, *shown) if shown else None
    if derived is None:
        names["res"] = blobs.add(p + "res", residual, "f4", keys, width, late=late)
    else:
        names["fcObs"] = derived.tolist()
    names["std"] = blobs.add(p + "std", ms.residual_std(residual), "f4", keys, late=late)
    names["sums"] = blobs.add(p + "sums", sums.total, "f4", keys[sums.rows], width, late=late)
    if isinstance(sums, ms.GroupSums):
        names["groups"] = blobs.add(p + "groups", sums.groups, "i4")
        names["gapBy"] = blobs.add(p + "gapBy", values["gap_by"], "i4", keys, late=True)
    else:
        names["aggRows"] = blobs.add(p + "aggRows", sums.rows, "i4")
    names["measures"] = encode_measures(blobs, p + "measures", values, keys_shown or MEASURE_KEYS, keys)
    if not np.array_equal(keys, np.arange(len(hierarchy))):
        names["gid"] = blobs.add(p + "gid", keys, "i4")
    if grid.band:
        # bounds as their distance from the forecast, the upper one from the lower one's mirror
        names["lo"] = blobs.add(p + "lo", grid.lo, "f4", keys, width, late=late, base=names["mean"])
        names["hi"] = blobs.add(p + "hi", grid.hi, "f4", keys, width, late=late, base=(names["mean"], names["lo"]))
    return names


MEASURE_KEYS = tuple(m.key for m in ms.MEASURES)


@ms.quiet
def page_residuals(mean, grid, residual, shown, values):
    """The positions of the forecast dates of `grid` on the observed axis (-1: none) when the
    page, taking each member's observed value at those positions (`shown`, whose values it decodes
    as `values`) less the forecast it decodes (`mean`, flat), gets every residual exactly as
    `residual`; else None (the residuals are stored)."""
    axis = shown.axis
    if not len(grid) or not len(grid.axis) or not len(axis) or not len(shown.values):
        return None
    at = np.minimum(np.searchsorted(axis, grid.axis), len(axis) - 1)
    fc_obs = np.where(axis[at] == grid.axis, at, -1)
    if not shown.one_per_date():
        return None  # not one row per member and date, in order: the page could not look them up
    rows = shown.rows_at(grid.gid[:, None], fc_obs[None, :]).reshape(-1)
    y = np.where(rows >= 0, values[rows], np.nan)
    mean = mean.reshape(-1)
    derived = np.where(np.isfinite(y) & np.isfinite(mean), y - mean, np.nan).reshape(residual.shape)
    return fc_obs if np.array_equal(derived, residual, equal_nan=True) else None


def encode_measures(blobs, name, values, keys_shown, gid):
    """One row of the measures `keys_shown` per member `gid`. Held after every block (`late`): a
    member's figures never wait for them, the tables that show them come once the page is read."""
    columns = [np.asarray(values[k], dtype=np.float64) for k in keys_shown]
    table = np.stack(columns, axis=1) if len(gid) else np.zeros((0, len(keys_shown)))
    return blobs.add(name, table, "f4", gid, len(keys_shown), late=True, columns=True)


def encode_observed(blobs, observed):
    """The observed values by id: offsets, values, and either each id's first position on the
    observed axis (when every id's dates are consecutive dates of the axis) or every row's."""
    counts = observed.count()
    names = {
        "count": blobs.add("o.count", counts, "i4", np.arange(len(counts))),
        "values": blobs.add("o.values", observed.values, "f4", offsets=observed.offset),
    }
    if observed.start is not None:
        names["start"] = blobs.add("o.start", observed.start, "i4", np.arange(len(counts)))
    else:
        names["pos"] = blobs.add(
            "o.pos", observed.pos, "u2" if len(observed.axis) < 65536 else "i4", offsets=observed.offset
        )
    return names


def worst_thresholds(level):
    """Per measure, the value from which on a member is not listed among the worst, and what the
    page says when no member is listed."""
    nominal = 100.0 if level is None else float(level)
    return {
        "gap": (1e-6, "Every member with sub-members adds up (gap below 1e-6 %)."),
        "coverage": (nominal, f"No member's coverage is below {nominal:g}%."),
        "mae": (0.0, "No member has an error."),
        "smape": (0.0, "No member has an error."),
        "bias": (0.0, "No member has a bias."),
        "missing": (0.0, "No member has missing values."),
    }


def id_names(hierarchy):
    """Per id, the text after its parent's id and "/" (the id is its parent's id, "/" and this
    name), or the whole id for a root: the ids without repeating their paths."""
    return hierarchy.names


def level_text(level):
    if level is None:
        return None
    return f"{level:g}%"


def build(inputs, treemap_nodes, worker, progress, history=None, evaluation=None, observed=None):
    """The page's data (see PageData). `worker`, if not None, is asked for the library parts
    (see the page package); `progress()` is called once per step: 2 + one per model and window;
    `evaluation`: what the overview's evaluation shows (plain lists), kept as the meta's
    `evaluation`, none without it."""
    ids = ms.all_ids(inputs.forecasts, inputs.models)
    if observed is not None and np.array_equal(observed[0].ids, ids):  # made over these ids already
        hierarchy, observed = observed
    else:
        hierarchy = ms.build_hierarchy(ids)
        observed = ms.observed_by_id(inputs.observed, hierarchy)
    structure = grouped_structure(inputs, hierarchy)
    # What the prototypes need is known once the grids are: ask the worker for them first, so
    # that it draws while the measures are computed here.
    entries = [(model, w) for model in inputs.models for w in ms.windows(inputs)]
    grids = [ms.model_grid(inputs, model, hierarchy, observed, window=w) for model, w in entries]
    job = _library_job(inputs, grids, observed, entries)
    pending = _submit(worker, job)
    progress()
    shown = ms.recent(observed, ms.history_start(inputs), history)
    blobs = Blobs(len(hierarchy), block_size(_bytes_per_id(grids, hierarchy, shown)))
    obs_arrays = encode_observed(blobs, shown) if shown is not None else None
    held = (shown, blobs.decoded(obs_arrays["values"])) if shown is not None else None
    starts = [start for _, _, start in job[2]]
    members = _member_columns(evaluation, hierarchy)
    models, measures, kept = _encode_models(
        blobs, inputs, grids, (hierarchy, structure, held), (entries, starts, members), progress
    )
    if inputs.cutoffs is not None:
        _window_meta(inputs, models, observed)
        models += pooled_entries(blobs, list(zip(models, measures, kept)), members)
    evaluation = evaluation_meta(blobs, evaluation, hierarchy)
    blobs.finish()
    parts = _answer(worker, pending, job)
    for model, proto in zip(models, parts["models"]):
        model["proto"] = proto
    _share_prototypes(models)
    progress()
    obs = None if observed is None else {"axis": parts["obsAxis"], "arrays": obs_arrays}
    meta = _meta(inputs, hierarchy, models, obs, parts, treemap_nodes, blobs)
    if members is not None:
        meta["measures"] += members.columns
    if structure is not None:
        meta.update(structure_meta(structure))
    if shown is not observed:
        meta["history"] = history
    if evaluation is not None:
        meta["evaluation"] = evaluation
    return PageData(meta=meta, blobs=blobs, measures=measures)


def evaluation_meta(blobs, evaluation, hierarchy):
    """The meta's `evaluation`: the dict given, its `rank` matrix ([models, members], NaN: none)
    stored with the arrays as one row of ranks per member (0: none) and named in its place."""
    if evaluation is None:
        return None
    out = dict(evaluation)
    out.pop("members", None)
    rank = out.pop("rank", None)
    if rank is not None:
        rank = np.asarray(rank, dtype=np.float64)
        if rank.shape != (len(out["models"]), len(hierarchy)):
            raise ValueError(
                f"ranks of shape {rank.shape} for {len(out['models'])} models and {len(hierarchy)} members"
            )
        by_member = np.where(np.isfinite(rank), rank, 0).T
        out["rank"] = blobs.add("e.rank", by_member, "u2", np.arange(len(hierarchy)), len(rank))
    return out


def grouped_structure(inputs, hierarchy):
    """The input's structure when it is a grouped one over the page's ids, else None (the tree of
    the id paths, as `hierarchy` holds it)."""
    found = inputs.structure
    if found is None or found.kind != "grouped":
        return None
    if not np.array_equal(found.ids, hierarchy.ids):
        raise ValueError("the structure of the input is not over the forecasts' ids")
    return found


def level_names(given, hierarchy):
    """Per id, the name of its level in the input's structure `given` (the tree of the id paths
    when there is none)."""
    if given is None or not np.array_equal(given.ids, hierarchy.ids):
        given = st.from_paths(hierarchy.ids)
    return np.asarray(given.level_names, dtype=object)[given.level]


def structure_meta(structure):
    """What the page holds of a grouped structure: every id in full (`names`), the parent of each
    in the tree of each direction (`parent` the first's), the levels, and the groupings as
    compressed rows of members."""
    trees = [structure.tree_along(order) for order in structure.directions()]
    starts = np.searchsorted(structure.edge_group, np.arange(len(structure.group_owner) + 1))
    return {
        "names": structure.ids.tolist(),
        "parent": trees[0].tolist(),
        "structure": {
            "columns": list(structure.columns),
            "levels": list(structure.level_names),
            "level": structure.level.tolist(),
            "depth": structure.depth.tolist(),
            "below": st.bottom_counts(structure).tolist(),
            "directions": [
                {"name": structure.columns[order[0]], "parent": tree.tolist()}
                for order, tree in zip(structure.directions(), trees)
            ],
            "groups": {
                "owner": structure.group_owner.tolist(),
                "column": structure.group_column.tolist(),
                "start": starts.tolist(),
                "members": structure.edge_child.tolist(),
            },
        },
    }


def _window_meta(inputs, models, observed):
    """Per entry of a cross-validation input, its window, its cutoff and where the observed values
    it shows end (its forecast's last date: the history up to its cutoff and its own actuals)."""
    for entry, cutoff in zip(models, [inputs.cutoffs[e["window"]] for e in models]):
        entry["cutoff"] = start_text(cutoff, inputs.time_kind)
        if observed is not None and entry["range"]:
            end = np.searchsorted(observed.axis, entry["last"], side="right")
            entry["obsEnd"] = int(end)
        entry.pop("last", None)


def start_of(inputs, grid, window):
    """Where a model's forecast starts, as the line the figures draw: the window's cutoff for
    cross-validation, else its first forecast date."""
    if window is not None:
        return start_text(inputs.cutoffs[window], inputs.time_kind)
    return start_text(grid.axis[0], inputs.time_kind) if len(grid.axis) else ""


def _library_job(inputs, grids, observed, entries):
    """The arguments of library_parts for this input."""
    residual_counts = set()
    axes = []
    for grid, (_, window) in zip(grids, entries):
        residual_counts.update(np.unique((~np.isnan(grid.residual)).sum(axis=1)).tolist())
        axes.append((grid.axis, grid.band, start_of(inputs, grid, window)))
    return (inputs.use_case, inputs.time_kind, axes, observed.axis if observed is not None else None, residual_counts)


def _submit(worker, job):
    """The worker's pending answer for `job`, or None (no worker, or one that refused it)."""
    if worker is None:
        return None
    with contextlib.suppress(Exception):
        return worker.submit(library_parts, *job)
    return None


def _answer(worker, pending, job):
    parts = worker.answer(pending) if pending is not None else None
    if parts is None:  # no second process, or one that failed: drawn here
        load_libraries()
        parts = library_parts(*job)
    return parts


def _bytes_per_id(grids, hierarchy, shown):
    """About how many bytes per id the largest of the page's arrays holds (a chunk is cut from
    one array): one model's forecasts, or the observed values the page shows."""
    steps = max([grid.mean.shape[1] for grid in grids], default=0)
    observed = len(shown.values) / max(1, len(hierarchy)) if shown is not None else 0
    return 4.0 * max(steps, observed)


def _member_columns(evaluation, hierarchy):
    """The evaluation's measures per member (scores.MemberColumns) when it is over the page's
    members, else None."""
    members = (evaluation or {}).get("members")
    if members is None or not np.array_equal(members.evaluation.ids, hierarchy.ids):
        return None
    return members


def worst_lists(values, gid, shown, fine):
    """Per measure of `shown` (the page's descriptions) listed on the overview, the members
    (global indices) of its WORST worst values, worst first; `fine`: measure key -> the value from
    which on a member is fine."""
    return {
        m["key"]: [int(gid[r]) for r in ms.worst(values[m["key"]], m["worst"], WORST, fine.get(m["key"], 0.0))]
        for m in shown
        if m.get("card", True)
    }


def _shown(members):
    """The page's descriptions of every measure it shows, in order."""
    own = [{"key": m.key, "worst": m.worst} for m in ms.MEASURES]
    return own + (members.columns if members is not None else [])


def _fine(grid, members):
    """Per measure key, the value from which on a member is fine, and what the page says when none
    is listed (worst_thresholds, and each coverage level's nominal value)."""
    fine = worst_thresholds(grid.level)
    for m in members.columns if members is not None else []:
        if m["key"].startswith("coverage_"):
            level = float(m["key"].split("_")[1])
            fine[m["key"]] = (level, f"No member's coverage is below {level:g}%.")
        else:
            fine[m["key"]] = (0.0, "No member has a value above 0.")
    return fine


def _model_entry(inputs, grid, start, worst, fine):
    axis = grid.axis
    return {
        "name": grid.model,
        "level": level_text(grid.level),
        "none": {k: v[1] for k, v in fine.items()},
        "band": grid.band,
        "n": len(grid),
        "width": int(len(axis)),
        "start": start,
        "worst": worst,
        "range": [start_text(axis[0], inputs.time_kind), start_text(axis[-1], inputs.time_kind)] if len(axis) else None,
    }


def _encode_models(blobs, inputs, grids, shape, starts, progress):
    """Stores each model's arrays (and drops its grid from `grids` once they are stored); gives
    the models' entries of the meta dict, their measures and per entry (its members' global
    indices, the thresholds of its worst lists). `shape`: (Hierarchy, the grouped
    Structure or None, the observed values the page holds and what it decodes of them, or None);
    `starts`: (the (model, window) entries, their start lines, the
    evaluation's MemberColumns or None)."""
    hierarchy, structure, held = shape
    entries, starts, members = starts
    levels = level_names(inputs.structure, hierarchy)
    depth = structure.depth if structure is not None else hierarchy.depth
    shown = _shown(members)
    keys_shown = [m["key"] for m in shown]
    models, measures, kept = [], [], []
    for i, ((model, window), start) in enumerate(zip(entries, starts)):
        grid = grids[i]
        sums = ms.group_sums(grid, structure) if structure is not None else ms.child_sums(grid, hierarchy)
        values = ms.member_measures(grid, sums)
        extra = dict(values)
        if members is not None:
            table = members.values(model, window)[grid.gid]
            extra.update({m["key"]: table[:, j] for j, m in enumerate(members.columns)})
        fine = _fine(grid, members)
        kept.append((grid.gid, {k: v[0] for k, v in fine.items()}))
        entry = _model_entry(inputs, grid, start, worst_lists(extra, grid.gid, shown, kept[-1][1]), fine)
        late = window is not None and window != len(inputs.cutoffs) - 1
        entry["arrays"] = encode_model(blobs, i, grid, hierarchy, sums, extra, keys_shown, held, late)
        if "fcObs" in entry["arrays"]:
            entry["fcObs"] = entry["arrays"].pop("fcObs")
        models.append(entry)
        measures.append(
            ModelMeasures(
                model=model,
                ids=hierarchy.ids[grid.gid],
                depth=depth[grid.gid],
                values=values,
                level=levels[grid.gid],
                window=window,
            )
        )
        if window is not None:
            entry["window"] = window
            entry["last"] = grid.axis[-1] if len(grid.axis) else None
        grid = sums = grids[i] = None  # its matrices are in the blobs now
        progress()
    return models, measures, kept


def pooled_entries(blobs, entries, members):
    """With more than one cross-validation window, one more entry per model: "all windows", whose
    measures pool the windows (the evaluation's; the coherence gap the largest of the windows'),
    over the members of its last window, whose figures it shows. `entries`: per model and window
    (its meta entry, its ModelMeasures, (gid, thresholds)) as _encode_models gives them."""
    if members is None or len({e["window"] for e, _, _ in entries}) < 2:
        return []
    shown = _shown(members)
    out = []
    for name in dict.fromkeys(e["name"] for e, _, _ in entries):
        own = [p for p in entries if p[0]["name"] == name]
        last, _, (gid, fine) = max(own, key=lambda p: p[0]["window"])
        gap, by = _largest_gaps(len(members.evaluation.ids), [(rows, m.values) for _, m, (rows, _) in own])
        values = {k: v[gid] for k, v in members.page_values(name).items()}
        values["gap"] = gap[gid]
        table = members.values(name)[gid]
        values.update({m["key"]: table[:, j] for j, m in enumerate(members.columns)})
        key = last["arrays"]["measures"] + ".all"
        arrays = dict(last["arrays"], measures=encode_measures(blobs, key, values, [m["key"] for m in shown], gid))
        if "gapBy" in arrays:
            arrays["gapBy"] = blobs.add(key + ".gapBy", by[gid], "i4", gid, late=True)
        out.append(
            dict(last, window="all", pooled=len(own), worst=worst_lists(values, gid, shown, fine), arrays=arrays)
        )
    return out


def _share_prototypes(models):
    """Gives each "all windows" entry the figure prototypes of its model's last window."""
    last = {}
    for entry in models:
        if isinstance(entry.get("window"), int) and entry["window"] >= last.get(entry["name"], (-1, None))[0]:
            last[entry["name"]] = (entry["window"], entry)
    for entry in models:
        if entry.get("window") == "all":
            entry["proto"] = last[entry["name"]][1]["proto"]


def _largest_gaps(n, windows):
    """Per member of n, the largest coherence gap of the windows ((rows, measures) each) and the
    grouping of that gap (-1: none, or a tree)."""
    gap = np.full(n, np.nan)
    by = np.full(n, -1, dtype=np.int64)
    for rows, values in windows:
        here = values["gap"]
        with np.errstate(invalid="ignore"):
            larger = np.isfinite(here) & ~(gap[rows] >= here)
        gap[rows[larger]] = here[larger]
        if "gap_by" in values:
            by[rows[larger]] = values["gap_by"][larger]
    return gap, by


def _meta(inputs, hierarchy, models, obs, parts, treemap_nodes, blobs):
    return {
        "title": f"Forecast report: {inputs.use_case}",
        "useCase": inputs.use_case,
        "prediction": os.path.basename(inputs.prediction_path or ""),
        "observed": os.path.basename(inputs.observed_path) if inputs.observed_path else None,
        "timeKind": inputs.time_kind,
        "notes": list(inputs.notes),
        "names": id_names(hierarchy),
        "parent": hierarchy.parent.tolist(),
        "models": models,
        "obs": obs,
        "residualProto": parts["residual"],
        "quantiles": parts["quantiles"],
        "measures": [
            {"key": m.key, "label": m.label, "worst": m.worst, "unit": m.unit, "help": m.help} for m in ms.MEASURES
        ],
        "treemapNodes": max(1, int(treemap_nodes or TREEMAP_NODES)),
        "arrays": blobs.index,
        "block": blobs.block,
        "blocks": blobs.n_blocks,
    }
