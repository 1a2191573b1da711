"""The library's catalogue entries for retrieval-augmented generation.

Similarity metrics: ``metrics.rag.external_rag.<metric>.<method>`` for the metrics

| metric | compares (reference -> candidate) |
|---|---|
| faithfulness | answer -> contexts (joined) |
| context_relevance | question -> contexts (joined) |
| answer_correctness | each of ground_truths -> answer (best one kept) |
| answer_relevance | question -> answer |

and the methods (see ``tabulo.metrics``)

| method | scorer | range |
|---|---|---|
| sentence_bert_mini_lm | offset cosine of word counts | [-1/9, 1] |
| sentence_bert_bge | offset cosine of character-trigram counts | [-1/3, 1] |
| bert_score_recall | soft token recall (character-bigram matches) | [0, 1] |
| token_recall | share of the reference's distinct tokens in the candidate | [0, 1] |

Judge tasks ``tasks.rag_eval.<metric>.binary`` and templates
``templates.rag_eval.<metric>.<stem>_verbal`` / ``..._numeric``.
"""

from __future__ import annotations

from typing import Any

from tabulo.metrics import SIMILARITY_METHODS, TextSimilarityMetric
from tabulo.templates import Task, Template

METRICS_PREFIX = "metrics.rag.external_rag"

# metric -> (reference field, candidate field, best of several references)
SIMILARITY_FIELDS = {
    "faithfulness": ("answer", "contexts", False),
    "context_relevance": ("question", "contexts", False),
    "answer_correctness": ("ground_truths", "answer", True),
    "answer_relevance": ("question", "answer", False),
}

# metric -> (task fields, the field judged)
TASKS = {
    "faithfulness": (["question", "contexts", "answer"], "answer"),
    "context_relevance": (["question", "contexts"], "contexts"),
    "answer_correctness": (["question", "ground_truths", "answer"], "answer"),
    "answer_relevance": (["question", "answer"], "answer"),
}

_VERBAL = "Reply with Yes or No."
_NUMERIC = "Reply with a single number from 0 (not at all) to 10 (completely)."

# metric -> (template stem, prompt body)
TEMPLATES = {
    "faithfulness": (
        "judge_with_question_simplified",
        "Question: {question}\n\nContexts:\n{contexts}\n\nAnswer: {answer}\n\n"
        "Is every claim of the answer supported by the contexts?",
    ),
    "context_relevance": (
        "judge_context_relevance_ares",
        "Question: {question}\n\nContexts:\n{contexts}\n\n"
        "Do the contexts hold the information needed to answer the question?",
    ),
    "answer_correctness": (
        "judge_loose_match_no_context",
        "Question: {question}\n\nReference answers:\n{ground_truths}\n\nAnswer: {answer}\n\n"
        "Does the answer agree with the reference answers?",
    ),
    "answer_relevance": (
        "judge_answer_relevance",
        "Question: {question}\n\nAnswer: {answer}\n\nDoes the answer address the question?",
    ),
}


def builtin_entries() -> dict[str, Any]:
    entries: dict[str, Any] = {}
    for metric, (reference, candidate, best) in SIMILARITY_FIELDS.items():
        for method in SIMILARITY_METHODS:
            entries[f"{METRICS_PREFIX}.{metric}.{method}"] = TextSimilarityMetric(
                metric, method, reference, candidate, best_of_references=best
            )
    for metric, (fields, prediction) in TASKS.items():
        name = f"tasks.rag_eval.{metric}.binary"
        entries[name] = Task(name, fields, prediction)
    for metric, (stem, body) in TEMPLATES.items():
        for realisation, instruction in (("verbal", _VERBAL), ("numeric", _NUMERIC)):
            name = f"templates.rag_eval.{metric}.{stem}_{realisation}"
            entries[name] = Template(name, f"{body} {instruction}", realisation)
    return entries
