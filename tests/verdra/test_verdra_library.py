"""The criteria-judge library stand-in: reading answers, writing prompts, judging
through a judge-library engine answered by a local model."""

from __future__ import annotations

import pytest
from tabulo.inference import CrossProviderInferenceEngine
from verdra.judges import (
    Criteria,
    CriteriaOption,
    DirectJudge,
    Instance,
    parse_answer,
)

OPTIONS = ["Yes", "No", "Yes, partly"]


@pytest.mark.parametrize(
    ("answer", "selected", "explanation", "feedback"),
    [
        ("Explanation: because\nFeedback: add sources\nAnswer: No", "No", "because", "add sources"),
        ("explanation: two\nlines\nANSWER:  yes.", "Yes", "two\nlines", ""),
        ("Answer: No\nExplanation: changed my mind\nAnswer: Yes", "Yes", "changed my mind", ""),
        ("**Answer:** `Yes, partly`", "Yes, partly", "", ""),
        ("Answer: Maybe", "Maybe", "", ""),
        ("I would say No, not Yes.", "No", "I would say No, not Yes.", ""),
        ("Yes, partly: the answer covers half of it", "Yes, partly", "Yes, partly: the answer covers half of it", ""),
        ("Nothing useful", None, "Nothing useful", ""),
        ("", None, "", ""),
        ("Noted. Yesterday was fine.", None, "Noted. Yesterday was fine.", ""),
    ],
)
def test_parse_answer_reads_tagged_and_bare_replies(answer, selected, explanation, feedback):
    assert parse_answer(answer, OPTIONS) == (selected, explanation, feedback)


@pytest.mark.parametrize(
    ("answer", "selected"),
    [("Answer: anything at all", "anything at all"), ("free text\nmore", "free text"), ("   ", None)],
)
def test_parse_answer_without_options_takes_the_reply(answer, selected):
    assert parse_answer(answer, None)[0] == selected


def criteria(**overrides) -> Criteria:
    fields = dict(
        name="grounded",
        description="Is the response grounded in the context?",
        to_evaluate_field="response",
        context_fields=["context"],
        options=[
            CriteriaOption(name="Yes", description="fully grounded", score=1.0),
            CriteriaOption(name="No", description="not grounded", score=0.0),
        ],
    )
    fields.update(overrides)
    return Criteria(**fields)


def engine_answering(answer, prompts=None):
    def respond(prompt, engine):
        if prompts is not None:
            prompts.append(prompt)
        return answer(prompt) if callable(answer) else answer

    return CrossProviderInferenceEngine(model="judge", responder=respond)


@pytest.mark.parametrize("feedback", [True, False])
def test_judge_renders_one_prompt_per_instance_and_reads_results(feedback):
    prompts = []
    judge = DirectJudge(
        inference_engine=engine_answering(
            lambda p: "Explanation: e\nFeedback: f\nAnswer: " + ("Yes" if "sky" in p else "No"), prompts
        ),
        generate_feedback=feedback,
    )
    instances = [
        Instance(fields={"response": "The sky is blue", "context": "Sky colour: blue"}),
        Instance(fields={"response": "Grass is red", "context": "Grass colour: green"}),
    ]
    results = judge(instances=instances, criteria=criteria())

    assert [r.selected_option for r in results] == ["Yes", "No"]
    assert [r.score for r in results] == [1.0, 0.0]
    assert [r.feedback for r in results] == (["f", "f"] if feedback else ["", ""])
    assert [r.metadata["prompt"] for r in results] == prompts
    assert [r.metadata["unparsed_response"] for r in results] == ["Explanation: e\nFeedback: f\nAnswer: Yes",
                                                                   "Explanation: e\nFeedback: f\nAnswer: No"]
    first = prompts[0]
    for shown in ["Is the response grounded in the context?", "context: Sky colour: blue", "The sky is blue",
                  "- Yes: fully grounded", "- No: not grounded", "Answer:"]:
        assert shown in first
    assert ("Feedback:" in first) is feedback
    assert "Grass" not in first


def test_judge_scores_repeated_option_names_by_the_later_option():
    c = criteria(options=[CriteriaOption(name="Yes", score=1.0), CriteriaOption(name="Yes", score=0.25)])
    judge = DirectJudge(inference_engine=engine_answering("Answer: Yes"))
    [result] = judge(instances=[Instance(fields={"response": "r", "context": "c"})], criteria=c)
    assert (result.selected_option, result.score) == ("Yes", 0.25)


def test_custom_prompts_are_sent_with_the_reply_form_and_read_against_valid_outputs():
    prompts = []
    judge = DirectJudge(inference_engine=engine_answering("Explanation: ok\nAnswer: no", prompts),
                        generate_feedback=True)
    results = judge.evaluate_with_custom_prompt(judge_prompts=["Rate A", "Rate B"], valid_outputs=["yes", "no"])
    assert [p.split("\n\n")[0] for p in prompts] == ["Rate A", "Rate B"]
    assert all("Choose one of: yes, no." in p for p in prompts)
    assert [(r.selected_option, r.explanation, r.score) for r in results] == [("no", "ok", None)] * 2
    assert [r.metadata["prompt"] for r in results] == prompts

    bare = []
    DirectJudge(inference_engine=engine_answering("x", bare)).evaluate_with_custom_prompt(judge_prompts=["Only this"])
    assert bare == ["Only this"]


def test_nothing_to_judge_asks_nothing():
    def refuse(prompt, engine):
        raise AssertionError("the model was asked")

    judge = DirectJudge(inference_engine=CrossProviderInferenceEngine(model="m", responder=refuse))
    assert judge(instances=[], criteria=criteria()) == []
    assert judge.evaluate_with_custom_prompt(judge_prompts=[], valid_outputs=["a"]) == []


@pytest.mark.parametrize(
    ("instance", "error"),
    [
        ({"context": "c"}, "no field 'response'"),
        ({"response": "r"}, r"lacks the context fields \['context'\]"),
    ],
)
def test_instances_missing_judged_or_context_fields_are_refused(instance, error):
    judge = DirectJudge(inference_engine=engine_answering("Answer: Yes"))
    with pytest.raises(KeyError, match=error):
        judge(instances=[Instance(fields=instance)], criteria=criteria())


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: CriteriaOption(name=1), TypeError),
        (lambda: CriteriaOption(name="  "), ValueError),
        (lambda: criteria(context_fields="context"), TypeError),
        (lambda: criteria(options=[{"name": "Yes"}]), TypeError),
        (lambda: criteria(description=None), TypeError),
        (lambda: Instance(fields=[("a", 1)]), TypeError),
        (lambda: DirectJudge(inference_engine=object()), TypeError),
    ],
)
def test_malformed_inputs_are_refused(make, error):
    with pytest.raises(error):
        make()


def test_engine_answer_count_and_kind_are_checked():
    class Short:
        def infer(self, prompts):
            return ["Answer: Yes"][: len(prompts) - 1]

    class NotText:
        def infer(self, prompts):
            return [1 for _ in prompts]

    instances = [Instance(fields={"response": "r", "context": "c"})] * 2
    with pytest.raises(ValueError, match="1 answers for 2 prompts"):
        DirectJudge(inference_engine=Short())(instances=instances, criteria=criteria())
    with pytest.raises(TypeError, match="not a text"):
        DirectJudge(inference_engine=NotText())(instances=instances, criteria=criteria())

