"""Helpers of the host-process tests: the configuration, a small question-answering table and
a full collection."""

from __future__ import annotations

import gc
import warnings

import pandas as pd

from tessaly.config import GenAIConfiguration

TOKEN = "host-process-token"


def configuration(**fields) -> GenAIConfiguration:
    defaults = dict(input_fields=["question"], output_fields=["answer"], context_fields=["context"],
                    reference_fields=["ground_truth"])
    defaults.update(fields)
    return GenAIConfiguration(**defaults)


def qa_table(rows: int = 3) -> pd.DataFrame:
    answers = ["Paris is the capital of France.", "You are an idiot.", "Call 555 0100 for help."]
    return pd.DataFrame({
        "record_id": [f"r{i}" for i in range(rows)],
        "question": [f"Question {i}?" for i in range(rows)],
        "answer": [answers[i % 3] for i in range(rows)],
        "context": [["Paris is the capital of France."] for _ in range(rows)],
        "ground_truth": ["Paris is the capital." for _ in range(rows)],
    })


def collect() -> None:
    """A full collection, without the warnings of what it finalizes."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        warnings.simplefilter("ignore", RuntimeWarning)
        gc.collect()
