"""Opening an input file: what kind it is, and for CSV how it is written; reading its columns.

CSV separated by commas, semicolons or tabs (decimal commas where the separator is not a comma),
plain or compressed (gzip, bz2, xz, zip), UTF-8 or UTF-16 with a byte-order mark; Parquet. The
kind is found from the content, never from the file's name.
"""

from __future__ import annotations

import bz2
import codecs
import csv
import gzip
import lzma
import os
import re
import warnings
import zipfile
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..errors import InputError
from ..memory import release_memory
from .datasets import dataset, is_pattern, part_files, partition_names, to_pandas
from .text import cut, one_line

# Cell texts that mean "no value" in a number column (id and date columns treat only an empty
# cell so: "NA" may well be an id).
MISSING_TEXTS = [
    "",
    "NA",
    "N/A",
    "n/a",
    "N.A.",
    "na",
    "NaN",
    "nan",
    "NAN",
    "-nan",
    "-NaN",
    "null",
    "NULL",
    "Null",
    "None",
    "none",
    "#N/A",
    "#NA",
    "#VALUE!",
    "-",
    "--",
]
SNIFF_BYTES = 1 << 16
SNIFF_LINES = 200


@dataclass
class Source:
    """Where an input comes from: a file (kind "csv" or "parquet"), or a frame in memory (kind
    "frame", read through `fetch`). `path` is what messages name: the file's path, or the
    argument's name for a frame."""

    path: str
    kind: str  # "csv", "parquet" or "frame"
    columns: list
    sep: str = ","
    decimal: str = "."
    thousands: str | None = None
    encoding: str = "utf-8"
    compression: str | None = None
    member: str | None = None  # the file inside a zip archive
    raw: dict = field(default_factory=dict)  # column name -> the name as the header writes it
    text_columns: set = field(default_factory=set)  # columns whose sampled values are not numbers
    fetch: Any = None  # for a frame: columns -> a pandas DataFrame of just those columns
    description: str = ""  # for a frame: what it is, as the page names it ("a polars LazyFrame")
    partitions: set = field(default_factory=set)  # a dataset's hive partition columns: never models


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
        raise InputError(
            f"{path}: not UTF-8 text (byte 0x{raw[exc.start]:02x} at offset {exc.start}): save the file as UTF-8"
        ) from None
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
    """A `Source` for `path`: its kind, its columns and, for CSV, how to read it. A folder or a glob
    pattern is a dataset of Parquet part files."""
    if os.path.isdir(path) or is_pattern(path):
        return _open_dataset(path)
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
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
        raise InputError(f"{path}: cannot read the file ({one_line(exc)})") from None
    text, encoding = _decode_head(path, raw)
    if not text.strip():
        raise InputError(f"{path}: the file is empty")
    sep, decimal, thousands = _sniff(text, complete=len(raw) < SNIFF_BYTES)
    src = Source(path, "csv", [], sep, decimal, thousands, encoding, compression, member)
    sample = _read_csv(src, nrows=SNIFF_LINES, na_values=MISSING_TEXTS)
    src.raw = dict(zip((str(c).strip() for c in sample.columns), sample.columns))
    src.columns = list(src.raw)
    src.text_columns = text_columns(sample, src.raw, decimal)
    return src


def text_columns(sample, raw, decimal="."):
    """The columns (by name, `raw` mapping each name to the sample's own label) whose sampled
    values are text, not numbers."""
    found = set()
    for col, label in raw.items():
        values = sample[label].dropna()
        if (
            not pd.api.types.is_numeric_dtype(values.dtype)
            and not pd.api.types.is_datetime64_any_dtype(values.dtype)
            and len(values)
        ):
            work = values.astype(str).str.strip()
            if decimal == ",":
                work = work.str.replace(",", ".", regex=False)
            if pd.to_numeric(work, errors="coerce").isna().all():
                found.add(col)
    return found


def _open_parquet(path):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise InputError(
            f"{path}: reading Parquet needs pyarrow, which is not installed (pip install pyarrow)"
        ) from None
    try:
        schema = pq.read_schema(path)
    except Exception as exc:  # noqa: BLE001  pyarrow's errors are of many kinds, all of them "cannot read"
        raise InputError(f"{path}: cannot read the file as Parquet ({cut(one_line(exc), 160)})") from None
    return _parquet_source(path, schema)


def _parquet_source(path, schema):
    import pyarrow as pa

    src = Source(path, "parquet", [])
    for f in schema:
        if re.fullmatch(r"__index_level_\d+__", f.name):
            continue
        src.columns.append(f.name)
        src.raw[f.name] = f.name
        kind = f.type.value_type if pa.types.is_dictionary(f.type) else f.type
        if (
            pa.types.is_string(kind)
            or pa.types.is_large_string(kind)
            or pa.types.is_binary(kind)
            or str(kind) == "string_view"
        ):
            src.text_columns.add(f.name)
    return src


