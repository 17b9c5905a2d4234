// A reader-writer lock whose readers do not contend with each other.
//
// A plain reader-writer lock keeps every reader in one shared word, so readers
// on different cores pass its cache line back and forth on every lock and
// unlock: reads of the store could not scale with cores. Here each reader
// counts itself in one of a few reader slots, each on its own cache line (the
// slot of the CPU it runs on), and only writers look at all of them:
//
// - a reader adds itself to its slot, then checks the writer word; if a writer
//   holds it, the reader takes itself out again and queues for the word;
// - a writer takes the writer word, then waits until every slot has drained.
//
// Both sides write first and read the other's word second, in sequentially
// consistent order, so at least one of them sees the other. A reader that had
// to queue joins its slot while it holds the writer word, when no writer can
// be inside, so a stream of writers cannot starve it. CPUs beyond the slot
// count share slots, which only costs them contention.
//
// The writer word is at once the writers' mutex and the flag readers check:
// taking it is one atomic operation on one cache line, where a separate mutex
// and flag cost two, each a transfer between cores when threads on two of
// them write in turn. A writer that finds it taken spins briefly, reading
// only, and then sleeps on it (a futex); the one that releases it wakes one
// sleeper if there is any.
//
// Exclusive use meets the standard Lockable requirements (std::unique_lock
// works); shared use goes through SharedGuard, which looks up the thread's
// slot once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <thread>

#if defined(__linux__)
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <condition_variable>
#endif

namespace corvane::detail {

class ReaderScalableLock {
public:
    ReaderScalableLock() = default;
    ReaderScalableLock(const ReaderScalableLock&) = delete;
    ReaderScalableLock& operator=(const ReaderScalableLock&) = delete;

    // Returns the reader's slot, to be handed back to unlock_shared.
    std::size_t lock_shared() noexcept {
        const std::size_t slot = slot_of_this_thread();
        std::atomic<std::uint32_t>& readers = slots_[slot].readers;
        readers.fetch_add(1, std::memory_order_seq_cst);
        if (word_.load(std::memory_order_seq_cst) == kFree) [[likely]]
            return slot;
        readers.fetch_sub(1, std::memory_order_release);
        // Behind the writer: once it is gone nobody else can take the word
        // while it is held here.
        take_word();
        readers.fetch_add(1, std::memory_order_seq_cst);
        release_word();
        return slot;
    }

    void unlock_shared(std::size_t slot) noexcept { slots_[slot].readers.fetch_sub(1, std::memory_order_release); }

    // Shared ownership for the length of a scope.
    class SharedGuard {
    public:
        explicit SharedGuard(ReaderScalableLock& lock) noexcept : lock_(lock), slot_(lock.lock_shared()) {}
        ~SharedGuard() { lock_.unlock_shared(slot_); }
        SharedGuard(const SharedGuard&) = delete;
        SharedGuard& operator=(const SharedGuard&) = delete;

    private:
        ReaderScalableLock& lock_;
        std::size_t slot_;
    };

    void lock() noexcept {
        take_word();
        // Mostly no reader is inside: one pass over the slots, no branch per slot.
        std::uint32_t inside = 0;
        for (const Slot& slot : slots_) inside |= slot.readers.load(std::memory_order_seq_cst);
        if (inside == 0) [[likely]]
            return;
        for (Slot& slot : slots_) {
            for (unsigned spins = 0; slot.readers.load(std::memory_order_seq_cst) != 0; ++spins) {
                // Readers hold the lock only to copy a session out: a short wait.
                if (spins < 64) {
                    pause();
                } else {
                    std::this_thread::yield();
                }
            }
        }
    }

    void unlock() noexcept { release_word(); }

private:
    static constexpr std::size_t kSlots = 8;  // a power of two
    static constexpr std::size_t kCacheLine = 64;

    struct alignas(kCacheLine) Slot {
        std::atomic<std::uint32_t> readers{0};
    };

    // The writer word: free, held, or held with sleepers to wake.
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kHeld = 1;
    static constexpr std::uint32_t kContended = 2;

    // Write sections are short (a lookup and a copy, well under a microsecond),
    // so a thread that finds the word held waits a little before it sleeps:
    // handing the lock over through the kernel costs more than the section
    // itself. A little: 128 pauses are 2-6 us (a pause is 15-45 ns on current
    // x86 cores), a few sections' worth. A holder still inside after that has
    // most likely been preempted, which happens whenever threads outnumber
    // cores, and spinning on then only takes the core from it and from every
    // other runnable thread.
    static constexpr unsigned kSpins = 128;

