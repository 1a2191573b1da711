// Everyday operations on interpreter objects: imports, attributes, calls with keyword
// arguments, built-in containers and text. Each throws PyError where the interpreter raises.
#pragma once

#include "error.hpp"

#include <initializer_list>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tsy {

// ---- names --------------------------------------------------------------------------------
// The interned name of a text, as kept for good by the support layer. Names are mostly
// literals of the module, looked up again and again: the latest ones are found by their
// address in a small table, inline; the rest of the lookup is out of line.
namespace names {
struct Recent {
    const char* text;
    PyObject* name;
};
extern Recent recent[256] __attribute__((visibility("hidden")));
inline size_t slot(const char* text) { return (reinterpret_cast<uintptr_t>(text) >> 3) & 255; }
PyObject* find(const char* text);
}  // namespace names

inline PyObject* interned_name(const char* text) {
    const names::Recent& r = names::recent[names::slot(text)];
    return r.text == text ? r.name : names::find(text);
}

// ---- text and numbers -------------------------------------------------------------------
Ref text(std::string_view s);
Ref text_format(const char* fmt, ...);  // PyUnicode_FromFormat
Ref interned(const char* s);            // an interned name, for attribute and keyword names
Ref str(PyObject* o);                   // str(o)
Ref format(PyObject* o, const char* spec = "");  // format(o, spec)
Ref integer(long long v);
// An int as a Py_ssize_t, with the interpreter's TypeError or OverflowError; `saturate`
// makes an int beyond the range the nearest bound instead ("as many as there are").
Py_ssize_t to_ssize(PyObject* o, bool saturate = false);
// round(value, ndigits) as the interpreter computes it: exact floats natively (correctly
// rounded through the shortest decimal digits, as float.__round__ does), anything else
// through the value's own __round__.
Ref round_number(PyObject* value, int ndigits);
Ref number(double v);
// The UTF-8 view of a text object; valid while the object lives.
std::string_view utf8(PyObject* text);

// ---- truth, identity and types ----------------------------------------------------------
bool truthy(PyObject* o);
bool equal(PyObject* a, PyObject* b);  // a == b
bool is_instance(PyObject* o, PyObject* cls);
// item in container
bool contains(PyObject* container, PyObject* item);
// value == "text" (the common comparison of a name with a literal)
bool text_equals(PyObject* value, const char* text);
inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// ---- imports and attributes -------------------------------------------------------------
Ref import(const char* module);
Ref import_from(const char* module, const char* name);  // from module import name
// A built-in function, for a call site to look up once and keep for the life of the process:
// `static PyObject* min = builtin("min");`
PyObject* builtin(const char* name);
Ref getattr(PyObject* o, const char* name);
Ref getattr(PyObject* o, PyObject* name);
inline Ref getattr(const Ref& o, const char* name) { return getattr(o.get(), name); }
// The attribute, or `fallback` when the object has none (other errors propagate).
Ref getattr_or(PyObject* o, const char* name, PyObject* fallback);
void setattr(PyObject* o, const char* name, PyObject* value);
bool hasattr(PyObject* o, const char* name);

// A special method looked up on the object's type and bound to it, as the interpreter does
// for `with` and `async with`; TypeError "'T' object does not support the <protocol>
// protocol" when the type lacks it.
Ref special_method(PyObject* o, const char* name, const char* protocol);

// ---- containers -------------------------------------------------------------------------
Ref new_list(Py_ssize_t size = 0);
void append(PyObject* list, PyObject* item);
Ref new_list_of(std::initializer_list<PyObject*> items);
Ref list_of_texts(std::initializer_list<const char*> items);
Ref set_of_texts(std::initializer_list<const char*> items);
Ref list_of(PyObject* iterable);  // list(iterable)
Ref new_dict();
void dict_set(PyObject* dict, const char* key, PyObject* value);
void dict_set(PyObject* dict, PyObject* key, PyObject* value);
Ref dict_get(PyObject* dict, const char* key);  // null when absent
Ref dict_get(PyObject* dict, PyObject* key);    // null when absent
Ref tuple_of(std::initializer_list<PyObject*> items);
Ref get_item(PyObject* o, PyObject* key);  // o[key]
Ref item_at(PyObject* o, Py_ssize_t index);  // o[index]
void set_item(PyObject* o, PyObject* key, PyObject* value);  // o[key] = value
Py_ssize_t length(PyObject* o);

// `a, b, ... = iterable` with exactly `n` items, with the interpreter's errors.
std::vector<Ref> unpack(PyObject* iterable, size_t n);

// Runs `each(item)` for every item of an iterable (borrowed during the call).
template <class Each>
void for_each(PyObject* iterable, Each&& each) {
    Ref it = Ref::checked(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) each(item.get());
    if (PyErr_Occurred()) throw_error();
}

// ---- calls ------------------------------------------------------------------------------
// A keyword argument of a call: `call(f, x, kw("data", table))`.
struct Kw {
    const char* name;
    PyObject* value;
};
inline Kw kw(const char* name, PyObject* value) { return {name, value}; }
inline Kw kw(const char* name, const Ref& value) { return {name, value.get()}; }

