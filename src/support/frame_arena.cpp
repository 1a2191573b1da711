#include "frame_arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace tsy::frame_arena {

constinit unsigned char arena_chunks[kChunkLimit] = {};
constinit Window window;

namespace {

constexpr size_t kRunSize = size_t{64} << 10;
constexpr size_t kGranule = 64;            // frame sizes are rounded up to this
constexpr size_t kClasses = 512;           // so frames of up to 32 KiB have a class
constexpr size_t kKeptEmptyRuns = 8;       // kept for reuse before runs go back to the system
constexpr size_t kMapSize = kChunkSize / 64;  // a chunk's slot map: a bit per word
constexpr size_t kRunsPerChunk = kChunkSize / kRunSize;
constexpr size_t kFirstRun = kMapSize / kRunSize;  // runs begin after the slot map
static_assert(kMapSize % kRunSize == 0);

struct FreeSlot {
    FreeSlot* next;
};

// The first granule of every run, and of every span (whose first run holds its one slot).
struct Run {
    uint32_t slot_size;
    uint32_t capacity;
    uint32_t live;
    uint32_t untouched;  // slots from here on were never handed out
    uint32_t reciprocal;  // ceil(2^32 / slot_size): an offset in the run times this, >> 32, is its slot
    uint32_t span;  // how many runs a span covers; 0 for a run of a size class
    FreeSlot* free;
    Run* prev;  // in its size class's list of runs with room, or in the list of runs given back
    Run* next;
};
static_assert(sizeof(Run) <= kGranule);

// The start of every chunk. It lies in the bytes of the slot map that would mark the words of
// the slot map itself, where no `Ref` ever lives.
struct Chunk {
    Chunk* next;  // the chunks of the arena, newest first
    uint64_t given_back[kRunsPerChunk / 64];  // a bit per run in the arena's list of runs given back
    // For each run but the first of a span, how many runs after the span's first it lies: a
    // frame or anything inside it finds the span from this.
    uint16_t span_offset[kRunsPerChunk];
};
static_assert(sizeof(Chunk) <= kMapSize / 64);

struct Arena {
    Chunk* chunks = nullptr;
    uintptr_t next_run = 0;  // where the next new run is cut, in the newest chunk
    uintptr_t end = 0;       // the newest chunk's end
    Run* with_room[kClasses + 1] = {};
    Run* given_back = nullptr;  // runs whose memory went back to the system
    size_t runs_in_use = 0, runs_kept_empty = 0, runs_given_back = 0, chunks_reserved = 0, frames_refused = 0;
};

constinit Arena arena;

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

Chunk* chunk_of(const void* p) noexcept {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(p) & ~(kChunkSize - 1));
}

size_t run_index(const void* p) noexcept { return (reinterpret_cast<uintptr_t>(p) & (kChunkSize - 1)) / kRunSize; }

Run* run_at(Chunk* chunk, size_t index) noexcept {
    return reinterpret_cast<Run*>(reinterpret_cast<uintptr_t>(chunk) + index * kRunSize);
}

bool commit(uintptr_t from, size_t size) noexcept {
    return mprotect(reinterpret_cast<void*>(from), size, PROT_READ | PROT_WRITE) == 0;
}

