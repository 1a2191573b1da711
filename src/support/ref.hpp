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
// variables, so each `Ref` tells: frames live in the frame arena (frame_arena.hpp), chunks of
// address space aligned to their size, each opening with its slot map, a bit per
// pointer-sized word of the chunk. A `Ref` made in a chunk marks its word there, and unmarks
// it when it is destroyed. Every `Ref` anywhere makes this test, so it is kept to what the
// address alone tells: one subtraction and comparison for the stretch the chunks lie in
// (which already turns away the C stack and the heap), then one byte for the chunk.
namespace frame_arena {

constexpr unsigned kChunkShift = 26;  // chunks of 64 MiB
constexpr uintptr_t kChunkSize = uintptr_t{1} << kChunkShift;
// Chunks lie in the user address space of x86-64, below 2^47.
constexpr uintptr_t kChunkLimit = uintptr_t{1} << (47 - kChunkShift);

// The stretch of address space from the start of the arena's lowest chunk to the end of its
// highest; other mappings may lie between chunks. Each module has an arena of its own (the
// support layer is linked into each).
struct Window {
    uintptr_t begin = 0;
    uintptr_t size = 0;  // 0 until a chunk is reserved
};
extern constinit Window window __attribute__((visibility("hidden")));

// A byte per chunk-sized stretch of the user address space, set for the arena's chunks. Of its
// 2 MiB of .bss only the pages around the window are ever read, and only those of the chunks'
// own bytes written; the rest cost no memory. A byte rather than a bit: the test is then a
// load and a compare, with no shift and bit test on top.
extern unsigned char arena_chunks[kChunkLimit] __attribute__((visibility("hidden")));

// True for an address in one of the arena's chunks.
inline bool holds(const void* p) noexcept {
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    return address - window.begin < window.size && arena_chunks[address >> kChunkShift];
}

// The byte of the slot map that holds the mark of the word at `p`, an address in a chunk: a
// byte per 64 bytes of the chunk.
inline unsigned char* mark_byte(const void* p) noexcept {
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<unsigned char*>((address & ~(kChunkSize - 1)) + ((address & (kChunkSize - 1)) >> 6));
}

inline unsigned char mark_bit(const void* p) noexcept {
    return static_cast<unsigned char>(1u << ((reinterpret_cast<uintptr_t>(p) >> 3) & 7));
}

inline void mark(const void* slot) noexcept {
    if (holds(slot)) *mark_byte(slot) |= mark_bit(slot);
}

inline void unmark(const void* slot) noexcept {
    if (holds(slot)) *mark_byte(slot) &= static_cast<unsigned char>(~mark_bit(slot));
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
