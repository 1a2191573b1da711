"""ScreeningProvider: request bodies as the detection service receives them, tool-call content.

Every body must be exactly what the standard JSON encoder writes, with its default
settings, for the body the metric calls for.
"""

from __future__ import annotations

import asyncio
import copy
import datetime as dt
import json
import math
import types
import warnings
from decimal import Decimal
from enum import IntEnum

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import BaseModel

from screening_kit import (
    CHAT_PATH,
    CONTEXT_PATH,
    GENERATED_PATH,
    PLAIN_PATH,
    api_client,
    assert_wrapped,
    configuration,
    object_table,
    scored,
    table,
)
from tessaly.providers import screening_provider as sp
from tessaly.providers.tool_call_metric_provider import ToolCallMetricProvider



def bodies_by_key(detector) -> dict:
    """Body bytes of every request, by the record text they carry (arrival order varies)."""
    found = {}
    for seen in detector.requests:
        assert seen.key not in found, f"two requests for {seen.key!r}"
        found[seen.key] = seen.body
    return found


def encoded(body) -> bytes:
    return json.dumps(body).encode("ascii")


# --------------------------------------------------------------------------
# Bodies per metric
# --------------------------------------------------------------------------


def test_hap_body_is_exactly_the_default_encoding(detector, make_provider):
    make_provider("hap").evaluate(table(["hello"]))
    (seen,) = detector.requests
    assert seen.body == b'{"detectors": {"hap": {}}, "input": "hello"}'


CASES = [
    pytest.param(
        "answer_relevance", None, {}, {},
        lambda i: {"detectors": {"answer_relevance": {}}, "prompt": f"q{i}",
                   "generated_text": f"a{i}"},
        GENERATED_PATH, id="answer_relevance",
    ),
    pytest.param(
        "context_relevance", None, {}, {"context": ["['c0 one', 'c0 two']", "c1 only"]},
        lambda i: {"detectors": {"context_relevance": {}}, "input": f"q{i}",
                   "context_type": "docs",
                   "context": [["c0 one", "c0 two"], ["c1 only"]][i]},
        CONTEXT_PATH, id="context_relevance-one-column",
    ),
    pytest.param(
        "faithfulness", None, {}, {"context": ['["c0"]', "c1"]},
        lambda i: {"detectors": {"faithfulness": {}}, "input": f"a{i}", "context_type": "docs",
                   "context": [f"c{i}"]},
        CONTEXT_PATH, id="faithfulness-input-is-the-output",
    ),
    pytest.param(
        "faithfulness", None, {"context_fields": ["second", "first"]},
        {"first": ["f0", "f1"], "second": ["s0", "s1"]},
        lambda i: {"detectors": {"faithfulness": {}}, "input": f"a{i}", "context_type": "docs",
                   "context": [f"s{i}", f"f{i}"]},
        CONTEXT_PATH, id="faithfulness-two-columns-in-configured-order",
    ),
    pytest.param(
        "context_relevance", None, {"context_fields": ["first", "second", "third"]},
        {"first": ["f0", "f1"], "second": ["s0", "s1"], "third": ["t0", "t1"]},
        lambda i: {"detectors": {"context_relevance": {}}, "input": f"q{i}",
                   "context_type": "docs", "context": [f"f{i}", f"s{i}", f"t{i}"]},
        CONTEXT_PATH, id="context_relevance-three-columns",
    ),
    pytest.param(
        "topic_relevance", None, {}, {},
        lambda i: {"detectors": {"topic_relevance": {}}, "input": f"q{i}"},
        PLAIN_PATH, id="topic_relevance",
    ),
    pytest.param(
        "pii", "sentinel", {"input_fields": ["question", "answer"]}, {},
        lambda i: {"detectors": {"pii": {}}, "input": f"q{i}"},
        PLAIN_PATH, id="extra-input-columns-ignored",
    ),
    pytest.param(
        "hap", None, {"input_fields": ["answer"]}, {},
        lambda i: {"detectors": {"hap": {}}, "input": f"a{i}"},
        PLAIN_PATH, id="input-column-from-configuration",
    ),
    pytest.param(
        "answer_relevance", None, {"output_fields": ["question", "answer"]}, {},
        lambda i: {"detectors": {"answer_relevance": {}}, "prompt": f"q{i}",
                   "generated_text": f"q{i}"},
        GENERATED_PATH, id="first-output-column-only",
    ),
    pytest.param(
        "jailbreak", None, {}, {},
        lambda i: {"detectors": {"stonewatch": {}}, "input": f"q{i}"},
        PLAIN_PATH, id="stonewatch-risk",
    ),
    pytest.param(
        "prompt_safety_risk", "stonewatch", {}, {},
        lambda i: {"detectors": {"stonewatch": {}}, "input": f"q{i}"},
        PLAIN_PATH, id="prompt-safety-by-stonewatch",
    ),
    pytest.param(
        "prompt_safety_risk", "sentinel", {}, {},
        lambda i: {"detectors": {"prompt_safety_risk": {}}, "input": f"q{i}"},
        PLAIN_PATH, id="prompt-safety-by-other-method",
    ),
]


