"""The tabulo stand-in and the SDK's judge engines on their own: responders, engines,
the catalogue and its scorers, streams, operators and the task-based judge."""

from __future__ import annotations

import logging
import math

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tabulo import catalog, inference, logging_utils, rag
from tabulo.formats import ChatAPIFormat, Format
from tabulo.llm_as_judge import TaskBasedLLMasJudge
from tabulo.metrics import SIMILARITY_METHODS, FunctionMetric, MissingFieldError
from tabulo.operator import SequentialOperator
from tabulo.stream import MultiStream

from tessaly.providers.inference_engines.corvo_gateway_inference_engine import CorvoAIGatewayInferenceEngine
from tessaly.providers.inference_engines.custom_function_inference_engine import CustomFunctionInferenceEngine
from tessaly.providers.inference_engines.google_inference_engine import GoogleStudioInferenceEngine
from tessaly.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine


@pytest.fixture(autouse=True)
def no_responders():
    inference.clear_responders()
    yield
    inference.clear_responders()


# --------------------------------------------------------------------------- engines and responders

ENGINES = [
    (inference.RivetInferenceEngineGeneration, {"model_name": "m"}),
    (inference.OpenAiInferenceEngine, {"model_name": "m"}),
    (inference.AzureOpenAIInferenceEngine, {"model_name": "m"}),
    (inference.LiteLLMInferenceEngine, {"model": "m", "temperature": 0}),
    (inference.CrossProviderInferenceEngine, {"model": "m", "provider": "open-ai", "seed": 36}),
    (PortKeyInferenceEngine, {"model": "m"}),
    (CorvoAIGatewayInferenceEngine, {}),
    (GoogleStudioInferenceEngine, {"model": "m"}),
]


@pytest.mark.parametrize("engine_class, kwargs", ENGINES)
def test_engines_keep_their_keywords_and_need_a_responder(engine_class, kwargs):
    engine = engine_class(credentials={"api_key": "k"}, use_cache=False, **kwargs)
    assert engine.kwargs == {"credentials": {"api_key": "k"}, "use_cache": False, **kwargs}
    for name, value in kwargs.items():
        assert getattr(engine, name) == value
    assert "'k'" not in repr(engine)
    with pytest.raises(inference.NoResponderError, match=f"^{engine_class.__name__} cannot reach a model"):
        engine.infer(["hello"])
    assert engine.infer([]) == []


@pytest.mark.parametrize("engine_class, kwargs", [e for e in ENGINES if e[1]])
def test_engines_name_their_required_keywords(engine_class, kwargs):
    with pytest.raises(TypeError, match="needs the keyword arguments"):
        engine_class(use_cache=False)


def test_credentials_must_be_a_mapping():
    with pytest.raises(TypeError, match="credentials must be a dictionary"):
        inference.OpenAiInferenceEngine(model_name="m", credentials="secret")


def test_responder_lookup_order():
    def answer(tag):
        return lambda prompt, engine: f"{tag}:{prompt}"

    openai = inference.OpenAiInferenceEngine(model_name="m")
    portkey = PortKeyInferenceEngine(model="m")
    own = inference.OpenAiInferenceEngine(model_name="m", responder=answer("own"))
    inference.set_responder(answer("all"))
    inference.set_responder(answer("base"), engine=inference.InferenceEngine)
    inference.set_responder(answer("openai"), engine=inference.OpenAiInferenceEngine)
    assert openai.infer(["p"]) == ["openai:p"]
    assert portkey.infer(["p"]) == ["base:p"]  # found through its base class
    assert own.infer(["p"]) == ["own:p"]
    assert "responder" not in own.kwargs
    inference.set_responder(None, engine=inference.InferenceEngine)
    assert portkey.infer(["p"]) == ["all:p"]


def test_local_responder_restores_the_previous_one():
    first = lambda prompt, engine: "first"  # noqa: E731
    inference.set_responder(first)
    with inference.local_responder(lambda prompt, engine: "second"):
        assert inference.OpenAiInferenceEngine(model_name="m").infer(["p"]) == ["second"]
    assert inference.get_responder() is first
    with inference.local_responder(lambda prompt, engine: "x", engine=PortKeyInferenceEngine):
        pass
    assert inference.get_responder(PortKeyInferenceEngine) is None


