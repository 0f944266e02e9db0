"""The structure of a hierarchy: which members add up to which, in one or several ways.

A tree splits each aggregate one way: its path children (`Italia` -> `Italia/Lazio`, ...). A
grouped structure splits the same total in several ways at once, as the forecasting libraries'
aggregation step builds it: with the levels Country, Country/State, Country/Sector and
Country/State/Sector, the ids are the values of each level's columns joined with "/" (`Italia`,
`Italia/Nord`, `Italia/construction`, `Italia/Nord/construction`), and `Italia` is split by State
(into the states) and by Sector (into the sectors).

Everything is held as flat arrays over the sorted ids: each member's level, and the groupings
(an aggregate, the direction of its split, and its members one step below it) as edges
(grouping, member). Sums over a grouping are one sparse product over the edges, so nothing per
aggregate grows with the square of its members.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np
import pandas as pd

ROUNDING = 1e-6  # relative difference under which an aggregate's observed values are the sum


@dataclass
class Structure:
    """ids: sorted object array of str. kind: "tree" or "grouped". columns: the names of the
    directions of the split (a grouped structure's level columns; a tree's single direction).
    signature: per id, the tuple of column positions its id is made of (a tree: 0..depth).
    level / level_names: per id its level, and the levels' names. Groupings: `group_owner`
    (the aggregate), `group_column` (the column a grouping adds); edges `edge_group`,
    `edge_child` sorted by grouping, then member."""

    ids: np.ndarray
    kind: str
    columns: list
    signature: list
    level: np.ndarray
    level_names: list
    group_owner: np.ndarray
    group_column: np.ndarray
    edge_group: np.ndarray
    edge_child: np.ndarray
    notes: list = field(default_factory=list)

    def __len__(self):
        return len(self.ids)

    @property
    def edge_owner(self):
        return self.group_owner[self.edge_group]

    @property
    def group_name(self):
        return [self.columns[c] for c in self.group_column.tolist()]

    @property
    def depth(self):
        """Per id, the number of columns beyond the root's: 0 for a root."""
        return np.array([len(s) - 1 for s in self.signature], dtype=np.int32)

    def parents(self, g):
        """Every parent of id `g` (an aggregate one of whose groupings holds it), sorted."""
        return np.unique(self.edge_owner[self.edge_child == g])

    def members(self, grouping):
        lo, hi = np.searchsorted(self.edge_group, [grouping, grouping + 1])
        return self.edge_child[lo:hi]

    def groupings_of(self, g):
        return np.flatnonzero(self.group_owner == g)

    def membership(self):
        """The groupings x ids 0/1 matrix (scipy CSR): its product with per-id values gives each
        grouping's sum."""
        from scipy import sparse

        shape = (len(self.group_owner), len(self.ids))
        ones = np.ones(len(self.edge_child))
        return sparse.csr_matrix((ones, (self.edge_group, self.edge_child)), shape=shape)

    def directions(self):
        """The orders in which a tree can be drawn through the structure: one per column that
        splits a root, each taking that column first and then the others in their order."""
        if self.kind == "tree":
            return [[0]]
        first = sorted({int(c) for c in self.group_column[np.isin(self.group_owner, self.roots())].tolist()})
        rest = list(range(1, len(self.columns)))
        return [[c] + [r for r in rest if r != c] for c in first] or [rest]

    def roots(self):
        has_parent = np.zeros(len(self.ids), dtype=bool)
        has_parent[self.edge_child] = True
        return np.flatnonzero(~has_parent)

    def tree_along(self, order: Sequence[int]):
        """Per id, its parent in the tree that splits by the columns in `order` one after the
        other (a direction), -1 for a root, -2 for an id that is not in that tree
        (`Italia/construction` when the tree splits by State first)."""
        parent = np.full(len(self.ids), -2, dtype=np.int64)
        parent[self.roots()] = -1
        owner, child = self.edge_owner, self.edge_child
        if self.kind == "tree":
            parent[child] = owner
            return parent
        order = list(order)
        in_tree = np.array([set(s) == {s[0], *order[: len(s) - 1]} for s in self.signature], dtype=bool)
        last = np.array([order[len(s) - 2] if 1 < len(s) <= len(order) + 1 else -1 for s in self.signature])
        ok = in_tree[child] & in_tree[owner] & (self.group_column[self.edge_group] == last[child])
        parent[child[ok]] = owner[ok]
        return parent

    def describe(self):
        """What was found, in one line."""
        if self.kind == "tree":
            return f"a tree of {len(self.ids)} members over {len(self.level_names)} levels"
        roots = self.roots()
        splits = []
        for r in roots[:1]:
            parts = [f"{len(self.members(k))} by {self.columns[self.group_column[k]]}" for k in self.groupings_of(r)]
            splits.append(f"{self.ids[r]} split {len(parts)} ways ({', '.join(parts)})")
        return (
            f"grouped structure: {len(self.level_names)} levels ({', '.join(self.level_names[:12])}"
            f"{', ...' if len(self.level_names) > 12 else ''}); " + "; ".join(splits)
        )


