"""Native coroutines: the send/throw/close protocol driven by hand, compared step by step
with the same coroutine written in Python, and their life under asyncio."""

from __future__ import annotations

import asyncio
import collections.abc
import contextlib
import gc
import inspect
import sys
import threading
import warnings
import weakref

import pytest

import support_twins as twins

# ---- driving by hand, side by side ------------------------------------------------------


class Manager:
    """An async context manager that records what it sees."""

    def __init__(self, suppress=False, pause_on_exit=False, fail_on_exit=None):
        self.log = []
        self.suppress = suppress
        self.pause_on_exit = pause_on_exit
        self.fail_on_exit = fail_on_exit

    async def __aenter__(self):
        self.log.append("enter")
        return self

    async def __aexit__(self, kind, exc, tb):
        # A native frame adds no traceback entry of its own, so only the consistency of
        # the three arguments is recorded, not whether a traceback exists.
        consistent = tb is (exc.__traceback__ if exc is not None else None)
        self.log.append(("exit", kind and kind.__name__, str(exc) if exc else None, consistent))
        if self.pause_on_exit:
            await asyncio.sleep(0)
            self.log.append("resumed")
        if self.fail_on_exit:
            raise self.fail_on_exit
        return self.suppress


def describe(value, futures):
    """A value as an outcome: futures by their index, exceptions by type and text."""
    for i, fut in enumerate(futures):
        if value is fut:
            return ("future", i)
    if isinstance(value, BaseException):
        return (type(value).__name__, str(value))
    if isinstance(value, (list, tuple)):
        return type(value)(describe(v, futures) for v in value)
    return value


class Scene:
    """One coroutine under test with the futures and records it was made with."""

    def __init__(self, mod, loop, build):
        self.futures = [loop.create_future() for _ in range(3)]
        self.log = []
        self.manager = Manager()
        self.coro = build(mod, self)

    def apply(self, step):
        op, *args = step
        try:
            if op == "send":
                got = self.coro.send(*args)
                return ("yield", describe(got, self.futures))
            if op == "throw":
                with warnings.catch_warnings(record=True) as seen:
                    warnings.simplefilter("always")
                    try:
                        got = self.coro.throw(*args)
                    finally:
                        deprecated = [str(w.message) for w in seen if w.category is DeprecationWarning]
                return ("yield", describe(got, self.futures), deprecated)
            if op == "close":
                return ("closed", self.coro.close())
            if op == "result":
                self.futures[args[0]].set_result(args[1])
                return ("set",)
            if op == "fail":
                self.futures[args[0]].set_exception(args[1]())
                return ("set",)
            if op == "state":
                return ("state", self.coro.cr_running, type(self.coro.cr_await).__name__)
            raise AssertionError(op)
        except StopIteration as stop:
            return ("stop", describe(stop.value, self.futures))
        except BaseException as e:  # noqa: BLE001 - the exception is the observation
            return ("raise", type(e).__name__, str(e))

    def run(self, steps):
        outcomes = [self.apply(step) for step in steps]
        return outcomes, describe(self.log, self.futures), self.manager.log


def _tb():
    try:
        raise ValueError("with tb")
    except ValueError as e:
        return e.__traceback__


BUILDERS = {
    "trivial": lambda m, s: m.trivial(5),
    "trivial_tuple": lambda m, s: m.trivial((1, 2)),
    "trivial_none": lambda m, s: m.trivial(),
    "hold": lambda m, s: m.hold(s.log, s.futures[0]),
    "hold_nested": lambda m, s: m.hold(s.log, m.hold(s.log, s.futures[0])),
    "guarded": lambda m, s: m.guarded(s.futures[0]),
    "await_each": lambda m, s: m.await_each([s.futures[0], m.trivial(2), s.futures[1]]),
    "within": lambda m, s: m.within(s.manager, s.futures[0]),
    "nap": lambda m, s: m.nap(0, "v"),
    "raise_stop": lambda m, s: m.raise_stop(),
}

