"""resample_bars against the numpy steps it stands in for, pandas, polars and
the memory floor, on futures sessions with all 17 table fields.

The numpy steps are this same module with MORVEL_BARMILL_PLAIN=1 (the switch
is read at every call), timed in the same run.  pandas, polars and matplotlib
are benchmark extras:  .venv/bin/python -m pip install -c requirements.txt pandas polars matplotlib

    .venv/bin/python bench/bench_barmill.py [--quick] [--plot bench/barmill.png]

Prints markdown tables of medians and ratios (the machine is shared and
noisy: read the ratios, rerun when a figure looks odd) and draws the plot.
"""
import argparse
import contextlib
import hashlib
import os
import statistics
import sys
import threading
import time
import types

import numpy as np

from common import median_seconds

from morvel.ostra.mod.mod_quant_data.data_sources import barmill
from morvel.ostra.mod.mod_quant_data.data_sources.tight_loops import to_minutes

FUTURE = types.SimpleNamespace(type="Future", exchange="SHFE")  # minute grid
INDEX_FUTURE = types.SimpleNamespace(type="Future", exchange="CFFEX")  # count path

# One trading day: the day sessions, then the night session of the same date.
SESSIONS = [(9 * 60 + 1, 10 * 60 + 15), (10 * 60 + 31, 11 * 60 + 30), (13 * 60 + 31, 15 * 60),
            (21 * 60 + 1, 23 * 60)]
DAY_MINUTES = np.concatenate([np.arange(a, b + 1) for a, b in SESSIONS])  # 345 bars

FIELDS = list(barmill.FIELD_AGG_FUNCTIONS)
# 15 doubles, orig_time int64 and trading_date int32: packed 132-byte records.
BAR_DTYPE = np.dtype([(f, "i8" if f == "orig_time" else "i4" if f == "trading_date" else "f8")
                      for f in FIELDS])


