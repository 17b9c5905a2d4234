#include "args.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace corvane::py {

namespace {

[[noreturn]] void too_many(const Params& p, Py_ssize_t n) {
    std::string msg = p.display;
    if (p.required == p.count) {
        msg += " takes " + std::to_string(p.count);
    } else {
        msg += " takes from " + std::to_string(p.required) + " to " + std::to_string(p.count);
    }
    msg += " positional arguments but " + std::to_string(n) + (n == 1 ? " was given" : " were given");
    throw_error(PyExc_TypeError, std::move(msg));
}

[[noreturn]] void bound_twice(const Params& p, std::string_view name) {
    throw_error(PyExc_TypeError,
                std::string(p.display) + " got multiple values for argument '" + std::string(name) + "'");
}

// Keeps the interned form of parameter i's name, so that the next call passing
// it (as every keyword written in source does) matches by identity. Only the
// main interpreter's strings are kept: they live as long as the process, where
// one made in another interpreter could die with it and its address be reused.
void remember_interned(const Params& p, Py_ssize_t i) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    PyObject* made = PyUnicode_InternFromString(p.names[i].data());
    if (made == nullptr) {
        PyErr_Clear();  // only a shortcut is lost
        return;
    }
    if (p.interned[i].store_first(made) != made) Py_DECREF(made);
}

void bind_keyword(const Params& p, PyObject* key, PyObject* value, PyObject** slots) {
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        if (p.interned[i].get() != key) continue;
        if (slots[i]) bound_twice(p, p.names[i]);
        slots[i] = value;
        return;
    }
    if (!PyUnicode_Check(key)) throw_conversion_error(key, "PyString");  // verbatim: part of the contract
    Py_ssize_t size = 0;
    const char* text;
    if (PyUnicode_IS_COMPACT_ASCII(key)) {  // every keyword spelt in source is
        text = static_cast<const char*>(PyUnicode_DATA(key));
        size = PyUnicode_GET_LENGTH(key);
    } else {
        text = PyUnicode_AsUTF8AndSize(key, &size);
        if (!text) PyErr_Clear();  // unencodable: no parameter can have that name
    }
    if (text) {
        const std::string_view name(text, static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < p.count; ++i) {
            if (name != p.names[i]) continue;
            if (slots[i]) bound_twice(p, name);
            slots[i] = value;
            if (p.interned[i].get() == nullptr) remember_interned(p, i);
            return;
        }
    }
    throw_error(PyExc_TypeError,
                std::string(p.display) + " got an unexpected keyword argument '" + object_text(key) + "'");
}

void check_missing(const Params& p, Py_ssize_t n, PyObject** slots) {
    if (n >= p.required) return;
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < p.required; ++i) missing += slots[i] == nullptr;
    if (missing == 0) return;
    std::string msg = std::string(p.display) + " missing " + std::to_string(missing) + " required positional " +
                      (missing == 1 ? "argument" : "arguments") + ": ";
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < p.required; ++i) {
        if (slots[i]) continue;
        if (listed > 0) {
            if (missing > 2) msg += ",";
            msg += listed == missing - 1 ? " and " : " ";
        }
        msg += "'";
        msg += p.names[i];
        msg += "'";
        ++listed;
    }
    throw_error(PyExc_TypeError, std::move(msg));
}

}  // namespace

void bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    if (n > p.count) too_many(p, n);
    for (Py_ssize_t i = 0; i < p.count; ++i) slots[i] = i < n ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(p, key, value, slots);
    }
    check_missing(p, n, slots);
}

void bind_keywords(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    if (n > p.count) too_many(p, n);
    for (Py_ssize_t i = 0; i < p.count; ++i) slots[i] = i < n ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t k = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < k; ++i) bind_keyword(p, PyTuple_GET_ITEM(kwnames, i), args[n + i], slots);
    }
    check_missing(p, n, slots);
}

}  // namespace corvane::py
