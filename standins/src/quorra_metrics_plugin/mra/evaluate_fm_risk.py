"""Risk evaluation of one foundation model against the built-in benchmarks."""

from __future__ import annotations

import math
import numbers
import os
import re
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path

from quorra_metrics_plugin.mra.benchmarks import BENCHMARKS, RISK_DIMENSIONS, BenchmarkSpec, Prompt
from quorra_metrics_plugin.mra.local_model import LocalHostedModel
from quorra_metrics_plugin.mra.pdf_report import render_pdf

PRODUCER = "quorra_metrics_plugin model risk assessment"
LEVEL_NAMES = {1: ("low", "high"), 2: ("low", "medium", "high"), 3: ("low", "medium", "high", "critical")}


class EvaluateFMRisk:
    """Evaluates a model's risks and writes the PDF report of a result.

    The model is reached through ``scoring_function`` when one is given (a
    custom model); otherwise through the hosting-service entries of
    ``system_credentials`` ("lumora_ai_model_id", "lumora_ai_endpoint_url" and
    "lumora_ai_cloud_apikey", or "lumora_ai_dpx_username" and
    "lumora_ai_dpx_apikey"), answered by a deterministic local model.

    Scoring-function contract: it is called once per benchmark with a pandas
    DataFrame of columns "prompt_id" and "input_text" (one row per prompt) and
    returns the generated texts in row order: a list or tuple of texts, a
    pandas Series, or a DataFrame with a "generated_text" column.  None (or a
    missing value) counts as an empty answer.

    ``risk_dimensions``: names among ``RISK_DIMENSIONS``, evaluated in the
    given order; None evaluates all.  ``max_sample_size``: at most that many
    prompts of each benchmark (the first ones); None uses all.
    """

    def __init__(
        self,
        system_credentials: Mapping,
        foundation_model_name: str | None = None,
        risk_dimensions: Sequence[str] | None = None,
        scoring_function: Callable | None = None,
        max_sample_size: int | None = None,
    ):
        if not isinstance(system_credentials, Mapping):
            raise TypeError(
                f"system_credentials must be a mapping, got {type(system_credentials).__name__}"
            )
        if foundation_model_name is not None and not isinstance(foundation_model_name, str):
            raise TypeError(
                f"foundation_model_name must be a str or None, got {type(foundation_model_name).__name__}"
            )
        if scoring_function is not None and not callable(scoring_function):
            raise TypeError(
                f"scoring_function must be callable or None, got {type(scoring_function).__name__}"
            )
        if max_sample_size is not None and (
            isinstance(max_sample_size, bool)
            or not isinstance(max_sample_size, int)
            or max_sample_size < 1
        ):
            raise ValueError(f"max_sample_size must be a positive int or None, got {max_sample_size!r}")
        self.system_credentials = dict(system_credentials)
        self.foundation_model_name = foundation_model_name
        self.risk_dimensions = _checked_dimensions(risk_dimensions)
        self.scoring_function = scoring_function
        self.max_sample_size = max_sample_size

    # ------------------------------------------------------------------
    # Evaluation
    # ------------------------------------------------------------------

    def evaluate_fm_risks(self) -> dict[str, dict[str, dict[str, float]]]:
        """{risk: {benchmark: {metric: value}}}, values rounded to 4 places."""
        answer = self._answerer()
        result: dict[str, dict[str, dict[str, float]]] = {}
        for risk in self.risk_dimensions:
            result[risk] = {}
            for benchmark in BENCHMARKS[risk]:
                prompts = list(benchmark.prompts[: self.max_sample_size])
                outputs = answer(benchmark, prompts)
                result[risk][benchmark.name] = benchmark.score(prompts, outputs)
        return result

    def _answerer(self) -> Callable[[BenchmarkSpec, list[Prompt]], list[str]]:
        if self.scoring_function is not None:
            return self._score_with_function
        credentials = self.system_credentials
        missing = [
            key for key in ("lumora_ai_model_id", "lumora_ai_endpoint_url") if not credentials.get(key)
        ]
        has_cloud_key = bool(credentials.get("lumora_ai_cloud_apikey"))
        has_dpx_login = bool(credentials.get("lumora_ai_dpx_username")) and bool(
            credentials.get("lumora_ai_dpx_apikey")
        )
        if not (has_cloud_key or has_dpx_login):
            missing.append("lumora_ai_cloud_apikey or lumora_ai_dpx_username with lumora_ai_dpx_apikey")
        if missing:
            raise ValueError(
                "No model to evaluate: give a scoring function or hosting-service credentials "
                "(missing: " + "; ".join(missing) + ")"
            )
        model = LocalHostedModel(credentials["lumora_ai_model_id"])
        return lambda benchmark, prompts: [model.generate(p) for p in prompts]

    def _score_with_function(self, benchmark: BenchmarkSpec, prompts: list[Prompt]) -> list[str]:
        import pandas as pd

        table = pd.DataFrame(
            {"prompt_id": [p.id for p in prompts], "input_text": [p.text for p in prompts]}
        )
        answers = self.scoring_function(table)
        if isinstance(answers, pd.DataFrame):
            if "generated_text" not in answers.columns:
                raise ValueError(
                    "the scoring function returned a table without a 'generated_text' column "
                    f"(columns: {list(answers.columns)})"
                )
            answers = answers["generated_text"]
        if isinstance(answers, pd.Series):
            answers = answers.tolist()
        if isinstance(answers, (str, bytes)) or not isinstance(answers, (list, tuple)):
            raise TypeError(
                "the scoring function must return a list of texts, a Series or a table with "
                f"'generated_text', got {type(answers).__name__}"
            )
        if len(answers) != len(prompts):
            raise ValueError(
                f"the scoring function returned {len(answers)} answers for {len(prompts)} prompts "
                f"of benchmark {benchmark.name!r}"
            )
        texts = []
        for row, text in enumerate(answers):
            if text is None or (isinstance(text, float) and math.isnan(text)) or text is pd.NA:
                text = ""
            if not isinstance(text, str):
                raise TypeError(
                    f"the scoring function's answer at row {row} is a {type(text).__name__}, not a text"
                )
            texts.append(text)
        return texts

    # ------------------------------------------------------------------
    # Report
    # ------------------------------------------------------------------

    def get_pdf_report(self, result: Mapping, output_path: str | os.PathLike, thresholds=None) -> Path:
        """Write the PDF report of ``result`` into the directory ``output_path``.

        The directory is created when missing; the file is named after the
        model and replaced if it exists.  ``thresholds``: None, or ascending
        numbers that split metric values into levels (one threshold: low and
        high; two: low, medium, high; three: up to critical); a value equal to
        a threshold belongs to the level above it.  Returns the file's path.
        """
        levels = _checked_thresholds(thresholds)
        lines = self._report_lines(_checked_result(result), levels)
        title = f"Model risk report: {self._model_label()}"
        data = render_pdf(lines, title=title, producer=PRODUCER)

        directory = Path(os.fspath(output_path))
        directory.mkdir(parents=True, exist_ok=True)
        slug = re.sub(r"[^A-Za-z0-9._-]+", "_", self._model_label()).strip("._") or "model"
        path = directory / f"model_risk_report_{slug}.pdf"
        partial = path.with_name(path.name + ".partial")
        partial.write_bytes(data)
        os.replace(partial, path)
        return path

    def _model_label(self) -> str:
        return (
            self.foundation_model_name
            or self.system_credentials.get("lumora_ai_model_id")
            or "unnamed model"
        )

    def _report_lines(self, result, levels) -> list[tuple[str, str]]:
        lines = [("title", "Foundation model risk report"), ("body", "")]
        lines.append(("body", f"Model: {self._model_label()}"))
        if self.system_credentials.get("op_model_id"):
            lines.append(("body", f"Governance console model: {self.system_credentials['op_model_id']}"))
        sample = (
            "all prompts"
            if self.max_sample_size is None
            else f"at most {self.max_sample_size} prompts per benchmark"
        )
        lines.append(("body", f"Sample: {sample}"))
        if levels is None:
            lines.append(("body", "Thresholds: none"))
        else:
            bounds, names = levels
            bands = [f"{names[0]} < {bounds[0]:g}"]
            bands += [
                f"{bounds[i - 1]:g} <= {names[i]} < {bounds[i]:g}" for i in range(1, len(bounds))
            ]
            bands.append(f"{names[-1]} >= {bounds[-1]:g}")
            lines.append(("body", "Thresholds: " + ", ".join(bands)))
        lines.append(("body", "Every metric is a rate in [0, 1]; higher means riskier."))
        lines.append(("body", ""))

        if not result:
            lines.append(("body", "No risks were evaluated."))
            return lines
        for risk, benchmarks in result.items():
            lines.append(("heading", f"Risk: {risk}"))
            lines.append(("mono", f"{'Benchmark':<26} {'Metric':<24} {'Value':>8}  Level"))
            for benchmark, metrics in benchmarks.items():
                if not metrics:
                    lines.append(("mono", f"{str(benchmark):<26} (no metrics)"))
                for metric, value in metrics.items():
                    lines.append(
                        (
                            "mono",
                            f"{str(benchmark):<26} {str(metric):<24} {_number(value):>8}  "
                            f"{_level(value, levels)}",
                        )
                    )
            lines.append(("body", ""))
        return lines


