"""Reading the report's input files into one canonical form.

Everything after this layer sees only `Inputs`: the forecasts of every model and the observed
values in fixed column names, ids as text, one time axis kind, rows checked and sorted.

What it reads, without options:
- the long format of the common forecasting libraries: `unique_id`, `ds`, one column per model
  `M` with its interval bounds `M-lo-L` / `M-hi-L`; observed values as `unique_id`, `ds`, `y`;
- the report's own layout: `id`, `date`, `mean`, `lower`, `upper`; observed `id`, `date`, `value`;
- CSV separated by commas, semicolons or tabs (decimal commas where the separator is not a comma),
  plain or compressed (gzip, bz2, xz, zip), UTF-8 or UTF-16 with a byte-order mark; Parquet.

Work is done on whole columns: ids and dates are factorised once and only their distinct values
are examined, so a file of millions of rows costs little more than reading it.
"""

from __future__ import annotations

import bz2
import codecs
import csv
import datetime as dt
import difflib
import gzip
import lzma
import os
import re
import warnings
import zipfile
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .errors import InputError  # noqa: F401  (raised here, and part of this module's interface)

# Columns of Inputs.forecasts, in this order.
FORECAST_COLUMNS = ["model", "id", "ds", "mean", "lo", "hi", "filled"]
# Columns of Inputs.observed, in this order.
OBSERVED_COLUMNS = ["id", "ds", "y"]




@dataclass
class Inputs:
    """The report's input, read and checked.

    forecasts: one row per (model, id, ds), sorted by model (in `models` order), id, ds; row
        labels 0..n-1. `model` is a Categorical whose categories are `models`; `id` is text
        (object dtype of str); `ds` is datetime64[ns] without time zone, or int64 time steps
        (see `time_kind`); `mean`, `lo`, `hi` are float64 with NaN where a value is missing
        (`lo`/`hi` all NaN for a model without interval bounds). Within a model every id has a
        row for every ds of that model's forecast dates: rows the file lacked are added with NaN
        values and `filled` True (the gaps), all others have `filled` False.
    observed: one row per (id, ds), sorted by id, ds, row labels 0..n-1; `id` text (a Categorical
        whose categories are the sorted ids, str), `ds` of the same kind as the forecasts', `y`
        float64 with NaN where missing. None without a file.
    models: model names in the order of the file's columns, or of the --model options when given.
    levels: per model, the level of the interval that `lo`/`hi` hold (the widest the file
        gives, e.g. 95), or None when the bounds came without a level or there are none.
    time_kind: "datetime" or "step".
    notes: one-line messages for the user (missing values and where, gaps, dropped rows);
        the command prints them on stderr and the page shows them.
    """

    forecasts: pd.DataFrame
    observed: pd.DataFrame | None
    models: list[str]
    levels: dict[str, float | None]
    time_kind: str
    use_case: str
    prediction_path: str
    observed_path: str | None = None
    notes: list[str] = field(default_factory=list)


# Cell texts that mean "no value" in a number column (id and date columns treat only an empty
# cell so: "NA" may well be an id).
MISSING_TEXTS = ["", "NA", "N/A", "n/a", "N.A.", "na", "NaN", "nan", "NAN", "-nan", "-NaN", "null", "NULL",
                 "Null", "None", "none", "#N/A", "#NA", "#VALUE!", "-", "--"]
LONG_ID, LONG_DATE, LONG_VALUE = "unique_id", "ds", "y"
OWN_ID, OWN_DATE, OWN_MEAN, OWN_LOWER, OWN_UPPER, OWN_VALUE = "id", "date", "mean", "lower", "upper", "value"
# Columns of the long format that are not models.
NOT_MODELS = {LONG_ID, LONG_DATE, LONG_VALUE, "cutoff", "index", "level_0", "id", "date", "unique_id"}
BOUND = re.compile(r"^(?P<model>.+)-(?P<side>lo|hi)-(?P<level>\d+(?:\.\d+)?)$")
SNIFF_BYTES = 1 << 16
SNIFF_LINES = 200
MAX_GRID = 50_000_000  # id x date cells the forecast grid may have beyond four times the rows


# ------------------------------------------------------------------------------------------------
# Small helpers


def _name(path):
    return os.path.basename(path) or path


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def _listing(values, limit=3):
    values = [repr(v) if isinstance(v, str) else str(v) for v in values]
    more = len(values) - limit
    return ", ".join(values[:limit]) + (f" and {more} more" if more > 0 else "")


