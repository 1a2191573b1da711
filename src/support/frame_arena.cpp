#include "frame_arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace tsy::frame_arena {

constinit Extent extent;

namespace {

constexpr size_t kReserve = size_t{8} << 30;  // address space only: runs are committed as used
constexpr size_t kRunSize = size_t{64} << 10;
constexpr size_t kGranule = 64;            // frame sizes are rounded up to this
constexpr size_t kClasses = 512;           // so frames of up to 32 KiB have a class
constexpr size_t kKeptEmptyRuns = 8;       // kept for reuse before runs go back to the system
constexpr size_t kMarkBytesPerRun = kRunSize / 64;  // a bit per word

struct FreeSlot {
    FreeSlot* next;
};

// The first granule of every run.
struct Run {
    uint32_t slot_size;
    uint32_t capacity;
    uint32_t live;
    uint32_t untouched;  // slots from here on were never handed out
    uint32_t reciprocal;  // ceil(2^32 / slot_size): an offset in the run times this, >> 32, is its slot
    FreeSlot* free;
    Run* prev;  // in its size class's list of runs with room
    Run* next;
};
static_assert(sizeof(Run) <= kGranule);

struct Arena {
    bool tried = false;
    uintptr_t next_run = 0;  // where the next new run is cut
    uintptr_t end = 0;
    Run* with_room[kClasses + 1] = {};
    Run* given_back = nullptr;  // runs whose memory went back to the system, linked by `next`
    size_t runs_in_use = 0, runs_kept_empty = 0, runs_given_back = 0;
};

constinit Arena arena;

size_t page_size() noexcept {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

bool reserve() noexcept {
    arena.tried = true;
    // The runs are aligned to their size, so the run of an address is found by masking.
    void* frames = mmap(nullptr, kReserve + kRunSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (frames == MAP_FAILED) return false;
    void* marks = mmap(nullptr, kReserve / 64, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (marks == MAP_FAILED) {
        munmap(frames, kReserve + kRunSize);
        return false;
    }
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(frames) + kRunSize - 1) & ~(kRunSize - 1);
    arena.next_run = begin;
    arena.end = begin + kReserve;
    extent = {begin, kReserve, static_cast<unsigned char*>(marks)};
    return true;
}

bool commit(uintptr_t from, size_t size) noexcept {
    const uintptr_t page = page_size();
    const uintptr_t first = from & ~(page - 1), last = (from + size + page - 1) & ~(page - 1);
    return mprotect(reinterpret_cast<void*>(first), last - first, PROT_READ | PROT_WRITE) == 0;
}

// The slot map's bytes from the one of `address`: a byte per 64 bytes of the arena.
unsigned char* marks_of(uintptr_t address) noexcept { return extent.marks + ((address - extent.begin) >> 6); }

[[gnu::noinline]] void clear_many_marks(unsigned char* bytes, size_t n) noexcept { std::memset(bytes, 0, n); }

void clear_marks(uintptr_t begin, size_t size) noexcept {
    // A byte of marks per 64 bytes of frame. Most frames have at most 8, cleared with two
    // stores that may overlap, and without a call.
    unsigned char* bytes = marks_of(begin);
    const size_t n = size / 64;
    if (n > 8) [[unlikely]]
        return clear_many_marks(bytes, n);
    constexpr uint32_t zero = 0;
    if (n >= 4) {
        std::memcpy(bytes, &zero, 4);
        std::memcpy(bytes + n - 4, &zero, 4);
    } else if (n >= 2) {
        std::memcpy(bytes, &zero, 2);
        std::memcpy(bytes + n - 2, &zero, 2);
    } else {
        *bytes = 0;
    }
}

void link(Run*& head, Run* run) noexcept {
    run->prev = nullptr;
    run->next = head;
    if (head) head->prev = run;
    head = run;
}

void unlink(Run*& head, Run* run) noexcept {
    if (run->prev) run->prev->next = run->next;
    else head = run->next;
    if (run->next) run->next->prev = run->prev;
    run->prev = run->next = nullptr;
}

Run* new_run(size_t size_class) noexcept {
    Run* run;
    if (arena.given_back) {
        run = arena.given_back;
        arena.given_back = run->next;
        --arena.runs_given_back;
    } else {
        if (arena.next_run == arena.end) return nullptr;
        const uintptr_t at = arena.next_run;
        if (!commit(at, kRunSize) || !commit(reinterpret_cast<uintptr_t>(marks_of(at)), kMarkBytesPerRun))
            return nullptr;
        arena.next_run += kRunSize;
        run = reinterpret_cast<Run*>(at);
    }
    run->slot_size = static_cast<uint32_t>(size_class * kGranule);
    run->capacity = static_cast<uint32_t>((kRunSize - kGranule) / run->slot_size);
    // Exact, with no division left for `slot_of`: for an offset n < 2^16 in the run, n times
    // the reciprocal over 2^32 exceeds n / slot_size by less than 2^-16, below 1 / slot_size.
    run->reciprocal = static_cast<uint32_t>(((uint64_t{1} << 32) + run->slot_size - 1) / run->slot_size);
    run->live = 0;
    run->untouched = 0;
    run->free = nullptr;
    link(arena.with_room[size_class], run);
    ++arena.runs_kept_empty;  // until its first frame, just below
    return run;
}

char* slots_of(Run* run) noexcept { return reinterpret_cast<char*>(run) + kGranule; }

Run* run_of(const void* p) noexcept {
    return reinterpret_cast<Run*>(reinterpret_cast<uintptr_t>(p) & ~(kRunSize - 1));
}

// A slot of `run`, which has room.
void* take_slot(Run* run, size_t size_class) noexcept {
    void* slot;
    if (run->free) {
        slot = run->free;
        run->free = run->free->next;
    } else {
        slot = slots_of(run) + size_t{run->untouched++} * run->slot_size;
    }
    if (run->live++ == 0) {
        --arena.runs_kept_empty;
        ++arena.runs_in_use;
    }
    if (run->live == run->capacity) [[unlikely]]
        unlink(arena.with_room[size_class], run);
    return slot;
}

// The rare turns of `allocate` and `release`, kept out of line so that the common ones (a
// slot taken from or given back to a run that has others) cost no more than their work.
[[gnu::noinline]] void* allocate_from_new_run(size_t size_class) noexcept {
    if (!extent.size && (arena.tried || !reserve())) return nullptr;
    Run* run = new_run(size_class);
    return run ? take_slot(run, size_class) : nullptr;
}

[[gnu::noinline]] void emptied(Run* run) noexcept {
    --arena.runs_in_use;
    if (arena.runs_kept_empty < kKeptEmptyRuns) {
        ++arena.runs_kept_empty;
        return;
    }
    unlink(arena.with_room[run->slot_size / kGranule], run);
    madvise(run, kRunSize, MADV_DONTNEED);  // reads as zeros from now on, and costs no memory
    run->next = arena.given_back;
    arena.given_back = run;
    ++arena.runs_given_back;
}

}  // namespace

void* allocate(size_t size) noexcept {
    const size_t size_class = (size + kGranule - 1) / kGranule;
    if (size_class > kClasses) [[unlikely]]
        return nullptr;
    Run* run = arena.with_room[size_class];  // none at all until the arena is reserved
    if (!run) [[unlikely]]
        return allocate_from_new_run(size_class);
    return take_slot(run, size_class);
}

void release(void* frame) noexcept {
    Run* run = run_of(frame);
    // Every `Ref` of the frame was destroyed with it and unmarked itself; clearing the slot's
    // marks as well keeps the map exact even if a compiler ever skipped a destructor.
    clear_marks(reinterpret_cast<uintptr_t>(frame), run->slot_size);
    auto* slot = static_cast<FreeSlot*>(frame);
    slot->next = run->free;
    run->free = slot;
    if (run->live-- == run->capacity) [[unlikely]]
        link(arena.with_room[run->slot_size / kGranule], run);
    if (run->live == 0) emptied(run);
}

Slot slot_of(const void* p) noexcept {
    Run* run = run_of(p);
    const uint64_t offset = static_cast<uint64_t>(static_cast<const char*>(p) - slots_of(run));
    const size_t index = static_cast<size_t>((offset * run->reciprocal) >> 32);  // offset / slot_size
    return {slots_of(run) + index * run->slot_size, run->slot_size};
}

// Up to 8 bytes of marks as one little-endian word, read with at most two loads that may
// overlap (no call for the length).
uint64_t load_marks(const unsigned char* bytes, size_t n) noexcept {
    if (n >= 8) {
        uint64_t bits;
        std::memcpy(&bits, bytes, 8);
        return bits;
    }
    if (n >= 4) {
        uint32_t low, high;
        std::memcpy(&low, bytes, 4);
        std::memcpy(&high, bytes + n - 4, 4);
        return uint64_t{low} | uint64_t{high} << (8 * (n - 4));
    }
    if (n >= 2) {
        uint16_t low, high;
        std::memcpy(&low, bytes, 2);
        std::memcpy(&high, bytes + n - 2, 2);
        return uint64_t{low} | uint64_t{high} << (8 * (n - 2));
    }
    return n ? bytes[0] : 0;
}

int traverse(Slot slot, visitproc visit, void* arg) noexcept {
    auto* words = static_cast<PyObject* const*>(slot.begin);
    const unsigned char* bytes = marks_of(reinterpret_cast<uintptr_t>(slot.begin));
    const size_t n = slot.size / 64;
    // Eight bytes of marks (64 words of the frame) at a time: most are zero.
    static_assert(std::endian::native == std::endian::little, "mark bytes read as one little-endian word");
    for (size_t i = 0; i < n; i += 8) {
        for (uint64_t bits = load_marks(bytes + i, std::min<size_t>(8, n - i)); bits; bits &= bits - 1) {
            const size_t bit = static_cast<size_t>(std::countr_zero(bits));  // little-endian bytes in order
            Py_VISIT(words[(i + bit / 8) * 8 + bit % 8]);
        }
    }
    return 0;
}

Usage usage() noexcept { return {arena.runs_in_use, arena.runs_kept_empty, arena.runs_given_back}; }

}  // namespace tsy::frame_arena
