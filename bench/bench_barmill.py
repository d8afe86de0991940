"""resample_bars against the same steps written in plain numpy-calling Python."""
import types

import numpy as np

from common import median_seconds, table
from morvel.ostra.mod.mod_quant_data.data_sources import barmill
from morvel.ostra.mod.mod_quant_data.data_sources.tight_loops import to_minutes, unique_sorted

FIELDS = ["orig_time", "open_price", "close_price", "high_price", "low_price", "total_turnover",
          "volume", "open_interest"]


def make_bars(n, seed=0):
    rng = np.random.default_rng(seed)
    dtype = np.dtype([(f, np.int64 if f == "orig_time" else np.float64) for f in FIELDS])
    bars = np.empty(n, dtype=dtype)
    minute = np.arange(n)
    day, m = divmod(minute, 1440)
    bars["orig_time"] = (20240102 + day) * 1000000 + (m // 60) * 10000 + (m % 60) * 100
    for f in FIELDS[1:]:
        bars[f] = rng.random(n) * 100
    return bars


def python_reference(bars, fields, resample, include_last, future):
    """The algorithm's steps, one numpy call each, in Python."""
    dtype = bars.dtype if fields is None else np.dtype([(f, bars.dtype[f]) for f in fields])
    agg = barmill.FIELD_AGG_FUNCTIONS
    if future:
        minutes = to_minutes(bars["orig_time"])
        grid = np.arange(0, minutes[-1] + 1, resample)
        pos = minutes.searchsorted(grid)
        if len(pos) == 0:
            starts = np.array([0])
        else:
            starts = unique_sorted(pos)
            if not include_last and (minutes[-1] + 1) % resample != 0:
                bars = bars[:starts[-1]]
                starts = starts[:-1]
    else:
        n = len(bars)
        count = n // resample if not include_last else (n + resample - 1) // resample
        if not include_last:
            bars = bars[:count * resample]
        result = np.empty((count,), dtype)
        if count == 0:
            return result
        for f in dtype.names:
            how = agg[f]
            if how == "last":
                result[f][:-1] = bars[f][resample - 1:-1:resample]
                result[f][-1] = bars[f][-1]
            elif how == "first":
                result[f] = bars[f][::resample]
            else:
                result[f] = how.reduceat(bars[f], list(range(0, len(bars), resample)))
        return result
    result = np.empty((len(starts),), dtype)
    if len(starts) == 0:
        return result
    for f in dtype.names:
        how = agg[f]
        if how == "last":
            result[f][:-1] = bars[f][starts[1:] - 1]
            result[f][-1] = bars[f][-1]
        elif how == "first":
            result[f] = bars[f][starts]
        else:
            result[f] = how.reduceat(bars[f], starts)
    return result


def main():
    future = types.SimpleNamespace(type="Future", exchange="SHFE")
    stock = types.SimpleNamespace(type="CS")
    rows = []
    for n in (240, 10_000, 1_000_000):
        bars = make_bars(n)
        for label, inst, is_future in (("count", stock, False), ("minute grid", future, True)):
            native = median_seconds(lambda: barmill.resample_bars(inst, bars, None, 5, True))
            base = median_seconds(lambda: python_reference(bars, None, 5, True, is_future))
            rows.append((f"{label}, {n:,} bars, r=5", native, base))
    table("resample_bars: native vs. the same steps in Python (median per call)", rows)


if __name__ == "__main__":
    main()
