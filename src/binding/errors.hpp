// Python failures as C++ values, and the call boundary that turns every
// failure of an entry point into a Python exception.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "../engine/failure.hpp"
#include "ref.hpp"

namespace corvane::py {

// A Python exception waiting to be raised: either pending-style (an exception
// type plus a message, turned into an exception only when raised) or fetched
// from the interpreter (a normalised exception object).
class PyError {
public:
    static PyError pending(PyObject* type, std::string message, Ref cause = {});
    static PyError fetched(Ref type, Ref value, Ref tb);

    // Makes this error the interpreter's pending exception.
    void restore() &&;

    bool is_exactly(PyObject* type) const noexcept { return type_.get() == type; }
    bool matches(PyObject* type) const noexcept;
    // str() of the exception value (or the pending message).
    std::string text() const;
    // A TypeError raised while converting parameter `name` is replaced by one
    // that names the argument; every other error passes unchanged.
    PyError with_argument_name(std::string_view name) &&;
    // Description used in panic messages: "TypeName: text".
    std::string describe() const;

private:
    Ref type_;
    Ref value_;  // fetched only
    Ref tb_;     // fetched only
    Ref cause_;  // pending only
    std::string message_;
    bool pending_ = false;
};

// Throws the pending-style error.
[[noreturn]] void throw_error(PyObject* type, std::string message);
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

// Text of an object for messages: str() with unencodable characters replaced
// by U+FFFD; "<unprintable T object>" when str() itself fails.
std::string object_text(PyObject* obj);
// UTF-8 of a str with unencodable characters replaced by U+FFFD.
std::string utf8_lossy(PyObject* str);

// The module's PanicException type (made on first need).
PyObject* panic_exception_type();

// Raises the exception that describes the failure being handled.
void raise_current() noexcept;
// As raise_current, then reports it as unraisable (deallocation has no caller).
void report_current_unraisable() noexcept;

// The call boundary: runs an entry point and turns any failure into a Python
// exception and the slot's failure value.
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current();
        return nullptr;
    }
}

template <class F>
int guard_int(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current();
        return -1;
    }
}

template <class F>
void guard_dealloc(F&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_current_unraisable();
    }
}

}  // namespace corvane::py
