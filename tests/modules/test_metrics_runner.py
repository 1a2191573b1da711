"""metrics_runner: preparation, ordering and the synchronous and asynchronous runs.

Most tests replace the SDK helpers the module looks up at run time (API client,
telemetry, duration tracking, gathering, the result class) with small recorders,
so that what the module does with them can be observed.  The last section runs
with the SDK's own helpers.
"""

from __future__ import annotations

import asyncio
import collections
import datetime as dt
import gc
import inspect
import os
import re
import types
import uuid
import weakref

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaly.clients import meter_client as meter_client_module
from tessaly.evaluators.impl import metrics_runner as mr

populate = getattr(mr, "__populate_record_id_timestamp")
validate = getattr(mr, "__validate_data")

# What the module held before any test replaced anything.
ORIGINAL = dict(vars(mr))
INITIAL_CACHE = mr.api_client_cache

EMPTY_MESSAGE = "The provided data is empty for metrics computation."
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
ISO_LOCAL = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?")

ENTRY_SIGNATURE = (
    "(configuration: 'GenAIConfiguration | AgenticAIConfiguration', "
    "data: 'pd.DataFrame | dict | list[dict]', "
    "metrics: 'list[GenAIMetric]', "
    "api_client: 'APIClient' = None, "
    "metric_groups: 'list[MetricGroup]' = [], "
    "**kwargs) -> 'MetricsEvaluationResult'"
)
HELPER_SIGNATURE = (
    "(configuration: 'GenAIConfiguration | AgenticAIConfiguration', data: 'pd.DataFrame')"
)
RESOLVER_SIGNATURE = (
    "(metrics: 'list[GenAIMetric]' = [], metric_groups: 'list[MetricGroup]' = [])"
    " -> 'list[GenAIMetric]'"
)
RESOLVER_DOC = (
    "\n    Helper method to generate the metrics queue based on metrics dependencies"
    " and metric groups.\n    "
)


# --------------------------------------------------------------------------
# Fakes
# --------------------------------------------------------------------------

_DEFAULT = object()
_COROUTINES = []  # every coroutine a fake metric made, closed after each test


@pytest.fixture(autouse=True)
def _close_coroutines():
    yield
    while _COROUTINES:
        _COROUTINES.pop().close()  # no "never awaited" noise from aborted runs


class Gauge:
    """Counts metric coroutines in progress."""

    def __init__(self):
        self.current = 0
        self.peak = 0

    def enter(self):
        self.current += 1
        self.peak = max(self.peak, self.current)

    def leave(self):
        self.current -= 1


class FakeMetric:
    """A metric that records how it is called and when it runs."""

    def __init__(self, name, deps=(), result=_DEFAULT, *, log=None, error=None,
                 yields=0, gauge=None):
        self.name = name
        self.metric_dependencies = list(deps)
        self.result = f"result:{name}" if result is _DEFAULT else result
        self.log = log if log is not None else []
        self.error = error
        self.yields = yields
        self.gauge = gauge
        self.calls = []  # keyword arguments of each evaluate / evaluate_async call
        self.coroutines = []  # what evaluate_async returned
        self.seen_results = []  # copy of metrics_result when the metric ran

    def __repr__(self):
        return f"<FakeMetric {self.name!r} at {id(self):#x}>"

    def evaluate(self, *args, **kwargs):
        assert not args, "metrics are called with keyword arguments only"
        self.calls.append(kwargs)
        if "metrics_result" in kwargs:
            self.seen_results.append(list(kwargs["metrics_result"]))
        self.log.append(("evaluate", self.name))
        if self.error is not None:
            raise self.error
        return self.result

    def evaluate_async(self, *args, **kwargs):
        assert not args, "metrics are called with keyword arguments only"
        self.calls.append(kwargs)
        self.log.append(("call", self.name))
        coroutine = self._run(kwargs)
        self.coroutines.append(coroutine)
        _COROUTINES.append(coroutine)
        return coroutine

    async def _run(self, kwargs):
        self.log.append(("start", self.name))
        self.seen_results.append(list(kwargs["metrics_result"]))
        if self.gauge:
            self.gauge.enter()
        try:
            for _ in range(self.yields):
                await asyncio.sleep(0)
        finally:
            if self.gauge:
                self.gauge.leave()
        self.log.append(("end", self.name))
        if self.error is not None:
            raise self.error
        return self.result


class FakeGroup:
    def __init__(self, *metrics, as_generator=False):
        self.metrics = list(metrics)
        self.as_generator = as_generator

    def get_metrics(self):
        return (m for m in self.metrics) if self.as_generator else list(self.metrics)


class Falsy:
    def __bool__(self):
        return False


def config(**overrides):
    fields = {
        "record_id_field": "record_id",
        "record_timestamp_field": "record_timestamp",
        "input_fields": ["question"],
        "output_fields": [],
        "context_fields": [],
        "reference_fields": [],
    }
    fields.update(overrides)
    return types.SimpleNamespace(**fields)


def frame(rows=2):
    return pd.DataFrame({"question": [f"q{i}" for i in range(rows)],
                         "answer": [f"a{i}" for i in range(rows)]})


def run_async(awaitable):
    async def main():
        return await awaitable

    return asyncio.run(main())


def evaluate(mode, *args, **kwargs):
    if mode == "sync":
        return mr._evaluate_metrics(*args, **kwargs)
    return run_async(mr._evaluate_metrics_async(*args, **kwargs))


def fixed_clock(moment, events=None):
    class FixedDateTime(dt.datetime):
        @classmethod
        def now(cls, *args, **kwargs):
            assert not args and not kwargs
            if events is not None:
                events.append("now")
            return moment

    return FixedDateTime


