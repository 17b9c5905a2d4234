// Growth and insertion of the session table.
#include "session_table.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace corvane::detail {

namespace {

static_assert(std::is_nothrow_move_constructible_v<CheckoutSession> &&
                  std::is_nothrow_move_assignable_v<CheckoutSession>,
              "growth and replacement move records and must not fail half way");

constexpr std::size_t kMinCapacity = 64;
constexpr std::size_t kCacheLine = 64;
// From this size on the table is mapped from the kernel directly, on a 2 MiB
// boundary and advised for transparent huge pages: a lookup in a table far
// larger than the caches then misses the TLB on one level of page table
// instead of four. A draining old table hands its memory back 2 MiB at a time,
// one huge page each.
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

#if defined(__linux__)
// bytes (a multiple of kHugePage) of fresh anonymous memory starting on a
// kHugePage boundary, or null. The kernel places a mapping on any page, so this
// maps one huge page more than asked and unmaps the ends around the aligned
// part.
void* map_huge_aligned(std::size_t bytes) noexcept {
    const std::size_t reserved = bytes + kHugePage;
    void* raw = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, kHugePage);
    const std::size_t head = aligned - start;
    const std::size_t tail = reserved - head - bytes;
    if (head != 0) (void)::munmap(raw, head);
    if (tail != 0) (void)::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    void* memory = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    // Advice only: where the kernel has no transparent huge pages this fails
    // and the table keeps ordinary pages.
    (void)::madvise(memory, bytes, MADV_HUGEPAGE);
#endif
    return memory;
}
#endif

