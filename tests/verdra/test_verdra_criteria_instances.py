"""The provider's module, its constructor, and the criteria and instances it hands the
criteria-judge library."""

from __future__ import annotations

import inspect

import pandas as pd
import pytest
from verdra_kit import YES_NO, table

from tessaly.entities.criteria import Option
from tessaly.entities.enums import MetricGroup
from tessaly.entities.metric_threshold import MetricThreshold


def test_module_namespace_in_import_order(vp):
    names = [name for name in vars(vp) if not name.startswith("__")]
    assert names == [
        "asyncio", "functools", "re", "pd", "tiktoken", "LazyModule", "load",
        "Option", "EvaluationProvider", "MetricGroup", "AggregateMetricResult", "RecordMetricResult",
        "AWSBedrockFoundationModel", "AzureOpenAIFoundationModel", "GoogleAIStudioFoundationModel",
        "OpenAIFoundationModel", "PortKeyGateway", "VertexAIFoundationModel", "NimbalFoundationModel",
        "NimbalCredentials", "LLMJudge", "MetricThreshold", "GoogleStudioInferenceEngine",
        "PortKeyInferenceEngine", "start_event_loop_run_func", "get_tabluo_enable_inference_cache",
        "get_lumora_concurrency_limit", "vr_imports", "VrCriteria", "VrCriteriaOption", "Instance",
        "DirectJudge", "CrossProviderInferenceEngine", "VARIABLES_PATTERN", "VerdraProvider",
    ]


def test_library_classes_are_bound_through_the_deferred_module(vp):
    import lazy_imports
    import tabulo.inference
    import verdra.judges

    from tessaly.providers.inference_engines import google_inference_engine, portkey_inference_engine

    assert isinstance(vp.vr_imports, lazy_imports.LazyModule)
    assert vp.vr_imports.__name__ == "lazy_vr"
    assert vp.VrCriteria is verdra.judges.Criteria
    assert vp.VrCriteriaOption is verdra.judges.CriteriaOption
    assert vp.Instance is verdra.judges.Instance
    assert vp.DirectJudge is verdra.judges.DirectJudge
    assert vp.CrossProviderInferenceEngine is tabulo.inference.CrossProviderInferenceEngine
    assert vp.GoogleStudioInferenceEngine is google_inference_engine.GoogleStudioInferenceEngine
    assert vp.PortKeyInferenceEngine is portkey_inference_engine.PortKeyInferenceEngine
    assert vp.VARIABLES_PATTERN == r"\{([a-zA-Z_][a-zA-Z0-9_]*)\}"


def test_class_shape(vp):
    cls = vp.VerdraProvider
    assert cls.__bases__ == (object,)
    own = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert own == [
        "__init__", "evaluate_async", "evaluate", "_VerdraProvider__get_judge", "_VerdraProvider__get_instances",
        "_VerdraProvider__get_inference_engine_params", "_VerdraProvider__get_criteria",
        "_VerdraProvider__post_process",
    ]
    assert "criteria-judge library" in cls.__doc__ and "LLM-as-judge" in cls.__doc__
    assert inspect.iscoroutinefunction(cls.evaluate_async)
    assert not inspect.iscoroutinefunction(cls.evaluate)
    assert list(inspect.signature(cls.evaluate).parameters) == ["self", "data"]


# ---- construction -------------------------------------------------------------------------


def test_constructor_stores_settings_in_order_with_keyword_defaults(vp):
    judge = object()  # neither the judge nor the group is checked
    provider = vp.VerdraProvider("m", "M", "numeric", judge, [], unknown_keyword=1)
    assert list(vars(provider).items()) == [
        ("metric_name", "m"), ("display_name", "M"), ("value_type", "numeric"), ("llm_judge", judge),
        ("criteria_description", None), ("prompt_template", None), ("options", []), ("context_fields", []),
        ("prediction_field", None), ("metric_group", None), ("metric_method", None), ("thresholds", []),
        ("record_id_field", "record_id"), ("record_timestamp_field", "record_timestamp"),
        ("compute_token_count", False),
    ]


def test_constructor_reads_the_three_keywords(vp):
    provider = vp.VerdraProvider(
        "m", "M", "numeric", None, [], record_id_field="id", record_timestamp_field="ts",
        compute_token_count=True, metric_group=MetricGroup.ANSWER_QUALITY,
        thresholds=[MetricThreshold(type="lower_limit", value=0.5)],
    )
    assert (provider.record_id_field, provider.record_timestamp_field, provider.compute_token_count) == (
        "id", "ts", True)
    assert provider.metric_group is MetricGroup.ANSWER_QUALITY


def test_list_defaults_are_one_shared_untouched_list(vp):
    first = vp.VerdraProvider("a", "A", "numeric", None, [])
    second = vp.VerdraProvider("b", "B", "numeric", None, [])
    assert first.context_fields is second.context_fields
    assert first.thresholds is second.thresholds
    assert first.context_fields == [] and first.thresholds == []


class Text(str):
    pass


