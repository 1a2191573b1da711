"""Options of a criterion judged by a language model."""

from pydantic import BaseModel


class Option(BaseModel):
    """One answer the judge may choose, and the score it stands for."""

    name: str
    description: str = ""
    value: float | None = None
