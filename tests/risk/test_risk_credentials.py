"""How risk_runner assembles the plug-in's credentials and checks the model
against the hosting service's catalogue."""

from __future__ import annotations

from types import SimpleNamespace

import pytest
from nimbalkit.client import APIClient as HostingClient
from nimbalkit.credentials import Credentials as HostingCredentials
from risk_kit import (
    CATALOGUE,
    CLOUD_URL,
    KNOWN_MODEL,
    ON_PREM_URL,
    Untouchable,
    configuration,
    console,
    custom_model,
    hosted_model,
)

from tessaly.entities.credentials import Credentials, NimbalCredentials
from tessaly.entities.foundation_model import OpenAIFoundationModel
from tessaly.utils.endpoint_table import VEXMON_ENDPOINT_TABLE

CLOUD_RIVET = VEXMON_ENDPOINT_TABLE[CLOUD_URL].rivet_url
NOT_OFFERED = (
    "The Model ID provided is not supported for your environment. "
    "Here is a list of the available models: "
)

cloud_sdk = Credentials(url=CLOUD_URL, api_key="sdk-key", username="sdk-user")
on_prem_sdk = Credentials(url=ON_PREM_URL, api_key="op-key", username="admin", version="5.1")


# ----------------------------------------------------------------------------
# build_system_credentials: hosting-service models
# ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "own, expected",
    [
        pytest.param(
            NimbalCredentials(url="https://ml.onprem.example", username="u1", api_key="k1", version="4.8"),
            {
                "lumora_ai_project_id": "project-1",
                "lumora_ai_model_id": KNOWN_MODEL,
                "lumora_ai_endpoint_url": "https://ml.onprem.example",
                "lumora_ai_dpx_username": "u1",
                "lumora_ai_dpx_apikey": "k1",
            },
            id="own-credentials-with-version",
        ),
        pytest.param(
            NimbalCredentials(url="https://ml.cloud.example", username="u1", api_key="k1"),
            {
                "lumora_ai_project_id": "project-1",
                "lumora_ai_model_id": KNOWN_MODEL,
                "lumora_ai_endpoint_url": "https://ml.cloud.example",
                "lumora_ai_cloud_apikey": "k1",
            },
            id="own-credentials-without-version",
        ),
        pytest.param(
            # A version alone makes the object truthy: its empty url and key are taken as they are.
            NimbalCredentials(version="4.8"),
            {
                "lumora_ai_project_id": "project-1",
                "lumora_ai_model_id": KNOWN_MODEL,
                "lumora_ai_endpoint_url": None,
                "lumora_ai_dpx_username": None,
                "lumora_ai_dpx_apikey": None,
            },
            id="own-credentials-only-version",
        ),
    ],
)
def test_hosted_model_with_its_own_credentials(rr, own, expected):
    system, scoring = rr.build_system_credentials(configuration(hosted_model(own)), cloud_sdk)
    assert scoring is None
    assert system == expected
    assert list(system) == list(expected)


@pytest.mark.parametrize(
    "own",
    [pytest.param(None, id="no-credentials"), pytest.param(NimbalCredentials(), id="empty-credentials")],
)
@pytest.mark.parametrize(
    "sdk, expected",
    [
        pytest.param(
            on_prem_sdk,
            {
                "lumora_ai_project_id": "project-1",
                "lumora_ai_model_id": KNOWN_MODEL,
                "lumora_ai_endpoint_url": ON_PREM_URL,
                "lumora_ai_dpx_username": "admin",
                "lumora_ai_dpx_apikey": "op-key",
            },
            id="sdk-with-version",
        ),
        pytest.param(
            cloud_sdk,
            {
                "lumora_ai_project_id": "project-1",
                "lumora_ai_model_id": KNOWN_MODEL,
                "lumora_ai_cloud_apikey": "sdk-key",
                "lumora_ai_endpoint_url": CLOUD_RIVET,
            },
            id="sdk-without-version",
        ),
    ],
)
def test_hosted_model_falls_back_to_the_sdk_credentials(rr, own, sdk, expected):
    model = hosted_model()
    model.provider.credentials = own
    system, scoring = rr.build_system_credentials(configuration(model), sdk)
    assert scoring is None
    assert system == expected
    assert list(system) == list(expected)


