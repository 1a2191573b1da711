"""Tool calls and tool catalogues of agentic records.

``ToolCallMetricProvider.extract_tool_calls_from_response`` finds the tool calls in
one record's cell, whatever shape the application logged them in, and
``get_tools_list_schema`` describes tool functions the way chat-completion APIs
expect (``{"type": "function", "function": {"name", "description", "parameters"}}``).
"""

from __future__ import annotations

import enum
import functools
import inspect
import json
import re
import types
import typing
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal

import numpy as np
import pandas as pd
from pydantic import BaseModel, Field


class ToolParameters(BaseModel):
    """JSON schema of a tool's arguments."""

    type: Literal["object"] = "object"
    properties: dict[str, dict[str, Any]] = Field(default_factory=dict)
    required: list[str] = Field(default_factory=list)


class ToolFunction(BaseModel):
    name: str = Field(min_length=1)
    description: str = ""
    parameters: ToolParameters = Field(default_factory=ToolParameters)


class ToolSchema(BaseModel):
    """One entry of a tool catalogue."""

    type: Literal["function"] = "function"
    function: ToolFunction


_SIMPLE_TYPES: dict[Any, str] = {
    str: "string",
    int: "integer",
    float: "number",
    bool: "boolean",
    list: "array",
    tuple: "array",
    set: "array",
    frozenset: "array",
    dict: "object",
    type(None): "null",
}
_NAMED_TYPES = {t.__name__: name for t, name in _SIMPLE_TYPES.items() if t is not type(None)} | {"None": "null"}


def _json_schema(annotation: Any) -> dict[str, Any]:
    """JSON schema of a parameter annotation; {} (anything) for what it cannot express."""
    if annotation is inspect.Parameter.empty or annotation is Any:
        return {}
    if isinstance(annotation, str):  # an annotation left unresolved: only the plain type names are known
        name = annotation.strip()
        return {"type": _NAMED_TYPES[name]} if name in _NAMED_TYPES else {}
    if annotation is None:
        return {"type": "null"}
    if inspect.isclass(annotation) and annotation in _SIMPLE_TYPES:
        return {"type": _SIMPLE_TYPES[annotation]}
    if inspect.isclass(annotation):
        if issubclass(annotation, enum.Enum):
            values = [member.value for member in annotation]
            kinds = {_SIMPLE_TYPES.get(type(v)) for v in values}
            schema: dict[str, Any] = {"enum": values}
            if len(kinds) == 1 and None not in kinds:
                schema["type"] = kinds.pop()
            return schema
        if issubclass(annotation, BaseModel):
            return annotation.model_json_schema()
        # Subclasses of the built-in types; bool before int, which it derives from.
        for base in (bool, int, float, str, dict, list, tuple, set, frozenset):
            if issubclass(annotation, base):
                return {"type": _SIMPLE_TYPES[base]}
        for base, name in ((Mapping, "object"), (Sequence, "array")):
            if issubclass(annotation, base) and not issubclass(annotation, (str, bytes)):
                return {"type": name}
        return {}
    origin = typing.get_origin(annotation)
    arguments = typing.get_args(annotation)
    if origin is typing.Annotated:
        schema = _json_schema(arguments[0])
        descriptions = [a for a in arguments[1:] if isinstance(a, str)]
        if descriptions:
            schema["description"] = descriptions[0]
        return schema
    if origin is Literal:
        schema = {"enum": list(arguments)}
        kinds = {_SIMPLE_TYPES.get(type(v)) for v in arguments}
        if len(kinds) == 1 and None not in kinds:
            schema["type"] = kinds.pop()
        return schema
    if origin in (typing.Union, types.UnionType):
        options = [a for a in arguments if a is not type(None)]
        if len(options) == 1:  # Optional[X]: the value may also be omitted or null
            return _json_schema(options[0])
        schemas = [_json_schema(a) for a in options]
        return {} if any(not s for s in schemas) else {"anyOf": schemas}
    if origin is not None and inspect.isclass(origin):
        schema = _json_schema(origin)
        if schema.get("type") == "array" and arguments and arguments[-1] is not Ellipsis:
            item = _json_schema(arguments[0])
            if item:
                schema["items"] = item
        return schema
    return {}


