"""Criteria-judge evaluation end to end: modes, record results, scores, feedback, token
counts, failures and the asynchronous form."""

from __future__ import annotations

import asyncio
import threading
import types

import pytest
import tiktoken
from verdra_kit import YES_NO, WordEncoder, table, tokens

from tessaly.entities.criteria import Option
from tessaly.entities.enums import MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.metric_threshold import MetricThreshold

PREFIX = "Error while computing metrics: answers_question. Reason: "


def answer_by_response(prompt: str) -> str:
    """Yes for response 0, No otherwise, with an explanation and feedback naming the record."""
    first = "response 0" in prompt
    return f"Explanation: {'on topic' if first else 'off topic'}\nFeedback: cite {'one' if first else 'two'}\n" \
           f"Answer: {'Yes' if first else 'No'}"


def result(selected="Yes", explanation="why", feedback="fb", prompt="p", response="Answer: Yes"):
    return types.SimpleNamespace(selected_option=selected, explanation=explanation, feedback=feedback,
                                 metadata={"prompt": prompt, "unparsed_response": response})


@pytest.fixture
def scripted(vp, monkeypatch):
    """Replaces the judge by one that returns ``scripted.results`` and records its calls."""
    state = types.SimpleNamespace(results=[], calls=[])

    class ScriptedJudge:
        def __init__(self, **kwargs):
            self.kwargs = kwargs

        def __call__(self, **kwargs):
            state.calls.append(("criteria", kwargs))
            return state.results

        def evaluate_with_custom_prompt(self, **kwargs):
            state.calls.append(("custom", kwargs))
            return state.results

    monkeypatch.setattr(vp, "DirectJudge", ScriptedJudge)
    return state


def test_criteria_mode_end_to_end(make_provider, model):
    model.answer = answer_by_response
    thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
    provider = make_provider(metric_group=MetricGroup.ANSWER_QUALITY, thresholds=thresholds)
    aggregate = provider.evaluate(table(2))

    assert isinstance(aggregate, AggregateMetricResult)
    assert (aggregate.total_records, aggregate.value, aggregate.min, aggregate.max) == (2, 0.5, 0.0, 1.0)
    records = aggregate.record_level_metrics
    assert all(isinstance(r, RecordMetricResult) for r in records)
    common = dict(name="answers_question", display_name="Answers the question", method="llm_as_judge",
                  group=MetricGroup.ANSWER_QUALITY, provider="tabulo", thresholds=thresholds)
    assert [r.model_dump(exclude_none=False) for r in records] == [
        RecordMetricResult(**common, value=1.0, label="Yes", record_id="r0", record_timestamp="2026-01-01T00:00:00",
                           explanation="on topic",
                           additional_info={"feedback": "cite one", "input_tokens": None, "output_tokens": None}
                           ).model_dump(),
        RecordMetricResult(**common, value=0.0, label="No", record_id="r1", record_timestamp="2026-01-02T00:00:00",
                           explanation="off topic",
                           additional_info={"feedback": "cite two", "input_tokens": None, "output_tokens": None}
                           ).model_dump(),
    ]
    assert list(records[0].additional_info) == ["feedback", "input_tokens", "output_tokens"]

    first = model.prompts[0]
    assert "Does the response answer the question?" in first
    assert "question: question 0" in first and "response 0" in first
    assert "- Yes: The response answers the question." in first


def test_record_columns_come_from_the_keywords(make_provider, model):
    data = table(1).rename(columns={"record_id": "id", "record_timestamp": "at"})
    provider = make_provider(record_id_field="id", record_timestamp_field="at")
    [record] = provider.evaluate(data).record_level_metrics
    assert (record.record_id, record.record_timestamp) == ("r0", "2026-01-01T00:00:00")


@pytest.mark.parametrize("mode", ["criteria", "custom"])
@pytest.mark.parametrize(
    ("options", "answer", "value", "label"),
    [
        ([Option(name="Yes", value=1.0), Option(name="No", value=0.0), Option(name="Yes", value=0.5)],
         "Answer: Yes", 0.5, "Yes"),
        (YES_NO, "Answer: Maybe", None, "Maybe"),
        ([Option(name="Yes"), Option(name="No", value=0.0)], "Answer: Yes", None, "Yes"),
        (YES_NO, "Answer: no", 0.0, "No"),
    ],
)
def test_record_value_is_the_selected_options_value(make_provider, model, mode, options, answer, value, label):
    model.answer = lambda prompt: answer
    overrides = {"options": options}
    if mode == "custom":
        overrides.update(criteria_description=None, prompt_template="Judge {response}")
    [record] = make_provider(**overrides).evaluate(table(1)).record_level_metrics
    assert (record.value, record.label) == (value, label)


def test_criteria_mode_wins_over_the_template(make_provider, model, judges):
    provider = make_provider(prompt_template="TEMPLATE {response}")
    provider.evaluate(table(2))
    assert len(model.prompts) == 2
    assert all("Criterion" in p and "TEMPLATE" not in p for p in model.prompts)


