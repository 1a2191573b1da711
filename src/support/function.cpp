#include "function.hpp"

#include "call_events.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <frameobject.h>
#include <memory>
#include <structmember.h>

namespace tsy {


struct ParamInfo {
    Ref name;  // interned
    PyTypeObject* exact = nullptr;
    bool none_ok = false;
    Py_ssize_t kwdefault = -1;  // a keyword-only parameter's default in `kwdefaults`, if any
};

// The C++ side of a native function: its binding rules.
struct FunctionData {
    std::vector<ParamInfo> params;  // the positional ones, then the keyword-only ones
    size_t positional = 0;          // how many are positional
    size_t required = 0;            // the first `required` parameters have no default
    bool var_keywords = false;
    bool exact_checks = false;  // some parameter asks for an exact type
    // Some parameter is keyword-only or asks for an exact type: one test on the common path.
    bool keyword_only_or_exact = false;
    // Positional parameters only, none checked, no **kwargs: a call giving every one of them
    // positionally is bound as it stands.
    bool plain = false;
    bool coroutine = false;
    Body body = nullptr;
    Ref var_keywords_name;
    Ref return_annotation;
    std::source_location where;

    static const char* name(const Param& p) { return p.name_; }
    static const char* annotation(const Param& p) { return p.annotation_; }
    static PyTypeObject* exact(const Param& p) { return p.exact_; }
    static bool none_ok(const Param& p) { return p.none_ok_; }
    static bool keyword_only(const Param& p) { return p.keyword_only_; }
    static bool required_param(const Param& p) { return p.default_ == Param::Default::Required; }
    static Ref default_value(const Param& p) {
        switch (p.default_) {
            case Param::Default::None: return none();
            case Param::Default::EmptyList: return new_list();
            case Param::Default::Value: return p.value_;
            case Param::Default::Required: break;
        }
        return nullptr;
    }
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;    // tuple or None
    PyObject* kwdefaults;  // tuple of the keyword-only defaults, or null if there are none
    PyObject* code;        // made on first use (function_code)
    PyObject* globals;
    PyObject* closure;
    PyObject* reduce_path;  // where pickle finds the function in its module
    FunctionData* data;
};

static PyObject* function_vectorcall(PyObject*, PyObject* const*, size_t, PyObject*) noexcept;

// ---- argument errors worded as the interpreter words them --------------------------------

// `slots` are the parameters bound so far: the keyword-only arguments given are counted.
[[noreturn, gnu::cold]] static void raise_too_many_positional(NativeFunction* f, Py_ssize_t given,
                                                             PyObject* const* slots) {
    const FunctionData& d = *f->data;
    const size_t total = d.positional, required = d.required;
    Py_ssize_t kwonly_given = 0;
    for (size_t i = d.positional; i < d.params.size(); ++i) kwonly_given += slots[i] != nullptr;
    Ref sig;
    bool plural;
    if (required != total) {
        plural = true;
        sig = text_format("from %zd to %zd", (Py_ssize_t)required, (Py_ssize_t)total);
    } else {
        plural = total != 1;
        sig = text_format("%zd", (Py_ssize_t)total);
    }
    if (kwonly_given) {
        raise(PyExc_TypeError,
              "%U() takes %U positional argument%s but %zd positional argument%s (and %zd keyword-only "
              "argument%s) were given",
              f->qualname, sig.get(), plural ? "s" : "", given, given == 1 ? "" : "s", kwonly_given,
              kwonly_given == 1 ? "" : "s");
    }
    raise(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.get(),
          plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// `kind` is "positional" or "keyword-only".
[[noreturn, gnu::cold]] static void raise_missing(NativeFunction* f, const std::vector<PyObject*>& missing,
                                                 const char* kind) {
    const size_t n = missing.size();
    Ref names;
    if (n == 1) {
        names = text_format("'%U'", missing[0]);
    } else if (n == 2) {
        names = text_format("'%U' and '%U'", missing[0], missing[1]);
    } else {
        Ref parts = new_list();
        for (size_t i = 0; i + 1 < n; ++i) append(parts.get(), text_format("'%U'", missing[i]).get());
        Ref head = Ref::checked(PyUnicode_Join(text(", ").get(), parts.get()));
        names = text_format("%U, and '%U'", head.get(), missing[n - 1]);
    }
    raise(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname, (int)n, kind,
          n == 1 ? "" : "s", names.get());
}

[[noreturn, gnu::cold]] static void raise_unexpected_keyword(NativeFunction* f, PyObject* key) {
    std::vector<PyObject*> candidates;
    for (auto& p : f->data->params) candidates.push_back(p.name.get());
    if (PyObject* suggestion = closest_name(key, candidates))
        raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->qualname,
              key, suggestion);
    raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
}

// ---- the interpreter's "Did you mean" distance ---------------------------------------------

namespace {
constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxStringSize = 40, kMaxCandidates = 750;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

size_t levenshtein(const char* a, size_t an, const char* b, size_t bn, size_t max_cost) {
    while (an && bn && a[0] == b[0]) ++a, ++b, --an, --bn;
    while (an && bn && a[an - 1] == b[bn - 1]) --an, --bn;
    if (an == 0 || bn == 0) return (an + bn) * kMoveCost;
    if (an > kMaxStringSize || bn > kMaxStringSize) return max_cost + 1;
    if (bn < an) std::swap(a, b), std::swap(an, bn);
    if ((bn - an) * kMoveCost > max_cost) return max_cost + 1;
    std::array<size_t, kMaxStringSize> row{};
    for (size_t i = 0, cost = kMoveCost; i < an; ++i, cost += kMoveCost) row[i] = cost;
    size_t result = 0;
    for (size_t bi = 0; bi < bn; ++bi) {
        size_t distance = result = bi * kMoveCost, minimum = SIZE_MAX;
        for (size_t i = 0; i < an; ++i) {
            size_t substitute = distance + substitution_cost(b[bi], a[i]);
            distance = row[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}
}  // namespace

PyObject* closest_name(PyObject* name, const std::vector<PyObject*>& candidates) {
    if (!PyUnicode_Check(name) || candidates.size() >= kMaxCandidates) return nullptr;
    Py_ssize_t name_size;
    const char* name_str = PyUnicode_AsUTF8AndSize(name, &name_size);
    if (!name_str) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (PyObject* item : candidates) {
        if (PyUnicode_Compare(name, item) == 0) continue;
        Py_ssize_t item_size;
        const char* item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (!item_str) {
            PyErr_Clear();
            return nullptr;
        }
        size_t max_distance = (size_t)(name_size + item_size + 3) * kMoveCost / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        size_t d = levenshtein(name_str, (size_t)name_size, item_str, (size_t)item_size, max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) best = item, best_distance = d;
    }
    return best;
}

// ---- binding -------------------------------------------------------------------------------

struct FunctionCall {
    static Ref run(NativeFunction* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        const FunctionData& d = *f->data;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (d.plain && !kwnames) {
            if ((size_t)nargs == d.positional) {
                Invocation inv(reinterpret_cast<PyObject*>(f), args, d.params.size(), nullptr);
                return run_body(f, inv);
            }
            if ((size_t)nargs >= d.required && (size_t)nargs < d.positional) return run_with_defaults(f, args, nargs);
        }
        return bind_and_run(f, args, nargs, kwnames);
    }

    // The body, once the arguments are bound. As for a Python function, only a failure of the
    // body passes through a frame of the function: a failure to bind happens at the call.
    static Ref run_body(NativeFunction* f, Invocation& inv) {
        if (call_events::watched() && !f->data->coroutine) [[unlikely]]
            return run_watched(f, inv);
        try {
            return f->data->body(inv);
        } catch (...) {
            throw failed_in(f, inv);
        }
    }

    // The error of a body, raised as the interpreter would, with the traceback entry of the
    // function's frame, which shows its arguments.
    [[gnu::cold, gnu::noinline]] static PyError failed_in(NativeFunction* f, const Invocation& inv) noexcept {
        set_error_from_current_exception();
        add_traceback_entry(reinterpret_cast<PyObject*>(f), inv.args_, inv.count_, inv.kwargs_);
        return PyError();
    }

    // The body of a call that someone watches (a profiler, sys.monitoring): reported as it
    // starts and as it returns or raises.
    [[gnu::noinline]] static Ref run_watched(NativeFunction* f, Invocation& inv) {
        PyObject* function = reinterpret_cast<PyObject*>(f);
        PyObject* code = function_code(function);
        if (!code || !call_events::start(function, code, call_events::Start::call)) throw_error();
        Ref result;
        try {
            result = f->data->body(inv);
        } catch (...) {
            PyError error = failed_in(f, inv);
            error.restore();
            call_events::end(function, code, call_events::End::raised, nullptr);
            throw PyError();
        }
        if (!call_events::end(function, code, call_events::End::returned, result.get())) throw_error();
        return result;
    }

    // A plain function given its first `nargs` parameters positionally; the rest have defaults.
    [[gnu::noinline]] static Ref run_with_defaults(NativeFunction* f, PyObject* const* args, Py_ssize_t nargs) {
        const FunctionData& d = *f->data;
        std::array<PyObject*, kMaxParams> slots;
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
        for (size_t i = (size_t)nargs; i < d.positional; ++i)
            slots[i] = PyTuple_GET_ITEM(f->defaults, (Py_ssize_t)(i - d.required));
        Invocation inv(reinterpret_cast<PyObject*>(f), slots.data(), d.params.size(), nullptr);
        return run_body(f, inv);
    }

    // Every other call: defaults, keywords, **kwargs, keyword-only parameters, exact types.
    [[gnu::noinline]] static Ref bind_and_run(NativeFunction* f, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
        const FunctionData& d = *f->data;
        const size_t nparams = d.params.size();
        std::array<PyObject*, kMaxParams> slots;  // only the first nparams are used
        // Positional arguments never fill keyword-only parameters.
        const size_t npositional = std::min<size_t>((size_t)nargs, d.positional);
        for (size_t i = 0; i < npositional; ++i) slots[i] = args[i];
        for (size_t i = npositional; i < nparams; ++i) slots[i] = nullptr;

        Ref kwargs;
        if (d.var_keywords) kwargs = new_dict();
        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                PyObject* value = args[nargs + k];
                size_t j = find_param(d, key);
                if (j == nparams) {
                    if (!kwargs) raise_unexpected_keyword(f, key);
                    dict_set(kwargs.get(), key, value);
                    continue;
                }
                if (slots[j])
                    raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                slots[j] = value;
            }
        }
        if ((size_t)nargs > d.positional) raise_too_many_positional(f, nargs, slots.data());

        if (npositional < d.required || kwnames) {  // else every required slot is filled
            for (size_t i = 0; i < d.required; ++i) {
                if (slots[i]) continue;
                std::vector<PyObject*> missing;
                for (size_t j = i; j < d.required; ++j)
                    if (!slots[j]) missing.push_back(d.params[j].name.get());
                raise_missing(f, missing, "positional");
            }
        }
        for (size_t i = std::max(npositional, d.required); i < d.positional; ++i)
            if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f->defaults, (Py_ssize_t)(i - d.required));
        if (d.keyword_only_or_exact) {
            if (d.positional != nparams) bind_keyword_only(f, slots.data());
            if (d.exact_checks) {
                for (size_t i = 0; i < nparams; ++i) {
                    const ParamInfo& p = d.params[i];
                    if (!p.exact || Py_IS_TYPE(slots[i], p.exact) || (p.none_ok && slots[i] == Py_None)) continue;
                    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                          PyUnicode_AsUTF8(p.name.get()), p.exact->tp_name, Py_TYPE(slots[i])->tp_name);
                }
            }
        }

        Invocation inv(reinterpret_cast<PyObject*>(f), slots.data(), nparams, kwargs.get());
        return run_body(f, inv);
    }

    // Fills the keyword-only parameters not given from their defaults; then, as the
    // interpreter does, names every required one still missing. Out of line, to keep the
    // common path of `run` short.
    [[gnu::noinline]] static void bind_keyword_only(NativeFunction* f, PyObject** slots) {
        const FunctionData& d = *f->data;
        bool missing = false;
        for (size_t i = d.positional; i < d.params.size(); ++i) {
            if (slots[i]) continue;
            if (d.params[i].kwdefault < 0) missing = true;
            else slots[i] = PyTuple_GET_ITEM(f->kwdefaults, d.params[i].kwdefault);
        }
        if (!missing) return;
        std::vector<PyObject*> names;
        for (size_t i = d.positional; i < d.params.size(); ++i)
            if (!slots[i]) names.push_back(d.params[i].name.get());
        raise_missing(f, names, "keyword-only");
    }

    static size_t find_param(const FunctionData& d, PyObject* key) {
        const size_t n = d.params.size();
        for (size_t j = 0; j < n; ++j)
            if (d.params[j].name.get() == key) return j;
        for (size_t j = 0; j < n; ++j)
            if (PyUnicode_Compare(d.params[j].name.get(), key) == 0) return j;
        return n;
    }
};

static PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    return guard_object([&] { return FunctionCall::run(reinterpret_cast<NativeFunction*>(self), args, nargsf, kwnames); });
}

