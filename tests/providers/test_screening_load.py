"""ScreeningProvider under load: a table larger than the client's timeout allows at the
service's latency loses no record, the requests on the wire stay within the session's
connections, a back-off sleep holds no connection, and a cancelled evaluation ends at once.

aiohttp's total timeout of a request (300 s by default) is shortened for these tests through
``aiohttp.client.DEFAULT_TIMEOUT``, which a session made without arguments reads when it is
made; the service answers after ``LATENCY`` seconds. The full scale is in
``bench/bench_screening_load.py``.
"""

from __future__ import annotations

import asyncio
import time
from collections import Counter

import aiohttp
import pytest

from sanitizer import SLOWDOWN
from screening_kit import Reply, api_client, configuration, released, scored, table
from tessaly.providers import screening_provider as sp

# Both stretched alike under the sanitizer build, so that each table stays as many times
# beyond the timeout and a request that has its connection has time to be answered.
TIMEOUT = 0.4 * SLOWDOWN
LATENCY = 0.05 * SLOWDOWN
CONNECTIONS = 100  # what a session made without arguments may open at once


@pytest.fixture
def short_timeout(monkeypatch):
    monkeypatch.setattr(aiohttp.client, "DEFAULT_TIMEOUT", aiohttp.ClientTimeout(total=TIMEOUT))


def score_of(key: str) -> float:
    """A score that tells the records apart."""
    return int(key[1:]) % 997 / 1000


def keys(records: int) -> list[str]:
    return [f"q{i}" for i in range(records)]


def outcome(result) -> list[tuple]:
    return [(r.record_id, r.value, [(e.code, e.message_en) for e in r.errors or []])
            for r in result.record_level_metrics]


def expected(records: int, **failed: tuple) -> list[tuple]:
    return [(f"r{i}", None, [failed[f"r{i}"]]) if f"r{i}" in failed else (f"r{i}", score_of(f"q{i}"), [])
            for i in range(records)]


def run(provider, data, entry):
    if entry == "evaluate":
        return provider.evaluate(data)
    return asyncio.run(provider.evaluate_async(data=data))


class LimitedAiohttp:
    """Stands for aiohttp: its sessions may open ``limit`` connections."""

    def __init__(self, limit: int):
        self.limit = limit

    def __getattr__(self, name):
        return getattr(aiohttp, name)

    def ClientSession(self):  # noqa: N802
        return aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=self.limit))


class CountingProvider(sp.ScreeningProvider):
    """Counts the requests that exist at once (made and not ended), whatever they wait for."""

    live = 0
    peak = 0

    async def send_with_retries(self, payload, session):
        cls = type(self)
        cls.live += 1
        cls.peak = max(cls.peak, cls.live)
        try:
            return await super().send_with_retries(payload, session)
        finally:
            cls.live -= 1


# --------------------------------------------------------------------------
# No record lost, whatever the table's size
# --------------------------------------------------------------------------


@pytest.mark.parametrize("entry", ["evaluate", "evaluate_async"])
def test_a_table_beyond_the_timeout_loses_no_record(detector, make_provider, short_timeout, entry):
    # 25 rounds of the session's connections at 50 ms each: three times the timeout, which
    # the later records would have spent waiting for a connection had they all started at once
    records = 2500
    detector.respond(lambda seen: scored(score_of(seen.key), delay=LATENCY))
    result = run(make_provider("jailbreak"), table(keys(records)), entry)
    assert outcome(result) == expected(records)
    assert len(detector.requests) == records
    assert 1 < detector.peak <= CONNECTIONS
    assert result.total_records == records


def test_a_stalled_request_still_times_out_alone(detector, make_provider, short_timeout):
    records = 600
    detector.respond(lambda seen: Reply(hold_until=released) if seen.key == "q7"
                     else scored(score_of(seen.key), delay=LATENCY))
    result = make_provider("jailbreak").evaluate(table(keys(records)))
    # the client's TimeoutError has no text: the record says what kind of failure it was
    assert outcome(result) == expected(records, r7=("REQUEST_FAILED", "TimeoutError"))
    # the stalled request, given up by the client, still occupies the service for a while
    assert detector.peak <= CONNECTIONS + 1


