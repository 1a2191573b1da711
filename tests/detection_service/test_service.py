"""The detection service's HTTP contract: credentials, refused bodies, scripted faults,
request records, TLS and its ways of starting and stopping."""

import asyncio
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import aiohttp
import pytest

from detection_service import CONTEXT_PATH, DETECTION_PATH, GENERATED_PATH, DetectionServer, run_in_thread

from detection_client import GOOD_HEADERS, post

pytest_plugins = ["detection_service.pytest_plugin"]

HAP_BODY = {"detectors": {"hap": {}}, "input": "hello"}


def without(name):
    return {k: v for k, v in GOOD_HEADERS.items() if k != name}


def assert_error(decoded, status, code):
    assert decoded["status_code"] == status
    assert decoded["errors"][0]["code"] == code
    assert decoded["errors"][0]["message"]


class TestCredentials:
    @pytest.mark.parametrize(
        "headers, status, code",
        [
            (without("Authorization"), 401, "authentication_token_missing"),
            ({**GOOD_HEADERS, "Authorization": "Basic dXNlcjpwdw=="}, 401, "authentication_token_missing"),
            ({**GOOD_HEADERS, "Authorization": "Bearer "}, 401, "authentication_token_missing"),
            (without("x-governance-instance-id"), 403, "instance_id_missing"),
        ],
    )
    def test_missing_credentials(self, detection_service, headers, status, code):
        got, decoded, _ = post(detection_service, DETECTION_PATH, HAP_BODY, headers=headers)
        assert got == status
        assert_error(decoded, status, code)

    def test_configured_tokens_and_instances(self, detection_service_factory):
        server = detection_service_factory(tokens=["token-1", "token-2"], instance_id="instance-1")
        assert post(server, DETECTION_PATH, HAP_BODY)[0] == 200
        status, decoded, _ = post(server, DETECTION_PATH, HAP_BODY, headers={**GOOD_HEADERS, "Authorization": "Bearer nope"})
        assert status == 401
        assert_error(decoded, 401, "authentication_token_not_valid")
        status, decoded, _ = post(server, DETECTION_PATH, HAP_BODY,
                                  headers={**GOOD_HEADERS, "x-governance-instance-id": "other"})
        assert status == 403
        assert_error(decoded, 403, "instance_not_entitled")
        server.tokens = "token-3"  # tokens can change while it runs, as after a refresh
        assert post(server, DETECTION_PATH, HAP_BODY)[0] == 401

    def test_bad_settings_are_refused(self):
        with pytest.raises(ValueError, match="tokens"):
            DetectionServer(tokens=[""])
        with pytest.raises(ValueError, match="loopback"):
            DetectionServer(host="0.0.0.0")


class TestRefusedRequests:
    @pytest.mark.parametrize(
        "path, body, code",
        [
            (DETECTION_PATH, "{not json", "json_parse_error"),
            (DETECTION_PATH, "[1, 2]", "json_validation_error"),
            (DETECTION_PATH, {"detectors": {"hap": {}}}, "json_validation_error"),
            (DETECTION_PATH, {"detectors": {"hap": {}}, "input": float("nan")}, "json_validation_error"),
            (DETECTION_PATH, {"detectors": {}, "input": "x"}, "json_validation_error"),
            (DETECTION_PATH, {"detectors": {"hap": {}}, "input": "x", "prompt": "y"}, "json_validation_error"),
            (DETECTION_PATH, {"detectors": {"nonsense": {}}, "input": "x"}, "invalid_detector"),
            (DETECTION_PATH, {"detectors": {"faithfulness": {}}, "input": "x"}, "invalid_detector"),
            (DETECTION_PATH, {"detectors": {"hap": {"colour": 1}}, "input": "x"}, "json_validation_error"),
            (DETECTION_PATH, {"detectors": {"keyword": {}}, "input": "x"}, "invalid_detector_params"),
            (DETECTION_PATH, {"detectors": {"regex": {"regex": ["("]}}, "input": "x"}, "invalid_detector_params"),
            (DETECTION_PATH, {"detectors": {"stonewatch": {"risk_name": "boredom"}}, "input": "x"}, "invalid_detector_params"),
            (DETECTION_PATH, {"detectors": {"topic_relevance": {}}, "input": "x"}, "invalid_detector_params"),
            (GENERATED_PATH, {"detectors": {"answer_relevance": {}}, "prompt": "x"}, "json_validation_error"),
            (CONTEXT_PATH, {"detectors": {"faithfulness": {}}, "input": "x", "context": ["c"]}, "json_validation_error"),
            (CONTEXT_PATH, {"detectors": {"faithfulness": {}}, "input": "x", "context_type": "docs", "context": "c"},
             "json_validation_error"),
        ],
    )
    def test_malformed_bodies(self, detection_service, path, body, code):
        status, decoded, text = post(detection_service, path, body)
        assert status == 400, text
        assert_error(decoded, 400, code)

    @pytest.mark.parametrize(
        "query, code", [(None, "missing_version"), ("version=latest", "invalid_version"),
                        ("version=2023-01-01", "unsupported_version")]
    )
    def test_version_query(self, detection_service, query, code):
        status, decoded, _ = post(detection_service, DETECTION_PATH, HAP_BODY, query=query)
        assert status == 400
        assert_error(decoded, 400, code)

    def test_other_requests_get_json_errors(self, detection_service):
        status, decoded, _ = post(detection_service, DETECTION_PATH, HAP_BODY,
                                  headers={**GOOD_HEADERS, "Content-Type": "text/plain"})
        assert (status, decoded["errors"][0]["code"]) == (415, "unsupported_media_type")
        status, decoded, _ = post(detection_service, "/ml/v1/text/nothing", HAP_BODY)
        assert (status, decoded["errors"][0]["code"]) == (404, "not_found")

        async def get():
            async with aiohttp.ClientSession() as session:
                async with session.get(detection_service.url + DETECTION_PATH) as response:
                    return response.status, await response.json()

        status, decoded = asyncio.run(get())
        assert (status, decoded["errors"][0]["code"]) == (405, "method_not_allowed")


