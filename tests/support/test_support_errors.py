"""Errors across the native boundary: C++ exceptions, chaining, tracebacks, and the
BaseException kinds that code handling ordinary errors must let pass."""

from __future__ import annotations

import asyncio
import functools
import traceback

import pytest

import support_twins as twins

CPP_KINDS = [
    ("bad_alloc", MemoryError, ""),
    ("runtime", SystemError, "internal error: boom"),
    ("other", SystemError, "internal error: unknown C++ exception"),
]


@pytest.mark.parametrize(("kind", "error", "text"), CPP_KINDS)
def test_cpp_exceptions_become_interpreter_errors(st, kind, error, text):
    for _ in range(3):  # and the module keeps working afterwards
        with pytest.raises(error) as e:
            st.throw_cpp(kind)
        assert type(e.value) is error
        assert str(e.value) == text
    assert st.add(1, 2) == 3


@pytest.mark.parametrize(("kind", "error", "text"), CPP_KINDS)
def test_cpp_exceptions_inside_a_coroutine_frame(st, kind, error, text):
    async def main():
        return await st.fail_later(kind, asyncio.sleep(0))

    with pytest.raises(error) as e:
        asyncio.run(main())
    assert type(e.value) is error and str(e.value) == text


@pytest.mark.parametrize(("kind", "error", "text"), CPP_KINDS)
def test_cpp_exceptions_are_ordinary_errors_for_wrapping(st, kind, error, text):
    with pytest.raises(RuntimeError) as e:
        st.wrap_error(functools.partial(st.throw_cpp, kind))
    assert str(e.value) == f"wrapped: {text}"
    assert type(e.value.__cause__) is error


def test_wrong_argument_to_a_body_is_a_type_error(st):
    with pytest.raises(TypeError):
        st.throw_cpp(1)


def _fail():
    raise ValueError("bad value")


@pytest.mark.parametrize("as_cause", [True, False, 1, 0, "", "yes"])
def test_wrap_error_chains_like_python(st, as_cause):
    with pytest.raises(RuntimeError) as native:
        st.wrap_error(_fail, as_cause)
    with pytest.raises(RuntimeError) as twin:
        twins.wrap_error(_fail, as_cause)
    n, t = native.value, twin.value
    assert str(n) == str(t) == "wrapped: bad value"
    assert n.__suppress_context__ == t.__suppress_context__ == bool(as_cause)
    assert type(n.__context__) is type(t.__context__) is ValueError
    if as_cause:
        assert n.__cause__ is n.__context__
        assert type(t.__cause__) is ValueError
    else:
        assert n.__cause__ is None and t.__cause__ is None
    # The original error keeps the frame it was raised in.
    assert traceback.extract_tb(n.__context__.__traceback__)[-1].name == "_fail"
    text = "".join(traceback.format_exception(n))
    if as_cause:
        assert "The above exception was the direct cause" in text
    else:
        assert "During handling of the above exception" in text


def test_wrap_error_default_is_cause(st):
    with pytest.raises(RuntimeError) as e:
        st.wrap_error(_fail)
    assert isinstance(e.value.__cause__, ValueError)


def test_wrap_error_returns_the_result(st):
    assert st.wrap_error(lambda: 5) == 5


@pytest.mark.parametrize(
    "exc",
    [KeyboardInterrupt(), asyncio.CancelledError(), SystemExit(3), GeneratorExit()],
    ids=lambda e: type(e).__name__,
)
def test_base_exceptions_pass_wrap_error_untouched(st, exc):
    def raise_it():
        raise exc

    exc.__context__ = exc.__cause__ = None
    with pytest.raises(BaseException) as e:
        st.wrap_error(raise_it)
    assert e.value is exc
    assert exc.__cause__ is None and exc.__context__ is None


@pytest.mark.parametrize(
    "exc", [KeyboardInterrupt(), asyncio.CancelledError(), SystemExit(3)], ids=lambda e: type(e).__name__
)
def test_base_exceptions_pass_guarded_untouched(st, exc):
    async def raise_it():
        raise exc

    exc.__context__ = None
    with pytest.raises(BaseException) as e:
        _drive(st.guarded(raise_it()))
    assert e.value is exc and exc.__context__ is None


