// Growth and insertion of the session table.
#include "session_table.hpp"

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
// From this size on the table is placed on 2 MiB boundaries and offered to the
// kernel for transparent huge pages.
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
    const bool huge = wanted >= kHugeFrom;
    Block block{nullptr, huge ? round_up(wanted, kHugePage) : round_up(wanted, kCacheLine),
                huge ? kHugePage : kCacheLine};
    block.memory = ::operator new(block.bytes, std::align_val_t{block.align}, std::nothrow);
    if (block.memory == nullptr) return block;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only a hint: without huge pages the table works the same, a bit slower.
    if (huge) (void)::madvise(block.memory, block.bytes, MADV_HUGEPAGE);
#endif
    std::memset(static_cast<char*>(block.memory) + capacity * sizeof(CheckoutSession), 0, capacity);
    return block;
}

void release(void* memory, std::size_t align) noexcept {
    if (memory != nullptr) ::operator delete(memory, std::align_val_t{align});
}

}  // namespace

SessionTable::~SessionTable() {
    if (slots_ == nullptr) return;
    for (std::size_t i = 0; i <= mask_; ++i) {
        if (ctrl_[i] != kEmpty) std::destroy_at(slots_ + i);
    }
    release(slots_, align_);
}

bool SessionTable::grow() noexcept {
    const std::size_t old_capacity = capacity();
    const std::size_t capacity = old_capacity == 0 ? kMinCapacity : old_capacity * 2;
    const Block block = allocate(capacity);  // the only step that can fail
    if (block.memory == nullptr) return false;

    auto* slots = static_cast<CheckoutSession*>(block.memory);
    auto* ctrl = reinterpret_cast<std::uint8_t*>(slots + capacity);
    const std::size_t mask = capacity - 1;
    for (std::size_t from = 0; from < old_capacity; ++from) {
        if (ctrl_[from] == kEmpty) continue;
        CheckoutSession& record = slots_[from];
        const std::size_t hash = hash_(record.id);
        std::size_t to = hash & mask;
        while (ctrl[to] != kEmpty) to = (to + 1) & mask;
        std::construct_at(slots + to, std::move(record));
        ctrl[to] = tag_of(hash);
        std::destroy_at(&record);
    }
    release(slots_, align_);
    slots_ = slots;
    ctrl_ = ctrl;
    mask_ = mask;
    bytes_ = block.bytes;
    align_ = block.align;
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
    const std::size_t hash = hash_(record.id);
    const std::size_t i = free_slot(hash);
    CheckoutSession* slot = std::construct_at(slots_ + i, std::move(record));
    ctrl_[i] = tag_of(hash);
    ++size_;
    return *slot;
}

}  // namespace corvane::detail