@pytest.mark.parametrize("metric, method, config, columns, expected, path", CASES)
def test_bodies_per_metric(detector, make_provider, metric, method, config, columns,
                           expected, path):
    data = table(["q0", "q1"], answer=["a0", "a1"], **columns)
    before = data.copy()
    provider = make_provider(metric, method, config=configuration(**config))
    result = provider.evaluate(data)
    assert {seen.target for seen in detector.requests} == {path}
    keys = [expected(i)["prompt"] if "prompt" in expected(i) else expected(i)["input"]
            for i in range(2)]
    assert bodies_by_key(detector) == {keys[i]: encoded(expected(i)) for i in range(2)}
    assert [r.record_id for r in result.record_level_metrics] == ["r0", "r1"]
    pd.testing.assert_frame_equal(data, before)  # only tool calls are rewritten


@pytest.mark.parametrize(
    "params, written",
    [
        ("absent", {}),
        (None, {}),
        ({}, {}),
        ({"keywords": ["alpha", "beta"], "case_sensitive": False},
         {"keywords": ["alpha", "beta"], "case_sensitive": False}),
    ],
)
@pytest.mark.parametrize("metric", ["keyword", "faithfulness"])
def test_detector_params_fill_the_detector_entry(detector, make_provider, params, written,
                                                  metric):
    kwargs = {} if params == "absent" else {"detector_params": params}
    snapshot = copy.deepcopy(params)
    provider = make_provider(metric, **kwargs)
    provider.evaluate(table(["q0", "q1"], answer=["a0", "a1"], context=["c0", "c1"]))
    assert len(detector.requests) == 2
    for seen in detector.requests:
        body = seen.json()
        assert list(body)[0] == "detectors"
        assert body["detectors"] == {metric: written}
    if params != "absent":
        assert provider.detector_params is params and params == snapshot


@pytest.mark.parametrize(
    "text, fragment",
    [
        ("caf\u00e9", b'"caf\\u00e9"'),
        ("\U0001f600 smile", b'"\\ud83d\\ude00 smile"'),
        ("\u65e5\u672c", b'"\\u65e5\\u672c"'),
        ('quote " back \\ slash\nnew\ttab\x01', b'"quote \\" back \\\\ slash\\nnew\\ttab\\u0001"'),
        ("\u2028\u00a0", b'"\\u2028\\u00a0"'),
    ],
    ids=["latin", "emoji", "cjk", "controls", "separators"],
)
def test_text_is_written_in_ascii_with_escapes(detector, make_provider, text, fragment):
    make_provider("hap").evaluate(table([text]))
    (seen,) = detector.requests
    assert seen.body == encoded({"detectors": {"hap": {}}, "input": text})
    assert fragment in seen.body
    seen.body.decode("ascii")


