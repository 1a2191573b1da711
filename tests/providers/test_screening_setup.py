"""ScreeningProvider: module shape, construction, service addressing, detector keys, headers."""

from __future__ import annotations

import asyncio
import inspect
import json
import types
import typing

import aiohttp
import pandas as pd
import pytest
import vexmon_sdk
from vexmon_sdk.authenticators import StaticTokenAuthenticator

from screening_kit import (
    CHAT_PATH,
    CONTEXT_PATH,
    GENERATED_PATH,
    INSTANCE_ID,
    PLAIN_PATH,
    TOKEN,
    api_client,
    configuration,
    namespace_client,
    table,
)
from tessaly import config as config_module
from tessaly.entities import base_classes, enums, evaluation_result, metric_threshold
from tessaly.entities.enums import MetricGroup, StonewatchRisks
from tessaly.entities.metric_threshold import MetricThreshold
from tessaly.providers import screening_provider as sp
from tessaly.providers import tool_call_metric_provider
from tessaly.utils import async_util, endpoint_table, python_utils
from tessaly.utils.endpoint_table import LumoraUrls

ScreeningProvider = sp.ScreeningProvider

# What the module held before any test replaced anything.
ORIGINAL = dict(vars(sp))

MISSING_CLIENT = (
    "Tessaly SDK must be initialized to compute {name} using {method}. Please initialize the "
    "client to proceed, or remove this metric from the evaluation."
)
MISSING_INSTANCE = (
    "Tessaly service instance id is required to compute {name} using {method}. You can set the "
    "service instance ID using the `TSY_SERVICE_INSTANCE_ID` environment variable in the "
    "notebook and retry."
)

METHODS = [
    ("__init__", ["self", "configuration", "metric_name", "metric_display_name",
                  "metric_method", "metric_group", "thresholds", "kwargs"]),
    ("evaluate", ["self", "data"]),
    ("evaluate_async", ["self", "data"]),
    ("_ScreeningProvider__pre_process_data", ["self", "data"]),
    ("send_with_retries", ["self", "payload", "session"]),
    ("_ScreeningProvider__compute_metric", ["self", "api_payloads"]),
    ("_ScreeningProvider__get_additional_info", ["self", "results"]),
    ("_ScreeningProvider__post_process", ["self", "results", "record_ids"]),
    ("_ScreeningProvider__get_json_payloads", ["self", "input_contents", "output_contents",
                                               "context_contents", "tools_catalog_content",
                                               "tool_calls_content"]),
    ("_ScreeningProvider__get_headers", ["self"]),
    ("get_detector_url", ["self", "api_client"]),
    ("get_service_instance_id", ["self", "api_client"]),
    ("set_metric_name", ["self", "metric_name"]),
    ("_ScreeningProvider__get_base_url", ["self", "metric_name"]),
    ("get_tool_calls_content", ["self", "data"]),
    ("get_tools_catalog_content", ["self"]),
]
COROUTINE_METHODS = {"evaluate_async", "send_with_retries", "_ScreeningProvider__compute_metric"}


class TextSubclass(str):
    pass


class ListSubclass(list):
    pass


class Falsy:
    def __bool__(self):
        return False


class MonitoringClientSubclass(vexmon_sdk.APIClient):
    pass


def build(metric_name="hap", display_name="Display", method=None, *, client=None, **kwargs):
    """A provider for a root that is never contacted (nothing is sent at construction)."""
    if client is None:
        client = api_client("https://detection.example.test")
    return ScreeningProvider(configuration(), metric_name, display_name, method,
                             api_client=client, **kwargs)


# --------------------------------------------------------------------------
# Module and class shape
# --------------------------------------------------------------------------


