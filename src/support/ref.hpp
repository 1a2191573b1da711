// Owning references to interpreter objects.
//
// Module code never calls Py_INCREF/Py_DECREF itself: every new reference is held by a
// `Ref` from the moment it is made, so an exception thrown anywhere releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

namespace tsy {

// The cycle collector must see the references that a suspended C++ coroutine frame holds in
// its parameters and locals, as it sees a Python frame's. A frame cannot list its own
// variables, so each `Ref` tells: frames live in one stretch of address space (the frame
// arena, frame_arena.hpp), and a `Ref` made there marks its word in the arena's slot map,
// and unmarks it when it is destroyed. Two comparisons tell a `Ref` anywhere else apart.
namespace frame_arena {

struct Extent {
    uintptr_t begin = 0;
    uintptr_t size = 0;         // 0 until the arena is reserved
    unsigned char* marks = nullptr;  // a bit per pointer-sized word of the arena
};
// Each module has an arena of its own (the support layer is linked into each).
extern constinit Extent extent __attribute__((visibility("hidden")));

inline void mark(const void* slot) noexcept {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(slot) - extent.begin;
    if (offset < extent.size) extent.marks[offset >> 6] |= static_cast<unsigned char>(1u << ((offset >> 3) & 7));
}

inline void unmark(const void* slot) noexcept {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(slot) - extent.begin;
    if (offset < extent.size) extent.marks[offset >> 6] &= static_cast<unsigned char>(~(1u << ((offset >> 3) & 7)));
}

}  // namespace frame_arena

[[noreturn]] void throw_error();  // error.hpp

class Ref {
public:
    Ref() noexcept { frame_arena::mark(this); }
    Ref(std::nullptr_t) noexcept { frame_arena::mark(this); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer (which may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes over a new reference from an interpreter call; null means the call raised,
    // and the raised exception is thrown as a PyError.
    static Ref checked(PyObject* p) {
        if (!p) [[unlikely]]
            throw_error();
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) {
        Py_XINCREF(p_);
        frame_arena::mark(this);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) { frame_arena::mark(this); }
    // Assignments and destruction drop the old reference last: dropping it may run any code,
    // which must find this Ref already holding its new value.
    Ref& operator=(const Ref& other) noexcept {
        Py_XINCREF(other.p_);
        Py_XDECREF(std::exchange(p_, other.p_));
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) Py_XDECREF(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    ~Ref() {
        frame_arena::unmark(this);
        Py_XDECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (an interpreter slot that returns a new reference).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }
    bool is_none() const noexcept { return p_ == Py_None; }
    void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) { frame_arena::mark(this); }
    PyObject* p_ = nullptr;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

}  // namespace tsy
