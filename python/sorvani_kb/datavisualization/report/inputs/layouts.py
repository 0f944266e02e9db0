"""Layouts: which column of an input is what.

Without options a forecast input may be in the long format of the common forecasting libraries
(`unique_id`, `ds`, one column per model `M` with its interval bounds `M-lo-L` / `M-hi-L`) or in
the report's own layout (`id`, `date`, `mean`, `lower`, `upper`); observed values as `unique_id`,
`ds`, `y` or `id`, `date`, `value`.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Optional

from .text import missing_columns

LONG_ID, LONG_DATE, LONG_VALUE = "unique_id", "ds", "y"
OWN_ID, OWN_DATE, OWN_MEAN, OWN_LOWER, OWN_UPPER, OWN_VALUE = "id", "date", "mean", "lower", "upper", "value"
# Columns of the long format that are not models.
NOT_MODELS = {LONG_ID, LONG_DATE, LONG_VALUE, "cutoff", "index", "level_0", "id", "date", "unique_id"}
BOUND = re.compile(r"^(?P<model>.+)-(?P<side>lo|hi)-(?P<level>\d+(?:\.\d+)?)$")


@dataclass
class Model:
    name: str
    mean: str
    lo: Optional[str] = None
    hi: Optional[str] = None
    level: Optional[float] = None


@dataclass
class Layout:
    id: str
    ds: str
    models: list = field(default_factory=list)  # prediction files
    value: Optional[str] = None  # observed files
    ignored: list = field(default_factory=list)  # interval bounds without their model
    text: list = field(default_factory=list)  # text columns beside the models


def _pick(src, flag, candidates):
    """The column named by `flag`, else the first of `candidates` present; None if none is."""
    for name in [flag] if flag else candidates:
        if name in src.columns:
            return name
    return None


def prediction_layout(src, options):
    path, cols = src.path, src.columns
    id_flag, ds_flag = options.id_col, options.date_col
    mean_flag, lo_flag, hi_flag = options.mean_col, options.lower_col, options.upper_col
    own = bool(mean_flag or lo_flag or hi_flag) or (LONG_ID not in cols and OWN_MEAN in cols)
    ident = _pick(src, id_flag, [LONG_ID, OWN_ID])
    ds = _pick(src, ds_flag, [LONG_DATE, OWN_DATE])
    if own:
        mean, lo, hi = mean_flag or OWN_MEAN, lo_flag or OWN_LOWER, hi_flag or OWN_UPPER
        wanted = [ident or id_flag or OWN_ID, ds or ds_flag or OWN_DATE, mean] + [
            c for c, flag in ((lo, lo_flag), (hi, hi_flag)) if flag
        ]
        missing = [c for c in wanted if c not in cols]
        if missing:
            raise missing_columns(path, missing, cols)
        if (lo in cols) != (hi in cols):
            missing = hi if lo in cols else lo
            raise missing_columns(path, [missing], cols, "; the interval needs both bounds")
        has_band = lo in cols and hi in cols
        return Layout(ident, ds, [Model(mean, mean, lo if has_band else None, hi if has_band else None)])
    if ident is None or ds is None:
        missing = [
            flag or name for name, found, flag in ((LONG_ID, ident, id_flag), (LONG_DATE, ds, ds_flag)) if found is None
        ]
        hint = "" if (id_flag or ds_flag) else "; or name them with --id-col/--date-col"
        raise missing_columns(path, missing, cols, hint)
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
            models.append(
                Model(name, name, levels[level]["lo"], levels[level]["hi"], int(level) if level.is_integer() else level)
            )
        else:
            models.append(Model(name, name))
    ignored += [c for sides in bounds.values() for lv in sides.values() for c in lv.values()]
    return Layout(ident, ds, models, ignored=ignored, text=text)


def observed_layout(src, options):
    path, cols = src.path, src.columns
    flags = [options.obs_id_col, options.obs_date_col, options.obs_value_col]
    found = [
        _pick(src, flags[0], [LONG_ID, OWN_ID]),
        _pick(src, flags[1], [LONG_DATE, OWN_DATE]),
        _pick(src, flags[2], [LONG_VALUE, OWN_VALUE]),
    ]
    if None in found:
        long_names = [f or n for f, n in zip(flags, (LONG_ID, LONG_DATE, LONG_VALUE))]
        own_names = [f or n for f, n in zip(flags, (OWN_ID, OWN_DATE, OWN_VALUE))]
        matches = lambda names: sum(n in cols for n in names)  # noqa: E731
        names = own_names if matches(own_names) > matches(long_names) else long_names
        raise missing_columns(
            path,
            [n for n, f in zip(names, found) if f is None and n not in cols]
            or [n for n, f in zip(names, found) if f is None],
            cols,
        )
    return Layout(found[0], found[1], value=found[2])
