"""The provider's results against a literal, row-by-row (``iterrows``) rendering of the
post-processing it implements, over generated score columns: values, record
identifiers and aggregates must agree, types included."""

from __future__ import annotations

import math

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tabulo import catalog
from tabulo.metrics import FunctionMetric
from tabulo_kit import TEST_PREFIX, configuration, provider

from tessaly.entities.enums import EvaluationProvider, MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.metric_threshold import MetricThreshold

CLIP_METRIC_METHODS = {
    "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
    "faithfulness": {"sentence_bert_mini_lm"},
    "answer_correctness": {"sentence_bert_mini_lm"},
}

METRIC_METHODS = [
    ("faithfulness", "sentence_bert_mini_lm"),  # floored
    ("context_relevance", "sentence_bert_bge"),  # floored
    ("answer_correctness", "sentence_bert_mini_lm"),  # floored
    ("faithfulness", "sentence_bert_bge"),
    ("answer_relevance", "sentence_bert_mini_lm"),
    ("context_relevance", "bert_score_recall"),
    ("answer_similarity", "token_recall"),
]
THRESHOLDS = [MetricThreshold(type="upper_limit", value=0.9)]


def reference_post_process(p, result: pd.DataFrame) -> AggregateMetricResult:
    """The post-processing step by step, reading the score table row by row."""
    record_level_metrics = []
    apply_clipping = p.metric_name in CLIP_METRIC_METHODS and p.metric_method in CLIP_METRIC_METHODS[p.metric_name]
    for _, row in result.iterrows():
        score = row[p.metric_name]
        if apply_clipping:
            score = score if score > 0.0 else 0.0
        value = round(score, 4)
        record_level_metrics.append(
            RecordMetricResult(
                name=p.metric_name, display_name=p.metric_display_name, method=p.metric_method,
                group=p.metric_group, provider=EvaluationProvider.TABULO.value, value=value,
                record_id=str(row["record_id"]), thresholds=p.thresholds,
            )
        )
    values = [record.value for record in record_level_metrics]
    mean = round(result[p.metric_name].mean(), 4)
    # min and max leave missing values (NaN: unequal to themselves) out, as the mean does;
    # NaN when every value is missing; a table without rows fails in min().
    present = [v for v in values if v == v]
    if values and not present:
        low = high = math.nan
    else:
        low, high = min(present), max(present)
    return AggregateMetricResult(
        name=p.metric_name, display_name=p.metric_display_name, method=p.metric_method, group=p.metric_group,
        provider=EvaluationProvider.TABULO.value, value=mean, total_records=len(values),
        record_level_metrics=record_level_metrics, min=low, max=high, mean=mean,
        thresholds=p.thresholds,
    )


def reference_score_table(p, scores: list, instance_record_ids: pd.Series) -> pd.DataFrame:
    """The score table of a run: the scores, then the instance table's record-id column."""
    table = pd.DataFrame()
    table[p.metric_name] = scores
    table["record_id"] = instance_record_ids
    return table


def same(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def assert_same_results(native: AggregateMetricResult, expected: AggregateMetricResult):
    assert type(native) is type(expected)
    for field in ("name", "display_name", "method", "group", "provider", "total_records", "thresholds"):
        assert same(getattr(native, field), getattr(expected, field)), field
    for field in ("value", "mean", "min", "max"):
        assert same(getattr(native, field), getattr(expected, field)), (field, getattr(native, field),
                                                                         getattr(expected, field))
    assert len(native.record_level_metrics) == len(expected.record_level_metrics)
    for got, want in zip(native.record_level_metrics, expected.record_level_metrics):
        assert type(got) is type(want)
        for field in ("name", "display_name", "method", "group", "provider", "record_id", "thresholds"):
            assert same(getattr(got, field), getattr(want, field)), field
        assert same(got.value, want.value), (got.value, type(got.value), want.value, type(want.value))


def outcome(fn):
    """The result of ``fn()``, or the type and text of its exception."""
    try:
        return fn()
    except Exception as exc:  # compared below
        return (type(exc), str(exc))


def assert_same_outcome(native, expected):
    if isinstance(expected, tuple) or isinstance(native, tuple):
        assert native == expected
    else:
        assert_same_results(native, expected)


scores_strategy = st.one_of(
    st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=1, max_size=8),
    st.lists(st.integers(-10**6, 10**6), min_size=1, max_size=8),
    st.lists(st.one_of(st.floats(-2.0, 2.0), st.integers(-3, 3), st.just(float("nan"))), min_size=1, max_size=8),
    # None beside floats is a NaN of a float column; a column of nothing but None is
    # a column of objects, covered by test_missing_scores_are_read_as_nan.
    st.lists(st.one_of(st.floats(-1.0, 1.0), st.none()), min_size=1, max_size=8).filter(
        lambda scores: any(s is not None for s in scores)),
    st.lists(st.one_of(st.integers(-(2**70), 2**70), st.floats(-1e3, 1e3)), min_size=1, max_size=8),
    st.lists(st.booleans(), min_size=1, max_size=8),
)


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@settings(max_examples=300, deadline=None)
@given(data=st.data(), metric_method=st.sampled_from(METRIC_METHODS))
def test_post_process_matches_row_by_row_reading(tp, data, metric_method):
    name, method = metric_method
    scores = data.draw(scores_strategy, label="scores")
    ids = data.draw(st.lists(st.text(max_size=4), min_size=len(scores), max_size=len(scores)), label="ids")
    p = provider(tp, metric_name=name, method=method, metric_display_name="D",
                 metric_group=MetricGroup.RETRIEVAL_QUALITY, thresholds=THRESHOLDS)
    table = reference_score_table(p, scores, pd.Series(ids).astype(str))
    assert_same_outcome(outcome(lambda: p._TabuloProvider__post_process(result=table)),
                        outcome(lambda: reference_post_process(p, table)))


