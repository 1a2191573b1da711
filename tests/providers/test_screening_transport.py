"""ScreeningProvider: sending with retries, TLS, concurrency, sessions, cancellation, entries.

Back-off waits are recorded through the module's ``asyncio`` global (the ``sleeps``
fixture), never waited for.
"""

from __future__ import annotations

import asyncio
import gc
import json
import warnings

import aiohttp
import pytest

from screening_kit import (
    INSTANCE_ID,
    PLAIN_PATH,
    RecordingSession,
    Reply,
    api_client,
    arrived,
    assert_wrapped,
    configuration,
    detections,
    released,
    scored,
    table,
)
from tessaly.entities.base_classes import Error
from tessaly.providers import screening_provider as sp
from tessaly.utils import async_util

BODY = json.dumps({"detectors": {"hap": {}}, "input": "probe"})


def decoder_message(text: str) -> str:
    try:
        json.loads(text)
    except ValueError as error:
        return str(error)
    raise AssertionError(f"{text!r} is JSON")


async def send(provider, payload=BODY, session_factory=aiohttp.ClientSession):
    async with session_factory() as session:
        return await provider.send_with_retries(payload, session)


# --------------------------------------------------------------------------
# One request: statuses, bodies, retries
# --------------------------------------------------------------------------

RETRY_CASES = [
    pytest.param([503, scored(0.3)], 2, [1], detections(0.3), id="503-then-200"),
    pytest.param([502, 503, scored(0.25)], 3, [1, 2], detections(0.25), id="502-503-200"),
    pytest.param([Reply(500, body={"message": "boom"})], 1, [],
                 {"error": Error(code="500", message_en="{'message': 'boom'}")}, id="500"),
    pytest.param([Reply(504, body={"m": 1})], 3, [1, 2],
                 {"error": Error(code="504", message_en="{'m': 1}")}, id="always-504"),
    pytest.param([Reply(502, body=["gate", "way"])], 3, [1, 2],
                 {"error": Error(code="502", message_en="['gate', 'way']")}, id="always-502"),
    pytest.param([503, 503, Reply(400, body={"detail": "bad"})], 3, [1, 2],
                 {"error": Error(code="400", message_en="{'detail': 'bad'}")},
                 id="retried-then-400"),
    pytest.param([Reply(400, body="plain json text")], 1, [],
                 {"error": Error(code="400", message_en="plain json text")}, id="400-json-text"),
    pytest.param([Reply(404, body=None)], 1, [],
                 {"error": Error(code="404", message_en="None")}, id="404-json-null"),
    pytest.param([Reply(201, body={"detections": []})], 1, [],
                 {"error": Error(code="201", message_en="{'detections': []}")},
                 id="only-200-succeeds"),
    pytest.param([Reply(200, body=[1, "two", {"three": 3.5}])], 1, [],
                 [1, "two", {"three": 3.5}], id="any-json-on-200"),
    pytest.param([Reply(200, text="not json")], 1, [],
                 {"error": Error(code="REQUEST_FAILED", message_en=decoder_message("not json"))},
                 id="200-not-json"),
    pytest.param([Reply(500, text="<html>oops</html>")], 1, [],
                 {"error": Error(code="REQUEST_FAILED",
                                 message_en=decoder_message("<html>oops</html>"))},
                 id="500-not-json"),
    pytest.param([Reply(503, text="busy"), scored(0.5)], 2, [1], detections(0.5),
                 id="retry-body-not-read-as-json"),
    pytest.param([Reply(503, text="busy")], 3, [1, 2],
                 {"error": Error(code="REQUEST_FAILED", message_en=decoder_message("busy"))},
                 id="last-503-not-json"),
    pytest.param([Reply(200, text="")], 1, [],
                 {"error": Error(code="REQUEST_FAILED", message_en=decoder_message(""))},
                 id="200-empty-body"),
]


