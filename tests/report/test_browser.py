"""The report page in headless Chromium, driven over the DevTools protocol: every figure the page
draws equals the module's figure for the same member (the exactness test), the overview (treemap,
worst members, table sort and search), the member view of each kind, deep links, the back button,
the model selector, and no script errors anywhere. Also takes the screenshots of the
documentation (into $SORVANI_SCREENSHOTS when set).

Skips without chromium (or the websocket-client package), unless SORVANI_REQUIRE_BROWSER=1."""

import base64
import contextlib
import io
import json
import os
import re
import urllib.parse
import zlib
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import corpus
import explorer_inputs as ei
from figures import differences
from pagedata import Page
from sorvani_kb.datavisualization.report import cli, inputs, page
from sorvani_kb.datavisualization.report import measures as ms
from sorvani_kb.datavisualization.report.page import Blobs
from sorvani_kb.datavisualization.report.page import data as page_data


@pytest.fixture(scope="module")
def browser():
    from browser import for_tests

    yield from for_tests(1280, 900, frames=False)


def write(folder, name, data, treemap_nodes=page.TREEMAP_NODES):
    path = folder / f"{name}.html"
    path.write_text(page.render(page.build(data, treemap_nodes=treemap_nodes)), encoding="utf-8")
    return path


def load(*argv):
    """Inputs as the command reads them, with its own parser."""
    args = cli.build_parser().parse_args([str(a) for a in argv])
    return inputs.load(args.predictions, args.observed, cli.options_of(args))


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """name: (page path, Inputs)."""
    folder = tmp_path_factory.mktemp("pages")
    out = {}
    for name, data in (
        ("kinds", ei.kinds()),
        ("steps", ei.kinds("step")),
        ("no-observed", ei.kinds(observed=False)),
        ("odd", ei.odd()),
    ):
        out[name] = (write(folder, name, data), data)
    data = load(*corpus.write(folder, "weekly")[:1], "--observed", folder / "obs.csv")
    out["corpus"] = (write(folder, "corpus", data), data)
    return out


def url(path, node=None, model=None):
    parts = ([f"node={urllib.parse.quote(node, safe='')}"] if node is not None else []) + (
        [f"model={urllib.parse.quote(model, safe='')}"] if model is not None else []
    )
    return path.as_uri() + ("#" + "&".join(parts) if parts else "")


def shown(browser, expected, timeout=60):
    browser.wait_for(f"document.body.dataset.shown === {json.dumps(expected)}", timeout=timeout)


def open_view(browser, path, node=None, model=None):
    browser.open(url(path, node, model))
    if node is None:
        expected = "overview:" + (model or "")
        browser.wait_for(f"(document.body.dataset.shown || '').startsWith({json.dumps(expected)})", timeout=60)
    else:
        browser.wait_for("document.body.dataset.shown", timeout=60)


def page_figures(browser, model, ident):
    text = browser.evaluate(
        "sorvani.figures(%s, %s).then((f) => JSON.stringify(f))" % (json.dumps(model), json.dumps(ident))
    )
    return json.loads(text)


def no_errors(browser):
    errors, browser.errors[:] = list(browser.errors), []
    assert errors == []


# ------------------------------------------------------------------------------------------------
# Exactness


def members_to_check(data, name):
    ids = list(pd.unique(data.forecasts["id"]))
    if name != "corpus":
        return [(m, i) for m in data.models for i in ids]
    # every model on a root, a member with sub-members and a leaf of each hierarchy; and a spread
    picks = ["Italia", "Italia/Lombardia", "Italia/Lazio/Roma", "Total", "Total/Servizi/Finanza"]
    return [(m, i) for m in data.models for i in picks] + [(data.models[k % 3], i) for k, i in enumerate(ids)]


@pytest.mark.parametrize("name", ["kinds", "steps", "no-observed", "odd", "corpus"])
def test_page_figures_equal_the_modules(browser, reports, name):
    path, data = reports[name]
    open_view(browser, path)
    checked = set()
    for model, ident in members_to_check(data, name):
        expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, ident).items()}
        got = page_figures(browser, model, ident)
        assert set(got) == set(expected), (model, ident)
        for kind in expected:
            assert differences(expected[kind], got[kind], f"{model} {ident} {kind}") == []
            checked.add(kind)
    kinds = {"no-observed": set(), "odd": {"histogram"}}.get(name, {"histogram", "qq"})
    assert checked == {"forecast", "overlay", "sum"} | kinds
    if name == "odd":  # odd ids open by their links too
        for ident in ei.ODD_IDS:
            open_view(browser, path, ident)
            shown(browser, f"member:{ident}:m")
        browser.errors[:] = [e for e in browser.errors if "attribute d: Expected number" not in e]  # plotly at 1e308
    no_errors(browser)