# ------------------------------------------------------------------------------------------------
# From the id paths


def from_paths(ids):
    """The path tree: an id's parent is the id one "/" level up when present, else it is a root."""
    ids = np.asarray(ids, dtype=object)
    split = [i.rpartition("/") for i in ids.tolist()]
    prefix = pd.Index(ids).get_indexer([p[0] if p[1] else None for p in split])
    child = np.flatnonzero(prefix >= 0)
    owner = prefix[child]
    signature = [tuple(range(i.count("/") + 1)) for i in ids.tolist()]
    return _assemble(ids, "tree", ["path"], signature, owner, np.zeros(len(child), dtype=np.int64), child, tree=True)


def _assemble(ids, kind, columns, signature, owner, column, child, names=None, tree=False):
    """A Structure from its edges (aggregate, column added, member) in any order."""
    owner, column, child = (np.asarray(a, dtype=np.int64) for a in (owner, column, child))
    order = np.lexsort((child, column, owner))
    owner, column, child = owner[order], column[order], child[order]
    key = owner * (len(columns) + 1) + column
    change = np.ones(len(key), dtype=bool)
    change[1:] = key[1:] != key[:-1]
    group = np.cumsum(change) - 1
    if tree:
        levels = sorted({len(s) for s in signature})
        level = np.array([levels.index(len(s)) for s in signature], dtype=np.int32)
        level_names = [f"level {n}" for n in levels]
    else:
        distinct = sorted(set(signature), key=lambda s: (len(s), s))
        index = {s: i for i, s in enumerate(distinct)}
        level = np.array([index[s] for s in signature], dtype=np.int32)
        level_names = [(names or {}).get(s) or "/".join(columns[c] for c in s) for s in distinct]
    return Structure(
        ids=ids,
        kind=kind,
        columns=list(columns),
        signature=list(signature),
        level=level,
        level_names=level_names,
        group_owner=owner[change],
        group_column=column[change],
        edge_group=group,
        edge_child=child,
    )


# ------------------------------------------------------------------------------------------------
# Inferred from the ids


def infer(ids, observed=None):
    """The structure of `ids` (sorted distinct texts) from the ids alone: the path tree when every
    id's segments are its ancestors', a grouped structure when they come from several level
    columns joined with "/". `observed`: an optional (ids x dates) float array of observed values
    (NaN where missing) that must confirm a grouped structure, or a function giving it (called
    only when the ids are not a tree's). Returns (Structure, notes)."""
    ids = np.asarray(ids, dtype=object)
    if _plain_tree(ids):
        return from_paths(ids), []
    segments = [i.split("/") for i in ids.tolist()]
    signature = _signatures(segments) if len(ids) else None
    if signature is None:
        return from_paths(ids), []
    if callable(observed):
        observed = observed()
    depth = max(len(s) for s in segments)
    made = _grouped(ids, segments, signature, [str(k + 1) for k in range(depth)])
    why = "the ids fit no consistent grouped structure"
    if made is not None and len(partition_errors(made)):
        made = None
    if made is not None and observed is not None:
        bad = incoherent(made, observed)
        if len(bad):
            why = (
                f"the observed values of {made.ids[made.group_owner[bad[0]]]!r} are not the sum of its members "
                f"by {made.columns[made.group_column[bad[0]]]} as the ids group them"
            )
            made = None
    if made is None:
        tree = from_paths(ids)
        if observed is not None:
            doubt = bool(len(incoherent(tree, observed)))
        else:  # a few ids whose names merely recur deeper down are a tree's, not a failed grouping
            odd = sum(sig != tuple(range(len(sig))) for sig in signature)
            doubt = odd > max(1, 0.1 * len(ids))
        return tree, [_no_structure(why)] if doubt else []
    made.columns = [f"level {c}" for c in made.columns]
    made.level_names = [_level_name(s) for s in sorted(set(made.signature), key=lambda s: (len(s), s))]
    return made, [f"hierarchy: {made.describe()}, found from the ids"]


