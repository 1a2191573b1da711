"""tabulo_provider: which inference engine a judge model gets, the engine factory, and
the process-wide engine cache."""

from __future__ import annotations

import json

import pytest
from cachetools.keys import hashkey
from tabulo import inference as lib
from tabulo_kit import configuration, provider, rag_table

from tessaly.entities import credentials as creds
from tessaly.entities import foundation_model as fm
from tessaly.entities.enums import ModelProviderType
from tessaly.entities.llm_judge import LLMJudge
from tessaly.providers.inference_engines.corvo_gateway_inference_engine import CorvoAIGatewayInferenceEngine
from tessaly.providers.inference_engines.custom_function_inference_engine import CustomFunctionInferenceEngine
from tessaly.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine

pytestmark = pytest.mark.usefixtures("fresh_state")

HOSTING_URL = "https://hosting.example.com"


def judged(tp, model, metric_name="faithfulness"):
    return provider(tp, metric_name=metric_name, method="llm_as_judge", llm_judge=LLMJudge(model=model))


def engine_of(tp, model):
    return judged(tp, model)._TabuloProvider__get_ai_evaluator_inference_engine()


def scorer(table):
    return ["Yes"] * len(table)


OPENAI = creds.OpenAICredentials(api_key="sk-1", url="https://api.openai.example")
AZURE = creds.AzureOpenAICredentials(api_key="az-1", url="https://az.example", api_version="2024-01")
VERTEX = creds.VertexAICredentials(credentials_path="/k.json", project_id="gp", location="eu")
STUDIO = creds.GoogleAIStudioCredentials(api_key="g-1")
BEDROCK = creds.AWSBedrockCredentials(aws_access_key_id="a", aws_secret_access_key="s", aws_region_name="r")
PORTKEY = creds.PortKeyCredentials(api_key="pk", url="https://pk.example", provider_api_key="pp")
CORVO = creds.CorvoAIGatewayCredentials(api_key="cv", url="https://cv.example")


def with_credentials(cls, kind, credentials, **fields):
    return cls(provider=fm.ModelProvider(type=kind, credentials=credentials), **fields)