void* map_address_space(void* at, size_t size) noexcept {
    return mmap(at, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
}

// A chunk-aligned stretch of address space of a chunk's size, or 0.
uintptr_t map_chunk() noexcept {
    // Right below the newest chunk first, where the system places new mappings anyway: that
    // needs no more address space than the chunk itself.
    const auto newest = reinterpret_cast<uintptr_t>(arena.chunks);
    if (newest >= 2 * kChunkSize) {
        void* wanted = reinterpret_cast<void*>(newest - kChunkSize);
        void* got = map_address_space(wanted, kChunkSize);
        if (got == wanted) return newest - kChunkSize;
        if (got != MAP_FAILED) munmap(got, kChunkSize);
    }
    // Else twice the size, trimmed on either side to the aligned chunk within.
    void* got = map_address_space(nullptr, 2 * kChunkSize);
    if (got == MAP_FAILED) return 0;
    const auto from = reinterpret_cast<uintptr_t>(got), to = from + 2 * kChunkSize;
    const uintptr_t begin = (from + kChunkSize - 1) & ~(kChunkSize - 1), end = begin + kChunkSize;
    if (begin > from) munmap(got, begin - from);
    if (to > end) munmap(reinterpret_cast<void*>(end), to - end);
    return begin;
}

// Makes a new chunk the newest, with its slot map committed; false if none could be had.
bool reserve_chunk() noexcept {
    const uintptr_t begin = map_chunk();
    if (!begin) return false;
    const uintptr_t index = begin >> kChunkShift;
    if (index >= kChunkLimit || !commit(begin, kMapSize)) {  // beyond what `arena_chunks` covers
        munmap(reinterpret_cast<void*>(begin), kChunkSize);
        return false;
    }
    auto* chunk = reinterpret_cast<Chunk*>(begin);
    chunk->next = arena.chunks;
    arena.chunks = chunk;
    arena.next_run = begin + kMapSize;
    arena.end = begin + kChunkSize;
    arena_chunks[index] = 1;
    const uintptr_t low = window.size ? std::min(window.begin, begin) : begin;
    const uintptr_t high = std::max(window.begin + window.size, begin + kChunkSize);
    ++arena.chunks_reserved;
    window = {low, high - low, high - low == arena.chunks_reserved * kChunkSize};
    return true;
}

// `run`, whose memory went back to the system (or was never used), joins the runs given back.
void give_back(Run* run) noexcept {
    run->span = 0;
    link(arena.given_back, run);
    const size_t index = run_index(run);
    chunk_of(run)->given_back[index / 64] |= uint64_t{1} << (index % 64);
    ++arena.runs_given_back;
}

// `run` leaves the runs given back, to be used again.
void take_back(Run* run) noexcept {
    unlink(arena.given_back, run);
    const size_t index = run_index(run);
    chunk_of(run)->given_back[index / 64] &= ~(uint64_t{1} << (index % 64));
    --arena.runs_given_back;
}

// `count` consecutive runs never used before, committed; null if they cannot be had. When the
// newest chunk has too few left, a new chunk is reserved, and the old one's last runs join
// the runs given back, so that all of its runs are cut.
Run* cut_runs(size_t count) noexcept {
    const size_t size = count * kRunSize;
    if (arena.end - arena.next_run < size) {
        const uintptr_t rest = arena.next_run, rest_end = arena.end;
        if (!reserve_chunk()) return nullptr;
        if (rest != rest_end && commit(rest, rest_end - rest))
            for (uintptr_t at = rest; at != rest_end; at += kRunSize) give_back(reinterpret_cast<Run*>(at));
    }
    const uintptr_t at = arena.next_run;
    if (!commit(at, size)) return nullptr;
    arena.next_run += size;
    return reinterpret_cast<Run*>(at);
}

// The first of `count` consecutive runs given back, in any chunk, or null.
Run* find_given_back(size_t count) noexcept {
    for (Chunk* chunk = arena.chunks; chunk; chunk = chunk->next) {
        size_t found = 0;
        for (size_t i = kFirstRun; i < kRunsPerChunk; ++i) {
            const uint64_t word = chunk->given_back[i / 64];
            if (word == 0) {  // none of this word's 64 runs
                found = 0;
                i |= 63;
                continue;
            }
            found = word >> (i % 64) & 1 ? found + 1 : 0;
            if (found == count) return run_at(chunk, i + 1 - count);
        }
    }
    return nullptr;
}

void* refuse() noexcept {
    ++arena.frames_refused;
    return nullptr;
}

[[gnu::noinline]] void clear_many_marks(unsigned char* bytes, size_t n) noexcept { std::memset(bytes, 0, n); }

void clear_marks(const void* begin, size_t size) noexcept {
    // A byte of marks per 64 bytes of frame. Most frames have at most 8, cleared with two
    // stores that may overlap, and without a call.
    unsigned char* bytes = mark_byte(begin);
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

Run* new_run(size_t size_class) noexcept {
    Run* run = arena.given_back;
    if (run) take_back(run);
    else if (!(run = cut_runs(1))) return nullptr;
    run->slot_size = static_cast<uint32_t>(size_class * kGranule);
    run->capacity = static_cast<uint32_t>((kRunSize - kGranule) / run->slot_size);
    // Exact, with no division left for `slot_of`: for an offset n < 2^16 in the run, n times
    // the reciprocal over 2^32 exceeds n / slot_size by less than 2^-16, below 1 / slot_size.
    run->reciprocal = static_cast<uint32_t>(((uint64_t{1} << 32) + run->slot_size - 1) / run->slot_size);
    run->live = 0;
    run->untouched = 0;
    run->span = 0;
    run->free = nullptr;
    link(arena.with_room[size_class], run);
    ++arena.runs_kept_empty;  // until its first frame, just below
    return run;
}

char* slots_of(Run* run) noexcept { return reinterpret_cast<char*>(run) + kGranule; }

// The run of a frame (the first of its span, for a span).
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
    Run* run = new_run(size_class);
    return run ? take_slot(run, size_class) : refuse();
}

// A frame too large for a size class: a span of whole runs, the frame in the first run's one
// slot, as for the runs of a size class.
[[gnu::noinline]] void* allocate_span(size_t size) noexcept {
    if (size > kChunkSize) return refuse();
    const size_t count = (size + kGranule + kRunSize - 1) / kRunSize;
    if (count > kRunsPerChunk - kFirstRun) return refuse();
    Run* run = arena.runs_given_back >= count ? find_given_back(count) : nullptr;
    if (run) {
        for (size_t i = 0; i < count; ++i) take_back(run_at(chunk_of(run), run_index(run) + i));
    } else if (!(run = cut_runs(count))) {
        return refuse();
    }
    Chunk* chunk = chunk_of(run);
    for (size_t i = 1, first = run_index(run); i < count; ++i) chunk->span_offset[first + i] = static_cast<uint16_t>(i);
    run->slot_size = static_cast<uint32_t>(count * kRunSize - kGranule);
    run->capacity = 1;
    run->live = 1;
    run->untouched = 1;
    run->reciprocal = 0;  // the one slot holds every offset
    run->span = static_cast<uint32_t>(count);
    run->free = nullptr;
    run->prev = run->next = nullptr;
    arena.runs_in_use += count;
    return slots_of(run);
}

[[gnu::noinline]] void release_span(Run* run) noexcept {
    const size_t count = run->span;
    arena.runs_in_use -= count;
    madvise(run, count * kRunSize, MADV_DONTNEED);  // reads as zeros from now on, and costs no memory
    Chunk* chunk = chunk_of(run);
    const size_t first = run_index(run);
    for (size_t i = 0; i < count; ++i) {
        chunk->span_offset[first + i] = 0;
        give_back(run_at(chunk, first + i));
    }
}

[[gnu::noinline]] void emptied(Run* run) noexcept {
    --arena.runs_in_use;
    if (arena.runs_kept_empty < kKeptEmptyRuns) {
        ++arena.runs_kept_empty;
        return;
    }
    unlink(arena.with_room[run->slot_size / kGranule], run);
    madvise(run, kRunSize, MADV_DONTNEED);
    give_back(run);
}

}  // namespace

