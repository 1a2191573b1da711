// C++20 coroutines as interpreter coroutine objects.
//
// A C++ coroutine returning `Async` becomes, through `make_coroutine`, an object the event
// loop drives like any coroutine: `send`, `throw`, `close`, `__await__` and the fast send
// slot, registered as a `collections.abc.Coroutine`. Inside, `co_await x` accepts any
// awaitable `x` (a future, a coroutine, another native coroutine, an object with
// `__await__`) and delegates to it as `await` does: the values it yields go out to the
// loop, `send` and `throw` go in to it, so a cancellation reaches the innermost await and
// surfaces in C++ as a PyError at the `co_await`.
//
// The cycle collector sees every `Ref` a suspended frame holds (parameters, locals, members of
// local structs), in every frame of a chain, and clearing the coroutine destroys its frames
// (frame_arena.hpp). A reference kept off the frame, in a std::vector say, is not seen: a
// frame keeps what it holds across an await in `Ref`s of its own (a list, not a vector).
//
// Rules for coroutine bodies: take parameters by value (`Ref`, not borrowed pointers), since
// the body runs after the call that made it has returned; and never `co_await` inside a
// `catch` block (C++ forbids it) -- keep the error, leave the block, then await.
// Await only named locals (`Ref x = call(...); co_await x;`), never a temporary: GCC 12
// destroys some temporaries of a suspending `co_await` expression twice (conditional
// expressions, lambdas capturing by value, aggregates holding a `Ref`), which drops a
// reference too many. `co_await std::move(x)` lets go of `x` as the await starts, as the
// interpreter's `await` lets go of what it awaited: what a request awaited does not stay
// alive beside it until the frame's scope ends.
#pragma once

#include "function.hpp"
#include "objects.hpp"

#include <coroutine>
#include <exception>

namespace tsy {

class Async;

struct AsyncPromise;

// What `AsyncWith::exit` gives to await: the awaitable of `__aexit__(...)`, and the error of
// the body it was called for (none if the body succeeded).
struct AsyncExit {
    Ref exiting;
    Ref exception;
};

// What one interpreter-level await of a chain of frames keeps: its root frame (none once
// finished) and innermost frame (the one to resume), the iterator the chain awaits (set when
// it suspends), what that iterator gave back (a value, or the exception to raise at the
// await), and what the last frame to finish ended with (its value, or its error), until the
// frame awaiting it, or the bridge, takes it. It lives in the coroutine object, which shows
// these references to the collector.
struct Chain {
    std::coroutine_handle<AsyncPromise> root;
    std::coroutine_handle<AsyncPromise> current;
    Ref delegate;
    Ref sent;
    Ref thrown;
    Ref returned;
    std::exception_ptr failed;
};

// A C++ coroutine frame. Frames that await one another directly (`co_await some_async()`)
// form a chain under one interpreter coroutine object.
//
// A frame runs only within a chain, so it hands its value or error to the chain: the frame
// itself holds no reference once its body is done.
struct AsyncPromise {
    Chain* chain = nullptr;  // set when the chain starts (make_coroutine), or the frame joins one
    std::coroutine_handle<AsyncPromise> parent;  // the frame awaiting this one (none for the root)

    AsyncPromise() noexcept = default;
    // A body runs after the call that made it has returned, and resumes after awaits in which
    // anything may have been freed: it owns what it holds. The compiler hands the promise the
    // body's parameters, so a borrowed one fails to compile here.
    template <class... Params>
    explicit AsyncPromise(const Params&...) noexcept {
        static_assert(((!std::is_same_v<Params, Handle> && !std::is_same_v<Params, PyObject*>) && ...),
                      "a coroutine body takes its parameters as Ref: a borrowed Handle or PyObject* may be gone "
                      "by the time the body runs");
    }

    Async get_return_object() noexcept;
    auto initial_suspend() noexcept;
    // A finished nested frame hands control straight back to the frame awaiting it, which
    // frees it. The root frame, whose value or error the chain already holds, frees itself as
    // it finishes; the chain lets go of it first, so that the coroutine is already finished
    // for any code that the freeing runs.
    struct Final {
        AsyncPromise* promise;
        bool await_ready() const noexcept {
            if (promise->parent) return false;
            promise->chain->root = promise->chain->current = {};
            return true;
        }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<AsyncPromise> h) const noexcept {
            AsyncPromise& p = h.promise();
            p.chain->current = p.parent;
            return p.parent;
        }
        void await_resume() const noexcept {}
    };
    Final final_suspend() noexcept { return {this}; }
    void return_value(const Ref& value) noexcept { chain->returned = value; }
    void return_value(Ref&& value) noexcept { chain->returned = std::move(value); }
    void unhandled_exception() noexcept { chain->failed = std::current_exception(); }

