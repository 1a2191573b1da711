"""ScreeningProvider: detections turned into record results, evidences, errors and aggregates."""

from __future__ import annotations

import asyncio

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from screening_kit import (
    Reply,
    api_client,
    assert_wrapped,
    configuration,
    detections,
    scored,
    table,
)
from tessaly.entities.base_classes import Error
from tessaly.entities.enums import MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.metric_threshold import MetricThreshold
from tessaly.providers.screening_provider import ScreeningProvider

ACCURACY = {"topic_relevance", "tool_call_accuracy"}


def post_process(provider, results, record_ids):
    return provider._ScreeningProvider__post_process(results, record_ids)


def failed(code, message):
    return {"error": Error(code=code, message_en=message)}


def reference_value(metric_name, scores):
    """The scoring rule: highest score, inverted for accuracy metrics, 4 decimals."""
    if scores:
        top = max(scores)
        return round(1 - top if metric_name in ACCURACY else top, 4)
    return 1 if metric_name in ACCURACY else 0


# --------------------------------------------------------------------------
# Scores
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "metric, scores, value",
    [
        ("hap", [0.2, 0.91234567], 0.9123),
        ("topic_relevance", [0.2, 0.91234567], 0.0877),
        ("tool_call_accuracy", [0.3], 0.7),
        ("answer_relevance", [0.5, 0.25], 0.5),
        ("faithfulness", [0.12345, 0.1], 0.1235),
        ("jailbreak", [0.00004], 0.0),
        ("pii", [], 0),
        ("hap", [], 0),
        ("answer_relevance", [], 0),
        ("tool_call_accuracy", [], 1),
        ("topic_relevance", [], 1),
        ("topic_relevance", [1], 0),
        ("jailbreak", [1, 0.5], 1),
    ],
)
def test_record_value(make_provider, metric, scores, value):
    provider = make_provider(metric)
    found = [dict(score=s, text="t", start=0, end=1, evidence=["e"]) for s in scores]
    result = post_process(provider, [{"detections": found}], ["r0"])
    (record,) = result.record_level_metrics
    assert record.value == value
    assert type(record.value) is type(value)
    assert record.errors is None


@settings(max_examples=300, deadline=None)
@given(
    metric=st.sampled_from(["jailbreak", "topic_relevance", "tool_call_accuracy",
                            "answer_relevance"]),
    records=st.lists(
        st.lists(st.one_of(st.floats(-2, 2, allow_nan=False), st.integers(-3, 3)),
                 max_size=5),
        min_size=1, max_size=6,
    ),
)
def test_scoring_rule_matches_the_reference(metric, records):
    provider = ScreeningProvider(configuration(), metric, "Metric",
                                 api_client=api_client("https://detection.example.test"))
    results = [detections(*scores) for scores in records]
    ids = [f"r{i}" for i in range(len(records))]
    aggregate = post_process(provider, results, ids)
    values = [reference_value(metric, scores) for scores in records]
    assert [r.value for r in aggregate.record_level_metrics] == values
    assert [type(r.value) for r in aggregate.record_level_metrics] == [type(v) for v in values]
    mean = round(sum(values) / len(values), 4)
    assert aggregate.mean == mean and aggregate.value == mean
    assert aggregate.min == min(values) and aggregate.max == max(values)
    assert aggregate.total_records == len(records)


# --------------------------------------------------------------------------
# Record and aggregate fields
# --------------------------------------------------------------------------


