"""tabulo_provider: whole evaluations: the instances handed to the library, the class
lock, flooring and aggregation, record identifiers, errors and the coroutine form."""

from __future__ import annotations

import asyncio
import itertools
import math
import threading

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tabulo import inference as lib
from tabulo_kit import TEST_PREFIX, configuration, provider, rag_table

from tessaly.entities import foundation_model as fm
from tessaly.entities.enums import EvaluationProvider, MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.llm_judge import LLMJudge
from tessaly.entities.metric_threshold import MetricThreshold

pytestmark = pytest.mark.usefixtures("fresh_state")

PUBLIC = {"data_classification_policy": ["public"]}


def custom_judge(scoring_fn=None) -> LLMJudge:
    return LLMJudge(model=fm.CustomFoundationModel(scoring_fn=scoring_fn or (lambda t: ["Yes"] * len(t))))


# --------------------------------------------------------------------------- the instances

def test_instances_handed_to_the_library(tp, probe):
    seen = probe("faithfulness", "m")
    data = rag_table(2, record_id=[7, 8])
    provider(tp, method="m", prefix=TEST_PREFIX).evaluate(data)
    assert seen.instances == [
        {"question": "what is the capital of france", "answer": "paris is the capital",
         "contexts": ["paris is the capital of france"], "ground_truths": ["paris"], "record_id": "7",
         "metadata": PUBLIC},
        {"question": "who wrote hamlet", "answer": "shakespeare wrote it",
         "contexts": ["hamlet is a play by shakespeare"], "ground_truths": ["william shakespeare"],
         "record_id": "8", "metadata": PUBLIC},
    ]
    assert list(data["record_id"]) == [7, 8]  # the caller's table is left alone


QA = {"question": "Q", "answer": "A"}


@pytest.mark.parametrize(
    "fields, expected",
    [
        pytest.param(dict(context_fields=["c1", "c2"]), {**QA, "contexts": ["a", "b"]}, id="two-context-columns"),
        pytest.param(dict(context_fields=["c1"]), {**QA, "contexts": ["a"]}, id="one-plain-context"),
        pytest.param(dict(context_fields=["listed"]), {**QA, "contexts": ["x", "y"]}, id="one-context-list-text"),
        pytest.param(dict(context_fields=[]), QA, id="no-context-fields"),
        pytest.param(dict(context_fields=["c1", "missing"]), QA, id="a-context-column-missing"),
        pytest.param(dict(reference_fields=["c1", "c2"]), {**QA, "ground_truths": ["a", "b"]}, id="two-references"),
        pytest.param(dict(reference_fields=["listed"]), {**QA, "ground_truths": ["x", "y"]}, id="one-reference-list"),
        pytest.param(dict(input_fields=["q", "missing"]), QA, id="only-first-input-looked-at"),
        pytest.param(dict(input_fields=["missing", "q"]), {"answer": "A"}, id="first-input-missing"),
        pytest.param(dict(output_fields=["a", "c1"]), QA, id="first-output"),
        pytest.param(dict(output_fields=["c1", "a"]), {"question": "Q", "answer": "a"}, id="first-of-outputs"),
        pytest.param(dict(output_fields=["a", "missing"]), {"question": "Q"}, id="an-output-missing"),
        pytest.param(dict(output_fields=[]), "fails", id="empty-outputs"),
        pytest.param(dict(input_fields=[]), "fails", id="empty-inputs"),
    ],
)
def test_instance_keys_follow_the_configuration(tp, probe, fields, expected):
    seen = probe("faithfulness", "m")
    config = configuration(**{**dict(input_fields=["q"], output_fields=["a"], context_fields=[],
                                     reference_fields=[], record_id_field="id"), **fields})
    data = pd.DataFrame({"q": ["Q"], "a": ["A"], "c1": ["a"], "c2": ["b"], "listed": ["['x', 'y']"], "id": [1]})
    p = provider(tp, method="m", prefix=TEST_PREFIX, config=config)
    if expected == "fails":
        with pytest.raises(Exception, match="^Error while computing metrics: faithfulness with the method m "):
            p.evaluate(data)
        return
    p.evaluate(data)
    ((instance,),) = [seen.instances]
    assert instance == {**expected, "record_id": "1", "metadata": PUBLIC}


