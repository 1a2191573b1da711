"""Criteria judged by a language model: the parts the tessaly SDK uses.

A ``DirectJudge`` renders one prompt per instance from a ``Criteria`` (its
description and scored options) and the instance's fields, asks its inference
engine for the answers and reads the chosen option back.  The engine is any
object with ``infer(prompts) -> list[str]`` (the engines of ``tabulo.inference``
are such objects); nothing here opens a network connection.
"""

from verdra.judges import (
    Criteria,
    CriteriaOption,
    DirectInstanceResult,
    DirectJudge,
    Instance,
    parse_answer,
)

__all__ = [
    "Criteria",
    "CriteriaOption",
    "DirectInstanceResult",
    "DirectJudge",
    "Instance",
    "parse_answer",
]
