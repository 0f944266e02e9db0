"""obtain_dataset: relabels the prediction frame block by block and keeps one member's frames."""

import gc
import sys
import types
import warnings

import pandas as pd
import pytest

from helpers import entry, hierarchy_frames, own_entries

IDS = ("Italia", "Italia/A", "Italia/A/x")
SIBLINGS = ("Italia", "Italia/A", "Italia/AB", "Italia/AB/y", "Italia/A/x")


def split(mod, df, gerarchia):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return mod.obtain_dataset(df, gerarchia, "id")


def raises_releasing(exc, call, *objs):
    """`call` raises `exc` and leaves the reference counts of `objs` as they were."""
    for _ in range(2):  # warm up library caches
        pytest.raises(exc, call)
    gc.collect()
    counts = [sys.getrefcount(o) for o in objs]
    for _ in range(3):
        pytest.raises(exc, call)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == counts
    with pytest.raises(exc) as info:
        call()
    return info.value


def assert_blocks(result, df, positions, n):
    """`result` holds exactly the blocks of `df` at `positions`, each labelled 0..n-1."""
    assert isinstance(result, list)
    assert len(result) == len(positions)
    for frame, b in zip(result, positions):
        assert list(frame.index) == list(range(n))
        assert list(frame.columns) == list(df.columns)
        assert list(frame.dtypes) == list(df.dtypes)
        pd.testing.assert_frame_equal(frame, df.iloc[b * n : (b + 1) * n])


@pytest.mark.parametrize(
    "ids, gerarchia, positions",
    [
        (IDS, "Italia", [0, 1]),
        (IDS, "Italia/A", [1, 2]),
        (IDS, "Italia/A/x", [2]),
        (IDS, "Italia/B", []),
        (IDS, "", []),
        (IDS, "Ital", []),  # a plain prefix of a member's name is no member
        (IDS[::-1], "Italia", [1, 2]),
        (IDS[::-1], "Italia/A", [0, 1]),
        (("Italia/A", "Italia"), "Italia", [0, 1]),
        (("Italia", "Francia", "Italia/A", "Italia/A/x"), "Italia", [0, 1, 2]),
        (("Italia", "Italia/A", "Italia/A/x", "Italia/A/x/z"), "Italia/A", [1, 2]),
        (("Italia", "Italia/A", "Italia/A/x", "Italia/A/x/z"), "Italia/A/x", [2, 3]),
        (SIBLINGS, "Italia/A", [1, 4]),
        (SIBLINGS, "Italia/AB", [2, 3]),
        (SIBLINGS, "Italia", [0, 1, 2]),
    ],
)
@pytest.mark.parametrize("periods", [1, 4])
def test_member_frames(mod, ids, gerarchia, positions, periods):
    df, _ = hierarchy_frames(ids=ids, periods=periods)
    result = split(mod, df, gerarchia)
    assert list(df.index) == list(range(periods)) * len(ids)
    assert_blocks(result, df, positions, periods)
    assert [f["id"][0] for f in result] == [ids[b] for b in positions]


@pytest.mark.parametrize(
    "index",
    [
        [7, 3, 11, 0, 5, 9, 1, 10, 2, 8, 4, 6],
        list("abcdefghijkl"),
        pd.date_range("2020-01-01", periods=12, freq="D"),
    ],
    ids=["shuffled", "text", "dates"],
)
def test_relabels_in_place_and_keeps_row_order(mod, index):
    df, _ = hierarchy_frames()
    df.index = index
    values = df.to_numpy().tolist()
    first = split(mod, df, "Italia/A")
    assert list(df.index) == [0, 1, 2, 3] * 3
    assert df.to_numpy().tolist() == values
    assert_blocks(first, df, [1, 2], 4)
    again = split(mod, df, "Italia/A")  # a second call writes the same labels
    assert list(df.index) == [0, 1, 2, 3] * 3
    assert_blocks(again, df, [1, 2], 4)


def test_cuts_without_array_split(mod, restore_globals):
    restore_globals["np"] = types.SimpleNamespace()
    df, _ = hierarchy_frames()
    assert_blocks(split(mod, df, "Italia"), df, [0, 1], 4)


@pytest.mark.parametrize(
    "gerarchia, positions, first_ids", [("Italia", [0, 1], ["Italia", "Italia"]), ("Italia/A", [2], ["Italia/A/x"])]
)
def test_unequal_blocks_are_cut_evenly(mod, gerarchia, positions, first_ids):
    # blocks of 5, 3 and 4 rows: the frames are rows 0-3, 4-7 (Italia then Italia/A), 8-11
    df, _ = hierarchy_frames(ids=("Italia",), periods=12)
    df["id"] = ["Italia"] * 5 + ["Italia/A"] * 3 + ["Italia/A/x"] * 4
    result = split(mod, df, gerarchia)
    assert list(df.index) == [0, 1, 2, 3] * 3
    assert_blocks(result, df, positions, 4)
    assert [f["id"][0] for f in result] == first_ids
    if gerarchia == "Italia":
        assert result[1]["id"].tolist() == ["Italia"] + ["Italia/A"] * 3


@pytest.mark.parametrize(
    "make, exc, line",
    [
        (lambda df: df.rename(columns={"id": "other"}), KeyError, 28),
        (lambda df: df.iloc[:0], ZeroDivisionError, 28),
        (lambda df: df.iloc[:10], ValueError, 28),  # 10 rows, 3 ids
    ],
    ids=["no id column", "no rows", "rows not a multiple"],
)
def test_failures_leave_frame_unchanged(mod, make, exc, line):
    df, _ = hierarchy_frames()
    df.index = range(100, 112)
    df = make(df).copy()
    before = df.copy()
    error = raises_releasing(exc, lambda: mod.obtain_dataset(df, "Italia", "id"), df)
    assert own_entries(error) == [entry("obtain_dataset", line)]
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize(
    "ids, gerarchia, line",
    [((1, 2, 3), "Italia", 33), ((1, 2, 3), "Italia/A", 38), ((("a",), ("b",)), "Italia/A", 39)],
)
def test_ids_that_are_not_text(mod, ids, gerarchia, line):
    df, _ = hierarchy_frames(ids=ids)
    df.index = range(100, 100 + len(df))
    error = raises_releasing(AttributeError, lambda: mod.obtain_dataset(df, gerarchia, "id"), df, gerarchia)
    assert own_entries(error) == [entry("obtain_dataset", line)]
    assert list(df.index) == [0, 1, 2, 3] * len(ids)


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, name, got",
    [
        ((None, "id"), "gerarchia", "NoneType"),
        ((3, "id"), "gerarchia", "int"),
        ((Text("Italia"), "id"), "gerarchia", "Text"),
        (("Italia", None), "id_pred", "NoneType"),
        (("Italia", 0), "id_pred", "int"),
        (("Italia", Text("id")), "id_pred", "Text"),
        ((None, None), "gerarchia", "NoneType"),
    ],
)
def test_boundary_types(mod, args, name, got):
    df, _ = hierarchy_frames()
    df.index = range(100, 112)
    before = df.copy()
    with pytest.raises(TypeError) as info:
        mod.obtain_dataset(df, *args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"
    assert own_entries(info.value) == []
    pd.testing.assert_frame_equal(df, before)
