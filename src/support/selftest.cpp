// A module that exercises the support layer from the interpreter, for its tests and
// benchmarks. It is built only when TESSALY_SELFTEST is on.
#include "frame_arena.hpp"
#include "support.hpp"

#include <array>
#include <new>
#include <stdexcept>

using namespace tsy;

namespace {

// echo(a, b=None, c=[], **kwargs)
Ref echo(Invocation& args) {
    auto [a, b, c] = args.bind<3>();
    return tuple_of({a, b, c, args.kwargs()});
}

// add(a, b)
Ref add(Invocation& args) {
    auto [a, b] = args.bind<2>();
    return a.add(b);
}

// exact(items, label=None)
Ref exact(Invocation& args) {
    auto [items, label] = args.bind<2>();
    return tuple_of({items, label});
}

// schedule(configuration, data, metrics, api_client=None, metric_groups=[], *,
//          partition_rows: int = 50000, client=None, progress=False, **kwargs)
Ref schedule(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups, partition_rows, client, progress] = args.bind<8>();
    return tuple_of({configuration, data, metrics, api_client, metric_groups, partition_rows, client, progress,
                     args.kwargs()});
}

// tagged(items, label=None, *, mode, limit=10, strict)
Ref tagged(Invocation& args) {
    auto [items, label, mode, limit, strict] = args.bind<5>();
    return tuple_of({items, label, mode, limit, strict});
}

// keywords_only(*, x, y, z)
Ref keywords_only(Invocation& args) {
    auto [x, y, z] = args.bind<3>();
    return tuple_of({x, y, z});
}

// merged_call(f, explicit_kwargs, kwargs): f with the keywords of `explicit_kwargs` followed
// by those of `kwargs` (each a dict; anything else gives none).
Ref merged_call(Invocation& args) {
    auto [f, explicit_kwargs, kwargs] = args.bind<3>();
    CallArgs call;
    Ref keys = explicit_kwargs.is_dict() ? list_of(explicit_kwargs) : new_list();
    Ref values = explicit_kwargs.is_dict() ? list_of(explicit_kwargs.method("values")) : new_list();
    for (const auto& [key, value] : zip(keys, values)) call.kw(key, value);
    call.merge(kwargs.is_dict() ? kwargs : Handle());
    return call.call(f);
}

// wrap_error(f, as_cause=True): calls `f()`; an ordinary error comes back as
// RuntimeError("wrapped: ...") raised from it.
Ref wrap_error(Invocation& args) {
    auto [f, as_cause] = args.bind<2>();
    try {
        return f();
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format("wrapped: %U", e.text());
        if (as_cause.truthy()) raise_from(new_exception(PyExc_RuntimeError, message), e);
        raise_in_context(new_exception(PyExc_RuntimeError, message), e);
    }
}

void throw_kind(std::string_view kind) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "runtime") throw std::runtime_error("boom");
    throw 42;
}

// throw_cpp(kind)
Ref throw_cpp(Invocation& args) {
    auto [kind] = args.bind<1>();
    throw_kind(utf8(kind));
    return none();
}

// built_call(f): calls `f("first", second="kw")` through a CallArgs built over several
// statements from temporaries.
Ref built_call(Invocation& args) {
    auto [f] = args.bind<1>();
    CallArgs call;
    call.arg(text("first"));
    call.kw("second", text("kw"));
    return call.call(f);
}

// unpacked_call(f, args, kwargs): f(*args, **kwargs), None standing for no arguments of a kind.
Ref unpacked_call(Invocation& args) {
    auto [f, positional, kwargs] = args.bind<3>();
    return call_unpacked(f, positional.is_none() ? nullptr : positional, kwargs.is_none() ? nullptr : kwargs);
}

// exact_call(f, items): calls `f(items)`; `items` must be exactly a list, checked before `f`
// is called.
Ref exact_call(Invocation& args) {
    auto [f, items] = args.bind<2>();
    return f(items);
}

// ---- coroutines ------------------------------------------------------------------------------

Async trivial_body(Ref value) { co_return value; }
Ref trivial(Invocation& args) {
    auto [value] = args.bind<1>();
    return make_coroutine(trivial_body(Ref::borrow(value)), args);
}

