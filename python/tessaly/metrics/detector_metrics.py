"""Metrics computed by the remote detection service.

Each metric hands its definition to ``ScreeningProvider``, which sends one request
per record to the service and aggregates the answers. The evaluation must be given
the SDK's API client (keyword ``api_client``): the provider takes the service's
address, the bearer token and the service instance from it.
"""

import re
from typing import Any, ClassVar, Literal

import pandas as pd
from pydantic import Field, field_validator

from tessaly.config import GenAIConfiguration
from tessaly.entities.enums import StonewatchRisks
from tessaly.entities.evaluation_result import AggregateMetricResult
from tessaly.entities.metric import GenAIMetric


def _as_table(data: Any) -> pd.DataFrame:
    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, dict):
        return pd.DataFrame([data])
    if isinstance(data, list):
        return pd.DataFrame(data)
    raise TypeError(f"data must be a pandas DataFrame, a dict or a list of dicts, got {type(data).__name__}")


def _non_blank_texts(values: list[str], what: str) -> list[str]:
    if any(not value.strip() for value in values):
        raise ValueError(f"{what} must not be blank")
    return values


class DetectorMetric(GenAIMetric):
    """A metric that the detection service computes.

    Subclasses fix the metric's name (the service's detector), its methods and
    the detector parameters they send.
    """

    # Which configured columns the metric reads besides the input and the record id.
    reads_output: ClassVar[bool] = False
    reads_contexts: ClassVar[bool] = False
    reads_tool_calls: ClassVar[bool] = False

    def detector_params(self) -> dict[str, Any] | None:
        """Parameters sent to the detector, or None."""
        return None

    def _check(self, data: pd.DataFrame, configuration: Any) -> None:
        if not isinstance(configuration, GenAIConfiguration):
            raise TypeError(
                f"configuration must be a GenAIConfiguration, got {type(configuration).__name__}"
            )
        needed = {"input": configuration.input_fields[:1]}
        if self.reads_output:
            needed["output"] = (configuration.output_fields or [])[:1]
        if self.reads_contexts:
            needed["context"] = configuration.context_fields
        if self.reads_tool_calls:
            needed["tool calls"] = [configuration.tool_calls_field] if configuration.tool_calls_field else []
        needed["record id"] = [configuration.record_id_field]
        for kind, columns in needed.items():
            if not columns:
                raise ValueError(f"The metric '{self.name}' needs the {kind} field in the configuration.")
            for column in columns:
                if column not in data.columns:
                    raise ValueError(
                        f"The {kind} column '{column}' needed by the metric '{self.name}' is missing from the data."
                    )

    def _provider(self, configuration: GenAIConfiguration, kwargs: dict[str, Any]):
        # The provider is a native module; import it only when a metric is computed.
        from tessaly.providers.screening_provider import ScreeningProvider

        params = self.detector_params()
        if params:
            kwargs = {**kwargs, "detector_params": params}
        return ScreeningProvider(
            configuration=configuration,
            metric_name=self.name,
            metric_display_name=self.display_name or self.name,
            metric_method=self.method,
            metric_group=self.group,
            thresholds=self.thresholds,
            **kwargs,
        )

    def evaluate(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        """Compute the metric over ``data``; ``kwargs`` must hold ``api_client``."""
        data = _as_table(data)
        self._check(data, configuration)
        return self._provider(configuration, kwargs).evaluate(data=data)

    async def evaluate_async(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        data = _as_table(data)
        self._check(data, configuration)
        return await self._provider(configuration, kwargs).evaluate_async(data=data)


class HAPMetric(DetectorMetric):
    """Hateful, abusive or profane content in the input; evidences are the spans found."""

    name: Literal["hap"] = "hap"
    display_name: str | None = "HAP"
    method: Literal["hap_model"] = "hap_model"


class PIIMetric(DetectorMetric):
    """Personal data (e-mail addresses, phone and card numbers, ...) in the input."""

    name: Literal["pii"] = "pii"
    display_name: str | None = "PII"
    method: Literal["pii_model"] = "pii_model"


class KeywordDetectionMetric(DetectorMetric):
    """Occurrences of the given keywords in the input, as whole words or phrases."""

    name: Literal["keyword"] = "keyword"
    display_name: str | None = "Keyword Detection"
    method: Literal["keyword_match"] = "keyword_match"
    keywords: list[str] = Field(min_length=1)

    @field_validator("keywords")
    @classmethod
    def _keywords(cls, keywords):
        return _non_blank_texts(keywords, "keywords")

    def detector_params(self):
        return {"keywords": list(self.keywords)}


class RegexDetectionMetric(DetectorMetric):
    """Matches of the given regular expressions (Python syntax) in the input."""

    name: Literal["regex"] = "regex"
    display_name: str | None = "Regex Detection"
    method: Literal["regex_match"] = "regex_match"
    regex: list[str] = Field(min_length=1)

    @field_validator("regex")
    @classmethod
    def _patterns(cls, patterns):
        _non_blank_texts(patterns, "regex patterns")
        for pattern in patterns:
            try:
                re.compile(pattern)
            except re.error as exc:
                raise ValueError(f"the regular expression {pattern!r} is not valid: {exc}") from None
        return patterns

    def detector_params(self):
        return {"regex": list(self.regex)}


class HarmMetric(DetectorMetric):
    """One risk of the safety detector in the input; the metric is named after the risk."""

    name: str = "harm"
    display_name: str | None = None
    method: Literal["stonewatch"] = "stonewatch"

    @field_validator("name")
    @classmethod
    def _risk(cls, name):
        risks = StonewatchRisks.values()
        if name not in risks:
            raise ValueError(f"unknown risk {name!r}; the safety detector serves: {', '.join(risks)}")
        return name

    def model_post_init(self, context: Any) -> None:
        if self.display_name is None:
            self.display_name = self.name.replace("_", " ").capitalize()

    def detector_params(self):
        return {"risk_name": self.name}


class PromptSafetyRiskMetric(DetectorMetric):
    """Harm in the prompt, as the safety detector rates it."""

    name: Literal["prompt_safety_risk"] = "prompt_safety_risk"
    display_name: str | None = "Prompt Safety Risk"
    method: Literal["stonewatch"] = "stonewatch"

    def detector_params(self):
        return {"risk_name": "harm"}


class AnswerRelevanceMetric(DetectorMetric):
    """How relevant the generated answer is to the input question."""

    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str | None = "Answer Relevance"
    method: Literal["stonewatch"] = "stonewatch"
    reads_output: ClassVar[bool] = True


class ContextRelevanceMetric(DetectorMetric):
    """How relevant the retrieved contexts are to the input; the small model also gives evidences."""

    name: Literal["context_relevance"] = "context_relevance"
    display_name: str | None = "Context Relevance"
    method: Literal["context_relevance_model", "stonewatch"] = "context_relevance_model"
    reads_contexts: ClassVar[bool] = True


class FaithfulnessMetric(DetectorMetric):
    """How well the contexts support the generated answer; the small model also gives evidences."""

    name: Literal["faithfulness"] = "faithfulness"
    display_name: str | None = "Faithfulness"
    method: Literal["faithfulness_model", "stonewatch"] = "faithfulness_model"
    reads_output: ClassVar[bool] = True
    reads_contexts: ClassVar[bool] = True


class TopicRelevanceMetric(DetectorMetric):
    """How well the input keeps to the topic that the system prompt sets (1: on topic)."""

    name: Literal["topic_relevance"] = "topic_relevance"
    display_name: str | None = "Topic Relevance"
    method: Literal["stonewatch"] = "stonewatch"
    system_prompt: str = Field(min_length=1)

    @field_validator("system_prompt")
    @classmethod
    def _prompt(cls, prompt):
        if not prompt.strip():
            raise ValueError("system_prompt must not be blank")
        return prompt

    def detector_params(self):
        return {"system_prompt": self.system_prompt}


class ToolCallAccuracyMetric(DetectorMetric):
    """Whether the tool calls fit the configured tools (1: every call fits).

    Needs ``tool_calls_field`` (and usually ``tools``) in the configuration.
    """

    name: Literal["tool_call_accuracy"] = "tool_call_accuracy"
    display_name: str | None = "Tool Call Accuracy"
    method: Literal["stonewatch"] = "stonewatch"
    reads_tool_calls: ClassVar[bool] = True
