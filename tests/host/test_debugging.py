"""Native functions and coroutines as the tools a person reaches for sees them: inspect and
asyncio's task introspection, the never-awaited warning, cProfile, profile, sys.setprofile,
sys.settrace, sys.monitoring and native debuggers. Each is compared with an `async def` or
`def` twin of the same signature (tests/support/support_twins.py), on the support layer's
self-test module and on the real modules' entries."""

from __future__ import annotations

import asyncio
import cProfile
import gc
import inspect
import io
import profile
import pstats
import re
import shutil
import socket
import subprocess
import sys
import textwrap
import tracemalloc
import types
import warnings
from collections import Counter
from pathlib import Path

import pytest
from host_kit import TOKEN, configuration, qa_table
from sanitizer import without_sanitizer_runtime

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import support_twins as twins  # noqa: E402

from tessaly.clients.api_client import APIClient  # noqa: E402
from tessaly.entities.credentials import Credentials  # noqa: E402
from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics  # noqa: E402
from tessaly.metrics import HAPMetric  # noqa: E402

st = pytest.importorskip("tessaly._support_selftest", reason="built only with TESSALY_SELFTEST=ON")
NATIVE = [st, twins]
IDS = ["native", "python"]


class Probe:
    """An awaitable that records what inspect says of a coroutine while it runs."""

    def __init__(self):
        self.coroutine = None
        self.seen = None

    def __await__(self):
        self.seen = (inspect.getcoroutinestate(self.coroutine), self.coroutine.cr_running,
                     self.coroutine.cr_suspended)
        return (yield from asyncio.sleep(0).__await__())


