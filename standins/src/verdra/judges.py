"""Criteria, their options, the instances to judge and the direct judge.

The judge's prompt asks the model to reply in tagged sections::

    Explanation: <reasoning, may span lines>
    Feedback: <how the judged text could be better>   (when feedback is asked for)
    Answer: <one option name>

``parse_answer`` reads such a reply back.  It is lenient: tags are matched
without regard to case, the last "Answer:" wins, an answer that names an option
in another case is mapped to that option, and a reply without an "Answer:" line
selects the option named earliest in its text.  An answer that names no option
is kept as it was written, so callers can tell it apart.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

__all__ = [
    "Criteria",
    "CriteriaOption",
    "DirectInstanceResult",
    "DirectJudge",
    "Instance",
    "parse_answer",
]


def _check_text(value: Any, what: str, *, allow_none: bool = False) -> None:
    if value is None and allow_none:
        return
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, got {type(value).__name__}")


@dataclass
class CriteriaOption:
    """One answer the judge may give, and the score it stands for."""

    name: str
    description: str = ""
    score: Any = None

    def __post_init__(self) -> None:
        _check_text(self.name, "CriteriaOption.name")
        if not self.name.strip():
            raise ValueError("CriteriaOption.name must not be blank")
        _check_text(self.description, "CriteriaOption.description")


@dataclass
class Criteria:
    """What the judge checks: a description, the field judged, the context fields
    shown with it and the options to choose from (names may repeat; the later
    option's score counts)."""

    name: str
    description: str
    to_evaluate_field: str = "response"
    context_fields: list[str] = field(default_factory=list)
    options: list[CriteriaOption] = field(default_factory=list)

    def __post_init__(self) -> None:
        _check_text(self.name, "Criteria.name")
        _check_text(self.description, "Criteria.description")
        _check_text(self.to_evaluate_field, "Criteria.to_evaluate_field")
        if isinstance(self.context_fields, (str, bytes)) or not isinstance(self.context_fields, Sequence):
            raise TypeError(
                f"Criteria.context_fields must be a list of str, got {type(self.context_fields).__name__}"
            )
        self.context_fields = list(self.context_fields)
        for name in self.context_fields:
            _check_text(name, "each of Criteria.context_fields")
        if isinstance(self.options, (str, bytes)) or not isinstance(self.options, Sequence):
            raise TypeError(f"Criteria.options must be a list of CriteriaOption, got {type(self.options).__name__}")
        self.options = list(self.options)
        for option in self.options:
            if not isinstance(option, CriteriaOption):
                raise TypeError(f"Criteria.options must hold CriteriaOption objects, got {type(option).__name__}")

    @property
    def option_names(self) -> list[str]:
        return [option.name for option in self.options]

    def score_of(self, option_name: str | None) -> Any:
        """The score of the named option (the last one of that name), or None."""
        scores = {option.name: option.score for option in self.options}
        return scores.get(option_name)


@dataclass
class Instance:
    """One record to judge: field name -> value."""

    fields: dict[Any, Any]

    def __post_init__(self) -> None:
        if not isinstance(self.fields, Mapping):
            raise TypeError(f"Instance.fields must be a mapping, got {type(self.fields).__name__}")
        self.fields = dict(self.fields)


@dataclass
class DirectInstanceResult:
    """The judge's reading of one answer.

    ``metadata`` holds "prompt" (the text sent to the model), "unparsed_response"
    (the model's answer as received) and "criteria" (the criteria's name, or None
    for a custom prompt).
    """

    selected_option: str | None
    explanation: str
    feedback: str
    score: Any
    metadata: dict[str, Any]


# ---- reading the model's answer --------------------------------------------------------------

_TAG = re.compile(r"^\s*[*_#>\s]*(explanation|feedback|answer)[*_\s]*:[*_]*\s?(.*)$", re.IGNORECASE)
_QUOTES = "\"'`*_"


def _clean_answer(text: str) -> str:
    text = text.strip().strip(_QUOTES).strip()
    while text.endswith("."):
        text = text[:-1].rstrip()
    return text.strip(_QUOTES).strip()


def _earliest_option(text: str, names: Sequence[str]) -> str | None:
    best: tuple[int, int] | None = None
    chosen = None
    for name in dict.fromkeys(names):
        found = re.search(r"(?<!\w)" + re.escape(name) + r"(?!\w)", text)
        if found is None:
            continue
        rank = (found.start(), -len(name))  # earliest, then longest
        if best is None or rank < best:
            best, chosen = rank, name
    return chosen


def parse_answer(text: str, option_names: Sequence[str] | None) -> tuple[str | None, str, str]:
    """Read ``(selected_option, explanation, feedback)`` from a model's answer.

    ``option_names`` lists the valid answers; None or an empty list accepts any
    answer as written.  ``selected_option`` is None when the text names nothing.
    """
    _check_text(text, "the answer")
    names = list(option_names or [])
    sections: dict[str, list[str]] = {"explanation": [], "feedback": [], "answer": []}
    untagged: list[str] = []
    current: list[str] = untagged
    for line in text.splitlines():
        tagged = _TAG.match(line)
        if tagged:
            tag = tagged.group(1).lower()
            if tag == "answer":
                sections["answer"] = []  # the last answer wins
            current = sections[tag]
            current.append(tagged.group(2))
        else:
            current.append(line)

    answer_text = "\n".join(sections["answer"]).strip()
    answer = _clean_answer(answer_text.splitlines()[0]) if answer_text else ""
    selected: str | None
    if answer:
        if answer in names:
            selected = answer
        else:
            folded = [name for name in dict.fromkeys(names) if name.casefold() == answer.casefold()]
            selected = folded[0] if len(folded) == 1 else answer
    else:
        body = "\n".join(untagged + sections["explanation"])
        if names:
            selected = _earliest_option(body, names)
        else:  # a bare reply is the answer itself
            first = body.strip().splitlines()[0] if body.strip() else ""
            selected = _clean_answer(first) or None

    explanation = "\n".join(sections["explanation"]).strip() or "\n".join(untagged).strip()
    feedback = "\n".join(sections["feedback"]).strip()
    return selected, explanation, feedback


# ---- writing the prompts ----------------------------------------------------------------------


def _shown(value: Any) -> str:
    return value if isinstance(value, str) else str(value)


def _reply_form(generate_feedback: bool, judged: str) -> str:
    lines = ["Reply in this form:", "Explanation: <your reasoning>"]
    if generate_feedback:
        lines.append(f"Feedback: <how the {judged} could be improved>")
    lines.append("Answer: <the name of one option, exactly as written above>")
    return "\n".join(lines)


def render_criteria_prompt(criteria: Criteria, instance: Instance, generate_feedback: bool) -> str:
    """The prompt that asks the model to judge ``instance`` by ``criteria``."""
    fields = instance.fields
    judged = criteria.to_evaluate_field
    if judged not in fields:
        raise KeyError(f"the instance has no field {judged!r} to judge (it has {list(fields)!r})")
    missing = [name for name in criteria.context_fields if name not in fields]
    if missing:
        raise KeyError(f"the instance lacks the context fields {missing!r} of criteria {criteria.name!r}")

    parts = [
        f"You are an impartial judge. Evaluate the {judged} below against the criterion.",
        f"Criterion ({criteria.name}):\n{criteria.description}",
    ]
    if criteria.context_fields:
        parts.append("Context:\n" + "\n".join(f"{name}: {_shown(fields[name])}" for name in criteria.context_fields))
    parts.append(f"{judged}:\n{_shown(fields[judged])}")
    if criteria.options:
        parts.append(
            "Options:\n"
            + "\n".join(
                f"- {o.name}: {o.description}" if o.description else f"- {o.name}" for o in criteria.options
            )
        )
    parts.append(_reply_form(generate_feedback, judged))
    return "\n\n".join(parts)


def render_custom_prompt(prompt: str, valid_outputs: Sequence[str] | None, generate_feedback: bool) -> str:
    """A caller's complete prompt, followed by the form of the reply."""
    if not valid_outputs:
        return prompt
    choices = ", ".join(dict.fromkeys(valid_outputs))
    return f"{prompt}\n\nChoose one of: {choices}.\n{_reply_form(generate_feedback, 'text')}"


# ---- the judge --------------------------------------------------------------------------------


class DirectJudge:
    """Judges each instance on its own by one criteria, through ``inference_engine``.

    With ``generate_feedback`` the model is also asked how the judged text could
    be improved; otherwise every result's ``feedback`` is "".
    """

    def __init__(self, inference_engine: Any, generate_feedback: bool = False):
        if not callable(getattr(inference_engine, "infer", None)):
            raise TypeError(
                f"inference_engine must have an infer(prompts) method, got {type(inference_engine).__name__}"
            )
        self.inference_engine = inference_engine
        self.generate_feedback = bool(generate_feedback)

    def __repr__(self) -> str:
        return f"DirectJudge(inference_engine={self.inference_engine!r}, generate_feedback={self.generate_feedback})"

    def _ask(self, prompts: list[str]) -> list[str]:
        if not prompts:
            return []
        answers = list(self.inference_engine.infer(prompts))
        if len(answers) != len(prompts):
            raise ValueError(f"the inference engine gave {len(answers)} answers for {len(prompts)} prompts")
        for i, answer in enumerate(answers):
            if not isinstance(answer, str):
                raise TypeError(f"the answer to prompt {i} is a {type(answer).__name__}, not a text")
        return answers

    def _read(self, answer: str, prompt: str, names: Sequence[str] | None, criteria: Criteria | None):
        selected, explanation, feedback = parse_answer(answer, names)
        return DirectInstanceResult(
            selected_option=selected,
            explanation=explanation,
            feedback=feedback if self.generate_feedback else "",
            score=criteria.score_of(selected) if criteria is not None else None,
            metadata={
                "prompt": prompt,
                "unparsed_response": answer,
                "criteria": criteria.name if criteria is not None else None,
            },
        )

    def evaluate(
        self, instances: Sequence[Instance], criteria: Criteria | Sequence[Criteria]
    ) -> list[DirectInstanceResult]:
        """One result per instance, in order.  ``criteria`` is one criteria for all
        instances or a list with one per instance."""
        if isinstance(instances, (str, bytes)) or not isinstance(instances, Sequence):
            raise TypeError(f"instances must be a list of Instance, got {type(instances).__name__}")
        instances = [i if isinstance(i, Instance) else Instance(fields=i) for i in instances]
        if isinstance(criteria, Criteria):
            per_instance = [criteria] * len(instances)
        elif isinstance(criteria, Sequence) and not isinstance(criteria, (str, bytes)):
            per_instance = list(criteria)
            if len(per_instance) != len(instances):
                raise ValueError(f"{len(per_instance)} criteria given for {len(instances)} instances")
            for c in per_instance:
                if not isinstance(c, Criteria):
                    raise TypeError(f"criteria must hold Criteria objects, got {type(c).__name__}")
        else:
            raise TypeError(f"criteria must be a Criteria or a list of them, got {type(criteria).__name__}")

        prompts = [
            render_criteria_prompt(c, instance, self.generate_feedback)
            for c, instance in zip(per_instance, instances)
        ]
        answers = self._ask(prompts)
        return [
            self._read(answer, prompt, c.option_names, c)
            for answer, prompt, c in zip(answers, prompts, per_instance)
        ]

    __call__ = evaluate

    def evaluate_with_custom_prompt(
        self, judge_prompts: Sequence[str], valid_outputs: Sequence[str] | None = None
    ) -> list[DirectInstanceResult]:
        """Judge with the caller's complete prompts; the answer must be one of
        ``valid_outputs`` (any answer when None).  One result per prompt."""
        if isinstance(judge_prompts, (str, bytes)) or not isinstance(judge_prompts, Sequence):
            raise TypeError(f"judge_prompts must be a list of str, got {type(judge_prompts).__name__}")
        for prompt in judge_prompts:
            _check_text(prompt, "each judge prompt")
        if valid_outputs is not None:
            if isinstance(valid_outputs, (str, bytes)) or not isinstance(valid_outputs, Sequence):
                raise TypeError(f"valid_outputs must be a list of str, got {type(valid_outputs).__name__}")
            for output in valid_outputs:
                _check_text(output, "each valid output")
        prompts = [render_custom_prompt(p, valid_outputs, self.generate_feedback) for p in judge_prompts]
        answers = self._ask(prompts)
        return [self._read(answer, prompt, valid_outputs, None) for answer, prompt in zip(answers, prompts)]
