"""Fixtures for the native support layer's tests.

The layer is reached through ``tessaly._support_selftest``, a module built only with
``-C cmake.define.TESSALY_SELFTEST=ON``; without it these tests are skipped.
"""

from __future__ import annotations

import asyncio
import gc
import warnings

import pytest


@pytest.fixture(scope="session")
def st():
    return pytest.importorskip(
        "tessaly._support_selftest",
        reason="the support self-test module is built only with TESSALY_SELFTEST=ON",
    )


@pytest.fixture
def loop():
    """An event loop that is never run: futures for driving coroutines by hand."""
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


@pytest.fixture
def collect():
    """Full collection, with the warnings of dropped coroutines silenced."""

    def run() -> None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            gc.collect()

    return run
