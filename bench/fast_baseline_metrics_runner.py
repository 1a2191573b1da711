"""Plain-Python metrics runner written for speed: the fast baseline of
bench/bench_metrics_runner.py.

The same steps, in the same order and with the same SDK helpers, as
``baseline_metrics_runner`` (the literal form), written the way idiomatic Python would
write them for speed:

- the missing record identifiers come from one ``os.urandom(16 * rows)`` call: numpy sets
  the version and variant bits of every 16 bytes, ``bytes.hex`` spells them all at once,
  numpy puts in the dashes and a space after each identifier, and one ``str.split`` cuts
  the text into the identifiers (faster than slicing it in a comprehension),
  instead of ``str(uuid.uuid4())`` per row (the same texts as ``str(uuid.uuid4())`` gives,
  from the same random source; a replaced ``uuid.uuid4`` is still called per row);
- the dependency order keeps a set of the queued names instead of a list built anew for
  every test, and the hot callables are bound to local names.

The SDK calls per metric (duration tracking, one tracking event, the metric's own
``evaluate``) are the literal form's, one for one. Only used by the benchmarks under
``bench/``; nothing in the package imports it.
"""

import os
import uuid
from datetime import datetime

import numpy as np
import pandas as pd

from baseline_metrics_runner import _check_list, _tracking_payload
from tessaly.clients.api_client import APIClient
from tessaly.clients.meter_client import MeterClient
from tessaly.entities.evaluation_result import MetricsEvaluationResult
from tessaly.utils.async_util import gather_with_concurrency, run_in_event_loop
from tessaly.utils.python_utils import track_duration
from tessaly.utils.segment_batch_manager import SegmentBatchManager

api_client_cache = None

_STANDARD_UUID4 = uuid.uuid4
_DASH = ord("-")
_SPACE = ord(" ")
# (first, last) of the hex digits' places in the text, and of the digits themselves
_GROUPS = (((0, 8), (0, 8)), ((9, 13), (8, 12)), ((14, 18), (12, 16)), ((19, 23), (16, 20)), ((24, 36), (20, 32)))


def uuid4_texts(count):
    """``count`` texts of fresh version-4 UUIDs, spelled as ``str(uuid.uuid4())`` spells them."""
    raw = np.frombuffer(os.urandom(16 * count), np.uint8).reshape(count, 16).copy()
    raw[:, 6] &= 0x0F
    raw[:, 6] |= 0x40  # version 4
    raw[:, 8] &= 0x3F
    raw[:, 8] |= 0x80  # the variant of RFC 4122
    digits = np.frombuffer(raw.tobytes().hex().encode("ascii"), np.uint8).reshape(count, 32)
    spelled = np.full((count, 37), _DASH, np.uint8)
    spelled[:, 36] = _SPACE  # one separator after each text, so that one split() cuts them all
    for (a, b), (c, d) in _GROUPS:
        spelled[:, a:b] = digits[:, c:d]
    return spelled.tobytes().decode("ascii").split()


def _prepare(configuration, data, metrics, api_client, metric_groups):
    """Steps shared by both entries; returns (api_client, meter_client, data, ordered metrics)."""
    global api_client_cache
    if not api_client:
        if not api_client_cache:
            api_client_cache = APIClient()
        api_client = api_client_cache

    meter_client = MeterClient(vexmon_client=api_client.vexmon_client)

    if isinstance(data, dict):
        data = pd.DataFrame([data])
    if isinstance(data, list):
        data = pd.DataFrame(data)

    if data.empty:
        raise ValueError("The provided data is empty for metrics computation.")
    _populate_record_id_timestamp(configuration, data)
    all_metrics = _resolve_metric_dependencies(metrics=metrics, metric_groups=metric_groups)
    return api_client, meter_client, data, all_metrics