@pytest.fixture
def silent_root():
    """A root URL on 127.0.0.1 that takes connections and never answers."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(100)
    yield f"http://127.0.0.1:{server.getsockname()[1]}"
    server.close()


# ---- inspect, and asyncio's view of a task ------------------------------------------------------


@pytest.mark.parametrize("mod", NATIVE, ids=IDS)
def test_a_coroutine_walks_the_states_inspect_names(mod):
    probe = Probe()
    states = []

    async def main():
        log = []
        c = mod.hold(log, probe)
        probe.coroutine = c
        states.append((inspect.getcoroutinestate(c), c.cr_running, c.cr_suspended, c.cr_frame is not None))
        task = asyncio.ensure_future(c)
        await asyncio.sleep(0)
        states.append((inspect.getcoroutinestate(c), c.cr_running, c.cr_suspended, c.cr_frame is not None))
        await task
        states.append((inspect.getcoroutinestate(c), c.cr_running, c.cr_suspended, c.cr_frame is not None))

    asyncio.run(main())
    assert states == [
        ("CORO_CREATED", False, False, True),
        ("CORO_SUSPENDED", False, True, True),
        ("CORO_CLOSED", False, False, False),
    ]
    assert probe.seen == ("CORO_RUNNING", True, False)


@pytest.mark.parametrize("mod", NATIVE, ids=IDS)
def test_a_suspended_coroutine_shows_its_code_frame_and_parameters(mod):
    loop = asyncio.new_event_loop()
    try:
        log, future = [], loop.create_future()
        c = mod.hold(log, future)
        c.send(None)
        frame = c.cr_frame
        assert frame is c.cr_frame  # one frame object, as the interpreter keeps one
        assert frame.f_code is c.cr_code
        assert (c.cr_code.co_name, c.cr_code.co_qualname) == ("hold", "hold")
        assert c.cr_code.co_flags & inspect.CO_COROUTINE
        assert c.cr_code.co_varnames[:2] == ("log", "awaitable")
        assert frame.f_lineno > 0 and frame.f_back is None
        shown = inspect.getcoroutinelocals(c)
        assert shown["log"] is log and shown["awaitable"] is future
        c.close()
        assert c.cr_frame is None and inspect.getcoroutinelocals(c) == {}
    finally:
        loop.close()


def test_the_code_of_a_coroutine_is_its_functions(st=st):
    c = st.trivial(1)
    assert c.cr_code is st.trivial.__code__
    assert c.cr_code.co_filename == "src/support/selftest.cpp"
    c.close()


@pytest.mark.parametrize("mod", NATIVE, ids=IDS)
@pytest.mark.parametrize("end", ["finished", "closed-unstarted", "closed-suspended"])
def test_an_ended_coroutine_keeps_its_names_code_and_repr(mod, end):
    async def suspended():
        c = mod.nap(10, 1)
        step = asyncio.ensure_future(c)
        await asyncio.sleep(0)
        step.cancel()
        await asyncio.gather(step, return_exceptions=True)
        return c

    if end == "finished":
        c = mod.trivial(1)
        asyncio.run(c)
    elif end == "closed-unstarted":
        c = mod.trivial(1)
        c.close()
    else:
        c = asyncio.run(suspended())
    name = "nap" if end == "closed-suspended" else "trivial"
    assert (c.__name__, c.__qualname__, c.cr_code.co_name) == (name, name, name)
    assert repr(c).startswith(f"<coroutine object {name} at ")
    assert c.cr_frame is None and inspect.getcoroutinestate(c) == inspect.CORO_CLOSED


@pytest.mark.parametrize("mod", NATIVE, ids=IDS)
def test_a_pending_task_says_where_it_waits_and_shows_its_stack(mod):
    async def main():
        future = asyncio.get_running_loop().create_future()
        task = asyncio.ensure_future(mod.hold([], future))
        await asyncio.sleep(0)
        shown = repr(task)
        stack = task.get_stack()
        printed = io.StringIO()
        task.print_stack(file=printed)
        future.set_result(None)
        await task
        return shown, stack, printed.getvalue()

    shown, stack, printed = asyncio.run(main())
    code = mod.hold.__code__
    assert f"coro=<hold() running at {code.co_filename}:" in shown
    assert [frame.f_code for frame in stack] == [code]
    assert f'File "{code.co_filename}", line' in printed and "in hold" in printed


def test_a_detection_evaluation_waiting_on_its_service_shows_where_and_with_what(silent_root):
    client = APIClient(credentials=Credentials(url=silent_root, version="5.0", api_key=TOKEN))
    from tessaly.providers.screening_provider import ScreeningProvider

    provider = ScreeningProvider(configuration(), "hap", "HAP", api_client=client)
    data = qa_table()

    async def main():
        task = asyncio.ensure_future(provider.evaluate_async(data))
        for _ in range(200):
            await asyncio.sleep(0.01)
            requests = [t for t in asyncio.all_tasks() if "send_with_retries" in repr(t)]
            if requests:
                break
        coroutine = task.get_coro()
        seen = (repr(task), inspect.getcoroutinestate(coroutine), inspect.getcoroutinelocals(coroutine),
                [repr(t) for t in requests])
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return seen

    shown, state, local_names, requests = asyncio.run(main())
    assert re.search(r"coro=<ScreeningProvider\.evaluate_async\(\) running at "
                     r"src/providers/screening_provider/screening_provider\.cpp:\d+>", shown)
    assert state == "CORO_SUSPENDED"
    assert local_names["self"] is provider and local_names["data"] is data
    assert requests and all("ScreeningProvider.send_with_retries() running at" in r for r in requests)


def test_origin_tracking_records_where_coroutines_are_made():
    def make(mod):
        return mod.trivial(1)

    previous = sys.get_coroutine_origin_tracking_depth()
    try:
        native, twin = make(st), make(twins)
        assert native.cr_origin is None and twin.cr_origin is None
        native.close(), twin.close()
        sys.set_coroutine_origin_tracking_depth(2)
        native, twin = make(st), make(twins)
    finally:
        sys.set_coroutine_origin_tracking_depth(previous)
    # the twin's origin starts in `make` too (its own frame is not one of them)
    assert native.cr_origin == twin.cr_origin
    assert native.cr_origin[0][2] == "make" and len(native.cr_origin) == 2
    native.close(), twin.close()


# ---- a coroutine is not an iterator ---------------------------------------------------------------


def plain_generator(mod):
    return (yield from mod.hold(log := [], None)) or log


MISTAKES = {
    "iter": lambda c: iter(c),
    "next": lambda c: next(c),
    "list": lambda c: list(c),
    "for": lambda c: [x for x in c],
}


@pytest.mark.parametrize("mistake", MISTAKES, ids=MISTAKES.keys())
def test_iterating_a_coroutine_fails_loudly_and_runs_nothing(mistake):
    raised = {}
    for mod in NATIVE:
        log = []
        c = mod.hold(log, Probe())
        with pytest.raises(TypeError) as error:
            MISTAKES[mistake](c)
        raised[mod] = str(error.value).replace("native_coroutine", "coroutine")
        assert log == []  # the body never ran: its `finally` would have logged
        c.close()
    assert raised[st] == raised[twins]


@pytest.mark.filterwarnings("ignore:coroutine 'hold' was never awaited:RuntimeWarning")
def test_yield_from_a_coroutine_only_in_a_coroutine_generator():
    for mod in NATIVE:
        with pytest.raises(TypeError, match="^cannot 'yield from' a coroutine object in a non-coroutine generator$"):
            next(plain_generator(mod))

    @types.coroutine
    def delegating(mod):
        return (yield from mod.trivial(7))

    async def main():
        return await delegating(st), await delegating(twins)

    gc.collect()  # the coroutines that the refused `yield from`s made go now
    assert asyncio.run(main()) == (7, 7)


# ---- the never-awaited warning ----------------------------------------------------------------------


def dropped_unawaited(mod):
    """The never-awaited warning of a coroutine of `mod` made and dropped here, as shown."""
    c = mod.trivial(1)  # the line tracemalloc names
    line = inspect.currentframe().f_lineno - 1
    shown = []
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        # formatted as it is raised, as the warnings module shows it (with its source), whatever
        # the test runner does with warnings
        warnings.showwarning = warnings._showwarning_orig
        warnings._showwarnmsg_impl = lambda message: shown.append(warnings._formatwarnmsg_impl(message))
        del c
        gc.collect()
    return "".join(shown), line


def test_the_never_awaited_warning_names_its_source_for_tracemalloc():
    async def one():
        return await st.trivial(0)

    tracemalloc.start()
    try:
        asyncio.run(one())  # a finished coroutine object left for reuse
        shown = {mod: dropped_unawaited(mod) for mod in NATIVE}
    finally:
        tracemalloc.stop()
    for text, line in shown.values():
        assert "RuntimeWarning: coroutine 'trivial' was never awaited" in text
        assert f'Object allocated at (most recent call last):\n  File "{__file__}", lineno {line}' in text, text
    assert shown[st][0].replace(str(shown[st][1]), "L") == shown[twins][0].replace(str(shown[twins][1]), "L")


def test_tracemalloc_imported_after_the_modules_still_names_a_reused_coroutine():
    # The modules tell tracemalloc of a reused coroutine object only once it may be tracing: a
    # process that loads them first and imports tracemalloc later must be noticed too.
    script = textwrap.dedent("""
        import asyncio, gc, sys, warnings
        import tessaly._support_selftest as st
        async def many():
            for i in range(100):
                await st.trivial(i)
        asyncio.run(many())  # finished coroutine objects left for reuse
        assert "tracemalloc" not in sys.modules
        import tracemalloc
        tracemalloc.start(5)
        warnings.simplefilter("always")
        c = st.trivial(1)  # line 12
        del c
        gc.collect()
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "coroutine 'trivial' was never awaited" in done.stderr
    assert 'Object allocated at (most recent call last):\n  File "<string>", lineno 12' in done.stderr, done.stderr


