"""_evaluate_model_risk: the plug-in call, the report path, the usage report
against a loopback server, the conversion of the nested result, and the order
of these side effects when something fails."""

from __future__ import annotations

import json
from pathlib import PurePosixPath
from types import SimpleNamespace

import pytest
import requests
from risk_kit import (
    CLOUD_URL,
    KNOWN_MODEL,
    USAGE_TOKEN,
    configuration,
    console,
    custom_model,
    hosted_model,
    make_api_client,
    usage_requests,
)

from tessaly.entities.credentials import NimbalCredentials
from tessaly.entities.model_risk_result import Benchmark, ModelRiskResult, Risk, RiskMetric
from tessaly.utils.endpoint_table import VEXMON_ENDPOINT_TABLE

NESTED = {
    "toxicity": {"toxic-continuation": {"toxic_rate": 0.4, "mean_toxicity": 0.25}},
    "jailbreaking": {
        "role-play-attacks": {"attack_success_rate": 0.0},
        "instruction-override": {},
    },
    "bias": {},
}


# ----------------------------------------------------------------------------
# The plug-in call
# ----------------------------------------------------------------------------


def test_custom_model_is_handed_to_the_plug_in(rr, plugin, api_client):
    plugin.result = {}
    model = custom_model("mine")
    config = configuration(model, risk_dimensions=["toxicity"], max_sample_size=3)
    rr._evaluate_model_risk(config, api_client)
    [instance] = plugin.instances
    assert instance.kwargs == {
        "system_credentials": {},
        "foundation_model_name": "mine",
        "risk_dimensions": ["toxicity"],
        "scoring_function": model._scoring_fn,
        "max_sample_size": 3,
    }
    assert instance.kwargs["scoring_function"] is model._scoring_fn


def test_hosted_model_is_handed_to_the_plug_in(rr, plugin, api_client):
    plugin.result = {}
    config = configuration(hosted_model(), lumora_gc_configuration=console())
    rr._evaluate_model_risk(config, api_client)
    [instance] = plugin.instances
    assert instance.kwargs["scoring_function"] is None
    assert instance.kwargs["foundation_model_name"] == "lark-13b-chat"
    assert instance.kwargs["risk_dimensions"] is None and instance.kwargs["max_sample_size"] is None
    assert instance.kwargs["system_credentials"] == {
        "lumora_ai_project_id": "project-1",
        "lumora_ai_model_id": KNOWN_MODEL,
        "lumora_ai_cloud_apikey": "sdk-key",
        "lumora_ai_endpoint_url": VEXMON_ENDPOINT_TABLE[CLOUD_URL].rivet_url,
        "op_url": "https://gc.example.com/api",
        "op_username": "gc-user",
        "op_password": "gc-pass",
        "op_model_id": "gc-model-7",
        "op_apikey": "gc-key",
    }


class FalsyClient:
    def __bool__(self):
        return False


@pytest.mark.parametrize("given", ["omitted", None, FalsyClient()], ids=["omitted", "none", "falsy"])
def test_default_api_client_serves_usage_and_credentials(rr, plugin, monkeypatch, usage_server, given):
    built = []

    def default_client():
        client = make_api_client(usage_server.url)
        built.append(client)
        return client

    monkeypatch.setattr(rr, "APIClient", default_client)
    plugin.result = {}
    config = configuration(hosted_model())
    if given == "omitted":
        rr._evaluate_model_risk(config)
    else:
        rr._evaluate_model_risk(config, given)
    assert len(built) == 1
    # Its credentials built the hosting-service keys, its monitoring client got the report.
    assert plugin.instances[0].kwargs["system_credentials"]["lumora_ai_cloud_apikey"] == "sdk-key"
    assert len(usage_requests(usage_server)) == 1


def test_a_given_api_client_is_used_as_is(rr, plugin, monkeypatch, usage_server, api_client):
    monkeypatch.setattr(rr, "APIClient", lambda: pytest.fail("a default client was built"))
    plugin.result = {}
    rr._evaluate_model_risk(configuration(), api_client)
    assert len(usage_requests(usage_server)) == 1


# ----------------------------------------------------------------------------
# The report path
# ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "output_path, returned, expected",
    [
        pytest.param(None, "never", None, id="no-path"),
        pytest.param("", "never", None, id="empty-path"),
        pytest.param("reports", PurePosixPath("reports/r.pdf"), "reports/r.pdf", id="path-object"),
        pytest.param("reports", "reports/r.pdf", "reports/r.pdf", id="text"),
        pytest.param("reports", 42, "42", id="any-truthy-value"),
        pytest.param("reports", "", None, id="empty-text"),
        pytest.param("reports", None, None, id="none"),
        pytest.param("reports", 0, None, id="zero"),
    ],
)
def test_report_path(rr, plugin, api_client, output_path, returned, expected):
    plugin.result = NESTED
    plugin.report = returned
    config = configuration(pdf_report_output_path=output_path, thresholds=[0.2, 0.5])
    result = rr._evaluate_model_risk(config, api_client)
    assert result.output_file_path == expected
    calls = plugin.instances[0].report_calls
    if returned == "never":
        assert calls == []
    else:
        [(passed_result, passed_path, passed_thresholds)] = calls
        assert passed_result is plugin.result
        assert passed_path == output_path
        assert passed_thresholds == [0.2, 0.5]


