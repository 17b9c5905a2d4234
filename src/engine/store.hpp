// The process-wide session store: one hash table from session identifier to
// the stored session, behind one reader-writer lock whose readers scale across
// cores (reader_lock.hpp). Internal to the engine.
//
// The store is poisoned once a writer faults: any way out of a write section
// other than an Error (a Panic, an allocation failure, anything else) marks it,
// and from then on every access fails with RuntimeError "Failed to acquire lock".
// An Error is a refusal decided before anything was changed and never poisons.
#pragma once

#include <mutex>
#include <utility>

#include "failure.hpp"
#include "reader_lock.hpp"
#include "session.hpp"
#include "session_table.hpp"

namespace corvane::detail {

inline constexpr const char* kLockFailed = "Failed to acquire lock";

class Store {
public:
    // The store of this process, made empty with a fresh hash key on first use
    // (exactly once, whichever threads arrive) and never torn down.
    static Store& instance();

    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Runs body(const SessionTable&) under the shared lock. Fails with
    // RuntimeError "Failed to acquire lock" when the store is poisoned.
    template <class F>
    decltype(auto) read(F&& body) {
        {
            const StoreLock::SharedGuard lock(mutex_);
            if (!poisoned_) return std::forward<F>(body)(std::as_const(map_));
        }
        fail_runtime(kLockFailed);
    }

    // Runs body(SessionTable&) under the exclusive lock. Fails with RuntimeError
    // "Failed to acquire lock" when the store is poisoned; poisons it when the
    // body leaves by anything but an Error.
    template <class F>
    decltype(auto) write(F&& body) {
        std::unique_lock lock(mutex_);
        if (poisoned_) {
            lock.unlock();
            fail_runtime(kLockFailed);
        }
        try {
            return std::forward<F>(body)(map_);
        } catch (const Error&) {
            throw;
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

private:
    friend struct StoreInspector;  // lets the engine's unit test look past the poison
    Store();

    StoreLock mutex_;
    bool poisoned_ = false;  // written only under the exclusive lock, never cleared
    SessionTable map_;
};

}  // namespace corvane::detail
