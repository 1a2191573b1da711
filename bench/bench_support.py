"""Benchmark: the native support layer against the same code written in Python, twice.

    .venv/bin/python bench/bench_support.py [--n 100000] [--repeat 7]

Needs the self-test module (build with ``-C cmake.define.TESSALY_SELFTEST=ON``).

(a) Coroutines: ``await trivial(i)`` N times in a loop inside one asyncio coroutine,
    ``trivial`` being the native coroutine function or ``async def trivial(v=None):
    return v``; also with ``await trivial()`` (the value None, which needs no
    StopIteration), and as ``asyncio.gather`` of batches of 1,000 (every coroutine then
    runs in a task).
(b) Calls: ``add(a, b)`` (positional), ``echo(1, b=2)`` (keywords, **kwargs) and
    ``schedule(1, 2, 3, client=4)`` (keyword-only parameters, one given and two left to
    their defaults) N times, native against the equivalent Python function.

Two plain-Python baselines: "literal", the Python functions above, and "fast", the
fastest plain-Python form of the same call we found: ``operator.add`` for ``add``; for
``trivial`` and ``echo`` no faster form exists than the literal one (a ``types.coroutine``
generator and an already finished ``asyncio.Future`` were measured slower for the awaits,
and a finished future in ``gather`` skips the task that every coroutine gets, which is not
the same steps), so there the fast baseline is the literal function itself, timed again.

Wall time with ``time.perf_counter``: min, median and max of --repeat runs, the sides
interleaved, the loop overhead included on every side alike. Speed-ups are baseline time /
native time of the same round, with their min, median and max; "gain" only where native
is faster in every round. Targets, judged on the median: an await of the native coroutine
takes at most 1.15 times as long as one of ``async def`` when a value comes back (speed-up
at least 1/1.15) and at most 1.05 times without one; gather and the calls are no slower
than Python (speed-up at least 1.0). The exit status is 1 when a line misses its target
against the fast baseline.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import operator
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _common import interleaved, report, run_count  # noqa: E402

try:
    import tessaly._support_selftest as native
except ImportError:
    sys.exit("bench_support: build with -C cmake.define.TESSALY_SELFTEST=ON first")


async def py_trivial(value=None):
    return value


def py_add(a, b):
    return a + b


def py_echo(a, b=None, c=[], **kwargs):  # noqa: B006 - the shared default is the point
    return (a, b, c, kwargs)


def py_schedule(
    configuration, data, metrics, api_client=None, metric_groups=[],  # noqa: B006
    *, partition_rows=50000, client=None, progress=False, **kwargs,
):
    return (configuration, data, metrics, api_client, metric_groups, partition_rows, client, progress, kwargs)


# ---- workloads: each returns the seconds its timed part took -------------------------------


def await_values(trivial, n):
    async def main():
        start = time.perf_counter()
        for i in range(n):
            await trivial(i)
        return time.perf_counter() - start

    return asyncio.run(main())


def await_none(trivial, n):
    async def main():
        start = time.perf_counter()
        for _ in range(n):
            await trivial()
        return time.perf_counter() - start

    return asyncio.run(main())


def gather_batches(trivial, n, batch=1000):
    async def main():
        start = time.perf_counter()
        for first in range(0, n, batch):
            await asyncio.gather(*[trivial(i) for i in range(first, min(first + batch, n))])
        return time.perf_counter() - start

    return asyncio.run(main())


def call_positional(add, n):
    start = time.perf_counter()
    for i in range(n):
        add(i, 2)
    return time.perf_counter() - start


def call_keywords(echo, n):
    start = time.perf_counter()
    for _ in range(n):
        echo(1, b=2)
    return time.perf_counter() - start


def call_keyword_only(schedule, n):
    start = time.perf_counter()
    for _ in range(n):
        schedule(1, 2, 3, client=4)
    return time.perf_counter() - start


# the fast forms: the fastest plain-Python equivalents found (see the module's description)
fast_trivial = py_trivial
fast_add = operator.add
fast_echo = py_echo
fast_schedule = py_schedule

CASES = [
    # (name, workload, native, literal, fast, divisor of n, target speed-up)
    ("await trivial(i)", await_values, native.trivial, py_trivial, fast_trivial, 1, 1 / 1.15),
    ("await trivial()", await_none, native.trivial, py_trivial, fast_trivial, 1, 1 / 1.05),
    ("gather, batches of 1000", gather_batches, native.trivial, py_trivial, fast_trivial, 10, 1.0),
    ("add(i, 2)", call_positional, native.add, py_add, fast_add, 1, 1.0),
    ("echo(1, b=2)", call_keywords, native.echo, py_echo, fast_echo, 1, 1.0),
    ("schedule(1, 2, 3, client=4)", call_keyword_only, native.schedule, py_schedule, fast_schedule, 1, 1.0),
]


def check_equivalence():
    for trivial in (py_trivial, fast_trivial):
        assert asyncio.run(native.trivial(3)) == asyncio.run(trivial(3)) == 3
        assert asyncio.run(native.trivial()) is asyncio.run(trivial()) is None
    for add in (py_add, fast_add):
        assert native.add(2, 3) == add(2, 3) == 5
        assert native.add("a", "b") == add("a", "b") == "ab"
    for echo in (py_echo, fast_echo):
        assert native.echo(1, b=2) == echo(1, b=2)
        assert native.echo(1, 2, [3], d=4) == echo(1, 2, [3], d=4)
    for schedule in (py_schedule, fast_schedule):
        assert native.schedule(1, 2, 3, client=4) == schedule(1, 2, 3, client=4)


def run_once(workload, f, n):
    gc.collect()
    return workload(f, n)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=100_000, help="operations per timed run")
    parser.add_argument("--repeat", type=run_count, default=7, help="timed runs per side (at least 3)")
    args = parser.parse_args(argv)
    check_equivalence()

    print(f"bench_support: n={args.n:,}, {args.repeat} runs, Python {sys.version.split()[0]}; "
          f"load average {os.getloadavg()[0]:.2f}")
    print("equivalence: native, literal and fast give the same values")
    steps = []
    ops = {}
    targets = {}
    for name, workload, native_f, literal_f, fast_f, divisor, target in CASES:
        n = max(args.n // divisor, 1)
        times = interleaved(
            {label: (lambda f=f: run_once(workload, f, n))
             for label, f in (("native", native_f), ("literal", literal_f), ("fast", fast_f))},
            args.repeat,
        )
        label = name + (f" (n/{divisor})" if divisor > 1 else "")
        steps.append((label, times))
        ops[label] = n
        targets[label] = target
    figures = report("native against plain Python, one timed loop of n operations (n/10 for gather)", steps,
                     per=ops, unit="op", targets=targets)
    failed = sum(figures[label]["fast"][1] < targets[label] for label in figures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
