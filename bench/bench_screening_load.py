"""Benchmark: the detection provider under load: records lost to the client's own timeout,
time against partitions, the memory of a pending record, and the event loop's lag.

    .venv/bin/python bench/bench_screening_load.py [--sections loss,partitions,pending,lag]
        [--repeat 3] [--cases 10000@50,40000@250,...] [--working-latency-ms 25]
        [--partition-records 80000] [--partition-rows 20000] [--pending-records 100000]
        [--lag-records 20000] [--diagnose]

At the defaults it takes about half an hour on two quiet cores (the loss table two thirds
of it; an hour at a load average of 4 to 9); --sections runs some of them, and every size
is an option. Every run is a fresh process of its own (so that its peak resident memory,
its heap and its collector are its own), and every run that talks to a service gets a
fresh canned responder (bench/canned_responder.py, a process of its own on 127.0.0.1), whose count of
answers and peak of requests held at once are the run's. The sides: native
(``tessaly.providers.screening_provider``), fast (bench/fast_baseline_screening_provider.py:
the fastest plain-Python form of the native provider's steps: turns per attempt sized from
the session's connector, given back before the back-off sleep, records started lazily,
results in order) and literal (bench/baseline_screening_provider.py: every record's
``send_with_retries`` gathered at once, the form that loses records). Each case runs every
side at least three times, interleaved (the order rotated and every other round reversed);
figures are min / median / max. Before any timing, the three sides are checked to give the
same results (``same``: types, keywords and values) on a small table.

1. loss: records lost (that came back with an error) against the table's size and the
   service's latency. aiohttp starts a request's total timeout (300 s by default) when the
   request is made, before it waits for one of the session's 100 connections; so with
   every record started at once, the later records of a large table time out in the
   client's own pool without ever reaching the service. To keep the runs short, every case
   runs at one working latency (``--working-latency-ms``, 25 ms) and stands for a real
   latency L (``--cases``: records@L in ms) through the total timeout, shortened through
   ``aiohttp.client.DEFAULT_TIMEOUT`` (which a session made without arguments reads when
   it is made) to 300 s x working latency / L, so that timeout / latency is that of the
   real default at L: 25 ms and 30 s stand for 250 ms and 300 s (1200), 150 s for 50 ms,
   7.5 s for 1000 ms. The other fields stay the default's (the 30 s for making a
   connection is not shortened: the client's own time before a connection is tried does
   not shrink either, so a shortened one would fail connections that the real default
   lets through), and the rounding of deadlines over 5 s up to a whole second is turned
   off (at 300 s it moves a deadline by 0.3 % at most; at 7.5 s it would by 13 %). The
   equivalence holds while the client keeps up
   with the service (the run takes about records x latency / 100 connections, printed as
   "latency-bound"); where the client's CPU is the bound, the shortened run loses more
   than the real one would (the client's own time per record does not shrink with the
   timeout), so a loss shown for the literal form is an upper bound. Besides, aiohttp's
   30 s for making a connection runs while the loop takes every record's first step: when
   those steps of an all-at-once table take longer (160,000 records on a busy machine),
   the literal form's first requests fail with "Connection timeout" before any answer, at
   any latency. Per case and side: lost records per run, the index of the first lost one
   in each run that lost any with the error of the earliest (aiohttp's TimeoutError has
   no text: the literal form shows ``''``, the others name its type), wall time, the
   client's CPU µs per record, memory per record as the peak RSS delta (VmHWM, reset just
   before the evaluation, less VmRSS then, over the records), the responder's peak of
   requests held at once and its answers. Targets: native loses no record and the service
   never holds more than 100 of its requests at once, in every run. Speed-ups (baseline
   wall / native wall of the same round) over fast, and over literal where it lost
   nothing. A summary gives the median records lost per case and side.

2. partitions: native ``_evaluate_metrics`` (hap) over the whole table (``--partition-
   records``) against ``_evaluate_metrics_partitioned(..., partition_rows=N)`` (the
   partitions one after another in this process) and against slices of N rows through
   ``_evaluate_metrics`` one after another (by hand, plain Python), at the 250 ms
   equivalent (working latency, timeout 300 s x working latency / 250 ms). N
   (``--partition-rows``) is small enough that even the literal form loses nothing (see
   the loss table). The three must give the same record results, none failed. Target: the
   whole table's time at most 1.05 x the partitioned one (the median of the rounds'
   ratios).

3. pending: what a record waiting for its turn costs. An evaluation of
   ``--pending-records`` records (hap) against a service that takes connections and never
   answers (a listening socket whose accepting thread never reads), measured once the
   session's 100 connections are all taken and half a second later: the memory held per
   record (tracemalloc current, started just before the evaluation, after a collection,
   over the records; it includes the bodies the evaluation builds, about 170 bytes each),
   the resident memory per record (VmRSS delta; it also sees the native coroutine frames,
   which live outside the interpreter's allocator), the asyncio tasks alive, then the time
   from ``task.cancel()`` to the evaluation's end (tracemalloc stopped first) and the
   tasks left after it. Targets (native, every run): at most 2.5 KB per pending record by
   tracemalloc, cancelled in at most 3 s, no task left.

4. lag: ``_evaluate_metrics_async`` with one (hap) and with three detector metrics (hap,
   pii, keyword) over ``--lag-records`` records against the canned responder (no
   latency), with a heartbeat task on the same loop that sleeps 10 ms at a time and keeps
   the longest gap between its ticks: native, and the same with the plain-Python
   providers swapped in (``tessaly.providers.screening_provider.ScreeningProvider``, which
   ``DetectorMetric._provider`` imports at each call, replaced for the run). Target
   (native): the longest gap at most 0.25 s per 20,000 records per metric, on the median
   run (the max is printed beside: on a shared machine the process can also lose its core
   for a while). With --diagnose every run also times every loop callback (a wrapper of
   ``asyncio.events.Handle._run``, which slows the loop, so its gaps come out longer) and
   every collection, and prints, for each run, the callbacks run during its longest gap by
   kind (the coroutine a task step belongs to, or the callback's name: count, seconds, this
   thread's CPU seconds, of which seconds in the collector; CPU well under the seconds
   means the process was waiting, for its core or for memory, not working), and, for the
   run with the longest gap, the callbacks that held the loop over 30 ms (with the awaits
   their task was left in) and the collections over 20 ms.

The load average is printed at the start and at the end. The exit status is 1 when a
target is missed.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from _common import fmt_spread, gain_verdict, interleaved, run_count, same, speedups  # noqa: E402

CONNECTIONS = 100  # what a session made without arguments may open at once (aiohttp's default)
REAL_TIMEOUT = 300.0  # aiohttp's default total timeout of a request, seconds
REAL_SOCK_CONNECT = 30.0  # and of a connection's making
SIDE_NAMES = ("native", "literal", "fast")
DEFAULT_CASES = "10000@50,40000@50,160000@50,10000@250,40000@250,160000@250,10000@1000,40000@1000"


# ---- shared by the parent and the runs --------------------------------------------------------------


def import_retrying(name: str):
    """Imports a module, trying again for a while: a colleague may be reinstalling the native
    modules of the environment."""
    import importlib

    deadline = time.monotonic() + 600
    while True:
        try:
            return importlib.import_module(name)
        except ImportError:
            if time.monotonic() > deadline:
                raise
            time.sleep(10)


def native_build() -> str:
    """When the installed native detection provider was built (its file's time)."""
    module = import_retrying("tessaly.providers.screening_provider")
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(module.__file__)))


