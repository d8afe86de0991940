"""The second half of the main job: `resample_bars` on realistic synthetic
futures minute bars, through both paths, and a tagged JSON round trip of an
order log, each with its timing.

    .venv/bin/python scripts/demo.py
"""
import datetime
import math
import statistics
import time
import types

import numpy as np

from morvel.ostra import const
from morvel.ostra.mod.mod_quant_data.data_sources.barmill import resample_bars
from morvel.ostra.utils.zr_json import convert_dict_to_json, convert_json_to_dict

BAR_TYPE = np.dtype([
    ("orig_time", "i8"), ("open_price", "f8"), ("close_price", "f8"), ("high_price", "f8"),
    ("low_price", "f8"), ("high_limited", "f8"), ("low_limited", "f8"),
    ("total_turnover", "f8"), ("volume", "f8"), ("open_interest", "f8"),
    ("prev_settlement", "f8"), ("trading_date", "i8"),
])

# (name, exchange, first price, price tick, contract multiplier, daily limit,
# trading sessions as (start, end) in minutes since midnight; a session that
# starts in the evening belongs to the next trading day).
CONTRACTS = [
    ("rebar", "SHFE", 3600.0, 1.0, 10, 0.07,
     [(21 * 60, 23 * 60), (9 * 60, 10 * 60 + 15), (10 * 60 + 30, 11 * 60 + 30),
      (13 * 60 + 30, 15 * 60)]),
    ("index future", "CFFEX", 3500.0, 0.2, 300, 0.10,
     [(9 * 60 + 30, 11 * 60 + 30), (13 * 60, 15 * 60)]),
]


def trading_days(first, count):
    """`count` weekdays from `first` on (holidays are not modelled)."""
    days, day = [], first
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += datetime.timedelta(days=1)
    return days


