"""Benchmark: native metrics runner against two plain-Python baselines.

    .venv/bin/python bench/bench_metrics_runner.py [--rows 100000] [--repeat 9]
        [--small-rows 5] [--small-repeat 200]

Runs ``_evaluate_metrics`` and ``_evaluate_metrics_async`` of
``tessaly.evaluators.impl.metrics_runner`` (native), of ``bench/baseline_metrics_runner.py``
(the literal plain-Python baseline: ``str(uuid.uuid4())`` per row) and of
``bench/fast_baseline_metrics_runner.py`` (the fast one: one ``os.urandom`` call spelled
into all the identifiers at once) over one table (input, output and context text columns, no record-identifier column, so
every call fills one UUID per row) with 20 trivial metrics, three of which depend on
others. The metrics return a constant and never look at the table, so what is measured
is the runner itself: preparation of the table, ordering, calls, tracking, assembly.

Wall time: min, median and max of N runs, the sides interleaved; each run gets a fresh
deep copy of the table, made before the clock starts. Speed-ups are baseline time / native
time of the same round, with their min, median and max; "gain" only where native is faster
than the baseline in every round. Peak memory: a separate run per side under tracemalloc,
peak of what the call allocates. Every side is first checked against native to give the
same results in the same order and to fill the table the same way (same columns and
dtypes, identifiers unique version-4 UUID texts).

At 100,000 rows filling the identifiers is most of a call, so a second, tiny table shows
the runner's own cost per call on its own.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import gc
import os
import re
import sys
import time
import tracemalloc
import types
import uuid

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline_metrics_runner as baseline  # noqa: E402
import fast_baseline_metrics_runner as fast  # noqa: E402
from _common import interleaved, report, run_count  # noqa: E402
from tessaly.config import GenAIConfiguration  # noqa: E402
from tessaly.evaluators.impl import metrics_runner as native  # noqa: E402

SIDES = (("native", native), ("literal", baseline), ("fast", fast))
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


# ---- workload ---------------------------------------------------------------------------------


class TrivialMetric:
    """A metric that answers with a constant and ignores the table."""

    def __init__(self, name, metric_dependencies=()):
        self.name = name
        self.metric_dependencies = list(metric_dependencies)
        self.result = types.SimpleNamespace(name=name, value=0.5)

    def evaluate(self, **kw):
        return self.result

    async def evaluate_async(self, **kw):
        return self.result


class RecordingMetric(TrivialMetric):
    """For the equivalence check only: notes what each call received."""

    def __init__(self, name, metric_dependencies=(), log=None):
        super().__init__(name, metric_dependencies)
        self.log = log

    def _note(self, kw):
        data = kw["data"]
        self.log.append(
            (
                self.name,
                tuple(sorted(kw)),
                len(kw.get("metrics_result") or ()),
                str(data["generated_text"].dtype),
                tuple(data.columns),
            )
        )

    def evaluate(self, **kw):
        self._note(kw)
        return self.result

    async def evaluate_async(self, **kw):
        self._note(kw)
        return self.result


def make_metrics(cls=TrivialMetric, **extra):
    """20 metrics: 17 independent, 3 depending on some of those (all requested)."""
    plain = [cls(f"metric_{i:02d}", **extra) for i in range(17)]
    dependent = [
        cls("dependent_a", [plain[0], plain[1]], **extra),
        cls("dependent_b", [plain[2], plain[3]], **extra),
        cls("dependent_c", [plain[4]], **extra),
    ]
    return plain + dependent


def make_table(rows):
    topics = ["billing", "shipping", "returns", "warranty", "accounts", "privacy", "pricing"]
    return pd.DataFrame(
        {
            "input_text": [f"Question {i}: how do I handle {topics[i % 7]} for order {i * 7919}?" for i in range(rows)],
            "generated_text": [
                f"Answer {i}: for {topics[i % 7]}, open the order page and follow step {i % 13}." for i in range(rows)
            ],
            "context": [
                f"Context {i}: the {topics[i % 7]} policy, section {i % 101}, applies to order {i * 7919}."
                for i in range(rows)
            ],
        }
    )


CONFIGURATION = GenAIConfiguration(
    input_fields=["input_text"], output_fields=["generated_text"], context_fields=["context"]
)


# ---- running one call -------------------------------------------------------------------------


def call_sync(module, table, metrics):
    return module._evaluate_metrics(CONFIGURATION, table, metrics)


async def _call_async_timed(module, table, metrics):
    start = time.perf_counter()
    result = await module._evaluate_metrics_async(CONFIGURATION, table, metrics)
    return time.perf_counter() - start, result


def call_async(runner, module, table, metrics):
    return runner.run(_call_async_timed(module, table, metrics))[1]


def time_once(entry, runner, module, base, metrics):
    table = base.copy(deep=True)
    gc.collect()
    if entry == "sync":
        start = time.perf_counter()
        call_sync(module, table, metrics)
        return time.perf_counter() - start
    # The loop is already up; only the await of the entry's coroutine is timed.
    return runner.run(_call_async_timed(module, table, metrics))[0]


def memory_once(entry, runner, module, base, metrics):
    """(peak, retained) bytes allocated by one call, under tracemalloc."""
    table = base.copy(deep=True)
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    if entry == "sync":
        result = call_sync(module, table, metrics)
    else:
        result = call_async(runner, module, table, metrics)
    del result
    gc.collect()
    retained, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak, retained


# ---- equivalence ------------------------------------------------------------------------------


def check_equivalence(runner, base):
    for entry in ("sync", "async"):
        seen = {}
        for side, module in SIDES:
            log = []
            metrics = make_metrics(RecordingMetric, log=log)
            table = base.copy(deep=True)
            if entry == "sync":
                result = call_sync(module, table, metrics)
            else:
                result = call_async(runner, module, table, metrics)
            names = [r.name for r in result.metrics_result]
            ids = table["record_id"]
            stamps = table["record_timestamp"]
            assert len(ids) == len(base) and ids.is_unique, (side, entry)
            assert all(UUID4.fullmatch(v) for v in ids.head(1000)), (side, entry)
            assert stamps.nunique() == 1, (side, entry)
            seen[side] = (names, log, list(table.columns), [str(d) for d in table.dtypes])
        n_names, n_log, n_cols, n_dtypes = seen["native"]
        assert len(n_names) == 20, (entry, len(n_names))
        for side in ("literal", "fast"):
            b_names, b_log, b_cols, b_dtypes = seen[side]
            assert n_names == b_names, (entry, side, n_names, b_names)
            assert n_log == b_log, (entry, side, n_log, b_log)
            assert n_cols == b_cols, (entry, side, n_cols, b_cols)
            assert n_dtypes == b_dtypes, (entry, side, n_dtypes, b_dtypes)
        print(f"  {entry:5s}: {len(n_names)} results on every side (native, literal, fast), same order; "
              f"calls, keywords, table columns and dtypes identical")
        print(f"         order: {', '.join(n_names[:6])}, ... , {', '.join(n_names[-3:])}")


# ---- memory breakdown -------------------------------------------------------------------------


def traced_peak(step, table):
    """Peak bytes that ``step(table)`` allocates, under tracemalloc."""
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    kept = step(table)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del kept
    return peak


def shares_data(a, b):
    """Whether two columns use the same storage."""
    if a.array is b.array:
        return True
    try:
        return np.shares_memory(np.asarray(a.array._ndarray), np.asarray(b.array._ndarray))
    except AttributeError:
        return False


def memory_breakdown(base):
    """What the steps that allocate in proportion to the table cost on their own."""
    rows = len(base)
    out = {}
    out["identifier texts and their list (uuid4 per row)"] = traced_peak(
        lambda t: [str(uuid.uuid4()) for _ in range(rows)], base
    )
    out["identifier texts and their list (fast form)"] = traced_peak(lambda t: fast.uuid4_texts(rows), base)
    ids = [str(uuid.uuid4()) for _ in range(rows)]

    def assign_ids(t):
        t[CONFIGURATION.record_id_field] = ids

    out["assigning that list as a column (pandas conversion)"] = traced_peak(assign_ids, base.copy(deep=True))

    def assign_stamp(t):
        t[CONFIGURATION.record_timestamp_field] = datetime.datetime.now().isoformat()

    out["timestamp column (one shared text)"] = traced_peak(assign_stamp, base.copy(deep=True))
    filled = base.copy(deep=True)
    native.__dict__["__populate_record_id_timestamp"](CONFIGURATION, filled)
    as_text = {f: str for f in CONFIGURATION.output_fields}
    out["astype(str) of the output column"] = traced_peak(lambda t: t.astype(as_text), filled)
    converted = filled.astype(as_text)
    shared = all(shares_data(converted[c], filled[c]) for c in filled.columns)
    id_bytes = int(filled[CONFIGURATION.record_id_field].memory_usage(deep=True, index=False))
    return out, shared, id_bytes


# ---- main -------------------------------------------------------------------------------------


def mib(n):
    return n / (1 << 20)


def timings(runner, base, metrics, repeat):
    """{entry: {side: [seconds per round]}}, the sides interleaved."""
    return {
        entry: interleaved(
            {side: (lambda e=entry, m=module: time_once(e, runner, m, base, metrics)) for side, module in SIDES},
            repeat,
        )
        for entry in ("sync", "async")
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=run_count, default=9, help="timed runs per side and entry (at least 3)")
    parser.add_argument("--small-rows", type=int, default=5, help="rows of the table that shows the runner's own cost")
    parser.add_argument("--small-repeat", type=run_count, default=200)
    args = parser.parse_args()

    base = make_table(args.rows)
    small = make_table(args.small_rows)
    table_bytes = int(base.memory_usage(deep=True).sum())
    metrics = make_metrics()
    print(f"pandas {pd.__version__}, Python {sys.version.split()[0]}, {args.rows} rows, "
          f"{len(metrics)} metrics (3 with dependencies), table {mib(table_bytes):.2f} MiB "
          f"(memory_usage(deep=True)); load average {os.getloadavg()[0]:.2f}")

    with asyncio.Runner() as runner:
        print("equivalence:")
        check_equivalence(runner, base)

        # Warm up both sides (default API client, imports, caches).
        for _, module in SIDES:
            call_sync(module, small.copy(), metrics)
            call_async(runner, module, small.copy(), metrics)

        times = timings(runner, base, metrics, args.repeat)
        small_times = timings(runner, small, metrics, args.small_repeat)

        memory = {}
        for entry in ("sync", "async"):
            for side, module in SIDES:
                memory[(entry, side)] = memory_once(entry, runner, module, base, metrics)

    parts, shared, id_bytes = memory_breakdown(base)

    report(f"{args.rows} rows, wall time of one call", [(entry, times[entry]) for entry in ("sync", "async")],
           per=args.rows)
    print()
    print("peak = tracemalloc peak of one call (a separate run), kept = what it still holds afterwards")
    print(f"{'entry':6s} {'side':9s} {'peak MiB':>9s} {'peak/table':>10s} {'kept MiB':>9s} {'peak/native':>12s}")
    for entry in ("sync", "async"):
        for side, _ in SIDES:
            peak, retained = memory[(entry, side)]
            print(f"{entry:6s} {side:9s} {mib(peak):9.2f} {peak / table_bytes:10.2f} {mib(retained):9.2f} "
                  f"{peak / memory[(entry, 'native')][0]:12.2f}")

    report(f"{args.small_rows} rows (the runner's own cost: ordering, calls, tracking, assembly)",
           [(entry, small_times[entry]) for entry in ("sync", "async")], per=1, unit="call")

    print()
    print("peak memory, step by step (same calls as the runner makes, measured alone):")
    for label, size in parts.items():
        print(f"  {label:55s} {mib(size):7.2f} MiB")
    print(f"  the identifier column kept in the caller's table: {mib(id_bytes):.2f} MiB")
    print(f"  astype(str) gives a new table object; its columns share the input's data: {shared}")
    print("  no side copies the input table: the peak is the identifier list and pandas'")
    print("  conversion of it, well under the table's own size.")


if __name__ == "__main__":
    main()