def test_retries_under_load_keep_their_back_off(detector, make_provider, short_timeout, sleeps):
    records = 1500
    attempts = Counter()

    def responder(seen):
        attempts[seen.key] += 1
        if int(seen.key[1:]) % 10 == 0 and attempts[seen.key] == 1:
            return Reply(503, body={"busy": True}, delay=LATENCY)
        return scored(score_of(seen.key), delay=LATENCY)

    detector.respond(responder)
    result = make_provider("jailbreak").evaluate(table(keys(records)))
    assert outcome(result) == expected(records)
    assert attempts == {f"q{i}": 2 if i % 10 == 0 else 1 for i in range(records)}
    assert sleeps == [1] * (records // 10)
    assert detector.peak <= CONNECTIONS


# --------------------------------------------------------------------------
# Turns on the wire
# --------------------------------------------------------------------------


def test_requests_exist_only_as_turns_can_serve_them(detector, make_provider, monkeypatch):
    monkeypatch.setattr(sp, "aiohttp", LimitedAiohttp(3))
    monkeypatch.setattr(CountingProvider, "peak", 0)
    records = 40
    detector.respond(lambda seen: scored(score_of(seen.key), delay=0.01))
    provider = CountingProvider(configuration(), "jailbreak", "Jailbreak", api_client=api_client(detector.url))
    result = provider.evaluate(table(keys(records)))
    assert outcome(result) == expected(records)
    assert detector.peak == 3
    # a record waiting for its turn is not even started: only three requests ever existed at once
    assert CountingProvider.peak == 3


def test_a_back_off_sleep_holds_no_turn(detector, make_provider, monkeypatch):
    monkeypatch.setattr(sp, "aiohttp", LimitedAiohttp(1))
    answered = Counter()

    def responder(seen):
        answered[seen.key] += 1
        if seen.key == "q0" and answered["q0"] == 1:
            return Reply(503, body={})
        return scored(score_of(seen.key))

    detector.respond(responder)
    provider = make_provider("jailbreak")
    provider.BACK_OFF_FACTOR = 0.3
    result = provider.evaluate(table(keys(3)))
    assert outcome(result) == expected(3)
    # while q0 sleeps, the one connection serves the others
    assert [seen.key for seen in detector.requests] == ["q0", "q1", "q2", "q0"]
    assert detector.peak == 1


def test_a_session_of_the_callers_own_takes_no_turns(detector, make_provider):
    # send_with_retries on a session that no evaluation opened: every request goes at once
    count = 5
    detector.queue(scored(0.5, hold_until=lambda server: len(server.requests) >= count))
    provider = make_provider("jailbreak")

    async def main():
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=count)) as session:
            return await asyncio.gather(*(provider.send_with_retries(f'{{"input": "q{i}"}}', session)
                                          for i in range(count)))

    assert asyncio.run(main()) == [{"detections": [{"score": 0.5}]}] * count
    assert detector.gave_up == 0 and detector.peak == count


# --------------------------------------------------------------------------
# Cancellation
# --------------------------------------------------------------------------


def test_cancelling_a_large_evaluation_ends_at_once(detector, make_provider):
    records = 100_000
    detector.queue(Reply(hold_until=released))
    provider = make_provider("jailbreak")
    data = table(keys(records))

    async def main():
        task = asyncio.create_task(provider.evaluate_async(data))
        for _ in range(3000):  # until the session's connections are all in use
            if len(detector.requests) >= CONNECTIONS:
                break
            await asyncio.sleep(0.01)
        cancelled_at = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        ended = time.monotonic() - cancelled_at
        others = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        return ended, [t for t in others if not t.done()]

    ended, pending = asyncio.run(main())
    assert len(detector.requests) == CONNECTIONS
    assert pending == []
    assert ended < 3.0