def _open_dataset(path):
    files = part_files(path)
    data = dataset(path, files)
    src = _parquet_source(path, data.schema)
    src.kind = "dataset"
    src.partitions = partition_names(path, files)
    src.description = f"{path} ({len(files)} Parquet part file{'s' if len(files) > 1 else ''})"
    src.fetch = lambda columns, ids=(): to_pandas(_dataset_table(path, data, columns), columns, ids, path)
    return src


def _dataset_table(path, data, columns):
    try:
        return data.to_table(columns=list(columns))
    except Exception as exc:  # noqa: BLE001  pyarrow's errors are of many kinds, all of them "cannot read"
        raise InputError(f"{path}: cannot read the part files ({cut(one_line(exc), 160)})") from None


def _read_csv(src, nrows=None, usecols=None, text=(), keep=(), numbers=(), na_values=()):
    """pandas' C reader with the source's dialect; `text` columns read as written, `keep` columns
    with only an empty cell as missing, `numbers` with every MISSING_TEXTS as missing."""
    kw = dict(
        sep=src.sep,
        decimal=src.decimal,
        encoding=src.encoding,
        keep_default_na=False,
        na_values=list(na_values),
        engine="c",
        index_col=False,
    )
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
        raise InputError(
            f"{src.path}: not UTF-8 text (byte 0x{exc.object[exc.start]:02x} further on): save the file as UTF-8"
        ) from None
    except pd.errors.EmptyDataError:
        raise InputError(f"{src.path}: the file is empty") from None
    except (
        pd.errors.ParserError,
        ValueError,
        OSError,
        EOFError,
        zipfile.BadZipFile,
        lzma.LZMAError,
        OverflowError,
        MemoryError,
        csv.Error,
    ) as exc:
        raise InputError(f"{src.path}: cannot read the file as CSV ({cut(one_line(exc), 160)})") from None
    frame.columns = [str(c).strip() for c in frame.columns]
    return frame


def _parquet_column(src, col, ids):
    """One column of a Parquet file as a one-column pandas frame."""
    import pyarrow.parquet as pq

    # Text ids come as the file's dictionary codes: millions of rows share a few thousand ids,
    # and one string per row would cost more memory and time than the rest of the read.
    codes = [col] if col in ids and col in src.text_columns else None
    try:
        values = _dictionary_column(src.path, col) if codes else _fixed_width_column(src.path, col)
        if values is not None:
            return pd.DataFrame({str(col): values}, copy=False)
        table = pq.read_table(src.path, columns=[col], read_dictionary=codes)
    except Exception as exc:  # noqa: BLE001  pyarrow's errors are of many kinds, all of them "cannot read"
        raise InputError(f"{src.path}: cannot read the file as Parquet ({cut(one_line(exc), 160)})") from None
    frame = to_pandas(table, [str(col)], [col] if col in ids else [], src.path)
    del table
    release_memory()
    return frame


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _row_groups(reader, path, col, put, read_dictionary=None):
    """Calls put(group, first row, Arrow chunks) for each row group of column `col` of the Parquet
    file `reader` reads (opened at `path`), over two threads where there are two cores: pyarrow
    decodes outside the interpreter lock, and the first touch of the array put fills is shared
    too. Each thread has its own reader and holds one row group at a time. False when a row group
    does not hold the rows the file's metadata gives it (nothing is then trusted)."""
    import pyarrow.parquet as pq

    n_groups = reader.num_row_groups
    rows = [reader.metadata.row_group(g).num_rows for g in range(n_groups)]
    first = np.concatenate([[0], np.cumsum(rows, dtype=np.int64)])
    threads = max(1, min(2, _cores(), n_groups))

    def share(k):
        own = reader if k == 0 else pq.ParquetFile(path, read_dictionary=read_dictionary)
        for g in range(k, n_groups, threads):
            chunks = own.read_row_group(g, columns=[col], use_threads=False).column(0).chunks
            if sum(len(c) for c in chunks) != rows[g]:
                return False
            put(g, int(first[g]), chunks)
        return True

    if threads == 1:
        return share(0)
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=threads) as pool:
        return all(list(pool.map(share, range(threads))))


