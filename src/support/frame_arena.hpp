// The frame arena: where C++ coroutine frames live, so that the cycle collector can read the
// references they hold.
//
// The arena is a set of chunks of 64 MiB of address space, each aligned to its size and
// reserved when the previous one is all cut, so that an address-space limit (RLIMIT_AS) only
// has to allow what frames use, a chunk at a time. A chunk's first MiB is its slot map, a bit
// per word of the chunk: a `Ref` constructed in a chunk marks its word and unmarks it when it
// is destroyed (ref.hpp), so at any moment the marked words of a frame are exactly its live
// `Ref`s: parameters, locals, members of local structs, promise fields. Marks change only
// under the interpreter lock, with no per-thread or per-frame state to keep in step.
//
// The rest of a chunk is cut into runs of 64 KiB, committed as they are cut, each serving
// frames of one size class (up to 32 KiB) from a free list; a run that empties is given back
// to the system once a few empty runs are kept for reuse, and serves again later. A larger
// frame takes a span of consecutive runs of one chunk as its one slot; freed, the span's runs
// are given back like any others. Every frame is in the arena: one it cannot place (no
// chunk can be reserved, or the frame is larger than a chunk) is refused, and the call that
// would have made it raises MemoryError, rather than hold references the collector never sees.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace tsy::frame_arena {

// Memory for a frame of `size` bytes, or null when the arena cannot place it.
void* allocate(size_t size) noexcept;
// Gives back a frame's memory; `frame` must be what `allocate` gave.
void release(void* frame) noexcept;

// The frame slot that holds `p` (a frame, or anything inside one): its start and size.
struct Slot {
    const void* begin;
    size_t size;
};
Slot slot_of(const void* p) noexcept;

// Visits every reference held by a `Ref` in `slot`.
int traverse(Slot slot, visitproc visit, void* arg) noexcept;

// How many runs hold frames, are kept empty, and were given back; how many chunks were
// reserved, and how many frames were refused (for the tests).
struct Usage {
    size_t runs_in_use, runs_kept_empty, runs_given_back, chunks_reserved, frames_refused;
};
Usage usage() noexcept;

}  // namespace tsy::frame_arena