    void take_word() noexcept {
        std::uint32_t seen = kFree;
        if (word_.compare_exchange_strong(seen, kHeld, std::memory_order_seq_cst)) [[likely]]
            return;
        for (unsigned spins = 0; spins < kSpins; ++spins) {
            pause();
            // Read before trying, so waiters share the line instead of taking
            // it from the holder on every turn.
            if (word_.load(std::memory_order_relaxed) != kFree) continue;
            seen = kFree;
            if (word_.compare_exchange_weak(seen, kHeld, std::memory_order_seq_cst)) return;
        }
        // Sleep until woken. Whoever takes the word from here on marks it
        // contended, as there may be other sleepers its release must wake.
        while (word_.exchange(kContended, std::memory_order_seq_cst) != kFree) wait_while(kContended);
    }

    void release_word() noexcept {
        if (word_.exchange(kFree, std::memory_order_seq_cst) == kContended) wake_one();
    }

    // Sleeps while the word holds value (returns at once if it does not, and
    // may return spuriously); and wakes one sleeper.
    void wait_while(std::uint32_t value) noexcept;
    void wake_one() noexcept;

    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    // A reader counts itself in the slot of the CPU it runs on: two threads
    // running at once are then on different CPUs and never share a slot's
    // line, however many threads there are (a slot per thread would bounce
    // a line between cores whenever two running threads shared one). A thread
    // moved to another CPU inside its section still leaves the slot it
    // joined. Where the CPU cannot be read, threads take slots in turn.
    static std::size_t slot_of_this_thread() noexcept {
#if defined(__linux__)
        const int cpu = ::sched_getcpu();
        if (cpu >= 0) [[likely]]
            return static_cast<std::size_t>(cpu) % kSlots;
#endif
        static std::atomic<std::size_t> next{0};
        thread_local std::size_t slot = kSlots;  // kSlots: none taken yet
        if (slot == kSlots) [[unlikely]]
            slot = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
        return slot;
    }

    Slot slots_[kSlots];
    // Read by every reader, written only by writers: on a line of its own.
    alignas(kCacheLine) std::atomic<std::uint32_t> word_{kFree};
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                      std::atomic<std::uint32_t>::is_always_lock_free,
                  "the kernel sleeps on the word as a plain 32-bit integer");
#if !defined(__linux__)
    // Where there is no futex, sleepers wait on this instead.
    std::mutex sleep_mutex_;
    std::condition_variable sleepers_;
#endif
};

#if defined(__linux__)
inline void ReaderScalableLock::wait_while(std::uint32_t value) noexcept {
    // The word is a plain 32-bit integer to the kernel; it checks the value
    // and sleeps atomically, so a release in between is never missed.
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr,
                    0);
}
inline void ReaderScalableLock::wake_one() noexcept {
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
#else
inline void ReaderScalableLock::wait_while(std::uint32_t value) noexcept {
    std::unique_lock lock(sleep_mutex_);
    if (word_.load(std::memory_order_seq_cst) == value) sleepers_.wait(lock);
}
inline void ReaderScalableLock::wake_one() noexcept {
    { const std::lock_guard lock(sleep_mutex_); }
    sleepers_.notify_one();
}
#endif

// A plain std::shared_mutex with the same interface, for measuring the lock
// above against (a build with CORVANE_PLAIN_SHARED_MUTEX defined uses it for
// the store).
class PlainSharedLock {
public:
    std::size_t lock_shared() {
        mutex_.lock_shared();
        return 0;
    }
    void unlock_shared(std::size_t) noexcept { mutex_.unlock_shared(); }

    class SharedGuard {
    public:
        explicit SharedGuard(PlainSharedLock& lock) : lock_(lock) { lock_.lock_shared(); }
        ~SharedGuard() { lock_.unlock_shared(0); }
        SharedGuard(const SharedGuard&) = delete;
        SharedGuard& operator=(const SharedGuard&) = delete;

    private:
        PlainSharedLock& lock_;
    };

    void lock() { mutex_.lock(); }
    void unlock() noexcept { mutex_.unlock(); }

private:
    std::shared_mutex mutex_;
};

#if defined(CORVANE_PLAIN_SHARED_MUTEX)
using StoreLock = PlainSharedLock;
#else
using StoreLock = ReaderScalableLock;
#endif

}  // namespace corvane::detail