def test_page_decodes_every_array_to_the_bit_in_blocks_of_four_ids(browser, tmp_path, monkeypatch):
    # kinds() with bounds missing where the forecast is and on a few more dates: bounds stored
    # against the forecast, with gaps, in three blocks
    data = ei.kinds()
    fc = data.forecasts
    gaps = fc["mean"].isna() | (np.arange(len(fc)) % 7 == 3)
    fc.loc[gaps, ["lo", "hi"]] = np.nan
    monkeypatch.setattr(page_data, "block_size", lambda bytes_per_id: 4)
    path = write(tmp_path, "blocks", data)
    stored = Page(path.read_text(encoding="utf-8"))
    assert stored.meta["blocks"] == 3
    lo = stored.model("base")["arrays"]["lo"]
    assert {c >= Blobs.RELATIVE for c in chunk_codes(stored, lo)} == {True}
    open_view(browser, path)
    for name in stored.meta["arrays"]:
        got = json.loads(browser.evaluate("sorvani.array(%s).then((a) => JSON.stringify(a))" % json.dumps(name)))
        got = np.array([np.nan if v is None else v for v in got], dtype=np.float64)
        assert np.array_equal(got, stored.array(name), equal_nan=True), name
    for model in data.models:
        for ident in ei.IDS:
            expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, ident).items()}
            got = page_figures(browser, model, ident)
            assert set(got) == set(expected), (model, ident)
            for kind in expected:
                assert differences(expected[kind], got[kind], f"{model} {ident} {kind}") == []
    no_errors(browser)


def chunk_codes(stored, name):
    a = stored.meta["arrays"][name]
    return [zlib.decompress(base64.b64decode(stored.elements[a["el"] + c]))[0] for c in range(len(a["bounds"]) - 1)]


def test_exactness_test_sees_a_wrong_number(browser, reports):
    path, data = reports["kinds"]
    open_view(browser, path)
    expected = page.figure_json(page.module_figures(data, "base", "Italia")["qq"])
    got = page_figures(browser, "base", "Italia")["qq"]
    got["data"][1]["x"][0] *= 1 + 2e-6
    assert len(differences(expected, got)) == 1


# ------------------------------------------------------------------------------------------------
# Member views

VIEWS = [  # member, model, kinds drawn, texts shown where a kind is missing
    ("Italia", "base", ["forecast", "histogram", "qq", "overlay", "sum"], []),
    ("Italia/Nord/Torino", "base", ["forecast"], ["No observed value falls on a forecast date"]),
    ("Italia/Sud/Napoli", "base", ["forecast", "histogram"], ["The residuals are all equal"]),
    ("Italia/Sud/Napoli", "rec/x-1", ["forecast", "histogram", "qq"], []),
    ("Total/A", "base", ["forecast", "histogram"], ["One residual only"]),
    ("Solo", "rec/x-1", ["forecast"], ["No observed value falls on a forecast date"]),
]


@pytest.mark.parametrize("member, model, kinds, notes", VIEWS, ids=[f"{v[0]}-{v[1]}" for v in VIEWS])
def test_member_view(browser, reports, member, model, kinds, notes):
    path, data = reports["kinds"]
    open_view(browser, path, member, None if model == "base" else model)
    shown(browser, f"member:{member}:{model}")
    view = browser.evaluate("""JSON.stringify({
        plots: Array.from(document.querySelectorAll('#figures .figure')).map((d) => ({kind: d.dataset.kind,
            traces: d.querySelector('.js-plotly-plot') ? d.querySelector('.js-plotly-plot')._fullData.length : null,
            drawn: d.querySelectorAll('.scatterlayer .trace, .barlayer .trace').length, text: d.textContent})),
        drawn: sorvani.drawn(), title: document.getElementById('member-title').textContent,
        model: document.getElementById('model').selectedOptions[0].textContent})""")
    view = json.loads(view)
    assert view["title"] == member and view["model"] == model
    drawn = [p for p in view["plots"] if p["traces"] is not None]
    assert [p["kind"] for p in drawn] == kinds
    # what the view drew is what the page computes for the member, and that equals the module
    expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, member).items()}
    assert sorted(view["drawn"]) == sorted(expected)
    for kind in kinds:
        assert differences(expected[kind], view["drawn"][kind], kind) == []
        plot = [p for p in drawn if p["kind"] == kind][0]
        assert plot["traces"] == len(expected[kind]["data"])
        assert plot["drawn"] == sum(1 for t in expected[kind]["data"] if t.get("x"))  # an empty trace draws nothing
    missing = " ".join(p["text"] for p in view["plots"] if p["traces"] is None)
    for note in notes:
        assert note in missing
    browser.wait_for("document.body.dataset.complete")
    rows = browser.evaluate(
        "Array.from(document.querySelectorAll('#member-measures tbody tr')).map((r) => r.cells[0].textContent)"
    )
    assert rows == data.models
    no_errors(browser)


def test_member_view_lists_sub_members_and_ancestors(browser, reports):
    path, _ = reports["kinds"]
    open_view(browser, path, "Italia/Nord")
    browser.wait_for("document.body.dataset.complete")
    children = browser.evaluate(
        "Array.from(document.querySelectorAll('#member-children tbody tr td:first-child a')).map((a) => [a.textContent, a.getAttribute('href')])"
    )
    assert children == [
        ["Italia/Nord/Milano", "#node=Italia%2FNord%2FMilano"],
        ["Italia/Nord/Torino", "#node=Italia%2FNord%2FTorino"],
    ]
    crumbs = browser.evaluate("Array.from(document.querySelectorAll('#crumbs a')).map((a) => a.textContent)")
    assert crumbs == ["Overview", "Italia"]
    browser.wait_for("document.body.dataset.tree === 'Italia/Nord'")
    assert browser.evaluate("document.getElementById('member-tree-plot').data[0].labels") == [
        "Italia/Nord",
        "Milano",
        "Torino",
    ]
    no_errors(browser)


