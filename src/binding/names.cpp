#include "names.hpp"

#include <atomic>

#include "errors.hpp"

namespace corvane::py::names {

namespace {
// Made on first need and kept for the process. Threads may race to make one;
// the first stored wins and the others are dropped.
PyObject* interned(std::atomic<PyObject*>& cell, const char* text) {
    if (PyObject* s = cell.load(std::memory_order_acquire)) [[likely]]
        return s;
    PyObject* made = must(PyUnicode_InternFromString(text));
    PyObject* stored = nullptr;
    if (cell.compare_exchange_strong(stored, made, std::memory_order_acq_rel, std::memory_order_acquire)) return made;
    Py_DECREF(made);
    return stored;
}
std::atomic<PyObject*> g_qualname{nullptr};
std::atomic<PyObject*> g_all{nullptr};
std::atomic<PyObject*> g_name{nullptr};
}  // namespace

PyObject* qualname() { return interned(g_qualname, "__qualname__"); }
PyObject* all() { return interned(g_all, "__all__"); }
PyObject* name() { return interned(g_name, "__name__"); }

}  // namespace corvane::py::names
