"""Instance metrics and the text-similarity scorers behind the RAG metrics.

An instance metric scores each instance of a stream on its own and writes

    instance["score"]["instance"] = {"score": v, "score_name": main_score, main_score: v}
    instance["score"]["global"]   = {"score": m, "score_name": main_score, main_score: m}

where ``m`` is the mean of the stream's scores (NaN scores left out).
"""

from __future__ import annotations

import math
import re
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from typing import Any

_WORD = re.compile(r"\w+", re.UNICODE)


def tokens(text: str) -> list[str]:
    """Lower-cased word tokens of ``text``."""
    return _WORD.findall(text.lower())


def char_ngrams(text: str, n: int = 3) -> list[str]:
    """Character n-grams of each token, with the token's ends marked ("#ab", "abc", "bc#")."""
    grams = []
    for token in tokens(text):
        padded = f"#{token}#"
        if len(padded) <= n:
            grams.append(padded)
        else:
            grams.extend(padded[i : i + n] for i in range(len(padded) - n + 1))
    return grams


def cosine(a: Counter, b: Counter) -> float:
    """Cosine of two count vectors; 0.0 when either is empty."""
    if not a or not b:
        return 0.0
    dot = sum(count * b[key] for key, count in a.items() if key in b)
    norm = math.sqrt(sum(c * c for c in a.values())) * math.sqrt(sum(c * c for c in b.values()))
    return min(1.0, dot / norm)


def offset_cosine(a: Counter, b: Counter, baseline: float) -> float:
    """Cosine moved so that ``baseline`` maps to 0: unrelated texts score below zero
    (down to ``-baseline / (1 - baseline)``), identical ones 1.0; 0.0 when either is empty."""
    if not a or not b:
        return 0.0
    return (cosine(a, b) - baseline) / (1.0 - baseline)


def token_recall(reference: str, candidate: str) -> float:
    """Share of the reference's distinct tokens found in the candidate; 0.0 for an empty reference."""
    wanted = set(tokens(reference))
    if not wanted:
        return 0.0
    return len(wanted & set(tokens(candidate))) / len(wanted)


def _bigram_dice(a: str, b: str) -> float:
    if a == b:
        return 1.0
    ga = Counter(a[i : i + 2] for i in range(len(a) - 1)) or Counter([a])
    gb = Counter(b[i : i + 2] for i in range(len(b) - 1)) or Counter([b])
    overlap = sum((ga & gb).values())
    return 2.0 * overlap / (sum(ga.values()) + sum(gb.values()))


def soft_token_recall(reference: str, candidate: str) -> float:
    """Mean over the reference's tokens of the best match in the candidate (1.0 for the same
    token, else the Dice coefficient of character bigrams); 0.0 for an empty reference or
    candidate.  Always in [0, 1]."""
    ref, cand = tokens(reference), sorted(set(tokens(candidate)))
    if not ref or not cand:
        return 0.0
    return sum(max(_bigram_dice(t, c) for c in cand) for t in ref) / len(ref)


def word_vector_similarity(a: str, b: str) -> float:
    """Offset cosine of word counts; in [-1/9, 1]."""
    return offset_cosine(Counter(tokens(a)), Counter(tokens(b)), baseline=0.1)


def char_vector_similarity(a: str, b: str) -> float:
    """Offset cosine of character-trigram counts; in [-1/3, 1]."""
    return offset_cosine(Counter(char_ngrams(a)), Counter(char_ngrams(b)), baseline=0.25)


# Method name -> scorer(reference, candidate) and its range.
SIMILARITY_METHODS: dict[str, tuple[Callable[[str, str], float], tuple[float, float]]] = {
    "sentence_bert_mini_lm": (word_vector_similarity, (-1.0 / 9.0, 1.0)),
    "sentence_bert_bge": (char_vector_similarity, (-1.0 / 3.0, 1.0)),
    "bert_score_recall": (soft_token_recall, (0.0, 1.0)),
    "token_recall": (token_recall, (0.0, 1.0)),
}


class MissingFieldError(KeyError):
    """An instance lacks a field that a metric or a judge reads."""

    def __str__(self) -> str:  # KeyError would quote the whole message
        return str(self.args[0]) if self.args else ""