async def post_many(url, count, body=HAP_BODY):
    """Posts ``count`` requests at once; each result is a status or the exception's type."""

    async def one(session):
        try:
            async with session.post(url, data=json.dumps(body), headers=GOOD_HEADERS) as response:
                return response.status, await response.text()
        except aiohttp.ClientError as exc:
            return type(exc), None

    async with aiohttp.ClientSession() as session:
        return await asyncio.gather(*(one(session) for _ in range(count)))


def detection_url(server, path=DETECTION_PATH):
    return f"{server.url}{path}?version=2023-10-25"


class TestScript:
    def test_statuses_in_order_then_normal_service(self, detection_service):
        detection_service.script(DETECTION_PATH, [503, 200, 500])
        answers = [post(detection_service, DETECTION_PATH, HAP_BODY) for _ in range(4)]
        assert [status for status, _, _ in answers] == [503, 200, 500, 200]
        assert_error(answers[0][1], 503, "service_unavailable")
        assert answers[1][1] == {"detections": []}
        assert detection_service.script_remaining() == 0

    def test_path_queue_before_any_path_queue(self, detection_service):
        detection_service.script(None, [502])
        detection_service.script(CONTEXT_PATH, [504])
        body = {"detectors": {"context_relevance": {}}, "input": "x", "context_type": "docs", "context": []}
        assert post(detection_service, CONTEXT_PATH, body)[0] == 504
        assert post(detection_service, CONTEXT_PATH, body)[0] == 502
        assert post(detection_service, CONTEXT_PATH, body)[0] == 200

    def test_scripted_gateway_errors_come_before_the_credentials_check(self, detection_service):
        detection_service.script(None, [503])
        assert post(detection_service, DETECTION_PATH, HAP_BODY, headers=without("Authorization"))[0] == 503
        assert post(detection_service, DETECTION_PATH, HAP_BODY, headers=without("Authorization"))[0] == 401

    def test_special_entries(self, detection_service):
        detection_service.script(DETECTION_PATH, [
            "drop",
            ("raw", 200, "not json"),
            ("json", 200, {"detections": [{"score": 0.91234567}]}),
            ("delay", 0.3, 504),
        ])
        url = detection_url(detection_service)
        results = [asyncio.run(post_many(url, 1))[0] for _ in range(4)]
        assert results[0] == (aiohttp.ServerDisconnectedError, None)
        assert results[1] == (200, "not json")
        assert results[2] == (200, '{"detections": [{"score": 0.91234567}]}')
        assert results[3][0] == 504
        records = detection_service.posts()
        assert [r.status for r in records] == [None, 200, 200, 504]
        assert records[3].duration >= 0.3

    def test_requests_holding_a_text_are_answered_as_scripted_before_any_queue_until_cleared(self, detection_service):
        flaky = {"detectors": {"hap": {}}, "input": "a FLAKY record"}
        slow = {"detectors": {"hap": {}}, "input": "a SLOW record"}
        detection_service.script_where("FLAKY", 500)
        detection_service.script_where("SLOW", ("delay", 0.2, 504))
        detection_service.script(DETECTION_PATH, [503])
        answers = [post(detection_service, DETECTION_PATH, body) for body in (flaky, HAP_BODY, slow, flaky, HAP_BODY)]
        assert [status for status, _, _ in answers] == [500, 503, 504, 500, 200]
        assert_error(answers[0][1], 500, "internal_server_error")
        assert [r.scripted for r in detection_service.posts()] == [500, 503, ("delay", 0.2, 504), 500, None]
        detection_service.clear()
        assert post(detection_service, DETECTION_PATH, flaky)[0] == 200
        for text, entry in (("", 500), ("FLAKY", "nap")):
            with pytest.raises(ValueError):
                detection_service.script_where(text, entry)

    @pytest.mark.parametrize(
        "entries, error",
        [([99], ValueError), (["nap"], ValueError), ([("delay", -1)], ValueError),
         ([("raw", 200)], ValueError), ([("json", 200, object())], ValueError), (503, TypeError)],
    )
    def test_bad_entries_are_refused_at_once(self, detection_service, entries, error):
        with pytest.raises(error):
            detection_service.script(DETECTION_PATH, entries)
        assert detection_service.script_remaining() == 0


