#include "pyclass.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "compat.hpp"

namespace corvane::py {

namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return guard([]() -> PyObject* { throw_error(PyExc_TypeError, "No constructor defined"); });
}

// A RuntimeError naming the class, caused by the pending exception.
[[noreturn]] void init_failed(const char* name) {
    Ref type, value, tb;
    compat::fetch(type, value, tb);
    if (!type) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        compat::fetch(type, value, tb);
    }
    throw PyError::pending(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + name,
                           std::move(value));
}

}  // namespace

PyTypeObject* make_type(const TypeSpec& spec) {
    std::string doc;
    if (spec.signature) {
        doc = std::string(spec.name) + spec.signature + "\n--\n\n";
        if (doc.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
            init_failed(spec.name);
        }
    }

    // Every slot a class can have; those left empty are dropped. The array
    // handed over is sized from this list, terminator included.
    const PyType_Slot wanted[] = {
        {Py_tp_doc, doc.empty() ? nullptr : const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(spec.tp_new ? spec.tp_new : &no_constructor)},
        {Py_tp_repr, reinterpret_cast<void*>(spec.repr)},
        {Py_tp_methods, spec.methods},
        {Py_tp_getset, spec.getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
        {Py_tp_alloc, reinterpret_cast<void*>(spec.alloc)},
    };
    PyType_Slot slots[std::size(wanted) + 1];
    std::size_t n = 0;
    for (const PyType_Slot& slot : wanted) {
        if (slot.pfunc) slots[n++] = slot;
    }
    slots[n] = {0, nullptr};

    const std::string qualified = std::string("builtins.") + spec.name;
    PyType_Spec type_spec{compat::type_spec_name(qualified), spec.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) init_failed(spec.name);
    auto* tp = reinterpret_cast<PyTypeObject*>(type);

    if (spec.vectorcall) tp->tp_vectorcall = spec.vectorcall;
    if (!doc.empty()) {
        // The interpreter strips the signature line from a heap type's doc;
        // putting the whole text back keeps __text_signature__ available.
        char* copy = compat::doc_alloc(doc.size() + 1);
        if (!copy) {
            Py_DECREF(type);
            PyErr_NoMemory();
            init_failed(spec.name);
        }
        std::memcpy(copy, doc.c_str(), doc.size() + 1);
        compat::doc_free(tp->tp_doc);
        tp->tp_doc = copy;
    }
    return tp;
}

void keep_for_process(PyTypeObject* type) noexcept {
#ifdef Py_GIL_DISABLED
    // The thread that made the type owns it; there a count above UINT32_MAX
    // makes the object immortal.
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(type), static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#else
    (void)type;
#endif
}

PyObject* call_class(PyTypeObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
        Ref tuple = Ref::steal(PyTuple_New(n));
        if (!tuple) throw_fetched();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(tuple.get(), i, args[i]);
        }
        Ref kwargs;
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
            kwargs = Ref::steal(PyDict_New());
            if (!kwargs) throw_fetched();
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
                if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[n + i]) < 0) throw_fetched();
            }
        }
        // Straight to the metatype's slot: calling the type object again would
        // come back here through its vectorcall.
        PyObject* result = nullptr;
        call_within_limit(" while calling a Python object", [&] {
            result = Py_TYPE(type)->tp_call(reinterpret_cast<PyObject*>(type), tuple.get(), kwargs.get());
        });
        return result;  // on failure the interpreter's exception is pending, and passes through
    });
}

[[noreturn]] void type_creation_failed(const char* name) {
    PyErr_PrintEx(0);
    panic(std::string("failed to create type object for ") + name);
}

}  // namespace corvane::py
