#include "objects.hpp"

#include <link.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdarg>

namespace tsy {

Ref text(std::string_view s) {
    return Ref::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref text_formatted(const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* r = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    return Ref::checked(r);
}

namespace {

// The read-only stretches of this module's loaded image: a text there is a literal, fixed for
// the life of the process.
struct ReadOnlyImage {
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;

    ReadOnlyImage() {
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) -> int {
                auto* self = static_cast<ReadOnlyImage*>(data);
                const auto here = reinterpret_cast<uintptr_t>(&names::find);
                std::vector<std::pair<uintptr_t, uintptr_t>> read_only;
                bool ours = false;
                for (int i = 0; i < info->dlpi_phnum; ++i) {
                    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                    if (segment.p_type != PT_LOAD) continue;
                    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr, end = begin + segment.p_memsz;
                    ours = ours || (here >= begin && here < end);
                    if (!(segment.p_flags & PF_W)) read_only.emplace_back(begin, end);
                }
                if (!ours) return 0;
                self->ranges = std::move(read_only);
                return 1;
            },
            this);
    }

    bool holds(const char* s) const {
        const auto p = reinterpret_cast<uintptr_t>(s);
        for (auto [begin, end] : ranges)
            if (p >= begin && p < end) return true;
        return false;
    }
};

}  // namespace

// The interned names made so far, by the address of their text: open addressing on a
// multiplicative hash of the address, so that finding one costs a few instructions.
class NameCache {
public:
    PyObject* find(const char* s) const {
        for (size_t i = slot(s);; i = (i + 1) & (slots_.size() - 1)) {
            const Entry& e = slots_[i];
            if (e.text == s) {
                if (e.literal || PyUnicode_CompareWithASCIIString(e.name, s) == 0) return e.name;
                return nullptr;  // the address now holds another text
            }
            if (!e.text) return nullptr;
        }
    }

    void put(const char* s, PyObject* name, bool literal) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        for (size_t i = slot(s);; i = (i + 1) & (slots_.size() - 1)) {
            Entry& e = slots_[i];
            if (e.text == s) {  // the text at this address changed
                Py_XSETREF(e.name, name);
                return;
            }
            if (!e.text) {
                e = {s, name, literal};
                ++used_;
                return;
            }
        }
    }

private:
    struct Entry {
        const char* text = nullptr;
        PyObject* name = nullptr;  // kept for good
        bool literal = false;
    };
    size_t slot(const char* s) const {
        return (reinterpret_cast<uintptr_t>(s) * 0x9E3779B97F4A7C15ull) >> (64 - bits_);
    }
    void grow() {
        std::vector<Entry> old = std::move(slots_);
        ++bits_;
        slots_.assign(size_t{1} << bits_, Entry{});
        used_ = 0;
        for (const Entry& e : old)
            if (e.text) put(e.text, e.name, e.literal);
    }
    unsigned bits_ = 8;
    std::vector<Entry> slots_ = std::vector<Entry>(size_t{1} << 8);
    size_t used_ = 0;
};

names::Recent names::recent[256];

// Every name is interned once and kept, found by the address of its text. A text that is not
// a literal of this module is checked by content as well, in case its address has been
// reused for another text; a literal's name also goes into the table of recent ones.
PyObject* names::find(const char* s) {
    static NameCache cache;
    static const ReadOnlyImage literals;
    const bool literal = literals.holds(s);
    PyObject* name = cache.find(s);
    if (!name) {
        name = PyUnicode_InternFromString(s);
        if (!name) throw_error();
        cache.put(s, name, literal);
    }
    if (literal) recent[slot(s)] = {s, name};
    return name;
}

Ref interned(const char* s) { return Ref::borrow(interned_name(s)); }
Ref str(Handle o) { return Ref::checked(PyObject_Str(o.get())); }
Ref repr(Handle o) { return Ref::checked(PyObject_Repr(o.get())); }

Ref format(Handle o, const char* spec) {
    Ref s = text(spec);
    return Ref::checked(PyObject_Format(o.get(), s.get()));
}

Ref integer(long long v) { return Ref::checked(PyLong_FromLongLong(v)); }

