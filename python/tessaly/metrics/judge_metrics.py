"""Metrics computed through the judge library: an LLM judge or a text-similarity method.

Each metric hands its definition to ``TabuloProvider``, which runs the library over
the table. With the method "llm_as_judge" a judge model scores each record; it is
the metric's ``llm_judge`` or, when that is not set, the configuration's. Every
other method names a similarity scorer of the library's catalogue, found under
``metrics.rag.external_rag.<metric>.<method>``.
"""

from typing import Any, ClassVar, Literal

import pandas as pd

from tessaly.config import GenAIConfiguration
from tessaly.entities.evaluation_result import AggregateMetricResult
from tessaly.entities.llm_judge import LLMJudge
from tessaly.entities.metric import GenAIMetric

JudgeMethod = Literal[
    "llm_as_judge", "token_recall", "bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"
]


def _as_table(data: Any) -> pd.DataFrame:
    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, dict):
        return pd.DataFrame([data])
    if isinstance(data, list):
        return pd.DataFrame(data)
    raise TypeError(f"data must be a pandas DataFrame, a dict or a list of dicts, got {type(data).__name__}")


class TabuloMetric(GenAIMetric):
    """A metric of the judge library.

    ``METRIC_PREFIX`` is the catalogue prefix of the library's metrics; ``METRIC_ALIAS``,
    when set, is the library metric computed under this metric's name.
    """

    METRIC_PREFIX: ClassVar[str] = "metrics.rag.external_rag"
    METRIC_ALIAS: ClassVar[str | None] = None

    method: JudgeMethod = "token_recall"
    llm_judge: LLMJudge | None = None

    def _provider(self, configuration: Any):
        if not isinstance(configuration, GenAIConfiguration):
            raise TypeError(
                f"configuration must be a GenAIConfiguration, got {type(configuration).__name__}"
            )
        if self.method == "llm_as_judge" and self.llm_judge is None and configuration.llm_judge is None:
            raise ValueError(
                f"The metric '{self.name}' with the method llm_as_judge needs an LLM judge: "
                "set llm_judge on the metric or on the configuration."
            )
        # The provider is a native module; import it only when a metric is computed.
        from tessaly.providers.tabulo_provider import TabuloProvider

        return TabuloProvider(
            configuration=configuration,
            metric_name=self.name,
            metric_display_name=self.display_name or self.name,
            metric_method=self.method,
            metric_prefix=self.METRIC_PREFIX,
            metric_alias=self.METRIC_ALIAS,
            metric_group=self.group,
            llm_judge=self.llm_judge,
            thresholds=list(self.thresholds),
        )

    def evaluate(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        """Compute the metric over ``data``; further keywords of the evaluation are not used."""
        return self._provider(configuration).evaluate(data=_as_table(data))

    async def evaluate_async(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        return await self._provider(configuration).evaluate_async(data=_as_table(data))


class FaithfulnessJudgeMetric(TabuloMetric):
    """How well the contexts support the generated answer."""

    name: Literal["faithfulness"] = "faithfulness"
    display_name: str | None = "Faithfulness"


class ContextRelevanceJudgeMetric(TabuloMetric):
    """How relevant the retrieved contexts are to the question."""

    name: Literal["context_relevance"] = "context_relevance"
    display_name: str | None = "Context Relevance"


class AnswerRelevanceJudgeMetric(TabuloMetric):
    """How well the generated answer addresses the question."""

    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str | None = "Answer Relevance"


class AnswerCorrectnessMetric(TabuloMetric):
    """How well the generated answer agrees with the reference answers."""

    name: Literal["answer_correctness"] = "answer_correctness"
    display_name: str | None = "Answer Correctness"


class AnswerSimilarityMetric(TabuloMetric):
    """The answer-correctness computation, reported as answer similarity."""

    METRIC_ALIAS: ClassVar[str | None] = "answer_correctness"

    name: Literal["answer_similarity"] = "answer_similarity"
    display_name: str | None = "Answer Similarity"
