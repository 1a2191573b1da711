"""Benchmark: the criteria-judge provider's own work, native against the plain-Python baseline.

    .venv/bin/python bench/bench_verdra_provider.py [--rows 100000] [--repeat 5]
        [--judge canned|standin] [--encoder bytes|pieces] [--profile]

``VerdraProvider.evaluate`` in custom-prompt mode over one table of --rows records
(question, answer, context, an integer turn, record identifiers and timestamps), token
counting on, for ``tessaly.providers.verdra_provider`` (native) and
``bench/baseline_verdra_provider.py`` (plain Python), side by side in one run, best of
--repeat with the two sides interleaved.

The judge answers at once. ``DirectJudge`` is replaced in both modules by the same class:
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

``tiktoken``'s "cl100k_base" encoding needs a download, so ``tiktoken`` is replaced in both
modules by the same small deterministic encoder: --encoder bytes (the default, one token per
four bytes, nearly free, so that the figures show the provider's work) or --encoder pieces
(a regular expression splits words and punctuation, one text per token: the kind of work a
real tokenizer does, which then dominates both sides alike). The runs are made (a) with the
SDK's result classes (pydantic models, whose construction is not the provider's work) and
(b) with ``RecordMetricResult`` and ``AggregateMetricResult`` replaced in both modules by
the same trivial plain classes, each with token counting on and off.

The target is native at least 2x faster than the baseline for the provider's own work.
Before any timing both sides are checked to hand the judge the same prompts and valid
outputs and to return equal results (same classes, keywords in the same order, values
with their types).
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
from _common import PlainResult, profile, same, swapped_globals  # noqa: E402
from tessaly.entities.criteria import Option  # noqa: E402
from tessaly.entities.enums import MetricGroup  # noqa: E402
from tessaly.entities.foundation_model import OpenAIFoundationModel  # noqa: E402
from tessaly.entities.llm_judge import LLMJudge  # noqa: E402
from tessaly.entities.metric_threshold import MetricThreshold  # noqa: E402
from tessaly.providers import verdra_provider as native  # noqa: E402

SIDES = (("native", native), ("baseline", baseline))
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
    """Sets the judge and the encoder in both modules, and the plain result classes if asked."""
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
                same(seen["native"], seen["baseline"], f"judge input ({what})")
                same(outs["native"], outs["baseline"], f"result ({what})")
                records = outs["native"].record_level_metrics if not plain else outs["native"].records
                assert len(records) == len(table)
                if not plain:
                    assert outs["native"] == outs["baseline"]
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
    print(f"equivalence: same prompts, valid outputs and results ({len(table)} rows; tokens on and off; "
          f"SDK and plain result classes)")


# ---- timing ------------------------------------------------------------------------------------


def run_once(provider, table):
    """(prompts, judge, post-processing) seconds of one evaluate call."""
    gc.collect()
    t0 = time.perf_counter()
    out = provider.evaluate(table)
    t3 = time.perf_counter()
    del out
    return CLOCK["enter"] - t0, CLOCK["leave"] - CLOCK["enter"], t3 - CLOCK["leave"]


def measure(table, judge_class, repeat, plain, tokens):
    """{(phase, side): best seconds}; "own" is the best per-run sum of prompts and post-processing."""
    providers = {label: make_provider(m, tokens) for label, m in SIDES}
    best = {}
    with patched(judge_class, plain):
        for _ in range(repeat):
            for label, p in providers.items():
                prompts, judge, post = run_once(p, table)
                for phase, t in (("prompts", prompts), ("post", post), ("own", prompts + post), ("judge", judge)):
                    best[(phase, label)] = min(best.get((phase, label), t), t)
    return best


# ---- profiles -----------------------------------------------------------------------------------


# ---- main ---------------------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--judge", choices=("canned", "standin"), default="canned")
    parser.add_argument("--encoder", choices=tuple(ENCODINGS), default="bytes",
                        help="the token encoder put in place of tiktoken's (see the classes above)")
    parser.add_argument("--profile", action="store_true", help="cProfile both sides afterwards")
    args = parser.parse_args(argv)

    print(f"bench_verdra_provider: Python {sys.version.split()[0]}, pandas {pd.__version__}, {os.cpu_count()} CPUs; "
          f"{args.rows:,} rows, custom-prompt mode, {args.judge} judge, {args.encoder} encoder, best of {args.repeat}")
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
        header = (f"{'phase':<22}{'native':>11}{'baseline':>11}{'native µs/row':>15}{'base µs/row':>13}"
                  f"{'speed-up':>10}  target")
        for plain, tokens in ((False, True), (True, True), (False, False), (True, False)):
            best = measure(table, judge_class, args.repeat, plain, tokens)
            classes = "trivial plain result classes" if plain else "SDK result classes (pydantic)"
            print(f"\n== {classes}, token counting {'on' if tokens else 'off'} ==")
            print(header)
            print("-" * len(header))
            for phase, label in (("prompts", "prompts"), ("post", "post-processing"), ("own", "provider's own work")):
                n, b = best[(phase, "native")], best[(phase, "baseline")]
                verdict = ""
                if phase == "own":
                    ok = b / n >= TARGET
                    failed |= not plain and tokens and not ok
                    verdict = f">= {TARGET:.0f}x {'ok' if ok else 'MISSED'}"
                print(f"{label:<22}{n * 1e3:9.1f}ms{b * 1e3:9.1f}ms{n / args.rows * 1e6:15.2f}"
                      f"{b / args.rows * 1e6:13.2f}{b / n:9.2f}x  {verdict}")
            print(f"{'(judge, not counted)':<22}{best[('judge', 'native')] * 1e3:9.1f}ms"
                  f"{best[('judge', 'baseline')] * 1e3:9.1f}ms")

        if args.profile:
            with patched(judge_class):
                for label, m in SIDES:
                    p = make_provider(m)
                    profile(f"{label} evaluate (SDK classes, tokens on)", lambda: p.evaluate(table))
    finally:
        if responder is not None:
            responder.__exit__(None, None, None)

    print(f"\ntotal bench time {time.perf_counter() - started:.0f}s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
