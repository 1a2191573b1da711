"""Pytest fixtures that run the local detection service.

Enable them in a test module with ``pytest_plugins = ["detection_service.pytest_plugin"]``.

- ``detection_service``: a started plain-HTTP ``DetectionServer``, stopped after the test.
- ``detection_service_tls``: the same over HTTPS with a certificate for 127.0.0.1 and
  localhost issued by a throwaway authority; ``server.ca_pem`` holds the authority's
  certificate, ``server.ca_file`` a PEM file of it and ``server.client_ssl_context()``
  a client context that trusts it. Nothing else trusts it.
- ``detection_service_ca``: that authority (a ``trustme.CA``, one per session).
- ``detection_service_ca_trusted``: makes aiohttp's default verifying TLS context (what
  ``ssl=True`` uses) trust the authority for the duration of the test.
- ``detection_service_factory``: ``make(tls=False, tokens=None, instance_id=None)`` gives
  further started servers, all stopped after the test.
"""

from __future__ import annotations

import ssl
from collections.abc import Iterable, Iterator
from typing import Any

import pytest

from detection_service.server import DetectionServer


def _trustme():
    try:
        import trustme
    except ImportError:  # pragma: no cover - depends on the environment
        pytest.fail("the TLS fixtures of detection_service need the 'trustme' package")
    return trustme


@pytest.fixture(scope="session")
def detection_service_ca():
    """The session's throwaway certificate authority for the TLS fixtures."""
    return _trustme().CA()


@pytest.fixture(scope="session")
def _detection_service_tls_material(detection_service_ca, tmp_path_factory) -> tuple[ssl.SSLContext, str, str]:
    leaf = detection_service_ca.issue_cert("127.0.0.1", "localhost")
    server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    leaf.configure_cert(server_context)
    pem = detection_service_ca.cert_pem.bytes().decode("ascii")
    path = tmp_path_factory.mktemp("detection-service-ca") / "ca.pem"
    path.write_text(pem)
    return server_context, pem, str(path)


@pytest.fixture
def detection_service_factory(request) -> Iterator[Any]:
    """``make(tls=False, tokens=None, instance_id=None)``: started servers, stopped after the test."""
    started: list[DetectionServer] = []

    def make(
        tls: bool = False,
        tokens: Iterable[str] | str | None = None,
        instance_id: Iterable[str] | str | None = None,
    ) -> DetectionServer:
        server_context = pem = path = None
        if tls:  # the authority is made only when a test needs TLS
            server_context, pem, path = request.getfixturevalue("_detection_service_tls_material")
        server = DetectionServer(ssl_context=server_context, tokens=tokens, instance_id=instance_id)
        server.ca_pem, server.ca_file = pem, path
        server.start()
        started.append(server)
        return server

    yield make
    for server in started:
        server.stop()


@pytest.fixture
def detection_service(detection_service_factory) -> DetectionServer:
    """A plain-HTTP detection service that accepts any non-empty token and instance id."""
    return detection_service_factory()


@pytest.fixture
def detection_service_tls(detection_service_factory) -> DetectionServer:
    """An HTTPS detection service whose certificate only ``detection_service_ca`` vouches for."""
    return detection_service_factory(tls=True)


@pytest.fixture
def detection_service_ca_trusted(_detection_service_tls_material, monkeypatch) -> ssl.SSLContext:
    """Let ``ssl=True`` requests of aiohttp trust the session's authority during this test.

    aiohttp makes its default verifying context once, so setting SSL_CERT_FILE afterwards
    has no effect; the fixture puts in its place one that trusts the system's authorities
    and the session's. Newer releases make that context at import, older ones (3.10) on a
    connector's first request.
    """
    from aiohttp import connector

    context = ssl.create_default_context()
    context.load_verify_locations(cadata=_detection_service_tls_material[1])
    context.set_alpn_protocols(["http/1.1"])
    if isinstance(getattr(connector, "_SSL_CONTEXT_VERIFIED", None), ssl.SSLContext):
        monkeypatch.setattr(connector, "_SSL_CONTEXT_VERIFIED", context)
    elif callable(getattr(connector.TCPConnector, "_make_ssl_context", None)):
        make = connector.TCPConnector._make_ssl_context
        monkeypatch.setattr(connector.TCPConnector, "_make_ssl_context",
                            staticmethod(lambda verified: context if verified else make(verified)))
        # what earlier connectors made is kept for every connector of the class
        monkeypatch.setattr(connector.TCPConnector, "_made_ssl_context", {})
    else:
        pytest.fail("this aiohttp version keeps no default verifying context to extend")
    return context
