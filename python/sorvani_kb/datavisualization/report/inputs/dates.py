"""Date and time-step columns: forms, formats, day/month order and time zones.

Only the distinct values of a column are examined: a column of millions of rows over a few
thousand dates costs little more than factorising it.
"""

from __future__ import annotations

import datetime as dt
import re
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

from ..errors import InputError
from .columns import code_type
from .text import cut, source_name

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
        return f"{cut(self.texts.iloc[pos])!r} on row {int(np.argmax(self.codes == pos)) + 1}"


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
    except Exception:  # noqa: BLE001  an unusual tz object: keep its own name
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
    return pd.Series(
        [
            v.decode("utf-8", "replace") if isinstance(v, bytes) else v if isinstance(v, str) else str(v)
            for v in objects
        ],
        dtype=object,
    )


def _factorize(series):
    """pd.factorize of a column. A long frame written series after series, each over the same
    dates, repeats one run of dates end to end: such a column is factorised by its first run and
    checked against it, without hashing every row."""
    n, dtype = len(series), series.dtype
    if n and isinstance(dtype, np.dtype) and dtype.kind in "iuM":
        values = series.to_numpy()
        head = values[: 1 << 20]
        again = np.flatnonzero(head[1:] == head[0])
        width = int(again[0]) + 1 if len(again) else 0
        if width and n % width == 0 and (values.reshape(-1, width) == values[:width]).all():
            codes, uniques = pd.factorize(values[:width])
            return np.tile(codes.astype(code_type(len(uniques))), n // width), uniques
    codes, uniques = pd.factorize(series)
    return codes.astype(code_type(len(uniques))), uniques


def read_times(series, path, col, fmt):
    """The times of a date column: a `Times` of kind "step", "datetime" or "dmy" (see there)."""
    dtype = series.dtype
    codes, uniques = _factorize(series)
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
                raise DateProblem(
                    "is a number but not a whole one: time steps are whole numbers", _first(bad), hint=False
                )
            t.kind = "step"
            t.values = (
                objects.astype(np.int64) if pd.api.types.is_integer_dtype(dtype) else num.to_numpy().astype(np.int64)
            )
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
        hint = (
            ""
            if fmt or not exc.hint
            else "; give --date-format (a strptime format such as %d/%m/%Y or %Y%m) if the dates are written so"
        )
        raise InputError(f"{path}: column {col!r}: {t.at(exc.pos)} {exc}{hint}") from None


def settle_day_month(times):
    """Decides the day/month order of the "dmy" columns together (one pipeline writes both files)
    and parses them; refuses when the order is open or the files disagree."""
    pending = [t for t in times if t is not None and t.kind == "dmy"]
    if not pending:
        return
    found = []  # per column: ("day" | "month" | None, position of the value that shows it)
    for t in pending:
        a, b = t.dmy["a"].astype(int).to_numpy(), t.dmy["b"].astype(int).to_numpy()
        if (a > 12).any() and (b > 12).any():
            raise InputError(
                f"{t.path}: column {t.col!r}: {t.at(_first(a > 12))} puts the day first, "
                f"{t.at(_first(b > 12))} the month; give --date-format"
            )
        found.append(
            ("day", _first(a > 12)) if (a > 12).any() else ("month", _first(b > 12)) if (b > 12).any() else (None, None)
        )
    orders = {f[0] for f in found if f[0]}
    if len(orders) > 1:
        (td, (_, pd_)), (tm, (_, pm)) = (
            [(t, f) for t, f in zip(pending, found) if f[0] == "day"][0],
            [(t, f) for t, f in zip(pending, found) if f[0] == "month"][0],
        )
        raise InputError(
            f"{tm.path}: column {tm.col!r} puts the month first ({tm.at(pm)}), {source_name(td.path)} "
            f"the day ({td.at(pd_)}); give --date-format"
        )
    if not orders:
        for t in pending:
            diff = (t.dmy["a"].astype(int) != t.dmy["b"].astype(int)).to_numpy()
            if diff.any():
                sep = t.dmy["s"].iloc[0]
                raise InputError(
                    f"{t.path}: column {t.col!r}: {t.at(_first(diff))} may be day-first or month-first "
                    f"and no date tells which; give --date-format %d{sep}%m{sep}%Y or %m{sep}%d{sep}%Y"
                )
    day_first = orders != {"month"}
    for t in pending:
        d = t.dmy
        year = d["y"].where(d["y"].str.len() == 4, d["y"].map(lambda y: str(int(y) + (2000 if int(y) < 69 else 1900))))
        day, month = (d["a"], d["b"]) if day_first else (d["b"], d["a"])
        try:
            t.values, t.zone = _datetimes(year + "-" + month + "-" + day + d["rest"].fillna(""))
        except DateProblem as exc:
            raise InputError(
                f"{t.path}: column {t.col!r}: {t.at(exc.pos)} is not a date "
                f"(read {'day' if day_first else 'month'} first)"
            ) from None
        t.kind, t.dmy = "datetime", None


def settle_zones(times, timezone):
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
            raise InputError(
                f"{t.path}: column {t.col!r} holds dates without a time zone, {source_name(z.path)} column "
                f"{z.col!r} dates in {z.zone}{hint}"
            )
    if len({t.zone for t in zoned}) > 1:
        raise InputError(
            f"{zoned[1].path}: column {zoned[1].col!r} holds dates in {zoned[1].zone}, {source_name(zoned[0].path)} "
            f"column {zoned[0].col!r} in {zoned[0].zone}{hint}"
        )
    for t in zoned:  # one zone everywhere: its wall times
        t.values = t.values.tz_localize(None)
        t.zone = None


def time_values(t):
    """The distinct values of a settled `Times` as int64 steps or datetime64[ns]."""
    if t.kind == "step":
        return pd.Series(t.values, dtype=np.int64)
    values = t.values
    outside = (values < pd.Timestamp.min) | (values > pd.Timestamp.max)
    if outside.any():
        raise InputError(f"{t.path}: column {t.col!r}: {t.at(_first(outside))} is outside the years 1677 to 2262")
    return pd.Series(values.as_unit("ns") if hasattr(values, "as_unit") else values.astype("datetime64[ns]"))


STRPTIME = re.compile(r"%(?:[aAbBcdfGHIjmMpSuUVwWxXyYzZ]|:z)")


def check_format(fmt):
    rest = STRPTIME.sub("", fmt.replace("%%", ""))
    if "%" in rest or rest == fmt.replace("%%", ""):
        bad = re.search(r"%.?", rest)
        what = f"{bad[0]!r} is not a strptime directive" if bad else "no strptime directive"
        raise InputError(f"--date-format {fmt!r}: {what} (a format is such as %d/%m/%Y or %Y%m)")
