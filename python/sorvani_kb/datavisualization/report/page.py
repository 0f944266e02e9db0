"""The report page, figure after figure: for each model the forecast of each series, the hierarchy
overlay and sum check of chosen members, and the residual diagnostics, all drawn by plotPrediction.

Input comes as `inputs.Inputs`; `write_report` returns the HTML text of one self-contained page
(plotly.js embedded once, so it opens offline).
"""

from __future__ import annotations

import html
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .inputs import InputError

MIN_RESIDUALS = 2  # observed forecast dates an id needs for its residual figures


def add_arguments(parser):
    g = parser.add_argument_group("page")
    g.add_argument("--ids", nargs="+", metavar="ID", help="series whose forecast and residual figures to draw (default: all)")
    g.add_argument("--members", nargs="*", metavar="ID",
                   help="members whose hierarchy overlay and sum check to draw; none with an empty list (default: each "
                        "top member and the members one level below it that have sub-members)")


@dataclass
class Section:
    key: str
    heading: str
    text: str
    figures: list = field(default_factory=list)  # (caption, html of the figure)


def _listing(values, limit=8):
    values = [str(v) for v in values]
    return ", ".join(values[:limit]) + (f", ... ({len(values)} in all)" if len(values) > limit else "")


def direct_members(ids, member):
    depth = member.count("/") + 1
    return [i for i in ids if i.startswith(member + "/") and i.count("/") == depth]


def choose(ids, wanted, members, path):
    """The ids to draw and the hierarchy members to draw, checked against the ids of the file."""
    known = set(ids)
    for value in wanted or ():
        if value not in known:
            raise InputError(f"{path}: unknown id {value!r} (ids present: {_listing(ids)})")
    if members is None:
        roots = [i for i in ids if "/" not in i]
        members = [i for i in ids if direct_members(ids, i) and (i in roots or i.count("/") == 1)]
    for value in members:
        if value not in known:
            raise InputError(f"{path}: unknown member {value!r} (ids present: {_listing(ids)})")
        if not direct_members(ids, value):
            raise InputError(f"{path}: member {value!r} has no sub-members to draw")
    return list(wanted or ids), list(members)


def _x_text(value, time_kind):
    if time_kind == "step":
        return str(int(value))
    value = pd.Timestamp(value)
    return value.date().isoformat() if value == value.normalize() else value.isoformat(sep=" ")


def residual_pairs(frame, observed):
    """The forecast rows of one model that have an observed value on their id and date, and those
    values under the same row labels (columns id and y): paired by id and date, never by position."""
    rows = frame.loc[~frame["filled"] & frame["mean"].notna(), ["id", "ds", "mean"]].reset_index(drop=True)
    obs = observed.loc[observed["y"].notna(), ["id", "ds", "y"]]
    merged = rows.merge(obs, how="inner", on=["id", "ds"], sort=False)
    pred = merged[["id", "ds", "mean"]]
    return pred, merged[["id", "y"]]


def _band_text(inputs, model):
    level = inputs.levels.get(model)
    lo = inputs.forecasts.loc[inputs.forecasts["model"] == model, "lo"]
    if lo.isna().all():
        return "The file gives no interval for this model, so no band is drawn."
    if level is None:
        return "The band shows the interval the file gives (its level is not stated there)."
    return f"The band shows the {level:g}% interval (the widest the file gives)."


def plan(inputs, args):
    """Per model: (model, frame, ids, members, residual pairs or None, residual ids)."""
    out = []
    for model in inputs.models:
        frame = inputs.forecasts[inputs.forecasts["model"] == model].reset_index(drop=True)
        all_ids = list(pd.unique(frame["id"]))
        ids, members = choose(all_ids, getattr(args, "ids", None), getattr(args, "members", None), inputs.prediction_path)
        pairs, res_ids = None, []
        if inputs.observed is not None:
            pairs = residual_pairs(frame, inputs.observed)
            res = pd.DataFrame({"id": pairs[0]["id"], "r": pairs[1]["y"] - pairs[0]["mean"]})
            stats = res.groupby("id")["r"].agg(["size", "std", lambda r: np.isfinite(r).all()])
            stats.columns = ["size", "std", "finite"]
            stats = stats.reindex(ids)
            # A QQ plot needs a spread: residuals all equal (or too large to subtract) have none.
            res_ids = [(i, bool(np.isfinite(s["std"]) and s["std"] > 0))
                       for i, s in stats.iterrows() if s["size"] >= MIN_RESIDUALS and bool(s["finite"])]
        out.append((model, frame, ids, members, pairs, res_ids))
    return out