def test_renamed_instance_keys(tp, probe):
    seen = probe("faithfulness", "m")
    mapping = tp.TabuloColumnMapping(question="q", answer="a", contexts="ctx", ground_truths="refs")
    provider(tp, method="m", prefix=TEST_PREFIX, column_mapping=mapping).evaluate(rag_table(1))
    assert set(seen.instances[0]) == {"q", "a", "ctx", "refs", "record_id", "metadata"}


def test_cells_arrive_as_text(tp, probe):
    seen = probe("faithfulness", "m")
    data = rag_table(2, question=[1.5, 2], answer=[True, None], record_id=[10, 11])
    provider(tp, method="m", prefix=TEST_PREFIX).evaluate(data)
    assert [i["question"] for i in seen.instances] == ["1.5", "2.0"]
    assert [i["record_id"] for i in seen.instances] == ["10", "11"]
    assert seen.instances[0]["answer"] == "True"


# --------------------------------------------------------------------------- the lock

@pytest.mark.parametrize(
    "method, judge, locked",
    [
        ("sentence_bert_mini_lm", False, True),
        ("sentence_bert_bge", False, True),
        ("bert_score_recall", False, True),
        ("token_recall", False, False),
        ("token_recall", True, True),  # a configured judge locks whatever the method
    ],
)
def test_which_runs_hold_the_class_lock(tp, probe, method, judge, locked):
    seen = probe("answer_relevance", method)
    config = configuration(llm_judge=custom_judge() if judge else None)
    provider(tp, metric_name="answer_relevance", method=method, prefix=TEST_PREFIX, config=config).evaluate(
        rag_table(3))
    assert seen.lock_held == [locked] * 3


def test_judge_engine_is_built_outside_the_lock_and_scores_inside(tp, monkeypatch):
    events = []

    class Recorded(tp.CustomFunctionInferenceEngine):
        def __init__(self, **kwargs):
            events.append(("engine", tp.TabuloProvider._lock.locked()))
            super().__init__(**kwargs)

    monkeypatch.setattr(tp, "CustomFunctionInferenceEngine", Recorded)

    def scoring_fn(table):
        events.append(("score", tp.TabuloProvider._lock.locked()))
        return ["Yes"] * len(table)

    provider(tp, method="llm_as_judge", llm_judge=custom_judge(scoring_fn)).evaluate(rag_table(2))
    assert events == [("engine", False), ("score", True)]


class Occupancy:
    """How many runs are inside the scorer at once."""

    def __init__(self):
        self.inside = 0
        self.most = 0
        self.changed = threading.Condition()

    def enter_and_linger(self, seconds: float):
        """Come in, then stay until another run comes in too or ``seconds`` pass."""
        with self.changed:
            self.inside += 1
            self.most = max(self.most, self.inside)
            self.changed.notify_all()
            self.changed.wait_for(lambda: self.inside > 1, timeout=seconds)
            self.inside -= 1


def run_in_threads(fns):
    errors = []

    def guarded(fn):
        try:
            fn()
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(fn,)) for fn in fns]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert not errors, errors


def test_runs_with_a_judge_never_overlap(tp):
    occupancy = Occupancy()
    start_together = threading.Barrier(2, timeout=30)

    def scoring_fn(table):
        occupancy.enter_and_linger(0.3)
        return ["Yes"] * len(table)

    def run():
        start_together.wait()
        provider(tp, method="llm_as_judge", llm_judge=custom_judge(scoring_fn)).evaluate(rag_table(2))

    run_in_threads([run, run])
    assert occupancy.most == 1


def test_unlocked_runs_can_overlap(tp, probe):
    both_inside = threading.Barrier(2, timeout=30)

    def score(instance):
        both_inside.wait()  # breaks (and fails the run) unless the other run is inside too
        return 1.0

    probe("answer_relevance", "token_recall", score=score)

    def run():
        provider(tp, metric_name="answer_relevance", prefix=TEST_PREFIX).evaluate(rag_table(1))

    run_in_threads([run, run])


def test_lock_is_released_when_the_run_fails(tp, probe):
    def score(instance):
        raise RuntimeError("scorer broke")

    probe("faithfulness", "sentence_bert_mini_lm", score=score)
    p = provider(tp, method="sentence_bert_mini_lm", prefix=TEST_PREFIX)
    for _ in range(2):  # a lock left held would hang the second run
        with pytest.raises(Exception, match="Reason: scorer broke$"):
            p.evaluate(rag_table())
    assert not tp.TabuloProvider._lock.locked()