Async await_each_body(Ref awaitables) {
    Ref results = new_list();
    for (const Ref& awaitable : iterate(list_of(awaitables))) {
        Ref item = awaitable;
        Ref value = co_await item;
        append(results, value);
    }
    co_return results;
}
Ref await_each(Invocation& args) {
    auto [awaitables] = args.bind<1>();
    return make_coroutine(await_each_body(Ref::borrow(awaitables)), args);
}

// Awaits `x`; an ordinary error is returned as ("caught", error), anything else passes.
Async guarded_body(Ref x) {
    try {
        Ref v = co_await x;
        co_return tuple_of({text("ok"), v});
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        co_return tuple_of({text("caught"), e.exception()});
    }
}
Ref guarded(Invocation& args) {
    auto [awaitable] = args.bind<1>();
    return make_coroutine(guarded_body(Ref::borrow(awaitable)), args);
}

// `async with manager: return await x`
Async within_body(Ref manager, Ref x) {
    auto body = [x](Ref) -> Async { co_return co_await x; };
    Async entering = async_with(manager, body);
    co_return co_await std::move(entering);
}
Ref within(Invocation& args) {
    auto [manager, awaitable] = args.bind<2>();
    return make_coroutine(within_body(Ref::borrow(manager), Ref::borrow(awaitable)), args);
}

// Sleeps through the module's `asyncio` global, then returns `value` (a nested native await).
Async nap_body(Ref asyncio, Ref delay, Ref value) {
    Ref sleeping = asyncio.method("sleep", delay);
    co_await sleeping;
    Async nested = trivial_body(value);
    co_return co_await std::move(nested);
}
Ref nap(Invocation& args) {
    auto [delay, value] = args.bind<2>();
    return make_coroutine(nap_body(args.global("asyncio"), Ref::borrow(delay), Ref::borrow(value)), args);
}

// `await make(); return await then`: what make() gave is let go of once awaited.
Async await_made_body(Ref make, Ref then) {
    Ref made = make();
    co_await std::move(made);
    co_return co_await then;
}
Ref await_made(Invocation& args) {
    auto [make, then] = args.bind<2>();
    return make_coroutine(await_made_body(Ref::borrow(make), Ref::borrow(then)), args);
}

// Records into `log` when its frame is destroyed: shows a dropped coroutine unwinds.
struct Sentinel {
    Ref log;
    ~Sentinel() {
        if (log) PyList_Append(log.get(), Py_None) < 0 ? PyErr_Clear() : void();
    }
};
Async hold_body(Ref log, Ref x) {
    Sentinel s{log};
    co_return co_await x;
}
Ref hold(Invocation& args) {
    auto [log, awaitable] = args.bind<2>();
    return make_coroutine(hold_body(Ref::borrow(log), Ref::borrow(awaitable)), args);
}

// `kept = await first; return (kept, await then)`: what `first` gave stays in the frame alone
// while it awaits `then`; records into `log` when its frame is destroyed.
Async keep_body(Ref log, Ref first, Ref then) {
    Sentinel s{log};
    Ref kept = co_await first;
    Ref value = co_await then;
    co_return tuple_of({kept, value});
}
Ref keep(Invocation& args) {
    auto [log, first, then] = args.bind<3>();
    return make_coroutine(keep_body(Ref::borrow(log), Ref::borrow(first), Ref::borrow(then)), args);
}

Async raise_stop_body() {
    raise(PyExc_StopIteration, "leaked");
    co_return none();
}
Ref raise_stop(Invocation& args) { return make_coroutine(raise_stop_body(), args); }

// Awaits `x`, then throws the C++ exception `kind` names, from inside the coroutine frame.
Async fail_later_body(Ref kind, Ref x) {
    co_await x;
    throw_kind(utf8(kind));
    co_return none();
}
Ref fail_later(Invocation& args) {
    auto [kind, awaitable] = args.bind<2>();
    return make_coroutine(fail_later_body(Ref::borrow(kind), Ref::borrow(awaitable)), args);
}

