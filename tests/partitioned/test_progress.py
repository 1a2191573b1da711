"""What a partitioned run shows while it goes: records done of the total at record granularity,
records per second, the time left and the failed record results, in this process and on a
cluster (the workers tell the caller), resumed partitions counted from the start; a line
rewritten in place on a terminal, plain lines elsewhere; the totals last."""

from __future__ import annotations

import contextvars
import io
import re
import sys

import pytest
from partitioned_kit import TOKEN, configuration, table

import tessaly
from tessaly.evaluators.impl import partitioned_runner
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
from tessaly.evaluators.impl.partitioned_runner import CheckpointWarning, _evaluate_metrics_partitioned
from tessaly.metrics import HAPMetric
from tessaly.metrics.local_metrics import TextLengthMetric

LINE = re.compile(r"partitioned run: ([\d,]+) of ([\d,]+) records \(\d+%\), [\d.,]+ records/s, [\d:-]+ left, "
                  r"([\d,]+) failed, (\d+) of (\d+) partitions(?: \((\d+) resumed\))?$")
LAST = re.compile(r"partitioned run done: ([\d,]+) records, ([\d,]+) failed, [\d:]+ elapsed, "
                  r"(\d+) of (\d+) partitions resumed$")


def number(text: str) -> int:
    return int(text.replace(",", ""))


def failed_records(result) -> int:
    return sum(1 for m in result.metrics_result for r in m.record_level_metrics if r.errors)


def read_lines(err: str):
    """The periodic lines as (records, total, failed, resumed) and the last one as (records, failed,
    resumed partitions, partitions); every line must be one or the other."""
    lines, last = [], None
    for line in err.splitlines():
        if match := LINE.fullmatch(line):
            assert last is None, "a line after the last one"
            records, total, failed, _, _, resumed = match.groups()
            lines.append((number(records), number(total), number(failed), int(resumed or 0)))
        else:
            match = LAST.fullmatch(line)
            assert match, f"not a progress line: {line!r}"
            last = (number(match[1]), number(match[2]), int(match[3]), int(match[4]))
    assert last is not None, "no last line"
    return lines, last


@pytest.fixture
def often(monkeypatch):
    """Lines and updates every few hundredths of a second, so that a short run shows several."""
    monkeypatch.setattr(partitioned_runner, "PROGRESS_LINE_SECONDS", 0.05)
    monkeypatch.setattr(partitioned_runner, "PROGRESS_REFRESH_SECONDS", 0.05)


def staggered(partitions: int, failing: set[int] = frozenset()) -> list:
    """Answers of partitions of 4 records that end one after another, 0.3 s apart; the requests
    counted in `failing` fail."""
    return [("delay", 0.3 * (i % 4 + 1), 500 if i in failing else 200) for i in range(4 * partitions)]


# ---- what the evaluation tells ------------------------------------------------------------------


class Recording:
    def __init__(self):
        self.events = []

    def metrics_resolved(self, count):
        self.events.append(("metrics", count))

    def record_done(self, failed):
        self.events.append(("record", failed))

    def metric_done(self, results, failed):
        self.events.append(("metric", results, failed))


def test_the_evaluation_tells_its_watcher_each_record_and_each_metric(detection, client_of):
    detection.script("*", [200, 200, 500, 200, 200])
    sink = Recording()
    variable = tessaly._evaluation_progress
    assert isinstance(variable, contextvars.ContextVar) and variable.get() is None
    token = variable.set(sink)
    try:
        _evaluate_metrics(configuration(), table(5), [HAPMetric(), TextLengthMetric()], client_of())
    finally:
        variable.reset(token)
    records = [e for e in sink.events if e[0] == "record"]
    assert sink.events[0] == ("metrics", 2)
    assert sorted(records) == [("record", False)] * 4 + [("record", True)]  # as each request ended
    assert sink.events[1:6] == records  # before the detector's evaluate returned
    assert sink.events[6:] == [("metric", 5, 1), ("metric", 5, 0)]  # the text length told in one go


