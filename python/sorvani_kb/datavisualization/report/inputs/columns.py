"""Id and number columns: ids as text codes, numbers as float64, both over whole columns."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..errors import InputError
from .sources import MISSING_TEXTS, all_text
from .text import cut


def sorted_codes(codes, values, in_place=False):
    """Codes per row into the sorted distinct `values` (-1 stays -1), values that compare equal
    merged: (codes, sorted distinct values). `in_place`: `codes` are the caller's to renumber."""
    vcodes, distinct = pd.factorize(values)
    distinct = np.asarray(distinct)
    order = np.argsort(distinct, kind="stable")
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    vcodes = np.asarray(vcodes)
    lookup = np.append(np.where(vcodes >= 0, rank[np.maximum(vcodes, 0)] if len(rank) else -1, -1), -1)
    if np.array_equal(lookup[:-1], np.arange(len(lookup) - 1)):  # already sorted and distinct
        return codes, distinct[order]
    if in_place and codes.flags.writeable and codes.dtype == code_type(len(lookup)):
        lookup = lookup.astype(codes.dtype)
        for at in range(0, len(codes), BLOCK):  # a block at a time: no second column of codes
            block = codes[at : at + BLOCK]
            np.take(lookup, block, out=block)
        return codes, distinct[order]
    return lookup.astype(code_type(len(lookup)))[codes], distinct[order]


BLOCK = 1 << 20  # rows renumbered at a time


def code_type(n):
    """The integer type of codes into n values: 4 bytes a row where they fit (codes over millions of
    rows), else 8. Arithmetic on codes that may pass 2**31 casts them to int64 first."""
    return np.int32 if n < 2**31 - 1 else np.int64


def _id_text(value):
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    elif isinstance(value, (float, np.floating)) and np.isfinite(value) and float(value).is_integer():
        value = int(value)
    elif isinstance(value, (bool, np.bool_)):
        value = bool(value)
    return str(value).strip()


def read_ids(series, own=False):
    """(codes, ids): codes per row into the sorted distinct ids as text (-1 where there is none).
    `own`: the column is this reader's alone (read from a file), so its codes may be renumbered in
    place."""
    if isinstance(series.dtype, pd.CategoricalDtype):  # dictionary codes from Arrow: no hashing of the rows
        codes, uniques = series.array.codes, series.cat.categories
        if own:
            codes = _writable(codes)
    else:
        codes, uniques = pd.factorize(series)
    codes = np.asarray(codes).astype(code_type(len(uniques) + 1), copy=False)
    distinct = pd.Series(np.asarray(uniques, dtype=object), dtype=object)
    if all_text(distinct):
        text = np.append(distinct.str.strip().to_numpy(dtype=object), "")
    else:
        text = np.array([_id_text(v) for v in distinct] + [""], dtype=object)
    if len(codes) and codes.min() < 0:  # no column of flags over every row
        codes = np.where(codes >= 0, codes, len(text) - 1)  # the missing ones: the empty text added last
    text[text == ""] = None
    return sorted_codes(codes, pd.Series(text, dtype=object), in_place=True)


def _writable(codes):
    """A writable view of a Categorical's codes (pandas hands them out read-only), or the
    read-only codes where the array under them is not writable."""
    view = codes.view()
    try:
        view.flags.writeable = True
    except ValueError:
        return codes
    return view


def read_numbers(series, src, col):
    """A number column as float64 (NaN where missing); refuses text, naming its row."""
    path, decimal, thousands = src.path, src.decimal, src.thousands
    if series.dtype == np.float64:  # as read: no copy, and none made by mistake later
        values = series.to_numpy().view()
        values.flags.writeable = False
        return values
    if pd.api.types.is_bool_dtype(series.dtype):
        return series.to_numpy(dtype="float64", na_value=np.nan)
    if pd.api.types.is_numeric_dtype(series.dtype) and not isinstance(series.dtype, pd.CategoricalDtype):
        with np.errstate(all="ignore"):
            return series.to_numpy(dtype="float64", na_value=np.nan)
    objects = pd.Series(np.asarray(series, dtype=object), dtype=object)
    texts = objects.map(lambda v: v.strip() if isinstance(v, str) else v)
    is_text = texts.map(lambda v: isinstance(v, str))
    missing = texts.isna() | (is_text & texts.isin(MISSING_TEXTS))
    work = texts.where(~missing, np.nan)
    if decimal == "," and is_text.any():
        text = work[is_text]
        if thousands:
            text = text.str.replace(thousands, "", regex=False)
        work = work.where(~is_text, text.str.replace(",", ".", regex=False))
    try:
        num = pd.to_numeric(work, errors="coerce")
    except (TypeError, ValueError):  # objects pandas cannot coerce at all
        num = pd.Series([_number(v) for v in work], dtype="float64")
    bad = (num.isna() & ~missing).to_numpy()
    if bad.any() and src.kind == "csv" and src.sep != "," and decimal == ".":
        # Decimal commas the sampled head of the file did not show: fine where the separator is not a comma.
        comma = pd.Series(bad, index=work.index) & is_text & work.astype(str).str.fullmatch(r"[+-]?\d*,\d+")
        num[comma] = pd.to_numeric(work[comma].str.replace(",", ".", regex=False), errors="coerce")
        bad = (num.isna() & ~missing).to_numpy()
    if bad.any():
        row = int(np.argmax(bad))
        raise InputError(f"{path}: column {col!r} holds {cut(objects.iloc[row])!r} on row {row + 1}, not a number")
    return num.to_numpy(dtype="float64", na_value=np.nan)


def _number(value):
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return np.nan
