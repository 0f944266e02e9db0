"""The hierarchy and the per-member measures, against values worked out by hand or by pandas."""

import numpy as np
import pandas as pd
import pytest

import explorer_inputs as ei
from sorvani_kb.datavisualization.report import measures as ms


def by_id(hierarchy, values):
    return dict(zip(hierarchy.ids.tolist(), np.asarray(values).tolist()))


@pytest.mark.parametrize(
    "ids, parents, depths",
    [
        (
            ["Italia", "Italia/Lazio", "Italia/Lazio/Roma", "Italia/Sicilia"],
            {"Italia": None, "Italia/Lazio": "Italia", "Italia/Lazio/Roma": "Italia/Lazio", "Italia/Sicilia": "Italia"},
            [0, 1, 2, 1],
        ),
        # two roots; a member whose parent is absent is a root of its own
        (["A", "A/x", "B/y", "B/y/z"], {"A": None, "A/x": "A", "B/y": None, "B/y/z": "B/y"}, [0, 1, 0, 1]),
        # a sibling whose id starts with another member's id is not its sub-member
        (["I", "I/N", "I/N/a", "I/NE"], {"I": None, "I/N": "I", "I/N/a": "I/N", "I/NE": "I"}, [0, 1, 2, 1]),
        # odd texts: an empty id, "/" at the ends
        (["", "/x", "a/", "a/b"], {"": None, "/x": "", "a/": None, "a/b": None}, [0, 1, 0, 0]),
    ],
)
def test_hierarchy(ids, parents, depths):
    h = ms.build_hierarchy(sorted(ids))
    parent_ids = {i: (None if p < 0 else h.ids[p]) for i, p in zip(h.ids, h.parent)}
    assert parent_ids == parents
    assert by_id(h, h.depth) == dict(zip(ids, depths))
    children = {i: sum(1 for p in parents.values() if p == i) for i in ids}
    assert by_id(h, h.n_children) == children


def test_runs_of_sorted_values():
    starts, values = ms.runs(np.array(["a", "a", "b", "c", "c", "c"], dtype=object))
    assert starts.tolist() == [0, 2, 3] and values.tolist() == ["a", "b", "c"]
    starts, values = ms.runs(np.array([], dtype=object))
    assert starts.tolist() == [] and values.tolist() == []


@pytest.fixture(scope="module")
def kinds():
    data = ei.kinds()
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    return data, h, ms.observed_by_id(data.observed, h)


def test_grid_pairs_observed_values_by_id_and_date(kinds):
    data, h, obs = kinds
    grid = ms.model_grid(data, "base", h, obs)
    assert grid.mean.shape == (len(ei.IDS), ei.HORIZON) and grid.band and grid.level == 95.0
    fc = data.forecasts[data.forecasts["model"] == "base"]
    merged = fc.merge(data.observed, how="left", on=["id", "ds"])
    for ident in ("Italia", "Italia/Nord/Torino", "Total/A", "Solo"):
        row = grid.local[h.ids.tolist().index(ident)]
        expected = merged.loc[merged["id"] == ident, "y"].to_numpy()
        np.testing.assert_array_equal(grid.y[row], expected)
    # no observed value on a forecast date: none in the grid
    torino = grid.local[h.ids.tolist().index("Italia/Nord/Torino")]
    assert np.isnan(grid.y[torino]).all()
    assert not ms.model_grid(data, "rec/x-1", h, obs).band


def test_grid_refuses_an_incomplete_model(kinds):
    data, h, obs = kinds
    broken = ei.kinds()
    broken.forecasts = broken.forecasts.drop(index=3).reset_index(drop=True)
    with pytest.raises(ms.GridError, match="base"):
        ms.model_grid(broken, "base", h, obs)


# -- the observed values by member -----------------------------------------------------------------

OBSERVED_IDS = ["A", "A/x", "A/y", "B", "Z"]  # "Z": not in the hierarchy, so left out
MEMBERS = ["A", "A/x", "A/y", "B", "C"]  # "C": no observed values