def test_custom_prompt_mode_sends_filled_templates_and_option_names(vp, make_provider, model, monkeypatch):
    seen = []

    class Recording(vp.DirectJudge):
        def evaluate_with_custom_prompt(self, **kwargs):
            seen.append(kwargs)
            return super().evaluate_with_custom_prompt(**kwargs)

    monkeypatch.setattr(vp, "DirectJudge", Recording)
    options = [Option(name="Yes", value=1.0), Option(name="No", value=0.0), Option(name="Yes", value=0.5)]
    provider = make_provider(criteria_description="", prompt_template="Q: {question} | R: {response!r:>14}",
                             options=options)
    aggregate = provider.evaluate(table(2))

    [call] = seen
    assert list(call) == ["judge_prompts", "valid_outputs"]
    assert call["judge_prompts"] == ["Q: question 0 | R:   'response 0'", "Q: question 1 | R:   'response 1'"]
    assert call["valid_outputs"] == ["Yes", "No", "Yes"]
    assert [p.split("\n\n")[0] for p in model.prompts] == call["judge_prompts"]
    assert [r.value for r in aggregate.record_level_metrics] == [0.5, 0.5]


@pytest.mark.parametrize(
    ("feedback", "stored"), [("", None), (None, None), ("be concise", "be concise"), (0, None)]
)
def test_empty_feedback_is_stored_as_none(make_provider, scripted, feedback, stored):
    scripted.results = [result(feedback=feedback)]
    [record] = make_provider().evaluate(table(1)).record_level_metrics
    assert record.additional_info["feedback"] == stored


@pytest.mark.parametrize(("rows", "answers", "records"), [(3, 2, 2), (2, 3, 2), (2, 0, 0)])
def test_records_stop_at_the_shorter_of_table_and_judge_output(make_provider, scripted, rows, answers, records):
    scripted.results = [result(selected="Yes", explanation=f"e{i}") for i in range(answers)]
    aggregate = make_provider().evaluate(table(rows))
    assert [(r.record_id, r.explanation) for r in aggregate.record_level_metrics] == [
        (f"r{i}", f"e{i}") for i in range(records)]
    assert aggregate.total_records == records


@pytest.mark.parametrize("context_fields", [[], ["question"]])
def test_a_table_without_rows_gives_an_empty_aggregate(make_provider, model, context_fields):
    aggregate = make_provider(context_fields=context_fields).evaluate(table(0))
    assert (aggregate.total_records, aggregate.record_level_metrics, aggregate.value) == (0, [], None)
    assert model.prompts == []


# ---- token counts ---------------------------------------------------------------------------


def test_token_counts_of_prompt_and_answer(make_provider, model, encodings):
    model.answer = answer_by_response
    provider = make_provider(compute_token_count=True)
    records = provider.evaluate(table(2)).record_level_metrics
    assert encodings == ["cl100k_base"]
    assert isinstance(provider.encoding, tiktoken.Encoding) and provider.encoding.name == "cl100k_base"
    for record, prompt in zip(records, model.prompts):
        assert record.additional_info["input_tokens"] == tokens(prompt)
        assert record.additional_info["output_tokens"] == tokens(answer_by_response(prompt))
    provider.evaluate(table(1))
    assert encodings == ["cl100k_base", "cl100k_base"]


def test_without_token_counts_no_encoding_is_loaded(make_provider, model, encodings):
    provider = make_provider()
    [record] = provider.evaluate(table(1)).record_level_metrics
    assert (record.additional_info["input_tokens"], record.additional_info["output_tokens"]) == (None, None)
    assert encodings == []
    assert not hasattr(provider, "encoding")


def test_token_counts_are_the_encodings_own(make_provider, scripted, encodings):
    scripted.results = [result(prompt="The quick brown fox jumps over the lazy dog.", response="Yes")]
    [record] = make_provider(compute_token_count=True).evaluate(table(1)).record_level_metrics
    assert (record.additional_info["input_tokens"], record.additional_info["output_tokens"]) == (10, 1)


def test_token_counts_are_per_record_zero_is_none_and_values_count_as_text(make_provider, scripted,
                                                                           word_encodings):
    scripted.results = [
        result(prompt="two words", response="one"),
        result(prompt="", response="   "),
        result(prompt=12345, response=["a", "b"]),
    ]
    records = make_provider(compute_token_count=True).evaluate(table(3)).record_level_metrics
    assert [(r.additional_info["input_tokens"], r.additional_info["output_tokens"]) for r in records] == [
        (2, 1), (None, None), (1, len(WordEncoder().encode(str(["a", "b"]))))]


@pytest.mark.parametrize(("metadata", "missing"), [({"unparsed_response": "x"}, "'prompt'"),
                                                     ({"prompt": "x"}, "'unparsed_response'")])
