"""Plain-Python metrics runner, the reference the native module is measured against.

It performs the same steps, in the same order and with the same SDK helpers, as
``tessaly.evaluators.impl.metrics_runner``: resolve the API client (shared default
client), build the usage-metering client, turn the data into a table, reject an empty
table, fill missing record identifiers (one ``uuid.uuid4`` per row) and the timestamp,
order the metrics by their dependencies, run them (one after another with duration
tracking and a tracking event per metric, or as coroutines under a concurrency bound),
and gather the non-None results into a ``MetricsEvaluationResult``.

Only used by the benchmarks under ``bench/``; nothing in the package imports it.
"""

import os  # noqa: F401  (bound like the native module's namespace)
import uuid
from datetime import datetime

import pandas as pd

from tessaly.clients.api_client import APIClient
from tessaly.clients.meter_client import MeterClient
from tessaly.config import AgenticAIConfiguration, GenAIConfiguration  # noqa: F401
from tessaly.entities.enums import MetricGroup  # noqa: F401
from tessaly.entities.evaluation_result import MetricsEvaluationResult
from tessaly.entities.metric import GenAIMetric  # noqa: F401
from tessaly.utils.async_util import gather_with_concurrency, run_in_event_loop
from tessaly.utils.segment_batch_manager import SegmentBatchManager
from tessaly.utils.python_utils import track_duration

api_client_cache = None

_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _check_list(name, value):
    # Exactly the built-in list: subclasses, tuples and None are refused.
    if type(value) is not list:
        raise TypeError(_TYPE_MESSAGE % (name, "list", type(value).__name__))


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

    __validate_data(configuration=configuration, data=data)
    __populate_record_id_timestamp(configuration=configuration, data=data)
    all_metrics = _resolve_metric_dependencies(metrics=metrics, metric_groups=metric_groups)
    return api_client, meter_client, data, all_metrics


def _tracking_payload(metric):
    return {"objectType": "Metric Evaluation", "custom.metric_name": metric.name}


def _evaluate_metrics(
    configuration: "GenAIConfiguration | AgenticAIConfiguration",
    data: "pd.DataFrame | dict | list[dict]",
    metrics: "list[GenAIMetric]",
    api_client: "APIClient" = None,
    metric_groups: "list[MetricGroup]" = [],  # noqa: B006  (shared, never modified)
    **kwargs,
) -> "MetricsEvaluationResult":
    _check_list("metrics", metrics)
    _check_list("metric_groups", metric_groups)
    api_client, meter_client, data, all_metrics = _prepare(
        configuration, data, metrics, api_client, metric_groups
    )

    results = []
    segment_manager = SegmentBatchManager()

    if configuration.output_fields:
        data = data.astype({field: str for field in configuration.output_fields})

    for metric in all_metrics:
        with track_duration(f"Metric Evaluation - {metric.name}"):
            if metric.metric_dependencies:
                result = metric.evaluate(
                    data=data,
                    configuration=configuration,
                    metrics_result=results,
                    api_client=api_client,
                    **kwargs,
                )
            else:
                result = metric.evaluate(
                    data=data,
                    configuration=configuration,
                    meter_client=meter_client,
                    api_client=api_client,
                    **kwargs,
                )
            results.append(result)
        run_in_event_loop(segment_manager.track_event, _tracking_payload(metric))

    results = [result for result in results if result is not None]
    return MetricsEvaluationResult(metrics_result=results)


async def _evaluate_metrics_async(
    configuration: "GenAIConfiguration | AgenticAIConfiguration",
    data: "pd.DataFrame | dict | list[dict]",
    metrics: "list[GenAIMetric]",
    api_client: "APIClient" = None,
    metric_groups: "list[MetricGroup]" = [],  # noqa: B006  (shared, never modified)
    **kwargs,
) -> "MetricsEvaluationResult":
    # The native entry checks the list arguments when it is called, before the coroutine
    # exists; here the check runs when the coroutine starts. Benchmarks pass valid lists.
    _check_list("metrics", metrics)
    _check_list("metric_groups", metric_groups)
    api_client, meter_client, data, all_metrics = _prepare(
        configuration, data, metrics, api_client, metric_groups
    )

    results = []
    futures = []
    metrics_with_dependencies = []
    dependency_metric_map = {}
    segment_manager = SegmentBatchManager()

    # Metrics without dependencies: make their coroutines, run nothing yet.
    for metric in all_metrics:
        if metric.metric_dependencies:
            metrics_with_dependencies.append(metric)
            continue
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
        await segment_manager.track_event(_tracking_payload(metric))
        dependency_metric_map[metric.name] = futures[-1]

    # Dependencies first, one at a time, each awaited once.
    segment_manager = SegmentBatchManager()
    for metric in metrics_with_dependencies:
        for dependency in metric.metric_dependencies:
            if dependency.name in dependency_metric_map:
                pending = dependency_metric_map[dependency.name]
                results.append(await pending)
                del dependency_metric_map[dependency.name]
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
        await segment_manager.track_event(_tracking_payload(metric))

    # Everything else concurrently under the bound.
    max_concurrency = kwargs.get("max_concurrency", 10)
    results.extend(await gather_with_concurrency(coros=futures, max_concurrency=max_concurrency))

    results = [result for result in results if result is not None]
    return MetricsEvaluationResult(metrics_result=results)


def _resolve_metric_dependencies(
    metrics: "list[GenAIMetric]" = [],  # noqa: B006
    metric_groups: "list[MetricGroup]" = [],  # noqa: B006
) -> "list[GenAIMetric]":
    """
    Helper method to generate the metrics queue based on metrics dependencies and metric groups.
    """
    _check_list("metrics", metrics)
    _check_list("metric_groups", metric_groups)
    metrics_queue = metrics.copy()
    for metric in metrics:
        if metric.metric_dependencies:
            for dependency in metric.metric_dependencies:
                if dependency.name not in [queued.name for queued in metrics_queue]:
                    metrics_queue.insert(0, dependency)
    for group in metric_groups:
        for metric in group.get_metrics():
            if metric.name not in [queued.name for queued in metrics_queue]:
                metrics_queue.append(metric)
    return metrics_queue


def __populate_record_id_timestamp(
    configuration: "GenAIConfiguration | AgenticAIConfiguration", data: "pd.DataFrame"
):
    if (
        configuration.record_id_field not in data.columns.to_list()
        or data[configuration.record_id_field].isnull().all()
    ):
        data[configuration.record_id_field] = [str(uuid.uuid4()) for _ in range(len(data))]
    if (
        configuration.record_timestamp_field not in data.columns.to_list()
        or data[configuration.record_timestamp_field].isnull().all()
    ):
        data[configuration.record_timestamp_field] = datetime.now().isoformat()


def __validate_data(
    configuration: "GenAIConfiguration | AgenticAIConfiguration", data: "pd.DataFrame"
):
    if data.empty:
        raise ValueError("The provided data is empty for metrics computation.")
