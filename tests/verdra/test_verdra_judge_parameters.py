"""The judge model's settings turned into inference-engine parameters, and the judge
and engine built from them."""

from __future__ import annotations

import types

import pytest
from verdra_kit import nimbal_model, table

from tessaly.entities.credentials import OpenAICredentials
from tessaly.entities.foundation_model import (
    CorvoAIGateway,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    OpenAIFoundationModel,
)
from tessaly.entities.llm_judge import LLMJudge

BASE = {"seed": 36, "data_classification_policy": ["public"]}


def params_of(make_provider, model):
    return make_provider(llm_judge=LLMJudge(model=model))._VerdraProvider__get_inference_engine_params()


def ordered(mapping):
    """A mapping as its list of items, so that comparisons see the key order too."""
    return [(k, ordered(v) if isinstance(v, dict) else v) for k, v in mapping.items()]


# ---- the hosting service ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("credentials", "place", "expected"),
    [
        ({"url": "https://n.example", "api_key": "k"}, {"project_id": "p"},
         {"url": "https://n.example", "api_key": "k", "project_id": "p"}),
        ({"url": "https://n.example", "api_key": "k", "username": "u", "instance_id": "i"}, {"space_id": "s"},
         {"url": "https://n.example", "api_key": "k", "space_id": "s"}),
        ({"url": "https://n.example", "version": "5.0", "username": "u", "password": "", "instance_id": "i"},
         {"project_id": "p"},
         {"url": "https://n.example", "username": "u", "instance_id": "i", "project_id": "p"}),
        ({"url": "https://n.example", "api_key": "k", "version": "5.0", "username": "u", "password": "pw",
          "instance_id": "i"}, {"space_id": "s"},
         {"url": "https://n.example", "api_key": "k", "username": "u", "instance_id": "i", "password": "pw",
          "space_id": "s"}),
        ({"url": "https://n.example", "version": "5.0"}, {"project_id": "p"},
         {"url": "https://n.example", "username": None, "instance_id": None, "project_id": "p"}),
        ({"url": "https://n.example"}, {"project_id": "p", "space_id": "s"},
         {"url": "https://n.example", "project_id": "p"}),
        ({}, {"space_id": "s", "project_id": ""}, {"url": None, "space_id": "s"}),
    ],
)
def test_hosting_service_parameters(make_provider, monkeypatch, credentials, place, expected):
    monkeypatch.setenv("LUMORA_CONCURRENCY_LIMIT", "7")
    params = params_of(make_provider, nimbal_model(credentials, **place))
    assert ordered(params) == ordered({
        **BASE,
        "credentials": expected,
        "provider": "lumora-sdk",
        "model": "judge-model",
        "provider_specific_args": {"lumora-sdk": {"concurrency_limit": 7}},
    })


@pytest.mark.parametrize("place", [{}, {"project_id": "", "space_id": ""}])
def test_hosting_service_needs_a_project_or_space(make_provider, place):
    with pytest.raises(Exception) as caught:
        params_of(make_provider, nimbal_model({"url": "https://n.example", "api_key": "k"}, **place))
    assert type(caught.value) is Exception
    assert str(caught.value) == "Either project or space id is required"


def test_concurrency_limit_comes_from_the_environment_helper(vp, make_provider, monkeypatch):
    calls = []
    monkeypatch.setattr(vp, "get_lumora_concurrency_limit", lambda *a, **k: calls.append((a, k)) or 3)
    params = params_of(make_provider, nimbal_model({"url": "https://n.example"}, project_id="p"))
    assert params["provider_specific_args"] == {"lumora-sdk": {"concurrency_limit": 3}}
    assert calls == [((), {})]


