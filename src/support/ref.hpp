// Owning references to interpreter objects.
//
// Module code never calls Py_INCREF/Py_DECREF itself: every new reference is held by a
// `Ref` from the moment it is made, so an exception thrown anywhere releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include "tracemalloc_linkage.hpp"  // before <Python.h>
#include <Python.h>

#include <cstdint>
#include <type_traits>
#include <utility>

// The frame arena's marks and the references of suspended frames rely on the interpreter
// lock: every Ref changes under it, with no per-thread state to keep in step.
#ifdef Py_GIL_DISABLED
#error "tessaly's native modules need an interpreter with the GIL; the free-threaded build is not supported"
#endif

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
    uintptr_t size = 0;    // 0 until a chunk is reserved
    bool gapless = true;   // chunks fill it (as they do while each is reserved beside the last)
};
extern constinit Window window __attribute__((visibility("hidden")));

// A byte per chunk-sized stretch of the user address space, set for the arena's chunks. Of its
// 2 MiB of .bss only the pages around the window are ever read, and only those of the chunks'
// own bytes written; the rest cost no memory. A byte rather than a bit: the test is then a
// load and a compare, with no shift and bit test on top.
extern unsigned char arena_chunks[kChunkLimit] __attribute__((visibility("hidden")));

// True for an address in one of the arena's chunks. These run in every `Ref`'s constructor
// and destructor: always inlined, as a compiler left to itself sometimes makes them calls.
[[gnu::always_inline]] inline bool holds(const void* p) noexcept {
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    return address - window.begin < window.size && (window.gapless || arena_chunks[address >> kChunkShift]);
}

// The byte of the slot map that holds the mark of the word at `p`, an address in a chunk: a
// byte per 64 bytes of the chunk.
[[gnu::always_inline]] inline unsigned char* mark_byte(const void* p) noexcept {
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<unsigned char*>((address & ~(kChunkSize - 1)) + ((address & (kChunkSize - 1)) >> 6));
}

[[gnu::always_inline]] inline unsigned char mark_bit(const void* p) noexcept {
    return static_cast<unsigned char>(1u << ((reinterpret_cast<uintptr_t>(p) >> 3) & 7));
}

[[gnu::always_inline]] inline void mark(const void* slot) noexcept {
    if (holds(slot)) *mark_byte(slot) |= mark_bit(slot);
}

[[gnu::always_inline]] inline void unmark(const void* slot) noexcept {
    if (holds(slot)) *mark_byte(slot) &= static_cast<unsigned char>(~mark_bit(slot));
}

}  // namespace frame_arena

[[noreturn]] void throw_error();  // error.hpp

class Ref;
struct Kw;

// A borrowed reference: a pointer to an interpreter object that someone else keeps alive,
// trivially copied. Everything the support layer offers takes a Handle, so a `Ref`, a
// `Handle` and a raw `PyObject*` all pass as they are; and a Handle has the members that
// make module code read like the Python it stands for (objects.hpp):
//
//     self.attr("configuration")          self.configuration
//     data[column], fields[0]             data[column], fields[0]
//     json.method("loads", body)          json.loads(body)
//     f(x, kw("data", table))             f(x, data=table)
//     attempt.lt(retries.sub(1))          attempt < retries - 1
//
// A Handle lives no longer than what it borrows from. It is never kept across an await (the
// object may be gone when the frame resumes): a coroutine body takes its parameters as `Ref`
// (a Handle parameter does not compile) and keeps its locals in `Ref`s.
class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(std::nullptr_t) noexcept {}
    constexpr Handle(PyObject* p) noexcept : p_(p) {}

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Handle other) const noexcept { return p_ == other.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }
    // isinstance(self, str), isinstance(self, list), isinstance(self, dict), callable(self)
    bool is_str() const noexcept { return PyUnicode_Check(p_); }
    bool is_list() const noexcept { return PyList_Check(p_); }
    bool is_dict() const noexcept { return PyDict_Check(p_); }
    bool is_callable() const noexcept { return PyCallable_Check(p_); }

    // self.name, getattr(self, name), self.name = value, hasattr(self, name)
    Ref attr(const char* name) const;
    Ref attr(Handle name) const;
    void set_attr(const char* name, Handle value) const;
    bool has_attr(const char* name) const;
    // self[key] (a text literal is a str key), self[i] (a sequence index, negative from the
    // end), self[key] = value
    Ref operator[](Handle key) const;
    Ref operator[](const char* key) const;
    template <class Index>
        requires std::is_integral_v<Index>
    Ref operator[](Index index) const;
    void set_item(Handle key, Handle value) const;
    void set_item(const char* key, Handle value) const;
    // self(args...), self.name(args...): positional arguments, then `kw("name", value)`s
    template <class... Args>
    Ref operator()(const Args&... args) const;
    template <class... Args>
    Ref method(const char* name, const Args&... args) const;

    bool truthy() const;                   // bool(self)
    Py_ssize_t len() const;                // len(self)
    bool contains(Handle item) const;      // item in self
    bool isinstance(Handle cls) const;     // isinstance(self, cls)
    bool equals(Handle other) const;       // self == other
    bool equals(const char* text) const;   // self == "text"
    template <class Integer>
        requires std::is_integral_v<Integer>
    bool equals(Integer value) const;      // self == 200
    bool lt(Handle other) const;           // self < other
    bool le(Handle other) const;           // self <= other
    bool gt(Handle other) const;           // self > other
    bool ge(Handle other) const;           // self >= other
    Ref add(Handle other) const;           // self + other
    Ref sub(Handle other) const;           // self - other
    Ref mul(Handle other) const;           // self * other
    Ref truediv(Handle other) const;       // self / other
    Ref pow(Handle other) const;           // self ** other
    template <class Integer>
        requires std::is_integral_v<Integer>
    Ref add(Integer other) const;          // self + 1
    template <class Integer>
        requires std::is_integral_v<Integer>
    Ref sub(Integer other) const;          // self - 1
    template <class Integer>
        requires std::is_integral_v<Integer>
    Ref mul(Integer other) const;          // self * 2
    Ref str() const;                       // str(self)
    Ref repr() const;                      // repr(self)

protected:
    PyObject* p_ = nullptr;
};
static_assert(std::is_trivially_copyable_v<Handle>);

class Ref : public Handle {
public:
    Ref() noexcept { frame_arena::mark(this); }
    Ref(std::nullptr_t) noexcept { frame_arena::mark(this); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one (which may be null).
    static Ref borrow(Handle h) noexcept {
        Py_XINCREF(h.get());
        return Ref(h.get());
    }
    // Takes over a new reference from an interpreter call; null means the call raised,
    // and the raised exception is thrown as a PyError.
    static Ref checked(PyObject* p) {
        if (!p) [[unlikely]]
            throw_error();
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : Handle(other.p_) {
        Py_XINCREF(p_);
        frame_arena::mark(this);
    }
    Ref(Ref&& other) noexcept : Handle(std::exchange(other.p_, nullptr)) { frame_arena::mark(this); }
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

    // Hands the reference to the caller (an interpreter slot that returns a new reference).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* p) noexcept : Handle(p) { frame_arena::mark(this); }
};
// The collector reads a frame's references as the words its Refs mark: a Ref must be exactly
// one object pointer, at its start.
static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref>,
              "a Ref is one object pointer, as the frame arena's walk reads it");

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

}  // namespace tsy
