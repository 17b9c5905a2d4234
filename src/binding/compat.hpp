// The few places where the C API differs between CPython versions.
#pragma once

#include <forward_list>
#include <string>

#include "ref.hpp"

namespace corvane::py::compat {

// Takes the pending exception as a normalised (type, value, traceback) triple.
// All three are empty when nothing is pending. Normalising can run Python code
// (an exception class of its own), so this may unwind like any such call.
inline void fetch(Ref& type, Ref& value, Ref& tb) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        type = value = tb = Ref();
        return;
    }
    type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    tb = Ref::steal(PyException_GetTraceback(exc));
    value = Ref::steal(exc);
#else
    PyObject *t = nullptr, *v = nullptr, *b = nullptr;
    PyErr_Fetch(&t, &v, &b);
    if (t) {
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v) PyException_SetTraceback(v, b);
    }
    type = Ref::steal(t);
    value = Ref::steal(v);
    tb = Ref::steal(b);
#endif
}

// Makes (type, value, traceback) the pending exception again.
inline void restore(Ref type, Ref value, Ref tb) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)type;
    (void)tb;
    PyErr_SetRaisedException(value.release());
#else
    PyErr_Restore(type.release(), value.release(), tb.release());
#endif
}

// The name to give PyType_FromSpec. Before 3.11 the new type keeps pointing
// at that text as its tp_name instead of copying it, so there the text must
// outlive the type: it is kept for the life of the process, as the type
// objects are.
inline const char* type_spec_name(const std::string& qualified) {
#if PY_VERSION_HEX < 0x030B0000
    static std::forward_list<std::string> kept;
    return kept.emplace_front(qualified).c_str();
#else
    return qualified.c_str();
#endif
}

// The allocator behind a heap type's tp_doc: the interpreter frees the text
// with the matching function when the type goes away. From 3.13 on it is the
// PyMem family (non-object memory), before that the PyObject family.
inline char* doc_alloc(size_t size) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return static_cast<char*>(PyMem_Malloc(size));
#else
    return static_cast<char*>(PyObject_Malloc(size));
#endif
}

inline void doc_free(const char* doc) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyMem_Free(const_cast<char*>(doc));
#else
    PyObject_Free(const_cast<char*>(doc));
#endif
}

}  // namespace corvane::py::compat
