"""Fixtures for the tests of the modules in a host process: a local detection service and the
SDK client that reaches it."""

from __future__ import annotations

import pytest
from detection_service import run_in_thread
from host_kit import TOKEN

from tessaly.clients.api_client import APIClient
from tessaly.entities.credentials import Credentials


@pytest.fixture(scope="module")
def detection():
    with run_in_thread(tokens=TOKEN) as service:
        yield service


@pytest.fixture
def client(detection) -> APIClient:
    return APIClient(credentials=Credentials(url=detection.url, version="5.0", api_key=TOKEN))
