"""Finding tool calls in record cells and describing tool functions."""

import json
import math
from typing import Literal, Optional

import pandas as pd
import pytest

from tessaly.providers.tool_call_metric_provider import ToolCallMetricProvider

extract = ToolCallMetricProvider.extract_tool_calls_from_response

CALL = {"id": "c1", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Oslo"}'}}


class TestExtractToolCalls:
    @pytest.mark.parametrize(
        "cell",
        [
            [CALL],
            json.dumps([CALL]),
            {"role": "assistant", "content": None, "tool_calls": [CALL]},
            {"choices": [{"message": {"role": "assistant", "tool_calls": [CALL]}}, {"message": {"tool_calls": []}}]},
            json.dumps({"choices": [{"message": {"tool_calls": [CALL]}}]}),
            CALL,
        ],
        ids=["list", "json-list", "message", "completion", "json-completion", "single-call"],
    )
    def test_shapes_holding_one_call(self, cell):
        assert extract(cell) == [CALL]

    @pytest.mark.parametrize(
        "cell",
        [None, math.nan, pd.NA, "", "  ", [], {"tool_calls": None}, {"choices": []},
         {"choices": [{"message": {"role": "assistant", "content": "Hi"}}]}, {"role": "assistant", "content": "Hi"}],
    )
    def test_cells_without_calls(self, cell):
        assert extract(cell) == []

    def test_calls_are_handed_on_not_copied(self):
        cell = [CALL]
        assert extract(cell)[0] is CALL

    @pytest.mark.parametrize(
        "cell, error, match",
        [
            ("[{not json", ValueError, "not valid JSON"),
            ({"answer": 42}, ValueError, "Cannot find tool calls"),
            ({"tool_calls": "get_weather"}, TypeError, "must be a list"),
            (["get_weather"], TypeError, "Tool call 0 must be a mapping"),
            (42, TypeError, "must be a list"),
        ],
    )
    def test_unusable_cells(self, cell, error, match):
        with pytest.raises(error, match=match):
            extract(cell)


def get_weather(city: str, days: int, unit: Literal["c", "f"] = "c", hourly: Optional[bool] = None,
                tags: list[str] = (), *args, **kwargs) -> str:
    """Weather forecast of a city.

    Args:
        city: Name of the city.
        days: How many days ahead,
            counted from today.
        unit: Temperature unit.

    Returns:
        The forecast.
    """
    return ""


def no_docs(x, y: float):
    return x


class TestToolSchemas:
    def test_schema_from_signature_and_docstring(self):
        (schema,) = ToolCallMetricProvider.get_tools_list_schema([get_weather])
        assert schema.model_dump() == {
            "type": "function",
            "function": {
                "name": "get_weather",
                "description": "Weather forecast of a city.",
                "parameters": {
                    "type": "object",
                    "properties": {
                        "city": {"type": "string", "description": "Name of the city."},
                        "days": {"type": "integer", "description": "How many days ahead, counted from today."},
                        "unit": {"enum": ["c", "f"], "type": "string", "description": "Temperature unit.",
                                 "default": "c"},
                        "hourly": {"type": "boolean", "default": None},
                        "tags": {"type": "array", "items": {"type": "string"}, "default": []},
                    },
                    "required": ["city", "days"],
                },
            },
        }

    def test_unannotated_parameters_take_anything(self):
        (schema,) = ToolCallMetricProvider.get_tools_list_schema([no_docs])
        assert schema.model_dump()["function"] == {
            "name": "no_docs", "description": "",
            "parameters": {"type": "object", "properties": {"x": {}, "y": {"type": "number"}}, "required": ["x", "y"]},
        }

    @pytest.mark.parametrize(
        "tools, error, match",
        [
            ({"get_weather": get_weather}, TypeError, "must be a list"),
            ([get_weather, "get_weather"], TypeError, r"tools\[1\]"),
            ([lambda city: city], ValueError, "no usable name"),
            ([get_weather, get_weather], ValueError, "Two tools"),
        ],
    )
    def test_unusable_tools(self, tools, error, match):
        with pytest.raises(error, match=match):
            ToolCallMetricProvider.get_tools_list_schema(tools)
