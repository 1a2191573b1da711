"""Benchmark: the judge-library provider's own work, native against two plain-Python baselines.

    .venv/bin/python bench/bench_tabulo_provider.py [--rows 100000] [--repeat 5]
        [--context-form json|python] [--profile]

Over one table of --rows records (question, answer, one context column holding a list
written as text, one reference column, record identifiers; default RangeIndex), side by
side in one run, --repeat rounds with the sides interleaved:

- preparation: ``_TabuloProvider__pre_process_data(data=table)``;
- post-processing: ``_TabuloProvider__post_process(result=scores)``, ``scores`` being a
  score table as the library run leaves it (the metric column, floats with some below
  zero so that the flooring of faithfulness / sentence_bert_mini_lm is exercised, and
  "record_id" from the prepared table).

of ``tessaly.providers.tabulo_provider`` (native), ``bench/baseline_tabulo_provider.py``
(the literal plain-Python baseline: ``astype(str)`` of the whole table, ``iterrows()``)
and ``bench/fast_baseline_tabulo_provider.py`` (the fast one: the columns it uses, read
whole with ``to_list()``, list comprehensions). Twice: (a) with the SDK's result classes
(pydantic models, whose construction is not the provider's work) and (b) with
``RecordMetricResult`` and ``AggregateMetricResult`` replaced in all modules by the same
trivial plain classes.

Each side's min, median and max are printed, and the speed-ups over each baseline
(baseline time / native time of the same round) with their min, median and max; "gain"
only where native is faster than the baseline in every round. The target is native at
least 3x faster for preparation and post-processing together (median); the exit status
is 1 when it is missed against the fast baseline with the SDK classes. Before any timing
every baseline is checked against native to produce equal instance tables (same columns,
dtypes, index and cell values with their types) and equal results (same classes,
keywords in the same order, values with their types).

--context-form picks how the context column spells its lists: "json" (``["a", "b"]``,
read by ``json.loads``) or "python" (``['a', 'b']``, which the SDK's
``transform_str_to_list`` only reads after ``json.loads`` has failed, through
``ast.literal_eval``: about five times as slow, in every implementation alike).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pandas as pd  # noqa: E402

import baseline_tabulo_provider as baseline  # noqa: E402
import fast_baseline_tabulo_provider as fast  # noqa: E402
from _common import (  # noqa: E402
    PlainResult,
    by_step,
    fmt_spread,
    interleaved,
    profile,
    report,
    run_count,
    same,
    swapped_globals,
    timed,
)
from tessaly.config import GenAIConfiguration  # noqa: E402
from tessaly.entities.enums import MetricGroup  # noqa: E402
from tessaly.entities.metric_threshold import MetricThreshold  # noqa: E402
from tessaly.providers import tabulo_provider as native  # noqa: E402
from tessaly.utils.python_utils import transform_str_to_list  # noqa: E402

SIDES = (("native", native), ("literal", baseline), ("fast", fast))
METRIC = ("faithfulness", "Faithfulness", "sentence_bert_mini_lm", "metrics.rag")  # floored
TARGET = 3.0

# ---- workload ---------------------------------------------------------------------------------

WORDS = (
    "the answer cites a policy document about refunds within thirty days for any order "
    "placed online café naïve résumé shipping warranty claim customer support ticket"
).split()


def make_table(rows: int, context_form: str) -> pd.DataFrame:
    rng = random.Random(7)

    def sentence(n):
        return " ".join(rng.choice(WORDS) for _ in range(n))

    spell = json.dumps if context_form == "json" else str
    return pd.DataFrame(
        {
            "question": [sentence(12) + "?" for _ in range(rows)],
            "answer": [sentence(20) + "." for _ in range(rows)],
            "contexts": [spell([sentence(25), sentence(25), sentence(15)]) for _ in range(rows)],
            "reference": [sentence(16) + "." for _ in range(rows)],
            "record_id": [f"rec-{i:07d}" for i in range(rows)],
        }
    )


def make_configuration() -> GenAIConfiguration:
    return GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        reference_fields=["reference"],
        record_id_field="record_id",
    )


THRESHOLDS = [MetricThreshold(type="lower_limit", value=0.7)]


def make_provider(module, configuration):
    name, display_name, method, prefix = METRIC
    return module.TabuloProvider(
        configuration, name, display_name, method, prefix, metric_group=MetricGroup.RETRIEVAL_QUALITY,
        thresholds=THRESHOLDS,
    )


def score_table(instances: pd.DataFrame, seed=5) -> pd.DataFrame:
    """The library run's output form: the metric column, then "record_id"."""
    rng = random.Random(seed)
    scores = [rng.uniform(-0.15, 1.0) for _ in range(len(instances))]
    table = pd.DataFrame()
    table[METRIC[0]] = scores
    table["record_id"] = instances["record_id"].to_list()
    return table


