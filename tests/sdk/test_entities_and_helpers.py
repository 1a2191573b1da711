import pandas as pd
import pytest

from tessaly.config import GenAIConfiguration
from tessaly.entities.base_classes import Error
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.metric_threshold import MetricThreshold
from tessaly.metrics import AverageOfMetric, KeywordCountMetric, TextLengthMetric
from tessaly.utils.python_utils import track_duration, transform_str_to_list


def record(value, record_id="r", **extra):
    return RecordMetricResult(
        name="m", display_name="M", method="x", provider="local", value=value,
        record_id=record_id, **extra,
    )


class TestAggregateCreate:
    def test_statistics_over_numeric_values_rounded(self):
        thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
        records = [
            record(1 / 3, "a", thresholds=thresholds),
            record(None, "b", errors=[Error(code="500", message_en="failed")]),
            record(float("nan"), "c"),
            record(1.0, "d"),
            record("yes", "e"),
        ]
        result = AggregateMetricResult.create(records)
        assert (result.mean, result.value, result.min, result.max) == (0.6667, 0.6667, 0.3333, 1.0)
        assert result.total_records == 5
        assert result.record_level_metrics == records
        assert (result.name, result.method, result.provider) == ("m", "x", "local")
        assert result.thresholds == thresholds

    def test_no_numeric_values(self):
        result = AggregateMetricResult.create([record(None)])
        assert result.value is None and result.min is None and result.total_records == 1

    def test_empty_list(self):
        result = AggregateMetricResult.create([])
        assert result.total_records == 0 and result.value is None

    @pytest.mark.parametrize("records", [None, (record(1.0),), [object()]])
    def test_bad_input(self, records):
        with pytest.raises(TypeError):
            AggregateMetricResult.create(records)


class TestTransformStrToList:
    @pytest.mark.parametrize(
        ("cell", "expected"),
        [
            ("['a', 'b']", ["a", "b"]),
            ('["a", "b, c"]', ["a", "b, c"]),
            ("[1, 2]", ["1", "2"]),
            ("[]", []),
            ("just one context", ["just one context"]),
            ("  ", []),
            (None, []),
            (float("nan"), []),
            (pd.NA, []),
            (("a", "b"), ["a", "b"]),
        ],
    )
    def test_values(self, cell, expected):
        assert transform_str_to_list(cell) == expected

    def test_list_is_returned_as_is(self):
        cell = ["a", "b"]
        assert transform_str_to_list(cell) is cell

    def test_unreadable_list_text(self):
        with pytest.raises(ValueError, match="Cannot read a list"):
            transform_str_to_list("[a, b]")
        with pytest.raises(ValueError, match="Cannot read a list"):
            transform_str_to_list("[{'a': 1]")

    @pytest.mark.parametrize("cell", [3, {"a": 1}])
    def test_other_types(self, cell):
        with pytest.raises(TypeError):
            transform_str_to_list(cell)


def test_track_duration_does_not_swallow_and_still_records():
    from tessaly.utils import python_utils

    with pytest.raises(KeyError):
        with track_duration("failing block"):
            raise KeyError("x")
    label, seconds = python_utils.recorded_durations[-1]
    assert label == "failing block" and seconds >= 0


class TestLocalMetrics:
    config = GenAIConfiguration()

    def table(self):
        return pd.DataFrame(
            {"record_id": ["a", "b", "c"],
             "generated_text": ["Hello world", "hello, HELLO there; othello", None]}
        )

    def test_record_results_and_missing_cell(self):
        result = KeywordCountMetric(keywords=["hello"]).evaluate(
            data=self.table(), configuration=self.config, meter_client=None, api_client=None
        )
        values = [r.value for r in result.record_level_metrics]
        assert values == [1.0, 2.0, None]  # whole words only: not "othello"
        assert result.record_level_metrics[2].errors[0].code == "MISSING_VALUE"
        assert result.mean == 1.5 and result.total_records == 3

    def test_average_of_dependencies(self):
        data = self.table()
        length = TextLengthMetric()
        keywords = KeywordCountMetric(keywords=["hello"])
        results = [length.evaluate(data=data, configuration=self.config), None,
                   keywords.evaluate(data=data, configuration=self.config)]
        average = AverageOfMetric(metric_dependencies=[length, keywords]).evaluate(
            data=data, configuration=self.config, metrics_result=results, api_client=None
        )
        assert [r.value for r in average.record_level_metrics] == [6.0, 14.5, None]

    def test_average_without_dependency_result(self):
        metric = AverageOfMetric(metric_dependencies=[TextLengthMetric()])
        with pytest.raises(ValueError, match="text_length"):
            metric.evaluate(data=self.table(), configuration=self.config, metrics_result=[])

    def test_bad_inputs(self):
        with pytest.raises(TypeError):
            TextLengthMetric().evaluate(data={"a": 1}, configuration=self.config)
        with pytest.raises(ValueError, match="output field"):
            TextLengthMetric().evaluate(data=self.table(), configuration=GenAIConfiguration(output_fields=[]))
        with pytest.raises(ValueError, match="record id"):
            TextLengthMetric().evaluate(data=self.table().drop(columns="record_id"), configuration=self.config)
        with pytest.raises(ValueError):
            KeywordCountMetric(keywords=[" "])
        with pytest.raises(ValueError):
            AverageOfMetric(metric_dependencies=[])
