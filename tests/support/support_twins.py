"""Plain Python functions that behave as the self-test module's native ones should.

Each twin has the same name, qualified name, parameters, defaults and annotations as its
native counterpart, so binding errors, signatures and results can be compared one to one.
The module deliberately does not use ``from __future__ import annotations``: the
annotations are written as strings, which is what the native functions carry.
"""

import asyncio


def _check_exact(name, value, kind, none_ok=False):
    if type(value) is kind or (none_ok and value is None):
        return
    raise TypeError(
        f"Argument '{name}' has incorrect type "
        f"(expected {kind.__name__}, got {type(value).__name__})"
    )


def echo(a: "int", b=None, c: "list[int]" = [], **kwargs) -> "tuple":  # noqa: B006
    """Gives back what it was called with."""
    return (a, b, c, kwargs)


def add(a, b):
    return a + b


def exact(items, label=None):
    _check_exact("items", items, list)
    _check_exact("label", label, str, none_ok=True)
    return (items, label)


def schedule(
    configuration, data, metrics, api_client=None, metric_groups=[],  # noqa: B006
    *, partition_rows: "int" = 50000, client=None, progress=False, **kwargs,
):
    return (configuration, data, metrics, api_client, metric_groups, partition_rows, client, progress, kwargs)


def tagged(items, label=None, *, mode, limit=10, strict):
    _check_exact("items", items, list)
    _check_exact("mode", mode, str)
    _check_exact("limit", limit, int)
    return (items, label, mode, limit, strict)


def keywords_only(*, x, y, z):
    return (x, y, z)


def exact_call(f, items):
    _check_exact("items", items, list)
    return f(items)


def _entries(mapping):
    # The native function walks dicts only; anything else contributes no keywords.
    return dict(mapping) if isinstance(mapping, dict) else {}


def merged_call(f, explicit_kwargs, kwargs):
    explicit_kwargs, kwargs = _entries(explicit_kwargs), _entries(kwargs)
    for key in kwargs:
        if not isinstance(key, str):
            raise TypeError("keywords must be strings")
        if key in explicit_kwargs:
            raise TypeError(f"function() got multiple values for keyword argument '{key}'")
    return f(**explicit_kwargs, **kwargs)


def wrap_error(f, as_cause=True):
    try:
        return f()
    except Exception as e:
        if as_cause:
            raise RuntimeError(f"wrapped: {e}") from e
        raise RuntimeError(f"wrapped: {e}")


async def trivial(value=None):
    return value


async def await_each(awaitables):
    results = []
    for awaitable in list(awaitables):
        results.append(await awaitable)
    return results


async def guarded(awaitable):
    try:
        value = await awaitable
    except Exception as e:
        return ("caught", e)
    return ("ok", value)


async def within(manager, awaitable):
    async with manager:
        return await awaitable


async def nap(delay, value):
    await asyncio.sleep(delay)
    return await trivial(value)


async def await_made(make, then):
    await make()
    return await then


async def keep(log, first, then):
    try:
        kept = await first
        return kept, await then
    finally:
        log.append(None)


async def hold(log, awaitable):
    try:
        return await awaitable
    finally:
        log.append(None)


async def raise_stop():
    raise StopIteration("leaked")


class Sample:
    """A plain class made natively."""

    kind = "sample"

    def get(self, key=None):
        return (self.kind, key)

    def lookup(self, key, *, default=None):
        return (self.kind, key, default)

    def secret(self):
        return self.__hidden()

    def __hidden(self):
        return "hidden"

    @staticmethod
    def twice(x):
        return x + x

    async def fetch(self, value):
        return self
