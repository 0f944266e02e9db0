"""The forecast report: one self-contained HTML page of a hierarchical forecast.

    sorvani-report preds.csv --observed obs.csv -o report.html
    python -m sorvani_kb.datavisualization            # the shipped sample

Layers: `inputs` reads and checks the files and gives every frame in one canonical form;
`measures` computes the per-member measures; `page` writes the HTML; `cli` is the command.
"""

from .cli import main

__all__ = ["main"]
