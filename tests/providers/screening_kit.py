"""Test kit for the detection provider: a scriptable loopback detection service and recorders.

``DetectorServer`` is an aiohttp application on its own thread and event loop, bound to
127.0.0.1 on a free port (optionally with TLS).  It records every request exactly as it
arrived (target, raw headers in order, body bytes) and answers from a script: a queue of
replies (the last one repeated) or a function of the request.  A reply may hold the answer
back until a condition on the server's state holds (used to prove that requests overlap and
to force a completion order), close the connection without answering, or send a body that
is not JSON.

The recorders replace module globals of ``screening_provider`` that the module looks up at
use: ``asyncio`` (to record back-off waits without waiting) and ``aiohttp`` (to watch the
client session and every post made on it).
"""

from __future__ import annotations

import asyncio
import json
import threading
import types
from dataclasses import dataclass
from typing import Any, Callable

import aiohttp
import pandas as pd
from aiohttp import web
from vexmon_sdk import APIClient as VexmonClient
from vexmon_sdk.authenticators import StaticTokenAuthenticator

from tessaly.clients.api_client import APIClient
from tessaly.config import GenAIConfiguration
from tessaly.entities.credentials import Credentials

LOOPBACK = "127.0.0.1"
HOLD_LIMIT = 10.0  # seconds a held answer waits for its condition before giving up
PLAIN_PATH = "/ml/v1/text/detection?version=2023-10-25"
GENERATED_PATH = "/ml/v1/text/detection/generated?version=2023-10-25"
CONTEXT_PATH = "/ml/v1/text/detection/context?version=2023-10-25"
CHAT_PATH = "/ml/v1/text/detection/chat?version=2023-10-25"
TOKEN = "token-of-the-test"
INSTANCE_ID = "instance-0001"

_UNSET = object()


# --------------------------------------------------------------------------
# Scripted answers
# --------------------------------------------------------------------------


@dataclass
class Reply:
    """One answer of the detection service.

    ``body`` is sent as JSON; ``text`` is sent as it is (for bodies that are not JSON).
    ``hold_until`` is a predicate on the server, checked whenever a request arrives or
    finishes; the answer is sent once it holds (or after ``HOLD_LIMIT``, counted in
    ``server.gave_up``).  ``delay`` is the service's latency: seconds before it answers.
    ``drop`` closes the connection instead of answering.
    """

    status: int = 200
    body: Any = _UNSET
    text: str | None = None
    hold_until: Callable[["DetectorServer"], bool] | None = None
    delay: float = 0.0
    drop: bool = False

    def payload(self) -> tuple[bytes, str]:
        if self.text is not None:
            return self.text.encode("utf-8"), "text/plain"
        body = {"detections": []} if self.body is _UNSET else self.body
        return json.dumps(body).encode("utf-8"), "application/json"


def detections(*scores: Any) -> dict:
    """A detection-service answer with one detection per score."""
    return {"detections": [{"score": score} for score in scores]}


def scored(*scores: Any, **options: Any) -> Reply:
    return Reply(body=detections(*scores), **options)


@dataclass
class Seen:
    """One request as the service received it."""

    method: str
    target: str  # path and query exactly as sent
    headers: list[tuple[str, str]]  # raw headers in the order they arrived
    body: bytes
    gave_up: bool = False

    def json(self) -> Any:
        return json.loads(self.body.decode("utf-8"))

    def header(self, name: str) -> str | None:
        values = [v for k, v in self.headers if k.lower() == name.lower()]
        assert len(values) <= 1, f"header {name} sent {len(values)} times"
        return values[0] if values else None

    @property
    def key(self) -> Any:
        """What tells the records apart: the first text of the body."""
        try:
            body = self.json()
            if "prompt" in body:
                return body["prompt"]
            if "messages" in body:
                return body["messages"][0]["content"]
            return body.get("input")
        except Exception:  # not a detection request body
            return None


