"""A canned detection service for the benchmarks, run in a process of its own.

Every POST gets status 200 with the fixed body ``CANNED_BODY``; anything else gets 405.
It is a raw asyncio HTTP/1.1 server (keep-alive, bodies framed by Content-Length) bound to
127.0.0.1 on a free port, so that answering costs far less than the client work being
measured. By default each answer is written at once; with ``--latency SECONDS`` it is
written that long after its request arrived (a timer on the event loop, so a waiting
answer blocks no other connection; the answers of one connection keep their order). A
latency of 1e9 makes a service that takes connections and requests and never answers.

It stops by itself: after ``--max-seconds``, after ``--max-requests`` answers, or when
its standard input closes (the parent went away). On stopping it prints
``SERVED <count>`` (answers written) and then ``PEAK <n>`` on standard output: the most
requests it was holding at once, a request being held from the moment it has arrived
whole until its answer is written or its connection is lost (without latency, the
requests that arrived together in one read).

    with CannedResponder(latency=0.025) as responder:
        responder.url        # "http://127.0.0.1:<port>"
        responder.cpu_seconds()
    responder.served, responder.peak   # once it has stopped
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import os
import subprocess
import sys
import threading

LOOPBACK = "127.0.0.1"
CANNED_BODY = b'{"detections": [{"score": 0.5, "text": "x", "start": 0, "end": 1}]}'
MAX_HEADER_BYTES = 64 * 1024
MAX_BODY_BYTES = 64 * 1024 * 1024

OK_RESPONSE = (
    b"HTTP/1.1 200 OK\r\n"
    b"Content-Type: application/json; charset=utf-8\r\n"
    b"Content-Length: " + str(len(CANNED_BODY)).encode() + b"\r\n"
    b"\r\n" + CANNED_BODY
)
NOT_ALLOWED_RESPONSE = b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n"
BAD_REQUEST_RESPONSE = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


class _Counter:
    def __init__(self, limit: int, done: asyncio.Event, latency: float):
        self.count = 0
        self.limit = limit
        self.done = done
        self.latency = latency
        self.held = 0  # requests arrived whole and not yet answered
        self.peak = 0

    def hold(self) -> None:
        self.held += 1
        if self.held > self.peak:
            self.peak = self.held

    def add(self) -> None:
        self.count += 1
        if self.count >= self.limit:
            self.done.set()


class _Connection(asyncio.Protocol):
    """One keep-alive connection: requests are answered in the order they arrive."""

    def __init__(self, counter: _Counter):
        self.counter = counter
        self.buffer = bytearray()
        self.transport = None
        self.pending = collections.deque()  # (timer, answer, close) of the answers not yet written
        self.closing = False  # a request asked to close: nothing after it is read

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.buffer += data
        while self.transport is not None and not self.closing:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                if len(self.buffer) > MAX_HEADER_BYTES:
                    self._refuse()
                return
            head = bytes(self.buffer[:end]).decode("latin-1")
            lines = head.split("\r\n")
            method = lines[0].split(" ", 1)[0]
            length = 0
            close = False
            for line in lines[1:]:
                name, _, value = line.partition(":")
                name = name.strip().lower()
                if name == "content-length":
                    try:
                        length = int(value.strip())
                    except ValueError:
                        length = -1
                elif name == "transfer-encoding":
                    length = -1  # chunked bodies are not expected from the clients measured
                elif name == "connection" and value.strip().lower() == "close":
                    close = True
            if length < 0 or length > MAX_BODY_BYTES:
                self._refuse()
                return
            total = end + 4 + length
            if len(self.buffer) < total:
                return
            del self.buffer[:total]
            answer = OK_RESPONSE if method == "POST" else NOT_ALLOWED_RESPONSE
            counter = self.counter
            counter.hold()
            if counter.latency > 0:
                self.closing = close
                timer = asyncio.get_running_loop().call_later(counter.latency, self._answer_first)
                self.pending.append((timer, answer, close))
                continue
            counter.held -= 1
            self.transport.write(answer)
            counter.add()
            if close:
                self.transport.close()
                self.transport = None

    def _answer_first(self):
        """A latency has passed: the oldest answer of this connection is written."""
        _, answer, close = self.pending.popleft()
        counter = self.counter
        counter.held -= 1
        if self.transport is None:
            return
        self.transport.write(answer)
        counter.add()
        if close:
            self.transport.close()
            self.transport = None

    def _refuse(self):
        self.transport.write(BAD_REQUEST_RESPONSE)
        self.transport.close()
        self.transport = None

    def connection_lost(self, exc):
        self.transport = None
        for timer, _, _ in self.pending:  # those answers will never be written
            timer.cancel()
        self.counter.held -= len(self.pending)
        self.pending.clear()


async def _serve(port_out, max_requests: int, max_seconds: float, latency: float = 0.0) -> _Counter:
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    counter = _Counter(max_requests, done, latency)
    server = await loop.create_server(lambda: _Connection(counter), LOOPBACK, 0, backlog=1024)
    port = server.sockets[0].getsockname()[1]
    print(f"PORT {port}", file=port_out, flush=True)

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except (OSError, ValueError):
            pass
        loop.call_soon_threadsafe(done.set)

    threading.Thread(target=watch_stdin, name="stdin-watch", daemon=True).start()
    try:
        await asyncio.wait_for(done.wait(), max_seconds)
    except TimeoutError:
        pass
    server.close()
    await server.wait_closed()
    return counter


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-seconds", type=float, default=900.0)
    parser.add_argument("--max-requests", type=int, default=5_000_000)
    parser.add_argument("--latency", type=float, default=0.0,
                        help="seconds between a request's arrival and its answer (default 0: at once)")
    args = parser.parse_args(argv)
    counter = asyncio.run(_serve(sys.stdout, args.max_requests, args.max_seconds, args.latency))
    print(f"SERVED {counter.count}", flush=True)
    print(f"PEAK {counter.peak}", flush=True)


class CannedResponder:
    """Runs this module as a child process and gives its root URL."""

    def __init__(self, max_seconds: float = 900.0, max_requests: int = 5_000_000, latency: float = 0.0):
        self.args = ["--max-seconds", str(max_seconds), "--max-requests", str(max_requests)]
        if latency:
            self.args += ["--latency", repr(float(latency))]
        self.process: subprocess.Popen | None = None
        self.url = ""
        self.served: int | None = None
        self.peak: int | None = None

    def __enter__(self) -> "CannedResponder":
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), *self.args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        line = self.process.stdout.readline()
        if not line.startswith("PORT "):
            self.process.kill()
            raise RuntimeError(f"canned responder did not start: {line!r}")
        self.url = f"http://{LOOPBACK}:{int(line.split()[1])}"
        return self

    def cpu_seconds(self) -> float:
        """User plus system CPU time the responder has used so far."""
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def __exit__(self, *exc) -> None:
        process = self.process
        try:
            out, _ = process.communicate(timeout=10)  # closes its input, which stops it
            for line in out.splitlines():
                if line.startswith("SERVED "):
                    self.served = int(line.split()[1])
                elif line.startswith("PEAK "):
                    self.peak = int(line.split()[1])
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


if __name__ == "__main__":
    main()
