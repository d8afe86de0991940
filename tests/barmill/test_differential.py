"""The module against the same steps written in plain numpy, on generated
bar arrays: odd layouts, every column type, NaNs and extreme integers."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from bar_support import assert_same_array, field_bytes, rebound, record_types
from morvel.ostra.mod.mod_quant_data.data_sources import barmill

AGG = {
    "orig_time": "last", "open_price": "first", "close_price": "last",
    "high_price": np.maximum, "low_price": np.minimum, "high_limited": "first",
    "total_turnover": np.add, "volume": np.add, "open_interest": "last",
}
FIELD_TYPES = ["f8", "f4", "i8", "i4", "u8", "u4", "?"]
SETTINGS = settings(max_examples=200, deadline=None)


# ---------------------------------------------------------------- reference

def ref_dtype(bars, fields):
    if fields is None:
        return bars.dtype
    if isinstance(fields, str):
        return np.dtype([(fields, bars.dtype[fields])])
    return np.dtype([(f, bars.dtype[f]) for f in fields])


def ref_aggregate(bars, dtype, starts, fields):
    """One output bar per start; a group runs up to the next start."""
    result = np.empty(len(starts), dtype)
    for name in dtype.names:
        agg, column = AGG[name], bars[name]
        if isinstance(agg, str) and agg == "last":
            ends = np.append(starts[1:], len(bars)) - 1
            result[name] = column[ends]
        elif isinstance(agg, str):
            result[name] = column[starts]
        else:
            result[name] = agg.reduceat(column, starts)
    return result[fields] if isinstance(fields, str) else result


def ref_count(bars, fields, r, include_last):
    n = len(bars)
    if not include_last:
        bars = bars[:n // r * r]
    starts = np.arange(0, len(bars), r)
    dtype = ref_dtype(bars, fields)
    if len(starts) == 0:
        return np.empty(0, dtype)
    return ref_aggregate(bars, dtype, starts, fields)


def ref_minutes(bars, fields, r, include_last, minutes):
    end = minutes[-1] + 1
    dtype = ref_dtype(bars, fields)
    grid = np.arange(0, end, r)
    if len(grid) == 0:
        if not include_last:
            return np.empty(0, dtype)
        starts = np.array([0])
    else:
        starts = np.unique(np.searchsorted(minutes, grid, side="left"))
        if not include_last and end % r:
            bars, starts = bars[:starts[-1]], starts[:-1]
    if len(starts) == 0:
        return np.empty(0, dtype)
    return ref_aggregate(bars, dtype, starts, fields)


# ---------------------------------------------------------------- inputs

@st.composite
def bar_arrays(draw, min_len, need_orig_time):
    names = draw(st.lists(st.sampled_from(sorted(AGG)), min_size=1, unique=True))
    if need_orig_time and "orig_time" not in names:
        names.insert(draw(st.integers(0, len(names))), "orig_time")
    dtype = draw(record_types(names, FIELD_TYPES))
    n = draw(st.integers(min_len, 30))
    bars = np.zeros(n, dtype)
    for name in names:
        bars[name] = draw(hnp.arrays(dtype[name], n))
    return bars


@st.composite
def field_choices(draw, bars):
    """A factory, so that a generator can be made afresh for each side."""
    names = list(bars.dtype.names)
    kind = draw(st.sampled_from(["none", "str", "list", "tuple", "generator"]))
    if kind == "none":
        return lambda: None
    if kind == "str":
        name = draw(st.sampled_from(names))
        return lambda: name
    chosen = draw(st.lists(st.sampled_from(names), unique=True))
    return {"list": lambda: list(chosen), "tuple": lambda: tuple(chosen),
            "generator": lambda: (f for f in chosen)}[kind]


@st.composite
def count_cases(draw):
    bars = draw(bar_arrays(0, False))
    return bars, draw(field_choices(bars)), draw(st.integers(1, len(bars) + 5)), draw(st.booleans())


@st.composite
def minute_cases(draw):
    bars = draw(bar_arrays(1, True))
    ordinals = draw(st.lists(st.integers(-20, 150), min_size=len(bars), max_size=len(bars)))
    minutes = np.array(sorted(ordinals), dtype=np.int64)
    r = draw(st.integers(1, 40))
    return bars, draw(field_choices(bars)), r, draw(st.booleans()), minutes


# ---------------------------------------------------------------- tests

# Generated float32 sums may overflow; numpy warns the same on both sides.
OVERFLOW = pytest.mark.filterwarnings("ignore:overflow encountered in reduceat:RuntimeWarning")


@OVERFLOW
@SETTINGS
@given(count_cases())
def test_count_path_matches_numpy(case):
    bars, fields, r, include_last = case
    before = field_bytes(bars)
    got = barmill._simple_resample_bars(bars, fields(), r, include_last)
    assert_same_array(got, ref_count(bars, fields(), r, include_last))
    assert field_bytes(bars) == before


@OVERFLOW
@SETTINGS
@given(minute_cases())
def test_minute_path_matches_numpy(case):
    bars, fields, r, include_last, minutes = case
    before = field_bytes(bars)
    with rebound(barmill, "to_minutes", lambda _column: minutes):
        got = barmill._resample_future_bars(bars, fields(), r, include_last)
    assert_same_array(got, ref_minutes(bars, fields(), r, include_last, minutes))
    assert field_bytes(bars) == before