def sides():
    """label -> module of the provider."""
    native = import_retrying("tessaly.providers.screening_provider")
    import baseline_screening_provider as literal
    import fast_baseline_screening_provider as fast

    return {"native": native, "literal": literal, "fast": fast}


SENTENCES = [
    f"Question {i}: is the refund policy of order {i * 7919 % 100003} within thirty days, café résumé?"
    for i in range(997)
]
ANSWERS = ["Yes, within thirty days.", "No.", "Call 555 0100 for help."]


def make_table(records: int):
    import pandas as pd

    return pd.DataFrame({
        "record_id": [f"r{i}" for i in range(records)],
        "input_text": [SENTENCES[i % len(SENTENCES)] for i in range(records)],
        "generated_text": [ANSWERS[i % len(ANSWERS)] for i in range(records)],
        "record_timestamp": "2026-12-08T10:00:00",
    })


def make_configuration():
    from tessaly.config import GenAIConfiguration

    return GenAIConfiguration(input_fields=["input_text"], output_fields=["generated_text"],
                              record_id_field="record_id")


def make_api_client(url: str):
    from bench_screening_provider import make_api_client as make

    return make(url)


def make_provider(module, url: str):
    from bench_screening_provider import make_provider as make

    return make(module, "hap", make_configuration(), make_api_client(url))


def shorten_timeout(total: float) -> None:
    """aiohttp's default timeout with a total of `total` seconds, for the sessions made from
    now on; the time to make a connection as by default, no rounding of deadlines up to a
    whole second."""
    import aiohttp
    import aiohttp.client

    aiohttp.client.DEFAULT_TIMEOUT = aiohttp.ClientTimeout(
        total=total, sock_connect=REAL_SOCK_CONNECT, ceil_threshold=total + 1)


