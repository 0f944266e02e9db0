"""A second process that loads the libraries the module draws with while this one reads the input.

Drawing the figure prototypes needs the module and everything it imports (statsmodels, scipy,
matplotlib, plotly): about two seconds, more than reading a large input. For a large input the
command starts one worker process (a standard-library process pool of one) before it reads the
files; the page asks it for the prototypes once the input is known. The worker is ended as soon
as its answer is in, or when the command fails, so it never delays the exit. This module imports
nothing heavy, so that the worker can start before this process loads pandas.
"""

from __future__ import annotations

import multiprocessing
import os

# Input size from which a second process pays for its own start (about 0.1 s and the imports
# it repeats): below it, everything runs in this process.
LARGE_INPUT = 16 << 20
# The worker's whole task takes a few seconds; past this the page is drawn here instead (a
# worker that died takes its task with it, and the pool would wait for it forever).
PATIENCE = 60.0

_pool = None


def _load_libraries(use_case):
    # Reading the input comes first: the worker yields the processor to it where both want it.
    if hasattr(os, "nice"):
        try:
            os.nice(5)
        except OSError:
            pass
    # A failure here shows again, with its own message, when the page draws in this process.
    try:
        from .page.prototypes import load_libraries

        load_libraries(use_case)
    except Exception:  # noqa: BLE001
        pass


def start(force=False, paths=(), use_case=None):
    """Starts the worker when the files at `paths` are large together (or when `force`); with
    the report's `use_case`, it also draws what depends on nothing else while it waits."""
    global _pool
    if _pool is not None:
        return
    if not force:
        size = 0
        for path in paths:
            try:
                size += os.path.getsize(path) if path else 0
            except OSError:
                pass
        if size < LARGE_INPUT:
            return
    try:
        _pool = multiprocessing.get_context("spawn").Pool(1, initializer=_load_libraries, initargs=(use_case,))
    except (OSError, ValueError, RuntimeError):
        _pool = None  # no second process here: everything runs in this one


def take():
    """The worker started for this run, handed to the caller (who ends it), or None."""
    global _pool
    pool, _pool = _pool, None
    return pool


def submit(pool, function, *args):
    """`function(*args)` given to the worker; what `answer` takes."""
    return pool.apply_async(function, args)


def answer(pending):
    """The worker's result, or None when it failed or took too long (the caller then does the
    work itself)."""
    try:
        return pending.get(timeout=PATIENCE)
    except Exception:  # noqa: BLE001  (the error shows again when the work is done here)
        return None


def end(pool=None):
    """Ends `pool` (or the worker not yet taken) at once: its answer is in or no longer wanted,
    and its libraries' own shutdown would only delay the command's exit."""
    pool = pool if pool is not None else take()
    if pool is not None:
        pool.terminate()
        pool.join()


class Taken:
    """The worker taken for one page, as the page asks for it: `submit` and `answer`; `end` is
    the caller's."""

    def __init__(self, pool):
        self.pool = pool

    def submit(self, function, *args):
        return submit(self.pool, function, *args)

    def answer(self, pending):
        return answer(pending)

    def end(self):
        end(self.pool)


def take_worker():
    """The worker started for this run (see `take`) as a `Taken`, or None."""
    pool = take()
    return None if pool is None else Taken(pool)
