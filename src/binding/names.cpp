#include "names.hpp"

#include "errors.hpp"

namespace corvane::py::names {

namespace {
PyObject* interned(PyObject*& cell, const char* text) {
    if (!cell) cell = must(PyUnicode_InternFromString(text));
    return cell;
}
PyObject* g_qualname = nullptr;
PyObject* g_all = nullptr;
PyObject* g_name = nullptr;
}  // namespace

PyObject* qualname() { return interned(g_qualname, "__qualname__"); }
PyObject* all() { return interned(g_all, "__all__"); }
PyObject* name() { return interned(g_name, "__name__"); }

}  // namespace corvane::py::names
