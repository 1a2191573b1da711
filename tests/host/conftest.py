"""Fixtures for the tests of the modules in a host process: a local detection service, the
SDK client that reaches it, and a small question-answering table."""

from __future__ import annotations

import gc
import warnings

import pandas as pd
import pytest
from detection_service import run_in_thread

from tessaly.clients.api_client import APIClient
from tessaly.config import GenAIConfiguration
from tessaly.entities.credentials import Credentials

TOKEN = "host-process-token"


@pytest.fixture(scope="module")
def detection():
    with run_in_thread(tokens=TOKEN) as service:
        yield service


@pytest.fixture
def client(detection) -> APIClient:
    return APIClient(credentials=Credentials(url=detection.url, version="5.0", api_key=TOKEN))


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
