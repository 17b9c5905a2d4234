#include "convert.hpp"

#include <climits>

namespace corvane::py {

[[noreturn]] void throw_conversion_error(PyObject* obj, std::string_view target) {
    std::string type_name;
    Ref q = type_qualname(obj);
    if (q && PyUnicode_Check(q.get())) {
        type_name = utf8_lossy(q.get());
    } else {
        PyErr_Clear();
        type_name = "<failed to extract type name>";
    }
    std::string msg = "'" + type_name + "' object cannot be converted to '";
    msg.append(target);
    msg += "'";
    throw_error(PyExc_TypeError, std::move(msg));
}

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
    if (!PyUnicode_Check(obj)) throw_conversion_error(obj, "PyString");
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!p) throw_fetched();
    return std::string(p, static_cast<size_t>(size));
}

}  // namespace corvane::py
