"""tabulo_provider: the library metric built for a metric definition: a catalogue
reference, or a task-based judge with its template, task, main score and format."""

from __future__ import annotations

import math

import pandas as pd
import pytest
from tabulo import inference as lib
from tabulo.formats import ChatAPIFormat
from tabulo_kit import PREFIX, configuration, provider, rag_table

from tessaly.entities import credentials as creds
from tessaly.entities import foundation_model as fm
from tessaly.entities.enums import ModelProviderType
from tessaly.entities.llm_judge import LLMJudge

pytestmark = pytest.mark.usefixtures("fresh_state")

JUDGE_KEYWORDS = [
    "inference_model", "format", "template", "task", "main_score", "prediction_field",
    "infer_log_probs", "judge_to_generator_fields_mapping",
]


def openai_judge(kind=ModelProviderType.OPENAI, cls=fm.OpenAIFoundationModel):
    credentials = creds.OpenAICredentials(api_key="sk")
    return LLMJudge(model=cls(model_id="gpt-x", provider=fm.ModelProvider(type=kind, credentials=credentials)))


@pytest.fixture
def judges(tp, monkeypatch):
    """Every judge the provider builds, with the keyword arguments it was given, in order."""
    built = []

    class RecordedJudge(tp.TaskBasedLLMasJudge):
        def __init__(self, *args, **kwargs):
            assert not args, "the judge is built with keyword arguments only"
            built.append(list(kwargs.items()))
            super().__init__(**kwargs)

    monkeypatch.setattr(tp, "TaskBasedLLMasJudge", RecordedJudge)
    return built


@pytest.mark.parametrize(
    "name, alias, template, task, main_score, prediction_field",
    [
        ("faithfulness", None, "templates.rag_eval.faithfulness.judge_with_question_simplified_verbal",
         "tasks.rag_eval.faithfulness.binary", "faithfulness_judge", "answer"),
        ("context_relevance", None,
         "templates.rag_eval.context_relevance.judge_context_relevance_ares_numeric",
         "tasks.rag_eval.context_relevance.binary", "context_relevance_judge", "contexts"),
        ("answer_correctness", None,
         "templates.rag_eval.answer_correctness.judge_loose_match_no_context_numeric",
         "tasks.rag_eval.answer_correctness.binary", "answer_correctness_judge", "answer"),
        ("answer_relevance", None, "templates.rag_eval.answer_relevance.judge_answer_relevance_numeric",
         "tasks.rag_eval.answer_relevance.binary", "answer_relevance_judge", "answer"),
        # The alias, not the name, chooses template, task and main score.
        ("answer_similarity", "answer_correctness",
         "templates.rag_eval.answer_correctness.judge_loose_match_no_context_numeric",
         "tasks.rag_eval.answer_correctness.binary", "answer_correctness_judge", "answer"),
        ("grounding", "context_relevance",
         "templates.rag_eval.context_relevance.judge_context_relevance_ares_numeric",
         "tasks.rag_eval.context_relevance.binary", "context_relevance_judge", "contexts"),
    ],
)
def test_judge_per_metric(tp, judges, name, alias, template, task, main_score, prediction_field):
    prompts = []
    p = provider(tp, metric_name=name, method="llm_as_judge", metric_alias=alias, llm_judge=openai_judge())
    with lib.local_responder(lambda prompt, engine: prompts.append(prompt) or "Yes. 10"):
        result = p.evaluate(rag_table(3))
    ((kwargs),) = judges
    assert [k for k, _ in kwargs] == JUDGE_KEYWORDS
    got = dict(kwargs)
    assert (got["template"], got["task"], got["main_score"], got["prediction_field"]) == (
        template, task, main_score, prediction_field)
    assert got["infer_log_probs"] is False
    assert got["judge_to_generator_fields_mapping"] == {}
    assert type(got["inference_model"]) is lib.OpenAiInferenceEngine
    assert isinstance(got["format"], ChatAPIFormat)
    # Every record was judged through the engine; the score column is named by the name.
    assert len(prompts) == 3 and all(isinstance(m, list) and m[-1]["role"] == "user" for m in prompts)
    assert result.name == name and [r.name for r in result.record_level_metrics] == [name] * 3
    assert [r.value for r in result.record_level_metrics] == [1.0] * 3


