"""Frames given in memory: pandas, polars (eager or lazy), pyarrow, and any object that exports
the Arrow PyCapsule stream interface (`__arrow_c_stream__`: DuckDB relations, for one).

Each becomes a `Source` of kind "frame" whose `fetch(columns)` gives a pandas DataFrame of just
those columns, as the file readers do; nothing is written to a file on the way. Messages name
the argument (`forecasts`, `observed`) where they would name a file.
"""

from __future__ import annotations

import re

import pandas as pd

from ..errors import InputError
from .datasets import to_pandas
from .sources import SNIFF_LINES, Source, text_columns
from .text import cut, one_line

ARROW_TEXT = ("string", "large_string", "string_view", "binary", "large_binary")


def frame_source(obj, label):
    """A `Source` for the frame `obj` given as the argument `label`; refuses anything else."""
    src = _frame_source(obj, label)
    kind = type(obj)
    name = {"pandas": "pandas", "polars": "polars", "pyarrow": "pyarrow"}.get(kind.__module__.split(".")[0])
    src.description = (
        f"a {name} {kind.__name__}" if name else f"an Arrow stream ({kind.__module__}.{kind.__qualname__})"
    )
    return src


def _frame_source(obj, label):
    if isinstance(obj, pd.DataFrame):
        return _pandas_source(obj, label)
    module = type(obj).__module__.split(".")[0]
    if module == "polars" and type(obj).__name__ == "LazyFrame":
        return _lazy_source(obj, label)
    if module == "polars" and hasattr(obj, "to_arrow"):
        return _arrow_source(_polars_table(obj, label), label)
    if module == "pyarrow" and hasattr(obj, "schema") and hasattr(obj, "select"):
        return _arrow_source(obj, label)
    if hasattr(obj, "__arrow_c_stream__"):
        return _arrow_source(_stream_table(obj, label), label)
    raise InputError(
        f"{label}: a {type(obj).__module__}.{type(obj).__qualname__}, not a path nor a data frame "
        "(pandas, polars, pyarrow, or any object with __arrow_c_stream__)"
    )


def _unique_names(label, names):
    seen = set()
    for n in names:
        if n in seen:
            raise InputError(f"{label}: column {n!r} appears more than once; each column name may appear once")
        seen.add(n)
    return names


# ------------------------------------------------------------------------------------------------
# pandas


def _pandas_source(frame, label):
    """A pandas frame; named index levels (such as `unique_id`, as older versions of the
    forecasting libraries return it) count as columns."""
    index_names = [n for n in frame.index.names if n is not None and str(n) not in {str(c) for c in frame.columns}]
    raw = {str(c): c for c in frame.columns}
    levels = {str(n): n for n in index_names}
    names = _unique_names(label, [str(n) for n in index_names] + [str(c) for c in frame.columns])

    def fetch(columns, ids=()):
        out = {}
        for col in columns:
            if col in levels:
                out[col] = pd.Series(frame.index.get_level_values(levels[col]), name=col)
            else:
                out[col] = frame[raw[col]].reset_index(drop=True)
        return pd.DataFrame(out)

    head = fetch(names)[:SNIFF_LINES] if len(names) else pd.DataFrame()
    return Source(
        label,
        "frame",
        names,
        raw={n: n for n in names},
        text_columns=text_columns(head, {n: n for n in names}),
        fetch=fetch,
    )


# ------------------------------------------------------------------------------------------------
# Arrow: pyarrow tables, polars, the PyCapsule stream


def _arrow_source(table, label):
    import pyarrow as pa

    names = _unique_names(label, [str(n) for n in table.schema.names])
    text = set()
    for name, f in zip(names, table.schema):
        kind = f.type.value_type if pa.types.is_dictionary(f.type) else f.type
        if str(kind) in ARROW_TEXT:
            text.add(name)
    positions = {n: i for i, n in enumerate(names)}

    def fetch(columns, ids=()):
        return to_pandas(table.select([positions[c] for c in columns]), columns, ids, label)

    return Source(label, "frame", names, raw={n: n for n in names}, text_columns=text, fetch=fetch)


def _polars_table(frame, label):
    try:
        return frame.to_arrow()
    except Exception as exc:  # noqa: BLE001  (polars raises its own kinds, pyarrow missing among them)
        raise InputError(f"{label}: cannot read the polars frame ({cut(one_line(exc), 160)})") from None


def _lazy_source(lazy, label):
    """A polars LazyFrame: only the columns needed are collected."""
    schema = lazy.collect_schema() if hasattr(lazy, "collect_schema") else lazy.schema
    names = _unique_names(label, [str(n) for n in schema.names()] if hasattr(schema, "names") else list(schema))
    text = {n for n, t in zip(names, schema.values()) if re.match(r"(String|Utf8|Categorical|Enum|Binary)", str(t))}

    def fetch(columns, ids=()):
        try:
            table = lazy.select(list(columns)).collect().to_arrow()
        except Exception as exc:  # noqa: BLE001  (the query's own errors)
            raise InputError(f"{label}: cannot collect the lazy frame ({cut(one_line(exc), 160)})") from None
        return to_pandas(table, columns, ids, label)

    return Source(label, "frame", names, raw={n: n for n in names}, text_columns=text, fetch=fetch)


def _stream_table(obj, label):
    """The whole Arrow stream an object exports, as a pyarrow Table."""
    import pyarrow as pa

    try:
        if hasattr(pa.RecordBatchReader, "from_stream"):
            return pa.RecordBatchReader.from_stream(obj).read_all()
        return pa.table(obj)
    except Exception as exc:  # noqa: BLE001  (whatever the exporter raises)
        raise InputError(
            f"{label}: cannot read its Arrow stream ({cut(one_line(exc), 160)}); pyarrow 14 or newer "
            "reads any object with __arrow_c_stream__"
        ) from None