SCENARIOS = [
    ("trivial", [("send", None), ("send", None), ("close",), ("throw", ValueError("late"))]),
    ("trivial_tuple", [("send", None)]),
    ("trivial_none", [("send", None), ("send", None)]),
    ("trivial", [("send", 1), ("send", "x"), ("send", None)]),
    ("trivial", [("close",), ("send", None), ("close",)]),
    ("trivial", [("throw", KeyError("k")), ("send", None)]),
    ("trivial", [("throw", GeneratorExit), ("send", None)]),
    ("hold", [("close",), ("send", None)]),
    ("hold", [("send", None), ("state",), ("result", 0, 7), ("send", None), ("send", None)]),
    ("hold", [("send", None), ("fail", 0, lambda: ValueError("from future")), ("send", None)]),
    ("hold", [("send", None), ("throw", ValueError("thrown")), ("send", None)]),
    ("hold", [("send", None), ("throw", ValueError), ("send", None)]),
    ("hold", [("send", None), ("throw", ValueError, "three", None)]),
    ("hold", [("send", None), ("throw", ValueError, "three", _tb())]),
    ("hold", [("send", None), ("throw", ValueError, ("a", "b"))]),
    ("hold", [("send", None), ("throw", ValueError, ValueError("same"))]),
    ("hold", [("send", None), ("throw", LookupError, KeyError("sub"))]),
    ("trivial", [("throw", ValueError("x"), "value"), ("throw", 5), ("throw", ValueError, None, 5), ("send", None)]),
    ("hold", [("send", None), ("throw",), ("throw", ValueError, None, None, None), ("close",)]),
    ("hold", [("send", None), ("close",), ("close",), ("send", None)]),
    ("hold", [("send", None), ("throw", GeneratorExit), ("send", None)]),
    ("hold", [("send", None), ("throw", asyncio.CancelledError)]),
    ("hold", [("send", None), ("send", 3)]),
    ("hold_nested", [("send", None), ("result", 0, "deep"), ("send", None)]),
    ("hold_nested", [("send", None), ("throw", KeyError("deep"))]),
    ("hold_nested", [("send", None), ("close",)]),
    ("guarded", [("send", None), ("throw", ValueError("caught")), ("send", None)]),
    ("guarded", [("send", None), ("throw", asyncio.CancelledError("passes"))]),
    ("guarded", [("send", None), ("throw", KeyboardInterrupt)]),
    ("guarded", [("send", None), ("fail", 0, lambda: OSError("io")), ("send", None)]),
    ("guarded", [("send", None), ("result", 0, 9), ("send", None)]),
    ("await_each", [("send", None), ("result", 0, 1), ("send", None), ("result", 1, 3), ("send", None)]),
    ("await_each", [("send", None), ("result", 0, 1), ("send", None), ("fail", 1, lambda: KeyError("k")), ("send", None)]),
    ("await_each", [("send", None), ("throw", RuntimeError("in first"))]),
    ("within", [("send", None), ("result", 0, "inside"), ("send", None)]),
    ("within", [("send", None), ("throw", ValueError("in body"))]),
    ("within", [("send", None), ("throw", asyncio.CancelledError)]),
    ("within", [("send", None), ("fail", 0, lambda: KeyError("k")), ("send", None)]),
    ("within", [("send", None), ("close",)]),
    ("nap", [("send", None), ("send", None), ("send", None)]),
    ("nap", [("send", None), ("throw", ValueError("during sleep"))]),
    ("raise_stop", [("send", None)]),
]


@pytest.mark.parametrize(
    ("name", "steps"), SCENARIOS, ids=[f"{i}-{name}" for i, (name, _) in enumerate(SCENARIOS)]
)
def test_protocol_matches_python(st, loop, collect, name, steps):
    build = BUILDERS[name]
    native = Scene(st, loop, build).run(steps)
    twin = Scene(twins, loop, build).run(steps)
    collect()
    assert native == twin


@pytest.mark.parametrize(
    "manager",
    [
        Manager(suppress=True),
        Manager(suppress=1),
        Manager(suppress=0),
        Manager(fail_on_exit=OSError("exit failed")),
        Manager(pause_on_exit=True),
    ],
    ids=["suppress", "suppress-truthy", "no-suppress-falsy", "exit-fails", "exit-pauses"],
)
@pytest.mark.parametrize("ending", ["result", "throw", "close", "cancel"])
def test_async_with_matches_python(st, loop, collect, manager, ending):
    def run(mod):
        m = Manager(manager.suppress, manager.pause_on_exit, manager.fail_on_exit)
        scene = Scene(mod, loop, lambda mod, s: mod.within(m, s.futures[0]))
        scene.manager = m
        last = {
            "result": [("result", 0, "value"), ("send", None)],
            "throw": [("throw", ValueError("body failed"))],
            "close": [("close",)],
            "cancel": [("throw", asyncio.CancelledError("cancelled"))],
        }[ending]
        if ending == "close":
            # After an ignored GeneratorExit the interpreter leaves its coroutine suspended
            # while the native one is finished; what follows is not compared.
            return scene.run([("send", None), *last])
        return scene.run([("send", None), *last, ("send", None), ("send", None)])

    native, twin = run(st), run(twins)
    collect()
    assert native == twin