def test_hosted_model_from_an_unknown_cloud_region_fails_on_the_endpoint_lookup(rr):
    sdk = Credentials(url="https://api.tsy.mars-1.cloud.tessaly.dev", api_key="k")
    with pytest.raises(AttributeError, match="rivet_url"):
        rr.build_system_credentials(configuration(hosted_model()), sdk)


def test_hosted_model_not_in_the_catalogue(rr):
    with pytest.raises(ValueError) as caught:
        rr.build_system_credentials(configuration(hosted_model(model_id="acme/unknown-1b")), cloud_sdk)
    assert str(caught.value) == NOT_OFFERED + str(CATALOGUE)


def test_hosted_model_is_checked_with_a_client_built_from_the_sdk_credentials(rr, monkeypatch):
    seen = []

    def check(model_id, nimbal_client):
        seen.append((model_id, nimbal_client))

    monkeypatch.setattr(rr, "check_if_model_id_is_valid", check)
    model = hosted_model(NimbalCredentials(url="https://ml.cloud.example", api_key="own"))
    rr.build_system_credentials(configuration(model), on_prem_sdk)
    [(model_id, client)] = seen
    assert model_id == KNOWN_MODEL
    assert isinstance(client, HostingClient)
    # The catalogue is asked with the governance service's credentials, not the model's own.
    assert client.credentials.api_key == "op-key"
    assert client.credentials.instance_id == "cairnhost"


# ----------------------------------------------------------------------------
# build_system_credentials: other models and the governance console
# ----------------------------------------------------------------------------


@pytest.mark.parametrize("with_console", [False, True], ids=["no-console", "console"])
@pytest.mark.parametrize(
    "model, is_custom",
    [
        pytest.param(custom_model(), True, id="custom"),
        pytest.param(OpenAIFoundationModel(model_id="gpt-x"), False, id="openai"),
        pytest.param(SimpleNamespace(model_name="anything"), False, id="plain-object"),
    ],
)
def test_models_without_hosting_service_keys(rr, model, is_custom, with_console):
    config = SimpleNamespace(
        model_details=model, lumora_gc_configuration=console() if with_console else None
    )
    # The SDK credentials are not read for these models.
    system, scoring = rr.build_system_credentials(config, Untouchable())
    assert not any(key.startswith("lumora_ai_") for key in system)
    assert list(system) == (
        ["op_url", "op_username", "op_password", "op_model_id", "op_apikey"] if with_console else []
    )
    if is_custom:
        assert scoring is model._scoring_fn
    else:
        assert scoring is None


@pytest.mark.parametrize(
    "url, dpx_host",
    [
        pytest.param("https://gc.example.com/api", None, id="cloud-console"),
        pytest.param("https://DPX.example.com/api", None, id="upper-case-is-not-dpx"),
        pytest.param("https://cpd-dpx.example.com:8443/zen", "cpd-dpx.example.com:8443", id="host-and-port"),
        pytest.param("https://dpx.example.com", "dpx.example.com", id="host-only"),
        pytest.param("https://example.com/dpx/api", "example.com", id="dpx-in-path"),
        pytest.param("https://admin:pw@dpx-host:9443/x", "admin:pw@dpx-host:9443", id="with-user-info"),
    ],
)
def test_console_keys(rr, url, dpx_host):
    config = configuration(custom_model(), lumora_gc_configuration=console(url))
    system, _ = rr.build_system_credentials(config, cloud_sdk)
    expected = {
        "op_url": url,
        "op_username": "gc-user",
        "op_password": "gc-pass",
        "op_model_id": "gc-model-7",
        "op_apikey": "gc-key",
    }
    if dpx_host is not None:
        expected |= {"op_dpx_apikey": "gc-key", "op_dpx_host": dpx_host}
    assert system == expected
    assert list(system) == list(expected)


