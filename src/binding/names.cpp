#include "names.hpp"

#include "errors.hpp"
#include "once_cell.hpp"

namespace corvane::py::names {

namespace {
// Made on first need and kept for the process.
PyObject* interned(OnceCell<PyObject>& cell, const char* text) {
    if (PyObject* s = cell.get()) [[likely]]
        return s;
    PyObject* made = must(PyUnicode_InternFromString(text));
    PyObject* stored = cell.store_first(made);
    if (stored != made) Py_DECREF(made);
    return stored;
}
constinit OnceCell<PyObject> g_qualname;
constinit OnceCell<PyObject> g_all;
}  // namespace

PyObject* qualname() { return interned(g_qualname, "__qualname__"); }
PyObject* all() { return interned(g_all, "__all__"); }

}  // namespace corvane::py::names