# Every model class, the engine class it gets and the keyword arguments, in the order passed.
SELECTION = [
    pytest.param(
        lambda: fm.NimbalFoundationModel(
            model_id="lark-13b", project_id="p-1",
            provider=fm.ModelProvider(type=ModelProviderType.NIMBAL,
                                      credentials=creds.NimbalCredentials(url=HOSTING_URL, api_key="hk")),
        ),
        lib.RivetInferenceEngineGeneration,
        [("credentials", {"url": HOSTING_URL, "api_key": "hk", "project_id": "p-1"}),
         ("model_name", "lark-13b"), ("use_cache", False)],
        ("nimbal", "lark-13b", json.dumps({"api_key": "hk", "project_id": "p-1", "url": HOSTING_URL})),
        id="nimbal",
    ),
    pytest.param(
        lambda: with_credentials(fm.OpenAIFoundationModel, ModelProviderType.OPENAI, OPENAI, model_id="gpt-x"),
        lib.OpenAiInferenceEngine,
        [("model_name", "gpt-x"), ("credentials", {"api_key": "sk-1", "url": "https://api.openai.example"}),
         ("use_cache", False)],
        ("openai", "gpt-x", json.dumps(OPENAI.model_dump(), sort_keys=True)),
        id="openai",
    ),
    pytest.param(
        lambda: with_credentials(fm.AzureOpenAIFoundationModel, ModelProviderType.AZURE_OPENAI, AZURE,
                                 model_id="gpt-az"),
        lib.AzureOpenAIInferenceEngine,
        [("model_name", "gpt-az"),
         ("credentials", {"api_key": "az-1", "api_base": "https://az.example", "azure_api_version": "2024-01"}),
         ("use_cache", False)],
        ("azure_openai", "gpt-az", json.dumps(AZURE.model_dump(by_alias=True), sort_keys=True)),
        id="azure-by-alias",
    ),
    pytest.param(
        lambda: with_credentials(fm.VertexAIFoundationModel, ModelProviderType.VERTEX_AI, VERTEX,
                                 model_id="gemini-v", parameters={"temperature": 0.3}),
        lib.LiteLLMInferenceEngine,
        [("model", "gemini-v"), ("credentials", VERTEX.model_dump()), ("use_cache", False)],
        ("vertexai", "gemini-v", json.dumps(VERTEX.model_dump(), sort_keys=True)),
        id="vertex-ignores-parameters",
    ),
    pytest.param(
        lambda: with_credentials(fm.GoogleAIStudioFoundationModel, ModelProviderType.GOOGLE_AI_STUDIO, STUDIO,
                                 model_id="gemini-s", parameters={"temperature": 0.3}),
        lib.LiteLLMInferenceEngine,
        [("model", "gemini-s"), ("credentials", {"api_key": "g-1"}), ("use_cache", False)],
        ("google_ai_studio", "gemini-s", json.dumps(STUDIO.model_dump(), sort_keys=True)),
        id="google-ai-studio-ignores-parameters",
    ),
    pytest.param(
        lambda: with_credentials(fm.AWSBedrockFoundationModel, ModelProviderType.AWS_BEDROCK, BEDROCK,
                                 model_id="claude-b", parameters={"temperature": 0, "max_tokens": 9}),
        lib.LiteLLMInferenceEngine,
        [("model", "claude-b"), ("credentials", BEDROCK.model_dump()), ("use_cache", False),
         ("max_tokens", 9), ("temperature", 0)],
        ("aws_bedrock", "claude-b", json.dumps(BEDROCK.model_dump(), sort_keys=True),
         '{"max_tokens": 9, "temperature": 0}'),
        id="bedrock-with-parameters",
    ),
    pytest.param(
        lambda: with_credentials(fm.AWSBedrockFoundationModel, ModelProviderType.AWS_BEDROCK, BEDROCK,
                                 model_id="claude-b"),
        lib.LiteLLMInferenceEngine,
        [("model", "claude-b"), ("credentials", BEDROCK.model_dump()), ("use_cache", False)],
        ("aws_bedrock", "claude-b", json.dumps(BEDROCK.model_dump(), sort_keys=True), "{}"),
        id="bedrock-without-parameters",
    ),
    pytest.param(
        lambda: with_credentials(fm.PortKeyGateway, ModelProviderType.PORTKEY, PORTKEY, model_id="pk-model"),
        PortKeyInferenceEngine,
        [("credentials", PORTKEY.model_dump()), ("model", "pk-model"), ("use_cache", False)],
        ("portkey", "pk-model", json.dumps(PORTKEY.model_dump(), sort_keys=True)),
        id="portkey",
    ),
    pytest.param(
        lambda: with_credentials(fm.CorvoAIGateway, ModelProviderType.CORVO_AI_GATEWAY, CORVO, model_id="ignored"),
        CorvoAIGatewayInferenceEngine,
        [("credentials", CORVO.model_dump()), ("use_cache", False)],
        ("corvo_gateway", "", json.dumps(CORVO.model_dump(), sort_keys=True)),
        id="corvo-gateway-without-model",
    ),
]


def key(provider_name, model_id, credentials_json, parameters_json=None, use_cache=False):
    extra = {} if parameters_json is None else {"parameters_json": parameters_json}
    return hashkey(provider=provider_name, model_id=model_id, use_cache=use_cache,
                   credentials_json=credentials_json, **extra)


@pytest.mark.parametrize("make_model, engine_class, kwargs, cache_key", SELECTION)
def test_engine_per_model_class(tp, make_model, engine_class, kwargs, cache_key):
    engine = engine_of(tp, make_model())
    assert type(engine) is engine_class
    assert list(engine.kwargs.items()) == kwargs
    assert list(tp._inference_engine_cache.keys()) == [key(*cache_key)]
    assert tp._inference_engine_cache[key(*cache_key)] is engine


@pytest.mark.parametrize(
    "provider_name, engine_class, expected",
    [
        ("nimbal", lib.RivetInferenceEngineGeneration,
         [("credentials", {"a": 1, "b": 2}), ("model_name", "m"), ("use_cache", True)]),
        ("openai", lib.OpenAiInferenceEngine, [("model_name", "m"), ("credentials", {"a": 1, "b": 2}), ("use_cache", True)]),
        ("azure_openai", lib.AzureOpenAIInferenceEngine,
         [("model_name", "m"), ("credentials", {"a": 1, "b": 2}), ("use_cache", True)]),
        ("vertexai", lib.LiteLLMInferenceEngine,
         [("model", "m"), ("credentials", {"a": 1, "b": 2}), ("use_cache", True), ("top_p", 0.5)]),
        ("google_ai_studio", lib.LiteLLMInferenceEngine,
         [("model", "m"), ("credentials", {"a": 1, "b": 2}), ("use_cache", True), ("top_p", 0.5)]),
        ("aws_bedrock", lib.LiteLLMInferenceEngine,
         [("model", "m"), ("credentials", {"a": 1, "b": 2}), ("use_cache", True), ("top_p", 0.5)]),
        ("portkey", PortKeyInferenceEngine, [("credentials", {"a": 1, "b": 2}), ("model", "m"), ("use_cache", True)]),
        ("corvo_gateway", CorvoAIGatewayInferenceEngine, [("credentials", {"a": 1, "b": 2}), ("use_cache", True)]),
    ],
)
def test_factory_per_provider(tp, provider_name, engine_class, expected):
    factory = tp.TabuloProvider._create_inference_engine_impl
    engine = factory(provider=provider_name, model_id="m", use_cache=True,
                     credentials_json='{"b": 2, "a": 1}', parameters_json='{"top_p": 0.5}')
    assert type(engine) is engine_class
    assert list(engine.kwargs.items()) == expected


