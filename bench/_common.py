"""Pieces the provider benchmarks share: result classes that cost nothing, swapping module
globals in both implementations, a strict equality check, and a profile printout."""

from __future__ import annotations

import cProfile
import io
import pstats
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