Py_ssize_t to_ssize(Handle o, bool saturate) {
    if (!PyLong_Check(o.get())) raise(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer", type_name(o));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (overflow == 0 && v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX) return static_cast<Py_ssize_t>(v);
    if (!saturate) raise(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
    return overflow > 0 || (overflow == 0 && v > 0) ? PY_SSIZE_T_MAX : PY_SSIZE_T_MIN;
}
Ref round_number(Handle value, int ndigits) {
    if (Py_IS_TYPE(value.get(), &PyFloat_Type)) {
        double d = PyFloat_AS_DOUBLE(value.get());
        if (!std::isfinite(d) || d == 0.0) return Ref::borrow(value);
        char* digits = PyOS_double_to_string(d, 'f', ndigits, 0, nullptr);
        if (!digits) throw_error();
        double rounded = PyOS_string_to_double(digits, nullptr, nullptr);
        PyMem_Free(digits);
        if (rounded == -1.0 && PyErr_Occurred()) throw_error();
        return number(rounded);
    }
    static Handle round = builtin("round");
    return call(round, value, integer(ndigits));
}

Ref number(double v) { return Ref::checked(PyFloat_FromDouble(v)); }

std::string_view utf8(Handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (!p) throw_error();
    return {p, static_cast<size_t>(n)};
}

Ref uuid_text(const unsigned char* bytes) {
    constexpr char kHex[] = "0123456789abcdef";
    Ref text = Ref::checked(PyUnicode_New(36, 127));
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    for (int j = 0, k = 0; j < 16; ++j) {
        if (j == 4 || j == 6 || j == 8 || j == 10) out[k++] = '-';
        out[k++] = kHex[bytes[j] >> 4];
        out[k++] = kHex[bytes[j] & 0xf];
    }
    return text;
}

bool truthy(Handle o) {
    int r = PyObject_IsTrue(o.get());
    if (r < 0) throw_error();
    return r;
}

bool equal(Handle a, Handle b) {
    int r = PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
    if (r < 0) throw_error();
    return r;
}

bool is_instance(Handle o, Handle cls) {
    int r = PyObject_IsInstance(o.get(), cls.get());
    if (r < 0) throw_error();
    return r;
}

bool contains(Handle container, Handle item) {
    int r = PySequence_Contains(container.get(), item.get());
    if (r < 0) throw_error();
    return r;
}

bool text_equals(Handle value, const char* s) {
    if (PyUnicode_CheckExact(value.get())) return PyUnicode_CompareWithASCIIString(value.get(), s) == 0;
    return equal(value, text(s));
}

bool compare(Handle a, Handle b, int op) {
    // Not PyObject_RichCompareBool: it takes an object as equal to itself before asking it,
    // as `in` does, where `if a == b:` asks (a NaN is unequal to itself).
    return truthy(Ref::checked(PyObject_RichCompare(a.get(), b.get(), op)));
}

bool is_nan(Handle value) {
    if (PyFloat_Check(value.get())) return std::isnan(PyFloat_AS_DOUBLE(value.get()));
    return truthy(Ref::checked(PyObject_RichCompare(value.get(), value.get(), Py_NE)));
}

Ref import(const char* module) { return Ref::checked(PyImport_ImportModule(module)); }

Ref import_from(const char* module, const char* name) {
    // As `from module import name`: the attribute, or the submodule of that name.
    Ref fromlist = tuple_of({interned(name).get()});
    Ref mod = Ref::checked(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
    Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
}

Handle builtin(const char* name) {
    // Kept for good, as the interpreter keeps its builtins (never freed: static destructors
    // run after the interpreter is gone).
    static PyObject* builtins = import("builtins").release();
    static PyObject* found = new_dict().release();
    PyObject* key = interned_name(name);
    if (PyObject* value = PyDict_GetItemWithError(found, key)) return value;
    if (PyErr_Occurred()) throw_error();
    Ref value = getattr(builtins, key);
    dict_set(found, key, value);
    return value.get();  // the cache holds it
}

Ref getattr(Handle o, const char* name) { return Ref::checked(PyObject_GetAttr(o.get(), interned_name(name))); }
Ref getattr(Handle o, Handle name) { return Ref::checked(PyObject_GetAttr(o.get(), name.get())); }

Ref getattr_or(Handle o, const char* name, Handle fallback) { return getattr_or(o, interned_name(name), fallback); }
Ref getattr_or(Handle o, Handle name, Handle fallback) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(o.get(), name.get(), &value) < 0) throw_error();
    return value ? Ref::steal(value) : Ref::borrow(fallback);
}

void setattr(Handle o, const char* name, Handle value) {
    if (PyObject_SetAttr(o.get(), interned_name(name), value.get()) < 0) throw_error();
}

bool hasattr(Handle o, const char* name) {
    int r = PyObject_HasAttrWithError(o.get(), interned_name(name));
    if (r < 0) throw_error();
    return r;
}

Ref special_method(Handle o, const char* name, const char* protocol) {
    PyTypeObject* t = o.type();
    Ref attr = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(t), interned_name(name)));
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "'%.100s' object does not support the %s protocol", t->tp_name, protocol);
    }
    if (descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get)
        return Ref::checked(get(attr.get(), o.get(), reinterpret_cast<PyObject*>(t)));
    return attr;
}

