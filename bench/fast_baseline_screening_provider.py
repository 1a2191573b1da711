"""Plain-Python detection provider written for speed: the fast baseline of
bench/bench_screening_provider.py.

The same steps and results as the native provider, from the constructor and helpers of
``baseline_screening_provider`` (the literal form, which this class inherits), written the
way idiomatic Python would write them for speed:

- transport: the native provider's, not the literal all-at-once gather. One
  ``aiohttp.ClientSession``; each attempt of a request first takes a turn (as many turns as
  the session's connector may open connections: its ``limit``, or ``limit_per_host`` when
  smaller and set; no bound when it shows neither) and gives it back once its response is
  left, before any back-off sleep; records start lazily, as many at a time as there are
  turns plus the records sleeping in back-off. The records are served by a pool of worker
  tasks (one per record in flight, each taking the next record when its own ends and the
  bound allows, a new one spawned when a record goes to sleep), so a record waiting for its
  start is no coroutine and no task, only its body and its place in the results, and no
  task is made per record. A turn is a counter, taken inline when one is free (no coroutine
  call), else a future queued first come first served and handed over by the attempt that
  gives its turn back. The results come in record order, an exception in the place of a
  request that escaped with one, as ``asyncio.gather(..., return_exceptions=True)`` gives
  them; a cancelled run cancels the running records and ends once they have. A failed
  request whose exception has no text is named by the exception's type (``TimeoutError``).
  The headers are still built per attempt, as in the literal form; the URL, the TLS flag
  and the retry settings are read once per request;

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

import asyncio
import contextvars
import json
from collections import deque
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


# ---- transport: turns on the wire, records started as turns can serve them ---------------------------

# The queue of the evaluation a worker serves; a request finds its queue here.
_QUEUE = contextvars.ContextVar("fast_screening_request_queue", default=None)


def _turns_of(session):
    """How many requests the session can have on the wire at once: the least of its
    connector's limits that is set, or 0 (no bound) when none is or it shows no connector."""
    connector = getattr(session, "connector", None)
    if connector is None:
        return 0
    turns = 0
    for n in (connector.limit, connector.limit_per_host):
        if n and n > 0 and (not turns or n < turns):
            turns = n
    return turns