def _plain_tree(ids):
    """Whether the ids are a tree's beyond doubt, found over whole columns: every id's path parent
    is present and each last part of an id comes at one depth only (so no part recurs at another
    position, as the parts of several level columns do)."""
    split = pd.Series(ids, dtype=object).str.rpartition("/")
    nested = (split[1] == "").to_numpy()
    if not (nested | (pd.Index(ids).get_indexer(split[0]) >= 0)).all():
        return False
    depth = pd.Series(ids, dtype=object).str.count("/").to_numpy(dtype=np.int64)
    codes, parts = pd.factorize(split[2].to_numpy())
    pairs = np.unique(codes.astype(np.int64) * (int(depth.max()) + 1) + depth) if len(ids) else codes
    return bool(len(ids)) and len(pairs) == len(parts)  # one depth per last part


def _no_structure(why):
    return (
        f"hierarchy: {why}; drawn as the tree of the id paths (give --hierarchy FILE, the summing matrix or the "
        "tags of the aggregation step, to say how the series add up)"
    )


def _level_name(signature):
    return "level " + "/".join(str(c + 1) for c in signature)


def partition_errors(structure):
    """The groupings whose members do not together hold as many bottom series as their aggregate
    (members one step below it in one direction must split it exactly)."""
    count = bottom_counts(structure)
    totals = np.zeros(len(structure.group_owner), dtype=np.int64)
    np.add.at(totals, structure.edge_group, count[structure.edge_child])
    return np.flatnonzero(totals != count[structure.group_owner])


def bottom_counts(structure):
    """Per id, the number of bottom series (ids that are no aggregate) it adds up, counted through
    its first grouping: 1 for a bottom series."""
    n = len(structure.ids)
    count = np.zeros(n, dtype=np.int64)
    is_aggregate = np.zeros(n, dtype=bool)
    is_aggregate[structure.group_owner] = True
    count[~is_aggregate] = 1
    first = np.ones(len(structure.group_owner), dtype=bool)
    first[1:] = structure.group_owner[1:] != structure.group_owner[:-1]
    sizes = np.array([len(s) for s in structure.signature])
    for size in sorted(set(sizes[is_aggregate].tolist()), reverse=True):  # deepest aggregates first
        groups = np.flatnonzero(first & (sizes[structure.group_owner] == size))
        edges = np.isin(structure.edge_group, groups)
        np.add.at(count, structure.edge_owner[edges], count[structure.edge_child[edges]])
    return count


def _signatures(segments):
    """Per id the column positions of its segments, matched to the columns' values as the full-depth
    ids hold them; None when every id is made of its first columns in order (a tree)."""
    depth = max(len(s) for s in segments)
    where = {}
    for s in segments:
        if len(s) == depth:
            for k, v in enumerate(s):
                where.setdefault(v, set()).add(k)
    out, tree = [], True
    for s in segments:
        sig, p = [], -1
        for v in s:
            nxt = min((k for k in where.get(v, ()) if k > p), default=p + 1)
            sig.append(nxt)
            p = nxt
        tree = tree and sig == list(range(len(s)))
        out.append(tuple(sig))
    return None if tree else out


