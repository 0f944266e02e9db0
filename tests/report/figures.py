"""Comparing a figure the page draws with the figure the module returns, as JSON."""

from __future__ import annotations

import math

RELATIVE = 1e-6


def differences(expected, got, path="", limit=20):
    """Where `got` differs from `expected` (plain JSON: dicts, lists, strings, numbers, None):
    same keys, same lengths, equal texts and booleans, numbers equal to RELATIVE."""
    out = []

    def walk(e, g, p):
        if len(out) >= limit:
            return
        if isinstance(e, dict) and isinstance(g, dict):
            if set(e) != set(g):
                out.append(f"{p}: keys {sorted(set(e) ^ set(g))} differ")
            for k in e.keys() & g.keys():
                walk(e[k], g[k], f"{p}.{k}")
        elif isinstance(e, list) and isinstance(g, list):
            if len(e) != len(g):
                out.append(f"{p}: length {len(g)}, expected {len(e)}")
            for i, (a, b) in enumerate(zip(e, g)):
                walk(a, b, f"{p}[{i}]")
        elif isinstance(e, bool) or isinstance(g, bool):
            if e is not g:
                out.append(f"{p}: {g!r}, expected {e!r}")
        elif isinstance(e, (int, float)) and isinstance(g, (int, float)):
            if not (e == g or abs(e - g) <= RELATIVE * max(abs(e), abs(g))):
                out.append(f"{p}: {g!r}, expected {e!r}")
        elif isinstance(e, float) and math.isnan(e) and g is None:
            pass
        elif e != g:
            out.append(f"{p}: {g!r:.80}, expected {e!r:.80}")

    walk(expected, got, path)
    return out