record_id_values = st.sampled_from([
    st.text(max_size=4),
    st.integers(-50, 50),
    st.floats(allow_nan=True, allow_infinity=False),
    st.none(),  # every identifier missing
    st.one_of(st.none(), st.integers(0, 9)),
])


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@settings(max_examples=200, deadline=None)
@given(data=st.data(), metric_method=st.sampled_from(METRIC_METHODS))
def test_whole_runs_match_the_row_by_row_form(tp, data, metric_method):
    name, method = metric_method
    scores = data.draw(scores_strategy, label="scores")
    id_value = data.draw(record_id_values, label="kind of record ids")
    ids = data.draw(st.lists(id_value, min_size=len(scores), max_size=len(scores)), label="record ids")
    caller = pd.DataFrame({"question": ["q"] * len(scores), "record_id": pd.Series(ids, dtype=object)})
    by_row = iter(scores)
    metric = FunctionMetric(lambda instance: next(by_row), main_score=name)
    p = provider(tp, metric_name=name, method=method, prefix=TEST_PREFIX, metric_display_name="D",
                 config=configuration(output_fields=["question"], context_fields=[], reference_fields=[]))
    with catalog.registered(f"{TEST_PREFIX}.{name}.{method}", metric):
        native = outcome(lambda: p.evaluate(caller))
    # The instance table's record ids are the caller's column converted to text.
    # every cell in its string form, as older pandas' astype(str) writes missing ones too
    table = reference_score_table(p, scores, caller["record_id"].map(str))
    expected = outcome(lambda: reference_post_process(p, table))
    if isinstance(expected, tuple):  # evaluate reports a failure of the run wrapped
        kind, text = expected
        expected = (Exception, f"Error while computing metrics: {name} with the method {method} "
                               f"using tabulo library. Reason: {text}")
    assert_same_outcome(native, expected)


@pytest.mark.parametrize(
    "scores, values, mean",
    [([1, 2], [1, 2], 1.5), ([0.5, 0.25], [0.5, 0.25], 0.375), ([True, False], [1, 0], 0.5)],
)
def test_record_values_keep_the_scores_types_when_every_id_is_missing(tp, scores, values, mean):
    by_row = iter(scores)
    metric = FunctionMetric(lambda instance: next(by_row), main_score="answer_relevance")
    p = provider(tp, metric_name="answer_relevance", method="m", prefix=TEST_PREFIX)
    caller = pd.DataFrame({"question": ["q", "r"], "answer": ["a", "b"], "record_id": [None, None]})
    with catalog.registered(f"{TEST_PREFIX}.answer_relevance.m", metric):
        result = p.evaluate(caller)
    got = [r.value for r in result.record_level_metrics]
    assert got == values and [type(v) for v in got] == [type(v) for v in values]
    # every cell as its string form, whatever the pandas version
    assert [r.record_id for r in result.record_level_metrics] == ["None", "None"]
    assert result.mean == mean


def run_with_scores(tp, name, method, scores):
    by_row = iter(scores)
    metric = FunctionMetric(lambda instance: next(by_row), main_score=name)
    p = provider(tp, metric_name=name, method=method, prefix=TEST_PREFIX)
    data = pd.DataFrame({"question": ["q"] * len(scores), "answer": ["a"] * len(scores),
                         "record_id": [f"r{i}" for i in range(len(scores))]})
    with catalog.registered(f"{TEST_PREFIX}.{name}.{method}", metric):
        return p.evaluate(data)


@pytest.mark.parametrize(
    "name, method, scores, values",
    [
        pytest.param("answer_relevance", "m", [None, None], ["nan", "nan"], id="missing"),
        pytest.param("faithfulness", "sentence_bert_mini_lm", [None, None], [0.0, 0.0], id="missing-floored"),
        pytest.param("answer_relevance", "m", [True, None], [1, "nan"], id="missing-beside-a-flag"),
    ],
)
def test_missing_scores_are_read_as_nan(tp, name, method, scores, values):
    # Read row by row, a missing score in a column of objects is NaN, not None.
    result = run_with_scores(tp, name, method, scores)
    got = [("nan" if isinstance(r.value, float) and math.isnan(r.value) else r.value)
           for r in result.record_level_metrics]
    assert got == values
    assert [type(r.value) for r in result.record_level_metrics] == [
        float if v == "nan" else type(v) for v in values]


def test_text_score_fails_as_round_does(tp):
    with pytest.raises(Exception) as caught:
        run_with_scores(tp, "answer_relevance", "m", ["0.5"])
    assert str(caught.value) == (
        "Error while computing metrics: answer_relevance with the method m using tabulo library. "
        "Reason: type str doesn't define __round__ method")
    assert type(caught.value.__context__) is TypeError