def test_factory_reads_empty_credentials_as_none_given(tp):
    engine = tp.TabuloProvider._create_inference_engine_impl(
        provider="openai", model_id="m", use_cache=False, credentials_json="")
    assert engine.kwargs["credentials"] == {}


class Text(str):
    pass


FACTORY_ARGUMENTS = dict(provider="openai", model_id="m", use_cache=False, credentials_json="{}")


@pytest.mark.parametrize(
    "argument, value",
    [
        ("provider", Text("openai")), ("provider", 1), ("provider", None),
        ("model_id", Text("m")), ("model_id", None), ("model_id", 7),
        ("credentials_json", Text("{}")), ("credentials_json", None), ("credentials_json", b"{}"),
        ("parameters_json", Text("{}")), ("parameters_json", None),
    ],
)
def test_factory_refuses_arguments_that_are_not_exactly_text(tp, argument, value):
    factory = tp.TabuloProvider._create_inference_engine_impl
    kept = factory(provider="openai", model_id="kept", use_cache=False, credentials_json="{}")
    before = list(tp._inference_engine_cache.items())
    with pytest.raises(TypeError) as caught:
        factory(**{**FACTORY_ARGUMENTS, argument: value})
    assert str(caught.value) == (
        f"Argument '{argument}' has incorrect type (expected str, got {type(value).__name__})"
    )
    # Refused before any engine is built: the cache holds exactly what it held.
    assert list(tp._inference_engine_cache.items()) == before == [(key("openai", "kept", "{}"), kept)]


def test_factory_refuses_positional_arguments_too(tp):
    with pytest.raises(TypeError) as caught:
        tp.TabuloProvider._create_inference_engine_impl("openai", None, False, "{}")
    assert str(caught.value) == "Argument 'model_id' has incorrect type (expected str, got NoneType)"
    assert len(tp._inference_engine_cache) == 0


def test_judge_model_without_model_id_gets_no_engine(tp):
    # The SDK lets a model leave model_id unset; the factory refuses it, so nothing is cached.
    p = judged(tp, with_credentials(fm.OpenAIFoundationModel, ModelProviderType.OPENAI, OPENAI))
    with pytest.raises(Exception) as caught:
        p.evaluate(rag_table())
    assert str(caught.value) == (
        "Error while computing metrics: faithfulness with the method llm_as_judge using tabulo library. "
        "Reason: Argument 'model_id' has incorrect type (expected str, got NoneType)"
    )
    assert type(caught.value.__context__) is TypeError
    assert len(tp._inference_engine_cache) == 0


@pytest.mark.parametrize("name", ["mystery", "OpenAI", "custom"])
def test_factory_refuses_unknown_provider(tp, name):
    with pytest.raises(Exception) as caught:
        tp.TabuloProvider._create_inference_engine_impl(
            provider=name, model_id="m", use_cache=False, credentials_json="{}")
    assert type(caught.value) is Exception
    assert str(caught.value) == f"LLM Model provider '{name}' is not supported."
    assert len(tp._inference_engine_cache) == 0


# --------------------------------------------------------------------------- hosting-service credentials

def hosted(project_id="p-1", space_id=None, **credentials):
    return fm.NimbalFoundationModel(
        model_id="lark", project_id=project_id, space_id=space_id,
        provider=fm.ModelProvider(type=ModelProviderType.NIMBAL,
                                  credentials=creds.NimbalCredentials(url=HOSTING_URL, **credentials)),
    )


