"""Benchmark: the native support layer against the same code written in Python.

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

Wall time with ``time.perf_counter``: best of --repeat, the two sides interleaved, the
loop overhead included on both sides alike. The ratio is native / Python; the target is
at most 1.0 for each line.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import sys
import time

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


CASES = [
    ("await trivial(i)", await_values, native.trivial, py_trivial, 1),
    ("await trivial()", await_none, native.trivial, py_trivial, 1),
    ("gather, batches of 1000", gather_batches, native.trivial, py_trivial, 10),
    ("add(i, 2)", call_positional, native.add, py_add, 1),
    ("echo(1, b=2)", call_keywords, native.echo, py_echo, 1),
    ("schedule(1, 2, 3, client=4)", call_keyword_only, native.schedule, py_schedule, 1),
]


def check_equivalence():
    assert asyncio.run(native.trivial(3)) == asyncio.run(py_trivial(3)) == 3
    assert native.add(2, 3) == py_add(2, 3)
    assert native.echo(1, b=2) == py_echo(1, b=2)
    assert native.schedule(1, 2, 3, client=4) == py_schedule(1, 2, 3, client=4)


def best_of(workload, f, n, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        times.append(workload(f, n))
    return min(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=100_000, help="operations per timed run")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per side (best is kept)")
    args = parser.parse_args(argv)
    check_equivalence()

    print(f"bench_support: n={args.n:,}, best of {args.repeat}, Python {sys.version.split()[0]}")
    header = f"{'case':<30}{'native':>12}{'python':>12}{'native ns/op':>14}{'python ns/op':>14}{'ratio':>8}  target"
    print(header)
    print("-" * len(header))
    failed = 0
    for name, workload, native_f, python_f, divisor in CASES:
        n = max(args.n // divisor, 1)
        native_best = python_best = float("inf")
        for _ in range(args.repeat):  # interleaved, so both sides see the same machine load
            native_best = min(native_best, best_of(workload, native_f, n, 1))
            python_best = min(python_best, best_of(workload, python_f, n, 1))
        ratio = native_best / python_best
        ok = ratio <= 1.0
        failed += not ok
        print(
            f"{name + (f' (n/{divisor})' if divisor > 1 else ''):<30}"
            f"{native_best * 1e3:>10.2f}ms{python_best * 1e3:>10.2f}ms"
            f"{native_best / n * 1e9:>14.1f}{python_best / n * 1e9:>14.1f}{ratio:>8.2f}  <= 1.0 {'ok' if ok else 'MISSED'}"
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
