"""The SDK's criteria-judge metric: validation, what it hands the provider, and a whole
evaluation through the SDK's evaluation entry."""

from __future__ import annotations

import asyncio

import pandas as pd
import pytest
from pydantic import ValidationError
from verdra_kit import YES_NO, models, table

from tessaly.config import GenAIConfiguration
from tessaly.entities.credentials import Credentials
from tessaly.entities.criteria import Option
from tessaly.entities.llm_judge import LLMJudge
from tessaly.metrics import CriteriaJudgeMetric


def configuration(**overrides) -> GenAIConfiguration:
    fields = dict(input_fields=["question"], output_fields=["response"], context_fields=["question"],
                  llm_judge=LLMJudge(model=models()["openai"]))
    fields.update(overrides)
    return GenAIConfiguration(**fields)


def metric(**overrides) -> CriteriaJudgeMetric:
    fields = dict(name="answers_question", criteria_description="Does the {response} answer the {question}?",
                  options=list(YES_NO))
    fields.update(overrides)
    return CriteriaJudgeMetric(**fields)


@pytest.mark.parametrize(
    "overrides",
    [
        {"criteria_description": None},
        {"criteria_description": "", "prompt_template": ""},
        {"options": []},
        {"options": [Option(name=" ")]},
        {"criteria_description": None, "prompt_template": "{0} is positional"},
        {"criteria_description": None, "prompt_template": "{} is positional"},
        {"name": ""},
    ],
)
def test_incomplete_definitions_are_refused(overrides):
    with pytest.raises(ValidationError):
        metric(**overrides)


@pytest.fixture
def constructed(vp, monkeypatch):
    """Arguments of every VerdraProvider the metric constructs (real providers)."""
    calls = []
    real = vp.VerdraProvider

    def record(**kwargs):
        calls.append(kwargs)
        return real(**kwargs)

    monkeypatch.setattr(vp, "VerdraProvider", record)
    return calls


def test_the_provider_gets_the_metric_and_configuration_settings(constructed, model):
    judge = LLMJudge(model=models()["vertex"])
    result = metric(display_name="Answers", compute_token_count=False, llm_judge=judge).evaluate(
        table(2), configuration(record_timestamp_field="record_timestamp"), api_client=object())
    [kwargs] = constructed
    assert kwargs == dict(
        metric_name="answers_question", display_name="Answers", value_type="numeric", llm_judge=judge,
        options=list(YES_NO), criteria_description="Does the {response} answer the {question}?",
        prompt_template=None, context_fields=["question"], prediction_field="response", metric_group=None,
        metric_method="llm_as_judge", thresholds=[], record_id_field="record_id",
        record_timestamp_field="record_timestamp", compute_token_count=False,
    )
    assert result.total_records == 2


def test_metric_columns_override_the_configuration(constructed, model):
    data = table(1, answer=["a"], notes=["n"])
    metric(prediction_field="answer", context_fields=["notes"]).evaluate(data, configuration())
    [kwargs] = constructed
    assert (kwargs["prediction_field"], kwargs["context_fields"]) == ("answer", ["notes"])
    assert kwargs["llm_judge"] is not None


@pytest.mark.parametrize(
    ("the_metric", "config", "data", "message"),
    [
        (metric(), configuration(llm_judge=None), table(1), "needs an llm_judge"),
        (metric(), configuration(output_fields=None), table(1), "needs a prediction_field"),
        (metric(), configuration(), table(1).drop(columns="response"), "judged column 'response'"),
        (metric(context_fields=["notes"]), configuration(), table(1), "context column 'notes'"),
        (metric(criteria_description=None, prompt_template="{question} {extra.attr}"), configuration(), table(1),
         "prompt template column 'extra'"),
        (metric(), configuration(), table(1).drop(columns="record_timestamp"), "record timestamp column"),
    ],
)
def test_unusable_data_or_configuration_is_refused_before_judging(constructed, model, the_metric, config, data,
                                                                  message):
    with pytest.raises(ValueError, match=message):
        the_metric.evaluate(data, config)
    assert constructed == [] and model.prompts == []


def test_a_whole_evaluation_through_the_sdk_entry(vp, model):
    from tessaly.clients.api_client import APIClient
    from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics, _evaluate_metrics_async

    model.answer = lambda prompt: "Answer: Yes" if "response 0" in prompt else "Answer: No"
    api = APIClient(credentials=Credentials(url="https://governance.example"))
    data = pd.DataFrame({"question": ["q0", "q1"], "response": ["response 0", "response 1"]})
    templated = metric(name="templated", criteria_description=None,
                       prompt_template="Does {response} answer {question}?")
    metrics = [metric(compute_token_count=False), templated]

    sync = _evaluate_metrics(configuration(), data, metrics, api_client=api)
    asynchronous = asyncio.run(_evaluate_metrics_async(configuration(), data, metrics, api_client=api))
    for result in (sync, asynchronous):
        by_name = {r.name: r for r in result.metrics_result}
        assert set(by_name) == {"answers_question", "templated"}
        for aggregate in by_name.values():
            assert [(r.value, r.label) for r in aggregate.record_level_metrics] == [(1.0, "Yes"), (0.0, "No")]
            assert aggregate.value == 0.5