class _Queue:
    """The records of one evaluation and the turns of its session.

    ``active`` records are started and not ended, ``sleeping`` of them in back-off; a new
    record starts while ``active - sleeping < turns`` (every one at once when ``turns`` is 0).
    ``busy`` turns are taken; ``waiting`` holds the futures of attempts waiting for one."""

    __slots__ = ("send", "payloads", "session", "results", "count", "next", "active", "sleeping", "turns", "busy",
                 "waiting", "loop", "context", "workers", "finished", "drained", "stopped")

    def __init__(self, send, payloads, session, turns):
        self.send = send
        self.payloads = payloads
        self.session = session
        self.count = len(payloads)
        self.results = [None] * self.count
        self.next = self.active = self.sleeping = self.busy = 0
        self.turns = turns
        self.waiting = deque()
        self.loop = asyncio.get_running_loop()
        self.context = contextvars.copy_context()
        self.context.run(_QUEUE.set, self)
        self.workers = set()
        self.finished = self.loop.create_future()
        self.drained = None
        self.stopped = False

    def fill(self):
        """Starts records while the bound allows, each on a worker of its own."""
        turns = self.turns
        while not self.stopped and self.next < self.count and (not turns or self.active - self.sleeping < turns):
            i = self.next
            self.next = i + 1
            self.active += 1
            task = self.loop.create_task(self.work(i), context=self.context)
            task.add_done_callback(self.worker_done)
            self.workers.add(task)

    async def work(self, i):
        """Serves record i, then the next ones while the bound allows (its own record counts
        among the active ones until its done callback has run)."""
        send = self.send
        payloads = self.payloads
        session = self.session
        results = self.results
        count = self.count
        turns = self.turns
        while True:
            try:
                results[i] = await send(payloads[i], session)
            except Exception as e:  # noqa: BLE001  (its place in the results, as gather gives it)
                results[i] = e
            except asyncio.CancelledError as e:
                if self.stopped:
                    raise
                results[i] = e  # the request's own cancellation, not the run's
            i = self.next
            if self.stopped or i == count or (turns and self.active - 1 - self.sleeping >= turns):
                return
            self.next = i + 1

    def worker_done(self, task):
        """A worker ended (or was cancelled before its first step): its record has ended."""
        self.workers.discard(task)
        self.active -= 1
        if self.stopped:
            if not self.active and self.drained is not None and not self.drained.done():
                self.drained.set_result(None)
            return
        if not task.cancelled() and task.exception() is not None:
            self.stopped = True
            if not self.finished.done():
                self.finished.set_exception(task.exception())
            return
        self.fill()
        if not self.active and self.next == self.count and not self.finished.done():
            self.finished.set_result(self.results)

    async def wait_turn(self):
        """Waits until a turn is handed over; an attempt cancelled first takes none."""
        handing = self.loop.create_future()
        self.waiting.append(handing)
        try:
            await handing
        except BaseException:
            if handing.done() and not handing.cancelled():
                self.give_back()  # it had been handed one already
            else:
                handing.cancel()
                try:
                    self.waiting.remove(handing)
                except ValueError:
                    pass
            raise

    def give_back(self):
        """Hands the turn to the first attempt still waiting, or frees it."""
        waiting = self.waiting
        while waiting:
            handing = waiting.popleft()
            if not handing.done():
                handing.set_result(None)
                return
        self.busy -= 1

    async def run(self):
        """The results in record order; on cancellation, nothing more starts, the running
        records are cancelled and the error goes on once they have ended."""
        if not self.count:
            return self.results
        self.fill()
        try:
            return await self.finished
        except BaseException as error:
            self.stopped = True
            if self.active:
                self.drained = self.loop.create_future()
                for task in list(self.workers):
                    task.cancel()
                if not isinstance(error, GeneratorExit):
                    try:
                        await self.drained
                    except asyncio.CancelledError:
                        pass
            raise


class ScreeningProvider(literal.ScreeningProvider):
    async def send_with_retries(self, payload, session):
        queue = _QUEUE.get()
        if queue is not None and (queue.session is not session or not queue.turns):
            queue = None  # a session of the caller's own, or no bound: no turns to take
        url = self.base_url
        verify = self.verify
        retry_codes = self.RETRY_AFTER_STATUS_CODES
        last = self.RETRY_COUNT - 1
        loads = json.loads
        for attempt in range(self.RETRY_COUNT):
            if queue is not None:
                if queue.busy < queue.turns and not queue.waiting:
                    queue.busy += 1
                else:
                    await queue.wait_turn()
            try:
                try:
                    async with session.post(
                        url=url, headers=self._ScreeningProvider__get_headers(), data=payload, ssl=verify
                    ) as response:
                        status = response.status
                        text = await response.text()
                finally:
                    if queue is not None:
                        queue.give_back()
                if status == 200:
                    return loads(text)
                if not (status in retry_codes and attempt < last):
                    return {"error": Error(code=str(status), message_en=str(loads(text)))}
            except Exception as e:
                return {"error": Error(code="REQUEST_FAILED", message_en=str(e) or type(e).__name__)}
            wait = self.BACK_OFF_FACTOR * 2**attempt
            if queue is None:
                await asyncio.sleep(wait)
                continue
            queue.sleeping += 1
            queue.fill()  # the sleeper holds no turn: another record may start
            try:
                await asyncio.sleep(wait)
            finally:
                queue.sleeping -= 1
        return None

    async def _compute_metric(self, api_payloads):
        async with literal.aiohttp.ClientSession() as session:
            return await _Queue(self.send_with_retries, api_payloads, session, _turns_of(session)).run()

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