def _grouped(ids, segments, signature, columns, names=None):
    """The grouped structure of ids with these column positions; None when an id that is not a
    root has no parent with one column less."""
    key = {(sig, tuple(seg)): g for g, (sig, seg) in enumerate(zip(signature, segments))}
    owner, column, child = [], [], []
    for g, (sig, seg) in enumerate(zip(signature, segments)):
        found = False
        for j in range(1, len(sig)):
            parent = key.get((sig[:j] + sig[j + 1 :], tuple(seg[:j] + seg[j + 1 :])))
            if parent is not None:
                owner.append(parent)
                column.append(sig[j])
                child.append(g)
                found = True
        if not found and len(sig) > 1:
            return None
    return _assemble(ids, "grouped", columns, signature, owner, column, child, names)


# ------------------------------------------------------------------------------------------------
# Given: the tags (level name -> ids) and the summing matrix


def from_tags(tags, ids):
    """The structure the tags of the aggregation step give: each level's name is its columns joined
    with "/", each id its values of them joined with "/". Raises ValueError naming what does not fit."""
    ids = np.asarray(ids, dtype=object)
    columns: list = []
    level_of = {}
    for name, members in tags.items():
        cols = str(name).split("/")
        for c in cols:
            if c not in columns:
                columns.append(c)
        for m in np.asarray(members, dtype=object).tolist():
            level_of[str(m)] = tuple(columns.index(c) for c in cols)
    missing = [i for i in ids.tolist() if i not in level_of]
    if missing:
        raise ValueError(f"{len(missing)} forecast ids are in no level of the tags (first: {missing[0]!r})")
    segments = [i.split("/") for i in ids.tolist()]
    signature = [level_of[i] for i in ids.tolist()]
    odd = [i for i, s, sig in zip(ids.tolist(), segments, signature) if len(s) != len(sig)]
    if odd:
        raise ValueError(f"id {odd[0]!r} does not have one value per column of its level")
    names = {level_of[str(m)]: str(n) for n, ms in tags.items() for m in np.asarray(ms, dtype=object)[:1].tolist()}
    made = _grouped(ids, segments, signature, columns, names)
    if made is None:
        raise ValueError("the tags' levels do not nest: some id has no parent one column up")
    if all(sig == tuple(range(len(sig))) for sig in signature):
        made.kind = "tree"
    return made


def check_matrix(structure, matrix, bottom):
    """Checks a summing matrix (ids x bottom series, 0/1; `bottom` the names of its columns)
    against the structure: every grouping's members together hold exactly their aggregate's
    bottom series. Returns the groupings that do not, worst (most bottom series off) first."""
    from scipy import sparse

    s = sparse.csr_matrix(matrix)
    sums = structure.membership() @ s
    diff = abs(sums - s[structure.group_owner])
    off = np.asarray(diff.sum(axis=1)).ravel()
    bad = np.flatnonzero(off > 0)
    return bad[np.argsort(-off[bad], kind="stable")]


def incoherent(structure, values, tolerance=ROUNDING):
    """The groupings whose members' values (an ids x dates array, NaN where missing) do not add up
    to their aggregate's, over the dates where all of them have a value; worst first."""
    values = np.asarray(values, dtype=np.float64)
    if not len(structure.group_owner) or values.ndim != 2 or not values.shape[1]:
        return np.zeros(0, dtype=np.int64)
    member = structure.membership()
    finite = np.isfinite(values)
    with np.errstate(all="ignore"):
        total = member @ np.where(finite, values, 0.0)
        gaps = member @ (~finite).astype(np.float64)
        own = values[structure.group_owner]
        scale = np.maximum(np.abs(own), np.abs(total))
        rel = np.where(
            (gaps == 0) & np.isfinite(own) & (scale > 0), np.abs(own - total) / np.where(scale > 0, scale, 1), 0.0
        )
    worst = rel.max(axis=1)
    bad = np.flatnonzero(worst > tolerance)
    return bad[np.argsort(-worst[bad], kind="stable")]


def summing_frame_ids(frame) -> tuple:
    """(ids, bottom names, 0/1 matrix) of a summing matrix as a pandas frame, with `unique_id` as a
    column or as the index."""
    if "unique_id" in frame.columns:
        frame = frame.set_index("unique_id")
    ids = np.asarray(frame.index.astype(str), dtype=object)
    return ids, [str(c) for c in frame.columns], frame.to_numpy(dtype=np.float64, na_value=np.nan)


def common_root(structure) -> Optional[int]:
    roots = structure.roots()
    return int(roots[0]) if len(roots) == 1 else None
