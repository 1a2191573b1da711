"""MeterClient: the usage report sent to the governance service."""

from __future__ import annotations

import datetime as dt
import inspect
import logging
import os
import re
import types

import pytest
import requests

from tessaly.clients import meter_client
from tessaly.clients.meter_client import MeterClient

LOGGER_NAME = "tessaly.clients.meter_client"
FAILURE_MESSAGE = "Failed to update evaluations usage."
USAGE_PATH = "/v2/usage/total_evaluations"


# --------------------------------------------------------------------------
# Fakes
# --------------------------------------------------------------------------


class FakeVexmonClient:
    """Monitoring client stand-in: only the three attributes the meter reads."""

    def __init__(self, service_url, authenticator=None, disable_ssl_verification=False):
        self.service_url = service_url
        self.authenticator = authenticator if authenticator is not None else object()
        self.disable_ssl_verification = disable_ssl_verification


class ReadLoggingVexmonClient:
    """Records every attribute read, in order."""

    def __init__(self, reads, service_url, authenticator, disable_ssl_verification):
        self._reads = reads
        self._values = {
            "service_url": service_url,
            "authenticator": authenticator,
            "disable_ssl_verification": disable_ssl_verification,
        }

    def __getattr__(self, name):
        values = self.__dict__["_values"]
        if name not in values:
            raise AttributeError(name)
        self.__dict__["_reads"].append(name)
        return values[name]


class Falsy:
    def __bool__(self):
        return False


class Truthy:
    def __bool__(self):
        return True


def fixed_clock(moment, events=None):
    """A replacement for the module's ``datetime`` whose now() is ``moment``."""

    class FixedDateTime(dt.datetime):
        @classmethod
        def now(cls, *args, **kwargs):
            assert not args and not kwargs, "now() is called without a time zone"
            if events is not None:
                events.append("now")
            return moment

    return FixedDateTime


@pytest.fixture
def token_calls(monkeypatch):
    """Replaces the module's token source; returns the list of its calls."""
    calls = []

    def fake_token(*args, **kwargs):
        calls.append((args, kwargs))
        return "tok-123"

    monkeypatch.setattr(meter_client, "get_authenticator_token", fake_token)
    return calls


@pytest.fixture
def post_calls(monkeypatch):
    """Wraps the real ``requests.post`` seen by the module and records its calls."""
    calls = []
    real_post = requests.post

    def recording_post(*args, **kwargs):
        calls.append((args, kwargs))
        return real_post(*args, **kwargs)

    wrapper = types.SimpleNamespace(
        post=recording_post,
        exceptions=requests.exceptions,
        ConnectionError=requests.ConnectionError,
    )
    monkeypatch.setattr(meter_client, "requests", wrapper)
    return calls


