"""Parquet as distributed pipelines write it: a folder of part files (with hive partitions such as
`cutoff=2024-01-01/`, or none), or a glob pattern naming part files; and Arrow tables to pandas
with the ids as dictionary codes, never one Python string per row.

Part files written by Spark, Dask, polars or DuckDB differ in their types (dictionary-encoded or
large strings, timestamps in ns, us or ms, with or without a zone): pyarrow reads them all, and
the columns' readers take whatever pandas type comes out.
"""

from __future__ import annotations

import glob
import os

from ..errors import InputError
from .text import cut, one_line

PATTERN = set("*?[")
HIDDEN = (".", "_")  # Spark's _SUCCESS and _committed files, .crc checksums


def is_pattern(path):
    return bool(PATTERN & set(os.path.basename(path))) and not os.path.exists(path)


def part_files(path):
    """The Parquet part files a folder or a pattern names; refuses a folder or pattern without any."""
    if os.path.isdir(path):
        files = []
        for folder, dirs, names in os.walk(path):
            dirs[:] = sorted(d for d in dirs if not d.startswith(HIDDEN))
            files += [os.path.join(folder, n) for n in sorted(names) if not n.startswith(HIDDEN)]
        what = "a folder"
    else:
        files = sorted(f for f in glob.glob(path, recursive=True) if os.path.isfile(f))
        what = "a pattern"
        if not files:
            raise InputError(f"{path}: no file matches the pattern")
    parquet = [f for f in files if _is_parquet(f)]
    if not parquet:
        raise InputError(
            f"{path}: {what} holding no Parquet files ({len(files)} other files); give a file, or a "
            "folder or pattern of Parquet part files"
        )
    return parquet


def _is_parquet(path):
    try:
        with open(path, "rb") as fh:
            return fh.read(4) == b"PAR1"
    except OSError:
        return False


def partition_names(path, files):
    """The hive partition columns (`key=value` folders) of a folder's part files."""
    if not os.path.isdir(path):
        return set()
    parts = (os.path.relpath(f, path).split(os.sep)[:-1] for f in files)
    return {seg.split("=", 1)[0] for segs in parts for seg in segs if "=" in seg}


def dataset(path, files):
    """The pyarrow dataset of the part files (hive partitions of a folder as columns)."""
    import pyarrow.dataset as pds

    try:
        hive = {"partitioning": "hive", "partition_base_dir": path} if os.path.isdir(path) else {}
        found = pds.dataset(files, format="parquet", **hive)
        # Part files may type a text column differently (dictionary, large or plain strings): read
        # every part as the plain type, which each of them casts to.
        return pds.dataset(files, format="parquet", schema=_plain_schema(found.schema), **hive)
    except Exception as exc:  # noqa: BLE001  pyarrow's errors are of many kinds, all of them "cannot read"
        raise InputError(
            f"{path}: cannot read the part files as one Parquet dataset ({cut(one_line(exc), 160)})"
        ) from None


def _plain_schema(schema):
    import pyarrow as pa

    fields = []
    for f in schema:
        kind = f.type.value_type if pa.types.is_dictionary(f.type) else f.type
        if pa.types.is_large_string(kind) or str(kind) == "string_view":
            kind = pa.string()
        elif pa.types.is_large_binary(kind):
            kind = pa.binary()
        fields.append(pa.field(f.name, kind, f.nullable))
    return pa.schema(fields)


def to_pandas(table, columns, ids, label):
    """A pandas frame of an Arrow table's columns, text id columns as Categoricals (dictionary codes),
    dates as datetime64."""
    import pyarrow as pa
    import pyarrow.compute as pc

    for col in ids:
        i = table.schema.get_field_index(col)
        kind = table.schema.field(i).type
        if pa.types.is_string(kind) or pa.types.is_large_string(kind) or str(kind) == "string_view":
            table = table.set_column(i, col, pc.dictionary_encode(table.column(i)))
    try:
        frame = table.to_pandas(ignore_metadata=True, date_as_object=False)
    except Exception as exc:  # noqa: BLE001  a type pandas cannot hold
        raise InputError(
            f"{label}: cannot read the columns {', '.join(map(repr, columns))} ({cut(one_line(exc), 160)})"
        ) from None
    frame.columns = list(columns)
    return frame
