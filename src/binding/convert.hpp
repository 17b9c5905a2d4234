// Every conversion between Python objects and plain values: the scalar ones,
// borrowed and owned texts, optional values, and records copied out of (or
// into) the objects of their classes. A parameter's or attribute's type picks
// its conversion through Conv<T>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "instance.hpp"

namespace corvane::py {

// Python -> plain value.
std::int64_t to_i64(PyObject* obj);
std::int32_t to_i32(PyObject* obj);
std::string to_text(PyObject* obj);
// A str's UTF-8 form, borrowed from the object (which keeps it for its
// lifetime); fails exactly as to_text does.
inline std::string_view text_view(PyObject* obj) {
    // "PyString" (as "PyList", "Sequence" and the other odd names in the
    // module's messages) is matched verbatim by callers: part of the contract.
    if (!PyUnicode_Check(obj)) throw_conversion_error(obj, "PyString");
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!p) throw_fetched();
    return {p, static_cast<size_t>(size)};
}

// Plain value -> new Python object (a failure here is an internal fault).
static_assert(sizeof(long) == sizeof(std::int64_t), "the module assumes an LP64 platform");
inline PyObject* new_int(std::int64_t v) { return must(PyLong_FromLong(static_cast<long>(v))); }
inline PyObject* new_str(std::string_view s) {
    return must(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// A new str of n characters that write puts in place; they must all be ASCII
// (no decoding pass looks at them).
template <class Write>
PyObject* new_ascii(std::size_t n, Write&& write) {
    PyObject* s = must(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    std::forward<Write>(write)(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s)));
    return s;
}
inline PyObject* new_none() { Py_RETURN_NONE; }

template <class T>
struct Conv;

template <>
struct Conv<std::int64_t> {
    static std::int64_t from(PyObject* o) { return to_i64(o); }
    static PyObject* to(std::int64_t v) { return new_int(v); }
};

template <>
struct Conv<std::int32_t> {
    static std::int32_t from(PyObject* o) { return to_i32(o); }
    static PyObject* to(std::int32_t v) { return new_int(v); }
};

template <>
struct Conv<std::string> {
    static std::string from(PyObject* o) { return to_text(o); }
    static PyObject* to(const std::string& v) { return new_str(v); }
};

// A text borrowed from the argument: the caller keeps the object alive for
// the whole call, so no copy is made.
template <>
struct Conv<std::string_view> {
    static std::string_view from(PyObject* o) { return text_view(o); }
};

template <class T>
struct Conv<std::optional<T>> {
    static std::optional<T> from(PyObject* o) {
        if (!o || o == Py_None) return std::nullopt;
        return Conv<T>::from(o);
    }
    static PyObject* to(const std::optional<T>& v) { return v ? Conv<T>::to(*v) : new_none(); }
};

// A record copied out of (or into) an object of its class.
template <PyClassRecord T>
struct Conv<T> {
    static T from(PyObject* o) {
        return read_record<T>(o, [](const T& v) { return v; });
    }
    static PyObject* to(const T& v) { return wrap<T>(v); }
};

}  // namespace corvane::py