class TestRecords:
    def test_what_is_recorded(self, detection_service):
        post(detection_service, DETECTION_PATH, HAP_BODY)
        (record,) = detection_service.requests
        assert (record.method, record.path, record.query) == ("POST", DETECTION_PATH, {"version": "2023-10-25"})
        assert record.header("authorization") == "Bearer token-1"
        assert record.headers["X-Governance-Instance-Id"] == "instance-1"
        assert record.json() == HAP_BODY
        assert record.status == 200 and record.completed >= record.arrived

    def test_concurrency_is_measured(self, detection_service):
        url = detection_url(detection_service)
        asyncio.run(post_many(url, 3))
        assert len(detection_service.posts(DETECTION_PATH)) == 3
        detection_service.clear()
        assert detection_service.requests == [] and detection_service.max_in_flight == 0
        detection_service.script(None, [("delay", 0.3)] * 5)
        statuses = [status for status, _ in asyncio.run(post_many(url, 5))]
        assert statuses == [200] * 5
        assert detection_service.max_in_flight == 5
        assert detection_service.in_flight == 0


class TestTLS:
    def test_trusted_client(self, detection_service_tls):
        assert detection_service_tls.url.startswith("https://127.0.0.1:")
        context = detection_service_tls.client_ssl_context()
        assert post(detection_service_tls, DETECTION_PATH, HAP_BODY, ssl=context)[0] == 200

    def test_untrusted_certificate_is_refused(self, detection_service_tls):
        with pytest.raises(aiohttp.ClientConnectorCertificateError):
            asyncio.run(self._post(detection_service_tls.url))
        assert detection_service_tls.requests == []

    def test_default_verification_can_be_taught_the_authority(self, detection_service_tls, detection_service_ca_trusted):
        assert asyncio.run(self._post(detection_service_tls.url)) == 200

    @staticmethod
    async def _post(url):
        async with aiohttp.ClientSession() as session:
            async with session.post(url + DETECTION_PATH + "?version=2023-10-25", data=json.dumps(HAP_BODY),
                                    headers=GOOD_HEADERS, ssl=True) as response:
                return response.status


class TestLifecycle:
    def test_run_in_thread_leaves_nothing_behind(self):
        threads_before = set(threading.enumerate())
        with run_in_thread() as server:
            url = detection_url(server)
            assert asyncio.run(post_many(url, 1))[0][0] == 200
            server.script(None, [("delay", 30)])  # a request still waiting does not hold up the stop
            port = server.port
            pending = threading.Thread(target=lambda: asyncio.run(post_many(url, 1)))
            pending.start()
            while server.in_flight == 0:
                time.sleep(0.01)
            started = time.monotonic()
        assert time.monotonic() - started < 5
        pending.join(5)
        assert set(threading.enumerate()) == threads_before
        with socket.socket() as probe:
            assert probe.connect_ex(("127.0.0.1", port)) != 0

    def test_command_line(self, tmp_path):
        env = {**os.environ, "PYTHONUNBUFFERED": "1"}
        process = subprocess.Popen(
            [sys.executable, "-m", "detection_service", "--port", "0", "--token", "token-1"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        )
        try:
            line = process.stdout.readline().strip()
            assert line.startswith("listening on http://127.0.0.1:"), line + process.stderr.read()
            url = line.removeprefix("listening on ") + DETECTION_PATH + "?version=2023-10-25"
            assert asyncio.run(post_many(url, 1))[0][0] == 200
            process.send_signal(signal.SIGTERM)
            assert process.wait(10) == 0
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()
            process.stderr.close()
        refused = subprocess.run([sys.executable, "-m", "detection_service", "--host", "0.0.0.0"],
                                 capture_output=True, text=True, timeout=30)
        assert refused.returncode == 2 and "loopback" in refused.stderr