def test_module_binds_its_imports_and_lists_in_order():
    expected = [
        ("asyncio", asyncio),
        ("json", json),
        ("Optional", typing.Optional),
        ("aiohttp", aiohttp),
        ("pd", pd),
        ("VexmonClient", vexmon_sdk.APIClient),
        ("GenAIConfiguration", config_module.GenAIConfiguration),
        ("Error", base_classes.Error),
        ("EvaluationProvider", enums.EvaluationProvider),
        ("StonewatchRisks", enums.StonewatchRisks),
        ("MetricGroup", enums.MetricGroup),
        ("AggregateMetricResult", evaluation_result.AggregateMetricResult),
        ("RecordMetricResult", evaluation_result.RecordMetricResult),
        ("MetricThreshold", metric_threshold.MetricThreshold),
        ("ToolCallMetricProvider", tool_call_metric_provider.ToolCallMetricProvider),
        ("run_in_event_loop", async_util.run_in_event_loop),
        ("get_authenticator_token", python_utils.get_authenticator_token),
        ("transform_str_to_list", python_utils.transform_str_to_list),
    ]
    for name, value in expected:
        assert ORIGINAL[name] is value, name
    names = [name for name, _ in expected] + [
        "ACCURACY_METRICS", "RAG_EVIDENCE_METRICS", "RAG_SMALL_MODELS", "EVIDENCES",
        "ScreeningProvider",
    ]
    public = [name for name in ORIGINAL if not name.startswith("_")]
    assert public == names
    # the endpoint table is imported when a URL is resolved, not bound at import
    assert "VEXMON_ENDPOINT_TABLE" not in ORIGINAL


def test_module_lists():
    assert ORIGINAL["ACCURACY_METRICS"] == ["topic_relevance", "tool_call_accuracy"]
    assert ORIGINAL["RAG_EVIDENCE_METRICS"] == ["faithfulness", "context_relevance"]
    assert ORIGINAL["RAG_SMALL_MODELS"] == ["faithfulness_model", "context_relevance_model"]
    assert ORIGINAL["EVIDENCES"] == ["hap", "pii", "keyword", "regex"]
    for name in ("ACCURACY_METRICS", "RAG_EVIDENCE_METRICS", "RAG_SMALL_MODELS", "EVIDENCES"):
        assert type(ORIGINAL[name]) is list


def test_plain_class_with_retry_constants():
    assert ScreeningProvider.__bases__ == (object,)
    assert ScreeningProvider.__name__ == "ScreeningProvider"
    assert type(ScreeningProvider.RETRY_AFTER_STATUS_CODES) is list
    assert ScreeningProvider.RETRY_AFTER_STATUS_CODES == [502, 503, 504]
    assert type(ScreeningProvider.RETRY_COUNT) is int and ScreeningProvider.RETRY_COUNT == 3
    assert type(ScreeningProvider.BACK_OFF_FACTOR) is int and ScreeningProvider.BACK_OFF_FACTOR == 1


def test_methods_in_order_with_their_parameters():
    names = [name for name, _ in METHODS]
    defined = [name for name in vars(ScreeningProvider) if name in set(names)]
    assert defined == names
    for name, parameters in METHODS:
        signature = inspect.signature(getattr(ScreeningProvider, name))
        assert list(signature.parameters) == parameters, name
        for parameter in signature.parameters.values():
            expected_kind = (inspect.Parameter.VAR_KEYWORD if parameter.name == "kwargs"
                             else inspect.Parameter.POSITIONAL_OR_KEYWORD)
            assert parameter.kind is expected_kind, (name, parameter.name)
    # private methods exist only under the class-prefixed name
    for plain in ("__get_headers", "__post_process", "__compute_metric", "__get_base_url"):
        assert plain not in vars(ScreeningProvider)


@pytest.mark.parametrize("name", [name for name, _ in METHODS if name != "__init__"])
def test_exactly_three_methods_are_coroutine_functions(name):
    provider = build()
    expected = name in COROUTINE_METHODS
    assert asyncio.iscoroutinefunction(getattr(ScreeningProvider, name)) is expected
    assert asyncio.iscoroutinefunction(getattr(provider, name)) is expected