def test_the_never_awaited_warning_says_where_the_coroutine_was_made():
    previous = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(1)
    try:
        shown = [dropped_unawaited(mod)[0] for mod in NATIVE]
    finally:
        sys.set_coroutine_origin_tracking_depth(previous)
    assert "coroutine 'trivial' was never awaited\nCoroutine created at (most recent call last)\n" in shown[0]
    assert f'File "{__file__}"' in shown[0] and "in dropped_unawaited" in shown[0]
    assert shown[0] == shown[1]


# ---- profilers and tracers --------------------------------------------------------------------------


async def naps(mod, count):
    return [await mod.nap(0, i) for i in range(count)] + [mod.add(1, 2)]


def test_cprofile_lists_each_native_function_with_its_own_time():
    profiler = cProfile.Profile()
    profiler.runcall(asyncio.run, naps(st, 50))
    stats = pstats.Stats(profiler).stats
    by_code = {(file, name): calls for (file, _, name), (calls, *_rest) in stats.items()}
    # each step of a coroutine that suspends once is a run of its own, as for `async def`
    assert by_code[("src/support/selftest.cpp", "nap")] == 100
    assert by_code[("src/support/selftest.cpp", "add")] == 1
    twin = cProfile.Profile()
    twin.runcall(asyncio.run, naps(twins, 50))
    assert {name: calls for (_, _, name), (calls, *_r) in pstats.Stats(twin).stats.items()}["nap"] == 100