// ---- the type ------------------------------------------------------------------------------

static int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->reduce_path);
    return 0;
}

static int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->reduce_path);
    return 0;
}

static void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->data;
    Py_TYPE(self)->tp_free(self);
}

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static PyObject* function_repr(PyObject* self) noexcept {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// The path of a source file from the project's `src/` on, as a traceback shows it (the
// compiler saw wherever the sources were built).
static std::string_view source_path(std::string_view file) {
    const size_t at = file.rfind("/src/");
    return at == std::string_view::npos ? file.substr(file.rfind('/') + 1) : file.substr(at + 1);
}

// The function's code object, never run: its name and qualified name, its parameters and
// flags (what `inspect` reads), in its module's source file at the line where the function is
// defined (what tracebacks, frames and profilers show).
static Ref synthesize_code(NativeFunction* f) {
    const FunctionData& d = *f->data;
    const std::string file(source_path(d.where.file_name()));
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(file.c_str(), utf8(f->name).data(), static_cast<int>(d.where.line()))));
    if (!empty) throw_error();
    Ref varnames = Ref::checked(PyTuple_New((Py_ssize_t)(d.params.size() + (d.var_keywords ? 1 : 0))));
    Py_ssize_t i = 0;
    for (auto& p : d.params) PyTuple_SET_ITEM(varnames.get(), i++, Ref(p.name).release());
    if (d.var_keywords) PyTuple_SET_ITEM(varnames.get(), i++, Ref(d.var_keywords_name).release());
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (d.var_keywords) flags |= CO_VARKEYWORDS;
    if (d.coroutine) flags |= CO_COROUTINE;
    return call(getattr(empty, "replace"), kw("co_argcount", integer((long long)d.positional)),
                kw("co_kwonlyargcount", integer((long long)(d.params.size() - d.positional))),
                kw("co_nlocals", integer(PyTuple_GET_SIZE(varnames.get()))), kw("co_varnames", varnames),
                kw("co_flags", integer(flags)), kw("co_qualname", f->qualname), kw("co_name", f->name));
}

