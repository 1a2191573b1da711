import sys as sys
import time as time
from types import ModuleType
from typing import Any, TypeVar

import pandas as pd

from tessaly.clients.api_client import APIClient
from tessaly.config import AgenticAIConfiguration, GenAIConfiguration
from tessaly.entities.enums import MetricGroup
from tessaly.entities.evaluation_result import MetricsEvaluationResult as MetricsEvaluationResult
from tessaly.entities.metric import GenAIMetric
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics as _evaluate_metrics

metrics_runner: ModuleType

# Any metric class, as for _evaluate_metrics: a list of them, not any other sequence.
_Metric = TypeVar("_Metric", bound=GenAIMetric)

def _evaluate_metrics_partitioned(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame | dict[str, Any] | list[dict[str, Any]] | Any,
    metrics: list[_Metric],
    api_client: APIClient | None = None,
    metric_groups: list[MetricGroup] = [],
    *,
    partition_rows: int = 50000,
    client: Any | None = None,
    progress: bool = False,
    partitions_in_flight: int | None = None,
    **kwargs: Any,
) -> MetricsEvaluationResult:
    """Evaluates metrics as _evaluate_metrics does, partition by partition: a pandas table in
    partitions of at most partition_rows rows (its record identifiers and timestamps filled
    first), a Dask DataFrame in its own partitions. Without a client the partitions run one
    after another in this process; with a distributed.Client they run on its workers, at most
    partitions_in_flight at once (default: the cluster's worker threads). The result is the
    whole table's: record results in table order, counts, min, max and errors merged exactly,
    the mean the partitions' means weighted by the records that entered each (equal to the
    whole table's to within its rounding to 4 places). A failing partition fails the run with
    its error (the first one in table order).
    """

def _evaluate_partition(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame,
    metrics: list[_Metric],
    api_client: APIClient | None,
    metric_groups: list[MetricGroup],
    kwargs: dict[str, Any],
) -> tuple[int, MetricsEvaluationResult | None]:
    """Evaluates one partition: (its rows, _evaluate_metrics of it), or (0, None) without rows."""