def test_unknown_member(browser, reports):
    path, _ = reports["kinds"]
    open_view(browser, path, "Italia/Atlantide")
    shown(browser, "missing")
    assert "Italia/Atlantide" in browser.evaluate("document.getElementById('missing').textContent")
    no_errors(browser)


def test_wide_overlay_waits_for_a_click(browser, tmp_path):
    n = explorer_kids = 320
    ids = ["R"] + [f"R/c{i:03d}" for i in range(n)]
    dates = pd.date_range("2024-01-01", periods=3, freq="D")
    frame = pd.DataFrame(
        {
            "id": np.repeat(ids, 3),
            "ds": np.tile(dates, len(ids)),
            "mean": np.arange(3.0 * len(ids)),
            "lo": np.nan,
            "hi": np.nan,
        }
    )
    path = write(tmp_path, "wide", ei.make_inputs({"m": frame}))
    open_view(browser, path, "R")
    shown(browser, "member:R:m")
    assert browser.evaluate("document.querySelector('[data-kind=overlay] .js-plotly-plot')") is None
    browser.click("[data-kind=overlay] button")
    browser.wait_for("document.querySelector('[data-kind=overlay] .js-plotly-plot') !== null")
    assert (
        browser.evaluate("document.querySelector('[data-kind=overlay] .js-plotly-plot').data.length")
        == explorer_kids + 1
    )
    no_errors(browser)


# ------------------------------------------------------------------------------------------------
# Overview and navigation


def test_overview(browser, reports, tmp_path):
    path, data = reports["kinds"]
    open_view(browser, path)
    labels = browser.evaluate("document.getElementById('treemap').data[0].ids.length")
    assert labels == len(ei.IDS) + 1  # every member, under a node holding the three roots
    assert (
        browser.evaluate("document.querySelector('.dt-info, .dataTables_info').textContent")
        == f"Showing 1 to {len(ei.IDS)} of {len(ei.IDS)} entries"
    )
    worst = browser.evaluate(
        "Array.from(document.querySelectorAll('#worst [data-measure=missing] li a')).map((a) => a.textContent)"
    )
    assert worst == ["Italia/Nord/Milano"]
    # a smaller node budget: whole levels from the roots down while they fit
    small = write(tmp_path, "small", data, treemap_nodes=8)
    open_view(browser, small)
    assert browser.evaluate("document.getElementById('treemap').data[0].ids.length") == 1 + 3 + 4
    assert f"Showing 7 of {len(ei.IDS)} members" in browser.evaluate(
        "document.getElementById('treemap-note').textContent"
    )
    no_errors(browser)


def table_ids(browser):
    return browser.evaluate(
        "Array.from(document.querySelectorAll('#members tbody tr td:first-child')).map((c) => c.textContent)"
    )


def test_table_sorts_and_searches(browser, reports):
    path, data = reports["kinds"]
    open_view(browser, path)
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    grid = ms.model_grid(data, "base", h, ms.observed_by_id(data.observed, h))
    smape = ms.member_measures(grid, ms.child_sums(grid, h))["smape"]
    order = [h.ids[g] for g in np.argsort(-np.where(np.isfinite(smape), smape, -np.inf), kind="stable")]
    header = "#members thead th:nth-child(%d)" % (4 + [m.key for m in ms.MEASURES].index("smape"))
    browser.click(header)
    browser.wait_for("document.querySelector(%s).getAttribute('aria-sort') === 'ascending'" % json.dumps(header))
    browser.click(header)
    browser.wait_for("document.querySelector(%s).getAttribute('aria-sort') === 'descending'" % json.dumps(header))
    got = table_ids(browser)
    assert got[:7] == order[:7]  # the members with a value, worst first; Torino, Solo have none
    browser.click("#members_wrapper input[type=search], .dt-search input")
    browser.type_text("Nord")
    browser.wait_for("document.querySelectorAll('#members tbody tr').length === 4")
    assert sorted(table_ids(browser)) == ["Italia/Nord", "Italia/Nord/Milano", "Italia/Nord/Torino", "Italia/NordEst"]
    no_errors(browser)


def test_worst_heading_sorts_the_table(browser, reports):
    path, _ = reports["kinds"]
    open_view(browser, path)
    browser.click("#worst [data-measure=missing] h3")
    browser.wait_for("document.querySelector('#members tbody tr td:first-child').textContent === 'Italia/Nord/Milano'")
    no_errors(browser)


def test_links_history_and_back_button(browser, reports):
    path, _ = reports["kinds"]
    open_view(browser, path)
    browser.click("#worst [data-measure=missing] li a")
    shown(browser, "member:Italia/Nord/Milano:base")
    assert browser.evaluate("location.hash") == "#node=Italia%2FNord%2FMilano"
    browser.click("#crumbs a:last-child")
    shown(browser, "member:Italia/Nord:base")
    browser.click("#member-children a")
    shown(browser, "member:Italia/Nord/Milano:base")
    browser.back()
    shown(browser, "member:Italia/Nord:base")
    browser.back()
    shown(browser, "member:Italia/Nord/Milano:base")
    browser.back()
    shown(browser, "overview:base")
    assert browser.evaluate("location.hash") == ""
    no_errors(browser)