def test_async_with_chains_exit_errors_like_python(st, loop):
    failing_exit = OSError("exit failed")
    results = []
    for mod in (st, twins):
        m = Manager(fail_on_exit=failing_exit)
        fut = loop.create_future()
        c = mod.within(m, fut)
        c.send(None)
        with pytest.raises(OSError) as e:
            c.throw(ValueError("body failed"))
        results.append((type(e.value.__context__).__name__, str(e.value.__context__)))
    assert results[0] == results[1] == ("ValueError", "body failed")


async def at_once(value):
    return value


class PlainEnterOrExit:
    """A manager one of whose methods gives back something that cannot be awaited."""

    def __init__(self, plain):
        self.plain, self.log = plain, []

    def __aenter__(self):
        self.log.append("enter")
        return self if self.plain == "enter" else at_once(self)

    def __aexit__(self, kind, exc, tb):
        self.log.append(("exit", kind and kind.__name__))
        return False if self.plain == "exit" else at_once(False)


@pytest.mark.parametrize("plain", ["enter", "exit"])
@pytest.mark.parametrize("ending", ["result", "throw"])
def test_async_with_refuses_what_cannot_be_awaited_like_python(st, loop, plain, ending):
    seen = {}
    for kind, mod in (("native", st), ("python", twins)):
        m, fut = PlainEnterOrExit(plain), loop.create_future()
        c = mod.within(m, fut)
        try:
            if plain == "exit":
                c.send(None)
                if ending == "throw":
                    c.throw(ValueError("body failed"))
                else:
                    fut.set_result(1)
                    c.send(None)
            else:
                c.send(None)
        except TypeError as e:
            seen[kind] = (str(e), repr(e.__context__), m.log)
        c.close()
    assert seen["native"] == seen["python"]
    assert "does not implement __await__" in seen["native"][0]


def test_async_with_refuses_objects_without_the_protocol(st):
    c = st.within(object(), None)
    with pytest.raises(TypeError, match="asynchronous context manager protocol"):
        c.send(None)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((ValueError("x"), "value"), "instance exception may not have a separate value"),
        ((5,), "exceptions must be classes or instances deriving from BaseException, not int"),
        ((ValueError, None, 5), "throw() third argument must be a traceback object"),
    ],
)
def test_invalid_throw_leaves_a_suspended_coroutine_untouched(st, loop, args, message):
    # The arguments are checked before anything reaches the frame. (The interpreter hands
    # them to the awaited object instead, whose own TypeError then unwinds the frame.)
    log = []
    fut = loop.create_future()
    c = st.hold(log, fut)
    c.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError) as e:
            c.throw(*args)
    assert str(e.value) == message
    assert log == []
    fut.set_result("still fine")
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value == "still fine" and log == [None]


def test_send_non_none_to_unstarted_leaves_it_usable(st):
    c = st.trivial(4)
    for bad in (1, "x", [], 0.0):
        with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
            c.send(bad)
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value == 4


def test_refused_send_still_warns_when_dropped(st):
    c = st.trivial(4)
    with pytest.raises(TypeError):
        c.send(1)
    with pytest.warns(RuntimeWarning, match="coroutine 'trivial' was never awaited"):
        del c
        gc.collect()


@pytest.mark.parametrize(
    "value", [None, 0, "text", (1, 2), (), [3], ValueError("as a value"), StopIteration("nested")],
    ids=repr,
)
def test_returned_value_travels_as_python_does(st, value):
    # next() goes through the path the interpreter's `await` takes.
    def via_next(coro):
        with pytest.raises(StopIteration) as stop:
            next(coro)
        return stop.value

    native = via_next(st.trivial(value).__await__())
    twin = via_next(twins.trivial(value).__await__())
    assert type(native) is type(twin) is StopIteration
    assert native.value is value and twin.value is value
    assert native.args == twin.args
    assert repr(native) == repr(twin)
    assert native.__context__ is None and twin.__context__ is None

    async def main():
        return await st.trivial(value), await st.await_each([st.trivial(value)])

    got, listed = asyncio.run(main())
    assert got is value and listed[0] is value


