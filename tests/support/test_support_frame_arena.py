"""The frame arena: every native coroutine frame stays where the cycle collector can read it,
whatever its size, however many there are, and under an address-space limit; a frame the
arena cannot place fails its call with MemoryError instead of hiding what it holds."""

from __future__ import annotations

import gc
import json
import subprocess
import sys
import textwrap
import weakref

import pytest

# (runs holding frames, runs kept empty, runs given back, chunks reserved, frames refused)
IN_USE, KEPT_EMPTY, GIVEN_BACK, CHUNKS, REFUSED = range(5)


def large_cycle(st, loop):
    """A suspended coroutine whose large frame is the only holder of the list that holds it."""
    holder = []
    c = st.hold_large(holder, loop.create_future())
    c.send(None)
    holder.append(c)
    return c


# ---- large frames, in this process -------------------------------------------------------------


@pytest.fixture
def collector_off():
    """Cycles stay until the test collects them, so that their frames add up."""
    gc.disable()
    yield
    gc.enable()


def test_a_frame_over_the_largest_size_class_shows_its_references(st, loop, collect):
    before = st.frame_arena_usage()
    log, future = [], loop.create_future()
    c = st.hold_large(log, future)
    assert {id(log), id(future)} <= {id(r) for r in gc.get_referents(c)}  # parameters, unstarted
    c.send(None)
    assert {id(log), id(future)} <= {id(r) for r in gc.get_referents(c)}  # past its scratch space
    assert st.frame_arena_usage()[IN_USE] >= before[IN_USE] + 2  # a span of runs
    future.set_result("done")
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value == "done"
    assert log == [None]  # its locals were destroyed with it
    assert st.frame_arena_usage()[IN_USE] == before[IN_USE]

    ref = weakref.ref(large_cycle(st, loop))
    collect()
    assert ref() is None


def test_a_frame_larger_than_a_chunk_is_refused_at_the_call(st, loop):
    log, future = [], loop.create_future()
    held = sys.getrefcount(log), sys.getrefcount(future)
    before = st.frame_arena_usage()
    with pytest.raises(MemoryError):
        st.hold_oversized(log, future)
    after = st.frame_arena_usage()
    assert after[REFUSED] == before[REFUSED] + 1
    assert after[CHUNKS] == before[CHUNKS]  # nothing reserved for a frame that cannot fit
    assert (sys.getrefcount(log), sys.getrefcount(future)) == held  # the arguments were let go of
    assert log == []  # no body ran
    c = st.hold(log, future)  # the arena goes on serving
    assert c.send(None) is future
    c.close()
    assert log == [None]


def test_frames_beyond_one_chunk_stay_visible(st, loop, collect, collector_off):
    first = st.frame_arena_usage()
    refs = []
    while st.frame_arena_usage()[CHUNKS] < first[CHUNKS] + 2 and len(refs) < 5000:
        refs.append(weakref.ref(large_cycle(st, loop)))
    assert st.frame_arena_usage()[CHUNKS] >= first[CHUNKS] + 2
    collect()
    assert [i for i, r in enumerate(refs) if r() is not None] == []
    after = st.frame_arena_usage()
    assert after[IN_USE] <= first[IN_USE]
    assert after[REFUSED] == first[REFUSED]


def test_runs_of_freed_large_frames_serve_again(st, loop, collect, collector_off):
    # Large frames made and collected over and over take the runs that earlier ones gave back,
    # not new address space; small frames take them too.
    for _ in range(300):
        large_cycle(st, loop)
    collect()
    settled = st.frame_arena_usage()
    for _ in range(4):
        for _ in range(300):
            large_cycle(st, loop)
        collect()
    after = st.frame_arena_usage()
    assert after[CHUNKS] == settled[CHUNKS]
    assert after[GIVEN_BACK] > 0
    small = [st.hold([], loop.create_future()) for _ in range(20000)]
    assert st.frame_arena_usage()[GIVEN_BACK] < after[GIVEN_BACK]
    assert st.frame_arena_usage()[CHUNKS] == settled[CHUNKS]
    for c in small:
        c.close()


# ---- under an address-space limit, in a child process -----------------------------------------

PRELUDE = """
import asyncio, gc, json, mmap, resource, sys, warnings, weakref

def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def limit_address_space(extra):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, hard))
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

def reservable(size):
    try:
        mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | mmap.MAP_NORESERVE, prot=0).close()
        return True
    except OSError:
        return False

def collect():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gc.collect()

GiB = 1 << 30
"""


