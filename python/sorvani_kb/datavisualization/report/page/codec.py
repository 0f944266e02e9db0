"""The page's binary arrays: numbers in compact chunks the page decodes as a view needs them."""

from __future__ import annotations

import base64
import math
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np


class Blobs:
    """Binary arrays for the page, in chunks, each chunk put in a script element of its own
    (chunk c of an array whose first element is `el` is element el + c) as base64 of deflated
    bytes: one byte telling the encoding, then the numbers, little-endian and byte-shuffled (the
    k-th bytes of all numbers together). Encoding 0: the array's own type (float32 for values);
    encoding 1 + k: values that are decimals of k places, as int32 of value * 10**k (INT32_MIN
    for a missing value), which the page divides by 10**k: the numbers here to 1e-9 relative;
    encoding 255: float64, for values beyond the range of float32.

    Arrays of values per id are cut by blocks of `block` consecutive ids (chunk c holds the rows
    of the ids of block c), and the page holds the chunks block by block, each block followed by
    a marker: a member's view needs the chunks of its own block (and its sub-members'), and can
    be drawn as soon as the browser has read them. Other arrays are one chunk each."""

    MISSING = -(2**31)
    MAX_PLACES = 6
    FLOAT64 = 255

    def __init__(self, n_ids, block, level=1):
        self.n_ids, self.block, self.level = n_ids, block, level
        self.n_blocks = max(1, -(-n_ids // block))
        self.starts = np.minimum(np.arange(self.n_blocks + 1) * block, n_ids)
        self.arrays = []  # (name, array, dtype, decimal places to try, chunk bounds, blocked, late)
        self.head = []  # (element number, text) of the unblocked arrays
        self.tail = []  # the same, for arrays only the overview needs
        self.blocks = [[] for _ in range(self.n_blocks)]  # per block: (element number, text)
        self.index = {}
        self._next = 0

    def add(self, name, array, dtype, keys=None, width=1, offsets=None, late=False):
        """Stores `array` (flattened) under `name`. keys: the id (global index, ascending) of each
        row of `width` elements; offsets: for variable-length rows, where each id's elements start
        (n_ids + 1 offsets); neither: one chunk (late: after the blocks)."""
        dtype = np.dtype(dtype).newbyteorder("<")
        array = np.asarray(array)
        places = None
        if dtype.kind == "f":
            array = np.ascontiguousarray(array, dtype=np.float64).ravel()
            places = self._places(array)
        else:
            array = np.ascontiguousarray(array.astype(dtype, copy=False)).ravel()
        if offsets is not None:
            bounds = np.asarray(offsets)[self.starts]
        elif keys is not None:
            bounds = np.append(np.searchsorted(keys, self.starts[:-1]), len(keys)) * width
        else:
            bounds = np.array([0, len(array)])
        blocked = keys is not None or offsets is not None
        self.arrays.append((name, array, dtype, places, [int(b) for b in bounds], blocked, late))
        return name

    def _places(self, values):
        """The fewest decimal places that write a sample of `values` exactly, or None."""
        finite = values[np.isfinite(values)]
        if not len(finite):
            return None
        sample = finite[:: max(1, len(finite) // 4096)]
        for k in range(self.MAX_PLACES + 1):
            if self._decimal(sample, k, limit=False) is not None:
                return k
        return None

    def _decimal(self, values, k, limit=True):
        """values * 10**k as int32 when that gives back every value (to 1e-9 relative), else None."""
        ints, ok = self._scaled(values, k, limit)
        return ints if ok.all() else None

    def _scaled(self, values, k, limit=True):
        """values * 10**k, rounded (int32 with MISSING for NaN when `limit`), and where that
        gives back the value to 1e-9 relative."""
        scale = 10.0**k
        finite = np.isfinite(values)
        plain = np.where(finite, values, 0.0)
        with np.errstate(all="ignore"):
            scaled = np.round(plain * scale)
            ok = (np.abs(scaled) < (2**31 - 1 if limit else 2.0**53)) & ~np.isinf(values)
            ok &= np.abs(scaled / scale - plain) <= 1e-9 * np.abs(plain)
        if not limit:
            return scaled, ok
        return np.where(finite & ok, scaled, self.MISSING).astype("<i4"), ok

    @staticmethod
    def _in_every_chunk(flags, bounds):
        """Per chunk [bounds[c], bounds[c + 1]): whether `flags` holds for all its elements."""
        starts = np.asarray(bounds[:-1])
        if not len(flags):
            return np.ones(len(starts), dtype=bool)
        return np.logical_and.reduceat(flags, np.minimum(starts, len(flags) - 1)) | (np.diff(bounds) == 0)

    @staticmethod
    def _fits_float32(array):
        """Where a value keeps its magnitude as float32 (neither beyond its range nor subnormal)."""
        magnitude = np.abs(array)
        with np.errstate(invalid="ignore"):
            return ~((magnitude > np.finfo(np.float32).max) & np.isfinite(array)) & ~(
                (magnitude < np.finfo(np.float32).tiny) & (magnitude > 0)
            )

    def _encodings(self, array, dtype, places, bounds):
        """Per chunk: (encoding, the numbers to store)."""
        if dtype.kind != "f":
            return [(0, array)] * (len(bounds) - 1)
        codes = np.zeros(len(bounds) - 1, dtype=int)
        sources = {0: None}
        if places is not None:
            ints, ok = self._scaled(array, places)
            codes[self._in_every_chunk(ok, bounds)] = places + 1
            sources[places + 1] = ints
        wide = (codes == 0) & ~self._in_every_chunk(self._fits_float32(array), bounds)
        codes[wide] = self.FLOAT64  # beyond what float32 holds
        if (codes == 0).any():
            with np.errstate(over="ignore"):
                sources[0] = array.astype(dtype)
        if wide.any():
            sources[self.FLOAT64] = array.astype("<f8")
        return [(int(c), sources[int(c)]) for c in codes]

    def decoded(self, name):
        """The float64 values the page decodes from the array `name` (a float one), as finish
        will encode it."""
        _, array, dtype, places, bounds, _, _ = next(a for a in self.arrays if a[0] == name)
        out = np.empty(len(array))
        for (code, source), a, b in zip(self._encodings(array, dtype, places, bounds), bounds[:-1], bounds[1:]):
            piece = source[a:b]
            if code in (0, self.FLOAT64):
                out[a:b] = piece
            else:
                out[a:b] = np.where(piece == self.MISSING, np.nan, piece / 10.0 ** (code - 1))
        return out

    def _pack(self, job):
        code, piece = job
        shuffled = bytes([code]) + piece.view(np.uint8).reshape(-1, piece.itemsize).T.tobytes()
        return base64.b64encode(zlib.compress(shuffled, self.level)).decode("ascii")

    def finish(self, workers=2):
        """Encodes and compresses every chunk (zlib works outside the interpreter lock: threads
        share it)."""
        jobs = []
        for _, array, dtype, places, bounds, _, _ in self.arrays:
            for (code, source), a, b in zip(self._encodings(array, dtype, places, bounds), bounds[:-1], bounds[1:]):
                jobs.append((code, source[a:b]))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            packed = iter(list(pool.map(self._pack, jobs)))
        for name, array, dtype, _, bounds, blocked, late in self.arrays:
            first = self._next
            for c in range(len(bounds) - 1):
                (self.blocks[c] if blocked else self.tail if late else self.head).append((self._next, next(packed)))
                self._next += 1
            self.index[name] = {
                "el": first,
                "dtype": dtype.str[1:],
                "n": int(array.size),
                "bounds": bounds,
                "blocked": blocked,
                "late": late,
            }
        self.arrays = []


def block_size(bytes_per_id, target=1 << 17):
    """Ids per block: a power of two giving chunks of about `target` bytes."""
    return int(2 ** max(4, min(16, math.floor(math.log2(max(1.0, target / max(1.0, bytes_per_id)))))))
