import asyncio as asyncio
import json as json
from typing import Any, Optional as Optional

import aiohttp as aiohttp
import pandas as pd
from vexmon_sdk import APIClient as VexmonClient

from tessaly.config import GenAIConfiguration as GenAIConfiguration
from tessaly.entities.base_classes import Error as Error
from tessaly.entities.enums import EvaluationProvider as EvaluationProvider
from tessaly.entities.enums import MetricGroup as MetricGroup
from tessaly.entities.enums import StonewatchRisks as StonewatchRisks
from tessaly.entities.evaluation_result import AggregateMetricResult as AggregateMetricResult
from tessaly.entities.evaluation_result import RecordMetricResult as RecordMetricResult
from tessaly.entities.metric_threshold import MetricThreshold as MetricThreshold
from tessaly.providers.tool_call_metric_provider import ToolCallMetricProvider as ToolCallMetricProvider
from tessaly.utils.async_util import run_in_event_loop as run_in_event_loop
from tessaly.utils.python_utils import get_authenticator_token as get_authenticator_token
from tessaly.utils.python_utils import transform_str_to_list as transform_str_to_list

ACCURACY_METRICS: list[str]
RAG_EVIDENCE_METRICS: list[str]
RAG_SMALL_MODELS: list[str]
EVIDENCES: list[str]

_RequestResult = dict[str, Any]

class ScreeningProvider:
    RETRY_AFTER_STATUS_CODES: list[int]
    RETRY_COUNT: int
    BACK_OFF_FACTOR: int | float

    vexmon_client: VexmonClient
    verify: bool
    base_url: str
    configuration: GenAIConfiguration
    configuration_: dict[str, Any]
    metric_name: str
    metric_display_name: str
    metric_method: str | None
    metric_group: MetricGroup | None
    service_instance_id: str
    thresholds: list[MetricThreshold]
    detector_params: dict[str, Any] | None

    def __init__(
        self,
        configuration: GenAIConfiguration,
        metric_name: str,
        metric_display_name: str,
        metric_method: str | None = None,
        metric_group: MetricGroup | None = None,
        thresholds: list[MetricThreshold] = [],
        **kwargs: Any,
    ) -> None: ...
    def evaluate(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    async def evaluate_async(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    def _ScreeningProvider__pre_process_data(self, data: pd.DataFrame) -> tuple[list[str], list[Any]]: ...
    async def send_with_retries(self, payload: str, session: aiohttp.ClientSession) -> _RequestResult | None: ...
    async def _ScreeningProvider__compute_metric(self, api_payloads: list[str]) -> list[Any]: ...
    def _ScreeningProvider__get_additional_info(self, results: Any) -> list[Any]: ...
    def _ScreeningProvider__post_process(self, results: list[Any], record_ids: list[Any]) -> AggregateMetricResult: ...
    def _ScreeningProvider__get_json_payloads(
        self,
        input_contents: list[Any],
        output_contents: list[Any] | None,
        context_contents: list[Any] | None,
        tools_catalog_content: list[Any] | None,
        tool_calls_content: list[Any] | None,
    ) -> list[str]: ...
    def _ScreeningProvider__get_headers(self) -> dict[str, str]: ...
    def get_detector_url(self, api_client: Any) -> str: ...
    def get_service_instance_id(self, api_client: Any) -> str: ...
    def set_metric_name(self, metric_name: str) -> str: ...
    def _ScreeningProvider__get_base_url(self, metric_name: str) -> str: ...
    def get_tool_calls_content(self, data: pd.DataFrame) -> list[list[dict[str, Any]]]: ...
    def get_tools_catalog_content(self) -> Any: ...