# --------------------------------------------------------------------------- values and aggregates

@pytest.mark.parametrize(
    "name, method, raw, values, mean",
    [
        ("faithfulness", "sentence_bert_mini_lm", [-0.05, 0.51234], [0.0, 0.5123], 0.2312),
        ("answer_relevance", "sentence_bert_mini_lm", [-0.05, 0.51234], [-0.05, 0.5123], 0.2312),
        ("context_relevance", "sentence_bert_bge", [-0.3, 0.0], [0.0, 0.0], -0.15),
        ("context_relevance", "sentence_bert_mini_lm", [-0.00001, 2.5], [0.0, 2.5], 1.25),
        ("context_relevance", "bert_score_recall", [-0.3, 0.12345], [-0.3, 0.1235], -0.0883),
        ("answer_correctness", "sentence_bert_mini_lm", [float("nan"), 0.2], [0.0, 0.2], 0.2),
        ("faithfulness", "sentence_bert_bge", [-0.3, 0.6], [-0.3, 0.6], 0.15),
        ("faithfulness", "token_recall", [1, 0], [1, 0], 0.5),
    ],
)
def test_flooring_rounding_and_the_raw_mean(tp, probe, name, method, raw, values, mean):
    scores = dict(zip(["r0", "r1"], raw))
    probe(name, method, score=lambda inst: scores[inst["record_id"]])
    thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
    p = provider(tp, metric_name=name, method=method, prefix=TEST_PREFIX, metric_display_name="Shown",
                 metric_group=MetricGroup.ANSWER_QUALITY, thresholds=thresholds)
    result = p.evaluate(rag_table(2))
    assert type(result) is AggregateMetricResult
    assert [r.value for r in result.record_level_metrics] == values
    assert [type(r.value) for r in result.record_level_metrics] == [type(v) for v in values]
    assert (result.value, result.mean, result.min, result.max) == (mean, mean, min(values), max(values))
    assert result.total_records == 2
    for record in result.record_level_metrics:
        assert type(record) is RecordMetricResult
        assert (record.name, record.display_name, record.method, record.group, record.provider) == (
            name, "Shown", method, MetricGroup.ANSWER_QUALITY, EvaluationProvider.TABULO.value)
        assert record.thresholds == thresholds
    assert (result.name, result.display_name, result.method, result.group, result.provider) == (
        name, "Shown", method, MetricGroup.ANSWER_QUALITY, EvaluationProvider.TABULO.value)
    assert result.thresholds == thresholds


NAN = float("nan")
INF = float("inf")


def aggregate_of(tp, name, method, scores, record_ids):
    p = provider(tp, metric_name=name, method=method)
    table = pd.DataFrame({name: scores, "record_id": record_ids})
    return p._TabuloProvider__post_process(result=table)


def figures(result) -> tuple:
    """value, mean, min and max, with NaN as the text "nan" so that they compare equal."""
    return tuple("nan" if isinstance(f, float) and math.isnan(f) else f
                 for f in (result.value, result.mean, result.min, result.max))