def test_token_counts_need_both_metadata_entries(make_provider, scripted, word_encodings, metadata, missing):
    scripted.results = [types.SimpleNamespace(selected_option="Yes", explanation="", feedback="", metadata=metadata)]
    make_provider().evaluate(table(1))  # not read without token counts
    with pytest.raises(Exception, match="^" + PREFIX + missing + "$"):
        make_provider(compute_token_count=True).evaluate(table(1))


# ---- failures -------------------------------------------------------------------------------


class Boom(Exception):
    pass


def fail_judge_construction(vp, monkeypatch, model, error):
    def refuse(**kwargs):
        raise error

    monkeypatch.setattr(vp, "DirectJudge", refuse)


def fail_in_the_model(vp, monkeypatch, model, error):
    def refuse(prompt):
        raise error

    model.answer = refuse


def fail_record(vp, monkeypatch, model, error):
    def refuse(**kwargs):
        raise error

    monkeypatch.setattr(vp, "RecordMetricResult", refuse)


def fail_aggregate(vp, monkeypatch, model, error):
    def refuse(records):
        raise error

    monkeypatch.setattr(vp, "AggregateMetricResult", types.SimpleNamespace(create=refuse))


@pytest.mark.parametrize("inject", [fail_judge_construction, fail_in_the_model, fail_record, fail_aggregate])
def test_failures_are_wrapped_with_their_cause(vp, make_provider, model, monkeypatch, inject):
    error = Boom("it broke")
    inject(vp, monkeypatch, model, error)
    with pytest.raises(Exception) as caught:
        make_provider().evaluate(table(1))
    assert type(caught.value) is Exception
    assert str(caught.value) == PREFIX + "it broke"
    assert caught.value.__cause__ is error


@pytest.mark.parametrize(
    ("overrides", "data", "reason"),
    [
        ({}, table(1).drop(columns="record_id"), "'record_id'"),
        ({}, table(1).drop(columns="record_timestamp"), "'record_timestamp'"),
        ({"criteria_description": None, "prompt_template": "{nope}"}, table(1), "'nope'"),
        ({"criteria_description": None, "prompt_template": "{0}"}, table(1), "Replacement index 0 out of range "
                                                                             "for positional args tuple"),
    ],
)
def test_data_that_does_not_fit_fails_with_the_wrapped_reason(make_provider, model, overrides, data, reason):
    with pytest.raises(Exception) as caught:
        make_provider(**overrides).evaluate(data)
    assert str(caught.value) == PREFIX + reason
    assert str(caught.value.__cause__) == reason


@pytest.mark.parametrize(("criteria", "template"), [(None, None), ("", ""), (None, "")])
def test_neither_criteria_nor_template_fails_wrapped(make_provider, model, criteria, template):
    with pytest.raises(Exception) as caught:
        make_provider(criteria_description=criteria, prompt_template=template).evaluate(table(1))
    assert type(caught.value) is Exception
    assert str(caught.value).startswith(PREFIX)
    assert caught.value.__cause__ is not None
    assert model.prompts == []


def test_exceptions_outside_exception_pass_unwrapped(make_provider, model):
    class Stop(BaseException):
        pass

    def stop(prompt):
        raise Stop()

    model.answer = stop
    with pytest.raises(Stop):
        make_provider().evaluate(table(1))


# ---- asynchronous form ----------------------------------------------------------------------


def test_evaluate_async_runs_several_evaluations_on_worker_threads(make_provider, model):
    data = table(3)
    model.answer = answer_by_response
    expected = make_provider().evaluate(data)
    threads = []

    def on_thread(prompt):
        threads.append(threading.current_thread())
        return answer_by_response(prompt)

    model.answer = on_thread
    shared = make_provider()
    providers = [shared, shared, make_provider(metric_name="other"), make_provider(compute_token_count=False)]

    async def run_all():
        loop_thread = threading.current_thread()
        results = await asyncio.gather(*(p.evaluate_async(data) for p in providers))
        return loop_thread, results

    loop_thread, results = asyncio.run(run_all())
    for aggregate in results:
        assert [(r.record_id, r.value, r.label, r.explanation) for r in aggregate.record_level_metrics] == [
            (r.record_id, r.value, r.label, r.explanation) for r in expected.record_level_metrics]
    assert results[2].name == "other"
    assert len(threads) == 12 and loop_thread not in threads


def test_evaluate_async_raises_the_wrapped_error(make_provider, model, judge_models):
    from tessaly.entities.llm_judge import LLMJudge

    provider = make_provider(llm_judge=LLMJudge(model=judge_models["azure"]))

    async def run():
        return await provider.evaluate_async(data=table(1))

    with pytest.raises(Exception) as caught:
        asyncio.run(run())
    assert str(caught.value) == PREFIX + "Azure OpenAI Model provider is not supported."
