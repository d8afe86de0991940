"""Bar arrays and recorders shared by the barmill suites."""
import contextlib

import numpy as np
from hypothesis import strategies as st

# A typical minute-bar layout: prices float64, volume int32 (the narrow
# volume type catches paths that widen or narrow a column).
BAR_DTYPE = np.dtype([
    ("orig_time", "i8"),
    ("open_price", "f8"),
    ("close_price", "f8"),
    ("high_price", "f8"),
    ("low_price", "f8"),
    ("volume", "i4"),
    ("total_turnover", "f8"),
])


def make_bars(n, dtype=BAR_DTYPE):
    """n bars whose every value tells which bar it came from."""
    bars = np.zeros(n, dtype)
    i = np.arange(n)
    for name, value in (("orig_time", 20240102090000 + i * 100), ("open_price", 100 + i), ("close_price", 100.5 + i),
                        ("high_price", 101 + (i * 7) % 5), ("low_price", 99 - (i * 3) % 4),
                        ("volume", 10 * (i + 1)), ("total_turnover", 1000.25 * (i + 1))):
        if name in dtype.names:
            bars[name] = value
    return bars


def aggregate_groups(bars, groups, dtype=None):
    """Expected output, written out per group: first open, last close, block
    high/low, summed volume and turnover, last orig_time."""
    out = np.zeros(len(groups), dtype or bars.dtype)
    rules = {"orig_time": lambda c: c[-1], "open_price": lambda c: c[0],
             "close_price": lambda c: c[-1], "high_price": np.max, "low_price": np.min,
             "volume": np.sum, "total_turnover": np.sum}
    for k, positions in enumerate(groups):
        for name in out.dtype.names:
            out[name][k] = rules[name](bars[name][list(positions)])
    return out


def assert_same_array(got, expected):
    """Same dtype (layout included) and, column by column, the same bytes."""
    assert isinstance(got, np.ndarray)
    assert got.dtype == expected.dtype
    assert got.shape == expected.shape
    names = expected.dtype.names or (None,)
    for name in names:
        g = got if name is None else got[name]
        e = expected if name is None else expected[name]
        assert np.ascontiguousarray(g).tobytes() == np.ascontiguousarray(e).tobytes(), name


@contextlib.contextmanager
def rebound(module, name, value):
    """Rebind a module-level name for the duration of the block."""
    old = module.__dict__[name]
    module.__dict__[name] = value
    try:
        yield value
    finally:
        module.__dict__[name] = old


class Recorder:
    """Stands in for a host function: records its arguments, returns `result`."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(*args) if callable(self.result) else self.result


def field_bytes(bars):
    """The bytes of every field of a bar array, to check that a call left its
    input unwritten.  Padding between fields is left out: it belongs to no
    field, and numpy leaves it unset in the copies that tobytes makes of
    strided arrays."""
    return [bars[name].tobytes() for name in bars.dtype.names]


@st.composite
def record_types(draw, names, types):
    """Record types for generated bar arrays: the given field names, each of
    one of `types`, packed, aligned or at odd offsets with gaps."""
    formats = [draw(st.sampled_from(types)) for _ in names]
    layout = draw(st.sampled_from(["packed", "aligned", "odd-offsets"]))
    if layout != "odd-offsets":
        return np.dtype(list(zip(names, formats, strict=True)), align=layout == "aligned")
    offsets, pos = [], draw(st.sampled_from([1, 3]))
    for f in formats:
        offsets.append(pos)
        pos += np.dtype(f).itemsize + draw(st.integers(0, 3))
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": pos + draw(st.integers(0, 2))})
