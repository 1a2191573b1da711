"""Benchmark: the criteria-judge provider's own work, native against two plain-Python baselines.

    .venv/bin/python bench/bench_verdra_provider.py [--rows 100000] [--repeat 5]
        [--judge canned|standin] [--encoder bytes|pieces] [--profile]

``VerdraProvider.evaluate`` in custom-prompt mode over one table of --rows records
(question, answer, context, an integer turn, record identifiers and timestamps), token
counting on, for ``tessaly.providers.verdra_provider`` (native),
``bench/baseline_verdra_provider.py`` (the literal plain-Python baseline: prompts through
``apply(axis=1)``) and ``bench/fast_baseline_verdra_provider.py`` (the fast one: the
template's fields numbered once and filled from whole columns zipped, comprehensions),
side by side in one run, --repeat rounds with the sides interleaved.

The judge answers at once. ``DirectJudge`` is replaced in every module by the same class:
with --judge canned (the default) a trivial judge whose ``evaluate_with_custom_prompt``
hands back a list of results built before the clock starts; with --judge standin the
criteria-judge stand-in's own ``DirectJudge``, answered by a local responder of the judge
library's stand-in (``tabulo.inference.local_responder``), so the library's prompt
rendering and answer parsing are inside the figures too. Either judge notes when it is
entered and left, which splits each run into

- prompts: from the call of ``evaluate`` to the judge (building the judge and its engine,
  one prompt per row from the template, the valid outputs);
- post-processing: from the judge's return to the result (score map, token counts,
  records, ``AggregateMetricResult.create``);

and the provider's own work is their sum (the judge's own time left out).

``tiktoken``'s "cl100k_base" encoding needs a download, so ``tiktoken`` is replaced in every
module by the same small deterministic encoder: --encoder bytes (the default, one token per
four bytes, nearly free, so that the figures show the provider's work) or --encoder pieces
(a regular expression splits words and punctuation, one text per token: the kind of work a
real tokenizer does, which then dominates every side alike). The runs are made (a) with
the SDK's result classes (pydantic models, whose construction is not the provider's work)
and (b) with ``RecordMetricResult`` and ``AggregateMetricResult`` replaced in every module
by the same trivial plain classes, each with token counting on and off.

Each side's min, median and max are printed, and the speed-ups over each baseline
(baseline time / native time of the same round) with their min, median and max; "gain"
only where native is faster than the baseline in every round. The target is native at
least 2x faster for the provider's own work (median); the exit status is 1 when it is
missed against the fast baseline with the SDK classes and token counting on. Before any
timing every baseline is checked against native to hand the judge the same prompts and
valid outputs and to return equal results (same classes, keywords in the same order,
values with their types).
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import re
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pandas as pd  # noqa: E402
import verdra.judges  # noqa: E402
from tabulo.inference import local_responder  # noqa: E402

import baseline_verdra_provider as baseline  # noqa: E402
import fast_baseline_verdra_provider as fast  # noqa: E402
from _common import PlainResult, by_step, interleaved, profile, report, run_count, same, swapped_globals  # noqa: E402
from tessaly.entities.criteria import Option  # noqa: E402
from tessaly.entities.enums import MetricGroup  # noqa: E402
from tessaly.entities.foundation_model import OpenAIFoundationModel  # noqa: E402
from tessaly.entities.llm_judge import LLMJudge  # noqa: E402
from tessaly.entities.metric_threshold import MetricThreshold  # noqa: E402
from tessaly.providers import verdra_provider as native  # noqa: E402

SIDES = (("native", native), ("literal", baseline), ("fast", fast))
TARGET = 2.0

# ---- workload ---------------------------------------------------------------------------------

WORDS = (
    "the answer cites a policy document about refunds within thirty days for any order "
    "placed online café naïve résumé shipping warranty claim customer support ticket"
).split()

TEMPLATE = (
    "You are grading turn {turn} of a support conversation.\n"
    "Question: {question}\n"
    "Context: {context}\n"
    "Answer: {answer}\n"
    "Is every statement of the answer supported by the context?"
)

OPTIONS = [
    Option(name="yes", description="Every statement is supported.", value=1.0),
    Option(name="partly", description="Some statements are supported.", value=0.5),
    Option(name="no", description="No statement is supported.", value=0.0),
]
THRESHOLDS = [MetricThreshold(type="lower_limit", value=0.7)]


def make_table(rows: int) -> pd.DataFrame:
    rng = random.Random(7)

    def sentence(n):
        return " ".join(rng.choice(WORDS) for _ in range(n))

    return pd.DataFrame(
        {
            "question": [sentence(12) + "?" for _ in range(rows)],
            "answer": [sentence(20) + "." for _ in range(rows)],
            "context": [sentence(40) + "." for _ in range(rows)],
            "turn": [1 + i % 7 for i in range(rows)],
            "record_id": [f"rec-{i:07d}" for i in range(rows)],
            "record_timestamp": [f"2025-03-{1 + i % 28:02d}T{i % 24:02d}:{i % 60:02d}:00+00:00" for i in range(rows)],
        }
    )


def make_provider(module, compute_token_count=True):
    judge = LLMJudge(model=OpenAIFoundationModel(model_id="judge-model"))
    return module.VerdraProvider(
        "grounded_answer",
        "Grounded answer",
        "numeric",
        judge,
        OPTIONS,
        prompt_template=TEMPLATE,
        metric_group=MetricGroup.ANSWER_QUALITY,
        metric_method="llm_as_judge",
        thresholds=THRESHOLDS,
        compute_token_count=compute_token_count,
    )


def answer_for(i: int) -> tuple[str, str, str]:
    """(selected option, explanation, feedback) of row i: mostly options, some not, some without feedback."""
    selected = ("yes", "partly", "no", "yes", "maybe")[i % 5] if i % 50 != 49 else "Yes!"
    feedback = "" if i % 20 == 3 else f"Cite the context for claim {i % 9}."
    return selected, f"The answer's claims were checked one by one ({i % 11} found).", feedback


def reply_text(selected: str, explanation: str, feedback: str) -> str:
    return f"Explanation: {explanation}\nFeedback: {feedback}\nAnswer: {selected}"


def canned_results(table: pd.DataFrame) -> list:
    """The judge's results for the table, built beforehand (an empty prompt now and then)."""
    prompts = table.apply(lambda row: TEMPLATE.format(**row), axis=1).to_list()
    names = [o.name for o in OPTIONS]
    results = []
    for i, prompt in enumerate(prompts):
        selected, explanation, feedback = answer_for(i)
        sent = "" if i % 1000 == 11 else verdra.judges.render_custom_prompt(prompt, names, True)
        results.append(
            verdra.judges.DirectInstanceResult(
                selected_option=selected,
                explanation=explanation,
                feedback=feedback,
                score=None,
                metadata={"prompt": sent, "unparsed_response": reply_text(selected, explanation, feedback)},
            )
        )
    return results