def proc_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+)", f.read(), re.M).group(1))


def reset_peak_rss() -> None:
    """Resets VmHWM to the current resident size (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def check_records(aggregate, records: int, value=0.5) -> list:
    """The indexes of the records that came back with an error; every other one must carry the
    canned value, and the records must come in table order."""
    rows = aggregate.record_level_metrics
    assert len(rows) == records == aggregate.total_records, f"{len(rows)} record results for {records} records"
    lost = []
    for i, row in enumerate(rows):
        assert row.record_id == f"r{i}", f"record {i} is {row.record_id!r}"
        if row.errors:
            lost.append(i)
        else:
            assert row.value == value, f"record {i}: value {row.value!r}"
    return lost


# ---- the runs (each in a process of its own) ------------------------------------------------------------


def run_loss(p: dict) -> dict:
    shorten_timeout(p["timeout"])
    module = sides()[p["side"]]
    data = make_table(p["records"])
    provider = make_provider(module, p["url"])
    gc.collect()
    rss0 = proc_kib("VmRSS")
    reset_peak_rss()
    c0 = time.process_time()
    t0 = time.perf_counter()
    out = asyncio.run(provider.evaluate_async(data))
    wall = time.perf_counter() - t0
    cpu = time.process_time() - c0
    peak = proc_kib("VmHWM")
    lost = check_records(out, p["records"])
    first = None
    if lost:
        error = out.record_level_metrics[lost[0]].errors[0]
        first = [lost[0], error.code, error.message_en]
    return {"wall": wall, "cpu": cpu, "rss_delta_kib": peak - rss0, "lost": len(lost), "first": first}


def run_partition(p: dict) -> dict:
    shorten_timeout(p["timeout"])
    import_retrying("tessaly.providers.screening_provider")
    from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
    from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned
    from tessaly.metrics import HAPMetric

    records, rows = p["records"], p["rows"]
    data = make_table(records)
    configuration, client, metrics = make_configuration(), make_api_client(p["url"]), [HAPMetric()]
    gc.collect()
    t0 = time.perf_counter()
    if p["mode"] == "whole":
        aggregates = [_evaluate_metrics(configuration, data, metrics, client).metrics_result[0]]
    elif p["mode"] == "partitioned":
        aggregates = [_evaluate_metrics_partitioned(configuration, data, metrics, client,
                                               partition_rows=rows).metrics_result[0]]
    else:  # slices by hand, one after another
        aggregates = [_evaluate_metrics(configuration, data.iloc[i:i + rows].copy(), metrics, client).metrics_result[0]
                      for i in range(0, records, rows)]
    wall = time.perf_counter() - t0
    results = [x for aggregate in aggregates for x in aggregate.record_level_metrics]
    failed = sum(1 for x in results if x.errors)
    digest = [[x.record_id, x.value] for x in results]
    return {"wall": wall, "failed": failed, "digest": digest, "total": sum(a.total_records for a in aggregates)}


class NeverAnswering:
    """A socket on 127.0.0.1 whose thread takes every connection and never reads from it."""

    def __init__(self):
        self._socket = socket.create_server(("127.0.0.1", 0), backlog=1024)
        self.url = f"http://127.0.0.1:{self._socket.getsockname()[1]}"
        self.accepted = []
        threading.Thread(target=self._accept, name="never-answering", daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            self.accepted.append(connection)

    def close(self):
        self._socket.close()
        for connection in self.accepted:
            connection.close()


def run_pending(p: dict) -> dict:
    module = sides()[p["side"]]
    records = p["records"]
    server = NeverAnswering()
    data = make_table(records)
    provider = make_provider(module, server.url)

    async def main():
        gc.collect()
        rss0 = proc_kib("VmRSS")
        tracemalloc.start()
        evaluation = asyncio.create_task(provider.evaluate_async(data))
        t0 = time.perf_counter()
        while len(server.accepted) < CONNECTIONS:
            if time.perf_counter() - t0 > 300 or evaluation.done():
                raise RuntimeError(f"{len(server.accepted)} connections after {time.perf_counter() - t0:.0f} s")
            await asyncio.sleep(0.01)
        filled = time.perf_counter() - t0
        await asyncio.sleep(0.5)  # the last requests written
        gc.collect()
        held = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        rss = proc_kib("VmRSS") - rss0
        me = asyncio.current_task()
        tasks = sum(1 for t in asyncio.all_tasks() if t is not me)
        connections = len(server.accepted)
        assert not evaluation.done(), "the evaluation ended with nothing answered"
        t1 = time.perf_counter()
        evaluation.cancel()
        try:
            await evaluation
        except asyncio.CancelledError:
            pass
        cancel = time.perf_counter() - t1
        left = sum(1 for t in asyncio.all_tasks() if t is not me and not t.done())
        return {"held": held, "rss_kib": rss, "tasks": tasks, "connections": connections, "filled": filled,
                "cancel": cancel, "left": left}

    try:
        return asyncio.run(main())
    finally:
        server.close()


def describe(handle) -> str:
    """A loop callback: for a task's step, the task's coroutine and the awaits it is suspended
    in after the step (as far as they show); otherwise the handle itself."""
    owner = getattr(getattr(handle, "_callback", None), "__self__", None)
    if not isinstance(owner, asyncio.Future) or not hasattr(owner, "get_coro"):
        return repr(handle)[:200]
    chain = []
    awaited = owner.get_coro()
    while awaited is not None and len(chain) < 6:
        chain.append(getattr(awaited, "__qualname__", type(awaited).__name__))
        awaited = getattr(awaited, "cr_await", None) or getattr(awaited, "gi_yieldfrom", None)
    return f"step of task {owner.get_name()}: " + " > ".join(chain) + (" (done)" if owner.done() else "")


def kind_of(handle) -> str:
    """A short name for a loop callback: the coroutine of the task it steps, or the callback."""
    callback = getattr(handle, "_callback", None)
    owner = getattr(callback, "__self__", None)
    if isinstance(owner, asyncio.Future) and hasattr(owner, "get_coro"):
        return "step of " + getattr(owner.get_coro(), "__qualname__", "?")
    return getattr(callback, "__qualname__", type(callback).__name__)


def install_diagnosis():
    """Records every loop callback (start, seconds, CPU seconds of this thread, seconds in the
    collector, kind), the ones that held the loop over 30 ms described in full, and the
    collections over 20 ms."""
    import asyncio.events as events

    calls, slow, collections = [], [], []
    in_gc = [0.0, 0.0]  # seconds in the collector so far, start of the current collection

    def on_collection(phase, info):
        if phase == "start":
            in_gc[1] = time.perf_counter()
        else:
            d = time.perf_counter() - in_gc[1]
            in_gc[0] += d
            if d > 0.02:
                collections.append([info["generation"], round(d, 3)])

    run = events.Handle._run

    def timed_run(self):
        gc0 = in_gc[0]
        kind = kind_of(self)  # before the step, while the task still shows its coroutine
        c = time.thread_time()
        t = time.perf_counter()
        run(self)
        d = time.perf_counter() - t
        cpu = time.thread_time() - c
        calls.append((t, d, cpu, in_gc[0] - gc0, kind))
        if d > 0.03:
            slow.append([round(d, 3), round(cpu, 3), round(in_gc[0] - gc0, 3), describe(self)])

    events.Handle._run = timed_run
    gc.callbacks.append(on_collection)
    return calls, slow, collections


def within(calls, start, end, top=6) -> dict:
    """The callbacks run between start and end, by kind: count, seconds, CPU seconds and
    seconds in the collector, the kinds with the most time first."""
    kinds = {}
    for t, d, cpu, in_gc, kind in calls:
        if start <= t < end:
            figures = kinds.setdefault(kind, [0, 0.0, 0.0, 0.0])
            figures[0] += 1
            figures[1] += d
            figures[2] += cpu
            figures[3] += in_gc
    ranked = sorted(kinds.items(), key=lambda item: -item[1][1])[:top]
    return {"callbacks": sum(f[0] for f in kinds.values()), "seconds": sum(f[1] for f in kinds.values()),
            "cpu": sum(f[2] for f in kinds.values()),
            "kinds": [[kind, n, round(sec, 3), round(cpu, 3), round(g, 3)] for kind, (n, sec, cpu, g) in ranked]}


def lag_metrics(count: int):
    from tessaly.metrics import HAPMetric, KeywordDetectionMetric, PIIMetric

    return [HAPMetric(), PIIMetric(), KeywordDetectionMetric(keywords=["refund"])][:count]


def digest_of(result) -> list:
    """Per metric: its aggregate figures and every record's id, value and evidences."""
    out = []
    for m in result.metrics_result:
        rows = [[x.record_id, x.value, [dict(e) if isinstance(e, dict) else e for e in (x.evidences or [])],
                 [(e.code, e.message_en) for e in (x.errors or [])]] for x in m.record_level_metrics]
        out.append([m.name, m.value, m.min, m.max, m.mean, m.total_records, rows])
    return out


