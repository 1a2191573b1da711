"""The evaluation demo's tables, when the detection service answers and when it fails.

The demo runs in this process (its ``main`` with command-line arguments) against the local
detection service on 127.0.0.1: the one it starts itself, one started here (to script
failures), or a port where nothing listens. One run goes through a subprocess, to see the
environment variables that ``./scripts/demo`` relies on.
"""

from __future__ import annotations

import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest
from detection_service import run_in_thread

DEMO = Path(__file__).resolve().parents[2] / "demo" / "run_evaluation.py"
DEMO_GLOBALS = runpy.run_path(str(DEMO))  # defines everything, runs nothing

QUESTIONS = list(DEMO_GLOBALS["SAMPLE"]["question"])
RECORDS = len(QUESTIONS)
# Metrics computed without the detection service, by their method; every other metric of the
# demo is a detector metric.
LOCAL_METHODS = {"sentence_bert_mini_lm", "token_recall", "llm_as_judge"}
DETECTOR_METRICS = 7
NUMBER = re.compile(r"-?\d+\.\d+")


@pytest.fixture(autouse=True)
def _no_demo_settings(monkeypatch):
    """The demo's defaults, whatever the environment of the test run says."""
    monkeypatch.delenv("TESSALY_DEMO_DETECTION_URL", raising=False)
    monkeypatch.delenv("TESSALY_DEMO_TOKEN", raising=False)


def run_demo(capsys, *arguments: str) -> str:
    DEMO_GLOBALS["main"](list(arguments))
    return capsys.readouterr().out


def section(output: str, title: str) -> list[str]:
    """The lines of one table: from the line after its title to the next blank line."""
    lines = output.splitlines()
    start = lines.index(title) + 1
    end = lines.index("", start)
    return lines[start:end]


def split_row(line: str) -> tuple[str, str, str]:
    """(metric label, method, what follows the label) of one table row."""
    match = re.match(r"\s*(\S+ \(([^)]*)\))(.*)", line)
    assert match, f"not a metric row: {line!r}"
    return match.group(1), match.group(2), match.group(3)


def aggregates(output: str) -> dict[str, dict]:
    lines = section(output, "Aggregates")
    assert lines[0].split()[:6] == ["metric", "mean", "min", "max", "records", "failed"], lines[0]
    assert "first error" in lines[0] and "message" in lines[0], lines[0]
    rows = {}
    for line in lines[1:]:
        label, method, rest = split_row(line)
        mean, low, high, records, failed, *error = rest.split(maxsplit=6)
        rows[label] = {
            "method": method, "mean": mean, "min": low, "max": high, "records": int(records),
            "failed": int(failed), "code": error[0] if error else "",
            "message": error[1] if len(error) > 1 else "",
        }
    return rows


def per_record(output: str) -> dict[str, dict]:
    lines = section(output, "Per record")
    assert lines[0].split() == ["record", *map(str, range(1, RECORDS + 1))], lines[0]
    assert lines[1].strip() == "metric"
    rows = {}
    for line in lines[2:]:
        label, method, rest = split_row(line)
        cells = re.findall(r"error \S+|\S+", rest)
        assert len(cells) == RECORDS, f"{label}: {cells}"
        rows[label] = {"method": method, "cells": cells}
    return rows


def detector_rows(rows: dict[str, dict]) -> dict[str, dict]:
    return {label: row for label, row in rows.items() if row["method"] not in LOCAL_METHODS}


def local_rows(rows: dict[str, dict]) -> dict[str, dict]:
    return {label: row for label, row in rows.items() if row["method"] in LOCAL_METHODS}


def assert_all_detectors_failed(output: str, code: str) -> dict[str, dict]:
    """Every detector metric: all records failed with ``code``, no mean, a row of errors per
    record; the other metrics untouched. Returns the detector aggregates."""
    table = aggregates(output)
    detectors = detector_rows(table)
    assert len(detectors) == DETECTOR_METRICS
    for label, row in detectors.items():
        assert (row["mean"], row["min"], row["max"]) == ("-", "-", "-"), label
        assert (row["records"], row["failed"], row["code"]) == (RECORDS, RECORDS, code), label
        assert row["message"], label
    for label, row in local_rows(table).items():
        assert row["failed"] == 0 and not row["code"] and NUMBER.fullmatch(row["mean"]), label

    records = per_record(output)
    assert len(records) == len(table)  # no metric loses its row
    assert len(detector_rows(records)) == DETECTOR_METRICS
    for label, row in detector_rows(records).items():
        assert row["cells"] == [f"error {code}"] * RECORDS, label
    for label, row in local_rows(records).items():
        assert all(NUMBER.fullmatch(cell) for cell in row["cells"]), label
    return detectors


