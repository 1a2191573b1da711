"""Judge tasks (which fields a judgement reads) and templates (how the prompt reads
and how the judge's answer becomes a score)."""

from __future__ import annotations

import math
import re
from typing import Any


class Task:
    """The fields a judgement reads.  ``prediction`` is the field being judged: the judge
    takes it from the instance field named by its ``prediction_field``."""

    def __init__(self, name: str, input_fields: list[str], prediction: str):
        if prediction not in input_fields:
            raise ValueError(f"task {name!r}: the prediction {prediction!r} must be one of its fields")
        self.name = name
        self.input_fields = list(input_fields)
        self.prediction = prediction

    def __repr__(self) -> str:
        return f"Task({self.name!r}, input_fields={self.input_fields!r}, prediction={self.prediction!r})"


def render_value(value: Any) -> str:
    """A field's value as prompt text: lists as numbered lines, everything else as text."""
    if isinstance(value, (list, tuple)):
        return "\n".join(f"[{i}] {item}" for i, item in enumerate(value, start=1))
    return str(value)


class Template:
    """A prompt with ``{field}`` placeholders, and the reading of the judge's answer.

    ``realisation`` is "verbal" (the judge answers Yes or No: 1.0 or 0.0) or "numeric"
    (the judge answers a number from 0 to 10: that number divided by 10).  An answer that
    cannot be read scores NaN.
    """

    _YES_NO = re.compile(r"\b(yes|no)\b", re.IGNORECASE)
    _NUMBER = re.compile(r"[-+]?\d+(?:\.\d+)?")

    def __init__(self, name: str, text: str, realisation: str):
        if realisation not in ("verbal", "numeric"):
            raise ValueError(f"realisation must be 'verbal' or 'numeric', got {realisation!r}")
        self.name = name
        self.text = text
        self.realisation = realisation
        self.fields = sorted(set(re.findall(r"\{(\w+)\}", text)))

    def render(self, values: dict[str, Any]) -> str:
        return self.text.format(**{field: render_value(values[field]) for field in self.fields})

    def parse(self, answer: str) -> float:
        if self.realisation == "verbal":
            match = self._YES_NO.search(answer)
            if not match:
                return math.nan
            return 1.0 if match.group(1).lower() == "yes" else 0.0
        match = self._NUMBER.search(answer)
        if not match:
            return math.nan
        number = float(match.group(0))
        return number / 10.0 if 0.0 <= number <= 10.0 else math.nan

    def __repr__(self) -> str:
        return f"Template({self.name!r}, realisation={self.realisation!r})"