def test_model_selector_and_deep_link_to_a_model(browser, reports):
    path, _ = reports["kinds"]
    open_view(browser, path, "Italia/Sud")
    shown(browser, "member:Italia/Sud:base")
    browser.evaluate(
        "(() => { const s = document.getElementById('model'); s.value = '1'; s.dispatchEvent(new Event('change')); })()"
    )
    shown(browser, "member:Italia/Sud:rec/x-1")
    assert browser.evaluate("location.hash") == "#node=Italia%2FSud&model=rec%2Fx-1"
    assert (
        browser.evaluate("document.querySelector('[data-kind=forecast] .js-plotly-plot').data.length") == 2
    )  # no band
    browser.back()
    shown(browser, "member:Italia/Sud:base")
    open_view(browser, path, "Italia/Sud", "rec/x-1")
    shown(browser, "member:Italia/Sud:rec/x-1")
    no_errors(browser)


def test_treemap_click_opens_the_member(browser, reports):
    path, _ = reports["kinds"]
    open_view(browser, path)
    box = browser.evaluate("""(() => {
        const gd = document.getElementById('treemap');
        const i = gd.data[0].labels.indexOf('NordEst');
        const slice = Array.from(gd.querySelectorAll('g.slice')).find((s) => s.__data__ && s.__data__.data && s.__data__.data.data && s.__data__.data.data.id === gd.data[0].ids[i]);
        const r = slice.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; })()""")
    for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
        browser.send("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)
    shown(browser, "member:Italia/NordEst:base")
    no_errors(browser)


@pytest.mark.parametrize(
    "script",
    ["noSuchFunction();", "setTimeout(function () { noSuchFunction(); }, 10);", "console.error('noSuchFunction');"],
)
def test_script_errors_are_caught(browser, reports, script):
    path, _ = reports["kinds"]
    open_view(browser, path)
    browser.evaluate(
        "document.body.appendChild(Object.assign(document.createElement('script'), {textContent: %s})) && 1"
        % json.dumps(script)
    )
    browser.evaluate("new Promise((r) => setTimeout(() => r(true), 100))")
    assert len(browser.errors) == 1 and "noSuchFunction" in browser.errors[0]
    browser.errors.clear()


# ------------------------------------------------------------------------------------------------
# The shipped sample, and the screenshots of the documentation


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "report.html"
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        assert cli.main(["-o", str(path), "--quiet"]) == 0
    with cli.sample_files() as (pred, obs):
        data = load(pred, "--observed", obs, "--use-case", cli.SAMPLE_USE_CASE)
    return path, data


def test_sample_report(browser, sample):
    path, data = sample
    open_view(browser, path, "Italia/Lazio")
    model = data.models[0]
    shown(browser, f"member:Italia/Lazio:{model}")
    for ident in ("Italia", "Italia/Lazio", "Italia/Sicilia/Palermo"):
        expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, ident).items()}
        got = page_figures(browser, model, ident)
        assert sorted(got) == sorted(expected)
        assert all(differences(expected[k], got[k], k) == [] for k in expected)
    no_errors(browser)


def png_size(path):
    import struct

    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


SHOTS = [  # file, member (None: the overview), colours the picture must show
    ("overview.png", None, ["#1a9850", "#d73027"]),
    ("member.png", "Italia/Lombardia", ["#008000", "#0000ff"]),
]


@pytest.mark.parametrize("name, member, colours", SHOTS, ids=[s[0] for s in SHOTS])
def test_screenshot(browser, sample, tmp_path, name, member, colours):
    import matplotlib.image

    path, _ = sample
    open_view(browser, path, member)
    browser.wait_for("document.body.dataset.shown")
    if member:
        browser.wait_for("document.body.dataset.complete")
    out = Path(os.environ.get("SORVANI_SCREENSHOTS") or tmp_path) / name
    out.parent.mkdir(parents=True, exist_ok=True)
    browser.screenshot(str(out))
    assert png_size(out) == (1280, 900)
    pixels = (matplotlib.image.imread(str(out))[..., :3] * 255).round()
    for colour in colours:
        rgb = np.array([int(colour[i : i + 2], 16) for i in (1, 3, 5)])
        assert (np.abs(pixels - rgb).max(axis=-1) <= 8).sum() >= 50, f"{colour} hardly drawn"
    no_errors(browser)


# ------------------------------------------------------------------------------------------------
# A grouped structure: Italia split by State and by Sector


@pytest.fixture(scope="module")
def grouped_report(tmp_path_factory):
    from grouped import SECTOR_SPEC, country_state_sector, forecasts_of

    fc, obs, _, tags = forecasts_of(country_state_sector(periods=8), SECTOR_SPEC)
    data = inputs.load(fc, obs, inputs.Options(hierarchy=tags))
    return write(tmp_path_factory.mktemp("grouped"), "grouped", data), data


GROUPED_MEMBERS = ["Italia", "Italia/S1", "Italia/sector4", "Italia/S1/sector4"]


def test_grouped_figures_equal_the_modules_for_every_grouping(browser, grouped_report):
    path, data = grouped_report
    open_view(browser, path)
    for model in data.models:
        for ident in GROUPED_MEMBERS:
            expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, ident).items()}
            got = page_figures(browser, model, ident)
            assert set(got) == set(expected), (model, ident)
            for kind in expected:
                assert differences(expected[kind], got[kind], f"{model} {ident} {kind}") == []
    kinds = set(page.module_figures(data, "M", "Italia"))
    assert {"overlay:State", "sum:State", "overlay:Sector", "sum:Sector"} <= kinds and "sum" not in kinds
    assert set(page.module_figures(data, "M", "Italia/sector4")) >= {"overlay:State", "sum:State"}
    no_errors(browser)


