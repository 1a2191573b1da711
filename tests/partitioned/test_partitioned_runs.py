"""Partitioned runs, in this process and on a real Dask cluster of worker processes: the same
result as one `_evaluate_metrics` over the whole table, whatever the partitioning, with
failures, lost workers and interruptions handled as one process would."""

from __future__ import annotations

import _thread
import math
import decimal
import os
import re
import signal
import subprocess
import sys
import threading
import time
import types

import dask.dataframe as dd
import numpy
import pandas as pd
import pytest
from partitioned_kit import (
    ANSWERS,
    TOKEN,
    UNSURE,
    FailingWhereMarked,
    PartitionsInFlight,
    assert_same_as_one_process,
    configuration,
    errors,
    metrics,
    table,
    unsure_judge,
)

from tessaly.entities.base_classes import Error
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.foundation_model import CustomFoundationModel
from tessaly.entities.llm_judge import LLMJudge
from tessaly.evaluators.impl import partitioned_runner
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned
from tessaly.metrics import FaithfulnessJudgeMetric, HAPMetric, KeywordDetectionMetric
from tessaly.metrics.local_metrics import TextLengthMetric

EMPTY = "The provided data is empty for metrics computation."


def one_process(caller_table, client):
    """`_evaluate_metrics` of the table as the partitioned run filled it."""
    return _evaluate_metrics(configuration(), caller_table.copy(), metrics(), client)


def as_dask(frame: pd.DataFrame, partitions: int):
    return dd.from_pandas(frame, npartitions=partitions, sort=False)


# ---- results equal to one process -------------------------------------------------------------


@pytest.mark.parametrize("rows, partition_rows",
                         [(12, 4), (13, 5), (1, 50000), (5, sys.maxsize - 5), (5, sys.maxsize), (5, 2**100)],
                         ids=["dividing", "not-dividing", "one-row", "near-the-largest", "the-largest", "beyond"])
