"""The SDK's metrics: computed in process, or by the detection service."""

from tessaly.metrics.criteria_metrics import CriteriaJudgeMetric
from tessaly.metrics.detector_metrics import (
    AnswerRelevanceMetric,
    ContextRelevanceMetric,
    DetectorMetric,
    FaithfulnessMetric,
    HAPMetric,
    HarmMetric,
    KeywordDetectionMetric,
    PIIMetric,
    PromptSafetyRiskMetric,
    RegexDetectionMetric,
    ToolCallAccuracyMetric,
    TopicRelevanceMetric,
)
from tessaly.metrics.judge_metrics import (
    AnswerCorrectnessMetric,
    AnswerRelevanceJudgeMetric,
    AnswerSimilarityMetric,
    ContextRelevanceJudgeMetric,
    FaithfulnessJudgeMetric,
    TabuloMetric,
)
from tessaly.metrics.local_metrics import (
    AverageOfMetric,
    ContextCountMetric,
    KeywordCountMetric,
    TextLengthMetric,
    WordCountMetric,
    metrics_of_group,
)

__all__ = [
    "AnswerRelevanceMetric",
    "AverageOfMetric",
    "ContextCountMetric",
    "ContextRelevanceMetric",
    "CriteriaJudgeMetric",
    "DetectorMetric",
    "FaithfulnessMetric",
    "HAPMetric",
    "HarmMetric",
    "KeywordCountMetric",
    "KeywordDetectionMetric",
    "PIIMetric",
    "PromptSafetyRiskMetric",
    "RegexDetectionMetric",
    "TextLengthMetric",
    "ToolCallAccuracyMetric",
    "TopicRelevanceMetric",
    "WordCountMetric",
    "metrics_of_group",
]

__all__ += [
    "AnswerCorrectnessMetric",
    "AnswerRelevanceJudgeMetric",
    "AnswerSimilarityMetric",
    "ContextRelevanceJudgeMetric",
    "FaithfulnessJudgeMetric",
    "TabuloMetric",
]