def test_reuse_after_completion(st):
    c = st.trivial(1)
    with pytest.raises(StopIteration):
        c.send(None)
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            c.send(None)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            next(c.__await__())
    assert c.close() is None


def test_a_frame_freeing_itself_runs_code_that_finds_the_coroutine_finished(st, loop):
    # The last reference to what a frame held can go as the frame ends, and its __del__ can
    # reach the coroutine: it must find it finished, as a Python coroutine's would.
    seen = {}
    for kind, mod in (("native", st), ("python", twins)):
        coroutine, calls = [], []

        class Log(list):
            def __del__(self):
                c = coroutine[0]
                calls.append(c.close())
                with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
                    c.send(None)
                calls.append(c.cr_running)

        done = loop.create_future()
        done.set_result(5)
        coroutine.append(mod.hold(Log(), done))
        with pytest.raises(StopIteration) as stop:
            coroutine[0].send(None)
        seen[kind] = (stop.value.value, calls)
    assert seen["native"] == seen["python"] == (5, [None, False])


def test_coroutine_awaiting_itself(st, loop, collect):
    # A frame that awaits its own coroutine: refused as the interpreter refuses it.
    outcomes = []
    for mod in (st, twins):
        items = []
        c = mod.await_each(items)
        items.append(c)
        with pytest.raises(ValueError) as e:
            c.send(None)
        outcomes.append(str(e.value))
        items.clear()
    collect()
    assert outcomes == ["coroutine already executing"] * 2


@pytest.mark.parametrize("inner", ["native", "python"])
@pytest.mark.parametrize("outer", ["native", "python"])
def test_second_awaiter_is_refused(st, loop, collect, inner, outer):
    inner_mod = st if inner == "native" else twins
    outer_mod = st if outer == "native" else twins
    shared = inner_mod.hold([], loop.create_future())
    first, second = outer_mod.await_each([shared]), outer_mod.await_each([shared])
    assert isinstance(first.send(None), asyncio.Future)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        second.send(None)
    first.close()
    collect()


def test_cr_await_and_cr_running(st, loop):
    fut = loop.create_future()
    c = st.hold([], fut)
    assert c.cr_await is None and c.cr_running is False
    c.send(None)
    assert c.cr_await is not None and c.cr_running is False
    seen = []

    async def peek():
        seen.append(outer.cr_running)
        return 1

    outer = st.await_each([peek()])
    with pytest.raises(StopIteration):
        outer.send(None)
    assert seen == [True]
    c.close()
    assert c.cr_await is None


def test_coroutine_type_registration(st):
    c = st.trivial()
    try:
        assert isinstance(c, collections.abc.Coroutine)
        assert isinstance(c, collections.abc.Awaitable)
        assert asyncio.iscoroutine(c)
        assert inspect.isawaitable(c)
        assert c.__await__() is c
        with pytest.raises(TypeError):
            type(c)()
    finally:
        c.close()


def test_ignored_generator_exit(st, loop, collect):
    results = []
    for mod in (st, twins):
        m = Manager(pause_on_exit=True)
        c = mod.within(m, loop.create_future())
        c.send(None)
        with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
            c.close()
        results.append(m.log)
        del c
        collect()
    assert results[0][:2] == results[1][:2] == ["enter", ("exit", "GeneratorExit", "", True)]


# ---- under asyncio ---------------------------------------------------------------------------

TASK_KINDS = ["c", "py"]


def run_with(kind, main):
    """asyncio.run with either the C task or the pure Python task driving the coroutines."""

    async def entry():
        if kind == "py":
            loop = asyncio.get_running_loop()
            loop.set_task_factory(lambda loop, coro, **kw: asyncio.tasks._PyTask(coro, loop=loop, **kw))
        return await main()

    return asyncio.run(entry())


@pytest.mark.parametrize("kind", TASK_KINDS)
def test_asyncio_entry_points_accept_native_coroutines(st, kind):
    async def main():
        direct = await st.trivial(1)
        task = await asyncio.create_task(st.nap(0, 2))
        gathered = await asyncio.gather(st.trivial(3), st.nap(0.001, 4), st.await_each([st.trivial(5), asyncio.sleep(0, 6)]))
        waited = await asyncio.wait_for(st.nap(0, 7), timeout=5)
        async with asyncio.timeout(5):
            timed = await st.nap(0, 8)
        return direct, task, gathered, waited, timed

    assert run_with(kind, main) == (1, 2, [3, 4, [5, 6]], 7, 8)
    assert asyncio.run(st.nap(0, "top")) == "top"


