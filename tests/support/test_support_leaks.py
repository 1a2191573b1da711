"""No growth over many calls and coroutines, on success and on every error path.

Each case runs a warm-up round, then a measured round, and checks three things: the
interpreter's traced memory (tracemalloc), the C heap in use (glibc's mallinfo2, which
also sees C++ allocations such as thrown exceptions), the number of objects the cycle
collector tracks, and the reference count of an object passed into every call.
"""

from __future__ import annotations

import asyncio
import ctypes
import functools
import gc
import sys
import tracemalloc
import warnings

import pytest
from sanitizer import UNDER_ADDRESS_SANITIZER

ROUNDS = 3000

# Under the AddressSanitizer runtime (the sanitizer build's test run) tracemalloc's total
# grows in some rounds with no leak, also with modules built without the sanitizer, and
# mallinfo2 does not see the runtime's own allocator: there only the tracked objects and the
# probe's reference count are compared (the sanitizer itself watches the memory).


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost",
    )]


def _c_heap_reader():
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2

    def read():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return read


C_HEAP = _c_heap_reader()


def _quiet_collect():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gc.collect()


def measure(run_round):
    """Growth of (traced bytes, C heap bytes, tracked objects) over one measured round."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run_round()
        run_round()
        _quiet_collect()
        tracemalloc.start()
        try:
            objects_before = len(gc.get_objects())
            heap_before = C_HEAP() if C_HEAP else 0
            traced_before = tracemalloc.get_traced_memory()[0]
            run_round()
            _quiet_collect()
            traced_after = tracemalloc.get_traced_memory()[0]
            heap_after = C_HEAP() if C_HEAP else 0
            objects_after = len(gc.get_objects())
        finally:
            tracemalloc.stop()
    return traced_after - traced_before, heap_after - heap_before, objects_after - objects_before


def assert_no_growth(run_round, probe, attempts=3):
    """A leak grows in every round; a one-off growth (a cache or a free list filling up,
    the event loop resizing a queue) does not repeat, so a clean round passes."""
    failures = []
    for _ in range(attempts):
        refs_before = sys.getrefcount(probe)
        traced, heap, objects = measure(run_round)
        refs_after = sys.getrefcount(probe)
        # One leaked object per call would be ROUNDS * (at least 16) bytes.
        problems = []
        if traced >= ROUNDS * 4 and not UNDER_ADDRESS_SANITIZER:
            problems.append(f"traced memory grew by {traced} bytes")
        if heap >= ROUNDS * 8 and not UNDER_ADDRESS_SANITIZER:
            problems.append(f"C heap grew by {heap} bytes")
        if objects >= ROUNDS // 20:
            problems.append(f"{objects} more tracked objects")
        if refs_after != refs_before:
            problems.append(f"probe reference count {refs_before} -> {refs_after}")
        if not problems:
            return
        failures.append(", ".join(problems))
    pytest.fail("growth in every round: " + " | ".join(failures))


def _swallow(f, *errors):
    def run(*args, **kwargs):
        try:
            f(*args, **kwargs)
        except errors:
            pass

    return run


def _kw(**kwargs):
    return kwargs


def _kw_and_args(*args, **kwargs):
    return args, kwargs


def _raise(exc):
    raise exc


# ---- plain calls --------------------------------------------------------------------------

CALLS = {
    "echo": lambda st, p: st.echo(p, p, [p], extra=p),
    "echo-defaults": lambda st, p: st.echo(p),
    "add": lambda st, p: st.add([p], [p]),
    "exact": lambda st, p: st.exact([p], "x"),
    "exact_call": lambda st, p: st.exact_call(len, [p]),
    "merged_call": lambda st, p: st.merged_call(_kw, {"a": p}, {"b": p}),
    "built_call": lambda st, p: st.built_call(_kw_and_args),
    "unpacked_call": lambda st, p: st.unpacked_call(_kw_and_args, [p], {"a": p}),
    "unpacked-non-text-key": _swallow(lambda st, p: st.unpacked_call(_kw_and_args, (p,), {1: p}), TypeError),
    "unpacked-not-a-dict": _swallow(lambda st, p: st.unpacked_call(_kw_and_args, (p,), [p]), TypeError),
    "keyword-only": lambda st, p: st.schedule(p, p, p, client=p, extra=p),
    "keyword-only-defaults": lambda st, p: st.schedule(p, p, p),
    "kwdefaults": lambda st, p: st.schedule.__kwdefaults__,
    "Sample.get": lambda st, p: st.Sample().get(p),
    "Sample.lookup": lambda st, p: st.Sample().lookup(p, default=p),
    "Sample.secret": lambda st, p: st.Sample().secret(),
    "Sample.twice": lambda st, p: st.Sample.twice([p]),
    "Point": lambda st, p: st.Point(x=1, y=2).model_dump(),
    "coroutine-made-and-closed": lambda st, p: st.trivial(p).close(),
    "large-frame-made-and-closed": lambda st, p: st.hold_large([p], p).close(),
    "frame-refused": _swallow(lambda st, p: st.hold_oversized([p], p), MemoryError),
    "too-many-positional": _swallow(lambda st, p: st.echo(p, p, p, p), TypeError),
    "missing": _swallow(lambda st, p: st.add(p), TypeError),
    "unexpected-keyword": _swallow(lambda st, p: st.add(p, bb=p), TypeError),
    "multiple-values": _swallow(lambda st, p: st.echo(p, a=p), TypeError),
    "too-many-positional-keyword-only": _swallow(lambda st, p: st.keywords_only(p, x=p), TypeError),
    "missing-keyword-only": _swallow(lambda st, p: st.keywords_only(y=p), TypeError),
    "unexpected-keyword-only": _swallow(lambda st, p: st.tagged([p], limt=p), TypeError),
    "exact-type-error": _swallow(lambda st, p: st.exact((p,), "x"), TypeError),
    "exact-keyword-only-error": _swallow(lambda st, p: st.tagged([p], mode=p, strict=p), TypeError),
    "exact-none-error": _swallow(lambda st, p: st.exact_call(p, None), TypeError),
    "merge-duplicate": _swallow(lambda st, p: st.merged_call(_kw, {"a": p}, {"a": p}), TypeError),
    "merge-non-text-key": _swallow(lambda st, p: st.merged_call(_kw, {}, {1: p}), TypeError),
    "wrap-cause": _swallow(lambda st, p: st.wrap_error(functools.partial(_raise, ValueError(p))), RuntimeError),
    "wrap-context": _swallow(lambda st, p: st.wrap_error(functools.partial(_raise, ValueError(p)), False), RuntimeError),
    "wrap-passes-base": _swallow(
        lambda st, p: st.wrap_error(functools.partial(_raise, KeyboardInterrupt(p))), KeyboardInterrupt
    ),
    "cpp-bad-alloc": _swallow(lambda st, p: st.throw_cpp("bad_alloc"), MemoryError),
    "cpp-runtime": _swallow(lambda st, p: st.throw_cpp("runtime"), SystemError),
    "cpp-other": _swallow(lambda st, p: st.throw_cpp("other"), SystemError),
    "body-type-error": _swallow(lambda st, p: st.throw_cpp(p), TypeError),
}


@pytest.mark.parametrize("case", list(CALLS))
def test_calls_do_not_leak(st, case):
    call = CALLS[case]
    probe = object()

    def run_round():
        for _ in range(ROUNDS):
            call(st, probe)

    assert_no_growth(run_round, probe)


# ---- coroutines -----------------------------------------------------------------------------

async def _py_fail(p):
    await asyncio.sleep(0)
    raise ValueError(p)


class _Manager:
    def __init__(self, suppress):
        self.suppress = suppress

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        return self.suppress


async def _cancelled(st, p):
    task = asyncio.create_task(st.hold([p], st.nap(10, p)))
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


async def _swallowing(coro, *errors):
    try:
        await coro
    except errors:
        pass


def _dropped_half_run(st, loop, p):
    c = st.hold([p], loop.create_future())
    c.send(None)
    del c


def _thrown_into(st, loop, p):
    c = st.hold([p], loop.create_future())
    c.send(None)
    try:
        c.throw(ValueError(p))
    except ValueError:
        pass


def _second_awaiter(st, loop, p):
    shared = st.hold([p], loop.create_future())
    first, second = st.await_each([shared]), st.await_each([shared])
    first.send(None)
    try:
        second.send(None)
    except RuntimeError:
        pass
    first.close()


ASYNC_CASES = {
    "trivial": lambda st, p: st.trivial(p),
    "nap": lambda st, p: st.nap(0, p),
    "await_each": lambda st, p: st.await_each([st.trivial(p), asyncio.sleep(0, p)]),
    "guarded-ok": lambda st, p: st.guarded(st.trivial(p)),
    "guarded-caught": lambda st, p: st.guarded(_py_fail(p)),
    "within": lambda st, p: st.within(_Manager(False), st.trivial(p)),
    "within-suppressed": lambda st, p: st.within(_Manager(True), _py_fail(p)),
    "within-failing": lambda st, p: _swallowing(st.within(_Manager(False), _py_fail(p)), ValueError),
    "error-through-native": lambda st, p: _swallowing(st.await_each([_py_fail(p)]), ValueError),
    "raise-stop": lambda st, p: _swallowing(st.raise_stop(), RuntimeError),
    "cpp-in-frame": lambda st, p: _swallowing(st.fail_later("runtime", st.trivial(p)), SystemError),
    "cpp-bad-alloc-in-frame": lambda st, p: _swallowing(st.fail_later("bad_alloc", asyncio.sleep(0)), MemoryError),
    "cancelled": _cancelled,
    "gathered": lambda st, p: asyncio.gather(st.trivial(p), st.nap(0, p)),
}


@pytest.mark.parametrize("case", list(ASYNC_CASES))
def test_awaited_coroutines_do_not_leak(st, case):
    make = ASYNC_CASES[case]
    probe = object()
    loop = asyncio.new_event_loop()
    rounds = ROUNDS // 3 if case in ("cancelled", "gathered") else ROUNDS

    async def many():
        for _ in range(rounds):
            await make(st, probe)

    try:
        assert_no_growth(lambda: loop.run_until_complete(many()), probe)
    finally:
        loop.close()


SYNC_CASES = {
    "never-awaited": lambda st, loop, p: st.hold([p], p),
    "closed-unstarted": lambda st, loop, p: st.hold([p], p).close(),
    "dropped-half-run": _dropped_half_run,
    "closed-half-run": lambda st, loop, p: (lambda c: (c.send(None), c.close()))(st.hold([p], loop.create_future())),
    "thrown-into": _thrown_into,
    "refused-send": _swallow(lambda st, loop, p: st.trivial(p).send(p), TypeError),
    "second-awaiter": _second_awaiter,
    "invalid-throw": _swallow(lambda st, loop, p: st.trivial(p).throw(ValueError(p), p), TypeError),
}


@pytest.mark.parametrize("case", list(SYNC_CASES))
def test_driven_and_dropped_coroutines_do_not_leak(st, case):
    make = SYNC_CASES[case]
    probe = object()
    loop = asyncio.new_event_loop()

    def run_round():
        for _ in range(ROUNDS):
            make(st, loop, probe)

    try:
        assert_no_growth(run_round, probe)
    finally:
        loop.close()


def test_functions_and_classes_are_freed_with_their_module(st):
    # Native functions keep their module namespace; dropping every reference to a copy of
    # the module frees it all (no reference cycle kept alive by native objects).
    import importlib.util
    import weakref

    spec = importlib.util.find_spec("tessaly._support_selftest")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    refs = [weakref.ref(module.echo), weakref.ref(module.Sample), weakref.ref(module.Point)]
    module.echo(1)
    del module, spec
    _quiet_collect()
    assert [r() for r in refs] == [None, None, None]
