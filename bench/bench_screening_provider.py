"""Benchmark: native detection provider against two plain-Python baselines and a bare loop.

    .venv/bin/python bench/bench_screening_provider.py [--records 20000] [--repeat 3]
        [--metrics hap,faithfulness] [--skip-memory] [--memory-all] [--profile]
        [--object-types] [--in-flight-only]

Side by side in one run:

1. End to end. ``evaluate_async`` of ``tessaly.providers.screening_provider`` (native), of
   ``bench/baseline_screening_provider.py`` (the literal plain-Python baseline: a dict and
   ``json.dumps`` per body, a dict of keywords per record) and of
   ``bench/fast_baseline_screening_provider.py`` (the fast one: the bodies' shared JSON
   encoded once, choices made once per call, comprehensions) over one table, against a bare
   aiohttp loop that posts the same bodies (built before its clock starts) with the same
   headers over one ``aiohttp.ClientSession`` and ``asyncio.gather``, reading each answer's
   text and decoding it. Every side answers to the canned responder (bench/canned_responder.py),
   a separate process on 127.0.0.1. Records per second: min, median and max of N runs,
   sides interleaved, each run on a fresh event loop; this process's CPU time per record is
   shown too, since on a busy machine it varies less than wall time. Peak memory: one more
   run per side under tracemalloc (separate from the timed runs), peak of what the run
   allocates (native and bare loop; the baselines too with --memory-all).

   Then the sending alone: every request gathered on a stub session that answers on the
   event loop with no network, so the per-request cost of ``send_with_retries`` shows
   without aiohttp's own.

   Then what a request keeps while every request is in flight, on the same kind of stub
   session (hap): for ``send_with_retries`` of each side gathered over every body, the
   bare loop's request gathered the same way, and ``evaluate_async`` of each side end to
   end (the stub standing in for ``aiohttp.ClientSession``), the GC-tracked objects
   (``len(gc.get_objects())``) and the allocated memory blocks
   (``sys.getallocatedblocks()``) at the moment the stub's ``post`` is called for the last
   body (when every other request is suspended in its first await; see ``PeakProbe``),
   less the same figures just before the run, per record, with the collector disabled
   during the run. Counts, not times: one run per side. The blocks are the interpreter's
   small-object allocator's only, so they leave out the native coroutines' C++ frames
   (kept in the module's frame arena) and any allocation over 512 bytes; the end-to-end
   figures also hold the bodies and columns the run builds, which the gathered ones (and
   the bare loop) get built beforehand. With --object-types, the tracked objects by type,
   native (gathered) against the bare loop, per record. --in-flight-only runs just the
   equivalence check and these counts.

   Then one full collection (``gc.collect()``) while every request of an evaluation (hap)
   is in flight, waiting on a server that takes connections and never answers: the
   collector's cost for the same kind of heap on each side, which the end-to-end runs
   show only through their changing moments of collection. Milliseconds for one
   collection (the median of 3 in a row) per run, min, median and max over N runs, with
   the tracked objects at that moment.

2. The provider's own work per record: ``_ScreeningProvider__pre_process_data`` (body
   building, before the first request) and ``_ScreeningProvider__post_process`` (after the
   last, fed with canned results), native against both baselines, min, median and max of
   N runs (5 at least). Twice: (a) with the SDK's own result classes (pydantic models,
   whose construction is not the provider's work), and (b) with ``RecordMetricResult``,
   ``AggregateMetricResult`` and ``Error`` replaced in every module by the same trivial
   plain classes.

Speed-ups are baseline time / native time of the same round, with their min, median and
max; "gain" only where native is faster than the baseline in every round. Targets: native
throughput at least 0.95 of the bare loop's in every run for hap, at least 0.9 on the median
for the other metrics; peak memory at most 1.1 of the bare loop's; own work at least 2x
faster on the median (the summary lists the misses against the fast baseline). The exit
status is 1 when the summary lists a miss. Before any timing every implementation is checked against
native to build identical bodies and equal results (same types, same keywords in the same
order).
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import random
import socket
import sys
from statistics import median
import time
import tracemalloc
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

try:  # the tool-call helper may not be part of the SDK yet; neither metric here uses it
    import tessaly.providers.tool_call_metric_provider  # noqa: F401
except ImportError:
    _stub = types.ModuleType("tessaly.providers.tool_call_metric_provider")
    _stub.ToolCallMetricProvider = type("ToolCallMetricProvider", (), {})
    sys.modules[_stub.__name__] = _stub

import aiohttp  # noqa: E402
import pandas as pd  # noqa: E402

import baseline_screening_provider as baseline  # noqa: E402
import fast_baseline_screening_provider as fast  # noqa: E402
from _common import (  # noqa: E402
    PlainResult,
    by_step,
    fmt_spread,
    gain_verdict,
    interleaved,
    profile,
    report,
    run_count,
    same,
    speedups,
    swapped_globals,
    timed,
)
from canned_responder import CANNED_BODY, CannedResponder  # noqa: E402
from tessaly.clients.api_client import APIClient  # noqa: E402
from tessaly.config import GenAIConfiguration  # noqa: E402
from tessaly.entities.credentials import Credentials  # noqa: E402
from tessaly.entities.metric_threshold import MetricThreshold  # noqa: E402
from tessaly.providers import screening_provider as native  # noqa: E402

SIDES = (("native", native), ("literal", baseline), ("fast", fast))
TOKEN = "bench-token"
INSTANCE_ID = "bench-instance-0001"

# metric name -> (display name, method)
METRICS = {
    "hap": ("HAP", "hap_detector"),
    "faithfulness": ("Faithfulness", "token_attribution"),
    "faithfulness_model": ("Faithfulness", "faithfulness_model"),  # evidences from "evidence"
}


# ---- workload ---------------------------------------------------------------------------------


WORDS = (
    "the answer cites a policy document about refunds within thirty days for any order "
    "placed online café naïve résumé shipping warranty claim customer support ticket"
).split()


def make_table(records: int) -> pd.DataFrame:
    rng = random.Random(7)

    def sentence(n):
        return " ".join(rng.choice(WORDS) for _ in range(n))

    return pd.DataFrame(
        {
            "record_id": [f"rec-{i:07d}" for i in range(records)],
            "input_text": [sentence(14) + "?" for _ in range(records)],
            "generated_text": [sentence(24) + "." for _ in range(records)],
            "context": [[sentence(30), sentence(30), sentence(20)] for _ in range(records)],
        }
    )


def make_configuration() -> GenAIConfiguration:
    return GenAIConfiguration(
        input_fields=["input_text"],
        output_fields=["generated_text"],
        context_fields=["context"],
        record_id_field="record_id",
    )


def make_api_client(url: str) -> APIClient:
    # A truthy version: the provider posts to the credentials' URL itself.
    credentials = Credentials(url=url, api_key=TOKEN, version="5.2.0")
    return APIClient(credentials=credentials, service_instance_id=INSTANCE_ID)


THRESHOLDS = [MetricThreshold(type="upper_limit", value=0.5)]


def make_provider(module, metric, configuration, api_client):
    display_name, method = METRICS[metric]
    name = "faithfulness" if metric.startswith("faithfulness") else metric
    return module.ScreeningProvider(
        configuration, name, display_name, method, None, THRESHOLDS, api_client=api_client
    )


def canned_results(records: int, error_class, seed=11) -> list:
    """Request results as the transport hands them on: decoded bodies, about 1 % errors."""
    rng = random.Random(seed)
    results = []
    for i in range(records):
        if i % 97 == 13:
            results.append({"error": error_class(code="503", message_en="{'message': 'busy'}")})
            continue
        detections = []
        for _ in range(rng.choice((0, 1, 1, 2, 3))):
            score = rng.random()
            detections.append(
                {"score": score, "text": "x", "start": 0, "end": 1, "evidence": [{"text": "x", "score": score}]}
            )
        results.append({"detections": detections})
    return results


# ---- trivial result classes -----------------------------------------------------------------


class PlainRecord(PlainResult):
    pass


class PlainAggregate(PlainResult):
    pass


class PlainError(PlainResult):
    pass


PLAIN = {"RecordMetricResult": PlainRecord, "AggregateMetricResult": PlainAggregate, "Error": PlainError}


def swapped_classes(active=True):
    """Replaces the result classes in every module for the duration of a block (or not)."""
    return swapped_globals([m for _, m in SIDES], PLAIN if active else {})


# ---- equivalence ------------------------------------------------------------------------------


def check_equivalence(table, configuration, api_client, records) -> None:
    for metric in METRICS:
        providers = {label: make_provider(m, metric, configuration, api_client) for label, m in SIDES}
        bodies = {}
        for label, p in providers.items():
            bodies[label] = p._ScreeningProvider__pre_process_data(data=table)
        for label in ("literal", "fast"):
            same(bodies["native"], bodies[label], f"{metric} bodies ({label})")
        payloads = bodies["native"][0]
        assert len(payloads) == records and all(type(p) is str for p in payloads)
        for label in ("literal", "fast"):
            same(
                providers["native"]._ScreeningProvider__get_headers(),
                providers[label]._ScreeningProvider__get_headers(),
                f"headers ({label})",
            )
        record_ids = bodies["native"][1]
        for variant in ("pydantic", "plain"):
            with swapped_classes(variant == "plain"):
                results = canned_results(records, native.Error)
                out = {label: p._ScreeningProvider__post_process(results, record_ids) for label, p in providers.items()}
                for label in ("literal", "fast"):
                    same(out["native"], out[label], f"{metric}/{variant} post-process ({label})")
                    if variant == "pydantic":
                        assert out["native"] == out[label]
    print(f"equivalence: identical bodies, headers and results for {', '.join(METRICS)}, native = literal = fast "
          f"({records} records; pydantic and plain result classes)")


# ---- end to end ---------------------------------------------------------------------------------


async def bare_loop(url, headers, bodies):
    """The transport alone: post every body over one session, decode every answer."""

    async with aiohttp.ClientSession() as session:

        async def one(body):
            async with session.post(url=url, headers=headers, data=body, ssl=True) as response:
                status = response.status
                text = await response.text()
                return json.loads(text) if status == 200 else {"status": status, "text": text}

        return await asyncio.gather(*[one(body) for body in bodies], return_exceptions=True)


def e2e_runners(metric, table, configuration, api_client):
    """label -> a function that runs one evaluation on a fresh event loop and returns its result."""
    providers = {label: make_provider(m, metric, configuration, api_client) for label, m in SIDES}
    bodies, _ = providers["literal"]._ScreeningProvider__pre_process_data(data=table)
    headers = providers["literal"]._ScreeningProvider__get_headers()
    url = providers["literal"].base_url
    runners = {label: (lambda p=p: asyncio.run(p.evaluate_async(table))) for label, p in providers.items()}
    runners["bare loop"] = lambda: asyncio.run(bare_loop(url, headers, bodies))
    return runners


def check_e2e(label, out, records):
    expected = json.loads(CANNED_BODY)
    if label == "bare loop":
        assert len(out) == records and all(r == expected for r in out), "bare loop: unexpected answers"
    else:
        assert out.total_records == records and out.value == 0.5 and out.min == 0.5 and out.max == 0.5, (
            f"{label}: unexpected aggregate {out.value!r} over {out.total_records}"
        )
        assert all(r.value == 0.5 and not r.errors for r in out.record_level_metrics), f"{label}: failed records"


class GcClock:
    """CPU time spent in the cyclic garbage collector while installed."""

    def __init__(self):
        self.seconds = 0.0
        self._start = 0.0

    def __call__(self, phase, info):
        if phase == "start":
            self._start = time.process_time()
        else:
            self.seconds += time.process_time() - self._start

    def __enter__(self):
        gc.callbacks.append(self)
        return self

    def __exit__(self, *exc):
        gc.callbacks.remove(self)


def time_e2e(runners, records, repeat, responder):
    """label -> {"wall": [seconds], "cpu": [client CPU seconds], "gc": [of which in the garbage
    collector], "responder": [the responder's CPU share of the wall time]}, one entry per round,
    the sides interleaved."""

    def one_run(label):
        run = runners[label]
        gc.collect()
        responder0 = responder.cpu_seconds()
        with GcClock() as gc_clock:
            c0 = time.process_time()
            t0 = time.perf_counter()
            out = run()
            dt = time.perf_counter() - t0
            dc = time.process_time() - c0
        figures = {"wall": dt, "cpu": dc, "gc": gc_clock.seconds,
                   "responder": (responder.cpu_seconds() - responder0) / dt}
        check_e2e(label, out, records)
        return figures

    rounds = interleaved({label: (lambda label=label: one_run(label)) for label in runners}, repeat)
    return {label: {key: [r[key] for r in runs] for key in runs[0]} for label, runs in rounds.items()}


def memory_e2e(runners, labels):
    peaks = {}
    for label in labels:
        run = runners[label]
        gc.collect()
        tracemalloc.start()
        tracemalloc.reset_peak()
        out = run()
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        del out
        peaks[label] = peak
    return peaks


# ---- sending alone, on a stub session ------------------------------------------------------------


class _StubResponse:
    status = 200

    def __init__(self, text):
        self._text = text

    async def text(self):
        await asyncio.sleep(0)  # a real read suspends at least once
        return self._text


class _StubPosting:
    def __init__(self, response):
        self._response = response

    async def __aenter__(self):
        await asyncio.sleep(0)  # so does sending the request
        return self._response

    async def __aexit__(self, *exc):
        return None


class StubSession:
    """Answers every post with the canned body, on the event loop, with no network."""

    def __init__(self):
        self._posting = _StubPosting(_StubResponse(CANNED_BODY.decode()))

    def post(self, url, headers, data, ssl):
        return self._posting


def sending_alone(table, configuration, api_client, records, repeat):
    """label -> [client CPU seconds per round] of gathering every request on a stub session."""
    providers = {label: make_provider(m, "hap", configuration, api_client) for label, m in SIDES}
    bodies, _ = providers["literal"]._ScreeningProvider__pre_process_data(data=table)
    headers = providers["literal"]._ScreeningProvider__get_headers()
    url = providers["literal"].base_url
    session = StubSession()

    async def bare_one(body):
        async with session.post(url=url, headers=headers, data=body, ssl=True) as response:
            status = response.status
            text = await response.text()
            return json.loads(text) if status == 200 else None

    makers = {label: (lambda body, p=p: p.send_with_retries(body, session)) for label, p in providers.items()}
    makers["bare loop"] = bare_one

    async def gather_all(make):
        return await asyncio.gather(*[make(body) for body in bodies], return_exceptions=True)

    expected = json.loads(CANNED_BODY)

    def one_run(label):
        gc.collect()
        c0 = time.process_time()
        out = asyncio.run(gather_all(makers[label]))
        dc = time.process_time() - c0
        assert all(r == expected for r in out), f"{label}: unexpected results on the stub session"
        return dc

    return interleaved({label: (lambda label=label: one_run(label)) for label in makers}, repeat)


# ---- what a request keeps while every request is in flight -----------------------------------------


def census(with_types=False):
    """(GC-tracked objects, allocated memory blocks, {type name: tracked count} or None) now.

    The blocks are counted first, so the list ``gc.get_objects`` makes is not among them."""
    blocks = sys.getallocatedblocks()
    objects = gc.get_objects()
    tracked = len(objects)
    kinds = None
    if with_types:
        kinds = {}
        for o in objects:
            t = type(o)
            name = t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"
            kinds[name] = kinds.get(name, 0) + 1
    del objects
    return tracked, blocks, kinds


class _CountingPosting(_StubPosting):
    """The stub's posting, counting the requests whose sending has resumed."""

    def __init__(self, response, probe):
        super().__init__(response)
        self._probe = probe

    async def __aenter__(self):
        await asyncio.sleep(0)
        self._probe.resumed += 1
        return self._response


class PeakProbe(StubSession):
    """A stub session that takes a census when its ``post`` is called for the last body.

    Why that moment is the peak: ``asyncio.gather`` wraps every request in a task, and the
    tasks take their first steps in one pass of the event loop, in the order of the bodies.
    Each step runs its request up to its first suspension, the ``asyncio.sleep(0)`` in the
    posting's ``__aenter__``, and that sleep queues the task's next step behind every first
    step already queued. So when ``post`` is called for the last body, every other request
    is suspended in its first await and none has resumed (checked: ``resumed`` is still 0),
    and none has an answer yet. The last request is counted as it stands inside ``post``,
    1 of N, which moves a figure per record by less than 1/N of a request.

    Also an ``aiohttp.ClientSession`` stand-in for ``evaluate_async`` (an async context
    manager that gives itself)."""

    def __init__(self, last, with_types):
        super().__init__()
        self._posting = _CountingPosting(self._posting._response, self)
        self._last = last
        self._with_types = with_types
        self.posted = 0
        self.resumed = 0
        self.peak = None

    def post(self, url, headers, data, ssl):
        self.posted += 1
        if self.posted == self._last:
            assert self.resumed == 0, "a request resumed before the last one was posted"
            self.peak = census(self._with_types)
        return self._posting

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None


def in_flight(table, configuration, api_client, records, with_types):
    """label -> (tracked objects per record, memory blocks per record, {type: tracked per
    record} or None) at the moment every request is in flight, less the same figures just
    before the run, over the stub session; the collector off during the run."""
    providers = {label: make_provider(m, "hap", configuration, api_client) for label, m in SIDES}
    bodies, _ = providers["literal"]._ScreeningProvider__pre_process_data(data=table)
    headers = providers["literal"]._ScreeningProvider__get_headers()
    url = providers["literal"].base_url
    expected = json.loads(CANNED_BODY)

    async def bare_one(session, body):
        async with session.post(url=url, headers=headers, data=body, ssl=True) as response:
            status = response.status
            text = await response.text()
            return json.loads(text) if status == 200 else None

    async def gather_all(make, session):
        return await asyncio.gather(*[make(session, body) for body in bodies], return_exceptions=True)

    def gathered(make):
        def run(session):
            out = asyncio.run(gather_all(make, session))
            assert len(out) == records and all(r == expected for r in out), "unexpected results on the stub session"
        return run

    def evaluated(label, p):
        def run(session):
            stand_in = types.SimpleNamespace(ClientSession=lambda: session)
            with swapped_globals([native, baseline], {"aiohttp": stand_in}):  # fast inherits literal's
                out = asyncio.run(p.evaluate_async(table))
            check_e2e(label, out, records)
        return run

    runs = {label: gathered(lambda session, body, p=p: p.send_with_retries(body, session)) for label, p in providers.items()}
    runs["bare loop"] = gathered(bare_one)
    for label, p in providers.items():
        runs[f"{label} e2e"] = evaluated(label, p)

    figures = {}
    for label, run in runs.items():
        session = PeakProbe(records, with_types)
        gc.collect()
        gc.disable()
        try:
            _, _, kinds0 = census(with_types)  # first, so that the type counts are there in both
            tracked0, blocks0, _ = census()
            run(session)
        finally:
            gc.enable()
        assert session.peak and session.posted == records, f"{label}: {session.posted} requests posted"
        tracked, blocks, kinds = session.peak
        per_type = None
        if with_types:
            per_type = {k: (kinds.get(k, 0) - kinds0.get(k, 0)) / records for k in set(kinds) | set(kinds0)}
        figures[label] = ((tracked - tracked0) / records, (blocks - blocks0) / records, per_type)
        del session
    return figures


# ---- a full collection with every request in flight --------------------------------------------------


class SilentServer:
    """A socket on 127.0.0.1 that takes connections and never answers: requests stay in flight."""

    def __enter__(self):
        self._socket = socket.create_server(("127.0.0.1", 0), backlog=1024)
        self.url = f"http://127.0.0.1:{self._socket.getsockname()[1]}"
        return self

    def __exit__(self, *exc):
        self._socket.close()


def collection_in_flight(table, configuration, records, repeat, settle=2.0, collections=3):
    """label -> ([seconds of one full collection per run], tracked objects then): the median of
    `collections` full collections in a row, once every request of an evaluation (hap) has
    taken its first step and waits for a connection or an answer that never comes."""
    with SilentServer() as server:
        api_client = make_api_client(server.url)
        providers = {label: make_provider(m, "hap", configuration, api_client) for label, m in SIDES}
        bodies, _ = providers["literal"]._ScreeningProvider__pre_process_data(data=table)
        headers = providers["literal"]._ScreeningProvider__get_headers()
        starts = {label: (lambda p=p: p.evaluate_async(table)) for label, p in providers.items()}
        starts["bare loop"] = lambda: bare_loop(server.url, headers, bodies)
        tracked = {}

        async def one_run(label):
            evaluation = asyncio.ensure_future(starts[label]())
            # Every request takes its first step in one pass of the event loop; the rest of
            # the time lets the connections that will be made be made.
            await asyncio.sleep(settle)
            assert not evaluation.done(), f"{label}: the evaluation ended with nothing answered"
            gc.collect()
            times = []
            for _ in range(collections):
                t0 = time.perf_counter()
                gc.collect()
                times.append(time.perf_counter() - t0)
            tracked[label] = len(gc.get_objects())
            evaluation.cancel()
            try:
                await evaluation
            except asyncio.CancelledError:
                pass
            return median(times)

        seconds = interleaved({label: (lambda label=label: asyncio.run(one_run(label))) for label in starts}, repeat)
    return seconds, tracked


def print_collection_in_flight(seconds, tracked, records):
    print(f"\n== One full collection with every request in flight: hap, {records} records, a server that never answers ==")
    print(f"  ({len(seconds['native'])} runs, ms for one gc.collect() min / median / max; tracked objects then)")
    for label, runs in seconds.items():
        print(f"  {label:<11}{fmt_spread([t * 1e3 for t in runs], 1, 9, 1)}{tracked[label]:>12}")
    for baseline in ("literal", "fast", "bare loop"):
        ratios = speedups(seconds, baseline)
        print(f"  {'speed-up over ' + baseline:<24}{fmt_spread(ratios, 1, 8, 2, 'x')}   {gain_verdict(ratios)}")


def print_in_flight(figures, with_types, top=15):
    print("\n== In flight: objects per record while every request is in flight (stub session, hap) ==")
    print("  (census when the stub's post is called for the last body, less the one before the run; collector off)")
    print(f"  {'objects per record in flight:':<34}{'tracked':>9}{'blocks':>9}")
    def name(label):
        if label == "bare loop":
            return label
        return f"{label[:-4]} (evaluate_async)" if label.endswith(" e2e") else f"{label} (gather)"

    for label, (tracked, blocks, _) in figures.items():
        print(f"  {name(label):<34}{tracked:9.2f}{blocks:9.2f}")
    bare_tracked, bare_blocks, _ = figures["bare loop"]
    for label in ("native", "native e2e"):
        tracked, blocks, _ = figures[label]
        print(f"  {name(label) + ' - bare loop':<34}{tracked - bare_tracked:+9.2f}{blocks - bare_blocks:+9.2f}")
    print("  (gather: send_with_retries, or the bare loop's request, gathered over the bodies built before the run;\n"
          "   evaluate_async: end to end, so also its own bodies, record ids and columns, one str a body;\n"
          "   blocks: the interpreter's small-object allocator only, so neither the native coroutines' C++ frames\n"
          "   (the module's frame arena) nor allocations over 512 bytes)")
    if not with_types:
        return
    native_types, bare_types = figures["native"][2], figures["bare loop"][2]
    diff = {k: native_types.get(k, 0) - bare_types.get(k, 0) for k in set(native_types) | set(bare_types)}
    ranked = sorted((k for k in diff if abs(diff[k]) >= 0.005), key=lambda k: (-abs(diff[k]), k))[:top]
    print(f"\n  tracked objects per record in flight by type, native (gather) against the bare loop, top {top}:")
    print(f"  {'type':<44}{'native':>9}{'bare':>9}{'diff':>9}")
    for k in ranked:
        print(f"  {k:<44}{native_types.get(k, 0):9.2f}{bare_types.get(k, 0):9.2f}{diff[k]:+9.2f}")


# ---- the provider's own work ------------------------------------------------------------------


def own_work(metric, table, configuration, api_client, records, repeat):
    """{step: {side: [seconds per round]}} for one metric and one set of result classes."""
    providers = {label: make_provider(m, metric, configuration, api_client) for label, m in SIDES}
    _, record_ids = providers["native"]._ScreeningProvider__pre_process_data(data=table)
    results = canned_results(records, native.Error)

    def one_round(p):
        return {
            "pre": timed(lambda: p._ScreeningProvider__pre_process_data(data=table)),
            "post": timed(lambda: p._ScreeningProvider__post_process(results, record_ids)),
        }

    return by_step(interleaved({label: (lambda p=p: one_round(p)) for label, p in providers.items()}, repeat))


# ---- profiles -----------------------------------------------------------------------------------


# ---- main ---------------------------------------------------------------------------------------


def mib(n):
    return n / (1024 * 1024)


def print_e2e(metric, figures, peaks, records):
    """One metric's end-to-end block; returns the per-round native/bare throughput ratios."""
    print(f"{metric}")
    for label, f in figures.items():
        rates = [records / t for t in f["wall"]]
        cpu = [c / records * 1e6 for c in f["cpu"]]
        mem = f"{mib(peaks[label]):10.1f}{peaks[label] / peaks['bare loop']:8.2f}" if label in peaks else f"{'-':>10}{'-':>8}"
        print(f"  {label:<11}{fmt_spread(rates, 1, 8, 0)}{fmt_spread(cpu, 1, 8, 1)}"
              f"{median(f['gc']) / records * 1e6:7.1f}{mem}{median(f['responder']):9.0%}")
    walls = {label: f["wall"] for label, f in figures.items()}
    cpus = {label: f["cpu"] for label, f in figures.items()}
    of_bare = speedups(walls, "bare loop")
    print(f"  {'native throughput / bare loop (wall)':<45}{fmt_spread(of_bare, 1, 8, 2, 'x')}")
    print(f"  {'bare loop CPU / native CPU':<45}{fmt_spread(speedups(cpus, 'bare loop'), 1, 8, 2, 'x')}")
    for baseline in ("literal", "fast"):
        ratios = speedups(walls, baseline)
        print(f"  {'speed-up over ' + baseline + ' (wall)':<45}{fmt_spread(ratios, 1, 8, 2, 'x')}   {gain_verdict(ratios)}")
        ratios = speedups(cpus, baseline)
        print(f"  {'speed-up over ' + baseline + ' (client CPU)':<45}{fmt_spread(ratios, 1, 8, 2, 'x')}   "
              f"{gain_verdict(ratios)}")
    return of_bare


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20_000)
    parser.add_argument("--repeat", type=run_count, default=3, help="timed runs per side (at least 3; own work 5 at least)")
    parser.add_argument("--metrics", default="hap,faithfulness", help="end-to-end metrics, comma-separated")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--memory-all", action="store_true", help="also measure the baselines' peak memory")
    parser.add_argument("--profile", action="store_true", help="cProfile the native side afterwards")
    parser.add_argument("--object-types", action="store_true",
                        help="with the in-flight counts, the tracked objects by type, native against the bare loop")
    parser.add_argument("--in-flight-only", action="store_true",
                        help="only the equivalence check and the in-flight counts (no timing)")
    args = parser.parse_args()
    e2e_metrics = [m for m in args.metrics.split(",") if m]
    records = args.records
    own_repeat = max(args.repeat, 5)

    print(f"Python {sys.version.split()[0]}, aiohttp {aiohttp.__version__}, pandas {pd.__version__}, "
          f"{os.cpu_count()} CPUs; {records} records, {args.repeat} runs; "
          f"load average {os.getloadavg()[0]:.2f}")
    table = make_table(records)
    configuration = make_configuration()
    started = time.perf_counter()
    failures = []

    with CannedResponder() as responder:
        api_client = make_api_client(responder.url)
        check_equivalence(table, configuration, api_client, records)

        if args.in_flight_only:
            print_in_flight(in_flight(table, configuration, api_client, records, args.object_types), args.object_types)
            return 0

        # 1. End to end
        phase = time.perf_counter()
        print(f"\n== End to end: evaluate_async over {records} records, canned responder at {responder.url} ==")
        print(f"  ({args.repeat} runs, min / median / max; in GC, resp. CPU: medians)")
        print(f"  {'side':<11}{'records/s':>24}{'client CPU µs/rec':>24}{'in GC':>7}{'peak MiB':>10}{'vs bare':>8}"
              f"{'resp. CPU':>10}")
        memory_labels = ("native", "literal", "fast", "bare loop") if args.memory_all else ("native", "bare loop")
        for metric in e2e_metrics:
            runners = e2e_runners(metric, table, configuration, api_client)
            figures = time_e2e(runners, records, args.repeat, responder)
            peaks = {} if args.skip_memory else memory_e2e(runners, memory_labels)
            of_bare = print_e2e(metric, figures, peaks, records)
            # hap, the lightest body, shows the provider's own cost best: it is held to 0.95 in
            # every run; the others to 0.9 on the median.
            if metric == "hap" and min(of_bare) < 0.95:
                failures.append(f"{metric}: native throughput {min(of_bare):.2f} of the bare loop's by wall time "
                                f"in its slowest run (median {median(of_bare):.2f}, max {max(of_bare):.2f}; "
                                "target >= 0.95 in every run)")
            elif median(of_bare) < 0.9:
                failures.append(f"{metric}: native throughput {median(of_bare):.2f} of the bare loop's by wall time "
                                f"(median; min {min(of_bare):.2f}, max {max(of_bare):.2f}; target >= 0.90)")
            if peaks and peaks["native"] / peaks["bare loop"] > 1.1:
                failures.append(f"{metric}: native peak memory {peaks['native'] / peaks['bare loop']:.2f} x "
                                "the bare loop's (target <= 1.1)")
        print("(records/s: by wall time; client CPU µs/rec: this process's CPU time per record, the better guide on a"
              " busy machine;\n in GC: of the CPU µs/rec, those spent in the cyclic garbage collector; peak: tracemalloc,"
              " a separate run;\n resp. CPU: the responder's share of one core; speed-ups: baseline / native of the"
              " same round)")
        print(f"[{time.perf_counter() - phase:.0f} s]")

        # 1b. Sending alone
        phase = time.perf_counter()
        alone = sending_alone(table, configuration, api_client, records, args.repeat)
        print("\n== Sending alone: gather of every request on a stub session (no network), hap, client CPU ==")
        print(f"  ({args.repeat} runs, µs/request min / median / max; over bare: medians)")
        for label, seconds in alone.items():
            us = [t / records * 1e6 for t in seconds]
            over = median(us) - median([t / records * 1e6 for t in alone["bare loop"]])
            print(f"  {label:<11}{fmt_spread(us, 1, 9, 2)}{over:+11.2f}")
        for baseline in ("literal", "fast"):
            ratios = speedups(alone, baseline)
            print(f"  {'speed-up over ' + baseline:<20}{fmt_spread(ratios, 1, 8, 2, 'x')}   {gain_verdict(ratios)}")
        print_in_flight(in_flight(table, configuration, api_client, records, args.object_types), args.object_types)
        print_collection_in_flight(*collection_in_flight(table, configuration, records, args.repeat), records)
        print(f"[{time.perf_counter() - phase:.0f} s]")

        # 2. The provider's own work
        phase = time.perf_counter()
        for variant in ("pydantic", "plain"):
            with swapped_classes(variant == "plain"):
                steps = []
                for metric in METRICS:
                    figures = own_work(metric, table, configuration, api_client, records, own_repeat)
                    steps += [(f"{metric}: body building", figures["pre"]), (f"{metric}: post-process", figures["post"])]
            title = ("SDK result classes (pydantic)" if variant == "pydantic" else "trivial plain result classes")
            out = report(f"The provider's own work, {records} records, {title}", steps, per=records, unit="rec",
                         targets={step: 2.0 for step, _ in steps})
            for step, ratios in out.items():
                if ratios["fast"][1] < 2:
                    failures.append(f"{variant}/{step}: native speed-up {ratios['fast'][1]:.2f}x over the fast "
                                    f"baseline (median; {ratios['literal'][1]:.2f}x over the literal one; target >= 2x)")
        print(f"[{time.perf_counter() - phase:.0f} s]")

        if args.profile:
            p = make_provider(native, "hap", configuration, api_client)
            profile("native evaluate_async, hap", lambda: asyncio.run(p.evaluate_async(table)))
            _, ids = p._ScreeningProvider__pre_process_data(data=table)
            results = canned_results(records, native.Error)
            profile("native post-process, hap, pydantic classes", lambda: p._ScreeningProvider__post_process(results, ids))
            profile("native body building, faithfulness",
                    lambda: make_provider(native, "faithfulness", configuration, api_client)._ScreeningProvider__pre_process_data(data=table))

    print(f"\nresponder served {responder.served} requests; total {time.perf_counter() - started:.0f} s; "
          f"load average {os.getloadavg()[0]:.2f}")
    if failures:
        print("\nTargets missed:")
        for f in failures:
            print(" -", f)
    else:
        print("\nAll targets met.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
