#include "errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "compat.hpp"
#include "names.hpp"
#include "once_cell.hpp"

namespace corvane::py {

namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char kGenericPanic[] = "native code panicked without a message";
constexpr const char kWhileMessage[] = " while formatting an error message";

// Made on first need and kept for the process.
constinit OnceCell<PyObject> g_panic_type;

// The exception's qualified name, its doc and every panic text below are
// matched verbatim by callers (on stderr as well): part of the contract.
PyObject* make_panic_exception_type() {
    if (PyObject* t = g_panic_type.get()) return t;
    PyObject* made =
        PyErr_NewExceptionWithDoc("pelorin_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    PyObject* stored = g_panic_type.store_first(made);
    if (stored != made) Py_DECREF(made);
    return stored;
}

// The message of an exception being raised. If the interpreter cannot make
// it, its own error (a MemoryError) stays pending and is raised instead:
// failing to report a failure must never end the process.
Ref message_str(std::string_view s) {
    // Messages are built from valid UTF-8 texts; "replace" only guards.
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Takes a view so that reporting an exhausted C++ heap allocates nothing more.
void raise_panic(std::string_view message) {
    PyObject* type = make_panic_exception_type();
    if (!type) return;  // the interpreter's error from making the type stays pending
    Ref msg = message_str(message);
    if (msg) PyErr_SetObject(type, msg.get());
}

void raise_engine_error(const Error& e) {
    PyObject* type = e.kind == Error::Kind::Value ? PyExc_ValueError : PyExc_RuntimeError;
    Ref msg = message_str(e.message);
    if (msg) PyErr_SetObject(type, msg.get());
}

// Raises the C++ exception being handled, one of the failures the call boundary
// catches.
void raise_handled() {
    try {
        throw;
    } catch (PyError& e) {
        std::move(e).restore();
    } catch (const Error& e) {
        raise_engine_error(e);
    } catch (const Panic& p) {
        raise_panic(p.has_message ? std::string_view(p.message) : std::string_view(kGenericPanic));
    } catch (const std::bad_alloc&) {
        std::fputs("corvane_acp_native: native code panicked: memory allocation failed\n", stderr);
        raise_panic("memory allocation failed");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane_acp_native: native code panicked: %s\n", e.what());
        raise_panic(e.what());
    }
}

[[noreturn]] void uncaught() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

PyError PyError::pending(PyObject* type, std::string message, Ref cause) {
    return PyError(Message{Ref::borrow(type), std::move(message), std::move(cause)});
}

PyError PyError::fetched(Ref type, Ref value, Ref tb) {
    return PyError(Fetched{std::move(type), std::move(value), std::move(tb)});
}

void PyError::restore() && {
    if (Fetched* f = std::get_if<Fetched>(&state_)) {
        compat::restore(std::move(f->type), std::move(f->value), std::move(f->tb));
        return;
    }
    Message& m = std::get<Message>(state_);
    Ref msg = message_str(m.text);
    if (!msg) return;
    if (!m.cause) {
        PyErr_SetObject(m.type.get(), msg.get());
        return;
    }
    Ref exc = Ref::steal(PyObject_CallOneArg(m.type.get(), msg.get()));
    if (!exc) return;  // the interpreter's own error is pending instead
    PyException_SetCause(exc.get(), m.cause.release());
    PyErr_SetObject(m.type.get(), exc.get());
}

std::string PyError::text() const {
    if (const Message* m = std::get_if<Message>(&state_)) return m->text;
    return object_text(std::get<Fetched>(state_).value.get());
}

std::string PyError::describe() const {
    std::string out = reinterpret_cast<PyTypeObject*>(type_of())->tp_name;
    std::string t = text();
    if (!t.empty()) out += ": " + t;
    return out;
}

PyError PyError::with_argument_name(std::string_view name) && {
    if (!is_exactly(PyExc_TypeError)) return std::move(*this);
    std::string msg = "argument '";
    msg.append(name);
    msg += "': ";
    msg += text();
    Ref cause;
    if (Message* m = std::get_if<Message>(&state_)) {
        cause = std::move(m->cause);
    } else if (const Ref& value = std::get<Fetched>(state_).value) {
        cause = Ref::steal(PyException_GetCause(value.get()));
    }
    return pending(PyExc_TypeError, std::move(msg), std::move(cause));
}

[[noreturn]] void throw_error(PyObject* type, std::string message) {
    throw PyError::pending(type, std::move(message));
}

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

[[noreturn]] void throw_fetched() {
    Ref type, value, tb;
    compat::fetch(type, value, tb);
    if (!type) throw_error(PyExc_SystemError, "attempted to fetch exception but none was set");
    // Python code can only have met PanicException if it already exists; making
    // it here, deep in a recursion, say, would only add a failure of its own.
    if (PyObject* panic_type = g_panic_type.get(); panic_type && type.get() == panic_type) {
        std::string msg;
        if (Ref s = Ref::steal(PyObject_Str(value.get()))) {
            msg = utf8_lossy(s.get());  // whole, NUL characters included
        } else {
            PyErr_Clear();
            msg = "Unwrapped panic from Python code";
        }
        std::fputs("--- Pelorin is resuming a panic after fetching a PanicException from Python. ---\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        compat::restore(std::move(type), std::move(value), std::move(tb));
        PyErr_PrintEx(0);
        resume_panic(std::move(msg));
    }
    throw PyError::fetched(std::move(type), std::move(value), std::move(tb));
}

[[noreturn]] void api_call_failed() {
    if (PyErr_Occurred()) PyErr_Print();
    panic("Python API call failed");
}

[[noreturn]] void panic_with_pending(std::string_view step) {
    Ref type, value, tb;
    compat::fetch(type, value, tb);
    std::string msg(step);
    if (type) msg += ": " + PyError::fetched(std::move(type), std::move(value), std::move(tb)).describe();
    panic(std::move(msg));
}

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(p, static_cast<size_t>(size));
    PyErr_Clear();
    std::string out;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        append_utf8(out, c);
    }
    return out;
}

Ref type_qualname(PyObject* obj) {
    PyObject* name = nullptr;
    call_within_limit(kWhileMessage, [&] {
        name = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), names::qualname());
    });
    return Ref::steal(name);
}

std::string object_text(PyObject* obj) {
    PyObject* str = nullptr;
    call_within_limit(kWhileMessage, [&] { str = PyObject_Str(obj); });
    if (Ref s = Ref::steal(str)) return utf8_lossy(s.get());
    PyErr_WriteUnraisable(obj);
    Ref name = type_qualname(obj);
    if (name && PyUnicode_Check(name.get())) return "<unprintable " + utf8_lossy(name.get()) + " object>";
    PyErr_Clear();
    return "<unprintable object>";
}

// Like the call boundary, these catch only the module's own failures: the
// unwinding that ends a thread passes through.
void raise_current() {
    catching_own([] { raise_handled(); }, [] { uncaught(); });
}

void report_current_unraisable() {
    catching_own(
        [] {
            raise_handled();
            PyErr_WriteUnraisable(nullptr);
        },
        [] { uncaught(); });
}

}  // namespace corvane::py
