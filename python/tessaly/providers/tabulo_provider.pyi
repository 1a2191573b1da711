import asyncio as asyncio
import functools as functools
import json as json
import threading
from collections.abc import Callable, Hashable
from threading import Lock as Lock
from types import MethodType
from typing import Annotated as Annotated
from typing import Any, ClassVar as ClassVar
from typing import Self, overload, type_check_only

import pandas as pd
from cachetools import TTLCache as TTLCache
from cachetools import cached as cached
from lazy_imports import LazyModule as LazyModule
from lazy_imports import load as load
from pydantic import BaseModel as BaseModel
from pydantic import Field as Field
from tabulo.logging_utils import set_verbosity as set_verbosity

from tessaly.config import GenAIConfiguration as GenAIConfiguration
from tessaly.entities.enums import MetricGroup as MetricGroup
from tessaly.entities.evaluation_result import AggregateMetricResult as AggregateMetricResult
from tessaly.entities.llm_judge import LLMJudge as LLMJudge
from tessaly.entities.metric_threshold import MetricThreshold as MetricThreshold

tabulo_imports: LazyModule
ChatAPIFormat: Any
Format: Any
RivetInferenceEngineGeneration: Any
OpenAiInferenceEngine: Any
AzureOpenAIInferenceEngine: Any
TaskBasedLLMasJudge: Any
SequentialOperator: Any
MultiStream: Any
LiteLLMInferenceEngine: Any

_inference_engine_cache: TTLCache[Any, Any]
_inference_engine_cache_lock: threading.Lock
METRIC_TO_TEMPLATE: dict[str, str]

def patch_bertscore_overflow() -> None:
    """
    Workaround for transformers>=5.0.0 where tokenizer.model_max_length defaults to a very large number,
    causing OverflowError in rust tokenizers when truncation=True is used by bert_score.
    """

@type_check_only
class _CachedEngineFactory:
    """What `cachetools.cached(cache=_inference_engine_cache, lock=_inference_engine_cache_lock)` makes of
    the static engine factory: a callable object, not a function. A call looks its arguments up in the cache
    and builds the engine only on a miss.

    Call it through the class: `TabuloProvider._create_inference_engine_impl(provider=..., ...)`. Read through
    an instance, it binds the instance as its first argument, as a function would, and no call succeeds.
    """

    __wrapped__: staticmethod[..., Any]
    cache: TTLCache[Any, Any]
    cache_key: Callable[..., Hashable]
    cache_lock: threading.Lock
    cache_condition: None
    def __call__(
        self, provider: str, model_id: str, use_cache: bool, credentials_json: str, parameters_json: str = ""
    ) -> Any:
        """TTL-cached factory for inference engines."""
    def cache_clear(self) -> None: ...
    @overload
    def __get__(self, obj: None, objtype: type | None = None) -> Self: ...
    @overload
    def __get__(self, obj: object, objtype: type | None = None) -> MethodType: ...

class TabuloColumnMapping(BaseModel):
    """Column mapping expected by tabulo"""

    question: str = "question"
    answer: str = "answer"
    contexts: str = "contexts"
    ground_truths: str = "ground_truths"

class TabuloProvider:
    CLIP_METRIC_METHODS: ClassVar[dict[str, set[str]]]
    METRIC_METHODS_WITH_LOCKS: ClassVar[set[str]]
    _lock: ClassVar[threading.Lock]

    configuration: GenAIConfiguration
    configuration_: dict[str, Any]
    metric_name: str
    metric_display_name: str
    metric_method: str
    metric_group: MetricGroup | None
    column_mapping: TabuloColumnMapping
    llm_judge: LLMJudge | None
    metric_alias: str | None
    metric_prefix: str
    thresholds: list[MetricThreshold]

    def __init__(
        self,
        configuration: GenAIConfiguration,
        metric_name: str,
        metric_display_name: str,
        metric_method: str,
        metric_prefix: str,
        metric_alias: str | None = None,
        metric_group: MetricGroup | None = None,
        column_mapping: TabuloColumnMapping | None = None,
        llm_judge: LLMJudge | None = None,
        thresholds: list[MetricThreshold] = [],
        **kwargs: Any,
    ) -> None: ...
    async def evaluate_async(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    def evaluate(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    _create_inference_engine_impl: ClassVar[_CachedEngineFactory]
