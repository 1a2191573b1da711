"""Evaluates a small question-answering dataset end to end on local defaults.

The detector metrics are computed by a local detection service that this script starts
on 127.0.0.1 and stops again; everything runs through `_evaluate_metrics`.
"""

import json

import pandas as pd
from detection_service import run_in_thread

from tessaly.clients.api_client import APIClient
from tessaly.config import AgenticAIConfiguration
from tessaly.entities.credentials import Credentials
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
from tessaly.metrics import (
    AnswerRelevanceMetric,
    ContextRelevanceMetric,
    FaithfulnessMetric,
    HAPMetric,
    KeywordDetectionMetric,
    PIIMetric,
    ToolCallAccuracyMetric,
)


def get_weather(city: str, unit: str = "celsius") -> str:
    """Current weather of a city.

    Args:
        city: Name of the city.
        unit: "celsius" or "fahrenheit".
    """
    return f"20 degrees {unit} in {city}"


def book_table(restaurant: str, people: int) -> str:
    """Books a table at a restaurant.

    Args:
        restaurant: Name of the restaurant.
        people: Number of guests.
    """
    return f"booked {restaurant} for {people}"


def call(name: str, **arguments) -> dict:
    return {"id": f"call_{name}", "type": "function", "function": {"name": name, "arguments": json.dumps(arguments)}}


SAMPLE = pd.DataFrame(
    {
        "question": [
            "What is the weather in Paris today?",
            "Book a table for four at Chez Marie.",
            "Who wrote Pride and Prejudice, you idiot?",
            "I am jane.doe@example.com; how do I reach support?",
        ],
        "context": [
            ["Paris is the capital of France.", "The weather service reports 20 degrees in Paris."],
            ["Chez Marie is a restaurant in Lyon that takes bookings for up to eight people."],
            ["Pride and Prejudice is an 1813 novel by Jane Austen."],
            ["Support answers at help@example.com or +1 415 555 0100."],
        ],
        "answer": [
            "It is 20 degrees in Paris today.",
            "Your table for four at Chez Marie is booked.",
            "Jane Austen wrote Pride and Prejudice.",
            "Write to help@example.com or call +1 415 555 0100.",
        ],
        "tool_calls": [
            json.dumps([call("get_weather", city="Paris")]),
            json.dumps([call("book_table", restaurant="Chez Marie", people=4)]),
            json.dumps([]),
            json.dumps([call("send_email", to="help@example.com")]),
        ],
    }
)


def main() -> None:
    configuration = AgenticAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["context"],
        tool_calls_field="tool_calls",
        tools=[get_weather, book_table],
    )
    metrics = [
        HAPMetric(),
        PIIMetric(),
        KeywordDetectionMetric(keywords=["idiot"]),
        AnswerRelevanceMetric(),
        ContextRelevanceMetric(),
        FaithfulnessMetric(),
        ToolCallAccuracyMetric(),
    ]
    with run_in_thread(tokens="demo-token") as service:
        client = APIClient(credentials=Credentials(url=service.url, version="5.0", api_key="demo-token"))
        table = SAMPLE.copy()
        result = _evaluate_metrics(configuration=configuration, data=table, metrics=metrics, api_client=client)
        print(f"Detection service on {service.url}: {len(service.requests)} requests answered\n")

    with pd.option_context("display.width", 160, "display.max_columns", 20, "display.max_colwidth", 48):
        print("Aggregates")
        aggregates = pd.DataFrame(
            [
                {"metric": r.name, "method": r.method, "mean": r.mean, "min": r.min, "max": r.max, "records": r.total_records}
                for r in result.metrics_result
            ]
        )
        print(aggregates.to_string(index=False))
        print()
        print("Per record")
        per_record = result.to_df()
        per_record["question"] = per_record["record_id"].map(dict(zip(table["record_id"], table["question"])))
        print(per_record.pivot_table(index="question", columns="name", values="value", sort=False).round(3).to_string())


if __name__ == "__main__":
    main()
