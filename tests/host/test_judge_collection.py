"""The judge providers in a long-running host: a reference cycle through an evaluation that
waits on the executor (or never started) is collected, as for the same shape in Python."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import weakref

import pytest
from host_kit import collect, configuration, qa_table

from tessaly.utils.async_util import start_event_loop_run_func

pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")


class PendingExecutor(concurrent.futures.ThreadPoolExecutor):
    """Takes every job and never runs it: an evaluation stays mid-request."""

    def submit(self, fn, /, *args, **kwargs):
        return concurrent.futures.Future()


class PythonJudgeProvider:
    """The shape of the judge providers' ``evaluate_async`` in Python."""

    def evaluate(self, data):
        raise AssertionError("never run")

    async def evaluate_async(self, data):
        loop = asyncio.get_event_loop()
        job = functools.partial(start_event_loop_run_func, func=self.evaluate, data=data)
        return await loop.run_in_executor(None, job)


def build(kind):
    if kind == "tabulo":
        from tessaly.providers.tabulo_provider import TabuloProvider

        return TabuloProvider(configuration=configuration(), metric_name="faithfulness",
                              metric_display_name="Faithfulness", metric_method="token_recall",
                              metric_prefix="metrics.rag.external_rag")
    if kind == "verdra":
        from tessaly.providers.verdra_provider import VerdraProvider

        return VerdraProvider("politeness", "Politeness", "numeric", None, [])
    return PythonJudgeProvider()


KINDS = ["tabulo", "verdra", "python"]


@pytest.mark.parametrize("kind", KINDS)
def test_evaluation_waiting_on_the_executor_is_collected_with_its_provider(kind):
    provider = build(kind)
    loop = asyncio.new_event_loop()
    loop.set_default_executor(PendingExecutor())
    task = loop.create_task(provider.evaluate_async(data=qa_table()))
    for _ in range(3):
        loop.run_until_complete(asyncio.sleep(0))
    assert not task.done()
    provider.task = task  # provider and task refer to each other
    held = weakref.ref(provider)
    loop.close()
    del provider, task
    collect()
    assert held() is None


@pytest.mark.parametrize("kind", KINDS)
def test_unstarted_evaluation_kept_on_its_provider_is_collected(kind):
    provider = build(kind)
    provider.pending = provider.evaluate_async(data=qa_table())
    held = weakref.ref(provider)
    del provider
    collect()
    assert held() is None
