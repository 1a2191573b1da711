"""Plain-Python judge-library provider written for speed: the fast baseline of
bench/bench_tabulo_provider.py.

The same steps and results as ``baseline_tabulo_provider`` (the literal form, whose
constructor and column mapping this class inherits), written the way idiomatic Python
would write them for speed:

- preparation converts only the columns it uses (``astype(str)`` per column instead of the
  whole table), zips several context or reference columns into lists from whole columns,
  and builds the instance table in one constructor call instead of one column at a time.
  A single context or reference column is still read by ``Series.apply`` of
  ``transform_str_to_list``: that is a loop in C over the column, and a list comprehension
  over ``to_list()`` measured no faster (the reader itself is nearly all of the time);
- post-processing reads the score and identifier columns whole (``to_list()``) instead of
  ``iterrows()``, floors and rounds in one comprehension, and builds one
  ``RecordMetricResult`` per record with the loop-invariant keywords bound once.

The pandas mean of the score column is kept: it is already one vectorised call, and a
Python sum would round differently.

Module globals are looked up at use, so a benchmark can swap the result classes here as in
the other implementations.
"""

import pandas as pd

import baseline_tabulo_provider as literal
from tessaly.entities.enums import EvaluationProvider
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.utils.python_utils import transform_str_to_list


class TabuloProvider(literal.TabuloProvider):
    def __pre_process_data(self, data: pd.DataFrame) -> pd.DataFrame:
        columns = set(data.columns.to_list())
        configuration = self.configuration
        mapping = self.column_mapping
        as_text = {}  # column name -> that column as text, each converted once

        def text(name):
            column = as_text.get(name)
            if column is None:
                column = as_text[name] = data[name].astype(str)
            return column

        def lists(fields):
            if len(fields) > 1:
                return [list(row) for row in zip(*[text(f).to_list() for f in fields])]
            return text(fields[0]).apply(transform_str_to_list)

        parts = {}
        if configuration.input_fields[0] in columns:
            parts[mapping.question] = text(configuration.input_fields[0])
        if all(field in columns for field in configuration.output_fields):
            parts[mapping.answer] = text(configuration.output_fields[0])
        if configuration.context_fields and all(field in columns for field in configuration.context_fields):
            parts[mapping.contexts] = lists(configuration.context_fields)
        if configuration.reference_fields and all(field in columns for field in configuration.reference_fields):
            parts[mapping.ground_truths] = lists(configuration.reference_fields)
        parts["record_id"] = text(configuration.record_id_field)
        return pd.DataFrame(parts, index=data.index)

    def __post_process(self, result: pd.DataFrame):
        name = self.metric_name
        display_name = self.metric_display_name
        method = self.metric_method
        group = self.metric_group
        thresholds = self.thresholds
        provider = EvaluationProvider.TABULO.value
        record = RecordMetricResult

        scores = result[name].to_list()
        if name in self.CLIP_METRIC_METHODS and method in self.CLIP_METRIC_METHODS[name]:
            values = [round(s if s > 0.0 else 0.0, 4) for s in scores]
        else:
            values = [round(s, 4) for s in scores]
        record_level_metrics = [
            record(name=name, display_name=display_name, method=method, group=group, provider=provider,
                   value=value, record_id=str(record_id), thresholds=thresholds)
            for value, record_id in zip(values, result["record_id"].to_list())
        ]
        mean = round(result[name].mean(), 4)
        present = [v for v in values if v == v]  # missing (NaN) values left out, as by the mean
        low, high = (min(present), max(present)) if present or not values else (float("nan"), float("nan"))
        return AggregateMetricResult(
            name=name,
            display_name=display_name,
            method=method,
            group=group,
            provider=provider,
            value=mean,
            total_records=len(values),
            record_level_metrics=record_level_metrics,
            min=low,
            max=high,
            mean=mean,
            thresholds=thresholds,
        )
