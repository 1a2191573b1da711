// Everyday operations on interpreter objects: imports, attributes, calls with keyword
// arguments, built-in containers and text. Each throws PyError where the interpreter raises.
#pragma once

#include "error.hpp"

#include <array>
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
Ref text_formatted(const char* fmt, ...);  // PyUnicode_FromFormat
// text_format(fmt, args...) as PyUnicode_FromFormat, objects given as Handles or Refs.
template <class... Args>
Ref text_format(const char* fmt, const Args&... args) {
    return text_formatted(fmt, format_arg(args)...);
}
Ref interned(const char* s);            // an interned name, for attribute and keyword names
Ref str(Handle o);                      // str(o)
Ref repr(Handle o);                     // repr(o)
Ref format(Handle o, const char* spec = "");  // format(o, spec)
Ref integer(long long v);
// An int as a Py_ssize_t, with the interpreter's TypeError or OverflowError; `saturate`
// makes an int beyond the range the nearest bound instead ("as many as there are").
Py_ssize_t to_ssize(Handle o, bool saturate = false);
// round(value, ndigits) as the interpreter computes it: exact floats natively (correctly
// rounded through the shortest decimal digits, as float.__round__ does), anything else
// through the value's own __round__.
Ref round_number(Handle value, int ndigits);
Ref number(double v);
// The UTF-8 view of a text object; valid while the object lives.
std::string_view utf8(Handle text);
// The text of a UUID given as its 16 bytes, as str(uuid.UUID(bytes=...)) gives it: 36
// characters, lower-case hexadecimal digits in groups of 8-4-4-4-12.
Ref uuid_text(const unsigned char* bytes);

// ---- truth, identity, comparison and arithmetic -----------------------------------------
bool truthy(Handle o);
bool equal(Handle a, Handle b);  // a == b
bool is_instance(Handle o, Handle cls);
// item in container
bool contains(Handle container, Handle item);
// value == "text" (the common comparison of a name with a literal)
bool text_equals(Handle value, const char* text);
inline const char* type_name(Handle o) { return Py_TYPE(o.get())->tp_name; }
// a <op> b for one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE, as `if a < b:` takes it: unlike
// `equals`, `compare(x, x, Py_EQ)` asks x, and is false for a NaN
bool compare(Handle a, Handle b, int op);
// `value != value` as the expression computes it, with no shortcut for an object compared with
// itself (compare() takes one, as `in` does): true for a NaN of any number type. A float is told
// by its value alone, without a call.
bool is_nan(Handle value);

// ---- imports and attributes -------------------------------------------------------------
Ref import(const char* module);
Ref import_from(const char* module, const char* name);  // from module import name
// A built-in function or type, `builtin("min")`: looked up once, kept for the life of the
// process.
Handle builtin(const char* name);
Ref getattr(Handle o, const char* name);
Ref getattr(Handle o, Handle name);
// The attribute, or `fallback` when the object has none (other errors propagate).
Ref getattr_or(Handle o, const char* name, Handle fallback);
Ref getattr_or(Handle o, Handle name, Handle fallback);
void setattr(Handle o, const char* name, Handle value);
bool hasattr(Handle o, const char* name);

// A special method looked up on the object's type and bound to it, as the interpreter does
// for `with` and `async with`; TypeError "'T' object does not support the <protocol>
// protocol" when the type lacks it.
Ref special_method(Handle o, const char* name, const char* protocol);

// ---- containers -------------------------------------------------------------------------
Ref new_list(Py_ssize_t size = 0);
void append(Handle list, Handle item);
Ref new_list_of(std::initializer_list<Handle> items);
Ref list_of_texts(std::initializer_list<const char*> items);
Ref set_of_texts(std::initializer_list<const char*> items);
Ref list_of(Handle iterable);  // list(iterable)
Ref new_dict();
void dict_set(Handle dict, const char* key, Handle value);
void dict_set(Handle dict, Handle key, Handle value);
Ref dict_get(Handle dict, const char* key);  // null when absent
Ref dict_get(Handle dict, Handle key);    // null when absent
Ref tuple_of(std::initializer_list<Handle> items);
Ref get_item(Handle o, Handle key);  // o[key]
Ref item_at(Handle o, Py_ssize_t index);  // o[index]
void set_item(Handle o, Handle key, Handle value);  // o[key] = value
Py_ssize_t length(Handle o);

// `a, b, ... = iterable` with exactly `n` items, with the interpreter's errors.
std::vector<Ref> unpack(Handle iterable, size_t n);
// `a, b = iterable` as `auto [a, b] = unpack<2>(iterable);`
template <size_t N>
std::array<Ref, N> unpack(Handle iterable) {
    std::vector<Ref> items = unpack(iterable, N);
    std::array<Ref, N> named;
    for (size_t i = 0; i < N; ++i) named[i] = std::move(items[i]);
    return named;
}

// Runs `each(item)` for every item of an iterable (borrowed during the call).
template <class Each>
void for_each(Handle iterable, Each&& each) {
    Ref it = Ref::checked(PyObject_GetIter(iterable.get()));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) each(item.get());
    if (PyErr_Occurred()) throw_error();
}

