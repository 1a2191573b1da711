"""Helpers shared by the tests of the judge-library provider and the tabulo stand-in."""

from __future__ import annotations

import copy
import functools
import subprocess
import sys
import threading

import pandas as pd

from tessaly.config import GenAIConfiguration

MODULE = "tessaly.providers.tabulo_provider"
PREFIX = "metrics.rag.external_rag"  # the stand-in library's RAG metrics
TEST_PREFIX = "metrics.test.probe"  # where the tests put their own scorers


@functools.cache
def import_in_child() -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", f"import {MODULE}"],
        capture_output=True,
        text=True,
        timeout=300,
    )


def import_failure() -> str | None:
    """Why the module cannot be imported in a fresh interpreter, or None."""
    child = import_in_child()
    if child.returncode == 0:
        return None
    how = f"signal {-child.returncode}" if child.returncode < 0 else f"exit status {child.returncode}"
    return f"importing {MODULE} ends the interpreter ({how}):\n{child.stderr[-3000:]}"


def configuration(**fields) -> GenAIConfiguration:
    defaults = dict(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        reference_fields=["ground_truths"],
        record_id_field="record_id",
    )
    return GenAIConfiguration(**{**defaults, **fields})


def rag_table(n: int = 2, **overrides) -> pd.DataFrame:
    questions = ["what is the capital of france", "who wrote hamlet", "how tall is everest", "what is rust"]
    answers = ["paris is the capital", "shakespeare wrote it", "about 8849 metres", "a systems language"]
    contexts = ['["paris is the capital of france"]', '["hamlet is a play by shakespeare"]',
                '["everest is 8849 metres tall"]', '["rust is a programming language"]']
    truths = ['["paris"]', '["william shakespeare"]', '["8849 metres"]', '["a programming language"]']
    columns = {
        "question": [questions[i % 4] for i in range(n)],
        "answer": [answers[i % 4] for i in range(n)],
        "contexts": [contexts[i % 4] for i in range(n)],
        "ground_truths": [truths[i % 4] for i in range(n)],
        "record_id": [f"r{i}" for i in range(n)],
    }
    columns.update(overrides)
    return pd.DataFrame(columns)


def provider(tp, metric_name="faithfulness", method="token_recall", prefix=PREFIX, config=None, **kwargs):
    return tp.TabuloProvider(
        configuration=config if config is not None else configuration(),
        metric_name=metric_name,
        metric_display_name=kwargs.pop("metric_display_name", metric_name.replace("_", " ").title()),
        metric_method=method,
        metric_prefix=prefix,
        **kwargs,
    )


class Probe:
    """A scorer put into the catalogue: records what it sees, returns what it is told."""

    def __init__(self, score=lambda instance: 0.5, tp=None):
        self.score = score
        self.instances: list[dict] = []
        self.lock_held: list[bool] = []
        self.tp = tp
        self._guard = threading.Lock()

    def __call__(self, instance: dict):
        with self._guard:
            self.instances.append(copy.deepcopy(instance))  # as it arrived, before scoring
            if self.tp is not None:
                self.lock_held.append(self.tp.TabuloProvider._lock.locked())
        return self.score(instance)