def test_non_finite_numbers_are_written_as_javascript_literals(detector, make_provider):
    provider = make_provider("hap")
    provider.evaluate(table([math.nan, math.inf, -math.inf, 1.5]))
    written = sorted(seen.body for seen in detector.requests)
    assert written == sorted(
        f'{{"detectors": {{"hap": {{}}}}, "input": {literal}}}'.encode()
        for literal in ("NaN", "Infinity", "-Infinity", "1.5")
    )


def test_context_cells_are_read_through_the_sdk_helper(detector, make_provider, monkeypatch):
    seen_cells = []

    def helper(cell):
        seen_cells.append(cell)
        return [f"<{cell}>", "second"]

    monkeypatch.setattr(sp, "transform_str_to_list", helper)
    make_provider("context_relevance").evaluate(table(["q0", "q1"], context=["x", "y"]))
    assert seen_cells == ["x", "y"]
    bodies = bodies_by_key(detector)
    assert json.loads(bodies["q1"])["context"] == ["<y>", "second"]


# --------------------------------------------------------------------------
# Any JSON-writable cell: the body is the default encoding of it
# --------------------------------------------------------------------------


class Level(IntEnum):
    LOW = 1
    HIGH = 2


class Ratio(float):
    pass


class Count(int):
    pass


scalars = st.one_of(
    st.text(st.characters(exclude_categories=["Cs"]), max_size=12),
    st.integers(min_value=-(10**300), max_value=10**300),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.none(),
    st.integers(-50, 50).map(Count),
    st.floats(allow_nan=False, allow_infinity=False).map(Ratio),
    st.sampled_from(list(Level)),
)
keys = st.one_of(
    st.text(st.characters(exclude_categories=["Cs"]), max_size=6),
    st.integers(-1000, 1000),
    st.floats(allow_nan=False),
    st.booleans(),
    st.none(),
)
json_values = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(keys, children, max_size=4),
    ),
    max_leaves=12,
)


def test_every_character_needing_escape_is_found_wherever_it_stands_in_a_text():
    # Plain ASCII runs are scanned eight bytes at a time: each character that needs escaping
    # (and its neighbours in the byte order) at every place of texts of every length up to 40.
    special = [chr(c) for c in range(0x20)] + ['"', "\\", "\x7f", "\x80", "\xa0", "\xff", " ", "~", "!", "#", "[", "]"]
    texts = ["", "a" * 40]
    for length in range(1, 41):
        for place in range(length):
            for c in special:
                texts.append("x" * place + c + "y" * (length - place - 1))
    texts += ["\x1f" * 9, '"' * 17, "\\" * 16, "\xe9t\xe9" * 5, "ascii then \u20ac beyond latin-1 " * 2]
    provider = sp.ScreeningProvider(configuration(), "hap", "HAP", api_client=api_client("https://127.0.0.1:9"))
    bodies = provider._ScreeningProvider__get_json_payloads(texts, None, None, None, None)
    assert bodies == [json.dumps({"detectors": {"hap": {}}, "input": t}) for t in texts]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(value=json_values)
def test_any_writable_cell_is_sent_as_the_default_encoding(shared_detector, value):
    shared_detector.reset()
    provider = sp.ScreeningProvider(configuration(), "hap", "HAP",
                                    api_client=api_client(shared_detector.url))
    provider.evaluate(object_table("question", [value]))
    (seen,) = shared_detector.requests
    assert seen.body == json.dumps({"detectors": {"hap": {}}, "input": value}).encode("utf-8")


