// Conversions between Python objects and plain values, and the per-object
// access discipline (shared or exclusive) that every receiver goes through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../records/values.hpp"
#include "errors.hpp"

namespace corvane::py {

// TypeError "'T' object cannot be converted to 'target'".
[[noreturn]] void throw_conversion_error(PyObject* obj, std::string_view target);

// The access counter every instance carries: 0 free, n > 0 shared, -1 exclusive.
class SharedAccess {
public:
    explicit SharedAccess(Py_ssize_t& counter) : c_(counter) {
        if (c_ == -1) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        ++c_;
    }
    ~SharedAccess() { --c_; }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    Py_ssize_t& c_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(Py_ssize_t& counter) : c_(counter) {
        if (c_ != 0) throw_error(PyExc_RuntimeError, "Already borrowed");
        c_ = -1;
    }
    ~ExclusiveAccess() { c_ = 0; }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    Py_ssize_t& c_;
};

// Python -> plain value.
std::int64_t to_i64(PyObject* obj);
std::int32_t to_i32(PyObject* obj);
std::string to_text(PyObject* obj);

// Plain value -> new Python object (a failure here is an internal fault).
static_assert(sizeof(long) == sizeof(std::int64_t), "the module assumes an LP64 platform");
inline PyObject* new_int(std::int64_t v) { return must(PyLong_FromLong(static_cast<long>(v))); }
inline PyObject* new_str(std::string_view s) {
    return must(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline PyObject* new_none() { Py_RETURN_NONE; }

}  // namespace corvane::py