def evaluate_with(side: str, data, metrics, url: str, heartbeat_gaps=None):
    """_evaluate_metrics_async on a fresh loop with the given side's provider in place; the
    heartbeat runs beside it when a list for its gaps is given. (result, seconds)."""
    module = sides()[side]
    screening = import_retrying("tessaly.providers.screening_provider")
    from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics_async

    async def heartbeat(stop):
        last = time.perf_counter()
        while not stop.is_set():
            await asyncio.sleep(0.01)
            now = time.perf_counter()
            heartbeat_gaps.append((now - last, last, now))
            last = now

    async def main():
        stop = asyncio.Event()
        beat = asyncio.create_task(heartbeat(stop)) if heartbeat_gaps is not None else None
        await asyncio.sleep(0.05)
        t0 = time.perf_counter()
        result = await _evaluate_metrics_async(configuration=make_configuration(), data=data, metrics=metrics,
                                               api_client=make_api_client(url))
        seconds = time.perf_counter() - t0
        stop.set()
        if beat is not None:
            await beat
        return result, seconds

    original = screening.ScreeningProvider
    screening.ScreeningProvider = module.ScreeningProvider
    try:
        return asyncio.run(main())
    finally:
        screening.ScreeningProvider = original


def run_lag(p: dict) -> dict:
    records = p["records"]
    data = make_table(records)
    metrics = lag_metrics(p["metrics"])
    diagnosis = install_diagnosis() if p["diagnose"] else None
    gc.collect()
    gaps = []
    result, seconds = evaluate_with(p["side"], data, metrics, p["url"], gaps)
    for aggregate in result.metrics_result:
        assert not check_records(aggregate, records), f"{aggregate.name}: failed records"
    longest = max(gaps)
    out = {"max_gap": longest[0], "ticks": len(gaps), "over_100ms": sum(g[0] > 0.1 for g in gaps), "wall": seconds}
    if diagnosis is not None:
        calls, slow, collections = diagnosis
        out["slow"] = sorted(slow, reverse=True)[:8]
        out["collections"] = sorted(collections, key=lambda c: -c[1])[:8]
        out["longest"] = within(calls, longest[1], longest[2])
    return out


