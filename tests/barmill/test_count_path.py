import numpy as np
import pytest

from bar_support import BAR_DTYPE, aggregate_groups, assert_same_array, field_bytes, make_bars


def groups_of(n, r, include_last):
    starts = range(0, n, r)
    groups = [list(range(s, min(s + r, n))) for s in starts]
    if not include_last and groups and len(groups[-1]) < r:
        groups.pop()
    return groups


@pytest.mark.parametrize("n, r, include_last, groups", [
    (10, 3, True, [[0, 1, 2], [3, 4, 5], [6, 7, 8], [9]]),
    (10, 3, False, [[0, 1, 2], [3, 4, 5], [6, 7, 8]]),
    (9, 3, True, [[0, 1, 2], [3, 4, 5], [6, 7, 8]]),
    (9, 3, False, [[0, 1, 2], [3, 4, 5], [6, 7, 8]]),
    (2, 5, True, [[0, 1]]),
    (2, 5, False, []),
    (7, 1, True, [[i] for i in range(7)]),
    (7, 1, False, [[i] for i in range(7)]),
    (5, 5, False, [[0, 1, 2, 3, 4]]),
])
def test_groups_of_r_bars(bm, n, r, include_last, groups):
    bars = make_bars(n)
    got = bm._simple_resample_bars(bars, None, r, include_last)
    assert_same_array(got, aggregate_groups(bars, groups))


def test_resample_one_reproduces_the_input(bm):
    bars = make_bars(8)
    assert_same_array(bm._simple_resample_bars(bars, None, 1), bars)


def test_four_arguments_keep_the_partial_group(bm):
    bars = make_bars(10)
    assert_same_array(bm._simple_resample_bars(bars, None, 4),
                      bm._simple_resample_bars(bars, None, 4, True))
    assert len(bm._simple_resample_bars(bars, None, 4)) == 3


@pytest.mark.parametrize("include_last", [True, False])
@pytest.mark.parametrize("fields", [None, "volume", ["close_price", "volume"]])
def test_no_bars_gives_an_empty_structured_array(bm, include_last, fields):
    got = bm._simple_resample_bars(make_bars(0), fields, 3, include_last)
    expected = BAR_DTYPE if fields is None else np.dtype(
        [(f, BAR_DTYPE[f]) for f in ([fields] if isinstance(fields, str) else fields)])
    assert got.shape == (0,) and got.dtype == expected


def test_text_field_returns_the_plain_column(bm):
    got = bm._simple_resample_bars(make_bars(6), "volume", 2)
    assert got.dtype == np.int32 and got.dtype.names is None
    assert got.tolist() == [10 + 20, 30 + 40, 50 + 60]


def test_str_subclass_counts_as_a_text(bm):
    class Name(str):
        pass

    got = bm._simple_resample_bars(make_bars(6), Name("close_price"), 2)
    assert got.tolist() == [101.5, 103.5, 105.5]


@pytest.mark.parametrize("fields", [
    ["volume", "open_price"],
    ("close_price",),
    lambda: (f for f in ["low_price", "high_price"]),
])
def test_fields_iterable_sets_names_and_order(bm, fields):
    names = list(fields()) if callable(fields) else list(fields)
    bars = make_bars(7)
    got = bm._simple_resample_bars(bars, fields() if callable(fields) else fields, 3)
    assert got.dtype.names == tuple(names)
    expected = aggregate_groups(bars, groups_of(7, 3, True))
    for name in names:
        assert got[name].tolist() == expected[name].tolist()


def test_each_output_field_keeps_its_input_type(bm):
    dtype = np.dtype([("open_price", "f4"), ("high_price", "u2"), ("volume", "i4"),
                      ("close_price", "f8")])
    got = bm._simple_resample_bars(np.zeros(5, dtype), None, 2)
    assert got.dtype == dtype


def test_int32_volume_sum_wraps_as_numpy_does(bm):
    # reduceat sums int32 in int64; storing back into int32 wraps.
    bars = make_bars(2)
    bars["volume"] = [2**31 - 1, 2]
    got = bm._simple_resample_bars(bars, "volume", 2)
    assert got.dtype == np.int32 and got.tolist() == [-(2**31) + 1]


def test_nan_propagates_through_high_and_low(bm):
    bars = make_bars(4)
    bars["high_price"][1] = np.nan
    bars["low_price"][2] = np.nan
    got = bm._simple_resample_bars(bars, ["high_price", "low_price"], 2)
    assert np.isnan(got["high_price"][0]) and not np.isnan(got["high_price"][1])
    assert not np.isnan(got["low_price"][0]) and np.isnan(got["low_price"][1])


def test_input_is_only_read_and_result_is_new(bm):
    bars = make_bars(10)
    before = field_bytes(bars)
    got = bm._simple_resample_bars(bars, None, 1)
    assert field_bytes(bars) == before
    assert not np.shares_memory(got, bars)
