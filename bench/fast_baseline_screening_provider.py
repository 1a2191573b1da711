"""Plain-Python detection provider written for speed: the fast baseline of
bench/bench_screening_provider.py.

The same steps and results as ``baseline_screening_provider`` (the literal form, whose
constructor, transport — one ``aiohttp.ClientSession``, ``asyncio.gather`` over
``send_with_retries``, the headers built per request — and helpers this class inherits),
written the way idiomatic Python would write them for speed:

- request bodies: the part of the JSON text that every body shares (the detector object)
  is encoded once, and each body is that part joined with its own values, each encoded by
  the same encoder ``json.dumps`` uses (strings straight through
  ``json.encoder.encode_basestring_ascii``, a list of strings joined from those), in one
  list comprehension, instead of a dict and a ``json.dumps`` call per body; a single context column is read whole with
  ``to_list()`` and mapped in a comprehension instead of ``Series.apply``;
- post-processing decides the per-metric choices (record name, accuracy inversion,
  evidences and their form) once instead of per record, passes the keywords directly
  instead of through a dict built per record, and binds the result classes locally. Every
  record still gets its own ``RecordMetricResult`` (and an error two ``Error``), as in the
  literal form.

Module globals are looked up at use, so a benchmark can swap the result classes here as in
the other implementations.
"""

import json
from json.encoder import encode_basestring_ascii

import baseline_screening_provider as literal
from baseline_screening_provider import (
    ACCURACY_METRICS,
    EVIDENCES,
    RAG_EVIDENCE_METRICS,
    RAG_SMALL_MODELS,
    _check,
)
from tessaly.entities.base_classes import Error
from tessaly.entities.enums import EvaluationProvider
from tessaly.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessaly.utils.python_utils import transform_str_to_list

_ENCODER = json.JSONEncoder()  # json.dumps's own settings: the same text for any value
_RECORD_NAMES = {"keyword": "keyword_detection", "regex": "regex_detection"}


def _encode_texts(values, encode=_ENCODER.encode, text=encode_basestring_ascii):
    """``json.dumps(values)``, spelled directly when values is a list of strings (the usual
    context), which spares the encoder's set-up per call."""
    if type(values) is list and all([type(v) is str for v in values]):
        return "[" + ", ".join([text(v) for v in values]) + "]"
    return encode(values)