def test_grouped_member_links_every_parent_and_draws_a_sum_check_per_grouping(browser, grouped_report):
    path, data = grouped_report
    open_view(browser, path, "Italia/S1/sector4", "B")
    shown(browser, "member:Italia/S1/sector4:B")
    info = browser.evaluate("document.getElementById('member-info').textContent")
    assert "Level Country/State/Sector." in info
    parents = browser.evaluate("Array.from(document.querySelectorAll('#member-info a')).map((a) => a.textContent)")
    assert parents == ["Italia/S1", "Italia/sector4"]
    open_view(browser, path, "Italia", "B")
    shown(browser, "member:Italia:B")
    browser.wait_for("document.body.dataset.complete")
    kinds = browser.evaluate(
        "Array.from(document.querySelectorAll('#figures .figure')).filter((d) => d.querySelector('.js-plotly-plot'))"
        ".map((d) => d.dataset.kind)"
    )
    assert kinds[-4:] == ["overlay:State", "sum:State", "overlay:Sector", "sum:Sector"]
    drawn = json.loads(browser.evaluate("JSON.stringify(sorvani.drawn())"))
    expected = page.module_figures(data, "B", "Italia")
    for kind in ("sum:State", "sum:Sector", "overlay:Sector"):
        assert differences(page.figure_json(expected[kind]), drawn[kind], kind) == []
    assert len(drawn["overlay:Sector"]["data"]) == 1 + 11
    tables = browser.evaluate(
        "Array.from(document.querySelectorAll('#member-children .grouping')).map((d) => "
        "[d.dataset.grouping, d.querySelectorAll('tbody tr').length])"
    )
    assert tables == [["State", 3], ["Sector", 11]]
    # the base forecasts do not add up: the gap names the grouping it is worst in
    gap = browser.evaluate(
        "document.querySelector('#member-measures tbody tr:first-child td[data-measure=gap]').textContent"
    )
    assert re.fullmatch(r"[\d.]+% \(by (State|Sector)\)", gap), gap
    no_errors(browser)


def test_grouped_treemap_follows_one_direction_at_a_time(browser, grouped_report, reports):
    path, _ = grouped_report
    open_view(browser, path)
    assert browser.evaluate("document.getElementById('direction-box').hidden") is False
    options = browser.evaluate("Array.from(document.getElementById('direction').options).map((o) => o.textContent)")
    assert options == ["State first", "Sector first"]
    trace = "document.getElementById('treemap').data[0]"
    assert browser.evaluate(f"{trace}.ids.length") == 1 + 3 + 33
    browser.evaluate(
        "(() => { const s = document.getElementById('direction'); s.value = '1'; s.dispatchEvent(new Event('change')); })()"
    )
    browser.wait_for("document.body.dataset.treemap === 'Sector'")
    assert browser.evaluate(f"{trace}.ids.length") == 1 + 11 + 33
    labels = browser.evaluate(f"{trace}.labels")
    assert "sector4" in labels and labels.count("S1") == 11  # a state under each sector
    assert browser.evaluate("location.hash") == "#tree=Sector"
    # the crumbs follow the direction chosen, and the links keep it: Italia, its sector, then the
    # state in that sector
    crumbs = "Array.from(document.querySelectorAll('#crumbs a')).map((a) => a.textContent)"
    browser.click("#worst li a")
    browser.wait_for("(document.body.dataset.shown || '').startsWith('member:')")
    assert browser.evaluate("location.hash").endswith("&tree=Sector")
    browser.evaluate("location.hash = '#node=' + encodeURIComponent('Italia/S1/sector4') + '&tree=Sector'")
    shown(browser, "member:Italia/S1/sector4:M")
    assert browser.evaluate(crumbs) == ["Overview", "Italia", "sector4"]
    browser.click("#crumbs a:first-child")  # back to the overview: still by Sector
    browser.wait_for("document.body.dataset.shown === 'overview:M' && document.body.dataset.treemap === 'Sector'")
    assert browser.evaluate("document.getElementById('direction').value") == "1"
    # the table's links, made before the switch, follow the direction when clicked
    browser.click("#members tbody a")
    browser.wait_for("(document.body.dataset.shown || '').startsWith('member:')")
    assert browser.evaluate("location.hash").endswith("&tree=Sector")
    open_view(browser, path, "Italia/S1/sector4")  # a link naming no direction: the first
    assert browser.evaluate(crumbs) == ["Overview", "Italia", "S1"]
    # a tree has one direction and shows no selector
    tree, _ = reports["kinds"]
    open_view(browser, tree)
    assert browser.evaluate("document.getElementById('direction-box').hidden") is True
    no_errors(browser)


# ------------------------------------------------------------------------------------------------
# Cross-validation windows