def observed_frame(form, dates):
    """A canonical observed frame over `dates`: "dense" every id on every date, "late" some
    start late or end early (still consecutive dates), "holes" dates missing inside."""
    rows = []
    for k, ident in enumerate(OBSERVED_IDS):
        take = np.arange(len(dates))
        if form != "dense" and ident in ("A/x", "B"):
            take = take[2:] if ident == "A/x" else take[:-3]
        if form == "holes" and ident == "A/y":
            take = np.delete(take, [1, 4])
        rows += [(ident, dates[t], 10.0 * k + t) for t in take]
    frame = pd.DataFrame(rows, columns=["id", "ds", "y"])
    frame.loc[3, "y"] = np.nan  # a row without a value is still a row
    frame["id"] = pd.Categorical(frame["id"], categories=sorted(OBSERVED_IDS))
    return frame


def expected_matrix(frame, h, axis):
    kept = frame[frame["id"].astype(str).isin(h.ids)]
    table = kept.assign(id=kept["id"].astype(str)).pivot(index="id", columns="ds", values="y")
    return table.reindex(index=h.ids, columns=axis).to_numpy()


DATES = {
    "days": pd.date_range("2024-01-01", periods=8, freq="D").to_numpy(),
    "months": pd.date_range("2024-01-01", periods=8, freq="MS").to_numpy(),  # unevenly spaced
    "steps": np.arange(3, 27, 3, dtype=np.int64),
}


@pytest.mark.parametrize("form", ["dense", "late", "holes"])
@pytest.mark.parametrize("kind", list(DATES))
@pytest.mark.parametrize("ids", ["categorical", "text"])
def test_observed_rows_by_member_in_every_form(form, kind, ids):
    frame = observed_frame(form, DATES[kind])
    if ids == "text":
        frame["id"] = frame["id"].astype(str).astype(object)
    h = ms.build_hierarchy(MEMBERS)
    obs = ms.observed_by_id(frame, h)
    kept = frame[frame["id"].astype(str) != "Z"]
    np.testing.assert_array_equal(obs.axis, np.sort(kept["ds"].unique()))
    np.testing.assert_array_equal(obs.values, kept["y"].to_numpy())
    np.testing.assert_array_equal(obs.dates, kept["ds"].to_numpy())
    assert obs.count().tolist() == [int((kept["id"] == i).sum()) for i in MEMBERS]
    np.testing.assert_array_equal(obs.gid, pd.Index(h.ids).get_indexer(kept["id"].astype(str)))
    np.testing.assert_array_equal(obs.pos, np.searchsorted(obs.axis, kept["ds"].to_numpy()))
    assert (obs.start is not None) == (form != "holes")  # consecutive dates: a first position per member
    assert not obs.dense()  # "C" has no rows
    np.testing.assert_array_equal(obs.matrix(), expected_matrix(frame, h, obs.axis))


@pytest.mark.parametrize("form", ["dense", "late", "holes"])
def test_every_member_on_every_date_is_the_matrix_without_a_copy(form):
    dates = DATES["days"]
    frame = observed_frame(form, dates)
    frame = frame[frame["id"] != "Z"].reset_index(drop=True)
    frame["id"] = frame["id"].cat.remove_unused_categories()
    h = ms.build_hierarchy(OBSERVED_IDS[:-1])
    obs = ms.observed_by_id(frame, h)
    assert obs.dense() == (form == "dense")
    matrix = obs.matrix()
    assert np.shares_memory(matrix, obs.values) == (form == "dense")
    np.testing.assert_array_equal(matrix, expected_matrix(frame, h, obs.axis))


@pytest.mark.parametrize("form", ["dense", "late", "holes"])
def test_rows_of_members_on_dates(form):
    frame = observed_frame(form, DATES["days"])
    h = ms.build_hierarchy(MEMBERS)
    obs = ms.observed_by_id(frame, h)
    g, t = np.meshgrid(np.arange(len(MEMBERS)), np.arange(-1, len(obs.axis)), indexing="ij")
    rows = obs.rows_at(g, t)
    have = {(int(a), int(b)): r for r, (a, b) in enumerate(zip(obs.gid, obs.pos))}
    expected = [[have.get((a, b), -1) for a, b in zip(ga, ta)] for ga, ta in zip(g, t)]
    np.testing.assert_array_equal(rows, expected)
    assert obs.one_per_date()


