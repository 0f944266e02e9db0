"""Fixtures shared by the tests."""

import os

import pytest

os.environ.setdefault("MPLBACKEND", "Agg")

from sorvani_kb.datavisualization import plotPrediction as _module  # noqa: E402

# Older plotly imports IPython when it is installed (the notebook tests install it), and IPython
# imports jedi, which raises the recursion limit: done once here, not inside a property-based test
# (hypothesis warns about a limit changed under it).
try:
    import IPython  # noqa: F401
except ImportError:
    pass


@pytest.fixture
def mod():
    return _module


@pytest.fixture
def plotter():
    """A plotter over the columns that helpers.hierarchy_frames builds."""
    return _module.plotPrediction("id", "date", "mean", "lo", "hi", "uc")


@pytest.fixture
def restore_globals():
    """Lets a test rebind or delete module globals; puts the originals back afterwards."""
    ns = vars(_module)
    saved = dict(ns)
    yield ns
    for name in list(ns):
        if name not in saved:
            del ns[name]
    ns.update(saved)