@pytest.mark.parametrize("use_cache, calls", [(True, 2), (False, 4)])
def test_inference_cache_answers_repeated_prompts(use_cache, calls):
    asked = []
    engine = inference.LiteLLMInferenceEngine(model="m", use_cache=use_cache,
                                              responder=lambda prompt, engine: asked.append(prompt) or prompt.upper())
    assert engine.infer(["a", "b"]) == ["A", "B"]
    assert engine.infer(["b", "a"]) == ["B", "A"]
    assert len(asked) == calls


@pytest.mark.parametrize("bad", [None, 3, ["x"]])
def test_responder_must_answer_text(bad):
    engine = inference.OpenAiInferenceEngine(model_name="m", responder=lambda prompt, engine: bad)
    with pytest.raises(TypeError, match="not a text"):
        engine.infer(["p"])


# --------------------------------------------------------------------------- the custom scoring function

@pytest.mark.parametrize(
    "returned",
    [
        lambda table: ["a", None, float("nan")],
        lambda table: ("a", "", ""),
        lambda table: pd.Series(["a", None, ""]),
        lambda table: pd.DataFrame({"generated_text": ["a", "", pd.NA], "other": [1, 2, 3]}),
    ],
)
def test_custom_engine_reads_every_answer_form(returned):
    engine = CustomFunctionInferenceEngine(scoring_fn=returned)
    assert engine.infer(["x", "y", "z"]) == ["a", "", ""]


@pytest.mark.parametrize(
    "returned, error, message",
    [
        (lambda table: ["only one"], ValueError, "returned 1 answers for 2 prompts"),
        (lambda table: "text", TypeError, "must return a list of texts"),
        (lambda table: pd.DataFrame({"text": ["a", "b"]}), ValueError, "without a 'generated_text' column"),
        (lambda table: ["a", 3], TypeError, "answer at row 1 is a int"),
    ],
)
def test_custom_engine_refuses_bad_answers(returned, error, message):
    with pytest.raises(error, match=message):
        CustomFunctionInferenceEngine(scoring_fn=returned).infer(["x", "y"])


def test_custom_engine_batches_and_passes_its_context():
    tables = []

    def scoring_fn(table, context):
        tables.append((list(table["input_text"]), context))
        return [f"{context}:{t}" for t in table["input_text"]]

    engine = CustomFunctionInferenceEngine(scoring_fn=scoring_fn, context="ctx", num_parallel_requests=2)
    chat = [{"role": "system", "content": "be brief"}, {"role": "user", "content": "c"}]
    assert engine.infer(["a", "b", chat]) == ["ctx:a", "ctx:b", "ctx:be brief\nc"]
    assert tables == [(["a", "b"], "ctx"), (["be brief\nc"], "ctx")]


@pytest.mark.parametrize(
    "kwargs, error",
    [(dict(scoring_fn="f"), TypeError), (dict(scoring_fn=len, num_parallel_requests=0), ValueError),
     (dict(scoring_fn=len, num_parallel_requests=True), ValueError)],
)
def test_custom_engine_checks_its_arguments(kwargs, error):
    with pytest.raises(error):
        CustomFunctionInferenceEngine(**kwargs)


# --------------------------------------------------------------------------- the catalogue and its scorers

def test_catalogue_holds_every_rag_metric_and_method():
    names = catalog.names("metrics.rag.external_rag.")
    assert names == sorted(
        f"metrics.rag.external_rag.{metric}.{method}" for metric in rag.SIMILARITY_FIELDS for method in SIMILARITY_METHODS
    )
    assert "token_recall" in SIMILARITY_METHODS


def test_unknown_catalogue_name():
    with pytest.raises(catalog.UnknownCatalogEntryError) as caught:
        catalog.fetch("metrics.rag.external_rag.faithfulness.nope")
    assert str(caught.value).startswith(
        "'metrics.rag.external_rag.faithfulness.nope' is not in the tabulo catalogue; entries under the same "
        "prefix: metrics.rag.external_rag.faithfulness.bert_score_recall")
    with pytest.raises(catalog.UnknownCatalogEntryError, match="^'nowhere.at.all' is not in the tabulo catalogue$"):
        catalog.fetch("nowhere.at.all")