def test_each_windows_figures_equal_the_modules_and_the_selector_picks_the_window(browser, tmp_path):
    from test_windows import cross_validation

    cv, obs = cross_validation(step=1, windows=3)
    cv["Naive"] = cv.groupby(["unique_id", "cutoff"])["Drift"].transform("first") - 1.0
    data = inputs.load(cv, obs)
    path = write(tmp_path, "cv", data)
    open_view(browser, path)
    for window in range(3):
        for model in ("Drift", "Naive"):
            for ident in ("T", "T/a"):
                expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, ident, window).items()}
                got = json.loads(
                    browser.evaluate(
                        "sorvani.figures(%s, %s, %d).then((f) => JSON.stringify(f))"
                        % (json.dumps(model), json.dumps(ident), window)
                    )
                )
                assert set(got) == set(expected) and "forecast" in got
                for kind in expected:
                    assert differences(expected[kind], got[kind], f"{model} {ident} {window} {kind}") == []
    # The start line is the window's cutoff; the history ends with the window's last date.
    first = page.figure_json(page.module_figures(data, "Drift", "T", 0)["forecast"])
    assert [s["x0"] for s in first["layout"]["shapes"]] == ["2024-07-01"]
    assert first["data"][-1]["x"][-1].startswith("2024-10-01")
    # The selector: the last window shows first; picking another changes the link and the view.
    open_view(browser, path, "T")
    shown(browser, "member:T:Drift")
    assert browser.evaluate("document.getElementById('window-box').hidden") is False
    assert browser.evaluate("document.getElementById('window').selectedOptions[0].textContent") == "cutoff 2024-09-01"
    browser.evaluate(
        "(() => { const s = document.getElementById('window'); s.value = '0';"
        " s.dispatchEvent(new Event('change')); })()"
    )
    browser.wait_for("location.hash.includes('window=0')", timeout=30)
    shown(browser, "member:T:Drift")
    # its own window's entries of the models only
    browser.wait_for("document.querySelectorAll('#member-measures tbody tr').length === 2", timeout=30)
    assert browser.evaluate("document.getElementById('window').value") == "0"
    # A shorter history in the figures: still the module's figures of the rows shown.
    short = tmp_path / "short.html"
    short.write_text(page.render(page.build(data, history=2)), encoding="utf-8")
    open_view(browser, short)
    for window in (0, 2):
        expected = page.figure_json(page.module_figures(data, "Drift", "T/b", window, history=2)["forecast"])
        got = json.loads(
            browser.evaluate("sorvani.figures('Drift', 'T/b', %d).then((f) => JSON.stringify(f))" % window)
        )
        assert differences(expected, got["forecast"], f"history {window}") == []
        assert len(got["forecast"]["data"][-1]["x"]) == 2 + 3 + window  # 2 before the first window, then the actuals
    no_errors(browser)


# ------------------------------------------------------------------------------------------------
# The evaluation on the overview


@pytest.fixture(scope="module")
def evaluated(tmp_path_factory):
    """name: (page path, Report) of the windows of test_scores (M with 80 and 95 % intervals, a
    naive N without; T/b constant): plain, with N as the benchmark, and with a season too long
    for any scaled measure."""
    from sorvani_kb.datavisualization.report import explore
    from test_scores import observed_frame, quietly, tree_cv

    folder = tmp_path_factory.mktemp("evaluated")
    out = {}
    for name, options in (("plain", {}), ("benchmark", {"benchmark": "N"}), ("unscaled", {"season_length": 7})):
        report = quietly(explore, tree_cv(), observed_frame(), **options)
        out[name] = (report.save(folder / f"{name}.html"), report)
    return out


def plain_rows(frame):
    """A level x model frame as the page's tables hold it: [level, value per model], None for NaN."""
    return [
        [level, *(None if pd.isna(v) else float(v) for v in row)] for level, row in zip(frame.index, frame.to_numpy())
    ]


def evaluation_table(browser, box):
    return browser.evaluate(
        "JSON.stringify({models: Array.from(document.querySelectorAll('#%s thead th')).slice(1).map((c) => c.textContent),"
        " rows: Array.from(document.querySelectorAll('#%s tbody tr')).map((r) => [r.cells[0].textContent,"
        " ...Array.from(r.querySelectorAll('td')).map((c) => (c.dataset.value === '' ? null : Number(c.dataset.value)))])})"
        % (box, box)
    )


def pick_measure(browser, column):
    browser.evaluate(
        "(() => { const s = document.getElementById('evaluation-measure');"
        " s.value = String(sorvani.meta.evaluation.summaries.findIndex((m) => m.key === %s));"
        " s.dispatchEvent(new Event('change')); })()" % json.dumps(column)
    )
    assert browser.evaluate("document.getElementById('evaluation-summary').dataset.measure") == column
    return json.loads(evaluation_table(browser, "evaluation-summary"))


def test_evaluation_summary_shows_the_reports_means(browser, evaluated):
    from sorvani_kb.datavisualization.report import scores

    path, report = evaluated["plain"]
    open_view(browser, path)
    assert browser.evaluate("document.getElementById('evaluation').hidden") is False
    first = json.loads(evaluation_table(browser, "evaluation-summary"))  # MASE until another is chosen
    assert first == {"models": ["M", "N"], "rows": plain_rows(report.summary("mase"))}
    for column in ("mae", "coverage_80_pct", "interval_score_95"):
        assert pick_measure(browser, column)["rows"] == plain_rows(report.summary(column))
        help_text = scores.column_help(column)[1]
        assert browser.evaluate("document.getElementById('evaluation-measure').selectedOptions[0].title") == help_text
        assert help_text in browser.evaluate("document.getElementById('evaluation-help').textContent")
    options = browser.evaluate(
        "Array.from(document.getElementById('evaluation-measure').options).map((o) => o.textContent)"
    )
    assert options[0] == "MASE" and "coverage 95%" in options and "bias" not in " ".join(options)
    texts = browser.evaluate(
        "Array.from(document.querySelectorAll('#evaluation-summary td')).map((c) => c.textContent)"
    )
    assert texts[:2] == [
        f"{v:.4g}" if v is not None else "—" for v in plain_rows(report.summary("interval_score_95"))[0][1:]
    ]
    assert "benchmark" not in browser.evaluate("document.getElementById('evaluation').textContent")
    no_errors(browser)


