#include "convert.hpp"

#include <climits>

namespace corvane::py {

std::int64_t to_i64(PyObject* obj) {
    long v;
    if (PyLong_CheckExact(obj)) {
        v = PyLong_AsLong(obj);
    } else {
        PyObject* index = nullptr;
        call_within_limit(" while converting an integer", [&] { index = PyNumber_Index(obj); });
        Ref idx = Ref::steal(index);
        if (!idx) throw_fetched();
        v = PyLong_AsLong(idx.get());
    }
    if (v == -1 && PyErr_Occurred()) throw_fetched();
    return static_cast<std::int64_t>(v);
}

std::int32_t to_i32(PyObject* obj) {
    const std::int64_t v = to_i64(obj);
    if (v < INT32_MIN || v > INT32_MAX) throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(v);
}

std::string to_text(PyObject* obj) {
    return std::string(text_view(obj));
}

}  // namespace corvane::py
