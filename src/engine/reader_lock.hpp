// A reader-writer lock whose readers do not contend with each other.
//
// A plain reader-writer lock keeps every reader in one shared word, so readers
// on different cores pass its cache line back and forth on every lock and
// unlock: reads of the store could not scale with cores. Here each reader
// counts itself in one of a few reader slots, each on its own cache line (the
// slot of the CPU it runs on), and only writers look at all of them:
//
// - a reader adds itself to its slot, then checks the writer flag; if a writer
//   is there, it takes itself out again and queues behind the writer mutex;
// - a writer takes the writer mutex, raises the flag, then waits until every
//   slot has drained.
//
// Both sides write first and read the other's word second, in sequentially
// consistent order, so at least one of them sees the other. A reader that had
// to queue joins its slot while it holds the writer mutex, when no writer can
// be inside, so a stream of writers cannot starve it. CPUs beyond the slot
// count share slots, which only costs them contention.
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
#include <sched.h>
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
        if (!writer_.load(std::memory_order_seq_cst)) [[likely]]
            return slot;
        readers.fetch_sub(1, std::memory_order_release);
        // Behind the writer: once it is gone nobody else can raise the flag
        // while the writer mutex is held here.
        take_writer_mutex();
        readers.fetch_add(1, std::memory_order_seq_cst);
        writer_mutex_.unlock();
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

    void lock() {
        take_writer_mutex();
        writer_.store(true, std::memory_order_seq_cst);
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

    void unlock() noexcept {
        writer_.store(false, std::memory_order_release);
        writer_mutex_.unlock();
    }

private:
    static constexpr std::size_t kSlots = 8;  // a power of two
    static constexpr std::size_t kCacheLine = 64;

    struct alignas(kCacheLine) Slot {
        std::atomic<std::uint32_t> readers{0};
    };

    // Write sections are short (a lookup and a copy, about a microsecond with
    // a system call for an order's identifier), so a thread that finds the
    // mutex held waits a little before it sleeps: handing the lock over through
    // the kernel costs more than the section itself. A little: 128 pauses are
    // 2-6 us (a pause is 15-45 ns on current x86 cores), a few sections' worth.
    // A holder still inside after that has most likely been preempted, which
    // happens whenever threads outnumber cores, and spinning on then only takes
    // the core from it and from every other runnable thread.
    static constexpr unsigned kSpins = 128;

    void take_writer_mutex() noexcept {
        for (unsigned spins = 0; spins < kSpins; ++spins) {
            if (!writer_.load(std::memory_order_relaxed) && writer_mutex_.try_lock()) return;
            pause();
        }
        writer_mutex_.lock();
    }

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
    // Every reader reads the flag; only writers touch the mutex. Apart, a
    // writer queueing on the mutex does not take the flag's line from them.
    alignas(kCacheLine) std::atomic<bool> writer_{false};
    alignas(kCacheLine) std::mutex writer_mutex_;
};

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