def test_normal_run_shows_every_value_and_no_error(capsys):
    output = run_demo(capsys)

    assert re.search(r"Detection service on http://127\.0\.0\.1:\d+: 28 requests answered$", output, re.M)
    assert "error" not in output.lower().replace("first error", "")
    table = aggregates(output)
    assert len(table) == 11 and len(detector_rows(table)) == DETECTOR_METRICS
    for label, row in table.items():
        assert row["failed"] == 0 and row["code"] == "" and row["message"] == "", label
        assert row["records"] == RECORDS and NUMBER.fullmatch(row["mean"]), label
    records = per_record(output)
    assert len(records) == len(table)
    for label, row in records.items():
        assert all(NUMBER.fullmatch(cell) for cell in row["cells"]), label
    for number, question in enumerate(QUESTIONS, start=1):
        assert f"record {number}: {question}" in output


def test_a_service_that_does_not_answer_fails_every_detector_record(capsys, refused_url):
    output = run_demo(capsys, "--detection-url", refused_url)

    port = refused_url.rsplit(":", 1)[1]
    assert f"Detection service on {refused_url} (not started by this demo)" in output
    for label, row in assert_all_detectors_failed(output, "REQUEST_FAILED").items():
        assert "Cannot connect" in row["message"] and port in row["message"], label


def test_a_rejected_token_fails_every_detector_record(capsys):
    output = run_demo(capsys, "--token", "WRONG")

    assert re.search(r"Detection service on \S+: 0 requests answered, 28 failed \(401: 28\)$", output, re.M)
    for label, row in assert_all_detectors_failed(output, "401").items():
        # The service's JSON error body comes out as its code and message.
        assert row["message"] == "authentication_token_not_valid: The bearer token is not valid.", label


def test_one_failed_request_marks_its_record_and_keeps_the_others(capsys):
    with run_in_thread(tokens="partial-token") as service:
        # The first request of the run (one of the first metric's) fails.
        service.script(None, [("json", 500, {"errors": [{"code": "overloaded", "message": "Try again later."}]})])
        output = run_demo(capsys, "--detection-url", service.url, "--token", "partial-token")
        failed = [request for request in service.requests if request.status == 500]
    assert len(failed) == 1 and failed[0].json()["detectors"] == {"hap": {}}
    failed_record = QUESTIONS.index(failed[0].json()["input"])

    table = aggregates(output)
    hap = table["hap (hap_model)"]
    assert (hap["failed"], hap["code"], hap["message"]) == (1, "500", "overloaded: Try again later.")
    assert NUMBER.fullmatch(hap["mean"])  # over the three records that have a value
    assert all(row["failed"] == 0 and row["code"] == "" for label, row in table.items() if label != "hap (hap_model)")

    cells = per_record(output)["hap (hap_model)"]["cells"]
    assert cells[failed_record] == "error 500"
    assert all(NUMBER.fullmatch(cell) for number, cell in enumerate(cells) if number != failed_record)
    assert sum("error" in cell for row in per_record(output).values() for cell in row["cells"]) == 1


@pytest.mark.parametrize("variable, code", [("TESSALY_DEMO_TOKEN", "401"), ("TESSALY_DEMO_DETECTION_URL", "REQUEST_FAILED")])
def test_environment_variables_select_the_failure_mode(variable, code, refused_url, monkeypatch, capsys):
    # ./scripts/demo passes no arguments: the environment is how it shows the failures.
    monkeypatch.setenv(variable, "WRONG" if variable == "TESSALY_DEMO_TOKEN" else refused_url)
    assert_all_detectors_failed(run_demo(capsys), code)


def test_the_script_prints_the_failures_and_exits_normally(refused_url):
    run = subprocess.run(
        [sys.executable, str(DEMO), "--detection-url", refused_url],
        env={name: value for name, value in os.environ.items() if not name.startswith("TESSALY_DEMO_")},
        capture_output=True, text=True, timeout=120,
    )
    assert (run.returncode, run.stderr) == (0, "")
    assert_all_detectors_failed(run.stdout, "REQUEST_FAILED")


def test_the_demo_script_gives_its_help_and_runs_nothing(tmp_path):
    # What a newcomer types first: the help of both parts, and no evaluation nor report after it.
    root = Path(__file__).resolve().parents[2]
    before = sorted((root / "out").glob("*")) if (root / "out").exists() else []
    run = subprocess.run([str(root / "scripts" / "demo"), "--help"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("usage: run_evaluation.py")
    assert "run_model_risk.py" in run.stdout
    assert "Aggregates" not in run.stdout and "Detection service on" not in run.stdout
    after = sorted((root / "out").glob("*")) if (root / "out").exists() else []
    assert after == before
