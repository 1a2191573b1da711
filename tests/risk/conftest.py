"""Fixtures of the model-risk tests: a usage server on loopback, an SDK client
pointed at it, a scriptable risk plug-in and the poppler tools."""

from __future__ import annotations

import shutil
import subprocess

import pytest
from risk_kit import ScriptedPlugin, make_api_client

from tessaly.evaluators.impl import risk_runner


@pytest.fixture
def rr():
    return risk_runner


@pytest.fixture
def events() -> list[str]:
    """What happened, in order: plug-in calls, usage reports, result creation."""
    return []


@pytest.fixture
def usage_server(loopback_server, events):
    def respond(request):
        events.append("usage")
        return 200

    return loopback_server(respond)


@pytest.fixture
def api_client(usage_server):
    return make_api_client(usage_server.url)


@pytest.fixture
def plugin(monkeypatch, rr, events):
    """Replaces the plug-in class with a fresh scripted one."""
    scripted = type("Scripted", (ScriptedPlugin,), {"instances": [], "events": events})
    monkeypatch.setattr(rr, "EvaluateFMRisk", scripted)
    return scripted


@pytest.fixture
def recorded_result_class(monkeypatch, rr, events):
    """Records the moment the ModelRiskResult is created."""
    real = rr.ModelRiskResult

    def make(**kwargs):
        events.append("result")
        return real(**kwargs)

    monkeypatch.setattr(rr, "ModelRiskResult", make)


@pytest.fixture
def poppler():
    """Runs a poppler-utils tool; skips the test when it is not installed."""

    def run(tool: str, *args: str) -> subprocess.CompletedProcess:
        path = shutil.which(tool)
        if path is None:
            pytest.skip(f"{tool} (poppler-utils) is not installed")
        return subprocess.run([path, *args], capture_output=True, text=True, timeout=60)

    return run