@pytest.mark.parametrize("kind", TASK_KINDS)
def test_task_repr_and_name(st, kind):
    async def main():
        task = asyncio.create_task(st.nap(10, None))
        await asyncio.sleep(0)
        text = repr(task)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return text

    assert "nap" in run_with(kind, main)


def _chain(mod_outer, mod_inner, log):
    """native guarded -> python -> native hold -> python -> asyncio.sleep, or the twin chain."""

    async def innermost():
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            log.append("innermost cancelled")
            raise
        finally:
            log.append("innermost finally")

    async def middle():
        try:
            return await mod_inner.hold(log, innermost())
        finally:
            log.append("middle finally")

    return mod_outer.guarded(middle())


@pytest.mark.parametrize("kind", TASK_KINDS)
@pytest.mark.parametrize("shape", ["native", "python", "mixed"])
def test_cancellation_reaches_the_innermost_await(st, kind, shape):
    outer, inner = {"native": (st, st), "python": (twins, twins), "mixed": (st, twins)}[shape]
    log = []

    async def main():
        task = asyncio.create_task(_chain(outer, inner, log))
        for _ in range(3):
            await asyncio.sleep(0)
        task.cancel("stop")
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert run_with(kind, main) is True
    assert log == ["innermost cancelled", "innermost finally", None, "middle finally"]


@pytest.mark.parametrize("kind", TASK_KINDS)
def test_cancellation_swallowed_inside_completes_the_task(st, kind):
    async def stubborn():
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            return "kept going"

    async def main():
        task = asyncio.create_task(st.guarded(st.await_each([stubborn()])))
        await asyncio.sleep(0)
        task.cancel()
        return await task

    assert run_with(kind, main) == ("ok", ["kept going"])


@pytest.mark.parametrize("kind", TASK_KINDS)
def test_wait_for_timeout_unwinds_native_frames(st, kind):
    log = []

    async def main():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(st.hold(log, st.nap(10, None)), timeout=0.01)
        return log

    assert run_with(kind, main) == [None]


@pytest.mark.parametrize("kind", TASK_KINDS)
@pytest.mark.parametrize("suppress", [False, True])
def test_within_on_cancellation(st, kind, suppress):
    manager = Manager(suppress=suppress)

    async def main():
        task = asyncio.create_task(st.within(manager, asyncio.sleep(10)))
        await asyncio.sleep(0)
        task.cancel()
        try:
            return await task
        except asyncio.CancelledError:
            return "cancelled"

    got = run_with(kind, main)
    assert manager.log == ["enter", ("exit", "CancelledError", "", True)]
    # A true __aexit__ result swallows the cancellation, as `async with` does.
    assert got == (None if suppress else "cancelled")


@pytest.mark.parametrize("kind", TASK_KINDS)
def test_errors_from_tasks_and_gather(st, kind):
    async def bad():
        await asyncio.sleep(0)
        raise KeyError("gathered")

    async def main():
        results = await asyncio.gather(st.trivial(1), st.await_each([bad()]), return_exceptions=True)
        return [describe(r, []) for r in results]

    assert run_with(kind, main) == [1, ("KeyError", "'gathered'")]


# ---- dropped coroutines -----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("make", "qualname"),
    [
        (lambda st: st.trivial(1), "trivial"),
        (lambda st: st.nap(0, 1), "nap"),
        (lambda st: st.Sample().fetch(1), "Sample.fetch"),
    ],
)
def test_never_awaited_warns(st, make, qualname):
    with pytest.warns(RuntimeWarning, match=f"^coroutine '{qualname}' was never awaited$"):
        c = make(st)
        del c
        gc.collect()


def test_closed_or_finished_coroutines_do_not_warn(st):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        st.trivial(1).close()
        c = st.trivial(1)
        with pytest.raises(StopIteration):
            c.send(None)
        del c
        c = st.trivial(1)
        with pytest.raises(KeyError):
            c.throw(KeyError())
        del c
        gc.collect()


def test_dropping_a_suspended_coroutine_unwinds_its_frame(st, loop):
    for mod in (st, twins):
        log = []
        fut = loop.create_future()
        c = mod.hold(log, fut)
        assert c.send(None) is fut
        assert log == []
        ref = weakref.ref(c)
        del c
        assert ref() is None
        assert log == [None], mod.__name__
        assert not fut.done()


