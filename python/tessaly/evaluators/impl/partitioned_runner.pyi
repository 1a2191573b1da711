import os
import sys as sys
import warnings as warnings
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

# Seconds between updates of the progress shown: on a terminal, and between lines elsewhere.
PROGRESS_REFRESH_SECONDS: float
PROGRESS_LINE_SECONDS: float

class CheckpointWarning(UserWarning):
    """What a checkpoint store could not give or keep: entries not used, partitions not saved."""

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
    checkpoint: str | os.PathLike[str] | None = None,
    retry_failed: bool = False,
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

    checkpoint: a local directory (str or os.PathLike) or an fsspec URL (scheme://...) of a
    store that every worker reaches. Each finished partition is written there as soon as it is
    finished, by whoever finished it; a later call with the same checkpoint, configuration,
    metrics, metric groups, extra keywords, partition size and data evaluates only the
    partitions not stored yet, and returns what an uninterrupted run returns. Identifiers and
    timestamps that the run fills are derived from the store's manifest, so that a resumed run
    fills the same ones. A store that cannot be written is refused (OSError) before anything is
    evaluated; entries of other work, corrupt or unreadable ones are evaluated again, and a
    partition that cannot be saved still counts, each told by one CheckpointWarning.
    retry_failed: evaluate again the stored partitions with records whose request failed
    (code REQUEST_FAILED or an HTTP status).
    progress: records done of the total, records per second, time left and failed record
    results on standard error, at record granularity (a line rewritten in place on a terminal,
    a line every PROGRESS_LINE_SECONDS elsewhere), and the totals at the end.
    """

def _evaluate_partition(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame,
    metrics: list[_Metric],
    api_client: APIClient | None,
    metric_groups: list[MetricGroup],
    kwargs: dict[str, Any],
    run: dict[str, Any] | None = None,
) -> tuple[int, MetricsEvaluationResult | None, dict[str, Any]]:
    """Evaluates one partition: (its rows, _evaluate_metrics of it, notes), or (0, None, notes) without rows; with a store in `run`, looks there first (resume) and saves the finished partition there."""