@pytest.mark.parametrize("where", ["here", "cluster"])
def test_pandas_table_gives_the_one_process_result(request, client_of, rows, partition_rows, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    caller = table(rows)
    got = _evaluate_metrics_partitioned(configuration(), caller, metrics(), client_of(),
                                        partition_rows=partition_rows, client=dask_client)
    # identifiers and one timestamp, filled into the caller's table before partitioning
    assert caller["record_id"].is_unique and caller["record_timestamp"].nunique() == 1
    assert [r.record_id for r in got.metrics_result[0].record_level_metrics] == list(caller["record_id"])
    assert_same_as_one_process(got, one_process(caller, client_of()))


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_dask_frame_gives_the_one_process_result(request, client_of, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    whole = table(11)
    whole["record_id"] = [f"r{i}" for i in range(11)]
    whole["record_timestamp"] = "2026-12-08T10:00:00"
    got = _evaluate_metrics_partitioned(configuration(), as_dask(whole, 3), metrics(), client_of(),
                                        client=dask_client)
    assert_same_as_one_process(got, one_process(whole, client_of()))


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_a_dask_frame_gets_missing_identifiers_where_each_partition_is_evaluated(request, client_of, detection, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    whole = table(9)
    whole["answer"] = [f"{ANSWERS[i % len(ANSWERS)]} ({'+' * i})" for i in range(9)]  # a length of its own per row
    detection.script_where("Question 1:", ("delay", 0.5))  # the first partition finishes last
    chosen = [HAPMetric(), TextLengthMetric()]
    got = _evaluate_metrics_partitioned(configuration(), as_dask(whole, 3), chosen, client_of(), client=dask_client)
    hap, length = got.metrics_result
    ids = [r.record_id for r in hap.record_level_metrics]
    assert len(set(ids)) == 9 and all(ids)
    assert [r.record_id for r in length.record_level_metrics] == ids  # one identifier per row for every metric
    assert [r.value for r in length.record_level_metrics] == [float(len(a)) for a in whole["answer"]]  # table order
    # The same results as one process over the table with the identifiers and timestamps filled.
    filled = whole.assign(record_id=ids, record_timestamp=[r.record_timestamp for r in length.record_level_metrics])
    assert_same_as_one_process(got, _evaluate_metrics(configuration(), filled, chosen, client_of()))


# ---- records that failed --------------------------------------------------------------------
#
# A run against a flaky service, or with a judge that cannot always answer, has records without
# a value: they enter neither a partition's mean, nor its min or max, and a partition may have
# none with a value at all. Partitions of 4 rows of 12; the failed records of each layout:
FAILED = {
    "one-failed-beside-a-failed-partition-first": {0, 1, 2, 3, 5},
    "a-failed-partition-after-one-with-one-failed": {1, 4, 5, 6, 7},
    "every-record-failed": set(range(12)),
}
FLAKY = "FLAKY"  # the detection service fails the requests that hold it
RUDE = ["", " You idiot.", " That is stupid.", " Damn.", " What crap.", " Such a loser."]  # varied detector scores


def table_with_failed_records(failed: set[int], *, answer_failed) -> pd.DataFrame:
    frame = table(12)
    frame["question"] = [f"Question {i}: what about Paris?{RUDE[i % len(RUDE)]}" + (f" {FLAKY}" if i in failed else "")
                         for i in range(12)]
    frame["answer"] = [answer_failed(ANSWERS[i % len(ANSWERS)]) if i in failed else ANSWERS[i % len(ANSWERS)]
                       for i in range(12)]
    return frame


def judge_metrics() -> list:
    return [FaithfulnessJudgeMetric(
        method="llm_as_judge", display_name="Faithfulness (judge)",
        llm_judge=LLMJudge(model=CustomFoundationModel(scoring_fn=unsure_judge, model_id="unsure-judge")))]


@pytest.mark.parametrize("layout", FAILED)
@pytest.mark.parametrize("where", ["here", "cluster"])
def test_failed_detector_and_local_records_merge_as_one_process(request, client_of, detection, layout, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    detection.script_where(FLAKY, 500)
    caller = table_with_failed_records(FAILED[layout], answer_failed=lambda answer: None)
    chosen = [HAPMetric(), TextLengthMetric()]
    got = _evaluate_metrics_partitioned(configuration(), caller, chosen, client_of(), partition_rows=4,
                                        client=dask_client)
    expected = _evaluate_metrics(configuration(), caller.copy(), [HAPMetric(), TextLengthMetric()], client_of())
    # The layout is what the test is about. The text lengths of missing answers are missing too
    # where the text conversion of the answer column keeps them missing (pandas 3 and later).
    hap, length = expected.metrics_result
    assert [i for i, r in enumerate(hap.record_level_metrics) if r.value is None] == sorted(FAILED[layout])
    if int(pd.__version__.split(".")[0]) >= 3:
        assert [i for i, r in enumerate(length.record_level_metrics) if r.value is None] == sorted(FAILED[layout])
    assert_same_as_one_process(got, expected)


@pytest.mark.parametrize("layout", FAILED)
@pytest.mark.parametrize("where", ["here", "cluster"])
def test_records_a_judge_could_not_score_merge_as_one_process(request, client_of, layout, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    caller = table_with_failed_records(FAILED[layout], answer_failed=lambda answer: f"{answer} {UNSURE}")
    got = _evaluate_metrics_partitioned(configuration(), caller, judge_metrics(), client_of(), partition_rows=4,
                                        client=dask_client)
    expected = _evaluate_metrics(configuration(), caller.copy(), judge_metrics(), client_of())
    (aggregate,) = expected.metrics_result
    assert [i for i, r in enumerate(aggregate.record_level_metrics) if math.isnan(r.value)] == sorted(FAILED[layout])
    assert_same_as_one_process(got, expected)



def test_the_same_metric_twice_is_merged_each_on_its_own(client_of):
    # Two keyword detectors of the same name, method and display name, told apart by their place.
    chosen = [KeywordDetectionMetric(keywords=["idiot"]), KeywordDetectionMetric(keywords=["Paris"])]
    caller = table(8)
    got = _evaluate_metrics_partitioned(configuration(), caller, chosen, client_of(), partition_rows=3)
    expected = _evaluate_metrics(configuration(), caller.copy(), chosen, client_of())
    first, second = expected.metrics_result
    assert (first.name, first.method, first.display_name) == (second.name, second.method, second.display_name)
    assert first.mean != second.mean
    assert_same_as_one_process(got, expected)


# ---- failures -----------------------------------------------------------------------------------


def marked_table():
    frame = table(24)
    frame.loc[9, "question"] = "Question 9 MARKED first"  # the third partition of 4 rows
    frame.loc[17, "question"] = "Question 17 MARKED later"  # the fifth
    return frame


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_a_metric_failing_in_the_third_partition_fails_the_run_as_one_process(request, client_of, where, capsys):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    caller = marked_table()
    with pytest.raises(ValueError) as one:
        _evaluate_metrics(configuration(), caller.copy(), [HAPMetric(), FailingWhereMarked()], client_of())
    with pytest.raises(ValueError) as partitioned:
        _evaluate_metrics_partitioned(configuration(), caller, [HAPMetric(), FailingWhereMarked()], client_of(),
                                      partition_rows=4, client=dask_client, progress=True)
    assert str(partitioned.value) == str(one.value) == "cannot score 'Question 9 MARKED first'"
    # the progress shown ends with where the run stopped, on a line of its own (the cluster may log too)
    last = [line for line in capsys.readouterr().err.splitlines() if line.startswith("partitioned run")][-1]
    stopped = r"partitioned run stopped: \d+ of 24 records, 0 failed, [\d:]+ elapsed, 0 of 6 partitions resumed"
    assert re.fullmatch(stopped, last), last



@pytest.mark.parametrize("where", ["threads", "cluster"], ids=["threads-here", "cluster"])
def test_no_partition_after_a_failed_one_is_sent(request, client_of, detection, where):
    dask_client = request.getfixturevalue("threads_client" if where == "threads" else "dask_client")
    caller = marked_table()
    tag = f"after a failure, {where}"  # this run's requests, not those a run before left behind
    caller["question"] = [f"{question} ({tag})" for question in caller["question"]]
    with pytest.raises(ValueError, match="^cannot score 'Question 9 MARKED first"):
        _evaluate_metrics_partitioned(configuration(), caller, [HAPMetric(), FailingWhereMarked()], client_of(),
                                      partition_rows=4, client=dask_client, partitions_in_flight=1)
    asked = {int(re.match(r"Question (\d+)", r.json()["input"]).group(1)) for r in detection.posts() if tag in r.body}
    assert sorted(asked) == list(range(12))  # the first three partitions, up to the failed one


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_an_empty_table_is_refused_as_one_process_refuses_it(request, client_of, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    for data in (table(0), as_dask(table(0), 1)):
        with pytest.raises(ValueError, match=f"^{EMPTY}$"):
            _evaluate_metrics_partitioned(configuration(), data, [HAPMetric()], client_of(), client=dask_client)


def test_a_worker_lost_mid_run_has_its_partition_run_again(dask_client, client_of, detection, capsys, monkeypatch):
    monkeypatch.setattr(partitioned_runner, "PROGRESS_LINE_SECONDS", 0.05)
    caller = table(16)
    detection.script("*", [("delay", 0.3)] * 16)  # every partition takes a while
    outcome = {}

    def run():
        try:
            outcome["result"] = _evaluate_metrics_partitioned(
                configuration(), caller, [HAPMetric()], client_of(), partition_rows=4, client=dask_client,
                progress=True)
        except BaseException as e:  # noqa: BLE001 - reported below
            outcome["error"] = e

    runner = threading.Thread(target=run)
    runner.start()
    busy = None
    deadline = time.monotonic() + 30
    while busy is None and time.monotonic() < deadline:
        busy = next((worker for worker, tasks in dask_client.processing().items() if tasks), None)
        time.sleep(0.05)
    assert busy is not None, "no partition started"
    try:
        dask_client.run(os._exit, 1, workers=[busy])
    except Exception:  # noqa: BLE001 - the worker is gone before it can answer
        pass
    runner.join(120)
    assert "error" not in outcome, outcome.get("error")
    dask_client.wait_for_workers(2, timeout=60)
    assert busy not in dask_client.scheduler_info()["workers"]  # it was lost, and replaced
    got = outcome["result"]
    ids = [r.record_id for r in got.metrics_result[0].record_level_metrics]
    assert ids == list(caller["record_id"])  # every record once, in table order
    shown = [int(re.search(r"(\d+)(?: of 16)? records", line)[1]) for line in capsys.readouterr().err.splitlines()]
    assert shown[-1] == 16 and max(shown) == 16  # the partition run again is not counted twice
    assert_same_as_one_process(got, _evaluate_metrics(configuration(), caller.copy(), [HAPMetric()], client_of()))


def test_an_interrupted_run_cancels_the_partitions_still_pending(dask_client, client_of, detection):
    detection.script("*", [("delay", 3)] * 40)
    started, left = threading.Event(), threading.Event()

    # A KeyboardInterrupt raised while the main thread runs a finalizer, or code of a library
    # that handles it itself, never reaches the caller, as in any Python program: the
    # interrupter repeats it, as a person would press Ctrl-C again, until the call has left.
    def on_interrupt(signum, frame):
        if not left.is_set():
            raise KeyboardInterrupt

    def interrupt():
        deadline = time.monotonic() + 30
        while not any(dask_client.processing().values()) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)
        started.set()
        while not left.is_set() and time.monotonic() < deadline + 30:
            _thread.interrupt_main()
            left.wait(2)

    previous = signal.signal(signal.SIGINT, on_interrupt)
    interrupter = threading.Thread(target=interrupt)
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _evaluate_metrics_partitioned(configuration(), table(40), [HAPMetric()], client_of(),
                                          partition_rows=4, client=dask_client)
    finally:
        left.set()
        interrupter.join()
        signal.signal(signal.SIGINT, previous)
    assert started.is_set()
    deadline = time.monotonic() + 30
    while any(dask_client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(dask_client.processing().values())
    # of 10 partitions, the ones running when interrupted finished or stopped: no others began
    assert len(detection.requests) < 40


# ---- partitions in flight ---------------------------------------------------------------------


def partitions_served_at_once(requests, partition_rows: int) -> int:
    """The most partitions whose requests the service was serving at once; a partition counts
    from its first request's arrival to its last one's completion."""
    spans: dict[int, tuple[float, float]] = {}
    for r in requests:
        i = int(re.match(r"Question (\d+):", r.json()["input"]).group(1)) // partition_rows
        start, end = spans.get(i, (r.arrived, r.completed))
        spans[i] = (min(start, r.arrived), max(end, r.completed))
    most = now = 0
    for _, step in sorted([(start, 1) for start, _ in spans.values()] + [(end, -1) for _, end in spans.values()]):
        now += step
        most = max(most, now)
    return most


@pytest.mark.parametrize("bound", [1, 2, None], ids=["one", "two", "the-cluster-threads"])
@pytest.mark.parametrize("where", ["threads", "cluster"], ids=["threads-here", "cluster"])
def test_at_most_partitions_in_flight_are_sent_at_once(request, client_of, detection, where, bound):
    dask_client = request.getfixturevalue("threads_client" if where == "threads" else "dask_client")
    allowed = bound or sum(dask_client.nthreads().values())  # by default one per worker thread
    dask_client.register_plugin(PartitionsInFlight())
    try:
        seen = dask_client.cluster.scheduler.plugins[PartitionsInFlight.name]
        caller = table(12)
        tag = f"in flight, {where}, {bound}"  # this run's requests, not those a run before left behind
        caller["question"] = [f"{question} ({tag})" for question in caller["question"]]
        detection.script_where(tag, ("delay", 0.2))  # each partition takes a while
        got = _evaluate_metrics_partitioned(configuration(), caller, [HAPMetric()], client_of(), partition_rows=2,
                                            client=dask_client, partitions_in_flight=bound)
    finally:
        dask_client.unregister_scheduler_plugin(PartitionsInFlight.name)
    assert seen.most == allowed  # the bound is reached, and never passed
    assert partitions_served_at_once([r for r in detection.posts() if tag in r.body], 2) <= allowed
    assert_same_as_one_process(got, _evaluate_metrics(configuration(), caller.copy(), [HAPMetric()], client_of()))


# ---- merging the partitions' aggregates ---------------------------------------------------------


class Scripted:
    """A metric whose aggregate of a partition is written in advance for the partition's first
    question: (record values, mean, min, max, errors)."""

    name = "scripted"
    metric_dependencies: list = []

    def __init__(self, partitions):
        self.partitions = partitions

    def evaluate(self, data, configuration, **kwargs):
        values, mean, low, high, failures = self.partitions[data["question"].iloc[0]]
        return AggregateMetricResult(
            name=self.name, method="scripted", total_records=len(data), value=mean if mean is not None else "Error",
            mean=mean, min=low, max=high, errors=failures,
            record_level_metrics=[RecordMetricResult(name=self.name, value=v) for v in values])


def scripted_run(partitions):
    """Partitions of 2 rows in this process, one per entry of `partitions`."""
    questions = [question for question, (values, *_) in partitions.items() for _ in values]
    frame = pd.DataFrame({"question": questions, "answer": ["An answer."] * len(questions)})
    got = _evaluate_metrics_partitioned(configuration(), frame, [Scripted(partitions)],
                                        types.SimpleNamespace(vexmon_client=None), partition_rows=2)
    return got.metrics_result[0]


def test_only_numbers_weigh_a_partitions_mean():
    # Each partition has one number besides something that is not one: a NaN that is no float
    # (unequal to itself, though the same object), a bool, a text. A number of another type counts.
    got = scripted_run({
        "A": ([1.0, decimal.Decimal("NaN")], 1.0, 1.0, 1.0, None),
        "B": ([0.0, True], 0.0, 0.0, 0.0, None),
        "C": ([numpy.float32("nan"), 0.0], 0.0, 0.0, 0.0, None),
        "D": ([decimal.Decimal(0), "no number"], 0.0, 0.0, 0.0, None),
    })
    assert (got.mean, got.value, got.min, got.max, got.total_records) == (0.25, 0.25, 0.0, 1.0, 8)


def test_means_without_min_or_max_merge_with_none_there():
    got = scripted_run({"A": ([0.5, 0.5], 0.5, None, None, None), "B": ([0.25, 0.25], 0.25, None, 0.25, None)})
    assert (got.mean, got.value, got.min, got.max, got.total_records) == (0.375, 0.375, None, 0.25, 4)


def test_without_a_mean_every_partitions_errors_are_kept():
    def failed(code):
        return [Error(code=code, message_en=f"failed {code}")]

    got = scripted_run({"A": ([None, None], None, None, None, failed("a")),
                        "B": ([None, None], None, None, None, failed("b"))})
    assert (got.mean, got.value, got.min, got.max) == (None, "Error", None, None)
    assert errors(got.errors) == [("a", "failed a"), ("b", "failed b")]


# ---- how a run shows itself --------------------------------------------------------------------


def test_the_token_reaches_the_workers_and_no_log(dask_client, client_of, capsys):
    got = _evaluate_metrics_partitioned(configuration(), table(6), [HAPMetric()], client_of(), partition_rows=3,
                                        client=dask_client, progress=True)
    assert all(r.errors is None for r in got.metrics_result[0].record_level_metrics)  # the service took the token
    logs = dask_client.get_worker_logs()
    assert not any(TOKEN in line for worker in logs.values() for _, line in worker)
    assert TOKEN not in capsys.readouterr().err


# ---- arguments ---------------------------------------------------------------------------------


@pytest.mark.parametrize("keywords, error, message", [
    ({"metrics": (HAPMetric(),)}, TypeError, "Argument 'metrics' has incorrect type (expected list, got tuple)"),
    ({"partition_rows": 0}, ValueError, "partition_rows must be at least 1, not 0"),
    ({"partition_rows": True}, TypeError, "Argument 'partition_rows' has incorrect type (expected int, got bool)"),
    ({"client": object()}, TypeError, "Argument 'client' has incorrect type (expected distributed.Client, got object)"),
    ({"partitions_in_flight": 0}, ValueError, "partitions_in_flight must be at least 1, not 0"),
    ({"partition_rows": -2**100}, ValueError, f"partition_rows must be at least 1, not {-2**100}"),
])
def test_arguments_are_checked_before_anything_runs(client_of, detection, keywords, error, message):
    arguments = dict(configuration=configuration(), data=table(3), metrics=[HAPMetric()], api_client=client_of())
    arguments.update(keywords)
    before = len(detection.requests)
    with pytest.raises(error) as raised:
        _evaluate_metrics_partitioned(**arguments)
    assert str(raised.value) == message
    assert len(detection.requests) == before


@pytest.mark.parametrize("kwargs, run, message", [
    ([("detector_params", {})], None, "Argument 'kwargs' has incorrect type (expected dict, got list)"),
    (None, None, "Argument 'kwargs' has incorrect type (expected dict, got NoneType)"),
    ({}, [("index", 0)], "Argument 'run' has incorrect type (expected dict, got list)"),
])
def test_a_partition_takes_its_extra_keywords_and_options_as_dicts_only(client_of, detection, kwargs, run, message):
    # extra keywords of another kind were once taken for none at all, and the partition evaluated without them
    with pytest.raises(TypeError) as raised:
        partitioned_runner._evaluate_partition(configuration(), table(2), [HAPMetric()], client_of(), [], kwargs, run)
    assert str(raised.value) == message
    assert detection.requests == []


def test_without_dask_a_client_fails_naming_the_extra():
    code = (
        "import sys; sys.modules['distributed'] = None\n"
        "from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned\n"
        "from tessaly.config import GenAIConfiguration\n"
        "import pandas as pd\n"
        "try:\n"
        "    _evaluate_metrics_partitioned(GenAIConfiguration(input_fields=['q'], output_fields=['a']),\n"
        "                                  pd.DataFrame({'q': ['x'], 'a': ['y']}), [], client=object())\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "pip install 'tessaly[dask]'" in done.stdout, done.stderr
