"""Custom-prompt mode fills the template from each row exactly as

    data.apply(lambda row: template.format(**row), axis=1).to_list()

would: same texts, or the same exception.  The provider reads rows from the
table's values where that gives the same row objects; these cases compare the
two forms over the value kinds where they could part.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessaly.entities.criteria import Option

def reference(data: pd.DataFrame, template: str):
    try:
        return "ok", data.apply(lambda row: template.format(**row), axis=1).to_list()
    except Exception as error:  # the provider must fail the same way
        return "error", (type(error), str(error))


class _Captured(Exception):
    """Stops the evaluation once the judge has been handed its prompts."""


@pytest.fixture
def prompts_of(vp, make_provider, monkeypatch):
    """The judge prompts the provider builds for ``data`` and ``template``, or the
    (type, text) of the error that stopped it before the judge was asked."""
    sent = []

    class Capturing:
        def __init__(self, **kwargs):
            pass

        def evaluate_with_custom_prompt(self, judge_prompts, valid_outputs):
            sent.append(judge_prompts)
            raise _Captured()

    monkeypatch.setattr(vp, "DirectJudge", Capturing)

    def run(data: pd.DataFrame, template: str):
        sent.clear()
        provider = make_provider(criteria_description=None, prompt_template=template,
                                 options=[Option(name="Yes", value=1.0)])
        with pytest.raises(Exception) as caught:
            provider.evaluate(data)
        cause = caught.value.__cause__
        assert str(caught.value) == f"Error while computing metrics: answers_question. Reason: {cause}"
        if isinstance(cause, _Captured):
            [prompts] = sent
            return "ok", prompts
        return "error", (type(cause), str(cause))

    return run


def frame(columns: dict, **extra) -> pd.DataFrame:
    return pd.DataFrame({**columns, **extra})


NUMERIC = frame({"x": [1, 2], "y": [0.5, math.nan]})  # one upcast float row
INTS = frame({"x": [1, 2], "y": [3, 4]})
BOOLS = frame({"b": [True, False]})
MIXED = frame({"s": ["a", None], "i": [1, 2], "f": [0.25, math.nan], "b": [True, False]})

CASES = [
    # all-numeric tables: rows are one upcast Series, so integers print as floats
    pytest.param(NUMERIC, "{x} and {y}", id="numeric-upcast"),
    pytest.param(NUMERIC, "{x:.2f}|{y:>6}", id="numeric-format-options"),
    pytest.param(NUMERIC, "{x:d}", id="numeric-int-code-on-float"),
    pytest.param(INTS, "{x} {y:03d} {x:,}", id="ints"),
    pytest.param(BOOLS, "{b} {b:d} {b:>5}", id="bools"),
    pytest.param(frame({"u": np.array([1, 250], dtype=np.uint8)}), "{u}", id="uint8"),
    pytest.param(frame({"f": np.array([0.1, 2], dtype=np.float32)}), "{f}", id="float32"),
    pytest.param(frame({"f": np.array([0.1, 2], dtype=np.float16)}), "{f}", id="float16"),
    # mixed tables: object rows keep each value's own kind
    pytest.param(MIXED, "{s} {i} {f} {b}", id="mixed"),
    pytest.param(MIXED, "{i!r} {f!r} {b!r} {s!r}", id="mixed-repr"),
    pytest.param(MIXED, "{f:.1f} {i:>4}", id="mixed-format-options"),
    pytest.param(frame({"s": ["a", None]}), "<{s}>", id="str-dtype-with-missing"),
    pytest.param(frame({"s": pd.array(["a", None], dtype="string")}), "<{s}>", id="string-dtype-with-NA"),
    pytest.param(frame({"o": [[1, 2], {"k": 1}], "s": ["x", "y"]}), "{o} {s} {o[0]}", id="objects-and-index"),
    pytest.param(frame({"c": pd.Categorical(["a", "b"])}), "{c}", id="categorical"),
    pytest.param(frame({"t": pd.to_datetime(["2024-01-01", None])}), "{t}", id="datetime"),
    pytest.param(frame({"t": pd.to_datetime(["2024-01-01"]).tz_localize("UTC")}), "{t!r}", id="datetime-tz"),
    pytest.param(frame({"d": pd.to_timedelta([1, 2], unit="s"), "s": ["a", "b"]}), "{d} {s}", id="timedelta-mixed"),
    pytest.param(frame({"i": pd.array([1, 2], dtype="Int64")}), "{i}", id="nullable-int"),
    pytest.param(frame({"b": pd.array([True, None], dtype="boolean")}), "{b}", id="nullable-bool-with-NA"),
    pytest.param(frame({"i": pd.array([1, None], dtype="Int64"), "s": ["a", "b"]}), "{i} {s}",
                 id="nullable-int-with-str"),
    # templates as written, whatever order, repetition, escaping or nesting they use
    pytest.param(MIXED, "{{{s}}} {{i}} {b}{{", id="escaped-braces"),
    pytest.param(MIXED, "{b} {s}{s} {i}{b!s:>6}", id="repeated-and-reordered-fields"),
    pytest.param(MIXED, "{f:{i}}|{s:{b}}", id="nested-format-spec"),
    pytest.param(MIXED, "{s!a:^9} {i!s:*<4}", id="conversion-and-spec"),
    pytest.param(frame({"o": [{"k": [1, 2]}, {"k": [3]}], "n": ["x", "y"]}), "{o[k][0]} {n.upper} {o}",
                 id="index-chains-and-attributes"),
    pytest.param(frame({"a b": ["x", "y"], "c": ["1", "2"]}), "{a b}-{c}", id="label-with-a-space"),
    pytest.param(frame({"0": ["x", "y"], "c": ["1", "2"]}), "{0} {c}", id="label-that-reads-as-a-position"),
    # shapes the row-wise walk handles on its own
    pytest.param(frame({"x": pd.Series([], dtype=object)}), "{x}", id="no-rows"),
    pytest.param(frame({"x": pd.Series([], dtype=float)}), "{missing}", id="no-rows-missing-column"),
    pytest.param(frame({0: [1], "a": ["b"]}), "{a}", id="non-text-label"),
    # failures
    pytest.param(MIXED, "{missing}", id="missing-column"),
    pytest.param(MIXED, "{i:.2x}", id="bad-format-code"),
    pytest.param(MIXED, "{s.nothing}", id="missing-attribute"),
    pytest.param(MIXED, "{}", id="positional-placeholder"),
    pytest.param(MIXED, "{s", id="unclosed-brace"),
    pytest.param(MIXED, "plain text, no placeholders", id="no-placeholders"),
]

# Tables whose rows the provider reads through the row-wise walk itself: numeric-only
# tables (numpy scalars), nullable columns (their missing markers), repeated labels.
DIVERGENT = [
    pytest.param(INTS, "{x!r}", id="numpy-scalar-repr"),
    pytest.param(BOOLS, "{b!a}", id="numpy-bool-ascii"),
    pytest.param(NUMERIC, "{x.dtype}", id="numpy-scalar-attribute"),
    pytest.param(frame({"i": pd.array([1, None], dtype="Int64")}), "{i}", id="nullable-int-with-NA"),
    pytest.param(frame({"f": pd.array([0.5, None], dtype="Float64")}), "{f}", id="nullable-float-with-NA"),
    pytest.param(frame({"i": pd.array([1, None], dtype="Int64"), "f": [0.5, 1.5]}), "{i} {f}",
                 id="nullable-int-with-float"),
    pytest.param(pd.DataFrame([[1, "a"]], columns=["x", "x"]), "{x}", id="repeated-labels"),
]


@pytest.mark.parametrize(("data", "template"), CASES + DIVERGENT)
def test_prompts_match_the_row_wise_form(prompts_of, data, template):
    assert prompts_of(data, template) == reference(data, template)


def test_the_table_is_left_unchanged(prompts_of):
    data = MIXED.copy()
    before = data.copy()
    prompts_of(data, "{s}")
    pd.testing.assert_frame_equal(data, before)


# Tables of plain column kinds, and templates of plain placeholders and format options that
# every such value accepts.
_cells = {
    "int": st.integers(-10**6, 10**6),
    "float": st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64), st.just(-0.0)),
    "bool": st.booleans(),
    "str": st.one_of(st.none(), st.text(max_size=6)),
    "object": st.one_of(st.integers(-5, 5), st.text(max_size=3), st.none(), st.floats(allow_nan=True)),
}


@st.composite
def tables_and_templates(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(_cells)), min_size=1, max_size=4))
    rows = draw(st.integers(1, 4))
    columns = {}
    for n, kind in enumerate(kinds):
        values = draw(st.lists(_cells[kind], min_size=rows, max_size=rows))
        if kind == "object":
            columns[f"c{n}"] = pd.Series(values, dtype=object)
        elif kind == "str":
            columns[f"c{n}"] = pd.Series(values, dtype="str")
        else:
            columns[f"c{n}"] = values
    names = list(columns)
    pieces = draw(st.lists(st.tuples(st.sampled_from(names), st.sampled_from(["", "!s", ":>7", ":<3"]),
                                     st.text(alphabet="ab -|", max_size=3)), min_size=1, max_size=4))
    template = "".join(f"{{{name}{option}}}{glue}" for name, option, glue in pieces)
    return pd.DataFrame(columns), template


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=tables_and_templates())
def test_prompts_match_the_row_wise_form_over_generated_tables(prompts_of, case):
    data, template = case
    assert prompts_of(data, template) == reference(data, template)