@pytest.mark.parametrize("form", ["dense", "late", "holes"])
@pytest.mark.parametrize("n", [0, 1, 3, 100])
def test_recent_keeps_the_last_observations_before_the_forecast(form, n):
    frame = observed_frame(form, DATES["days"])
    h = ms.build_hierarchy(MEMBERS)
    obs = ms.observed_by_id(frame, h)
    start = DATES["days"][5]
    shown = ms.recent(obs, start, n)
    kept = frame[frame["id"].astype(str) != "Z"]
    before, after = kept[kept["ds"] < start], kept[kept["ds"] >= start]
    expected = pd.concat([before.groupby("id", observed=True).tail(n), after]).sort_values(["id", "ds"])
    assert shown is obs if n >= 5 else shown is not obs
    np.testing.assert_array_equal(shown.values, expected["y"].to_numpy())
    np.testing.assert_array_equal(shown.dates, expected["ds"].to_numpy())
    assert shown.count().tolist() == [int((expected["id"] == i).sum()) for i in MEMBERS]
    np.testing.assert_array_equal(shown.pos, np.searchsorted(obs.axis, expected["ds"].to_numpy()))
    assert (shown.start is None) == (obs.start is None)
    if shown.start is not None:  # each member's first position, 0 for a member without rows
        first = np.where(shown.count() > 0, shown.pos[np.minimum(shown.offset[:-1], len(shown.pos) - 1)], 0)
        np.testing.assert_array_equal(shown.start, first)


def test_observed_rows_of_members_absent_from_the_categories_or_out_of_order():
    frame = observed_frame("late", DATES["days"])
    # categories that do not ascend as the ids do: the rows are found by their texts
    frame["id"] = frame["id"].cat.reorder_categories(sorted(OBSERVED_IDS, reverse=True))
    h = ms.build_hierarchy(MEMBERS)
    obs = ms.observed_by_id(frame, h)
    np.testing.assert_array_equal(obs.matrix(), expected_matrix(frame, h, obs.axis))
    assert obs.count().tolist() == [int((frame["id"] == i).sum()) for i in MEMBERS]


def sums_of(data, h, model, member):
    grid = ms.model_grid(data, model, h, None)
    sums = ms.child_sums(grid, h)
    row = grid.local[h.ids.tolist().index(member)]
    at = np.flatnonzero(sums.rows == row)
    return (sums.total[at[0]], sums.complete[at[0]], sums.count[at[0]]) if len(at) else None


def test_child_sums_as_the_sum_check_adds_them():
    nan = np.nan
    frame = pd.DataFrame(
        {
            "id": ["P"] * 3 + ["P/a"] * 3 + ["P/b"] * 3 + ["Q"] * 3 + ["Q/a"] * 3,
            "ds": np.tile(pd.date_range("2024-01-01", periods=3, freq="D"), 5),
            "mean": [9, 9, 9, 1, nan, nan, 2, 3, nan, 5, 5, 5, 4, nan, 6],
            "lo": nan,
            "hi": nan,
        }
    )
    data = ei.make_inputs({"m": frame})
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    total, complete, count = sums_of(data, h, "m", "P")
    # missing values skipped; a date where every sub-member is missing sums to 0, like pandas
    np.testing.assert_array_equal(total, [3, 3, 0])
    assert complete.tolist() == [True, False, False] and count == 2
    total, complete, count = sums_of(data, h, "m", "Q")
    # a single sub-member: its forecast as it is, missing values included
    np.testing.assert_array_equal(total, [4, nan, 6])
    assert count == 1
    assert sums_of(data, h, "m", "P/a") is None


def test_grouping_sums_follow_the_sum_checks_rules():
    """Over a tree, each grouping is one member's direct sub-members: the sparse sums are the
    child sums, missing values and single members alike."""
    from sorvani_kb.datavisualization.report import structure as st

    nan = np.nan
    frame = pd.DataFrame(
        {
            "id": ["P"] * 3 + ["P/a"] * 3 + ["P/b"] * 3 + ["Q"] * 3 + ["Q/a"] * 3 + ["Q/a/x"] * 3,
            "ds": np.tile(pd.date_range("2024-01-01", periods=3, freq="D"), 6),
            "mean": [9, 9, 9, 1, nan, nan, 2, 3, nan, 5, 5, 5, 4, nan, 6, 4, 1, 6],
            "lo": nan,
            "hi": nan,
        }
    )
    for data in (ei.make_inputs({"m": frame}), ei.kinds()):
        h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
        for model in data.models:
            grid = ms.model_grid(data, model, h, None)
            tree, grouped = ms.child_sums(grid, h), ms.group_sums(grid, st.from_paths(h.ids))
            np.testing.assert_array_equal(grouped.rows, tree.rows)
            np.testing.assert_array_equal(grouped.total, tree.total)
            np.testing.assert_array_equal(grouped.complete, tree.complete)
            np.testing.assert_array_equal(grouped.count, tree.count)
            by_tree, by_group = ms.member_measures(grid, tree), ms.member_measures(grid, grouped)
            np.testing.assert_array_equal(by_group["gap"], by_tree["gap"])
            assert ((by_group["gap_by"] >= 0) == np.isfinite(by_tree["gap"])).all()


