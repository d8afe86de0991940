"""The fused kernel against the plain numpy steps, in one process: the
MORVEL_BARMILL_PLAIN=1 switch (read at every call) forces the plain steps.
Results must agree bit for bit, with the same warnings and errors."""
import contextlib
import os
import threading
import tracemalloc
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from bar_support import assert_same_array, field_bytes, rebound, record_types
from morvel.ostra.mod.mod_quant_data.data_sources import barmill

KERNEL_TYPES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f4", "f8"]
OTHER_TYPES = ["f2", ">f8", "<i4" if np.little_endian else ">i4", "c8", "(2,)f4", "M8[s]"]
TABLE_FIELDS = list(barmill.FIELD_AGG_FUNCTIONS)


@contextlib.contextmanager
def plain_steps():
    old = os.environ.get("MORVEL_BARMILL_PLAIN")
    os.environ["MORVEL_BARMILL_PLAIN"] = "1"
    try:
        yield
    finally:
        if old is None:
            del os.environ["MORVEL_BARMILL_PLAIN"]
        else:
            os.environ["MORVEL_BARMILL_PLAIN"] = old


def outcome(call, raise_fp=False):
    """What a call does: its result or error, and the warnings it issues."""
    with warnings.catch_warnings(record=True) as seen, np.errstate(all="raise" if raise_fp else "warn"):
        warnings.simplefilter("always")
        try:
            result = ("ok", call())
        except Exception as e:  # noqa: BLE001 - the error is what is compared
            result = ("error", type(e), str(e))
    return result, [(w.category, str(w.message)) for w in seen]


def assert_same_outcome(call, raise_fp=False):
    fused = outcome(call, raise_fp)
    with plain_steps():
        plain = outcome(call, raise_fp)
    assert fused[1] == plain[1]
    if plain[0][0] == "ok":
        assert fused[0][0] == "ok", fused[0]
        assert_same_array(fused[0][1], plain[0][1])
    else:
        assert fused[0] == plain[0]
    return fused[0]


# ---------------------------------------------------------------- generated inputs

@st.composite
def bar_arrays(draw, min_len, need_orig_time, max_len=40):
    names = draw(st.lists(st.sampled_from(TABLE_FIELDS), min_size=1, max_size=8, unique=True))
    if need_orig_time and "orig_time" not in names:
        names.insert(0, "orig_time")
    types = KERNEL_TYPES + (OTHER_TYPES if draw(st.integers(0, 4)) == 0 else [])
    dtype = draw(record_types(names, types))
    n = draw(st.integers(min_len, max_len))
    # Views: reversed (negative stride), every other record, and offset into a buffer.
    view = draw(st.sampled_from(["whole", "reversed", "step", "offset"]))
    total = {"whole": n, "reversed": n, "step": 2 * n, "offset": n + 3}[view]
    bars = np.zeros(total, dtype)
    for name in names:
        bars[name] = draw(hnp.arrays(dtype[name].base, (total,) + dtype[name].shape))
    return {"whole": bars, "reversed": bars[::-1], "step": bars[::2], "offset": bars[3:]}[view]


def field_choice(draw, bars):
    kind = draw(st.sampled_from(["none", "str", "list"]))
    if kind == "none":
        return None
    if kind == "str":
        return draw(st.sampled_from(bars.dtype.names))
    return draw(st.lists(st.sampled_from(bars.dtype.names), min_size=1, unique=True))


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_count_path_matches_plain_steps(data):
    bars = data.draw(bar_arrays(0, False))
    fields = field_choice(data.draw, bars)
    r = data.draw(st.integers(1, len(bars) + 3))
    include_last, raise_fp = data.draw(st.booleans()), data.draw(st.booleans())
    before = field_bytes(bars)
    assert_same_outcome(lambda: barmill._simple_resample_bars(bars, fields, r, include_last), raise_fp)
    assert field_bytes(bars) == before


ORDINAL_TYPES = ["i8", "i4", "i2", "u4", "u8", "f8", "f4"]


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_minute_path_matches_plain_steps(data):
    bars = data.draw(bar_arrays(1, True))
    fields = field_choice(data.draw, bars)
    r = data.draw(st.integers(1, 40))
    include_last, raise_fp = data.draw(st.booleans()), data.draw(st.booleans())
    ordinals = data.draw(st.lists(st.integers(-20, 150), min_size=len(bars), max_size=len(bars)))
    ordinals = np.array(ordinals if data.draw(st.integers(0, 9)) == 0 else sorted(ordinals))
    minutes = ordinals.astype(data.draw(st.sampled_from(ORDINAL_TYPES)))
    if minutes.dtype.kind == "u":
        minutes = np.sort(np.abs(ordinals)).astype(minutes.dtype)
    seen = {}

    def unique_sorted(positions):
        seen.setdefault("positions", []).append((positions.dtype, positions.tolist()))
        return np.unique(positions)

    before = field_bytes(bars)
    with rebound(barmill, "to_minutes", lambda _column: minutes), \
            rebound(barmill, "unique_sorted", unique_sorted):
        assert_same_outcome(lambda: barmill._resample_future_bars(bars, fields, r, include_last),
                            raise_fp)
    assert field_bytes(bars) == before
    calls = seen.get("positions", [])
    assert len(calls) in (0, 2) and calls[:1] == calls[1:]


