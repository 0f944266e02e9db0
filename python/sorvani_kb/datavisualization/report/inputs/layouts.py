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
QUANTILE = re.compile(r"^(?P<model>.+)-(?:q-(?P<p>\d+(?:\.\d+)?)|(?P<median>median))$")
CUTOFF = "cutoff"


@dataclass
class Model:
    """A model's columns: its point forecast `mean` (its own column, else its median), the bounds
    of its widest interval `lo`/`hi` at `level`; `bands` every interval level -> (lo, hi) columns,
    from bound columns or from quantile pairs symmetric about the median; `quantiles` the
    probability (0 to 1) -> column of each quantile column."""

    name: str
    mean: str
    lo: Optional[str] = None
    hi: Optional[str] = None
    level: Optional[float] = None
    bands: dict = field(default_factory=dict)
    quantiles: dict = field(default_factory=dict)


@dataclass
class Layout:
    id: str
    ds: str
    models: list = field(default_factory=list)  # prediction files
    value: Optional[str] = None  # observed files; in a prediction file, its observed values (`y`)
    cutoff: Optional[str] = None  # prediction files: the cross-validation window's cutoff
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
    layout = Layout(ident, ds)
    layout.cutoff = _pick(src, options.cutoff_col, [CUTOFF])
    if options.cutoff_col and layout.cutoff is None:
        raise missing_columns(path, [options.cutoff_col], cols)
    layout.value = LONG_VALUE if LONG_VALUE in cols else None
    skip = {ident, ds, layout.cutoff, layout.value}
    _long_models(src, [c for c in cols if c not in skip and c not in src.partitions], layout)
    return layout


def _long_models(src, cols, layout):
    """The models of the long format among `cols`: each plain column, with its bound columns
    `M-lo-L`/`M-hi-L` and quantile columns `M-q-P`/`M-median` (a model may have only quantiles)."""
    bounds, quantiles, plain = {}, {}, []
    for col in cols:
        if col in NOT_MODELS or col.startswith("Unnamed: ") or col == "":
            continue
        b, q = BOUND.match(col), QUANTILE.match(col)
        if b:
            bounds.setdefault(b["model"], {}).setdefault(float(b["level"]), {})[b["side"]] = col
        elif q and (q["median"] or 0 <= float(q["p"]) <= 100):
            quantiles.setdefault(q["model"], {})[0.5 if q["median"] else float(q["p"]) / 100] = col
        else:
            plain.append(col)
    names = plain + [m for m in quantiles if m not in plain]
    for name in names:
        levels = {lv: sides for lv, sides in bounds.pop(name, {}).items() if len(sides) == 2}
        qs = quantiles.pop(name, {})
        if not levels and not qs and name in src.text_columns:
            layout.text.append(name)  # a label column beside the models, such as a region name
            continue
        layout.models.append(_model(name, name if name in plain else None, levels, qs))
    layout.ignored += [c for sides in bounds.values() for lv in sides.values() for c in lv.values()]
    layout.ignored += [c for qs in quantiles.values() for c in qs.values()]


def _model(name, point, levels, quantiles):
    bands = {_level(lv): (sides["lo"], sides["hi"]) for lv, sides in levels.items()}
    for p, col in quantiles.items():
        twin = round(1.0 - p, 10)
        if p < 0.5 and twin in quantiles:
            bands.setdefault(_level(round(100 - 200 * p, 8)), (col, quantiles[twin]))
    mean = point or quantiles.get(0.5)
    if mean is None:  # quantiles without a median: their middle one stands for the point
        mean = quantiles[min(quantiles, key=lambda p: abs(p - 0.5))]
    model = Model(name, mean, bands=dict(sorted(bands.items())), quantiles=dict(sorted(quantiles.items())))
    if bands:
        model.level = max(bands)
        model.lo, model.hi = bands[model.level]
    return model


def _level(value):
    value = float(value)
    return int(value) if value.is_integer() else value


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
