"""Running the detection service: on its own event loop in a background thread, or in the foreground."""

from __future__ import annotations

import asyncio
import ipaddress
import socket
import ssl
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import Any

from aiohttp import web

from detection_service.app import RecordedRequest, ServiceState, create_app

LOOPBACK = "127.0.0.1"
_SHUTDOWN_TIMEOUT = 1.0  # seconds granted to requests still in flight when stopping


def check_loopback(host: str) -> str:
    """``host`` if it is an IPv4 loopback address; the service listens nowhere else."""
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        raise ValueError(f"host must be an IPv4 loopback address such as {LOOPBACK}, got {host!r}") from None
    if address.version != 4 or not address.is_loopback:
        raise ValueError(f"host must be an IPv4 loopback address such as {LOOPBACK}, got {host!r}")
    return host


def bind_socket(host: str, port: int) -> socket.socket:
    check_loopback(host)
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be an integer from 0 to 65535, got {port!r}")
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
        sock.listen(128)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


async def start_site(state: ServiceState, sock: socket.socket, ssl_context: ssl.SSLContext | None) -> web.AppRunner:
    """Serve the application on an already bound socket; returns the runner to clean up."""
    runner = web.AppRunner(create_app(state), access_log=None, shutdown_timeout=_SHUTDOWN_TIMEOUT)
    await runner.setup()
    try:
        await web.SockSite(runner, sock, ssl_context=ssl_context).start()
    except BaseException:
        await runner.cleanup()
        raise
    return runner


class DetectionServer:
    """The detection service on 127.0.0.1, served by a background thread.

    ``start()`` returns once the service accepts connections; ``stop()`` closes the
    listening socket and every connection, cancels scripted delays and joins the
    thread. Records, script and accepted credentials are those of ``state``
    (``script``, ``requests``, ``posts``, ``max_in_flight``, ``clear``, ``tokens``
    and ``instance_id`` are forwarded to it).
    """

    def __init__(
        self,
        host: str = LOOPBACK,
        port: int = 0,
        *,
        ssl_context: ssl.SSLContext | None = None,
        tokens: Iterable[str] | str | None = None,
        instance_id: Iterable[str] | str | None = None,
    ):
        if ssl_context is not None and not isinstance(ssl_context, ssl.SSLContext):
            raise TypeError(f"ssl_context must be an ssl.SSLContext or None, got {type(ssl_context).__name__}")
        self.host = check_loopback(host)
        self._requested_port = port
        self.ssl_context = ssl_context
        self.state = ServiceState(tokens=tokens, instance_id=instance_id)
        self.port: int | None = None
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop: asyncio.Event | None = None
        self._ready = threading.Event()
        self._failure: BaseException | None = None
        self.ca_pem: str | None = None  # PEM of the authority that issued the certificate, when known
        self.ca_file: str | None = None  # the same in a file

    def client_ssl_context(self) -> ssl.SSLContext:
        """A client context that trusts this server's certificate authority (and nothing else)."""
        if self.ca_pem is None:
            raise RuntimeError("the certificate authority of this server is not known (ca_pem is None)")
        return ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cadata=self.ca_pem)

    @property
    def scheme(self) -> str:
        return "https" if self.ssl_context is not None else "http"

    @property
    def url(self) -> str:
        """Root URL without a trailing slash, e.g. http://127.0.0.1:41234."""
        if self.port is None:
            raise RuntimeError("the server is not running")
        return f"{self.scheme}://{self.host}:{self.port}"

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive() and self._ready.is_set()

    # -- lifecycle ----------------------------------------------------------

    def start(self, timeout: float = 10.0) -> "DetectionServer":
        if self._thread is not None:
            raise RuntimeError("the server was already started")
        sock = bind_socket(self.host, self._requested_port)
        self.port = sock.getsockname()[1]
        self._thread = threading.Thread(target=self._run, args=(sock,), name=f"detection-service-{self.port}",
                                        daemon=True)
        self._thread.start()
        if not self._ready.wait(timeout):
            raise RuntimeError(f"the detection service did not start within {timeout} s")
        if self._failure is not None:
            self._thread.join()
            raise RuntimeError(f"the detection service failed to start: {self._failure}") from self._failure
        return self

    def _run(self, sock: socket.socket) -> None:
        try:
            asyncio.run(self._serve(sock))
        except BaseException as exc:  # reported to start() or kept for stop()
            self._failure = exc
        finally:
            sock.close()
            self._ready.set()

    async def _serve(self, sock: socket.socket) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        self.state.stopping = asyncio.Event()
        runner = await start_site(self.state, sock, self.ssl_context)
        self._ready.set()
        try:
            await self._stop.wait()
        finally:
            self.state.stopping.set()
            await runner.cleanup()

    def stop(self, timeout: float = 10.0) -> None:
        """Stop serving and join the thread; calling it again does nothing."""
        thread, loop, stop = self._thread, self._loop, self._stop
        if thread is None or not thread.is_alive():
            return
        if loop is not None and stop is not None:
            try:
                loop.call_soon_threadsafe(stop.set)
            except RuntimeError:  # the loop has already closed
                pass
        thread.join(timeout)
        if thread.is_alive():
            raise RuntimeError(f"the detection service did not stop within {timeout} s")

    def __enter__(self) -> "DetectionServer":
        return self.start() if self._thread is None else self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    # -- state --------------------------------------------------------------

    def script(self, path: str | None, entries: Iterable[Any]) -> None:
        """See ``ServiceState.script``."""
        self.state.script(path, entries)

    def script_remaining(self, path: str | None = ...) -> int:
        return self.state.script_remaining(path)

    def script_where(self, text: str, entry: Any) -> None:
        """See ``ServiceState.script_where``."""
        self.state.script_where(text, entry)

    @property
    def requests(self) -> list[RecordedRequest]:
        return self.state.requests

    def posts(self, path: str | None = None) -> list[RecordedRequest]:
        return self.state.posts(path)

    @property
    def max_in_flight(self) -> int:
        return self.state.max_in_flight

    @property
    def in_flight(self) -> int:
        return self.state.in_flight

    def clear(self) -> None:
        self.state.clear()

    @property
    def tokens(self):
        return self.state.tokens

    @tokens.setter
    def tokens(self, value) -> None:
        self.state.tokens = value

    @property
    def instance_id(self):
        return self.state.instance_id

    @instance_id.setter
    def instance_id(self, value) -> None:
        self.state.instance_id = value


@contextmanager
def run_in_thread(
    ssl_context: ssl.SSLContext | None = None,
    tokens: Iterable[str] | str | None = None,
    instance_id: Iterable[str] | str | None = None,
    *,
    host: str = LOOPBACK,
    port: int = 0,
) -> Iterator[DetectionServer]:
    """A started ``DetectionServer`` for the duration of the block; stopped on leaving it."""
    server = DetectionServer(host, port, ssl_context=ssl_context, tokens=tokens, instance_id=instance_id)
    server.start()
    try:
        yield server
    finally:
        server.stop()
