"""tabulo_provider: what importing the module binds, the column mapping, and the
provider's constructor."""

from __future__ import annotations

import inspect
import logging
import threading
import typing

import lazy_imports
import pydantic
import pytest
import tabulo.formats
import tabulo.inference
import tabulo.llm_as_judge
import tabulo.operator
import tabulo.stream
from tabulo_kit import configuration, import_failure, provider

# Names the module binds, in the order it binds them (modules, then outside names,
# then the lazily bound library names, then its own definitions).
BOUND_IN_ORDER = [
    "asyncio", "functools", "Lock", "Annotated", "ClassVar", "pd", "TTLCache", "cached",
    "GenAIConfiguration", "NimbalCredentials", "EvaluationProvider", "MetricGroup", "ModelProviderType",
    "AggregateMetricResult", "RecordMetricResult",
    "NimbalFoundationModel", "OpenAIFoundationModel", "AzureOpenAIFoundationModel", "VertexAIFoundationModel",
    "GoogleAIStudioFoundationModel", "AWSBedrockFoundationModel", "CustomFoundationModel", "PortKeyGateway",
    "CorvoAIGateway", "LLMJudge", "MetricThreshold",
    "CustomFunctionInferenceEngine", "PortKeyInferenceEngine", "CorvoAIGatewayInferenceEngine",
    "start_event_loop_run_func", "get_tabluo_enable_inference_cache", "transform_str_to_list",
    "LazyModule", "load", "BaseModel", "Field", "set_verbosity",
    "tabulo_imports",
    "ChatAPIFormat", "Format", "RivetInferenceEngineGeneration", "OpenAiInferenceEngine",
    "AzureOpenAIInferenceEngine", "TaskBasedLLMasJudge", "SequentialOperator", "MultiStream",
    "LiteLLMInferenceEngine",
    "patch_bertscore_overflow", "_inference_engine_cache", "_inference_engine_cache_lock",
    "TabuloColumnMapping", "METRIC_TO_TEMPLATE", "TabuloProvider",
]

LIBRARY_NAMES = {
    "ChatAPIFormat": tabulo.formats.ChatAPIFormat,
    "Format": tabulo.formats.Format,
    "RivetInferenceEngineGeneration": tabulo.inference.RivetInferenceEngineGeneration,
    "OpenAiInferenceEngine": tabulo.inference.OpenAiInferenceEngine,
    "AzureOpenAIInferenceEngine": tabulo.inference.AzureOpenAIInferenceEngine,
    "TaskBasedLLMasJudge": tabulo.llm_as_judge.TaskBasedLLMasJudge,
    "SequentialOperator": tabulo.operator.SequentialOperator,
    "MultiStream": tabulo.stream.MultiStream,
    "LiteLLMInferenceEngine": tabulo.inference.LiteLLMInferenceEngine,
}


def test_module_imports_in_a_fresh_interpreter():
    failure = import_failure()
    assert failure is None, failure


def test_names_are_bound_in_order(tp):
    names = [name for name in vars(tp) if not name.startswith("__")]
    assert [n for n in names if n in BOUND_IN_ORDER] == BOUND_IN_ORDER
    assert names[-1] == "TabuloProvider"


def test_library_is_bound_through_a_loaded_lazy_module(tp):
    assert isinstance(tp.tabulo_imports, lazy_imports.LazyModule)
    assert tp.tabulo_imports.__name__ == "lazy_tabulo"
    for name, obj in LIBRARY_NAMES.items():
        assert getattr(tp, name) is obj, name
        assert getattr(tp.tabulo_imports, name) is obj, name


def test_import_sets_library_verbosity_to_warning(tp):
    assert logging.getLogger("tabulo").level == logging.WARNING


def test_module_state(tp):
    cache = tp._inference_engine_cache
    assert isinstance(cache, tp.TTLCache)
    assert (cache.maxsize, cache.ttl) == (128, 3600)
    assert type(tp._inference_engine_cache_lock) is type(threading.Lock())
    assert tp.METRIC_TO_TEMPLATE == {
        "faithfulness": "judge_with_question_simplified",
        "context_relevance": "judge_context_relevance_ares",
        "answer_correctness": "judge_loose_match_no_context",
        "answer_relevance": "judge_answer_relevance",
    }


# --------------------------------------------------------------------------- column mapping

@pytest.mark.parametrize(
    "field, default",
    [("question", "question"), ("answer", "answer"), ("contexts", "contexts"), ("ground_truths", "ground_truths")],
)
def test_column_mapping_fields(tp, field, default):
    mapping = tp.TabuloColumnMapping
    info = mapping.model_fields[field]
    assert info.annotation is str
    assert info.default == default
    assert info.description == f"Expected {field} column name by tabulo"
    assert getattr(mapping(), field) == default


def test_column_mapping_model(tp):
    mapping = tp.TabuloColumnMapping
    assert mapping.__bases__ == (pydantic.BaseModel,)
    assert mapping.__doc__ == "Column mapping expected by tabulo"
    assert list(mapping.model_fields) == ["question", "answer", "contexts", "ground_truths"]
    hints = typing.get_type_hints(mapping, include_extras=True)
    assert typing.get_origin(hints["contexts"]) is typing.Annotated
    assert mapping(contexts="ctx").contexts == "ctx"
    with pytest.raises(pydantic.ValidationError):
        mapping(answer=3)


# --------------------------------------------------------------------------- the class

