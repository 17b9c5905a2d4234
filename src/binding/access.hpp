// The per-object access discipline (shared or exclusive) that every receiver
// goes through, and the object's critical section on a free-threaded build.
#pragma once

#include <atomic>

#include "errors.hpp"

namespace corvane::py {

// The access counter every instance carries: 0 free, n > 0 shared, -1 exclusive.
//
// With an interpreter lock only the thread holding it touches a counter. A
// free-threaded interpreter runs threads side by side, so there the counter is
// changed atomically, and every reader and writer of a record also holds the
// object's critical section (ObjectLock): they are serialised per object just
// as the interpreter lock would serialise them. The counter then only ever
// sees re-entrant use, and a conversion that re-enters an object it holds gets
// the same refusal on every build.
namespace access {

#ifdef Py_GIL_DISABLED
inline bool try_share(Py_ssize_t& counter) noexcept {
    std::atomic_ref<Py_ssize_t> c(counter);
    Py_ssize_t v = c.load(std::memory_order_relaxed);
    do {
        if (v == -1) return false;
    } while (!c.compare_exchange_weak(v, v + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}
inline void unshare(Py_ssize_t& counter) noexcept {
    std::atomic_ref<Py_ssize_t>(counter).fetch_sub(1, std::memory_order_release);
}
inline bool try_exclusive(Py_ssize_t& counter) noexcept {
    Py_ssize_t free = 0;
    return std::atomic_ref<Py_ssize_t>(counter).compare_exchange_strong(free, -1, std::memory_order_acquire,
                                                                        std::memory_order_relaxed);
}
inline void unexclusive(Py_ssize_t& counter) noexcept {
    std::atomic_ref<Py_ssize_t>(counter).store(0, std::memory_order_release);
}
#else
inline bool try_share(Py_ssize_t& counter) noexcept {
    if (counter == -1) return false;
    ++counter;
    return true;
}
inline void unshare(Py_ssize_t& counter) noexcept { --counter; }
inline bool try_exclusive(Py_ssize_t& counter) noexcept {
    if (counter != 0) return false;
    counter = -1;
    return true;
}
inline void unexclusive(Py_ssize_t& counter) noexcept { counter = 0; }
#endif

}  // namespace access

class SharedAccess {
public:
    explicit SharedAccess(Py_ssize_t& counter) : c_(counter) {
        if (!access::try_share(c_)) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedAccess() { access::unshare(c_); }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    Py_ssize_t& c_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(Py_ssize_t& counter) : c_(counter) {
        if (!access::try_exclusive(c_)) throw_error(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveAccess() { access::unexclusive(c_); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    Py_ssize_t& c_;
};

// The object's critical section for the length of a scope, on a free-threaded
// interpreter; nothing with an interpreter lock, which already serialises.
// Like the interpreter lock, it is let go while the thread waits (for another
// critical section, or inside Python code that blocks) and taken back after.
class ObjectLock {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectLock(PyObject* obj) noexcept { PyCriticalSection_Begin(&section_, obj); }
    ~ObjectLock() { PyCriticalSection_End(&section_); }
#else
    explicit ObjectLock(PyObject*) noexcept {}
#endif
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

}  // namespace corvane::py
