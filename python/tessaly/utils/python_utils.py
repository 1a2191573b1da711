"""Small data and timing helpers."""

import ast
import json
import logging
import time
from collections import deque
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np
import pandas as pd

logger = logging.getLogger(__name__)

# (label, seconds) of the latest timed blocks, newest last.
recorded_durations: deque[tuple[str, float]] = deque(maxlen=1000)


def transform_str_to_list(cell: Any) -> list:
    """The list of texts held by one table cell.

    A cell may hold a list already (returned as it is), a tuple or an array, a
    list written as text in JSON or Python notation ("['a', 'b']", whose items
    become texts), a single plain text (a one-element list), or nothing (None,
    NaN: an empty list). A text that looks like a list but cannot be read raises
    ValueError; a cell of any other type, TypeError.
    """
    if isinstance(cell, list):
        return cell
    if isinstance(cell, str):
        text = cell.strip()
        if not text:
            return []
        if not (text.startswith("[") and text.endswith("]")):
            return [cell]
        try:
            parsed = json.loads(text)
        except ValueError:
            try:
                parsed = ast.literal_eval(text)
            except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
                parsed = None
        if not isinstance(parsed, (list, tuple)):
            raise ValueError(f"Cannot read a list from the text {cell[:200]!r}")
        return [item if isinstance(item, str) else str(item) for item in parsed]
    if pd.api.types.is_scalar(cell):
        if pd.isna(cell):
            return []
    elif isinstance(cell, tuple):
        return list(cell)
    elif isinstance(cell, (np.ndarray, pd.Series)):
        return cell.tolist()
    raise TypeError(f"Expected a list or a text, got {type(cell).__name__}")


def get_authenticator_token(authenticator: Any) -> str:
    """The bearer token that a monitoring-client authenticator issues."""
    token_manager = getattr(authenticator, "token_manager", None)
    if token_manager is not None:
        return token_manager.get_token()
    bearer_token = getattr(authenticator, "bearer_token", None)
    if bearer_token is not None:
        return bearer_token
    raise TypeError(
        f"Cannot obtain a bearer token from {type(authenticator).__name__}: "
        "it has neither a token manager nor a bearer token."
    )


@contextmanager
def track_duration(label: str) -> Iterator[None]:
    """Time the surrounded block into ``recorded_durations`` (and the debug log).

    The time is recorded whether or not the block raises; its exception is not suppressed.
    """
    start = time.perf_counter()
    try:
        yield
    finally:
        seconds = time.perf_counter() - start
        recorded_durations.append((label, seconds))
        logger.debug("%s took %.3f s", label, seconds)
