"""Reports of grouped structures: the hierarchy given as a summing matrix and/or tags (files and
frames, dense and sparse) or found from the ids, its refusals and notes, the coherence gap per
grouping, and a tree's page as it was."""

from __future__ import annotations

import contextlib
import dataclasses
import io
import json
import warnings

import numpy as np
import pandas as pd
import pytest

import explorer_inputs as ei
from grouped import RETAIL_SPEC, SECTOR_SPEC, country_state_sector, forecasts_of, retail, two_by_two
from pagedata import Page, parts
from sorvani_kb.datavisualization.report import InputError, explore, inputs, main, page

TWO_BY_TWO = [["T"], ["T", "A"], ["T", "B"], ["T", "A", "B"]]


def quiet_explore(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return explore(*args, **kwargs)


def run(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args], prog="report")
    return status, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def sectors():
    return forecasts_of(country_state_sector(periods=8), SECTOR_SPEC)


@pytest.fixture(scope="module")
def files(tmp_path_factory, sectors):
    """The 3 x 11 pipeline's output as files: forecasts, observed, matrix (CSV and Parquet), tags."""
    fc, obs, matrix, tags = sectors
    folder = tmp_path_factory.mktemp("grouped")
    paths = {name: folder / name for name in ("pred.csv", "obs.csv", "S.csv", "S.parquet", "tags.json")}
    fc.to_csv(paths["pred.csv"], index=False)
    obs.to_csv(paths["obs.csv"], index=False)
    matrix.to_csv(paths["S.csv"], index=False)
    matrix.set_index("unique_id").to_parquet(paths["S.parquet"])
    paths["tags.json"].write_text(json.dumps({k: list(v) for k, v in tags.items()}), encoding="utf-8")
    return paths


def gaps(report, model):
    m = report.measures
    return m[m["model"] == model].set_index("unique_id")["coherence_gap_pct"]


def page_gaps(report, model):
    """The gap column of the page's measures of `model`, by id."""
    p = Page(report.to_html())
    arrays = p.model(model)["arrays"]
    stored = p.array(arrays["measures"]).reshape(-1, len(p.meta["measures"]))
    column = [m["key"] for m in p.meta["measures"]].index("gap")
    return dict(zip(p.meta["names"], stored[:, column])), p


# ------------------------------------------------------------------------------------------------
# The headline: forecasts that add up by construction show no gap


@pytest.mark.parametrize("how", ["found from the ids", "tags", "matrix", "matrix and tags"])
def test_coherent_grouped_forecasts_show_no_gap_anywhere(sectors, how):
    fc, obs, matrix, tags = sectors
    given = {"found from the ids": None, "tags": tags, "matrix": matrix, "matrix and tags": [matrix, tags]}[how]
    report = quiet_explore(fc, obs, hierarchy=given)
    coherent = gaps(report, "M")
    aggregates = ["Italia", "Italia/S1", "Italia/sector4"]
    assert coherent[aggregates].eq(0).all() and coherent.max() == 0
    assert coherent.isna().sum() == 33  # the bottom series: no members
    on_page, p = page_gaps(report, "M")
    assert np.nanmax(list(on_page.values())) == 0 and on_page["Italia"] == 0
    assert p.model("M")["worst"]["gap"] == []
    # the base forecasts do not add up, in either grouping
    assert (gaps(report, "B")[aggregates] > 0).all()


def test_the_tree_of_the_id_paths_would_call_the_total_incoherent(sectors):
    """What the report did before it knew of groupings: the path children of Italia are its
    states and its sectors together, twice the total."""
    fc, obs, _, tags = sectors
    data = inputs.load(fc, obs, inputs.Options(hierarchy=tags))
    as_tree = page.build(dataclasses.replace(data, structure=None))
    m = as_tree.measures[0]
    assert m.model == "M"
    gap = dict(zip(m.ids, m.values["gap"]))
    assert gap["Italia"] == pytest.approx(50, abs=0.5) and np.isnan(gap["Italia/sector4"])