_SECTION = re.compile(r"^\s*(Args|Arguments|Parameters|Params|Returns?|Raises|Yields|Examples?|Notes?)\s*:?\s*$",
                      re.IGNORECASE)
_ARG_LINE = re.compile(r"^\s*\*{0,2}(\w+)\s*(?:\(([^)]*)\))?\s*:\s*(.*)$")
_SPHINX_PARAM = re.compile(r"^\s*:param\s+(?:[^:]*\s)?(\w+)\s*:\s*(.*)$")


def _parse_docstring(doc: str | None) -> tuple[str, dict[str, str]]:
    """(description, {parameter: description}) from a Google- or Sphinx-style docstring."""
    if not doc:
        return "", {}
    lines = inspect.cleandoc(doc).splitlines()
    summary: list[str] = []
    arguments: dict[str, str] = {}
    section = None
    current = None
    for line in lines:
        sphinx = _SPHINX_PARAM.match(line)
        if sphinx:
            current = sphinx.group(1)
            arguments[current] = sphinx.group(2).strip()
            section = "sphinx"
            continue
        if line.strip().startswith(":"):
            section, current = "sphinx-other", None
            continue
        heading = _SECTION.match(line)
        if heading:
            section = "args" if heading.group(1).lower() in ("args", "arguments", "parameters", "params") else "other"
            current = None
            continue
        if section is None:
            summary.append(line)
        elif section == "args":
            entry = _ARG_LINE.match(line)
            if entry and (len(line) - len(line.lstrip())) <= 4:
                current = entry.group(1)
                arguments[current] = entry.group(3).strip()
            elif current and line.strip():
                arguments[current] = (arguments[current] + " " + line.strip()).strip()
        elif section == "sphinx" and current and line.strip():
            arguments[current] = (arguments[current] + " " + line.strip()).strip()
    description = "\n".join(summary).strip()
    return description, arguments


def _tool_name(tool: Callable) -> str:
    if isinstance(tool, functools.partial):
        tool = tool.func
    name = getattr(tool, "__name__", None)
    if not isinstance(name, str) or not name or name == "<lambda>":
        raise ValueError(f"The tool {tool!r} has no usable name; give it a named function.")
    return name


def _is_missing(value: Any) -> bool:
    return value is None or (pd.api.types.is_scalar(value) and pd.isna(value))


