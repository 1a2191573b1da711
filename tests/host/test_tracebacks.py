"""Tracebacks through the native modules: every native function or coroutine frame that an
exception leaves has its entry, in order among the interpreter's own, and the exception is
otherwise what it was."""

from __future__ import annotations

import asyncio
import traceback

import pytest
from host_kit import configuration, qa_table

from tessaly.entities.foundation_model import CustomFoundationModel
from tessaly.entities.llm_judge import LLMJudge
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics, _evaluate_metrics_async
from tessaly.metrics import FaithfulnessJudgeMetric, HAPMetric

NATIVE_SUFFIX = ".cpp"


def entries(exc: BaseException) -> list[tuple[str, str]]:
    """(file name, qualified name of the function) of each traceback entry, outermost first."""
    return [(frame.f_code.co_filename.rsplit("/", 1)[-1], frame.f_code.co_qualname)
            for frame, _ in traceback.walk_tb(exc.__traceback__)]


def native(exc: BaseException) -> list[str]:
    return [name for file, name in entries(exc) if file.endswith(NATIVE_SUFFIX)]


def judge_down(prompts):
    raise ValueError("judge down")


def failing_judge_metric():
    model = CustomFoundationModel(scoring_fn=judge_down, model_id="failing-judge")
    return FaithfulnessJudgeMetric(method="llm_as_judge", llm_judge=LLMJudge(model=model))


def test_a_failure_in_the_judge_library_lists_each_native_frame_in_order(client):
    with pytest.raises(Exception) as raised:
        _evaluate_metrics(configuration(), qa_table(), [failing_judge_metric()], client)
    failure = raised.value
    assert type(failure) is Exception
    assert str(failure).startswith("Error while computing metrics: faithfulness")
    # orchestration (native) -> the metric (Python) -> the provider (native)
    assert entries(failure)[1:] == [
        ("metrics_runner.cpp", "_evaluate_metrics"),
        ("judge_metrics.py", "TabuloMetric.evaluate"),
        ("tabulo_provider.cpp", "TabuloProvider.evaluate"),
    ]
    cause = failure.__cause__ or failure.__context__
    assert isinstance(cause, ValueError) and cause.args == ("judge down",)
    # the provider's step that called into the library, then the library's own frames
    assert native(cause) == ["TabuloProvider.__compute_metric"]
    assert entries(cause)[-1] == ("test_tracebacks.py", "judge_down")


def test_a_native_entry_is_named_as_the_interpreter_names_a_method_and_shows_its_arguments(client):
    with pytest.raises(Exception) as raised:
        _evaluate_metrics(configuration(), qa_table(), [failing_judge_metric()], client)
    frames = {frame.f_code.co_qualname: frame for frame, _ in traceback.walk_tb(raised.value.__traceback__)}
    evaluate = frames["TabuloProvider.evaluate"]
    assert evaluate.f_code.co_name == "evaluate"
    assert evaluate.f_code.co_varnames == ("self", "data")
    assert set(evaluate.f_locals) == {"self", "data"}
    assert type(evaluate.f_locals["self"]).__name__ == "TabuloProvider"
    runner = frames["_evaluate_metrics"].f_locals
    assert runner["configuration"] is not None and isinstance(runner["metrics"], list)


def test_a_failure_behind_the_transport_lists_the_coroutine_frames(client, detection):
    detection.script("*", [("json", 200, {"unexpected": "shape"})] * 3)
    with pytest.raises(Exception) as raised:
        _evaluate_metrics(configuration(), qa_table(), [HAPMetric()], client)
    failure = raised.value
    assert native(failure) == ["_evaluate_metrics", "ScreeningProvider.evaluate", "ScreeningProvider.evaluate_async"]
    files = [file for file, _ in entries(failure)]
    # the interpreter's frames between them stay: the metric, then the event-loop helper
    assert files.index("detector_metrics.py") < files.index("screening_provider.cpp")
    assert "async_util.py" in files[files.index("screening_provider.cpp"):]
    cause = failure.__context__
    assert isinstance(cause, KeyError) and cause.args == ("detections",)
    assert native(cause) == ["ScreeningProvider.__post_process"]


def test_the_asynchronous_run_shows_its_coroutine_frames(client, detection):
    detection.script("*", [("json", 200, {"unexpected": "shape"})] * 3)

    async def main():
        await _evaluate_metrics_async(configuration(), qa_table(), [HAPMetric()], client)

    with pytest.raises(Exception) as raised:
        asyncio.run(main())
    assert native(raised.value) == ["_evaluate_metrics_async", "ScreeningProvider.evaluate_async"]


def test_entries_point_at_the_module_source_and_name_it():
    with pytest.raises(ValueError) as raised:
        _evaluate_metrics(configuration(), qa_table(rows=0), [])
    frames = [f for f in traceback.extract_tb(raised.value.__traceback__) if f.filename.endswith(".cpp")]
    assert [f.name for f in frames] == ["_evaluate_metrics", "__validate_data"]
    assert {f.filename for f in frames} == {"src/evaluators/impl/metrics_runner.cpp"}
    assert all(f.lineno > 0 for f in frames)
    assert str(raised.value) == "The provided data is empty for metrics computation."


def test_arguments_refused_at_the_call_add_no_entry():
    # As for a Python function, binding happens before any frame of the function runs.
    with pytest.raises(TypeError) as raised:
        _evaluate_metrics(configuration(), qa_table(), "not a list")
    assert native(raised.value) == []