def test_each_run_builds_a_new_judge_with_its_own_mapping(tp, judges):
    p = provider(tp, method="llm_as_judge", llm_judge=openai_judge())
    with lib.local_responder(lambda prompt, engine: "Yes"):
        p.evaluate(rag_table())
        p.evaluate(rag_table())
    first, second = (dict(kwargs) for kwargs in judges)
    assert first["judge_to_generator_fields_mapping"] is not second["judge_to_generator_fields_mapping"]
    assert first["format"] is not second["format"]
    assert first["inference_model"] is second["inference_model"]  # from the engine cache


@pytest.mark.parametrize(
    "judge, chat",
    [
        pytest.param(openai_judge(), True, id="openai"),
        pytest.param(openai_judge(kind=ModelProviderType.AZURE_OPENAI), False, id="openai-class-azure-type"),
        pytest.param(openai_judge(kind=ModelProviderType.OPENAI, cls=fm.PortKeyGateway), True,
                     id="portkey-class-openai-type"),
        pytest.param(LLMJudge(model=fm.PortKeyGateway(model_id="m")), False, id="portkey"),
        pytest.param(LLMJudge(model=fm.CustomFoundationModel(scoring_fn=lambda t: ["Yes"] * len(t))), False,
                     id="custom"),
    ],
)
def test_chat_format_only_for_openai_provider_type(tp, judge, chat):
    p = provider(tp, method="llm_as_judge", llm_judge=judge)
    fmt = p._TabuloProvider__get_llmaj_format()
    if chat:
        assert type(fmt) is ChatAPIFormat
        assert p._TabuloProvider__get_llmaj_format() is not fmt
    else:
        assert fmt is None


def test_plain_text_prompts_without_chat_format(tp, judges):
    seen = []
    judge = LLMJudge(model=fm.PortKeyGateway(model_id="pk"))
    p = provider(tp, method="llm_as_judge", metric_name="answer_relevance", llm_judge=judge)
    with lib.local_responder(lambda prompt, engine: seen.append((prompt, engine)) or "7", engine=lib.InferenceEngine):
        result = p.evaluate(rag_table(1))
    ((prompt, engine),) = seen
    assert dict(judges[0])["format"] is None
    assert isinstance(prompt, str) and "who wrote" not in prompt and "capital of france" in prompt
    assert engine.kwargs["model"] == "pk"
    assert result.value == 0.7


def test_renamed_contexts_column_is_the_context_relevance_prediction(tp, judges):
    mapping = tp.TabuloColumnMapping(contexts="ctx")
    p = provider(tp, metric_name="context_relevance", method="llm_as_judge", column_mapping=mapping,
                 llm_judge=openai_judge())
    with lib.local_responder(lambda prompt, engine: "8"):
        result = p.evaluate(rag_table(2))
    assert dict(judges[0])["prediction_field"] == "ctx"
    assert result.value == 0.8


@pytest.mark.parametrize(
    "answers, expected",
    [(["Yes", "no"], [1.0, 0.0]), (["Yes, fully supported", "I cannot tell"], [1.0, math.nan])],
)
def test_judge_verdicts_become_values(tp, answers, expected):
    replies = iter(answers)
    p = provider(tp, method="llm_as_judge", llm_judge=openai_judge())
    with lib.local_responder(lambda prompt, engine: next(replies)):
        result = p.evaluate(rag_table(2))
    values = [r.value for r in result.record_level_metrics]
    assert [v if not math.isnan(v) else "nan" for v in values] == [
        e if not math.isnan(e) else "nan" for e in expected]


@pytest.mark.parametrize("name", ["bleu", "Faithfulness"])
def test_judge_for_unknown_metric_fails_with_its_quoted_name(tp, judges, name):
    p = provider(tp, metric_name=name, method="llm_as_judge", llm_judge=openai_judge())
    with pytest.raises(Exception) as caught:
        p.evaluate(rag_table())
    assert str(caught.value) == (
        f"Error while computing metrics: {name} with the method llm_as_judge using tabulo library. Reason: '{name}'"
    )
    assert type(caught.value.__context__) is KeyError
    assert judges == []
    assert len(tp._inference_engine_cache) == 1  # the engine was obtained before the template


class Text(str):
    pass


