"""Fixtures of the detection-provider tests: loopback detection services, TLS, recorders.

Every server listens on 127.0.0.1 only; TLS certificates come from a certificate authority
made with trustme for this test session, which nothing on the machine trusts.
"""

from __future__ import annotations

import socket
import ssl

import pytest
import trustme

from screening_kit import (
    LOOPBACK,
    DetectorServer,
    RecordingAiohttp,
    RecordingAsyncio,
    api_client,
    configuration,
)
from tessaly.providers import screening_provider


@pytest.fixture(scope="session")
def shared_detector():
    """One plain-HTTP detection service for the whole session (reset by ``detector``)."""
    server = DetectorServer().start()
    yield server
    server.close()


@pytest.fixture
def detector(shared_detector):
    """The session's detection service, with an empty record and the default script."""
    shared_detector.reset()
    yield shared_detector
    shared_detector.reset()


@pytest.fixture(scope="session")
def detector_ca() -> trustme.CA:
    return trustme.CA()


@pytest.fixture(scope="session")
def shared_tls_detector(detector_ca):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    detector_ca.issue_cert(LOOPBACK, "localhost").configure_cert(context)
    server = DetectorServer(ssl_context=context).start()
    yield server
    server.close()


@pytest.fixture
def tls_detector(shared_tls_detector):
    shared_tls_detector.reset()
    yield shared_tls_detector
    shared_tls_detector.reset()


@pytest.fixture
def refused_root():
    """A root URL on 127.0.0.1 whose port is bound but not listening: connections are refused."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((LOOPBACK, 0))
    try:
        yield f"http://{LOOPBACK}:{sock.getsockname()[1]}"
    finally:
        sock.close()


@pytest.fixture
def sleeps(monkeypatch) -> list:
    """Back-off waits of the provider, recorded instead of waited."""
    fake = RecordingAsyncio()
    monkeypatch.setattr(screening_provider, "asyncio", fake)
    return fake.sleeps


@pytest.fixture
def client_log(monkeypatch) -> RecordingAiohttp:
    """Every client session the provider makes, and every post on it."""
    fake = RecordingAiohttp()
    monkeypatch.setattr(screening_provider, "aiohttp", fake)
    return fake


@pytest.fixture
def token_calls(monkeypatch) -> list:
    """Replaces the token source: the n-th call returns "token-n"; records the arguments."""
    calls = []

    def fake_token(*args, **kwargs):
        calls.append((args, kwargs))
        return f"token-{len(calls)}"

    monkeypatch.setattr(screening_provider, "get_authenticator_token", fake_token)
    return calls


@pytest.fixture
def make_provider(detector):
    """``make_provider(metric_name="hap", method=None, root=None, config=None, **kwargs)``.

    Builds a provider that talks to ``root`` (by default the ``detector`` service) with
    the standard test configuration; other keywords go to the constructor.
    """

    def make(metric_name="hap", method=None, *, root=None, config=None, client=None,
             display_name=None, **kwargs):
        return screening_provider.ScreeningProvider(
            configuration() if config is None else config,
            metric_name,
            display_name or f"Display {metric_name}",
            method,
            api_client=client or api_client(root or detector.url),
            **kwargs,
        )

    return make