@pytest.mark.parametrize("replies, posts, waits, expected", RETRY_CASES)
def test_send_with_retries(detector, make_provider, sleeps, replies, posts, waits, expected):
    detector.queue(*replies)
    result = asyncio.run(send(make_provider("hap")))
    assert result == expected
    assert len(detector.requests) == posts
    assert sleeps == waits
    for seen in detector.requests:
        assert seen.body == BODY.encode() and seen.target == PLAIN_PATH


@pytest.mark.parametrize(
    "setting, value, replies, posts, waits, code",
    [
        ("RETRY_COUNT", 1, [503, scored(0.1)], 1, [], "503"),
        ("RETRY_COUNT", 2, [504], 2, [1], "504"),
        ("RETRY_COUNT", 5, [503], 5, [1, 2, 4, 8], "503"),
        ("BACK_OFF_FACTOR", 0.25, [503, 503, 503], 3, [0.25, 0.5], "503"),
        ("BACK_OFF_FACTOR", 3, [502], 3, [3, 6], "502"),
        ("RETRY_AFTER_STATUS_CODES", [500], [500, 503], 2, [1], "503"),
        ("RETRY_AFTER_STATUS_CODES", [], [503], 1, [], "503"),
    ],
)
@pytest.mark.parametrize("where", ["instance", "subclass"])
def test_retry_constants_are_read_through_the_instance(detector, make_provider, sleeps, setting,
                                                       value, replies, posts, waits, code, where):
    if where == "instance":
        provider = make_provider("hap")
        setattr(provider, setting, value)
    else:
        tuned = type("Tuned", (sp.ScreeningProvider,), {setting: value})
        provider = tuned(configuration(), "hap", "HAP", api_client=api_client(detector.url))
    detector.queue(*[Reply(r, body={"status": r}) if isinstance(r, int) else r for r in replies])
    result = asyncio.run(send(provider))
    assert result["error"].code == code
    assert len(detector.requests) == posts
    assert sleeps == waits
    assert sp.ScreeningProvider.RETRY_COUNT == 3  # the class keeps its constants


def test_no_attempt_leaves_no_result(detector, make_provider, sleeps):
    provider = make_provider("hap")
    provider.RETRY_COUNT = 0
    assert asyncio.run(send(provider)) is None
    assert detector.requests == [] and sleeps == []
    # the whole evaluation then fails on the missing result
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(table(["q0"])))
    assert_wrapped(raised.value, "hap", TypeError)
    assert detector.requests == []


def test_a_fresh_token_is_asked_for_on_every_attempt(detector, make_provider, sleeps,
                                                     token_calls):
    provider = make_provider("hap")
    detector.queue(503, 504, scored(0.4))
    assert asyncio.run(send(provider)) == detections(0.4)
    assert [seen.header("Authorization") for seen in detector.requests] == [
        "Bearer token-1", "Bearer token-2", "Bearer token-3"
    ]
    assert len(token_calls) == 3
    for args, kwargs in token_calls:
        assert (list(args) + list(kwargs.values())) == [provider.vexmon_client.authenticator]


def test_post_arguments(detector, make_provider, sleeps, token_calls):
    provider = make_provider("hap")
    detector.queue(503, scored(0.1))
    session = None

    def factory():
        nonlocal session
        session = RecordingSession()
        return session

    asyncio.run(send(provider, session_factory=factory))
    expected_headers = [
        [("Content-Type", "application/json"), ("Authorization", f"Bearer token-{n}"),
         ("x-governance-instance-id", INSTANCE_ID), ("origin", "sdk")]
        for n in (1, 2)
    ]
    assert session.posts == [
        {"url": provider.base_url, "headers": headers, "data": BODY, "ssl": True,
         "positional": ()}
        for headers in expected_headers
    ]