@pytest.mark.parametrize(
    "cell",
    [dt.datetime(2024, 5, 1, 12, 0), {1, 2}, b"raw bytes", Decimal("1.5"), object()],
    ids=["datetime", "set", "bytes", "decimal", "object"],
)
def test_unwritable_cell_fails_the_evaluation_before_any_connection(detector, make_provider,
                                                                    client_log, cell):
    data = object_table("question", ["fine", cell])
    provider = make_provider("hap")
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(data))
    type_name = type(data["question"].to_list()[1]).__name__
    assert_wrapped(raised.value, "hap", TypeError)
    assert str(raised.value.__context__) == f"Object of type {type_name} is not JSON serializable"
    assert client_log.sessions == []
    assert detector.requests == []


# --------------------------------------------------------------------------
# Failures while building bodies
# --------------------------------------------------------------------------


def _call(name, arguments):
    return {"id": f"call-{name}", "type": "function",
            "function": {"name": name, "arguments": arguments}}


EVALUATION_ERRORS = [
    pytest.param("hap", {"input_fields": ["missing"]}, {}, KeyError, id="missing-input-column"),
    pytest.param("hap", {"record_id_field": "missing_id"}, {}, KeyError, id="missing-id-column"),
    pytest.param("hap", {"input_fields": []}, {}, IndexError, id="no-input-column"),
    pytest.param("answer_relevance", {"output_fields": []}, {}, IndexError,
                 id="no-output-column"),
    pytest.param("faithfulness", {"output_fields": ["missing"]}, {}, KeyError,
                 id="missing-output-column"),
    pytest.param("faithfulness", {"context_fields": []}, {}, TypeError, id="no-context-field"),
    pytest.param("context_relevance", {"context_fields": []}, {}, TypeError,
                 id="no-context-field-relevance"),
    pytest.param("context_relevance", {"context_fields": ["a", "missing"]},
                 {"a": ["x", "y"]}, KeyError, id="missing-second-context-column"),
    pytest.param("context_relevance", {}, {"context": ["[a b]", "y"]}, ValueError,
                 id="unreadable-context-list"),
    pytest.param("tool_call_accuracy", {}, {"tool_calls": ["not json", "[]"]}, ValueError,
                 id="tool-calls-text-not-json"),
    pytest.param("tool_call_accuracy", {},
                 {"tool_calls": [json.dumps([_call("f", "{bad")]), "[]"]}, ValueError,
                 id="arguments-text-not-json"),
    pytest.param("tool_call_accuracy", {},
                 {"tool_calls": [json.dumps([{"id": "x", "type": "function"}]), "[]"]},
                 KeyError, id="call-without-function"),
    pytest.param("tool_call_accuracy", {},
                 {"tool_calls": [json.dumps([{"function": {"name": "f"}}]), "[]"]},
                 KeyError, id="call-without-arguments"),
]


@pytest.mark.parametrize("metric, config, columns, cause", EVALUATION_ERRORS)
def test_failures_while_building_bodies_are_wrapped(detector, make_provider, client_log,
                                                    tool_helper, metric, config, columns, cause):
    data = table(["q0", "q1"], answer=["a0", "a1"], context=["c0", "c1"],
                 tool_calls=["[]", "[]"])
    for name, cells in columns.items():
        data[name] = cells
    provider = make_provider(metric, config=configuration(**config))
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(data))
    error = raised.value
    assert_wrapped(error, metric, cause)
    # the synchronous entry reports the same failure
    with pytest.raises(Exception) as raised_again:
        provider.evaluate(data.copy())
    assert type(raised_again.value) is Exception
    assert str(raised_again.value) == str(error)
    assert detector.requests == [] and client_log.sessions == []


def test_record_ids_come_from_the_configured_column(detector, make_provider):
    data = pd.DataFrame({"question": ["q0", "q1", "q2"], "rid": ["id-b", "id-a", "id-c"]})
    detector.respond_by_key({"q0": scored(0.1), "q1": scored(0.2), "q2": scored(0.3)})
    provider = make_provider("jailbreak", config=configuration(record_id_field="rid"))
    result = provider.evaluate(data)
    assert [(r.record_id, r.value) for r in result.record_level_metrics] == [
        ("id-b", 0.1), ("id-a", 0.2), ("id-c", 0.3)
    ]


