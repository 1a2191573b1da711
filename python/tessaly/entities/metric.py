"""Base class of the SDK's metrics."""

from typing import Any

from pydantic import BaseModel, ConfigDict, Field

from tessaly.entities.enums import MetricGroup
from tessaly.entities.metric_threshold import MetricThreshold


class GenAIMetric(BaseModel):
    """A metric computed over a table of records.

    A metric with ``metric_dependencies`` is computed from the results of those
    metrics, which the evaluation hands it as ``metrics_result``. ``evaluate``
    and ``evaluate_async`` take the table as ``data``, the configuration and any
    further keywords of the evaluation (``api_client``, ``meter_client``, ...),
    and return an ``AggregateMetricResult`` or None.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    name: str = Field(min_length=1)
    display_name: str | None = None
    method: str | None = None
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = []
    metric_dependencies: list["GenAIMetric"] = []

    def evaluate(self, data, configuration, **kwargs: Any):
        raise NotImplementedError(f"{type(self).__name__} does not implement evaluate")

    async def evaluate_async(self, data, configuration, **kwargs: Any):
        raise NotImplementedError(f"{type(self).__name__} does not implement evaluate_async")