def records(result) -> list:
    return [(r.record_id, "nan" if isinstance(r.value, float) and math.isnan(r.value) else r.value)
            for r in result.record_level_metrics]


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # inf - inf
@pytest.mark.parametrize(
    "name, method, scores, expected",
    [
        pytest.param("answer_relevance", "sentence_bert_mini_lm", [NAN, 0.5, 0.2], (0.35, 0.35, 0.2, 0.5),
                     id="missing-beside-scores"),
        pytest.param("answer_relevance", "sentence_bert_mini_lm", [None, 0.5, 0.2, None], (0.35, 0.35, 0.2, 0.5),
                     id="none-beside-scores"),
        pytest.param("answer_relevance", "sentence_bert_mini_lm", [NAN, -0.05, NAN], (-0.05, -0.05, -0.05, -0.05),
                     id="one-score"),
        pytest.param("answer_relevance", "sentence_bert_mini_lm", [NAN, NAN, NAN], ("nan",) * 4,
                     id="every-score-missing"),
        pytest.param("answer_relevance", "sentence_bert_mini_lm", [NAN, INF, -INF], ("nan", "nan", -INF, INF),
                     id="infinities-have-no-mean"),
        pytest.param("faithfulness", "sentence_bert_mini_lm", [NAN, 0.5, 0.2], (0.35, 0.35, 0.0, 0.5),
                     id="floored-missing-is-zero"),
        pytest.param("faithfulness", "sentence_bert_mini_lm", [NAN, NAN], ("nan", "nan", 0.0, 0.0),
                     id="floored-every-score-missing"),
    ],
)
def test_aggregate_is_the_same_in_every_record_order(tp, name, method, scores, expected):
    # min() and max() over values holding NaN answer by where the NaN stands; the aggregate
    # leaves missing values out, as the mean does, so no order of the records changes it.
    ids = [f"r{i}" for i in range(len(scores))]
    first = aggregate_of(tp, name, method, scores, ids)
    for order in itertools.permutations(range(len(scores))):
        result = aggregate_of(tp, name, method, [scores[i] for i in order], [ids[i] for i in order])
        assert figures(result) == expected, order
        assert records(result) == [records(first)[i] for i in order]
        assert result.total_records == len(scores)


dyadic_scores = st.lists(  # exact sums, so that the mean cannot depend on the order of addition
    st.one_of(st.integers(-64, 64).map(lambda n: n / 16), st.just(NAN), st.none(), st.sampled_from([INF, -INF])),
    min_size=1, max_size=7,
).filter(lambda scores: any(s is not None for s in scores))


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # inf - inf
@settings(max_examples=200, deadline=None)
@given(data=st.data(), name_method=st.sampled_from([("answer_relevance", "sentence_bert_mini_lm"),
                                                    ("faithfulness", "sentence_bert_mini_lm"),
                                                    ("context_relevance", "bert_score_recall")]))
def test_aggregate_does_not_depend_on_record_order(tp, data, name_method):
    name, method = name_method
    scores = data.draw(dyadic_scores, label="scores")
    order = data.draw(st.permutations(range(len(scores))), label="order")
    ids = [f"r{i}" for i in range(len(scores))]
    first = aggregate_of(tp, name, method, scores, ids)
    again = aggregate_of(tp, name, method, [scores[i] for i in order], [ids[i] for i in order])
    assert figures(again) == figures(first)
    assert records(again) == [records(first)[i] for i in order]
    present = [v for _, v in records(first) if v != "nan"]
    assert figures(first)[2:] == ((min(present), max(present)) if present else ("nan", "nan"))


def test_library_similarity_scores(tp):
    # The stand-in library's own scorers, end to end: identical texts score 1.
    data = rag_table(1, answer=["paris is the capital of france"])
    result = provider(tp, method="sentence_bert_mini_lm").evaluate(data)
    assert result.value == 1.0 and result.record_level_metrics[0].record_id == "r0"


def test_default_thresholds_reach_the_results(tp):
    p = provider(tp)
    result = p.evaluate(rag_table(2))
    assert result.thresholds == [] and all(r.thresholds == [] for r in result.record_level_metrics)
    assert p.thresholds == []


@pytest.mark.parametrize(
    "index",
    [
        pytest.param([5, 2, 9], id="filtered"),
        pytest.param(["x", "y", "z"], id="text-labels"),
        pytest.param([1, 0, 2], id="shuffled"),
        pytest.param([0, 0, 1], id="duplicate-labels"),
    ],
)
def test_record_ids_follow_the_rows_whatever_the_index(tp, probe, index):
    probe("faithfulness", "m", score=lambda inst: {"a": 0.1, "b": 0.2, "c": 0.3}[inst["record_id"]])
    data = pd.DataFrame({"question": ["q"] * 3, "answer": ["x"] * 3, "contexts": ["['c']"] * 3,
                         "ground_truths": ["['g']"] * 3, "record_id": ["a", "b", "c"]}, index=index)
    result = provider(tp, method="m", prefix=TEST_PREFIX).evaluate(data)
    assert [(r.record_id, r.value) for r in result.record_level_metrics] == [("a", 0.1), ("b", 0.2), ("c", 0.3)]


def test_filtered_table_keeps_its_record_ids(tp):
    table = rag_table(4)
    filtered = table[table["question"] != "who wrote hamlet"]
    assert list(filtered.index) == [0, 2, 3]
    result = provider(tp).evaluate(filtered)
    assert [r.record_id for r in result.record_level_metrics] == ["r0", "r2", "r3"]


