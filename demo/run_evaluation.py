"""Evaluates a small question-answering dataset end to end on local defaults.

    python demo/run_evaluation.py [--detection-url URL] [--token TOKEN]

Everything runs through `_evaluate_metrics`:
- detector metrics, computed by a local detection service that this script starts on
  127.0.0.1 and stops again;
- similarity metrics of the judge library, and a faithfulness judge whose "model" is a
  local scoring function;
- a criteria-judge metric, whose judge model is answered by a local responder.

The tables show, for every metric, how many records failed and its first error, and per
record the error code in place of a missing value. To see failures:
- ``--detection-url URL`` (or TESSALY_DEMO_DETECTION_URL) sends the detector requests to
  URL instead of starting the local service, e.g. http://127.0.0.1:9 where nothing listens;
- ``--token TOKEN`` (or TESSALY_DEMO_TOKEN) sends TOKEN, which the local service (started
  with its own token) rejects unless it is that token.
"""

import argparse
import ast
import contextlib
import json
import math
import os
import re
import sys
from collections import Counter
from numbers import Real

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

# Token counts use the encoding the setup seeds into the environment: nothing is downloaded.
os.environ.setdefault("TIKTOKEN_CACHE_DIR", os.path.join(sys.prefix, "tiktoken-cache"))


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


# The token the local detection service accepts.
SERVICE_TOKEN = "demo-token"


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="run_evaluation.py",
        description="Evaluates a small question-answering dataset and prints the results and the failures.",
    )
    parser.add_argument(
        "--detection-url", metavar="URL", default=os.environ.get("TESSALY_DEMO_DETECTION_URL") or None,
        help="send the detector requests to this detection service instead of starting the local one, "
             "e.g. http://127.0.0.1:9 where nothing listens (default: $TESSALY_DEMO_DETECTION_URL)",
    )
    parser.add_argument(
        "--token", default=os.environ.get("TESSALY_DEMO_TOKEN") or SERVICE_TOKEN,
        help=f"bearer token of the detector requests; the local service accepts only {SERVICE_TOKEN!r} "
             "(default: $TESSALY_DEMO_TOKEN, else that token)",
    )
    parser.add_argument(
        "--partition-rows", type=int, metavar="N",
        help="evaluate in partitions of at most N rows with _evaluate_metrics_partitioned, one after "
             "another in this process (or on the cluster, with --cluster)",
    )
    parser.add_argument(
        "--cluster", action="store_true",
        help="evaluate the partitions on a local Dask cluster of two worker processes "
             "(needs the dask extra; partitions of 2 rows unless --partition-rows says otherwise)",
    )
    return parser.parse_args(argv)


def evaluate(arguments, configuration, table, metrics, client):
    """The evaluation of the table: in one call, or in partitions (here or on a local cluster)."""
    if arguments.partition_rows is None and not arguments.cluster:
        return _evaluate_metrics(configuration=configuration, data=table, metrics=metrics, api_client=client)
    from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned

    rows = arguments.partition_rows or 2
    if not arguments.cluster:
        return _evaluate_metrics_partitioned(configuration, table, metrics, client, partition_rows=rows,
                                             progress=True)
    import distributed
    from distributed.diagnostics.plugin import WorkerPlugin

    class JudgedOnEveryWorker(WorkerPlugin):
        """The criteria judge's local responder, on each worker."""

        def setup(self, worker):
            from tabulo.inference import set_responder

            set_responder(politeness_responder)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as dask_client:
        dask_client.register_plugin(JudgedOnEveryWorker(), name="demo-judge")
        return _evaluate_metrics_partitioned(configuration, table, metrics, client, partition_rows=rows,
                                             client=dask_client, progress=True)


def metrics_to_evaluate() -> list:
    return [
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
            compute_token_count=True,  # cl100k_base, from the cache the setup seeds: no download
            llm_judge=LLMJudge(model=OpenAIFoundationModel(
                model_id="local-gpt", provider={"type": "openai", "credentials": OpenAICredentials(api_key="local")})),
        ),
    ]


def service_summary(service) -> str:
    """How the local detection service answered: "28 requests answered" or, with failures,
    "0 requests answered, 28 failed (401: 28)"."""
    statuses = [request.status for request in service.requests]
    answered = sum(1 for status in statuses if status is not None and 200 <= status < 300)
    failed = Counter("dropped" if status is None else str(status)
                     for status in statuses if status is None or not 200 <= status < 300)
    summary = f"{answered} requests answered"
    if failed:
        summary += f", {sum(failed.values())} failed ({', '.join(f'{k}: {n}' for k, n in sorted(failed.items()))})"
    return summary


def is_number(value) -> bool:
    return isinstance(value, Real) and not isinstance(value, bool) and not math.isnan(value)


def error_message(error) -> str:
    """The error's message; from a service's JSON error body, its codes and messages alone."""
    message = " ".join(str(error.message_en).split())
    try:
        body = ast.literal_eval(message)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return message
    details = body.get("errors") if isinstance(body, dict) else None
    if not isinstance(details, list) or not details:
        return message
    parts = []
    for detail in details:
        if not isinstance(detail, dict) or "message" not in detail:
            return message
        parts.append(f"{detail['code']}: {detail['message']}" if detail.get("code") else str(detail["message"]))
    return "; ".join(parts)


