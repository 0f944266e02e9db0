"""Reading the report page's data without a browser: its meta, its ids and the arrays of each
model and of the observed values, decoded as the page's script decodes them."""

from __future__ import annotations

import base64
import json
import re
import zlib

import numpy as np

from sorvani_kb.datavisualization.report.page import Blobs


def parts(text):
    """(meta, {element number: base64 text}) of a page."""
    meta = json.loads(re.search(r'<script type="application/json" id="sorvani-meta">(.*?)</script>', text, re.S)[1])
    elements = {
        int(n): t
        for n, t in re.findall(r'<script type="application/octet-stream" id="sorvani-b(\d+)">([^<]*)</script>', text)
    }
    return meta, elements


def decode(index, elements, name):
    """The array `name` of a page, decoded as the page's script decodes it."""
    a = index[name]
    bases = [decode(index, elements, b) for b in a.get("base", [])]
    out = []
    for c in range(len(a["bounds"]) - 1):
        raw = zlib.decompress(base64.b64decode(elements[a["el"] + c]))
        code, lo, hi = raw[0], a["bounds"][c], a["bounds"][c + 1]
        dtype = np.dtype("<f8" if code == Blobs.FLOAT64 else "<i4" if code else "<" + a["dtype"])
        values = np.frombuffer(raw[1:], np.uint8).reshape(dtype.itemsize, hi - lo).T.copy().view(dtype).ravel()
        if Blobs.RELATIVE <= code < Blobs.FLOAT64:
            values = against_base(values, [b[lo:hi] for b in bases], code - Blobs.RELATIVE, a["width"])
        elif 0 < code < Blobs.FLOAT64:
            values = np.where(values == Blobs.MISSING, np.nan, values / 10.0 ** (code - 1))
        if a.get("columns"):
            values = values.reshape(a["width"], -1).T.ravel()
        out.append(values)
    return np.concatenate(out) if out else np.zeros(0)


def against_base(changes, bases, k, width):
    """A chunk stored against its bases: per row, the running sum of the changes (skipping the
    missing ones) added to the base's integer (or the reflection 2a - b of two), over 10**k."""
    scale = 10.0**k
    ints = [np.round(b * scale) for b in bases]
    ref = ints[0] if len(ints) == 1 else 2 * ints[0] - ints[1]
    missing = changes == Blobs.MISSING
    steps = np.where(missing, 0, changes).astype(np.int64).reshape(-1, width)
    return np.where(missing, np.nan, (ref + np.cumsum(steps, axis=1).ravel()) / scale)


class Page:
    def __init__(self, text):
        self.text = text
        self.meta, self.elements = parts(text)
        ids = []
        for name, parent in zip(self.meta["names"], self.meta["parent"]):
            ids.append(ids[parent] + "/" + name if parent >= 0 else name)
        # a grouped structure's page holds every id in full
        self.ids = list(self.meta["names"]) if "structure" in self.meta else ids
        self.models = [m["name"] for m in self.meta["models"]]

    def array(self, name):
        return decode(self.meta["arrays"], self.elements, name)

    def children(self, ident):
        g = self.ids.index(ident)
        return [i for i, p in zip(self.ids, self.meta["parent"]) if p == g]

    def model(self, name):
        return self.meta["models"][self.models.index(name)]

    def member(self, model, ident):
        """The numbers the page draws for `ident` under `model`: mean, lo, hi, res (observed -
        forecast on the forecast dates, NaN where either is missing), std, sums (or None)."""
        m = self.model(model)
        arrays, width = m["arrays"], m["width"]
        g = self.ids.index(ident)
        gid = self.array(arrays["gid"]).tolist() if "gid" in arrays else list(range(len(self.ids)))
        row = gid.index(g)

        def rows(name):
            return self.array(arrays[name]).reshape(-1, width)

        out = {"mean": rows("mean")[row]}
        out["res"] = rows("res")[row] if "res" in arrays else self.derived_residuals(m, ident, out["mean"])
        for name in ("lo", "hi"):
            out[name] = rows(name)[row] if name in arrays else None
        out["std"] = self.array(arrays["std"])[row]
        agg = self.array(arrays["aggRows"]).tolist()
        out["sums"] = rows("sums")[agg.index(row)] if row in agg else None
        return out

    def derived_residuals(self, entry, ident, mean):
        """The residuals the page derives where it stores none: the observed value on each
        forecast date (entry["fcObs"]: its position on the observed axis) less the forecast."""
        pos, values = self.observed_rows(ident)
        at = dict(zip(pos.tolist(), values.tolist()))
        y = np.array([at.get(p, np.nan) if p >= 0 else np.nan for p in entry["fcObs"]])
        with np.errstate(over="ignore", invalid="ignore"):
            return np.where(np.isfinite(y) & np.isfinite(mean), y - mean, np.nan)

    def observed_rows(self, ident):
        """(positions on the observed axis, values) observed for `ident`."""
        obs = self.meta["obs"]
        g = self.ids.index(ident)
        counts = self.array(obs["arrays"]["count"]).astype(int)
        start = int(counts[:g].sum())
        values = self.array(obs["arrays"]["values"])[start : start + counts[g]]
        if "start" in obs["arrays"]:
            return int(self.array(obs["arrays"]["start"])[g]) + np.arange(counts[g]), values
        return self.array(obs["arrays"]["pos"])[start : start + counts[g]].astype(int), values

    def observed(self, ident):
        """(dates as the figures write them, values) observed for `ident`."""
        pos, values = self.observed_rows(ident)
        axis = self.meta["obs"]["axis"]
        return [axis[p] for p in pos], values
