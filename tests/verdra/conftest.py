"""Fixtures of the criteria-judge tests.

The judge library's engines answer through a local model (``tabulo.inference``
responders); token counts use tiktoken's real encoding, from the cache the setup seeds (a word
encoder where a test needs counts it controls).  Nothing here reaches the network.
"""

from __future__ import annotations

import subprocess
import sys

import pytest
from verdra_kit import YES_NO, LocalModel, WordEncoder, models, recording_tiktoken

from tessaly.entities.llm_judge import LLMJudge

_import_checked: list[str] = []


def _import_in_child() -> str:
    """Import the module in a child interpreter first: a crash there fails these tests
    with its output instead of ending the whole test session."""
    if not _import_checked:
        child = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", "import tessaly.providers.verdra_provider"],
            capture_output=True,
            text=True,
            timeout=120,
        )
        _import_checked.append("" if child.returncode == 0 else f"exit {child.returncode}\n{child.stderr[-3000:]}")
    return _import_checked[0]


@pytest.fixture(scope="session")
def vp():
    problem = _import_in_child()
    if problem:
        pytest.fail(f"importing tessaly.providers.verdra_provider failed in a child interpreter: {problem}")
    from tessaly.providers import verdra_provider

    return verdra_provider


@pytest.fixture
def model(vp):
    """The local model answering every judge engine for the test."""
    from tabulo.inference import local_responder

    local = LocalModel()
    with local_responder(local):
        yield local


@pytest.fixture
def judges(vp, monkeypatch):
    """Every DirectJudge the provider builds, recorded in order (real judges)."""
    built = []

    class RecordedJudge(vp.DirectJudge):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            built.append(self)
            self.args, self.kwargs = args, kwargs

    monkeypatch.setattr(vp, "DirectJudge", RecordedJudge)
    return built


@pytest.fixture
def encodings(vp, monkeypatch):
    """Names of the encodings the provider asked tiktoken for (it gets the real ones)."""
    requested: list[str] = []
    monkeypatch.setattr(vp, "tiktoken", recording_tiktoken(requested))
    return requested


@pytest.fixture
def word_encodings(vp, monkeypatch):
    """As ``encodings``, but the encoding is a token per word or punctuation mark: counts a
    test controls (empty texts, texts of other types)."""
    requested: list[str] = []
    monkeypatch.setattr(vp, "tiktoken", recording_tiktoken(requested, WordEncoder()))
    return requested


@pytest.fixture
def judge_models():
    return models()


@pytest.fixture
def make_provider(vp, judge_models):
    """VerdraProvider with a criteria over the response column and the OpenAI judge;
    keywords override any argument."""

    def make(**overrides):
        arguments = dict(
            metric_name="answers_question",
            display_name="Answers the question",
            value_type="numeric",
            llm_judge=LLMJudge(model=judge_models["openai"]),
            options=list(YES_NO),
            criteria_description="Does the {response} answer the {question}?",
            prediction_field="response",
            context_fields=["question"],
            metric_method="llm_as_judge",
        )
        arguments.update(overrides)
        return vp.VerdraProvider(**arguments)

    return make