def test_constructor_defaults_share_one_thresholds_list():
    parameters = inspect.signature(ScreeningProvider.__init__).parameters
    assert parameters["metric_method"].default is None
    assert parameters["metric_group"].default is None
    default = parameters["thresholds"].default
    assert type(default) is list and default == []
    first, second = build(), build("pii")
    assert first.thresholds is second.thresholds is default
    assert default == []


# --------------------------------------------------------------------------
# Construction
# --------------------------------------------------------------------------


def test_constructor_sets_every_attribute():
    client = api_client("https://detection.example.test/root")
    config = configuration()
    thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
    params = {"threshold": 0.25}
    provider = ScreeningProvider(
        config, "pii", "PII", "sentinel", MetricGroup.ANSWER_QUALITY, thresholds,
        api_client=client, detector_params=params, something_else=object(),
    )
    assert provider.vexmon_client is client.vexmon_client
    assert provider.verify is True
    assert provider.base_url == "https://detection.example.test/root" + PLAIN_PATH
    assert provider.configuration is config
    assert type(provider.configuration_) is dict and provider.configuration_ == {}
    assert provider.metric_name == "pii"
    assert provider.metric_display_name == "PII"
    assert provider.metric_method == "sentinel"
    assert provider.metric_group is MetricGroup.ANSWER_QUALITY
    assert provider.service_instance_id == INSTANCE_ID
    assert provider.thresholds is thresholds
    assert provider.detector_params is params
    assert build().configuration_ is not build().configuration_


def test_arguments_by_keyword_and_any_configuration_or_group():
    config, group = object(), "not an enum"
    provider = ScreeningProvider(
        metric_display_name="Hap", metric_name="hap", configuration=config,
        metric_group=group, api_client=api_client("https://detection.example.test"),
    )
    assert provider.configuration is config and provider.metric_group is group
    assert provider.metric_method is None and provider.detector_params is None


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((configuration(), "hap"), {}),
        ((configuration(), "hap", "Hap", None, None, [], "surplus"), {}),
        ((configuration(), "hap", "Hap"), {"metric_name": "pii"}),
    ],
    ids=["missing-display-name", "eight-positional", "repeated"],
)
def test_argument_count_errors(args, kwargs):
    with pytest.raises(TypeError):
        ScreeningProvider(*args, api_client=api_client("https://detection.example.test"), **kwargs)


@pytest.mark.parametrize(
    "argument, value, expected, got",
    [
        ("metric_name", 5, "str", "int"),
        ("metric_name", None, "str", "NoneType"),
        ("metric_name", TextSubclass("hap"), "str", "TextSubclass"),
        ("metric_display_name", None, "str", "NoneType"),
        ("metric_display_name", b"Hap", "str", "bytes"),
        ("metric_method", 1, "str", "int"),
        ("metric_method", TextSubclass("sentinel"), "str", "TextSubclass"),
        ("thresholds", None, "list", "NoneType"),
        ("thresholds", (), "list", "tuple"),
        ("thresholds", ListSubclass(), "list", "ListSubclass"),
    ],
)
@pytest.mark.parametrize("with_client", [True, False], ids=["client", "no-client"])
def test_exact_type_checks_come_first(argument, value, expected, got, with_client):
    arguments = dict(configuration=configuration(), metric_name="hap",
                     metric_display_name="Hap", metric_method=None, thresholds=[])
    arguments[argument] = value
    if with_client:
        arguments["api_client"] = api_client("https://detection.example.test")
    with pytest.raises(TypeError) as raised:
        ScreeningProvider(**arguments)
    assert str(raised.value) == (
        f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"
    )


