"""The forecast report: explore a hierarchical forecast in one self-contained HTML page.

In Python (a notebook, a pipeline step)::

    from sorvani_kb.datavisualization.report import explore
    report = explore(forecasts, observed)    # paths, or pandas / polars / pyarrow / DuckDB frames
    report                                   # the explorer, inline in Jupyter or VS Code
    report.measures                          # one row per member and model
    report.save("report.html")

As a command::

    sorvani-report preds.csv --observed obs.csv -o report.html
    python -m sorvani_kb.datavisualization            # the shipped sample

Layers, each importing only those below it: `cli` (the command), `api` (`explore`, `Report`)
with `worker` (the second process), `inputs` (reading into the canonical form) and `page` (the
HTML), `measures` (the hierarchy and the measures), and `canonical` and `errors` beneath all.
"""

from .api import Report, explore
from .cli import main
from .errors import InputError, InputNote

__all__ = ["InputError", "InputNote", "Report", "explore", "main"]
