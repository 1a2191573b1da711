"""Pieces the benchmarks share: result classes that cost nothing, swapping module globals
in every implementation, a strict equality check, a profile printout, and the timing and
reporting of native against two plain-Python baselines.

The two baselines: "literal" follows the module's described steps one by one, as first
written; "fast" is the fastest plain-Python form of the same steps we could write (same
results, checked before timing). A ratio shown is a speed-up, baseline time / native time
of the same round (the sides run interleaved), so above 1 means native is faster. Native
makes a *gain* over a baseline only when it is faster in every round; only a gain over the
fast baseline counts as one.
"""

from __future__ import annotations

import argparse
import cProfile
import gc
import io
import pstats
import statistics
import time
from contextlib import contextmanager


class PlainResult:
    """Keeps its keyword arguments, in order (a stand-in for a result entity that costs
    nothing to build, so that a figure shows the provider's own work)."""

    def __init__(self, **fields):
        self.__dict__ = fields


@contextmanager
def swapped_globals(modules, replacements: dict):
    """Sets the given globals in every module for the duration of the block."""
    saved = [(m, name, getattr(m, name)) for m in modules for name in replacements]
    try:
        for m in modules:
            for name, value in replacements.items():
                setattr(m, name, value)
        yield
    finally:
        for m, name, value in saved:
            setattr(m, name, value)


def same(a, b, path="result") -> None:
    """Raises AssertionError at the first difference of type, order or value."""
    if type(a) is not type(b):
        raise AssertionError(f"{path}: {type(a).__name__} != {type(b).__name__}")
    if isinstance(a, dict):
        if list(a) != list(b):
            raise AssertionError(f"{path}: keys {list(a)} != {list(b)}")
        for k in a:
            same(a[k], b[k], f"{path}[{k!r}]")
    elif isinstance(a, (list, tuple)):
        if len(a) != len(b):
            raise AssertionError(f"{path}: length {len(a)} != {len(b)}")
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{i}]")
    elif hasattr(a, "__dict__") and not isinstance(a, type):
        same(vars(a), vars(b), f"{path}.")
    elif a != b and not (a != a and b != b):  # NaN equals NaN here
        raise AssertionError(f"{path}: {a!r} != {b!r}")


def profile(title, fn, limit=16, max_chars=6000):
    """Runs fn under cProfile and prints the functions with the most own time."""
    profiler = cProfile.Profile()
    profiler.enable()
    fn()
    profiler.disable()
    stream = io.StringIO()
    pstats.Stats(profiler, stream=stream).strip_dirs().sort_stats("tottime").print_stats(limit)
    print(f"\n---- cProfile: {title} (by own time) ----")
    print("\n".join(line for line in stream.getvalue().splitlines() if line.strip())[:max_chars])


# ---- timing and reporting: native, literal baseline, fast baseline --------------------------------

SIDES3 = ("native", "literal", "fast")


def run_count(text: str) -> int:
    """An argparse type: a number of timed runs, at least three (min, median and max)."""
    n = int(text)
    if n < 3:
        raise argparse.ArgumentTypeError(f"at least 3 runs are needed for min, median and max, not {n}")
    return n


def timed(fn) -> float:
    """Seconds one call of fn takes, after a collection; the result is dropped after the clock stops."""
    gc.collect()
    t0 = time.perf_counter()
    out = fn()
    dt = time.perf_counter() - t0
    del out
    return dt


def interleaved(calls: dict, repeat: int) -> dict:
    """{label: [seconds per round]}: each call returns the seconds of one run (or a dict of
    seconds per step, see ``by_step``); every round runs each label once. The order changes
    from round to round, rotated and every other round reversed, so that no side always goes
    first nor always follows the same side (whose garbage or heap it might inherit)."""
    labels = list(calls)
    times = {label: [] for label in labels}
    for r in range(repeat):
        k = (r // 2) % len(labels)
        order = labels[k:] + labels[:k]
        if r % 2:
            order.reverse()
        for label in order:
            times[label].append(calls[label]())
    return times


def by_step(times: dict) -> dict:
    """{label: [{step: seconds}, ...]} (rounds of calls that time several steps) as
    {step: {label: [seconds, ...]}}."""
    steps = {}
    for label, rounds in times.items():
        for figures in rounds:
            for step, seconds in figures.items():
                steps.setdefault(step, {}).setdefault(label, []).append(seconds)
    return steps


def spread(values) -> tuple:
    """(min, median, max)."""
    return min(values), statistics.median(values), max(values)


def speedups(times: dict, baseline: str, native: str = "native") -> list:
    """Baseline time / native time, round by round."""
    return [b / n for n, b in zip(times[native], times[baseline])]


def gain_verdict(ratios) -> str:
    """'gain' when native was faster in every round, else how often it was not."""
    slower = sum(r <= 1.0 for r in ratios)
    if not slower:
        return "gain"
    return f"no gain (native not faster in {slower} of {len(ratios)} runs)"


def fmt_spread(values, scale=1.0, width=9, digits=1, suffix="") -> str:
    return "".join(f"{v * scale:{width}.{digits}f}{suffix}" for v in spread(values))


def report(title: str, steps: list, per: int, unit: str = "row", sides=SIDES3, targets=None) -> dict:
    """Prints one table: for each (step name, {side: [seconds per round]}) the min, median and max
    of every side in ms and the median per unit in µs (``per``: units per run, one number or a dict
    by step), then the speed-ups over each baseline
    (min, median, max) and whether native makes a gain over it. ``targets`` maps a step name to
    a speed-up the native side is meant to reach (judged on the median, over each baseline).
    Returns {step: {baseline: (min, median, max) speed-ups, ...}}."""
    targets = targets or {}
    rounds = len(next(iter(steps))[1][sides[0]]) if steps else 0
    print(f"\n== {title} ==  ({rounds} runs; ms min / median / max; speed-up = baseline time / native time)")
    header = f"{'step / side':<30}{'min':>10}{'median':>10}{'max':>10}{'µs/' + unit + ' (med)':>16}"
    print(header)
    print("-" * (len(header) + 40))
    out = {}
    for step, times in steps:
        print(step)
        for side in sides:
            med = statistics.median(times[side])
            count = per[step] if isinstance(per, dict) else per
            print(f"  {side:<28}{fmt_spread(times[side], 1e3, 10, 2)}{med / count * 1e6:16.3f}")
        out[step] = {}
        for baseline in sides[1:]:
            ratios = speedups(times, baseline, sides[0])
            out[step][baseline] = spread(ratios)
            verdict = gain_verdict(ratios)
            target = targets.get(step)
            if target is not None:
                met = statistics.median(ratios) >= target
                verdict += f"; target >= {target:.3g}x (median) {'met' if met else 'MISSED'}"
            print(f"  {'speed-up over ' + baseline:<28}{fmt_spread(ratios, 1, 9, 2, 'x')}      {verdict}")
    return out
