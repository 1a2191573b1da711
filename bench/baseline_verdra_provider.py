"""Plain-Python criteria-judge provider, the baseline of bench/bench_verdra_provider.py.

The same module top level, class, methods and steps as the native
``tessaly.providers.verdra_provider``, written the obvious way: custom prompts through
``data.apply(lambda row: template.format(**row), axis=1).to_list()``, the valid outputs
from the options, and post-processing that walks record identifiers, timestamps and judge
results with ``zip``, counts tokens through the encoding, builds one ``RecordMetricResult``
per record and hands them to ``AggregateMetricResult.create``.

Module globals are looked up at use, so a benchmark can swap the judge, the token
encoder and the result classes of both implementations for the same stand-ins.
"""

import asyncio
import functools
import re

import pandas as pd  # noqa: F401
import tiktoken
from lazy_imports import LazyModule, load

from tessaly.entities.criteria import Option  # noqa: F401
from tessaly.entities.enums import EvaluationProvider, MetricGroup  # noqa: F401
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.foundation_model import (  # noqa: F401
    AWSBedrockFoundationModel,
    AzureOpenAIFoundationModel,
    GoogleAIStudioFoundationModel,
    NimbalFoundationModel,
    OpenAIFoundationModel,
    PortKeyGateway,
    VertexAIFoundationModel,
)
from tessaly.providers.inference_engines.google_inference_engine import GoogleStudioInferenceEngine
from tessaly.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine
from tessaly.utils.async_util import start_event_loop_run_func
from tessaly.utils.environment import get_lumora_concurrency_limit, get_tabluo_enable_inference_cache

vr_imports = LazyModule(
    "from verdra.judges import Criteria as VrCriteria",
    "from verdra.judges import CriteriaOption as VrCriteriaOption",
    "from verdra.judges import Instance, DirectJudge",
    "from tabulo.inference import CrossProviderInferenceEngine",
    name="lazy_vr",
)
load(vr_imports)
VrCriteria = vr_imports.VrCriteria
VrCriteriaOption = vr_imports.VrCriteriaOption
Instance = vr_imports.Instance
DirectJudge = vr_imports.DirectJudge
CrossProviderInferenceEngine = vr_imports.CrossProviderInferenceEngine

VARIABLES_PATTERN = r"\{([a-zA-Z_][a-zA-Z0-9_]*)\}"

_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _check(name, value, expected, none_allowed=False):
    """Exact-type test of an argument (subclasses refused)."""
    if type(value) is expected or (none_allowed and value is None):
        return
    raise TypeError(_TYPE_MESSAGE % (name, expected.__name__, type(value).__name__))