class DetectorServer:
    """A detection service on 127.0.0.1 that records requests and answers from a script."""

    def __init__(self, ssl_context=None):
        self._ssl_context = ssl_context
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._run, name="detector-server", daemon=True)
        self._condition: asyncio.Condition | None = None
        self._runner: web.AppRunner | None = None
        self.port = 0
        self._clear()

    # ---- state ---------------------------------------------------------------

    def _clear(self) -> None:
        self.requests: list[Seen] = []
        self.in_flight = 0
        self.peak = 0
        self.finished: list[Any] = []  # keys of answered requests, in order of answering
        self.gave_up = 0
        self.released = False
        self._responder: Callable[[Seen], Reply] | None = None
        self._queue: list[Reply] = []

    @property
    def url(self) -> str:
        scheme = "https" if self._ssl_context is not None else "http"
        return f"{scheme}://{LOOPBACK}:{self.port}"

    def queue(self, *replies: Reply | int) -> None:
        """Answer requests in arrival order with these replies; the last is repeated."""
        self._responder = None
        self._queue = [Reply(status=r) if isinstance(r, int) else r for r in replies]

    def respond(self, responder: Callable[[Seen], Reply]) -> None:
        """Answer every request with ``responder(seen)``."""
        self._responder = responder
        self._queue = []

    def respond_by_key(self, replies: dict[Any, Reply]) -> None:
        """Answer each request with the reply filed under its key (the record's text)."""
        self.respond(lambda seen: replies[seen.key])

    def release(self) -> None:
        """Let every answer held with ``hold_until=released`` go."""
        asyncio.run_coroutine_threadsafe(self._set_released(), self.loop).result(5)

    def reset(self) -> None:
        """Release held answers, wait until nothing is in flight, forget everything."""
        self.release()
        asyncio.run_coroutine_threadsafe(self._drain(), self.loop).result(HOLD_LIMIT + 5)
        self._clear()

    # ---- life ----------------------------------------------------------------

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def start(self) -> "DetectorServer":
        self._thread.start()
        asyncio.run_coroutine_threadsafe(self._start(), self.loop).result(10)
        return self

    def close(self) -> None:
        try:
            self.release()
            asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self.loop).result(10)
        finally:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(10)
            self.loop.close()

    async def _start(self) -> None:
        self._condition = asyncio.Condition()
        app = web.Application()
        app.router.add_route("*", "/{tail:.*}", self._handle)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, LOOPBACK, 0, ssl_context=self._ssl_context)
        await site.start()
        self.port = self._runner.addresses[0][1]

    async def _set_released(self) -> None:
        async with self._condition:
            self.released = True
            self._condition.notify_all()

    async def _drain(self) -> None:
        async with self._condition:
            await asyncio.wait_for(
                self._condition.wait_for(lambda: self.in_flight == 0), HOLD_LIMIT + 2
            )

    # ---- requests ------------------------------------------------------------

    def _reply_for(self, seen: Seen) -> Reply:
        if self._responder is not None:
            return self._responder(seen)
        if not self._queue:
            return Reply()
        return self._queue.pop(0) if len(self._queue) > 1 else self._queue[0]

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        body = await request.read()
        seen = Seen(
            method=request.method,
            target=request.raw_path,
            headers=[(k.decode("latin-1"), v.decode("latin-1")) for k, v in request.raw_headers],
            body=body,
        )
        async with self._condition:
            self.requests.append(seen)
            self.in_flight += 1
            self.peak = max(self.peak, self.in_flight)
            self._condition.notify_all()
        try:
            reply = self._reply_for(seen)
            if reply.hold_until is not None:
                async with self._condition:
                    try:
                        await asyncio.wait_for(
                            self._condition.wait_for(lambda: reply.hold_until(self)), HOLD_LIMIT
                        )
                    except TimeoutError:
                        seen.gave_up = True
                        self.gave_up += 1
            if reply.delay:
                await asyncio.sleep(reply.delay)
            if reply.drop:
                request.transport.abort()
                raise asyncio.CancelledError  # nothing more to write
            payload, content_type = reply.payload()
            return web.Response(status=reply.status, body=payload, content_type=content_type)
        finally:
            async with self._condition:
                self.in_flight -= 1
                self.finished.append(seen.key)
                self._condition.notify_all()


def released(server: DetectorServer) -> bool:
    return server.released


def arrived(count: int) -> Callable[[DetectorServer], bool]:
    """Hold an answer until ``count`` requests have arrived."""
    return lambda server: len(server.requests) >= count


# --------------------------------------------------------------------------
# Recorders that replace module globals of screening_provider
# --------------------------------------------------------------------------


class RecordingAsyncio:
    """Stands for the asyncio module: ``sleep`` records its delay and only yields."""

    def __init__(self) -> None:
        self.sleeps: list[Any] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(asyncio, name)

    async def sleep(self, delay, result=None):
        self.sleeps.append(delay)
        await asyncio.sleep(0)
        return result