# ---- the judge, the encoder and the result classes -------------------------------------------

CLOCK: dict[str, float] = {}  # "enter" / "leave": when the judge was last entered and left


class CannedJudge:
    """Answers at once: hands back the results built beforehand."""

    results: list = []
    seen: tuple | None = None  # (prompts, valid outputs) of the last call, while checking

    def __init__(self, inference_engine, generate_feedback=False):
        self.inference_engine = inference_engine
        self.generate_feedback = generate_feedback

    def evaluate_with_custom_prompt(self, judge_prompts, valid_outputs=None):
        CLOCK["enter"] = time.perf_counter()
        if CannedJudge.seen is not None:
            CannedJudge.seen = (judge_prompts, valid_outputs)
        if len(judge_prompts) != len(self.results):
            raise ValueError("canned results do not match the prompts")
        out = self.results
        CLOCK["leave"] = time.perf_counter()
        return out


class StandinJudge(verdra.judges.DirectJudge):
    """The criteria-judge stand-in's judge, timed."""

    seen: tuple | None = None

    def evaluate_with_custom_prompt(self, judge_prompts, valid_outputs=None):
        CLOCK["enter"] = time.perf_counter()
        if StandinJudge.seen is not None:
            StandinJudge.seen = (judge_prompts, valid_outputs)
        out = super().evaluate_with_custom_prompt(judge_prompts=judge_prompts, valid_outputs=valid_outputs)
        CLOCK["leave"] = time.perf_counter()
        return out