Block allocate(std::size_t capacity) noexcept {
    const std::size_t wanted = capacity * (sizeof(CheckoutSession) + 1);
#if defined(__linux__)
    if (wanted >= kHugeFrom) {
        // Fresh anonymous pages read as zero, so the control bytes need no
        // clearing pass (one that would stall this insert for milliseconds);
        // the pages are faulted in as records arrive.
        Block block{nullptr, round_up(wanted, kHugePage), kHugePage};
        block.memory = map_huge_aligned(block.bytes);
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

// The state of one population, shared between the table and the thread doing
// it. The table deletes it only once the thread has been joined.
struct TablePrefault {
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};        // the thread is through: all faulted in, or stopped
    std::atomic<std::size_t> faulted{0};  // bytes from the start faulted in so far
    const void* memory = nullptr;

    bool finished() const noexcept { return done.load(std::memory_order_acquire); }
};

namespace {

#if defined(__linux__)
// Faults in bytes of memory (a multiple of kHugePage) one huge page at a time,
// until done or asked to stop, by writing a zero byte into each: the memory is
// fresh (it reads as zero) and nothing else touches it until the table has
// stopped this. A write fault takes no process-wide lock (where the kernel
// handles faults under the mapping's own lock), where MADV_POPULATE_WRITE
// would hold the memory-map lock for each huge page and stall any call that
// maps or unmaps memory meanwhile.
void populate(TablePrefault* state, char* memory, std::size_t bytes) noexcept {
    for (std::size_t at = 0; at < bytes && !state->stop.load(std::memory_order_relaxed); at += kHugePage) {
        static_cast<volatile char*>(static_cast<void*>(memory))[at] = 0;
        state->faulted.store(at + kHugePage, std::memory_order_relaxed);
    }
    state->done.store(true, std::memory_order_release);
}

// The one thread of the process that faults a table in ahead of its use, if
// any. Before a fork it is stopped and joined, so a fork never copies a
// process while it runs: the child would otherwise own a table a thread it
// does not have was still writing to, and the parent's interpreter (3.12 on)
// would warn that it forks a multi-threaded process. What it had not reached
// then keeps ordinary pages. Leaked like the store: a fork handler may use it
// until the process ends.
class Prefaulter {
public:
    static Prefaulter& instance() {
        static Prefaulter* const one = new Prefaulter;
        return *one;
    }

    // Starts faulting in state's memory, ending any population still running;
    // false when no thread can be had.
    bool start(TablePrefault* state, char* memory, std::size_t bytes) noexcept {
        static const bool handlers = ::pthread_atfork(before_fork, after_fork, after_fork) == 0;
        if (!handlers) return false;  // without them a fork could copy a running thread
        const std::lock_guard lock(mutex_);
        stop_running();
        try {
            thread_ = std::thread(populate, state, memory, bytes);
        } catch (...) {
            return false;
        }
        running_ = state;
        return true;
    }

    // Stops and joins the thread if it is populating state; state's progress
    // is final once this returns.
    void stop(const TablePrefault* state) noexcept {
        const std::lock_guard lock(mutex_);
        if (running_ == state) stop_running();
    }

private:
    void stop_running() noexcept {
        if (running_ == nullptr) return;
        running_->stop.store(true, std::memory_order_relaxed);
        thread_.join();
        running_ = nullptr;
    }

    // The mutex is held from before the fork until after it in both
    // processes, so no population starts meanwhile.
    static void before_fork() noexcept {
        Prefaulter& one = instance();
        one.mutex_.lock();
        one.stop_running();
    }
    static void after_fork() noexcept { instance().mutex_.unlock(); }

    std::mutex mutex_;
    std::thread thread_;
    TablePrefault* running_ = nullptr;  // whose memory the thread populates, if it runs
};
#endif

}  // namespace

// Old slots moved per insert while a growth drains them. The old table has
// half the new capacity and the new one takes at least 78% of its slots' worth
// of inserts before it must double again (from 92% of the old capacity to 85%
// of twice that), so any pace above 1/0.78 slots per insert drains it in time;
// a small batch keeps each insert short (the new table's pages are faulted in
// already, so a move is a probe and a copy), and this one ends the drain
// within 1/32 of the old capacity, about 3% more sessions.
constexpr std::size_t kMovesPerInsert = 32;

SessionTable::~SessionTable() {
    end_prefault();
    for (const Slots* table : {&cur_, &old_, &next_}) {
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

void SessionTable::end_prefault() noexcept {
    if (prefault_ == nullptr) return;
#if defined(__linux__)
    Prefaulter::instance().stop(prefault_);
#endif
    delete prefault_;
    prefault_ = nullptr;
}

void SessionTable::wait_for_prefault() noexcept {
    if (prefault_ == nullptr) return;
    while (!prefault_->finished()) std::this_thread::yield();
}

void SessionTable::prepare() noexcept {
    prepared_for_ = cur_.capacity();  // one attempt per capacity
    const std::size_t capacity = cur_.capacity() * 2;
    if (capacity * (sizeof(CheckoutSession) + 1) < kHugeFrom) return;  // small tables grow as before
    const Block block = allocate(capacity);
    if (block.memory == nullptr) return;  // the doubling tries again, and reports it
    next_.slots = static_cast<CheckoutSession*>(block.memory);
    next_.ctrl = reinterpret_cast<std::uint8_t*>(next_.slots + capacity);
    next_.mask = capacity - 1;
    next_.bytes = block.bytes;
    next_.align = block.align;
#if defined(__linux__)
    if (block.align != kHugePage) return;
    end_prefault();  // a doubling ends the last one; none should be left
    auto* state = new (std::nothrow) TablePrefault;
    if (state == nullptr) return;
    state->memory = block.memory;
    if (Prefaulter::instance().start(state, static_cast<char*>(block.memory), block.bytes)) {
        prefault_ = state;
    } else {
        delete state;  // no thread to be had: the pages fault in as records arrive
    }
#endif
}

bool SessionTable::grow() noexcept {
    // The pace guarantees a drained old table by now; finish it all the same.
    while (old_.slots != nullptr) migrate_step();
    const std::size_t old_capacity = capacity();
    const std::size_t capacity = old_capacity == 0 ? kMinCapacity : old_capacity * 2;
    Slots fresh = next_;
    // The thread faulting it in must be done with it before records go there
    // (past 92% load this waits for one fault at most). What it did not reach
    // then keeps ordinary pages, which the records fault in cheaply as they
    // arrive: a huge page faulted in by a call could stall it for milliseconds.
    if (fresh.slots != nullptr && prefault_ != nullptr && prefault_->memory == fresh.slots) {
#if defined(__linux__)
        Prefaulter::instance().stop(prefault_);
#endif
        const std::size_t faulted = prefault_->faulted.load(std::memory_order_relaxed);
        end_prefault();
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
        if (faulted < fresh.bytes) {
            (void)::madvise(reinterpret_cast<char*>(fresh.slots) + faulted, fresh.bytes - faulted, MADV_NOHUGEPAGE);
        }
#endif
    }
    if (fresh.slots == nullptr) {
        const Block block = allocate(capacity);  // the only step that can fail
        if (block.memory == nullptr) return false;
        fresh.slots = static_cast<CheckoutSession*>(block.memory);
        fresh.ctrl = reinterpret_cast<std::uint8_t*>(fresh.slots + capacity);
        fresh.mask = capacity - 1;
        fresh.bytes = block.bytes;
        fresh.align = block.align;
    }
    next_ = Slots{};
    old_ = cur_;
    cursor_ = 0;
    cur_ = fresh;
    if (old_.slots != nullptr) migrate_step();
    return true;
}

bool SessionTable::waiting_for_prefault() const noexcept {
    return prefault_ != nullptr && prefault_->memory == next_.slots && !prefault_->finished() && !past_limit();
}

bool SessionTable::reserve_one() noexcept {
    if (full()) [[unlikely]]
        return waiting_for_prefault() || grow();
    if (due_to_prepare() && prepared_for_ != cur_.capacity()) [[unlikely]]
        prepare();
    return true;
}

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
