"""The explorer inline in a real notebook: a notebook made here is run by a Jupyter kernel of
this interpreter, its output is checked, then it is exported to HTML as nbconvert writes it and
opened in headless Chromium, where the explorer must start and draw inside its sandboxed frame.

The frame has no same-origin right, so the notebook page cannot reach its document: the browser
checks evaluate in the frame's own execution context over the DevTools protocol.

Skips without nbclient, ipykernel and nbconvert (not installed on CPython 3.14 and newer), and
without chromium unless SORVANI_REQUIRE_BROWSER=1. tools/notebook_screenshot.py uses the helpers
here for the picture in the README."""

from __future__ import annotations

import contextlib
import html
import html.parser
import json
import os
import sys
import sysconfig
from pathlib import Path

import pandas as pd
import pytest

import sorvani_kb
from figures import differences
from sorvani_kb.datavisualization.report import api, explore, inputs, page
from sorvani_kb.datavisualization.report.cli import sample_files
from sorvani_kb.datavisualization.report.inputs import Options

KERNEL = "sorvani-python"  # a kernel spec of its own, so that no other python3 spec is picked
CELL_TIMEOUT = 120  # seconds a cell may run; the whole notebook takes a few
MEMBER = "Italia/Lazio"

CELLS = [
    "import sys\nimport pandas as pd\nimport sorvani_kb\n"
    "from sorvani_kb.datavisualization.report import explore\n"
    "from sorvani_kb.datavisualization.report.cli import sample_files\n"
    "print(sys.executable)\nprint(sorvani_kb.__file__)",
    "with sample_files() as (pred_path, obs_path):\n"
    "    pred_df = pd.read_csv(pred_path, parse_dates=['date'])\n"
    "    obs_df = pd.read_csv(obs_path, parse_dates=['date'])",
    "report = explore(pred_df, obs_df)\nreport",
    "print(report.measures.head())",
]
IMPORTS, READ, SHOW, MEASURES = range(len(CELLS))


def sample_frames():
    with sample_files() as (pred_path, obs_path):
        return pd.read_csv(pred_path, parse_dates=["date"]), pd.read_csv(obs_path, parse_dates=["date"])


@contextlib.contextmanager
def kernel_environment(folder):
    """A kernel spec that starts ipykernel on this very interpreter, and the environment that lets
    the kernel import the sorvani_kb this process imported."""
    spec = Path(folder) / "kernels" / KERNEL
    spec.mkdir(parents=True, exist_ok=True)
    (spec / "kernel.json").write_text(
        json.dumps(
            {
                "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
                "display_name": "Python (sorvani tests)",
                "language": "python",
            }
        ),
        encoding="utf-8",
    )
    package_root = Path(sorvani_kb.__file__).resolve().parent.parent
    installed = {Path(sysconfig.get_path(k)).resolve() for k in ("purelib", "platlib")}
    path = [] if package_root in installed else [str(package_root)]  # a source tree: PYTHONPATH
    # the kernel's own files (connection, history) go into `folder`, none into the home folder
    env = {
        "JUPYTER_PATH": os.pathsep.join(filter(None, [str(folder), os.environ.get("JUPYTER_PATH")])),
        "PYTHONPATH": os.pathsep.join(filter(None, [*path, os.environ.get("PYTHONPATH")])),
        "JUPYTER_PLATFORM_DIRS": "1",
        "JUPYTER_RUNTIME_DIR": str(Path(folder) / "runtime"),
        "IPYTHONDIR": str(Path(folder) / "ipython"),
    }
    with pytest.MonkeyPatch.context() as mp:
        for key, value in env.items():
            mp.setenv(key, value)
        yield


def run_notebook(folder):
    """The notebook of CELLS, executed by a fresh kernel in `folder` (errors kept as outputs)."""
    import nbformat
    from nbclient import NotebookClient

    nb = nbformat.v4.new_notebook(
        metadata={
            "kernelspec": {"name": KERNEL, "display_name": "Python 3", "language": "python"},
            "language_info": {"name": "python"},
        }
    )
    nb.cells = [nbformat.v4.new_code_cell(source) for source in CELLS]
    with kernel_environment(folder):
        NotebookClient(
            nb,
            kernel_name=KERNEL,
            timeout=CELL_TIMEOUT,
            startup_timeout=60,
            allow_errors=True,
            resources={"metadata": {"path": str(folder)}},
        ).execute()
    return nb


def export(nb, path):
    """The notebook as one HTML page, as nbconvert's HTML exporter writes it; the two scripts its
    template loads from a CDN (RequireJS, MathJax) are empty data: scripts, so it opens offline."""
    from nbconvert import HTMLExporter

    empty = "data:text/javascript,"
    body, _ = HTMLExporter(require_js_url=empty, mathjax_url=empty).from_notebook_node(nb)
    Path(path).write_text(body, encoding="utf-8")
    return Path(path)


