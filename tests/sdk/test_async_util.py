import asyncio
import threading

import pytest

from tessaly.utils.async_util import (
    gather_with_concurrency,
    run_in_event_loop,
    start_event_loop_run_func,
)


class Boom(Exception):
    pass


async def double(value, *, delay=0.0):
    await asyncio.sleep(delay)
    return value * 2


async def fail(message="boom"):
    await asyncio.sleep(0)
    raise Boom(message)


class TestRunInEventLoop:
    def test_from_plain_code_passes_arguments_and_returns_value(self):
        assert run_in_event_loop(double, 21, delay=0.001) == 42

    def test_from_plain_code_exception_propagates_unchanged(self):
        with pytest.raises(Boom, match="plain"):
            run_in_event_loop(fail, "plain")

    def test_inside_running_loop_runs_on_another_thread(self):
        caller = threading.get_ident()

        async def where():
            return threading.get_ident()

        async def main():
            return run_in_event_loop(where), run_in_event_loop(double, 5)

        worker, doubled = asyncio.run(main())
        assert worker != caller
        assert doubled == 10

    def test_inside_running_loop_exception_propagates_unchanged(self):
        raised = Boom("inner")

        async def raise_it():
            raise raised

        async def main():
            run_in_event_loop(raise_it)

        with pytest.raises(Boom) as info:
            asyncio.run(main())
        assert info.value is raised

    def test_keeps_the_loop_set_on_the_thread(self):
        # Code run by start_event_loop_run_func may call run_in_event_loop and then
        # still rely on the thread's own loop.
        def body():
            before = asyncio.get_event_loop()
            assert run_in_event_loop(double, 1) == 2
            return asyncio.get_event_loop() is before

        assert start_event_loop_run_func(body) is True


class TestGatherWithConcurrency:
    def test_bound_is_respected_and_order_kept(self):
        state = {"running": 0, "peak": 0}

        async def job(index):
            state["running"] += 1
            state["peak"] = max(state["peak"], state["running"])
            await asyncio.sleep(0.001 * (10 - index))  # later jobs finish first
            state["running"] -= 1
            return index

        results = asyncio.run(
            gather_with_concurrency(coros=[job(i) for i in range(10)], max_concurrency=3)
        )
        assert results == list(range(10))
        assert state["peak"] == 3

    def test_empty_list(self):
        assert asyncio.run(gather_with_concurrency(coros=[], max_concurrency=2)) == []

    def test_failure_propagates_and_leaves_nothing_pending(self, recwarn):
        started, finished = [], []

        async def slow(index):
            started.append(index)
            await asyncio.sleep(10)
            finished.append(index)

        async def main():
            coros = [slow(0), fail("second"), slow(2), slow(3), slow(4)]
            with pytest.raises(Boom, match="second"):
                await gather_with_concurrency(coros=coros, max_concurrency=2)
            await asyncio.sleep(0)
            current = asyncio.current_task()
            return [t for t in asyncio.all_tasks() if t is not current]

        leftover = asyncio.run(main())
        assert leftover == []
        assert finished == []
        # The failure freed a slot, so at most one more job had started.
        assert set(started) <= {0, 2}
        # Jobs never started were closed rather than dropped unawaited.
        assert not [w for w in recwarn if "never awaited" in str(w.message)]

    @pytest.mark.parametrize(
        ("bound", "error"), [(0, ValueError), (-1, ValueError), (2.0, TypeError), (True, TypeError)]
    )
    def test_bad_bound(self, bound, error, recwarn):
        with pytest.raises(error):
            asyncio.run(gather_with_concurrency(coros=[double(1)], max_concurrency=bound))
        assert not [w for w in recwarn if "never awaited" in str(w.message)]


class TestStartEventLoopRunFunc:
    def test_on_executor_thread_func_sees_a_loop(self):
        def body(value):
            return asyncio.get_event_loop().run_until_complete(double(value))

        async def main():
            loop = asyncio.get_running_loop()
            return await loop.run_in_executor(
                None, lambda: start_event_loop_run_func(body, value=4)
            )

        assert asyncio.run(main()) == 8

    def test_exception_propagates(self):
        def body():
            raise Boom("in func")

        with pytest.raises(Boom, match="in func"):
            start_event_loop_run_func(body)


def test_an_error_from_plain_code_keeps_its_own_context():
    async def fails():
        raise ValueError("boom")

    with pytest.raises(ValueError) as raised:
        run_in_event_loop(fails)
    assert raised.value.__context__ is None