def test_class_layout(tp):
    cls = tp.TabuloProvider
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    methods = [n for n, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)]
    assert [m for m in methods if m != "_lock"] == [
        "__init__", "evaluate_async", "evaluate", "_TabuloProvider__generate_tabulo_metric",
        "_create_inference_engine_impl", "_TabuloProvider__get_ai_evaluator_inference_engine",
        "_TabuloProvider__get_llmaj_template", "_TabuloProvider__get_llmaj_format",
        "_TabuloProvider__get_llmaj_metric", "_TabuloProvider__pre_process_data",
        "_TabuloProvider__compute_metric", "_TabuloProvider__post_process",
    ]
    assert inspect.iscoroutinefunction(cls.evaluate_async)
    assert cls._TabuloProvider__pre_process_data.__doc__ == (
        "Goes over the dataframe and update the column names to match what is expected by tabulo"
    )
    assert type(cls._lock) is type(threading.Lock())
    assert cls.METRIC_METHODS_WITH_LOCKS == {"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}
    assert cls.CLIP_METRIC_METHODS == {
        "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
        "faithfulness": {"sentence_bert_mini_lm"},
        "answer_correctness": {"sentence_bert_mini_lm"},
    }
    hints = cls.__annotations__
    assert hints["CLIP_METRIC_METHODS"] == typing.ClassVar[dict[str, set[str]]]
    assert hints["METRIC_METHODS_WITH_LOCKS"] == typing.ClassVar[set[str]]


def test_engine_factory_is_the_cached_static_method(tp):
    # cached(cache=..., lock=...) applied over staticmethod(f), as the decorator stack
    # "@cached(...) @staticmethod def f" makes it: the wrapper carries f's name and docstring.
    factory = tp.TabuloProvider._create_inference_engine_impl
    assert factory.__doc__ == "TTL-cached factory for inference engines."
    assert factory.__name__ == "_create_inference_engine_impl"
    assert factory.__qualname__ == "TabuloProvider._create_inference_engine_impl"
    assert str(inspect.signature(factory)) == (
        "(provider: 'str', model_id: 'str', use_cache: 'bool', credentials_json: 'str', parameters_json: 'str' = '')"
    )
    assert factory.cache is tp._inference_engine_cache


def test_constructor_stores_its_arguments(tp):
    config = configuration()
    judge = object()
    mapping = tp.TabuloColumnMapping(answer="out")
    thresholds = []
    p = tp.TabuloProvider(config, "faithfulness", "Faithfulness", "token_recall", "P", "alias", None, mapping,
                          judge, thresholds, unknown_keyword=1)
    assert vars(p) == {
        "configuration": config, "configuration_": {}, "metric_name": "faithfulness",
        "metric_display_name": "Faithfulness", "metric_method": "token_recall", "metric_group": None,
        "column_mapping": mapping, "llm_judge": judge, "metric_alias": "alias", "metric_prefix": "P",
        "thresholds": thresholds,
    }
    assert list(vars(p)) == [
        "configuration", "configuration_", "metric_name", "metric_display_name", "metric_method",
        "metric_group", "column_mapping", "llm_judge", "metric_alias", "metric_prefix", "thresholds",
    ]
    assert p.thresholds is thresholds


def test_constructor_falls_back_to_defaults(tp):
    config_judge = object()
    config = configuration().model_copy(update={"llm_judge": config_judge})
    a = provider(tp, config=config)
    b = provider(tp, config=config)
    assert a.llm_judge is config_judge
    assert a.column_mapping == tp.TabuloColumnMapping() and a.column_mapping is not b.column_mapping
    assert a.configuration_ == {} and a.configuration_ is not b.configuration_
    # One shared default list of thresholds, never modified.
    assert a.thresholds == [] and a.thresholds is b.thresholds
    assert inspect.signature(tp.TabuloProvider.__init__).parameters["thresholds"].default is a.thresholds


def test_constructor_takes_at_most_ten_positional_arguments(tp):
    args = (configuration(), "faithfulness", "F", "token_recall", "P", None, None, None, None, [])
    tp.TabuloProvider(*args)
    with pytest.raises(TypeError):
        tp.TabuloProvider(*args, "eleventh")
    with pytest.raises(TypeError):
        tp.TabuloProvider(configuration(), "faithfulness", "F", "token_recall")


class Text(str):
    pass


@pytest.mark.parametrize(
    "argument, value, expected",
    [
        ("metric_name", 3, "str"),
        ("metric_name", None, "str"),
        ("metric_name", Text("faithfulness"), "str"),
        ("metric_display_name", None, "str"),
        ("metric_method", b"llm_as_judge", "str"),
        ("metric_prefix", None, "str"),
        ("metric_alias", 1, "str"),
        ("metric_alias", Text("alias"), "str"),
        ("thresholds", None, "list"),
        ("thresholds", (), "list"),
    ],
)
def test_constructor_refuses_wrong_types_before_storing_anything(tp, argument, value, expected):
    arguments = dict(configuration=configuration(), metric_name="faithfulness", metric_display_name="F",
                     metric_method="token_recall", metric_prefix="P")
    arguments[argument] = value
    obj = tp.TabuloProvider.__new__(tp.TabuloProvider)
    with pytest.raises(TypeError) as caught:
        obj.__init__(**arguments)
    assert str(caught.value) == (
        f"Argument '{argument}' has incorrect type (expected {expected}, got {type(value).__name__})"
    )
    assert vars(obj) == {}
