"""What introspection sees of native functions: signatures, attributes, coroutine-ness,
binding as methods, and behaviour under the usual decorators."""

from __future__ import annotations

import asyncio
import functools
import inspect
import types
import warnings

import pytest

import support_twins as twins

FUNCTIONS = [
    "echo", "add", "exact", "exact_call", "built_call", "merged_call", "wrap_error", "throw_cpp",
    "schedule", "tagged", "keywords_only",
    "trivial", "await_each", "guarded", "within", "nap", "hold", "raise_stop", "fail_later",
]
COROUTINE_FUNCTIONS = {"trivial", "await_each", "guarded", "within", "nap", "hold", "raise_stop", "fail_later"}
METHODS = ["get", "lookup", "secret", "twice", "fetch"]


def _resolve(root, dotted):
    for part in dotted.split("."):
        root = getattr(root, part)
    return root


@pytest.mark.parametrize(
    "path",
    ["echo", "add", "exact", "exact_call", "merged_call", "wrap_error", "trivial", "await_each",
     "guarded", "within", "nap", "hold", "raise_stop", "schedule", "tagged", "keywords_only",
     "Sample.get", "Sample.lookup", "Sample.secret", "Sample.twice", "Sample.fetch"],
)
def test_signature_text_matches_python(st, path):
    native, twin = _resolve(st, path), _resolve(twins, path)
    assert str(inspect.signature(native)) == str(inspect.signature(twin))


@pytest.mark.parametrize("method", METHODS)
def test_bound_method_signature_matches_python(st, method):
    native = getattr(st.Sample(), method)
    twin = getattr(twins.Sample(), method)
    assert str(inspect.signature(native)) == str(inspect.signature(twin))


def test_signature_details(st):
    sig = inspect.signature(st.echo)
    assert str(sig) == "(a: 'int', b=None, c: 'list[int]' = [], **kwargs) -> 'tuple'"
    params = list(sig.parameters.values())
    assert [p.kind for p in params] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 3 + [
        inspect.Parameter.VAR_KEYWORD
    ]
    # The default shown is the very object the function uses.
    assert params[2].default is st.echo.__defaults__[1]
    assert sig.bind(1, c=[2], z=3).arguments == {"a": 1, "c": [2], "kwargs": {"z": 3}}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(st, name):
    f = getattr(st, name)
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__module__ == "tessaly._support_selftest"
    assert isinstance(f.__annotations__, dict)
    assert isinstance(f.__dict__, dict)
    assert f.__globals__ is vars(st)
    assert f.__code__.co_name == name and f.__code__.co_qualname == name
    assert repr(f).startswith(f"<function {name} at 0x")
    if hasattr(twins, name):
        twin = getattr(twins, name)
        assert f.__defaults__ == twin.__defaults__
        assert f.__kwdefaults__ == twin.__kwdefaults__
        assert f.__annotations__ == twin.__annotations__
        assert f.__code__.co_varnames == twin.__code__.co_varnames[: len(f.__code__.co_varnames)]
        assert f.__code__.co_argcount == twin.__code__.co_argcount
        assert f.__code__.co_kwonlyargcount == twin.__code__.co_kwonlyargcount
    else:
        assert f.__kwdefaults__ is None


def test_docs_and_annotations(st):
    assert st.echo.__doc__ == "Gives back what it was called with."
    assert st.add.__doc__ is None
    assert st.echo.__annotations__ == {"a": "int", "c": "list[int]", "return": "tuple"}
    assert st.add.__annotations__ == {}
    assert inspect.get_annotations(st.echo) == st.echo.__annotations__


@pytest.mark.parametrize("method", METHODS)
def test_method_attributes(st, method):
    f = vars(st.Sample)[method]
    if isinstance(f, staticmethod):
        f = f.__func__
    assert f.__name__ == method
    assert f.__qualname__ == f"Sample.{method}"
    assert f.__code__.co_qualname == f"Sample.{method}"
    assert f.__module__ == "tessaly._support_selftest"


