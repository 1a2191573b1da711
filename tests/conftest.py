"""Shared fixtures: loopback HTTP(S) servers and test-time TLS material.

Every server here listens on 127.0.0.1 only.  TLS certificates come from a
throwaway certificate authority made with ``trustme`` for the test session;
nothing on the machine trusts it unless a test says so.
"""

from __future__ import annotations

import json
import os
import socket
import ssl
import sys
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Iterable

import pytest
import trustme

LOOPBACK = "127.0.0.1"

# Token counts use tiktoken's real cl100k_base encoding, read from the cache the setup seeds in
# the virtual environment (scripts/seed_tiktoken_cache.py): nothing is downloaded.
os.environ.setdefault("TIKTOKEN_CACHE_DIR", os.path.join(sys.prefix, "tiktoken-cache"))

_PROXY_VARIABLES = (
    "HTTP_PROXY",
    "HTTPS_PROXY",
    "ALL_PROXY",
    "http_proxy",
    "https_proxy",
    "all_proxy",
)


@pytest.fixture(scope="session", autouse=True)
def _loopback_only():
    """Keep HTTP clients from routing loopback traffic through a proxy."""
    with pytest.MonkeyPatch.context() as patch:
        for name in _PROXY_VARIABLES:
            patch.delenv(name, raising=False)
        patch.setenv("NO_PROXY", "127.0.0.1,localhost")
        patch.setenv("no_proxy", "127.0.0.1,localhost")
        yield


# --------------------------------------------------------------------------
# Recorded requests and canned responses
# --------------------------------------------------------------------------


@dataclass
class RecordedRequest:
    """One request as the server received it."""

    method: str
    path: str  # as http.server normalises it (leading slashes collapsed)
    headers: list[tuple[str, str]]  # in the order they arrived
    body: bytes
    target: str = ""  # the request target exactly as sent on the request line

    def header(self, name: str) -> str | None:
        lowered = name.lower()
        for key, value in self.headers:
            if key.lower() == lowered:
                return value
        return None

    def header_names(self) -> list[str]:
        return [key for key, _ in self.headers]

    def json(self, **kwargs: Any) -> Any:
        return json.loads(self.body.decode("utf-8"), **kwargs)


@dataclass
class CannedResponse:
    """What the server answers; ``body`` may be bytes, text or a JSON value."""

    status: int = 200
    body: Any = b""
    headers: dict[str, str] = field(default_factory=dict)

    def encoded(self) -> tuple[bytes, dict[str, str]]:
        headers = dict(self.headers)
        body = self.body
        if isinstance(body, (bytes, bytearray)):
            payload = bytes(body)
        elif isinstance(body, str):
            payload = body.encode("utf-8")
            headers.setdefault("Content-Type", "text/plain; charset=utf-8")
        else:
            payload = json.dumps(body).encode("utf-8")
            headers.setdefault("Content-Type", "application/json")
        return payload, headers


Responder = Callable[[RecordedRequest], "CannedResponse | int | tuple"]


def _as_response(value: Any) -> CannedResponse:
    if isinstance(value, CannedResponse):
        return value
    if isinstance(value, int):
        return CannedResponse(status=value)
    if isinstance(value, tuple):
        return CannedResponse(*value)
    raise TypeError(f"cannot turn {value!r} into a response")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_Server"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    # trailer section ends with an empty line
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    break
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            return b"".join(chunks)
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _handle(self) -> None:
        request = RecordedRequest(
            method=self.command,
            path=self.path,
            headers=list(self.headers.items()),
            body=self._read_body(),
            target=self.requestline.split(" ")[1] if " " in self.requestline else "",
        )
        owner = self.server.owner
        response = _as_response(owner._respond(request))
        payload, headers = response.encoded()
        self.send_response(response.status)
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = _handle


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, owner: "LoopbackServer", ssl_context: ssl.SSLContext | None):
        self.owner = owner
        self.ssl_context = ssl_context
        super().__init__((LOOPBACK, 0), _Handler)

    def get_request(self):
        sock, address = super().get_request()
        if self.ssl_context is not None:
            # The handshake happens in the request's own thread, on first read,
            # so a client that rejects the certificate stalls nobody else.
            sock = self.ssl_context.wrap_socket(
                sock, server_side=True, do_handshake_on_connect=False
            )
        return sock, address

    def handle_error(self, request, client_address) -> None:
        import sys

        self.owner.errors.append(sys.exc_info()[1])


