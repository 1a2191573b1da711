"""Judge models that the caller runs: the prompts go to the caller's scoring function."""

import math
from collections.abc import Callable
from typing import Any

import pandas as pd
from tabulo.formats import prompt_text
from tabulo.inference import InferenceEngine


class CustomFunctionInferenceEngine(InferenceEngine):
    """Answers the judge's prompts with the caller's ``scoring_fn``.

    Scoring-function contract (the same as for model-risk evaluation):

    - it is called with a pandas DataFrame with the column "input_text", one row per
      prompt (chat prompts are given as their messages' contents, one per line), and,
      when the model has a ``context`` (not None), with that context as a second
      positional argument;
    - it returns the generated texts in row order: a list or tuple of texts, a pandas
      Series, or a DataFrame with a "generated_text" column; None or a missing value
      counts as an empty answer;
    - it is given at most ``num_parallel_requests`` prompts per call: longer batches are
      split and the calls made one after another, in order.

    With ``use_cache`` a prompt seen before is answered from memory.
    """

    def __init__(
        self,
        scoring_fn: Callable,
        model_name: str = "custom_fn",
        context: Any = None,
        num_parallel_requests: int = 20,
        use_cache: bool = False,
        **kwargs: Any,
    ):
        if not callable(scoring_fn):
            raise TypeError(f"scoring_fn must be callable, got {type(scoring_fn).__name__}")
        if (
            isinstance(num_parallel_requests, bool)
            or not isinstance(num_parallel_requests, int)
            or num_parallel_requests < 1
        ):
            raise ValueError(f"num_parallel_requests must be a positive int, got {num_parallel_requests!r}")
        super().__init__(
            scoring_fn=scoring_fn,
            model_name=model_name,
            context=context,
            num_parallel_requests=num_parallel_requests,
            use_cache=use_cache,
            **kwargs,
        )

    def _infer(self, prompts: list) -> list[str]:
        size = self.kwargs["num_parallel_requests"]
        answers: list[str] = []
        for start in range(0, len(prompts), size):
            answers.extend(self._call(prompts[start : start + size]))
        return answers

    def _call(self, prompts: list) -> list[str]:
        table = pd.DataFrame({"input_text": [prompt_text(p) for p in prompts]})
        context = self.kwargs["context"]
        scoring_fn = self.kwargs["scoring_fn"]
        answers = scoring_fn(table) if context is None else scoring_fn(table, context)
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
            raise ValueError(f"the scoring function returned {len(answers)} answers for {len(prompts)} prompts")
        texts = []
        for row, text in enumerate(answers):
            if text is None or text is pd.NA or (isinstance(text, float) and math.isnan(text)):
                text = ""
            if not isinstance(text, str):
                raise TypeError(f"the scoring function's answer at row {row} is a {type(text).__name__}, not a text")
            texts.append(text)
        return texts