def stamps(days, sessions):
    """orig_time (YYYYMMDDHHMMSS, each bar stamped at its closing minute) and
    trading_date of every minute bar, in time order."""
    times, dates = [], []
    for i, day in enumerate(days):
        evening_of = days[i - 1] if i else day - datetime.timedelta(days=3 if day.weekday() == 0
                                                                   else 1)
        for start, end in sessions:
            calendar = evening_of if start >= 18 * 60 else day
            minute = np.arange(start + 1, end + 1)
            ymd = calendar.year * 10000 + calendar.month * 100 + calendar.day
            times.append(ymd * 1000000 + (minute // 60) * 10000 + (minute % 60) * 100)
            dates.append(np.full(len(minute), day.year * 10000 + day.month * 100 + day.day))
    return np.concatenate(times), np.concatenate(dates)


def make_bars(contract, days, seed):
    _, _, price0, tick, multiplier, limit, sessions = contract
    orig_time, trading_date = stamps(days, sessions)
    n = len(orig_time)
    rng = np.random.default_rng(seed)
    bars = np.zeros(n, dtype=BAR_TYPE)
    bars["orig_time"], bars["trading_date"] = orig_time, trading_date
    close = np.round((price0 + np.cumsum(rng.normal(0, 2.5 * tick, n))) / tick) * tick
    open_ = np.concatenate([[price0], close[:-1]])
    wick = np.round(np.abs(rng.normal(0, 1.5 * tick, (2, n))) / tick) * tick
    bars["open_price"], bars["close_price"] = open_, close
    bars["high_price"] = np.maximum(open_, close) + wick[0]
    bars["low_price"] = np.minimum(open_, close) - wick[1]
    # Busier at the opens and closes of the sessions than in between.
    minute_of_day = (orig_time // 10000 % 100) * 60 + orig_time // 100 % 100
    busy = 1 + np.cos(minute_of_day / 1440 * 8 * math.pi) ** 2
    bars["volume"] = np.round(rng.gamma(2.0, 60 * busy))
    bars["total_turnover"] = bars["volume"] * (open_ + close) / 2 * multiplier
    bars["open_interest"] = np.round(150000 + np.cumsum(rng.normal(0, 40, n)))
    # The previous day's settlement, here its last close, and the limits it sets.
    day_index = np.searchsorted(np.unique(trading_date), trading_date)
    last_close = close[np.r_[np.flatnonzero(np.diff(day_index)), n - 1]]
    settlement = np.concatenate([[price0], last_close[:-1]])[day_index]
    bars["prev_settlement"] = settlement
    bars["high_limited"] = np.round(settlement * (1 + limit) / tick) * tick
    bars["low_limited"] = np.round(settlement * (1 - limit) / tick) * tick
    return bars


def median_ms(fn, repeat):
    runs = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs) * 1e3


def check(bars, coarse):
    """What any resampling keeps: volume and turnover summed, the first open, the
    last close, the extremes."""
    assert coarse["volume"].sum() == bars["volume"].sum()
    assert math.isclose(coarse["total_turnover"].sum(), bars["total_turnover"].sum())
    assert coarse["open_price"][0] == bars["open_price"][0]
    assert coarse["close_price"][-1] == bars["close_price"][-1]
    assert coarse["high_price"].max() == bars["high_price"].max()
    assert coarse["low_price"].min() == bars["low_price"].min()


def resampling():
    print("resample_bars on synthetic 1-minute futures bars (median time of repeated calls)")
    print(f"  {'contract':<22} {'path':<12} {'span':<9} {'bars':>7} {'into':>10}"
          f" {'result':>7} {'time':>10}")
    days = trading_days(datetime.date(2024, 1, 2), 244)
    for seed, contract in enumerate(CONTRACTS):
        name, exchange = contract[:2]
        instrument = types.SimpleNamespace(type="Future", exchange=exchange)
        grid = exchange not in ("CFFEX", "CCFX")
        for span, span_days, repeat in (("one day", days[:1], 200), ("one year", days, 7)):
            bars = make_bars(contract, span_days, seed)
            for r in (5, 60):
                coarse = resample_bars(instrument, bars, None, r)
                check(bars, coarse)
                ms = median_ms(lambda i=instrument, b=bars, r=r: resample_bars(i, b, None, r), repeat)
                unit = "minutes" if grid else "bars"
                print(f"  {name + ' (' + exchange + ')':<22} {'minute grid' if grid else 'count':<12}"
                      f" {span:<9} {len(bars):>7,} {f'{r} {unit}':>10} {len(coarse):>7,}"
                      f" {ms:>7.2f} ms")


def order_log(count):
    """A back-test's order log: datetimes, dates and enumeration members, and
    NaN for the average price of orders not filled."""
    rng = np.random.default_rng(7)
    start = datetime.datetime(2024, 1, 2, 9, 31)
    orders = []
    for i in range(count):
        at = start + datetime.timedelta(seconds=int(i * 37), microseconds=int(i % 1000) * 1000)
        filled = rng.random() < 0.8
        orders.append({
            "order_id": 1000000 + i,
            "order_book_id": "RB2405" if i % 2 else "IF2403",
            "datetime": at,
            "trading_date": at.date(),
            "side": const.SIDE.BUY if i % 3 else const.SIDE.SELL,
            "position_effect": const.POSITION_EFFECT.OPEN if i % 4 else const.POSITION_EFFECT.CLOSE,
            "price": round(3500 + float(rng.normal(0, 20)), 1),
            "quantity": int(rng.integers(1, 20)),
            "avg_price": round(3500 + float(rng.normal(0, 20)), 1) if filled else float("nan"),
        })
    return {"account": "demo", "orders": orders}


def tagged_json():
    log = order_log(10000)
    text = convert_dict_to_json(log)
    back = convert_json_to_dict(text)
    first = back["orders"][0]
    assert type(first["datetime"]) is datetime.datetime and first["side"] is const.SIDE.SELL
    assert convert_dict_to_json(back) == text  # NaN included: it comes back as a float NaN
    encode = median_ms(lambda: convert_dict_to_json(log), 7)
    decode = median_ms(lambda: convert_json_to_dict(text), 7)
    print("tagged JSON, an order log of 10,000 orders"
          f" ({len(text) / 1e6:.1f} MB of text):")
    print(f"  encode {encode:.1f} ms, decode {decode:.1f} ms; decoded and encoded again, the"
          " text is the same")
    unfilled = next(o for o in log["orders"] if math.isnan(o["avg_price"]))
    shown = {k: unfilled[k] for k in ("datetime", "trading_date", "side", "avg_price")}
    print("  an unfilled order, in part:", convert_dict_to_json(shown))


if __name__ == "__main__":
    resampling()
    print()
    tagged_json()