@pytest.fixture
def meter_log(caplog):
    """Debug records of the module's logger (also when it does not propagate)."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)
    logger = meter_client.logger
    attached = isinstance(logger, logging.Logger) and not logger.propagate
    if attached:
        logger.addHandler(caplog.handler)
        previous_level = logger.level
        logger.setLevel(logging.DEBUG)
    yield caplog
    if attached:
        logger.removeHandler(caplog.handler)
        logger.setLevel(previous_level)


def messages(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER_NAME]


# --------------------------------------------------------------------------
# Module and class shape
# --------------------------------------------------------------------------


def test_module_namespace_binds_its_imports():
    import datetime as datetime_module

    import cirrus_sdk_core.authenticators as authenticators
    import vexmon_sdk
    from tessaly.utils import gov_sdk_logger, python_utils

    assert meter_client.os is os
    assert meter_client.datetime is datetime_module.datetime
    assert meter_client.requests is requests
    assert meter_client.BearerTokenAuthenticator is authenticators.BearerTokenAuthenticator
    assert meter_client.VexmonClient is vexmon_sdk.APIClient
    assert meter_client.GovSDKLogger is gov_sdk_logger.GovSDKLogger
    assert meter_client.get_authenticator_token is python_utils.get_authenticator_token
    assert meter_client.MeterClient is MeterClient


def test_logger_is_named_after_the_module():
    assert meter_client.logger.name == LOGGER_NAME


def test_constructor_signature_and_annotation():
    signature = inspect.signature(MeterClient)
    assert list(signature.parameters) == ["vexmon_client"]
    parameter = signature.parameters["vexmon_client"]
    assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert parameter.default is inspect.Parameter.empty
    assert parameter.annotation == "VexmonClient"
    assert str(signature) == "(vexmon_client: 'VexmonClient')"


def test_plain_class_with_one_operation():
    assert MeterClient.__bases__ == (object,)
    # data descriptors would be the storage of the instance attribute, not constants
    public = {
        name
        for name, value in vars(MeterClient).items()
        if not name.startswith("_") and not inspect.isdatadescriptor(value)
    }
    assert public == {"update_evaluations"}
    assert list(inspect.signature(MeterClient.update_evaluations).parameters) == ["self"]


@pytest.mark.parametrize("how", ["positional", "keyword"])
def test_constructor_only_stores_the_client(how):
    sentinel = object()  # no service_url etc.: nothing is read or checked
    client = MeterClient(sentinel) if how == "positional" else MeterClient(vexmon_client=sentinel)
    assert client.vexmon_client is sentinel


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((object(), object()), {}),
        ((object(),), {"vexmon_client": object()}),
        ((), {"client": object()}),
    ],
    ids=["missing", "surplus", "repeated", "unknown-keyword"],
)
def test_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        MeterClient(*args, **kwargs)


def test_update_evaluations_takes_no_arguments(http_server, token_calls):
    client = MeterClient(FakeVexmonClient(http_server.url))
    with pytest.raises(TypeError):
        client.update_evaluations(1)
    assert http_server.requests == []


# --------------------------------------------------------------------------
# The request on the wire
# --------------------------------------------------------------------------


def test_usage_report_request(http_server, token_calls, monkeypatch):
    moment = dt.datetime(2024, 5, 6, 7, 8, 9, 123456)
    monkeypatch.setattr(meter_client, "datetime", fixed_clock(moment))
    authenticator = object()
    client = MeterClient(FakeVexmonClient(http_server.url, authenticator))

    assert client.update_evaluations() is None

    assert token_calls == [((authenticator,), {})]
    [request] = http_server.requests
    assert request.method == "POST"
    assert request.target == USAGE_PATH
    assert request.header("Content-Type") == "application/json"
    assert request.header("Authorization") == "Bearer tok-123"
    names = [name.lower() for name in request.header_names()]
    assert names.index("content-type") < names.index("authorization")
    members = request.json(object_pairs_hook=list)
    assert members == [
        ("amount", 1),
        ("timestamp", "2024-05-06 07:08:09.123456"),
        ("type", "relative"),
    ]
    assert type(dict(members)["amount"]) is int


@pytest.mark.parametrize(
    "moment, text",
    [
        (dt.datetime(2024, 5, 6, 7, 8, 9, 123456), "2024-05-06 07:08:09.123456"),
        (dt.datetime(2024, 5, 6, 7, 8, 9, 5), "2024-05-06 07:08:09.000005"),
        (dt.datetime(2031, 12, 31, 23, 59, 59, 0), "2031-12-31 23:59:59"),
        (dt.datetime(2000, 1, 1), "2000-01-01 00:00:00"),
    ],
    ids=["micro", "small-micro", "zero-micro", "midnight"],
)
def test_timestamp_is_text_form_of_now(moment, text, http_server, token_calls, monkeypatch):
    monkeypatch.setattr(meter_client, "datetime", fixed_clock(moment))
    MeterClient(FakeVexmonClient(http_server.url)).update_evaluations()
    assert http_server.requests[0].json()["timestamp"] == text


def test_timestamp_uses_the_real_clock(http_server, token_calls):
    before = dt.datetime.now()
    MeterClient(FakeVexmonClient(http_server.url)).update_evaluations()
    after = dt.datetime.now()
    stamp = http_server.requests[0].json()["timestamp"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{6})?", stamp)
    parsed = dt.datetime.fromisoformat(stamp)
    assert parsed.tzinfo is None
    assert before <= parsed <= after


def test_timestamp_is_taken_after_the_token(http_server, monkeypatch):
    events = []

    def fake_token(authenticator):
        events.append("token")
        return "t"

    monkeypatch.setattr(meter_client, "get_authenticator_token", fake_token)
    monkeypatch.setattr(
        meter_client, "datetime", fixed_clock(dt.datetime(2024, 1, 1), events)
    )
    MeterClient(FakeVexmonClient(http_server.url)).update_evaluations()
    assert events == ["token", "now"]


def test_every_call_reports_one_evaluation(http_server, token_calls):
    client = MeterClient(FakeVexmonClient(http_server.url))
    for _ in range(3):
        client.update_evaluations()
    assert [r.json()["amount"] for r in http_server.requests] == [1, 1, 1]
    assert len(token_calls) == 3


@pytest.mark.parametrize(
    "suffix, target",
    [
        ("", USAGE_PATH),
        ("/", "/" + USAGE_PATH),
        ("/gov/api", "/gov/api" + USAGE_PATH),
    ],
    ids=["bare", "trailing-slash", "with-path"],
)
def test_url_is_service_url_plus_template(suffix, target, http_server, token_calls, monkeypatch):
    # The URL is the template filled in, as it is; how the HTTP library then writes a doubled
    # slash on the wire is its own (older releases of requests collapse it).
    posted = []
    real_post = meter_client.requests.post
    monkeypatch.setattr(meter_client.requests, "post", lambda url, **kw: posted.append(url) or real_post(url, **kw))
    MeterClient(FakeVexmonClient(http_server.url + suffix)).update_evaluations()
    assert posted == [http_server.url + target]
    assert http_server.requests[0].target.lstrip("/") == target.lstrip("/")


def test_attributes_are_read_afresh_in_order(loopback_server, token_calls):
    first, second = loopback_server(), loopback_server()
    reads = []
    vexmon = ReadLoggingVexmonClient(reads, first.url, object(), False)
    client = MeterClient(vexmon)
    assert reads == []  # construction reads nothing

    client.update_evaluations()
    assert reads == ["service_url", "authenticator", "disable_ssl_verification"]

    vexmon._values["service_url"] = second.url
    client.update_evaluations()
    assert len(first.requests) == 1 and len(second.requests) == 1


# --------------------------------------------------------------------------
# The call made to the HTTP package
# --------------------------------------------------------------------------


def test_post_call_keywords(http_server, token_calls, post_calls):
    MeterClient(FakeVexmonClient(http_server.url)).update_evaluations()
    [(args, kwargs)] = post_calls
    assert args == ()
    assert set(kwargs) == {"url", "json", "headers", "verify"}  # no timeout
    assert kwargs["url"] == http_server.url + USAGE_PATH
    assert list(kwargs["headers"].items()) == [
        ("Content-Type", "application/json"),
        ("Authorization", "Bearer tok-123"),
    ]
    assert list(kwargs["json"]) == ["amount", "timestamp", "type"]
    assert kwargs["json"]["amount"] == 1
    assert kwargs["json"]["type"] == "relative"
    assert type(kwargs["json"]["timestamp"]) is str


@pytest.mark.parametrize(
    "setting, verify",
    [
        (True, False),
        (False, True),
        (None, True),
        ("", True),
        (0, True),
        ("yes", False),
        (1, False),
        (Falsy(), True),
        (Truthy(), False),
    ],
    ids=["True", "False", "None", "empty", "zero", "text", "one", "falsy-object", "truthy-object"],
)
def test_verify_is_the_boolean_negation(setting, verify, http_server, token_calls, post_calls):
    MeterClient(FakeVexmonClient(http_server.url, disable_ssl_verification=setting)).update_evaluations()
    assert post_calls[0][1]["verify"] is verify


# --------------------------------------------------------------------------
# Responses and failures
# --------------------------------------------------------------------------


@pytest.mark.parametrize("status", [200, 201, 202, 204])
def test_successful_status_logs_nothing(status, http_server, token_calls, meter_log):
    http_server.respond_with(status)
    assert MeterClient(FakeVexmonClient(http_server.url)).update_evaluations() is None
    assert messages(meter_log) == []


@pytest.mark.parametrize("status", [400, 401, 403, 404, 500, 502, 503])
def test_failed_status_logs_debug_and_returns(status, http_server, token_calls, meter_log):
    http_server.respond_with((status, {"error": "nope"}))
    assert MeterClient(FakeVexmonClient(http_server.url)).update_evaluations() is None
    assert messages(meter_log) == [(logging.DEBUG, FAILURE_MESSAGE)]
    assert len(http_server.requests) == 1  # sent once, never retried


def test_failed_status_calls_logger_debug_with_the_message(http_server, token_calls, monkeypatch):
    calls = []

    class RecordingLogger:
        def debug(self, *args, **kwargs):
            calls.append(("debug", args, kwargs))

        def __getattr__(self, name):
            def other(*args, **kwargs):
                calls.append((name, args, kwargs))

            return other

    monkeypatch.setattr(meter_client, "logger", RecordingLogger())
    http_server.respond_with(500)
    MeterClient(FakeVexmonClient(http_server.url)).update_evaluations()
    assert calls == [("debug", (FAILURE_MESSAGE,), {})]


def test_refused_connection_raises(refused_url, token_calls, meter_log):
    with pytest.raises(requests.ConnectionError):
        MeterClient(FakeVexmonClient(refused_url)).update_evaluations()
    assert messages(meter_log) == []


def test_token_failure_propagates_unchanged(http_server, monkeypatch):
    failure = RuntimeError("no token")

    def failing_token(authenticator):
        raise failure

    monkeypatch.setattr(meter_client, "get_authenticator_token", failing_token)
    with pytest.raises(RuntimeError) as raised:
        MeterClient(FakeVexmonClient(http_server.url)).update_evaluations()
    assert raised.value is failure
    assert http_server.requests == []


@pytest.mark.parametrize("missing", ["service_url", "authenticator", "disable_ssl_verification"])
def test_missing_client_attribute_raises_attribute_error(missing, http_server, token_calls):
    vexmon = FakeVexmonClient(http_server.url)
    delattr(vexmon, missing)
    with pytest.raises(AttributeError):
        MeterClient(vexmon).update_evaluations()
    assert http_server.requests == []


# --------------------------------------------------------------------------
# TLS
# --------------------------------------------------------------------------


def test_untrusted_certificate_is_refused_when_verifying(https_server, token_calls, monkeypatch):
    # Make sure the default trust store is the only one requests consults.
    monkeypatch.delenv("REQUESTS_CA_BUNDLE", raising=False)
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    with pytest.raises(requests.exceptions.SSLError):
        MeterClient(
            FakeVexmonClient(https_server.url, disable_ssl_verification=False)
        ).update_evaluations()
    assert https_server.requests == []


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_untrusted_certificate_is_accepted_when_verification_is_disabled(
    https_server, token_calls, meter_log
):
    client = MeterClient(FakeVexmonClient(https_server.url, disable_ssl_verification=True))
    assert client.update_evaluations() is None
    [request] = https_server.requests
    assert request.path == USAGE_PATH
    assert request.header("Authorization") == "Bearer tok-123"
    assert messages(meter_log) == []


def test_trusted_certificate_is_accepted_when_verifying(
    https_server, token_calls, tls_ca_bundle, monkeypatch
):
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", tls_ca_bundle)
    client = MeterClient(FakeVexmonClient(https_server.url, disable_ssl_verification=False))
    client.update_evaluations()
    assert len(https_server.requests) == 1


# --------------------------------------------------------------------------
# With the SDK's own monitoring client class
# --------------------------------------------------------------------------


def test_with_the_monitoring_client_class(http_server, token_calls):
    authenticator = object()
    vexmon = meter_client.VexmonClient(
        service_url=http_server.url,
        authenticator=authenticator,
        service_instance_id="instance-1",
        disable_ssl_verification=False,
    )
    MeterClient(vexmon).update_evaluations()
    assert token_calls == [((authenticator,), {})]
    assert http_server.requests[0].path == USAGE_PATH