RUNS = {"loss": run_loss, "partition": run_partition, "pending": run_pending, "lag": run_lag}


def child(text: str) -> None:
    p = json.loads(text)
    out = RUNS[p["run"]](p)
    print("RESULT " + json.dumps(out), flush=True)


# ---- the parent ----------------------------------------------------------------------------------------


def run_child(p: dict) -> dict:
    """One run in a fresh process; tried again (twice at most) if the environment was being
    reinstalled."""
    for attempt in range(3):
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(p)],
                              capture_output=True, text=True, check=False)
        lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
        if done.returncode == 0 and lines:
            return json.loads(lines[-1][len("RESULT "):])
        if attempt < 2 and ("ImportError" in done.stderr or "ModuleNotFoundError" in done.stderr):
            time.sleep(30)
            continue
        sys.exit(f"bench_screening_load: a {p['run']} run failed ({p}):\n{done.stderr[-4000:]}")
    return {}


def with_responder(p: dict, latency: float = 0.0) -> dict:
    """The run against a fresh canned responder, with its answers and its peak of requests held."""
    from canned_responder import CannedResponder

    with CannedResponder(max_seconds=24 * 3600, latency=latency) as responder:
        out = run_child({**p, "url": responder.url})
    out["served"], out["peak"] = responder.served, responder.peak
    return out


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (5 min {five:.2f})"


def check_equivalence(sides_by_label, records=1000) -> None:
    """The three sides give the same results: the provider end to end, and the runner with
    three metrics, on a small table against the canned responder."""
    from canned_responder import CannedResponder

    data = make_table(records)
    with CannedResponder() as responder:
        out = {label: asyncio.run(make_provider(m, responder.url).evaluate_async(data))
               for label, m in sides_by_label.items()}
        for label in ("literal", "fast"):
            same(out["native"], out[label], f"evaluate_async ({label})")
            assert out["native"] == out[label]
        assert not check_records(out["native"], records)
        digests = {label: digest_of(evaluate_with(label, data, lag_metrics(3), responder.url)[0])
                   for label in sides_by_label}
        for label in ("literal", "fast"):
            same(digests["native"], digests[label], f"_evaluate_metrics_async ({label})")
    print(f"equivalence: the same results native = literal = fast ({records} records: evaluate_async of hap, "
          "and _evaluate_metrics_async of hap, pii and keyword)")


