"""Record-level and aggregated metric results."""

import math
from numbers import Real
from typing import Any

import pandas as pd
from pydantic import BaseModel, ConfigDict, field_validator

from tessaly.entities.base_classes import Error
from tessaly.entities.enums import MetricGroup
from tessaly.entities.metric_threshold import MetricThreshold


def _is_number(value: Any) -> bool:
    return isinstance(value, Real) and not isinstance(value, bool) and not math.isnan(value)


class RecordMetricResult(BaseModel):
    """The value of one metric for one record."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    name: str
    display_name: str | None = None
    method: str | None = None
    group: MetricGroup | str | None = None
    provider: str | None = None
    value: Any = None  # a score, usually a float; judges may give a text or None
    record_id: str | None = None
    record_timestamp: str | None = None
    thresholds: list[MetricThreshold] = []
    label: str | None = None
    explanation: str | None = None
    additional_info: dict[str, Any] | None = None
    errors: list[Error] | None = None
    evidences: list[Any] | None = None

    @field_validator("record_id", "record_timestamp", mode="before")
    @classmethod
    def _as_text(cls, value):
        # Tables may hold integer identifiers or timestamp objects.
        if value is None or isinstance(value, str):
            return value
        if pd.api.types.is_scalar(value) and pd.isna(value):
            return None
        return value.isoformat() if hasattr(value, "isoformat") else str(value)


class AggregateMetricResult(BaseModel):
    """A metric over a whole table: its record-level results and their mean, min and max."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    name: str | None = None
    display_name: str | None = None
    method: str | None = None
    group: MetricGroup | str | None = None
    provider: str | None = None
    value: float | str | None = None  # "Error" when no record has a value
    total_records: int = 0
    record_level_metrics: list[RecordMetricResult] = []
    min: float | None = None
    max: float | None = None
    mean: float | None = None
    thresholds: list[MetricThreshold] = []
    errors: list[Error] | None = None

    @classmethod
    def create(cls, records: list[RecordMetricResult]) -> "AggregateMetricResult":
        """Aggregate record results of one metric.

        Mean, min and max are taken over the numeric values (None, NaN and texts
        are left out) and rounded to 4 places; the value is the mean. The
        metric's description comes from the first record.
        """
        if not isinstance(records, list):
            raise TypeError(f"records must be a list, got {type(records).__name__}")
        for record in records:
            if not isinstance(record, RecordMetricResult):
                raise TypeError(
                    f"records must hold RecordMetricResult objects, got {type(record).__name__}"
                )
        values = [float(r.value) for r in records if _is_number(r.value)]
        mean = round(sum(values) / len(values), 4) if values else None
        first = records[0] if records else None
        return cls(
            name=first.name if first else None,
            display_name=first.display_name if first else None,
            method=first.method if first else None,
            group=first.group if first else None,
            provider=first.provider if first else None,
            thresholds=first.thresholds if first else [],
            value=mean,
            mean=mean,
            min=round(min(values), 4) if values else None,
            max=round(max(values), 4) if values else None,
            total_records=len(records),
            record_level_metrics=records,
        )


class MetricsEvaluationResult(BaseModel):
    """All results of one evaluation call, usually ``AggregateMetricResult`` objects."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    metrics_result: list[Any] = []

    def to_df(self) -> pd.DataFrame:
        """One row per record-level result, in the order of the metrics."""
        columns = ["name", "method", "provider", "record_id", "value", "label", "errors"]
        rows = []
        for result in self.metrics_result:
            for record in getattr(result, "record_level_metrics", None) or []:
                errors = "; ".join(e.message_en for e in record.errors or []) or None
                rows.append(
                    [record.name, record.method, record.provider, record.record_id,
                     record.value, record.label, errors]
                )
        return pd.DataFrame(rows, columns=columns)