@pytest.mark.parametrize("failure", ["raises", "client-without-credentials"])
def test_failing_token_source_fails_the_request_without_sending(detector, make_provider,
                                                                monkeypatch, sleeps, failure):
    def broken(authenticator):
        raise LookupError("token service unreachable")

    if failure == "raises":
        monkeypatch.setattr(sp, "get_authenticator_token", broken)
        provider = make_provider("hap")
        message = "token service unreachable"
    else:
        # the SDK's authenticator for a client without credentials refuses to give a token
        from vexmon_sdk import APIClient as VexmonClient

        client = api_client(detector.url)
        client.vexmon_client = VexmonClient(service_url=detector.url,
                                            service_instance_id=INSTANCE_ID)
        provider = make_provider("hap", client=client)
        message = "The monitoring client was given no credentials, so it has no bearer token."
    assert asyncio.run(send(provider)) == {
        "error": Error(code="REQUEST_FAILED", message_en=message)
    }
    assert detector.requests == [] and sleeps == []


def test_connection_refused(refused_root, make_provider, sleeps):
    result = asyncio.run(send(make_provider("hap", root=refused_root)))
    error = result["error"]
    assert error.code == "REQUEST_FAILED"
    assert error.message_en  # the client library's text
    assert sleeps == []


def test_connection_dropped_without_an_answer(detector, make_provider, sleeps):
    detector.queue(Reply(drop=True), scored(0.1))
    result = asyncio.run(send(make_provider("hap")))
    assert result["error"].code == "REQUEST_FAILED"
    assert len(detector.requests) == 1 and sleeps == []


def test_calling_send_with_retries_runs_none_of_its_body(make_provider, token_calls):
    coroutine = make_provider("hap").send_with_retries(payload=BODY, session=None)
    assert asyncio.iscoroutine(coroutine)
    coroutine.close()
    assert token_calls == []


# --------------------------------------------------------------------------
# TLS
# --------------------------------------------------------------------------


def test_certificate_not_trusted_is_refused(tls_detector, make_provider, sleeps):
    provider = make_provider("hap", client=api_client(tls_detector.url))
    assert provider.verify is True
    result = asyncio.run(send(provider))
    assert result["error"].code == "REQUEST_FAILED"
    assert "CERTIFICATE_VERIFY_FAILED" in result["error"].message_en
    assert tls_detector.requests == [] and sleeps == []


def test_verification_switched_off_accepts_the_certificate(tls_detector, make_provider,
                                                           client_log):
    tls_detector.queue(scored(0.7))
    provider = make_provider("jailbreak",
                             client=api_client(tls_detector.url, disable_ssl=True))
    assert provider.verify is False
    result = provider.evaluate(table(["q0", "q1"]))
    assert [r.value for r in result.record_level_metrics] == [0.7, 0.7]
    assert len(tls_detector.requests) == 2
    assert [post["ssl"] for post in client_log.posts] == [False, False]


def test_verification_on_sends_ssl_true_per_request(detector, make_provider, client_log):
    make_provider("hap").evaluate(table(["q0", "q1", "q2"]))
    assert [post["ssl"] for post in client_log.posts] == [True, True, True]


# --------------------------------------------------------------------------
# One evaluation: one session, all requests at once, results in order
# --------------------------------------------------------------------------


def test_one_session_for_all_requests_which_overlap(detector, make_provider, client_log):
    count = 5
    detector.queue(scored(0.6, hold_until=arrived(count)))
    result = make_provider("jailbreak").evaluate(table([f"q{i}" for i in range(count)]))
    assert detector.gave_up == 0, "the requests were not all in flight at once"
    assert detector.peak == count
    (session,) = client_log.sessions
    assert session.args == () and session.kwargs == {}
    assert (session.entered, session.exited) == (1, 1) and session.closed
    assert len(session.posts) == count
    assert sorted(post["data"] for post in session.posts) == sorted(
        json.dumps({"detectors": {"stonewatch": {}}, "input": f"q{i}"}) for i in range(count)
    )
    assert [r.value for r in result.record_level_metrics] == [0.6] * count


def test_results_follow_the_records_not_the_answers(detector, make_provider):
    count = 4
    # record i is answered only after every later record: the answers come in reverse
    detector.respond(lambda seen: scored(
        int(seen.key[1:]) / 10,
        hold_until=lambda server, i=int(seen.key[1:]): len(server.finished) >= count - 1 - i,
    ))
    result = make_provider("jailbreak").evaluate(table([f"q{i}" for i in range(count)]))
    assert detector.gave_up == 0
    assert detector.finished == [f"q{i}" for i in reversed(range(count))]
    assert [(r.record_id, r.value) for r in result.record_level_metrics] == [
        (f"r{i}", i / 10) for i in range(count)
    ]


