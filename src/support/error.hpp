// Interpreter exceptions as C++ exceptions, and the guard that keeps C++ exceptions from
// ever crossing back into the interpreter.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>
#include <string>

namespace tsy {

// An interpreter exception in flight through C++ code. It owns the exception object, whose
// `__traceback__` keeps the frames it passed through.
class PyError : public std::exception {
public:
    // Takes the exception the interpreter is currently raising (SystemError if there is none).
    PyError();
    explicit PyError(Ref exception) noexcept : exc_(std::move(exception)) {}

    const Ref& exception() const noexcept { return exc_; }
    Handle type() const noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(exc_.get())); }
    // True when the exception is an instance of `kind` (a class or a tuple of classes).
    bool matches(Handle kind) const noexcept { return PyErr_GivenExceptionMatches(exc_.get(), kind.get()); }
    // True for ordinary errors; false for BaseException-only kinds such as CancelledError,
    // KeyboardInterrupt and GeneratorExit, which code handling "Exception" must let pass.
    bool is_exception() const noexcept { return matches(PyExc_Exception); }
    // The exception's text, as `str(e)` gives it.
    Ref text() const;

    // Makes this exception the interpreter's raised one again.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

    const char* what() const noexcept override { return "interpreter exception"; }

private:
    Ref exc_;
};

// Throws the exception the interpreter is currently raising.
[[noreturn]] void throw_error();
// A value as PyUnicode_FromFormat takes it: an object (a Handle or a Ref) as its pointer, for
// %S, %R and %U; anything else as it is.
template <class T>
decltype(auto) format_arg(const T& value) {
    if constexpr (std::is_base_of_v<Handle, T>) return value.get();
    else return value;
}
// Raises `type(message)` as a PyError; `fmt` follows PyUnicode_FromFormat.
[[noreturn]] void raise_formatted(PyObject* type, const char* fmt, ...);
template <class... Args>
[[noreturn]] void raise(PyObject* type, const char* fmt, const Args&... args) {
    raise_formatted(type, fmt, format_arg(args)...);
}
// Raises `exception` with `cause` attached as `raise exception from cause` does.
[[noreturn]] void raise_from(Ref exception, const PyError& cause);
// Raises `exception` with `context` attached, as raising inside `except` does.
[[noreturn]] void raise_in_context(Ref exception, const PyError& context);
// A new exception object `type(message)`.
Ref new_exception(Handle type, Handle message);

// The interpreter exception object for a caught C++ exception (PyError gives its own;
// others become what `guard` would raise).
Ref exception_object(std::exception_ptr error);
// The exception that the enclosing `catch` block handles, as its interpreter object. A
// coroutine frame that keeps an error across an await keeps it so, in a `Ref` that the cycle
// collector sees (a std::exception_ptr keeps it where the collector cannot look), and raises
// it again with `throw PyError(error)`.
inline Ref caught() { return exception_object(std::current_exception()); }
// Gives `error` the context `context` unless it has one, as raising inside `except` does.
void chain_context(const PyError& error, const Ref& context);

// Turns whatever a C++ body threw into the interpreter's raised exception.
void set_error_from_current_exception() noexcept;

// Runs `body` at an entry from the interpreter. A thrown PyError is raised again,
// std::bad_alloc becomes MemoryError and any other C++ exception SystemError; `failure` is
// returned in those cases.
template <class Result, class Body>
Result guard(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failure;
    }
}

// The common case: a body that produces a Ref, handed to the interpreter as a new reference.
template <class Body>
PyObject* guard_object(Body&& body) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Ref(body()).release(); });
}

}  // namespace tsy