class Env:
    """Replacements for the SDK helpers the module looks up at run time."""

    def __init__(self, monkeypatch):
        self.log = []
        self.api_clients = []
        self.meter_client_calls = []
        self.managers = []
        self.loop_calls = []
        self.gather_calls = []
        self.labels = []
        self.results = []
        self.suppress = False
        self.exits = []
        env = self

        class FakeAPIClient:
            def __init__(self, *args, **kwargs):
                assert not args and not kwargs
                self.vexmon_client = types.SimpleNamespace(service_url="https://gov.test")
                env.api_clients.append(self)

        class RecordingManager:
            def __init__(self, *args, **kwargs):
                assert not args and not kwargs
                self.index = len(env.managers)
                self.payloads = []
                env.managers.append(self)

            async def track_event(self, payload):
                self.payloads.append(payload)
                env.log.append(("track", payload["custom.metric_name"], self.index))

        class Duration:
            def __init__(self, label):
                self.label = label

            def __enter__(self):
                env.log.append(("enter", self.label))
                return None

            def __exit__(self, exc_type, exc, tb):
                env.log.append(("exit", self.label))
                env.exits.append((exc_type, exc))
                return env.suppress

        def track_duration(label):
            env.labels.append(label)
            return Duration(label)

        def run_in_event_loop(func, *args, **kwargs):
            env.loop_calls.append((func, args, kwargs))
            coroutine = func(*args, **kwargs)
            try:
                coroutine.send(None)
            except StopIteration as stop:
                return stop.value
            raise AssertionError("the tracking coroutine suspended")

        async def gather_with_concurrency(*args, **kwargs):
            assert not args, "gather_with_concurrency is called with keywords"
            assert set(kwargs) == {"coros", "max_concurrency"}
            coros = kwargs["coros"]
            env.gather_calls.append({"coros": list(coros),
                                     "max_concurrency": kwargs["max_concurrency"]})
            env.log.append(("gather", len(coros)))
            semaphore = asyncio.Semaphore(kwargs["max_concurrency"])

            async def bounded(coro):
                async with semaphore:
                    return await coro

            return list(await asyncio.gather(*(bounded(c) for c in coros)))

        class FakeEvaluationResult:
            def __init__(self, *args, **kwargs):
                assert not args and set(kwargs) == {"metrics_result"}
                self.metrics_result = kwargs["metrics_result"]
                env.results.append(self)

        real_meter_client = ORIGINAL["MeterClient"]

        def meter_client_factory(*args, **kwargs):
            client = real_meter_client(*args, **kwargs)
            env.meter_client_calls.append((args, kwargs, client))
            return client

        self.FakeAPIClient = FakeAPIClient
        self.RecordingManager = RecordingManager
        monkeypatch.setattr(mr, "api_client_cache", None)
        monkeypatch.setattr(mr, "APIClient", FakeAPIClient)
        monkeypatch.setattr(mr, "MeterClient", meter_client_factory)
        monkeypatch.setattr(mr, "SegmentBatchManager", RecordingManager)
        monkeypatch.setattr(mr, "track_duration", track_duration)
        monkeypatch.setattr(mr, "run_in_event_loop", run_in_event_loop)
        monkeypatch.setattr(mr, "gather_with_concurrency", gather_with_concurrency)
        monkeypatch.setattr(mr, "MetricsEvaluationResult", FakeEvaluationResult)

    def metric(self, name, deps=(), result=_DEFAULT, **kwargs):
        return FakeMetric(name, deps, result, log=self.log, **kwargs)

    def api_client(self):
        client = types.SimpleNamespace(vexmon_client=types.SimpleNamespace(service_url="x"))
        return client

    def events(self):
        return [entry for entry in self.log if entry[0] == "track"]


@pytest.fixture
def env(monkeypatch):
    return Env(monkeypatch)


@pytest.fixture(params=["sync", "async"])
def mode(request):
    return request.param


# --------------------------------------------------------------------------
# Module shape
# --------------------------------------------------------------------------


def test_module_namespace():
    import tessaly.clients.api_client as api_client_module
    import tessaly.config as config_module
    import tessaly.entities.enums as enums
    import tessaly.entities.evaluation_result as evaluation_result
    import tessaly.entities.metric as metric_module
    import tessaly.utils.async_util as async_util
    import tessaly.utils.python_utils as python_utils
    import tessaly.utils.segment_batch_manager as segment_batch_manager

    expected = {
        "os": os,
        "uuid": uuid,
        "datetime": dt.datetime,
        "pd": pd,
        "APIClient": api_client_module.APIClient,
        "MeterClient": meter_client_module.MeterClient,
        "AgenticAIConfiguration": config_module.AgenticAIConfiguration,
        "GenAIConfiguration": config_module.GenAIConfiguration,
        "MetricGroup": enums.MetricGroup,
        "MetricsEvaluationResult": evaluation_result.MetricsEvaluationResult,
        "GenAIMetric": metric_module.GenAIMetric,
        "gather_with_concurrency": async_util.gather_with_concurrency,
        "run_in_event_loop": async_util.run_in_event_loop,
        "SegmentBatchManager": segment_batch_manager.SegmentBatchManager,
        "track_duration": python_utils.track_duration,
    }
    for name, value in expected.items():
        assert ORIGINAL[name] is value, name
    assert INITIAL_CACHE is None


@pytest.mark.parametrize(
    "name, text",
    [
        ("_evaluate_metrics", ENTRY_SIGNATURE),
        ("_evaluate_metrics_async", ENTRY_SIGNATURE),
        ("_resolve_metric_dependencies", RESOLVER_SIGNATURE),
        ("__populate_record_id_timestamp", HELPER_SIGNATURE),
        ("__validate_data", HELPER_SIGNATURE),
    ],
)
def test_function_signatures(name, text):
    function = getattr(mr, name)
    assert function.__name__ == name
    signature = inspect.signature(function)
    assert str(signature) == text
    for parameter in signature.parameters.values():
        if parameter.kind is not inspect.Parameter.VAR_KEYWORD:
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert type(parameter.annotation) is str


def test_resolver_docstring():
    assert mr._resolve_metric_dependencies.__doc__ == RESOLVER_DOC


def test_only_the_asynchronous_entry_is_a_coroutine_function():
    assert inspect.iscoroutinefunction(mr._evaluate_metrics_async)
    assert not inspect.iscoroutinefunction(mr._evaluate_metrics)
    assert not inspect.iscoroutinefunction(mr._resolve_metric_dependencies)


# --------------------------------------------------------------------------
# Arguments: defaults, exact list checks, interpreter errors
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["_evaluate_metrics", "_evaluate_metrics_async"])
def test_entry_defaults(name):
    api_client_default, groups_default = getattr(mr, name).__defaults__
    assert api_client_default is None
    assert type(groups_default) is list and groups_default == []


def test_resolver_defaults_are_lists_and_result_is_new():
    metrics_default, groups_default = mr._resolve_metric_dependencies.__defaults__
    assert type(metrics_default) is list and type(groups_default) is list
    result = mr._resolve_metric_dependencies()
    assert result == []
    assert result is not metrics_default and result is not groups_default
    result.append("x")
    assert mr._resolve_metric_dependencies.__defaults__ == ([], [])
    assert mr._resolve_metric_dependencies.__defaults__[0] is metrics_default
    assert mr._resolve_metric_dependencies() == []


def test_entry_passes_the_shared_default_on_and_keeps_it_empty(env, mode, monkeypatch):
    entry = mr._evaluate_metrics if mode == "sync" else mr._evaluate_metrics_async
    default = entry.__defaults__[1]
    received = []
    real_resolver = mr._resolve_metric_dependencies

    def recording_resolver(*args, **kwargs):
        received.append((args, kwargs))
        return real_resolver(*args, **kwargs)

    monkeypatch.setattr(mr, "_resolve_metric_dependencies", recording_resolver)
    metrics = [env.metric("a")]
    for _ in range(2):
        evaluate(mode, config(), frame(), metrics)
    assert len(received) == 2
    for args, kwargs in received:
        assert args == ()
        assert list(kwargs) == ["metrics", "metric_groups"]
        assert kwargs["metrics"] is metrics
        assert kwargs["metric_groups"] is default
    assert entry.__defaults__[1] is default and default == []


class MetricList(list):
    pass


BAD_LISTS = [
    pytest.param((), "tuple", id="tuple"),
    pytest.param(None, "NoneType", id="None"),
    pytest.param(MetricList(), "MetricList", id="list-subclass"),
    pytest.param({}, "dict", id="dict"),
]


