"""Helpers of the criteria-judge tests: judge models, options, tables, a token encoder
and a scriptable local model behind the judge library's engines."""

from __future__ import annotations

import re
import threading
import types
from collections.abc import Callable

import pandas as pd
import tiktoken

from tessaly.entities.credentials import (
    AWSBedrockCredentials,
    NimbalCredentials,
    OpenAICredentials,
    PortKeyCredentials,
    VertexAICredentials,
)
from tessaly.entities.criteria import Option
from tessaly.entities.foundation_model import (
    AWSBedrockFoundationModel,
    AzureOpenAIFoundationModel,
    GoogleAIStudioFoundationModel,
    NimbalFoundationModel,
    OpenAIFoundationModel,
    PortKeyGateway,
    VertexAIFoundationModel,
)

YES_NO = [
    Option(name="Yes", description="The {response} answers the {question}.", value=1.0),
    Option(name="No", description="It does not.", value=0.0),
]


def nimbal_model(credentials: dict, **fields) -> NimbalFoundationModel:
    model = NimbalFoundationModel(model_id="judge-model", **fields)
    model.provider.credentials = NimbalCredentials(**credentials)
    return model


def models() -> dict[str, object]:
    """One judge model of each class, with credentials that tell them apart."""
    openai = OpenAIFoundationModel(model_id="gpt-judge")
    openai.provider.credentials = OpenAICredentials(api_key="sk-open", url="https://openai.example")
    portkey = PortKeyGateway(model_id="pk-model")
    portkey.provider.credentials = PortKeyCredentials(api_key="pk", url="https://pk.example", provider_api_key="inner")
    vertex = VertexAIFoundationModel(model_id="gemini-v")
    vertex.provider.credentials = VertexAICredentials(credentials_path="/k.json", project_id="p", location="eu")
    bedrock = AWSBedrockFoundationModel(model_id="claude-b", parameters={"max_tokens": 9})
    bedrock.provider.credentials = AWSBedrockCredentials(aws_access_key_id="A", aws_secret_access_key="S")
    return {
        "nimbal": nimbal_model({"url": "https://nimbal.example", "api_key": "k"}, project_id="proj"),
        "openai": openai,
        "portkey": portkey,
        "vertex": vertex,
        "bedrock": bedrock,
        "google": GoogleAIStudioFoundationModel(model_id="gemini-g"),
        "azure": AzureOpenAIFoundationModel(model_id="gpt-azure"),
    }


def table(n: int = 2, **columns) -> pd.DataFrame:
    """A table of ``n`` records with identifiers, timestamps, a question and a response."""
    data = {
        "record_id": [f"r{i}" for i in range(n)],
        "record_timestamp": [f"2026-01-0{i + 1}T00:00:00" for i in range(n)],
        "question": [f"question {i}" for i in range(n)],
        "response": [f"response {i}" for i in range(n)],
    }
    data.update(columns)
    return pd.DataFrame(data)


class WordEncoder:
    """Stands in for a tiktoken encoding: a token per word or punctuation mark."""

    def encode(self, text: str) -> list[str]:
        if not isinstance(text, str):
            raise TypeError(f"encode takes a str, got {type(text).__name__}")
        return re.findall(r"\w+|[^\w\s]", text)


def recording_tiktoken(requested: list[str], encoding=None) -> types.SimpleNamespace:
    """A tiktoken namespace whose get_encoding records the name asked for and gives the real
    encoding, or ``encoding`` where a test needs one it controls."""

    def get_encoding(name: str):
        requested.append(name)
        return encoding if encoding is not None else tiktoken.get_encoding(name)

    return types.SimpleNamespace(get_encoding=get_encoding)


def tokens(text: str) -> int:
    """The real count: cl100k_base tokens of ``text``."""
    return len(tiktoken.get_encoding("cl100k_base").encode(text))


class LocalModel:
    """The model behind every judge engine during a test: answers each prompt through
    ``answer(prompt)`` and keeps the prompts it was sent, in order."""

    def __init__(self, answer: Callable[[str], str] | None = None):
        self.answer = answer or (lambda prompt: "Explanation: fine\nFeedback: none needed\nAnswer: Yes")
        self.prompts: list[str] = []
        self.engines: list[object] = []
        self._lock = threading.Lock()

    def __call__(self, prompt, engine) -> str:
        with self._lock:
            self.prompts.append(prompt)
            self.engines.append(engine)
        return self.answer(prompt)
