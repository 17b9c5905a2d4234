// Conversions between Python objects and plain values, and the per-object
// access discipline (shared or exclusive) that every receiver goes through.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"

namespace corvane::py {

// TypeError "'T' object cannot be converted to 'target'".
[[noreturn]] void throw_conversion_error(PyObject* obj, std::string_view target);

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

// Python -> plain value.
std::int64_t to_i64(PyObject* obj);
std::int32_t to_i32(PyObject* obj);
std::string to_text(PyObject* obj);

// Plain value -> new Python object (a failure here is an internal fault).
static_assert(sizeof(long) == sizeof(std::int64_t), "the module assumes an LP64 platform");
inline PyObject* new_int(std::int64_t v) { return must(PyLong_FromLong(static_cast<long>(v))); }
inline PyObject* new_str(std::string_view s) {
    return must(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// A new str of n characters that write puts in place; they must all be ASCII
// (no decoding pass looks at them).
template <class Write>
PyObject* new_ascii(std::size_t n, Write&& write) {
    PyObject* s = must(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    std::forward<Write>(write)(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s)));
    return s;
}
inline PyObject* new_none() { Py_RETURN_NONE; }

}  // namespace corvane::py
