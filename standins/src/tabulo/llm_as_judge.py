"""A judge model scores each instance through a task and a template."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from tabulo import catalog
from tabulo.formats import Format
from tabulo.metrics import MissingFieldError, set_global_scores, set_scores
from tabulo.templates import Task, Template


def _resolve(value: Any, kind: type, what: str):
    if isinstance(value, str):
        value = catalog.fetch(value)
    if not isinstance(value, kind):
        raise TypeError(f"{what} must be a {kind.__name__} or the catalogue name of one, got {type(value).__name__}")
    return value


class TaskBasedLLMasJudge:
    """Asks ``inference_model`` to judge each instance.

    For every instance the judge takes the task's fields from the instance (the field
    named in ``judge_to_generator_fields_mapping`` when there is one, else the field of
    the same name; the judged field from ``prediction_field``), renders the template,
    presents it with ``format`` (plain text when None), asks the engine for all
    instances at once and reads each answer into a score (see ``Template.parse``).

    Each processed instance gets ``instance["score"]["instance"]`` with "score",
    ``main_score``, "judge_prompt" and "judge_output".
    """

    def __init__(
        self,
        inference_model,
        format: Format | None,
        template: str | Template,
        task: str | Task,
        main_score: str,
        prediction_field: str,
        infer_log_probs: bool = False,
        judge_to_generator_fields_mapping: dict[str, str] | None = None,
    ):
        if not callable(getattr(inference_model, "infer", None)):
            raise TypeError(
                f"inference_model must be an inference engine (with infer), got {type(inference_model).__name__}"
            )
        if format is not None and not isinstance(format, Format):
            raise TypeError(f"format must be a Format or None, got {type(format).__name__}")
        if not isinstance(main_score, str) or not main_score:
            raise TypeError("main_score must be a non-empty str")
        if not isinstance(prediction_field, str) or not prediction_field:
            raise TypeError("prediction_field must be a non-empty str")
        if infer_log_probs:
            raise ValueError("log-probability judging is not available: judges here read the answer's text")
        mapping = {} if judge_to_generator_fields_mapping is None else judge_to_generator_fields_mapping
        if not isinstance(mapping, dict):
            raise TypeError(
                f"judge_to_generator_fields_mapping must be a dict, got {type(mapping).__name__}"
            )
        self.inference_model = inference_model
        self.format = format
        self.template_name = template if isinstance(template, str) else template.name
        self.task_name = task if isinstance(task, str) else task.name
        self.template: Template = _resolve(template, Template, "template")
        self.task: Task = _resolve(task, Task, "task")
        missing = [f for f in self.template.fields if f not in self.task.input_fields]
        if missing:
            raise ValueError(
                f"template {self.template_name!r} reads fields that task {self.task_name!r} lacks: {missing}"
            )
        self.main_score = main_score
        self.prediction_field = prediction_field
        self.infer_log_probs = bool(infer_log_probs)
        self.judge_to_generator_fields_mapping = mapping

    def source_field(self, task_field: str) -> str:
        """The instance field a task field is read from."""
        if task_field == self.task.prediction:
            return self.prediction_field
        return self.judge_to_generator_fields_mapping.get(task_field, task_field)

    def prompt(self, instance: dict) -> str:
        values = {}
        for field in self.task.input_fields:
            source = self.source_field(field)
            if source not in instance:
                raise MissingFieldError(
                    f"judge {self.main_score!r}: the task {self.task_name!r} reads its field '{field}' "
                    f"from the instance field '{source}', which the instance lacks "
                    f"(it has: {', '.join(sorted(map(str, instance)))})"
                )
            values[field] = instance[source]
        return self.template.render(values)

    def process_stream(self, instances: Iterable[dict]) -> Iterator[dict]:
        batch = list(instances)
        texts = [self.prompt(instance) for instance in batch]
        prompts = [self.format.format(t) if self.format is not None else t for t in texts]
        answers = self.inference_model.infer(prompts) if prompts else []
        if len(answers) != len(batch):
            raise ValueError(f"the judge's engine gave {len(answers)} answers for {len(batch)} instances")
        for instance, text, answer in zip(batch, texts, answers):
            score = self.template.parse(answer)
            set_scores(instance, self.main_score, score, {"judge_prompt": text, "judge_output": answer})
        set_global_scores(batch, self.main_score)
        yield from batch

    def __repr__(self) -> str:
        return (
            f"TaskBasedLLMasJudge(template={self.template_name!r}, task={self.task_name!r}, "
            f"main_score={self.main_score!r}, prediction_field={self.prediction_field!r})"
        )