// `hold` in a frame of over `kScratch` bytes, with `log` kept only past the frame's scratch
// space: the collector must find it wherever a large frame puts it. The scratch space is never
// written, so a frame costs its address space, not its memory.
template <size_t kScratch>
Async hold_far_body(Ref log, Ref x) {
    struct {
        std::array<char, kScratch> scratch;
        Sentinel sentinel;
    } far;
    far.sentinel.log = std::move(log);
    Ref value = co_await x;
    asm volatile("" : : "r"(far.scratch.data()) : "memory");  // the scratch space stays in the frame
    co_return value;
}
// hold_large(log, awaitable): a frame a span of three runs long.
Ref hold_large(Invocation& args) {
    auto [log, awaitable] = args.bind<2>();
    return make_coroutine(hold_far_body<(size_t{128} << 10)>(Ref::borrow(log), Ref::borrow(awaitable)), args);
}
// hold_oversized(log, awaitable): a frame larger than a chunk of the arena.
Ref hold_oversized(Invocation& args) {
    auto [log, awaitable] = args.bind<2>();
    return make_coroutine(hold_far_body<(size_t{65} << 20)>(Ref::borrow(log), Ref::borrow(awaitable)), args);
}

// (runs holding frames, runs kept empty, runs given back, chunks reserved, frames refused) of
// this module's frame arena.
Ref frame_arena_usage(Invocation&) {
    const frame_arena::Usage u = frame_arena::usage();
    return tuple_of({integer(static_cast<long long>(u.runs_in_use)).get(),
                     integer(static_cast<long long>(u.runs_kept_empty)).get(),
                     integer(static_cast<long long>(u.runs_given_back)).get(),
                     integer(static_cast<long long>(u.chunks_reserved)).get(),
                     integer(static_cast<long long>(u.frames_refused)).get()});
}

// is_nan(value)
Ref is_nan_of(Invocation& args) {
    auto [value] = args.bind<1>();
    return boolean(is_nan(value));
}

// zipped(xs, ys, each=None): [(x, y) for x, y in zip(xs, ys)], calling each(x, y) at every step
Ref zipped(Invocation& args) {
    auto [xs, ys, each] = args.bind<3>();
    Ref pairs = new_list();
    for (const auto& [x, y] : zip(xs, ys)) {
        if (!each.is_none()) each(x, y);
        append(pairs, tuple_of({x, y}));
    }
    return pairs;
}

// ---- a class ---------------------------------------------------------------------------------

// Sample.get(self, key=None)
Ref sample_get(Invocation& args) {
    auto [self, key] = args.bind<2>();
    return tuple_of({self.attr("kind"), key});
}
// Sample.lookup(self, key, *, default=None)
Ref sample_lookup(Invocation& args) {
    auto [self, key, default_] = args.bind<3>();
    return tuple_of({self.attr("kind"), key, default_});
}
// Sample.secret(self)
Ref sample_secret(Invocation& args) {
    auto [self] = args.bind<1>();
    return self.method("_Sample__hidden");
}
Ref sample_hidden(Invocation&) { return text("hidden"); }
// Sample.fetch(self, value), a coroutine
Ref sample_fetch(Invocation& args) {
    auto [self, value] = args.bind<2>();
    return make_coroutine(trivial_body(Ref::borrow(value)), args);
}
// Sample.twice(x), a static method
Ref sample_twice(Invocation& args) {
    auto [x] = args.bind<1>();
    return x.add(x);
}

