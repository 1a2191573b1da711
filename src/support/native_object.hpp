// Interpreter objects that hold a C++ value.
//
// `make_native<T>(args...)` makes an object of a type of its own for T (named `T::kTypeName`)
// holding `T(args...)`; `native<T>(o)` is the value inside. T names its references for the
// collector in `refs(f)`, calling `f` on each `Ref` member (and each `Ref` of its containers):
// they are what the object shows to the cycle collector, and what clearing the object drops to
// break a cycle, after which T's methods find them null. T may give the object methods that other
// modules call by name, as `static PyMethodDef* methods()` (a table ending in an empty entry):
// a module cannot reach another's C++ types, each links its own copy of this layer.
#pragma once

#include "objects.hpp"

#include <new>

namespace tsy {

template <class T>
struct NativeObject {
    PyObject_HEAD
    T value;
};

template <class T>
PyTypeObject* native_type();

template <class T>
T& native(Handle o) noexcept {
    return reinterpret_cast<NativeObject<T>*>(o.get())->value;
}

template <class T>
bool is_native(Handle o) noexcept {
    return o && o.type() == native_type<T>();
}

template <class T, class... Args>
Ref make_native(Args&&... args) {
    auto* o = PyObject_GC_New(NativeObject<T>, native_type<T>());
    if (!o) throw_error();
    try {
        new (&o->value) T(std::forward<Args>(args)...);
    } catch (...) {
        PyObject_GC_Del(o);
        throw;
    }
    PyObject_GC_Track(o);
    return Ref::steal(reinterpret_cast<PyObject*>(o));
}

namespace native_slots {

template <class T>
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    int result = 0;
    native<T>(self).refs([&](Ref& r) {
        if (!result && r) result = visit(r.get(), arg);
    });
    return result;
}

template <class T>
int clear(PyObject* self) noexcept {
    // Each reference is taken out before it is dropped: dropping it may run code that comes
    // back to this object.
    native<T>(self).refs([](Ref& r) { Ref dropped = std::move(r); });
    return 0;
}

template <class T>
void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear<T>(self);
    native<T>(self).~T();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace native_slots

template <class T>
PyTypeObject* native_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = T::kTypeName;
        t.tp_basicsize = sizeof(NativeObject<T>);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t.tp_dealloc = native_slots::dealloc<T>;
        t.tp_traverse = native_slots::traverse<T>;
        t.tp_clear = native_slots::clear<T>;
        if constexpr (requires { T::methods(); }) t.tp_methods = T::methods();
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) throw_error();
    return &type;
}

}  // namespace tsy