@pytest.mark.parametrize("method, written", [(None, "None"), ("sentinel", "sentinel")])
@pytest.mark.parametrize(
    "client_kwargs",
    [{}, {"api_client": None}, {"api_client": Falsy()}, {"api_client": ""}],
    ids=["absent", "None", "falsy-object", "empty-text"],
)
def test_missing_api_client(method, written, client_kwargs, token_calls):
    with pytest.raises(ValueError) as raised:
        ScreeningProvider(configuration(), "faithfulness", "Faithfulness", method, **client_kwargs)
    assert type(raised.value) is ValueError
    assert str(raised.value) == MISSING_CLIENT.format(name="faithfulness", method=written)
    assert token_calls == []


@pytest.mark.parametrize("method, written", [(None, "None"), ("sentinel", "sentinel")])
@pytest.mark.parametrize(
    "monitoring_client",
    [None, object(), types.SimpleNamespace(service_instance_id="x", authenticator=object())],
    ids=["None", "object", "look-alike"],
)
def test_monitoring_client_must_be_the_monitoring_sdk_client(method, written, monitoring_client):
    client = namespace_client("https://detection.example.test", vexmon_client=monitoring_client)
    with pytest.raises(ValueError) as raised:
        ScreeningProvider(configuration(), "hap", "Hap", method, api_client=client)
    assert type(raised.value) is ValueError
    assert str(raised.value) == MISSING_INSTANCE.format(name="hap", method=written)


def test_a_subclass_of_the_monitoring_client_is_accepted():
    monitoring = MonitoringClientSubclass(
        service_url="https://monitoring.example.test",
        authenticator=StaticTokenAuthenticator(TOKEN),
        service_instance_id="sub-instance",
    )
    client = namespace_client("https://detection.example.test", vexmon_client=monitoring)
    provider = ScreeningProvider(configuration(), "hap", "Hap", api_client=client)
    assert provider.vexmon_client is monitoring
    assert provider.service_instance_id == "sub-instance"


def test_construction_sends_nothing_and_asks_for_no_token(detector, token_calls):
    build(client=api_client(detector.url))
    assert detector.requests == []
    assert token_calls == []


# --------------------------------------------------------------------------
# Service addressing
# --------------------------------------------------------------------------

ENDPOINTS = [
    ("answer_relevance", GENERATED_PATH),
    ("context_relevance", CONTEXT_PATH),
    ("faithfulness", CONTEXT_PATH),
    ("tool_call_accuracy", CHAT_PATH),
    ("topic_relevance", PLAIN_PATH),
    ("hap", PLAIN_PATH),
    ("pii", PLAIN_PATH),
    ("keyword", PLAIN_PATH),
    ("regex", PLAIN_PATH),
    ("jailbreak", PLAIN_PATH),
    ("prompt_safety_risk", PLAIN_PATH),
    ("Faithfulness", PLAIN_PATH),  # names are compared exactly
    ("answer_relevance ", PLAIN_PATH),
    ("", PLAIN_PATH),
]


@pytest.mark.parametrize("metric_name, path", ENDPOINTS)
@pytest.mark.parametrize(
    "root",
    ["https://detection.example.test", "https://detection.example.test/",
     "https://detection.example.test/api/root"],
    ids=["bare", "trailing-slash", "with-path"],
)
def test_base_url_is_the_root_followed_by_the_endpoint(metric_name, path, root):
    provider = build(metric_name, client=api_client(root))
    # the root is used as it comes: a trailing slash gives a double slash
    assert provider.base_url == root + path
    template = provider._ScreeningProvider__get_base_url(metric_name)
    assert template == "{}" + path
    assert provider._ScreeningProvider__get_base_url(metric_name=metric_name) == template


GOVERNANCE_URL = "https://governance.example.test"


