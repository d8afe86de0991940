import types

import numpy as np
import pytest

from bar_support import Recorder, aggregate_groups, assert_same_array, field_bytes, make_bars, rebound


def r(a, b):
    return list(range(a, b))


# ordinals returned by to_minutes, resample, include_last, expected groups
# (input positions per output bar)
CASES = [
    pytest.param(r(0, 10), 5, True, [r(0, 5), r(5, 10)], id="two-full-blocks"),
    pytest.param(r(0, 10), 5, False, [r(0, 5), r(5, 10)], id="two-full-blocks-drop"),
    pytest.param(r(0, 7), 5, True, [r(0, 5), [5, 6]], id="partial-kept"),
    pytest.param(r(0, 7), 5, False, [r(0, 5)], id="partial-dropped"),
    pytest.param([0, 1, 2, 10, 11, 12, 13, 14], 5, True, [[0, 1, 2], r(3, 8)], id="empty-block-skipped"),
    pytest.param([3, 4, 5, 6], 5, True, [[0, 1], [2, 3]], id="blocks-start-at-ordinal-zero"),
    pytest.param(r(0, 4), 5, False, [], id="only-block-incomplete"),
    pytest.param([-1, -1, -1], 5, True, [[0, 1, 2]], id="empty-grid-one-group"),
    pytest.param([-1, -1, -1], 5, False, [], id="empty-grid-nothing"),
    pytest.param([-3, -1, 0, 1, 2, 3], 2, True, [[2, 3], [4, 5]], id="negatives-in-no-group"),
    pytest.param([-3, -1, 0, 1, 2], 2, False, [[2, 3]], id="negatives-then-partial-dropped"),
    pytest.param([5, 5, 5, 9], 5, True, [[0, 1, 2, 3]], id="repeated-ordinals"),
    pytest.param([0, 0, 4, 4, 5], 5, False, [[0, 1, 2, 3]], id="last-ordinal-decides-completeness"),
    pytest.param([0, 4], 5, False, [[0, 1]], id="gaps-inside-a-complete-block"),
    pytest.param([2, 3], 1, False, [[0], [1]], id="resample-one"),
    pytest.param([7], 30, True, [[0]], id="single-bar"),
]


@pytest.fixture
def future():
    return types.SimpleNamespace(type="Future", exchange="SHFE")


@pytest.mark.parametrize("ordinals, resample, include_last, groups", CASES)
def test_blocks_of_minutes(bm, fixed_minutes, ordinals, resample, include_last, groups):
    fixed_minutes(ordinals)
    bars = make_bars(len(ordinals))
    got = bm._resample_future_bars(bars, None, resample, include_last)
    assert_same_array(got, aggregate_groups(bars, groups))


@pytest.mark.parametrize("ordinals, resample, include_last, groups", CASES)
def test_resample_bars_routes_futures_here(bm, fixed_minutes, future, ordinals, resample,
                                           include_last, groups):
    fixed_minutes(ordinals)
    bars = make_bars(len(ordinals))
    got = bm.resample_bars(future, bars, ["close_price", "volume"], resample, include_last)
    expected = aggregate_groups(bars, groups, np.dtype([("close_price", "f8"), ("volume", "i4")]))
    assert_same_array(got, expected)


def test_host_calls(bm, fixed_minutes):
    """to_minutes gets the orig_time column once; unique_sorted gets the
    left insertion points of the grid once."""
    minutes = fixed_minutes([0, 1, 2, 10, 11, 12])
    bars = make_bars(6)
    unique = Recorder(lambda p: np.unique(p))
    with rebound(bm, "unique_sorted", unique):
        bm._resample_future_bars(bars, None, 5)
    [((column,), kw)] = minutes.calls
    assert kw == {} and column.dtype == np.int64
    assert np.shares_memory(column, bars) and column.tolist() == bars["orig_time"].tolist()
    [((positions,), kw)] = unique.calls
    assert kw == {} and positions.tolist() == [0, 3, 3]


def test_unique_sorted_not_called_for_an_empty_grid(bm, fixed_minutes):
    fixed_minutes([-5, -2])
    unique = Recorder()
    with rebound(bm, "unique_sorted", unique):
        got = bm._resample_future_bars(make_bars(2), "volume", 5)
    assert unique.calls == [] and got.tolist() == [30]


@pytest.mark.parametrize("ordinals, include_last", [(r(0, 4), False), ([-1], False)])
def test_empty_result_is_structured_even_for_a_text_field(bm, fixed_minutes, ordinals,
                                                         include_last):
    fixed_minutes(ordinals)
    got = bm._resample_future_bars(make_bars(len(ordinals)), "close_price", 5, include_last)
    assert got.shape == (0,) and got.dtype == np.dtype([("close_price", "f8")])


def test_text_field_returns_the_block_closes(bm, fixed_minutes):
    fixed_minutes(r(0, 7))
    got = bm._resample_future_bars(make_bars(7), "close_price", 5)
    assert got.dtype == np.float64 and got.tolist() == [104.5, 106.5]


def test_rebinding_the_host_functions_takes_effect_per_call(bm, fixed_minutes):
    bars = make_bars(4)
    fixed_minutes([0, 1, 2, 3])
    assert len(bm._resample_future_bars(bars, None, 2)) == 2
    fixed_minutes([0, 0, 0, 0])
    assert len(bm._resample_future_bars(bars, None, 2)) == 1


def test_one_day_with_the_host_to_minutes(bm, future):
    # 09:01 .. 10:00, then 13:31 .. 13:35 after the midday pause
    stamps = [20240102090000 + (m // 60) * 10000 + (m % 60) * 100 for m in range(1, 61)]
    stamps += [20240102133000 + m * 100 for m in range(1, 6)]
    bars = make_bars(len(stamps))
    bars["orig_time"] = stamps
    before = field_bytes(bars)
    got = bm.resample_bars(future, bars, None, 5)
    # 09:01-09:04 opens the day's first block (09:00-09:04), then full blocks
    # to 10:00 alone; 13:31-13:34 and 13:35 after the gap.
    groups = [r(0, 4)] + [r(s, s + 5) for s in range(4, 59, 5)] + [[59], r(60, 64), [64]]
    assert_same_array(got, aggregate_groups(bars, groups))
    assert got["orig_time"][:3].tolist() == [20240102090400, 20240102090900, 20240102091400]
    assert field_bytes(bars) == before