def test_fields_of_records_and_aggregate(make_provider):
    thresholds = [MetricThreshold(type="upper_limit", value=0.3)]
    provider = make_provider("jailbreak", "sentinel", display_name="Jailbreak risk",
                             metric_group=MetricGroup.ANSWER_QUALITY, thresholds=thresholds)
    result = post_process(provider, [detections(0.1), failed("503", "busy"), detections(0.2)],
                          ["a", "b", "c"])
    assert type(result) is AggregateMetricResult
    for record, record_id in zip(result.record_level_metrics, ["a", "b", "c"]):
        assert type(record) is RecordMetricResult
        assert record.name == "jailbreak"
        assert record.display_name == "Jailbreak risk"
        assert record.method == "sentinel"
        assert record.provider == "detectors"
        assert record.group is MetricGroup.ANSWER_QUALITY
        assert record.record_id == record_id
        assert record.thresholds == thresholds
        assert "evidences" not in record.model_fields_set
    ok_first, bad, ok_second = result.record_level_metrics
    assert (ok_first.value, ok_second.value) == (0.1, 0.2)
    assert "errors" not in ok_first.model_fields_set
    assert bad.value is None and bad.errors == [Error(code="503", message_en="busy")]

    assert result.name == "jailbreak"
    assert result.display_name == "Jailbreak risk"
    assert result.method == "sentinel"
    assert result.group is MetricGroup.ANSWER_QUALITY
    assert result.provider == "detectors"
    assert result.total_records == 3
    assert (result.value, result.mean, result.min, result.max) == (0.15, 0.15, 0.1, 0.2)
    assert result.thresholds == thresholds
    assert "errors" not in result.model_fields_set and result.errors is None


@pytest.mark.parametrize(
    "metric, record_name",
    [("keyword", "keyword_detection"), ("regex", "regex_detection"), ("pii", "pii"),
     ("keyword_detection", "keyword_detection"), ("Keyword", "Keyword")],
)
def test_record_names(make_provider, metric, record_name):
    result = post_process(make_provider(metric), [detections(), failed("500", "x")], ["a", "b"])
    assert [r.name for r in result.record_level_metrics] == [record_name, record_name]
    assert result.name == metric


def test_every_record_failing(make_provider):
    provider = make_provider("hap")
    result = post_process(
        provider,
        [failed("500", "{'reason': 'no'}"), failed("REQUEST_FAILED", "refused"),
         failed("504", "[]")],
        ["a", "b", "c"],
    )
    expected = [Error(code="500", message_en="{'reason': 'no'}"),
                Error(code="REQUEST_FAILED", message_en="refused"),
                Error(code="504", message_en="[]")]
    assert result.value == "Error"
    assert result.min is None and result.max is None and result.mean is None
    assert result.errors == expected
    assert [r.errors for r in result.record_level_metrics] == [[e] for e in expected]
    assert [r.value for r in result.record_level_metrics] == [None, None, None]
    assert result.total_records == 3


def test_no_results(make_provider):
    result = post_process(make_provider("pii"), [], [])
    assert result.value == "Error" and result.errors == [] and result.total_records == 0
    assert result.record_level_metrics == []


def test_pairs_up_to_the_shorter_list_but_counts_every_result(make_provider):
    provider = make_provider("jailbreak")
    result = post_process(provider, [detections(0.1), detections(0.3), detections(0.9)],
                          ["a", "b"])
    assert [(r.record_id, r.value) for r in result.record_level_metrics] == [("a", 0.1),
                                                                            ("b", 0.3)]
    assert result.total_records == 3
    assert result.mean == 0.2
    shorter = post_process(provider, [detections(0.5)], ["a", "b", "c"])
    assert len(shorter.record_level_metrics) == 1 and shorter.total_records == 1


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "argument, value, got",
    [("results", (), "tuple"), ("results", None, "NoneType"),
     ("record_ids", ListSubclass(), "ListSubclass"), ("record_ids", {}, "dict")],
)
def test_post_processing_checks_its_lists(make_provider, argument, value, got):
    arguments = {"results": [], "record_ids": []}
    arguments[argument] = value
    with pytest.raises(TypeError) as raised:
        make_provider("hap")._ScreeningProvider__post_process(**arguments)
    assert str(raised.value) == (
        f"Argument '{argument}' has incorrect type (expected list, got {got})"
    )


class Answered(ScreeningProvider):
    """A provider whose requests are answered with ``answers``, without a detection service."""

    answers: list

    async def _ScreeningProvider__compute_metric(self, api_payloads):
        return self.answers