def test_empty_table_fails(tp):
    with pytest.raises(Exception, match="^Error while computing metrics: faithfulness with the method token_recall"):
        provider(tp).evaluate(rag_table(0))


# --------------------------------------------------------------------------- errors

@pytest.mark.parametrize(
    "prepare, reason",
    [
        pytest.param(lambda data: data.drop(columns=["record_id"]), "'record_id'", id="missing-record-id-column"),
        pytest.param(lambda data: data, "'metrics.rag.external_rag.faithfulness.nope' is not in the tabulo "
                     "catalogue; entries under the same prefix: ", id="unknown-catalogue-reference"),
    ],
)
def test_failures_are_wrapped(tp, prepare, reason):
    method = "nope" if "nope" in reason else "token_recall"
    p = provider(tp, method=method)
    with pytest.raises(Exception) as caught:
        p.evaluate(prepare(rag_table()))
    error = caught.value
    assert type(error) is Exception
    assert str(error).startswith(
        f"Error while computing metrics: faithfulness with the method {method} using tabulo library. Reason: {reason}")
    assert error.__cause__ is None and error.__context__ is not None and not error.__suppress_context__


def test_judge_failure_message(tp):
    failure = ConnectionError("judge offline")

    def respond(prompt, engine):
        raise failure

    p = provider(tp, method="llm_as_judge", llm_judge=LLMJudge(model=fm.PortKeyGateway(model_id="m")))
    with lib.local_responder(respond):
        with pytest.raises(Exception) as caught:
            p.evaluate(rag_table())
    assert str(caught.value) == (
        "Error while computing metrics: faithfulness with the method llm_as_judge using tabulo library. "
        "Reason: judge offline"
    )
    assert caught.value.__context__ is failure and caught.value.__cause__ is None


def test_non_exception_errors_pass_through(tp, probe):
    def score(instance):
        raise KeyboardInterrupt

    probe("faithfulness", "m", score=score)
    with pytest.raises(KeyboardInterrupt):
        provider(tp, method="m", prefix=TEST_PREFIX).evaluate(rag_table())


# --------------------------------------------------------------------------- the coroutine form

def test_evaluate_async_runs_several_at_once_from_a_running_loop(tp, probe):
    threads = set()

    def score(instance):
        threads.add(threading.get_ident())
        return 0.25

    probe("answer_relevance", "m", score=score)
    methods = ["token_recall", "m", "sentence_bert_bge", "llm_as_judge"]

    async def main():
        loop_thread = threading.get_ident()
        providers = [
            provider(tp, metric_name="answer_relevance", method="token_recall"),
            provider(tp, metric_name="answer_relevance", method="m", prefix=TEST_PREFIX),
            provider(tp, metric_name="answer_relevance", method="sentence_bert_bge"),
            provider(tp, metric_name="answer_relevance", method="llm_as_judge", llm_judge=custom_judge(
                lambda t: ["10"] * len(t))),
        ]
        results = await asyncio.gather(*(p.evaluate_async(data=rag_table(2)) for p in providers))
        return loop_thread, results

    loop_thread, results = asyncio.run(main())
    assert [r.method for r in results] == methods
    assert results[1].value == 0.25 and results[3].value == 1.0
    assert loop_thread not in threads  # the runs happen on executor threads


def test_evaluate_async_raises_the_wrapped_error(tp):
    async def main():
        return await provider(tp, method="nope").evaluate_async(rag_table())

    with pytest.raises(Exception, match="^Error while computing metrics: faithfulness with the method nope "):
        asyncio.run(main())


def test_evaluate_async_hands_evaluate_to_the_sdk_helper(tp, monkeypatch):
    calls = []
    original = tp.start_event_loop_run_func

    def recording(func, **kwargs):
        calls.append((func, list(kwargs)))
        return original(func, **kwargs)

    monkeypatch.setattr(tp, "start_event_loop_run_func", recording)
    p = provider(tp)
    data = rag_table()
    result = asyncio.run(p.evaluate_async(data))
    ((func, keywords),) = calls
    assert func == p.evaluate and func.__self__ is p and keywords == ["data"]
    assert result.total_records == 2