@pytest.mark.parametrize(
    "method, other_arguments",
    [("__get_llmaj_template", {}), ("__get_llmaj_metric", {}), ("__generate_tabulo_metric", {"metric_prefix": "P"})],
)
@pytest.mark.parametrize("value", [Text("faithfulness"), None, 7])
def test_judge_builders_refuse_a_metric_name_that_is_not_exactly_text(tp, judges, method, other_arguments, value):
    p = provider(tp, method="llm_as_judge", llm_judge=openai_judge())
    with pytest.raises(TypeError) as caught:
        getattr(p, "_TabuloProvider" + method)(metric_name=value, **other_arguments)
    assert str(caught.value) == f"Argument 'metric_name' has incorrect type (expected str, got {type(value).__name__})"
    # Refused before the engine is chosen: none built or cached, no judge made.
    assert len(tp._inference_engine_cache) == 0
    assert judges == []


def test_hosting_credentials_error_wins_over_unknown_metric(tp):
    model = fm.NimbalFoundationModel(model_id="m", provider=fm.ModelProvider(
        type=ModelProviderType.NIMBAL, credentials=creds.NimbalCredentials(url="https://h.example", api_key="k")))
    p = provider(tp, metric_name="bleu", method="llm_as_judge", llm_judge=LLMJudge(model=model))
    with pytest.raises(Exception, match=r"Reason: Either project or space id is required$"):
        p.evaluate(rag_table())


@pytest.mark.parametrize(
    "name, alias, method, prefix, expected",
    [
        ("faithfulness", None, "sentence_bert_mini_lm", "P", "P.faithfulness.sentence_bert_mini_lm"),
        ("answer_similarity", "answer_correctness", "token_recall", PREFIX,
         f"{PREFIX}.answer_correctness.token_recall"),
        ("x", None, "Any Method!", "a.b", "a.b.x.Any Method!"),
    ],
)
def test_catalogue_reference_for_other_methods(tp, name, alias, method, prefix, expected):
    p = provider(tp, metric_name=name, method=method, prefix=prefix, metric_alias=alias)
    assert p._TabuloProvider__generate_tabulo_metric(metric_name=alias or name, metric_prefix=prefix) == expected


def test_catalogue_reference_runs_the_aliased_metric(tp, probe):
    seen = probe("answer_correctness", "sentence_bert_mini_lm", score=lambda inst: -0.25)
    p = provider(tp, metric_name="answer_similarity", metric_alias="answer_correctness",
                 method="sentence_bert_mini_lm", prefix="metrics.test.probe")
    result = p.evaluate(rag_table(2))
    assert len(seen.instances) == 2
    # Flooring looks at the name, which is not among the floored metrics.
    assert [r.value for r in result.record_level_metrics] == [-0.25, -0.25]
    assert result.name == "answer_similarity"


@pytest.mark.parametrize("context", [None, {"temperature": 0}])
def test_custom_scoring_function_judges(tp, context):
    calls = []

    def scoring_fn(table, *rest):
        calls.append((table.copy(), rest))
        return pd.DataFrame({"generated_text": ["Yes"] * len(table)})

    model = fm.CustomFoundationModel(scoring_fn=scoring_fn, context=context, num_parallel_requests=2)
    p = provider(tp, method="llm_as_judge", llm_judge=LLMJudge(model=model))
    result = p.evaluate(rag_table(3))
    assert [len(table) for table, _ in calls] == [2, 1]
    assert all(list(table.columns) == ["input_text"] for table, _ in calls)
    assert "capital of france" in calls[0][0]["input_text"][0]
    assert all(rest == (() if context is None else (context,)) for _, rest in calls)
    assert [r.value for r in result.record_level_metrics] == [1.0, 1.0, 1.0]


def test_judge_without_responder_reports_how_to_plug_one(tp):
    p = provider(tp, method="llm_as_judge", llm_judge=openai_judge())
    with pytest.raises(Exception) as caught:
        p.evaluate(rag_table())
    assert str(caught.value).startswith(
        "Error while computing metrics: faithfulness with the method llm_as_judge using tabulo library. "
        "Reason: OpenAiInferenceEngine cannot reach a model")
    assert type(caught.value.__context__) is lib.NoResponderError


def test_configured_judge_serves_a_provider_without_its_own(tp):
    config = configuration(llm_judge=openai_judge())
    p = provider(tp, method="llm_as_judge", config=config)
    with lib.local_responder(lambda prompt, engine: "No"):
        assert p.evaluate(rag_table()).value == 0.0