PyObject* function_code(PyObject* function) noexcept {
    auto* f = reinterpret_cast<NativeFunction*>(function);
    if (!f->code) f->code = guard<PyObject*>(nullptr, [&] { return synthesize_code(f).release(); });
    return f->code;
}

static PyObject* get_code(PyObject* self, void*) noexcept {
    PyObject* code = function_code(self);
    return code ? Py_NewRef(code) : nullptr;
}

Ref function_frame(PyObject* function, PyObject* const* args, size_t count, PyObject* kwargs) {
    auto* f = reinterpret_cast<NativeFunction*>(function);
    PyObject* code = function_code(function);
    if (!code) throw_error();
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), f->globals, nullptr)));
    if (!frame) throw_error();
    // Its locals are the parameters, as the frame of a Python function starts with them.
    Ref locals = Ref::checked(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame.get())));
    const FunctionData& d = *f->data;
    for (size_t i = 0; i < count && i < d.params.size(); ++i)
        if (args[i]) set_item(locals, d.params[i].name, args[i]);
    if (kwargs && d.var_keywords) set_item(locals, d.var_keywords_name, kwargs);
    return frame;
}

void add_traceback_entry(PyObject* function, PyObject* const* args, size_t count, PyObject* kwargs) noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    Ref frame = guard<Ref>(nullptr, [&] { return function_frame(function, args, count, kwargs); });
    PyErr_Clear();  // an entry that cannot be made is left out; the exception goes on as it is
    PyErr_SetRaisedException(exception);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Pickled as a reference: the path that finds the function in its module (the module comes
// from `__module__`), as for the interpreter's functions.
static PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->reduce_path);
}

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <size_t Offset>
static PyObject* get_member(PyObject* self, void*) noexcept {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}