def test_registered_entries_are_restored():
    name = "metrics.rag.external_rag.faithfulness.token_recall"
    original = catalog.fetch(name)
    replacement = FunctionMetric(lambda instance: 1.0)
    with catalog.registered(name, replacement):
        assert catalog.fetch(name) is replacement
    assert catalog.fetch(name) is original
    with pytest.raises(ValueError, match="already in the tabulo catalogue"):
        catalog.register(name, replacement)


words = st.lists(st.sampled_from(["paris", "capital", "france", "the", "is", "rust", "play", "a"]), max_size=8)
text = words.map(" ".join)


@settings(max_examples=300, deadline=None)
@given(method=st.sampled_from(sorted(SIMILARITY_METHODS)), reference=text, candidate=text)
def test_scores_stay_in_the_method_range(method, reference, candidate):
    scorer, (low, high) = SIMILARITY_METHODS[method]
    score = scorer(reference, candidate)
    assert low - 1e-12 <= score <= high + 1e-12
    if reference.strip() and reference == candidate:
        assert score == pytest.approx(1.0)


@pytest.mark.parametrize(
    "metric, instance",
    [
        ("faithfulness", {"answer": "paris is the capital", "contexts": ["paris", "is the capital"]}),
        ("context_relevance", {"question": "the capital", "contexts": ["the capital"]}),
        ("answer_correctness", {"answer": "paris", "ground_truths": ["rome", "paris"]}),
        ("answer_relevance", {"question": "paris", "answer": "paris"}),
    ],
)
def test_rag_metrics_compare_the_right_fields(metric, instance):
    scorer = catalog.fetch(f"metrics.rag.external_rag.{metric}.token_recall")
    assert scorer.score_instance(instance) == 1.0
    with pytest.raises(MissingFieldError, match=f"metric '{metric}' \\(token_recall\\) needs the instance field"):
        scorer.score_instance({})


def test_unrelated_texts_can_score_below_zero():
    assert SIMILARITY_METHODS["sentence_bert_mini_lm"][0]("paris france", "rust play") < 0
    assert SIMILARITY_METHODS["token_recall"][0]("paris france", "rust play") == 0.0


# --------------------------------------------------------------------------- streams and operators

def test_copying_streams_leave_their_sources_alone():
    source = [{"n": 1}, {"n": 2}]
    bump = FunctionMetric(lambda instance: instance["n"] * 10)
    copied = SequentialOperator(steps=[bump])(MultiStream.from_iterables({"test": source}, copying=True))
    assert [i["score"]["instance"]["score"] for i in copied["test"]] == [10, 20]
    assert source == [{"n": 1}, {"n": 2}]
    shared = SequentialOperator(steps=[bump])(MultiStream.from_iterables({"test": source}))
    list(shared["test"])
    assert "score" in source[0]


def test_operator_resolves_steps_when_applied_and_scores_lazily():
    seen = []
    name = "metrics.test.library.lazy.m"
    with catalog.registered(name, FunctionMetric(lambda instance: seen.append(instance["n"]) or 0.5)):
        out = SequentialOperator(steps=[name])(MultiStream.from_iterables({"test": [{"n": 1}, {"n": 2}]}))
        assert seen == []
        instances = list(out["test"])
    assert seen == [1, 2] and [i["n"] for i in instances] == [1, 2]
    assert instances[0]["score"]["global"] == {"score": 0.5, "score_name": "score"}
    with pytest.raises(catalog.UnknownCatalogEntryError):
        SequentialOperator(steps=["metrics.nothing.here"])(MultiStream.from_iterables({"test": []}))
    with pytest.raises(TypeError, match="cannot process a stream"):
        SequentialOperator(steps=[object()])(MultiStream.from_iterables({"test": []}))