# ---- OpenAI ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("parameters", "arguments"),
    [
        (None, {"temperature": 0}),
        ({}, {"temperature": 0}),
        ({"temperature": 0.7}, {"temperature": 0.7}),
        ({"max_tokens": 5, "temperature": 1}, {"temperature": 1, "max_tokens": 5}),
    ],
)
def test_openai_parameters(make_provider, judge_models, parameters, arguments):
    model = judge_models["openai"].model_copy(update={"parameters": parameters})
    params = params_of(make_provider, model)
    assert ordered(params) == ordered({
        **BASE,
        "credentials": {"api_key": "sk-open"},
        "provider": "open-ai",
        "model": "gpt-judge",
        "provider_specific_args": {"open-ai": arguments},
    })
    assert type(params["provider_specific_args"]["open-ai"]["temperature"]) is type(arguments["temperature"])


def test_openai_model_without_a_parameters_attribute(vp, make_provider, monkeypatch):
    class BareOpenAI:
        model_id = "bare"
        provider = types.SimpleNamespace(credentials=OpenAICredentials(api_key="sk"))

    monkeypatch.setattr(vp, "OpenAIFoundationModel", BareOpenAI)
    provider = make_provider(llm_judge=types.SimpleNamespace(model=BareOpenAI()))
    params = provider._VerdraProvider__get_inference_engine_params()
    assert params["provider_specific_args"] == {"open-ai": {"temperature": 0}}


# ---- passed-through credentials ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("portkey", {"credentials": {"api_key": "pk", "url": "https://pk.example", "provider_api_key": "inner"},
                     "model": "pk-model"}),
        ("vertex", {"credentials": {"credentials_path": "/k.json", "project_id": "p", "location": "eu"},
                    "provider": "vertex-ai", "model": "gemini-v"}),
    ],
)
def test_gateway_and_vertex_parameters(make_provider, judge_models, name, expected):
    assert ordered(params_of(make_provider, judge_models[name])) == ordered({**BASE, **expected})


@pytest.mark.parametrize(("parameters", "aws"), [(None, {}), ({}, {}), ({"max_tokens": 9}, {"max_tokens": 9})])
def test_bedrock_parameters_have_no_seed(make_provider, judge_models, parameters, aws):
    model = judge_models["bedrock"].model_copy(update={"parameters": parameters})
    assert ordered(params_of(make_provider, model)) == ordered({
        "data_classification_policy": ["public"],
        "credentials": {"aws_access_key_id": "A", "aws_secret_access_key": "S", "aws_session_token": None,
                        "aws_region_name": None},
        "model": "claude-b",
        "provider": "aws",
        "provider_specific_args": {"aws": aws},
    })


def test_parameters_are_fresh_on_each_call(make_provider, judge_models):
    provider = make_provider(llm_judge=LLMJudge(model=judge_models["vertex"]))
    first = provider._VerdraProvider__get_inference_engine_params()
    first["data_classification_policy"].append("changed")
    assert provider._VerdraProvider__get_inference_engine_params()["data_classification_policy"] == ["public"]


# ---- refused models -------------------------------------------------------------------------


def google_expected(vp):
    """Google models get the parameters of the first listed class they derive from."""
    for cls in (vp.NimbalFoundationModel, vp.OpenAIFoundationModel, vp.PortKeyGateway,
                vp.VertexAIFoundationModel, vp.AWSBedrockFoundationModel, vp.AzureOpenAIFoundationModel):
        if issubclass(GoogleAIStudioFoundationModel, cls):
            return cls
    return None


@pytest.mark.parametrize(
    ("model", "message"),
    [
        (lambda m: m["azure"], "Azure OpenAI Model provider is not supported."),
        (lambda m: CorvoAIGateway(model_id="c"), "LLM Model provider is not supported."),
        (lambda m: CustomFoundationModel(scoring_fn=len), "LLM Model provider is not supported."),
    ],
)
def test_unsupported_models_are_refused(make_provider, judge_models, model, message):
    with pytest.raises(Exception) as caught:
        params_of(make_provider, model(judge_models))
    assert type(caught.value) is Exception
    assert str(caught.value) == message


def test_google_model_parameters_follow_its_class_tree(vp, make_provider, judge_models):
    if google_expected(vp) is not None:
        pytest.skip("the Google model class derives from a class with parameters of its own")
    with pytest.raises(Exception, match=r"^LLM Model provider is not supported\.$"):
        params_of(make_provider, judge_models["google"])