def standin_responder(prompt, engine):
    """A reply in the judge's tagged form, chosen from the prompt alone."""
    n = len(prompt)
    return reply_text(*answer_for(n))


class ByteLengthEncoding:
    """A small deterministic stand-in for a tiktoken encoding, nearly free: one token per four
    bytes of UTF-8 (the usual rule of thumb for English text), the last one partial."""

    name = "cl100k_base"

    def encode(self, text):
        return range((len(text.encode()) + 3) // 4)


class WordPieceEncoding:
    """A small deterministic stand-in for a tiktoken encoding that does a tokenizer's kind of work:
    words, digit runs and punctuation split by one regular expression, one text per token."""

    name = "cl100k_base"
    _pieces = re.compile(r" ?[^\W\d_]+| ?\d{1,3}| ?[^\w\s]+|\s+")

    def encode(self, text):
        return self._pieces.findall(text)


ENCODINGS = {"bytes": ByteLengthEncoding, "pieces": WordPieceEncoding}
FAKE_TIKTOKEN = types.SimpleNamespace(get_encoding=lambda name: ByteLengthEncoding())


def use_encoding(kind: str) -> None:
    FAKE_TIKTOKEN.get_encoding = lambda name: ENCODINGS[kind]()


class PlainRecord(PlainResult):
    pass


class PlainAggregate(PlainResult):
    @classmethod
    def create(cls, records):
        return cls(records=records)


PLAIN = {"RecordMetricResult": PlainRecord, "AggregateMetricResult": PlainAggregate}


def patched(judge_class, plain=False):
    """Sets the judge and the encoder in every module, and the plain result classes if asked."""
    replacements = {"DirectJudge": judge_class, "tiktoken": FAKE_TIKTOKEN}
    if plain:
        replacements.update(PLAIN)
    return swapped_globals([m for _, m in SIDES], replacements)


# ---- equivalence ------------------------------------------------------------------------------


def check_equivalence(table, judge_class) -> None:
    for tokens in (True, False):
        for plain in (False, True):
            with patched(judge_class, plain):
                outs, seen = {}, {}
                for label, m in SIDES:
                    judge_class.seen = ()
                    outs[label] = make_provider(m, tokens).evaluate(table)
                    seen[label] = judge_class.seen
                    judge_class.seen = None
                what = f"tokens {'on' if tokens else 'off'}, {'plain' if plain else 'SDK'} classes"
                for label in ("literal", "fast"):
                    same(seen["native"], seen[label], f"judge input ({label}, {what})")
                    same(outs["native"], outs[label], f"result ({label}, {what})")
                records = outs["native"].record_level_metrics if not plain else outs["native"].records
                assert len(records) == len(table)
                if not plain:
                    assert outs["native"] == outs["literal"] == outs["fast"]
                if not plain and judge_class is CannedJudge:  # the canned answers cover these cases
                    values = {r.value for r in records}
                    assert values == {1.0, 0.5, 0.0, None}, values
                    info = [r.additional_info for r in records]
                    assert any(i["feedback"] is None for i in info)
                    if tokens:
                        assert all(i["output_tokens"] for i in info)
                        assert any(i["input_tokens"] is None for i in info) and any(i["input_tokens"] for i in info)
                    else:
                        assert all(i["input_tokens"] is None and i["output_tokens"] is None for i in info)
    prompts = seen["native"][0]
    assert len(prompts) == len(table) and all(type(p) is str for p in prompts)
    print(f"equivalence: same prompts, valid outputs and results, native = literal = fast ({len(table)} rows; "
          f"tokens on and off; SDK and plain result classes)")


# ---- timing ------------------------------------------------------------------------------------


def run_once(provider, table):
    """{phase: seconds} of one evaluate call: prompts, judge, post-processing, and "own", the
    sum of prompts and post-processing."""
    gc.collect()
    t0 = time.perf_counter()
    out = provider.evaluate(table)
    t3 = time.perf_counter()
    del out
    prompts, post = CLOCK["enter"] - t0, t3 - CLOCK["leave"]
    return {"prompts": prompts, "judge": CLOCK["leave"] - CLOCK["enter"], "post": post, "own": prompts + post}


def measure(table, judge_class, repeat, plain, tokens):
    """{phase: {side: [seconds per round]}}, the sides interleaved."""
    providers = {label: make_provider(m, tokens) for label, m in SIDES}
    with patched(judge_class, plain):
        return by_step(interleaved({label: (lambda p=p: run_once(p, table)) for label, p in providers.items()}, repeat))


# ---- profiles -----------------------------------------------------------------------------------


# ---- main ---------------------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=run_count, default=5, help="timed runs per side (at least 3)")
    parser.add_argument("--judge", choices=("canned", "standin"), default="canned")
    parser.add_argument("--encoder", choices=tuple(ENCODINGS), default="bytes",
                        help="the token encoder put in place of tiktoken's (see the classes above)")
    parser.add_argument("--profile", action="store_true", help="cProfile every side afterwards")
    args = parser.parse_args(argv)

    print(f"bench_verdra_provider: Python {sys.version.split()[0]}, pandas {pd.__version__}, {os.cpu_count()} CPUs; "
          f"{args.rows:,} rows, custom-prompt mode, {args.judge} judge, {args.encoder} encoder, {args.repeat} runs; "
          f"load average {os.getloadavg()[0]:.2f}")
    use_encoding(args.encoder)
    table = make_table(args.rows)
    started = time.perf_counter()
    if args.judge == "canned":
        judge_class = CannedJudge
        CannedJudge.results = canned_results(table)
        responder = None
    else:
        judge_class = StandinJudge
        responder = local_responder(standin_responder)
        responder.__enter__()
    try:
        check_equivalence(table, judge_class)
        failed = False
        for plain, tokens in ((False, True), (True, True), (False, False), (True, False)):
            phases = measure(table, judge_class, args.repeat, plain, tokens)
            classes = "trivial plain result classes" if plain else "SDK result classes (pydantic)"
            figures = report(
                f"{classes}, token counting {'on' if tokens else 'off'}",
                [("prompts", phases["prompts"]), ("post-processing", phases["post"]),
                 ("provider's own work", phases["own"])],
                per=args.rows,
                targets={"provider's own work": TARGET},
            )
            failed |= not plain and tokens and figures["provider's own work"]["fast"][1] < TARGET
            judge = "   ".join(
                f"{label} {sorted(t)[len(t) // 2] * 1e3:.1f}" for label, t in phases["judge"].items()
            )
            print(f"  (the judge itself, not counted, ms median: {judge})")

        if args.profile:
            with patched(judge_class):
                for label, m in SIDES:
                    p = make_provider(m)
                    profile(f"{label} evaluate (SDK classes, tokens on)", lambda: p.evaluate(table))
    finally:
        if responder is not None:
            responder.__exit__(None, None, None)

    print(f"\ntotal bench time {time.perf_counter() - started:.0f}s; load average {os.getloadavg()[0]:.2f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
