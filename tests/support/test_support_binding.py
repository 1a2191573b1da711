"""Argument binding of native functions, compared with plain Python functions.

Every native function must bind exactly as the interpreter binds a Python function with
the same signature: same values in the same parameters, and on failure the same
TypeError with the same text (qualified name, counts, plural forms, "Did you mean").
"""

from __future__ import annotations

import keyword

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as hs

import support_twins as twins

# ---- the pairs compared ---------------------------------------------------------------

PLAIN = ["echo", "add", "exact", "exact_call", "wrap_error", "merged_call"]
COROUTINES = ["trivial", "await_each", "guarded", "within", "nap", "hold", "raise_stop"]


def pairs(st):
    """(label, native callable, twin callable) for every compared function shape."""
    out = [(name, getattr(st, name), getattr(twins, name)) for name in PLAIN + COROUTINES]
    out += [
        ("Sample.get", st.Sample.get, twins.Sample.get),
        ("Sample().get", st.Sample().get, twins.Sample().get),
        ("Sample.secret", st.Sample.secret, twins.Sample.secret),
        ("Sample().secret", st.Sample().secret, twins.Sample().secret),
        ("Sample.twice", st.Sample.twice, twins.Sample.twice),
        ("Sample().twice", st.Sample().twice, twins.Sample().twice),
        ("Sample.fetch", st.Sample.fetch, twins.Sample.fetch),
        ("Sample().fetch", st.Sample().fetch, twins.Sample().fetch),
    ]
    return out


PAIR_LABELS = PLAIN + COROUTINES + [
    "Sample.get", "Sample().get", "Sample.secret", "Sample().secret",
    "Sample.twice", "Sample().twice", "Sample.fetch", "Sample().fetch",
]


@pytest.fixture(scope="module")
def pair_map(st):
    return {label: (native, twin) for label, native, twin in pairs(st)}


def outcome(f, args, kwargs):
    """What a call gives, in a form comparable between the two implementations."""
    try:
        result = f(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the exception is the observation
        return ("raised", type(e).__name__, str(e))
    if hasattr(result, "__await__") and hasattr(result, "close"):
        # Binding succeeded; the body itself is compared elsewhere.
        result.close()
        return ("coroutine", result.__qualname__)
    return ("returned", result)


def literal_call(f, args, kwargs):
    """The same call written as source, so it goes through the keyword-names call path."""
    names = {f"p{i}": v for i, v in enumerate(args)}
    names.update({f"k{i}": v for i, v in enumerate(kwargs.values())})
    parts = [f"p{i}" for i in range(len(args))]
    parts += [f"{key}=k{i}" for i, key in enumerate(kwargs)]
    code = compile(f"f({', '.join(parts)})", "<call>", "eval")
    return outcome(lambda: eval(code, {"f": f, **names}), (), {})


# ---- generated call shapes ------------------------------------------------------------

NAME_POOL = [
    "a", "b", "c", "d", "A", "B", "aa", "bb", "ab", "ba", "key", "kye", "ky", "Key", "KEY",
    "keys", "self", "sef", "x", "X", "xx", "items", "item", "itmes", "label", "lable",
    "f", "ff", "kwargs", "value", "valeu", "vlaue", "awaitable", "awaitables", "awaitabel",
    "log", "lg", "delay", "deley", "manager", "manger", "explicit_kwargs", "explicit",
    "as_cause", "as_case", "ascause", "é", "aé", "ä", "a" * 41, "items" * 9,
]

values = hs.one_of(
    hs.none(),
    hs.integers(-3, 3),
    hs.lists(hs.integers(0, 3), max_size=2),
    hs.text(alphabet="xy", max_size=2),
)
keywords = hs.one_of(
    hs.sampled_from(NAME_POOL),
    hs.text(alphabet="abcdekyilmtsABKé_", min_size=1, max_size=7),
)
call_shapes = hs.tuples(
    hs.lists(values, max_size=5),
    hs.dictionaries(keywords, values, max_size=4),
)


@pytest.mark.parametrize("label", PAIR_LABELS)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shape=call_shapes)
@example(shape=([], {}))
@example(shape=([1, 2, 3, 4, 5], {"a": 1}))
@example(shape=([], {"b": 1, "c": 2}))
def test_binding_matches_python(pair_map, label, shape):
    native, twin = pair_map[label]
    args, kwargs = shape
    assert outcome(native, args, kwargs) == outcome(twin, args, kwargs)