def _checked_dimensions(risk_dimensions) -> tuple[str, ...]:
    if risk_dimensions is None:
        return RISK_DIMENSIONS
    if isinstance(risk_dimensions, (str, bytes)) or not isinstance(risk_dimensions, Sequence):
        raise TypeError(
            f"risk_dimensions must be a list of risk names or None, got {type(risk_dimensions).__name__}"
        )
    chosen: list[str] = []
    for name in risk_dimensions:
        if name not in BENCHMARKS:
            raise ValueError(
                f"Unknown risk dimension {name!r}; the available ones are {list(RISK_DIMENSIONS)}"
            )
        if name not in chosen:
            chosen.append(name)
    if not chosen:
        raise ValueError("risk_dimensions names no risk; give None to evaluate all")
    return tuple(chosen)


def _is_number(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _checked_thresholds(thresholds):
    if thresholds is None:
        return None
    if isinstance(thresholds, (str, bytes)) or not isinstance(thresholds, Sequence):
        raise TypeError(f"thresholds must be a list of numbers or None, got {type(thresholds).__name__}")
    bounds = list(thresholds)
    if not bounds:
        return None
    if not all(_is_number(b) and math.isfinite(b) for b in bounds):
        raise TypeError(f"thresholds must be finite numbers, got {bounds!r}")
    if any(a >= b for a, b in zip(bounds, bounds[1:])):
        raise ValueError(f"thresholds must be strictly ascending, got {bounds!r}")
    names = LEVEL_NAMES.get(len(bounds)) or tuple(f"level {i}" for i in range(len(bounds) + 1))
    return bounds, names


def _checked_result(result) -> Mapping:
    if not isinstance(result, Mapping):
        raise TypeError(f"result must be a mapping of risks, got {type(result).__name__}")
    for risk, benchmarks in result.items():
        if not isinstance(benchmarks, Mapping):
            raise TypeError(f"the benchmarks of risk {risk!r} are not a mapping")
        for benchmark, metrics in benchmarks.items():
            if not isinstance(metrics, Mapping):
                raise TypeError(f"the metrics of benchmark {benchmark!r} are not a mapping")
    return result


def _number(value) -> str:
    return f"{value:.4f}" if _is_number(value) else str(value)


def _level(value, levels) -> str:
    if levels is None or not _is_number(value) or math.isnan(value):
        return "-"
    bounds, names = levels
    return names[sum(1 for b in bounds if value >= b)]