@pytest.mark.parametrize("argument", ["metrics", "metric_groups"])
@pytest.mark.parametrize("value, type_name", BAD_LISTS)
def test_resolver_rejects_non_lists(argument, value, type_name):
    with pytest.raises(TypeError) as raised:
        mr._resolve_metric_dependencies(**{argument: value})
    assert str(raised.value) == (
        f"Argument '{argument}' has incorrect type (expected list, got {type_name})"
    )


@pytest.mark.parametrize("entry", ["_evaluate_metrics", "_evaluate_metrics_async"])
@pytest.mark.parametrize("argument", ["metrics", "metric_groups"])
@pytest.mark.parametrize("value, type_name", BAD_LISTS)
def test_entries_reject_non_lists_before_anything_else(env, entry, argument, value, type_name):
    metric = env.metric("a")
    table = frame()
    arguments = {"metrics": [metric], "metric_groups": []}
    arguments[argument] = value
    with pytest.raises(TypeError) as raised:
        # the asynchronous entry checks when called, not when awaited
        getattr(mr, entry)(config(), table, **arguments)
    assert str(raised.value) == (
        f"Argument '{argument}' has incorrect type (expected list, got {type_name})"
    )
    assert env.api_clients == [] and env.managers == [] and metric.calls == []
    assert list(table.columns) == ["question", "answer"]
    assert mr.api_client_cache is None


@pytest.mark.parametrize("entry", ["_evaluate_metrics", "_evaluate_metrics_async"])
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2), {}),
        ((1, 2, [], None, [], "surplus"), {}),
        ((1, 2, []), {"data": 3}),
        ((1, 2, [], None), {"api_client": None}),
    ],
    ids=["none", "two", "six-positional", "data-twice", "api-client-twice"],
)
def test_entry_argument_errors(env, entry, args, kwargs):
    with pytest.raises(TypeError):
        getattr(mr, entry)(*args, **kwargs)
    assert env.api_clients == []


@pytest.mark.parametrize("helper", [populate, validate], ids=["populate", "validate"])
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2), {"data": 2}), ((1,), {"other": 2})],
    ids=["none", "one", "three", "data-twice", "unknown"],
)
def test_helper_argument_errors(helper, args, kwargs):
    with pytest.raises(TypeError):
        helper(*args, **kwargs)


def test_entries_take_every_argument_by_keyword(env, mode):
    metric = env.metric("a")
    api = env.api_client()
    result = evaluate(mode, configuration=config(), data=frame(), metrics=[metric],
                      api_client=api, metric_groups=[])
    assert result.metrics_result == ["result:a"]
    assert metric.calls[0]["api_client"] is api


def test_entries_take_five_positional_arguments(env, mode):
    metric = env.metric("a")
    extra = env.metric("g")
    api = env.api_client()
    result = evaluate(mode, config(), frame(), [metric], api, [FakeGroup(extra)])
    assert result.metrics_result == ["result:a", "result:g"]


# --------------------------------------------------------------------------
# Data: forms, emptiness
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, rows",
    [
        ({"question": "q", "answer": "a"}, 1),
        (collections.OrderedDict(question="q", answer="a"), 1),
        ([{"question": "q0", "answer": "a0"}, {"question": "q1", "answer": "a1"}], 2),
        (MetricList([{"question": "q0", "answer": "a0"}]), 1),
        ([{"question": f"q{i}", "answer": "x"} for i in range(5)], 5),
    ],
    ids=["dict", "dict-subclass", "list", "list-subclass", "list-of-5"],
)
def test_mapping_or_list_becomes_a_new_table(env, mode, data, rows):
    before = repr(data)
    records = [data] if isinstance(data, dict) else list(data)
    metric = env.metric("a")
    evaluate(mode, config(), data, [metric])
    table = metric.calls[0]["data"]
    assert type(table) is pd.DataFrame
    assert len(table) == rows
    assert table.columns.to_list() == ["question", "answer", "record_id", "record_timestamp"]
    assert table["question"].to_list() == [r["question"] for r in records]
    assert repr(data) == before  # the caller's mapping or list is not touched


def test_caller_table_is_used_and_gains_columns(env, mode):
    table = frame(3)
    metric = env.metric("a")
    evaluate(mode, config(), table, [metric])
    assert metric.calls[0]["data"] is table
    assert table.columns.to_list() == ["question", "answer", "record_id", "record_timestamp"]


@pytest.mark.parametrize(
    "data",
    [
        [],
        {},
        MetricList(),
        pd.DataFrame(),
        pd.DataFrame(columns=["question", "answer"]),
        pd.DataFrame(index=[0, 1]),
    ],
    ids=["empty-list", "empty-dict", "empty-list-subclass", "empty-frame", "no-rows", "no-columns"],
)
def test_empty_data_is_rejected_before_any_work(env, mode, data):
    metric = env.metric("a")
    columns = list(data.columns) if isinstance(data, pd.DataFrame) else None
    with pytest.raises(ValueError) as raised:
        evaluate(mode, config(), data, [metric], metric_groups=[FakeGroup(env.metric("g"))])
    assert str(raised.value) == EMPTY_MESSAGE
    assert metric.calls == [] and env.managers == [] and env.labels == []
    if columns is not None:
        assert list(data.columns) == columns


@pytest.mark.parametrize(
    "data, message",
    [
        (frame(1), None),
        (pd.DataFrame({"x": [None]}), None),
        (pd.DataFrame(), EMPTY_MESSAGE),
        (pd.DataFrame(columns=["x"]), EMPTY_MESSAGE),
    ],
    ids=["one-row", "one-null-cell", "empty", "no-rows"],
)
def test_validate_data(data, message):
    # the configuration plays no part
    if message is None:
        assert validate(configuration=None, data=data) is None
        assert validate(None, data) is None
    else:
        with pytest.raises(ValueError) as raised:
            validate(configuration=None, data=data)
        assert str(raised.value) == message


# --------------------------------------------------------------------------
# Record identifiers and timestamps
# --------------------------------------------------------------------------


@pytest.mark.parametrize("rows", [1, 2, 7])
def test_missing_identifiers_get_fresh_uuid4_texts(rows):
    table = frame(rows)
    assert populate(configuration=config(), data=table) is None
    values = table["record_id"].to_list()
    assert len(values) == rows
    for value in values:
        assert type(value) is str
        assert UUID4.fullmatch(value), value
        assert uuid.UUID(value).version == 4
    assert len(set(values)) == rows


@pytest.mark.parametrize(
    "column",
    [[None, None, None], [float("nan")] * 3, [pd.NA] * 3, pd.Series([None] * 3, dtype="object")],
    ids=["None", "nan", "NA", "object-None"],
)
def test_all_null_identifier_column_is_replaced(column):
    table = frame(3)
    table["record_id"] = column
    populate(configuration=config(), data=table)
    values = table["record_id"].to_list()
    assert all(UUID4.fullmatch(v) for v in values)
    assert len(set(values)) == 3