void exec(Module& m) {
    m.import("asyncio");
    m.from_import("pydantic", "BaseModel");
    m.def({.name = "echo",
           .params = {Param("a").annotated("int"), Param("b").defaults_to_none(),
                      Param("c").annotated("list[int]").defaults_to_empty_list()},
           .body = echo,
           .var_keywords = "kwargs",
           .returns = "tuple",
           .doc = "Gives back what it was called with."});
    m.def({.name = "add", .params = {Param("a"), Param("b")}, .body = add});
    m.def({.name = "exact",
           .params = {Param("items").exactly(&PyList_Type), Param("label").exactly(&PyUnicode_Type, true).defaults_to_none()},
           .body = exact});
    m.def({.name = "schedule",
           .params = {Param("configuration"), Param("data"), Param("metrics"), Param("api_client").defaults_to_none(),
                      Param("metric_groups").defaults_to_empty_list(),
                      Param("partition_rows").keyword_only().annotated("int").defaults_to(integer(50000)),
                      Param("client").keyword_only().defaults_to_none(),
                      Param("progress").keyword_only().defaults_to(boolean(false))},
           .body = schedule,
           .var_keywords = "kwargs"});
    m.def({.name = "tagged",
           .params = {Param("items").exactly(&PyList_Type), Param("label").defaults_to_none(),
                      Param("mode").keyword_only().exactly(&PyUnicode_Type),
                      Param("limit").keyword_only().exactly(&PyLong_Type).defaults_to(integer(10)),
                      Param("strict").keyword_only()},
           .body = tagged});
    m.def({.name = "keywords_only",
           .params = {Param("x").keyword_only(), Param("y").keyword_only(), Param("z").keyword_only()},
           .body = keywords_only});
    m.def({.name = "merged_call", .params = {Param("f"), Param("explicit_kwargs"), Param("kwargs")}, .body = merged_call});
    m.def({.name = "wrap_error", .params = {Param("f"), Param("as_cause").defaults_to(boolean(true))}, .body = wrap_error});
    m.def({.name = "throw_cpp", .params = {Param("kind")}, .body = throw_cpp});
    m.def({.name = "built_call", .params = {Param("f")}, .body = built_call});
    m.def({.name = "unpacked_call", .params = {Param("f"), Param("args"), Param("kwargs")}, .body = unpacked_call});
    m.def({.name = "exact_call", .params = {Param("f"), Param("items").exactly(&PyList_Type)}, .body = exact_call});
    m.def({.name = "trivial", .params = {Param("value").defaults_to_none()}, .body = trivial, .coroutine = true});
    m.def({.name = "await_each", .params = {Param("awaitables")}, .body = await_each, .coroutine = true});
    m.def({.name = "guarded", .params = {Param("awaitable")}, .body = guarded, .coroutine = true});
    m.def({.name = "within", .params = {Param("manager"), Param("awaitable")}, .body = within, .coroutine = true});
    m.def({.name = "nap", .params = {Param("delay"), Param("value")}, .body = nap, .coroutine = true});
    m.def({.name = "await_made", .params = {Param("make"), Param("then")}, .body = await_made, .coroutine = true});
    m.def({.name = "keep", .params = {Param("log"), Param("first"), Param("then")}, .body = keep, .coroutine = true});
    m.def({.name = "hold", .params = {Param("log"), Param("awaitable")}, .body = hold, .coroutine = true});
    m.def({.name = "raise_stop", .params = {}, .body = raise_stop, .coroutine = true});
    m.def({.name = "fail_later", .params = {Param("kind"), Param("awaitable")}, .body = fail_later, .coroutine = true});
    m.def({.name = "hold_large", .params = {Param("log"), Param("awaitable")}, .body = hold_large, .coroutine = true});
    m.def({.name = "hold_oversized", .params = {Param("log"), Param("awaitable")}, .body = hold_oversized,
           .coroutine = true});
    m.def({.name = "frame_arena_usage", .params = {}, .body = frame_arena_usage});
    m.def({.name = "is_nan", .params = {Param("value")}, .body = is_nan_of});
    m.def({.name = "zipped", .params = {Param("xs"), Param("ys"), Param("each").defaults_to_none()}, .body = zipped});

    ClassBuilder sample(m, "Sample");
    sample.doc("A plain class made natively.")
        .attr("kind", text("sample"))
        .method({.name = "get", .params = {Param("self"), Param("key").defaults_to_none()}, .body = sample_get})
        .method({.name = "lookup",
                 .params = {Param("self"), Param("key"), Param("default").keyword_only().defaults_to_none()},
                 .body = sample_lookup})
        .method({.name = "secret", .params = {Param("self")}, .body = sample_secret})
        .private_method({.name = "__hidden", .params = {Param("self")}, .body = sample_hidden})
        .static_method({.name = "twice", .params = {Param("x")}, .body = sample_twice})
        .method({.name = "fetch", .params = {Param("self"), Param("value")}, .body = sample_fetch, .coroutine = true});
    m.set("Sample", sample.build());

    ClassBuilder point(m, "Point");
    point.base(m.global("BaseModel")).doc("A pydantic model made natively.").annotate("x", "int").annotate("y", "int")
        .attr("y", integer(0));
    m.set("Point", point.build());
}

}  // namespace

TSY_MODULE(_support_selftest, "Exercises the native support layer.", exec)