    // `co_await some_async()`: runs the nested frame within this chain (no interpreter
    // object of its own) and gives its value or raises its error.
    struct Nested {
        std::coroutine_handle<AsyncPromise> child;
        explicit Nested(std::coroutine_handle<AsyncPromise> c) noexcept : child(c) {}
        Nested(Nested&& other) noexcept : child(std::exchange(other.child, {})) {}
        Nested(const Nested&) = delete;
        ~Nested() {
            if (auto c = std::exchange(child, {})) c.destroy();
        }
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<AsyncPromise> awaiting) noexcept {
            AsyncPromise& c = child.promise();
            c.parent = awaiting;
            c.chain = awaiting.promise().chain;
            c.chain->current = child;
            return child;
        }
        Ref await_resume();
    };

    struct Awaiter {
        Chain* chain;
        Ref iterator;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept { chain->delegate = std::move(iterator); }
        Ref await_resume();
    };
    // `co_await awaitable`: delegates to the awaitable's iterator.
    Awaiter await_transform(Handle awaitable);
    Awaiter await_transform(const Ref& awaitable) { return await_transform(Handle(awaitable)); }
    Awaiter await_transform(Ref&& awaitable) {
        Awaiter awaiter = await_transform(awaitable.get());  // holds what it awaits itself
        awaitable.reset();
        return awaiter;
    }
    Nested await_transform(Async&& nested);

    // `co_await with.exit(failure)`: awaits `__aexit__` within this frame, then raises the
    // body's error again unless `__aexit__` suppressed it.
    struct ExitAwaiter {
        Awaiter exiting;
        Ref exception;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) noexcept { exiting.await_suspend(h); }
        void await_resume();
    };
    ExitAwaiter await_transform(AsyncExit&& exit);

    // Frames live in the frame arena, where the collector can read their references.
    static void* operator new(size_t size);
    static void operator delete(void* p) noexcept;
};

// The owner of a C++ coroutine frame until it is handed to `make_coroutine`.
class Async {
public:
    using promise_type = AsyncPromise;
    explicit Async(std::coroutine_handle<AsyncPromise> h) noexcept : handle_(h) {}
    Async(Async&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Async& operator=(Async&&) = delete;
    ~Async() {
        if (handle_) handle_.destroy();
    }
    std::coroutine_handle<AsyncPromise> release() noexcept { return std::exchange(handle_, {}); }

private:
    std::coroutine_handle<AsyncPromise> handle_;
};

inline Async AsyncPromise::get_return_object() noexcept {
    return Async(std::coroutine_handle<AsyncPromise>::from_promise(*this));
}

inline auto AsyncPromise::initial_suspend() noexcept {
    // A coroutine starts only when first sent to; an exception thrown into it before then
    // is raised at its very start.
    struct Start {
        AsyncPromise* promise;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        void await_resume() const {
            if (promise->chain && promise->chain->thrown) throw PyError(std::move(promise->chain->thrown));
        }
    };
    return Start{this};
}

// Wraps a C++ coroutine into the interpreter coroutine object that the native function of
// `call` returns: named after the function, whose frame it shows in the tracebacks of the
// exceptions that leave it.
Ref make_coroutine(Async task, const Invocation& call);

// The type of the objects `make_coroutine` makes (registered as a Coroutine on first use).
PyTypeObject* coroutine_type();

// `async with manager as value: ...` written inline in the awaiting coroutine, so that the
// body adds no frame of its own:
//
//     AsyncWith with(manager);
//     Ref entering = with.enter();
//     Ref value = co_await std::move(entering);
//     Ref failure;
//     try { ...the body, which may co_await... } catch (...) { failure = caught(); }
//     AsyncExit exiting = with.exit(failure);
//     co_await std::move(exiting);  // raises the body's error again unless __aexit__ suppressed it
//
// `__aexit__` always runs, with the body's exception when it failed; if it raises, its
// error carries the body's as context. The body's error waits for `__aexit__` in a `Ref` of
// the frame, where the collector sees it and what its traceback holds.
class AsyncWith {
public:
    explicit AsyncWith(Handle manager);
    // The awaitable of `__aenter__()`.
    Ref enter();
    // Calls `__aexit__(type, value, traceback)` for `failure` (an exception object, or null
    // when the body succeeded), for the awaiting frame to await.
    AsyncExit exit(const Ref& failure);

private:
    // The methods alone, as the interpreter's own `async with` keeps them: a bound `__aexit__`
    // is what keeps the manager alive.
    Ref aenter_, aexit_;
};

// `async with manager as value: body(value)` for a body that is itself a coroutine: the
// body is a callable taking the entered value and returning an Async.
template <class Body>
Async async_with(Ref manager, Body body) {
    AsyncWith with(manager);
    Ref entering = with.enter();
    Ref value = co_await std::move(entering);
    Ref failure;
    Ref result;
    try {
        Async running = body(value);
        result = co_await std::move(running);
    } catch (...) {
        failure = caught();
    }
    AsyncExit exiting = with.exit(failure);
    co_await std::move(exiting);
    co_return result ? result : none();
}

}  // namespace tsy
