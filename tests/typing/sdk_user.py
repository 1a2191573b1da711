"""An SDK user's script, for the type checker only: test_type_checkers.py runs `mypy --strict` on it.

It calls each native module's entries as a user of the SDK would and pins the types the
stubs give back with `assert_type`. The lines marked `# type: ignore[...]` are calls the
modules refuse at run time; `--strict` reports an ignore that silences nothing, so each of
them also checks that the stubs still refuse the call.
"""

import asyncio
import json
from typing import assert_type

import pandas as pd

from tessaly.clients.api_client import APIClient
from tessaly.clients.meter_client import MeterClient
from tessaly.config import GenAIConfiguration
from tessaly.config.model_risk_configuration import ModelRiskConfiguration
from tessaly.entities.criteria import Option
from tessaly.entities.enums import MetricGroup, Region
from tessaly.entities.evaluation_result import AggregateMetricResult, MetricsEvaluationResult
from tessaly.entities.foundation_model import CustomFoundationModel, OpenAIFoundationModel
from tessaly.entities.llm_judge import LLMJudge
from tessaly.entities.metric import GenAIMetric
from tessaly.entities.metric_threshold import MetricThreshold
from tessaly.entities.model_risk_result import ModelRiskResult
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics, _evaluate_metrics_async
from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned
from tessaly.evaluators.impl.risk_runner import _evaluate_model_risk
from tessaly.metrics import FaithfulnessMetric, HAPMetric, PIIMetric
from tessaly.providers.screening_provider import ScreeningProvider
from tessaly.providers.tabulo_provider import TabuloColumnMapping, TabuloProvider
from tessaly.providers.verdra_provider import VerdraProvider
from tessaly.utils.endpoint_table import LUMORA_REGION_URLS, VEXMON_ENDPOINT_TABLE, LumoraUrls

CONFIGURATION = GenAIConfiguration(
    input_fields=["question"],
    output_fields=["answer"],
    context_fields=["context"],
    reference_fields=["ground_truth"],
)
JUDGE = LLMJudge(model=OpenAIFoundationModel(model_id="judge-model"))
THRESHOLDS = [MetricThreshold(type="lower_limit", value=0.7)]


def records() -> list[dict[str, str]]:
    return [{"question": "What is the capital of France?", "answer": "Paris.", "context": "Paris is in France."}]


def evaluate_metrics(client: APIClient) -> list[MetricsEvaluationResult]:
    metrics: list[GenAIMetric] = [FaithfulnessMetric(), HAPMetric()]
    table = pd.DataFrame(records())
    results = [
        _evaluate_metrics(CONFIGURATION, table, metrics),
        _evaluate_metrics(configuration=CONFIGURATION, data=records()[0], metrics=metrics, api_client=client),
        _evaluate_metrics(CONFIGURATION, records(), [], client, [MetricGroup.ANSWER_QUALITY], max_concurrency=4),
    ]
    _evaluate_metrics(CONFIGURATION, table, tuple(metrics))  # type: ignore[arg-type]
    return results


def evaluate_metrics_of_a_subclass(client: APIClient) -> list[MetricsEvaluationResult]:
    # Held in a variable first, a list of metric subclasses is a list of those subclasses (the
    # type of list is invariant): the entries take it all the same, but no other sequence.
    detectors = [HAPMetric(), PIIMetric()]
    only_hap = [HAPMetric()]
    table = pd.DataFrame(records())
    _evaluate_metrics(CONFIGURATION, table, set(detectors))  # type: ignore[arg-type]
    _evaluate_metrics_partitioned(CONFIGURATION, table, (HAPMetric(),), client)  # type: ignore[arg-type]
    return [
        _evaluate_metrics(CONFIGURATION, table, detectors, client),
        asyncio.run(_evaluate_metrics_async(CONFIGURATION, table, only_hap, client)),
        _evaluate_metrics_partitioned(CONFIGURATION, table, detectors, client, partition_rows=1000, progress=False),
    ]