class ToolCallMetricProvider:
    """Tool-call helpers of the tool-call metrics; all methods are static."""

    @staticmethod
    def extract_tool_calls_from_response(response: Any) -> list[dict]:
        """The tool calls held by one record's cell.

        Accepted cells: a list (or tuple) of tool calls; a mapping with "tool_calls"
        (a chat message or a response object); an OpenAI-style completion
        {"choices": [{"message": {"tool_calls": [...]}}]} (its first choice); a single
        tool call {"function": {...}}; a message without tool calls; the JSON text of
        any of these; objects with ``model_dump()``. None, NaN and empty texts give [].
        Each tool call is a mapping with "function": {"name", "arguments"}; the
        mappings are returned as they are (not copied).

        Raises ValueError for a text that is not JSON or a mapping in which no tool
        calls can be found, TypeError for cells or tool calls of another type.
        """
        if hasattr(response, "model_dump") and callable(response.model_dump):
            response = response.model_dump()
        if isinstance(response, (str, bytes)):
            text = response.decode("utf-8") if isinstance(response, bytes) else response
            if not text.strip():
                return []
            try:
                response = json.loads(text)
            except ValueError as exc:
                raise ValueError(f"The tool calls cell is not valid JSON: {exc}") from None
        if isinstance(response, np.ndarray):
            response = response.tolist()
        if _is_missing(response):
            return []
        if isinstance(response, Mapping):
            if "tool_calls" in response:
                calls = response["tool_calls"]
            elif "choices" in response:
                choices = response["choices"]
                if not isinstance(choices, (list, tuple)):
                    raise TypeError(f"'choices' must be a list, got {type(choices).__name__}")
                if not choices:
                    return []
                first = choices[0]
                if hasattr(first, "model_dump"):
                    first = first.model_dump()
                message = first.get("message") if isinstance(first, Mapping) else None
                if message is None:
                    return []
                return ToolCallMetricProvider.extract_tool_calls_from_response(message)
            elif "function" in response:
                calls = [response]
            elif "role" in response or "content" in response:
                return []  # a message without tool calls
            else:
                raise ValueError(
                    "Cannot find tool calls in the mapping: expected 'tool_calls', 'choices' or 'function', "
                    f"got the keys {sorted(map(str, response))[:10]}"
                )
        else:
            calls = response
        if isinstance(calls, np.ndarray):
            calls = calls.tolist()
        if _is_missing(calls):
            return []
        if not isinstance(calls, (list, tuple)):
            raise TypeError(f"Tool calls must be a list, got {type(calls).__name__}")
        result = []
        for index, call in enumerate(calls):
            if hasattr(call, "model_dump") and callable(call.model_dump):
                call = call.model_dump()
            if not isinstance(call, Mapping):
                raise TypeError(f"Tool call {index} must be a mapping, got {type(call).__name__}")
            result.append(call)
        return result

    @staticmethod
    def get_tool_schema(tool: Callable) -> ToolSchema:
        """The catalogue entry of one tool function, from its signature and docstring."""
        if not callable(tool):
            raise TypeError(f"A tool must be callable, got {type(tool).__name__}")
        name = _tool_name(tool)
        try:
            signature = inspect.signature(tool)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"Cannot read the signature of the tool {name!r}: {exc}") from None
        target = tool.func if isinstance(tool, functools.partial) else tool
        try:
            hints = typing.get_type_hints(target, include_extras=True)
        except Exception:  # unresolvable forward references: fall back to the raw annotations
            hints = {}
        description, argument_docs = _parse_docstring(inspect.getdoc(tool))
        properties: dict[str, dict[str, Any]] = {}
        required: list[str] = []
        for parameter in signature.parameters.values():
            if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
                continue
            if parameter.name in ("self", "cls"):
                continue
            schema = _json_schema(hints.get(parameter.name, parameter.annotation))
            if parameter.name in argument_docs and argument_docs[parameter.name]:
                schema.setdefault("description", argument_docs[parameter.name])
            if parameter.default is parameter.empty:
                required.append(parameter.name)
            else:
                try:  # as JSON gives it back: a tuple default becomes a list
                    schema["default"] = json.loads(json.dumps(parameter.default, allow_nan=False))
                except (TypeError, ValueError):
                    pass  # a default JSON cannot express is left out
            properties[parameter.name] = schema
        return ToolSchema(
            function=ToolFunction(
                name=name,
                description=description,
                parameters=ToolParameters(properties=properties, required=required),
            )
        )

    @classmethod
    def get_tools_list_schema(cls, tools: Sequence[Callable]) -> list[ToolSchema]:
        """The catalogue entries of a list of tool functions, in order.

        Raises TypeError when ``tools`` is not a list or tuple or holds something that
        is not callable, ValueError for a tool without a usable name or for two tools
        of the same name.
        """
        if not isinstance(tools, (list, tuple)):
            raise TypeError(f"tools must be a list of functions, got {type(tools).__name__}")
        schemas = []
        seen: set[str] = set()
        for index, tool in enumerate(tools):
            if not callable(tool):
                raise TypeError(f"tools[{index}] must be a function, got {type(tool).__name__}")
            schema = cls.get_tool_schema(tool)
            if schema.function.name in seen:
                raise ValueError(f"Two tools are named {schema.function.name!r}")
            seen.add(schema.function.name)
            schemas.append(schema)
        return schemas