@pytest.mark.parametrize("how", ["dropped", "collected"])
def test_a_suspended_coroutine_let_go_of_leaves_its_async_with_as_python_does(st, loop, how):
    logs = {}
    for mod in (st, twins):
        manager = Manager()
        logs[mod] = manager.log
        c = mod.within(manager, loop.create_future())
        c.send(None)
        if how == "collected":
            manager.coroutine = c  # a cycle through the manager
        del c, manager
        gc.collect()
    assert logs[st] == logs[twins] == ["enter", ("exit", "GeneratorExit", "", True)]


@pytest.mark.parametrize("ending", ["finished", "closed-unstarted"])
def test_a_coroutine_let_go_of_after_its_end_clears_its_weak_references(st, ending):
    for mod in (st, twins):
        called = []
        c = mod.trivial(1)
        if ending == "finished":
            with pytest.raises(StopIteration):
                c.send(None)
        else:
            c.close()
        ref = weakref.ref(c, called.append)
        del c
        assert ref() is None and called == [ref], mod
        following = [mod.trivial(i) for i in range(3)]  # made where the last one was, perhaps
        assert ref() is None
        for c in following:
            c.close()


def test_dropping_nested_suspended_coroutines_unwinds_every_frame(st, loop):
    log = []
    c = st.hold(log, st.hold(log, st.await_each([st.hold(log, loop.create_future())])))
    c.send(None)
    del c
    assert log == [None, None, None]


def test_dropping_an_unstarted_coroutine_runs_no_body(st, loop):
    log = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        st.hold(log, loop.create_future())
        gc.collect()
    assert log == []


def test_dropping_a_task_held_coroutine_at_loop_shutdown(st):
    log = []

    async def main():
        asyncio.create_task(st.hold(log, asyncio.sleep(10)))
        await asyncio.sleep(0)

    asyncio.run(main())  # cancels the pending task on the way out
    assert log == [None]