@pytest.mark.parametrize(
    "version, expected_root",
    [
        ("5.1", GOVERNANCE_URL),
        (1, GOVERNANCE_URL),
        ("", "https://ml.example.test"),
        (None, "https://ml.example.test"),
        (0, "https://ml.example.test"),
    ],
)
def test_version_chooses_between_the_url_itself_and_the_endpoint_table(
    monkeypatch, version, expected_root
):
    record = LumoraUrls(
        iam_url="https://iam.example.test", tsy_url=GOVERNANCE_URL,
        rivet_url="https://ml.example.test", kelm_url="https://data.example.test",
        region="test-region",
    )
    monkeypatch.setitem(endpoint_table.VEXMON_ENDPOINT_TABLE, GOVERNANCE_URL, record)
    provider = build("answer_relevance", client=namespace_client(GOVERNANCE_URL, version=version))
    assert provider.base_url == expected_root + GENERATED_PATH


@pytest.mark.parametrize("index", [0, 7, 12])
def test_cloud_credentials_resolve_through_the_real_endpoint_table(index):
    record = list(endpoint_table.LUMORA_REGION_URLS.values())[index]
    client = api_client(record.tsy_url, version=None)
    provider = build("faithfulness", client=client)
    assert provider.base_url == record.rivet_url + CONTEXT_PATH


@pytest.mark.parametrize(
    "url",
    [
        "https://unknown.example.test",
        next(iter(endpoint_table.VEXMON_ENDPOINT_TABLE)) + "/",
        next(iter(endpoint_table.VEXMON_ENDPOINT_TABLE)).upper(),
    ],
    ids=["unknown", "trailing-slash", "upper-case"],
)
def test_url_missing_from_the_endpoint_table_fails_on_none(url):
    with pytest.raises(AttributeError) as raised:
        build(client=namespace_client(url, version=None))
    assert "NoneType" in str(raised.value) and "rivet_url" in str(raised.value)


@pytest.mark.parametrize(
    "disable_ssl, verify",
    [(False, True), (True, False), (None, True), (0, True), ("yes", False), ([0], False)],
)
def test_verify_is_the_negated_truth_of_disable_ssl(disable_ssl, verify):
    provider = build(client=namespace_client("https://d.example.test", disable_ssl=disable_ssl))
    assert provider.verify is verify


def test_detector_url_and_instance_id_rebind_the_monitoring_client():
    provider = build(client=api_client("https://first.example.test"))
    other = api_client("https://second.example.test", instance_id="second-instance",
                       disable_ssl=True)
    assert provider.get_detector_url(other) == "https://second.example.test"
    assert provider.vexmon_client is other.vexmon_client
    assert provider.verify is False

    third = api_client("https://third.example.test", instance_id="third-instance")
    assert provider.get_service_instance_id(api_client=third) == "third-instance"
    assert provider.vexmon_client is third.vexmon_client
    assert provider.verify is False  # only get_detector_url sets it
    # neither changes the endpoint or the instance id header already chosen
    assert provider.base_url == "https://first.example.test" + PLAIN_PATH
    assert provider.service_instance_id == INSTANCE_ID


# --------------------------------------------------------------------------
# Detector keys
# --------------------------------------------------------------------------


class RisksWithoutHarm:
    @classmethod
    def values(cls):
        return ["jailbreak", "violence"]


@pytest.mark.parametrize(
    "metric_name, method, argument, expected",
    [
        ("hap", None, "hap", "hap"),
        ("keyword", None, "keyword", "keyword"),
        ("hap", None, "jailbreak", "stonewatch"),
        ("hap", None, "harm", "stonewatch"),
        ("prompt_safety_risk", "stonewatch", "prompt_safety_risk", "stonewatch"),
        # the replacement looks at the instance, whatever the argument is
        ("prompt_safety_risk", "stonewatch", "hap", "stonewatch"),
        ("prompt_safety_risk", "sentinel", "prompt_safety_risk", "prompt_safety_risk"),
        ("prompt_safety_risk", None, "prompt_safety_risk", "prompt_safety_risk"),
        ("hap", "stonewatch", "prompt_safety_risk", "prompt_safety_risk"),
        ("hap", None, "Jailbreak", "Jailbreak"),
    ],
)
def test_detector_key(metric_name, method, argument, expected):
    provider = build(metric_name, method=method)
    before = dict(vars(provider))
    assert provider.set_metric_name(argument) == expected
    assert provider.set_metric_name(metric_name=argument) == expected
    assert vars(provider) == before