class Iframes(html.parser.HTMLParser):
    """The attributes of every iframe of a page, its srcdoc unescaped."""

    def __init__(self, text):
        super().__init__()
        self.found = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        if tag == "iframe":
            self.found.append(dict(attrs))


# ------------------------------------------------------------------------------------------------
# The notebook, run by a kernel


@pytest.fixture(scope="module")
def executed(tmp_path_factory):
    pytest.importorskip("nbformat")
    pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    pytest.importorskip("nbconvert")
    folder = tmp_path_factory.mktemp("notebook")
    nb = run_notebook(folder)
    return nb, export(nb, folder / "notebook.html")


@pytest.fixture(scope="module")
def expected():
    """The report the notebook displays, made in this process from the same frames."""
    pred, obs = sample_frames()
    return explore(pred, obs)


def outputs(nb, kind, **fields):
    return [
        o
        for cell in nb.cells
        for o in cell.outputs
        if o.output_type == kind and all(o.get(k) == v for k, v in fields.items())
    ]


def test_notebook_runs_without_errors_on_this_interpreter(executed):
    nb, _ = executed
    errors = outputs(nb, "error")
    assert errors == [], "\n".join(f"{e.ename}: {e.evalue}" for e in errors)
    assert outputs(nb, "stream", name="stderr") == []  # no warning either (a note on the input would be one)
    printed = "".join(o.text for o in nb.cells[IMPORTS].outputs if o.output_type == "stream").splitlines()
    assert printed == [sys.executable, sorvani_kb.__file__]


def test_report_displays_as_the_sandboxed_explorer(executed, expected):
    nb, _ = executed
    shown = [o for o in nb.cells[SHOW].outputs if o.output_type == "execute_result"]
    assert len(shown) == 1
    data = shown[0].data
    assert data["text/plain"] == repr(expected)
    frames = Iframes(data["text/html"]).found
    assert len(frames) == 1 and data["text/html"].startswith("<iframe ")
    frame = frames[0]
    # scripts yes, same origin no: the page cannot touch the notebook, nor the notebook the page
    assert frame["sandbox"].split()[0] == "allow-scripts" and "allow-same-origin" not in frame["sandbox"]
    assert f"height:{api.FRAME_HEIGHT}px" in frame["style"]
    assert frame["srcdoc"] == expected.to_html()  # the whole page, exactly, once unescaped
    assert html.escape(expected.to_html(), quote=True) in data["text/html"]


def test_measures_cell_prints_the_first_members(executed, expected):
    nb, _ = executed
    text = "".join(o.text for o in nb.cells[MEASURES].outputs if o.output_type == "stream" and o.name == "stdout")
    lines = text.splitlines()
    # pandas wraps a frame wider than its display in blocks of columns, each under its own header
    assert lines[0].split()[:4] == ["unique_id", "model", "depth", "hierarchy_level"]
    header = " ".join(line for line in lines if not line[:1].isdigit()).split()
    assert [c for c in header if c in list(expected.measures.columns)] == list(expected.measures.columns)
    head = expected.measures.head()
    assert [line.split()[1] for line in lines[1:6]] == list(head["unique_id"])
    assert [int(line.split()[0]) for line in lines[1:6]] == [0, 1, 2, 3, 4]


def test_exported_notebook_keeps_the_page_whole(executed, expected):
    _, path = executed
    frames = Iframes(path.read_text(encoding="utf-8")).found
    assert [f.get("class") for f in frames] == ["sorvani-report"]
    assert frames[0]["srcdoc"] == expected.to_html()
    assert "allow-same-origin" not in frames[0]["sandbox"]


# ------------------------------------------------------------------------------------------------
# The exported notebook in the browser


@pytest.fixture(scope="module")
def browser():
    from browser import for_tests

    yield from for_tests(1280, 900, frames=True)


def open_notebook(browser, path):
    """Opens the exported notebook and waits for the explorer's overview: the frame, in its own context."""
    browser.errors.clear()
    browser.open(path.as_uri())
    frame = browser.frame("about:srcdoc")
    frame.wait_for("(document.body.dataset.shown || '').startsWith('overview:')")
    return frame


def open_member(frame, ident, model):
    frame.evaluate("location.hash = '#node=' + encodeURIComponent(%s); 1" % json.dumps(ident))
    frame.wait_for("document.body.dataset.shown === %s" % json.dumps(f"member:{ident}:{model}"))
    frame.wait_for("document.body.dataset.complete")


def frame_figures(frame):
    return json.loads(
        frame.evaluate("""JSON.stringify(Array.from(document.querySelectorAll('#figures .figure'))
        .filter((d) => d.querySelector('.js-plotly-plot')).map((d) => {
            const gd = d.querySelector('.js-plotly-plot');
            return {kind: d.dataset.kind, traces: gd.data.length, full: gd._fullData.length,
                    drawn: gd.querySelectorAll('.scatterlayer .trace, .barlayer .trace').length,
                    width: gd.getBoundingClientRect().width, height: gd.getBoundingClientRect().height};
        }))""")
    )


