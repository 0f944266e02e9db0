#!/usr/bin/env python3
"""Writes docs/images/notebook.png: the explorer inline in a notebook, as a reader sees it.

Runs the notebook of tests/report/test_notebook.py (the shipped sample read into pandas frames,
`report = explore(pred_df, obs_df)`, `report`) in a Jupyter kernel of this interpreter, exports
it to HTML with nbconvert, opens it in headless Chromium, opens a member's view inside the
explorer's frame and photographs the cell with its output.

    PYTHONPATH=python .venv/dev-3.13/bin/python tools/notebook_screenshot.py
    ... tools/notebook_screenshot.py --member ""            # the overview
    ... tools/notebook_screenshot.py --out /tmp/nb.png --member Italia/Sicilia

Needs nbclient, ipykernel, nbconvert, websocket-client and Debian's chromium.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "report"))
os.environ.setdefault("MPLBACKEND", "Agg")

import test_notebook as nbt  # noqa: E402
from browser import Chromium  # noqa: E402

MARGIN = 12  # pixels of the notebook page above and below the cell


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument(
        "--out", default=str(ROOT / "docs" / "images" / "notebook.png"), help="PNG to write (default: %(default)s)"
    )
    p.add_argument(
        "--member",
        default="Italia/Lombardia",
        help="member whose view shows; empty: the overview (default: %(default)s)",
    )
    p.add_argument("--width", type=int, default=1280, help="page width in CSS pixels (default: %(default)s)")
    args = p.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="sorvani-notebook-") as folder:
        nb = nbt.run_notebook(Path(folder))
        errors = [o for cell in nb.cells for o in cell.outputs if o.output_type == "error"]
        if errors:
            sys.exit(f"the notebook failed: {errors[0].ename}: {errors[0].evalue}")
        path = nbt.export(nb, Path(folder) / "notebook.html")
        with Chromium(width=args.width, height=1200) as browser:
            browser.attach_frames()
            browser.open(path.as_uri())
            frame = browser.frame("about:srcdoc")
            frame.wait_for("(document.body.dataset.shown || '').startsWith('overview:')")
            if args.member:
                model = frame.evaluate("sorvani.meta.models[0].name")
                frame.evaluate("location.hash = '#node=' + encodeURIComponent(%s); 1" % json.dumps(args.member))
                frame.wait_for("document.body.dataset.shown === %s" % json.dumps(f"member:{args.member}:{model}"))
                frame.wait_for("document.body.dataset.complete")
            else:
                frame.wait_for("document.querySelector('#treemap g.slice') !== null")
            frame.evaluate("new Promise((r) => setTimeout(() => r(1), 500))")  # plotly's transitions settle
            # The cell that displays the report: its code and its output, the frame whole.
            top, height = browser.evaluate("""(() => {
                const cell = document.querySelector('iframe.sorvani-report').closest('.jp-Cell');
                const r = cell.getBoundingClientRect();
                return [r.top + window.scrollY, r.height]; })()""")
            height = int(height + 2 * MARGIN)
            browser.send(
                "Emulation.setDeviceMetricsOverride", width=args.width, height=height, deviceScaleFactor=1, mobile=False
            )
            browser.evaluate("window.scrollTo(0, %d); 1" % max(0, int(top) - MARGIN))
            browser.evaluate("new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(() => r(1))))")
            out = Path(args.out)
            out.parent.mkdir(parents=True, exist_ok=True)
            browser.screenshot(str(out))
            if browser.errors:
                sys.exit("script errors in the page: " + "; ".join(browser.errors))
    print(out)


if __name__ == "__main__":
    main()