def on_a_large_stack(body, size=1 << 30):
    """Runs `body` in a thread whose C stack is large enough that the interpreter's recursion
    limit trips first, also where the sanitizers make every C frame larger."""
    outcome = {}

    def run():
        try:
            outcome["value"] = body()
        except BaseException as e:  # noqa: BLE001 - handed back to the test's thread
            outcome["error"] = e

    previous = threading.stack_size(size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_deep_native_await_chains_raise_recursion_error(st, collect, monkeypatch):
    # The never-awaited tail of the chain is freed deep in the C stack, where reporting
    # its warning fails in turn; those reports are not what is tested here.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    on_a_large_stack(lambda: deep_native_await_chains(st, collect))


def deep_native_await_chains(st, collect):
    loop = asyncio.new_event_loop()
    c = st.trivial("bottom")
    for _ in range(50_000):
        c = st.await_each([c])
    with pytest.raises(RecursionError):
        c.send(None)
    del c
    collect()
    # Suspended deep chains are freed without exhausting the C stack.
    c = loop.create_future()
    for _ in range(200):
        c = st.await_each([c])
    c.send(None)
    for _ in range(50_000):
        c = st.hold([], c)
    del c
    collect()
    c = st.trivial("bottom")
    for _ in range(500):
        c = st.await_each([c])
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    value, depth = stop.value.value, 0
    while value != "bottom":
        (value,), depth = value, depth + 1
    assert depth == 500
    loop.close()


# ---- the cycle collector --------------------------------------------------------------------
#
# Each shape puts the coroutine into a reference cycle that passes through its frame (a
# parameter, a local, a nested frame of the chain) and leaves it suspended or unstarted; the
# same shape built from the Python twins is the reference: both are collected.


class Holder:
    """An async context manager that can hold on to the coroutine that entered it."""

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return False


def cycle_through_parameter(mod, loop):
    holder = []
    c = mod.hold(holder, loop.create_future())
    c.send(None)
    holder.append(c)
    return c


def cycle_through_local(mod, loop):
    first, second = loop.create_future(), loop.create_future()
    holder = []
    first.set_result(holder)  # kept in the frame's list of results
    c = mod.await_each([first, second])
    c.send(None)  # past the first, awaiting the second
    holder.append(c)
    return c


def cycle_through_nested_frame(mod, loop):
    holder = Holder()
    c = mod.within(holder, loop.create_future())  # suspended inside `async with holder:`
    c.send(None)
    holder.coroutine = c
    return c


def cycle_through_awaited_coroutine(mod, loop):
    holder = []
    inner = mod.hold(holder, loop.create_future())
    c = mod.await_each([inner])
    c.send(None)
    holder.append(c)
    return c


class LettingGoExit:
    """An async context manager whose __aexit__ lets go of the exception it is given, then
    waits: while it waits, only the frame of the `async with` holds the body's error."""

    def __init__(self, future):
        self.future = future

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        del exc_info
        await self.future
        return False


def cycle_through_body_error_waiting_for_exit(mod, loop):
    c = mod.within(LettingGoExit(loop.create_future()), loop.create_future())
    c.send(None)  # suspended in the body
    error = ValueError("body failed")
    c.throw(error)  # the body fails; __aexit__ waits
    error.coroutine = c
    return c


def cycle_through_unstarted(mod, loop):
    holder = []
    c = mod.hold(holder, loop.create_future())
    holder.append(c)
    return c


async def handed(box):
    """Gives what the box holds, keeping nothing of it."""
    return box.pop()


def two_coroutines_keeping_each_other(mod, loop, log):
    """Two suspended coroutines, each keeping the other in a local of its frame: a cycle through
    no list, instance or future, only through the coroutines and their frames. Returns the first."""
    boxes = [], []
    waits = loop.create_future(), loop.create_future()
    first = mod.keep(log, handed(boxes[0]), waits[0])
    second = mod.keep(log, handed(boxes[1]), waits[1])
    boxes[0].append(second)
    boxes[1].append(first)
    assert first.send(None) is waits[0] and second.send(None) is waits[1]
    return first


def cycle_through_two_frames_alone(mod, loop):
    return two_coroutines_keeping_each_other(mod, loop, [])


CYCLES = [cycle_through_parameter, cycle_through_local, cycle_through_nested_frame,
          cycle_through_awaited_coroutine, cycle_through_body_error_waiting_for_exit, cycle_through_unstarted,
          cycle_through_two_frames_alone]


@pytest.mark.parametrize("shape", CYCLES, ids=lambda f: f.__name__)
@pytest.mark.parametrize("kind", ["native", "python"])
@pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")  # a finalizer that failed
def test_cycles_through_a_frame_are_collected(st, loop, collect, shape, kind):
    c = shape(st if kind == "native" else twins, loop)
    ref = weakref.ref(c)
    del c
    collect()
    assert ref() is None


@contextlib.contextmanager
def throws_failing_in_a_tool(name):
    """A tool of sys.monitoring whose callback fails on a throw into a coroutine named `name`,
    as when an interruption lands in it: closing such a coroutine fails before its frame
    resumes."""
    monitoring = sys.monitoring
    tool = 5

    def on_throw(code, offset, exception):
        if code.co_name == name:
            raise KeyboardInterrupt

    monitoring.use_tool_id(tool, "test")
    try:
        monitoring.register_callback(tool, monitoring.events.PY_THROW, on_throw)
        monitoring.set_events(tool, monitoring.events.PY_THROW)
        yield
    finally:
        monitoring.set_events(tool, 0)
        monitoring.register_callback(tool, monitoring.events.PY_THROW, None)
        monitoring.free_tool_id(tool)


@pytest.mark.parametrize("report_keeps_them", [False, True], ids=["cleared-at-once", "finalized-once-dropped-later"])
def test_a_cycle_of_native_frames_whose_finalizers_failed_is_still_collected(st, loop, monkeypatch, report_keeps_them):
    # The collector finalizes before it clears, and finalizing closes the frames; where closing
    # fails before a frame resumes, only clearing the coroutines can free the frames. A coroutine
    # is finalized once in its life: one that a failure report kept alive has only clearing left
    # when it is dropped.
    gc.collect()
    log, failed, kept = [], [], []

    def report(unraisable):
        if getattr(unraisable.object, "__name__", None) == "keep":
            failed.append(type(unraisable.exc_value))
            if report_keeps_them:
                kept.append(unraisable.object)

    monkeypatch.setattr(sys, "unraisablehook", report)
    two_coroutines_keeping_each_other(st, loop, log)
    with throws_failing_in_a_tool("keep"):
        gc.collect()
    assert failed == [KeyboardInterrupt, KeyboardInterrupt]  # neither frame was resumed to close
    if report_keeps_them:
        assert log == []  # alive again, frames and all
        kept.clear()
        gc.collect()
    assert log == [None, None]  # both frames destroyed


def test_a_suspended_frame_shows_its_references_to_the_collector(st, loop):
    seen = {}
    for kind, mod in (("native", st), ("python", twins)):
        log, future = [], loop.create_future()
        c = mod.hold(log, future)
        unstarted = {id(log), id(future)} <= {id(r) for r in gc.get_referents(c)}
        c.send(None)
        suspended = {id(log), id(future)} <= {id(r) for r in gc.get_referents(c)}
        future.set_result(None)
        with pytest.raises(StopIteration):
            c.send(None)
        finished = {id(log), id(future)} & {id(r) for r in gc.get_referents(c)}
        seen[kind] = (unstarted, suspended, finished)
    assert seen["native"] == seen["python"] == (True, True, set())


def test_what_a_frame_awaited_is_let_go_of_once_awaited(st, loop):
    # A request awaits objects it makes itself (the entered response, the read body): as with
    # the interpreter's await, each goes as soon as it is awaited, not when the frame's
    # scope ends, so a request in flight keeps no finished coroutines beside it.
    for mod in (st, twins):
        made = []

        async def answer():
            return "made"

        def make():
            c = answer()
            made.append(weakref.ref(c))
            return c

        then = loop.create_future()
        c = mod.await_made(make, then)
        assert c.send(None) is then  # suspended on `then`, `made` already awaited
        assert made[0]() is None, mod
        then.set_result(7)
        with pytest.raises(StopIteration) as stop:
            c.send(None)
        assert stop.value.value == 7


def test_frames_of_many_collected_cycles_give_their_memory_back(st, loop, collect):
    in_use = st.frame_arena_usage()[0]
    refs = []
    gc.disable()  # all of them alive at once, until the collection below
    try:
        for _ in range(5000):
            c = cycle_through_parameter(st, loop)
            refs.append(weakref.ref(c))
            del c
        peak_in_use, _, peak_given_back, _, _ = st.frame_arena_usage()
    finally:
        gc.enable()
    assert peak_in_use > in_use
    collect()
    assert all(r() is None for r in refs)
    now_in_use, kept_empty, now_given_back, _, _ = st.frame_arena_usage()
    assert now_in_use <= in_use
    assert kept_empty <= 8
    assert now_given_back >= peak_given_back + (peak_in_use - in_use) - 8


# ---- the StopIteration that carries a value back to `await` ---------------------------------
#
# One StopIteration is raised again and again while nothing else holds it; these are the ways
# something else could.


class Box:
    """A value that can be watched going away."""


def test_a_kept_stop_iteration_keeps_its_own_value(st):
    first = st.trivial("first")
    with pytest.raises(StopIteration) as caught:
        next(first.__await__())  # the interpreter's await takes the same path
    kept = caught.value

    async def main():
        return [await st.trivial(v) for v in ("second", "third")]

    assert asyncio.run(main()) == ["second", "third"]
    assert (kept.value, kept.args) == ("first", ("first",))
    second = st.trivial("fourth")
    with pytest.raises(StopIteration) as caught_again:
        next(second.__await__())
    assert caught_again.value is not kept and caught_again.value.value == "fourth"


def test_each_await_gets_its_own_value_and_the_value_does_not_stay(st):
    values = [Box() for _ in range(5)]
    watched = [weakref.ref(v) for v in values]

    async def main():
        got = []
        for v in values:
            got.append(await st.trivial(v))
            got.append(await st.trivial())
        return got

    got = asyncio.run(main())
    assert got == [x for v in values for x in (v, None)]
    del values, got
    gc.collect()
    assert [w() for w in watched] == [None] * 5


def test_monitoring_sees_every_return_with_its_value(st):
    events = sys.monitoring.events
    tool = sys.monitoring.PROFILER_ID
    seen = []  # (the exception, its value when seen)

    def on_raise(code, offset, exception):
        if type(exception) is StopIteration:
            seen.append((exception, exception.value))

    async def main():
        return [await st.trivial(i) for i in range(4)]

    sys.monitoring.use_tool_id(tool, "test")
    try:
        sys.monitoring.register_callback(tool, events.RAISE, on_raise)
        sys.monitoring.set_events(tool, events.RAISE)
        assert asyncio.run(main()) == [0, 1, 2, 3]
    finally:
        sys.monitoring.set_events(tool, 0)
        sys.monitoring.register_callback(tool, events.RAISE, None)
        sys.monitoring.free_tool_id(tool)
    assert [v for _, v in seen] == [0, 1, 2, 3]
    # an exception a tool kept is not reused: each still holds what it carried
    assert [e.value for e, _ in seen] == [0, 1, 2, 3]
