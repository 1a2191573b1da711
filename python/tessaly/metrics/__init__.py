"""Metrics the SDK computes in process, without a remote service or a judge model."""

from tessaly.metrics.local_metrics import (
    AverageOfMetric,
    ContextCountMetric,
    KeywordCountMetric,
    TextLengthMetric,
    WordCountMetric,
    metrics_of_group,
)

__all__ = [
    "AverageOfMetric",
    "ContextCountMetric",
    "KeywordCountMetric",
    "TextLengthMetric",
    "WordCountMetric",
    "metrics_of_group",
]
