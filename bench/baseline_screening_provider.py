"""Plain-Python detection provider, the baseline of bench/bench_screening_provider.py.

The same module top level, class, methods and steps as the native
``tessaly.providers.screening_provider``, written the obvious way: one ``json.dumps`` per
request body, one ``aiohttp.ClientSession`` per evaluation with ``asyncio.gather`` over
``send_with_retries``, and the same post-processing into ``RecordMetricResult`` and
``AggregateMetricResult``. Module globals are looked up at use, so a benchmark can swap
the result classes of both implementations for the same stand-ins.
"""

import asyncio
import inspect
import json
from typing import Optional  # noqa: F401  (part of the module's namespace)

import aiohttp
import pandas as pd  # noqa: F401
from vexmon_sdk import APIClient as VexmonClient

from tessaly.config import GenAIConfiguration  # noqa: F401
from tessaly.entities.base_classes import Error
from tessaly.entities.enums import EvaluationProvider, MetricGroup, StonewatchRisks  # noqa: F401
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.entities.metric_threshold import MetricThreshold  # noqa: F401
from tessaly.providers.tool_call_metric_provider import ToolCallMetricProvider
from tessaly.utils.async_util import run_in_event_loop
from tessaly.utils.python_utils import get_authenticator_token, transform_str_to_list

ACCURACY_METRICS = ["topic_relevance", "tool_call_accuracy"]
RAG_EVIDENCE_METRICS = ["faithfulness", "context_relevance"]
RAG_SMALL_MODELS = ["faithfulness_model", "context_relevance_model"]
EVIDENCES = ["hap", "pii", "keyword", "regex"]

_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _check(name, value, expected, none_allowed=False):
    """Exact-type test of an argument (subclasses refused)."""
    if type(value) is expected or (none_allowed and value is None):
        return
    raise TypeError(_TYPE_MESSAGE % (name, expected.__name__, type(value).__name__))


def _decode_text_cell(cell):
    return json.loads(cell) if isinstance(cell, str) else cell