# ----------------------------------------------------------------------------
# Conversion and printing
# ----------------------------------------------------------------------------


def test_nested_result_becomes_risks_benchmarks_and_metrics(rr, plugin, api_client):
    plugin.result = NESTED
    result = rr._evaluate_model_risk(configuration(), api_client)
    assert isinstance(result, ModelRiskResult)
    assert result == ModelRiskResult(
        risks=[
            Risk(
                name="toxicity",
                benchmarks=[
                    Benchmark(
                        name="toxic-continuation",
                        metrics=[
                            RiskMetric(name="toxic_rate", value=0.4),
                            RiskMetric(name="mean_toxicity", value=0.25),
                        ],
                    )
                ],
            ),
            Risk(
                name="jailbreaking",
                benchmarks=[
                    Benchmark(
                        name="role-play-attacks",
                        metrics=[RiskMetric(name="attack_success_rate", value=0.0)],
                    ),
                    Benchmark(name="instruction-override", metrics=[]),
                ],
            ),
            Risk(name="bias", benchmarks=[]),
        ],
        output_file_path=None,
    )


def test_single_metric_result(rr, plugin, api_client):
    plugin.result = {"R": {"B": {"M": 0.5}}}
    result = rr._evaluate_model_risk(configuration(), api_client)
    [risk] = result.risks
    [benchmark] = risk.benchmarks
    [metric] = benchmark.metrics
    assert (risk.name, benchmark.name, metric.name, metric.value) == ("R", "B", "M", 0.5)


def test_empty_result_gives_no_risks(rr, plugin, api_client):
    plugin.result = {}
    result = rr._evaluate_model_risk(configuration(), api_client)
    assert result.risks == [] and result.output_file_path is None


@pytest.mark.parametrize("nested", [{}, {"R": {"B": {"M": 0.5}}}, None], ids=["empty", "nested", "none"])
def test_result_is_printed_on_stdout(rr, plugin, api_client, capsys, nested):
    plugin.result = nested
    try:
        rr._evaluate_model_risk(configuration(), api_client)
    except ValueError:
        assert nested is None
    assert capsys.readouterr().out == f"{nested}\n"


class TripleItems(dict):
    def items(self):
        return [("B", {"M": 1}, "extra")]


@pytest.mark.parametrize(
    "nested, reason_start, context_type",
    [
        pytest.param(None, "'NoneType' object has no attribute 'items'", AttributeError, id="none"),
        pytest.param({"R": None}, "'NoneType' object has no attribute 'items'", AttributeError, id="risk-level"),
        pytest.param({"R": {"B": [0.5]}}, "'list' object has no attribute 'items'", AttributeError, id="benchmark-level"),
        pytest.param({"R": TripleItems()}, "too many values to unpack", ValueError, id="not-pairs"),
        pytest.param({"R": {"B": {"M": "high"}}}, "1 validation error for RiskMetric", ValueError, id="rejected-value"),
    ],
)
def test_unparsable_result(rr, plugin, usage_server, api_client, events, nested, reason_start, context_type):
    plugin.result = nested
    with pytest.raises(ValueError) as caught:
        rr._evaluate_model_risk(configuration(), api_client)
    assert type(caught.value) is ValueError
    message = str(caught.value)
    assert message.startswith("Failed to parse model risk result. " + reason_start), message
    assert isinstance(caught.value.__context__, context_type)
    assert message == "Failed to parse model risk result. " + str(caught.value.__context__)
    # The evaluation itself completed, so it was reported before the conversion failed.
    assert events == ["construct", "evaluate", "usage"]


# ----------------------------------------------------------------------------
# Usage report and the order of side effects
# ----------------------------------------------------------------------------


def test_usage_report_reaches_the_governance_service(rr, plugin, usage_server, api_client):
    plugin.result = {"R": {"B": {"M": 0.5}}}
    rr._evaluate_model_risk(configuration(), api_client)
    [request] = usage_requests(usage_server)
    assert request.method == "POST"
    assert request.header("Authorization") == f"Bearer {USAGE_TOKEN}"
    assert request.header("Content-Type") == "application/json"
    body = json.loads(request.body)
    assert (body["amount"], body["type"]) == (1, "relative")
    assert len(usage_server.requests) == 1


