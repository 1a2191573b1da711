"""Metrics computed from the table alone.

Each one gives one record-level result per row, keyed by the configuration's
record-identifier column, and aggregates them with ``AggregateMetricResult.create``.
"""

import asyncio
import math
import re
from numbers import Real
from typing import Any

import pandas as pd
from pydantic import Field, field_validator

from tessaly.config import GenAIConfiguration
from tessaly.entities.base_classes import Error
from tessaly.entities.enums import EvaluationProvider, MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.metric import GenAIMetric
from tessaly.utils.python_utils import transform_str_to_list


def _is_missing(cell: Any) -> bool:
    return cell is None or (pd.api.types.is_scalar(cell) and pd.isna(cell))


def _check_inputs(data: Any, configuration: Any) -> None:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame, got {type(data).__name__}")
    if not isinstance(configuration, GenAIConfiguration):
        raise TypeError(
            f"configuration must be a GenAIConfiguration, got {type(configuration).__name__}"
        )
    if configuration.record_id_field not in data.columns:
        raise ValueError(
            f"The record id column '{configuration.record_id_field}' is missing from the data."
        )


def _first_field(fields: list[str] | None, kind: str, metric: str) -> str:
    if not fields:
        raise ValueError(f"The metric '{metric}' needs at least one {kind} field in the configuration.")
    return fields[0]


class LocalMetric(GenAIMetric):
    """Shared plumbing of the in-process metrics."""

    def _record(self, record_id, timestamp, value, errors=None) -> RecordMetricResult:
        return RecordMetricResult(
            name=self.name,
            display_name=self.display_name,
            method=self.method,
            group=self.group,
            provider=EvaluationProvider.LOCAL.value,
            value=value,
            record_id=record_id,
            record_timestamp=timestamp,
            thresholds=self.thresholds,
            errors=errors,
        )

    def _aggregate(self, records: list[RecordMetricResult]) -> AggregateMetricResult:
        result = AggregateMetricResult.create(records)
        if not records:  # nothing to take the description from
            result.name, result.display_name, result.method = self.name, self.display_name, self.method
            result.group, result.provider = self.group, EvaluationProvider.LOCAL.value
            result.thresholds = self.thresholds
        return result

    @staticmethod
    def _keys(data: pd.DataFrame, configuration: GenAIConfiguration) -> tuple[list, list]:
        ids = data[configuration.record_id_field].tolist()
        ts_field = configuration.record_timestamp_field
        timestamps = data[ts_field].tolist() if ts_field in data.columns else [None] * len(ids)
        return ids, timestamps

    async def evaluate_async(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        await asyncio.sleep(0)  # give the other metrics of a concurrent run their turn
        return self.evaluate(data=data, configuration=configuration, **kwargs)


class RecordScoreMetric(LocalMetric):
    """Scores every record on its own from one column; a missing cell gives no value and an error."""

    def source_column(self, configuration: GenAIConfiguration) -> str:
        raise NotImplementedError

    def score(self, cell: Any) -> float | None:
        raise NotImplementedError

    def evaluate(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        _check_inputs(data, configuration)
        column = self.source_column(configuration)
        if column not in data.columns:
            raise ValueError(f"The column '{column}' needed by the metric '{self.name}' is missing from the data.")
        ids, timestamps = self._keys(data, configuration)
        records = []
        for record_id, timestamp, cell in zip(ids, timestamps, data[column].tolist()):
            if _is_missing(cell):
                message = f"The column '{column}' has no value for this record."
                records.append(self._record(record_id, timestamp, None, [Error(code="MISSING_VALUE", message_en=message)]))
            else:
                records.append(self._record(record_id, timestamp, self.score(cell)))
        return self._aggregate(records)


class TextLengthMetric(RecordScoreMetric):
    """Number of characters of the output text."""

    name: str = "text_length"
    display_name: str | None = "Text Length"
    method: str | None = "character_count"

    def source_column(self, configuration):
        return _first_field(configuration.output_fields, "output", self.name)

    def score(self, cell):
        return float(len(str(cell)))


class WordCountMetric(RecordScoreMetric):
    """Number of whitespace-separated words of the output text."""

    name: str = "word_count"
    display_name: str | None = "Word Count"
    method: str | None = "whitespace_split"

    def source_column(self, configuration):
        return _first_field(configuration.output_fields, "output", self.name)

    def score(self, cell):
        return float(len(str(cell).split()))


class KeywordCountMetric(RecordScoreMetric):
    """Occurrences of the keywords, as whole words or phrases, in the output text."""

    name: str = "keyword_count"
    display_name: str | None = "Keyword Count"
    method: str | None = "whole_word_match"
    keywords: list[str] = Field(min_length=1)
    case_sensitive: bool = False

    @field_validator("keywords")
    @classmethod
    def _non_blank(cls, keywords):
        if any(not k.strip() for k in keywords):
            raise ValueError("keywords must not be blank")
        return keywords

    def source_column(self, configuration):
        return _first_field(configuration.output_fields, "output", self.name)

    def score(self, cell):
        flags = 0 if self.case_sensitive else re.IGNORECASE
        text = str(cell)
        return float(sum(
            len(re.findall(r"(?<!\w)" + re.escape(k) + r"(?!\w)", text, flags)) for k in self.keywords
        ))


class ContextCountMetric(RecordScoreMetric):
    """Number of contexts retrieved for the record."""

    name: str = "context_count"
    display_name: str | None = "Context Count"
    method: str | None = "list_length"

    def source_column(self, configuration):
        return _first_field(configuration.context_fields, "context", self.name)

    def score(self, cell):
        return float(len(transform_str_to_list(cell)))


class AverageOfMetric(LocalMetric):
    """Per record, the mean of the values its dependency metrics gave that record.

    Needs the dependencies' results as ``metrics_result``; records for which no
    dependency has a numeric value get no value.
    """

    name: str = "average"
    display_name: str | None = "Average"
    method: str | None = "mean"
    metric_dependencies: list[GenAIMetric] = Field(min_length=1)

    def evaluate(self, data, configuration, metrics_result=None, **kwargs: Any) -> AggregateMetricResult:
        _check_inputs(data, configuration)
        by_name = {}
        for result in metrics_result or []:
            name = getattr(result, "name", None)
            if name is not None:
                by_name.setdefault(name, result)
        per_dependency = []
        for dependency in self.metric_dependencies:
            result = by_name.get(dependency.name)
            if result is None:
                raise ValueError(
                    f"The result of the metric '{dependency.name}', which '{self.name}' depends on, "
                    "is not available."
                )
            per_dependency.append({r.record_id: r.value for r in result.record_level_metrics})
        ids, timestamps = self._keys(data, configuration)
        records = []
        for record_id, timestamp in zip(ids, timestamps):
            key = record_id if isinstance(record_id, str) else str(record_id)
            values = []
            for dependency_values in per_dependency:
                value = dependency_values.get(key)
                if isinstance(value, Real) and not isinstance(value, bool) and not math.isnan(value):
                    values.append(float(value))
            mean = round(sum(values) / len(values), 4) if values else None
            records.append(self._record(record_id, timestamp, mean))
        return self._aggregate(records)


def metrics_of_group(group: MetricGroup) -> list[GenAIMetric]:
    """New instances of the metrics of a group."""
    if group is MetricGroup.ANSWER_QUALITY:
        return [TextLengthMetric(group=group), WordCountMetric(group=group)]
    if group is MetricGroup.RETRIEVAL_QUALITY:
        return [ContextCountMetric(group=group)]
    raise ValueError(f"Unknown metric group: {group!r}")
