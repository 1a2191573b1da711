"""Evaluates a small question-answering dataset end to end on local defaults.

Everything runs through `_evaluate_metrics`:
- detector metrics, computed by a local detection service that this script starts on
  127.0.0.1 and stops again;
- similarity metrics of the judge library, and a faithfulness judge whose "model" is a
  local scoring function;
- a criteria-judge metric, whose judge model is answered by a local responder.
"""

import json

import re

import pandas as pd
from detection_service import run_in_thread
from tabulo.inference import local_responder

from tessaly.clients.api_client import APIClient
from tessaly.config import AgenticAIConfiguration
from tessaly.entities.credentials import Credentials, OpenAICredentials
from tessaly.entities.criteria import Option
from tessaly.entities.foundation_model import CustomFoundationModel, OpenAIFoundationModel
from tessaly.entities.llm_judge import LLMJudge
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
from tessaly.metrics import (
    AnswerRelevanceMetric,
    AnswerSimilarityMetric,
    ContextRelevanceMetric,
    CriteriaJudgeMetric,
    FaithfulnessJudgeMetric,
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


def words(text: str) -> set[str]:
    return set(re.findall(r"[a-z0-9]+", text.lower()))


def local_judge(prompts: pd.DataFrame) -> list[str]:
    """A stand-in for a judge model: "Yes" when most words of the answer in the prompt
    appear in its contexts."""
    answers = []
    for prompt in prompts["input_text"]:
        contexts = re.search(r"Contexts:\n(.*?)\n\n", prompt, re.S)
        answer = re.search(r"Answer: (.*?)\n", prompt)
        claimed, known = words(answer.group(1) if answer else ""), words(contexts.group(1) if contexts else "")
        answers.append("Yes" if claimed and len(claimed & known) / len(claimed) >= 0.5 else "No")
    return answers


def politeness_responder(prompt, engine) -> str:
    """Answers the criteria judge: an answer is impolite when it insults the reader."""
    text = prompt if isinstance(prompt, str) else " ".join(m["content"] for m in prompt)
    rude = re.search(r"\b(idiot|stupid|dumb)\b", text, re.IGNORECASE)
    verdict = "No" if rude else "Yes"
    return f"Explanation: the answer is {'not ' if rude else ''}courteous.\nFeedback: keep it factual.\nAnswer: {verdict}"


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
            "Jane Austen wrote it, obviously, you idiot.",
            "Write to help@example.com or call +1 415 555 0100.",
        ],
        "ground_truth": [
            "It is 20 degrees in Paris.",
            "The table for four at Chez Marie is booked.",
            "Jane Austen wrote Pride and Prejudice.",
            "Contact help@example.com or call +1 415 555 0100.",
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
        reference_fields=["ground_truth"],
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
        AnswerSimilarityMetric(method="sentence_bert_mini_lm"),
        FaithfulnessJudgeMetric(method="token_recall", display_name="Faithfulness (token recall)"),
        FaithfulnessJudgeMetric(
            method="llm_as_judge",
            display_name="Faithfulness (judge)",
            llm_judge=LLMJudge(model=CustomFoundationModel(scoring_fn=local_judge, model_id="local-judge")),
        ),
        CriteriaJudgeMetric(
            name="politeness",
            criteria_description="Is the {answer} polite towards the person who asked the {question}?",
            options=[Option(name="Yes", description="The answer is polite.", value=1.0),
                     Option(name="No", description="The answer is rude.", value=0.0)],
            prediction_field="answer",
            context_fields=["question"],
            llm_judge=LLMJudge(model=OpenAIFoundationModel(
                model_id="local-gpt", provider={"type": "openai", "credentials": OpenAICredentials(api_key="local")})),
        ),
    ]
    with run_in_thread(tokens="demo-token") as service, local_responder(politeness_responder):
        client = APIClient(credentials=Credentials(url=service.url, version="5.0", api_key="demo-token"))
        table = SAMPLE.copy()
        result = _evaluate_metrics(configuration=configuration, data=table, metrics=metrics, api_client=client)
        print(f"Detection service on {service.url}: {len(service.requests)} requests answered\n")
    # Several metrics share a name (faithfulness by detector, by token recall, by judge).
    labels = [f"{r.name} ({r.method})" for r in result.metrics_result]

    with pd.option_context("display.width", 160, "display.max_columns", 20, "display.max_colwidth", 48):
        print("Aggregates")
        aggregates = pd.DataFrame(
            [
                {"metric": label, "mean": r.mean, "min": r.min, "max": r.max, "records": r.total_records}
                for label, r in zip(labels, result.metrics_result)
            ]
        )
        print(aggregates.to_string(index=False))
        print()
        print("Per record")
        per_record = result.to_df()
        per_record["metric"] = per_record["name"] + " (" + per_record["method"].fillna("") + ")"
        per_record["record"] = per_record["record_id"].map(dict(zip(table["record_id"], range(1, len(table) + 1))))
        values = per_record.pivot_table(index="metric", columns="record", values="value", sort=False).round(3)
        print(values.to_string())
        print()
        for number, question in enumerate(table["question"], start=1):
            print(f"record {number}: {question}")


if __name__ == "__main__":
    main()
