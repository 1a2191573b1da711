import asyncio as asyncio
import functools as functools
import re as re
from typing import Any

import pandas as pd
import tiktoken as tiktoken
from lazy_imports import LazyModule as LazyModule
from lazy_imports import load as load

from tessaly.entities.criteria import Option as Option
from tessaly.entities.enums import MetricGroup as MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult as AggregateMetricResult
from tessaly.entities.llm_judge import LLMJudge as LLMJudge
from tessaly.entities.metric_threshold import MetricThreshold as MetricThreshold

vr_imports: LazyModule
VrCriteria: Any
VrCriteriaOption: Any
Instance: Any
DirectJudge: Any
CrossProviderInferenceEngine: Any
VARIABLES_PATTERN: str

class VerdraProvider:
    """Invokes the criteria-judge library for computing the LLM-as-judge metrics."""

    metric_name: str
    display_name: str
    value_type: str
    llm_judge: LLMJudge
    criteria_description: str | None
    prompt_template: str | None
    options: list[Option]
    context_fields: list[str]
    prediction_field: str | None
    metric_group: MetricGroup | None
    metric_method: str | None
    thresholds: list[MetricThreshold]
    record_id_field: str
    record_timestamp_field: str
    compute_token_count: bool
    encoding: Any

    def __init__(
        self,
        metric_name: str,
        display_name: str,
        value_type: str,
        llm_judge: LLMJudge,
        options: list[Option],
        criteria_description: str | None = None,
        prompt_template: str | None = None,
        context_fields: list[str] = [],
        prediction_field: str | None = None,
        metric_group: MetricGroup | None = None,
        metric_method: str | None = None,
        thresholds: list[MetricThreshold] = [],
        **kwargs: Any,
    ) -> None: ...
    async def evaluate_async(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    def evaluate(self, data: pd.DataFrame) -> AggregateMetricResult: ...
