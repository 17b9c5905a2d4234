// Growth and insertion of the session table.
#include "session_table.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvane::detail {

namespace {

static_assert(std::is_nothrow_move_constructible_v<CheckoutSession> &&
                  std::is_nothrow_move_assignable_v<CheckoutSession>,
              "growth and replacement move records and must not fail half way");

constexpr std::size_t kMinCapacity = 64;
constexpr std::size_t kCacheLine = 64;
// From this size on the table is mapped from the kernel directly, and a
// draining old table hands its memory back 2 MiB at a time. (It is not offered for
// transparent huge pages: where the kernel compacts memory to fault one in, a
// single fault can stall an insert for tens of milliseconds.)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = 2 * kHugePage;

constexpr std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

// Room for capacity slots plus their control bytes, control bytes zeroed; no
// memory when it cannot be had.
struct Block {
    void* memory;
    std::size_t bytes;
    std::size_t align;
};

Block allocate(std::size_t capacity) noexcept {
    const std::size_t wanted = capacity * (sizeof(CheckoutSession) + 1);
#if defined(__linux__)
    if (wanted >= kHugeFrom) {
        // Fresh anonymous pages read as zero, so the control bytes need no
        // clearing pass (one that would stall this insert for milliseconds);
        // the pages are faulted in as records arrive.
        Block block{nullptr, round_up(wanted, kHugePage), kHugePage};
        void* memory = ::mmap(nullptr, block.bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory != MAP_FAILED) block.memory = memory;
        return block;
    }
#endif
    Block block{nullptr, round_up(wanted, kCacheLine), kCacheLine};
    block.memory = ::operator new(block.bytes, std::align_val_t{block.align}, std::nothrow);
    if (block.memory == nullptr) return block;
    std::memset(static_cast<char*>(block.memory) + capacity * sizeof(CheckoutSession), 0, capacity);
    return block;
}

void release(void* memory, std::size_t bytes, std::size_t align) noexcept {
    if (memory == nullptr) return;
#if defined(__linux__)
    if (align == kHugePage) {
        (void)::munmap(memory, bytes);
        return;
    }
#endif
    (void)bytes;
    ::operator delete(memory, std::align_val_t{align});
}

}  // namespace

// Old slots moved per insert while a growth drains them. The old table has
// half the new capacity and the new one takes 85% of its slots' worth of
// inserts before it must double again, so any pace above 1/0.85 slots per
// insert drains it in time; a small batch keeps each insert short.
constexpr std::size_t kMovesPerInsert = 16;

SessionTable::~SessionTable() {
    for (const Slots* table : {&cur_, &old_}) {
        if (table->slots == nullptr) continue;
        for (std::size_t i = 0; i <= table->mask; ++i) {
            if (table->ctrl[i] & 0x80) std::destroy_at(table->slots + i);
        }
        release(table->slots, table->bytes, table->align);
    }
}

CheckoutSession* SessionTable::place(CheckoutSession&& record, std::size_t hash) noexcept {
    const std::size_t i = cur_.free_slot(hash);
    CheckoutSession* slot = std::construct_at(cur_.slots + i, std::move(record));
    cur_.ctrl[i] = tag_of(hash);
    return slot;
}

void SessionTable::migrate_step() noexcept {
    const std::size_t end = std::min(cursor_ + kMovesPerInsert, old_.capacity());
    for (; cursor_ < end; ++cursor_) {
        if (!(old_.ctrl[cursor_] & 0x80)) continue;
        CheckoutSession& record = old_.slots[cursor_];
        place(std::move(record), hash_(record.id));
        std::destroy_at(&record);
        old_.ctrl[cursor_] = kMoved;
    }
    if (cursor_ == old_.capacity()) {
        release(old_.slots, old_.bytes, old_.align);
        old_ = Slots{};
        cursor_ = 0;
        returned_ = 0;
        return;
    }
#if defined(__linux__)
    // Hand back the slots already drained, so that the final release has little
    // left to unmap (unmapping a large table at once takes milliseconds) and the
    // two tables are not both fully resident. Drained slots are never read
    // again: their control bytes say they moved.
    if (old_.align == kHugePage) {
        const std::size_t drained = cursor_ * sizeof(CheckoutSession) / kHugePage * kHugePage;
        if (drained > returned_) {
            (void)::madvise(reinterpret_cast<char*>(old_.slots) + returned_, drained - returned_, MADV_DONTNEED);
            returned_ = drained;
        }
    }
#endif
}

bool SessionTable::grow() noexcept {
    // The pace guarantees a drained old table by now; finish it all the same.
    while (old_.slots != nullptr) migrate_step();
    const std::size_t old_capacity = capacity();
    const std::size_t capacity = old_capacity == 0 ? kMinCapacity : old_capacity * 2;
    const Block block = allocate(capacity);  // the only step that can fail
    if (block.memory == nullptr) return false;

    old_ = cur_;
    cursor_ = 0;
    cur_.slots = static_cast<CheckoutSession*>(block.memory);
    cur_.ctrl = reinterpret_cast<std::uint8_t*>(cur_.slots + capacity);
    cur_.mask = capacity - 1;
    cur_.bytes = block.bytes;
    cur_.align = block.align;
    if (old_.slots != nullptr) migrate_step();
    return true;
}

bool SessionTable::reserve_one() noexcept { return !full() || grow(); }

CheckoutSession& SessionTable::insert_or_assign(CheckoutSession&& record) {
    if (CheckoutSession* existing = lookup(record.id)) {
        *existing = std::move(record);
        return *existing;
    }
    // Keep the load at or below 85%.
    if (!reserve_one()) throw std::bad_alloc();
    if (old_.slots != nullptr) migrate_step();
    CheckoutSession* slot = place(std::move(record), hash_(record.id));
    ++size_;
    return *slot;
}

}  // namespace corvane::detail