Ref new_list(Py_ssize_t size) { return Ref::checked(PyList_New(size)); }

void append(Handle list, Handle item) {
    if (PyList_Append(list.get(), item.get()) < 0) throw_error();
}

Ref new_list_of(std::initializer_list<Handle> items) {
    Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
    Py_ssize_t i = 0;
    for (Handle item : items) PyList_SET_ITEM(list.get(), i++, Py_XNewRef(item.get()));
    return list;
}

Ref list_of_texts(std::initializer_list<const char*> items) {
    Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
    Py_ssize_t i = 0;
    for (const char* item : items) PyList_SET_ITEM(list.get(), i++, text(item).release());
    return list;
}

Ref set_of_texts(std::initializer_list<const char*> items) {
    Ref set = Ref::checked(PySet_New(nullptr));
    for (const char* item : items)
        if (PySet_Add(set.get(), text(item).get()) < 0) throw_error();
    return set;
}

Ref list_of(Handle iterable) { return Ref::checked(PySequence_List(iterable.get())); }
Ref new_dict() { return Ref::checked(PyDict_New()); }

void dict_set(Handle dict, const char* key, Handle value) {
    if (PyDict_SetItem(dict.get(), interned_name(key), value.get()) < 0) throw_error();
}
void dict_set(Handle dict, Handle key, Handle value) {
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_error();
}

Ref dict_get(Handle dict, const char* key) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict.get(), interned_name(key), &v) < 0) throw_error();
    return Ref::steal(v);
}
Ref dict_get(Handle dict, Handle key) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict.get(), key.get(), &v) < 0) throw_error();
    return Ref::steal(v);
}

Ref tuple_of(std::initializer_list<Handle> items) {
    Ref t = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle item : items) PyTuple_SET_ITEM(t.get(), i++, Py_XNewRef(item.get()));
    return t;
}

Ref get_item(Handle o, Handle key) { return Ref::checked(PyObject_GetItem(o.get(), key.get())); }
Ref item_at(Handle o, Py_ssize_t index) { return Ref::checked(PySequence_GetItem(o.get(), index)); }

void set_item(Handle o, Handle key, Handle value) {
    // Held as Python code holds the object it assigns into (a variable of its own): pandas
    // tells chained assignments to temporaries by the reference count, and would take a
    // caller's table assigned from native code for one.
    Ref held = Ref::borrow(o);
    if (PyObject_SetItem(held.get(), key.get(), value.get()) < 0) throw_error();
}

Py_ssize_t length(Handle o) {
    Py_ssize_t n = PyObject_Length(o.get());
    if (n < 0) throw_error();
    return n;
}

std::vector<Ref> unpack(Handle iterable, size_t n) {
    Ref it = Ref::steal(PyObject_GetIter(iterable.get()));
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(iterable));
    }
    std::vector<Ref> items;
    items.reserve(n);
    while (items.size() < n) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) throw_error();
            raise(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", (Py_ssize_t)n,
                  (Py_ssize_t)items.size());
        }
        items.push_back(std::move(item));
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get()))) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)n);
    if (PyErr_Occurred()) throw_error();
    return items;
}

// ---- iteration ----------------------------------------------------------------------------

Ref iterator_of(Handle iterable) { return Ref::checked(PyObject_GetIter(iterable.get())); }

Iteration::Iteration(Handle iterable) : iterator_(iterator_of(iterable)) {}

void Iteration::Cursor::advance() {
    item_ = Ref::steal(PyIter_Next(iterator_.get()));
    if (!item_ && PyErr_Occurred()) throw_error();
}

// ---- calls ------------------------------------------------------------------------------

KeywordCall::KeywordCall(std::initializer_list<const char*> names)
    : names_(Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())))) {
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(names_.get(), i++, interned(name).release());
}

Ref KeywordCall::operator()(Handle callable, std::initializer_list<Handle> values) const {
    PyObject* stack[24];
    const size_t n = values.size();
    if (n != static_cast<size_t>(PyTuple_GET_SIZE(names_.get())) || n >= std::size(stack))
        raise(PyExc_SystemError, "keyword call with %zd values for %zd names", (Py_ssize_t)n,
              PyTuple_GET_SIZE(names_.get()));
    stack[0] = nullptr;  // lets the callee prepend `self` without copying
    std::transform(values.begin(), values.end(), stack + 1, [](Handle h) { return h.get(); });
    return Ref::checked(PyObject_Vectorcall(callable.get(), stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names_.get()));
}