@pytest.mark.parametrize("label", PAIR_LABELS)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shape=call_shapes)
def test_literal_calls_match_python(pair_map, label, shape):
    native, twin = pair_map[label]
    args, kwargs = shape
    kwargs = {k: v for k, v in kwargs.items() if k.isidentifier() and not keyword.iskeyword(k)}
    assert literal_call(native, args, kwargs) == literal_call(twin, args, kwargs)


# ---- the messages themselves ------------------------------------------------------------

@pytest.mark.parametrize(
    ("label", "args", "kwargs", "message"),
    [
        ("echo", (), {}, "echo() missing 1 required positional argument: 'a'"),
        ("add", (), {}, "add() missing 2 required positional arguments: 'a' and 'b'"),
        ("within", (), {}, "within() missing 2 required positional arguments: 'manager' and 'awaitable'"),
        ("merged_call", (), {},
         "merged_call() missing 3 required positional arguments: 'f', 'explicit_kwargs', and 'kwargs'"),
        ("echo", (1, 2, 3, 4), {}, "echo() takes from 1 to 3 positional arguments but 4 were given"),
        ("add", (1, 2, 3), {}, "add() takes 2 positional arguments but 3 were given"),
        ("raise_stop", (1,), {}, "raise_stop() takes 0 positional arguments but 1 was given"),
        ("trivial", (1, 2), {}, "trivial() takes from 0 to 1 positional arguments but 2 were given"),
        ("echo", (1,), {"a": 2}, "echo() got multiple values for argument 'a'"),
        ("add", (1,), {"bb": 2}, "add() got an unexpected keyword argument 'bb'. Did you mean 'b'?"),
        ("add", (1,), {"B": 2}, "add() got an unexpected keyword argument 'B'. Did you mean 'b'?"),
        ("add", (1,), {"zzz": 2}, "add() got an unexpected keyword argument 'zzz'"),
        ("Sample().get", (), {"keys": 1},
         "Sample.get() got an unexpected keyword argument 'keys'. Did you mean 'key'?"),
        ("Sample().get", (1, 2), {}, "Sample.get() takes from 1 to 2 positional arguments but 3 were given"),
        ("Sample.get", (), {}, "Sample.get() missing 1 required positional argument: 'self'"),
        ("Sample.twice", (), {"xx": 1}, "Sample.twice() got an unexpected keyword argument 'xx'. Did you mean 'x'?"),
        ("Sample.twice", (), {"y": 1}, "Sample.twice() got an unexpected keyword argument 'y'"),
        ("wrap_error", (), {"as_case": 1},
         "wrap_error() got an unexpected keyword argument 'as_case'. Did you mean 'as_cause'?"),
    ],
)
def test_binding_error_text(pair_map, label, args, kwargs, message):
    native, twin = pair_map[label]
    with pytest.raises(TypeError) as native_error:
        native(*args, **kwargs)
    with pytest.raises(TypeError) as twin_error:
        twin(*args, **kwargs)
    assert str(native_error.value) == str(twin_error.value) == message


def test_keyword_errors_report_the_first_offending_keyword(st):
    # Keywords are examined in call order; the first problem wins, as in the interpreter.
    for kwargs in ({"zz": 1, "a": 2}, {"a": 2, "zz": 1}):
        with pytest.raises(TypeError) as native_error:
            st.add(1, **kwargs)
        with pytest.raises(TypeError) as twin_error:
            twins.add(1, **kwargs)
        assert str(native_error.value) == str(twin_error.value)


def test_var_keywords_collects_unknown_names_including_its_own(st):
    assert st.echo(1, kwargs=2, b=3, zz=4) == (1, 3, [], {"kwargs": 2, "zz": 4})
    # The **kwargs dict is fresh for every call.
    first, second = st.echo(1)[3], st.echo(1)[3]
    assert first == second == {} and first is not second


def test_keywords_that_are_equal_but_not_identical_strings_bind(st):
    name = "".join(["a", "a"])[:1]  # a non-interned 'a'
    assert st.add(**{name: 1, "b": 2}) == 3


def test_str_subclass_keyword_binds_like_python(st):
    class Name(str):
        pass

    kwargs = {Name("a"): 1, Name("b"): 2}
    assert st.add(**kwargs) == twins.add(**kwargs) == 3


# ---- exact type checks ------------------------------------------------------------------