# --------------------------------------------------------------------------
# Tool calls and the tool catalogue
# --------------------------------------------------------------------------


class Schema(BaseModel):
    name: str
    doc: str | None


class RecordingToolHelper:
    """Stands for the SDK's tool-call helper and records how it is called.

    A cell that is a list is the list of calls; a mapping holds them under "calls".  The
    calls are handed back as a deep copy so that the table keeps what it was given.
    """

    def __init__(self):
        self.cells = []
        self.tool_lists = []

    def extract_tool_calls_from_response(self, cell):
        self.cells.append(copy.deepcopy(cell))
        calls = cell if isinstance(cell, list) else cell["calls"]
        return copy.deepcopy(calls)

    def get_tools_list_schema(self, tools):
        self.tool_lists.append(tools)
        return (Schema(name=tool.__name__, doc=tool.__doc__) for tool in tools)


@pytest.fixture
def tool_helper(monkeypatch):
    helper = RecordingToolHelper()
    monkeypatch.setattr(sp, "ToolCallMetricProvider", helper)
    return helper


def get_weather(city: str) -> str:
    """Weather of a city."""
    return city


def get_time(zone: str) -> str:
    """Time in a zone."""
    return zone


def undocumented(value):
    return value


class JsonText(str):
    pass


WEATHER_CALLS = [_call("get_weather", '{"city": "Paris", "days": [1, 2]}'),
                 _call("get_time", "{}")]
DECODED_WEATHER_CALLS = [_call("get_weather", {"city": "Paris", "days": [1, 2]}),
                         _call("get_time", {})]


def test_tool_call_bodies_and_the_rewritten_table(detector, make_provider, tool_helper):
    ready = [_call("get_time", {"zone": "UTC"})]  # already decoded: passed on as it is
    in_mapping = {"calls": [_call("get_weather", '"just text"')]}
    data = table(["q0", "q1", "q2"],
                 tool_calls=[json.dumps(WEATHER_CALLS), ready, json.dumps(in_mapping)])
    data["tool_calls"].to_list()  # a view of the column is out, as in a caller's code
    config = configuration(tools=[get_weather, get_time])
    provider = make_provider("tool_call_accuracy", config=config)
    with warnings.catch_warnings():
        # rewritten in place for real, under any pandas' copy semantics: no warning that the
        # assignment might go to a copy
        warnings.simplefilter("error")
        result = provider.evaluate(data)

    # the helper sees each row's decoded cell once, in row order
    assert tool_helper.cells == [WEATHER_CALLS, ready, in_mapping]
    assert len(tool_helper.tool_lists) == 1 and tool_helper.tool_lists[0] is config.tools
    # the caller's table now holds decoded cells; a decoded cell is the very same object
    assert data["tool_calls"].to_list() == [WEATHER_CALLS, ready, in_mapping]
    assert data["tool_calls"][1] is ready

    tools = [{"name": "get_weather", "doc": "Weather of a city."},
             {"name": "get_time", "doc": "Time in a zone."}]
    calls = {"q0": DECODED_WEATHER_CALLS, "q1": ready,
             "q2": [_call("get_weather", "just text")]}
    assert {seen.target for seen in detector.requests} == {CHAT_PATH}
    assert bodies_by_key(detector) == {
        key: encoded({
            "detectors": {"tool_call_accuracy": {}},
            "messages": [{"content": key, "role": "user"},
                         {"tool_calls": value, "role": "assistant"}],
            "tools": tools,
        })
        for key, value in calls.items()
    }
    assert [r.record_id for r in result.record_level_metrics] == ["r0", "r1", "r2"]


