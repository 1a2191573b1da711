"""Inference engines: how a judge asks a model.

No engine here opens a connection.  Each keeps the keyword arguments it was built
with (``engine.kwargs``, also readable as attributes, e.g. ``engine.model_name``)
and answers prompts through a *responder*: a callable ``responder(prompt, engine)``
that returns the model's answer as a text.  ``prompt`` is a text, or a list of
chat messages (dictionaries with "role" and "content") when the judge uses
``ChatAPIFormat``.

A responder is found, in this order:

1. the one given to the engine itself (``responder=...``, not kept in ``kwargs``);
2. one set for the engine's class or one of its base classes
   (``set_responder(fn, engine=OpenAiInferenceEngine)``);
3. the one set for every engine (``set_responder(fn)``).

``local_responder(fn, engine=None)`` sets one for the duration of a ``with`` block.
An engine asked to infer without any responder raises ``NoResponderError``.

With ``use_cache=True`` an engine answers a prompt it has seen before from its own
memory instead of asking the responder again.
"""

from __future__ import annotations

import json
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from tabulo.logging_utils import get_logger

Responder = Callable[[Any, "InferenceEngine"], str]

logger = get_logger("inference")

_ALL = object()  # registry key of the responder for every engine
_responders: dict[Any, Responder] = {}
_responders_lock = threading.Lock()


class NoResponderError(RuntimeError):
    """An engine was asked to infer, but no local responder answers for it."""


def _check_engine_class(engine) -> Any:
    if engine is None:
        return _ALL
    if not (isinstance(engine, type) and issubclass(engine, InferenceEngine)):
        raise TypeError(f"engine must be an InferenceEngine subclass or None, got {engine!r}")
    return engine


def set_responder(responder: Responder | None, *, engine: type | None = None) -> None:
    """Answer the prompts of ``engine`` (a class, with its subclasses) or, by default, of
    every engine with ``responder``; None removes the responder set there."""
    key = _check_engine_class(engine)
    if responder is not None and not callable(responder):
        raise TypeError(f"responder must be callable or None, got {type(responder).__name__}")
    with _responders_lock:
        if responder is None:
            _responders.pop(key, None)
        else:
            _responders[key] = responder


def get_responder(engine: type | None = None) -> Responder | None:
    """The responder set for exactly ``engine`` (a class) or for every engine (None)."""
    key = _check_engine_class(engine)
    with _responders_lock:
        return _responders.get(key)


def clear_responders() -> None:
    """Remove every responder set with ``set_responder``."""
    with _responders_lock:
        _responders.clear()


@contextmanager
def local_responder(responder: Responder, *, engine: type | None = None) -> Iterator[Responder]:
    """Set ``responder`` for the block; the previous one (or none) is restored afterwards."""
    previous = get_responder(engine)
    set_responder(responder, engine=engine)
    try:
        yield responder
    finally:
        set_responder(previous, engine=engine)


def _prompt_key(prompt) -> str:
    return json.dumps(prompt, sort_keys=True, default=repr)


class InferenceEngine:
    """Base of all engines.  Subclasses name the keyword arguments they require."""

    required: tuple[str, ...] = ()

    def __init__(self, *, responder: Responder | None = None, **kwargs: Any):
        missing = [name for name in self.required if name not in kwargs]
        if missing:
            raise TypeError(f"{type(self).__name__} needs the keyword arguments: {', '.join(missing)}")
        credentials = kwargs.get("credentials")
        if credentials is not None and not isinstance(credentials, dict):
            raise TypeError(
                f"{type(self).__name__}: credentials must be a dictionary, got {type(credentials).__name__}"
            )
        if responder is not None and not callable(responder):
            raise TypeError(f"responder must be callable or None, got {type(responder).__name__}")
        self.kwargs: dict[str, Any] = dict(kwargs)
        self.responder = responder
        self._answers: dict[str, str] = {}
        self._answers_lock = threading.Lock()

    def __getattr__(self, name: str) -> Any:
        # Only called when normal lookup fails: the construction keywords read as attributes.
        kwargs = self.__dict__.get("kwargs")
        if kwargs is not None and name in kwargs:
            return kwargs[name]
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    @property
    def use_cache(self) -> bool:
        return bool(self.kwargs.get("use_cache", False))

    def find_responder(self) -> Responder:
        if self.responder is not None:
            return self.responder
        with _responders_lock:
            for cls in type(self).__mro__:
                if cls in _responders:
                    return _responders[cls]
            if _ALL in _responders:
                return _responders[_ALL]
        raise NoResponderError(
            f"{type(self).__name__} cannot reach a model: this tabulo build answers prompts only "
            "through a local responder. Plug one in with "
            "tabulo.inference.set_responder(fn) (or engine=<engine class>), "
            "tabulo.inference.local_responder(fn), or the engine's responder= argument."
        )

    def infer(self, prompts: Sequence) -> list[str]:
        """The model's answers to ``prompts``, in order."""
        if isinstance(prompts, (str, bytes)) or not isinstance(prompts, Sequence):
            raise TypeError(f"prompts must be a sequence of prompts, got {type(prompts).__name__}")
        prompts = list(prompts)
        if not prompts:
            return []
        if not self.use_cache:
            return self._check_answers(self._infer(prompts), len(prompts))
        keys = [_prompt_key(p) for p in prompts]
        with self._answers_lock:
            todo = [i for i, key in enumerate(keys) if key not in self._answers]
        if todo:
            fresh = self._check_answers(self._infer([prompts[i] for i in todo]), len(todo))
            with self._answers_lock:
                for i, answer in zip(todo, fresh):
                    self._answers[keys[i]] = answer
        with self._answers_lock:
            return [self._answers[key] for key in keys]

    def _infer(self, prompts: list) -> list[str]:
        responder = self.find_responder()
        logger.debug("%s answering %d prompts", type(self).__name__, len(prompts))
        return [responder(prompt, self) for prompt in prompts]

    def _check_answers(self, answers, expected: int) -> list[str]:
        answers = list(answers)
        if len(answers) != expected:
            raise ValueError(f"{type(self).__name__} gave {len(answers)} answers for {expected} prompts")
        for i, answer in enumerate(answers):
            if not isinstance(answer, str):
                raise TypeError(
                    f"{type(self).__name__}: the answer to prompt {i} is a {type(answer).__name__}, not a text"
                )
        return answers

    def __repr__(self) -> str:
        shown = {k: ("***" if k == "credentials" and v else v) for k, v in self.kwargs.items()}
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in shown.items())})"


class RivetInferenceEngineGeneration(InferenceEngine):
    """Text generation on the model-hosting service (credentials: url, api_key or
    username/password, project_id or space_id)."""

    required = ("model_name",)


class OpenAiInferenceEngine(InferenceEngine):
    """OpenAI chat completions."""

    required = ("model_name",)


class AzureOpenAIInferenceEngine(InferenceEngine):
    """OpenAI models deployed on Azure."""

    required = ("model_name",)


class LiteLLMInferenceEngine(InferenceEngine):
    """Any provider through the LiteLLM client; extra keywords are generation parameters."""

    required = ("model",)


class CrossProviderInferenceEngine(InferenceEngine):
    """One interface over several providers, chosen by the ``provider`` keyword."""

    required = ("model",)
