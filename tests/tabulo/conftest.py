"""Fixtures for the judge-library provider (tessaly.providers.tabulo_provider) and the
tabulo stand-in.

The native module is imported once in a child interpreter first: a module that
crashes the interpreter on import must fail one test (test_tabulo_module.py), not
take the whole test session down with it.  Tests reach the module through the
``tp`` fixture, never by a module-level import.
"""

from __future__ import annotations

import importlib

import pytest
from tabulo import catalog, inference
from tabulo.metrics import FunctionMetric
from tabulo_kit import MODULE, TEST_PREFIX, Probe, import_failure


@pytest.fixture(scope="session")
def tp():
    failure = import_failure()
    if failure:
        pytest.skip("the native module cannot be imported (see test_module_imports_in_a_fresh_interpreter)")
    return importlib.import_module(MODULE)


@pytest.fixture
def fresh_state(tp):
    """An empty engine cache and no local responders, before and after the test."""
    tp._inference_engine_cache.clear()
    inference.clear_responders()
    yield
    tp._inference_engine_cache.clear()
    inference.clear_responders()
    assert not tp.TabuloProvider._lock.locked(), "a run left the class lock held"


@pytest.fixture
def probe(tp):
    """``probe(metric, method, score=...)`` registers a Probe under TEST_PREFIX for the test."""
    entered = []

    def register(metric: str, method: str, score=lambda instance: 0.5, prefix: str = TEST_PREFIX) -> Probe:
        p = Probe(score, tp)
        name = f"{prefix}.{metric}.{method}"
        cm = catalog.registered(name, FunctionMetric(p, main_score=metric))
        cm.__enter__()
        entered.append(cm)
        return p

    yield register
    for cm in reversed(entered):
        cm.__exit__(None, None, None)