# ---- the judge and its engine -----------------------------------------------------------------


class GoogleOnOpenAI(GoogleAIStudioFoundationModel, OpenAIFoundationModel):
    """A Google model class that derives from the OpenAI one, as an SDK might define it."""


def google_on_openai():
    model = GoogleOnOpenAI(model_id="gemini-o")
    model.provider.credentials = OpenAICredentials(api_key="g-key")
    return model


@pytest.mark.parametrize(
    ("name", "engine"),
    [
        ("nimbal", "CrossProviderInferenceEngine"),
        ("openai", "CrossProviderInferenceEngine"),
        ("vertex", "CrossProviderInferenceEngine"),
        ("bedrock", "CrossProviderInferenceEngine"),
        ("portkey", "PortKeyInferenceEngine"),
        ("google_on_openai", "GoogleStudioInferenceEngine"),
    ],
)
@pytest.mark.parametrize("cache", ["true", "false"])
def test_judge_engine_class_and_arguments(vp, make_provider, judge_models, judges, model, name, engine, cache,
                                          monkeypatch):
    monkeypatch.setenv("TABULO_ENABLE_INFERENCE_CACHE", cache)
    judge_model = google_on_openai() if name == "google_on_openai" else judge_models[name]
    provider = make_provider(llm_judge=LLMJudge(model=judge_model))
    provider.evaluate(table(1))

    [judge] = judges
    assert judge.args == ()
    assert list(judge.kwargs) == ["inference_engine", "generate_feedback"]
    assert judge.kwargs["generate_feedback"] is True
    built = judge.kwargs["inference_engine"]
    assert type(built) is getattr(vp, engine)
    expected = provider._VerdraProvider__get_inference_engine_params()
    assert built.kwargs == {**expected, "use_cache": cache == "true"}
    assert list(built.kwargs) == [*expected, "use_cache"]
    assert model.engines == [built]


def test_a_new_judge_and_engine_for_every_evaluation(make_provider, judges, model):
    provider = make_provider()
    provider.evaluate(table(1))
    provider.evaluate(table(1))
    assert len(judges) == 2
    assert judges[0].inference_engine is not judges[1].inference_engine


def test_the_cache_setting_is_read_before_the_judge_model(vp, make_provider, judge_models, monkeypatch):
    failure = RuntimeError("cache setting unreadable")

    def unreadable():
        raise failure

    monkeypatch.setattr(vp, "get_tabluo_enable_inference_cache", unreadable)
    with pytest.raises(Exception) as caught:
        make_provider(llm_judge=LLMJudge(model=judge_models["azure"])).evaluate(table())
    assert str(caught.value) == "Error while computing metrics: answers_question. Reason: cache setting unreadable"
    assert caught.value.__cause__ is failure


@pytest.mark.parametrize(
    ("llm_judge", "reason"),
    [
        (None, "'NoneType' object has no attribute 'model'"),
        (LLMJudge(model=GoogleAIStudioFoundationModel(model_id="g")), "LLM Model provider is not supported."),
    ],
)
def test_judges_without_parameters_fail_the_evaluation(vp, make_provider, model, llm_judge, reason):
    if llm_judge is not None and google_expected(vp) is not None:
        pytest.skip("the Google model class derives from a class with parameters of its own")
    with pytest.raises(Exception) as caught:
        make_provider(llm_judge=llm_judge).evaluate(table())
    assert str(caught.value) == f"Error while computing metrics: answers_question. Reason: {reason}"
    assert model.prompts == []


def test_a_duplicate_use_cache_parameter_fails_the_engine_call(vp, make_provider, monkeypatch):
    real = vp.VerdraProvider._VerdraProvider__get_inference_engine_params

    def with_use_cache(self):
        return {**real(self), "use_cache": False}

    monkeypatch.setattr(vp.VerdraProvider, "_VerdraProvider__get_inference_engine_params", with_use_cache)
    with pytest.raises(Exception) as caught:
        make_provider().evaluate(table())
    assert isinstance(caught.value.__cause__, TypeError)
    assert "use_cache" in str(caught.value)