class ListSub(list):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((ListSub(),), {}, "Argument 'items' has incorrect type (expected list, got ListSub)"),
        ((None,), {}, "Argument 'items' has incorrect type (expected list, got NoneType)"),
        (((),), {}, "Argument 'items' has incorrect type (expected list, got tuple)"),
        (([], StrSub("x")), {}, "Argument 'label' has incorrect type (expected str, got StrSub)"),
        (([],), {"label": 3}, "Argument 'label' has incorrect type (expected str, got int)"),
        (([],), {"label": b"x"}, "Argument 'label' has incorrect type (expected str, got bytes)"),
        # Both wrong: parameters are checked in order.
        ((ListSub(), 3), {}, "Argument 'items' has incorrect type (expected list, got ListSub)"),
    ],
)
def test_exact_types_refuse_subclasses_and_none(st, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        st.exact(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [(([],), {}), (([1], None), {}), (([],), {"label": "x"}), ((), {"items": [2], "label": ""})],
)
def test_exact_types_accept_the_exact_type_and_allowed_none(st, args, kwargs):
    assert st.exact(*args, **kwargs) == twins.exact(*args, **kwargs)


def test_exact_check_comes_after_binding_and_before_the_body(st):
    calls = []
    with pytest.raises(TypeError, match="has incorrect type"):
        st.exact_call(calls.append, ListSub([1]))
    with pytest.raises(TypeError, match="has incorrect type"):
        st.exact_call(calls.append, items=None)
    assert calls == []
    # A binding error is reported before any type check.
    with pytest.raises(TypeError, match=r"exact_call\(\) got an unexpected keyword argument 'itemz'"):
        st.exact_call(calls.append, None, itemz=1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'items'"):
        st.exact()
    items = [1]
    st.exact_call(calls.append, items)
    assert calls == [items] and calls[0] is items


# ---- defaults ---------------------------------------------------------------------------

def test_defaults_are_shared_objects(st):
    default_list = st.echo.__defaults__[1]
    assert default_list == [] and type(default_list) is list
    first, second = st.echo(1), st.echo(2)
    assert first[2] is default_list and second[2] is default_list
    assert st.echo(1)[1] is None
    # Each function has its own empty list.
    assert st.echo.__defaults__ == (None, [])
    assert st.wrap_error.__defaults__ == (True,)
    assert st.add.__defaults__ is None


def test_passed_arguments_are_the_callers_objects(st):
    a, b, c = object(), object(), []
    got = st.echo(a, b, c, z=a)
    assert got[0] is a and got[1] is b and got[2] is c and got[3]["z"] is a


# ---- calls with merged keywords ------------------------------------------------------------

def _kw(**kwargs):
    return kwargs


@pytest.mark.parametrize(
    ("explicit", "extra"),
    [
        ({}, {}),
        ({"a": 1}, {}),
        ({}, {"a": 1}),
        ({"a": 1}, {"b": 2}),
        ({"a": 1, "b": 2}, {"c": 3, "d": 4}),
        ({"a": 1}, {"a": 2}),
        ({"a": 1, "b": 2}, {"c": 3, "b": 4}),
        ({"a": 1}, {1: 2}),
        ({"a": 1}, {"".join(["a"]): 5}),
    ],
)
def test_merged_call_matches_python(st, explicit, extra):
    assert outcome(st.merged_call, (_kw, explicit, extra), {}) == outcome(
        twins.merged_call, (_kw, explicit, extra), {}
    )


# ---- calls with unpacked arguments ----------------------------------------------------------

@pytest.mark.parametrize(
    ("f", "args", "kwargs"),
    [
        ("{a}-{0}".format, ("x",), {"a": 1, 2: "unused"}),  # a callee taking a dict sees every key
        ("{0}".format, None, {1: 2}),
        (_kw, None, {"a": 1, "b": 2}),
        (_kw, None, {"a": 1, 2: 3}),  # a callee taking keyword names refuses one that is not text
        (_kw, (1,), None),
        (divmod, [7, 2], None),  # any iterable for the positional arguments
        (divmod, range(7, 9), {}),
        (divmod, None, None),
    ],
)
def test_unpacked_call_matches_python(st, f, args, kwargs):
    expected = outcome(lambda: f(*(() if args is None else args), **({} if kwargs is None else kwargs)), (), {})
    assert outcome(st.unpacked_call, (f, args, kwargs), {}) == expected


def test_unpacked_call_refuses_keywords_that_are_not_a_dict(st):
    with pytest.raises(TypeError, match=r"argument after \*\* must be a dict, not list"):
        st.unpacked_call(_kw, None, [("a", 1)])


def test_merged_call_keeps_explicit_keywords_first(st):
    got = st.merged_call(_kw, {"z": 1, "y": 2}, {"b": 3, "a": 4})
    assert list(got) == ["z", "y", "b", "a"]


def test_merged_call_survives_keys_that_change_the_dict_while_compared(st):
    extra = {}

    class Meddling(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            extra.clear()
            return False

    for i in range(20):
        extra.clear()
        extra[Meddling(f"k{i}")] = [object()]
        value = next(iter(extra.values()))
        got = st.merged_call(_kw, {"a": 1}, extra)
        assert list(got.values()) == [1, value]


def test_merged_call_passes_errors_of_the_callee_through(st):
    def strict(a):
        return a

    with pytest.raises(TypeError, match=r"strict\(\) got an unexpected keyword argument 'b'"):
        st.merged_call(strict, {"a": 1}, {"b": 2})


def test_call_built_over_several_statements_keeps_its_temporaries(st):
    def record(*args, **kwargs):
        return args, kwargs

    for _ in range(200):
        assert st.built_call(record) == (("first",), {"second": "kw"})


# ---- keyword-only parameters ---------------------------------------------------------------

# Each function with keyword-only parameters, and the names its calls draw keywords from: its
# own parameters, near misses of them (for "Did you mean") and one no parameter is close to.
KEYWORD_ONLY = {
    "schedule": ["configuration", "data", "metrics", "api_client", "metric_groups",
                 "partition_rows", "client", "progress", "partition_row", "Client", "kwargs"],
    "tagged": ["items", "label", "mode", "limit", "strict", "mod", "limt", "Strict"],
    "keywords_only": ["x", "y", "z", "xx", "Z"],
    "Sample.lookup": ["self", "key", "default", "defualt", "ky"],
    "Sample().lookup": ["self", "key", "default", "defualt", "ky"],
}


@pytest.fixture(scope="module")
def keyword_only_pairs(st):
    pairs = {name: (getattr(st, name), getattr(twins, name)) for name in ("schedule", "tagged", "keywords_only")}
    pairs["Sample.lookup"] = (st.Sample.lookup, twins.Sample.lookup)
    pairs["Sample().lookup"] = (st.Sample().lookup, twins.Sample().lookup)
    return pairs


# Booleans besides ints and text: `tagged` wants `mode` exactly a str and `limit` exactly an int.
keyword_only_values = hs.one_of(
    hs.none(),
    hs.booleans(),
    hs.integers(-3, 3),
    hs.lists(hs.integers(0, 3), max_size=2),
    hs.text(alphabet="xy", max_size=2),
)


def keyword_only_shapes(names):
    return hs.tuples(
        hs.lists(keyword_only_values, max_size=7),
        hs.dictionaries(hs.sampled_from(names + ["zzz"]), keyword_only_values, max_size=6),
    )


@pytest.mark.parametrize("label", list(KEYWORD_ONLY))
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=hs.data())
def test_keyword_only_binding_matches_python(keyword_only_pairs, label, data):
    native, twin = keyword_only_pairs[label]
    args, kwargs = data.draw(keyword_only_shapes(KEYWORD_ONLY[label]), label="shape")
    assert outcome(native, args, kwargs) == outcome(twin, args, kwargs)
    kwargs = {k: v for k, v in kwargs.items() if k.isidentifier()}
    assert literal_call(native, args, kwargs) == literal_call(twin, args, kwargs)


@pytest.mark.parametrize(
    ("label", "args", "kwargs", "message"),
    [
        # Too many positional arguments: the count is of positional parameters only, and the
        # keyword-only arguments given join the message.
        ("schedule", (1, 2, 3, 4, 5, 6), {},
         "schedule() takes from 3 to 5 positional arguments but 6 were given"),
        ("schedule", (1, 2, 3, 4, 5, 6), {"client": 1},
         "schedule() takes from 3 to 5 positional arguments but 6 positional arguments "
         "(and 1 keyword-only argument) were given"),
        ("schedule", (1, 2, 3, 4, 5, 6, 7), {"client": 1, "progress": 2, "other": 3},
         "schedule() takes from 3 to 5 positional arguments but 7 positional arguments "
         "(and 2 keyword-only arguments) were given"),
        ("keywords_only", (1,), {}, "keywords_only() takes 0 positional arguments but 1 was given"),
        ("keywords_only", (1,), {"x": 1},
         "keywords_only() takes 0 positional arguments but 1 positional argument "
         "(and 1 keyword-only argument) were given"),
        ("keywords_only", (1, 2), {"x": 1, "y": 2, "z": 3},
         "keywords_only() takes 0 positional arguments but 2 positional arguments "
         "(and 3 keyword-only arguments) were given"),
        ("Sample().lookup", (1, 2), {}, "Sample.lookup() takes 2 positional arguments but 3 were given"),
        ("Sample().lookup", (1, 2), {"default": 3},
         "Sample.lookup() takes 2 positional arguments but 3 positional arguments "
         "(and 1 keyword-only argument) were given"),
        # ... and it comes before any missing argument.
        ("tagged", ([], 1, 2), {}, "tagged() takes from 1 to 2 positional arguments but 3 were given"),
        # Missing keyword-only arguments, after the positional ones, every one named.
        ("tagged", (), {}, "tagged() missing 1 required positional argument: 'items'"),
        ("tagged", ([],), {}, "tagged() missing 2 required keyword-only arguments: 'mode' and 'strict'"),
        ("tagged", ([],), {"strict": 1}, "tagged() missing 1 required keyword-only argument: 'mode'"),
        ("tagged", (), {"items": [], "label": 1, "mode": "m"},
         "tagged() missing 1 required keyword-only argument: 'strict'"),
        ("keywords_only", (), {}, "keywords_only() missing 3 required keyword-only arguments: 'x', 'y', and 'z'"),
        ("keywords_only", (), {"y": 1}, "keywords_only() missing 2 required keyword-only arguments: 'x' and 'z'"),
        ("Sample.lookup", (), {"default": 1},
         "Sample.lookup() missing 2 required positional arguments: 'self' and 'key'"),
        # Unexpected keywords, suggestions among the keyword-only names too, multiple values.
        ("tagged", ([],), {"limt": 1}, "tagged() got an unexpected keyword argument 'limt'. Did you mean 'limit'?"),
        ("tagged", ([],), {"Mode": "m"}, "tagged() got an unexpected keyword argument 'Mode'. Did you mean 'mode'?"),
        ("tagged", ([],), {"zzz": 1}, "tagged() got an unexpected keyword argument 'zzz'"),
        ("keywords_only", (1,), {"x": 1, "zz": 2},
         "keywords_only() got an unexpected keyword argument 'zz'. Did you mean 'z'?"),
        ("Sample().lookup", (1,), {"defualt": 1},
         "Sample.lookup() got an unexpected keyword argument 'defualt'. Did you mean 'default'?"),
        ("tagged", ([],), {"items": [], "mode": "m"}, "tagged() got multiple values for argument 'items'"),
        ("Sample().lookup", (), {"self": 1, "key": 2}, "Sample.lookup() got multiple values for argument 'self'"),
        # Exact types, checked in parameter order once every argument is bound.
        ("tagged", ([],), {"mode": b"m", "strict": 1},
         "Argument 'mode' has incorrect type (expected str, got bytes)"),
        ("tagged", ([],), {"mode": "m", "limit": True, "strict": 1},
         "Argument 'limit' has incorrect type (expected int, got bool)"),
        ("tagged", ([],), {"mode": None, "limit": None, "strict": 1},
         "Argument 'mode' has incorrect type (expected str, got NoneType)"),
        ("tagged", ((),), {"mode": None, "strict": 1},
         "Argument 'items' has incorrect type (expected list, got tuple)"),
        ("tagged", ((),), {"mode": None}, "tagged() missing 1 required keyword-only argument: 'strict'"),
    ],
)
def test_keyword_only_error_text(keyword_only_pairs, label, args, kwargs, message):
    native, twin = keyword_only_pairs[label]
    with pytest.raises(TypeError) as native_error:
        native(*args, **kwargs)
    with pytest.raises(TypeError) as twin_error:
        twin(*args, **kwargs)
    assert str(native_error.value) == str(twin_error.value) == message


def test_keyword_only_arguments_reach_the_body_in_parameter_order(st):
    groups, client = [], object()
    got = st.schedule("cfg", "data", "metrics", None, groups, progress=True, extra=1, client=client)
    assert got == ("cfg", "data", "metrics", None, groups, 50000, client, True, {"extra": 1})
    assert got[4] is groups and got[6] is client
    # A keyword-only parameter's name is not collected by **kwargs; other names are.
    assert st.schedule(1, 2, 3, partition_rows=7, partition_row=8)[5:] == (7, None, False, {"partition_row": 8})
    assert st.Sample().lookup("k", default=2) == ("sample", "k", 2)
    assert st.tagged(label="l", strict=0, mode="m", items=[1]) == ([1], "l", "m", 10, 0)


def test_keyword_only_defaults_are_shared_objects(st):
    kwdefaults = st.schedule.__kwdefaults__
    first, second = st.schedule(1, 2, 3), st.schedule(4, 5, 6)
    assert first[4] is second[4] is st.schedule.__defaults__[1]
    for got in (first, second):
        assert got[5] is kwdefaults["partition_rows"]
        assert got[6] is None and got[7] is kwdefaults["progress"]
