// Native functions that look and bind like the interpreter's own.
//
// Every module function and method is a `native_function`: called through vectorcall, it
// binds arguments with the interpreter's own rules and TypeErrors, checks exact built-in
// types where a parameter asks for it, and only then runs its C++ body. It carries the
// introspection attributes (`__code__`, `__defaults__`, `__kwdefaults__`, `__annotations__`,
// ...) that `inspect.signature` and `inspect.iscoroutinefunction` read, and binds as a method
// when stored on a class. Its defaults are fixed when it is made: `__defaults__` cannot be
// set, and `__kwdefaults__` is a new dict at each read, so changing it changes no call.
#pragma once

#include "objects.hpp"

#include <array>
#include <source_location>
#include <string>
#include <vector>

namespace tsy {

class Invocation;
class Async;
using Body = Ref (*)(Invocation&);
Ref make_coroutine(Async task, const Invocation& call);  // coroutine.hpp

// The most parameters a native function has.
constexpr size_t kMaxParams = 16;

// One parameter: positional-or-keyword, or keyword-only (`def f(a, *, b)`). Keyword-only
// parameters come after all the positional ones in `FunctionSpec::params`; they may be
// required even after positional parameters with defaults, as in Python.
class Param {
public:
    explicit Param(const char* name) : name_(name) {}
    // Filled only by keyword, never by a positional argument.
    Param& keyword_only() {
        keyword_only_ = true;
        return *this;
    }
    // The annotation, kept as text as `from __future__ import annotations` would.
    Param& annotated(const char* annotation) {
        annotation_ = annotation;
        return *this;
    }
    // The argument must be exactly this built-in type (subclasses refused); None passes
    // only with `none_ok`.
    Param& exactly(PyTypeObject* type, bool none_ok = false) {
        exact_ = type;
        none_ok_ = none_ok;
        return *this;
    }
    Param& defaults_to_none() {
        default_ = Default::None;
        return *this;
    }
    // One empty list made when the function is made, shared by every call.
    Param& defaults_to_empty_list() {
        default_ = Default::EmptyList;
        return *this;
    }
    Param& defaults_to(Ref value) {
        default_ = Default::Value;
        value_ = std::move(value);
        return *this;
    }

private:
    friend struct FunctionData;
    enum class Default { Required, None, EmptyList, Value };
    const char* name_;
    const char* annotation_ = nullptr;
    PyTypeObject* exact_ = nullptr;
    bool none_ok_ = false;
    bool keyword_only_ = false;
    Default default_ = Default::Required;
    Ref value_;
};

struct FunctionSpec {
    const char* name;
    std::vector<Param> params;
    Body body;
    const char* var_keywords = nullptr;  // name of the **kwargs parameter, if any
    const char* returns = nullptr;       // return annotation, as text
    const char* doc = nullptr;
    bool coroutine = false;  // the body returns a coroutine object
    // Where the function is defined: its traceback entries point there.
    std::source_location where = std::source_location::current();
};

// Makes a function whose globals (looked up at each use) are `globals`, the namespace of
// the module it belongs to; `qualname_prefix` is the enclosing class's (or function's
// "f.<locals>") qualified name. `closure`, if given, is what a nested function closes over:
// its body reads it as `Invocation::closure()`. `stored_as` is the attribute the function is
// found under in its class when that is not its name (a private method's mangled name).
//
// Functions pickle and copy by reference, as the interpreter's own do: as the module and the
// path that finds them there.
Ref make_function(const FunctionSpec& spec, Handle globals, Handle qualname_prefix = nullptr,
                  Handle closure = nullptr, const char* stored_as = nullptr);

// The code object of a native function (borrowed; null with an error raised if it cannot be
// made): named and flagged as the function, with its parameters, in the source file of its
// module at the line where it is defined. It is the function's `__code__`, its coroutines'
// `cr_code`, and the code of the frames that tracebacks and suspended coroutines show.
PyObject* function_code(PyObject* function) noexcept;
// A frame of `function` whose locals are its parameters, bound to `args` (in parameter order;
// `kwargs` the **kwargs dict, or null), as a Python function's frame shows them.
Ref function_frame(PyObject* function, PyObject* const* args, size_t count, PyObject* kwargs);
// Adds to the exception being raised the traceback entry of a frame of `function` (a native
// function) that the exception leaves, with its arguments. The exception itself is unchanged.
void add_traceback_entry(PyObject* function, PyObject* const* args, size_t count, PyObject* kwargs) noexcept;

// The name and qualified name a native function has now (borrowed).
PyObject* function_name(PyObject* function) noexcept;
PyObject* function_qualname(PyObject* function) noexcept;

struct FunctionData;

// What a body sees of its call: the bound arguments, in parameter order (positional, then
// keyword-only; borrowed for the call), the **kwargs dict and the module's namespace. A body
// names its parameters on its first line, in `def` order:
//
//     // ScreeningProvider.get_detector_url(self, api_client)
//     Ref get_detector_url(Invocation& args) {
//         auto [self, api_client] = args.bind<2>();
class Invocation {
public:
    template <size_t N>
    std::array<Handle, N> bind() const {
        if (N != count_) [[unlikely]]
            raise_wrong_binding(N);
        std::array<Handle, N> bound;
        for (size_t i = 0; i < N; ++i) bound[i] = args_[i];
        return bound;
    }
    // The **kwargs dict (never null when the function declares one).
    Handle kwargs() const { return kwargs_; }
    Handle globals() const;
    // The module global `name` as it stands now (NameError if missing).
    Ref global(const char* name) const;
    Handle function() const { return function_; }
    // What a nested function closes over (null if nothing).
    Handle closure() const;

private:
    friend struct FunctionCall;
    friend Ref make_coroutine(Async task, const Invocation& call);
    Invocation(PyObject* function, PyObject* const* args, size_t count, PyObject* kwargs)
        : function_(function), args_(args), count_(count), kwargs_(kwargs) {}
    [[noreturn, gnu::cold]] void raise_wrong_binding(size_t n) const;
    PyObject* function_;
    PyObject* const* args_;
    size_t count_;
    PyObject* kwargs_;
};

// Looks `name` up in a module namespace (NameError if missing).
Ref lookup_global(Handle globals, const char* name);

// The closest of `candidates` to `name`, as the interpreter suggests "Did you mean ...?",
// or null.
PyObject* closest_name(PyObject* name, const std::vector<PyObject*>& candidates);

}  // namespace tsy