class ScreeningProvider(literal.ScreeningProvider):
    def __pre_process_data(self, data):
        configuration = self.configuration
        metric_name = self.metric_name
        input_contents = data[configuration.input_fields[0]].to_list()
        output_contents = None
        context_contents = None
        tool_calls_content = None
        tools_catalog_content = None
        if metric_name in ("answer_relevance", "faithfulness"):
            output_contents = data[configuration.output_fields[0]].to_list()
        if metric_name in ("context_relevance", "faithfulness"):
            context_fields = configuration.context_fields
            if len(context_fields) > 1:
                context_contents = data[context_fields].values.tolist()
            elif len(context_fields) == 1:
                read = transform_str_to_list
                context_contents = [read(cell) for cell in data[context_fields[0]].to_list()]
        if metric_name == "tool_call_accuracy":
            tools_catalog_content = self.get_tools_catalog_content()
            tool_calls_content = self.get_tool_calls_content(data)
        json_payloads = self.__get_json_payloads(
            input_contents, output_contents, context_contents, tools_catalog_content, tool_calls_content
        )
        return json_payloads, data[configuration.record_id_field].to_list()

    def __get_json_payloads(
        self, input_contents, output_contents, context_contents, tools_catalog_content, tool_calls_content
    ):
        _check("input_contents", input_contents, list)
        _check("output_contents", output_contents, list, none_allowed=True)
        _check("context_contents", context_contents, list, none_allowed=True)
        _check("tools_catalog_content", tools_catalog_content, list, none_allowed=True)
        _check("tool_calls_content", tool_calls_content, list, none_allowed=True)
        if not input_contents:
            return []
        key = self.set_metric_name(self.metric_name)
        detectors = {key: self.detector_params or {}}
        encode = _ENCODER.encode
        text = encode_basestring_ascii
        texts = _encode_texts
        head = '{"detectors": ' + encode(detectors)
        metric_name = self.metric_name
        if metric_name == "answer_relevance":
            return [
                f'{head}, "prompt": {text(p) if type(p) is str else encode(p)}, '
                f'"generated_text": {text(g) if type(g) is str else encode(g)}}}'
                for p, g in zip(input_contents, output_contents)
            ]
        if metric_name in ("context_relevance", "faithfulness"):
            first = input_contents if metric_name == "context_relevance" else output_contents
            return [
                f'{head}, "input": {text(t) if type(t) is str else encode(t)}, '
                f'"context_type": "docs", "context": {texts(c)}}}'
                for t, c in zip(first, context_contents)
            ]
        if metric_name == "tool_call_accuracy":
            return [
                encode({
                    "detectors": detectors,
                    "messages": [{"content": t, "role": "user"}, {"tool_calls": calls, "role": "assistant"}],
                    "tools": tools_catalog_content,
                })
                for t, calls in zip(input_contents, tool_calls_content)
            ]
        return [f'{head}, "input": {text(t) if type(t) is str else encode(t)}}}' for t in input_contents]

    def __post_process(self, results, record_ids):
        _check("results", results, list)
        _check("record_ids", record_ids, list)
        metric_name = self.metric_name
        name = _RECORD_NAMES.get(metric_name, metric_name)
        display_name = self.metric_display_name
        method = self.metric_method
        group = self.metric_group
        thresholds = self.thresholds
        provider = EvaluationProvider.DETECTORS.value
        accuracy = metric_name in ACCURACY_METRICS
        with_evidences = metric_name in EVIDENCES or (
            metric_name in RAG_EVIDENCE_METRICS and method in RAG_SMALL_MODELS
        )
        first_evidence = metric_name in RAG_EVIDENCE_METRICS
        record = RecordMetricResult
        error_class = Error

        record_level_metrics = []
        add_record = record_level_metrics.append
        values = []
        add_value = values.append
        errors = []
        for result, record_id in zip(results, record_ids):
            if "error" in result:
                error = result["error"]
                code = error.code
                add_record(record(
                    name=name, display_name=display_name, method=method, provider=provider, group=group,
                    record_id=record_id, thresholds=thresholds, value=None,
                    errors=[error_class(code=code, message_en=str(error.message_en))],
                ))
                errors.append(error_class(code=code, message_en=str(error.message_en)))
                continue
            detections = result["detections"]
            if detections:
                highest = max([detection["score"] for detection in detections])
                value = round(1 - highest if accuracy else highest, 4)
            else:
                value = 1 if accuracy else 0
            if with_evidences and detections:
                if first_evidence:
                    evidences = [detection["evidence"][0] for detection in detections]
                else:
                    evidences = [
                        {"text": d["text"], "score": d["score"], "start": d["start"], "end": d["end"]}
                        for d in detections
                    ]
                add_record(record(
                    name=name, display_name=display_name, method=method, provider=provider, group=group,
                    record_id=record_id, thresholds=thresholds, value=value, evidences=evidences,
                ))
            else:
                add_record(record(
                    name=name, display_name=display_name, method=method, provider=provider, group=group,
                    record_id=record_id, thresholds=thresholds, value=value,
                ))
            add_value(value)

        if values:
            extra = {}
            mean = round(sum(values) / len(values), 4)
            low, high, value = min(values), max(values), mean
        else:
            extra = {"errors": errors}
            low = high = mean = None
            value = "Error"
        return AggregateMetricResult(
            name=metric_name,
            display_name=display_name,
            method=method,
            group=group,
            provider=provider,
            value=value,
            total_records=len(results),
            record_level_metrics=record_level_metrics,
            min=low,
            max=high,
            mean=mean,
            thresholds=thresholds,
            **extra,
        )