def _fixed_width_column(path, col):
    """A column of float64 or zone-less nanosecond timestamps as one numpy array, filled a row
    group at a time: the read holds the array and a row group per thread, never the whole column
    twice (as Arrow's chunks and as their copy). None for any other type (read as Arrow converts
    it)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    parquet = pq.ParquetFile(path)
    kind = parquet.schema_arrow.field(col).type
    if kind == pa.float64():
        out = np.empty(parquet.metadata.num_rows, dtype=np.float64)
    elif pa.types.is_timestamp(kind) and kind.unit == "ns" and kind.tz is None:
        out = np.empty(parquet.metadata.num_rows, dtype="datetime64[ns]")
    else:
        return None

    def put(group, at, chunks):
        for chunk in chunks:
            out[at : at + len(chunk)] = chunk.to_numpy(zero_copy_only=False)  # NaN, NaT where missing
            at += len(chunk)

    whole = _row_groups(parquet, path, col, put)
    release_memory()
    return out if whole else None


def _dictionary_column(path, col):
    """A text column as a Categorical over its sorted distinct values, made a row group at a time
    from the file's dictionary codes: each row group's codes are copied once into one array and
    renumbered through a table of its dictionary's places among all the values. (Arrow's own
    conversion unifies the dictionaries and copies the codes several times: 2 to 7 s for 84
    million rows, against 0.5 to 2.) None for any other column, or a dictionary holding a missing
    value (read as Arrow converts it)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    parquet = pq.ParquetFile(path, read_dictionary=[col])
    kind = parquet.schema_arrow.field(col).type
    if not (
        pa.types.is_dictionary(kind)
        and (pa.types.is_string(kind.value_type) or pa.types.is_large_string(kind.value_type))
    ):
        return None
    codes = np.empty(parquet.metadata.num_rows, dtype=np.int32)
    found: list = [None] * parquet.num_row_groups  # per row group: (start, stop, dictionary) per chunk

    def put(group, at, chunks):
        if any(chunk.dictionary.null_count for chunk in chunks):
            return  # the row group stays None
        pieces = []
        for chunk in chunks:
            indices = chunk.indices if not chunk.indices.null_count else pc.fill_null(chunk.indices, -1)
            codes[at : at + len(chunk)] = indices.to_numpy(zero_copy_only=False)
            pieces.append((at, at + len(chunk), chunk.dictionary.to_numpy(zero_copy_only=False)))
            at += len(chunk)
        found[group] = pieces

    if not _row_groups(parquet, path, col, put, read_dictionary=[col]) or any(p is None for p in found):
        return None
    pieces = [piece for group in found for piece in group]
    if not pieces:
        return None
    distinct = np.unique(np.concatenate([np.asarray(values, dtype=object) for _, _, values in pieces]))
    for start, stop, values in pieces:
        places = np.append(np.searchsorted(distinct, np.asarray(values, dtype=object)), -1).astype(np.int32)
        block = codes[start:stop]
        np.take(places, block, out=block)  # a missing id's -1 takes the -1 appended
    release_memory()
    return pd.Categorical.from_codes(codes, categories=pd.Index(distinct, dtype=object))


def all_text(series):
    if pd.api.types.is_string_dtype(series.dtype) and series.dtype != object:
        return True
    return series.dtype == object and pd.api.types.infer_dtype(series, skipna=True) in ("string", "empty")


def read_columns(src, columns, ids=(), dates=(), numbers=(), dates_as_text=False):
    """The named columns of a source. In CSV the `ids` columns come as written ("007" stays so),
    the `dates` too if `dates_as_text`; only an empty cell is missing in either."""
    if src.fetch is not None:
        return src.fetch(list(columns), list(ids))
    if src.kind == "parquet":
        # A column at a time: the Arrow copy of one column is let go before the next is read, so
        # the read never holds the whole table twice (as Arrow and as pandas).
        parts = {str(c): _parquet_column(src, c, ids)[str(c)] for c in dict.fromkeys(columns)}
        return pd.DataFrame(parts, copy=False)
    return _csv_columns(src, columns, ids, dates, numbers, dates_as_text)


def column_reader(src, columns, ids=(), dates=(), numbers=(), dates_as_text=False):
    """The named columns of a source to be taken one at a time (`pop(name)` gives a column as a
    pandas Series, `len()` the rows): a Parquet file reads each column only when it is taken, so
    the caller can turn it into codes and let it go before the next one is read; any other source
    is read whole, as `read_columns` reads it."""
    if src.fetch is None and src.kind == "parquet":
        return _ParquetColumns(src, ids)
    return _FrameColumns(read_columns(src, columns, ids, dates, numbers, dates_as_text))


class _FrameColumns:
    """Columns read whole: taking one leaves the frame as it is (a column deleted from a pandas
    frame may copy the others of its block)."""

    def __init__(self, frame):
        self.frame = frame

    def __len__(self):
        return len(self.frame)

    def pop(self, col):
        return self.frame[col]


class _ParquetColumns:
    def __init__(self, src, ids):
        import pyarrow.parquet as pq

        self.src, self.ids = src, list(ids)
        try:
            self.rows = pq.ParquetFile(src.path).metadata.num_rows
        except Exception as exc:  # noqa: BLE001  pyarrow's errors are of many kinds, all of them "cannot read"
            raise InputError(f"{src.path}: cannot read the file as Parquet ({cut(one_line(exc), 160)})") from None

    def __len__(self):
        return self.rows

    def pop(self, col):
        return _parquet_column(self.src, col, self.ids)[str(col)]


def _csv_columns(src, columns, ids, dates, numbers, dates_as_text):
    text = list(dates) if dates_as_text else []
    frame = _read_csv(src, usecols=list(columns), text=text, keep=list(ids) + list(dates), numbers=numbers)
    for col in ids:  # read as numbers (in some chunks at least): again, as text
        if not all_text(frame[col]):
            frame[col] = _read_csv(src, usecols=[col], text=[col], keep=[col])[col].to_numpy()
    return frame