def test_waits_of_one_request_do_not_hold_the_others(detector, make_provider, sleeps):
    attempts = {}

    def responder(seen):
        attempts[seen.key] = attempts.get(seen.key, 0) + 1
        if seen.key == "slow" and attempts["slow"] < 3:
            return Reply(503, body={})
        return scored(0.5 if seen.key == "slow" else 0.2)

    detector.respond(responder)
    result = make_provider("jailbreak").evaluate(table(["slow", "fast"]))
    assert [r.value for r in result.record_level_metrics] == [0.5, 0.2]
    assert attempts == {"slow": 3, "fast": 1}
    assert sleeps == [1, 2]


def test_empty_table_opens_and_closes_one_session(detector, make_provider, client_log):
    result = make_provider("hap").evaluate(table([]))
    (session,) = client_log.sessions
    assert (session.entered, session.exited) == (1, 1) and session.closed
    assert session.posts == [] and detector.requests == []
    assert result.value == "Error"
    assert result.errors == []
    assert result.total_records == 0 and result.record_level_metrics == []
    assert result.min is None and result.max is None and result.mean is None


def test_compute_metric_checks_its_list_when_called(make_provider, client_log):
    compute = make_provider("hap")._ScreeningProvider__compute_metric
    with pytest.raises(TypeError) as raised:
        compute((BODY,))
    assert str(raised.value) == (
        "Argument 'api_payloads' has incorrect type (expected list, got tuple)"
    )
    assert client_log.sessions == []


def test_compute_metric_returns_results_in_payload_order(detector, make_provider, sleeps):
    bodies = [json.dumps({"detectors": {"hap": {}}, "input": key})
              for key in ("a", "b", "c")]
    detector.respond_by_key({"a": scored(0.1), "b": Reply(500, body={"no": 1}),
                             "c": Reply(text="garbage")})
    provider = make_provider("hap")
    results = asyncio.run(provider._ScreeningProvider__compute_metric(api_payloads=bodies))
    assert results == [
        detections(0.1),
        {"error": Error(code="500", message_en="{'no': 1}")},
        {"error": Error(code="REQUEST_FAILED", message_en=decoder_message("garbage"))},
    ]


# --------------------------------------------------------------------------
# Entries: evaluate and evaluate_async
# --------------------------------------------------------------------------

SCRIPT = {"q0": scored(0.31, 0.9), "q1": Reply(500, body={"reason": "no"}), "q2": scored()}


def test_evaluate_and_evaluate_async_agree(detector, make_provider, monkeypatch):
    calls = []
    real = async_util.run_in_event_loop

    def recording(function, *args, **kwargs):
        calls.append((function, args, kwargs))
        return real(function, *args, **kwargs)

    monkeypatch.setattr(sp, "run_in_event_loop", recording)
    detector.respond_by_key(SCRIPT)
    provider = make_provider("jailbreak")
    data = table(["q0", "q1", "q2"])
    synchronous = provider.evaluate(data)
    asynchronous = asyncio.run(provider.evaluate_async(data=data))
    assert synchronous.model_dump() == asynchronous.model_dump()
    assert [r.value for r in synchronous.record_level_metrics] == [0.9, None, 0]
    ((function, args, kwargs),) = calls
    assert function.__self__ is provider and function.__name__ == "evaluate_async"
    assert args == () and list(kwargs) == ["data"] and kwargs["data"] is data


def test_evaluate_async_checks_nothing_until_awaited(make_provider, client_log):
    coroutine = make_provider("hap").evaluate_async("not a table")
    assert asyncio.iscoroutine(coroutine)
    coroutine.close()
    assert client_log.sessions == []


