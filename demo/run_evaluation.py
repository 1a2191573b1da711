"""Evaluates a small sample table end to end on local defaults and prints the results."""

import asyncio

import pandas as pd

from tessaly.config import GenAIConfiguration
from tessaly.entities.enums import MetricGroup
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics, _evaluate_metrics_async
from tessaly.metrics import AverageOfMetric, KeywordCountMetric, TextLengthMetric

SAMPLE = pd.DataFrame(
    {
        "input_text": [
            "What is the capital of France?",
            "How many legs does a spider have?",
            "Who wrote Pride and Prejudice?",
            "What is the boiling point of water at sea level?",
        ],
        "context": [
            ["Paris is the capital and largest city of France."],
            ["Spiders are arachnids with eight legs."],
            ["Pride and Prejudice is an 1813 novel by Jane Austen."],
            ["At sea level water boils at 100 degrees Celsius."],
        ],
        "generated_text": [
            "The capital of France is Paris.",
            "A spider has eight legs.",
            "Jane Austen wrote Pride and Prejudice.",
            "Water boils at 100 degrees Celsius at sea level.",
        ],
    }
)


def main() -> None:
    configuration = GenAIConfiguration(
        input_fields=["input_text"], output_fields=["generated_text"], context_fields=["context"]
    )
    length = TextLengthMetric()
    keywords = KeywordCountMetric(keywords=["paris", "eight", "austen", "celsius"])
    average = AverageOfMetric(metric_dependencies=[length, keywords], name="average_of_length_and_keywords")

    table = SAMPLE.copy()
    result = _evaluate_metrics(
        configuration=configuration,
        data=table,
        metrics=[length, average],
        metric_groups=[MetricGroup.RETRIEVAL_QUALITY],
    )
    again = asyncio.run(
        _evaluate_metrics_async(configuration, table, [length, average], metric_groups=[MetricGroup.RETRIEVAL_QUALITY])
    )

    with pd.option_context("display.width", 160, "display.max_columns", 20, "display.max_colwidth", 40):
        print("Aggregates")
        print(
            pd.DataFrame(
                [
                    {"metric": r.name, "mean": r.mean, "min": r.min, "max": r.max, "records": r.total_records}
                    for r in result.metrics_result
                ]
            ).to_string(index=False)
        )
        print()
        print("Per record")
        print(result.to_df()[["name", "record_id", "value", "errors"]].to_string(index=False))
    # The asynchronous run awaits dependencies first, so its order differs; its values do not.
    means = {r.name: r.mean for r in result.metrics_result}
    same = means == {r.name: r.mean for r in again.metrics_result}
    print()
    print(f"The asynchronous run gives the same aggregates: {same}")


if __name__ == "__main__":
    main()