@pytest.mark.parametrize(
    "model, expected",
    [
        pytest.param(hosted(api_key="k"), {"url": HOSTING_URL, "api_key": "k", "project_id": "p-1"},
                     id="cloud-api-key"),
        pytest.param(hosted(), {"url": HOSTING_URL, "project_id": "p-1"}, id="no-api-key"),
        pytest.param(hosted(api_key="k", username="u", password="pw", instance_id="i"),
                     {"url": HOSTING_URL, "api_key": "k", "project_id": "p-1"}, id="no-version-drops-login"),
        pytest.param(hosted(version="5.0", username="u", password="pw", instance_id="i"),
                     {"url": HOSTING_URL, "username": "u", "instance_id": "i", "password": "pw", "project_id": "p-1"},
                     id="installed-with-password"),
        pytest.param(hosted(version="5.0", api_key="k", password=""),
                     {"url": HOSTING_URL, "api_key": "k", "username": None, "instance_id": None,
                      "project_id": "p-1"},
                     id="installed-empty-password-and-login"),
        pytest.param(hosted(project_id=None, space_id="s-1", api_key="k"),
                     {"url": HOSTING_URL, "api_key": "k", "space_id": "s-1"}, id="space"),
        pytest.param(hosted(project_id="p-1", space_id="s-1", api_key="k"),
                     {"url": HOSTING_URL, "api_key": "k", "project_id": "p-1"}, id="project-wins"),
    ],
)
def test_hosting_credentials(tp, model, expected):
    engine = engine_of(tp, model)
    assert engine.kwargs["credentials"] == expected
    (cache_key,) = tp._inference_engine_cache.keys()
    assert cache_key == key("nimbal", "lark", json.dumps(expected, sort_keys=True))


@pytest.mark.parametrize("project_id, space_id", [(None, None), ("", ""), ("", None)])
def test_hosting_model_needs_project_or_space(tp, project_id, space_id):
    data = rag_table()
    p = judged(tp, hosted(project_id=project_id, space_id=space_id, api_key="k"))
    with pytest.raises(Exception) as caught:
        p.evaluate(data)
    assert str(caught.value) == (
        "Error while computing metrics: faithfulness with the method llm_as_judge using tabulo library. "
        "Reason: Either project or space id is required"
    )
    assert type(caught.value.__context__) is Exception
    assert len(tp._inference_engine_cache) == 0


# --------------------------------------------------------------------------- the custom function

def test_custom_engine_is_built_anew_and_never_cached(tp):
    model = fm.CustomFoundationModel(scoring_fn=scorer, model_id="my-judge", context={"k": 1},
                                     num_parallel_requests=3)
    p = judged(tp, model)
    first = p._TabuloProvider__get_ai_evaluator_inference_engine()
    second = p._TabuloProvider__get_ai_evaluator_inference_engine()
    assert type(first) is CustomFunctionInferenceEngine and first is not second
    assert list(first.kwargs.items()) == [
        ("scoring_fn", scorer), ("model_name", "my-judge"), ("context", {"k": 1}),
        ("num_parallel_requests", 3), ("use_cache", False),
    ]
    assert len(tp._inference_engine_cache) == 0


def test_custom_engine_defaults_for_missing_attributes(tp):
    model = fm.CustomFoundationModel(scoring_fn=scorer)
    for name in ("model_id", "context", "num_parallel_requests"):
        del model.__dict__[name]
        assert not hasattr(model, name)
    engine = engine_of(tp, model)
    assert engine.kwargs["model_name"] == "custom_fn"
    assert engine.kwargs["context"] is None
    assert engine.kwargs["num_parallel_requests"] == 20


# --------------------------------------------------------------------------- the cache

def openai_model(credentials):
    return with_credentials(fm.OpenAIFoundationModel, ModelProviderType.OPENAI, credentials, model_id="gpt-x")


class Dumped:
    """Credentials whose mapping form keeps the order it was given."""

    def __init__(self, **fields):
        self.fields = fields

    def model_dump(self, **_):
        return dict(self.fields)


def test_equal_settings_share_one_engine(tp):
    a = engine_of(tp, openai_model(OPENAI))
    b = engine_of(tp, openai_model(OPENAI.model_copy()))
    assert a is b
    assert len(tp._inference_engine_cache) == 1
    other = engine_of(tp, openai_model(creds.OpenAICredentials(api_key="sk-2")))
    assert other is not a
    assert len(tp._inference_engine_cache) == 2


