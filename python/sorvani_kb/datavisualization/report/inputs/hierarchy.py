"""How the series add up: the summing matrix and the tags of the aggregation step, read and
checked against the forecast ids, or the structure found from the ids themselves.

A summing matrix has a `unique_id` column (or index) and one 0/1 column per bottom series: a CSV
or Parquet file, a pandas frame (dense or of sparse dtypes), any frame the input layer reads, or
a `(scipy.sparse matrix, row ids, bottom ids)` tuple. The tags map each level's name (its columns
joined with "/") to its ids: a JSON file or a mapping. Either or both may be given; the tags say
how the members split, the matrix is checked against them (or, alone, against the structure the
ids have).

Nothing here is done per bottom series or per row in Python: a dense matrix is read in blocks of
columns into a sparse one, the checks are sparse products.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import pandas as pd

from .. import structure as st
from ..errors import InputError
from .frames import frame_source
from .sources import open_source, read_columns
from .text import listing, missing_columns, one_line, plural

OPTION = "--hierarchy"
ID = "unique_id"
COLUMN_BLOCK = 512  # columns of a dense matrix turned sparse at a time
OBSERVED_DATES = 100  # the latest observed dates a structure is checked on


@dataclass
class Matrix:
    name: str  # what messages call it: a file's path, or the argument
    ids: np.ndarray  # object array of str: the id of each row
    bottom: np.ndarray  # object array of str: the bottom series of each column
    values: Any  # scipy CSR, rows x bottom


@dataclass
class Tags:
    name: str
    tags: dict  # level name -> object array of str


def settle(given, ids, observed, notes, dates=None):
    """The Structure of the forecast `ids` (sorted distinct texts): from what `given` holds (None,
    or a file's path, a matrix, tags, or a list or tuple of them), else found from the ids,
    confirmed on the `observed` frame where it has values (`dates`: its distinct dates, sorted,
    when known). Notes go to `notes`."""
    if given is None or (isinstance(given, (list, tuple)) and not len(given)):
        found, said = st.infer(ids, lambda: observed_matrix(observed, ids, dates=dates))
        notes.extend(said)
        return found
    matrix, tags = _parts(given)
    for part in (matrix, tags):
        if part is not None:
            _same_ids(part, ids)
    made = _from_tags(tags, ids) if tags is not None else st.infer(ids)[0]
    if matrix is not None:
        _check_matrix(made, matrix, ids, tags)
    values = observed_matrix(observed, ids, dates=dates)
    bad = st.incoherent(made, values) if values is not None else []
    if len(bad):
        notes.append(_incoherent_note(made, bad))
    if made.kind == "grouped":
        notes.append(f"hierarchy: {made.describe()}")
    return made


# ------------------------------------------------------------------------------------------------
# What was given


def _parts(given):
    """(Matrix or None, Tags or None) of what was given; refuses two of a kind or anything else."""
    items = _items(given)
    matrices = [i for i in items if isinstance(i, Matrix)]
    tags = [i for i in items if isinstance(i, Tags)]
    for kind, found in (("summing matrix", matrices), ("tags", tags)):
        if len(found) > 1:
            raise InputError(f"{found[1].name}: a second {kind} ({found[0].name} is one); give {OPTION} once for each")
    return (matrices[0] if matrices else None), (tags[0] if tags else None)


def _items(given):
    if isinstance(given, list) or (isinstance(given, tuple) and not _is_triple(given)):
        return [_item(g) for g in given]
    return [_item(given)]


def _is_triple(value):
    return isinstance(value, tuple) and len(value) == 3 and hasattr(value[0], "tocsr")


def _item(value):
    if isinstance(value, (str, os.PathLike)):
        return _read_file(os.fspath(value))
    if isinstance(value, Mapping):
        return _tags_of(value, "hierarchy")
    if _is_triple(value):
        return _triple(value)
    if isinstance(value, pd.DataFrame) and ID not in value.columns and value.index.name == ID:
        value = value.reset_index()
    if isinstance(value, pd.DataFrame) and _all_sparse(value):
        return _sparse_frame(value)
    return _matrix_of(frame_source(value, "hierarchy"))


def _read_file(path):
    src = open_source(path) if not _looks_json(path) else None
    if src is None:
        try:
            with open(path, encoding="utf-8-sig") as fh:
                data = json.load(fh)
        except (OSError, ValueError) as exc:
            raise InputError(f"{path}: cannot read the tags as JSON ({one_line(exc)})") from None
        if not isinstance(data, dict):
            raise InputError(f"{path}: the tags must be a JSON object of level name: [ids]")
        return _tags_of(data, path)
    return _matrix_of(src)


def _looks_json(path):
    try:
        with open(path, "rb") as fh:
            head = fh.read(64).lstrip(b"\xef\xbb\xbf \t\r\n")
    except OSError:
        return False  # open_source names the problem
    return head[:1] in (b"{", b"[")


def _tags_of(data, name):
    tags = {}
    for level, members in data.items():
        if isinstance(members, (str, bytes)) or not hasattr(members, "__len__"):
            raise InputError(f"{name}: the tags' level {str(level)!r} holds no list of ids")
        tags[str(level)] = np.array([str(m) for m in np.asarray(members, dtype=object).tolist()], dtype=object)
    if not tags:
        raise InputError(f"{name}: the tags hold no level")
    return Tags(name, tags)


# ------------------------------------------------------------------------------------------------
# The summing matrix


def _triple(value):
    from scipy import sparse

    matrix, rows, bottom = value
    matrix = sparse.csr_matrix(matrix, dtype=np.float64)
    rows, bottom = _texts(rows), _texts(bottom)
    if matrix.shape != (len(rows), len(bottom)):
        raise InputError(
            f"hierarchy: a {matrix.shape[0]} x {matrix.shape[1]} matrix with {len(rows)} row ids and "
            f"{len(bottom)} bottom ids; give one id per row and one per column"
        )
    return _checked(Matrix("hierarchy", rows, bottom, matrix))


def _texts(values):
    return np.array([str(v) for v in np.asarray(values, dtype=object).tolist()], dtype=object)


def _all_sparse(frame):
    cols = [c for c in frame.columns if str(c) != ID]
    return bool(cols) and all(isinstance(frame[c].dtype, pd.SparseDtype) for c in cols)


def _sparse_frame(frame):
    cols = [c for c in frame.columns if str(c) != ID]
    if ID not in frame.columns:
        raise missing_columns("hierarchy", [ID], [str(c) for c in frame.columns])
    matrix = frame[cols].sparse.to_coo().tocsr().astype(np.float64)
    return _checked(Matrix("hierarchy", _texts(frame[ID]), _texts(cols), matrix))


def _matrix_of(src):
    """The summing matrix of a file or frame source: `unique_id` and the bottom series' columns."""
    from scipy import sparse

    if ID not in src.columns:
        raise missing_columns(
            src.path, [ID], src.columns, hint=" (a summing matrix: unique_id and one 0/1 column per bottom series)"
        )
    bottom = [c for c in src.columns if c != ID]
    frame = read_columns(src, [ID, *bottom], ids=[ID], numbers=bottom)
    blocks = []
    for start in range(0, len(bottom), COLUMN_BLOCK):
        part = frame.iloc[:, 1 + start : 1 + start + COLUMN_BLOCK]
        try:
            dense = part.to_numpy(dtype=np.float64, na_value=np.nan)
        except (ValueError, TypeError):
            dense = part.apply(pd.to_numeric, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        blocks.append(sparse.csr_matrix(dense))
    values = sparse.hstack(blocks, format="csr") if blocks else sparse.csr_matrix((len(frame), 0))
    return _checked(Matrix(src.path, frame[ID].astype(str).to_numpy(dtype=object), _texts(bottom), values))


def _checked(matrix):
    """Refuses stored entries other than 0 and 1, and an id on two rows."""
    coo = matrix.values.tocoo()
    bad = ~((coo.data == 0) | (coo.data == 1))
    if bad.any():
        where = np.unique(coo.row[bad])
        first = int(np.flatnonzero(bad & (coo.row == where[0]))[0])
        raise InputError(
            f"{matrix.name}: the summing matrix holds entries other than 0 and 1 in {plural(len(where), 'row')} "
            f"({listing(matrix.ids[where])}; first in column {matrix.bottom[coo.col[first]]!r}: {float(coo.data[first]):g})"
        )
    ids, counts = np.unique(matrix.ids, return_counts=True)
    if (counts > 1).any():
        twice = ids[counts > 1]
        raise InputError(f"{matrix.name}: {plural(len(twice), 'id')} on more than one row ({listing(twice)})")
    return matrix


# ------------------------------------------------------------------------------------------------
# Against the forecasts


def _same_ids(part, ids):
    """Refuses forecast ids the part lacks and ids of the part that are not forecast."""
    held = part.ids if isinstance(part, Matrix) else np.concatenate(list(part.tags.values()))
    what = "the summing matrix" if isinstance(part, Matrix) else "the tags"
    absent = ids[~np.isin(ids, held)]
    if len(absent):
        raise InputError(f"{part.name}: {plural(len(absent), 'forecast id')} not in {what} ({listing(absent)})")
    extra = np.unique(held[~np.isin(held, ids)])
    if len(extra):
        rows = "row" if isinstance(part, Matrix) else "id"
        raise InputError(
            f"{part.name}: {plural(len(extra), rows)} of {what} not among the forecasts ({listing(extra)})"
        )


def _from_tags(tags, ids):
    try:
        return st.from_tags(tags.tags, ids)
    except ValueError as exc:
        raise InputError(f"{tags.name}: {exc}") from None


def _check_matrix(made, matrix, ids, tags):
    """Refuses a matrix whose rows do not add up as the structure says: a grouping's members must
    together hold their aggregate's bottom series, and each bottom series is its own column."""
    rows = matrix.values[pd.Index(matrix.ids).get_indexer(ids)]
    against = "the structure of the ids"
    if tags is not None:
        against = "the tags" + (f" ({tags.name})" if tags.name != matrix.name else "")
    leaves = np.ones(len(ids), dtype=bool)
    leaves[made.group_owner] = False
    leaf_ids = ids[leaves]
    col = pd.Index(matrix.bottom).get_indexer(leaf_ids)
    unit = np.asarray(rows[np.flatnonzero(leaves)].sum(axis=1)).ravel() == 1
    own = np.asarray(rows[np.flatnonzero(leaves), np.maximum(col, 0)]).ravel() == 1
    odd = leaf_ids[(col < 0) | ~unit | ~own]
    if len(odd) or len(leaf_ids) != len(matrix.bottom):
        odd = odd if len(odd) else matrix.bottom[~np.isin(matrix.bottom, leaf_ids)]
        raise InputError(
            f"{matrix.name}: the summing matrix does not agree with {against}: {plural(len(odd), 'bottom series')} "
            f"not summing only itself ({listing(odd)})"
        )
    bad = st.check_matrix(made, rows, matrix.bottom)
    if len(bad):
        k = bad[0]
        raise InputError(
            f"{matrix.name}: the summing matrix does not agree with {against}: the members of "
            f"{made.ids[made.group_owner[k]]!r} by {made.group_name[k]} do not hold its bottom series "
            f"({plural(len(bad), 'grouping')} off)"
        )


# ------------------------------------------------------------------------------------------------
# Observed values


def observed_matrix(observed, ids, limit=OBSERVED_DATES, dates=None) -> Optional[np.ndarray]:
    """The ids x dates array of the observed values on the latest `limit` observed dates (NaN
    where there is none), or None without observed values. `dates`: the frame's distinct dates,
    sorted, when known (else found from its rows)."""
    if observed is None or not len(observed):
        return None
    axis = np.asarray(dates)[-limit:] if dates is not None else None
    column = observed["id"]
    if (
        dates is not None
        and isinstance(column.dtype, pd.CategoricalDtype)
        and len(observed) == len(ids) * len(dates)
        and column.cat.categories.astype(str).equals(pd.Index(ids, dtype=object))
    ):
        # The rows are one per id and date, sorted: every id on every date, the array a view.
        return observed["y"].to_numpy(dtype=np.float64).reshape(len(ids), len(dates))[:, -limit:]
    dates = observed["ds"].to_numpy()
    axis = np.sort(pd.unique(dates))[-limit:] if axis is None else axis
    # Only the rows on or after the first of those dates can land in the array: the others are
    # left out before any per-row work (with years of daily values, most of them).
    near = np.flatnonzero(dates >= axis[0])
    dates = dates[near]
    if isinstance(column.dtype, pd.CategoricalDtype):
        cat_rows = pd.Index(ids).get_indexer(column.cat.categories.astype(str))
        codes = column.cat.codes.to_numpy()[near]
        row = np.where(codes >= 0, cat_rows[np.maximum(codes, 0)], -1)
    else:
        row = pd.Index(ids).get_indexer(column.iloc[near].astype(str))
    t = np.searchsorted(axis, dates)
    ok = (row >= 0) & (t < len(axis))
    ok[ok] = axis[t[ok]] == dates[ok]
    out = np.full((len(ids), len(axis)), np.nan)
    out[row[ok], t[ok]] = observed["y"].to_numpy(dtype=np.float64)[near][ok]
    return out


def _incoherent_note(made, bad):
    k = bad[0]
    return (
        f"hierarchy: the observed values of {made.ids[made.group_owner[k]]!r} are not the sum of its members by "
        f"{made.group_name[k]}" + (f" ({plural(len(bad), 'grouping')} in all do not add up)" if len(bad) > 1 else "")
    )