def test_console_keys_follow_the_hosting_service_keys(rr):
    model = hosted_model(NimbalCredentials(url="https://ml.cloud.example", api_key="k1"))
    config = configuration(model, lumora_gc_configuration=console("https://dpx.example.com"))
    system, _ = rr.build_system_credentials(config, cloud_sdk)
    assert list(system) == [
        "lumora_ai_project_id",
        "lumora_ai_model_id",
        "lumora_ai_endpoint_url",
        "lumora_ai_cloud_apikey",
        "op_url",
        "op_username",
        "op_password",
        "op_model_id",
        "op_apikey",
        "op_dpx_apikey",
        "op_dpx_host",
    ]


@pytest.mark.parametrize("falsy", [None, 0, ""])
def test_falsy_console_configuration_adds_nothing(rr, falsy):
    config = SimpleNamespace(model_details=custom_model(), lumora_gc_configuration=falsy)
    assert rr.build_system_credentials(config, cloud_sdk)[0] == {}


def test_console_without_url_fails_at_the_dpx_test(rr):
    credentials = SimpleNamespace(url=None, username="u", password="p", api_key="k")
    config = SimpleNamespace(
        model_details=custom_model(),
        lumora_gc_configuration=SimpleNamespace(credentials=credentials, model_id="m"),
    )
    with pytest.raises(TypeError, match="NoneType"):
        rr.build_system_credentials(config, cloud_sdk)


# ----------------------------------------------------------------------------
# get_ozri_credentials
# ----------------------------------------------------------------------------


def test_cloud_credentials_get_the_regions_hosting_url(rr):
    sdk = Credentials(url=CLOUD_URL, api_key="sdk-key", username="sdk-user", password="")
    client = rr.get_ozri_credentials(sdk)
    assert isinstance(client, rr.LumoraAIAPIClient)
    assert isinstance(client.credentials, rr.LumoraAICredentials)
    assert vars(client.credentials) == {
        "url": CLOUD_RIVET,
        "api_key": "sdk-key",
        "username": "sdk-user",
        "password": "",  # copied although empty
        "instance_id": None,
        "version": None,
        "token": None,  # not an attribute of the SDK credentials: left to its default
        "verify": None,
    }


@pytest.mark.parametrize("copied_instance", [None, "abc-123"])
def test_on_prem_credentials_are_marked_and_keep_their_url(rr, copied_instance):
    sdk = Credentials(url=ON_PREM_URL, api_key="op-key", username="admin", version="5.1",
                      instance_id=copied_instance)
    client = rr.get_ozri_credentials(sdk)
    assert client.credentials.instance_id == "cairnhost"
    assert client.credentials.url == ON_PREM_URL
    assert client.credentials.version == "5.1"
    assert (client.credentials.api_key, client.credentials.username) == ("op-key", "admin")


@pytest.mark.parametrize("version", [None, "", 0])
def test_credentials_outside_the_endpoint_table_fail(rr, version):
    sdk = SimpleNamespace(url="https://api.tsy.mars-1.cloud.tessaly.dev", version=version)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'rivet_url'"):
        rr.get_ozri_credentials(sdk)


_UNSET = object()


class RecordingCredentials:
    """A hosting credentials class with a signature of its own."""

    def __init__(self, url=_UNSET, api_key=_UNSET, zone=_UNSET, version=_UNSET, instance_id=_UNSET):
        self.given = {k: v for k, v in locals().items() if k != "self" and v is not _UNSET}


class RaisingAttribute:
    """Reading ``zone`` fails with something other than AttributeError."""

    url = CLOUD_URL
    version = None

    @property
    def zone(self):
        raise RuntimeError("zone service unavailable")