class ScreeningProvider:
    RETRY_AFTER_STATUS_CODES = [502, 503, 504]
    RETRY_COUNT = 3
    BACK_OFF_FACTOR = 1

    def __init__(
        self,
        configuration,
        metric_name,
        metric_display_name,
        metric_method=None,
        metric_group=None,
        thresholds=[],  # one shared default, never modified
        **kwargs,
    ):
        _check("metric_name", metric_name, str)
        _check("metric_display_name", metric_display_name, str)
        _check("metric_method", metric_method, str, none_allowed=True)
        _check("thresholds", thresholds, list)
        api_client = kwargs.get("api_client")
        if not api_client:
            raise ValueError(
                "Tessaly SDK must be initialized to compute " + metric_name + " using " + str(metric_method)
                + ". Please initialize the client to proceed, or remove this metric from the evaluation."
            )
        if not isinstance(api_client.vexmon_client, VexmonClient):
            raise ValueError(
                "Tessaly service instance id is required to compute " + metric_name + " using "
                + str(metric_method) + ". You can set the service instance ID using the "
                "`TSY_SERVICE_INSTANCE_ID` environment variable in the notebook and retry."
            )
        template = self.__get_base_url(metric_name)
        self.base_url = template.format(self.get_detector_url(api_client))
        self.configuration = configuration
        self.configuration_ = {}
        self.metric_name = metric_name
        self.metric_display_name = metric_display_name
        self.metric_method = metric_method
        self.metric_group = metric_group
        self.service_instance_id = self.get_service_instance_id(api_client)
        self.thresholds = thresholds
        self.detector_params = kwargs.get("detector_params", None)

    # ---- entry and transport ---------------------------------------------------------------

    def evaluate(self, data):
        return run_in_event_loop(self.evaluate_async, data=data)

    async def evaluate_async(self, data):
        try:
            json_payloads, record_ids = self.__pre_process_data(data=data)
            results = await self.__compute_metric(json_payloads)
            return self.__post_process(results, record_ids)
        except Exception as e:
            raise Exception(
                "Error while computing metrics: " + str(self.metric_name) + ". Reason: " + str(e)
            )

    def __pre_process_data(self, data):
        input_contents = data[self.configuration.input_fields[0]].to_list()
        output_contents = None
        context_contents = None
        tool_calls_content = None
        tools_catalog_content = None
        if self.metric_name in ("answer_relevance", "faithfulness"):
            output_contents = data[self.configuration.output_fields[0]].to_list()
        if self.metric_name in ("context_relevance", "faithfulness"):
            context_fields = self.configuration.context_fields
            if len(context_fields) > 1:
                context_contents = data[context_fields].values.tolist()
            elif len(context_fields) == 1:
                context_contents = data[context_fields[0]].apply(transform_str_to_list).tolist()
        if self.metric_name == "tool_call_accuracy":
            tools_catalog_content = self.get_tools_catalog_content()
            tool_calls_content = self.get_tool_calls_content(data)
        json_payloads = self.__get_json_payloads(
            input_contents, output_contents, context_contents, tools_catalog_content, tool_calls_content
        )
        record_ids = data[self.configuration.record_id_field].to_list()
        return json_payloads, record_ids

    async def send_with_retries(self, payload, session):
        for attempt in range(self.RETRY_COUNT):
            try:
                async with session.post(
                    url=self.base_url, headers=self.__get_headers(), data=payload, ssl=self.verify
                ) as response:
                    response_status = response.status
                    response_text = await response.text()
                    if response_status == 200:
                        return json.loads(response_text)
                    if response_status in self.RETRY_AFTER_STATUS_CODES and attempt < self.RETRY_COUNT - 1:
                        await asyncio.sleep(self.BACK_OFF_FACTOR * 2**attempt)
                        continue
                    return {
                        "error": Error(
                            code=str(response_status), message_en=str(json.loads(response_text))
                        )
                    }
            except Exception as e:
                return {"error": Error(code="REQUEST_FAILED", message_en=str(e))}
        return None

    async def _compute_metric(self, api_payloads):
        async with aiohttp.ClientSession() as session:
            tasks = [self.send_with_retries(payload, session) for payload in api_payloads]
            responses = await asyncio.gather(*tasks, return_exceptions=True)
        return responses

    def __compute_metric(self, api_payloads):
        _check("api_payloads", api_payloads, list)
        return self._compute_metric(api_payloads)

    # ---- results -----------------------------------------------------------------------------

    def __get_additional_info(self, results):
        evidences = []
        if self.metric_name in RAG_EVIDENCE_METRICS:
            for detection in results:
                evidences.append(detection["evidence"][0])
        else:
            for detection in results:
                evidences.append(
                    {
                        "text": detection["text"],
                        "score": detection["score"],
                        "start": detection["start"],
                        "end": detection["end"],
                    }
                )
        return evidences

    def __post_process(self, results, record_ids):
        _check("results", results, list)
        _check("record_ids", record_ids, list)
        record_level_metrics = []
        values = []
        errors = []
        for result, record_id in zip(results, record_ids):
            if self.metric_name == "keyword":
                name = "keyword_detection"
            elif self.metric_name == "regex":
                name = "regex_detection"
            else:
                name = self.metric_name
            fields = {
                "name": name,
                "display_name": self.metric_display_name,
                "method": self.metric_method,
                "provider": EvaluationProvider.DETECTORS.value,
                "group": self.metric_group,
                "record_id": record_id,
                "thresholds": self.thresholds,
            }
            if "error" in result:
                error = result["error"]
                record_level_metrics.append(
                    RecordMetricResult(
                        **fields,
                        value=None,
                        errors=[Error(code=error.code, message_en=str(error.message_en))],
                    )
                )
                errors.append(Error(code=error.code, message_en=str(error.message_en)))
                continue
            value = 0
            detections = result["detections"]
            if len(detections) > 0:
                highest = max([detection["score"] for detection in detections])
                value = round(1 - highest if self.metric_name in ACCURACY_METRICS else highest, 4)
            elif self.metric_name in ACCURACY_METRICS:
                value = 1
            evidences = None
            if self.metric_name in EVIDENCES or (
                self.metric_name in RAG_EVIDENCE_METRICS and self.metric_method in RAG_SMALL_MODELS
            ):
                evidences = self.__get_additional_info(result["detections"])
            if evidences:
                record_level_metrics.append(RecordMetricResult(**fields, value=value, evidences=evidences))
            else:
                record_level_metrics.append(RecordMetricResult(**fields, value=value))
            values.append(value)

        if values:
            extra = {}
            mean = round(sum(values) / len(values), 4)
            low, high, value = min(values), max(values), mean
        else:
            extra = {"errors": errors}
            low = high = mean = None
            value = "Error"
        return AggregateMetricResult(
            name=self.metric_name,
            display_name=self.metric_display_name,
            method=self.metric_method,
            group=self.metric_group,
            provider=EvaluationProvider.DETECTORS.value,
            value=value,
            total_records=len(results),
            record_level_metrics=record_level_metrics,
            min=low,
            max=high,
            mean=mean,
            thresholds=self.thresholds,
            **extra,
        )

    # ---- bodies --------------------------------------------------------------------------------

    def __get_json_payloads(
        self, input_contents, output_contents, context_contents, tools_catalog_content, tool_calls_content
    ):
        _check("input_contents", input_contents, list)
        _check("output_contents", output_contents, list, none_allowed=True)
        _check("context_contents", context_contents, list, none_allowed=True)
        _check("tools_catalog_content", tools_catalog_content, list, none_allowed=True)
        _check("tool_calls_content", tool_calls_content, list, none_allowed=True)
        payloads = []
        key = self.set_metric_name(self.metric_name)
        if self.metric_name == "answer_relevance":
            for prompt, generated in zip(input_contents, output_contents):
                body = {"detectors": {key: self.detector_params or {}}}
                body["prompt"] = prompt
                body["generated_text"] = generated
                payloads.append(json.dumps(body))
        elif self.metric_name == "context_relevance":
            for text, contexts in zip(input_contents, context_contents):
                body = {"detectors": {key: self.detector_params or {}}}
                body["input"] = text
                body["context_type"] = "docs"
                body["context"] = contexts
                payloads.append(json.dumps(body))
        elif self.metric_name == "faithfulness":
            for text, contexts in zip(output_contents, context_contents):
                body = {"detectors": {key: self.detector_params or {}}}
                body["input"] = text
                body["context_type"] = "docs"
                body["context"] = contexts
                payloads.append(json.dumps(body))
        elif self.metric_name == "tool_call_accuracy":
            for text, tool_calls in zip(input_contents, tool_calls_content):
                body = {"detectors": {key: self.detector_params or {}}}
                body["messages"] = [
                    {"content": text, "role": "user"},
                    {"tool_calls": tool_calls, "role": "assistant"},
                ]
                body["tools"] = tools_catalog_content
                payloads.append(json.dumps(body))
        else:
            for text in input_contents:
                body = {"detectors": {key: self.detector_params or {}}}
                body["input"] = text
                payloads.append(json.dumps(body))
        return payloads

    # ---- addressing ----------------------------------------------------------------------------

    def __get_headers(self):
        return {
            "Content-Type": "application/json",
            "Authorization": "Bearer " + str(get_authenticator_token(self.vexmon_client.authenticator)),
            "x-governance-instance-id": self.service_instance_id,
            "origin": "sdk",
        }

    def get_detector_url(self, api_client):
        self.vexmon_client = api_client.vexmon_client
        self.verify = not api_client.credentials.disable_ssl
        if api_client.credentials.version:
            return api_client.credentials.url
        from tessaly.utils.endpoint_table import VEXMON_ENDPOINT_TABLE

        return VEXMON_ENDPOINT_TABLE.get(api_client.credentials.url).rivet_url

    def get_service_instance_id(self, api_client):
        self.vexmon_client = api_client.vexmon_client
        return self.vexmon_client.service_instance_id

    def set_metric_name(self, metric_name):
        if self.metric_name == "prompt_safety_risk" and self.metric_method == "stonewatch":
            metric_name = "harm"
        if metric_name in StonewatchRisks.values():
            return "stonewatch"
        return metric_name

    def __get_base_url(self, metric_name):
        if metric_name == "answer_relevance":
            return "{}/ml/v1/text/detection/generated?version=2023-10-25"
        if metric_name == "context_relevance" or metric_name == "faithfulness":
            return "{}/ml/v1/text/detection/context?version=2023-10-25"
        if metric_name == "tool_call_accuracy":
            return "{}/ml/v1/text/detection/chat?version=2023-10-25"
        return "{}/ml/v1/text/detection?version=2023-10-25"

    # ---- tool calls ------------------------------------------------------------------------------

    def get_tool_calls_content(self, data):
        result = []
        field = self.configuration.tool_calls_field
        if not field:
            return result
        data[field] = data[field].apply(_decode_text_cell)
        for _, row in data.iterrows():
            tool_calls = ToolCallMetricProvider.extract_tool_calls_from_response(row[field])
            for tool_call in tool_calls:
                if isinstance(tool_call["function"]["arguments"], str):
                    tool_call["function"]["arguments"] = json.loads(tool_call["function"]["arguments"])
            result.append(tool_calls)
        return result

    def get_tools_catalog_content(self):
        tools = self.configuration.tools
        if isinstance(tools, list) and all(callable(tool) for tool in tools):
            return [
                schema.model_dump()
                for schema in ToolCallMetricProvider.get_tools_list_schema(self.configuration.tools)
            ]
        return self.configuration.tools


# __compute_metric checks its argument at the call and returns the coroutine object; it
# still reports as a coroutine function.
inspect.markcoroutinefunction(ScreeningProvider._ScreeningProvider__compute_metric)