def record_errors(aggregate) -> list:
    """The errors of every failed record, in record order."""
    return [error for record in getattr(aggregate, "record_level_metrics", None) or [] for error in record.errors or []]


def failure_columns(aggregate) -> dict:
    records = getattr(aggregate, "record_level_metrics", None) or []
    failed = sum(1 for record in records if record.errors)
    errors = record_errors(aggregate) or list(getattr(aggregate, "errors", None) or [])
    if errors and not records:  # the metric failed as a whole
        failed = getattr(aggregate, "total_records", 0)
    first = errors[0] if errors else None
    return {
        "failed": failed,
        "first error": str(first.code) if first else "",
        "message": error_message(first) if first else "",
    }


def aggregates_table(labels: list[str], results: list) -> pd.DataFrame:
    def number(value) -> float:
        return float(value) if is_number(value) else math.nan

    return pd.DataFrame(
        [
            {"metric": label, "mean": number(getattr(r, "mean", None)), "min": number(getattr(r, "min", None)),
             "max": number(getattr(r, "max", None)), "records": getattr(r, "total_records", 0), **failure_columns(r)}
            for label, r in zip(labels, results)
        ]
    )


def cell(record) -> str:
    """A record's value, or the code of its error when it has none."""
    if record.errors:
        return f"error {record.errors[0].code}"
    if is_number(record.value):
        return f"{record.value:.3f}"
    missing = record.value is None or (isinstance(record.value, float) and math.isnan(record.value))
    return "-" if missing else str(record.value)  # judges may give a text


def per_record_table(results: list, record_ids: list) -> pd.DataFrame:
    """One row per metric, one column per record (numbered from 1)."""
    numbers = {record_id: number for number, record_id in enumerate(record_ids, start=1)}
    rows: dict[str, dict] = {}
    for aggregate in results:
        records = getattr(aggregate, "record_level_metrics", None) or []
        for record in records:
            label = f"{record.name} ({record.method or ''})"
            rows.setdefault(label, {})[numbers.get(record.record_id, record.record_id)] = cell(record)
        errors = getattr(aggregate, "errors", None)
        if not records and errors:  # no record results at all: the metric's own error in every cell
            label = f"{aggregate.name} ({aggregate.method or ''})"
            rows[label] = {number: f"error {errors[0].code}" for number in numbers.values()}
    table = pd.DataFrame.from_dict(rows, orient="index", columns=list(numbers.values()))
    table.index.name, table.columns.name = "metric", "record"
    return table.fillna("-")


def token_counts_table(results: list, record_ids: list) -> pd.DataFrame:
    """Tokens of the judge's prompt and answer per record, for the metrics that count them."""
    numbers = {record_id: number for number, record_id in enumerate(record_ids, start=1)}
    rows = {}
    for aggregate in results:
        for record in getattr(aggregate, "record_level_metrics", None) or []:
            info = record.additional_info or {}
            if info.get("input_tokens") is None and info.get("output_tokens") is None:
                continue
            label = f"{record.name} ({record.method or ''})"
            counts = f"{info.get('input_tokens') or 0} / {info.get('output_tokens') or 0}"
            rows.setdefault(label, {})[numbers.get(record.record_id, record.record_id)] = counts
    table = pd.DataFrame.from_dict(rows, orient="index", columns=list(numbers.values()))
    table.index.name, table.columns.name = "metric", "record"
    return table.fillna("-")


def left_aligned(table: pd.DataFrame, columns: list[str]) -> pd.DataFrame:
    table = table.copy()
    for column in columns:
        width = max([len(column), *table[column].map(len)])
        table[column] = table[column].map(lambda text: text.ljust(width))
    return table


def show(text: str) -> None:
    print("\n".join(line.rstrip() for line in text.splitlines()))


def main(argv: list[str] | None = None) -> None:
    arguments = parse_arguments(argv)
    configuration = AgenticAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["context"],
        reference_fields=["ground_truth"],
        tool_calls_field="tool_calls",
        tools=[get_weather, book_table],
    )
    metrics = metrics_to_evaluate()
    with contextlib.ExitStack() as stack:
        service = None if arguments.detection_url else stack.enter_context(run_in_thread(tokens=SERVICE_TOKEN))
        stack.enter_context(local_responder(politeness_responder))
        url = arguments.detection_url or service.url
        client = APIClient(credentials=Credentials(url=url, version="5.0", api_key=arguments.token))
        table = SAMPLE.copy()
        result = evaluate(arguments, configuration, table, metrics, client)
        if service is not None:
            print(f"Detection service on {url}: {service_summary(service)}\n")
        else:
            print(f"Detection service on {url} (not started by this demo)\n")
    # Several metrics share a name (faithfulness by detector, by token recall, by judge).
    labels = [f"{r.name} ({r.method})" for r in result.metrics_result]

    print("Aggregates")
    aggregates = left_aligned(aggregates_table(labels, result.metrics_result), ["first error", "message"])
    show(aggregates.to_string(index=False, na_rep="-"))
    print()
    print("Per record")
    show(per_record_table(result.metrics_result, list(table["record_id"])).to_string())
    print()
    tokens = token_counts_table(result.metrics_result, list(table["record_id"]))
    if not tokens.empty:
        print("Tokens of the judge's prompt / answer (cl100k_base)")
        show(tokens.to_string())
        print()
    for number, question in enumerate(table["question"], start=1):
        print(f"record {number}: {question}")


if __name__ == "__main__":
    main()