# ---- trivial result classes -----------------------------------------------------------------


class PlainRecord(PlainResult):
    pass


class PlainAggregate(PlainResult):
    pass


PLAIN = {"RecordMetricResult": PlainRecord, "AggregateMetricResult": PlainAggregate}


def swapped_classes(active=True):
    """Replaces the result classes in every module for the duration of a block (or not)."""
    return swapped_globals([m for _, m in SIDES], PLAIN if active else {})


# ---- equivalence ------------------------------------------------------------------------------


def same_table(a: pd.DataFrame, b: pd.DataFrame, path: str) -> None:
    if a.columns.to_list() != b.columns.to_list():
        raise AssertionError(f"{path}: columns {a.columns.to_list()} != {b.columns.to_list()}")
    if a.dtypes.to_list() != b.dtypes.to_list():
        raise AssertionError(f"{path}: dtypes {a.dtypes.to_list()} != {b.dtypes.to_list()}")
    if not a.index.equals(b.index) or type(a.index) is not type(b.index):
        raise AssertionError(f"{path}: index {a.index!r} != {b.index!r}")
    pd.testing.assert_frame_equal(a, b, check_exact=True)
    same(a.to_dict("list"), b.to_dict("list"), path)  # cell by cell, types included


def check_equivalence(table, configuration) -> None:
    providers = {label: make_provider(m, configuration) for label, m in SIDES}
    prepared = {label: p._TabuloProvider__pre_process_data(data=table) for label, p in providers.items()}
    for label in ("literal", "fast"):
        same_table(prepared["native"], prepared[label], f"instance table ({label})")
    contexts = prepared["native"]["contexts"]
    assert type(contexts.iloc[0]) is list and len(contexts.iloc[0]) == 3, "contexts not read as lists"
    scores = score_table(prepared["native"])
    assert (scores[METRIC[0]] <= 0).any(), "no score to floor"
    for variant in (False, True):
        with swapped_classes(variant):
            out = {label: p._TabuloProvider__post_process(result=scores) for label, p in providers.items()}
            for label in ("literal", "fast"):
                same(out["native"], out[label], f"post-process ({label}, {'plain' if variant else 'SDK'} classes)")
                if not variant:
                    assert out["native"] == out[label]
                assert out["native"].total_records == len(table) and out["native"].min == 0.0
    print(f"equivalence: equal instance tables and equal results, native = literal = fast "
          f"({len(table)} rows; SDK and plain result classes)")


# ---- timing ------------------------------------------------------------------------------------


def measure(table, configuration, repeat, plain):
    """{step: {side: [seconds per round]}}, the sides interleaved; "both" is each round's sum."""
    providers = {label: make_provider(m, configuration) for label, m in SIDES}
    scores = score_table(providers["native"]._TabuloProvider__pre_process_data(data=table))

    def one_round(p):
        pre = timed(lambda: p._TabuloProvider__pre_process_data(data=table))
        post = timed(lambda: p._TabuloProvider__post_process(result=scores))
        return {"pre": pre, "post": post, "both": pre + post}

    with swapped_classes(plain):
        return by_step(interleaved({label: (lambda p=p: one_round(p)) for label, p in providers.items()}, repeat))