def test_the_gap_is_the_worst_groupings_and_measured_on_its_members(sectors):
    fc, obs, _, tags = sectors
    fc = fc.copy()
    off = fc["unique_id"] == "Italia/S0"
    fc.loc[off, "M"] *= 1.2  # Italia/S0 is 20 % above its sectors; Italia's states sum 20 % of S0 too high
    report = quiet_explore(fc, obs, hierarchy=tags)
    gap = gaps(report, "M")
    assert gap["Italia/S0"] == pytest.approx(100 * 0.2 / 1.2, rel=1e-9)
    assert 0 < gap["Italia"] < gap["Italia/S0"] and gap["Italia/S1"] == 0 and gap["Italia/sector4"] == 0
    by = report._data.measures[0].values["gap_by"]
    ids = list(report._data.measures[0].ids)
    s = inputs.load(fc, obs, inputs.Options(hierarchy=tags)).structure
    assert s.group_name[by[ids.index("Italia")]] == "State" and by[ids.index("Italia/S1")] >= 0


# ------------------------------------------------------------------------------------------------
# Given as files, with the command


def test_command_reads_the_matrix_and_the_tags_as_files(files, tmp_path):
    out = tmp_path / "r.html"
    for given in (["S.csv"], ["S.parquet"], ["tags.json"], ["S.csv", "tags.json"]):
        options = [a for name in given for a in ("--hierarchy", files[name])]
        status, _, err = run(files["pred.csv"], "--observed", files["obs.csv"], "-o", out, "--quiet", *options)
        assert status == 0, err
        p = Page(out.read_text(encoding="utf-8"))
        columns = ["Country", "State", "Sector"] if "tags.json" in given else ["level 1", "level 2", "level 3"]
        assert p.meta["structure"]["columns"] == columns
        assert [d["name"] for d in p.meta["structure"]["directions"]] == columns[1:]
        assert "report: note: hierarchy: grouped structure: 4 levels" in err
        assert err.count("\n") == 1  # the clean input has no other note
    # a tree's first direction and the full ids: the page's ids are the input's
    assert p.ids == sorted(pd.read_csv(files["pred.csv"])["unique_id"].unique())


def test_found_from_the_ids_says_so(files, tmp_path):
    status, _, err = run(files["pred.csv"], "--observed", files["obs.csv"], "-o", tmp_path / "r.html", "--quiet")
    assert status == 0
    assert err == (
        "report: note: hierarchy: grouped structure: 4 levels (level 1, level 1/2, level 1/3, level 1/2/3); "
        "Italia split 2 ways (3 by level 2, 11 by level 3), found from the ids\n"
    )
    assert Page((tmp_path / "r.html").read_text(encoding="utf-8")).meta["notes"] == [err[len("report: note: ") : -1]]


def refusal(files, tmp_path, *options):
    status, out, err = run(files["pred.csv"], "--observed", files["obs.csv"], "-o", tmp_path / "r.html", *options)
    assert (status, out, err.count("\n")) == (2, "", 1) and not (tmp_path / "r.html").exists()
    return err.strip()


