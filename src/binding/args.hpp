// Binding call arguments to parameters, with the module's exact messages.
#pragma once

#include <string_view>

#include "once_cell.hpp"
#include "ref.hpp"

namespace corvane::py {

// One callable's parameters. Every parameter may be given by position or by
// keyword; the first `required` ones must be given.
struct Params {
    const char* display;  // "Money.__new__()"
    const std::string_view* names;
    Py_ssize_t count;
    Py_ssize_t required;
    // One cell per name: the interned name once a call has matched it by text
    // (in the main interpreter). A keyword spelt in source is that same
    // interned object, so later calls match it by identity.
    OnceCell<PyObject>* interned;
};

inline constexpr Py_ssize_t kMaxParams = 9;

// Fills slots[0..count) with borrowed references (nullptr where absent).
void bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots);
void bind_keywords(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// The common call, every argument given by position and enough of them, binds
// inline; anything else goes through bind_keywords.
inline void bind_fast(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** slots) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    if (kwnames == nullptr && n >= p.required && n <= p.count) {
        for (Py_ssize_t i = 0; i < p.count; ++i) slots[i] = i < n ? args[i] : nullptr;
        return;
    }
    bind_keywords(p, args, nargs, kwnames, slots);
}

}  // namespace corvane::py