def test_reordered_credentials_give_one_key(tp):
    a = engine_of(tp, openai_model(Dumped(url="https://u", api_key="k", extra=[1, 2])))
    b = engine_of(tp, openai_model(Dumped(extra=[1, 2], api_key="k", url="https://u")))
    assert a is b
    assert list(tp._inference_engine_cache.keys()) == [
        key("openai", "gpt-x", '{"api_key": "k", "extra": [1, 2], "url": "https://u"}')
    ]


def test_inference_cache_setting_is_passed_and_keyed(tp, monkeypatch):
    monkeypatch.setenv("TABULO_ENABLE_INFERENCE_CACHE", "false")
    off = engine_of(tp, openai_model(OPENAI))
    monkeypatch.setenv("TABULO_ENABLE_INFERENCE_CACHE", "true")
    on = engine_of(tp, openai_model(OPENAI))
    assert off is not on
    assert (off.kwargs["use_cache"], on.kwargs["use_cache"]) == (False, True)
    credentials_json = json.dumps(OPENAI.model_dump(), sort_keys=True)
    assert set(tp._inference_engine_cache.keys()) == {
        key("openai", "gpt-x", credentials_json, use_cache=False),
        key("openai", "gpt-x", credentials_json, use_cache=True),
    }


def test_engine_expires_after_an_hour(tp):
    cache = tp._inference_engine_cache
    model = openai_model(OPENAI)
    before = cache.timer()
    first = engine_of(tp, model)
    after = cache.timer()
    assert engine_of(tp, model) is first
    # Stored between `before` and `after`: still there just under an hour after `before`...
    cache.expire(time=before + 3599.999)
    assert engine_of(tp, model) is first
    # ...gone an hour after `after`, and the next evaluation builds a new engine.
    cache.expire(time=after + 3600)
    assert len(cache) == 0
    second = engine_of(tp, model)
    assert second is not first and type(second) is type(first)


def test_failed_construction_caches_nothing(tp):
    bad = with_credentials(fm.AWSBedrockFoundationModel, ModelProviderType.AWS_BEDROCK, BEDROCK,
                           model_id="claude-b", parameters={"model": "other"})
    with pytest.raises(TypeError, match="multiple values for keyword argument 'model'"):
        engine_of(tp, bad)
    assert len(tp._inference_engine_cache) == 0
    with pytest.raises(TypeError, match="credentials must be a dictionary"):
        tp.TabuloProvider._create_inference_engine_impl(
            provider="openai", model_id="m", use_cache=False, credentials_json='"not a mapping"')
    assert len(tp._inference_engine_cache) == 0
    engine_of(tp, openai_model(OPENAI))
    assert len(tp._inference_engine_cache) == 1


# --------------------------------------------------------------------------- unsupported models

class OtherModel(fm.FoundationModel):
    provider: fm.ModelProvider = fm.ModelProvider(type=ModelProviderType.OPENAI)


@pytest.mark.parametrize("metric_name", ["faithfulness", "not_a_judge_metric"])
def test_unsupported_model_class(tp, metric_name):
    p = judged(tp, OtherModel(model_id="x"), metric_name=metric_name)
    with pytest.raises(Exception) as caught:
        p.evaluate(rag_table())
    # The engine is chosen first, so this error wins over an unknown metric name.
    assert str(caught.value) == (
        f"Error while computing metrics: {metric_name} with the method llm_as_judge using tabulo library. "
        "Reason: LLM Model provider is not supported."
    )
    assert type(caught.value) is Exception and caught.value.__cause__ is None
    assert str(caught.value.__context__) == "LLM Model provider is not supported."


def test_judge_from_the_configuration(tp):
    config = configuration(llm_judge=LLMJudge(model=openai_model(OPENAI)))
    p = provider(tp, method="llm_as_judge", config=config)
    assert p.llm_judge is config.llm_judge
    assert type(p._TabuloProvider__get_ai_evaluator_inference_engine()) is lib.OpenAiInferenceEngine


def test_a_full_cache_drops_the_least_recently_used_engine(tp):
    factory = tp.TabuloProvider._create_inference_engine_impl

    def engine(i):
        return factory(provider="openai", model_id=f"m{i}", use_cache=False, credentials_json="{}")

    first = [engine(i) for i in range(128)]
    assert engine(0) is first[0]  # m0 is now the most recently used; m1 the least
    engine(128)
    cache = tp._inference_engine_cache
    assert len(cache) == 128
    assert key("openai", "m1", "{}") not in cache
    assert cache[key("openai", "m0", "{}")] is first[0]
    assert engine(1) is not first[1]