def test_several_evaluations_at_once_on_the_callers_loop(detector, make_provider):
    providers = [make_provider("jailbreak"),
                 make_provider("answer_relevance"),
                 make_provider("topic_relevance")]
    # every answer waits until all six requests of the three evaluations have arrived
    detector.queue(scored(0.25, hold_until=arrived(6)))

    async def main():
        loop = asyncio.get_running_loop()
        results = await asyncio.gather(*(
            provider.evaluate_async(table(["q0", "q1"], answer=["a0", "a1"]))
            for provider in providers
        ))
        assert asyncio.get_running_loop() is loop
        return results

    results = asyncio.run(main())
    assert detector.gave_up == 0 and detector.peak == 6
    assert [[r.value for r in result.record_level_metrics] for result in results] == [
        [0.25, 0.25], [0.25, 0.25], [0.75, 0.75]
    ]
    assert [result.name for result in results] == [
        "jailbreak", "answer_relevance", "topic_relevance"
    ]


def test_evaluate_from_code_running_a_loop(detector, make_provider):
    detector.queue(scored(0.5))

    async def main():
        return make_provider("jailbreak").evaluate(table(["q0"]))

    result = asyncio.run(main())
    assert result.value == 0.5


# --------------------------------------------------------------------------
# Exceptions outside Exception and cancellation
# --------------------------------------------------------------------------


class Interruption(BaseException):
    pass


def test_interruption_inside_a_request_reaches_post_processing(detector, make_provider,
                                                               monkeypatch):
    def interrupted(authenticator):
        raise Interruption("stop")

    monkeypatch.setattr(sp, "get_authenticator_token", interrupted)
    provider = make_provider("hap")
    with pytest.raises(Exception) as raised:
        asyncio.run(provider.evaluate_async(table(["q0"])))
    assert_wrapped(raised.value, "hap", TypeError)
    assert "Interruption" in str(raised.value.__context__)
    assert detector.requests == []


def test_interruption_while_preparing_passes_through(detector, make_provider, monkeypatch):
    interruption = Interruption("stop")

    def interrupted(cell):
        raise interruption

    monkeypatch.setattr(sp, "transform_str_to_list", interrupted)
    provider = make_provider("context_relevance")
    with pytest.raises(Interruption) as raised:
        asyncio.run(provider.evaluate_async(table(["q0"], context=["c0"])))
    assert raised.value is interruption


def test_cancellation_propagates_and_closes_the_session(detector, make_provider, client_log):
    count = 3
    detector.queue(scored(0.1, hold_until=released))
    provider = make_provider("hap")
    loop_errors = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(
            lambda loop, context: loop_errors.append(context))
        task = asyncio.create_task(provider.evaluate_async(table([f"q{i}" for i in range(count)])))
        for _ in range(1000):  # until every request has reached the service
            if len(detector.requests) == count:
                break
            await asyncio.sleep(0.01)
        assert len(detector.requests) == count
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()
        others = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        assert [t for t in others if not t.done()] == []

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        asyncio.run(main())
        gc.collect()
    (session,) = client_log.sessions
    assert (session.entered, session.exited) == (1, 1)
    assert session.exit_type is asyncio.CancelledError
    assert session.closed
    assert not [w for w in caught if "Unclosed" in str(w.message)]
    assert not [c for c in loop_errors if "Unclosed" in str(c.get("message", ""))]
    detector.release()


def test_headers_token_and_instance_from_the_sdk_client(detector, make_provider):
    client = api_client(detector.url, token="sdk-token", instance_id="sdk-instance")
    make_provider("hap", client=client).evaluate(table(["q0"]))
    (seen,) = detector.requests
    assert seen.header("Authorization") == "Bearer sdk-token"
    assert seen.header("x-governance-instance-id") == "sdk-instance"
    assert seen.header("origin") == "sdk"


def test_configuration_without_tool_calls_sends_nothing(detector, make_provider):
    provider = make_provider("tool_call_accuracy",
                             config=configuration(tool_calls_field=None))
    result = provider.evaluate(table(["q0", "q1"]))
    assert detector.requests == []
    assert result.value == "Error" and result.errors == []
    assert result.record_level_metrics == [] and result.total_records == 0