def test_the_evaluation_speaks_of_windows_only_where_there_are_some(browser, evaluated, tmp_path):
    from sorvani_kb.datavisualization.report import explore
    from test_scores import observed_frame, quietly, tree_cv

    cv = tree_cv()
    holdout = quietly(explore, cv[cv["cutoff"] == cv["cutoff"].max()].drop(columns="cutoff"), observed_frame())
    rank = "document.querySelector('#member-measures th[title^=\"the model\"]')"
    for path, windows in ((evaluated["plain"][0], True), (holdout.save(tmp_path / "holdout.html"), False)):
        open_view(browser, path)
        note = browser.evaluate("document.getElementById('evaluation-note').textContent")
        assert note.endswith(", cross-validation windows pooled." if windows else "(Overall: every member).")
        open_view(browser, path, "T")
        browser.wait_for(rank + " !== null", timeout=30)
        title = browser.evaluate(rank + ".title")
        assert ("windows pooled" in title) is windows and title.endswith("ties to the model given first")
        no_errors(browser)


def test_evaluation_summary_relative_to_a_benchmark(browser, evaluated):
    path, report = evaluated["benchmark"]
    open_view(browser, path)
    assert "relative to the benchmark N" in browser.evaluate("document.getElementById('evaluation-note').textContent")
    for column in ("mase", "mae"):
        rows = pick_measure(browser, column)["rows"]
        assert rows == plain_rows(report.summary(column)) != plain_rows(report.summary(column, benchmark=False))
        assert [row[2] for row in rows if row[2] is not None] == [1.0] * 3  # N against itself
        assert "Relative to the benchmark N" in browser.evaluate(
            "document.getElementById('evaluation-help').textContent"
        )
    # coverage is not a loss: its means stay as they are
    assert pick_measure(browser, "coverage_80_pct")["rows"] == plain_rows(
        report.summary("coverage_80_pct", benchmark=False)
    )
    assert "Relative" not in browser.evaluate("document.getElementById('evaluation-help').textContent")
    no_errors(browser)


@pytest.mark.parametrize("name", ["plain", "unscaled"])
def test_evaluation_best_counts_and_figures_hold_the_reports_numbers(browser, evaluated, name):
    path, report = evaluated[name]
    open_view(browser, path)
    assert json.loads(evaluation_table(browser, "evaluation-best"))["rows"] == plain_rows(report.best.astype(float))
    no_mase = report.summary("mase").isna().all(axis=None)
    assert no_mase == (name == "unscaled")
    # Without any MASE (histories shorter than a season) the summary opens on the first measure that has values.
    shown_measure = browser.evaluate("document.getElementById('evaluation-measure').selectedOptions[0].textContent")
    assert shown_measure.startswith("MAE" if no_mase else "MASE"), shown_measure
    assert "No member has a value" not in browser.evaluate("document.getElementById('evaluation-help').textContent")
    horizon, calibration = report.by_horizon, report.calibration
    levels = list(report.summary("mae").index)
    for i, level in reversed(list(enumerate(levels))):  # Overall first, as the page opens
        browser.evaluate(
            "(() => { const s = document.getElementById('evaluation-level'); s.value = '%d';"
            " s.dispatchEvent(new Event('change')); })()" % i
        )
        browser.wait_for("document.getElementById('evaluation').dataset.level === %s" % json.dumps(level))
        got = json.loads(browser.evaluate("JSON.stringify(document.getElementById('evaluation-horizon').data)"))
        here = horizon[horizon["level"] == level]
        measure = "mae" if name == "unscaled" else "mase"
        assert [t["name"] for t in got] == ["M", "N"]
        for trace in got:
            rows = here[here["model"] == trace["name"]]
            assert trace["x"] == rows["step"].tolist()
            assert trace["y"] == [None if pd.isna(v) else v for v in rows[measure]]
        got = json.loads(browser.evaluate("JSON.stringify(document.getElementById('evaluation-calibration').data)"))
        rows = calibration[(calibration["level"] == level) & (calibration["model"] == "M")]
        assert [t["name"] for t in got] == ["M", "nominal"]  # N has no interval
        assert got[0]["x"] == [80.0, 95.0] and got[0]["y"] == rows["coverage_pct"].tolist()
        assert got[1]["x"] == got[1]["y"] == [0, 100]
    no_errors(browser)


def test_a_page_without_evaluation_shows_none(browser, reports):
    path, data = reports["kinds"]
    assert "evaluation" not in page.build(data).meta
    open_view(browser, path)
    assert browser.evaluate("sorvani.meta.evaluation === undefined && document.getElementById('evaluation').hidden")
    no_errors(browser)