def futures_bars(n, seed=0):
    days = -(-n // len(DAY_MINUTES))
    dates = np.busday_offset("2015-01-05", np.arange(days), roll="forward")
    ymd = dates.astype(object)
    date_num = np.array([d.year * 10000 + d.month * 100 + d.day for d in ymd], dtype=np.int64)
    date_col = np.repeat(date_num, len(DAY_MINUTES))[:n]
    minute = np.tile(DAY_MINUTES, days)[:n]
    bars = np.zeros(n, BAR_DTYPE)
    bars["orig_time"] = date_col * 1000000 + (minute // 60) * 10000 + (minute % 60) * 100
    bars["trading_date"] = date_col
    rng = np.random.default_rng(seed)
    close = np.round((4000 + np.cumsum(rng.normal(0, 2, n))) * 5) / 5
    opened = np.round((close + rng.normal(0, 1, n)) * 5) / 5
    bars["close_price"], bars["open_price"] = close, opened
    bars["high_price"] = np.maximum(close, opened) + np.round(rng.exponential(1, n) * 5) / 5
    bars["low_price"] = np.minimum(close, opened) - np.round(rng.exponential(1, n) * 5) / 5
    bars["high_limited"], bars["low_limited"] = close * 1.1, close * 0.9
    bars["volume"] = rng.integers(1, 500, n)
    bars["total_turnover"] = bars["volume"] * close * 10
    bars["open_interest"] = 100000 + np.cumsum(rng.integers(-50, 51, n))
    for f in ("settlement", "prev_settlement", "basis_spread", "acc_net_value", "unit_net_value",
              "discount_rate"):
        bars[f] = np.round(close * rng.uniform(0.99, 1.01, n), 1)
    return bars


# ---------------------------------------------------------------- timing

def median_ms(fn, budget=0.3, repeat=None):
    """Median of single calls, ~`budget` seconds of samples (at least 5)."""
    fn()
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    number = max(1, int(0.01 / max(once, 1e-7)))
    repeat = repeat or max(5, min(25, int(budget / max(once * number, 1e-7))))
    return median_seconds(fn, repeat=repeat, number=number) * 1e3


@contextlib.contextmanager
def numpy_steps():
    os.environ["MORVEL_BARMILL_PLAIN"] = "1"
    try:
        yield
    finally:
        del os.environ["MORVEL_BARMILL_PLAIN"]


def both(fn, budget=0.3):
    fused = median_ms(fn, budget)
    with numpy_steps():
        plain = median_ms(fn, budget)
    return fused, plain


@contextlib.contextmanager
def ordinals_given(minutes):
    """to_minutes replaced by a function handing back precomputed ordinals."""
    old = barmill.to_minutes
    barmill.to_minutes = lambda _column: minutes
    try:
        yield
    finally:
        barmill.to_minutes = old


def read_pass(bars):
    return lambda: bars.view(np.uint32).max()


# ---------------------------------------------------------------- other libraries

AGG_NAMES = {"first": "first", "last": "last", np.maximum: "max", np.minimum: "min", np.add: "sum"}


def pandas_cases(bars):
    import pandas as pd
    aggs = {f: AGG_NAMES[barmill.FIELD_AGG_FUNCTIONS[f]] for f in FIELDS}

    def convert():
        df = pd.DataFrame(bars)
        df.index = pd.to_datetime(df["orig_time"].astype(str), format="%Y%m%d%H%M%S")
        return df

    df = convert()
    n = len(bars)
    return convert, {
        "count": lambda r: lambda: df.groupby(np.arange(n) // r, sort=False).agg(aggs),
        "minute": lambda r: lambda: df.resample(f"{r}min").agg(aggs),
    }


def polars_cases(bars):
    import polars as pl
    exprs = [getattr(pl.col(f), AGG_NAMES[barmill.FIELD_AGG_FUNCTIONS[f]])() for f in FIELDS]

    def convert():
        df = pl.from_numpy(bars)
        return df.with_columns(
            pl.col("orig_time").cast(pl.Utf8).str.strptime(pl.Datetime, "%Y%m%d%H%M%S").alias("t"),
            pl.int_range(pl.len(), dtype=pl.Int64).alias("i"))

    df = convert()
    return convert, {
        "count": lambda r: lambda: df.group_by(pl.col("i") // r, maintain_order=True).agg(exprs),
        "minute": lambda r: lambda: df.group_by_dynamic("t", every=f"{r}m").agg(exprs),
    }


# ---------------------------------------------------------------- threads

def resample_each(chunk, rounds):
    for _ in range(rounds):
        for b in chunk:
            barmill.resample_bars(INDEX_FUTURE, b, None, 5, True)


def hash_each(chunk, rounds):
    """Calibration: CPU work that runs without the interpreter lock."""
    for _ in range(rounds):
        for b in chunk:
            hashlib.sha256(b).digest()


def instruments_throughput(step=resample_each, count=16, n=10_000, rounds=10, trials=5):
    """Seconds for `rounds` passes over `count` instruments on one thread, and
    split over two."""
    inputs = [futures_bars(n, seed=i) for i in range(count)]
    if step is hash_each:
        inputs = [b.tobytes()[: len(b.tobytes()) // 8] for b in inputs]

    def work(chunk):
        step(chunk, rounds)

    def one():
        work(inputs)

    def two():
        threads = [threading.Thread(target=work, args=(inputs[i::2],)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one(), two()
    solo = statistics.median(timed(one) for _ in range(trials))
    pair = statistics.median(timed(two) for _ in range(trials))
    return solo, pair


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def counting_rate(seconds=None, until=None):
    """Loop iterations per second of a Python counting loop on its own thread."""
    state = {"count": 0, "stop": False}

    def count():
        c = 0
        while not state["stop"]:
            c += 1
        state["count"] = c

    t = threading.Thread(target=count)
    start = time.perf_counter()
    t.start()
    if until is None:
        time.sleep(seconds)
    else:
        until()
    state["stop"] = True
    t.join()
    return state["count"] / (time.perf_counter() - start)


def counter_share(bars, trials=5, calibrate=False):
    """The counting thread's rate while 1M bars resample, against its rate
    alone; with `calibrate`, while as much lock-free hashing runs instead."""
    data = bars.tobytes()[: bars.nbytes // 8]

    def resample_some():
        for _ in range(20):
            if calibrate:
                hashlib.sha256(data).digest()
            else:
                barmill.resample_bars(INDEX_FUTURE, bars, None, 5, True)

    shares = []
    for _ in range(trials):  # alone before and after, against drifts of the machine
        before = counting_rate(seconds=0.2)
        busy = counting_rate(until=resample_some)
        after = counting_rate(seconds=0.2)
        shares.append(2 * busy / (before + after))
    return statistics.median(shares)


# ---------------------------------------------------------------- report

def table(title, header, rows):
    print(f"\n{title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


def ms(x):
    return f"{x:,.3f}" if x < 1 else f"{x:,.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer sizes, for a smoke run")
    parser.add_argument("--plot", default=os.path.join(os.path.dirname(__file__), "barmill.png"))
    args = parser.parse_args()
    sizes = [240, 10_000] if args.quick else [240, 10_000, 100_000, 1_000_000]
    steps = [5, 60] if args.quick else [5, 15, 60]

    rows, module_vs = [], {}
    for n in sizes:
        bars = futures_bars(n)
        budget = 0.2 if n < 1_000_000 else 1.0
        for path, inst in (("count", INDEX_FUTURE), ("minute", FUTURE)):
            for r in steps:
                for include_last in (True, False):
                    f, p = both(lambda: barmill.resample_bars(inst, bars, None, r, include_last), budget)
                    module_vs[(n, path, r, include_last)] = (f, p)
                    rows.append([f"{n:,}", path, str(r), str(include_last), ms(f), ms(p), f"{p / f:.1f}"])
    table("resample_bars, all 17 fields: this module against the numpy steps (median ms per call)",
          ["bars", "path", "r", "include_last", "module", "numpy steps", "numpy / module"], rows)

    n = sizes[-1]
    bars = futures_bars(n)
    floor = median_ms(read_pass(bars), 1.0)
    host = median_ms(lambda: to_minutes(bars["orig_time"]), 1.0)
    minutes = to_minutes(bars["orig_time"])
    with ordinals_given(minutes):
        given = {r: both(lambda: barmill.resample_bars(FUTURE, bars, None, r, True), 1.0) for r in steps}
    others = {}
    for lib, make in (("pandas", pandas_cases), ("polars", polars_cases)):
        try:
            convert, cases = make(bars)
        except ImportError:
            print(f"\n({lib} is not installed: pip install -c requirements.txt pandas polars matplotlib)")
            continue
        others[(lib, "conversion")] = median_ms(convert, 1.0, repeat=5)
        for path in ("count", "minute"):
            for r in steps:
                others[(lib, path, r)] = median_ms(cases[path](r), 1.0, repeat=5)

    rows = [["read pass (max over a uint32 view)", ms(floor), "1.0"],
            ["host to_minutes alone", ms(host), f"{host / floor:.1f}"]]
    for r in steps:
        for path in ("count", "minute"):
            f, p = module_vs[(n, path, r, True)]
            rows.append([f"{path}, r={r}: module", ms(f), f"{f / floor:.1f}"])
            rows.append([f"{path}, r={r}: numpy steps", ms(p), f"{p / floor:.1f}"])
        f, p = given[r]
        rows.append([f"minute, r={r}, ordinals given: module", ms(f), f"{f / floor:.1f}"])
        rows.append([f"minute, r={r}, ordinals given: numpy steps", ms(p), f"{p / floor:.1f}"])
        for lib in ("pandas", "polars"):
            for path, what in (("count", "group by bar count"), ("minute", "by time")):
                if (lib, path, r) in others:
                    rows.append([f"{lib} {what}, r={r}", ms(others[(lib, path, r)]),
                                 f"{others[(lib, path, r)] / floor:.1f}"])
    for lib in ("pandas", "polars"):
        if (lib, "conversion") in others:
            rows.append([f"{lib}: conversion from the bar array (not in the rows above)",
                         ms(others[(lib, "conversion")]), f"{others[(lib, 'conversion')] / floor:.1f}"])
    table(f"{n:,} bars, include_last True (median ms; last column in read passes)",
          ["case", "ms", "read passes"], rows)

    solo, pair = instruments_throughput()
    hash_solo, hash_pair = instruments_throughput(hash_each)
    fused_share = counter_share(bars)
    with numpy_steps():
        plain_share = counter_share(bars)
    free_share = counter_share(bars, calibrate=True)
    table("Threads (the calibration rows show what this machine gives lock-free work now)",
          ["case", "figure"], [
        ["16 instruments x 10,000 bars, count r=5, 10 rounds: 1 thread (ms)", ms(solo * 1e3)],
        ["the same on 2 threads (ms)", ms(pair * 1e3)],
        ["throughput, 2 threads / 1", f"{solo / pair:.2f}"],
        ["calibration: sha256 of 16 buffers, 2 threads / 1", f"{hash_solo / hash_pair:.2f}"],
        [f"counting thread's rate while {n:,} bars resample / alone: module", f"{fused_share:.2f}"],
        ["the same: numpy steps", f"{plain_share:.2f}"],
        ["calibration: the same while sha256 runs", f"{free_share:.2f}"],
    ])

    f5, p5 = module_vs[(n, "count", 5, True)]
    f60, p60 = module_vs[(n, "count", steps[-1], True)]
    g5 = given[5]
    m5 = module_vs[(n, "minute", 5, True)]
    s5 = module_vs[(240, "count", 5, True)]
    checks = [
        ("count r=5: numpy steps / module >= 10", p5 / f5, 10),
        (f"count r={steps[-1]}: numpy steps / module >= 3", p60 / f60, 3),
        ("count r=5: read passes <= 1.5", f5 / floor, -1.5),
        ("minute r=5, ordinals given: numpy steps / module >= 7", g5[1] / g5[0], 7),
        ("minute r=5, ordinals given: read passes <= 3", g5[0] / floor, -3),
        ("minute r=5, host to_minutes: numpy steps / module >= 2", m5[1] / m5[0], 2),
        ("240 bars count r=5: numpy steps / module >= 5", s5[1] / s5[0], 5),
        ("counting thread keeps >= 0.75 of its rate", fused_share, 0.75),
        ("2 threads / 1 on 16 instruments >= 1.5", solo / pair, 1.5),
    ]
    for lib, bound in (("pandas", 20), ("polars", 5)):
        for path, what in (("minute", "by time"), ("count", "group by bar count")):
            if (lib, path, 5) in others:
                checks.append((f"{lib} {what}, r=5 / module count r=5 >= {bound}",
                               others[(lib, path, 5)] / f5, bound))
    table("Targets", ["target", "measured", "met"],
          [[name, f"{value:.2f}", "yes" if (value >= bound if bound > 0 else value <= -bound) else "NO"]
           for name, value, bound in checks])

    plot(args.plot, n, steps, module_vs, given, others, floor)


def plot(filename, n, steps, module_vs, given, others, floor):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(matplotlib is not installed: no plot)")
        return
    series = [("module", lambda path, r: module_vs[(n, path, r, True)][0]),
              ("numpy steps", lambda path, r: module_vs[(n, path, r, True)][1]),
              ("pandas", lambda path, r: others.get(("pandas", path, r))),
              ("polars", lambda path, r: others.get(("polars", path, r)))]
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    width = 0.8 / len(series)
    for ax, (path, title) in zip(axes, (("count", "by bar count"), ("minute", "minute grid")), strict=True):
        x = np.arange(len(steps))
        for i, (label, get) in enumerate(series):
            values = [get(path, r) or np.nan for r in steps]
            ax.bar(x + (i - len(series) / 2 + 0.5) * width, values, width, label=label)
        if path == "minute":
            ax.plot(x, [given[r][0] for r in steps], "k^", label="module, ordinals given")
        ax.axhline(floor, color="grey", linestyle="--", label="read pass")
        ax.set_xticks(x, [f"r={r}" for r in steps])
        ax.set_yscale("log")
        ax.set_title(f"{n:,} bars, 17 fields, {title}")
    axes[0].set_ylabel("median ms per call (log)")
    axes[1].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(filename, dpi=100)
    print(f"\nplot: {filename}")


if __name__ == "__main__":
    main()
