// Owned references made visible: a Ref owns exactly one reference (or none)
// and drops it when it goes out of scope, so no path can leak or double-free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvane::py {

// Whether this thread holds the interpreter, i.e. its thread state is the one
// attached. It does not while the interpreter ends a thread that came back to
// it after finalisation began (3.11 to 3.13 do that by unwinding the thread's
// stack from inside the call that wanted the interpreter back).
inline bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // per thread, cleared while detached
#else
    // One attached thread state for the whole process. Until finalisation
    // begins no thread is ended that way, and the module never lets the
    // interpreter go, so an attached state is this thread's. After that it may
    // be the finalising thread's, and it is this thread's only if it is the
    // one the interpreter records for this thread. That record is the first
    // state made for the thread, so a thread running a sub-interpreter (as
    // hosts that give each application its own do) fails that test even with
    // its own state attached; so the test waits until finalisation began,
    // when what such a thread drops may as well be kept.
    PyThreadState* attached = _PyThreadState_UncheckedGet();
    if (!_Py_IsFinalizing()) [[likely]]
        return attached != nullptr;
    return attached != nullptr && attached == PyGILState_GetThisThreadState();
#endif
}

// Whether this thread still holds the interpreter it held when this was made:
// what holds_interpreter tells, for an object that lives within one call.
// Before 3.12 this is cheaper, as it need not look up this thread's state.
class StillHeld {
public:
#if PY_VERSION_HEX >= 0x030C0000
    bool operator()() const noexcept { return holds_interpreter(); }
#else
    bool operator()() const noexcept { return _PyThreadState_UncheckedGet() == state_; }

private:
    PyThreadState* state_ = _PyThreadState_UncheckedGet();
#endif
};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    // A reference released while the interpreter ends this thread (see
    // holds_interpreter) is left as it is: the thread may no longer touch any
    // object, and the interpreter may already be gone.
    ~Ref() {
        if (p_ && holds_interpreter()) [[likely]]
            Py_DECREF(p_);
    }

    // Takes over a reference the caller owns (a "new reference" result).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace corvane::py