TOOLS = [
    pytest.param([get_weather, undocumented],
                 [{"name": "get_weather", "doc": "Weather of a city."},
                  {"name": "undocumented", "doc": None}], True, id="functions"),
    pytest.param([], [], True, id="empty-list"),
    pytest.param([{"type": "function", "function": {"name": "lookup"}}],
                 [{"type": "function", "function": {"name": "lookup"}}], False,
                 id="definitions"),
    pytest.param(None, None, False, id="None"),
]


@pytest.mark.parametrize("tools, sent, schema_asked", TOOLS)
def test_tool_catalogue(detector, make_provider, tool_helper, tools, sent, schema_asked):
    provider = make_provider("tool_call_accuracy", config=configuration(tools=tools))
    catalogue = provider.get_tools_catalog_content()
    assert catalogue == sent
    if not schema_asked:
        assert catalogue is provider.configuration.tools
    provider.evaluate(table(["q0", "q1"], tool_calls=["[]", "[]"]))
    for seen in detector.requests:
        assert seen.json()["tools"] == sent
    assert len(tool_helper.tool_lists) == (2 if schema_asked else 0)


@pytest.mark.parametrize(
    "tools, cause, text",
    [
        ([get_weather, {"name": "x"}], TypeError, "Object of type function is not JSON serializable"),
        ((get_weather,), TypeError,
         "Argument 'tools_catalog_content' has incorrect type (expected list, got tuple)"),
        (({"name": "x"},), TypeError,
         "Argument 'tools_catalog_content' has incorrect type (expected list, got tuple)"),
        ({"name": "x"}, TypeError,
         "Argument 'tools_catalog_content' has incorrect type (expected list, got dict)"),
    ],
    ids=["mixed-list", "tuple-of-functions", "tuple-of-definitions", "mapping"],
)
def test_catalogue_that_cannot_be_sent(detector, make_provider, tool_helper, tools, cause, text):
    config = types.SimpleNamespace(input_fields=["question"], record_id_field="record_id",
                                   tool_calls_field="tool_calls", tools=tools)
    provider = make_provider("tool_call_accuracy", config=config)
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(table(["q0"], tool_calls=["[]"])))
    assert_wrapped(raised.value, "tool_call_accuracy", cause)
    assert str(raised.value.__context__) == text
    assert detector.requests == [] and tool_helper.tool_lists == []


@pytest.mark.parametrize("field", [None, ""])
def test_without_a_tool_calls_column_nothing_is_extracted(make_provider, tool_helper, field):
    provider = make_provider("tool_call_accuracy", config=configuration(tool_calls_field=field))
    data = table(["q0"], tool_calls=['[{"function": {"arguments": "{}"}}]'])
    before = data.copy()
    assert provider.get_tool_calls_content(data) == []
    pd.testing.assert_frame_equal(data, before)
    assert tool_helper.cells == []


def test_tool_calls_content_per_row(make_provider, tool_helper):
    provider = make_provider("tool_call_accuracy")
    data = table(["q0", "q1", "q2"],
                 tool_calls=[JsonText(json.dumps(WEATHER_CALLS)), "[]",
                             [_call("f", JsonText('[1, "two"]'))]])
    assert provider.get_tool_calls_content(data=data) == [
        DECODED_WEATHER_CALLS, [], [_call("f", [1, "two"])]
    ]
    assert data["tool_calls"].to_list() == [WEATHER_CALLS, [], [_call("f", '[1, "two"]')]]
    # text subclasses are decoded like texts
    assert tool_helper.cells == [WEATHER_CALLS, [], [_call("f", '[1, "two"]')]]


