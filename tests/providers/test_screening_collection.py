"""The detection provider in a long-running host: a reference cycle through an evaluation that
is suspended mid-request (or never started) is collected with everything it holds, and the
connections it had open are closed, as for the same shape written as a Python coroutine."""

from __future__ import annotations

import asyncio
import gc
import time
import warnings
import weakref

import aiohttp
import pytest

from screening_kit import released, scored, table

pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")


class PythonProvider:
    """The shape of ``ScreeningProvider.evaluate_async`` in Python: a session, a request per
    record, all gathered."""

    def __init__(self, url):
        self.url = url

    async def evaluate_async(self, data):
        async with aiohttp.ClientSession() as session:
            async def send(question):
                async with session.post(self.url, data=question) as response:
                    return await response.text()

            return await asyncio.gather(*(send(q) for q in data["question"]))


def established(port: int) -> int:
    """TCP connections of this machine to or from ``port`` that are established."""
    count = 0
    for path in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = open(path).read().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            local, remote, state = line.split()[1:4]
            ports = {int(local.rsplit(":", 1)[1], 16), int(remote.rsplit(":", 1)[1], 16)}
            if state == "01" and port in ports:
                count += 1
    return count


def settles(condition, timeout=5.0) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def collect():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        warnings.simplefilter("ignore", RuntimeWarning)
        gc.collect()


@pytest.fixture(params=["native", "python"])
def build(request, detector, make_provider):
    """Makes the provider under test (not kept by the fixture, so that it can go)."""
    if request.param == "native":
        return lambda: make_provider("hap")
    return lambda: PythonProvider(detector.url + "/ml/v1/text/detection")


def test_evaluation_suspended_mid_request_is_collected_and_closes_its_connections(detector, build):
    records = 3
    provider = build()
    detector.queue(scored(0.2, hold_until=released))
    loop = asyncio.new_event_loop()
    task = loop.create_task(provider.evaluate_async(table([f"q{i}" for i in range(records)])))
    provider.task = task  # provider and task refer to each other
    assert settles(lambda: (loop.run_until_complete(asyncio.sleep(0.01)), len(detector.requests))[1] == records)
    assert established(detector.port) == 2 * records  # both ends of every connection
    held = weakref.ref(provider)
    loop.close()
    del provider, task
    collect()
    assert held() is None
    assert settles(lambda: established(detector.port) == 0)


def test_unstarted_evaluation_kept_on_its_provider_is_collected(detector, build):
    provider = build()
    provider.pending = provider.evaluate_async(table(["q0"]))
    held = weakref.ref(provider)
    del provider
    collect()
    assert held() is None
    assert detector.requests == []