def _drive(coro):
    """Runs a coroutine that needs no event loop by sending until it finishes."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


@pytest.mark.parametrize("exc", [ValueError("v"), LookupError("l"), RuntimeError("r")], ids=lambda e: type(e).__name__)
def test_guarded_catches_ordinary_errors(st, exc):
    async def raise_it():
        raise exc

    assert _drive(st.guarded(raise_it())) == ("caught", exc) == _drive(twins.guarded(raise_it()))


def _deepest():
    raise ValueError("deep")


async def _raiser():
    _deepest()


def _frames(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def test_traceback_survives_native_coroutines(st):
    async def main():
        await st.await_each([st.await_each([_raiser()])])

    with pytest.raises(ValueError) as e:
        asyncio.run(main())
    names = _frames(e.value)
    assert names[-2:] == ["_raiser", "_deepest"]
    assert "main" in names


def test_native_frames_sit_in_order_among_the_interpreters(st):
    async def main():
        await st.await_each([st.await_each([_raiser()])])

    with pytest.raises(ValueError) as e:
        asyncio.run(main())
    names = _frames(e.value)
    start = names.index("main")
    assert names[start:] == ["main", "await_each", "await_each", "_raiser", "_deepest"]


def test_native_functions_add_their_entry_when_a_failure_leaves_them(st):
    with pytest.raises(ValueError) as e:
        st.exact_call(lambda items: _deepest(), [])
    assert _frames(e.value)[-3:] == ["exact_call", "<lambda>", "_deepest"]
    with pytest.raises(SystemError) as e:
        st.throw_cpp("runtime")  # an error made by C++ code alone
    assert _frames(e.value)[-1] == "throw_cpp"
    entry = traceback.extract_tb(e.value.__traceback__)[-1]
    assert (entry.filename, entry.lineno > 0) == ("src/support/selftest.cpp", True)


def test_a_caught_error_passes_no_native_frame(st):
    kind, exc = _drive(st.guarded(_raiser()))
    assert kind == "caught"
    assert "guarded" not in _frames(exc)


def test_methods_are_named_by_their_class(st):
    # As for the interpreter's frames: the name in co_name, the class in co_qualname, and the
    # arguments of the call in the frame's locals.
    class Failing(st.Sample):
        kind = property(lambda self: _deepest())

    with pytest.raises(ValueError) as e:
        Failing().get()
    assert _frames(e.value)[-3:] == ["get", "<lambda>", "_deepest"]
    native = [tb for tb in traceback.walk_tb(e.value.__traceback__) if tb[0].f_code.co_filename.endswith(".cpp")]
    (frame, _), = native
    assert frame.f_code.co_qualname == "Sample.get"
    assert type(frame.f_locals["self"]) is Failing


def test_traceback_survives_native_coroutines_under_a_task(st):
    async def main():
        return await asyncio.create_task(st.nap(0, None)), await asyncio.gather(st.await_each([_raiser()]))

    with pytest.raises(ValueError) as e:
        asyncio.run(main())
    assert _frames(e.value)[-2:] == ["_raiser", "_deepest"]


def test_traceback_of_a_caught_error_is_kept(st):
    kind, exc = _drive(st.guarded(_raiser()))
    assert kind == "caught"
    assert _frames(exc)[-2:] == ["_raiser", "_deepest"]


def test_traceback_of_an_error_thrown_in(st, loop):
    fut = loop.create_future()
    c = st.await_each([fut])
    assert c.send(None) is fut
    try:
        _deepest()
    except ValueError as caught:
        thrown = caught
    with pytest.raises(ValueError) as e:
        c.throw(thrown)
    assert e.value is thrown
    assert "_deepest" in _frames(e.value)


def test_stop_iteration_from_a_body_becomes_runtime_error(st):
    for f in (st.raise_stop, twins.raise_stop):
        with pytest.raises(RuntimeError) as e:
            _drive(f())
        assert str(e.value) == "coroutine raised StopIteration"
        assert type(e.value.__cause__) is StopIteration
        assert str(e.value.__cause__) == "leaked"


def test_stop_iteration_from_an_awaited_coroutine_becomes_runtime_error(st):
    # A StopIteration escaping the awaited coroutine is turned into RuntimeError there;
    # the native frame then sees, and passes on, the RuntimeError.
    async def inner():
        raise StopIteration("inner")

    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        _drive(st.await_each([inner()]))
    assert _drive(st.guarded(inner()))[0] == "caught"