class VerdraProvider:
    """
    Invokes the criteria-judge library for computing the LLM-as-judge metrics.
    """

    def __init__(
        self,
        metric_name,
        display_name,
        value_type,
        llm_judge,
        options,
        criteria_description=None,
        prompt_template=None,
        context_fields=[],  # one shared default, never modified
        prediction_field=None,
        metric_group=None,
        metric_method=None,
        thresholds=[],  # one shared default, never modified
        **kwargs,
    ):
        _check("metric_name", metric_name, str)
        _check("display_name", display_name, str)
        _check("value_type", value_type, str)
        _check("options", options, list)
        _check("criteria_description", criteria_description, str, none_allowed=True)
        _check("prompt_template", prompt_template, str, none_allowed=True)
        _check("context_fields", context_fields, list)
        _check("prediction_field", prediction_field, str, none_allowed=True)
        _check("metric_method", metric_method, str, none_allowed=True)
        _check("thresholds", thresholds, list)
        self.metric_name = metric_name
        self.display_name = display_name
        self.value_type = value_type
        self.llm_judge = llm_judge
        self.criteria_description = criteria_description
        self.prompt_template = prompt_template
        self.options = options
        self.context_fields = context_fields
        self.prediction_field = prediction_field
        self.metric_group = metric_group
        self.metric_method = metric_method
        self.thresholds = thresholds
        self.record_id_field = kwargs.get("record_id_field", "record_id")
        self.record_timestamp_field = kwargs.get("record_timestamp_field", "record_timestamp")
        self.compute_token_count = kwargs.get("compute_token_count", False)

    async def evaluate_async(self, data):
        loop = asyncio.get_event_loop()
        return await loop.run_in_executor(
            None, functools.partial(start_event_loop_run_func, func=self.evaluate, data=data)
        )

    def evaluate(self, data):
        try:
            judge = self.__get_judge()
            if self.criteria_description:
                criteria = self.__get_criteria(self.prediction_field, self.context_fields)
                instances = self.__get_instances(
                    data=data, prediction_field=self.prediction_field, context_fields=self.context_fields
                )
                results = judge(instances=instances, criteria=criteria)
            elif self.prompt_template:
                judge_prompts = data.apply(lambda row: self.prompt_template.format(**row), axis=1).to_list()
                valid_outputs = [option.name for option in self.options]
                results = judge.evaluate_with_custom_prompt(judge_prompts=judge_prompts, valid_outputs=valid_outputs)
            else:
                raise ValueError("the metric has neither a criteria description nor a prompt template")
            return self.__post_process(results=results, data=data)
        except Exception as e:
            raise Exception(f"Error while computing metrics: {self.metric_name}. Reason: {e}") from e

    def __get_judge(self):
        enable_inf_cache = get_tabluo_enable_inference_cache()
        if self.llm_judge and isinstance(self.llm_judge.model, PortKeyGateway):
            engine = PortKeyInferenceEngine(**self.__get_inference_engine_params(), use_cache=enable_inf_cache)
        elif self.llm_judge and isinstance(self.llm_judge.model, GoogleAIStudioFoundationModel):
            engine = GoogleStudioInferenceEngine(**self.__get_inference_engine_params(), use_cache=enable_inf_cache)
        else:
            engine = CrossProviderInferenceEngine(**self.__get_inference_engine_params(), use_cache=enable_inf_cache)
        return DirectJudge(inference_engine=engine, generate_feedback=True)

    def __get_instances(self, data, prediction_field, context_fields):
        instances = []
        context_data = data[context_fields].to_dict(orient="records")
        predictions = data[prediction_field].tolist()
        if context_data:
            for c, p in zip(context_data, predictions):
                fields = {prediction_field: p}
                fields.update(c)
                instances.append(Instance(fields=fields))
        else:
            for p in predictions:
                instances.append(Instance(fields={prediction_field: p}))
        return instances

    def __get_inference_engine_params(self):
        params = {"seed": 36, "data_classification_policy": ["public"]}
        model = self.llm_judge.model
        if isinstance(model, NimbalFoundationModel):
            credentials = model.provider.credentials
            hosting = {"url": credentials.url}
            if credentials.api_key:
                hosting["api_key"] = credentials.api_key
            if credentials.version:
                hosting["username"] = credentials.username
                hosting["instance_id"] = credentials.instance_id
                if credentials.password:
                    hosting["password"] = credentials.password
            if model.project_id:
                hosting["project_id"] = model.project_id
            elif model.space_id:
                hosting["space_id"] = model.space_id
            else:
                raise Exception("Either project or space id is required")
            params.update(
                {
                    "credentials": hosting,
                    "provider": "lumora-sdk",
                    "model": model.model_id,
                    "provider_specific_args": {"lumora-sdk": {"concurrency_limit": get_lumora_concurrency_limit()}},
                }
            )
        elif isinstance(model, OpenAIFoundationModel):
            arguments = {"temperature": 0}
            if getattr(model, "parameters", None):
                arguments.update(model.parameters)
            params.update(
                {
                    "credentials": {"api_key": model.provider.credentials.api_key},
                    "provider": "open-ai",
                    "model": model.model_id,
                    "provider_specific_args": {"open-ai": arguments},
                }
            )
        elif isinstance(model, PortKeyGateway):
            params.update({"credentials": model.provider.credentials.model_dump(), "model": model.model_id})
        elif isinstance(model, VertexAIFoundationModel):
            params.update(
                {
                    "credentials": model.provider.credentials.model_dump(),
                    "provider": "vertex-ai",
                    "model": model.model_id,
                }
            )
        elif isinstance(model, AWSBedrockFoundationModel):
            params.update(
                {
                    "credentials": model.provider.credentials.model_dump(),
                    "model": model.model_id,
                    "provider": "aws",
                    "provider_specific_args": {"aws": model.parameters if model.parameters else {}},
                }
            )
            del params["seed"]
        elif isinstance(model, AzureOpenAIFoundationModel):
            raise Exception("Azure OpenAI Model provider is not supported.")
        else:
            raise Exception("LLM Model provider is not supported.")
        return params

    def __get_criteria(self, prediction_field, context_fields):
        def normalise(text):
            text = text.replace("{" + prediction_field + "}", prediction_field)
            return re.sub(VARIABLES_PATTERN, r"\1", text)

        options = [
            VrCriteriaOption(name=option.name, description=normalise(option.description), score=option.value)
            for option in self.options
        ]
        return VrCriteria(
            name=self.metric_name,
            description=normalise(self.criteria_description),
            to_evaluate_field=prediction_field,
            context_fields=context_fields,
            options=options,
        )

    def __post_process(self, results, data):
        record_level_metrics = []
        if self.compute_token_count:
            self.encoding = tiktoken.get_encoding("cl100k_base")
        input_token_count = None
        output_token_count = None
        score_map = {option.name: option.value for option in self.options}
        for record_id, record_timestamp, result in zip(
            data[self.record_id_field].tolist(), data[self.record_timestamp_field].tolist(), results
        ):
            if self.compute_token_count:
                input_token_count = len(self.encoding.encode(str(result.metadata["prompt"])))
                output_token_count = len(self.encoding.encode(str(result.metadata["unparsed_response"])))
            record_level_metrics.append(
                RecordMetricResult(
                    name=self.metric_name,
                    display_name=self.display_name,
                    method=self.metric_method,
                    group=self.metric_group,
                    provider=EvaluationProvider.TABULO.value,
                    value=score_map.get(result.selected_option),
                    label=result.selected_option,
                    record_id=record_id,
                    record_timestamp=record_timestamp,
                    thresholds=self.thresholds,
                    explanation=result.explanation,
                    additional_info={
                        "feedback": result.feedback if result.feedback else None,
                        "input_tokens": input_token_count if input_token_count else None,
                        "output_tokens": output_token_count if output_token_count else None,
                    },
                )
            )
        return AggregateMetricResult.create(record_level_metrics)