def test_function_attributes_are_writable_where_python_allows(st):
    f = st.echo
    saved = (f.__name__, f.__qualname__, f.__doc__, f.__module__)
    try:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = "renamed", "Renamed.x", "doc", "elsewhere"
        assert (f.__name__, f.__qualname__, f.__doc__, f.__module__) == ("renamed", "Renamed.x", "doc", "elsewhere")
        f.marker = 7
        assert f.__dict__["marker"] == 7
        with pytest.raises(TypeError):
            f.__name__ = 3
        with pytest.raises(TypeError):
            f.__qualname__ = None
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = saved
        vars(f).pop("marker", None)
    assert st.echo.__name__ == "echo"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_coroutine_function_detection(st, name):
    f = getattr(st, name)
    expected = name in COROUTINE_FUNCTIONS
    assert inspect.iscoroutinefunction(f) is expected
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert asyncio.iscoroutinefunction(f) is expected
    assert inspect.iscoroutinefunction(functools.partial(f)) is expected
    assert not inspect.isgeneratorfunction(f)
    if hasattr(twins, name):
        assert inspect.iscoroutinefunction(getattr(twins, name)) is expected


@pytest.mark.parametrize(("method", "expected"), [("get", False), ("secret", False), ("twice", False), ("fetch", True)])
def test_coroutine_method_detection(st, method, expected):
    for owner in (st.Sample, st.Sample()):
        f = getattr(owner, method)
        assert inspect.iscoroutinefunction(f) is expected
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            assert asyncio.iscoroutinefunction(f) is expected


def test_calling_a_coroutine_function_gives_a_coroutine(st):
    c = st.Sample().fetch(1)
    try:
        assert asyncio.iscoroutine(c)
        assert inspect.isawaitable(c)
        assert c.__name__ == "fetch" and c.__qualname__ == "Sample.fetch"
        assert repr(c).startswith("<coroutine object Sample.fetch at 0x")
    finally:
        c.close()


def test_instance_access_binds_class_access_does_not(st):
    obj = st.Sample()
    raw = vars(st.Sample)["get"]
    assert st.Sample.get is raw
    bound = obj.get
    assert inspect.ismethod(bound)
    assert bound.__func__ is raw and bound.__self__ is obj
    assert bound("k") == ("sample", "k") == st.Sample.get(obj, "k")
    assert obj.get.__name__ == "get" and obj.get.__qualname__ == "Sample.get"
    assert raw.__get__(None, st.Sample) is raw
    assert inspect.ismethod(raw.__get__(obj, st.Sample))


def test_private_methods_are_mangled(st):
    assert "_Sample__hidden" in vars(st.Sample)
    assert "__hidden" not in vars(st.Sample)
    assert st.Sample().secret() == "hidden"


def test_static_method(st):
    raw = vars(st.Sample)["twice"]
    assert isinstance(raw, staticmethod)
    assert st.Sample.twice is raw.__func__ and st.Sample().twice is raw.__func__
    assert not inspect.ismethod(st.Sample().twice)
    assert st.Sample.twice(3) == st.Sample().twice(3) == 6


def test_native_function_binds_in_a_python_class(st):
    class Holder:
        echo = st.echo
        plain = staticmethod(st.echo)
        twin = twins.echo

    h = Holder()
    assert h.echo(2) == (h, 2, [], {})
    assert h.echo(2) == tuple(h.twin(2))
    assert h.plain(2) == (2, None, [], {})
    assert Holder.echo is st.echo
    assert str(inspect.signature(h.echo)) == str(inspect.signature(h.twin))


def test_wraps_copies_metadata_and_signature_follows_wrapped(st):
    def decorate(f):
        @functools.wraps(f)
        def wrapper(*args, **kwargs):
            return f(*args, **kwargs)

        return wrapper

    wrapped = decorate(st.echo)
    assert wrapped.__name__ == "echo" and wrapped.__qualname__ == "echo"
    assert wrapped.__doc__ == st.echo.__doc__
    assert wrapped.__annotations__ == st.echo.__annotations__
    assert wrapped.__module__ == "tessaly._support_selftest"
    assert wrapped.__wrapped__ is st.echo
    assert inspect.signature(wrapped) == inspect.signature(st.echo)
    assert inspect.unwrap(wrapped) is st.echo
    assert wrapped(1, z=2) == (1, None, [], {"z": 2})
    with pytest.raises(TypeError, match=r"^echo\(\) missing 1 required positional argument: 'a'$"):
        wrapped()


def test_wraps_of_a_coroutine_function(st):
    def decorate(f):
        @functools.wraps(f)
        async def wrapper(*args, **kwargs):
            return await f(*args, **kwargs)

        return wrapper

    wrapped = decorate(st.trivial)
    assert inspect.iscoroutinefunction(wrapped)
    assert str(inspect.signature(wrapped)) == "(value=None)"
    assert asyncio.run(wrapped(5)) == 5


