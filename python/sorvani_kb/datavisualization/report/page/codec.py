"""The page's binary arrays: numbers in compact chunks the page decodes as a view needs them."""

from __future__ import annotations

import base64
import math
import zlib
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple, Optional

import numpy as np

BLOCK = 1 << 20  # values checked at a time where a whole array's temporaries would be large


class _Stored(NamedTuple):
    name: str
    array: np.ndarray
    dtype: np.dtype
    places: Optional[int]  # decimal places to try, None for none
    bounds: list  # chunk c is array[bounds[c]:bounds[c + 1]]
    blocked: bool
    late: bool
    width: int
    base: tuple  # names of the arrays it is stored against (see Blobs.add)
    columns: bool  # each chunk's rows stored column by column


class Blobs:
    """Binary arrays for the page, in chunks, each chunk put in a script element of its own
    (chunk c of an array whose first element is `el` is element el + c) as base64 of deflated
    bytes: one byte telling the encoding, then the numbers, little-endian and byte-shuffled (the
    k-th bytes of all numbers together). Encoding 0: the array's own type (float32 for values);
    encoding 1 + k: values that are decimals of k places, as int32 of value * 10**k (INT32_MIN
    for a missing value), which the page divides by 10**k: the numbers here to 1e-9 relative;
    encoding 255: float64, for values beyond the range of float32.

    An array stored against a base (`add(base=)`: the point forecast for a lower bound, the
    forecast and the lower bound for an upper one) may have chunks of encoding RELATIVE + k:
    decimals of k places over a base whose same chunk holds decimals of k places or fewer, as int32
    of the differences from the base's value in units of 10**-k, each row of `width` numbers
    written as its first difference and then the change from the previous one (INT32_MIN for a
    missing value, skipped by the changes). The page rounds the base's value times 10**k back
    to its integer, adds the differences and divides by 10**k: to the bit what encoding 1 + k
    gives. A chunk where that does not hold is encoded as any other.

    Arrays of values per id are cut by blocks of `block` consecutive ids (chunk c holds the rows
    of the ids of block c), and the page holds the chunks block by block, each block followed by
    a marker: a member's view needs the chunks of its own block (and its sub-members'), and can
    be drawn as soon as the browser has read them. Other arrays are one chunk each. A `late`
    array's chunks, blocked or not, come after every block."""

    MISSING = -(2**31)
    MAX_PLACES = 6
    RELATIVE = 128
    FLOAT64 = 255

    def __init__(self, n_ids, block, level=1):
        self.n_ids, self.block, self.level = n_ids, block, level
        self.n_blocks = max(1, -(-n_ids // block))
        self.starts = np.minimum(np.arange(self.n_blocks + 1) * block, n_ids)
        self.arrays = []  # _Stored, in order
        self.head = []  # (element number, text) of the unblocked arrays
        self.tail = []  # the same, for arrays only the overview needs
        self.blocks = [[] for _ in range(self.n_blocks)]  # per block: (element number, text)
        self.index = {}
        self._next = 0
        # While finish runs: per base array, the chunks holding its decimals and its decoded
        # values, made once from its own encoding and let go after its last dependent.
        self._fits = {}
        self._decoded = {}

    def add(self, name, array, dtype, keys=None, width=1, offsets=None, late=False, base=(), columns=False):
        """Stores `array` (flattened) under `name`. keys: the id (global index, ascending) of each
        row of `width` elements; offsets: for variable-length rows, where each id's elements start
        (n_ids + 1 offsets); neither: one chunk. late: after the blocks (what only the
        overview and the tables need: a member's figures do not wait for it). base: one name (the
        array is stored against that array's values) or two (a, b: against 2a - b, b's
        reflection about a) of float arrays already added with the same rows; columns: each
        chunk's rows of `width` are stored column by column (rows of unlike measures)."""
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
        bounds = [int(b) for b in bounds]
        base = (base,) if isinstance(base, str) else tuple(base)
        for b in base:
            other = self._stored(b)
            if other.dtype.kind != "f" or other.bounds != bounds or dtype.kind != "f" or columns:
                raise ValueError(f"{name} cannot be stored against {b}")
        blocked = keys is not None or offsets is not None
        self.arrays.append(_Stored(name, array, dtype, places, bounds, blocked, late, width, base, columns))
        return name

    def _stored(self, name):
        return next(a for a in self.arrays if a.name == name)

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
        gives back the value to 1e-9 relative. With `limit`, a block at a time: an array of the
        whole observed history would otherwise make several float64 copies of itself at once."""
        if not limit or len(values) <= BLOCK:
            return self._scaled_block(values, k, limit)
        ints, ok = np.empty(len(values), dtype="<i4"), np.empty(len(values), dtype=bool)
        for at in range(0, len(values), BLOCK):
            ints[at : at + BLOCK], ok[at : at + BLOCK] = self._scaled_block(values[at : at + BLOCK], k)
        return ints, ok

    def _scaled_block(self, values, k, limit=True):
        # In place where it can be: this runs over every value the page holds.
        scale = 10.0**k
        finite = np.isfinite(values)
        plain = np.where(finite, values, 0.0)
        with np.errstate(all="ignore"):
            scaled = np.multiply(plain, scale)
            np.round(scaled, out=scaled)
            work = np.divide(scaled, scale)
            work -= plain
            np.abs(work, out=work)  # |scaled / scale - plain|
            ok = work <= np.multiply(np.abs(plain, out=plain), 1e-9, out=plain)
            del plain
            ok &= np.abs(scaled, out=work) < (2**31 - 1 if limit else 2.0**53)
            ok &= finite | np.isnan(values)  # an infinity has no decimals
        if not limit:
            return scaled, ok
        np.copyto(scaled, self.MISSING, where=~(finite & ok))
        return scaled.astype("<i4"), ok

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
        out = np.empty(len(array), dtype=bool)
        for at in range(0, len(array), BLOCK):
            magnitude = np.abs(array[at : at + BLOCK])
            with np.errstate(invalid="ignore"):
                out[at : at + BLOCK] = ~((magnitude > np.finfo(np.float32).max) & np.isfinite(magnitude)) & ~(
                    (magnitude < np.finfo(np.float32).tiny) & (magnitude > 0)
                )
        return out

    def _encodings(self, stored):
        """Per chunk of `stored`: (encoding, the numbers to store)."""
        array, dtype, places, bounds = stored.array, stored.dtype, stored.places, stored.bounds
        if dtype.kind != "f":
            return [(0, array)] * (len(bounds) - 1)
        codes = np.zeros(len(bounds) - 1, dtype=int)
        sources = {0: None}
        if places is not None:
            ints, ok = self._scaled(array, places)
            fits = self._in_every_chunk(ok, bounds)
            del ok
            self._fits[stored.name] = fits
            codes[fits] = places + 1
            sources[places + 1] = ints
            if stored.base:
                self._against_base(stored, ints, codes, sources)
        wide = (codes == 0) & ~self._in_every_chunk(self._fits_float32(array), bounds)
        codes[wide] = self.FLOAT64  # beyond what float32 holds
        if (codes == 0).any():
            with np.errstate(over="ignore"):
                sources[0] = array.astype(dtype)
        if wide.any():
            sources[self.FLOAT64] = array.astype("<f8")
        return [(int(c), sources[int(c)]) for c in codes]

    def _against_base(self, stored, ints, codes, sources):
        """Gives the decimal chunks of `stored` (`ints`: its values * 10**places, MISSING for
        none) whose base chunks hold decimals of as many places or fewer encoding RELATIVE +
        places, wherever the base has a value where it has one and the changes fit in int32."""
        k = stored.places
        chunks = codes == k + 1
        refs = []
        for base in (self._stored(name) for name in stored.base):
            if base.places is None or base.places > k:
                return
            fits = self._fits.get(base.name)
            if fits is None:
                fits = self._in_every_chunk(self._scaled(base.array, base.places)[1], stored.bounds)
            chunks &= fits
            refs.append(np.round(self.decoded(base.name) * 10.0**k))  # as the page rounds them
        ref = refs[0] if len(refs) == 1 else 2 * refs[0] - refs[1]
        no_ref = ~(np.abs(ref) < 2.0**52)  # NaN, or beyond what the page adds up exactly
        ref = np.where(no_ref, 0, ref).astype(np.int64)
        missing = ints == self.MISSING
        changes = self._row_changes(np.where(missing | no_ref, 0, ints - ref), missing, stored.width)
        fits = np.abs(changes) < 2**31 - 1
        chunks &= self._in_every_chunk(missing | (fits & ~no_ref), stored.bounds)
        if chunks.any():
            codes[chunks] = self.RELATIVE + k
            sources[self.RELATIVE + k] = np.where(missing, self.MISSING, np.where(fits, changes, 0)).astype("<i4")

    @staticmethod
    def _row_changes(diff, missing, width):
        """Per row of `width`: each difference less the previous one with a value in its row (the
        first as it is); missing ones are skipped (and give 0)."""
        rows, miss = diff.reshape(-1, width), missing.reshape(-1, width)
        changes = np.diff(rows, axis=1, prepend=0)  # right for every row without a missing value
        gaps = np.flatnonzero(miss.any(axis=1))
        if len(gaps):
            rows, miss = rows[gaps], miss[gaps]
            at = np.where(miss, -1, np.arange(width)[None, :])
            latest = np.maximum.accumulate(at, axis=1)  # the last with a value up to each place
            before = np.concatenate([np.full((len(rows), 1), -1), latest[:, :-1]], axis=1)
            previous = np.where(before >= 0, np.take_along_axis(rows, np.maximum(before, 0), axis=1), 0)
            changes[gaps] = np.where(miss, 0, rows - previous)
        return changes.ravel()

    @classmethod
    def from_base(cls, piece, refs, k, width):
        """The values of a chunk of encoding RELATIVE + k (`piece`, its int32 numbers) over the
        decoded values `refs` of its base chunks, as the page computes them."""
        scale = 10.0**k
        ref = np.round(refs[0] * scale)
        if len(refs) > 1:
            ref = 2 * ref - np.round(refs[1] * scale)
        missing = piece == cls.MISSING
        diff = np.cumsum(np.where(missing, 0, piece).astype(np.int64).reshape(-1, width), axis=1).ravel()
        return np.where(missing, np.nan, (ref + diff) / scale)

    def decoded(self, name):
        """The float64 values the page decodes from the array `name` (a float one), as finish
        will encode it."""
        if name in self._decoded:
            return self._decoded[name]
        stored = self._stored(name)
        return self._decode(stored, self._encodings(stored))

    def _decode(self, stored, encodings):
        bounds = stored.bounds
        out = np.empty(len(stored.array))
        refs = None
        for (code, source), a, b in zip(encodings, bounds[:-1], bounds[1:]):
            piece = source[a:b]
            if code in (0, self.FLOAT64):
                out[a:b] = piece
            elif code >= self.RELATIVE:
                refs = refs if refs is not None else [self.decoded(base) for base in stored.base]
                out[a:b] = self.from_base(piece, [r[a:b] for r in refs], code - self.RELATIVE, stored.width)
            else:
                out[a:b] = np.where(piece == self.MISSING, np.nan, piece / 10.0 ** (code - 1))
        return out

    def _pack(self, job):
        code, piece = job
        piece = np.ascontiguousarray(piece)
        shuffled = bytes([code]) + piece.view(np.uint8).reshape(-1, piece.itemsize).T.tobytes()
        return base64.b64encode(zlib.compress(shuffled, self.level)).decode("ascii")

    def finish(self, workers=2):
        """Encodes and compresses every chunk (zlib works outside the interpreter lock: threads
        share it)."""
        # An array at a time, the next one encoded while the threads pack this one's chunks: at
        # most two arrays' encoded numbers are held beside the packed text, with the decoded
        # values of the bases of arrays still to come.
        last_use = {b: i for i, stored in enumerate(self.arrays) for b in stored.base}
        packing = None
        with ThreadPoolExecutor(max_workers=workers) as pool:
            for i, stored in enumerate(self.arrays):
                bounds = stored.bounds
                encodings = self._encodings(stored)
                if stored.name in last_use:
                    self._decoded[stored.name] = self._decode(stored, encodings)
                for b in [b for b in stored.base if last_use[b] == i]:
                    del self._decoded[b]
                pieces = [
                    (code, source[a:b].reshape(-1, stored.width).T if stored.columns else source[a:b])
                    for (code, source), a, b in zip(encodings, bounds[:-1], bounds[1:])
                ]
                chunks = [pool.submit(self._pack, piece) for piece in pieces]
                del pieces
                del encodings
                if packing is not None:
                    self._place(*packing)
                packing = stored, chunks
            if packing is not None:
                self._place(*packing)
        self.arrays = []
        self._fits, self._decoded = {}, {}

    def _place(self, stored, chunks):
        """Numbers the packed chunks of `stored` (futures, in order) as the page's elements."""
        first = self._next
        for c, chunk in enumerate(chunks):
            where = self.tail if stored.late else self.blocks[c] if stored.blocked else self.head
            where.append((self._next, chunk.result()))
            self._next += 1
        self.index[stored.name] = self._entry(stored, first)

    @staticmethod
    def _entry(stored, first):
        """The page's index entry of a stored array whose first element is `first`."""
        entry = {
            "el": first,
            "dtype": stored.dtype.str[1:],
            "n": int(stored.array.size),
            "bounds": stored.bounds,
            "blocked": stored.blocked,
            "late": stored.late,
        }
        if stored.base or stored.columns:
            entry["width"] = stored.width
        if stored.base:
            entry["base"] = list(stored.base)
        if stored.columns:
            entry["columns"] = True
        return entry


def block_size(bytes_per_id, target=1 << 17):
    """Ids per block: a power of two giving chunks of about `target` bytes."""
    return int(2 ** max(4, min(16, math.floor(math.log2(max(1.0, target / max(1.0, bytes_per_id)))))))
