"""The page's HTML: the skeleton and style of assets/, plotly.js and DataTables inline, the data,
and the page's script, joined from the files of assets/js/ into one closure."""

from __future__ import annotations

import base64
import html
import importlib.util
import json
import os
import pathlib
from importlib import resources

ASSETS = resources.files(__package__.rpartition(".")[0]) / "assets"
# The page's script, in the order the files are joined: each later file may use what the earlier
# ones declare at their top level, and start.js, last, sets the page going.
SCRIPTS = (
    "core.js",
    "codec.js",
    "hierarchy.js",
    "figures.js",
    "evaluation.js",
    "member.js",
    "overview.js",
    "table.js",
    "navigation.js",
    "start.js",
)


def asset(name):
    return (ASSETS / name).read_text(encoding="utf-8")


def page_script():
    """The script of the page: the files of SCRIPTS in one strict-mode closure."""
    parts = [asset("js/" + name).rstrip("\n") + "\n" for name in SCRIPTS]
    return "(function () {\n'use strict';\n\n" + "\n".join(parts) + "})();\n"


def table_library():
    """DataTables as the itables package ships it for offline pages: (module source, css)."""
    base = _package_files("itables") / "html"
    return (base / "dt_bundle.js").read_bytes(), (base / "dt_bundle.css").read_text(encoding="utf-8")


def _package_files(name):
    """The files of an installed package, found without importing it (itables imports pandas'
    and polars' sample frames when imported, a tenth of a second the page does not need)."""
    spec = importlib.util.find_spec(name)
    places = list(spec.submodule_search_locations or []) if spec is not None else []
    if len(places) == 1 and os.path.isdir(places[0]):
        return pathlib.Path(places[0])
    return resources.files(name)


def script_json(value):
    """JSON text safe inside a <script> element."""
    text = json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def _element(number, text):
    return f'<script type="application/octet-stream" id="sorvani-b{number}">{text}</script>\n'


def _marker(block):
    return f"<script>window.__sorvaniBlock && window.__sorvaniBlock({block});</script>\n"


def _head(meta, dt_css):
    """From the doctype to the page's skeleton: the style, plotly.js and the body's markup."""
    from plotly.offline import get_plotlyjs

    top, body = asset("explorer.html").split("<!--@@-->")
    title = html.escape(meta["title"])
    return [
        top.replace("@TITLE@", title).replace("@STYLE@", asset("explorer.css") + "\n" + dt_css.replace("</", "<\\/")),
        '<script type="text/javascript">window.PlotlyConfig = {MathJaxConfig: "local"};</script>\n',
        '<script type="text/javascript">',
        get_plotlyjs(),
        "</script>\n",
        body.replace("@TITLE@", title),
    ]


def render(meta, blobs):
    """The page: the plotly.js library, the data that every view needs, the page's script, then
    the blocks of per-id data, each followed by a marker that tells the script it has arrived."""
    dt_js, dt_css = table_library()
    out = _head(meta, dt_css)
    out += ['<script type="application/json" id="sorvani-meta">', script_json(meta), "</script>\n"]
    out += [_element(number, text) for number, text in blobs.head]
    out += ["<script>", page_script(), "</script>\n"]
    for b, chunks in enumerate(blobs.blocks):
        out += [_element(number, text) for number, text in chunks]
        out.append(_marker(b))
    out += [_element(number, text) for number, text in blobs.tail]
    out += [
        '<script type="application/octet-stream" id="sorvani-datatables">',
        base64.b64encode(dt_js).decode("ascii"),
        "</script>\n",
        _marker(blobs.n_blocks),
        "</body>\n</html>\n",
    ]
    return "".join(out)