async def evaluate_metrics_async(client: APIClient) -> MetricsEvaluationResult:
    metrics: list[GenAIMetric] = [FaithfulnessMetric()]
    result = await _evaluate_metrics_async(CONFIGURATION, records(), metrics, api_client=client, max_concurrency=2)
    assert_type(result, MetricsEvaluationResult)
    return result


def detector_provider(client: APIClient, table: pd.DataFrame) -> AggregateMetricResult:
    provider = ScreeningProvider(
        CONFIGURATION,
        metric_name="hap",
        metric_display_name="HAP",
        thresholds=THRESHOLDS,
        api_client=client,
        detector_params={"threshold": 0.5},
    )
    ScreeningProvider(CONFIGURATION, "hap", "HAP", metric_method=1)  # type: ignore[arg-type]
    result = provider.evaluate(table)
    assert_type(asyncio.run(provider.evaluate_async(data=table)), AggregateMetricResult)
    return result


def judge_provider(table: pd.DataFrame) -> AggregateMetricResult:
    provider = TabuloProvider(
        configuration=CONFIGURATION,
        metric_name="faithfulness",
        metric_display_name="Faithfulness",
        metric_method="llm_as_judge",
        metric_prefix="metrics.rag.external_rag",
        metric_group=MetricGroup.ANSWER_QUALITY,
        column_mapping=TabuloColumnMapping(contexts="context"),
        llm_judge=JUDGE,
        thresholds=THRESHOLDS,
    )
    TabuloProvider(CONFIGURATION, "faithfulness", "Faithfulness", "token_recall", None)  # type: ignore[arg-type]
    assert_type(asyncio.run(provider.evaluate_async(table)), AggregateMetricResult)
    return provider.evaluate(data=table)


def cached_engine() -> object:
    factory = TabuloProvider._create_inference_engine_impl
    engine = factory(
        provider="openai",
        model_id="judge-model",
        use_cache=False,
        credentials_json=json.dumps({"api_key": "key"}, sort_keys=True),
    )
    factory("aws_bedrock", "judge-model", True, "{}", parameters_json=json.dumps({"temperature": 0}))
    factory(provider="openai", model="judge-model", use_cache=False, credentials_json="{}")  # type: ignore[call-arg]
    assert_type(factory.cache.maxsize, float)
    factory.cache_clear()
    return engine


def criteria_provider(table: pd.DataFrame) -> AggregateMetricResult:
    provider = VerdraProvider(
        "conciseness",
        "Conciseness",
        "numeric",
        JUDGE,
        [Option(name="Yes", description="The {answer} is short.", value=1.0), Option(name="No", value=0.0)],
        criteria_description="Is the answer concise?",
        context_fields=["context"],
        prediction_field="answer",
        metric_group=None,
        metric_method="llm_as_judge",
        thresholds=THRESHOLDS,
        compute_token_count=True,
    )
    VerdraProvider("conciseness", "Conciseness", "numeric", JUDGE, (Option(name="Yes"),))  # type: ignore[arg-type]
    assert_type(asyncio.run(provider.evaluate_async(data=table)), AggregateMetricResult)
    return provider.evaluate(table)


def report_usage(client: APIClient) -> None:
    meter = MeterClient(vexmon_client=client.vexmon_client)
    assert_type(meter.update_evaluations(), None)


def machine_learning_url(governance_url: str) -> str | None:
    record = VEXMON_ENDPOINT_TABLE.get(governance_url)
    assert_type(LUMORA_REGION_URLS[Region.US_SOUTH.value], LumoraUrls)
    return record.rivet_url if record is not None else None


def model_risk(client: APIClient | None) -> ModelRiskResult:
    def answer(prompts: list[str]) -> list[str]:
        return ["No." for _ in prompts]

    configuration = ModelRiskConfiguration(
        model_details=CustomFoundationModel(scoring_fn=answer, model_id="my-model", model_name="my-model"),
        risk_dimensions=["hallucination"],
        max_sample_size=10,
    )
    result = _evaluate_model_risk(configuration, api_client=client)
    assert_type(result.output_file_path, str | None)
    return result