def _cut(text, limit=40):
    text = str(text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _close(name, present):
    """Names among `present` that look like `name` (case and punctuation aside first)."""
    key = re.sub(r"[\W_]+", "", name).lower()
    same = [c for c in present if re.sub(r"[\W_]+", "", str(c)).lower() == key and c != name]
    return same + [c for c in difflib.get_close_matches(name, [str(c) for c in present], n=3, cutoff=0.6) if c not in same]


def _missing_columns(path, missing, present, hint=""):
    parts = []
    for name in missing:
        close = _close(name, present)
        parts.append(repr(name) + (f" (close: {_listing(close)})" if close else ""))
    shown = ", ".join(_cut(c, 60) for c in present[:20]) + (f", ... ({len(present)} in all)" if len(present) > 20 else "")
    return InputError(f"{path}: missing column{'s' if len(missing) > 1 else ''} {', '.join(parts)} "
                      f"(columns present: {shown}){hint}")


# ------------------------------------------------------------------------------------------------
# Opening a file: what kind it is, and for CSV how it is written


@dataclass
class Source:
    path: str
    kind: str  # "csv" or "parquet"
    columns: list
    sep: str = ","
    decimal: str = "."
    thousands: str | None = None
    encoding: str = "utf-8"
    compression: str | None = None
    member: str | None = None  # the file inside a zip archive
    raw: dict = field(default_factory=dict)  # column name -> the name as the header writes it
    text_columns: set = field(default_factory=set)  # columns whose sampled values are not numbers


def _head_bytes(path, compression, member):
    if compression == "gzip":
        with gzip.open(path, "rb") as fh:
            return fh.read(SNIFF_BYTES)
    if compression == "bz2":
        with bz2.open(path, "rb") as fh:
            return fh.read(SNIFF_BYTES)
    if compression == "xz":
        with lzma.open(path, "rb") as fh:
            return fh.read(SNIFF_BYTES)
    if compression == "zip":
        with zipfile.ZipFile(path) as zf, zf.open(member) as fh:
            return fh.read(SNIFF_BYTES)
    with open(path, "rb") as fh:
        return fh.read(SNIFF_BYTES)


def _compression(path, magic):
    if magic.startswith(b"\x1f\x8b"):
        return "gzip", None
    if magic.startswith(b"BZh"):
        return "bz2", None
    if magic.startswith(b"\xfd7zXZ\x00"):
        return "xz", None
    if magic.startswith(b"PK\x03\x04"):
        with zipfile.ZipFile(path) as zf:
            names = [n for n in zf.namelist() if not n.endswith("/")]
        if any(n.startswith("xl/") for n in names):
            raise InputError(f"{path}: an Excel workbook, not a CSV or Parquet file: save the sheet as CSV")
        if len(names) != 1:
            raise InputError(f"{path}: a zip archive holding {len(names)} files: give the one file to read")
        return "zip", names[0]
    return None, None


def _decode_head(path, raw):
    """The head of a text file decoded, and the encoding to read all of it with."""
    if raw.startswith(codecs.BOM_UTF8):
        encoding = "utf-8-sig"
    elif raw.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        encoding = "utf-16"
    else:
        encoding = "utf-8"
        if b"\x00" in raw:
            raise InputError(f"{path}: a binary file, not CSV text or Parquet")
    try:
        text = codecs.getincrementaldecoder(encoding)().decode(raw, final=len(raw) < SNIFF_BYTES)
    except UnicodeDecodeError as exc:
        raise InputError(f"{path}: not UTF-8 text (byte 0x{raw[exc.start]:02x} at offset {exc.start}): "
                         "save the file as UTF-8") from None
    if "\x00" in text:
        raise InputError(f"{path}: a binary file, not CSV text or Parquet")
    return text, encoding


def _sniff(text, complete):
    """(separator, decimal mark, thousands mark) of a CSV head: the separator that splits the header
    and the sampled rows into the same number (above one) of fields."""
    if not complete and "\n" in text:
        text = text[: text.rindex("\n")]  # the last line may be cut
    lines = [line for line in text.splitlines() if line.strip()][:SNIFF_LINES]
    best, best_count = ",", 1
    for sep in (",", "\t", ";"):
        try:
            rows = list(csv.reader(lines, delimiter=sep))
        except csv.Error:
            continue
        counts = {len(r) for r in rows}
        if rows and len(rows[0]) > 1 and counts == {len(rows[0])} and len(rows[0]) > best_count:
            best, best_count = sep, len(rows[0])
    if best_count == 1:  # no separator splits every row alike: the one splitting the header most
        header = lines[0] if lines else ""
        best = max((",", "\t", ";"), key=header.count) if any(s in header for s in ",\t;") else ","
    decimal, thousands = ".", None
    if best != ",":
        cells = pd.Series([c.strip() for row in csv.reader(lines[1:], delimiter=best) for c in row], dtype=object)
        if len(cells):
            comma = cells.str.fullmatch(r"[+-]?(?:\d{1,3}(?:\.\d{3})+|\d*),\d+").sum()
            point = cells.str.fullmatch(r"[+-]?\d*\.\d+(?:[eE][+-]?\d+)?").sum()
            if comma and comma >= point:
                decimal = ","
                if cells.str.fullmatch(r"[+-]?\d{1,3}(?:\.\d{3})+(?:,\d+)?").any():
                    thousands = "."
    return best, decimal, thousands


def open_source(path):
    """A `Source` for `path`: its kind, its columns and, for CSV, how to read it."""
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    if os.path.isdir(path):
        raise InputError(f"{path}: a folder, not a file")
    if not os.path.isfile(path):
        raise InputError(f"{path}: not a regular file")
    try:
        with open(path, "rb") as fh:
            magic = fh.read(8)
        if not magic:
            raise InputError(f"{path}: the file is empty")
        if magic.startswith(b"PAR1"):
            return _open_parquet(path)
        if path.lower().endswith((".parquet", ".pq")):
            raise InputError(f"{path}: not a Parquet file (it does not start with the Parquet mark)")
        compression, member = _compression(path, magic)
        raw = _head_bytes(path, compression, member)
    except InputError:
        raise
    except (OSError, EOFError, zipfile.BadZipFile, lzma.LZMAError, RuntimeError) as exc:
        raise InputError(f"{path}: cannot read the file ({_one_line(exc)})") from None
    text, encoding = _decode_head(path, raw)
    if not text.strip():
        raise InputError(f"{path}: the file is empty")
    sep, decimal, thousands = _sniff(text, complete=len(raw) < SNIFF_BYTES)
    src = Source(path, "csv", [], sep, decimal, thousands, encoding, compression, member)
    sample = _read_csv(src, nrows=SNIFF_LINES, na_values=MISSING_TEXTS)
    src.raw = dict(zip((str(c).strip() for c in sample.columns), sample.columns))
    src.columns = list(src.raw)
    for col, raw in src.raw.items():
        values = sample[raw].dropna()
        if not pd.api.types.is_numeric_dtype(values.dtype) and len(values):
            work = values.astype(str).str.strip()
            if decimal == ",":
                work = work.str.replace(",", ".", regex=False)
            if pd.to_numeric(work, errors="coerce").isna().all():
                src.text_columns.add(col)
    return src


def _open_parquet(path):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise InputError(f"{path}: reading Parquet needs pyarrow, which is not installed (pip install pyarrow)") from None
    import pyarrow as pa

    try:
        schema = pq.read_schema(path)
    except Exception as exc:  # pyarrow's errors are of many kinds, all of them "cannot read"
        raise InputError(f"{path}: cannot read the file as Parquet ({_cut(_one_line(exc), 160)})") from None
    src = Source(path, "parquet", [])
    for f in schema:
        if re.fullmatch(r"__index_level_\d+__", f.name):
            continue
        src.columns.append(f.name)
        src.raw[f.name] = f.name
        kind = f.type.value_type if pa.types.is_dictionary(f.type) else f.type
        if pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_binary(kind):
            src.text_columns.add(f.name)
    return src


def _read_csv(src, nrows=None, usecols=None, text=(), keep=(), numbers=(), na_values=()):
    """pandas' C reader with the source's dialect; `text` columns read as written, `keep` columns
    with only an empty cell as missing, `numbers` with every MISSING_TEXTS as missing."""
    kw = dict(sep=src.sep, decimal=src.decimal, encoding=src.encoding, keep_default_na=False,
              na_values=list(na_values), engine="c", index_col=False)
    if src.thousands:
        kw["thousands"] = src.thousands
    if src.compression:
        kw["compression"] = src.compression
    if nrows is not None:
        kw["nrows"] = nrows
    if usecols is not None:
        raw = src.raw
        if len(usecols) < len(src.columns):
            kw["usecols"] = [raw[c] for c in usecols]
        kw["dtype"] = {raw[c]: str for c in text}
        kw["na_values"] = {**{raw[c]: [""] for c in keep}, **{raw[c]: MISSING_TEXTS for c in numbers}}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # mixed types per chunk: the checks below see to them
            if src.compression == "zip":
                with zipfile.ZipFile(src.path) as zf, zf.open(src.member) as fh:
                    kw.pop("compression")
                    frame = pd.read_csv(fh, **kw)
            else:
                frame = pd.read_csv(src.path, **kw)
    except UnicodeDecodeError as exc:
        raise InputError(f"{src.path}: not UTF-8 text (byte 0x{exc.object[exc.start]:02x} further on): save the file as UTF-8") from None
    except pd.errors.EmptyDataError:
        raise InputError(f"{src.path}: the file is empty") from None
    except (pd.errors.ParserError, ValueError, OSError, EOFError, zipfile.BadZipFile, lzma.LZMAError,
            OverflowError, MemoryError, csv.Error) as exc:
        raise InputError(f"{src.path}: cannot read the file as CSV ({_cut(_one_line(exc), 160)})") from None
    frame.columns = [str(c).strip() for c in frame.columns]
    return frame


def _all_text(series):
    if pd.api.types.is_string_dtype(series.dtype) and series.dtype != object:
        return True
    return series.dtype == object and pd.api.types.infer_dtype(series, skipna=True) in ("string", "empty")


def read_columns(src, columns, ids=(), dates=(), numbers=(), dates_as_text=False):
    """The named columns of a source. In CSV the `ids` columns come as written ("007" stays so),
    the `dates` too if `dates_as_text`; only an empty cell is missing in either."""
    if src.kind == "parquet":
        import pyarrow.parquet as pq

        try:
            table = pq.read_table(src.path, columns=list(columns))
            frame = table.to_pandas(ignore_metadata=True)
        except Exception as exc:  # pyarrow's errors are of many kinds, all of them "cannot read"
            raise InputError(f"{src.path}: cannot read the file as Parquet ({_cut(_one_line(exc), 160)})") from None
        frame.columns = [str(c) for c in frame.columns]
        return frame
    text = list(dates) if dates_as_text else []
    frame = _read_csv(src, usecols=list(columns), text=text, keep=list(ids) + list(dates), numbers=numbers)
    for col in ids:  # read as numbers (in some chunks at least): again, as text
        if not _all_text(frame[col]):
            frame[col] = _read_csv(src, usecols=[col], text=[col], keep=[col])[col].to_numpy()
    return frame


# ------------------------------------------------------------------------------------------------
# Layouts: which column is what


@dataclass
class Model:
    name: str
    mean: str
    lo: str | None = None
    hi: str | None = None
    level: float | None = None


@dataclass
class Layout:
    id: str
    ds: str
    models: list = field(default_factory=list)  # prediction files
    value: str | None = None  # observed files
    ignored: list = field(default_factory=list)  # interval bounds without their model
    text: list = field(default_factory=list)  # text columns beside the models


def _pick(src, flag, candidates):
    """The column named by `flag`, else the first of `candidates` present; None if none is."""
    for name in ([flag] if flag else candidates):
        if name in src.columns:
            return name
    return None


def prediction_layout(src, args):
    path, cols = src.path, src.columns
    id_flag, ds_flag = getattr(args, "id_col", None), getattr(args, "date_col", None)
    mean_flag, lo_flag, hi_flag = (getattr(args, n, None) for n in ("mean_col", "lower_col", "upper_col"))
    own = bool(mean_flag or lo_flag or hi_flag) or (LONG_ID not in cols and OWN_MEAN in cols)
    ident = _pick(src, id_flag, [LONG_ID, OWN_ID])
    ds = _pick(src, ds_flag, [LONG_DATE, OWN_DATE])
    if own:
        mean, lo, hi = mean_flag or OWN_MEAN, lo_flag or OWN_LOWER, hi_flag or OWN_UPPER
        wanted = [ident or id_flag or OWN_ID, ds or ds_flag or OWN_DATE, mean] + [c for c, flag in ((lo, lo_flag), (hi, hi_flag)) if flag]
        missing = [c for c in wanted if c not in cols]
        if missing:
            raise _missing_columns(path, missing, cols)
        if (lo in cols) != (hi in cols):
            missing = hi if lo in cols else lo
            raise _missing_columns(path, [missing], cols, "; the interval needs both bounds")
        has_band = lo in cols and hi in cols
        return Layout(ident, ds, [Model(mean, mean, lo if has_band else None, hi if has_band else None)])
    if ident is None or ds is None:
        missing = [flag or name for name, found, flag in ((LONG_ID, ident, id_flag), (LONG_DATE, ds, ds_flag)) if found is None]
        hint = "" if (id_flag or ds_flag) else "; or name them with --id-col/--date-col"
        raise _missing_columns(path, missing, cols, hint)
    bounds, plain = {}, []
    for col in cols:
        if col in (ident, ds) or col in NOT_MODELS or col.startswith("Unnamed: ") or col == "":
            continue
        m = BOUND.match(col)
        if m:
            bounds.setdefault(m["model"], {}).setdefault(float(m["level"]), {})[m["side"]] = col
        else:
            plain.append(col)
    models, ignored, text = [], [], []
    for name in plain:
        levels = {lv: sides for lv, sides in bounds.pop(name, {}).items() if len(sides) == 2}
        if not levels and name in src.text_columns:
            text.append(name)  # a label column beside the models, such as a region name
        elif levels:
            level = max(levels)
            models.append(Model(name, name, levels[level]["lo"], levels[level]["hi"], int(level) if level.is_integer() else level))
        else:
            models.append(Model(name, name))
    ignored += [c for sides in bounds.values() for lv in sides.values() for c in lv.values()]
    return Layout(ident, ds, models, ignored=ignored, text=text)


def observed_layout(src, args):
    path, cols = src.path, src.columns
    flags = [getattr(args, n, None) for n in ("obs_id_col", "obs_date_col", "obs_value_col")]
    found = [_pick(src, flags[0], [LONG_ID, OWN_ID]), _pick(src, flags[1], [LONG_DATE, OWN_DATE]),
             _pick(src, flags[2], [LONG_VALUE, OWN_VALUE])]
    if None in found:
        long_names = [f or n for f, n in zip(flags, (LONG_ID, LONG_DATE, LONG_VALUE))]
        own_names = [f or n for f, n in zip(flags, (OWN_ID, OWN_DATE, OWN_VALUE))]
        matches = lambda names: sum(n in cols for n in names)  # noqa: E731
        names = own_names if matches(own_names) > matches(long_names) else long_names
        raise _missing_columns(path, [n for n, f in zip(names, found) if f is None and n not in cols] or
                               [n for n, f in zip(names, found) if f is None], cols)
    return Layout(found[0], found[1], value=found[2])


# ------------------------------------------------------------------------------------------------
# Ids


def _sorted_codes(codes, values):
    """Codes per row into the sorted distinct `values` (-1 stays -1), values that compare equal
    merged: (codes, sorted distinct values)."""
    vcodes, distinct = pd.factorize(values)
    distinct = np.asarray(distinct)
    order = np.argsort(distinct, kind="stable")
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    vcodes = np.asarray(vcodes)
    lookup = np.append(np.where(vcodes >= 0, rank[np.maximum(vcodes, 0)] if len(rank) else -1, -1), -1)
    return lookup[codes], distinct[order]


def _id_text(value):
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    elif isinstance(value, (float, np.floating)) and np.isfinite(value) and float(value).is_integer():
        value = int(value)
    elif isinstance(value, (bool, np.bool_)):
        value = bool(value)
    return str(value).strip()


def read_ids(series):
    """(codes, ids): codes per row into the sorted distinct ids as text (-1 where there is none)."""
    codes, uniques = pd.factorize(series)
    codes = np.asarray(codes, dtype=np.int64)
    distinct = pd.Series(np.asarray(uniques, dtype=object), dtype=object)
    if _all_text(distinct):
        text = np.append(distinct.str.strip().to_numpy(dtype=object), "")
    else:
        text = np.array([_id_text(v) for v in distinct] + [""], dtype=object)
    codes[codes < 0] = len(text) - 1  # the missing ones: the empty text added last
    text[text == ""] = None
    return _sorted_codes(codes, pd.Series(text, dtype=object))


# ------------------------------------------------------------------------------------------------
# Times

ISO = r"\d{4}-\d{1,2}(?:-\d{1,2}(?:[T ]\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?P<off>\s*(?:Z|UTC|[+-]\d{2}(?::?\d{2})?))?)?)?"
YMD = r"(?P<y>\d{4})(?P<s>[/.])(?P<m>\d{1,2})(?P=s)(?P<d>\d{1,2})(?P<rest>[T ].*)?"
DMY = r"(?P<a>\d{1,2})(?P<s>[/.\- ])(?P<b>\d{1,2})(?P=s)(?P<y>\d{4}|\d{2})(?P<rest>[T ].*)?"
_PANDAS2 = int(pd.__version__.split(".")[0]) >= 2


class DateProblem(Exception):
    """A date value the column cannot hold; `pos` is the position of the first such distinct value."""

    def __init__(self, message, pos, hint=True):
        super().__init__(message)
        self.pos, self.hint = pos, hint


@dataclass
class Times:
    """A date or time-step column: codes per row into its distinct values (-1 where missing).

    kind "step": `values` int64. kind "datetime": `values` a DatetimeIndex, naive or with a time
    zone; `zone` names the zone (None when naive, "mixed" for several UTC offsets, the values
    then in UTC). kind "dmy": day/month order still open; `dmy` holds the parts of the texts.
    """

    path: str
    col: str
    kind: str
    codes: np.ndarray
    texts: pd.Series  # the distinct values as written, for messages
    values: object = None
    zone: str | None = None
    dmy: pd.DataFrame | None = None

    def at(self, pos):
        """'value' on row N: the distinct value at `pos` and the first row holding it."""
        return f"{_cut(self.texts.iloc[pos])!r} on row {int(np.argmax(self.codes == pos)) + 1}"


def _quiet(fn, *args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kw)


def _zone_label(tz):
    """A name for a time zone: a fixed offset as UTC+hh:mm (or UTC), a named zone as its name."""
    if tz is None:
        return None
    name = str(tz)
    if "/" in name and "FixedOffset" not in name:
        return name
    try:
        off = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc).astimezone(tz).utcoffset()
    except Exception:  # an unusual tz object: keep its own name
        return name
    if off is None:
        return name
    minutes = int(off.total_seconds() // 60)
    if minutes == 0:
        return "UTC"
    return f"UTC{'+' if minutes > 0 else '-'}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def _first(mask):
    return int(np.flatnonzero(np.asarray(mask))[0])


def _datetimes(texts, fmt=None):
    """Date texts parsed: (DatetimeIndex, zone). Raises DateProblem at the first that fails."""
    iso = not fmt and bool(texts.str.fullmatch(ISO).all())
    kw = {"format": fmt} if fmt else ({"format": "ISO8601" if iso else "mixed"} if _PANDAS2 else {})
    what = f"does not match --date-format {fmt!r}" if fmt else "is not a date"
    if iso:
        off = texts.str.extract("^" + ISO + "$")["off"]
        if off.notna().any() and off.isna().any():
            raise DateProblem(f"has no time zone, unlike {texts[off.notna()].iloc[0]!r}", _first(off.isna()))
    try:
        parsed = pd.DatetimeIndex(_quiet(pd.to_datetime, texts, **kw))
        zone = _zone_label(parsed.tz)
    except (ValueError, TypeError, OverflowError):  # a text that fails, or several UTC offsets
        try:
            parsed = pd.DatetimeIndex(_quiet(pd.to_datetime, texts, errors="coerce", utc=True, **kw))
        except (ValueError, TypeError, OverflowError):  # a format pandas cannot apply at all
            raise DateProblem(what, 0) from None
        zone = "mixed"
    if parsed.isna().any():
        pos = _first(parsed.isna())
        year = re.match(r"\s*(\d{4})\b", str(texts.iloc[pos]))
        if year and not 1677 < int(year[1]) < 2262 and not fmt:
            raise DateProblem("is outside the years 1677 to 2262", pos, hint=False)
        raise DateProblem(what, pos)
    return parsed, zone


def _classify(texts):
    """Date texts by form: ("step", int64 array) | ("dmy", parts) | ("text", year-first texts)."""
    num = pd.to_numeric(texts, errors="coerce")
    if num.notna().all():
        bad = ~np.isfinite(num) | ((num % 1) != 0) | (num.abs() > 2**62)
        if bad.any():
            raise DateProblem("is a number but not a whole one: time steps are whole numbers", _first(bad), hint=False)
        if texts.str.fullmatch(r"[+-]?\d+").all():  # exact, also beyond float precision
            return "step", texts.astype(np.int64).to_numpy()
        return "step", num.to_numpy().astype(np.int64)
    iso = texts.str.fullmatch(ISO)
    ymd = texts.str.extract("^" + YMD + "$")
    dmy = texts.str.extract("^" + DMY + "$")
    forms = [iso, ymd["y"].notna() & ~iso, dmy["a"].notna() & ~iso]
    forms.append(~(forms[0] | forms[1] | forms[2]) & num.isna())
    forms.append(num.notna())
    present = [f for f in forms if f.any()]
    if len(present) > 1:  # a value unlike the others: name the first of the rarest form
        rare = min(present[::-1], key=lambda f: f.sum())  # on a tie, the less usual form
        common = max(present, key=lambda f: f.sum())
        raise DateProblem(f"is not written like the other dates (e.g. {texts[common].iloc[0]!r})", _first(rare))
    if forms[1].any():
        return "text", ymd["y"] + "-" + ymd["m"] + "-" + ymd["d"] + ymd["rest"].fillna("")
    if forms[2].any():
        return "dmy", dmy
    return "text", texts


def _object_texts(objects):
    return pd.Series([v.decode("utf-8", "replace") if isinstance(v, bytes) else v if isinstance(v, str) else
                      str(v) for v in objects], dtype=object)


def read_times(series, path, col, fmt):
    """The times of a date column: a `Times` of kind "step", "datetime" or "dmy" (see there)."""
    dtype = series.dtype
    codes, uniques = pd.factorize(series)
    codes = np.asarray(codes, dtype=np.int64)
    objects = np.asarray(uniques, dtype=object)
    if not len(objects):
        raise InputError(f"{path}: column {col!r} holds no dates")
    t = Times(path, col, "datetime", codes, _object_texts(objects))
    try:
        if pd.api.types.is_datetime64_any_dtype(dtype):
            t.values = pd.DatetimeIndex(uniques)
            t.zone = _zone_label(t.values.tz)
            return t
        if pd.api.types.is_bool_dtype(dtype):
            raise InputError(f"{path}: column {col!r} holds true/false values, not dates or time steps")
        if pd.api.types.is_numeric_dtype(dtype) and not isinstance(dtype, pd.CategoricalDtype) and not fmt:
            num = pd.Series(objects, dtype="float64")
            bad = ~np.isfinite(num) | ((num % 1) != 0) | (num.abs() > 2**62)
            if bad.any():
                raise DateProblem("is a number but not a whole one: time steps are whole numbers", _first(bad), hint=False)
            t.kind = "step"
            t.values = objects.astype(np.int64) if pd.api.types.is_integer_dtype(dtype) else num.to_numpy().astype(np.int64)
            return t
        if all(isinstance(v, (dt.date, np.datetime64)) for v in objects):
            aware = any(getattr(v, "tzinfo", None) is not None for v in objects)
            t.values = pd.DatetimeIndex(_quiet(pd.to_datetime, pd.Series(objects, dtype=object), utc=aware))
            t.zone = "mixed" if aware else None
            return t
        stripped = t.texts.str.strip()
        if fmt:
            t.values, t.zone = _datetimes(stripped, fmt)
            return t
        form, parsed = _classify(stripped)
        if form == "step":
            t.kind, t.values = "step", parsed
        elif form == "dmy":
            t.kind, t.dmy = "dmy", parsed
        else:
            t.values, t.zone = _datetimes(parsed)
        return t
    except DateProblem as exc:
        hint = "" if fmt or not exc.hint else "; give --date-format (a strptime format such as %d/%m/%Y or %Y%m) if the dates are written so"
        raise InputError(f"{path}: column {col!r}: {t.at(exc.pos)} {exc}{hint}") from None


def _settle_day_month(times):
    """Decides the day/month order of the "dmy" columns together (one pipeline writes both files)
    and parses them; refuses when the order is open or the files disagree."""
    pending = [t for t in times if t is not None and t.kind == "dmy"]
    if not pending:
        return
    found = []  # per column: ("day" | "month" | None, position of the value that shows it)
    for t in pending:
        a, b = t.dmy["a"].astype(int).to_numpy(), t.dmy["b"].astype(int).to_numpy()
        if (a > 12).any() and (b > 12).any():
            raise InputError(f"{t.path}: column {t.col!r}: {t.at(_first(a > 12))} puts the day first, "
                             f"{t.at(_first(b > 12))} the month; give --date-format")
        found.append(("day", _first(a > 12)) if (a > 12).any() else ("month", _first(b > 12)) if (b > 12).any() else (None, None))
    orders = {f[0] for f in found if f[0]}
    if len(orders) > 1:
        (td, (_, pd_)), (tm, (_, pm)) = [(t, f) for t, f in zip(pending, found) if f[0] == "day"][0], \
            [(t, f) for t, f in zip(pending, found) if f[0] == "month"][0]
        raise InputError(f"{tm.path}: column {tm.col!r} puts the month first ({tm.at(pm)}), {_name(td.path)} "
                         f"the day ({td.at(pd_)}); give --date-format")
    if not orders:
        for t in pending:
            diff = (t.dmy["a"].astype(int) != t.dmy["b"].astype(int)).to_numpy()
            if diff.any():
                sep = t.dmy["s"].iloc[0]
                raise InputError(f"{t.path}: column {t.col!r}: {t.at(_first(diff))} may be day-first or month-first "
                                 f"and no date tells which; give --date-format %d{sep}%m{sep}%Y or %m{sep}%d{sep}%Y")
    day_first = orders != {"month"}
    for t in pending:
        d = t.dmy
        year = d["y"].where(d["y"].str.len() == 4, d["y"].map(lambda y: str(int(y) + (2000 if int(y) < 69 else 1900))))
        day, month = (d["a"], d["b"]) if day_first else (d["b"], d["a"])
        try:
            t.values, t.zone = _datetimes(year + "-" + month + "-" + day + d["rest"].fillna(""))
        except DateProblem as exc:
            raise InputError(f"{t.path}: column {t.col!r}: {t.at(exc.pos)} is not a date "
                             f"(read {'day' if day_first else 'month'} first)") from None
        t.kind, t.dmy = "datetime", None


def _settle_zones(times, timezone):
    """Brings every datetime column to naive wall times in one zone, or refuses."""
    dated = [t for t in times if t is not None and t.kind == "datetime"]
    if timezone:
        for t in dated:
            if t.values.tz is not None:
                t.values = t.values.tz_convert(timezone).tz_localize(None)
            t.zone = None
        return
    zoned = [t for t in dated if t.zone is not None]
    if not zoned:
        return
    hint = "; give --timezone (such as Europe/Rome or UTC) to draw them in one zone"
    for t in zoned:
        if t.zone == "mixed":
            raise InputError(f"{t.path}: column {t.col!r} holds dates in several UTC offsets{hint}")
    for t in dated:
        if t.zone is None:
            z = zoned[0]
            raise InputError(f"{t.path}: column {t.col!r} holds dates without a time zone, {_name(z.path)} column "
                             f"{z.col!r} dates in {z.zone}{hint}")
    if len({t.zone for t in zoned}) > 1:
        raise InputError(f"{zoned[1].path}: column {zoned[1].col!r} holds dates in {zoned[1].zone}, {_name(zoned[0].path)} "
                         f"column {zoned[0].col!r} in {zoned[0].zone}{hint}")
    for t in zoned:  # one zone everywhere: its wall times
        t.values = t.values.tz_localize(None)
        t.zone = None


def _time_values(t):
    """The distinct values of a settled `Times` as int64 steps or datetime64[ns]."""
    if t.kind == "step":
        return pd.Series(t.values, dtype=np.int64)
    values = t.values
    outside = (values < pd.Timestamp.min) | (values > pd.Timestamp.max)
    if outside.any():
        raise InputError(f"{t.path}: column {t.col!r}: {t.at(_first(outside))} is outside the years 1677 to 2262")
    return pd.Series(values.as_unit("ns") if hasattr(values, "as_unit") else values.astype("datetime64[ns]"))


# ------------------------------------------------------------------------------------------------
# Numbers


def read_numbers(series, src, col):
    """A number column as float64 (NaN where missing); refuses text, naming its row."""
    path, decimal, thousands = src.path, src.decimal, src.thousands
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
        raise InputError(f"{path}: column {col!r} holds {_cut(objects.iloc[row])!r} on row {row + 1}, not a number")
    return num.to_numpy(dtype="float64", na_value=np.nan)


def _number(value):
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return np.nan


# ------------------------------------------------------------------------------------------------
# Assembling the canonical frames


def _grid_keys(path, what, id_codes, t_codes, n_ids, n_t, rows):
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


def _dup_error(path, ident, when, where, extra=""):
    rows = ", ".join(str(r) for r in where[:3]) + (f" ... ({len(where)} rows)" if len(where) > 3 else "")
    return InputError(f"{path}: {len(where)} rows for id {ident!r} and date {when} (rows {rows}); each id and date may "
                      f"appear once{extra}")


def _when(value, kind):
    if kind == "step":
        return str(int(value))
    ts = pd.Timestamp(value)
    return ts.date().isoformat() if ts == ts.normalize() else ts.isoformat(sep=" ")


def _ids_note(ids, limit=3):
    return _listing(list(ids), limit)


def _missing_note(path, noun, counts, id_hits, ids, first_row, model=None):
    total = sum(counts.values())
    detail = ", ".join(f"{c} {n}" for c, n in counts.items() if n) if len(counts) > 1 else ""
    who = np.unique(id_hits)
    return (f"{_name(path)}: {_plural(total, 'missing ' + noun)}" + (f" for model {model!r}" if model else "") +
            (f" ({detail})" if detail else "") + f" in {_plural(len(who), 'id')} ({_ids_note(ids[who])}), first on row {first_row}")


def _plural(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


STRPTIME = re.compile(r"%(?:[aAbBcdfGHIjmMpSuUVwWxXyYzZ]|:z)")


def _check_format(fmt):
    rest = STRPTIME.sub("", fmt.replace("%%", ""))
    if "%" in rest or rest == fmt.replace("%%", ""):
        bad = re.search(r"%.?", rest)
        what = f"{bad[0]!r} is not a strptime directive" if bad else "no strptime directive"
        raise InputError(f"--date-format {fmt!r}: {what} (a format is such as %d/%m/%Y or %Y%m)")


def load(args):
    """Reads and checks the prediction file and the observed-value file named by `args` (the
    command's options) into `Inputs`; raises InputError with a one-line message otherwise."""
    pred_path = args.predictions
    obs_path = getattr(args, "observed", None)
    fmt = getattr(args, "date_format", None) or None
    timezone = getattr(args, "timezone", None) or None
    wanted = getattr(args, "model", None) or None
    if timezone:
        try:
            pd.Timestamp("2000-01-01", tz=timezone)
        except Exception:  # the zone libraries raise several kinds for an unknown name
            raise InputError(f"--timezone {timezone!r}: unknown time zone (use a name such as Europe/Rome or UTC)") from None
    if fmt:
        _check_format(fmt)
    notes = []

    psrc = open_source(pred_path)
    play = prediction_layout(psrc, args)
    names = [m.name for m in play.models]
    if wanted:
        unknown = [w for w in wanted if w not in names]
        if unknown:
            close = _close(unknown[0], names)
            raise InputError(f"{pred_path}: no model {unknown[0]!r}" + (f" (close: {_listing(close)})" if close else "") +
                             f" (models present: {_listing(names, 12)})")
        play.models = [m for m in play.models if m.name in wanted]
        play.models.sort(key=lambda m: wanted.index(m.name))
    if not play.models:
        raise InputError(f"{pred_path}: no model columns beside {play.id!r} and {play.ds!r} (columns present: "
                         f"{', '.join(_cut(c) for c in psrc.columns[:20])})")
    if play.text:
        notes.append(f"{_name(pred_path)}: column{'s' if len(play.text) > 1 else ''} {_listing(play.text)} left out: "
                     "text, not forecasts")
    if play.ignored:
        notes.append(f"{_name(pred_path)}: column{'s' if len(play.ignored) > 1 else ''} {_listing(play.ignored)} left out: "
                     "interval bounds without their model column or without the other bound")
    value_cols = list(dict.fromkeys(c for m in play.models for c in (m.mean, m.lo, m.hi) if c))
    pframe = read_columns(psrc, [play.id, play.ds] + value_cols, ids=[play.id], dates=[play.ds], numbers=value_cols,
                          dates_as_text=bool(fmt))
    if not len(pframe):
        raise InputError(f"{pred_path}: no rows, only the header")
    pids, ptimes = read_ids(pframe[play.id]), read_times(pframe[play.ds], pred_path, play.ds, fmt)
    pvalues = {c: read_numbers(pframe[c], psrc, c) for c in value_cols}
    del pframe

    oframe = osrc = olay = None
    if obs_path is not None:
        osrc = open_source(obs_path)
        olay = observed_layout(osrc, args)
        oframe = read_columns(osrc, [olay.id, olay.ds, olay.value], ids=[olay.id], dates=[olay.ds], numbers=[olay.value],
                              dates_as_text=bool(fmt))
        if not len(oframe):
            raise InputError(f"{obs_path}: no rows, only the header")
        oids, otimes = read_ids(oframe[olay.id]), read_times(oframe[olay.ds], obs_path, olay.ds, fmt)
        ovalues = read_numbers(oframe[olay.value], osrc, olay.value)
        del oframe
    else:
        otimes = None

    _settle_day_month([ptimes, otimes])
    _settle_zones([ptimes, otimes], timezone)
    if otimes is not None and otimes.kind != ptimes.kind:
        step, dated = (otimes, ptimes) if otimes.kind == "step" else (ptimes, otimes)
        raise InputError(f"{step.path}: column {step.col!r} holds time steps (whole numbers) but {_name(dated.path)} column "
                         f"{dated.col!r} holds dates; give both files the same kind")
    kind = ptimes.kind
    for t in (ptimes, otimes):
        if t is not None and t.kind == "step" and len(t.values) and ((t.values >= 19000101) & (t.values <= 21001231)).all():
            notes.append(f"{_name(t.path)}: column {t.col!r} holds whole numbers, drawn as time steps; if they are dates, "
                         "give --date-format %Y%m%d")
            break

    # Forecasts: one grid of ids x forecast dates per model.
    rows, id_codes, ids, t_codes, times = _keyed_rows(pred_path, pids, ptimes, notes)
    n_ids, n_t = len(ids), len(times)
    if n_ids * n_t > max(4 * len(rows), MAX_GRID):
        raise InputError(f"{pred_path}: the ids' forecast dates differ too much to align them ({n_ids} ids over "
                         f"{n_t} distinct dates, {len(rows)} rows)")
    key, dup, where = _grid_keys(pred_path, "forecast", id_codes, t_codes, n_ids, n_t, rows)
    if dup >= 0:
        extra = " (the file has a 'cutoff' column: give the rows of one cutoff)" if "cutoff" in psrc.columns else ""
        raise _dup_error(pred_path, ids[dup // n_t], _when(times[dup % n_t], kind), where, extra)
    cells = n_ids * n_t
    present = np.zeros(cells, dtype=bool)
    present[key] = True
    parts, levels = [], {}
    for m in play.models:
        block = {}
        counts, hits, first = {}, [], None
        for col, src in (("mean", m.mean), ("lo", m.lo), ("hi", m.hi)):
            arr = np.full(cells, np.nan)
            if src is not None:
                vals = pvalues[src][rows]
                nan = ~np.isfinite(vals)
                arr[key] = np.where(nan, np.nan, vals)
                if nan.any():
                    counts[col] = int(nan.sum())
                    hits.append(id_codes[nan])
                    r = int(rows[nan][0]) + 1
                    first = r if first is None else min(first, r)
            block[col] = arr
        if counts:
            notes.append(_missing_note(pred_path, "value", counts, np.concatenate(hits), ids, first, m.name))
        if m.lo is not None:
            crossed = (block["lo"] > block["hi"])
            if crossed.any():
                notes.append(f"{_name(pred_path)}: model {m.name!r}: the lower bound is above the upper one in "
                             f"{_plural(int(crossed.sum()), 'row')} (first: id {ids[np.argmax(crossed) // n_t]!r})")
        parts.append(block)
        levels[m.name] = m.level
    if not present.all():
        short = np.flatnonzero(~present.reshape(n_ids, n_t).all(axis=1))
        have = present.reshape(n_ids, n_t).sum(axis=1)
        gaps = cells - int(present.sum())
        notes.append(f"{_name(pred_path)}: {_plural(len(short), 'id')} lack{'s' if len(short) == 1 else ''} some of the {n_t} "
                     f"forecast dates ({', '.join(f'{ids[i]!r} has {have[i]}' for i in short[:3])}{' ...' if len(short) > 3 else ''}): "
                     + ("the missing row is drawn as a gap" if gaps == 1 else f"the {gaps} missing rows are drawn as gaps"))
    models = [m.name for m in play.models]
    k = len(models)
    forecasts = pd.DataFrame({
        "model": pd.Categorical.from_codes(np.repeat(np.arange(k), cells), categories=models),
        "id": pd.Series(np.tile(np.repeat(ids, n_t), k), dtype=object),
        "ds": np.tile(np.tile(times, n_ids), k),
        "mean": np.concatenate([p["mean"] for p in parts]),
        "lo": np.concatenate([p["lo"] for p in parts]),
        "hi": np.concatenate([p["hi"] for p in parts]),
        "filled": np.tile(~present, k),
    })

    observed = None
    if obs_path is not None:
        obs = _observed(obs_path, oids, otimes, ovalues, kind, notes)
        _pairing_notes(pred_path, obs_path, ids, times, present, obs, notes)
        observed = obs[0]
    return Inputs(forecasts, observed, models, levels, kind,
                  getattr(args, "use_case", None) or os.path.splitext(_name(pred_path))[0],
                  pred_path, obs_path, notes)


def _compact(codes, values):
    """Codes renumbered over the values they use, and those values (order kept)."""
    used = np.zeros(len(values), dtype=bool)
    used[codes] = True
    if used.all():
        return codes, values
    new = np.cumsum(used) - 1
    values = values[used]
    return new[codes], values


def _keyed_rows(path, ids, times, notes):
    """The rows that have both an id and a date (the others are left out, with a note), and the
    ids and dates renumbered over them: (row positions, id codes, ids, date codes, sorted dates)."""
    id_codes, ids = ids
    t_codes, times = _sorted_codes(times.codes, _time_values(times))
    ok = (id_codes >= 0) & (t_codes >= 0)
    if not ok.all():
        bad = np.flatnonzero(~ok)
        notes.append(f"{_name(path)}: {_plural(len(bad), 'row')} without an id or a date left out (first: row {bad[0] + 1})")
        if not ok.any():
            raise InputError(f"{path}: no row has both an id and a date")
    id_codes, ids = _compact(id_codes[ok], ids)
    t_codes, times = _compact(t_codes[ok], times)
    return np.flatnonzero(ok), id_codes, ids, t_codes, times


def _observed(path, oids, otimes, values, kind, notes):
    rows, id_codes, ids, t_codes, times = _keyed_rows(path, oids, otimes, notes)
    values = values[rows]
    n_t = len(times)
    key, dup, where = _grid_keys(path, "observed", id_codes, t_codes, len(ids), n_t, rows)
    if dup >= 0:
        raise _dup_error(path, ids[dup // n_t], _when(times[dup % n_t], kind), where)
    cells = len(ids) * n_t
    if cells <= 4 * len(key) + 1_000_000:  # the rows' places in the id x date grid, in order
        place = np.full(cells, -1, dtype=np.int64)
        place[key] = np.arange(len(key))
        order = place[place >= 0]
    else:
        order = np.argsort(key, kind="stable")
    nan = ~np.isfinite(values)
    if nan.any():
        notes.append(_missing_note(path, "observed value", {"y": int(nan.sum())}, id_codes[nan], ids, int(rows[nan][0]) + 1))
    id_codes, t_codes = id_codes[order], t_codes[order]
    frame = pd.DataFrame({
        # Millions of rows share a few thousand ids: kept as codes into the sorted ids.
        "id": pd.Categorical.from_codes(id_codes, categories=pd.Index(ids, dtype=object)),
        "ds": times[t_codes],
        "y": np.where(nan, np.nan, values)[order],
    })
    return frame, ids, times, id_codes, t_codes


def _pairing_notes(pred_path, obs_path, ids, times, present, obs, notes):
    """Notes on how the observed values meet the forecasts: ids on one side only, no value on a
    forecast date. `obs` is what _observed returns."""
    frame, oids, otimes, id_codes, t_codes = obs
    name = _name(obs_path)
    to_pred = pd.Index(ids).get_indexer(oids)  # per observed id, its place among the forecast ids
    known = to_pred >= 0
    if not known.any():
        notes.append(f"{name}: none of its ids is an id of {_name(pred_path)} (e.g. {oids[0]!r} there, {ids[0]!r} here)")
        return
    unseen = np.ones(len(ids), dtype=bool)
    unseen[to_pred[known]] = False
    if unseen.any():
        notes.append(f"{name}: no observed values for {_plural(int(unseen.sum()), 'forecast id')} ({_ids_note(ids[unseen])})")
    if (~known).any():
        notes.append(f"{name}: {_plural(int((~known).sum()), 'id')} without forecasts left aside ({_ids_note(oids[~known])})")
    i = to_pred[id_codes]
    t = pd.Index(times).get_indexer(otimes)[t_codes]
    hit = (i >= 0) & (t >= 0) & frame["y"].notna().to_numpy()
    if not present[i[hit] * len(times) + t[hit]].any():
        notes.append(f"{name}: no observed value falls on a forecast date, so there are no residuals")