def test_command_refuses_a_matrix_that_does_not_fit(files, tmp_path, sectors):
    _, _, matrix, tags = sectors
    wrong = matrix.copy()
    wrong.loc[wrong["unique_id"] == "Italia/S1", wrong.columns[1:]] = 0
    wrong.to_csv(tmp_path / "wrong.csv", index=False)
    err = refusal(files, tmp_path, "--hierarchy", tmp_path / "wrong.csv")
    assert err.startswith(
        f"report: error: {tmp_path / 'wrong.csv'}: the summing matrix does not agree with the structure"
    )
    err = refusal(files, tmp_path, "--hierarchy", tmp_path / "wrong.csv", "--hierarchy", files["tags.json"])
    assert "does not agree with the tags" in err and "'Italia" in err
    matrix.iloc[1:].to_csv(tmp_path / "short.csv", index=False)
    err = refusal(files, tmp_path, "--hierarchy", tmp_path / "short.csv")
    assert err.endswith("short.csv: 1 forecast id not in the summing matrix ('Italia')")
    two = matrix.copy()
    two.iloc[0, 1] = 2
    two.to_csv(tmp_path / "two.csv", index=False)
    err = refusal(files, tmp_path, "--hierarchy", tmp_path / "two.csv")
    assert err.endswith(
        "two.csv: the summing matrix holds entries other than 0 and 1 in 1 row ('Italia'; first in column "
        "'Italia/S0/sector0': 2)"
    )
    err = refusal(files, tmp_path, "--hierarchy", files["S.csv"], "--hierarchy", files["S.parquet"])
    assert "a second summing matrix" in err and "give --hierarchy once for each" in err
    (tmp_path / "bad.json").write_text("{not json", encoding="utf-8")
    assert "cannot read the tags as JSON" in refusal(files, tmp_path, "--hierarchy", tmp_path / "bad.json")


# ------------------------------------------------------------------------------------------------
# Given as frames, with the library


def test_library_takes_the_matrix_dense_sparse_or_as_a_scipy_triple(sectors):
    from scipy import sparse

    fc, obs, matrix, _ = sectors
    dense = quiet_explore(fc, obs, hierarchy=matrix)
    values = matrix.set_index("unique_id")
    triple = (sparse.csr_matrix(values.to_numpy()), values.index.to_numpy(), values.columns.to_numpy())
    pandas_sparse = values.astype(pd.SparseDtype(float, 0))
    for given in (triple, pandas_sparse, pandas_sparse.reset_index(), values):
        other = quiet_explore(fc, obs, hierarchy=given)
        assert parts(other.to_html()) == parts(dense.to_html())
    assert "structure" in parts(dense.to_html())[0]


def test_library_refusals_name_the_argument(sectors):
    from scipy import sparse

    fc, obs, matrix, tags = sectors
    with pytest.raises(
        InputError, match=r"^hierarchy: 1 row of the summing matrix not among the forecasts \('Italia'\)$"
    ):
        quiet_explore(fc[fc["unique_id"] != "Italia"], obs, hierarchy=matrix)
    short = {k: v for k, v in tags.items() if k != "Country/Sector"}
    with pytest.raises(InputError, match=r"^hierarchy: 11 forecast ids not in the tags \('Italia/sector0', "):
        quiet_explore(fc, obs, hierarchy=short)
    with pytest.raises(InputError, match=r"^hierarchy: a 3 x 2 matrix with 2 row ids and 2 bottom ids"):
        quiet_explore(fc, obs, hierarchy=(sparse.csr_matrix(np.ones((3, 2))), ["a", "b"], ["a", "b"]))
    nan = matrix.copy()
    nan.iloc[3, 4] = np.nan
    with pytest.raises(InputError, match=r"entries other than 0 and 1 in 1 row \('Italia/S2'; .*: nan\)"):
        quiet_explore(fc, obs, hierarchy=nan)
    with pytest.raises(InputError, match=r"give hierarchy= once for each"):
        quiet_explore(fc, obs, hierarchy=[tags, tags])


def test_observed_values_that_do_not_add_up_are_a_note(sectors):
    fc, obs, _, tags = sectors
    obs = obs.copy()
    obs.loc[obs["unique_id"] == "Italia/sector4", "y"] += 1000
    with pytest.warns(UserWarning) as caught:
        report = explore(fc, obs, hierarchy=tags)
    notes = [str(w.message) for w in caught]
    assert "hierarchy: the observed values of 'Italia/sector4' are not the sum of its members by State" in notes[0]
    assert "(2 groupings in all do not add up)" in notes[0]  # Italia by Sector too
    assert notes == report.notes[: len(notes)]