def test_cprofile_sees_the_native_frames_of_an_evaluation(client):
    profiler = cProfile.Profile()
    profiler.runcall(_evaluate_metrics, configuration(), qa_table(), [HAPMetric()], client)
    native = {(Path(file).name, name) for (file, _, name) in pstats.Stats(profiler).stats if file.endswith(".cpp")}
    assert {("metrics_runner.cpp", "_evaluate_metrics"), ("screening_provider.cpp", "evaluate"),
            ("screening_provider.cpp", "evaluate_async"), ("screening_provider.cpp", "send_with_retries"),
            ("screening_provider.cpp", "__pre_process_data"), ("screening_provider.cpp", "__post_process")} <= native


def test_a_profile_function_gets_balanced_events_for_calls_and_each_resumption():
    events = []

    def watch(frame, event, arg):
        if event.startswith("c_") and getattr(arg, "__module__", None) == st.__name__:
            events.append((event, arg.__name__))

    sys.setprofile(watch)
    try:
        asyncio.run(naps(st, 20))
    finally:
        sys.setprofile(None)
    counts = Counter(events)
    assert counts[("c_call", "nap")] == counts[("c_return", "nap")] == 40
    assert counts[("c_call", "add")] == counts[("c_return", "add")] == 1


def test_the_profile_module_runs_through_native_coroutines():
    profiler = profile.Profile()
    assert profiler.runcall(asyncio.run, naps(st, 5)) == [0, 1, 2, 3, 4, 3]
    names = {name for (_, _, name) in pstats.Stats(profiler).stats}
    assert "nap" in names and "add" in names


def test_a_trace_function_sees_no_call_of_a_frame_that_did_not_start():
    # A trace function (a debugger) sees its `call` events for Python frames only: as many for
    # the coroutine awaiting native coroutines as for the one awaiting their twins (one per
    # resumption), none more for the native calls it made.
    counts = {}
    for mod in NATIVE:
        calls = []

        def trace(frame, event, arg):
            if event == "call":
                calls.append(frame.f_code.co_name)
            return None

        sys.settrace(trace)
        try:
            asyncio.run(naps(mod, 3))
        finally:
            sys.settrace(None)
        counts[mod] = calls.count("naps")
    assert counts[st] == counts[twins] == 4


def test_sys_monitoring_sees_the_calls_and_the_native_code():
    monitoring = sys.monitoring
    tool = monitoring.PROFILER_ID if monitoring.get_tool(monitoring.PROFILER_ID) is None else 4
    seen = []
    monitoring.use_tool_id(tool, "test")
    try:
        monitoring.register_callback(tool, monitoring.events.CALL,
                                     lambda code, offset, callable, arg0: seen.append(("call", callable)))
        monitoring.register_callback(tool, monitoring.events.PY_START,
                                     lambda code, offset: seen.append(("start", code)))
        monitoring.set_events(tool, monitoring.events.CALL | monitoring.events.PY_START)
        st.add(1, 2)
        monitoring.set_events(tool, 0)
    finally:
        monitoring.free_tool_id(tool)
    assert ("call", st.add) in seen
    assert ("start", st.add.__code__) in seen


