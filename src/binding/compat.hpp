// The few places where the C API differs between CPython versions.
#pragma once

#include "ref.hpp"

namespace corvane::py::compat {

// Takes the pending exception as a normalised (type, value, traceback) triple.
// All three are empty when nothing is pending.
inline void fetch(Ref& type, Ref& value, Ref& tb) noexcept {
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

}  // namespace corvane::py::compat