def test_member_view_ranks_the_models(browser, evaluated, reports):
    path, report = evaluated["plain"]
    measures = report.measures.set_index(["unique_id", "model"])
    seen = set()
    for ident in ("T", "T/a", "T/b"):  # T/b is constant: no MASE, no rank
        open_view(browser, path, ident)
        browser.wait_for("document.body.dataset.complete === %s" % json.dumps(f"member:{ident}:M"))
        got = browser.evaluate(
            "Array.from(document.querySelectorAll('#member-measures tbody tr')).map((r) =>"
            " [r.cells[0].textContent, r.querySelector('td[data-measure=rank]').textContent])"
        )
        ranks = [measures.loc[(ident, model), "rank"] for model in ("M", "N")]
        assert got == [[m, "—" if pd.isna(r) else str(r)] for m, r in zip(("M", "N"), ranks)]
        seen.update(text for _, text in got)
    assert seen == {"1", "2", "—"}
    # a page without an evaluation has no rank column
    open_view(browser, reports["kinds"][0], "Italia")
    browser.wait_for("document.body.dataset.complete === 'member:Italia:base'")
    assert "rank" not in browser.evaluate("document.querySelector('#member-measures thead').textContent")
    no_errors(browser)


def shown_number(text):
    """A number as the page writes it (4 significant digits, "—" for none)."""
    return np.nan if text == "—" else float(text.rstrip("%"))


def test_all_windows_and_the_scaled_measures_of_each_member(browser, evaluated):
    path, report = evaluated["benchmark"]
    open_view(browser, path)
    # the treemap is coloured by MASE; the table and the worst lists have the evaluation's measures
    assert browser.evaluate("document.getElementById('colour-by').value") == "mase"
    cards = "Array.from(document.querySelectorAll('#summary .card')).map((c) => c.textContent)"
    assert "2models" in browser.evaluate(cards)  # M and N, whatever the windows
    heads = browser.evaluate("Array.from(document.querySelectorAll('#members thead th')).map((c) => c.textContent)")
    assert {"MASE", "RMSSE", "coverage 80%", "interval score 95%", "MASE vs N"} <= set(heads)
    assert browser.evaluate("!!document.querySelector('#worst [data-measure=mase]')") is True
    assert browser.evaluate("!!document.querySelector('#worst [data-measure=rmse]')") is False
    # "all windows": its option, its link, a member's pooled measures under every model
    options = browser.evaluate("Array.from(document.getElementById('window').options).map((o) => o.value)")
    assert options == ["0", "1", "all"]
    browser.evaluate(
        "(() => { const s = document.getElementById('window'); s.value = 'all'; s.dispatchEvent(new Event('change')); })()"
    )
    browser.wait_for("location.hash === '#window=all'")
    shown(browser, "overview:M")
    browser.evaluate("location.hash = '#node=T%2Fa&window=all'")
    browser.wait_for("document.body.dataset.complete === 'member:T/a:M'")
    assert "pool all 2 cross-validation windows" in browser.evaluate(
        "document.getElementById('member-info').textContent"
    )
    # its figures are the module's of the last window
    from test_scores import observed_frame, quietly, tree_cv

    data = quietly(inputs.load, tree_cv(), observed_frame())
    for model, ident in (("M", "T/a"), ("N", "T")):
        expected = {k: page.figure_json(f) for k, f in page.module_figures(data, model, ident, 1).items()}
        got = json.loads(
            browser.evaluate(
                "sorvani.figures(%s, %s, 'all').then((f) => JSON.stringify(f))" % (json.dumps(model), json.dumps(ident))
            )
        )
        assert set(got) == set(expected) and "forecast" in got
        for kind in expected:
            assert differences(expected[kind], got[kind], f"{model} {ident} all {kind}") == []
    measures = report.measures.set_index(["unique_id", "model"])
    for column in ("mase", "rmsse", "coverage_80_pct", "mase_rel"):
        got = browser.evaluate(
            "Array.from(document.querySelectorAll('#member-measures tbody tr')).map((r) =>"
            " r.querySelector('td[data-measure=%s]').textContent)" % column
        )
        expected = [measures.loc[("T/a", model), column] for model in ("M", "N")]
        np.testing.assert_allclose([shown_number(t) for t in got], expected, rtol=1e-3, err_msg=column)
    # the table of the pooled entry, sorted by MASE worst first
    browser.evaluate("location.hash = '#window=all'")
    shown(browser, "overview:M")
    header = "#members thead th:nth-child(%d)" % (1 + heads.index("MASE"))
    for order in ("ascending", "descending"):
        browser.click(header)
        browser.wait_for("document.querySelector(%s).getAttribute('aria-sort') === '%s'" % (json.dumps(header), order))
    m = measures.xs("M", level="model")["mase"]
    assert table_ids(browser) == m.sort_values(ascending=False, na_position="last", kind="stable").index.tolist()
    no_errors(browser)


def test_evaluation_titles_clear_the_toolbar(browser, evaluated):
    path, _ = evaluated["plain"]
    open_view(browser, path)
    for box in ("evaluation-horizon", "evaluation-calibration"):
        overlap = browser.evaluate(
            "(() => { const el = document.getElementById(%s);"
            " const t = el.querySelector('.gtitle').getBoundingClientRect();"
            " const b = el.querySelector('.modebar').getBoundingClientRect();"
            " return [t.width > 0 && b.width > 0, t.right > b.left && t.left < b.right && t.bottom > b.top && t.top < b.bottom]; })()"
            % json.dumps(box)
        )
        assert overlap == [True, False], box
    no_errors(browser)
