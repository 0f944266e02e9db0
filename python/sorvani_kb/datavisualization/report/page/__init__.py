"""The report page: one self-contained HTML file that explores a hierarchical forecast.

The page holds an overview of the whole hierarchy (a treemap coloured by a chosen measure, the
worst members of each measure, a sortable and searchable table of every member) and a view of
any member: the figures the module draws for it, its measures, links to its parent and its direct
sub-members. `report.html#node=<url-encoded id>` opens a member's view.

    data = build(inputs)        # PageData: the page's meta, its arrays, each model's measures
    text = render(data)         # the HTML

`prototypes` says how the report calls the module and draws the figure prototypes, `codec` packs
the arrays, `data` assembles what the page holds, `html` writes it with the page's script.

Drawing the prototypes needs about two seconds of imports. `build` can hand that work to another
process: its `worker` is any object with `submit(fn, *args) -> pending` and
`answer(pending) -> result or None` (None: it failed or took too long, and the page draws here).
`build` calls `submit(library_parts, ...)` as soon as the input's grids are known and `answer`
once the arrays are packed; ending the worker is the caller's business.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .. import measures as ms
from . import data as _data
from . import html as _html
from .codec import Blobs
from .data import TREEMAP_NODES, ModelMeasures, PageData
from .prototypes import draw_member, figure_json, module_figures

if TYPE_CHECKING:
    from ..canonical import Inputs

__all__ = [
    "build",
    "render",
    "PageData",
    "ModelMeasures",
    "TREEMAP_NODES",
    "module_figures",
    "figure_json",
    "draw_member",
    "Blobs",
]


def _no_progress(total=None, step=1):
    pass


def build(
    inputs: Inputs,
    *,
    treemap_nodes: int = TREEMAP_NODES,
    worker=None,
    progress=None,
    history: int | None = None,
    evaluation: dict | None = None,
    observed: tuple | None = None,
) -> PageData:
    """Everything the page of `inputs` holds. treemap_nodes: most members a treemap draws at once;
    worker: see the package's doc; progress(total=None, step=1): called with the number of steps
    first, then once per step done; history: the observations before the forecast each member's
    figures show (default: measures.default_history; the measures use them all); evaluation: the
    summaries, best counts, error by step ahead and calibration the overview shows, as plain
    lists (scores.page_data), none without it; observed: (the measures.Hierarchy, what
    measures.observed_by_id gives over it) when already made, used if over the page's ids."""
    progress = progress or _no_progress
    history = history if history is not None else ms.default_history(inputs)
    progress(total=2 + len(inputs.models) * (1 if inputs.cutoffs is None else len(inputs.cutoffs)))
    return _data.build(inputs, treemap_nodes, worker, progress, history, evaluation, observed)


def render(data: PageData) -> str:
    """The HTML text of the page."""
    return _html.render(data.meta, data.blobs)
