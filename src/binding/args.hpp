// Binding call arguments to parameters, with the module's exact messages.
#pragma once

#include "ref.hpp"

namespace corvane::py {

// One callable's parameters. Every parameter may be given by position or by
// keyword; the first `required` ones must be given.
struct Params {
    const char* display;  // "Money.__new__()"
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

inline constexpr Py_ssize_t kMaxParams = 9;

// Fills slots[0..count) with borrowed references (nullptr where absent).
void bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots);
void bind_fast(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

}  // namespace corvane::py
