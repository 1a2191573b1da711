import os as os
import uuid as uuid
from datetime import datetime as datetime
from typing import Any, TypeVar

import pandas as pd

from tessaly.clients.api_client import APIClient as APIClient
from tessaly.clients.meter_client import MeterClient as MeterClient
from tessaly.config import AgenticAIConfiguration as AgenticAIConfiguration
from tessaly.config import GenAIConfiguration as GenAIConfiguration
from tessaly.entities.enums import MetricGroup as MetricGroup
from tessaly.entities.evaluation_result import MetricsEvaluationResult as MetricsEvaluationResult
from tessaly.entities.metric import GenAIMetric as GenAIMetric
from tessaly.utils.async_util import gather_with_concurrency as gather_with_concurrency
from tessaly.utils.async_util import run_in_event_loop as run_in_event_loop
from tessaly.utils.python_utils import track_duration as track_duration
from tessaly.utils.segment_batch_manager import SegmentBatchManager as SegmentBatchManager

api_client_cache: APIClient | None

# Any metric class: a list of HAPMetric (or of several metric classes) is taken as it is, while
# the entries still take exactly a list.
_Metric = TypeVar("_Metric", bound=GenAIMetric)

def _evaluate_metrics(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame | dict[str, Any] | list[dict[str, Any]],
    metrics: list[_Metric],
    api_client: APIClient | None = None,
    metric_groups: list[MetricGroup] = [],
    **kwargs: Any,
) -> MetricsEvaluationResult: ...
async def _evaluate_metrics_async(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame | dict[str, Any] | list[dict[str, Any]],
    metrics: list[_Metric],
    api_client: APIClient | None = None,
    metric_groups: list[MetricGroup] = [],
    **kwargs: Any,
) -> MetricsEvaluationResult: ...
def _resolve_metric_dependencies(
    metrics: list[_Metric] = [], metric_groups: list[MetricGroup] = []
) -> list[GenAIMetric]:
    """
    Helper method to generate the metrics queue based on metrics dependencies and metric groups.
    """