@pytest.mark.parametrize(
    "result, cause, reason",
    [
        ({"score": 0.5}, KeyError, "'detections'"),
        ({"detections": [{"text": "x"}]}, KeyError, "'score'"),
        ({"detections": None}, TypeError, "object of type 'NoneType' has no len()"),
        (None, TypeError, "argument of type 'NoneType' is not iterable"),
        # Only an exception outside Exception escapes a request into the results.
        (asyncio.CancelledError(), TypeError, "argument of type 'CancelledError' is not iterable"),
        (RuntimeError("escaped"), TypeError, "argument of type 'RuntimeError' is not iterable"),
    ],
    ids=["no-detections", "no-score", "detections-None", "None", "cancelled", "exception-object"],
)
def test_unreadable_results_raise(result, cause, reason):
    provider = Answered(configuration(), "jailbreak", "Jailbreak",
                        api_client=api_client("https://detection.example.test"))
    provider.answers = [detections(0.1), result]
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(table(["q0", "q1"])))
    assert_wrapped(raised.value, "jailbreak", cause)
    assert str(raised.value) == f"Error while computing metrics: jailbreak. Reason: {reason}"


# --------------------------------------------------------------------------
# Evidences
# --------------------------------------------------------------------------

CONTENT_DETECTIONS = [
    {"text": "idiot", "score": 0.8, "start": 4, "end": 9, "detection_type": "hap", "extra": 1},
    {"end": 20, "start": 12, "score": 0.3, "text": "moron"},
]
CONTENT_EVIDENCES = [
    {"text": "idiot", "score": 0.8, "start": 4, "end": 9},
    {"text": "moron", "score": 0.3, "start": 12, "end": 20},
]
RAG_DETECTIONS = [
    {"score": 0.4, "evidence": [{"name": "first", "value": 1}, {"name": "ignored"}]},
    {"score": 0.6, "evidence": ["plain text evidence"]},
]
RAG_EVIDENCES = [{"name": "first", "value": 1}, "plain text evidence"]


@pytest.mark.parametrize(
    "metric, method, found, evidences",
    [
        ("hap", None, CONTENT_DETECTIONS, CONTENT_EVIDENCES),
        ("pii", "sentinel", CONTENT_DETECTIONS, CONTENT_EVIDENCES),
        ("keyword", None, CONTENT_DETECTIONS, CONTENT_EVIDENCES),
        ("regex", None, CONTENT_DETECTIONS, CONTENT_EVIDENCES),
        ("faithfulness", "faithfulness_model", RAG_DETECTIONS, RAG_EVIDENCES),
        ("faithfulness", "context_relevance_model", RAG_DETECTIONS, RAG_EVIDENCES),
        ("context_relevance", "context_relevance_model", RAG_DETECTIONS, RAG_EVIDENCES),
        ("context_relevance", "faithfulness_model", RAG_DETECTIONS, RAG_EVIDENCES),
        ("faithfulness", None, RAG_DETECTIONS, None),
        ("faithfulness", "sentinel", RAG_DETECTIONS, None),
        ("answer_relevance", "faithfulness_model", RAG_DETECTIONS, None),
        ("topic_relevance", None, CONTENT_DETECTIONS, None),
        ("jailbreak", None, CONTENT_DETECTIONS, None),
        ("hap", None, [], None),
        ("faithfulness", "faithfulness_model", [], None),
    ],
)
def test_evidences(make_provider, metric, method, found, evidences):
    provider = make_provider(metric, method)
    (record,) = post_process(provider, [{"detections": found}], ["r0"]).record_level_metrics
    if evidences is None:
        assert "evidences" not in record.model_fields_set
        assert record.evidences is None
    else:
        assert record.evidences == evidences
        for item in record.evidences:
            if isinstance(item, dict) and metric not in ("faithfulness", "context_relevance"):
                assert list(item) == ["text", "score", "start", "end"]


