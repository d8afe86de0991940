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


def table(title, rows):
    """rows: (case, native seconds, baseline seconds)"""
    print(f"\n{title}")
    print("| case | native (µs) | baseline (µs) | baseline / native |")
    print("|---|---:|---:|---:|")
    for case, native, base in rows:
        print(f"| {case} | {native * 1e6:,.1f} | {base * 1e6:,.1f} | {base / native:.2f} |")