CallArgs& CallArgs::arg(Handle value) {
    positional_.push_back(value.get());
    return *this;
}

CallArgs& CallArgs::kw(const char* name, Handle value) { return kw(interned_name(name), value); }

CallArgs& CallArgs::kw(Handle name, Handle value) {
    names_.push_back(name.get());
    values_.push_back(value.get());
    return *this;
}

CallArgs& CallArgs::merge(Handle kwargs) {
    if (!kwargs) return *this;
    const size_t explicit_count = names_.size();
    merged_begin_ = std::min(merged_begin_, explicit_count);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.get(), &pos, &key, &value)) {
        // Owned before comparing: a key's __eq__ may change the dict and free its entries.
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
        for (size_t i = 0; i < explicit_count; ++i) {
            if (names_[i] == key || equal(names_[i], key))
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", key);
        }
        kept_.push_back(std::move(k));
        kept_.push_back(std::move(v));
        kw(key, value);
    }
    merged_end_ = names_.size();
    return *this;
}

// What the interpreter calls a callable in its argument errors: "module.qualname()".
static Ref function_str(Handle callable) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(callable.get(), interned_name("__qualname__"), &raw) < 0) throw_error();
    Ref qualname = Ref::steal(raw);
    if (!qualname) return str(callable);
    if (PyObject_GetOptionalAttr(callable.get(), interned_name("__module__"), &raw) < 0) throw_error();
    Ref module = Ref::steal(raw);
    if (module && !module.is_none() && !(PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0))
        return text_format("%S.%S()", module.get(), qualname.get());
    return text_format("%S()", qualname.get());
}

Ref CallArgs::call(Handle callable) const {
    const size_t npos = positional_.size(), nkw = names_.size();
    // Keywords given after a caller's **kwargs must not repeat one of its keys.
    for (size_t i = merged_end(); i < nkw; ++i)
        for (size_t j = merged_begin_; j < merged_end(); ++j)
            if (equal(names_[i], names_[j]))
                raise(PyExc_TypeError, "%U got multiple values for keyword argument '%U'", function_str(callable).get(),
                      names_[i]);
    // [unused slot, positional..., keyword values...]: the free first slot lets the callee
    // prepend `self` without copying.
    PyObject* short_stack[17];
    std::vector<PyObject*> long_stack;
    PyObject** stack = short_stack;
    if (1 + npos + nkw > std::size(short_stack)) {
        long_stack.resize(1 + npos + nkw);
        stack = long_stack.data();
    }
    stack[0] = nullptr;
    std::copy_n(positional_.data(), npos, stack + 1);
    std::copy_n(values_.data(), nkw, stack + 1 + npos);
    // Held through the call: a call made inside it may put another tuple in its place.
    Ref kwnames = nkw ? Ref::borrow(keyword_names(names_.data(), nkw)) : Ref();
    return Ref::checked(
        PyObject_Vectorcall(callable.get(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref call_unpacked(Handle callable, Handle args, Handle kwargs) {
    // PyObject_Call takes no other kinds: anything else in their place would crash it.
    Ref positional = !args                     ? tuple_of({})
                     : PyTuple_Check(args.get()) ? Ref::borrow(args)
                                                 : Ref::checked(PySequence_Tuple(args.get()));
    if (kwargs && !kwargs.is_dict())
        raise(PyExc_TypeError, "argument after ** must be a dict, not %.200s", type_name(kwargs));
    return Ref::checked(PyObject_Call(callable.get(), positional.get(), kwargs.get()));
}

// The tuple of keyword names of a call, as the compiler makes one constant per call site: the
// same names in the same order give the same tuple, kept for good. Keyword names are mostly
// interned literals, so most calls find theirs by identity in a small table.
PyObject* CallArgs::keyword_names(PyObject* const* names, size_t count) {
    struct Kept {
        PyObject* names = nullptr;  // a tuple, kept for the life of the process (never freed:
        size_t hash = 0;            // static destructors run after the interpreter is gone)
    };
    static Kept kept[64];
    size_t hash = count;
    for (size_t i = 0; i < count; ++i) hash = (hash ^ reinterpret_cast<uintptr_t>(names[i])) * 0x100000001B3ull;
    Kept& k = kept[(hash >> 7) & 63];
    if (k.names && k.hash == hash && static_cast<size_t>(PyTuple_GET_SIZE(k.names)) == count &&
        std::equal(names, names + count, &PyTuple_GET_ITEM(k.names, 0))) {
        return k.names;
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (!tuple) throw_error();
    for (size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
    Py_XSETREF(k.names, tuple);
    k.hash = hash;
    return k.names;
}

}  // namespace tsy
