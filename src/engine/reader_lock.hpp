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
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <thread>

#if defined(__linux__)
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <condition_variable>
#endif

namespace corvane::detail {

// Whether releases of ReaderScalableLock need a full barrier, decided once for
// the process: they do not where the kernel can make every running thread of
// the process execute one on a sleeper's behalf (membarrier, "private
// expedited", registered here).
namespace release_barrier {

#if defined(__linux__) && defined(SYS_membarrier)
inline std::atomic<bool>& needed_flag() noexcept {
    static std::atomic<bool> flag{[] {
        // A forked child starts unregistered: registers again, single-threaded
        // as it is then, or else goes back to full barriers.
        if (::pthread_atfork(nullptr, nullptr, [] {
                if (::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0)
                    needed_flag().store(true, std::memory_order_relaxed);
            }) != 0) {
            return true;
        }
        return ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0;
    }()};
    return flag;
}
inline bool needed() noexcept { return needed_flag().load(std::memory_order_relaxed); }
// Orders this thread's last store before every later load of every running
// thread of the process. True when done; false when releases may not have
// seen it (the call failed though registered), and a sleeper must not rely
// on a wake-up.
inline bool order_after_store() noexcept {
    if (needed()) return true;  // releases carry their own barrier
    return ::syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
}
#else
inline bool needed() noexcept { return true; }
inline bool order_after_store() noexcept { return true; }
#endif

}  // namespace release_barrier

class ReaderScalableLock {
public:
    ReaderScalableLock() noexcept { (void)release_barrier::needed(); }  // decided before any release
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

    // The writer word: free or held.
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kHeld = 1;

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
        // Sleep until woken: count in as a sleeper, make sure every release
        // from here on sees the count (see release_word), then try and sleep
        // in turn.
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        const bool seen_by_releases = release_barrier::order_after_store();
        for (;;) {
            seen = kFree;
            if (word_.compare_exchange_strong(seen, kHeld, std::memory_order_seq_cst)) break;
            wait_while_held(!seen_by_releases);
        }
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
    }

    // A release has to look at the sleeper count after freeing the word, and
    // a sleeper at the word after counting itself in: each writes one and
    // reads the other, so without more one could miss the other and a sleeper
    // sleep on with the word free. The usual cure is a full barrier in the
    // release, which on x86 waits until every store of the write section has
    // reached the cache: after an insert into a table far larger than the
    // caches, that is a memory round trip at the end of every creation.
    // Instead the sleeper, on its slow path, makes every running thread of the
    // process execute a barrier (the membarrier system call), and the release
    // needs none: its stores drain while the caller goes on. Where the kernel
    // offers no such call the release keeps its full barrier.
    void release_word() noexcept {
        if (release_barrier::needed()) [[unlikely]] {
            word_.store(kFree, std::memory_order_seq_cst);
            if (sleepers_.load(std::memory_order_seq_cst) != 0) wake_one();
            return;
        }
        word_.store(kFree, std::memory_order_release);
        std::atomic_signal_fence(std::memory_order_seq_cst);  // the compiler keeps the order; membarrier the CPU
        if (sleepers_.load(std::memory_order_relaxed) != 0) [[unlikely]]
            wake_one();
    }

    // Sleeps while the word is held (returns at once if it is not, and may
    // return spuriously; after a millisecond at most when bounded); and wakes
    // one sleeper.
    void wait_while_held(bool bounded) noexcept;
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
    // Read by every reader, written only by writers: on a line of its own,
    // with the count of writers asleep on it, which only changes on their
    // slow path.
    alignas(kCacheLine) std::atomic<std::uint32_t> word_{kFree};
    std::atomic<std::uint32_t> sleepers_{0};
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                      std::atomic<std::uint32_t>::is_always_lock_free,
                  "the kernel sleeps on the word as a plain 32-bit integer");
#if !defined(__linux__)
    // Where there is no futex, sleepers wait on this instead.
    std::mutex sleep_mutex_;
    std::condition_variable woken_;
#endif
};

#if defined(__linux__)
inline void ReaderScalableLock::wait_while_held(bool bounded) noexcept {
    // The kernel checks the word and sleeps atomically, so a release in
    // between is never missed; a bounded sleep covers the one case where a
    // release may not have seen this sleeper (see release_barrier).
    const timespec bound{0, 1'000'000};
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, kHeld,
                    bounded ? &bound : nullptr, nullptr, 0);
}
inline void ReaderScalableLock::wake_one() noexcept {
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
#else
inline void ReaderScalableLock::wait_while_held(bool) noexcept {
    std::unique_lock lock(sleep_mutex_);
    if (word_.load(std::memory_order_seq_cst) == kHeld) woken_.wait(lock);
}
inline void ReaderScalableLock::wake_one() noexcept {
    { const std::lock_guard lock(sleep_mutex_); }
    woken_.notify_one();
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
