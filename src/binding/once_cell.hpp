// A pointer made once and kept for the process: a type object, an interned
// name, the module object. Threads may race to make it; the first one stored
// wins, and each loser drops what it made and takes the winner's.
#pragma once

#include <atomic>

namespace corvane::py {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    // What is stored, or null while nothing is.
    T* get() const noexcept { return cell_.load(std::memory_order_acquire); }

    // Stores made unless something is stored already, and returns what is
    // stored then: made itself when it won, or the earlier value (and made is
    // the caller's to drop).
    T* store_first(T* made) noexcept {
        T* stored = nullptr;
        if (cell_.compare_exchange_strong(stored, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return made;
        }
        return stored;
    }

private:
    std::atomic<T*> cell_{nullptr};
};

}  // namespace corvane::py
