"""The pieces of the partitioned-run tests that the cluster's workers import as well: the
configuration and table, the demo's kinds of metrics (detectors, similarity, a judge answered by
a local scoring function, a criteria judge answered by a local responder), and a metric that
fails on marked records."""

from __future__ import annotations

import re

import pandas as pd
from distributed.diagnostics.plugin import SchedulerPlugin, WorkerPlugin
from tabulo.inference import set_responder

from tessaly.config import GenAIConfiguration
from tessaly.entities.credentials import OpenAICredentials
from tessaly.entities.criteria import Option
from tessaly.entities.foundation_model import CustomFoundationModel, OpenAIFoundationModel
from tessaly.entities.llm_judge import LLMJudge
from tessaly.metrics import (
    AnswerSimilarityMetric,
    CriteriaJudgeMetric,
    FaithfulnessJudgeMetric,
    HAPMetric,
    KeywordDetectionMetric,
    PIIMetric,
)
from tessaly.metrics.local_metrics import TextLengthMetric

TOKEN = "partitioned-run-token"

ANSWERS = [
    "Paris is the capital of France.",
    "You are an idiot and the answer is no.",
    "Write to help@example.com or call +1 415 555 0100.",
    "The weather service reports 20 degrees in Paris.",
    "It is probably raining somewhere.",
]


def configuration() -> GenAIConfiguration:
    return GenAIConfiguration(input_fields=["question"], output_fields=["answer"], context_fields=["context"],
                              reference_fields=["ground_truth"])


def table(rows: int) -> pd.DataFrame:
    """A table without record identifiers or timestamps: the run fills them."""
    return pd.DataFrame({
        "question": [f"Question {i}: what about Paris?" for i in range(rows)],
        "answer": [ANSWERS[i % len(ANSWERS)] for i in range(rows)],
        "context": [["Paris is the capital of France.", "The weather service reports 20 degrees."]] * rows,
        "ground_truth": ["Paris is the capital of France." for _ in range(rows)],
    })


def words(text: str) -> set[str]:
    return set(re.findall(r"[a-z0-9]+", text.lower()))


def local_judge(prompts: pd.DataFrame) -> list[str]:
    """A judge model: "Yes" when most words of the answer appear in the contexts."""
    answers = []
    for prompt in prompts["input_text"]:
        contexts = re.search(r"Contexts:\n(.*?)\n\n", prompt, re.S)
        answer = re.search(r"Answer: (.*?)\n", prompt)
        claimed, known = words(answer.group(1) if answer else ""), words(contexts.group(1) if contexts else "")
        answers.append("Yes" if claimed and len(claimed & known) / len(claimed) >= 0.5 else "No")
    return answers


UNSURE = "(unsure)"


def unsure_judge(prompts: pd.DataFrame) -> list[str]:
    """local_judge, but with an answer that cannot be read (a missing score) for the answers
    marked UNSURE."""
    return ["Unclear." if UNSURE in prompt else answer
            for prompt, answer in zip(prompts["input_text"], local_judge(prompts))]


def politeness_responder(prompt, engine) -> str:
    text = prompt if isinstance(prompt, str) else " ".join(m["content"] for m in prompt)
    rude = re.search(r"\b(idiot|stupid|dumb)\b", text, re.IGNORECASE)
    return f"Explanation: {'rude' if rude else 'courteous'}.\nFeedback: none.\nAnswer: {'No' if rude else 'Yes'}"


class LocalResponder(WorkerPlugin):
    """Answers the criteria judge on every worker, those that start later included."""

    def setup(self, worker):
        set_responder(politeness_responder)


def metrics() -> list:
    return [
        HAPMetric(),
        PIIMetric(),
        KeywordDetectionMetric(keywords=["idiot"]),
        AnswerSimilarityMetric(method="sentence_bert_mini_lm"),
        FaithfulnessJudgeMetric(method="token_recall", display_name="Faithfulness (token recall)"),
        FaithfulnessJudgeMetric(
            method="llm_as_judge", display_name="Faithfulness (judge)",
            llm_judge=LLMJudge(model=CustomFoundationModel(scoring_fn=local_judge, model_id="local-judge"))),
        CriteriaJudgeMetric(
            name="politeness",
            criteria_description="Is the {answer} polite towards the person who asked the {question}?",
            options=[Option(name="Yes", description="Polite.", value=1.0),
                     Option(name="No", description="Rude.", value=0.0)],
            prediction_field="answer", context_fields=["question"], compute_token_count=True,
            llm_judge=LLMJudge(model=OpenAIFoundationModel(
                model_id="local-gpt", provider={"type": "openai", "credentials": OpenAICredentials(api_key="local")}))),
        TextLengthMetric(),
    ]


class FailingWhereMarked(TextLengthMetric):
    """Text length, but a record whose question holds the marker fails the whole metric."""

    name: str = "failing_where_marked"
    marker: str = "MARKED"

    def evaluate(self, data, configuration, **kwargs):
        for question in data["question"]:
            if self.marker in question:
                raise ValueError(f"cannot score {question!r}")
        return super().evaluate(data=data, configuration=configuration, **kwargs)


class PartitionsInFlight(SchedulerPlugin):
    """What the scheduler is given of a partitioned run: how many partition tasks it holds at
    once between their submission and their end (waiting, queued or processing)."""

    name = "partitions-in-flight"
    ACTIVE = frozenset({"waiting", "queued", "no-worker", "processing"})

    def __init__(self):
        self.now = 0
        self.most = 0

    def transition(self, key, start, finish, *args, **kwargs):
        if not str(key).startswith("_evaluate_partition"):
            return
        self.now += (finish in self.ACTIVE) - (start in self.ACTIVE)
        self.most = max(self.most, self.now)