def parse_cases(text: str) -> list:
    cases = []
    for item in text.split(","):
        records, _, latency = item.partition("@")
        cases.append((int(records), float(latency)))
    return cases


def loss_section(args, failures) -> None:
    working = args.working_latency_ms / 1000
    cases = parse_cases(args.cases)
    print(f"\n== 1. Loss: records lost to the client's own timeout (hap, evaluate_async, {CONNECTIONS} connections) ==")
    print(f"  every case at a working latency of {working * 1e3:g} ms, standing for latency L through a total timeout "
          f"of {REAL_TIMEOUT:g} s x {working * 1e3:g} ms / L")
    print(f"  ({args.repeat} runs per side, interleaved; min / median / max; lost: each run; peak: the service's "
          "most requests held at once, max over the runs;\n   memory: peak RSS delta per record, median; "
          "latency-bound: records x latency / connections)")
    summary = {}
    for records, real in cases:
        timeout = REAL_TIMEOUT * working / (real / 1000)
        base = {"run": "loss", "records": records, "timeout": timeout}
        runs = interleaved({label: (lambda label=label: with_responder({**base, "side": label}, working))
                            for label in SIDE_NAMES}, args.repeat)
        bound = records * working / CONNECTIONS
        print(f"\n{real:g} ms (as {working * 1e3:g} ms with a timeout of {timeout:g} s), {records:,} records; "
              f"latency-bound {bound:.1f} s; {load()}")
        print(f"  {'side':<8}{'lost per run':>22}{'first lost per run, error':>42}{'wall s':>27}{'CPU µs/rec':>24}"
              f"{'B/rec':>8}{'peak':>6}{'served (med)':>13}")
        for label in SIDE_NAMES:
            r = runs[label]
            lost = [x["lost"] for x in r]
            firsts = [x["first"] for x in r if x["first"]]
            first_text = "-"
            if firsts:  # the index in each run that lost records, and the error of the earliest
                first = min(firsts, key=lambda f: f[0])
                first_text = (", ".join(f"{f[0]:,}" for f in firsts) + f" {first[1]} {first[2]!r}")[:40]
            walls = [x["wall"] for x in r]
            cpus = [x["cpu"] / records * 1e6 for x in r]
            memory = statistics.median(x["rss_delta_kib"] * 1024 / records for x in r)
            peak = max(x["peak"] for x in r)
            served = statistics.median(x["served"] for x in r)
            print(f"  {label:<8}{', '.join(f'{n:,}' for n in lost):>22}{first_text:>42}{fmt_spread(walls, 1, 9, 2)}"
                  f"{fmt_spread(cpus, 1, 8, 0)}{memory:8.0f}{peak:6d}{served:13,.0f}")
            summary[(real, records, label)] = statistics.median(lost)
            if label == "native":
                if any(lost):
                    failures.append(f"loss {records:,} records at {real:g} ms: native lost {lost} records")
                if peak > CONNECTIONS:
                    failures.append(f"loss {records:,} records at {real:g} ms: the service held {peak} native "
                                    f"requests at once (target <= {CONNECTIONS})")
        walls = {label: [x["wall"] for x in runs[label]] for label in SIDE_NAMES}
        cpus = {label: [x["cpu"] for x in runs[label]] for label in SIDE_NAMES}
        for baseline in ("fast", "literal"):
            if baseline == "literal" and any(x["lost"] for x in runs["literal"]):
                print(f"  {'speed-up over literal':<30}not comparable: the literal form lost records")
                continue
            ratios = speedups(walls, baseline)
            print(f"  {'speed-up over ' + baseline + ' (wall)':<30}{fmt_spread(ratios, 1, 8, 2, 'x')}   "
                  f"{gain_verdict(ratios)}")
            ratios = speedups(cpus, baseline)
            print(f"  {'speed-up over ' + baseline + ' (CPU)':<30}{fmt_spread(ratios, 1, 8, 2, 'x')}   "
                  f"{gain_verdict(ratios)}")
    sizes = sorted({records for records, _ in cases})
    latencies = sorted({real for _, real in cases})
    print("\n  median records lost, native / literal / fast:")
    print(f"  {'latency':<10}" + "".join(f"{n:>26,}" for n in sizes))
    for real in latencies:
        cells = []
        for n in sizes:
            if (real, n, "native") in summary:
                cells.append(" / ".join(f"{summary[(real, n, label)]:,.0f}" for label in SIDE_NAMES))
            else:
                cells.append("-")
        print(f"  {f'{real:g} ms':<10}" + "".join(f"{c:>26}" for c in cells))


