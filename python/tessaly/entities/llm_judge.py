"""The language model that judges records."""

from pydantic import BaseModel

from tessaly.entities.foundation_model import FoundationModel


class LLMJudge(BaseModel):
    model: FoundationModel