def test_a_members_gap_is_its_worst_groupings():
    from grouped import aggregate, two_by_two
    from sorvani_kb.datavisualization.report import structure as st

    y, _, tags = aggregate(two_by_two(periods=2), [["T"], ["T", "A"], ["T", "B"], ["T", "A", "B"]])
    y = y.rename(columns={"unique_id": "id", "y": "mean"}).assign(lo=np.nan, hi=np.nan)
    y.loc[y["id"] == "T/a1/b1", "mean"] += 10  # T/a1 and T/b1 no longer add up
    y.loc[y["id"] == "T/a1", "mean"] += 5  # T by A off by 5
    y.loc[y["id"] == "T/b2", "mean"] *= 2  # T by B off by all of T/b2
    data = ei.make_inputs({"m": y})
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    s = st.from_tags(tags, h.ids)
    grid = ms.model_grid(data, "m", h, None)
    sums = ms.group_sums(grid, s)
    values = ms.member_measures(grid, sums)
    gaps = dict(zip(((s.ids[s.group_owner[k]], s.group_name[k]) for k in sums.groups), ms.sum_gaps(grid.mean, sums)))
    t = h.ids.tolist().index("T")
    assert values["gap"][grid.local[t]] == max(gaps["T", "A"], gaps["T", "B"]) == gaps["T", "B"] > gaps["T", "A"] > 0
    assert s.group_name[values["gap_by"][grid.local[t]]] == "B"
    assert gaps["T/a2", "B"] == 0 and values["gap_by"][grid.local[h.ids.tolist().index("T/a1/b1")]] == -1


def test_measures_by_hand():
    nan = np.nan
    dates = pd.date_range("2024-01-01", periods=4, freq="D")
    frame = pd.DataFrame(
        {
            "id": ["P"] * 4 + ["P/a"] * 4 + ["P/b"] * 4,
            "ds": np.tile(dates, 3),
            "mean": [10, 20, 30, 40, 4, 8, 16, nan, 5, 12, 14, 20],
            "lo": [8, 18, 28, 38, 3, 7, 15, 1, 4, 11, 13, 19],
            "hi": [12, 22, 32, 42, 5, 9, 17, 3, 6, 13, 15, 21],
        }
    )
    observed = pd.DataFrame(
        {"id": ["P/a"] * 4 + ["P/b"] * 3, "ds": list(dates) + list(dates[:3]), "y": [5, 8, 0, 2, 0, 12, nan]}
    )
    data = ei.make_inputs({"m": frame}, observed)
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    grid = ms.model_grid(data, "m", h, ms.observed_by_id(data.observed, h))
    values = ms.member_measures(grid, ms.child_sums(grid, h))
    got = {key: by_id(h, v) for key, v in values.items()}
    # P: sums 9, 20, 30 on the dates where both have a value: gaps 1/10 and 0, 0
    assert got["gap"]["P"] == pytest.approx(10.0)
    assert np.isnan(got["gap"]["P/a"])
    # P/a: residuals (observed - forecast) 1, 0, -16 where both exist (the 4th forecast is missing)
    assert got["mae"]["P/a"] == pytest.approx(17 / 3)
    assert got["bias"]["P/a"] == pytest.approx(5)  # forecast minus observed
    assert got["smape"]["P/a"] == pytest.approx(100 * (2 / 9 + 0 + 2) / 3)
    # 5, 8 and 2 inside their bounds (the 4th has bounds without a point forecast), 0 outside
    assert got["coverage"]["P/a"] == pytest.approx(100 * 3 / 4)
    # P/b: 0 against 5, 12 against 12; a date where both are 0 would count as 0 in sMAPE
    assert got["smape"]["P/b"] == pytest.approx(100 * (2 + 0) / 2)
    assert got["coverage"]["P/b"] == pytest.approx(50.0)
    assert got["missing"] == {"P": 0, "P/a": 1, "P/b": 0}
    assert np.isnan(got["mae"]["P"]) and np.isnan(got["coverage"]["P"])