def test_side_effects_happen_in_order(rr, plugin, api_client, events, recorded_result_class):
    plugin.result = {"R": {"B": {"M": 0.5}}}
    plugin.report = "out/r.pdf"
    rr._evaluate_model_risk(configuration(pdf_report_output_path="out"), api_client)
    assert events == ["construct", "evaluate", "report", "usage", "result"]


@pytest.mark.parametrize("stage", ["evaluate", "report"])
@pytest.mark.parametrize(
    "error",
    [RuntimeError("model endpoint timed out"), KeyError("toxicity"), OSError(28, "No space left on device")],
    ids=["runtime", "key", "os"],
)
def test_plug_in_failure_is_wrapped_and_not_reported(rr, plugin, usage_server, api_client, events, stage, error):
    plugin.result = {"R": {}}
    setattr(plugin, f"{stage}_error", error)
    with pytest.raises(Exception) as caught:
        rr._evaluate_model_risk(configuration(pdf_report_output_path="out"), api_client)
    assert type(caught.value) is Exception
    assert str(caught.value) == f"Error while evaluating FM risks. Reason: {error}"
    assert caught.value.__context__ is error
    assert usage_requests(usage_server) == []
    assert "usage" not in events


def test_plug_in_failure_after_printing(rr, plugin, api_client, capsys):
    plugin.result = {"R": {}}
    plugin.report_error = RuntimeError("disk full")
    with pytest.raises(Exception, match="Reason: disk full"):
        rr._evaluate_model_risk(configuration(pdf_report_output_path="out"), api_client)
    assert capsys.readouterr().out == "{'R': {}}\n"


def test_an_interrupt_is_not_wrapped(rr, plugin, usage_server, api_client):
    plugin.evaluate_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        rr._evaluate_model_risk(configuration(), api_client)
    assert usage_requests(usage_server) == []


def test_plug_in_construction_failure_reaches_the_caller_unchanged(rr, monkeypatch, usage_server, api_client):
    error = TypeError("unexpected keyword")

    def refuse(**kwargs):
        raise error

    monkeypatch.setattr(rr, "EvaluateFMRisk", refuse)
    with pytest.raises(TypeError) as caught:
        rr._evaluate_model_risk(configuration(), api_client)
    assert caught.value is error
    assert usage_requests(usage_server) == []


def test_model_not_offered_stops_before_the_plug_in(rr, plugin, usage_server, api_client):
    config = configuration(hosted_model(NimbalCredentials(url="https://ml.example", api_key="k"),
                                        model_id="acme/unknown-1b"))
    with pytest.raises(ValueError, match="^The Model ID provided is not supported"):
        rr._evaluate_model_risk(config, api_client)
    assert plugin.instances == []
    assert usage_requests(usage_server) == []


def test_result_construction_failure_reaches_the_caller_unchanged(rr, plugin, monkeypatch, usage_server, api_client):
    error = RuntimeError("cannot build result")

    def refuse(**kwargs):
        raise error

    monkeypatch.setattr(rr, "ModelRiskResult", refuse)
    plugin.result = {}
    with pytest.raises(RuntimeError) as caught:
        rr._evaluate_model_risk(configuration(), api_client)
    assert caught.value is error
    assert len(usage_requests(usage_server)) == 1


def test_refused_usage_report_is_not_an_error(rr, plugin, loopback_server):
    server = loopback_server(lambda request: 500)
    plugin.result = {"R": {"B": {"M": 0.5}}}
    result = rr._evaluate_model_risk(configuration(), make_api_client(server.url))
    assert [r.name for r in result.risks] == ["R"]
    assert len(usage_requests(server)) == 1


def test_unreachable_usage_service_fails_the_evaluation(rr, plugin, refused_url):
    plugin.result = {"R": {}}
    with pytest.raises(requests.ConnectionError):
        rr._evaluate_model_risk(configuration(), make_api_client(refused_url))


def test_configuration_is_read_by_attribute_only(rr, plugin, api_client):
    plugin.result = {"R": {"B": {"M": 1}}}
    plugin.report = "r.pdf"
    config = SimpleNamespace(
        model_details=SimpleNamespace(model_name="duck"),
        risk_dimensions=("a",),
        max_sample_size=0,
        pdf_report_output_path="out",
        thresholds={"M": 0.5},
        lumora_gc_configuration=None,
    )
    result = rr._evaluate_model_risk(config, api_client)
    assert plugin.instances[0].kwargs["risk_dimensions"] == ("a",)
    assert plugin.instances[0].report_calls[0][2] == {"M": 0.5}
    assert result.output_file_path == "r.pdf"
    assert result.risks[0].benchmarks[0].metrics[0].value == 1.0
