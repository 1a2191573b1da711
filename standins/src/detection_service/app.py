"""The web application of the local detection service.

Four POST endpoints, each taking the query parameter ``version`` (a date not before
2023-10-25) and a JSON body that names its detectors in ``detectors``:

- ``/ml/v1/text/detection``: content detectors over ``input``.
- ``/ml/v1/text/detection/generated``: answer relevance of ``generated_text`` to ``prompt``.
- ``/ml/v1/text/detection/context``: context relevance and faithfulness of ``input``
  against the ``context`` list.
- ``/ml/v1/text/detection/chat``: tool-call accuracy of the ``messages`` against ``tools``.

Every answer is JSON: ``{"detections": [...]}`` on success, otherwise
``{"errors": [{"code": ..., "message": ...}], "status_code": N}``. Requests need
``Authorization: Bearer <token>`` (401 otherwise) and an ``x-governance-instance-id``
header (403 otherwise).

The application also records what it receives and can be told, per path, how to
answer the next requests (``ServiceState.script``), or how to answer every request whose body
holds a text (``ServiceState.script_where``), for tests of clients.
"""

from __future__ import annotations

import asyncio
import datetime as _dt
import http
import json
import re
import threading
import time
from collections import deque
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlsplit

from aiohttp import web
from multidict import CIMultiDict

from detection_service import detectors as d

DETECTION_PATH = "/ml/v1/text/detection"
GENERATED_PATH = "/ml/v1/text/detection/generated"
CONTEXT_PATH = "/ml/v1/text/detection/context"
CHAT_PATH = "/ml/v1/text/detection/chat"
PATHS = (DETECTION_PATH, GENERATED_PATH, CONTEXT_PATH, CHAT_PATH)

API_VERSION = "2023-10-25"
MAX_BODY_BYTES = 16 * 1024 * 1024


# --------------------------------------------------------------------------
# Errors
# --------------------------------------------------------------------------


class ServiceError(Exception):
    """A request the service refuses, with its status and error code."""

    def __init__(self, status: int, code: str, message: str):
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message


def _bad(code: str, message: str) -> ServiceError:
    return ServiceError(400, code, message)


def error_body(status: int, code: str, message: str) -> dict:
    return {"errors": [{"code": code, "message": message}], "status_code": status}


def error_response(status: int, code: str, message: str, headers: Mapping[str, str] | None = None) -> web.Response:
    return web.json_response(error_body(status, code, message), status=status, headers=headers)