@pytest.mark.parametrize(
    "metric, detections_, evidences",
    [
        ("pii", CONTENT_DETECTIONS, CONTENT_EVIDENCES),
        ("context_relevance", RAG_DETECTIONS, RAG_EVIDENCES),
        ("hap", [], []),
    ],
)
def test_additional_info(make_provider, metric, detections_, evidences):
    info = make_provider(metric)._ScreeningProvider__get_additional_info
    assert info(detections_) == evidences
    assert info(results=iter(detections_)) == evidences


# --------------------------------------------------------------------------
# End to end through the detection service
# --------------------------------------------------------------------------


def test_partial_failures_aggregate_over_successes(detector, make_provider, sleeps):
    detector.respond_by_key({
        "q0": scored(0.1),
        "q1": Reply(503, body={"reason": "busy"}),
        "q2": scored(0.05, 0.2),
    })
    result = make_provider("jailbreak").evaluate(table(["q0", "q1", "q2"]))
    first, second, third = result.record_level_metrics
    assert (first.value, third.value) == (0.1, 0.2)
    assert second.value is None
    assert second.errors == [Error(code="503", message_en="{'reason': 'busy'}")]
    assert (result.mean, result.min, result.max, result.total_records) == (0.15, 0.1, 0.2, 3)
    assert "errors" not in result.model_fields_set
    assert sleeps == [1, 2]


def test_every_request_failing_end_to_end(detector, make_provider, refused_root):
    detector.queue(Reply(500, body={"reason": "down"}))
    result = make_provider("hap").evaluate(table(["q0", "q1"]))
    assert result.value == "Error"
    assert result.errors == [Error(code="500", message_en="{'reason': 'down'}")] * 2
    refused = make_provider("hap", root=refused_root).evaluate(table(["q0"]))
    assert refused.value == "Error"
    assert [e.code for e in refused.errors] == ["REQUEST_FAILED"]
    assert refused.record_level_metrics[0].errors == refused.errors


def test_keyword_end_to_end(detector, make_provider):
    detector.queue(Reply(body={"detections": [
        {"text": "secret", "score": 1.0, "start": 0, "end": 6, "detection_type": "keyword"}
    ]}))
    provider = make_provider("keyword", detector_params={"keywords": ["secret"]})
    result = provider.evaluate(table(["secret plan"]))
    assert result.name == "keyword"
    (record,) = result.record_level_metrics
    assert record.name == "keyword_detection" and record.value == 1.0
    assert record.evidences == [{"text": "secret", "score": 1.0, "start": 0, "end": 6}]
    (seen,) = detector.requests
    assert seen.json()["detectors"] == {"keyword": {"keywords": ["secret"]}}


def test_faithfulness_evidences_end_to_end(detector, make_provider):
    detector.queue(Reply(body={"detections": RAG_DETECTIONS}))
    provider = make_provider("faithfulness", "faithfulness_model")
    result = provider.evaluate(table(["q0"], answer=["a0"], context=["c0"]))
    (record,) = result.record_level_metrics
    assert record.value == 0.6 and record.evidences == RAG_EVIDENCES


@pytest.mark.parametrize(
    "reply, cause, reason",
    [
        (Reply(body={"results": []}), KeyError, "'detections'"),
        (Reply(body={"detections": [{"score": 0.4}]}), KeyError, "'text'"),
        (Reply(body={"detections": [{"text": "x", "start": 0, "end": 1}]}), KeyError,
         "'score'"),
        (Reply(body=None), TypeError, None),
    ],
    ids=["no-detections", "evidence-without-text", "no-score", "null-body"],
)
def test_unreadable_answers_fail_the_evaluation(detector, make_provider, reply, cause, reason):
    detector.queue(reply)
    provider = make_provider("hap")
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(table(["q0"])))
    error = raised.value
    assert_wrapped(error, "hap", cause)
    if reason is not None:
        assert str(error.__context__) == reason
