"""Helpers shared by the tests: small hierarchical frames, traceback entries, subprocesses."""

import os
import subprocess
import sys
import textwrap
import traceback

MODULE = "sorvani_kb.datavisualization.plotPrediction"
SOURCE = "sorvani_kb/datavisualization/plotPrediction.py"


def hierarchy_frames(ids=("Italia", "Italia/A", "Italia/A/x"), periods=4, start="2024-01-01"):
    """A prediction frame holding one block of `periods` weekly rows per id, in the order given,
    and a real-data frame of observed values for the same ids and dates.

    The forecast of block b at step t is 10 * (b + 1) + t; bounds are forecast -/+ 1; the
    observed value is the forecast minus 0.5 * (t + 1).
    """
    import pandas as pd

    dates = list(pd.date_range(start, periods=periods, freq="W"))
    rows, real = [], []
    for b, ident in enumerate(ids):
        for t, d in enumerate(dates):
            mean = 10.0 * (b + 1) + t
            rows.append({"id": ident, "date": d, "mean": mean, "lo": mean - 1, "hi": mean + 1})
            real.append({"rid": ident, "rdate": d, "obs": mean - 0.5 * (t + 1)})
    return pd.DataFrame(rows), pd.DataFrame(real)


def own_entries(exc):
    """The traceback entries of `exc` that belong to the module: (name, line) pairs."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE]


def entry(qualname, line):
    """The entry the module adds for its function `qualname` failing at `line`."""
    return (f"{MODULE}.{qualname}", line)


def run_python(code, *args, env=None, check=True):
    """Runs `code` in a fresh interpreter (this one), returning the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=300,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def as_list(values):
    """Trace data as a plain list, whether plotly stored a tuple, a list or an array."""
    import numpy as np

    return list(np.asarray(values).tolist()) if values is not None else None
