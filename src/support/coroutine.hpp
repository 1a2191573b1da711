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
// Rules for coroutine bodies: take parameters by value (`Ref`, not borrowed pointers), since
// the body runs after the call that made it has returned; and never `co_await` inside a
// `catch` block (C++ forbids it) -- keep the error, leave the block, then await.
// Await only named locals (`Ref x = call(...); co_await x;`), never a temporary: GCC 12
// destroys some temporaries of a suspending `co_await` expression twice (conditional
// expressions, lambdas capturing by value, aggregates holding a `Ref`), which drops a
// reference too many.
#pragma once

#include "objects.hpp"

#include <coroutine>
#include <exception>

namespace tsy {

class Async;

// A C++ coroutine frame. Frames that await one another directly (`co_await some_async()`)
// form a chain under one interpreter coroutine object: the outermost frame (the root) keeps
// the state of the interpreter-level await for the whole chain, and the innermost running
// frame is the one resumed.
struct AsyncPromise {
    Ref result;
    std::exception_ptr error;
    // Root only: the iterator the chain is awaiting, set when it suspends; what that iterator
    // gave back (its return value, or the exception to raise); the innermost frame.
    Ref delegate;
    Ref sent;
    Ref thrown;
    std::coroutine_handle<AsyncPromise> current;
    // The outermost frame of the chain, and the frame awaiting this one (none for the root).
    AsyncPromise* root = this;
    std::coroutine_handle<AsyncPromise> parent;

    Async get_return_object() noexcept;
    auto initial_suspend() noexcept;
    // A finished nested frame hands control straight back to the frame awaiting it.
    struct Final {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<AsyncPromise> h) const noexcept {
            AsyncPromise& p = h.promise();
            if (!p.parent) return std::noop_coroutine();
            p.root->current = p.parent;
            return p.parent;
        }
        void await_resume() const noexcept {}
    };
    Final final_suspend() noexcept { return {}; }
    void return_value(Ref value) noexcept { result = std::move(value); }
    void unhandled_exception() noexcept { error = std::current_exception(); }

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
            c.root = awaiting.promise().root;
            c.root->current = child;
            return child;
        }
        Ref await_resume();
    };

    struct Awaiter {
        AsyncPromise* promise;
        Ref iterator;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept { promise->delegate = std::move(iterator); }
        Ref await_resume();
    };
    // `co_await awaitable`: delegates to the awaitable's iterator.
    Awaiter await_transform(PyObject* awaitable);
    Awaiter await_transform(const Ref& awaitable) { return await_transform(awaitable.get()); }
    Nested await_transform(Async&& nested);

    // Frames are small and made under the interpreter lock: take them from its allocator.
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
    current = std::coroutine_handle<AsyncPromise>::from_promise(*this);
    return Async(current);
}

inline auto AsyncPromise::initial_suspend() noexcept {
    // A coroutine starts only when first sent to; an exception thrown into it before then
    // is raised at its very start.
    struct Start {
        AsyncPromise* promise;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        void await_resume() const {
            if (promise->root->thrown) throw PyError(std::move(promise->root->thrown));
        }
    };
    return Start{this};
}

// Wraps a C++ coroutine into an interpreter coroutine object named `name` / `qualname`.
Ref make_coroutine(Async task, PyObject* name, PyObject* qualname);

// The type of the objects `make_coroutine` makes (registered as a Coroutine on first use).
PyTypeObject* coroutine_type();

// `async with manager as value: ...` written inline in the awaiting coroutine, so that the
// body adds no frame of its own:
//
//     AsyncWith with(manager);
//     Ref entering = with.enter();
//     Ref value = co_await entering;
//     std::exception_ptr failure;
//     try { ...the body, which may co_await... } catch (...) { failure = std::current_exception(); }
//     Async exiting = with.exit(failure);
//     co_await std::move(exiting);  // raises the body's error again unless __aexit__ suppressed it
//
// `__aexit__` always runs, with the body's exception when it failed; if it raises, its
// error carries the body's as context.
class AsyncWith {
public:
    explicit AsyncWith(PyObject* manager);
    // The awaitable of `__aenter__()`.
    Ref enter();
    // Awaits `__aexit__(type, value, traceback)` for `failure` (or no failure).
    Async exit(std::exception_ptr failure);

private:
    Ref manager_, aenter_, aexit_;
};

// `async with manager as value: body(value)` for a body that is itself a coroutine: the
// body is a callable taking the entered value and returning an Async.
template <class Body>
Async async_with(Ref manager, Body body) {
    AsyncWith with(manager.get());
    Ref entering = with.enter();
    Ref value = co_await entering;
    std::exception_ptr failure;
    Ref result;
    try {
        Async running = body(value);
        result = co_await std::move(running);
    } catch (...) {
        failure = std::current_exception();
    }
    Async exiting = with.exit(failure);
    co_await std::move(exiting);
    co_return result ? result : none();
}

}  // namespace tsy