def measure_outside(table, configuration, repeat):
    """The outside share of preparation: the list reader over the context and reference columns."""
    converted = table.astype(str)
    names = configuration.context_fields + configuration.reference_fields

    def read():
        return [converted[name].apply(transform_str_to_list) for name in names]

    return [timed(read) for _ in range(repeat)]


def measure_pydantic(table, repeat):
    """The outside share of post-processing: building the SDK's records and aggregate alone."""
    from tessaly.entities.enums import EvaluationProvider
    from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

    name, display_name, method, _ = METRIC
    ids = table["record_id"].to_list()
    provider = EvaluationProvider.TABULO.value

    def build():
        records = [
            RecordMetricResult(name=name, display_name=display_name, method=method,
                               group=MetricGroup.RETRIEVAL_QUALITY, provider=provider, value=0.5,
                               record_id=i, thresholds=THRESHOLDS)
            for i in ids
        ]
        return AggregateMetricResult(name=name, display_name=display_name, method=method,
                                     group=MetricGroup.RETRIEVAL_QUALITY, provider=provider, value=0.5,
                                     total_records=len(records), record_level_metrics=records, min=0.5, max=0.5,
                                     mean=0.5, thresholds=THRESHOLDS)

    return [timed(build) for _ in range(repeat)]


# ---- profiles -----------------------------------------------------------------------------------


# ---- main ---------------------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=run_count, default=5, help="timed runs per side (at least 3)")
    parser.add_argument("--context-form", choices=("json", "python"), default="json")
    parser.add_argument("--profile", action="store_true", help="cProfile every side afterwards")
    args = parser.parse_args(argv)

    print(f"bench_tabulo_provider: Python {sys.version.split()[0]}, pandas {pd.__version__}, {os.cpu_count()} CPUs; "
          f"{args.rows:,} rows, contexts as {args.context_form} text, {args.repeat} runs; "
          f"load average {os.getloadavg()[0]:.2f}")
    table = make_table(args.rows, args.context_form)
    configuration = make_configuration()
    started = time.perf_counter()
    check_equivalence(table, configuration)

    failed = False
    for plain in (False, True):
        steps = measure(table, configuration, args.repeat, plain)
        title = "trivial plain result classes" if plain else "SDK result classes (pydantic)"
        figures = report(
            title,
            [("preparation", steps["pre"]), ("post-processing", steps["post"]),
             ("preparation + post", steps["both"])],
            per=args.rows,
            targets={"preparation + post": TARGET},
        )
        failed |= not plain and figures["preparation + post"]["fast"][1] < TARGET

    outside = measure_outside(table, configuration, args.repeat)
    pyd = measure_pydantic(table, args.repeat)
    print("\n== outside work inside those figures (the same calls on every side), ms min / median / max ==")
    print(f"transform_str_to_list over contexts + reference: {fmt_spread(outside, 1e3, 9, 1)} "
          f"({sorted(outside)[len(outside) // 2] / args.rows * 1e6:.2f} µs/row median)")
    print(f"SDK records + aggregate built alone (pydantic):  {fmt_spread(pyd, 1e3, 9, 1)} "
          f"({sorted(pyd)[len(pyd) // 2] / args.rows * 1e6:.2f} µs/row median)")

    if args.profile:
        providers = {label: make_provider(m, configuration) for label, m in SIDES}
        scores = score_table(providers["native"]._TabuloProvider__pre_process_data(data=table))
        for label, p in providers.items():
            profile(f"{label} preparation", lambda: p._TabuloProvider__pre_process_data(data=table))
            profile(f"{label} post-processing (SDK classes)", lambda: p._TabuloProvider__post_process(result=scores))

    print(f"\ntotal bench time {time.perf_counter() - started:.0f}s; load average {os.getloadavg()[0]:.2f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