def partitions_section(args, failures) -> None:
    working = args.working_latency_ms / 1000
    timeout = REAL_TIMEOUT * working / 0.25
    records, rows = args.partition_records, args.partition_rows
    base = {"run": "partition", "records": records, "rows": rows, "timeout": timeout}
    modes = ("whole", "partitioned", "slices")
    runs = interleaved({mode: (lambda mode=mode: with_responder({**base, "mode": mode}, working)) for mode in modes},
                       args.repeat)
    reference = runs["whole"][0]
    for mode in modes:
        for r in runs[mode]:
            assert r["failed"] == 0, f"{mode}: {r['failed']} failed records"
            assert r["digest"] == reference["digest"] and r["total"] == records, f"{mode}: different record results"
    print(f"\n== 2. Time against partitions: native _evaluate_metrics (hap), {records:,} records, partitions of "
          f"{rows:,} rows ==")
    print(f"  250 ms as {working * 1e3:g} ms with a timeout of {timeout:g} s; results equal, none failed; "
          f"{args.repeat} runs, interleaved; {load()}")
    print(f"  {'mode':<44}{'wall s: min':>12}{'median':>9}{'max':>9}{'peak':>6}")
    names = {"whole": "whole table (_evaluate_metrics)",
             "partitioned": "_evaluate_metrics_partitioned",
             "slices": "slices one after another (by hand)"}
    walls = {mode: [r["wall"] for r in runs[mode]] for mode in modes}
    for mode in modes:
        print(f"  {names[mode]:<44}{fmt_spread(walls[mode], 1, 9, 2)}{max(r['peak'] for r in runs[mode]):6d}")
    for other in ("partitioned", "slices"):
        ratios = [w / o for w, o in zip(walls["whole"], walls[other])]
        verdict = ""
        if other == "partitioned":
            met = statistics.median(ratios) <= 1.05
            verdict = f"target <= 1.05 (median) {'met' if met else 'MISSED'}"
            if not met:
                failures.append(f"partitions: the whole table takes {statistics.median(ratios):.3f} x the "
                                "partitioned time (median; target <= 1.05)")
        print(f"  {'whole / ' + other + ' (wall, per round)':<44}{fmt_spread(ratios, 1, 9, 3)}   {verdict}")


def pending_section(args, failures) -> None:
    records = args.pending_records
    runs = interleaved({label: (lambda label=label: run_child({"run": "pending", "side": label, "records": records}))
                        for label in SIDE_NAMES}, args.repeat)
    print(f"\n== 3. Pending records: hap over {records:,} records against a service that never answers ==")
    print(f"  measured once the {CONNECTIONS} connections are taken; {args.repeat} runs per side, interleaved; "
          f"min / median / max; {load()}")
    print(f"  {'side':<8}{'KB/rec (tracemalloc)':>27}{'KB/rec (RSS)':>27}{'tasks alive':>12}{'conns':>6}"
          f"{'cancel -> end, s':>27}{'left':>5}")
    for label in SIDE_NAMES:
        r = runs[label]
        held = [x["held"] / records / 1000 for x in r]
        rss = [x["rss_kib"] * 1024 / records / 1000 for x in r]
        cancel = [x["cancel"] for x in r]
        tasks = statistics.median(x["tasks"] for x in r)
        left = max(x["left"] for x in r)
        print(f"  {label:<8}{fmt_spread(held, 1, 9, 3)}{fmt_spread(rss, 1, 9, 3)}{tasks:12,.0f}"
              f"{max(x['connections'] for x in r):6d}{fmt_spread(cancel, 1, 9, 3)}{left:5d}")
        if label == "native":
            if max(held) > 2.5:
                failures.append(f"pending: native holds {max(held):.3f} KB per pending record in its worst run "
                                "(target <= 2.5)")
            if max(cancel) > 3.0:
                failures.append(f"pending: native took {max(cancel):.2f} s from cancel to its end (target <= 3)")
            if left:
                failures.append(f"pending: {left} tasks left after the native evaluation was cancelled")
    print("  (KB = 1000 bytes; tracemalloc: the interpreter's allocations, the bodies included; RSS: resident delta,"
          " which also sees\n   the native coroutine frames; tasks: asyncio tasks alive besides the measuring one)")