def build_sections(inputs, plans, progress):
    """The report's sections, each with the HTML of its figures; `progress()` once per figure."""
    import matplotlib.pyplot as plt
    import plotly.io as pio

    from .. import plotPrediction as pp

    plotter = pp.plotPrediction("id", "ds", "mean", "lo", "hi", inputs.use_case)
    count = [0]

    def add(section, caption, fig):
        div = pio.to_html(fig, full_html=False, include_plotlyjs=False, div_id=f"plot-{count[0]}", default_height="500px")
        section.figures.append((caption, div))
        count[0] += 1
        progress()

    sections = []
    several = len(plans) > 1
    for n, (model, frame, ids, members, pairs, res_ids) in enumerate(plans):
        suffix = f"-{n + 1}" if n else ""
        title = f": {model}" if several else ""
        band = not frame["lo"].isna().all()
        forecasts = Section("forecasts" + suffix, "Forecasts" + title,
                            "One figure per series: the point forecast with its prediction interval, the observed values "
                            "where given, and a dashed line where the forecast starts. " + _band_text(inputs, model))
        start = _x_text(frame["ds"].min(), inputs.time_kind)
        real = {} if inputs.observed is None else dict(df_real=inputs.observed, id_pred_real="id", data_real="ds", target="y")
        for ident in ids:
            (fig,) = plotter.plot_pred(frame, ident, confidence_interval=band, vertical_line=start, **real)
            add(forecasts, ident, fig)
        sections.append(forecasts)
        if members:
            overlay = Section("hierarchy" + suffix, "Hierarchy" + title,
                              "For each chosen member, its forecast together with those of its direct sub-members.")
            sums = Section("sum-check" + suffix, "Sum check" + title,
                           "For each chosen member, its forecast beside the sum of its direct sub-members' forecasts, date "
                           "by date: on a coherent forecast the two lines coincide.")
            all_ids = list(pd.unique(frame["id"]))
            # Each member's block and its direct sub-members' blocks only: equal blocks, the member
            # first, no other root and no sibling whose name merely contains the member's.
            families = [frame[frame["id"].isin([m] + direct_members(all_ids, m))].reset_index(drop=True) for m in members]
            for member, family in zip(members, families):
                add(overlay, f"{member} and its direct sub-members", plotter.plot_hierarchical(family, member))
            for member, family in zip(members, families):
                add(sums, f"{member} against the sum of its direct sub-members", plotter.plot_sum_hierarchy(family, member))
            sections += [overlay, sums]
        if pairs is not None:
            section = Section("residuals" + suffix, "Residuals" + title,
                              "Over the forecast dates with an observed value: a histogram of the forecast minus the observed "
                              "value, and a quantile-quantile plot of the observed value minus the forecast against a normal "
                              "distribution with the residuals' own spread.")
            if not res_ids:
                section.text += (" No observed values fall on forecast dates, so there is nothing to show." if not len(pairs[0])
                                 else f" No series has observed values on {MIN_RESIDUALS} or more forecast dates.")
            res_pred, res_obs = pairs
            flat = [i for i, spread in res_ids if not spread]
            if flat:
                section.text += (f" No quantile-quantile plot for {_listing(flat, 3)}: the residuals are all equal, "
                                 "so there is no spread to scale a normal distribution by.")
            for ident, spread in res_ids:
                (fig,) = plotter.dist_residuals(res_pred, res_obs, "id", "y", ident)
                add(section, f"{ident}: residual distribution", fig)
                if spread:
                    fig = plotter.plot_residuals(res_pred, res_obs, "id", "y", ident)
                    plt.close("all")
                    add(section, f"{ident}: quantile-quantile plot", fig)
            sections.append(section)
    return sections


PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
body {{ font-family: sans-serif; max-width: 1100px; margin: 0 auto; padding: 1em; color: #222; }}
nav a {{ margin-right: 1em; }}
.figure {{ margin: 1.5em 0; }}
.notes {{ color: #8a4b00; }}
</style>
<script type="text/javascript">window.PlotlyConfig = {{MathJaxConfig: 'local'}};</script>
<script type="text/javascript">{plotlyjs}</script>
</head>
<body>
<h1>{title}</h1>
<p>{intro}</p>
{notes}
<nav>{nav}</nav>
{body}
</body>
</html>
"""


def render(title, intro, notes, sections):
    from plotly.offline import get_plotlyjs

    esc = html.escape
    nav = "".join(f'<a href="#{s.key}">{esc(s.heading)}</a>' for s in sections)
    notes = ('<ul class="notes">\n' + "\n".join(f"<li>{esc(n)}</li>" for n in notes) + "\n</ul>") if notes else ""
    body, n = [], 0
    for s in sections:
        body.append(f'<section id="{s.key}">\n<h2>{esc(s.heading)}</h2>\n<p>{esc(s.text)}</p>')
        for caption, div in s.figures:
            body.append(f'<div class="figure" id="figure-{n}">\n<h3>{esc(caption)}</h3>\n{div}\n</div>')
            n += 1
        body.append("</section>")
    return PAGE.format(title=esc(title), intro=esc(intro), notes=notes, nav=nav, body="\n".join(body), plotlyjs=get_plotlyjs())


def write_report(inputs, args, progress=lambda total=None, step=1: None):
    """The HTML text of the report. `progress(total=N)` announces the figures, `progress()` counts one."""
    import os

    plans = plan(inputs, args)
    progress(total=sum(len(p[2]) + 2 * len(p[3]) + sum(1 + spread for _, spread in p[5]) for p in plans))
    sections = build_sections(inputs, plans, progress)
    f = inputs.forecasts
    n_ids = f["id"].nunique()
    span = (f"{_x_text(f['ds'].min(), inputs.time_kind)} to {_x_text(f['ds'].max(), inputs.time_kind)}"
            + (" (time steps)" if inputs.time_kind == "step" else ""))
    models = (f" by the model{'s' if len(inputs.models) > 1 else ''} {', '.join(inputs.models)}"
              if inputs.models != ["mean"] else "")  # "mean": the one model of the report's own layout
    intro = (f"Forecasts of {n_ids} series{models} from {os.path.basename(inputs.prediction_path)}, {span}"
             + (f", compared with the observed values of {os.path.basename(inputs.observed_path)}." if inputs.observed is not None
                else "; no observed values given."))
    return render(f"Forecast report: {inputs.use_case}", intro, inputs.notes, sections)
