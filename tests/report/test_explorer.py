"""The report page's data, without a browser: the binary arrays (decoded here as the page decodes
them), the figure prototypes, the reference figures of each kind of member, the page's text, the
page with a worker (a second process or a stand-in), the measures the page data gives, and the
layers the page may import."""

import ast
import base64
import dataclasses
import json
import multiprocessing
import re
import subprocess
import sys
import time
import zlib
from importlib import resources

import numpy as np
import pandas as pd
import pytest

import corpus
import explorer_inputs as ei
from pagedata import Page, decode
from pagedata import parts as page_parts
from sorvani_kb.datavisualization.report import inputs, worker
from sorvani_kb.datavisualization.report import measures as ms
from sorvani_kb.datavisualization.report import page as report_page
from sorvani_kb.datavisualization.report.page import codec, data, html, prototypes


def write(inputs, **options):
    """The page of `inputs` (HTML text)."""
    return report_page.render(report_page.build(inputs, **options))


def packed(blobs):
    blobs.finish()
    elements = dict(blobs.head + blobs.tail + [e for block in blobs.blocks for e in block])
    return blobs.index, elements


def codes(index, elements, name):
    a = index[name]
    return {zlib.decompress(base64.b64decode(elements[a["el"] + c]))[0] for c in range(len(a["bounds"]) - 1)}


