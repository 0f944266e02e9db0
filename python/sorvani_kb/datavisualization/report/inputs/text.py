"""How the input layer words its messages: names, lists, cut texts, close matches."""

from __future__ import annotations

import difflib
import os
import re

import numpy as np

from ..errors import InputError


def source_name(path):
    """What a message calls a source: a file by its name, a frame by its argument."""
    return os.path.basename(path) or path


def one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def listing(values, limit=3):
    values = [repr(v) if isinstance(v, str) else str(v) for v in values]
    more = len(values) - limit
    return ", ".join(values[:limit]) + (f" and {more} more" if more > 0 else "")


def cut(text, limit=40):
    text = str(text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def close_names(name, present):
    """Names among `present` that look like `name` (case and punctuation aside first)."""
    key = re.sub(r"[\W_]+", "", name).lower()
    same = [c for c in present if re.sub(r"[\W_]+", "", str(c)).lower() == key and c != name]
    return same + [
        c for c in difflib.get_close_matches(name, [str(c) for c in present], n=3, cutoff=0.6) if c not in same
    ]


def missing_columns(path, missing, present, hint=""):
    parts = []
    for name in missing:
        close = close_names(name, present)
        parts.append(repr(name) + (f" (close: {listing(close)})" if close else ""))
    shown = ", ".join(cut(c, 60) for c in present[:20]) + (
        f", ... ({len(present)} in all)" if len(present) > 20 else ""
    )
    return InputError(
        f"{path}: missing column{'s' if len(missing) > 1 else ''} {', '.join(parts)} (columns present: {shown}){hint}"
    )


def ids_note(ids, limit=3):
    return listing(list(ids), limit)


def missing_note(path, noun, counts, id_hits, ids, first_row, model=None):
    total = sum(counts.values())
    detail = ", ".join(f"{c} {n}" for c, n in counts.items() if n) if len(counts) > 1 else ""
    who = np.unique(id_hits)
    return (
        f"{source_name(path)}: {plural(total, 'missing ' + noun)}"
        + (f" for model {model!r}" if model else "")
        + (f" ({detail})" if detail else "")
        + f" in {plural(len(who), 'id')} ({ids_note(ids[who])}), first on row {first_row}"
    )


def plural(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"