def _status_code_name(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase.lower().replace(" ", "_").replace("-", "_")
    except ValueError:
        return f"status_{status}"


# --------------------------------------------------------------------------
# Recording and scripting
# --------------------------------------------------------------------------


@dataclass
class RecordedRequest:
    """One request as the service received it.

    ``arrived`` and ``completed`` are ``time.monotonic()`` readings; ``completed``
    and ``status`` stay None while the request is in flight, and ``status`` stays
    None for a connection dropped on purpose.
    """

    method: str
    path: str
    query: dict[str, str]
    headers: CIMultiDict
    body: str
    arrived: float
    completed: float | None = None
    status: int | None = None
    scripted: Any = None  # the script entry that decided the answer, if any

    def header(self, name: str) -> str | None:
        return self.headers.get(name)

    def json(self) -> Any:
        return json.loads(self.body)

    @property
    def duration(self) -> float | None:
        return None if self.completed is None else self.completed - self.arrived


@dataclass(frozen=True)
class _Step:
    kind: str  # "pass", "status", "drop", "delay", "raw", "json"
    status: int = 200
    seconds: float = 0.0
    body: Any = None
    content_type: str = "text/plain"
    then: "_Step | None" = None
    entry: Any = None


def _check_status(status: Any, entry: Any) -> int:
    if isinstance(status, bool) or not isinstance(status, int) or not 100 <= status <= 599:
        raise ValueError(f"script entry {entry!r}: the status must be an integer from 100 to 599")
    return status


def _step(entry: Any) -> _Step:
    """Check one script entry and turn it into a step."""
    if isinstance(entry, int) and not isinstance(entry, bool):
        status = _check_status(entry, entry)
        return _Step("pass" if status == 200 else "status", status=status, entry=entry)
    if entry == "drop":
        return _Step("drop", entry=entry)
    if isinstance(entry, tuple) and entry and isinstance(entry[0], str):
        kind, rest = entry[0], entry[1:]
        if kind == "delay" and len(rest) in (1, 2):
            seconds = rest[0]
            if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 <= seconds <= 3600:
                raise ValueError(f"script entry {entry!r}: the delay must be a number of seconds from 0 to 3600")
            then = _step(rest[1]) if len(rest) == 2 else _Step("pass")
            return _Step("delay", seconds=float(seconds), then=then, entry=entry)
        if kind == "raw" and len(rest) in (2, 3):
            status = _check_status(rest[0], entry)
            if not isinstance(rest[1], (str, bytes)):
                raise ValueError(f"script entry {entry!r}: the raw body must be a str or bytes")
            content_type = rest[2] if len(rest) == 3 else "text/plain"
            if not isinstance(content_type, str):
                raise ValueError(f"script entry {entry!r}: the content type must be a str")
            return _Step("raw", status=status, body=rest[1], content_type=content_type, entry=entry)
        if kind == "json" and len(rest) == 2:
            status = _check_status(rest[0], entry)
            try:
                json.dumps(rest[1])
            except (TypeError, ValueError) as exc:
                raise ValueError(f"script entry {entry!r}: the body cannot be written as JSON: {exc}") from None
            return _Step("json", status=status, body=rest[1], entry=entry)
    raise ValueError(
        f"unknown script entry {entry!r}; expected a status (int), 'drop', ('delay', seconds[, entry]), "
        "('raw', status, text[, content_type]) or ('json', status, value)"
    )


def _script_key(path: str | None) -> str | None:
    if path is None or path == "*":
        return None
    if not isinstance(path, str):
        raise TypeError(f"path must be a str or None, got {type(path).__name__}")
    if "://" in path:
        path = urlsplit(path).path
    if not path.startswith("/"):
        raise ValueError(f"path must start with '/', got {path!r}")
    return path.rstrip("/") or "/"


class ServiceState:
    """Settings, script and records of one running service; safe to use from any thread."""

    def __init__(self, tokens: Iterable[str] | str | None = None, instance_id: Iterable[str] | str | None = None):
        self._lock = threading.Lock()
        self.tokens = tokens
        self.instance_id = instance_id
        self._scripts: dict[str | None, deque[_Step]] = {}
        self._where: list[tuple[str, _Step]] = []  # script_where
        self._requests: list[RecordedRequest] = []
        self._in_flight = 0
        self._max_in_flight = 0
        self.stopping: asyncio.Event | None = None  # set by the server when it shuts down

    # Accepted credentials. None accepts any non-empty value.
    @property
    def tokens(self) -> frozenset[str] | None:
        return self._tokens

    @tokens.setter
    def tokens(self, value: Iterable[str] | str | None) -> None:
        self._tokens = _string_set(value, "tokens")

    @property
    def instance_id(self) -> frozenset[str] | None:
        return self._instance_ids

    @instance_id.setter
    def instance_id(self, value: Iterable[str] | str | None) -> None:
        self._instance_ids = _string_set(value, "instance_id")

    def script(self, path: str | None, entries: Iterable[Any]) -> None:
        """Decide the answers to the next requests for ``path`` (None or "*": any path).

        Entries are used one per request, in order, after those already queued; a
        request takes from its own path's queue first, then from the any-path queue,
        and is served normally once both are empty. Entries:

        - ``200``: serve normally; another status: a JSON error body with that status;
        - ``"drop"``: close the connection without answering;
        - ``("delay", seconds)`` or ``("delay", seconds, entry)``: wait, then serve
          normally or as ``entry`` says;
        - ``("raw", status, text[, content_type])``: exactly this body;
        - ``("json", status, value)``: ``value`` written as JSON.
        """
        key = _script_key(path)
        if isinstance(entries, (str, bytes, tuple)) or not isinstance(entries, Iterable):
            raise TypeError("entries must be a list of script entries")
        steps = [_step(entry) for entry in entries]
        with self._lock:
            self._scripts.setdefault(key, deque()).extend(steps)

    def script_where(self, text: str, entry: Any) -> None:
        """Answer every request whose body holds ``text`` as the script entry ``entry`` says
        (a status, ``("delay", seconds)``, ...; see ``script``), before any queued entry, until
        ``clear()``: a service that fails or keeps waiting some records and not others,
        whatever order their requests arrive in."""
        if not isinstance(text, str) or not text:
            raise ValueError("text must be a non-empty str")
        step = _step(entry)
        with self._lock:
            self._where.append((text, step))

    def script_remaining(self, path: str | None = ...) -> int:
        """Entries not used yet: of one path's queue (None: the any-path queue), or all."""
        with self._lock:
            if path is ...:
                return sum(len(q) for q in self._scripts.values())
            return len(self._scripts.get(_script_key(path), ()))

    def _next_step(self, path: str, body: str = "") -> _Step | None:
        with self._lock:
            for text, step in self._where:
                if text in body:
                    return step
            for key in (path.rstrip("/") or "/", None):
                queue = self._scripts.get(key)
                if queue:
                    return queue.popleft()
        return None

    @property
    def requests(self) -> list[RecordedRequest]:
        """The requests received so far, in order of arrival (a copy of the list)."""
        with self._lock:
            return list(self._requests)

    def posts(self, path: str | None = None) -> list[RecordedRequest]:
        """The POST requests received so far, of one path or of all."""
        key = None if path is None else _script_key(path)
        return [r for r in self.requests if r.method == "POST" and (key is None or r.path == key)]

    @property
    def in_flight(self) -> int:
        with self._lock:
            return self._in_flight

    @property
    def max_in_flight(self) -> int:
        """The largest number of requests that were being served at the same time."""
        with self._lock:
            return self._max_in_flight

    def clear(self) -> None:
        """Forget the records, the unused script entries, those of script_where and the in-flight
        high-water mark."""
        with self._lock:
            self._requests.clear()
            self._scripts.clear()
            self._where.clear()
            self._max_in_flight = self._in_flight

    def _arrive(self, record: RecordedRequest) -> None:
        with self._lock:
            self._requests.append(record)
            self._in_flight += 1
            self._max_in_flight = max(self._max_in_flight, self._in_flight)

    def _complete(self, record: RecordedRequest, status: int | None) -> None:
        with self._lock:
            record.completed = time.monotonic()
            record.status = status
            self._in_flight -= 1


def _string_set(value: Iterable[str] | str | None, name: str) -> frozenset[str] | None:
    if value is None:
        return None
    values = [value] if isinstance(value, str) else list(value)
    if not values or any(not isinstance(v, str) or not v.strip() for v in values):
        raise ValueError(f"{name} must be None, a non-empty text or a non-empty list of non-empty texts")
    return frozenset(values)


STATE = web.AppKey("state", ServiceState)


# --------------------------------------------------------------------------
# Request checks
# --------------------------------------------------------------------------


def _check_credentials(request: web.Request, state: ServiceState) -> web.Response | None:
    scheme, _, token = request.headers.get("Authorization", "").strip().partition(" ")
    token = token.strip()
    challenge = {"WWW-Authenticate": 'Bearer realm="detection"'}
    if scheme.lower() != "bearer" or not token:
        return error_response(401, "authentication_token_missing",
                              "The request needs an 'Authorization: Bearer <token>' header.", challenge)
    if state.tokens is not None and token not in state.tokens:
        return error_response(401, "authentication_token_not_valid", "The bearer token is not valid.", challenge)
    instance_id = request.headers.get("x-governance-instance-id", "").strip()
    if not instance_id:
        return error_response(403, "instance_id_missing",
                              "The request needs an 'x-governance-instance-id' header.")
    if state.instance_id is not None and instance_id not in state.instance_id:
        return error_response(403, "instance_not_entitled",
                              f"The token is not entitled to the service instance {instance_id!r}.")
    return None


def _check_version(request: web.Request) -> None:
    version = request.query.get("version")
    if version is None:
        raise _bad("missing_version", f"The query parameter 'version' is required (e.g. version={API_VERSION}).")
    try:
        date = _dt.date.fromisoformat(version) if re.fullmatch(r"\d{4}-\d{2}-\d{2}", version) else None
    except ValueError:
        date = None
    if date is None:
        raise _bad("invalid_version", f"The version {version!r} is not a date of the form YYYY-MM-DD.")
    if date < _dt.date.fromisoformat(API_VERSION):
        raise _bad("unsupported_version", f"The version {version!r} is older than the oldest supported, {API_VERSION}.")


def _parse_body(raw: bytes, content_type: str) -> dict:
    if content_type != "application/json":
        raise ServiceError(415, "unsupported_media_type",
                           f"The body must be sent as application/json, not {content_type or 'nothing'}.")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise _bad("json_parse_error", f"The body is not UTF-8 text: {exc}.") from None
    try:
        body = json.loads(text)
    except ValueError as exc:
        raise _bad("json_parse_error", f"The body is not valid JSON: {exc}.") from None
    if not isinstance(body, dict):
        raise _bad("json_validation_error", "The body must be a JSON object.")
    return body


def _text(body: Mapping, member: str) -> str:
    if member not in body:
        raise _bad("json_validation_error", f"The member '{member}' is required.")
    value = body[member]
    if not isinstance(value, str):
        raise _bad("json_validation_error", f"The member '{member}' must be a text, got {_json_kind(value)}.")
    return value


def _json_kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a text"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _only_members(body: Mapping, allowed: Iterable[str], where: str = "the body") -> None:
    unknown = [k for k in body if k not in allowed]
    if unknown:
        raise _bad("json_validation_error",
                   f"Unexpected member(s) in {where}: {', '.join(map(repr, unknown))}; allowed: {', '.join(allowed)}.")


def _number_0_1(params: Mapping, name: str, detector: str) -> float:
    value = params.get(name, 0.0)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= 1:
        raise _bad("invalid_detector_params", f"The parameter '{name}' of '{detector}' must be a number from 0 to 1.")
    return float(value)


def _text_list(params: Mapping, name: str, detector: str) -> list[str]:
    if name not in params:
        raise _bad("invalid_detector_params", f"The detector '{detector}' needs the parameter '{name}'.")
    values = params[name]
    if not isinstance(values, list) or not values or any(not isinstance(v, str) or not v.strip() for v in values):
        raise _bad("invalid_detector_params",
                   f"The parameter '{name}' of '{detector}' must be a non-empty list of non-empty texts.")
    return values


# Parameters each detector takes; None for "none at all".
_PARAMS: dict[str, tuple[str, ...]] = {
    "hap": ("threshold",),
    "pii": ("entities",),
    "keyword": ("keywords", "case_sensitive"),
    "regex": ("regex",),
    "stonewatch": ("risk_name", "threshold"),
    "topic_relevance": ("system_prompt",),
    "answer_relevance": (),
    "context_relevance": (),
    "faithfulness": (),
    "tool_call_accuracy": (),
}

_ENDPOINT_DETECTORS: dict[str, tuple[str, ...]] = {
    DETECTION_PATH: ("hap", "pii", "keyword", "regex", "stonewatch", "topic_relevance"),
    GENERATED_PATH: ("answer_relevance",),
    CONTEXT_PATH: ("context_relevance", "faithfulness"),
    CHAT_PATH: ("tool_call_accuracy",),
}

_ENDPOINT_MEMBERS: dict[str, tuple[str, ...]] = {
    DETECTION_PATH: ("detectors", "input"),
    GENERATED_PATH: ("detectors", "prompt", "generated_text"),
    CONTEXT_PATH: ("detectors", "input", "context_type", "context"),
    CHAT_PATH: ("detectors", "messages", "tools"),
}


def _detectors(body: Mapping, path: str) -> list[tuple[str, dict]]:
    if "detectors" not in body:
        raise _bad("json_validation_error", "The member 'detectors' is required.")
    detectors = body["detectors"]
    if not isinstance(detectors, dict) or not detectors:
        raise _bad("json_validation_error", "The member 'detectors' must be a non-empty object.")
    allowed = _ENDPOINT_DETECTORS[path]
    chosen = []
    for name, params in detectors.items():
        if name not in allowed:
            known = "" if name not in _PARAMS else " at this endpoint"
            raise _bad("invalid_detector",
                       f"Unknown detector {name!r}{known}; this endpoint serves: {', '.join(allowed)}.")
        if params is None:
            params = {}
        if not isinstance(params, dict):
            raise _bad("invalid_detector_params", f"The parameters of '{name}' must be an object.")
        _only_members(params, _PARAMS[name], f"the parameters of '{name}'")
        chosen.append((name, params))
    return chosen


# --------------------------------------------------------------------------
# Detection per endpoint
# --------------------------------------------------------------------------


def _content_detections(name: str, params: dict, text: str) -> list[dict]:
    if name == "hap":
        return d.detect_hap(text, _number_0_1(params, "threshold", name))
    if name == "pii":
        entities = params.get("entities")
        if entities is not None:
            entities = _text_list(params, "entities", name)
            unknown = [e for e in entities if e not in d.PII_ENTITIES]
            if unknown:
                raise _bad("invalid_detector_params",
                           f"Unknown PII entities {unknown}; known: {', '.join(d.PII_ENTITIES)}.")
        return d.detect_pii(text, entities)
    if name == "keyword":
        case_sensitive = params.get("case_sensitive", False)
        if not isinstance(case_sensitive, bool):
            raise _bad("invalid_detector_params", "The parameter 'case_sensitive' of 'keyword' must be a boolean.")
        return d.detect_keywords(text, _text_list(params, "keywords", name), case_sensitive)
    if name == "regex":
        patterns = []
        for source in _text_list(params, "regex", name):
            try:
                patterns.append(re.compile(source))
            except re.error as exc:
                raise _bad("invalid_detector_params", f"The regular expression {source!r} is not valid: {exc}.") from None
        return d.detect_regex(text, patterns)
    if name == "stonewatch":
        risk = params.get("risk_name", d.DEFAULT_RISK)
        risks = d.risk_names()
        if risk not in risks:
            raise _bad("invalid_detector_params", f"Unknown risk {risk!r}; known: {', '.join(risks)}.")
        return d.detect_risk(text, risk, _number_0_1(params, "threshold", name))
    if name == "topic_relevance":
        if "system_prompt" not in params:
            raise _bad("invalid_detector_params", "The detector 'topic_relevance' needs the parameter 'system_prompt'.")
        prompt = params["system_prompt"]
        if not isinstance(prompt, str) or not prompt.strip():
            raise _bad("invalid_detector_params",
                       "The parameter 'system_prompt' of 'topic_relevance' must be a non-empty text.")
        return d.topic_relevance(text, prompt)
    raise AssertionError(name)  # pragma: no cover - _detectors admits nothing else


def _detect_content(body: dict) -> list[dict]:
    chosen = _detectors(body, DETECTION_PATH)
    text = _text(body, "input")
    found = []
    for name, params in chosen:
        found.extend(_content_detections(name, params, text))
    return found


def _detect_generated(body: dict) -> list[dict]:
    _detectors(body, GENERATED_PATH)
    return d.answer_relevance(_text(body, "prompt"), _text(body, "generated_text"))


def _detect_context(body: dict) -> list[dict]:
    chosen = _detectors(body, CONTEXT_PATH)
    text = _text(body, "input")
    if body.get("context_type") != "docs":
        raise _bad("json_validation_error", "The member 'context_type' is required and must be \"docs\".")
    contexts = body.get("context")
    if not isinstance(contexts, list) or any(not isinstance(c, str) for c in contexts):
        raise _bad("json_validation_error", "The member 'context' is required and must be a list of texts.")
    found = []
    for name, _ in chosen:
        if name == "context_relevance":
            found.extend(d.context_relevance(text, contexts))
        else:
            found.extend(d.faithfulness(text, contexts))
    return found


def _catalogue(tools: Any) -> dict[str, Mapping]:
    if tools is None:
        return {}
    if not isinstance(tools, list):
        raise _bad("json_validation_error", f"The member 'tools' must be a list or null, got {_json_kind(tools)}.")
    catalogue = {}
    for index, tool in enumerate(tools):
        if not isinstance(tool, dict):
            raise _bad("json_validation_error", f"tools[{index}] must be an object.")
        name, parameters = d.tool_definition(tool)
        if not isinstance(name, str) or not name:
            raise _bad("json_validation_error", f"tools[{index}] has no function name.")
        catalogue[name] = parameters
    return catalogue


def _detect_chat(body: dict) -> list[dict]:
    _detectors(body, CHAT_PATH)
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        raise _bad("json_validation_error", "The member 'messages' is required and must be a non-empty list.")
    catalogue = _catalogue(body.get("tools"))
    calls = []
    for index, message in enumerate(messages):
        if not isinstance(message, dict):
            raise _bad("json_validation_error", f"messages[{index}] must be an object.")
        role = message.get("role")
        if role not in ("system", "user", "assistant", "tool"):
            raise _bad("json_validation_error",
                       f"messages[{index}].role must be one of system, user, assistant, tool; got {role!r}.")
        content = message.get("content")
        if content is not None and not isinstance(content, str):
            raise _bad("json_validation_error", f"messages[{index}].content must be a text or null.")
        tool_calls = message.get("tool_calls")
        if tool_calls is None:
            continue
        if role != "assistant" or not isinstance(tool_calls, list):
            raise _bad("json_validation_error", f"messages[{index}].tool_calls must be a list on an assistant message.")
        for position, call in enumerate(tool_calls):
            if not isinstance(call, dict):
                raise _bad("json_validation_error", f"messages[{index}].tool_calls[{position}] must be an object.")
        calls.extend(tool_calls)
    return d.check_tool_calls(calls, catalogue)


_HANDLERS = {
    DETECTION_PATH: _detect_content,
    GENERATED_PATH: _detect_generated,
    CONTEXT_PATH: _detect_context,
    CHAT_PATH: _detect_chat,
}


async def detect(request: web.Request) -> web.Response:
    state = request.app[STATE]
    refused = _check_credentials(request, state)
    if refused is not None:
        return refused
    try:
        _check_version(request)
        raw = await request.read()
        body = _parse_body(raw, request.content_type)
        path = request.match_info.route.resource.canonical
        _only_members(body, _ENDPOINT_MEMBERS[path])
        detections = _HANDLERS[path](body)
    except ServiceError as exc:
        return error_response(exc.status, exc.code, exc.message)
    return web.json_response({"detections": detections})


# --------------------------------------------------------------------------
# Middleware: records, script, JSON errors
# --------------------------------------------------------------------------


class _Dropped(Exception):
    pass


async def _wait(state: ServiceState, seconds: float) -> None:
    if state.stopping is None:
        await asyncio.sleep(seconds)
        return
    try:
        await asyncio.wait_for(state.stopping.wait(), seconds)
    except TimeoutError:
        return
    raise web.HTTPServiceUnavailable()  # shutting down


async def _scripted(request: web.Request, step: _Step, handler) -> web.StreamResponse:
    state = request.app[STATE]
    if step.kind == "delay":
        await _wait(state, step.seconds)
        return await _scripted(request, step.then, handler)
    if step.kind == "pass":
        return await handler(request)
    if step.kind == "status":
        return error_response(step.status, _status_code_name(step.status),
                              f"The service answered {step.status} as scripted.")
    if step.kind == "raw":
        body = step.body.encode("utf-8") if isinstance(step.body, str) else step.body
        return web.Response(status=step.status, body=body, headers={"Content-Type": step.content_type})
    if step.kind == "json":
        return web.Response(status=step.status, text=json.dumps(step.body), content_type="application/json")
    # "drop": close the connection without a status line.
    transport = request.transport
    if transport is not None:
        transport.abort()
    raise _Dropped()


@web.middleware
async def _service_middleware(request: web.Request, handler) -> web.StreamResponse:
    state = request.app[STATE]
    try:
        raw = await request.read()
    except web.HTTPRequestEntityTooLarge:
        raw = b""
        too_large = True
    else:
        too_large = False
    record = RecordedRequest(
        method=request.method,
        path=request.path,
        query=dict(request.query),
        headers=CIMultiDict(request.headers),
        body=raw.decode("utf-8", errors="replace"),
        arrived=time.monotonic(),
    )
    state._arrive(record)
    status = None
    step = None
    try:
        if too_large:
            response = error_response(413, "request_entity_too_large",
                                      f"The body is larger than {MAX_BODY_BYTES} bytes.")
        else:
            step = state._next_step(request.path, record.body)
            if step is not None:
                record.scripted = step.entry
            try:
                response = await (_scripted(request, step, handler) if step is not None else handler(request))
            except web.HTTPException as exc:
                code = _status_code_name(exc.status)
                response = error_response(exc.status, code, exc.reason or code, headers=_allow_header(exc))
        status = response.status
        return response
    except _Dropped:
        raise asyncio.CancelledError() from None
    finally:
        state._complete(record, status)


def _allow_header(exc: web.HTTPException) -> dict[str, str] | None:
    allow = exc.headers.get("Allow")
    return {"Allow": allow} if allow else None


def create_app(state: ServiceState | None = None) -> web.Application:
    """The detection service as an aiohttp application, with its state under ``STATE``."""
    app = web.Application(middlewares=[_service_middleware], client_max_size=MAX_BODY_BYTES)
    app[STATE] = state if state is not None else ServiceState()
    for path in PATHS:
        app.router.add_post(path, detect)
    return app
