"""Fixtures of the partitioned-run tests: a local detection service, the SDK client that reaches
it, and a Dask cluster of two worker processes on 127.0.0.1 (one thread each) whose workers
answer the criteria judge locally."""

from __future__ import annotations

import pytest
from detection_service import run_in_thread
from partitioned_kit import TOKEN, LocalResponder, politeness_responder
from tabulo.inference import local_responder

from tessaly.clients.api_client import APIClient
from tessaly.entities.credentials import Credentials


@pytest.fixture(scope="module", autouse=True)
def _criteria_judge_answered_here():
    """The criteria judge's model, in this process (the workers have LocalResponder)."""
    with local_responder(politeness_responder):
        yield


@pytest.fixture(scope="module")
def session_detection():
    with run_in_thread(tokens=TOKEN) as service:
        yield service


@pytest.fixture
def detection(session_detection):
    """The session's detection service, with no records or script left from another test."""
    session_detection.clear()
    yield session_detection
    session_detection.clear()


@pytest.fixture
def client_of(detection):
    """The SDK client of the detection service (a new one per test)."""
    return lambda: APIClient(credentials=Credentials(url=detection.url, version="5.0", api_key=TOKEN))


@pytest.fixture(scope="module")
def cluster():
    # Module-wide, so that its threads and processes are gone before other tests measure
    # memory.
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as local:
        with distributed.Client(local) as dask_client:
            dask_client.register_plugin(LocalResponder())
            yield dask_client


@pytest.fixture
def dask_client(cluster):
    """The cluster's client, with both workers up at the start of the test."""
    cluster.wait_for_workers(2, timeout=60)
    yield cluster


@pytest.fixture(scope="module")
def threads_client():
    """The client of a cluster in this process: one worker of four threads, on 127.0.0.1 alone
    (its health page too, on a free port)."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=4, processes=False, protocol="tcp",
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  scheduler_kwargs={"dashboard": False}) as local:
        with distributed.Client(local) as threads:
            yield threads