class LoopbackServer:
    """A threaded HTTP(S) server on 127.0.0.1 that records what it receives.

    Answers come from ``responder`` (called with the ``RecordedRequest``), or
    else from the queue filled by ``respond_with``; the last queued answer is
    repeated.  With neither, every request gets an empty 200.
    """

    def __init__(
        self,
        responder: Responder | None = None,
        ssl_context: ssl.SSLContext | None = None,
    ):
        self.responder = responder
        self.requests: list[RecordedRequest] = []
        self.errors: list[BaseException] = []
        self._queue: list[Any] = []
        self._lock = threading.Lock()
        self._httpd = _Server(self, ssl_context)
        self._thread = threading.Thread(
            target=self._httpd.serve_forever,
            kwargs={"poll_interval": 0.05},
            daemon=True,
        )
        self.scheme = "https" if ssl_context is not None else "http"

    @property
    def host(self) -> str:
        return LOOPBACK

    @property
    def port(self) -> int:
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        """Base URL without a trailing slash."""
        return f"{self.scheme}://{self.host}:{self.port}"

    def respond_with(self, *responses: Any) -> None:
        with self._lock:
            self._queue = list(responses)

    def _respond(self, request: RecordedRequest) -> Any:
        with self._lock:
            self.requests.append(request)
            if self.responder is None:
                if not self._queue:
                    return CannedResponse()
                return self._queue.pop(0) if len(self._queue) > 1 else self._queue[0]
        return self.responder(request)

    def start(self) -> "LoopbackServer":
        self._thread.start()
        return self

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)

    def __enter__(self) -> "LoopbackServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()


# --------------------------------------------------------------------------
# TLS material
# --------------------------------------------------------------------------


@pytest.fixture(scope="session")
def tls_ca() -> trustme.CA:
    """A certificate authority that exists only for this test session."""
    return trustme.CA()


@pytest.fixture(scope="session")
def tls_server_cert(tls_ca: trustme.CA) -> trustme.LeafCert:
    return tls_ca.issue_cert(LOOPBACK, "localhost")


@pytest.fixture(scope="session")
def tls_server_context(tls_server_cert: trustme.LeafCert) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls_server_cert.configure_cert(context)
    return context


@pytest.fixture(scope="session")
def tls_client_context(tls_ca: trustme.CA) -> ssl.SSLContext:
    """A client context that trusts the session's authority (and nothing else)."""
    return ssl.create_default_context(
        ssl.Purpose.SERVER_AUTH, cadata=tls_ca.cert_pem.bytes().decode("ascii")
    )


@pytest.fixture(scope="session")
def tls_ca_bundle(tls_ca: trustme.CA, tmp_path_factory) -> str:
    """Path of a PEM file holding the session's authority certificate."""
    path = tmp_path_factory.mktemp("tls") / "ca.pem"
    tls_ca.cert_pem.write_to_path(str(path))
    return str(path)


# --------------------------------------------------------------------------
# Servers
# --------------------------------------------------------------------------


@pytest.fixture
def loopback_server(tls_server_context):
    """Factory: ``loopback_server(responder=None, tls=False)`` gives a started server.

    Servers are shut down when the test ends.
    """
    started: list[LoopbackServer] = []

    def make(responder: Responder | None = None, *, tls: bool = False) -> LoopbackServer:
        server = LoopbackServer(responder, tls_server_context if tls else None)
        server.start()
        started.append(server)
        return server

    yield make
    for server in started:
        server.close()


@pytest.fixture
def http_server(loopback_server) -> LoopbackServer:
    return loopback_server()


@pytest.fixture
def https_server(loopback_server) -> LoopbackServer:
    return loopback_server(tls=True)


@pytest.fixture
def refused_url() -> Iterable[str]:
    """A base URL on 127.0.0.1 where nothing accepts connections.

    The port stays bound (without listening) for the whole test, so no other
    process can take it and connection attempts are refused.
    """
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((LOOPBACK, 0))
    try:
        yield f"http://{LOOPBACK}:{sock.getsockname()[1]}"
    finally:
        sock.close()