@pytest.mark.parametrize(
    "source, expected",
    [
        pytest.param(
            SimpleNamespace(url=CLOUD_URL, api_key="", zone="z1", username="ignored", version=None),
            {"url": CLOUD_RIVET, "api_key": "", "zone": "z1", "version": None},
            id="only-signature-names-are-copied",
        ),
        pytest.param(
            SimpleNamespace(url=CLOUD_URL, version=""),
            {"url": CLOUD_RIVET, "version": ""},
            id="absent-attributes-are-skipped",
        ),
        pytest.param(
            SimpleNamespace(url=ON_PREM_URL, version="5", api_key=None),
            {"url": ON_PREM_URL, "api_key": None, "version": "5", "instance_id": "cairnhost"},
            id="on-prem-adds-instance-id",
        ),
    ],
)
def test_fields_follow_the_hosting_credentials_signature(rr, monkeypatch, source, expected):
    monkeypatch.setattr(rr, "LumoraAICredentials", RecordingCredentials)
    monkeypatch.setattr(rr, "LumoraAIAPIClient", lambda credentials: ("client", credentials))
    kind, credentials = rr.get_ozri_credentials(source)
    assert kind == "client"
    assert credentials.given == expected


def test_a_failing_attribute_read_is_not_taken_for_absence(rr, monkeypatch):
    monkeypatch.setattr(rr, "LumoraAICredentials", RecordingCredentials)
    with pytest.raises(RuntimeError, match="zone service unavailable"):
        rr.get_ozri_credentials(RaisingAttribute())


# ----------------------------------------------------------------------------
# check_if_model_id_is_valid
# ----------------------------------------------------------------------------


def hosting_client():
    return HostingClient(HostingCredentials(url="https://ml.cloud.example", api_key="k"))


def test_offered_model_passes(rr):
    assert rr.check_if_model_id_is_valid(KNOWN_MODEL, hosting_client()) is None


@pytest.mark.parametrize("model_id", ["acme/unknown-1b", "TERN/LARK-13B-CHAT", ""])
def test_model_not_offered_lists_the_catalogue(rr, model_id):
    with pytest.raises(ValueError) as caught:
        rr.check_if_model_id_is_valid(model_id, hosting_client())
    assert str(caught.value) == (
        NOT_OFFERED + "['tern/lark-8b-instruct', 'tern/lark-13b-chat', "
        "'corvid/raven-70b-instruct', 'meridian/mistle-7b']"
    )


class ScriptedCatalogue:
    calls: list = []
    answer = None
    resources: list = []

    def __init__(self, *args, **kwargs):
        type(self).calls.append(("new", args, kwargs))

    def get_model_specs(self, **kwargs):
        type(self).calls.append(("get_model_specs", kwargs))
        if kwargs.get("get_all"):
            return {"resources": self.resources}
        return self.answer


@pytest.fixture
def catalogue(monkeypatch, rr):
    scripted = type("Catalogue", (ScriptedCatalogue,), {"calls": []})
    monkeypatch.setattr(rr, "FoundationModelsManager", scripted)
    return scripted


@pytest.mark.parametrize("answer", [{"model_id": "m"}, "yes", 1, [0]])
def test_any_truthy_spec_means_offered(rr, catalogue, answer):
    catalogue.answer = answer
    client = object()
    assert rr.check_if_model_id_is_valid("m", client) is None
    assert catalogue.calls == [("new", (client,), {}), ("get_model_specs", {"model_id": "m"})]


@pytest.mark.parametrize(
    "answer, resources, listed",
    [
        (None, [], "[]"),
        ({}, [{"model_id": "a"}, {"model_id": "b", "label": "B"}], "['a', 'b']"),
        ([], [{"model_id": "it's"}, {"model_id": 'say "hi"'}], """["it's", 'say "hi"']"""),
        (0, [{"model_id": 7}, {"model_id": None}], "[7, None]"),
    ],
)
def test_falsy_spec_lists_the_whole_catalogue(rr, catalogue, answer, resources, listed):
    catalogue.answer, catalogue.resources = answer, resources
    with pytest.raises(ValueError) as caught:
        rr.check_if_model_id_is_valid("m", object())
    assert str(caught.value) == NOT_OFFERED + listed
    assert [c[1] for c in catalogue.calls[1:]] == [{"model_id": "m"}, {"get_all": True}]


def test_catalogue_entry_without_model_id(rr, catalogue):
    catalogue.resources = [{"model_id": "a"}, {"label": "no id"}]
    with pytest.raises(KeyError, match="model_id"):
        rr.check_if_model_id_is_valid("m", object())