# ---------------------------------------------------------------- fixed inputs

def float_bars(n, dtype="f8", seed=3, packed=True):
    dt = np.dtype([("orig_time", "i8"), ("high_price", dtype), ("low_price", dtype),
                   ("total_turnover", dtype), ("volume", "i4")], align=not packed)
    bars = np.zeros(n, dt)
    rng = np.random.default_rng(seed)
    for name in dt.names[1:]:
        bars[name] = rng.standard_normal(n) * 1e3
    bars["orig_time"] = np.arange(n)
    return bars


@pytest.mark.parametrize("dtype", ["f8", "f4"])
@pytest.mark.parametrize("packed", [True, False])
@pytest.mark.parametrize("r", [7, 8, 9, 128, 129, 130, 300, 2999, 5000])
def test_large_groups_sum_bit_for_bit(dtype, packed, r):
    bars = float_bars(3000, dtype, packed=packed)
    assert_same_outcome(lambda: barmill._simple_resample_bars(bars, None, r, True))


def test_one_group_of_the_whole_input():
    bars = float_bars(20000)
    minutes = np.full(len(bars), -1)
    assert_same_outcome(lambda: barmill._simple_resample_bars(bars, None, 10**6, True))
    with rebound(barmill, "to_minutes", lambda _column: minutes):
        assert_same_outcome(lambda: barmill._resample_future_bars(bars, None, 5, True))


INF, NAN = np.inf, np.nan


@pytest.mark.parametrize("dtype, values, field", [
    ("f8", [1, INF, -INF, 2], "total_turnover"),   # invalid value
    ("f4", [3e38, 3e38, 1, 1], "total_turnover"),  # float32 overflow
    ("f8", [1, INF, 1, 1], "total_turnover"),      # infinite, no warning
    ("f8", [NAN, 1, 2, NAN], "total_turnover"),
    ("f8", [-0.0, -0.0, -0.0, -0.0], "total_turnover"),  # the short loop starts at -0.0
    ("f8", [NAN, 1, -0.0, 0.0], "high_price"),
    ("f8", [-0.0, 0.0, 0.0, -0.0], "low_price"),
    ("f4", [NAN, -NAN, 2, 1], "low_price"),
])
@pytest.mark.parametrize("raise_fp", [False, True])
def test_special_values_warn_and_raise_as_numpy_does(dtype, values, field, raise_fp):
    bars = float_bars(4, dtype)
    bars[field] = values
    assert_same_outcome(lambda: barmill._simple_resample_bars(bars, None, 2), raise_fp)


@pytest.mark.parametrize("r", [1, 2, 3])
def test_bool_bytes_other_than_0_and_1(r):
    dtype = np.dtype([(f, "?") for f in ("open_price", "close_price", "volume", "high_price",
                                         "low_price")])
    bars = np.zeros(6, dtype)
    bars.view(np.uint8).reshape(6, 5)[:] = [[2, 3, 0, 2, 1], [1, 0, 2, 2, 2], [0, 0, 0, 1, 2],
                                            [5, 5, 5, 5, 5], [0, 0, 1, 1, 0], [1, 1, 1, 1, 1]]
    assert_same_outcome(lambda: barmill._simple_resample_bars(bars, None, r))


def test_overflowing_float32_sum_warns_once_per_call():
    bars = float_bars(6, "f4")
    bars["total_turnover"] = 3e38
    result, seen = outcome(lambda: barmill._simple_resample_bars(bars, None, 2))
    assert seen == [(RuntimeWarning, "overflow encountered in reduceat")]
    assert np.isinf(result[1]["total_turnover"]).all()


class RecordingTable(dict):
    def __init__(self, *args, log):
        super().__init__(*args)
        self.log = log

    def __getitem__(self, key):
        self.log.append(("lookup", key))
        return super().__getitem__(key)


class ReduceatRecorder:
    """A non-numpy aggregator: records its calls and equality tests."""

    def __init__(self, log):
        self.log = log

    def __eq__(self, other):
        self.log.append(("eq", other))
        return False

    __hash__ = object.__hash__

    def reduceat(self, column, starts):
        self.log.append(("reduceat", list(starts)))
        return np.add.reduceat(column, starts)