# ---- plain lines ----------------------------------------------------------------------------------


def test_plain_lines_count_records_as_they_end_and_reach_the_total_once(detection, client_of, capsys, often):
    detection.script("*", staggered(3, failing={1, 6}))
    got = _evaluate_metrics_partitioned(configuration(), table(12), [HAPMetric()], client_of(), partition_rows=4,
                                        progress=True)
    lines, last = read_lines(capsys.readouterr().err)
    assert last == (12, 2, 0, 3) and failed_records(got) == 2
    counts = [records for records, *_ in lines]
    assert counts == sorted(counts) and all(total == 12 for _, total, *_ in lines)
    assert max(counts) < 12, "the total is reached once, by the last line"
    assert any(count % 4 for count in counts), "records counted as they end, not a partition at a time"
    assert [failed for _, _, failed, _ in lines] == sorted(failed for _, _, failed, _ in lines)


def test_resumed_partitions_count_as_done_from_the_start(detection, client_of, capsys, often, tmp_path):
    first = table(12)
    _evaluate_metrics_partitioned(configuration(), first, [HAPMetric()], client_of(), partition_rows=4,
                                  checkpoint=tmp_path)
    capsys.readouterr()
    changed = first.copy()
    changed.loc[9, "question"] = "Question 9: and what about Lyon?"  # the third partition
    detection.script("*", staggered(1))
    with pytest.warns(CheckpointWarning, match="1 stored partition not used"):
        _evaluate_metrics_partitioned(configuration(), changed, [HAPMetric()], client_of(), partition_rows=4,
                                      checkpoint=tmp_path, progress=True)
    lines, last = read_lines(capsys.readouterr().err)
    assert lines and all(records >= 8 and resumed == 2 for records, _, _, resumed in lines)
    assert last == (12, 0, 2, 3)


# ---- a terminal -----------------------------------------------------------------------------------


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_on_a_terminal_one_line_is_rewritten_in_place(detection, client_of, monkeypatch, often):
    screen = Terminal()
    monkeypatch.setattr(sys, "stderr", screen)
    detection.script("*", staggered(2, failing={0}))
    _evaluate_metrics_partitioned(configuration(), table(8), [HAPMetric()], client_of(), partition_rows=4,
                                  progress=True)
    shown = screen.getvalue()
    assert shown.count("\n") == 1 and shown.endswith("\x1b[K\n"), "one line, ended once the run is done"
    updates = [u.removesuffix("\x1b[K") for u in shown.rstrip("\n").split("\r") if u]
    assert len(updates) >= 4
    bar = re.compile(r"partitioned run \[[#-]{20}\] ([\d,]+)/8 records +\d+%  [\d.,]+ rec/s  [\d:-]+ left  "
                     r"(\d+) failed  \d/2 partitions")
    assert all(bar.fullmatch(u) for u in updates[:-1]), updates
    assert updates[-1].startswith("partitioned run done: 8 records, 1 failed, ")
    assert any(int(bar.fullmatch(u)[1]) % 4 for u in updates[:-1])


# ---- a cluster ------------------------------------------------------------------------------------


def test_a_cluster_run_shows_the_records_its_workers_finish(dask_client, detection, client_of, capsys, often):
    detection.script("*", staggered(2, failing={3}))
    got = _evaluate_metrics_partitioned(configuration(), table(8), [HAPMetric()], client_of(), partition_rows=4,
                                        client=dask_client, progress=True)
    err = capsys.readouterr().err
    lines, last = read_lines(err)
    assert last == (8, 1, 0, 2) and failed_records(got) == 1
    assert any(records % 4 for records, *_ in lines), "the workers told of records before their partitions ended"
    assert all(records < 8 for records, *_ in lines)
    assert TOKEN not in err
    logs = dask_client.get_worker_logs()
    assert not any(TOKEN in line for worker in logs.values() for _, line in worker)