# ------------------------------------------------------------------------------------------------
# Other shapes


def test_two_by_two_given_as_tags_names_its_levels(tmp_path):
    fc, obs, matrix, tags = forecasts_of(two_by_two(periods=6), TWO_BY_TWO)
    report = quiet_explore(fc, obs, hierarchy=tags)
    m = report.measures[report.measures["model"] == "M"].set_index("unique_id")
    assert m.loc["T", "hierarchy_level"] == "T" and m.loc["T/a1/b2", "hierarchy_level"] == "T/A/B"
    assert m.loc["T/b2", "depth"] == 1 and m.loc["T/a1/b2", "depth"] == 2
    assert m["coherence_gap_pct"].max() == 0
    meta = parts(report.to_html())[0]
    s = meta["structure"]
    ids = meta["names"]
    owner = [ids[o] for o in s["groups"]["owner"]]
    assert owner == ["T", "T", "T/a1", "T/a2", "T/b1", "T/b2"]
    k = owner.index("T/b2")
    members = s["groups"]["members"][s["groups"]["start"][k] : s["groups"]["start"][k + 1]]
    assert [ids[c] for c in members] == ["T/a1/b2", "T/a2/b2"] and s["columns"][s["groups"]["column"][k]] == "A"
    assert [ids[p] if p >= 0 else p for p in s["directions"][1]["parent"]][ids.index("T/a1/b2")] == "T/b2"
    assert s["below"][ids.index("T")] == 4 and s["below"][ids.index("T/b2")] == 2


def test_retail_structure_at_small_size():
    fc, obs, matrix, tags = forecasts_of(retail(stores=4, depts=3, items_per_dept=2, periods=5), RETAIL_SPEC, horizon=2)
    data = inputs.load(fc, obs, inputs.Options(hierarchy=[matrix, tags]))
    s = data.structure
    assert s.kind == "grouped" and len(s.level_names) == 12
    built = page.build(data)
    gap = dict(zip(built.measures[0].ids, built.measures[0].values["gap"]))
    assert np.nanmax(list(gap.values())) == 0
    item = "Total/ST0/ST0_0/C0/C0_0/C0_0_000"
    figs = page.module_figures(data, "M", "Total/ST0/C0/C0_0/C0_0_000")  # an item in a state: by store
    assert set(figs) == {"forecast", "histogram", "qq", "overlay:store", "sum:store"}
    names = [t.name for t in figs["overlay:store"].data]
    assert names[0] == "Total/ST0/C0/C0_0/C0_0_000" and item in names
    total, summed = (np.asarray(t.y, dtype=float) for t in figs["sum:store"].data)
    np.testing.assert_allclose(total, summed)


# ------------------------------------------------------------------------------------------------
# A tree's page is what it was

TREE_META = {
    "title", "useCase", "prediction", "observed", "timeKind", "notes", "names", "parent", "models", "obs",
    "residualProto", "quantiles", "measures", "treemapNodes", "arrays", "block", "blocks",
}  # fmt: skip
TREE_ARRAYS = {"mean", "res", "std", "sums", "aggRows", "measures", "lo", "hi"}


def test_a_trees_page_holds_nothing_new_and_the_same_with_its_tags():
    data = ei.kinds()
    meta, blobs = parts(page.render(page.build(data)))
    assert set(meta) == TREE_META
    # (the residuals: stored, or derived by the page where that gives them exactly)
    assert set(meta["models"][0]["arrays"]) | ({"res"} if "fcObs" in meta["models"][0] else set()) == TREE_ARRAYS
    ids = sorted(data.forecasts["id"].unique())
    found = inputs.hierarchy.settle(None, np.array(ids, dtype=object), data.observed, [])
    assert found.kind == "tree"
    again = parts(page.render(page.build(dataclasses.replace(data, structure=found))))
    assert again == (meta, blobs)