// `for item in iterable:` as `for (const Ref& item : iterate(iterable))`. The loop holds
// the iterator and the current item; an error of the iteration is thrown where Python raises it.
class Iteration {
public:
    explicit Iteration(Handle iterable);
    struct End {};
    class Cursor {
    public:
        explicit Cursor(Handle iterator) : iterator_(iterator) { advance(); }
        const Ref& operator*() const noexcept { return item_; }
        Cursor& operator++() {
            advance();
            return *this;
        }
        bool operator!=(End) const noexcept { return static_cast<bool>(item_); }

    private:
        void advance();
        Handle iterator_;  // held by the Iteration the loop keeps
        Ref item_;
    };
    Cursor begin() const { return Cursor(iterator_); }
    End end() const noexcept { return {}; }

private:
    Ref iterator_;
};
inline Iteration iterate(Handle iterable) { return Iteration(iterable); }

// `for a, b in zip(x, y):` as `for (const auto& [a, b] : zip(x, y))`: items of the iterables
// side by side, until the first of them ends (the later ones are not asked for one more). An
// exact list is read by position, as its own iterator reads it (its length looked at each
// time), without the two calls per item of the iterator protocol.
template <size_t N>
class Zip {
public:
    explicit Zip(std::array<Ref, N> sources) : sources_(std::move(sources)) {}
    struct End {};
    class Cursor {
    public:
        explicit Cursor(const std::array<Ref, N>& sources) : sources_(sources) { advance(); }
        const std::array<Ref, N>& operator*() const noexcept { return items_; }
        Cursor& operator++() {
            advance();
            return *this;
        }
        bool operator!=(End) const noexcept { return !ended_; }

    private:
        void advance() {
            for (size_t i = 0; i < N; ++i) {
                PyObject* source = sources_[i].get();
                if (PyList_CheckExact(source)) {
                    if (position_ >= PyList_GET_SIZE(source)) {
                        ended_ = true;
                        return;
                    }
                    items_[i] = Ref::borrow(PyList_GET_ITEM(source, position_));
                    continue;
                }
                items_[i] = Ref::steal(PyIter_Next(source));
                if (!items_[i]) {
                    if (PyErr_Occurred()) throw_error();
                    ended_ = true;
                    return;
                }
            }
            ++position_;
        }
        const std::array<Ref, N>& sources_;  // held by the Zip the loop keeps
        std::array<Ref, N> items_;
        Py_ssize_t position_ = 0;  // of the exact lists
        bool ended_ = false;
    };
    Cursor begin() const { return Cursor(sources_); }
    End end() const noexcept { return {}; }

private:
    std::array<Ref, N> sources_;  // an exact list itself, an iterator of anything else
};
Ref iterator_of(Handle iterable);  // iter(iterable)
// What zip() reads an iterable through: an exact list itself, an iterator of anything else.
inline Ref zip_source(Handle iterable) {
    return PyList_CheckExact(iterable.get()) ? Ref::borrow(iterable) : iterator_of(iterable);
}
template <class... Iterables>
Zip<sizeof...(Iterables)> zip(const Iterables&... iterables) {
    return Zip<sizeof...(Iterables)>({zip_source(iterables)...});
}

// ---- calls ------------------------------------------------------------------------------
// A keyword argument of a call: `call(f, x, kw("data", table))`, `kw("sort_keys", true)`.
struct Kw {
    const char* name;
    Handle value;
};
inline Kw kw(const char* name, Handle value) { return {name, value}; }
template <class Bool>
    requires std::is_same_v<Bool, bool>  // a pointer is not taken for a bool
inline Kw kw(const char* name, Bool value) {
    return {name, value ? Py_True : Py_False};
}

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
    CallArgs& arg(Handle value);
    CallArgs& arg(Ref&& value) { return arg(keep(std::move(value))); }
    CallArgs& kw(const char* name, Handle value);
    CallArgs& kw(const char* name, Ref&& value) { return kw(name, keep(std::move(value))); }
    CallArgs& kw(Handle name, Handle value);
    // Adds every entry of `kwargs` (a dict with text keys, or null) behind the keywords
    // given so far; a key equal to one of them raises TypeError
    // "function() got multiple values for keyword argument 'KEY'".
    CallArgs& merge(Handle kwargs);
    Ref call(Handle callable) const;

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
    Ref operator()(Handle callable, std::initializer_list<Handle> values) const;

private:
    Ref names_;  // tuple
};

inline void add_call_arg(CallArgs& a, Handle v) { a.arg(v); }
inline void add_call_arg(CallArgs& a, const Kw& k) { a.kw(k.name, k.value); }