template <size_t Offset, bool TextOnly>
static int set_member(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete this attribute");
        return -1;
    }
    if (TextOnly && !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "the value must be a str object");
        return -1;
    }
    Py_XSETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset), Py_NewRef(value));
    return 0;
}

// A dict of the keyword-only defaults, in parameter order, or None if there are none. A new
// dict at each read: the function binds from its own tuple, which nothing can change.
static PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    if (!f->kwdefaults) Py_RETURN_NONE;
    return guard_object([&] {
        Ref kwdefaults = new_dict();
        for (const ParamInfo& p : f->data->params) {
            if (p.kwdefault >= 0)
                dict_set(kwdefaults.get(), p.name.get(), PyTuple_GET_ITEM(f->kwdefaults, p.kwdefault));
        }
        return kwdefaults;
    });
}
static PyObject* get_type_params(PyObject*, void*) noexcept { return PyTuple_New(0); }
static PyObject* get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->globals);
}

#define TSY_OFF(field) offsetof(NativeFunction, field)
static PyGetSetDef function_getset[] = {
    {"__name__", get_member<TSY_OFF(name)>, set_member<TSY_OFF(name), true>, nullptr, nullptr},
    {"__qualname__", get_member<TSY_OFF(qualname)>, set_member<TSY_OFF(qualname), true>, nullptr, nullptr},
    {"__module__", get_member<TSY_OFF(module)>, set_member<TSY_OFF(module), false>, nullptr, nullptr},
    {"__doc__", get_member<TSY_OFF(doc)>, set_member<TSY_OFF(doc), false>, nullptr, nullptr},
    {"__annotations__", get_member<TSY_OFF(annotations)>, nullptr, nullptr, nullptr},
    {"__defaults__", get_member<TSY_OFF(defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef TSY_OFF

static PyTypeObject* function_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "native_function";
        t.tp_basicsize = sizeof(NativeFunction);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                     Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t.tp_doc = "A function implemented in C++.";
        t.tp_dealloc = function_dealloc;
        t.tp_traverse = function_traverse;
        t.tp_clear = function_clear;
        t.tp_repr = function_repr;
        t.tp_call = PyVectorcall_Call;
        t.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
        t.tp_descr_get = function_descr_get;
        t.tp_getset = function_getset;
        t.tp_methods = function_methods;
        t.tp_dictoffset = offsetof(NativeFunction, dict);
        t.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) throw_error();
    return &type;
}

Ref make_function(const FunctionSpec& spec, Handle globals, Handle qualname_prefix, Handle closure,
                  const char* stored_as) {
    if (spec.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for %s", spec.name);
    auto data = std::make_unique<FunctionData>();
    data->body = spec.body;
    data->coroutine = spec.coroutine;
    data->where = spec.where;
    data->var_keywords = spec.var_keywords != nullptr;
    if (spec.var_keywords) data->var_keywords_name = interned(spec.var_keywords);

    Ref annotations = new_dict();
    Ref defaults = new_list();
    Ref kwdefaults = new_list();
    bool seen_default = false, seen_keyword_only = false;
    for (const Param& p : spec.params) {
        ParamInfo info{interned(FunctionData::name(p)), FunctionData::exact(p), FunctionData::none_ok(p)};
        if (info.exact) data->exact_checks = true;
        if (FunctionData::keyword_only(p)) {
            seen_keyword_only = true;
            if (!FunctionData::required_param(p)) {
                info.kwdefault = PyList_GET_SIZE(kwdefaults.get());
                append(kwdefaults.get(), FunctionData::default_value(p).get());
            }
        } else if (seen_keyword_only) {
            raise(PyExc_SystemError, "%s: positional parameter after a keyword-only one", spec.name);
        } else if (FunctionData::required_param(p)) {
            if (seen_default) raise(PyExc_SystemError, "%s: required parameter after a default", spec.name);
            ++data->positional;
            ++data->required;
        } else {
            seen_default = true;
            ++data->positional;
            append(defaults.get(), FunctionData::default_value(p).get());
        }
        if (const char* a = FunctionData::annotation(p)) dict_set(annotations.get(), info.name.get(), text(a).get());
        data->params.push_back(std::move(info));
    }
    if (spec.returns) dict_set(annotations.get(), "return", text(spec.returns).get());
    data->keyword_only_or_exact = data->exact_checks || data->positional != data->params.size();
    data->plain = !data->keyword_only_or_exact && !data->var_keywords;

    Ref name = interned(spec.name);
    Ref qualname = qualname_prefix ? text_format("%U.%U", qualname_prefix.get(), name.get()) : name;
    Ref reduce_path = !stored_as ? qualname
                      : qualname_prefix ? text_format("%U.%s", qualname_prefix.get(), stored_as)
                                        : text(stored_as);
    Ref module = dict_get(globals, "__name__");
    Ref doc = spec.doc ? text(spec.doc) : none();
    Ref defaults_tuple = data->required == data->positional ? none() : Ref::checked(PyList_AsTuple(defaults.get()));
    Ref kwdefaults_tuple;
    if (PyList_GET_SIZE(kwdefaults.get()) != 0) kwdefaults_tuple = Ref::checked(PyList_AsTuple(kwdefaults.get()));

    // Nothing below fails once the object exists.
    auto* f = PyObject_GC_New(NativeFunction, function_type());
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module ? module.release() : Py_NewRef(Py_None);
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults_tuple.release();
    f->kwdefaults = kwdefaults_tuple.release();
    f->code = nullptr;
    f->globals = Py_NewRef(globals.get());
    f->closure = Py_XNewRef(closure.get());
    f->reduce_path = reduce_path.release();
    f->data = data.release();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// ---- invocation ----------------------------------------------------------------------------

Handle Invocation::globals() const { return reinterpret_cast<NativeFunction*>(function_)->globals; }
Handle Invocation::closure() const { return reinterpret_cast<NativeFunction*>(function_)->closure; }
void Invocation::raise_wrong_binding(size_t n) const {
    raise(PyExc_SystemError, "%U binds %zd parameters, not %zd", function_qualname(function_), (Py_ssize_t)count_,
          (Py_ssize_t)n);
}
PyObject* function_name(PyObject* function) noexcept { return reinterpret_cast<NativeFunction*>(function)->name; }
PyObject* function_qualname(PyObject* function) noexcept {
    return reinterpret_cast<NativeFunction*>(function)->qualname;
}
Ref Invocation::global(const char* name) const { return lookup_global(globals(), name); }

Ref lookup_global(Handle globals, const char* name) {
    Ref v = dict_get(globals, name);
    if (!v) raise(PyExc_NameError, "name '%s' is not defined", name);
    return v;
}

}  // namespace tsy