def test_measures_of_a_model_without_bounds_count_no_missing_bounds(kinds):
    data, h, obs = kinds
    grid = ms.model_grid(data, "rec/x-1", h, obs)
    values = ms.member_measures(grid, ms.child_sums(grid, h))
    assert np.isnan(values["coverage"]).all()
    assert (values["missing"] == 0).all()
    base = ms.model_grid(data, "base", h, obs)
    missing = by_id(h, ms.member_measures(base, ms.child_sums(base, h))["missing"])
    assert missing["Italia/Nord/Milano"] == 4  # one point forecast; the gap row's three values


@pytest.mark.parametrize(
    "values",
    [
        [1.0, 2.5, -3.0, 7.25],
        [1e9 + 0.5, 1e9 + 0.25, 1e9 + 0.75],
        [3.0, np.nan, 5.0, np.nan, 11.0],
    ],
)
def test_residual_std_is_the_sample_deviation(values):
    got = ms.residual_std(np.array([values]))[0]
    assert got == pytest.approx(pd.Series(values).std(), rel=1e-12)


@pytest.mark.parametrize("values", [[2.0, 2.0, 2.0], [5.0], [np.nan, 4.0, np.nan], [np.nan, np.nan], []])
def test_residual_std_is_missing_without_spread(values):
    assert np.isnan(ms.residual_std(np.array([values], dtype=float).reshape(1, -1))[0])


@pytest.mark.parametrize(
    "direction, fine, expected",
    [
        ("high", 0.0, [5, 1, 3]),  # 7, 4, 4 (tie in index order); 0 is fine
        ("low", 0.5, [0, 4, 6]),  # -3, -1, 0 below 0.5
        ("abs", 0.0, [5, 1, 3, 0, 4]),  # 7, 4, 4, |-3|, |-1|
    ],
)
def test_worst(direction, fine, expected):
    values = [-3.0, 4.0, np.nan, 4.0, -1.0, 7.0, 0.0]
    assert ms.worst(values, direction, limit=5, fine=fine).tolist() == expected


def test_gap_ignores_the_rounding_of_the_sum():
    dates = pd.date_range("2024-01-01", periods=2, freq="D")
    frame = pd.DataFrame(
        {
            "id": ["P", "P", "P/a", "P/a", "P/b", "P/b"],
            "ds": np.tile(dates, 3),
            "mean": [0.3, 0.3 * (1 + 1e-9), 0.1, 0.1, 0.2, 0.2],
            "lo": np.nan,
            "hi": np.nan,
        }
    )
    data = ei.make_inputs({"m": frame})
    h = ms.build_hierarchy(ms.all_ids(data.forecasts, data.models))
    grid = ms.model_grid(data, "m", h, None)
    assert 0.1 + 0.2 != 0.3  # the first date differs by the rounding only
    gap = by_id(h, ms.member_measures(grid, ms.child_sums(grid, h))["gap"])["P"]
    assert gap == pytest.approx(100 * (0.3 * (1 + 1e-9) - 0.30000000000000004) / (0.3 * (1 + 1e-9)), rel=1e-3)
    frame.loc[1, "mean"] = 0.3
    grid = ms.model_grid(ei.make_inputs({"m": frame}), "m", h, None)
    assert by_id(h, ms.member_measures(grid, ms.child_sums(grid, h))["gap"])["P"] == 0


@pytest.mark.parametrize(
    "windows",
    [
        [["a", "b", "c"]] * 3,  # every window the same ids
        [["a", "c"], ["a", "b", "c"], ["b", "d"]],  # ids only in some windows, in any order
        [["b"], ["a"]],
    ],
)
def test_the_ids_of_every_model_and_window_sorted_and_distinct(windows):
    rows = []
    for model, window_ids in (("m", windows), ("n", windows[::-1][:1])):
        for w, ids in enumerate(window_ids):
            rows += [(model, w, i, step) for i in ids for step in range(2)]
    frame = pd.DataFrame(rows, columns=["model", "window", "id", "ds"])
    frame["model"] = pd.Categorical(frame["model"], categories=["m", "n"])
    got = ms.all_ids(frame, ["m", "n"])
    assert list(got) == sorted({i for ids in windows for i in ids})
    assert ms.all_ids(frame[frame["model"] == "n"].reset_index(drop=True), ["m", "n"]).tolist() == windows[-1]
