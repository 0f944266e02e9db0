"""Giving memory back to the system between the steps of a large read.

Both allocators the read goes through keep what is freed for reuse: Arrow's pool the columns it
converted, glibc's heap the many middle-sized arrays of the checks (anything under its moving
mmap threshold, up to 32 MiB). At millions of rows that is gigabytes the next step, whose large
arrays are mapped afresh, cannot use; so each step hands it back before the next begins.
"""

from __future__ import annotations

import ctypes
import functools
import sys


def release_memory():
    """Returns the freed memory of Arrow's pool and of the C heap to the system (a no-op where
    neither allocator can)."""
    pa = sys.modules.get("pyarrow")
    if pa is not None:
        pool = pa.default_memory_pool()
        if hasattr(pool, "release_unused"):
            pool.release_unused()
    trim = _malloc_trim()
    if trim is not None:
        trim(0)


@functools.lru_cache(maxsize=None)
def _malloc_trim():
    """glibc's malloc_trim, or None (another C library, another system)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        trim = ctypes.CDLL(None).malloc_trim  # the process's own C library: no search for it
    except (OSError, AttributeError):  # musl and others have no malloc_trim
        return None
    trim.argtypes, trim.restype = [ctypes.c_size_t], ctypes.c_int
    return trim
