"""Checkpoints of partitioned runs: each finished partition kept in a store as soon as it is
finished, so that a run killed halfway, resumed, sends each record's request once (but for the
partitions in flight at the kill) and gives what an uninterrupted run gives; stored work used only
for exactly the work that made it; stores that cannot be written, entries that are corrupt, writes
that fail, and no secret in any stored file."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
import uuid
import warnings

import dask.dataframe as dd
import pytest
from partitioned_kit import (
    TOKEN,
    NotANumberWhereUnsure,
    assert_identical,
    assert_same_as_one_process,
    configuration,
    metrics,
    requests_per_record,
    table,
)

from tessaly.clients.api_client import APIClient
from tessaly.entities.credentials import Credentials
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
from tessaly.evaluators.impl.partitioned_runner import CheckpointWarning, _evaluate_metrics_partitioned
from tessaly.metrics import HAPMetric, PIIMetric

HERE = os.path.dirname(os.path.abspath(__file__))


def entries(store) -> list[str]:
    return sorted(name for name in os.listdir(store) if re.fullmatch(r"partition-\d+\.json", name))


def run(frame, api_client, store, *, metric_list=None, partition_rows=4, **keywords):
    return _evaluate_metrics_partitioned(configuration(), frame, metric_list or [HAPMetric()], api_client,
                                         partition_rows=partition_rows, checkpoint=store, **keywords)


def checkpoint_warnings(caught) -> list[str]:
    return [str(w.message) for w in caught if issubclass(w.category, CheckpointWarning)]


# ---- killed and resumed ---------------------------------------------------------------------------


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_a_run_killed_halfway_resumes_to_the_uninterrupted_result(request, detection, client_of, tmp_path, where):
    rows, partition_rows = 48, 4
    in_flight = 1 if where == "here" else 2  # the cluster of the killed run has two worker threads
    store = tmp_path / "store"
    detection.script("*", [("delay", 0.2)] * rows)
    child = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "killable_run.py"), detection.url, str(store), str(rows),
         str(partition_rows), where],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")])})
    try:
        assert child.stdout.readline().strip() == "started", child.stderr.read()
        deadline = time.monotonic() + 60
        while (not store.exists() or len(entries(store)) < 4) and time.monotonic() < deadline:
            time.sleep(0.02)
        os.killpg(child.pid, signal.SIGKILL)  # the run and, on a cluster, its workers
    finally:
        child.wait(30)
    saved = entries(store)
    assert 4 <= len(saved) < rows // partition_rows, "killed halfway"
    first = requests_per_record(detection, table(rows))
    detection.clear()

    caller = table(rows)
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    got = run(caller, client_of(), store, client=dask_client)
    resumed = requests_per_record(detection, caller)
    in_all = [a + b for a, b in zip(first, resumed)]
    assert min(in_all) == 1, "every record's request was sent"
    assert sum(in_all) <= rows + in_flight * partition_rows, "sent again: only the partitions in flight"
    assert sum(resumed) <= rows - len(saved) * partition_rows
    assert len(entries(store)) == rows // partition_rows
    assert_same_as_one_process(got, _evaluate_metrics(configuration(), caller.copy(), [HAPMetric()], client_of()))


def test_a_resumed_run_fills_the_identifiers_and_timestamp_of_the_first(detection, client_of, tmp_path):
    first, second, unrelated = table(10), table(10), table(10)
    run(first, client_of(), tmp_path)
    before = len(detection.requests)
    got = run(second, client_of(), tmp_path)
    assert len(detection.requests) == before  # every partition was the same work
    assert list(second["record_id"]) == list(first["record_id"])
    assert first["record_timestamp"].nunique() == 1
    assert set(second["record_timestamp"]) == set(first["record_timestamp"])
    ids = list(first["record_id"])
    assert len(set(ids)) == len(ids)
    assert all(str(uuid.UUID(i)) == i and uuid.UUID(i).version == 4 for i in ids)
    assert [r.record_id for r in got.metrics_result[0].record_level_metrics] == ids
    # without a checkpoint nothing changes: fresh identifiers each time
    _evaluate_metrics_partitioned(configuration(), unrelated, [HAPMetric()], client_of(), partition_rows=4)
    assert not set(unrelated["record_id"]) & set(ids)


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_a_dask_frame_resumes_with_identifiers_filled_where_evaluated(request, detection, client_of, tmp_path, where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    frame = dd.from_pandas(table(12), npartitions=3, sort=False)
    first = run(frame, client_of(), tmp_path, client=dask_client)
    assert len(detection.requests) == 12 and len(entries(tmp_path)) == 3
    ids = [r.record_id for r in first.metrics_result[0].record_level_metrics]
    assert len(set(ids)) == 12 and all(uuid.UUID(i).version == 4 for i in ids)
    os.remove(tmp_path / "partition-000001.json")
    again = run(frame, client_of(), tmp_path, client=dask_client)
    assert len(detection.requests) == 16  # the one partition not stored
    assert_identical(again, first)


# ---- stored work used only for the same work ------------------------------------------------------


def changed_data():
    frame = table(12)
    frame.loc[5, "question"] = "Question 5: and what about Lyon?"  # in the second partition of 4 rows
    return frame


@pytest.mark.parametrize("change, evaluated, not_used", [
    (dict(frame=changed_data), [4], 1),
    (dict(metric_list=lambda: [HAPMetric(), PIIMetric()]), [12, 12], 3),  # hap again, pii anew, everywhere
    (dict(metric_list=lambda: [HAPMetric(display_name="Hate (renamed)")]), [12], 3),
    (dict(partition_rows=6), [12], 2),
    (dict(detector_params={"threshold": 0.3}), [12], 3),
], ids=["data", "another-metric", "a-metric-field", "partition-size", "extra-keyword"])
def test_changed_work_evaluates_again_only_what_it_changes(detection, client_of, tmp_path, change, evaluated,
                                                           not_used):
    first = table(12)
    run(first, client_of(), tmp_path)
    detection.clear()
    frame = change["frame"]() if "frame" in change else table(12)
    frame["record_id"], frame["record_timestamp"] = first["record_id"], first["record_timestamp"]
    keywords = {k: (v() if k == "metric_list" else v) for k, v in change.items() if k != "frame"}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = run(frame, client_of(), tmp_path, **keywords)
    assert len(detection.requests) == sum(evaluated)
    told = checkpoint_warnings(caught)
    assert len(told) == 1 and f": {not_used} stored partition" in told[0] and "made by other work" in told[0], told
    extra = {k: v for k, v in keywords.items() if k == "detector_params"}
    expected = _evaluate_metrics(configuration(), frame.copy(), keywords.get("metric_list", [HAPMetric()]), client_of(),
                                 **extra)
    assert_same_as_one_process(got, expected)


def test_corrupt_and_unreadable_entries_are_evaluated_again_and_said_so_once(detection, client_of, tmp_path):
    first = table(16)
    expected = run(first, client_of(), tmp_path)
    torn = tmp_path / "partition-000001.json"
    torn.write_bytes(torn.read_bytes()[:-40])  # cut short, as a write that died would leave it
    edited = tmp_path / "partition-000002.json"
    content = edited.read_text()
    assert '"total_records": 4' in content
    edited.write_text(content.replace('"total_records": 4', '"total_records": 5', 1))  # changed by hand
    os.remove(tmp_path / "partition-000003.json")
    os.mkdir(tmp_path / "partition-000003.json")  # there, but not a file that can be read (nor replaced)
    detection.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = run(first, client_of(), tmp_path / ".")
    not_used, not_saved = checkpoint_warnings(caught)
    assert ": 3 stored partitions not used, evaluated again: 2 corrupt (" in not_used and "1 unreadable (" in not_used
    assert "partition 3 not saved (IsADirectoryError" in not_saved
    assert sorted(requests_per_record(detection, first)) == [0] * 4 + [1] * 12
    assert_identical(got, expected)


# ---- failed requests, retried --------------------------------------------------------------------


def test_retry_failed_evaluates_again_only_the_partitions_with_failed_requests(detection, client_of, tmp_path):
    frame = table(12)
    detection.script("*", [200] * 4 + [500, 200, 503, 200])  # the service falters in the second partition
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr("tessaly.providers.screening_provider.ScreeningProvider.RETRY_COUNT", 1)
        first = run(frame, client_of(), tmp_path)
        failed = [r.errors[0].code for r in first.metrics_result[0].record_level_metrics if r.errors]
        assert sorted(failed) == ["500", "503"]
        detection.clear()
        run(frame, client_of(), tmp_path)
        assert detection.requests == []  # without retry_failed the stored partitions are used
        got = run(frame, client_of(), tmp_path, retry_failed=True)
    assert sorted(requests_per_record(detection, frame)) == [0] * 8 + [1] * 4
    assert all(r.errors is None for r in got.metrics_result[0].record_level_metrics)
    detection.clear()
    run(frame, client_of(), tmp_path, retry_failed=True)
    assert detection.requests == []  # nothing failed any more


# ---- stores that cannot be used, writes that fail -------------------------------------------------


@pytest.mark.parametrize("store", ["file-in-the-way", "unknown-scheme"])
def test_a_store_that_cannot_be_written_is_refused_before_any_request(detection, client_of, tmp_path, store):
    (tmp_path / "plain-file").write_text("not a directory")
    location = str(tmp_path / "plain-file" / "store") if store == "file-in-the-way" else "nosuchscheme://bucket/run"
    with pytest.raises(OSError) as refused:
        run(table(8), client_of(), location)
    assert str(refused.value).startswith(f"checkpoint store {location!r} cannot be used: ")
    assert refused.value.__cause__ is not None
    assert detection.requests == []


@pytest.mark.parametrize("where", ["here", "cluster"])
def test_a_write_failing_mid_run_still_gives_the_result_and_names_the_partitions(request, detection, client_of,
                                                                                 where):
    dask_client = request.getfixturevalue("dask_client") if where == "cluster" else None
    frame = table(16)
    store = f"fullmemory://run-{where}-{uuid.uuid4().hex}"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = run(frame, client_of(), store, client=dask_client)
    told = checkpoint_warnings(caught)
    assert len(told) == 1 and "partitions 1, 3 not saved (OSError: [Errno 28] No space left on device" in told[0]
    assert_same_as_one_process(got, _evaluate_metrics(configuration(), frame.copy(), [HAPMetric()], client_of()))
    if where == "here":  # this process's store: the even partitions are there, and nothing half-written
        import fsspec

        fs = fsspec.filesystem("fullmemory")
        assert sorted(p.rsplit("/", 1)[1] for p in fs.ls(store.split("://")[1], detail=False)) == [
            "manifest.json", "partition-000000.json", "partition-000002.json"]


# ---- what is stored -------------------------------------------------------------------------------


def test_every_kind_of_result_comes_back_from_the_store_as_it_was(detection, client_of, tmp_path):
    frame = table(10)
    frame.loc[6, "question"] = "Question 6: you idiot, is jane@example.com in Paris?"  # evidences
    detection.script("*", [200, 500])  # a failed record
    every_kind = metrics() + [NotANumberWhereUnsure()]
    first = run(frame, client_of(), tmp_path, metric_list=every_kind)
    values = [r.value for m in first.metrics_result for r in m.record_level_metrics]
    assert any(isinstance(v, float) and v != v for v in values), "a NaN value"
    assert any(r.errors for m in first.metrics_result for r in m.record_level_metrics), "an error"
    assert any(r.evidences for m in first.metrics_result for r in m.record_level_metrics), "evidences"
    detection.clear()
    again = run(frame, client_of(), tmp_path, metric_list=metrics() + [NotANumberWhereUnsure()])
    assert detection.requests == []
    assert_identical(again, first)
    for name in entries(tmp_path):  # JSON, and nothing else: two lines, a header and the result
        header, result = (json.loads(line) for line in (tmp_path / name).read_text().splitlines())
        assert header["fingerprint"] and len(result["metrics_result"]) == len(every_kind)


def test_no_credential_reaches_the_store(session_detection, tmp_path):
    session_detection.clear()
    accepted = APIClient(credentials=Credentials(url=session_detection.url, version="5.0", api_key=TOKEN))
    refused = APIClient(credentials=Credentials(url=session_detection.url, version="5.0", api_key="refused-key-4711"))
    run(table(6), accepted, tmp_path / "a", metric_list=metrics())
    failed = run(table(6), refused, tmp_path / "b", metric_list=[HAPMetric()])
    assert all(r.errors and r.errors[0].code == "401" for r in failed.metrics_result[0].record_level_metrics)
    stored = [path for path in tmp_path.rglob("*") if path.is_file()]
    assert len(stored) == 2 + 2 * 2  # two manifests, two entries each
    for path in stored:
        content = path.read_bytes()
        assert TOKEN.encode() not in content and b"refused-key-4711" not in content, path
        assert b"api_key" not in content, path  # nor the judge model's own key


# ---- arguments ------------------------------------------------------------------------------------


@pytest.mark.parametrize("keywords, error, message", [
    ({"checkpoint": 17}, TypeError,
     "Argument 'checkpoint' has incorrect type (expected str, os.PathLike or None, got int)"),
    ({"checkpoint": b"/tmp/x"}, TypeError,
     "Argument 'checkpoint' has incorrect type (expected str, os.PathLike or None, got bytes)"),
    ({"checkpoint": ""}, ValueError, "checkpoint must name a directory or a URL, not an empty text"),
    ({"checkpoint": "memory://x", "retry_failed": 1}, TypeError,
     "Argument 'retry_failed' has incorrect type (expected bool, got int)"),
    ({"retry_failed": True}, ValueError, "retry_failed needs a checkpoint: without one nothing is stored to retry"),
])
def test_checkpoint_arguments_are_checked_before_anything_runs(client_of, detection, keywords, error, message):
    with pytest.raises(error) as raised:
        _evaluate_metrics_partitioned(configuration(), table(3), [HAPMetric()], client_of(), **keywords)
    assert str(raised.value) == message
    assert detection.requests == []


def test_a_path_like_names_a_local_store(client_of, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    import pathlib

    run(table(4), client_of(), pathlib.Path("relative"))
    assert entries(tmp_path / "relative") == ["partition-000000.json"]


def test_without_fsspec_a_url_fails_naming_the_package(tmp_path):
    code = (
        "import sys; sys.modules['fsspec'] = None\n"
        "import pandas as pd\n"
        "from tessaly.config import GenAIConfiguration\n"
        "from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned\n"
        "try:\n"
        "    _evaluate_metrics_partitioned(GenAIConfiguration(input_fields=['q'], output_fields=['a']),\n"
        "                                  pd.DataFrame({'q': ['x'], 'a': ['y']}), [], checkpoint='memory://x')\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "pip install fsspec" in done.stdout and "memory://x" in done.stdout, done.stderr
