"""Which columns of the data hold what, and the judge model to use."""

from collections.abc import Callable
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, field_validator

from tessaly.entities.llm_judge import LLMJudge


class GenAIConfiguration(BaseModel):
    """Column names of a table of records of a generative-AI application.

    Element 0 of each list is the column most metrics use. ``output_fields`` may
    be empty or None when the data has no generated output; the other lists
    may be given as None, meaning no such columns.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    input_fields: list[str] = ["input_text"]
    output_fields: list[str] | None = ["generated_text"]
    context_fields: list[str] = ["context"]
    reference_fields: list[str] = ["ground_truth"]
    record_id_field: str = Field(default="record_id", min_length=1)
    record_timestamp_field: str = Field(default="record_timestamp", min_length=1)
    tool_calls_field: str | None = None
    tools: list[Callable | dict[str, Any]] | None = None  # tool functions or tool definitions
    llm_judge: LLMJudge | None = None

    @field_validator("input_fields", "context_fields", "reference_fields", mode="before")
    @classmethod
    def _none_is_empty(cls, value):
        return [] if value is None else value


class AgenticAIConfiguration(GenAIConfiguration):
    """Configuration of an agentic application, whose records carry tool calls."""

    tool_calls_field: str | None = "tool_calls"