@pytest.mark.parametrize(
    "column",
    [["r0", None, "r2"], ["r0", "r1", "r2"], [None, None, "only"]],
    ids=["one-null", "full", "mostly-null"],
)
def test_identifier_column_with_a_value_is_untouched(column):
    table = frame(3)
    table["record_id"] = column
    populate(configuration=config(), data=table)
    assert nulls_as_none(table["record_id"]) == column


def nulls_as_none(series):
    return [None if pd.isna(v) else v for v in series.to_list()]


def test_many_identifiers_are_standard_version_4_texts():
    # Enough rows that every version and variant nibble value would show up if the bits
    # were not set: each text must round-trip through uuid.UUID unchanged.
    table = frame(5000)
    populate(configuration=config(), data=table)
    values = table["record_id"].to_list()
    parsed = [uuid.UUID(v) for v in values]
    assert all(str(u) == v and u.version == 4 and u.variant == uuid.RFC_4122 for u, v in zip(parsed, values))
    assert len(set(values)) == 5000
    # The random part really varies: all 16 values of a free nibble appear.
    assert {v[0] for v in values} == set("0123456789abcdef")


def test_a_replaced_uuid4_function_is_called(monkeypatch):
    made = iter(uuid.UUID(int=i, version=4) for i in range(1, 3))
    monkeypatch.setattr(uuid, "uuid4", lambda: next(made))
    table = frame(2)
    populate(configuration=config(), data=table)
    assert table["record_id"].to_list() == [str(uuid.UUID(int=i, version=4)) for i in range(1, 3)]


def test_identifiers_come_from_the_module_uuid(monkeypatch):
    made = [uuid.UUID(int=i, version=4) for i in range(1, 4)]
    calls = []

    def uuid4(*args, **kwargs):
        assert not args and not kwargs
        calls.append(1)
        return made[len(calls) - 1]

    monkeypatch.setattr(mr, "uuid", types.SimpleNamespace(uuid4=uuid4, UUID=uuid.UUID))
    table = frame(3)
    populate(configuration=config(), data=table)
    assert table["record_id"].to_list() == [str(u) for u in made]
    assert len(calls) == 3


