"""Metrics judged by a language model against a criteria, through the criteria-judge library.

A ``CriteriaJudgeMetric`` describes the criteria either as a text
(``criteria_description``: the judge sees the judged column, the context columns
and the options) or as a complete prompt (``prompt_template``, with placeholders
``{column}`` filled from each record).  Each option is a possible answer; the
option's ``value`` becomes the record's value when the judge chooses it.  When
both are given, the criteria description is used.

The judge model is the metric's ``llm_judge`` or, failing that, the
configuration's.  ``VerdraProvider`` (a native module, imported when a metric is
computed) runs the judge and aggregates the records.
"""

import string
from typing import Any

import pandas as pd
from pydantic import Field, field_validator, model_validator

from tessaly.config import GenAIConfiguration
from tessaly.entities.criteria import Option
from tessaly.entities.evaluation_result import AggregateMetricResult
from tessaly.entities.llm_judge import LLMJudge
from tessaly.entities.metric import GenAIMetric


def _as_table(data: Any) -> pd.DataFrame:
    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, dict):
        return pd.DataFrame([data])
    if isinstance(data, list):
        return pd.DataFrame(data)
    raise TypeError(f"data must be a pandas DataFrame, a dict or a list of dicts, got {type(data).__name__}")


def _template_columns(template: str) -> list[str]:
    """The columns a template's placeholders name ("{a.b[0]:>3}" names "a")."""
    names = []
    for _, field, _, _ in string.Formatter().parse(template):
        if field is None:
            continue
        root = field.split(".", 1)[0].split("[", 1)[0]
        if not root or root.isdigit():
            raise ValueError(f"prompt_template placeholders must name columns, got {{{field}}}")
        names.append(root)
    return list(dict.fromkeys(names))


class CriteriaJudgeMetric(GenAIMetric):
    """A criteria judged by a language model, one answer per record.

    ``prediction_field`` (default: the configuration's first output field) is the
    judged column; ``context_fields`` (default: the configuration's context
    fields) are shown to the judge with it.  With ``compute_token_count`` each
    record's ``additional_info`` carries the token counts of the judge's prompt
    and answer.
    """

    method: str | None = "llm_as_judge"
    criteria_description: str | None = None
    prompt_template: str | None = None
    options: list[Option] = Field(min_length=1)
    context_fields: list[str] | None = None
    prediction_field: str | None = None
    llm_judge: LLMJudge | None = None
    compute_token_count: bool = False
    value_type: str = "numeric"

    @field_validator("options")
    @classmethod
    def _named_options(cls, options: list[Option]) -> list[Option]:
        if any(not option.name.strip() for option in options):
            raise ValueError("option names must not be blank")
        return options

    @model_validator(mode="after")
    def _criteria_or_template(self) -> "CriteriaJudgeMetric":
        if not self.criteria_description and not self.prompt_template:
            raise ValueError("give criteria_description or prompt_template")
        if not self.criteria_description:
            _template_columns(self.prompt_template)
        return self

    # ---- what the provider needs --------------------------------------------------------------

    def _columns(self, configuration: GenAIConfiguration) -> tuple[str | None, list[str]]:
        prediction = self.prediction_field
        if prediction is None and configuration.output_fields:
            prediction = configuration.output_fields[0]
        contexts = self.context_fields if self.context_fields is not None else configuration.context_fields
        return prediction, list(contexts)

    def _check(self, data: pd.DataFrame, configuration: Any) -> None:
        if not isinstance(configuration, GenAIConfiguration):
            raise TypeError(
                f"configuration must be a GenAIConfiguration, got {type(configuration).__name__}"
            )
        if self.llm_judge is None and configuration.llm_judge is None:
            raise ValueError(f"The metric '{self.name}' needs an llm_judge, in the metric or the configuration.")
        prediction, contexts = self._columns(configuration)
        if self.criteria_description:
            if prediction is None:
                raise ValueError(
                    f"The metric '{self.name}' needs a prediction_field or an output field in the configuration."
                )
            needed = {"judged": [prediction], "context": contexts}
        else:
            needed = {"prompt template": _template_columns(self.prompt_template)}
        needed["record id"] = [configuration.record_id_field]
        needed["record timestamp"] = [configuration.record_timestamp_field]
        for kind, columns in needed.items():
            for column in columns:
                if column not in data.columns:
                    raise ValueError(
                        f"The {kind} column '{column}' needed by the metric '{self.name}' is missing from the data."
                    )

    def _provider(self, configuration: GenAIConfiguration):
        # The provider is a native module; import it only when a metric is computed.
        from tessaly.providers.verdra_provider import VerdraProvider

        prediction, contexts = self._columns(configuration)
        return VerdraProvider(
            metric_name=self.name,
            display_name=self.display_name or self.name,
            value_type=self.value_type,
            llm_judge=self.llm_judge or configuration.llm_judge,
            options=list(self.options),
            criteria_description=self.criteria_description or None,
            prompt_template=self.prompt_template or None,
            context_fields=contexts,
            prediction_field=prediction,
            metric_group=self.group,
            metric_method=self.method,
            thresholds=list(self.thresholds),
            record_id_field=configuration.record_id_field,
            record_timestamp_field=configuration.record_timestamp_field,
            compute_token_count=self.compute_token_count,
        )

    def evaluate(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        """Judge every record of ``data``; further keywords of the evaluation are not used."""
        data = _as_table(data)
        self._check(data, configuration)
        return self._provider(configuration).evaluate(data=data)

    async def evaluate_async(self, data, configuration, **kwargs: Any) -> AggregateMetricResult:
        data = _as_table(data)
        self._check(data, configuration)
        return await self._provider(configuration).evaluate_async(data=data)
