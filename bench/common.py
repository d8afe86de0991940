"""Timing helpers: medians over repeated runs, ratios against a baseline timed
in the same run (the machine is shared and noisy: read the ratios)."""
import statistics
import time


def median_seconds(fn, repeat=15, number=None):
    if number is None:  # aim for ~20 ms a sample
        number, start = 1, time.perf_counter()
        fn()
        once = time.perf_counter() - start
        number = max(1, int(0.02 / max(once, 1e-7)))
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - start) / number)
    return statistics.median(samples)


def table(title, rows, unit="µs"):
    """rows: (case, native seconds, baseline seconds); unit "µs" or "ns"."""
    scale = {"µs": 1e6, "ns": 1e9}[unit]
    print(f"\n{title}")
    print(f"| case | native ({unit}) | baseline ({unit}) | baseline / native |")
    print("|---|---:|---:|---:|")
    for case, native, base in rows:
        print(f"| {case} | {native * scale:,.1f} | {base * scale:,.1f} | {base / native:.2f} |")
