"""Plain-Python judge-library provider, the baseline of bench/bench_tabulo_provider.py.

The provider's own work written the obvious way, step by step: the constructor, data
preparation (``astype(str)``, the column picks, ``transform_str_to_list`` over a single
context or reference column, the record identifiers) and post-processing (``iterrows``,
flooring, ``round``, one ``RecordMetricResult`` per row, the mean of the raw score column,
min and max without missing values, and the ``AggregateMetricResult``). The library run
itself (``__compute_metric``) is not part of the comparison and is left out.

Module globals are looked up at use, so a benchmark can swap the result classes of both
implementations for the same stand-ins.

Record identifiers: the instance table's columns are assigned as pandas objects, so the
identifiers are aligned on row labels, as the obvious code does. With the default
RangeIndex this is the same table as the native module's positional one; with other row
labels the native module keeps the identifiers in row order instead.
"""

from threading import Lock
from typing import Annotated, ClassVar

import pandas as pd
from pydantic import BaseModel, Field

from tessaly.entities.enums import EvaluationProvider
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.utils.python_utils import transform_str_to_list

_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _check(name, value, expected, none_allowed=False):
    """Exact-type test of an argument (subclasses refused)."""
    if type(value) is expected or (none_allowed and value is None):
        return
    raise TypeError(_TYPE_MESSAGE % (name, expected.__name__, type(value).__name__))


class TabuloColumnMapping(BaseModel):
    """Column mapping expected by tabulo"""

    question: Annotated[str, Field(default="question", description="Expected question column name by tabulo")]
    answer: Annotated[str, Field(default="answer", description="Expected answer column name by tabulo")]
    contexts: Annotated[str, Field(default="contexts", description="Expected contexts column name by tabulo")]
    ground_truths: Annotated[
        str, Field(default="ground_truths", description="Expected ground_truths column name by tabulo")
    ]


class TabuloProvider:
    CLIP_METRIC_METHODS: ClassVar[dict[str, set[str]]] = {
        "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
        "faithfulness": {"sentence_bert_mini_lm"},
        "answer_correctness": {"sentence_bert_mini_lm"},
    }
    METRIC_METHODS_WITH_LOCKS: ClassVar[set[str]] = {"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}
    _lock = Lock()

    def __init__(
        self,
        configuration,
        metric_name,
        metric_display_name,
        metric_method,
        metric_prefix,
        metric_alias=None,
        metric_group=None,
        column_mapping=None,
        llm_judge=None,
        thresholds=[],  # one shared default, never modified
        **kwargs,
    ):
        _check("metric_name", metric_name, str)
        _check("metric_display_name", metric_display_name, str)
        _check("metric_method", metric_method, str)
        _check("metric_prefix", metric_prefix, str)
        _check("metric_alias", metric_alias, str, none_allowed=True)
        _check("thresholds", thresholds, list)
        self.configuration = configuration
        self.configuration_ = {}
        self.metric_name = metric_name
        self.metric_display_name = metric_display_name
        self.metric_method = metric_method
        self.metric_group = metric_group
        self.column_mapping = column_mapping if column_mapping else TabuloColumnMapping()
        self.llm_judge = llm_judge if llm_judge else configuration.llm_judge
        self.metric_alias = metric_alias
        self.metric_prefix = metric_prefix
        self.thresholds = thresholds

    def __pre_process_data(self, data: pd.DataFrame) -> pd.DataFrame:
        """Goes over the dataframe and update the column names to match what is expected by tabulo"""
        instances = pd.DataFrame()
        columns = data.columns.to_list()
        data = data.astype(str)
        configuration = self.configuration
        mapping = self.column_mapping

        if configuration.input_fields[0] in columns:
            instances[mapping.question] = data[configuration.input_fields[0]]

        if all(field in columns for field in configuration.output_fields):
            instances[mapping.answer] = data[configuration.output_fields[0]]

        if all(field in columns for field in configuration.context_fields):
            if len(configuration.context_fields) > 1:
                instances[mapping.contexts] = data[configuration.context_fields].values.tolist()
            elif len(configuration.context_fields) == 1:
                instances[mapping.contexts] = data[configuration.context_fields[0]].apply(transform_str_to_list)

        if all(field in columns for field in configuration.reference_fields):
            if len(configuration.reference_fields) > 1:
                instances[mapping.ground_truths] = data[configuration.reference_fields].values.tolist()
            elif len(configuration.reference_fields) == 1:
                instances[mapping.ground_truths] = data[configuration.reference_fields[0]].apply(transform_str_to_list)

        instances["record_id"] = data[configuration.record_id_field]
        return instances

    def __post_process(self, result: pd.DataFrame):
        apply_clipping = (
            self.metric_name in self.CLIP_METRIC_METHODS
            and self.metric_method in self.CLIP_METRIC_METHODS[self.metric_name]
        )
        record_level_metrics = []
        for _, row in result.iterrows():
            score = row[self.metric_name]
            if apply_clipping:
                score = score if score > 0.0 else 0.0
            value = round(score, 4)
            record_level_metrics.append(
                RecordMetricResult(
                    name=self.metric_name,
                    display_name=self.metric_display_name,
                    method=self.metric_method,
                    group=self.metric_group,
                    provider=EvaluationProvider.TABULO.value,
                    value=value,
                    record_id=str(row["record_id"]),
                    thresholds=self.thresholds,
                )
            )
        values = [record.value for record in record_level_metrics]
        mean = round(result[self.metric_name].mean(), 4)
        present = [v for v in values if v == v]  # missing (NaN) values left out, as by the mean
        low, high = (min(present), max(present)) if present or not values else (float("nan"), float("nan"))
        return AggregateMetricResult(
            name=self.metric_name,
            display_name=self.metric_display_name,
            method=self.metric_method,
            group=self.metric_group,
            provider=EvaluationProvider.TABULO.value,
            value=mean,
            total_records=len(values),
            record_level_metrics=record_level_metrics,
            min=low,
            max=high,
            mean=mean,
            thresholds=self.thresholds,
        )
