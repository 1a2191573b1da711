"""Bridges between synchronous code and coroutines."""

import asyncio
import concurrent.futures
import contextvars
import inspect
from collections.abc import Awaitable, Callable, Iterable
from typing import Any


async def _await(coroutine_function: Callable[..., Awaitable], args, kwargs):
    return await coroutine_function(*args, **kwargs)


def _run_on_new_loop(coroutine_function, args, kwargs, context=None):
    # A private loop that is never installed as the thread's current loop, so
    # a loop the thread already has set (start_event_loop_run_func) survives.
    with asyncio.Runner(loop_factory=asyncio.new_event_loop) as runner:
        return runner.run(_await(coroutine_function, args, kwargs), context=context)


def run_in_event_loop(coroutine_function: Callable[..., Awaitable], *args: Any, **kwargs: Any) -> Any:
    """Run ``coroutine_function(*args, **kwargs)`` to completion and return its value.

    From plain synchronous code the coroutine runs on a fresh event loop of this
    thread. When this thread is already running a loop (which cannot be entered
    again), it runs on a fresh loop in a worker thread while this thread blocks.
    Either way the coroutine's exception propagates unchanged.
    """
    if not callable(coroutine_function):
        raise TypeError(
            f"coroutine_function must be callable, got {type(coroutine_function).__name__}"
        )
    try:
        asyncio.get_running_loop()
        in_a_loop = True
    except RuntimeError:
        in_a_loop = False
    if not in_a_loop:
        # Outside the handler, so that the coroutine's own exception keeps its own context.
        return _run_on_new_loop(coroutine_function, args, kwargs)
    context = contextvars.copy_context()
    with concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="tessaly-loop") as pool:
        return pool.submit(_run_on_new_loop, coroutine_function, args, kwargs, context).result()


def _close_unstarted(awaitables) -> None:
    for awaitable in awaitables:
        if inspect.iscoroutine(awaitable):
            awaitable.close()


async def _bounded(semaphore: asyncio.Semaphore, awaitable: Awaitable):
    started = False
    try:
        async with semaphore:
            started = True
            return await awaitable
    finally:
        if not started:  # cancelled while waiting for a slot
            _close_unstarted([awaitable])


async def gather_with_concurrency(coros: Iterable[Awaitable], max_concurrency: int = 10) -> list:
    """Await every awaitable of ``coros``, at most ``max_concurrency`` at a time.

    Returns their values in the order of ``coros``. If one fails, the others are
    cancelled (those not yet started are closed) and its exception propagates.
    """
    coros = list(coros)
    problem = None
    if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int):
        problem = TypeError(f"max_concurrency must be an int, got {type(max_concurrency).__name__}")
    elif max_concurrency < 1:
        problem = ValueError(f"max_concurrency must be at least 1, got {max_concurrency}")
    elif not all(inspect.isawaitable(c) for c in coros):
        bad = next(c for c in coros if not inspect.isawaitable(c))
        problem = TypeError(f"coros must hold awaitables, got {type(bad).__name__}")
    if problem is not None:
        _close_unstarted(coros)
        raise problem

    semaphore = asyncio.Semaphore(max_concurrency)
    tasks = [asyncio.ensure_future(_bounded(semaphore, c)) for c in coros]
    try:
        return await asyncio.gather(*tasks)
    except BaseException:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        raise


def _cancel_pending(loop: asyncio.AbstractEventLoop) -> None:
    pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
    for task in pending:
        task.cancel()
    if pending:
        loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))


def start_event_loop_run_func(func: Callable[..., Any], **kwargs: Any) -> Any:
    """Call ``func(**kwargs)`` with a new event loop set as this thread's loop.

    Meant for executor threads, which have no loop of their own: code inside
    ``func`` may use ``asyncio.get_event_loop()``. If ``func`` returns an
    awaitable, it is run to completion on that loop. The loop is closed and
    unset afterwards; ``func``'s exception propagates.
    """
    if not callable(func):
        raise TypeError(f"func must be callable, got {type(func).__name__}")
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    try:
        result = func(**kwargs)
        if inspect.isawaitable(result):
            result = loop.run_until_complete(result)
        return result
    finally:
        try:
            _cancel_pending(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            asyncio.set_event_loop(None)
            loop.close()