# A detection provider whose service takes connections and never answers.
DETECTION = """
import socket
import pandas as pd
from tessaly.clients.api_client import APIClient
from tessaly.config import GenAIConfiguration
from tessaly.entities.credentials import Credentials
from tessaly.providers import screening_provider

silent = socket.create_server(("127.0.0.1", 0), backlog=1024)
client = APIClient(credentials=Credentials(url=f"http://127.0.0.1:{silent.getsockname()[1]}", api_key="token",
                                           version="5.2.0"))
configuration = GenAIConfiguration(input_fields=["question"], output_fields=["answer"], record_id_field="record_id")
one_record = pd.DataFrame({"record_id": ["r0"], "question": ["q"], "answer": ["a"]})

def detection_provider():
    return screening_provider.ScreeningProvider(configuration, "hap", "HAP", api_client=client)
"""


def run_child(tmp_path, body: str, *preludes: str) -> dict:
    """Runs `body` after the preludes in a fresh interpreter; it prints one JSON line."""
    script = tmp_path / "child.py"
    script.write_text("".join((PRELUDE, *preludes)) + textwrap.dedent(body))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_cycles_through_frames_are_collected_under_a_limit_too_tight_for_one_big_reservation(tmp_path):
    seen = run_child(tmp_path, """
        import tessaly._support_selftest as st
        limit_address_space(3 * GiB // 2)
        loop = asyncio.new_event_loop()
        refs = []
        for _ in range(200):
            for make in (st.hold, st.hold_large):
                holder = []
                c = make(holder, loop.create_future())
                c.send(None)
                holder.append(c)
                refs.append(weakref.ref(c))
            first, second = loop.create_future(), loop.create_future()
            holder = []
            first.set_result(holder)
            c = st.await_each([first, second])  # held by a local list of the frame
            c.send(None)
            holder.append(c)
            refs.append(weakref.ref(c))
        del c, holder, first, second
        collect()
        print(json.dumps({"old_reservation_fits": reservable((8 << 30) + (128 << 20)),
                          "left": sum(r() is not None for r in refs), "usage": st.frame_arena_usage()}))
    """)
    assert seen["old_reservation_fits"] is False
    assert seen["left"] == 0
    assert seen["usage"][CHUNKS] >= 1
    assert seen["usage"][REFUSED] == 0


def test_detection_evaluations_are_collected_under_an_address_space_limit(tmp_path):
    # As in a batch job whose scheduler caps the address space: evaluations suspended mid-request
    # on a server that never answers, each in a cycle with its provider.
    seen = run_child(tmp_path, """
        limit_address_space(3 * GiB // 2)
        loop = asyncio.new_event_loop()
        refs = []
        for i in range(200):
            provider = detection_provider()
            provider.task = loop.create_task(provider.evaluate_async(one_record))
            refs.append(weakref.ref(provider))
        del provider
        loop.run_until_complete(asyncio.sleep(0.5))
        pending = sum(not r().task.done() for r in refs)
        loop.close()
        collect()
        print(json.dumps({"old_reservation_fits": reservable((8 << 30) + (128 << 20)), "pending": pending,
                          "left": sum(r() is not None for r in refs)}))
    """, DETECTION)
    assert seen["old_reservation_fits"] is False
    assert seen["pending"] == 200
    assert seen["left"] == 0


def test_no_room_for_a_chunk_fails_the_call_with_memory_error(tmp_path):
    seen = run_child(tmp_path, """
        import tessaly._support_selftest as st
        log, future = [], object()
        held = sys.getrefcount(log), sys.getrefcount(future)
        lift = limit_address_space(32 << 20)  # less than one chunk
        try:
            st.hold(log, future)
            refused = None
        except MemoryError as e:
            refused = type(e).__name__
        let_go = (sys.getrefcount(log), sys.getrefcount(future)) == held
        tight = st.frame_arena_usage()
        python_still_runs = asyncio.run(asyncio.sleep(0, "ran"))
        sums = st.add(2, 3)
        lift()
        c = st.trivial("after")
        try:
            c.send(None)
        except StopIteration as stop:
            after = stop.value
        print(json.dumps({"refused": refused, "let_go": let_go, "tight": tight, "log": log,
                          "python": python_still_runs, "sums": sums, "after": after,
                          "lifted": st.frame_arena_usage()}))
    """)
    assert seen["refused"] == "MemoryError"
    assert seen["let_go"] and seen["log"] == []
    assert seen["tight"][CHUNKS] == 0 and seen["tight"][REFUSED] == 1
    assert (seen["python"], seen["sums"], seen["after"]) == ("ran", 5, "after")
    assert seen["lifted"][CHUNKS] == 1


def test_a_module_method_fails_with_memory_error_when_no_chunk_fits(tmp_path):
    seen = run_child(tmp_path, """
        provider = detection_provider()
        lift = limit_address_space(32 << 20)
        try:
            provider.evaluate_async(one_record)
            outcome = "made"
        except MemoryError:
            outcome = "MemoryError"
        lift()
        again = provider.evaluate_async(one_record)
        again.close()
        print(json.dumps({"outcome": outcome, "again": type(again).__name__}))
    """, DETECTION)
    assert seen == {"outcome": "MemoryError", "again": "native_coroutine"}