@pytest.mark.parametrize(
    ("argument", "value", "expected", "got"),
    [
        ("options", tuple(YES_NO), "list", "tuple"),
        ("metric_name", None, "str", "NoneType"),
        ("metric_name", Text("m"), "str", "Text"),
        ("display_name", 1, "str", "int"),
        ("value_type", b"numeric", "str", "bytes"),
        ("context_fields", ("question",), "list", "tuple"),
        ("thresholds", None, "list", "NoneType"),
        ("criteria_description", 3, "str", "int"),
        ("prompt_template", ["t"], "str", "list"),
        ("prediction_field", Text("response"), "str", "Text"),
        ("metric_method", 0.5, "str", "float"),
    ],
)
def test_constructor_refuses_inexact_types(vp, argument, value, expected, got):
    arguments = dict(metric_name="m", display_name="M", value_type="numeric", llm_judge=None, options=[])
    arguments[argument] = value
    with pytest.raises(TypeError) as caught:
        vp.VerdraProvider(**arguments)
    assert str(caught.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("argument", ["criteria_description", "prompt_template", "prediction_field", "metric_method"])
def test_optional_texts_accept_none(vp, argument):
    provider = vp.VerdraProvider("m", "M", "numeric", None, [], **{argument: None})
    assert getattr(provider, argument) is None


def test_missing_required_arguments(vp):
    with pytest.raises(TypeError, match="missing .*positional argument"):
        vp.VerdraProvider("m", "M", "numeric", None)


# ---- criteria -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("prediction_field", "text", "expected"),
    [
        ("response", "Is the {response} grounded in {context}?", "Is the response grounded in context?"),
        ("generated text", "Rate the {generated text}.", "Rate the generated text."),
        ("response", "Rate the {generated text}.", "Rate the {generated text}."),
        ("response", "Keep {{name}} single", "Keep {name} single"),
        ("response", "{{response}}", "response"),
        ("response", "Left {0abc} and {a b} and {x-y}", "Left {0abc} and {a b} and {x-y}"),
        ("response", "{_x1}{B2}{}", "_x1B2{}"),
        ("score (%)", "{score (%)} vs {score}", "score (%) vs score"),
        ("a.b", "{a.b} not {aXb", "a.b not {aXb"),
        ("response", "", ""),
    ],
)
def test_placeholders_are_normalised_in_criteria_and_options(make_provider, prediction_field, text, expected):
    provider = make_provider(
        criteria_description=text,
        options=[Option(name="Yes", description=text, value=1.0), Option(name="No", description="plain", value=0.0)],
    )
    criteria = provider._VerdraProvider__get_criteria(prediction_field, ["question"])
    assert criteria.description == expected
    assert [(o.name, o.description, o.score) for o in criteria.options] == [
        ("Yes", expected, 1.0), ("No", "plain", 0.0)]


def test_criteria_carries_name_fields_and_option_values(vp, make_provider):
    options = [Option(name="A", description="{x}", value=0.5), Option(name="A", value=2.0), Option(name="B")]
    provider = make_provider(metric_name="metric one", options=options)
    context = ["question", "extra"]
    criteria = provider._VerdraProvider__get_criteria("answer", context)
    assert isinstance(criteria, vp.VrCriteria)
    assert (criteria.name, criteria.to_evaluate_field, criteria.context_fields) == ("metric one", "answer", context)
    assert [(o.name, o.description, o.score) for o in criteria.options] == [
        ("A", "x", 0.5), ("A", "", 2.0), ("B", "", None)]


def test_empty_options_give_an_empty_option_list(make_provider):
    assert make_provider(options=[])._VerdraProvider__get_criteria("response", []).options == []


# ---- instances ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("context_fields", "expected"),
    [
        ([], [{"response": "response 0"}, {"response": "response 1"}]),
        (["question"], [{"response": "response 0", "question": "question 0"},
                        {"response": "response 1", "question": "question 1"}]),
        (["other", "question"], [{"response": "response 0", "other": 10, "question": "question 0"},
                                 {"response": "response 1", "other": 11, "question": "question 1"}]),
    ],
)
def test_instances_hold_the_prediction_then_the_context(vp, make_provider, context_fields, expected):
    data = table(other=[10, 11])
    instances = make_provider()._VerdraProvider__get_instances(
        data=data, prediction_field="response", context_fields=context_fields)
    assert all(isinstance(i, vp.Instance) for i in instances)
    assert [list(i.fields.items()) for i in instances] == [list(e.items()) for e in expected]


def test_a_context_column_named_like_the_prediction_replaces_it_in_place(make_provider):
    data = pd.DataFrame({"response": ["r0"], "question": ["q0"], "record_id": ["a"]})
    [instance] = make_provider()._VerdraProvider__get_instances(
        data=data, prediction_field="response", context_fields=["question", "response"])
    assert list(instance.fields.items()) == [("response", "r0"), ("question", "q0")]


@pytest.mark.parametrize("context_fields", [[], ["question"]])
def test_a_table_without_rows_gives_no_instances(make_provider, context_fields):
    empty = table(0)
    assert make_provider()._VerdraProvider__get_instances(
        data=empty, prediction_field="response", context_fields=context_fields) == []


@pytest.mark.parametrize(
    ("overrides", "reason"),
    [
        ({"context_fields": ["missing"]}, None),  # the table's own key error
        ({"prediction_field": "missing"}, "'missing'"),
        ({"prediction_field": None}, 'can only concatenate str (not "NoneType") to str'),
        ({"options": [object()]}, "'object' object has no attribute 'description'"),
    ],
)
def test_bad_columns_or_options_fail_the_evaluation(make_provider, model, overrides, reason):
    provider = make_provider(**overrides)
    if reason is None:
        with pytest.raises(KeyError) as lookup:
            table()[overrides["context_fields"]]
        reason = str(lookup.value)
    with pytest.raises(Exception) as caught:
        provider.evaluate(table())
    assert type(caught.value) is Exception
    assert str(caught.value) == f"Error while computing metrics: answers_question. Reason: {reason}"