@pytest.mark.parametrize(
    "moment, text",
    [
        (dt.datetime(2024, 1, 2, 3, 4, 5, 678901), "2024-01-02T03:04:05.678901"),
        (dt.datetime(2024, 1, 2, 3, 4, 5, 42), "2024-01-02T03:04:05.000042"),
        (dt.datetime(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05"),
    ],
    ids=["micro", "small-micro", "zero-micro"],
)
def test_one_timestamp_for_every_row(monkeypatch, moment, text):
    events = []
    monkeypatch.setattr(mr, "datetime", fixed_clock(moment, events))
    table = frame(4)
    populate(configuration=config(), data=table)
    assert table["record_timestamp"].to_list() == [text] * 4
    assert events == ["now"]


def test_timestamp_from_the_real_clock():
    table = frame(3)
    before = dt.datetime.now()
    populate(configuration=config(), data=table)
    after = dt.datetime.now()
    values = table["record_timestamp"].to_list()
    assert len(set(values)) == 1
    assert type(values[0]) is str and ISO_LOCAL.fullmatch(values[0])
    stamp = dt.datetime.fromisoformat(values[0])
    assert stamp.tzinfo is None
    assert before <= stamp <= after


@pytest.mark.parametrize(
    "column, replaced",
    [
        ([None, None], True),
        ([float("nan"), float("nan")], True),
        (["2020-01-01T00:00:00", None], False),
        (["t0", "t1"], False),
    ],
    ids=["all-None", "all-nan", "one-null", "full"],
)
def test_timestamp_column_rule(monkeypatch, column, replaced):
    monkeypatch.setattr(mr, "datetime", fixed_clock(dt.datetime(2024, 6, 1, 12, 0, 0, 1)))
    table = frame(2)
    table["record_timestamp"] = column
    populate(configuration=config(), data=table)
    if replaced:
        assert table["record_timestamp"].to_list() == ["2024-06-01T12:00:00.000001"] * 2
    else:
        assert nulls_as_none(table["record_timestamp"]) == column


def test_column_names_come_from_the_configuration(env, mode):
    table = frame(2)
    table["record_id"] = ["keep", "me"]
    metric = env.metric("a")
    evaluate(mode, config(record_id_field="rid", record_timestamp_field="ts"), table, [metric])
    assert table.columns.to_list() == ["question", "answer", "record_id", "rid", "ts"]
    assert table["record_id"].to_list() == ["keep", "me"]
    assert all(UUID4.fullmatch(v) for v in table["rid"])


def test_filled_columns_survive_a_failing_metric(env, mode):
    table = frame(2)
    failing = env.metric("a", error=RuntimeError("boom"))
    with pytest.raises(RuntimeError):
        evaluate(mode, config(), table, [failing])
    assert {"record_id", "record_timestamp"} <= set(table.columns)


# --------------------------------------------------------------------------
# API client and metering client
# --------------------------------------------------------------------------


@pytest.mark.parametrize("missing", [None, Falsy()], ids=["None", "falsy"])
def test_default_api_client_is_made_once_and_reused(env, missing):
    first = env.metric("a")
    mr._evaluate_metrics(config(), frame(), [first], missing)
    assert len(env.api_clients) == 1
    assert mr.api_client_cache is env.api_clients[0]
    assert first.calls[0]["api_client"] is env.api_clients[0]

    second = env.metric("b")
    run_async(mr._evaluate_metrics_async(config(), frame(), [second], missing))
    third = env.metric("c")
    mr._evaluate_metrics(config(), frame(), [third])
    assert len(env.api_clients) == 1
    assert second.calls[0]["api_client"] is env.api_clients[0]
    assert third.calls[0]["api_client"] is env.api_clients[0]


def test_given_api_client_is_used_and_cache_left_alone(env, mode):
    api = env.api_client()
    metric = env.metric("a")
    evaluate(mode, config(), frame(), [metric], api)
    assert env.api_clients == []
    assert mr.api_client_cache is None
    assert metric.calls[0]["api_client"] is api


def test_existing_cache_is_used(env, mode, monkeypatch):
    cached = env.api_client()
    monkeypatch.setattr(mr, "api_client_cache", cached)
    metric = env.metric("a")
    evaluate(mode, config(), frame(), [metric])
    assert env.api_clients == []
    assert metric.calls[0]["api_client"] is cached
    assert mr.api_client_cache is cached


def test_default_api_client_is_made_even_when_data_is_empty(env, mode):
    with pytest.raises(ValueError):
        evaluate(mode, config(), [], [])
    assert len(env.api_clients) == 1 and mr.api_client_cache is env.api_clients[0]


def test_one_metering_client_per_call(env, mode):
    api = env.api_client()
    metrics = [env.metric("a"), env.metric("b")]
    evaluate(mode, config(), frame(), metrics, api)
    [(args, kwargs, client)] = env.meter_client_calls
    assert args == () and list(kwargs) == ["vexmon_client"]
    assert kwargs["vexmon_client"] is api.vexmon_client
    assert isinstance(client, meter_client_module.MeterClient)
    assert client.vexmon_client is api.vexmon_client
    assert all(m.calls[0]["meter_client"] is client for m in metrics)

    again = env.metric("c")
    evaluate(mode, config(), frame(), [again], api)
    assert len(env.meter_client_calls) == 2
    assert again.calls[0]["meter_client"] is env.meter_client_calls[1][2]
    assert env.meter_client_calls[1][2] is not client


# --------------------------------------------------------------------------
# Ordering
# --------------------------------------------------------------------------


def m(name, *deps):
    return FakeMetric(name, deps)


def case_two_deps():
    b, c = m("b"), m("c")
    a = m("a", b, c)
    return [a], [], [c, b, a]


def case_requested_dependency_keeps_position():
    b = m("b")
    a = m("a", m("b"))
    return [a, b], [], [a, b]


def case_one_level_only():
    x = m("x")
    b = m("b", x)
    a = m("a", b)
    return [a], [], [b, a]


def case_both_requested_expand_each():
    # each requested metric's own dependencies are looked at, once
    x = m("x")
    b = m("b", x)
    a = m("a", b)
    return [a, b], [], [x, a, b]


def case_shared_dependency():
    b = m("b")
    a, d = m("a", b), m("d", b)
    return [a, d], [], [b, a, d]


def case_later_metric_dependencies_first():
    x, y = m("x"), m("y")
    a, d = m("a", x), m("d", y)
    return [a, d], [], [y, x, a, d]


def case_same_name_first_met_wins():
    first, second = m("b"), m("b")
    a, d = m("a", first), m("d", second)
    return [a, d], [], [first, a, d]


def case_duplicates_stay():
    a, other = m("a"), m("a")
    return [a, a, other], [], [a, a, other]


def case_group_new_names_appended():
    a = m("a")
    g1, g2 = m("g1"), m("g2")
    return [a], [FakeGroup(m("a"), g1, g2)], [a, g1, g2]


def case_group_all_requested():
    a, b = m("a"), m("b")
    return [a, b], [FakeGroup(m("b"), m("a"))], [a, b]


def case_group_name_of_added_dependency():
    x, y = m("x"), m("y", m("z"))
    a = m("a", x)
    return [a], [FakeGroup(m("x"), y)], [x, a, y]


def case_group_metric_dependencies_not_expanded():
    a = m("a")
    g = m("g", m("hidden"))
    return [a], [FakeGroup(g)], [a, g]


def case_groups_in_order_first_wins():
    g1, g2, h = m("g"), m("g"), m("h")
    return [], [FakeGroup(g1), FakeGroup(g2, h)], [g1, h]


def case_group_generator():
    g, h = m("g"), m("h")
    return [], [FakeGroup(g, h, g, as_generator=True)], [g, h]


def case_tuple_dependencies():
    b, c = m("b"), m("c")
    a = FakeMetric("a")
    a.metric_dependencies = (b, c)
    return [a], [], [c, b, a]


def case_cycle():
    a, b = FakeMetric("a"), FakeMetric("b")
    a.metric_dependencies, b.metric_dependencies = [b], [a]
    return [a, b], [], [a, b]


def case_empty():
    return [], [], []


ORDER_CASES = [
    case_two_deps,
    case_requested_dependency_keeps_position,
    case_one_level_only,
    case_both_requested_expand_each,
    case_shared_dependency,
    case_later_metric_dependencies_first,
    case_same_name_first_met_wins,
    case_duplicates_stay,
    case_group_new_names_appended,
    case_group_all_requested,
    case_group_name_of_added_dependency,
    case_group_metric_dependencies_not_expanded,
    case_groups_in_order_first_wins,
    case_group_generator,
    case_tuple_dependencies,
    case_cycle,
    case_empty,
]


@pytest.mark.parametrize("case", ORDER_CASES, ids=lambda f: f.__name__[5:])
def test_ordering(case):
    metrics, groups, expected = case()
    metrics_before = list(metrics)
    result = mr._resolve_metric_dependencies(metrics=metrics, metric_groups=groups)
    assert type(result) is list
    assert [id(x) for x in result] == [id(x) for x in expected], [x.name for x in result]
    assert result is not metrics
    assert metrics == metrics_before


def test_ordering_positional_call():
    b = m("b")
    a = m("a", b)
    assert mr._resolve_metric_dependencies([a], [FakeGroup(m("g"))])[:2] == [b, a]


def reference_order(metrics, groups):
    """The ordering, written out independently of the module."""
    queue = list(metrics)
    for metric in metrics:
        for dependency in metric.metric_dependencies:
            if dependency.name not in [q.name for q in queue]:
                queue.insert(0, dependency)
    for group in groups:
        for metric in group.get_metrics():
            if metric.name not in [q.name for q in queue]:
                queue.append(metric)
    return queue


@st.composite
def metric_worlds(draw):
    names = st.sampled_from("abcdefg")
    pool = [FakeMetric(draw(names)) for _ in range(draw(st.integers(1, 9)))]
    index = st.integers(0, len(pool) - 1)
    for metric in pool:
        metric.metric_dependencies = [pool[i] for i in draw(st.lists(index, max_size=3))]
    requested = [pool[i] for i in draw(st.lists(index, max_size=6))]
    groups = [FakeGroup(*[pool[i] for i in members])
              for members in draw(st.lists(st.lists(index, max_size=4), max_size=3))]
    return requested, groups


@settings(max_examples=300, deadline=None)
@given(metric_worlds())
def test_ordering_matches_reference(world):
    requested, groups = world
    requested_before = list(requested)
    deps_before = [list(x.metric_dependencies) for x in requested]
    result = mr._resolve_metric_dependencies(requested, groups)
    expected = reference_order(requested, groups)
    assert [id(x) for x in result] == [id(x) for x in expected]

    # Structure that follows: added dependencies, then the request unchanged,
    # then group metrics; nothing outside the request shares a name.
    added = len(result) - len(requested)
    start = next((i for i in range(added + 1) if result[i:i + len(requested)] == requested), None)
    assert start is not None
    outside = result[:start] + result[start + len(requested):]
    outside_names = [x.name for x in outside]
    assert len(set(outside_names)) == len(outside_names)
    assert not set(outside_names) & {x.name for x in requested}
    assert requested == requested_before
    assert [list(x.metric_dependencies) for x in requested] == deps_before


# --------------------------------------------------------------------------
# Synchronous run
# --------------------------------------------------------------------------


def test_sync_keywords_for_metrics_with_and_without_dependencies(env):
    api = env.api_client()
    extra_value = object()
    a = env.metric("a")
    c = env.metric("c", [a])
    table = frame()
    mr._evaluate_metrics(config(), table, [a, c], api, extra=extra_value, other=2)
    [a_call], [c_call] = a.calls, c.calls
    assert list(a_call) == ["data", "configuration", "meter_client", "api_client", "extra", "other"]
    assert list(c_call) == ["data", "configuration", "metrics_result", "api_client", "extra", "other"]
    for call in (a_call, c_call):
        assert call["data"] is table
        assert call["api_client"] is api
        assert call["extra"] is extra_value and call["other"] == 2


def test_sync_metrics_result_is_the_live_list(env):
    a = env.metric("a", result=None)
    b = env.metric("b")
    c = env.metric("c", [a])
    d = env.metric("d", [b])
    result = mr._evaluate_metrics(config(), frame(), [a, b, c, d])
    assert c.seen_results == [[None, "result:b"]]
    assert d.seen_results == [[None, "result:b", "result:c"]]
    assert c.calls[0]["metrics_result"] is d.calls[0]["metrics_result"]
    assert result.metrics_result == ["result:b", "result:c", "result:d"]


def test_sync_requested_dependency_after_its_dependant_gives_no_result(env):
    b = env.metric("b")
    a = env.metric("a", [FakeMetric("b")])
    mr._evaluate_metrics(config(), frame(), [a, b])
    assert a.seen_results == [[]]
    assert [e for e in env.log if e[0] == "evaluate"] == [("evaluate", "a"), ("evaluate", "b")]


@pytest.mark.parametrize(
    "values",
    [
        [None, "r1", None, "r3"],
        [None, None],
        ["r0", "r1", "r2"],
        [0, "", False, None],
    ],
    ids=["mixed", "all-none", "no-none", "falsy-but-not-none"],
)
def test_none_results_are_dropped_in_order(env, mode, values):
    metrics = [env.metric(f"m{i}", result=v) for i, v in enumerate(values)]
    result = evaluate(mode, config(), frame(), metrics)
    assert env.results == [result]
    assert type(result.metrics_result) is list
    assert result.metrics_result == [v for v in values if v is not None]
    assert [type(v) for v in result.metrics_result] == [type(v) for v in values if v is not None]


def test_no_metrics_gives_an_empty_result(env, mode):
    result = evaluate(mode, config(), frame(), [])
    assert result.metrics_result == []
    assert env.events() == []
    if mode == "async":
        assert [call["coros"] for call in env.gather_calls] == [[]]


def test_sync_runs_in_order_with_duration_and_tracking(env):
    metrics = [env.metric("a"), env.metric("b"), env.metric("c", [FakeMetric("a")])]
    mr._evaluate_metrics(config(), frame(), metrics)
    label = "Metric Evaluation - "
    assert env.log == [
        ("enter", label + "a"), ("evaluate", "a"), ("exit", label + "a"), ("track", "a", 0),
        ("enter", label + "b"), ("evaluate", "b"), ("exit", label + "b"), ("track", "b", 0),
        ("enter", label + "c"), ("evaluate", "c"), ("exit", label + "c"), ("track", "c", 0),
    ]
    [manager] = env.managers
    assert [func for func, _, _ in env.loop_calls] == [manager.track_event] * 3
    for payload, name in zip(manager.payloads, "abc"):
        assert type(payload) is dict
        assert list(payload.items()) == [
            ("objectType", "Metric Evaluation"),
            ("custom.metric_name", name),
        ]
    assert env.exits == [(None, None)] * 3


class Named:
    def __format__(self, how):
        return "formatted" + how

    def __str__(self):
        return "stringified"


@pytest.mark.parametrize(
    "name, label",
    [("faithfulness", "Metric Evaluation - faithfulness"),
     (7, "Metric Evaluation - 7"),
     (Named(), "Metric Evaluation - formatted")],
    ids=["text", "int", "custom-format"],
)
def test_sync_duration_label_and_payload_name(env, name, label):
    metric = env.metric(name)
    mr._evaluate_metrics(config(), frame(), [metric])
    assert env.labels == [label]
    assert env.managers[0].payloads[0]["custom.metric_name"] is name


def test_async_uses_no_duration_tracking(env):
    run_async(mr._evaluate_metrics_async(config(), frame(), [env.metric("a"), env.metric("b")]))
    assert env.labels == []


def test_sync_suppressed_failure_adds_no_entry(env):
    env.suppress = True
    error = RuntimeError("boom")
    metrics = [env.metric("a"), env.metric("b", error=error), env.metric("c")]
    result = mr._evaluate_metrics(config(), frame(), metrics)
    assert result.metrics_result == ["result:a", "result:c"]
    assert [e[1] for e in env.events()] == ["a", "b", "c"]
    assert env.exits[1][0] is RuntimeError and env.exits[1][1] is error


def test_sync_suppressed_failure_leaves_no_none_in_live_list(env):
    env.suppress = True
    a = env.metric("a", error=RuntimeError("boom"))
    b = env.metric("b")
    c = env.metric("c", [b])
    mr._evaluate_metrics(config(), frame(), [a, b, c])
    assert c.seen_results == [["result:b"]]


def test_sync_failure_propagates_unchanged(env):
    error = KeyError("boom")
    metrics = [env.metric("a"), env.metric("b", error=error), env.metric("c")]
    with pytest.raises(KeyError) as raised:
        mr._evaluate_metrics(config(), frame(), metrics)
    assert raised.value is error
    assert metrics[2].calls == []
    assert [e[1] for e in env.events()] == ["a"]
    assert env.results == []


def test_tracking_failure_propagates(env, mode, monkeypatch):
    error = ConnectionError("telemetry down")

    async def failing_track(self, payload):
        raise error

    monkeypatch.setattr(env.RecordingManager, "track_event", failing_track)
    first, second = env.metric("a"), env.metric("b")
    with pytest.raises(ConnectionError) as raised:
        evaluate(mode, config(), frame(), [first, second])
    assert raised.value is error
    assert second.calls == []


@pytest.mark.parametrize(
    "output_fields, converted",
    [(["answer"], ["answer"]), (["answer", "score"], ["answer", "score"]),
     ([], []), (None, [])],
    ids=["one", "two", "empty", "None"],
)
def test_sync_output_columns_become_text(env, output_fields, converted):
    table = pd.DataFrame({"question": ["q0", "q1"], "answer": [1, 2], "score": [0.5, 1.5]})
    metrics = [env.metric("a"), env.metric("b", [FakeMetric("a")])]
    mr._evaluate_metrics(config(output_fields=output_fields), table, metrics)
    received = metrics[0].calls[0]["data"]
    assert metrics[1].calls[0]["data"] is received
    if converted:
        assert received is not table
        assert table["answer"].to_list() == [1, 2]  # the caller's table keeps its types
    else:
        assert received is table
    expected = {"question": ["q0", "q1"], "answer": [1, 2], "score": [0.5, 1.5]}
    for column, values in expected.items():
        if column in converted:
            assert received[column].to_list() == [str(v) for v in values]
            assert all(type(v) is str for v in received[column])
            assert received[column].dtype == pd.Series(values).astype(str).dtype
        else:
            assert received[column].to_list() == values
    assert {"record_id", "record_timestamp"} <= set(received.columns)


def test_async_converts_no_output_columns(env):
    table = pd.DataFrame({"question": ["q0"], "answer": [1]})
    metric = env.metric("a")
    run_async(mr._evaluate_metrics_async(config(output_fields=["answer", "missing"]), table, [metric]))
    assert metric.calls[0]["data"] is table
    assert table["answer"].to_list() == [1]


def test_sync_unknown_output_column_raises_key_error(env):
    metric = env.metric("a")
    with pytest.raises(KeyError):
        mr._evaluate_metrics(config(output_fields=["missing"]), frame(), [metric])
    assert metric.calls == []


@pytest.mark.parametrize("key", ["meter_client", "metrics_result"])
def test_sync_keyword_collision(env, key):
    plain = env.metric("plain")
    dependant = env.metric("dep", [plain])
    with pytest.raises(TypeError) as raised:
        mr._evaluate_metrics(config(), frame(), [plain, dependant], **{key: "mine"})
    assert str(raised.value) == f"function() got multiple values for keyword argument '{key}'"
    assert dependant.calls == []
    if key == "meter_client":
        assert plain.calls == []
    else:
        # a metric without dependencies takes it like any other extra keyword
        assert plain.calls[0][key] == "mine"


def test_sync_metrics_with_dependencies_take_meter_client_from_kwargs(env):
    # a two-metric cycle: both have dependencies and nothing is added to the order
    a, b = env.metric("a"), env.metric("b")
    a.metric_dependencies, b.metric_dependencies = [b], [a]
    result = mr._evaluate_metrics(config(), frame(), [a, b], meter_client="mine")
    assert result.metrics_result == ["result:a", "result:b"]
    for metric in (a, b):
        assert list(metric.calls[0]) == ["data", "configuration", "metrics_result",
                                         "api_client", "meter_client"]
        assert metric.calls[0]["meter_client"] == "mine"


# --------------------------------------------------------------------------
# Asynchronous run
# --------------------------------------------------------------------------


def test_async_returns_a_coroutine_that_works_only_when_awaited(env):
    table = frame()
    metric = env.metric("a")
    coroutine = mr._evaluate_metrics_async(config(), table, [metric])
    assert asyncio.iscoroutine(coroutine)
    assert env.api_clients == [] and env.meter_client_calls == [] and env.managers == []
    assert metric.calls == []
    assert table.columns.to_list() == ["question", "answer"]
    result = run_async(coroutine)
    assert result.metrics_result == ["result:a"]
    assert "record_id" in table.columns


def test_async_empty_data_fails_only_when_awaited(env):
    coroutine = mr._evaluate_metrics_async(config(), [], [])
    with pytest.raises(ValueError, match=EMPTY_MESSAGE):
        run_async(coroutine)


def test_async_keywords(env):
    api = env.api_client()
    a = env.metric("a")
    c = env.metric("c", [a])
    table = frame()
    run_async(mr._evaluate_metrics_async(config(), table, [a, c], api, extra=1))
    for metric in (a, c):
        [call] = metric.calls
        assert list(call) == ["data", "configuration", "metrics_result", "meter_client",
                              "api_client", "extra"]
        assert call["data"] is table and call["api_client"] is api and call["extra"] == 1
        assert call["meter_client"] is env.meter_client_calls[0][2]
    assert a.calls[0]["metrics_result"] is c.calls[0]["metrics_result"]


def test_async_phases(env):
    a, b, d = env.metric("a"), env.metric("b"), env.metric("d")
    c = env.metric("c", [a])
    result = run_async(mr._evaluate_metrics_async(config(), frame(), [a, b, c, d]))
    gather_at = env.log.index(("gather", 3))
    assert env.log[:gather_at + 1] == [
        ("call", "a"), ("track", "a", 0),
        ("call", "b"), ("track", "b", 0),
        ("call", "d"), ("track", "d", 0),
        ("start", "a"), ("end", "a"),
        ("call", "c"), ("track", "c", 1),
        ("gather", 3),
    ]
    rest = env.log[gather_at + 1:]
    assert sorted(rest) == sorted([("start", n) for n in "bdc"] + [("end", n) for n in "bdc"])
    assert result.metrics_result == ["result:a", "result:b", "result:d", "result:c"]
    assert len(env.managers) == 2
    assert [p["custom.metric_name"] for p in env.managers[0].payloads] == ["a", "b", "d"]
    assert [p["custom.metric_name"] for p in env.managers[1].payloads] == ["c"]
    assert list(env.managers[1].payloads[0].items()) == [
        ("objectType", "Metric Evaluation"), ("custom.metric_name", "c")]
    # the third phase sees the values awaited in the second
    assert b.seen_results == [["result:a"]] and c.seen_results == [["result:a"]]
    [gathered] = env.gather_calls
    assert gathered["max_concurrency"] == 10


def test_async_shared_dependency_is_awaited_once_first(env):
    b = env.metric("b")
    a, d = env.metric("a", [b]), env.metric("d", [b])
    result = run_async(mr._evaluate_metrics_async(config(), frame(), [a, d]))
    assert env.log.count(("start", "b")) == 1
    assert env.log.index(("end", "b")) < env.log.index(("call", "a"))
    assert result.metrics_result == ["result:b", "result:a", "result:d"]
    assert [len(call["coros"]) for call in env.gather_calls] == [2]


@pytest.mark.parametrize("requested_dependency", [True, False])
def test_async_dependency_listed_twice_is_awaited_once(env, requested_dependency):
    a = env.metric("a")
    c = env.metric("c", [a, a])
    metrics = [a, c] if requested_dependency else [c]
    result = run_async(mr._evaluate_metrics_async(config(), frame(), metrics))
    assert env.log.count(("start", "a")) == 1
    assert len(a.calls) == 1
    assert result.metrics_result == ["result:a", "result:c"]


def test_async_dependency_with_dependencies_runs_in_the_third_phase(env):
    x = env.metric("x")
    b = env.metric("b", [x])
    a = env.metric("a", [b])
    result = run_async(mr._evaluate_metrics_async(config(), frame(), [a, b]))
    gather_at = env.log.index(("gather", 2))
    assert env.log[:gather_at + 1] == [
        ("call", "x"), ("track", "x", 0),
        ("call", "a"), ("track", "a", 1),
        ("start", "x"), ("end", "x"),
        ("call", "b"), ("track", "b", 1),
        ("gather", 2),
    ]
    assert result.metrics_result == ["result:x", "result:a", "result:b"]


def test_async_later_metric_with_same_name_replaces_the_entry(env):
    first = env.metric("a", result="first")
    second = env.metric("a", result="second")
    c = env.metric("c", [FakeMetric("a")])
    result = run_async(mr._evaluate_metrics_async(config(), frame(), [first, second, c]))
    assert result.metrics_result == ["second", "first", "result:c"]
    assert [len(call["coros"]) for call in env.gather_calls] == [2]


def test_async_none_values_dropped_including_dependencies(env):
    a = env.metric("a", result=None)
    b = env.metric("b", result=None)
    c = env.metric("c", [a])
    result = run_async(mr._evaluate_metrics_async(config(), frame(), [a, b, c]))
    assert c.seen_results == [[None]]
    assert result.metrics_result == ["result:c"]


@pytest.mark.parametrize(
    "kwargs, count, bound",
    [({}, 25, 10), ({"max_concurrency": 1}, 6, 1), ({"max_concurrency": 3}, 7, 3),
     ({"max_concurrency": 50}, 12, 12)],
    ids=["default", "one", "three", "above-count"],
)
def test_async_concurrency_bound(env, kwargs, count, bound):
    gauge = Gauge()
    metrics = [env.metric(f"m{i}", yields=3, gauge=gauge) for i in range(count)]
    result = run_async(mr._evaluate_metrics_async(config(), frame(), metrics, **kwargs))
    assert gauge.peak == bound
    [gathered] = env.gather_calls
    assert gathered["max_concurrency"] == kwargs.get("max_concurrency", 10)
    assert result.metrics_result == [f"result:m{i}" for i in range(count)]
    for metric in metrics:
        if "max_concurrency" in kwargs:
            assert metric.calls[0]["max_concurrency"] == kwargs["max_concurrency"]
        else:
            assert "max_concurrency" not in metric.calls[0]


def test_sync_passes_max_concurrency_as_a_plain_keyword(env):
    metric = env.metric("a")
    mr._evaluate_metrics(config(), frame(), [metric], max_concurrency=2)
    assert metric.calls[0]["max_concurrency"] == 2
    assert env.gather_calls == []


def test_async_gathers_the_remaining_coroutines_in_order(env):
    a, b = env.metric("a"), env.metric("b")
    c = env.metric("c", [a])
    d = env.metric("d", [FakeMetric("c")])
    run_async(mr._evaluate_metrics_async(config(), frame(), [a, b, c, d]))
    [gathered] = env.gather_calls
    # a was awaited in the second phase; then the others in the order they were made
    assert gathered["coros"] == [b.coroutines[0], c.coroutines[0], d.coroutines[0]]


def test_async_failure_in_third_phase_propagates(env):
    error = RuntimeError("metric failed")
    metrics = [env.metric("a"), env.metric("b", error=error)]
    with pytest.raises(RuntimeError) as raised:
        run_async(mr._evaluate_metrics_async(config(), frame(), metrics))
    assert raised.value is error
    assert env.results == []


def test_async_failing_dependency_ends_the_run(env):
    error = ValueError("dependency failed")
    a = env.metric("a", error=error)
    b = env.metric("b")
    c = env.metric("c", [a])
    with pytest.raises(ValueError) as raised:
        run_async(mr._evaluate_metrics_async(config(), frame(), [a, b, c]))
    assert raised.value is error
    assert c.calls == []
    assert env.gather_calls == []
    assert ("start", "b") not in env.log


@pytest.mark.parametrize("key", ["meter_client", "metrics_result"])
@pytest.mark.parametrize("with_dependencies", [False, True])
def test_async_keyword_collision(env, key, with_dependencies):
    a = FakeMetric("a")
    if with_dependencies:
        b = FakeMetric("b")
        a.metric_dependencies, b.metric_dependencies = [b], [a]
        metrics = [a, b]
    else:
        metrics = [a]
    with pytest.raises(TypeError) as raised:
        run_async(mr._evaluate_metrics_async(config(), frame(), metrics, **{key: 1}))
    assert str(raised.value) == f"function() got multiple values for keyword argument '{key}'"
    assert a.calls == []


# --------------------------------------------------------------------------
# With the SDK's own helpers
# --------------------------------------------------------------------------


@pytest.fixture
def sdk_helpers(monkeypatch):
    """Puts the SDK helpers back, keeping only a local API client."""
    for name in ("SegmentBatchManager", "track_duration", "run_in_event_loop",
                 "gather_with_concurrency", "MeterClient", "MetricsEvaluationResult"):
        monkeypatch.setattr(mr, name, ORIGINAL[name])
    return types.SimpleNamespace(vexmon_client=types.SimpleNamespace(service_url="https://gov.test"))


def sdk_configuration(**overrides):
    fields = dict(input_fields=["question"], output_fields=["answer"],
                  context_fields=[], reference_fields=[])
    fields.update(overrides)
    return ORIGINAL["GenAIConfiguration"](**fields)


def test_with_sdk_helpers_empty_request(env, sdk_helpers, mode):
    table = frame()
    result = evaluate(mode, sdk_configuration(), table, [], sdk_helpers)
    assert isinstance(result, ORIGINAL["MetricsEvaluationResult"])
    assert list(result.metrics_result) == []
    assert {"record_id", "record_timestamp"} <= set(table.columns)


def test_with_sdk_helpers_sync_run(env, sdk_helpers, monkeypatch):
    monkeypatch.setattr(mr, "MetricsEvaluationResult", types.SimpleNamespace)
    table = pd.DataFrame({"question": ["q0", "q1"], "answer": [1, 2]})
    a = FakeMetric("a")
    c = FakeMetric("c", [a])
    result = mr._evaluate_metrics(sdk_configuration(), table, [a, c], sdk_helpers)
    assert result.metrics_result == ["result:a", "result:c"]
    assert a.calls[0]["data"]["answer"].to_list() == ["1", "2"]
    assert isinstance(a.calls[0]["meter_client"], meter_client_module.MeterClient)
    assert c.seen_results == [["result:a"]]


def test_with_sdk_helpers_async_run(env, sdk_helpers, monkeypatch):
    monkeypatch.setattr(mr, "MetricsEvaluationResult", types.SimpleNamespace)
    gauge = Gauge()
    metrics = [FakeMetric(f"m{i}", yields=3, gauge=gauge) for i in range(12)]
    dependant = FakeMetric("dep", [metrics[0]])
    result = run_async(mr._evaluate_metrics_async(
        sdk_configuration(), frame(), metrics + [dependant], sdk_helpers, max_concurrency=3))
    assert 1 <= gauge.peak <= 3
    assert result.metrics_result == ["result:m0"] + [f"result:m{i}" for i in range(1, 12)] + [
        "result:dep"]
    assert dependant.seen_results[0][0] == "result:m0"


# --------------------------------------------------------------------------
# In a long-running host: reference cycles through a suspended run
# --------------------------------------------------------------------------


class PendingMetric:
    """A metric whose evaluation waits for ever."""

    def __init__(self, name, deps=()):
        self.name = name
        self.metric_dependencies = list(deps)

    async def evaluate_async(self, **kwargs):
        await asyncio.get_running_loop().create_future()


async def python_evaluate_metrics_async(configuration, data, metrics, api_client=None,
                                        metric_groups=[], **kwargs):  # noqa: B006
    """The shape of the asynchronous run written in Python: dependencies awaited in turn."""
    results = []
    for metric in metrics:
        results.append(await metric.evaluate_async(
            data=data, configuration=configuration, metrics_result=results, api_client=api_client))
    return results


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("entry", [mr._evaluate_metrics_async, python_evaluate_metrics_async],
                         ids=["native", "python"])
def test_a_run_suspended_in_a_dependency_is_collected_with_its_holder(env, sdk_helpers, entry):
    dependency = PendingMetric("a")
    dependant = PendingMetric("b", [dependency])
    loop = asyncio.new_event_loop()
    task = loop.create_task(entry(sdk_configuration(), frame(), [dependency, dependant], sdk_helpers))
    for _ in range(3):
        loop.run_until_complete(asyncio.sleep(0))
    assert not task.done()
    dependency.task = task  # the holder refers to the task running it
    held = weakref.ref(dependency)
    loop.close()
    del dependency, dependant, task
    gc.collect()
    assert held() is None