def test_wraps_copies_the_function_dict(st):
    st.add.tag = "x"
    try:
        @functools.wraps(st.add)
        def wrapper():
            pass

        assert wrapper.tag == "x"
    finally:
        del st.add.tag


def test_synthesized_code_object_is_inert(st):
    code = st.echo.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_varnames == ("a", "b", "c", "kwargs")
    assert code.co_argcount == 3
    assert code.co_flags & inspect.CO_VARKEYWORDS
    assert not code.co_flags & inspect.CO_COROUTINE
    assert st.trivial.__code__.co_flags & inspect.CO_COROUTINE
    assert st.echo.__code__ is code  # made once
    # Running it does nothing harmful.
    with pytest.raises(AssertionError):
        types.FunctionType(code, {})(1, 2, 3)
    with pytest.raises(TypeError):
        exec(code)


# ---- keyword-only parameters ---------------------------------------------------------------

KEYWORD_ONLY = ["schedule", "tagged", "keywords_only", "Sample.lookup"]
SIGNATURE_FLAGS = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_COROUTINE


@pytest.mark.parametrize("path", KEYWORD_ONLY)
def test_keyword_only_introspection_matches_python(st, path):
    native, twin = _resolve(st, path), _resolve(twins, path)
    # Equal signatures: names, kinds, defaults and annotations, parameter by parameter.
    assert inspect.signature(native) == inspect.signature(twin)
    assert native.__defaults__ == twin.__defaults__
    assert native.__kwdefaults__ == twin.__kwdefaults__
    assert list(native.__annotations__) == list(twin.__annotations__)
    code, twin_code = native.__code__, twin.__code__
    assert code.co_argcount == twin_code.co_argcount
    assert code.co_posonlyargcount == twin_code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == twin_code.co_kwonlyargcount
    # Positional names, keyword-only names, then the **kwargs name; a twin's locals follow.
    assert code.co_varnames == twin_code.co_varnames[: len(code.co_varnames)]
    assert code.co_flags & SIGNATURE_FLAGS == twin_code.co_flags & SIGNATURE_FLAGS


def test_keyword_only_signature_details(st):
    sig = inspect.signature(st.schedule)
    assert str(sig) == (
        "(configuration, data, metrics, api_client=None, metric_groups=[], *, "
        "partition_rows: 'int' = 50000, client=None, progress=False, **kwargs)"
    )
    P = inspect.Parameter
    assert [p.kind for p in sig.parameters.values()] == [P.POSITIONAL_OR_KEYWORD] * 5 + [P.KEYWORD_ONLY] * 3 + [
        P.VAR_KEYWORD
    ]
    assert sig.bind(1, 2, 3, client=4, z=5).arguments == {
        "configuration": 1, "data": 2, "metrics": 3, "client": 4, "kwargs": {"z": 5}
    }
    with pytest.raises(TypeError):
        sig.bind(1, 2, 3, 4, 5, 6)
    assert str(inspect.signature(st.keywords_only)) == "(*, x, y, z)"
    # Bound as a method, and partially applied, the keyword-only parameters stay as they are.
    assert str(inspect.signature(st.Sample().lookup)) == "(key, *, default=None)"
    assert inspect.signature(functools.partial(st.schedule, 1, client=2)) == inspect.signature(
        functools.partial(twins.schedule, 1, client=2)
    )


def test_kwdefaults_is_a_fresh_dict_that_changes_no_call(st):
    kwdefaults = st.schedule.__kwdefaults__
    assert kwdefaults == {"partition_rows": 50000, "client": None, "progress": False}
    assert st.schedule.__kwdefaults__ is not kwdefaults
    kwdefaults["client"] = "changed"
    del kwdefaults["progress"]
    assert st.schedule(1, 2, 3)[5:8] == (50000, None, False)
    assert st.schedule.__kwdefaults__ == {"partition_rows": 50000, "client": None, "progress": False}
    # Required keyword-only parameters alone: no defaults at all, as for a Python function.
    assert st.keywords_only.__kwdefaults__ is None and st.keywords_only.__defaults__ is None
    assert st.tagged.__kwdefaults__ == {"limit": 10} and st.tagged.__defaults__ == (None,)


def test_native_function_type_cannot_be_instantiated(st):
    with pytest.raises(TypeError):
        type(st.echo)()


def test_weak_references(st):
    import weakref

    assert weakref.ref(st.echo)() is st.echo
    c = st.trivial()
    r = weakref.ref(c)
    c.close()
    del c
    assert r() is None