// A list of borrowed pointers that lives on the stack while it is short.
class PointerList {
public:
    void push_back(PyObject* p) {
        if (size_ < kInline) {
            inline_[size_] = p;
        } else {
            if (size_ == kInline) heap_.assign(inline_, inline_ + kInline);
            heap_.push_back(p);
        }
        ++size_;
    }
    PyObject* const* data() const { return size_ <= kInline ? inline_ : heap_.data(); }
    size_t size() const { return size_; }
    PyObject* operator[](size_t i) const { return data()[i]; }

private:
    static constexpr size_t kInline = 8;
    PyObject* inline_[kInline];
    size_t size_ = 0;
    std::vector<PyObject*> heap_;
};

// The arguments of one call, gathered positional first and keywords after, then made
// through vectorcall. `merge` appends a caller's **kwargs behind the explicit keywords.
// Keyword names given as text are interned once and kept; a name given as an object must
// outlive the call, as borrowed argument values must.
class CallArgs {
public:
    // Borrowed arguments must outlive the call; a temporary `Ref` (`args.arg(text("x"))`)
    // is kept by the builder itself, since it would be gone before `call`.
    CallArgs& arg(PyObject* value);
    CallArgs& arg(const Ref& value) { return arg(value.get()); }
    CallArgs& arg(Ref&& value) { return arg(keep(std::move(value))); }
    CallArgs& kw(const char* name, PyObject* value);
    CallArgs& kw(const char* name, const Ref& value) { return kw(name, value.get()); }
    CallArgs& kw(const char* name, Ref&& value) { return kw(name, keep(std::move(value))); }
    CallArgs& kw(PyObject* name, PyObject* value);
    // Adds every entry of `kwargs` (a dict with text keys, or null) behind the keywords
    // given so far; a key equal to one of them raises TypeError
    // "function() got multiple values for keyword argument 'KEY'".
    CallArgs& merge(PyObject* kwargs);
    Ref call(PyObject* callable) const;

private:
    PyObject* keep(Ref value) {
        kept_.push_back(std::move(value));
        return kept_.back().get();
    }
    static PyObject* keyword_names(PyObject* const* names, size_t count);
    PointerList positional_;
    PointerList names_;
    PointerList values_;
    std::vector<Ref> kept_;  // keeps merged values and temporaries alive for the call
    // The keywords that came from merged **kwargs: [merged_begin_, merged_end_).
    size_t merged_begin_ = SIZE_MAX, merged_end_ = 0;
    size_t merged_end() const { return merged_begin_ == SIZE_MAX ? 0 : merged_end_; }
};

// The keyword names of a call made again and again (one per record, say), made once:
// `record(cls, {name, value})` calls `cls(name=name, value=value)`.
class KeywordCall {
public:
    explicit KeywordCall(std::initializer_list<const char*> names);
    // Calls with the values of the keywords, in the order of their names.
    Ref operator()(PyObject* callable, std::initializer_list<PyObject*> values) const;

private:
    Ref names_;  // tuple
};

inline void add_call_arg(CallArgs& a, PyObject* v) { a.arg(v); }
inline void add_call_arg(CallArgs& a, const Ref& v) { a.arg(v); }
inline void add_call_arg(CallArgs& a, const Kw& k) { a.kw(k.name, k.value); }

// call(f, args..., kw("name", value)...): positional arguments then keywords.
template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return Ref::checked(PyObject_CallNoArgs(callable));
    } else {
        CallArgs a;
        (add_call_arg(a, args), ...);
        return a.call(callable);
    }
}
template <class... Args>
Ref call(const Ref& callable, const Args&... args) {
    return call(callable.get(), args...);
}
inline PyObject* positional_pointer(PyObject* v) { return v; }
inline PyObject* positional_pointer(const Ref& v) { return v.get(); }

// o.name(args...): with positional arguments only, without making a bound method.
template <class... Args>
Ref call_method(PyObject* o, const char* name, const Args&... args) {
    if constexpr ((!std::is_same_v<Args, Kw> && ...)) {
        PyObject* stack[] = {o, positional_pointer(args)...};
        return Ref::checked(PyObject_VectorcallMethod(interned_name(name), stack,
                                                      (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else {
        return call(getattr(o, name), args...);
    }
}

// `with manager: body()`. `__exit__` always runs, with the body's exception when it fails;
// a true result from it suppresses that exception.
template <class Body>
void with_context(PyObject* manager, Body&& body) {
    Ref exit = special_method(manager, "__exit__", "context manager");
    Ref enter = special_method(manager, "__enter__", "context manager");
    call(enter);
    Ref exc;
    try {
        body();
    } catch (...) {
        exc = exception_object(std::current_exception());
    }
    if (!exc) {
        call(exit, Py_None, Py_None, Py_None);
        return;
    }
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppress;
    try {
        suppress = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc, tb ? tb.get() : Py_None);
    } catch (PyError& exit_error) {
        chain_context(exit_error, exc);
        throw;
    }
    if (!truthy(suppress.get())) throw PyError(exc);
}

}  // namespace tsy
