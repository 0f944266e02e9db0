"""Giving memory back to the system between the steps of a large read.

Both allocators the read goes through keep what is freed for reuse: Arrow's pool the columns it
converted, glibc's heap the many middle-sized arrays of the checks (anything under its moving
mmap threshold, up to 32 MiB). At millions of rows that is gigabytes the next step, whose large
arrays are mapped afresh, cannot use; so each step hands it back before the next begins.

A process that does one large job and exits (the command) can instead keep the C heap's memory
(`heap_kept`): large arrays then come from the heap too, so each step reuses what the one before
freed, and nothing is handed back. Where memory given back to the system goes back to a virtual
machine's host, touching it again costs more than the work done on it (1 to 2 s a GiB measured
here, against 0.03 s for memory the process holds).
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import sys

# glibc's mallopt parameters and their defaults
M_TRIM_THRESHOLD, TRIM_DEFAULT = -1, 128 * 1024
M_MMAP_MAX, MMAP_DEFAULT = -4, 65536
_kept: list = []  # non-empty while the heap is kept


def release_memory():
    """Returns the freed memory of Arrow's pool and of the C heap to the system (a no-op where
    neither allocator can)."""
    pa = sys.modules.get("pyarrow")
    if pa is not None:
        pool = pa.default_memory_pool()
        if hasattr(pool, "release_unused"):
            pool.release_unused()
    trim = _libc_function("malloc_trim", (ctypes.c_size_t,))
    if trim is not None and not _kept:
        trim(0)


@contextlib.contextmanager
def heap_kept():
    """Inside, glibc's heap keeps what is freed and serves arrays of any size (see the module's
    doc); on leaving, its usual settings are back and it gives memory back as it frees. A no-op
    with another C library."""
    mallopt = _libc_function("mallopt", (ctypes.c_int, ctypes.c_int))
    if mallopt is None or _kept:
        yield
        return
    _kept.append(True)
    try:
        if not (mallopt(M_MMAP_MAX, 0) and mallopt(M_TRIM_THRESHOLD, 2**31 - 1)):
            _kept.clear()  # refused: freed memory is given back as without them
        yield
    finally:
        _kept.clear()
        mallopt(M_MMAP_MAX, MMAP_DEFAULT)
        mallopt(M_TRIM_THRESHOLD, TRIM_DEFAULT)


@functools.lru_cache(maxsize=None)
def _libc_function(name, argtypes):
    """A function of glibc's malloc (returning int), or None (another C library, another system)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        function = getattr(ctypes.CDLL(None), name)  # the process's own C library: no search for it
    except (OSError, AttributeError):  # musl has no malloc_trim
        return None
    function.argtypes, function.restype = list(argtypes), ctypes.c_int
    return function