def _evaluate_metrics(
    configuration,
    data,
    metrics,
    api_client=None,
    metric_groups=[],  # noqa: B006  (shared, never modified)
    **kwargs,
):
    _check_list("metrics", metrics)
    _check_list("metric_groups", metric_groups)
    api_client, meter_client, data, all_metrics = _prepare(configuration, data, metrics, api_client, metric_groups)

    results = []
    append = results.append
    track_event = SegmentBatchManager().track_event

    if configuration.output_fields:
        data = data.astype({field: str for field in configuration.output_fields})

    for metric in all_metrics:
        with track_duration(f"Metric Evaluation - {metric.name}"):
            if metric.metric_dependencies:
                result = metric.evaluate(
                    data=data, configuration=configuration, metrics_result=results, api_client=api_client, **kwargs
                )
            else:
                result = metric.evaluate(
                    data=data, configuration=configuration, meter_client=meter_client, api_client=api_client, **kwargs
                )
            append(result)
        run_in_event_loop(track_event, _tracking_payload(metric))

    return MetricsEvaluationResult(metrics_result=[result for result in results if result is not None])


async def _evaluate_metrics_async(
    configuration,
    data,
    metrics,
    api_client=None,
    metric_groups=[],  # noqa: B006  (shared, never modified)
    **kwargs,
):
    _check_list("metrics", metrics)
    _check_list("metric_groups", metric_groups)
    api_client, meter_client, data, all_metrics = _prepare(configuration, data, metrics, api_client, metric_groups)

    results = []
    futures = []
    metrics_with_dependencies = []
    pending_by_name = {}
    track_event = SegmentBatchManager().track_event

    # Metrics without dependencies: make their coroutines, run nothing yet.
    for metric in all_metrics:
        if metric.metric_dependencies:
            metrics_with_dependencies.append(metric)
            continue
        coroutine = metric.evaluate_async(
            data=data,
            configuration=configuration,
            metrics_result=results,
            meter_client=meter_client,
            api_client=api_client,
            **kwargs,
        )
        futures.append(coroutine)
        await track_event(_tracking_payload(metric))
        pending_by_name[metric.name] = coroutine

    # Dependencies first, one at a time, each awaited once.
    track_event = SegmentBatchManager().track_event
    for metric in metrics_with_dependencies:
        for dependency in metric.metric_dependencies:
            pending = pending_by_name.pop(dependency.name, None)
            if pending is not None:
                results.append(await pending)
                futures.remove(pending)
        futures.append(
            metric.evaluate_async(
                data=data,
                configuration=configuration,
                metrics_result=results,
                meter_client=meter_client,
                api_client=api_client,
                **kwargs,
            )
        )
        await track_event(_tracking_payload(metric))

    # Everything else concurrently under the bound.
    results.extend(await gather_with_concurrency(coros=futures, max_concurrency=kwargs.get("max_concurrency", 10)))
    return MetricsEvaluationResult(metrics_result=[result for result in results if result is not None])


def _resolve_metric_dependencies(metrics=[], metric_groups=[]):  # noqa: B006
    """The metrics queue: missing dependencies in front, the groups' missing metrics at the end."""
    _check_list("metrics", metrics)
    _check_list("metric_groups", metric_groups)
    queue = metrics.copy()
    queued = {metric.name for metric in queue}
    front = []
    for metric in metrics:
        for dependency in metric.metric_dependencies or ():
            if dependency.name not in queued:
                queued.add(dependency.name)
                front.append(dependency)
    front.reverse()  # each one was put at the front in turn
    queue[:0] = front
    for group in metric_groups:
        for metric in group.get_metrics():
            if metric.name not in queued:
                queued.add(metric.name)
                queue.append(metric)
    return queue


def _populate_record_id_timestamp(configuration, data):
    field = configuration.record_id_field
    if field not in data.columns or data[field].isnull().all():
        rows = len(data)
        if uuid.uuid4 is _STANDARD_UUID4:
            data[field] = uuid4_texts(rows)
        else:
            make = uuid.uuid4
            data[field] = [str(make()) for _ in range(rows)]
    field = configuration.record_timestamp_field
    if field not in data.columns or data[field].isnull().all():
        data[field] = datetime.now().isoformat()
