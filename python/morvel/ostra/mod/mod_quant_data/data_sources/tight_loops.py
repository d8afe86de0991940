"""Vectorised bar helpers; part of the stand-in host layer (the SDK's real framework isn't available here)."""

import numpy as np


def to_minutes(orig_time):
    """Map YYYYMMDDHHMMSS stamps to minutes since midnight of the first bar's day.

    Seconds are dropped. Calendar days come from datetime64[D], so month ends,
    leap days and gaps between sessions count correctly.
    """
    t = np.asarray(orig_time)
    if t.size == 0:
        return np.empty(0, dtype=np.int64)
    # astype copies, so the caller's array is never written to; floats that
    # hold whole numbers are rounded first to avoid 0.999... truncation.
    if t.dtype.kind == "f":
        t = np.rint(t)
    t = t.astype(np.int64).ravel()
    date, hms = np.divmod(t, 1000000)
    year, md = np.divmod(date, 10000)
    month, day = np.divmod(md, 100)
    hour = hms // 10000
    minute = (hms // 100) % 100
    days = (
        (year - 1970).astype("datetime64[Y]").astype("datetime64[M]")
        + (month - 1).astype("timedelta64[M]")
    ).astype("datetime64[D]") + (day - 1).astype("timedelta64[D]")
    day_num = days.astype(np.int64)
    return (day_num - day_num[0]) * 1440 + hour * 60 + minute


def unique_sorted(a):
    """Distinct values of a non-decreasing 1-D integer array, ascending, as intp."""
    a = np.asarray(a)
    if a.size == 0:
        return np.empty(0, dtype=np.intp)
    keep = np.r_[True, a[1:] != a[:-1]]
    return a[keep].astype(np.intp)