def lag_section(args, failures) -> None:
    records = args.lag_records
    print(f"\n== 4. Loop lag: _evaluate_metrics_async over {records:,} records, canned responder (no latency); "
          "longest gap between 10 ms heartbeats ==")
    for count in (1, 3):
        base = {"run": "lag", "records": records, "metrics": count, "diagnose": args.diagnose}
        runs = interleaved({label: (lambda label=label: with_responder({**base, "side": label}))
                            for label in SIDE_NAMES}, args.repeat)
        limit = 0.25 * records / 20000 * count
        print(f"\n  {count} metric{'s' if count > 1 else ''} ({', '.join(m.name for m in lag_metrics(count))}); "
              f"{args.repeat} runs per side, interleaved; {load()}")
        print(f"  {'side':<8}{'longest gap s: min':>19}{'median':>9}{'max':>9}{'gaps > 0.1 s (med)':>20}"
              f"{'wall s':>27}")
        for label in SIDE_NAMES:
            r = runs[label]
            gaps = [x["max_gap"] for x in r]
            print(f"  {label:<8}{fmt_spread(gaps, 1, 9, 3)}{statistics.median(x['over_100ms'] for x in r):20.0f}"
                  f"{fmt_spread([x['wall'] for x in r], 1, 9, 2)}")
            if args.diagnose:
                for run in sorted(r, key=lambda x: x["max_gap"]):
                    longest = run["longest"]
                    print(f"      a run's longest gap, {run['max_gap']:.3f} s: {longest['callbacks']:,} callbacks, "
                          f"{longest['seconds']:.3f} s, CPU {longest['cpu']:.3f} s; by kind (count, s, CPU s, "
                          "collector s):")
                    for kind, n, seconds, cpu, in_gc in longest["kinds"][:3]:
                        print(f"        {n:7,} {seconds:7.3f} {cpu:7.3f} {in_gc:7.3f}  {kind}")
                worst = max(r, key=lambda x: x["max_gap"])
                print("      callbacks over 30 ms in the run with the longest gap (s, CPU s, collector s):")
                for seconds, cpu, in_gc, handle in worst["slow"][:4]:
                    print(f"        {seconds:7.3f} {cpu:7.3f} {in_gc:7.3f}  {handle}")
                if worst["collections"]:
                    print(f"      collections over 20 ms (generation, s): {worst['collections'][:6]}")
        native = [x["max_gap"] for x in runs["native"]]
        met = statistics.median(native) <= limit
        print(f"  native: target longest gap <= {limit:.3g} s (median) {'met' if met else 'MISSED'}")
        if not met:
            failures.append(f"lag, {count} metric(s): native's longest gap {statistics.median(native):.3f} s "
                            f"(median; max {max(native):.3f}; target <= {limit:.3g})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sections", default="loss,partitions,pending,lag")
    parser.add_argument("--repeat", type=run_count, default=3, help="runs per side (at least 3)")
    parser.add_argument("--cases", default=DEFAULT_CASES, help="loss cases, records@latency in ms it stands for")
    parser.add_argument("--working-latency-ms", type=float, default=25.0,
                        help="the service's latency in the loss and partition runs")
    parser.add_argument("--partition-records", type=int, default=80_000)
    parser.add_argument("--partition-rows", type=int, default=20_000)
    parser.add_argument("--pending-records", type=int, default=100_000)
    parser.add_argument("--lag-records", type=int, default=20_000)
    parser.add_argument("--diagnose", action="store_true",
                        help="lag: also the loop callbacks and collections that held the loop longest")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return 0

    import aiohttp
    import pandas as pd

    sections = [s for s in args.sections.split(",") if s]
    unknown = set(sections) - {"loss", "partitions", "pending", "lag"}
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")
    print(f"Python {sys.version.split()[0]}, aiohttp {aiohttp.__version__}, pandas {pd.__version__}, "
          f"{os.cpu_count()} CPUs; {args.repeat} runs per side; {load()}")
    build = native_build()
    print(f"native detection provider built {build}")
    started = time.perf_counter()
    check_equivalence(sides())
    failures = []
    for name, section in (("loss", loss_section), ("partitions", partitions_section),
                          ("pending", pending_section), ("lag", lag_section)):
        if name in sections:
            phase = time.perf_counter()
            section(args, failures)
            print(f"[{time.perf_counter() - phase:.0f} s]")
    print(f"\ntotal {time.perf_counter() - started:.0f} s; {load()}")
    if native_build() != build:
        print(f"NOTE: the native modules were reinstalled during the run (built {build}, now {native_build()}): "
              "the runs may mix two builds")
    if failures:
        print("\nTargets missed:")
        for f in failures:
            print(" -", f)
    else:
        print("\nAll targets met.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
