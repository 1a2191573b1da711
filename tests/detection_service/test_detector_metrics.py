"""The detector metric classes: their definitions, what they hand the detection
provider, and (when the native provider is built) a run against the local service."""

import asyncio
import importlib
import sys
import types

import pandas as pd
import pytest
from pydantic import ValidationError

from tessaly.config import GenAIConfiguration
from tessaly.entities.enums import MetricGroup
from tessaly.entities.metric_threshold import MetricThreshold
from tessaly.metrics import (
    AnswerRelevanceMetric,
    ContextRelevanceMetric,
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

pytest_plugins = ["detection_service.pytest_plugin"]

PROVIDER_MODULE = "tessaly.providers.screening_provider"

TABLE = pd.DataFrame({
    "record_id": ["r1", "r2"],
    "input_text": ["What is the capital of France?", "You idiot."],
    "generated_text": ["The capital of France is Paris.", "Bananas."],
    "context": [["Paris is the capital of France."], ["Spiders have eight legs."]],
    "tool_calls": [[{"function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}}], []],
})
CONFIGURATION = GenAIConfiguration(tool_calls_field="tool_calls")


@pytest.fixture
def fake_provider(monkeypatch):
    """Stands in for the native provider; records how each one was built and called."""
    built = []

    class ScreeningProvider:
        def __init__(self, **kwargs):
            self.kwargs = kwargs
            built.append(self)

        def evaluate(self, data):
            self.called = ("evaluate", data)
            return "sync result"

        async def evaluate_async(self, data):
            self.called = ("evaluate_async", data)
            return "async result"

    module = types.ModuleType(PROVIDER_MODULE)
    module.ScreeningProvider = ScreeningProvider
    monkeypatch.setitem(sys.modules, PROVIDER_MODULE, module)
    return built


class TestDefinitions:
    @pytest.mark.parametrize(
        "metric, name, method, params",
        [
            (HAPMetric(), "hap", "hap_model", None),
            (PIIMetric(), "pii", "pii_model", None),
            (KeywordDetectionMetric(keywords=["paris", "eiffel tower"]), "keyword", "keyword_match",
             {"keywords": ["paris", "eiffel tower"]}),
            (RegexDetectionMetric(regex=[r"\d+"]), "regex", "regex_match", {"regex": [r"\d+"]}),
            (HarmMetric(name="violence"), "violence", "stonewatch", {"risk_name": "violence"}),
            (PromptSafetyRiskMetric(), "prompt_safety_risk", "stonewatch", {"risk_name": "harm"}),
            (AnswerRelevanceMetric(), "answer_relevance", "stonewatch", None),
            (ContextRelevanceMetric(), "context_relevance", "context_relevance_model", None),
            (FaithfulnessMetric(), "faithfulness", "faithfulness_model", None),
            (TopicRelevanceMetric(system_prompt="Weather only."), "topic_relevance", "stonewatch",
             {"system_prompt": "Weather only."}),
            (ToolCallAccuracyMetric(), "tool_call_accuracy", "stonewatch", None),
        ],
    )
    def test_names_methods_and_detector_params(self, metric, name, method, params):
        assert (metric.name, metric.method, metric.detector_params()) == (name, method, params)

    @pytest.mark.parametrize(
        "make",
        [
            lambda: KeywordDetectionMetric(keywords=[]),
            lambda: KeywordDetectionMetric(keywords=["ok", " "]),
            lambda: RegexDetectionMetric(regex=["(unclosed"]),
            lambda: TopicRelevanceMetric(),
            lambda: TopicRelevanceMetric(system_prompt="  "),
            lambda: HarmMetric(name="boredom"),
            lambda: HAPMetric(name="pii"),
            lambda: FaithfulnessMetric(method="llm_as_judge"),
        ],
    )
    def test_bad_definitions(self, make):
        with pytest.raises(ValidationError):
            make()


class TestProviderHandOver:
    def test_evaluate_builds_the_provider_from_the_definition(self, fake_provider):
        thresholds = [MetricThreshold(type="upper_limit", value=0.2)]
        metric = KeywordDetectionMetric(keywords=["paris"], group=MetricGroup.ANSWER_QUALITY, thresholds=thresholds)
        result = metric.evaluate(data=TABLE, configuration=CONFIGURATION, api_client="client",
                                 meter_client="meter", max_concurrency=3)
        (provider,) = fake_provider
        assert result == "sync result"
        assert provider.called == ("evaluate", TABLE)
        assert provider.kwargs == {
            "configuration": CONFIGURATION,
            "metric_name": "keyword",
            "metric_display_name": "Keyword Detection",
            "metric_method": "keyword_match",
            "metric_group": MetricGroup.ANSWER_QUALITY,
            "thresholds": thresholds,
            "api_client": "client",
            "meter_client": "meter",
            "max_concurrency": 3,
            "detector_params": {"keywords": ["paris"]},
        }

    def test_evaluate_async_and_display_name_fallback(self, fake_provider):
        metric = HAPMetric(display_name=None)
        result = asyncio.run(metric.evaluate_async(data=TABLE, configuration=CONFIGURATION, api_client="client",
                                                   metrics_result=[]))
        (provider,) = fake_provider
        assert result == "async result" and provider.called[0] == "evaluate_async"
        assert provider.kwargs["metric_display_name"] == "hap"
        assert "detector_params" not in provider.kwargs

    def test_records_as_mappings_become_a_table(self, fake_provider):
        HAPMetric().evaluate(data={"record_id": "r1", "input_text": "hi"}, configuration=CONFIGURATION,
                             api_client="client")
        assert list(fake_provider[0].called[1]["input_text"]) == ["hi"]

    @pytest.mark.parametrize(
        "metric, configuration, data, error, match",
        [
            (HAPMetric(), {"input_fields": ["input_text"]}, TABLE, TypeError, "GenAIConfiguration"),
            (HAPMetric(), CONFIGURATION, "text", TypeError, "DataFrame"),
            (HAPMetric(), GenAIConfiguration(input_fields=["question"]), TABLE, ValueError, "'question'"),
            (AnswerRelevanceMetric(), GenAIConfiguration(output_fields=None), TABLE, ValueError, "output field"),
            (FaithfulnessMetric(), GenAIConfiguration(context_fields=["ctx1", "ctx2"]), TABLE, ValueError, "'ctx1'"),
            (ToolCallAccuracyMetric(), GenAIConfiguration(), TABLE, ValueError, "tool calls field"),
        ],
    )
    def test_unusable_inputs_fail_before_any_provider(self, fake_provider, metric, configuration, data, error, match):
        with pytest.raises(error, match=match):
            metric.evaluate(data=data, configuration=configuration, api_client="client")
        assert fake_provider == []


def get_weather(city: str) -> str:
    """Weather of a city."""
    return city


def native_provider_or_skip():
    try:
        return importlib.import_module(PROVIDER_MODULE)
    except ImportError as exc:
        pytest.skip(f"the native detection provider is not built: {exc}")


class TestAgainstTheLocalService:
    """The native provider, the metric classes and the service together."""

    @pytest.fixture
    def api_client(self, detection_service):
        native_provider_or_skip()
        from tessaly.clients.api_client import APIClient
        from tessaly.entities.credentials import Credentials

        # An installed deployment (version set) addresses the service at the credentials' URL.
        credentials = Credentials(url=detection_service.url, version="5.0", api_key="token-1")
        return APIClient(credentials=credentials, service_instance_id="instance-1")

    @pytest.mark.parametrize(
        "metric, values",
        [
            (HAPMetric(), [0, 0.92]),
            (KeywordDetectionMetric(keywords=["france"]), [1.0, 0]),
            (AnswerRelevanceMetric(), [1.0, 0.0]),
            (ContextRelevanceMetric(), [1.0, 0.0]),
            (FaithfulnessMetric(), [1.0, 0.0]),
            (TopicRelevanceMetric(system_prompt="Questions about the capital of France."), [1.0, 0.0]),
        ],
    )
    def test_record_values(self, detection_service, api_client, metric, values):
        result = metric.evaluate(data=TABLE.copy(), configuration=CONFIGURATION, api_client=api_client)
        assert [r.value for r in result.record_level_metrics] == values
        (post, _) = detection_service.posts()
        assert post.header("Authorization") == "Bearer token-1"
        assert post.header("x-governance-instance-id") == "instance-1"

    def test_tool_calls_against_the_catalogue(self, detection_service, api_client):
        configuration = GenAIConfiguration(tool_calls_field="tool_calls", tools=[get_weather])
        table = TABLE.copy()
        table.loc[1, "tool_calls"] = '[{"function": {"name": "get_time", "arguments": "{}"}}]'
        result = ToolCallAccuracyMetric().evaluate(data=table, configuration=configuration, api_client=api_client)
        assert [r.value for r in result.record_level_metrics] == [1, 0.05]
        assert detection_service.posts()[0].json()["tools"][0]["function"]["name"] == "get_weather"

    def test_retried_gateway_error_and_failed_record(self, detection_service, api_client):
        detection_service.script(None, [503, 400])
        result = asyncio.run(HAPMetric().evaluate_async(data=TABLE.copy(), configuration=CONFIGURATION,
                                                        api_client=api_client))
        values = [r.value for r in result.record_level_metrics]
        errors = [r.errors[0].code if r.errors else None for r in result.record_level_metrics]
        assert len(detection_service.posts()) == 3
        assert sorted(errors, key=str) == ["400", None] and None in values