@pytest.mark.parametrize("member", list(StonewatchRisks))
def test_every_stonewatch_risk_is_keyed_stonewatch(member):
    assert build(member.value).set_metric_name(member.value) == "stonewatch"


@pytest.mark.parametrize(
    "metric_name, method, argument, expected",
    [
        ("prompt_safety_risk", "stonewatch", "prompt_safety_risk", "harm"),
        ("hap", None, "jailbreak", "stonewatch"),
        ("hap", None, "harm", "harm"),
    ],
)
def test_detector_key_follows_the_risks_the_enum_gives(
    monkeypatch, metric_name, method, argument, expected
):
    monkeypatch.setattr(sp, "StonewatchRisks", RisksWithoutHarm)
    assert build(metric_name, method=method).set_metric_name(argument) == expected


# --------------------------------------------------------------------------
# Headers
# --------------------------------------------------------------------------


def test_headers_in_order_with_a_fresh_token_each_time(token_calls):
    provider = build()
    first = provider._ScreeningProvider__get_headers()
    second = provider._ScreeningProvider__get_headers()
    assert type(first) is dict and first is not second
    assert list(first.items()) == [
        ("Content-Type", "application/json"),
        ("Authorization", "Bearer token-1"),
        ("x-governance-instance-id", INSTANCE_ID),
        ("origin", "sdk"),
    ]
    assert second["Authorization"] == "Bearer token-2"
    authenticator = provider.vexmon_client.authenticator
    assert len(token_calls) == 2
    for args, kwargs in token_calls:
        assert len(args) + len(kwargs) == 1
        assert (list(args) + list(kwargs.values()))[0] is authenticator


def test_headers_after_the_monitoring_client_is_rebound(token_calls):
    provider = build()
    other = api_client("https://other.example.test", instance_id="other-instance")
    provider.get_service_instance_id(other)
    headers = provider._ScreeningProvider__get_headers()
    # the token comes from the client now bound, the instance id is the one kept at construction
    assert headers["x-governance-instance-id"] == INSTANCE_ID
    ((args, kwargs),) = token_calls
    assert (list(args) + list(kwargs.values())) == [other.vexmon_client.authenticator]


@pytest.mark.parametrize(
    "token, written",
    [(12345, "12345"), (TextSubclass("sub"), "sub"), (None, "None")],
)
def test_authorization_holds_the_string_form_of_the_token(monkeypatch, token, written):
    monkeypatch.setattr(sp, "get_authenticator_token", lambda authenticator: token)
    assert build()._ScreeningProvider__get_headers()["Authorization"] == "Bearer " + written


def test_headers_with_the_sdk_token_source():
    provider = build(client=api_client("https://d.example.test", token="abc.def",
                                       instance_id="inst-9"))
    headers = provider._ScreeningProvider__get_headers()
    assert headers["Authorization"] == "Bearer abc.def"
    assert headers["x-governance-instance-id"] == "inst-9"


def test_headers_on_the_wire(detector, make_provider):
    provider = make_provider("hap")
    provider.evaluate(table(["hello"]))
    (seen,) = detector.requests
    assert seen.method == "POST" and seen.target == PLAIN_PATH
    ours = [(name, value) for name, value in seen.headers
            if name.lower() in {"content-type", "authorization", "x-governance-instance-id",
                                "origin"}]
    assert ours == [
        ("Content-Type", "application/json"),
        ("Authorization", f"Bearer {TOKEN}"),
        ("x-governance-instance-id", INSTANCE_ID),
        ("origin", "sdk"),
    ]
