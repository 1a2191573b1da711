"""The SDK's judge-library metrics (tessaly.metrics.judge_metrics) over the provider."""

from __future__ import annotations

import asyncio
import threading

import pydantic
import pytest
from tabulo import catalog
from tabulo import inference as lib
from tabulo.metrics import FunctionMetric
from tabulo_kit import PREFIX, configuration, rag_table

from tessaly.entities import foundation_model as fm
from tessaly.entities.enums import MetricGroup
from tessaly.entities.llm_judge import LLMJudge
from tessaly.entities.metric_threshold import MetricThreshold
from tessaly.metrics import (
    AnswerCorrectnessMetric,
    AnswerRelevanceJudgeMetric,
    AnswerSimilarityMetric,
    ContextRelevanceJudgeMetric,
    FaithfulnessJudgeMetric,
)

pytestmark = pytest.mark.usefixtures("fresh_state")


@pytest.fixture
def constructed(tp, monkeypatch):
    """The keyword arguments of every TabuloProvider the metrics construct."""
    calls = []

    class Recorded(tp.TabuloProvider):
        def __init__(self, **kwargs):
            calls.append(kwargs)
            super().__init__(**kwargs)

    monkeypatch.setattr(tp, "TabuloProvider", Recorded)
    return calls


@pytest.mark.parametrize(
    "metric_class, name, display_name, alias",
    [
        (FaithfulnessJudgeMetric, "faithfulness", "Faithfulness", None),
        (ContextRelevanceJudgeMetric, "context_relevance", "Context Relevance", None),
        (AnswerRelevanceJudgeMetric, "answer_relevance", "Answer Relevance", None),
        (AnswerCorrectnessMetric, "answer_correctness", "Answer Correctness", None),
        (AnswerSimilarityMetric, "answer_similarity", "Answer Similarity", "answer_correctness"),
    ],
)
def test_metric_constructs_the_provider(tp, constructed, metric_class, name, display_name, alias):
    thresholds = [MetricThreshold(value=0.4)]
    metric = metric_class(method="bert_score_recall", group=MetricGroup.ANSWER_QUALITY, thresholds=thresholds)
    config = configuration()
    result = metric.evaluate(data=rag_table(2), configuration=config, api_client=object())
    (kwargs,) = constructed
    assert kwargs == dict(
        configuration=config, metric_name=name, metric_display_name=display_name,
        metric_method="bert_score_recall", metric_prefix="metrics.rag.external_rag", metric_alias=alias,
        metric_group=MetricGroup.ANSWER_QUALITY, llm_judge=None, thresholds=thresholds,
    )
    assert result.name == name and result.display_name == display_name and result.total_records == 2
    assert [r.record_id for r in result.record_level_metrics] == ["r0", "r1"]


def test_similarity_is_correctness_under_another_name(tp):
    data = rag_table(4)
    similarity = AnswerSimilarityMetric(method="token_recall").evaluate(data, configuration())
    correctness = AnswerCorrectnessMetric(method="token_recall").evaluate(data, configuration())
    assert [r.value for r in similarity.record_level_metrics] == [r.value for r in correctness.record_level_metrics]
    assert similarity.name == "answer_similarity"


def test_metric_judge_takes_precedence_over_the_configured_one(tp):
    def answers(verdict):
        return LLMJudge(model=fm.CustomFoundationModel(scoring_fn=lambda table: [verdict] * len(table)))

    config = configuration(llm_judge=answers("No"))
    metric = FaithfulnessJudgeMetric(method="llm_as_judge", llm_judge=answers("Yes"))
    assert metric.evaluate(rag_table(), config).value == 1.0
    assert FaithfulnessJudgeMetric(method="llm_as_judge").evaluate(rag_table(), config).value == 0.0


def test_judge_method_needs_a_judge(tp):
    with pytest.raises(ValueError, match="needs an LLM judge"):
        ContextRelevanceJudgeMetric(method="llm_as_judge").evaluate(rag_table(), configuration())


@pytest.mark.parametrize("method", ["llm", "", "bleu"])
def test_unknown_methods_are_refused(method):
    with pytest.raises(pydantic.ValidationError):
        FaithfulnessJudgeMetric(method=method)


@pytest.mark.parametrize(
    "data, table",
    [(rag_table(3).to_dict(orient="records"), rag_table(3)), (rag_table(1).iloc[0].to_dict(), rag_table(1))],
    ids=["list-of-records", "one-record"],
)
def test_records_as_mappings(tp, data, table):
    # Records given as mappings are the rows of a table: the same results, record by record.
    result = AnswerRelevanceJudgeMetric().evaluate(data, configuration())
    assert result == AnswerRelevanceJudgeMetric().evaluate(table, configuration())
    assert [r.record_id for r in result.record_level_metrics] == table["record_id"].to_list()
    assert result.total_records == len(table)


def test_metrics_evaluate_concurrently(tp):
    # The first scoring of the unlocked metric and the first answer of the judge (which
    # scores under the class lock) each wait for the other: a serial run breaks the
    # barrier and fails its evaluation.
    both_scoring = threading.Barrier(2, timeout=30)
    waited = set()

    def first_waits(side):
        if side not in waited:
            waited.add(side)
            both_scoring.wait()

    name = f"{PREFIX}.faithfulness.token_recall"
    scorer = catalog.fetch(name)

    def faithfulness(instance):
        first_waits("faithfulness")
        return scorer.score_instance(instance)

    def respond(prompt, engine):
        first_waits("judge")
        return "9"

    with lib.local_responder(respond), catalog.registered(name, FunctionMetric(faithfulness, "faithfulness")):
        judge = LLMJudge(model=fm.PortKeyGateway(model_id="pk"))

        async def main():
            metrics = [FaithfulnessJudgeMetric(), ContextRelevanceJudgeMetric(method="llm_as_judge", llm_judge=judge),
                       AnswerSimilarityMetric(method="sentence_bert_mini_lm")]
            return await asyncio.gather(*(m.evaluate_async(rag_table(3), configuration()) for m in metrics))

        results = asyncio.run(main())
    assert waited == {"faithfulness", "judge"}
    assert [r.name for r in results] == ["faithfulness", "context_relevance", "answer_similarity"]
    assert results[0] == FaithfulnessJudgeMetric().evaluate(rag_table(3), configuration())
    assert [r.value for r in results[1].record_level_metrics] == [0.9] * 3 and results[1].value == 0.9
    assert results[2] == AnswerSimilarityMetric(method="sentence_bert_mini_lm").evaluate(rag_table(3), configuration())


def test_configuration_type_is_checked():
    with pytest.raises(TypeError, match="GenAIConfiguration"):
        FaithfulnessJudgeMetric().evaluate(rag_table(), {"input_fields": ["question"]})