def test_tool_calls_with_the_sdk_helper(detector, make_provider):
    """The calls and catalogue sent are what the SDK's own helper makes of the cells."""
    cells = [json.dumps(WEATHER_CALLS), json.dumps([_call("get_time", '{"zone": "UTC"}')])]
    tools = [get_weather, get_time]
    expected_calls = []
    for cell in cells:
        calls = ToolCallMetricProvider.extract_tool_calls_from_response(json.loads(cell))
        for call in calls:
            if isinstance(call["function"]["arguments"], str):
                call["function"]["arguments"] = json.loads(call["function"]["arguments"])
        expected_calls.append(calls)
    expected_tools = [schema.model_dump()
                      for schema in ToolCallMetricProvider.get_tools_list_schema(tools)]
    assert len(expected_tools) == 2

    data = table(["q0", "q1"], tool_calls=cells)
    provider = make_provider("tool_call_accuracy", config=configuration(tools=tools))
    provider.evaluate(data)
    bodies = bodies_by_key(detector)
    for index, key in enumerate(["q0", "q1"]):
        assert bodies[key] == encoded({
            "detectors": {"tool_call_accuracy": {}},
            "messages": [{"content": key, "role": "user"},
                         {"tool_calls": expected_calls[index], "role": "assistant"}],
            "tools": expected_tools,
        })
    assert not any(isinstance(cell, str) for cell in data["tool_calls"])


# --------------------------------------------------------------------------
# The payload builder's own argument checks
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argument, value, got",
    [
        ("input_contents", None, "NoneType"),
        ("input_contents", ("q",), "tuple"),
        ("output_contents", ("a",), "tuple"),
        ("context_contents", {}, "dict"),
        ("tools_catalog_content", (), "tuple"),
        ("tool_calls_content", "[]", "str"),
    ],
)
def test_payload_builder_checks_its_lists(make_provider, argument, value, got):
    arguments = dict(input_contents=["q"], output_contents=None, context_contents=None,
                     tools_catalog_content=None, tool_calls_content=None)
    arguments[argument] = value
    builder = make_provider("hap")._ScreeningProvider__get_json_payloads
    with pytest.raises(TypeError) as raised:
        builder(**arguments)
    assert str(raised.value) == (
        f"Argument '{argument}' has incorrect type (expected list, got {got})"
    )


def test_payload_builder_pairs_up_to_the_shorter_list(make_provider):
    provider = make_provider("answer_relevance")
    builder = provider._ScreeningProvider__get_json_payloads
    assert builder(["q0", "q1", "q2"], ["a0"], None, None, None) == [
        json.dumps({"detectors": {"answer_relevance": {}}, "prompt": "q0",
                    "generated_text": "a0"})
    ]
    assert builder([], [], None, None, None) == []


class Label(str):
    """A str subclass: the encoder writes it as text, the native writer hands it to json.dumps."""


@pytest.mark.parametrize(
    "params",
    [None, {"threshold": 0.5}, {"label": Label("x")}],
    ids=["no params", "plain params", "params json.dumps must write"],
)
def test_bodies_mixing_plain_cells_and_others_keep_their_order(make_provider, params):
    kwargs = {} if params is None else {"detector_params": params}
    provider = make_provider("faithfulness", **kwargs)
    builder = provider._ScreeningProvider__get_json_payloads
    outputs = ["a0", Label("a1"), "a2\u00e9", Label("a3")]
    contexts = [["c0"], ["c1"], (Label("c2"),), ["c3"]]
    detectors = {"faithfulness": params or {}}
    assert builder(["q"] * 4, outputs, contexts, None, None) == [
        json.dumps({"detectors": detectors, "input": text, "context_type": "docs", "context": context})
        for text, context in zip(outputs, contexts)
    ]


def test_preprocessing_gives_bodies_and_ids_in_row_order(make_provider):
    provider = make_provider("hap")
    result = provider._ScreeningProvider__pre_process_data(data=table(["x", "y"]))
    assert type(result) is tuple
    assert result == (
        [json.dumps({"detectors": {"hap": {}}, "input": "x"}),
         json.dumps({"detectors": {"hap": {}}, "input": "y"})],
        ["r0", "r1"],
    )
    empty = provider._ScreeningProvider__pre_process_data(table([]))
    assert empty == ([], [])