@pytest.mark.parametrize(
    "values, dtype, decimal",
    [
        (np.round(np.random.RandomState(1).uniform(-500, 500, 999), 2), "f4", True),
        (np.array([1.5, np.nan, -2.25, 0.0, np.nan, 1e6]), "f4", True),
        (np.random.RandomState(2).standard_normal(300), "f4", False),  # full-precision: float32
        (np.array([1e10, 2.5, 3.0]), "f4", False),  # beyond int32 once scaled
        (np.array([1.0, np.inf, 2.0]), "f4", False),
        (np.arange(1000) * 7 - 300, "i4", False),
        (np.arange(700) % 65536, "u2", False),
        (np.zeros(0), "f4", False),
    ],
)
def test_arrays_decode_to_what_was_stored(values, dtype, decimal):
    blobs = codec.Blobs(n_ids=len(values), block=64)
    blobs.add("keyed", values, dtype, keys=np.arange(len(values)))
    blobs.add("whole", values, dtype)
    index, elements = packed(blobs)
    for name in ("keyed", "whole"):
        got = decode(index, elements, name)
        if dtype == "f4":
            tol = 1e-9 if decimal else 1e-7
            np.testing.assert_allclose(got, values, rtol=tol, atol=0)
            assert np.array_equal(np.isnan(got), np.isnan(values))
            assert (max(codes(index, elements, name)) > 0) == decimal
        else:
            np.testing.assert_array_equal(got, values)
    assert index["keyed"]["blocked"] and not index["whole"]["blocked"]
    assert len(index["keyed"]["bounds"]) - 1 == max(1, -(-len(values) // 64))


def test_checks_made_a_block_at_a_time_encode_as_the_whole_array_would(monkeypatch):
    rng = np.random.RandomState(7)
    values = np.round(rng.uniform(-500, 500, 1000), 2)
    values[[3, 40, 41, 500]] = np.nan, np.inf, 1e12, 1e-40  # none, infinite, beyond int32, subnormal
    widths = {"dec": np.round(values, 1), "mixed": values, "normal": rng.standard_normal(1000)}
    pages = []
    for block in (codec.BLOCK, 7):
        monkeypatch.setattr(codec, "BLOCK", block)
        blobs = codec.Blobs(n_ids=100, block=16)
        for name, array in widths.items():
            blobs.add(name, array, "f4", keys=np.arange(100), width=10)
        pages.append(packed(blobs))
    assert pages[0] == pages[1]


def test_rows_are_cut_by_blocks_of_ids():
    # rows of ids 0, 3, 4, 9 (of 10), 2 values each; blocks of 4 ids: 0-3, 4-7, 8-9
    blobs = codec.Blobs(n_ids=10, block=4)
    values = np.arange(8.0)
    blobs.add("rows", values, "f4", keys=np.array([0, 3, 4, 9]), width=2)
    offsets = np.array([0, 1, 1, 1, 3, 3, 3, 3, 3, 3, 6])  # variable-length rows of 10 ids
    blobs.add("var", np.arange(6.0), "f4", offsets=offsets)
    index, elements = packed(blobs)
    assert index["rows"]["bounds"] == [0, 4, 6, 8]
    assert index["var"]["bounds"] == [0, 3, 3, 6]
    for name, expected in (("rows", values), ("var", np.arange(6.0))):
        np.testing.assert_array_equal(decode(index, elements, name), expected)
        a = index[name]
        for c in range(3):  # chunk c is in block c
            assert any(number == a["el"] + c for number, _ in blobs.blocks[c])


def test_late_rows_come_after_every_block_still_cut_by_block():
    blobs = codec.Blobs(n_ids=10, block=4)
    keys = np.array([0, 3, 4, 9])
    blobs.add("figure", np.arange(8.0), "f4", keys=keys, width=2)
    blobs.add("table", np.arange(8.0) / 4, "f4", keys=keys, width=2, late=True)
    index, elements = packed(blobs)
    late = index["table"]
    assert late["late"] and late["blocked"] and late["bounds"] == [0, 4, 6, 8]
    in_blocks = {number for block in blobs.blocks for number, _ in block}
    tail = [number for number, _ in blobs.tail]
    assert tail == [late["el"] + c for c in range(3)] and not in_blocks & set(tail)
    assert {index["figure"]["el"] + c for c in range(3)} <= in_blocks
    np.testing.assert_array_equal(decode(index, elements, "table"), np.arange(8.0) / 4)


def stored_against(mean, lo, hi, width=4, block=2):
    """(index, elements, what Blobs.decoded gives) of rows of `width`: mean, lo against mean, hi
    against the reflection of lo about mean, in blocks of `block` ids."""
    blobs = codec.Blobs(n_ids=len(mean) // width, block=block)
    keys = np.arange(len(mean) // width)
    blobs.add("mean", mean, "f4", keys, width)
    blobs.add("lo", lo, "f4", keys, width, base="mean")
    blobs.add("hi", hi, "f4", keys, width, base=("mean", "lo"))
    decoded = {name: blobs.decoded(name) for name in ("mean", "lo", "hi")}
    index, elements = packed(blobs)
    return index, elements, decoded


def test_bases_are_encoded_once_and_let_go_after_their_last_dependent(monkeypatch):
    scaled, real = [], codec.Blobs._scaled
    monkeypatch.setattr(
        codec.Blobs, "_scaled", lambda self, v, k, limit=True: scaled.append(len(v)) or real(self, v, k, limit)
    )
    lo, hi = band(MEAN3, HALF, 3)
    blobs = codec.Blobs(n_ids=4, block=2)
    keys = np.arange(4)
    for model in ("a", "b"):  # a second model's arrays stored against its own
        blobs.add(model + ".mean", MEAN3 + (model == "b"), "f4", keys, 4)
        blobs.add(model + ".lo", lo + (model == "b"), "f4", keys, 4, base=model + ".mean")
        blobs.add(model + ".hi", hi + (model == "b"), "f4", keys, 4, base=(model + ".mean", model + ".lo"))
    expected = {a.name: blobs.decoded(a.name) for a in blobs.arrays}
    scaled.clear()
    held = []  # the decoded values held as each array is encoded
    encodings = codec.Blobs._encodings
    monkeypatch.setattr(
        codec.Blobs, "_encodings", lambda self, stored: held.append(sorted(self._decoded)) or encodings(self, stored)
    )
    index, elements = packed(blobs)
    assert scaled == [16] * 6  # each array's values scaled once: its bases' encodings are reused
    assert held == [[], ["a.mean"], ["a.lo", "a.mean"], [], ["b.mean"], ["b.lo", "b.mean"]]
    assert blobs._decoded == {} == blobs._fits
    for name, values in expected.items():
        np.testing.assert_array_equal(decode(index, elements, name), values)


def chunk_codes(index, elements, name):
    a = index[name]
    return [zlib.decompress(base64.b64decode(elements[a["el"] + c]))[0] for c in range(len(a["bounds"]) - 1)]


def as_decimals(values, k):
    """What a decimal chunk of k places decodes to: round(value * 10**k) / 10**k."""
    return np.where(np.isnan(values), np.nan, np.round(values * 10.0**k) / 10.0**k)


def band(mean, half, k):
    return np.round(mean - half, k), np.round(mean + half, k)


RNG = np.random.RandomState(5)
MEAN3 = np.round(RNG.uniform(-50, 900, 16), 3)  # 4 ids of 4 steps: blocks of 2 ids, 8 numbers each
HALF = RNG.uniform(0.5, 40, 16)
FAR = np.concatenate([[800.0], MEAN3[1:]])
REL = codec.Blobs.RELATIVE


def with_nan(values, at):
    out = values.copy()
    out[at] = np.nan
    return out


@pytest.mark.parametrize(
    "mean, lo, hi, k, lo_codes",
    [
        (MEAN3, *band(MEAN3, HALF, 3), 3, [REL + 3] * 2),
        (np.round(MEAN3), *band(np.round(MEAN3), HALF, 2), 2, [REL + 2] * 2),  # a base of fewer places
        # missing bounds (the first of a row too) are skipped by the changes of their row
        (
            MEAN3,
            with_nan(band(MEAN3, HALF, 3)[0], [0, 5, 6, 12]),
            with_nan(band(MEAN3, HALF, 3)[1], [4, 15]),
            3,
            [REL + 3] * 2,
        ),
        # no forecast where there is a bound: that block is stored as it is
        (with_nan(MEAN3, [9]), *band(MEAN3, HALF, 3), 3, [REL + 3, 4]),
        # a forecast of other numbers than decimals (in the second block): none against it
        (np.concatenate([MEAN3[:8], MEAN3[8:] + 1e-4 * np.pi]), *band(MEAN3, HALF, 3), 3, [4, 4]),
        # a forecast of more places than its bounds
        (MEAN3 + 1e-4, *band(MEAN3, HALF, 3), 3, [4, 4]),
        # a bound too far from its forecast for the changes to fit in int32
        (FAR, np.concatenate([[-2.147e6], band(FAR, HALF, 3)[0][1:]]), band(FAR, HALF, 3)[1], 3, [4, REL + 3]),
    ],
)
def test_bounds_against_the_forecast_decode_to_their_decimals(mean, lo, hi, k, lo_codes):
    index, elements, decoded = stored_against(mean, lo, hi)
    assert chunk_codes(index, elements, "lo") == lo_codes
    for name, values in (("lo", lo), ("hi", hi)):
        got = decode(index, elements, name)
        np.testing.assert_array_equal(got, as_decimals(values, k))  # to the bit, missing ones too
        np.testing.assert_array_equal(decoded[name], got)  # what the page data is told it decodes
    np.testing.assert_array_equal(decode(index, elements, "mean"), decoded["mean"])


def test_row_changes_skip_missing_values_row_by_row():
    rng = np.random.default_rng(3)
    diff = rng.integers(-1000, 1000, size=(50, 7))
    missing = rng.random((50, 7)) < 0.2
    missing[:10] = False  # rows without a missing value among rows with them
    missing[10] = True
    expected = np.zeros_like(diff)
    for r in range(len(diff)):
        previous = 0
        for c in range(diff.shape[1]):
            if not missing[r, c]:
                expected[r, c] = diff[r, c] - previous
                previous = diff[r, c]
    got = codec.Blobs._row_changes(np.where(missing, 0, diff).ravel(), missing.ravel(), 7)
    np.testing.assert_array_equal(got, expected.ravel())


def test_a_symmetric_band_stores_only_zeros_for_its_upper_bound():
    lo, hi = band(MEAN3, HALF, 3)
    index, elements, _ = stored_against(MEAN3, lo, hi)
    a = index["hi"]
    assert a["base"] == ["mean", "lo"] and a["width"] == 4
    for c in range(len(a["bounds"]) - 1):
        raw = zlib.decompress(base64.b64decode(elements[a["el"] + c]))
        assert raw[0] == REL + 3 and not any(raw[1:])


def test_bounds_of_other_numbers_than_decimals_are_stored_as_they_are():
    mean = RNG.standard_normal(16) * 100
    lo, hi = mean - HALF, mean + HALF
    index, elements, decoded = stored_against(mean, lo, hi)
    assert set(chunk_codes(index, elements, "lo") + chunk_codes(index, elements, "hi")) == {0}
    for name, values in (("lo", lo), ("hi", hi)):
        np.testing.assert_allclose(decode(index, elements, name), values, rtol=1e-7)
        np.testing.assert_array_equal(decoded[name], decode(index, elements, name))


def test_only_float_arrays_of_the_same_rows_are_a_base():
    blobs = codec.Blobs(n_ids=4, block=2)
    blobs.add("mean", MEAN3, "f4", np.arange(4), 4)
    blobs.add("count", np.arange(4), "i4", np.arange(4))
    with pytest.raises(ValueError):
        blobs.add("lo", MEAN3[:8], "f4", np.array([0, 3]), 4, base="mean")  # other rows
    with pytest.raises(ValueError):
        blobs.add("lo", MEAN3, "f4", np.arange(4), 4, base="count")


def test_rows_stored_column_by_column_come_back_in_rows():
    table = np.round(RNG.uniform(0, 1, (5, 3)), 6) * [1, 1e3, 1e-3]  # 5 ids, unlike columns
    table[2, 1] = np.nan
    blobs = codec.Blobs(n_ids=9, block=4)
    keys = np.array([0, 2, 3, 5, 8])
    blobs.add("table", table, "f4", keys, 3, columns=True)
    decoded = blobs.decoded("table")
    index, elements = packed(blobs)
    assert index["table"]["columns"] and index["table"]["bounds"] == [0, 9, 12, 15]
    got = decode(index, elements, "table")
    np.testing.assert_allclose(got, table.ravel(), rtol=1e-7)
    assert np.array_equal(np.isnan(got), np.isnan(table.ravel())) and np.array_equal(got, decoded, equal_nan=True)
    raw = zlib.decompress(base64.b64decode(elements[index["table"]["el"]]))
    first = np.frombuffer(raw[1:], np.uint8).reshape(4, 9).T.copy().view("<f4").ravel()[:3]  # the first block's
    np.testing.assert_allclose(first, table[:3, 0], rtol=1e-7)  # first column, rows of ids 0, 2, 3


def test_block_size_gives_chunks_of_about_the_target():
    assert codec.block_size(512) == 256
    assert codec.block_size(1e9) == 16 and codec.block_size(0) == 65536


def test_id_names_give_back_the_ids():
    h = ms.build_hierarchy(sorted(["Italia", "Italia/Lazio", "Italia/Lazio/Roma", "B/x", "B/x/y", "a/"]))
    names = data.id_names(h)
    rebuilt = []
    for g, name in enumerate(names):
        rebuilt.append(rebuilt[h.parent[g]] + "/" + name if h.parent[g] >= 0 else name)
    assert rebuilt == h.ids.tolist()


def test_plain_decodes_typed_arrays():
    data = np.array([1.5, np.nan, 3.0])
    fig = {
        "x": {"dtype": "f8", "bdata": base64.b64encode(data.astype("<f8").tobytes()).decode()},
        "z": {"dtype": "i2", "bdata": base64.b64encode(np.arange(6, dtype="<i2").tobytes()).decode(), "shape": "2, 3"},
        "t": [float("inf"), 1],
    }
    assert prototypes.plain(fig) == {"x": [1.5, None, 3.0], "z": [[0, 1, 2], [3, 4, 5]], "t": [None, 1]}


@pytest.mark.parametrize(
    "value, kind, text",
    [
        (np.datetime64("2024-12-30"), "datetime", "2024-12-30"),
        (np.datetime64("2024-12-30T06:30"), "datetime", "2024-12-30 06:30:00"),
        (np.int64(53), "step", "53"),
    ],
)
def test_start_text(value, kind, text):
    assert prototypes.start_text(value, kind) == text


# ------------------------------------------------------------------------------------------------
# The reference figures


@pytest.fixture(scope="module")
def kinds():
    return ei.kinds()


EXPECTED_KINDS = {
    "Italia": {"forecast", "histogram", "qq", "overlay", "sum"},
    "Italia/Nord/Milano": {"forecast", "histogram", "qq"},
    "Italia/Nord/Torino": {"forecast"},
    "Italia/Sud/Napoli": {"forecast", "histogram"},  # residuals all equal under "base"
    "Total/A": {"forecast", "histogram"},  # one residual
    "Solo": {"forecast"},
}


@pytest.mark.parametrize("member", sorted(EXPECTED_KINDS))
def test_reference_figures_by_kind(kinds, member):
    figs = prototypes.module_figures(kinds, "base", member)
    assert set(figs) == EXPECTED_KINDS[member]
    forecast = figs["forecast"]
    assert forecast.layout.title.text == f"Predizione vendite - {member}"
    assert [t.name for t in forecast.data] == ["predict value", None, "95% confidence interval", "past value (true)"]
    assert forecast.layout.shapes[0].x0 == "2024-03-11"


def test_reference_without_bounds_or_observed_values():
    data = ei.kinds(observed=False)
    figs = prototypes.module_figures(data, "rec/x-1", "Italia")
    assert set(figs) == {"forecast", "overlay", "sum"}
    assert [t.name for t in figs["forecast"].data] == ["predict value"]
    assert prototypes.module_figures(data, "rec/x-1", "Nowhere") == {}


def test_overlay_and_sum_check_take_only_the_direct_sub_members(kinds):
    figs = prototypes.module_figures(kinds, "base", "Italia/Nord")
    # Italia/NordEst starts with "Italia/Nord" but is not below it
    assert [t.name for t in figs["overlay"].data] == ["Italia/Nord", "Italia/Nord/Milano", "Italia/Nord/Torino"]
    fc = kinds.forecasts[kinds.forecasts["model"] == "base"]
    kids = [fc.loc[fc["id"] == k, "mean"].to_numpy() for k in ("Italia/Nord/Milano", "Italia/Nord/Torino")]
    np.testing.assert_allclose(np.asarray(figs["sum"].data[1].y, dtype=float), np.nansum(kids, axis=0))
    assert [t.name for t in figs["sum"].data] == ["Predizione Italia/Nord", "Somma predizioni Italia/Nord"]


def test_sum_check_of_one_sub_member_is_its_forecast(kinds):
    figs = prototypes.module_figures(kinds, "base", "Total")  # one sub-member, another root
    fc = kinds.forecasts[kinds.forecasts["model"] == "base"]
    np.testing.assert_array_equal(np.asarray(figs["sum"].data[1].y, dtype=float), fc.loc[fc["id"] == "Total/A", "mean"])
    assert [t.name for t in figs["overlay"].data] == ["Total", "Total/A"]


def test_residual_figures_pair_by_date(kinds):
    figs = prototypes.module_figures(kinds, "base", "Italia/Nord")
    fc = kinds.forecasts[(kinds.forecasts["model"] == "base") & (kinds.forecasts["id"] == "Italia/Nord")]
    obs = kinds.observed[kinds.observed["id"] == "Italia/Nord"]
    both = fc.merge(obs, on=["id", "ds"])
    np.testing.assert_allclose(np.asarray(figs["histogram"].data[0].x, dtype=float), both["mean"] - both["y"])
    np.testing.assert_allclose(np.sort(figs["qq"].data[0].y), np.sort(both["y"] - both["mean"]))


def test_residual_prototypes_read_the_margins_matplotlib_used():
    protos = prototypes.residual_prototypes("vendite")
    assert protos["margins"] == [0.02, 0.05]
    assert [t["x"] for t in protos["qq"]["data"]] == [[], []]
    assert protos["histogram"]["layout"]["title"]["text"] == "Distribuzione residui"


def test_normal_quantiles_are_the_plotting_positions():
    from scipy import stats

    q = prototypes.normal_quantiles([2, 5, 1, 5])
    assert sorted(q) == ["2", "5"]
    np.testing.assert_array_equal(q["5"], stats.norm.ppf(np.arange(1, 6) / 6))


# ------------------------------------------------------------------------------------------------
# The page


@pytest.fixture(scope="module")
def page(kinds):
    steps = []
    text = write(kinds, treemap_nodes=50, progress=lambda total=None, step=1: steps.append((total, step)))
    return text, steps


def test_progress_counts_every_step(page):
    _, steps = page
    total = steps[0][0]
    assert total is not None and [s for s in steps[1:] if s[0] is None] == [(None, 1)] * total


def test_page_arrays_hold_the_grids(kinds, page):
    text, _ = page
    meta, elements = page_parts(text)
    h = ms.build_hierarchy(ms.all_ids(kinds.forecasts, kinds.models))
    obs = ms.observed_by_id(kinds.observed, h)
    shown = Page(text)
    for i, model in enumerate(kinds.models):
        grid = ms.model_grid(kinds, model, h, obs)
        arrays = meta["models"][i]["arrays"]
        np.testing.assert_allclose(decode(meta["arrays"], elements, arrays["mean"]), grid.mean.ravel(), rtol=1e-7)
        # stored, or (decimals here) derived by the page from its observed values and forecasts, exactly
        assert ("res" in arrays) != ("fcObs" in meta["models"][i])
        residuals = np.stack([shown.member(model, h.ids[g])["res"] for g in grid.gid])
        np.testing.assert_allclose(residuals, grid.residual, rtol=1e-7)
        assert ("lo" in arrays) == (model == "base")
        values = ms.member_measures(grid, ms.child_sums(grid, h))
        stored = decode(meta["arrays"], elements, arrays["measures"]).reshape(-1, len(ms.MEASURES))
        for j, m in enumerate(ms.MEASURES):
            np.testing.assert_allclose(stored[:, j], values[m.key], rtol=1e-6)
    np.testing.assert_allclose(decode(meta["arrays"], elements, meta["obs"]["arrays"]["values"]), obs.values)
    assert meta["treemapNodes"] == 50 and meta["notes"] == kinds.notes


def test_page_has_a_marker_after_every_block(page):
    text, _ = page
    meta, elements = page_parts(text)
    markers = [int(b) for b in re.findall(r"window\.__sorvaniBlock\((\d+)\)", text)]
    assert markers == list(range(meta["blocks"] + 1))
    assert set(elements) == set(range(len(elements)))


def test_prototypes_hold_no_member_data(page):
    meta, _ = page_parts(page[0])
    base = meta["models"][0]["proto"]
    assert base["titlePrefix"] == "Predizione vendite - "
    assert base["sumPrefixes"] == ["Predizione ", "Somma predizioni "]
    assert all(t["y"] == [] for t in base["forecast"]["data"]) and base["forecast"]["data"][-1]["x"] == []
    assert base["overlay"]["data"] == [] and base["overlayTrace"]["name"] is None
    assert len(base["forecast"]["data"]) == 4 and len(meta["models"][1]["proto"]["forecast"]["data"]) == 2


@pytest.mark.parametrize("text", ["</script><script>alert(1)</script>", "<!--", "a\u2028b"])
def test_texts_cannot_break_out_of_the_data(text):
    safe = html.script_json({"id": text})
    assert "<" not in safe and "\u2028" not in safe
    assert json.loads(safe) == {"id": text}


def test_datatables_come_from_the_installed_itables_without_importing_it():
    code = (
        "import sys; from sorvani_kb.datavisualization.report.page import html; "
        "js, css = html.table_library(); print(len(js), len(css), 'itables' in sys.modules)"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    base = resources.files("itables") / "html"
    js, css = (base / "dt_bundle.js").read_bytes(), (base / "dt_bundle.css").read_text(encoding="utf-8")
    assert done.stdout.split() == [str(len(js)), str(len(css)), "False"]
    assert html.table_library() == (js, css)


def test_the_worker_loads_the_drawing_libraries_without_polars():
    code = (
        "import sys; from sorvani_kb.datavisualization.report import worker; "
        "worker._load_libraries('forecast', False); "
        "print('sorvani_kb.datavisualization.plotPrediction' in sys.modules, 'statsmodels' in sys.modules, "
        "sys.modules.get('polars', 0) is None)"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["True", "True", "True"]


def test_worst_lists_skip_members_that_are_fine(page):
    meta, _ = page_parts(page[0])
    names = dict(enumerate(meta["names"]))
    worst = meta["models"][0]["worst"]
    assert worst["missing"] and all(isinstance(g, int) for g in worst["missing"])
    assert [names[g] for g in worst["missing"]] == ["Milano"]
    assert meta["models"][1]["worst"]["coverage"] == []  # no bounds: no coverage


def test_page_is_the_same_when_the_libraries_load_in_a_second_process(kinds, page):
    taken = worker.Worker.start(force=True)
    assert taken is not None and multiprocessing.active_children()
    try:
        text = write(kinds, treemap_nodes=50, worker=taken)
    finally:
        taken.end()
    assert text == page[0]
    deadline = time.monotonic() + 10
    while multiprocessing.active_children() and time.monotonic() < deadline:  # ended, not left to exit
        time.sleep(0.05)
    assert multiprocessing.active_children() == []


@pytest.mark.parametrize("windows", [None, 3])
def test_the_pages_bounds_are_the_forecasts_bounds(windows):
    """The corpus' forecasts and bounds are decimals of 2 places: every model's bounds are stored
    against its forecasts."""
    pred, obs = corpus.frames()
    if windows is not None:  # the same forecasts as windows of cross-validation, a day apart
        dates = np.sort(pred["ds"].unique())
        pred = pd.concat(
            [
                pred.assign(ds=pred["ds"] - pd.Timedelta(days=w), cutoff=dates[0] - pd.Timedelta(days=w + 1))
                for w in range(windows)
            ]
        )
    data = inputs.load(pred, obs)
    shown = Page(write(data))
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    observed = ms.observed_by_id(data.observed, h)
    against = set()
    for entry in shown.meta["models"]:
        window = entry.get("window") if windows is not None else None
        grid = ms.model_grid(data, entry["name"], h, observed, window=window if window != "all" else windows - 1)
        for name in ("lo", "hi"):
            stored = entry["arrays"][name]
            got = shown.array(stored)
            np.testing.assert_array_equal(got, as_decimals(getattr(grid, name).ravel(), 2))
            np.testing.assert_allclose(got, getattr(grid, name).ravel(), rtol=1e-9)
            if max(codes(shown.meta["arrays"], shown.elements, stored)) > REL:
                against.add(entry["name"])
    assert against == set(data.models)


@pytest.mark.parametrize("dates", [1, 2])
def test_odd_ids_and_extreme_values(dates):
    data = ei.odd(dates)
    meta, elements = page_parts(write(data))
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    grid = ms.model_grid(data, "m", h, ms.observed_by_id(data.observed, h))
    arrays = meta["models"][0]["arrays"]
    for name, values in (("mean", grid.mean), ("res", grid.residual), ("lo", grid.lo), ("hi", grid.hi)):
        if name not in arrays:  # residuals the page derives: exactly those of the grid
            shown = Page(write(data))
            got = np.concatenate([shown.member("m", h.ids[g])["res"] for g in grid.gid])
        else:
            got = decode(meta["arrays"], elements, arrays[name])
        np.testing.assert_allclose(got, values.ravel(), rtol=1e-9)  # huge and subnormal values kept as float64
    assert [len(prototypes.module_figures(data, m, i)) > 0 for m in data.models for i in ei.ODD_IDS] == [
        True
    ] * 2 * len(ei.ODD_IDS)


def test_the_worker_yields_the_processor_only_to_a_read_longer_than_its_imports(monkeypatch, tmp_path):
    started, niced = [], []
    monkeypatch.setattr(worker.os, "nice", lambda n: niced.append(n) or 0)
    monkeypatch.setattr(prototypes, "load_libraries", lambda use_case=None: started.append(use_case))

    class Context:
        def Pool(self, n, initializer, initargs):
            initializer(*initargs)  # what the second process runs first
            return "pool"

    monkeypatch.setattr(worker.multiprocessing, "get_context", lambda kind: Context())
    monkeypatch.setattr(worker, "DRAWING_MODULE", "not.loaded.here")
    small, large = tmp_path / "small", tmp_path / "large"
    for path, size in ((small, worker.LARGE_INPUT), (large, worker.LONG_READ)):
        with open(path, "wb") as fh:
            fh.truncate(size)
    assert worker.Worker.start([small, None], use_case="u") is not None and niced == []
    assert worker.Worker.start([small, large], use_case="v") is not None and niced == [5]
    assert worker.Worker.start([str(small)[:-1] + "x"]) is None  # unreadable: 0 bytes, no worker
    assert started == ["u", "v"]


def test_a_failed_second_process_leaves_the_page_to_this_one(kinds, page, monkeypatch):
    taken = worker.Worker.start(force=True)
    assert taken is not None
    taken._pool.terminate()  # as if it had died
    try:
        text = write(kinds, treemap_nodes=50, worker=taken)
    finally:
        taken.end()
    assert text == page[0]


# ------------------------------------------------------------------------------------------------
# The worker the page may hand the library parts to


class Refusing:
    """Takes the job and never answers, as a worker that died or took too long. Like the other
    stand-ins it has no `end`: the page must leave that to its caller."""

    def __init__(self):
        self.jobs = []

    def submit(self, function, *args):
        self.jobs.append(function)
        return len(self.jobs)

    def answer(self, pending):
        return None


class InProcess(Refusing):
    """Does the job itself when asked for the answer."""

    def submit(self, function, *args):
        self.jobs.append(function)
        return function, args

    def answer(self, pending):
        function, args = pending
        return function(*args)


class Broken:
    def submit(self, function, *args):
        raise OSError("no second process")

    def answer(self, pending):
        raise AssertionError("nothing was submitted")


@pytest.mark.parametrize("stand_in", [Refusing, InProcess, Broken])
def test_page_is_the_same_with_a_stand_in_worker(kinds, page, stand_in):
    w = stand_in()
    assert write(kinds, treemap_nodes=50, worker=w) == page[0]
    if stand_in is not Broken:
        assert w.jobs == [prototypes.library_parts]


def test_page_takes_the_workers_answer(kinds):
    class Marking(InProcess):
        def answer(self, pending):
            parts = super().answer(pending)
            parts["residual"]["margins"] = [0.5, 0.25]
            return parts

    meta, _ = page_parts(write(kinds, worker=Marking()))
    assert meta["residualProto"]["margins"] == [0.5, 0.25]


def test_residual_prototypes_are_drawn_once_and_each_call_gets_a_copy():
    first = prototypes.residual_prototypes("copia")
    first["qq"]["data"].clear()
    first["margins"][0] = 9.0
    again = prototypes.residual_prototypes("copia")
    assert len(again["qq"]["data"]) == 2 and again["margins"] == [0.02, 0.05]


def test_libraries_loaded_for_a_use_case_leave_only_the_models_to_draw(monkeypatch):
    prototypes.load_libraries("in anticipo")
    drawn = []
    real = prototypes.plotter
    monkeypatch.setattr(prototypes, "plotter", lambda use_case: drawn.append(use_case) or real(use_case))
    axis = np.array(["2024-01-01", "2024-01-08", "2024-01-15"], dtype="datetime64[ns]")
    parts = prototypes.library_parts("in anticipo", "datetime", [(axis, True, "2024-01-01")], axis, {2, 3})
    assert drawn == ["in anticipo"]  # the model's prototypes; the residual ones were drawn ahead
    assert parts["residual"] == prototypes.residual_prototypes("in anticipo")
    assert sorted(parts["quantiles"]) == ["2", "3"]


def test_models_on_the_same_dates_and_band_are_drawn_once(monkeypatch):
    prototypes.load_libraries("in anticipo")
    drawn = []
    real = prototypes.model_prototypes
    monkeypatch.setattr(prototypes, "model_prototypes", lambda *a: drawn.append(a[1:4]) or real(*a))
    axis = np.array(["2024-01-01", "2024-01-08", "2024-01-15"], dtype="datetime64[ns]")
    later = axis + np.timedelta64(7, "D")
    models = [(axis, True, "2024-01-01"), (axis.copy(), True, "2024-01-01"), (axis, False, "2024-01-01")]
    models += [(later, True, "2024-01-08"), (axis[:0], True, ""), (axis, True, "2024-01-01")]
    parts = prototypes.library_parts("in anticipo", "datetime", models, axis, {2})
    assert len(drawn) == 3  # once per distinct (dates, band, start); none for a model with no dates
    protos = parts["models"]
    assert protos[0] == protos[1] == protos[5] and protos[4] is None
    assert protos[2] != protos[0] and protos[3]["axis"] != protos[0]["axis"]
    alone = prototypes.library_parts("in anticipo", "datetime", [models[3]], axis, {2})["models"][0]
    assert alone == protos[3]


# ------------------------------------------------------------------------------------------------
# The measures the page data gives


def partly_forecast():
    """kinds() with a second model that forecasts only Italia/Nord, its sub-members and Italia/NordEst."""
    full = ei.kinds()
    fc = full.forecasts
    base = fc[fc["model"] == "base"][["id", "ds", "mean", "lo", "hi"]]
    part = base[base["id"].str.startswith("Italia/Nord")]
    return ei.make_inputs({"base": base, "part": part}, observed=full.observed)


def test_measures_are_the_pages_row_by_row():
    built = report_page.build(partly_forecast())
    shown = Page(report_page.render(built))
    assert [m.model for m in built.measures] == shown.models == ["base", "part"]
    depth = [0] * len(shown.ids)
    for g, parent in enumerate(shown.meta["parent"]):
        depth[g] = depth[parent] + 1 if parent >= 0 else 0
    for m in built.measures:
        arrays = shown.model(m.model)["arrays"]
        rows = shown.array(arrays["gid"]).astype(int) if "gid" in arrays else np.arange(len(shown.ids))
        assert m.ids.dtype == object and m.ids.tolist() == [shown.ids[g] for g in rows]
        assert m.depth.tolist() == [depth[g] for g in rows]
        stored = shown.array(arrays["measures"]).reshape(-1, len(ms.MEASURES))
        assert list(m.values) == [x.key for x in ms.MEASURES]
        for j, measure in enumerate(ms.MEASURES):
            assert m.values[measure.key].dtype == np.float64
            np.testing.assert_allclose(stored[:, j], m.values[measure.key], rtol=1e-6)  # float32 on the page
    assert built.measures[1].ids.tolist() == [
        "Italia/Nord",
        "Italia/Nord/Milano",
        "Italia/Nord/Torino",
        "Italia/NordEst",
    ]
    assert built.measures[1].depth.tolist() == [1, 2, 2, 1]


# ------------------------------------------------------------------------------------------------
# Layers


def test_the_page_imports_no_layer_above_it():
    package = report_page.__name__
    above = [package.rpartition(".")[0] + "." + name for name in ("cli", "worker", "api", "inputs")]
    for path in resources.files(package).iterdir():
        if not path.name.endswith(".py"):
            continue
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                imported = [a.name for a in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = package.rsplit(".", node.level - 1)[0] if node.level else ""
                module = ".".join(p for p in (base, node.module) if p)
                imported = [module] + [module + "." + a.name for a in node.names]
            else:
                continue
            bad = [i for i in imported for a in above if i == a or i.startswith(a + ".")]
            assert not bad, f"{path.name} imports {bad}"


def test_residuals_are_derived_on_the_page_only_where_that_is_exact():
    """Decimal forecasts and observations: the page holds no residuals but gets them, to the bit,
    as its observed values less its forecasts. Forecasts whose float32 form would change a
    residual (float64 noise) keep theirs stored."""
    data = ei.kinds()
    meta, _ = page_parts(write(data))
    assert all("fcObs" in m and "res" not in m["arrays"] for m in meta["models"])
    page = Page(write(data))
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    obs = ms.observed_by_id(data.observed, h)
    for model in data.models:
        grid = ms.model_grid(data, model, h, obs)
        derived = np.stack([page.member(model, h.ids[g])["res"] for g in grid.gid])
        assert np.array_equal(derived, grid.residual, equal_nan=True), model
    noisy = data.forecasts.copy()
    noisy["mean"] = noisy["mean"] + np.random.RandomState(0).uniform(1e-7, 1e-6, len(noisy))
    meta, _ = page_parts(write(dataclasses.replace(data, forecasts=noisy)))
    assert all("fcObs" not in m and "res" in m["arrays"] for m in meta["models"])