def no_errors(browser):
    errors, browser.errors[:] = list(browser.errors), []
    assert errors == []


def test_explorer_starts_in_the_notebook_page(browser, executed, expected):
    _, path = executed
    frame = open_notebook(browser, path)
    assert frame.evaluate("location.href") == "about:srcdoc" and frame.evaluate("origin") == "null"
    # the notebook page sees the frame but not its document
    assert browser.evaluate("document.querySelector('iframe.sorvani-report').contentDocument === null") is True
    left, top, width, height = frame.box()
    assert width > 1000 and height >= api.FRAME_HEIGHT
    assert frame.evaluate("document.getElementById('member').hidden") is True
    assert frame.evaluate("document.getElementById('overview').hidden") is False
    assert frame.evaluate("document.getElementById('overview').getBoundingClientRect().height") > 400
    ids = list(expected.measures["unique_id"])
    frame.wait_for("document.querySelector('#treemap .js-plotly-plot, #treemap.js-plotly-plot') !== null")
    treemap = frame.evaluate("document.getElementById('treemap').data[0].ids")
    labels = frame.evaluate("document.getElementById('treemap').data[0].labels")
    assert len(treemap) >= len(ids) and {i.split("/")[-1] for i in ids} <= set(labels)
    assert frame.evaluate("document.querySelectorAll('#treemap g.slice').length") >= len(ids)
    # the table library, loaded as a module from a blob: URL of the frame's opaque origin
    info = frame.wait_for("(document.querySelector('.dt-info, .dataTables_info') || {}).textContent")
    assert info == f"Showing 1 to {len(ids)} of {len(ids)} entries"
    no_errors(browser)


def test_member_view_draws_the_modules_figures_in_the_frame(browser, executed, expected):
    _, path = executed
    frame = open_notebook(browser, path)
    model = expected.measures["model"].iloc[0]
    open_member(frame, MEMBER, model)
    assert frame.evaluate("location.href") == "about:srcdoc#node=" + MEMBER.replace("/", "%2F")
    drawn = frame_figures(frame)
    assert [f["kind"] for f in drawn] == ["forecast", "histogram", "qq", "overlay", "sum"]
    pred, obs = sample_frames()
    data = inputs.load(pred, obs, Options())
    reference = {k: page.figure_json(f) for k, f in page.module_figures(data, model, MEMBER).items()}
    for fig in drawn:
        want = reference[fig["kind"]]["data"]
        assert fig["traces"] == fig["full"] == len(want)
        assert fig["drawn"] == sum(1 for t in want if t.get("x")) > 0
        assert fig["width"] > 300 and fig["height"] > 200
    got = json.loads(frame.evaluate("JSON.stringify(sorvani.drawn())"))
    assert sorted(got) == sorted(reference)
    for kind in reference:
        assert differences(reference[kind], got[kind], kind) == []
    # a second member, then the frame's own history back to the first
    child = MEMBER + "/Roma"
    open_member(frame, child, model)
    frame.evaluate("history.back(); 1")
    frame.wait_for("document.body.dataset.shown === %s" % json.dumps(f"member:{MEMBER}:{model}"))
    assert browser.evaluate("location.href") == path.as_uri()  # the notebook page did not move
    no_errors(browser)


def frame_state(browser, timeout, expected):
    """The frame's address, its view and the errors so far, once the view is `expected` or after
    `timeout` seconds."""
    from browser import BrowserError

    try:
        frame = browser.frame("about:srcdoc")
        with contextlib.suppress(BrowserError):
            frame.wait_for("document.body.dataset.shown === %s" % json.dumps(expected), timeout=timeout)
        return (
            frame.evaluate("location.href"),
            frame.evaluate("document.body.dataset.shown || null"),
            list(browser.errors),
        )
    except BrowserError as exc:  # the frame went away
        return None, str(exc), list(browser.errors)


def test_a_link_clicked_in_the_frame_opens_the_member(browser, executed, expected):
    _, path = executed
    frame = open_notebook(browser, path)
    model = expected.measures["model"].iloc[0]
    open_member(frame, MEMBER, model)
    browser.evaluate("document.querySelector('iframe.sorvani-report').scrollIntoView(); 1")
    left, top, _, _ = frame.box()
    x, y, child = frame.evaluate("""(() => { const a = document.querySelector('#member-children a');
        a.scrollIntoView({block: 'center'}); const r = a.getBoundingClientRect();
        return [r.left + r.width / 2, r.top + r.height / 2, a.textContent]; })()""")
    for kind in ("mousePressed", "mouseReleased"):
        browser.send("Input.dispatchMouseEvent", type=kind, x=left + x, y=top + y, button="left", clickCount=1)
    shown = f"member:{child}:{model}"
    try:
        assert frame_state(browser, 5, shown) == ("about:srcdoc#node=" + child.replace("/", "%2F"), shown, [])
    finally:
        browser.errors.clear()
