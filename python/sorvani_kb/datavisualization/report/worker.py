"""A second process that loads the libraries the module draws with while this one reads the input.

Drawing the figure prototypes needs the module and everything it imports (statsmodels, scipy,
matplotlib, plotly): about two seconds, more than reading a large input. For a large input the
report starts one `Worker` (a standard-library process pool of one) before it reads anything;
the page hands it the drawing once the input is known (`submit`, `answer`). The caller ends it
as soon as the page is built, or when the input is refused, so it never delays the exit. This
module imports nothing heavy, so that the worker can start before this process loads pandas.
"""

from __future__ import annotations

import multiprocessing
import os
import sys
from typing import Any, Callable, Iterable, Optional

# Input size from which a second process pays for its own start (about 0.1 s and the imports
# it repeats): below it, everything runs in this process.
LARGE_INPUT = 16 << 20
# Input size whose read takes longer than the worker's imports (about a second).
LONG_READ = 64 << 20
# The worker's whole task takes a few seconds; past this the page is drawn here instead (a
# worker that died takes its task with it, and the pool would wait for it forever).
PATIENCE = 60.0
# Loaded here already (a notebook's second report): drawing here costs less than a process.
DRAWING_MODULE = "sorvani_kb.datavisualization.plotPrediction"


def _load_libraries(use_case, yielding):
    # For a read that outlasts these imports, the read comes first: the worker yields the
    # processor to it where both want it. Below that, the imports are what the page waits for.
    if yielding and hasattr(os, "nice"):
        try:
            os.nice(5)
        except OSError:
            pass
    # Nothing this process is handed is a polars frame, and statsmodels imports polars (a tenth
    # of a second) only to tell them apart: it finds no polars here.
    sys.modules.setdefault("polars", None)
    # A failure here shows again, with its own message, when the page draws in this process.
    try:
        from .page.prototypes import load_libraries

        load_libraries(use_case)
    except Exception:  # noqa: BLE001, S110
        pass


def input_size(value) -> int:
    """Bytes of one input: a file's size, a frame's memory (0 when it cannot tell)."""
    if value is None:
        return 0
    if isinstance(value, (str, os.PathLike)):
        try:
            return os.path.getsize(value)
        except OSError:
            return 0
    for attr in ("nbytes", "estimated_size"):  # pyarrow tables; polars frames
        size = getattr(value, attr, None)
        try:
            size = size() if callable(size) else size
            if size is not None:
                return int(size)
        except Exception:  # noqa: BLE001, S112  (a lazy frame cannot tell without running)
            continue
    usage = getattr(value, "memory_usage", None)  # pandas
    try:
        return int(usage(index=True, deep=False).sum()) if callable(usage) else 0
    except Exception:  # noqa: BLE001
        return 0


class Worker:
    """The second process of one report: `submit(fn, *args)` gives it work, `answer(pending)`
    takes the result (None when it failed or took too long: the caller then does the work
    itself), `end()` stops it at once."""

    def __init__(self, pool):
        self._pool = pool

    @classmethod
    def start(cls, inputs: Iterable[Any] = (), use_case: Optional[str] = None, force: bool = False) -> Optional[Worker]:
        """A worker for a report of `inputs` (paths or frames) when they are large together and
        the drawing libraries are not loaded here yet (or when `force`); None otherwise. With
        the report's `use_case` it draws what depends on nothing else while it waits."""
        size = sum(input_size(v) for v in inputs)
        if not force and (DRAWING_MODULE in sys.modules or size < LARGE_INPUT):
            return None
        try:
            context = multiprocessing.get_context("spawn")
            pool = context.Pool(1, initializer=_load_libraries, initargs=(use_case, size >= LONG_READ))
        except (OSError, ValueError, RuntimeError):
            return None  # no second process here: everything runs in this one
        return cls(pool)

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        return self._pool.apply_async(function, args)

    def answer(self, pending: Any) -> Any:
        try:
            return pending.get(timeout=PATIENCE)
        except Exception:  # noqa: BLE001  (the error shows again when the work is done here)
            return None

    def end(self) -> None:
        """Ends the process at once: its answer is in or no longer wanted, and its libraries'
        own shutdown would only delay the caller."""
        if self._pool is not None:
            self._pool.terminate()
            self._pool.join()
            self._pool = None