def test_a_raising_native_call_is_reported_as_unwinding():
    events = []
    monitoring = sys.monitoring
    tool = 3
    monitoring.use_tool_id(tool, "test")
    try:
        monitoring.register_callback(tool, monitoring.events.PY_UNWIND,
                                     lambda code, offset, exc: events.append((code.co_name, type(exc))))
        monitoring.set_events(tool, monitoring.events.PY_UNWIND)
        with pytest.raises(SystemError):
            st.throw_cpp("runtime")
        monitoring.set_events(tool, 0)
    finally:
        monitoring.free_tool_id(tool)
    assert ("throw_cpp", SystemError) in events



def throws_as_a_tool_sees_them(mod):
    """Throws into, closes and cancels coroutines of `mod` while a tool of sys.monitoring watches
    the throws (as cProfile does): what each coroutine did, and what the tool was shown."""
    monitoring = sys.monitoring
    tool = 5
    shown = []
    loop = asyncio.new_event_loop()
    monitoring.use_tool_id(tool, "test")
    try:
        monitoring.register_callback(tool, monitoring.events.PY_THROW,
                                     lambda code, offset, exc: shown.append((code.co_name, repr(exc))))
        monitoring.set_events(tool, monitoring.events.PY_THROW)
        guarded = mod.guarded(loop.create_future())
        guarded.send(None)
        with pytest.raises(StopIteration) as caught:
            guarded.throw(KeyError("thrown"))
        log = []
        held = mod.hold(log, loop.create_future())
        held.send(None)
        closed = held.close()

        async def cancelled():
            task = asyncio.ensure_future(mod.hold(log, asyncio.sleep(10)))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return "cancelled"

        outcome = asyncio.run(cancelled())
        monitoring.set_events(tool, 0)
    finally:
        monitoring.register_callback(tool, monitoring.events.PY_THROW, None)
        monitoring.free_tool_id(tool)
        loop.close()
    return (repr(caught.value.value), closed, log, outcome), [(name, e) for name, e in shown if name in ("guarded", "hold")]


def test_a_tool_watching_throws_is_shown_the_exception_and_the_coroutine_still_gets_it():
    native, python = throws_as_a_tool_sees_them(st), throws_as_a_tool_sees_them(twins)
    assert native == python
    done, shown = native
    assert done == ("('caught', KeyError('thrown'))", None, [None, None], "cancelled")
    assert shown == [("guarded", "KeyError('thrown')"), ("hold", "GeneratorExit()"), ("hold", "CancelledError()")]


def test_cprofile_lets_a_cancellation_reach_a_native_frame():
    log = []

    async def main():
        task = asyncio.ensure_future(st.hold(log, asyncio.sleep(10)))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    cProfile.Profile().runcall(asyncio.run, main())
    assert log == [None]


# ---- native debuggers -------------------------------------------------------------------------------


def test_the_modules_keep_a_symbol_table_and_export_only_their_entry():
    if shutil.which("nm") is None:
        pytest.skip("nm is not available")
    import tessaly.providers.screening_provider as module

    listing = subprocess.run(["nm", "-C", module.__file__], capture_output=True, text=True, check=True).stdout
    assert "send_with_retries_run" in listing and "post_process" in listing
    exported = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                              check=True).stdout.split()
    assert exported[-1] == "PyInit_screening_provider" and exported.count("T") == 1


def test_a_native_debugger_names_the_native_frames():
    if shutil.which("gdb") is None:
        pytest.skip("gdb is not available")
    script = textwrap.dedent("""
        import sys, time
        import tessaly._support_selftest as st
        def stuck(items):
            print("ready", flush=True)
            time.sleep(60)
        st.exact_call(stuck, [])
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        # gdb itself runs without the sanitizer build's runtime (preloaded into the tests' Python)
        done = subprocess.run(["gdb", "-p", str(child.pid), "-batch", "-ex", "bt"], capture_output=True, text=True,
                              timeout=120, env=without_sanitizer_runtime())
    finally:
        child.kill()
        child.wait()
    if "ptrace" in done.stderr and "Operation not permitted" in done.stderr:
        pytest.skip("this machine does not let a process be traced")
    assert "exact_call" in done.stdout and "function_vectorcall" in done.stdout, done.stdout[-2000:]