@pytest.mark.parametrize("path", ["count", "minute"])
@pytest.mark.parametrize("values", [[1.0, 2.0, 3.0, 4.0, 5.0], [INF, -INF, 3.0, 4.0, 5.0]])
@pytest.mark.parametrize("recording", [True, False])
def test_table_edits_and_foreign_aggregator_see_the_same_steps(path, values, recording):
    bars = float_bars(5)
    bars["total_turnover"] = values
    minutes = np.array([0, 1, 5, 6, 7])

    def run():
        log = []
        table = dict(barmill.FIELD_AGG_FUNCTIONS, volume=ReduceatRecorder(log),
                     extra="last", high_price=np.minimum)
        if recording:
            table = RecordingTable(table, log=log)
        b = np.zeros(5, bars.dtype.descr + [("extra", "f8")])
        for name in bars.dtype.names:
            b[name] = bars[name]
        with rebound(barmill, "FIELD_AGG_FUNCTIONS", table), \
                rebound(barmill, "to_minutes", lambda _column: minutes):
            if path == "count":
                got = outcome(lambda: barmill._simple_resample_bars(b, None, 2), raise_fp=True)
            else:
                got = outcome(lambda: barmill._resample_future_bars(b, None, 5), raise_fp=True)
        return got, log

    fused, fused_log = run()
    with plain_steps():
        plain, plain_log = run()
    assert fused_log == plain_log
    assert fused[1] == plain[1] and fused[0][0] == plain[0][0]
    if plain[0][0] == "ok":
        assert_same_array(fused[0][1], plain[0][1])
    else:
        assert fused[0] == plain[0]


@pytest.mark.parametrize("host", [
    lambda p: np.unique(p).astype(np.int32),
    lambda p: np.unique(p).astype(np.uint16),
    lambda p: list(np.unique(p)),              # not an array
    lambda p: p,                               # repeats
    lambda p: np.unique(p)[::-1].copy(),       # descending
    lambda p: np.unique(p) + 100,              # outside the input
    lambda p: np.unique(p).astype(np.float64),
    lambda p: np.unique(p)[:0],                # no starts
])
@pytest.mark.parametrize("include_last", [True, False])
def test_odd_unique_sorted_results_behave_as_in_the_plain_steps(host, include_last):
    bars = float_bars(12)
    minutes = np.array([0, 1, 2, 7, 8, 9, 10, 11, 20, 21, 22, 23])
    with rebound(barmill, "to_minutes", lambda _column: minutes), \
            rebound(barmill, "unique_sorted", host):
        assert_same_outcome(lambda: barmill._resample_future_bars(bars, None, 5, include_last))


def test_numpy_rebound_takes_the_plain_steps():
    log = []

    class NumpyView:
        def __getattr__(self, name):
            log.append(name)
            return getattr(np, name)

    bars = float_bars(6)
    with rebound(barmill, "np", NumpyView()):
        got = barmill._simple_resample_bars(bars, ["volume", "high_price"], 2)
    with plain_steps():
        assert_same_array(got, barmill._simple_resample_bars(bars, ["volume", "high_price"], 2))
    assert log == ["dtype", "empty"]


def test_numpy_rebound_by_the_host_mid_call():
    bars = float_bars(12)
    minutes = np.arange(12)

    def run():
        log = []

        class NumpyView:
            def __getattr__(self, name):
                log.append(name)

                def call(*args, **kwargs):
                    log.append(name + "()")
                    return getattr(np, name)(*args, **kwargs)
                return call

        def to_minutes(_column):
            barmill.np = NumpyView()
            return minutes

        with rebound(barmill, "np", np), rebound(barmill, "to_minutes", to_minutes):
            return barmill._resample_future_bars(bars, None, 5), log

    fused, fused_log = run()
    with plain_steps():
        plain, plain_log = run()
    assert fused_log == plain_log == ["arange", "arange()", "empty", "empty()"]
    assert_same_array(fused, plain)


def peak_bytes(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("path", ["count", "minute"])
def test_kernel_fills_the_result_without_temporaries(path):
    # The plain steps build a list of starts and a temporary per reduceat;
    # the kernel writes straight into the result.
    bars = float_bars(20000)
    minutes = np.arange(len(bars))
    starts = np.arange(len(bars))
    with rebound(barmill, "to_minutes", lambda _column: minutes), \
            rebound(barmill, "unique_sorted", lambda _positions: starts):
        call = {"count": lambda: barmill._simple_resample_bars(bars, ["volume", "total_turnover"], 1),
                "minute": lambda: barmill._resample_future_bars(bars, ["volume", "total_turnover"], 1)}[path]
        fused = peak_bytes(call)
        with plain_steps():
            plain = peak_bytes(call)
    result_bytes = 12 * len(bars)
    positions_bytes = 8 * len(bars) if path == "minute" else 0
    assert fused < result_bytes + positions_bytes + 4096
    assert plain > fused + 8 * len(bars)


def test_threads_resample_different_arrays_at_once():
    inputs = [float_bars(50000 + 1000 * i, seed=i) for i in range(4)]
    with plain_steps():
        expected = [barmill._simple_resample_bars(b, None, 7) for b in inputs]
    results = [None] * len(inputs)

    def work(i):
        for _ in range(3):
            results[i] = barmill._simple_resample_bars(inputs[i], None, 7)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, exp in zip(results, expected, strict=True):
        assert_same_array(got, exp)
