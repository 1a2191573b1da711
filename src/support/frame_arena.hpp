// The frame arena: where C++ coroutine frames live, so that the cycle collector can read the
// references they hold.
//
// The arena is one stretch of address space reserved when the first frame is made. A `Ref`
// constructed anywhere in it marks its word in the arena's slot map and unmarks it when it
// is destroyed (ref.hpp), so at any moment the marked words of a frame are exactly its live
// `Ref`s: parameters, locals, members of local structs, promise fields. Marks change only
// under the interpreter lock, with no per-thread or per-frame state to keep in step.
//
// The stretch is cut into runs of 64 KiB, each serving frames of one size class from a free
// list; a run that empties is given back to the system once a few empty runs are kept for
// reuse. A frame too large for a size class, or made where the address space could not be
// reserved, comes from the interpreter's allocator instead: its references are then not
// seen, as if the frame were an object without traverse.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace tsy::frame_arena {

// Memory for a frame of `size` bytes, or null when the arena cannot hold it.
void* allocate(size_t size) noexcept;
// Gives back a frame's memory; `frame` must be in the arena.
void release(void* frame) noexcept;
// True for memory that `allocate` gave.
inline bool holds(const void* p) noexcept {
    return reinterpret_cast<uintptr_t>(p) - extent.begin < extent.size;
}

// The frame slot that holds `p` (a frame, or anything inside one): its start and size.
struct Slot {
    const void* begin;
    size_t size;
};
Slot slot_of(const void* p) noexcept;

// Visits every reference held by a `Ref` in `slot`.
int traverse(Slot slot, visitproc visit, void* arg) noexcept;

// How many runs hold frames, are kept empty, and were given back (for the tests).
struct Usage {
    size_t runs_in_use, runs_kept_empty, runs_given_back;
};
Usage usage() noexcept;

}  // namespace tsy::frame_arena
