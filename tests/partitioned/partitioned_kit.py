"""The pieces of the partitioned-run tests that the cluster's workers import as well: the
configuration and table, the demo's kinds of metrics (detectors, similarity, a judge answered by
a local scoring function, a criteria judge answered by a local responder), a metric that fails
on marked records, a store that runs out of space, and how results are compared."""

from __future__ import annotations

import errno
import math
import re

import fsspec
import pandas as pd
from distributed.diagnostics.plugin import SchedulerPlugin, WorkerPlugin
from fsspec.implementations.memory import MemoryFileSystem
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


def requests_per_record(service, frame: pd.DataFrame) -> list[int]:
    """How many of the service's requests were for each record (a detector sends the record's
    question, which names the record)."""
    bodies = [request.body for request in service.requests]
    return [sum(question in body for body in bodies) for question in frame["question"]]


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


class NotANumberWhereUnsure(TextLengthMetric):
    """Text length, but NaN for an answer that is not sure of itself."""

    name: str = "length_where_sure"

    def score(self, cell):
        return math.nan if "probably" in str(cell) else super().score(cell)


class FullMemoryFileSystem(MemoryFileSystem):
    """An in-memory store whose disk is full for the entries of odd partitions: writing one
    fails as a full disk fails a write. Each process has its own (a worker's is its own)."""

    protocol = "fullmemory"
    root_marker = "/"
    store = {}  # not the memory file system's own: kept apart from memory://
    pseudo_dirs = [""]

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path.removeprefix("fullmemory://"))

    def _open(self, path, mode="rb", **kwargs):
        odd = re.search(r"partition-\d*[13579]\.json", path)
        if "w" in mode and odd:
            raise OSError(errno.ENOSPC, "No space left on device", path)
        return super()._open(path, mode=mode, **kwargs)


fsspec.register_implementation("fullmemory", FullMemoryFileSystem, clobber=True)


# ---- comparing results --------------------------------------------------------------------------


def same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b and type(a) is type(b)


def errors(items) -> list:
    return [(e.code, e.message_en) for e in items or []]


def comparable(value):
    """A value as it compares: a missing float (NaN) equal to any other."""
    return "NaN" if isinstance(value, float) and math.isnan(value) else value


def records(aggregate) -> list:
    return [(r.record_id, r.record_timestamp, comparable(r.value), errors(r.errors), r.additional_info)
            for r in aggregate.record_level_metrics]


def assert_same_as_one_process(got, expected):
    """Equal results, but for means, which may differ in the last of their 4 decimals."""
    assert [(r.name, r.method, r.display_name) for r in got.metrics_result] == [
        (r.name, r.method, r.display_name) for r in expected.metrics_result]
    for mine, theirs in zip(got.metrics_result, expected.metrics_result):
        assert records(mine) == records(theirs), mine.name
        assert mine.total_records == theirs.total_records
        assert same(mine.min, theirs.min) and same(mine.max, theirs.max), (mine.name, mine.min, theirs.min)
        assert errors(mine.errors) == errors(theirs.errors)
        for field in ("mean", "value"):
            a, b = getattr(mine, field), getattr(theirs, field)
            if isinstance(a, float) and isinstance(b, float) and not math.isnan(b):
                assert abs(a - b) <= 1e-4 + 1e-12, (mine.name, field, a, b)
            else:
                assert same(a, b), (mine.name, field, a, b)


def assert_identical(a, b, where="result"):
    """The same values of the same types all through (a NaN equal to a NaN), as a round trip must
    give them back."""
    if hasattr(a, "model_dump") and hasattr(b, "model_dump"):
        assert type(a) is type(b), where
        for field in type(a).model_fields:
            assert_identical(getattr(a, field), getattr(b, field), f"{where}.{field}")
    elif isinstance(a, (list, tuple)):
        assert type(a) is type(b) and len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            assert_identical(x, y, f"{where}[{i}]")
    elif isinstance(a, dict):
        assert type(b) is dict and list(a) == list(b), where
        for key in a:
            assert_identical(a[key], b[key], f"{where}[{key!r}]")
    else:
        assert same(a, b) or (a == b and isinstance(a, str) and isinstance(b, str)), (where, a, b)
