// Python failures as C++ values, and the call boundary that turns every
// failure of an entry point into a Python exception.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "../engine/failure.hpp"
#include "ref.hpp"

namespace corvane::py {

// A Python exception waiting to be raised, in one of two forms: a message,
// an exception type plus a text (and perhaps a cause), made into an exception
// only when raised; or fetched, an exception the interpreter had raised, as
// its normalised object.
class PyError {
public:
    static PyError pending(PyObject* type, std::string message, Ref cause = {});
    static PyError fetched(Ref type, Ref value, Ref tb);

    // Makes this error the interpreter's pending exception.
    void restore() &&;

    bool is_exactly(PyObject* type) const noexcept { return type_of() == type; }
    // str() of the exception value (or the pending message).
    std::string text() const;
    // A TypeError raised while converting parameter `name` is replaced by one
    // that names the argument; every other error passes unchanged.
    PyError with_argument_name(std::string_view name) &&;
    // Description used in panic messages: "TypeName: text".
    std::string describe() const;

private:
    struct Message {
        Ref type;
        std::string text;
        Ref cause;
    };
    struct Fetched {
        Ref type;
        Ref value;
        Ref tb;
    };
    explicit PyError(Message m) noexcept : state_(std::move(m)) {}
    explicit PyError(Fetched f) noexcept : state_(std::move(f)) {}
    PyObject* type_of() const noexcept {
        return std::visit([](const auto& s) { return s.type.get(); }, state_);
    }

    std::variant<Message, Fetched> state_;
};

// Throws the pending-style error.
[[noreturn]] void throw_error(PyObject* type, std::string message);
// TypeError "'T' object cannot be converted to 'target'".
[[noreturn]] void throw_conversion_error(PyObject* obj, std::string_view target);
// Takes the interpreter's pending exception and throws it as a PyError.
// A PanicException coming back from Python code resumes the panic instead.
[[noreturn]] void throw_fetched();
// For C API calls that must not fail: prints any pending exception, then panics.
[[noreturn]] void api_call_failed();
// For a failed allocation of a result object: panics naming the step and the
// interpreter's error.
[[noreturn]] void panic_with_pending(std::string_view step);

// Checks the result of a C API call that must not fail.
inline PyObject* must(PyObject* result) {
    if (!result) api_call_failed();
    return result;
}

// Python code that the module runs (an __index__, a sequence's iteration, a
// type's __qualname__ or an object's __str__) counts against the interpreter's
// recursion limit, as it does when the interpreter's own functions run it, so
// recursion through the module ends in RecursionError ("maximum recursion depth
// exceeded" + where) before the C stack runs out.
//
// Around a block of C++ code:
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw_fetched();
    }
    ~RecursionGuard() {
        if (held_()) [[likely]]
            Py_LeaveRecursiveCall();  // (not when the thread is being ended: see Ref)
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

private:
    StillHeld held_;
};

// Around one C API call that cannot throw; false (RecursionError pending) when
// the limit is reached, and then fn is not called.
template <class F>
bool call_within_limit(const char* where, F&& fn) {
    if (Py_EnterRecursiveCall(where)) return false;
    std::forward<F>(fn)();
    Py_LeaveRecursiveCall();
    return true;
}

// Text of an object for messages: str() with unencodable characters replaced
// by U+FFFD; "<unprintable T object>" when str() itself fails.
std::string object_text(PyObject* obj);
// The __qualname__ of the object's type, or empty (an exception pending) when
// it cannot be read.
Ref type_qualname(PyObject* obj);
// UTF-8 of a str with unencodable characters replaced by U+FFFD.
std::string utf8_lossy(PyObject* str);

// Raises the exception that describes the failure being handled. A failure
// that cannot be raised ends the process ("uncaught panic at ffi boundary").
void raise_current();
// As raise_current, then reports it as unraisable (deallocation has no caller).
void report_current_unraisable();

// The call boundary: runs an entry point and turns any failure into a Python
// exception and the slot's failure value.
//
// Only the module's own failures are caught, by type. Python code run during a
// call may end the thread: from 3.11 to 3.13 the interpreter does that, when a
// thread wants it back after finalisation began, by unwinding the thread's
// stack. That unwinding must pass through here untouched, as it passes through
// the interpreter's own functions (a catch-all would stop it, and then the
// process aborts); so nothing on the way is noexcept, and no reference is
// released on the way (see Ref). catching_own runs body and hands every failure
// of the module's own kinds to on_failure, inside the handler.
template <class F, class H>
decltype(auto) catching_own(F&& body, H&& on_failure) {
    try {
        return body();
    } catch (PyError&) {
        return on_failure();
    } catch (const Error&) {
        return on_failure();
    } catch (const Panic&) {
        return on_failure();
    } catch (const std::exception&) {
        return on_failure();
    }
}

template <class R, class F>
R guard_with(R failure, F&& body) {
    return catching_own([&]() -> R { return body(); },
                        [&]() -> R {
                            raise_current();
                            return failure;
                        });
}

template <class F>
PyObject* guard(F&& body) {
    return guard_with<PyObject*>(nullptr, std::forward<F>(body));
}

// As guard, for an entry that counts as one level against the recursion limit
// itself (see RecursionGuard), as a call of a builtin does: one whose frames
// are large and whose body runs Python code.
template <class F>
PyObject* guard_counted(const char* where, F&& body) {
    if (Py_EnterRecursiveCall(where)) return nullptr;  // the RecursionError is pending
    PyObject* result = guard(std::forward<F>(body));
    Py_LeaveRecursiveCall();  // (not reached when the thread is being ended: see guard_with)
    return result;
}

template <class F>
int guard_int(F&& body) {
    return guard_with<int>(-1, std::forward<F>(body));
}

template <class F>
void guard_dealloc(F&& body) {
    catching_own(std::forward<F>(body), [] { report_current_unraisable(); });
}

}  // namespace corvane::py
