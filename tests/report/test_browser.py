"""The sample report in headless Chromium: every figure renders, with its traces and legend, and
no script fails. Also takes the screenshots of the documentation (into $SORVANI_SCREENSHOTS when
set). Skips without chromium, unless SORVANI_REQUIRE_BROWSER=1."""

import contextlib
import html
import io
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from sorvani_kb.datavisualization.report import main

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")

# Put first in <head>: records uncaught errors, rejected promises and console.error calls.
PROBE = """<script>window.__errors = [];
window.addEventListener('error', function (e) { window.__errors.push('error: ' + e.message); });
window.addEventListener('unhandledrejection', function (e) { window.__errors.push('rejection: ' + e.reason); });
(function () { var orig = console.error; console.error = function () {
  window.__errors.push('console: ' + Array.prototype.join.call(arguments, ' ')); return orig.apply(console, arguments); }; })();
</script>"""
# Put last in <body>: half a second after every plot has drawn, writes what it found into
# <pre id="results">.
COLLECT = """<script>window.addEventListener('load', function () { var tries = 0; (function poll() {
  var plots = Array.prototype.slice.call(document.querySelectorAll('.js-plotly-plot'));
  var ready = plots.every(function (el) { return el._fullLayout && el.querySelector('svg.main-svg'); });
  if (!ready && ++tries < 200) { setTimeout(poll, 100); return; }
  setTimeout(function () { write(ready, plots); }, 500); })();  // late errors count too
  function write(ready, plots) {
  var text = function (nodes) { return Array.prototype.map.call(nodes, function (n) { return n.textContent; }); };
  var out = {ready: ready, errors: window.__errors, plots: plots.map(function (el) { return {id: el.id,
    traces: el.data.length, drawn: el.querySelectorAll('.scatterlayer .trace, .barlayer .trace').length,
    legend: text(el.querySelectorAll('.legendtext'))}; })};
  var pre = document.createElement('pre'); pre.id = 'results'; pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre); } });</script>"""
# (file name, caption of the figure, window size, colours its drawing must show)
SHOTS = [
    ("forecast.png", "Italia", (960, 620), ["#008000", "#0000ff"]),
    ("hierarchy.png", "Italia and its direct sub-members", (960, 620), ["#636efa", "#ef553b"]),
    ("sum_check.png", "Italia against the sum of its direct sub-members", (960, 620), ["#0000ff"]),
    ("qqplot.png", "Italia: quantile-quantile plot", (960, 820), ["#19d3f3", "#636efa"]),
]


@pytest.fixture(scope="module")
def browser():
    if BROWSER is None:
        if os.environ.get("SORVANI_REQUIRE_BROWSER") == "1":
            pytest.fail("SORVANI_REQUIRE_BROWSER=1 but no chromium on PATH")
        pytest.skip("no chromium on PATH")
    return BROWSER


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    path = tmp_path_factory.mktemp("browser") / "report.html"
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        assert main(["-o", str(path), "--quiet"]) == 0
    return path


def chromium(browser, page, *args):
    # The browser runs without the sanitizer runtime a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    with tempfile.TemporaryDirectory() as profile:
        proc = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={profile}",
                               "--virtual-time-budget=30000", *args, page.as_uri()], capture_output=True, text=True,
                              timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout


def rendered(browser, page, extra=""):
    """What the collecting script found in a test copy of `page` (with `extra` added to its body)."""
    text = page.read_text(encoding="utf-8").replace("<head>", "<head>\n" + PROBE, 1).replace("</body>", extra + COLLECT + "</body>", 1)
    copy = page.with_name("probe-" + page.name)
    copy.write_text(text, encoding="utf-8")
    found = re.search(r'<pre id="results">(.*?)</pre>', chromium(browser, copy, "--dump-dom"), re.S)
    assert found, "the collecting script wrote no results"
    return json.loads(html.unescape(found[1]))


def expected_figures():
    """(traces, legend entries) of every figure of the sample report, in page order."""
    with resources.as_file(resources.files("sorvani_kb.datavisualization") / "sample" / "predictions.csv") as path:
        ids = list(pd.unique(pd.read_csv(path)["id"]))
    members = [i for i in ids if i.count("/") <= 1]
    below = {m: [i for i in ids if i.startswith(m + "/") and i.count("/") == m.count("/") + 1] for m in members}
    forecast = [(4, ["95% confidence interval", "past value (true)", "predict value"])] * len(ids)
    overlay = [(1 + len(below[m]), sorted([m] + below[m])) for m in members]
    sums = [(2, [f"Predizione {m}", f"Somma predizioni {m}"]) for m in members]
    return forecast + overlay + sums + [(1, []), (2, [])] * len(ids)


def test_every_figure_renders_without_script_errors(browser, page):
    result = rendered(browser, page)
    assert result["ready"] and result["errors"] == []
    assert [p["id"] for p in result["plots"]] == [f"plot-{n}" for n in range(len(result["plots"]))]
    assert [(p["traces"], sorted(p["legend"])) for p in result["plots"]] == expected_figures()
    assert all(p["drawn"] == p["traces"] for p in result["plots"])


@pytest.mark.parametrize("script", ["noSuchFunction();", "window.setTimeout(function () { noSuchFunction(); }, 100);",
                                    "console.error('noSuchFunction');"])
def test_script_errors_are_caught(browser, page, script):
    result = rendered(browser, page, f"<script>{script}</script>")
    assert result["ready"] and len(result["errors"]) == 1 and "noSuchFunction" in result["errors"][0]


def png_size(path):
    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


@pytest.mark.parametrize("name, caption, size, colours", SHOTS, ids=[s[0] for s in SHOTS])
def test_screenshot(browser, page, tmp_path, name, caption, size, colours):
    import matplotlib.image

    figure = re.search(r'<div class="figure" id="(figure-\d+)">\n<h3>' + re.escape(caption) + "</h3>", page.read_text(encoding="utf-8"))[1]
    only = ("<style>body > h1, body > p, body > nav, section > h2, section > p, .figure { display: none !important; }"
            f" #{figure} {{ display: block !important; }}</style></head>")
    copy = page.with_name(f"shot-{name}.html")
    copy.write_text(page.read_text(encoding="utf-8").replace("</head>", only, 1), encoding="utf-8")
    out = Path(os.environ.get("SORVANI_SCREENSHOTS") or tmp_path) / name
    out.parent.mkdir(parents=True, exist_ok=True)
    chromium(browser, copy, "--hide-scrollbars", f"--window-size={size[0]},{size[1]}", f"--screenshot={out}")
    assert png_size(out) == size
    pixels = (matplotlib.image.imread(str(out))[..., :3] * 255).round()
    for colour in colours:
        rgb = np.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)])
        assert (np.abs(pixels - rgb).max(axis=-1) <= 8).sum() >= 50, f"{colour} hardly drawn"