// call(f, args..., kw("name", value)...): positional arguments then keywords.
template <class... Args>
Ref call(Handle callable, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return Ref::checked(PyObject_CallNoArgs(callable.get()));
    } else if constexpr ((!std::is_same_v<Args, Kw> && ...)) {
        // Positional arguments only: straight through vectorcall, with the free slot in front.
        PyObject* stack[] = {nullptr, Handle(args).get()...};
        return Ref::checked(
            PyObject_Vectorcall(callable.get(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else {
        CallArgs a;
        (add_call_arg(a, args), ...);
        return a.call(callable);
    }
}

// o.name(args...), without making a bound method when every argument is positional.
template <class... Args>
Ref call_method(Handle o, const char* name, const Args&... args) {
    if constexpr ((!std::is_same_v<Args, Kw> && ...)) {
        PyObject* stack[] = {o.get(), Handle(args).get()...};
        return Ref::checked(PyObject_VectorcallMethod(interned_name(name), stack,
                                                      (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else {
        return call(getattr(o, name), args...);
    }
}

// callable(*args, **kwargs), the dict handed to the callee as it is, as the interpreter's own
// `f(**d)` hands it: a callee that takes its keywords as a dict (`str.format`) sees every key,
// text or not, which a call through keyword names (`kw`, CallArgs::merge) refuses. `args` is
// any iterable (null for none); `kwargs` a dict or null.
Ref call_unpacked(Handle callable, Handle args, Handle kwargs = nullptr);

// `with manager: body()`. `__exit__` always runs, with the body's exception when it fails;
// a true result from it suppresses that exception.
template <class Body>
void with_context(Handle manager, Body&& body) {
    Ref exit = special_method(manager, "__exit__", "context manager");
    Ref enter = special_method(manager, "__enter__", "context manager");
    call(enter);
    Ref exc;
    try {
        body();
    } catch (...) {
        exc = caught();
    }
    if (!exc) {
        call(exit, Py_None, Py_None, Py_None);
        return;
    }
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppress;
    try {
        suppress = call(exit, reinterpret_cast<PyObject*>(exc.type()), exc, tb ? tb : Handle(Py_None));
    } catch (PyError& exit_error) {
        chain_context(exit_error, exc);
        throw;
    }
    if (!suppress.truthy()) throw PyError(exc);
}

// ---- the members of Handle ---------------------------------------------------------------

inline Ref Handle::attr(const char* name) const { return getattr(*this, name); }
inline Ref Handle::attr(Handle name) const { return getattr(*this, name); }
inline void Handle::set_attr(const char* name, Handle value) const { setattr(*this, name, value); }
inline bool Handle::has_attr(const char* name) const { return hasattr(*this, name); }
inline Ref Handle::operator[](Handle key) const { return get_item(*this, key); }
inline Ref Handle::operator[](const char* key) const { return get_item(*this, interned_name(key)); }
template <class Index>
    requires std::is_integral_v<Index>
inline Ref Handle::operator[](Index index) const {
    return item_at(*this, static_cast<Py_ssize_t>(index));
}
inline void Handle::set_item(Handle key, Handle value) const { tsy::set_item(*this, key, value); }
inline void Handle::set_item(const char* key, Handle value) const { tsy::set_item(*this, interned_name(key), value); }
template <class... Args>
inline Ref Handle::operator()(const Args&... args) const {
    return call(*this, args...);
}
template <class... Args>
inline Ref Handle::method(const char* name, const Args&... args) const {
    return call_method(*this, name, args...);
}
inline bool Handle::truthy() const { return tsy::truthy(*this); }
inline Py_ssize_t Handle::len() const { return length(*this); }
inline bool Handle::contains(Handle item) const { return tsy::contains(*this, item); }
inline bool Handle::isinstance(Handle cls) const { return is_instance(*this, cls); }
inline bool Handle::equals(Handle other) const { return equal(*this, other); }
inline bool Handle::equals(const char* text) const { return text_equals(*this, text); }
template <class Integer>
    requires std::is_integral_v<Integer>
inline bool Handle::equals(Integer value) const {
    return equal(*this, integer(value));
}
inline bool Handle::lt(Handle other) const { return compare(*this, other, Py_LT); }
inline bool Handle::le(Handle other) const { return compare(*this, other, Py_LE); }
inline bool Handle::gt(Handle other) const { return compare(*this, other, Py_GT); }
inline bool Handle::ge(Handle other) const { return compare(*this, other, Py_GE); }
inline Ref Handle::add(Handle other) const { return Ref::checked(PyNumber_Add(p_, other.p_)); }
inline Ref Handle::sub(Handle other) const { return Ref::checked(PyNumber_Subtract(p_, other.p_)); }
inline Ref Handle::mul(Handle other) const { return Ref::checked(PyNumber_Multiply(p_, other.p_)); }
inline Ref Handle::truediv(Handle other) const { return Ref::checked(PyNumber_TrueDivide(p_, other.p_)); }
inline Ref Handle::pow(Handle other) const { return Ref::checked(PyNumber_Power(p_, other.p_, Py_None)); }
template <class Integer>
    requires std::is_integral_v<Integer>
inline Ref Handle::add(Integer other) const {
    return add(integer(other));
}
template <class Integer>
    requires std::is_integral_v<Integer>
inline Ref Handle::sub(Integer other) const {
    return sub(integer(other));
}
template <class Integer>
    requires std::is_integral_v<Integer>
inline Ref Handle::mul(Integer other) const {
    return mul(integer(other));
}
inline Ref Handle::str() const { return tsy::str(*this); }
inline Ref Handle::repr() const { return tsy::repr(*this); }

}  // namespace tsy
