// Interned Python strings the binding layer uses again and again.
#pragma once

#include "ref.hpp"

namespace corvane::py::names {

PyObject* qualname();
PyObject* all();

}  // namespace corvane::py::names