void* allocate(size_t size) noexcept {
    const size_t size_class = (size + kGranule - 1) / kGranule;
    if (size_class > kClasses) [[unlikely]]
        return allocate_span(size);
    Run* run = arena.with_room[size_class];  // none at all until a chunk is reserved
    if (!run) [[unlikely]]
        return allocate_from_new_run(size_class);
    return take_slot(run, size_class);
}

void release(void* frame) noexcept {
    Run* run = run_of(frame);
    // Every `Ref` of the frame was destroyed with it and unmarked itself; clearing the slot's
    // marks as well keeps the map exact even if a compiler ever skipped a destructor.
    clear_marks(frame, run->slot_size);
    auto* slot = static_cast<FreeSlot*>(frame);
    slot->next = run->free;
    run->free = slot;
    if (run->live-- == run->capacity) [[unlikely]] {
        if (run->span) return release_span(run);
        link(arena.with_room[run->slot_size / kGranule], run);
    }
    if (run->live == 0) emptied(run);
}

Slot slot_of(const void* p) noexcept {
    Chunk* chunk = chunk_of(p);
    const size_t index = run_index(p);
    Run* run = run_at(chunk, index - chunk->span_offset[index]);
    const uint64_t offset = static_cast<uint64_t>(static_cast<const char*>(p) - slots_of(run));
    const size_t slot = static_cast<size_t>((offset * run->reciprocal) >> 32);  // offset / slot_size
    return {slots_of(run) + slot * run->slot_size, run->slot_size};
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
    const unsigned char* bytes = mark_byte(slot.begin);
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

Usage usage() noexcept {
    return {arena.runs_in_use, arena.runs_kept_empty, arena.runs_given_back, arena.chunks_reserved,
            arena.frames_refused};
}

}  // namespace tsy::frame_arena