def _nan_mean(values: list) -> float:
    """Mean of the numeric scores; NaN, None and other non-numbers are left out."""
    numbers = []
    for v in values:
        if isinstance(v, bool):
            continue
        if isinstance(v, int):
            try:
                numbers.append(float(v))
            except OverflowError:  # beyond the float range
                numbers.append(math.inf if v > 0 else -math.inf)
        elif isinstance(v, float) and not math.isnan(v):
            numbers.append(v)
    # A plain sum: near the float limit it reaches infinity instead of raising as fsum does.
    return sum(numbers) / len(numbers) if numbers else math.nan


def set_scores(instance: dict, main_score: str, value: Any, extra: dict | None = None) -> None:
    instance_scores = {"score": value, "score_name": main_score, main_score: value}
    if extra:
        instance_scores.update(extra)
    score = instance.setdefault("score", {})
    if not isinstance(score, dict):
        raise TypeError(f"the instance's 'score' entry is a {type(score).__name__}, not a dictionary")
    score["instance"] = instance_scores


def set_global_scores(instances: list[dict], main_score: str) -> None:
    mean = _nan_mean([inst["score"]["instance"]["score"] for inst in instances])
    for inst in instances:
        inst["score"]["global"] = {"score": mean, "score_name": main_score, main_score: mean}


class InstanceMetric:
    """A metric that scores each instance alone.  Subclasses implement ``score_instance``."""

    def __init__(self, main_score: str):
        if not isinstance(main_score, str) or not main_score:
            raise TypeError("main_score must be a non-empty str")
        self.main_score = main_score

    def score_instance(self, instance: dict) -> float:
        raise NotImplementedError

    def process_stream(self, instances: Iterable[dict]) -> Iterator[dict]:
        done = []
        for instance in instances:
            if not isinstance(instance, dict):
                raise TypeError(f"instances are dictionaries, got {type(instance).__name__}")
            set_scores(instance, self.main_score, self.score_instance(instance))
            done.append(instance)
        set_global_scores(done, self.main_score)
        yield from done


class FunctionMetric(InstanceMetric):
    """An instance metric computed by ``fn(instance) -> score``."""

    def __init__(self, fn: Callable[[dict], Any], main_score: str = "score"):
        if not callable(fn):
            raise TypeError(f"fn must be callable, got {type(fn).__name__}")
        super().__init__(main_score)
        self.fn = fn

    def score_instance(self, instance: dict) -> Any:
        return self.fn(instance)


def _texts(value: Any, field: str, metric: str) -> list[str]:
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
        return list(value)
    raise TypeError(f"metric '{metric}': the field '{field}' must be a text or a list of texts, got {value!r}")


class TextSimilarityMetric(InstanceMetric):
    """One RAG metric scored by text similarity.

    ``reference`` and ``candidate`` name the instance fields compared; the score is
    ``scorer(reference text, candidate text)``.  A field holding a list of texts is
    joined with spaces, except a list ``reference`` when ``best_of_references`` is set:
    then each text is scored alone and the best score is kept (0.0 for an empty list).
    """

    def __init__(self, metric: str, method: str, reference: str, candidate: str, best_of_references: bool = False):
        if method not in SIMILARITY_METHODS:
            raise ValueError(f"unknown similarity method {method!r}; known: {', '.join(SIMILARITY_METHODS)}")
        super().__init__(main_score=metric)
        self.metric, self.method = metric, method
        self.reference, self.candidate = reference, candidate
        self.best_of_references = best_of_references
        self.scorer = SIMILARITY_METHODS[method][0]

    def _field(self, instance: dict, field: str) -> list[str]:
        if field not in instance:
            raise MissingFieldError(
                f"metric '{self.metric}' ({self.method}) needs the instance field '{field}'; "
                f"the instance has: {', '.join(sorted(map(str, instance)))}"
            )
        return _texts(instance[field], field, self.metric)

    def score_instance(self, instance: dict) -> float:
        references = self._field(instance, self.reference)
        candidate = " ".join(self._field(instance, self.candidate))
        if self.best_of_references:
            return max((self.scorer(r, candidate) for r in references), default=0.0)
        return self.scorer(" ".join(references), candidate)

    def __repr__(self) -> str:
        return f"TextSimilarityMetric(metric={self.metric!r}, method={self.method!r})"