@pytest.mark.parametrize(
    "scores, mean",
    [
        ([0.5, None, math.nan, 1.0], 0.75),
        ([True, "x", 2], 2.0),
        ([1.7e308, 1.7e308], math.inf),
        ([10**400, 1.0], math.inf),
        ([None], "nan"),
    ],
)
def test_global_score_is_the_mean_of_the_numbers(scores, mean):
    by_row = iter(scores)
    out = SequentialOperator(steps=[FunctionMetric(lambda instance: next(by_row))])(
        MultiStream.from_iterables({"test": [{} for _ in scores]}))
    got = [i["score"]["global"]["score"] for i in out["test"]]
    assert [("nan" if math.isnan(g) else g) for g in got] == [mean] * len(scores)


# --------------------------------------------------------------------------- the judge

def judge(responder, fmt=None, metric="faithfulness", realisation="verbal", **kwargs):
    stem = rag.TEMPLATES[metric][0]
    return TaskBasedLLMasJudge(
        inference_model=inference.OpenAiInferenceEngine(model_name="m", responder=responder),
        format=fmt,
        template=f"templates.rag_eval.{metric}.{stem}_{realisation}",
        task=f"tasks.rag_eval.{metric}.binary",
        main_score=f"{metric}_judge",
        prediction_field=kwargs.pop("prediction_field", "answer"),
        infer_log_probs=kwargs.pop("infer_log_probs", False),
        judge_to_generator_fields_mapping=kwargs.pop("mapping", {}),
    )


@pytest.mark.parametrize(
    "realisation, answer, score",
    [
        ("verbal", "Yes.", 1.0), ("verbal", "NO, it is not", 0.0), ("verbal", "Yesterday, perhaps", "nan"),
        ("numeric", "8", 0.8), ("numeric", "Score: 10/10", 1.0), ("numeric", "11", "nan"),
        ("numeric", "none", "nan"), ("numeric", "-1", "nan"), ("numeric", "2.5 out of 10", 0.25),
    ],
)
def test_judge_reads_its_answer(realisation, answer, score):
    j = judge(lambda prompt, engine: answer, realisation=realisation)
    (instance,) = j.process_stream([{"question": "q", "contexts": ["c"], "answer": "a"}])
    got = instance["score"]["instance"]
    value = "nan" if math.isnan(got["score"]) else got["score"]
    assert value == score and got["score_name"] == "faithfulness_judge"
    assert got["judge_output"] == answer


def test_judge_prompt_reads_mapped_fields():
    prompts = []
    j = judge(lambda prompt, engine: prompts.append(prompt) or "Yes", fmt=ChatAPIFormat(system_prompt="sys"),
              prediction_field="generated", mapping={"contexts": "passages"})
    list(j.process_stream([{"question": "Q?", "passages": ["one", "two"], "generated": "G!"}]))
    ((system, user),) = prompts
    assert system == {"role": "system", "content": "sys"}
    assert user["role"] == "user"
    assert "Q?" in user["content"] and "[1] one\n[2] two" in user["content"] and "G!" in user["content"]


def test_judge_reports_a_missing_field():
    j = judge(lambda prompt, engine: "Yes")
    with pytest.raises(MissingFieldError, match="reads its field 'contexts' from the instance field 'contexts'"):
        list(j.process_stream([{"question": "q", "answer": "a"}]))


@pytest.mark.parametrize(
    "kwargs, error",
    [(dict(infer_log_probs=True), ValueError), (dict(mapping=[("a", "b")]), TypeError),
     (dict(prediction_field=""), TypeError)],
)
def test_judge_checks_its_arguments(kwargs, error):
    with pytest.raises(error):
        judge(lambda prompt, engine: "Yes", **kwargs)


def test_plain_format():
    assert Format().format("p") == "p"
    assert Format(system_prompt="s").format("p") == "s\n\np"
    assert ChatAPIFormat().format("p") == [{"role": "user", "content": "p"}]


@pytest.mark.parametrize("level, number", [("warning", logging.WARNING), ("DEBUG", logging.DEBUG), (40, 40)])
def test_set_verbosity(level, number):
    before = logging_utils.get_verbosity()
    try:
        logging_utils.set_verbosity(level)
        assert logging.getLogger("tabulo").level == number
    finally:
        logging.getLogger("tabulo").setLevel(before)


@pytest.mark.parametrize("level, error", [("loud", ValueError), (None, TypeError), (True, TypeError)])
def test_set_verbosity_refuses_unknown_levels(level, error):
    with pytest.raises(error):
        logging_utils.set_verbosity(level)