class RecordingSession:
    """Wraps a real ``aiohttp.ClientSession`` and records how it is used."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.args = args
        self.kwargs = kwargs
        self.session = aiohttp.ClientSession(*args, **kwargs)
        self.entered = 0
        self.exited = 0
        self.exit_type: type | None = None
        self.posts: list[dict] = []  # keyword arguments of each post, headers copied

    async def __aenter__(self) -> "RecordingSession":
        self.entered += 1
        await self.session.__aenter__()
        return self

    async def __aexit__(self, exc_type, exc, tb):
        self.exited += 1
        self.exit_type = exc_type
        return await self.session.__aexit__(exc_type, exc, tb)

    def post(self, *args: Any, **kwargs: Any):
        record = dict(kwargs)
        if "headers" in record and record["headers"] is not None:
            record["headers"] = list(dict(record["headers"]).items())
        record["positional"] = args
        self.posts.append(record)
        return self.session.post(*args, **kwargs)

    @property
    def closed(self) -> bool:
        return self.session.closed

    @property
    def connector(self):
        return self.session.connector

    async def close(self) -> None:
        await self.session.close()


class RecordingAiohttp:
    """Stands for the aiohttp module; every ``ClientSession`` made is a ``RecordingSession``."""

    def __init__(self) -> None:
        self.sessions: list[RecordingSession] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(aiohttp, name)

    def ClientSession(self, *args: Any, **kwargs: Any) -> RecordingSession:  # noqa: N802
        session = RecordingSession(*args, **kwargs)
        self.sessions.append(session)
        return session

    @property
    def posts(self) -> list[dict]:
        return [post for session in self.sessions for post in session.posts]


# --------------------------------------------------------------------------
# Building providers and tables
# --------------------------------------------------------------------------


def api_client(
    root: str,
    *,
    version: str | None = "5.1",
    disable_ssl: bool = False,
    token: str = TOKEN,
    instance_id: str = INSTANCE_ID,
    credentials_url: str | None = None,
) -> APIClient:
    """An SDK API client whose monitoring client talks to ``root`` with a static token.

    With a ``version`` the credentials' URL (``root`` unless ``credentials_url`` is given)
    is the detection service root as it is; without one it is looked up in the endpoint table.
    """
    credentials = Credentials(
        url=credentials_url or root, version=version, disable_ssl=disable_ssl
    )
    vexmon = VexmonClient(
        service_url=root,
        authenticator=StaticTokenAuthenticator(token),
        service_instance_id=instance_id,
        disable_ssl_verification=disable_ssl,
    )
    return APIClient(credentials=credentials, vexmon_client=vexmon)


def namespace_client(url: str, *, version: Any = "5.1", disable_ssl: Any = False,
                     vexmon_client: Any = _UNSET) -> types.SimpleNamespace:
    """A duck-typed API client: only the attributes the provider reads."""
    if vexmon_client is _UNSET:
        vexmon_client = VexmonClient(
            service_url="https://monitoring.example.test",
            authenticator=StaticTokenAuthenticator(TOKEN),
            service_instance_id=INSTANCE_ID,
        )
    return types.SimpleNamespace(
        credentials=types.SimpleNamespace(url=url, version=version, disable_ssl=disable_ssl),
        vexmon_client=vexmon_client,
    )


def configuration(**overrides: Any) -> GenAIConfiguration:
    fields = dict(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["context"],
        record_id_field="record_id",
        tool_calls_field="tool_calls",
    )
    fields.update(overrides)
    return GenAIConfiguration(**fields)


def table(questions: list, **columns: list) -> pd.DataFrame:
    """A table with a ``question`` column, the given columns and record ids r0, r1, ..."""
    data = {"record_id": [f"r{i}" for i in range(len(questions))], "question": questions}
    data.update(columns)
    return pd.DataFrame(data)


def object_table(column: str, cells: list, **columns: list) -> pd.DataFrame:
    """A table whose ``column`` holds ``cells`` as they are (object dtype)."""
    data = {"record_id": [f"r{i}" for i in range(len(cells))]}
    data[column] = pd.Series(cells, dtype=object)
    data.update(columns)
    return pd.DataFrame(data)


# --------------------------------------------------------------------------
# Checks
# --------------------------------------------------------------------------

FAILURE_PREFIX = "Error while computing metrics: "


def assert_wrapped(error: BaseException, metric_name: str, cause: type) -> None:
    """``error`` is the plain Exception an evaluation raises for a failure of kind ``cause``.

    The original failure stays attached as the implicit context (raised while handling it,
    not chained with ``from``), and its text follows the metric name.
    """
    assert type(error) is Exception
    assert isinstance(error.__context__, cause), repr(error.__context__)
    assert error.__cause__ is None and error.__suppress_context__ is False
    assert str(error) == f"{FAILURE_PREFIX}{metric_name}. Reason: {error.__context__}"
