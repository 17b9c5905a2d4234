// Module entry point: builds the module object once per process, registers
// every class in its fixed order, then `version` and `__version__`.
#include "binding/compat.hpp"
#include "binding/names.hpp"
#include "binding/once_cell.hpp"
#include "records/classes.hpp"

namespace corvane::py {

namespace {

constexpr const char kVersion[] = "1.0.0";

// The module object of this process, stored once initialisation has succeeded.
constinit OnceCell<PyObject> g_module;

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "corvane_acp_native", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

PyObject* version(PyObject*, PyObject*) {
    return guard([] { return new_str(kVersion); });
}

PyMethodDef g_version_def = {"version", version, METH_NOARGS, "version()\n--\n\nGet library version"};

// Appends the name to the module's __all__ and sets the attribute.
void register_name(PyObject* module, std::string_view name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttr(module, names::all()));
    if (!all) {
        Ref type, val, tb;
        compat::fetch(type, val, tb);
        if (!PyErr_GivenExceptionMatches(type.get(), PyExc_AttributeError)) {
            compat::restore(std::move(type), std::move(val), std::move(tb));
            throw_fetched();
        }
        all = Ref::steal(must(PyList_New(0)));
        if (PyObject_SetAttr(module, names::all(), all.get()) < 0) throw_fetched();
    } else if (!PyList_Check(all.get())) {
        throw_conversion_error(all.get(), "PyList");  // verbatim: part of the contract
    }
    Ref key = Ref::steal(new_str(name));
    if (PyList_Append(all.get(), key.get()) < 0) {
        panic_with_pending("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, key.get(), value) < 0) throw_fetched();
}

template <class Rec>
void register_class(PyObject* module) {
    PyTypeObject* t = register_type<Rec>();
    register_name(module, Class<Rec>::name, reinterpret_cast<PyObject*>(t));
}

void module_body(PyObject* m) {
    register_class<Money>(m);
    register_class<Address>(m);
    register_class<Customer>(m);
    register_class<LineItem>(m);
    register_class<Totals>(m);
    register_class<CheckoutSession>(m);
    register_class<Order>(m);
    register_class<SessionWithOrder>(m);
    register_class<RequestItem>(m);
    register_class<PaymentRequest>(m);
    register_class<ClientRecord>(m);

    const char* module_name = PyModule_GetName(m);
    if (!module_name) throw_fetched();
    Ref name_str = Ref::steal(PyUnicode_DecodeUTF8(module_name, static_cast<Py_ssize_t>(strlen(module_name)), nullptr));
    if (!name_str) panic_with_pending("PyModule_GetName expected to return utf8");
    Ref fn = Ref::steal(must(PyCFunction_NewEx(&g_version_def, m, name_str.get())));
    register_name(m, g_version_def.ml_name, fn.get());

    Ref v = Ref::steal(new_str(kVersion));
    register_name(m, "__version__", v.get());
}

PyObject* init() {
    if (g_module.get()) {
        // The text, names and all, is matched verbatim by callers: part of the contract.
        throw_error(PyExc_ImportError,
                    "Pelorin modules compiled for CPython 3.8 or older may only be initialized once per interpreter "
                    "process");
    }
    Ref m = Ref::steal(PyModule_Create2(&g_def, 1013));
    if (!m) throw_fetched();
    module_body(m.get());
#ifdef Py_GIL_DISABLED
    // Every shared cell is made once, safely; records are serialised per
    // object and the store by its own lock: the module needs no GIL.
    if (PyUnstable_Module_SetGIL(m.get(), Py_MOD_GIL_NOT_USED) < 0) throw_fetched();
#endif
    PyObject* stored = g_module.store_first(m.get());
    if (stored == m.get()) m.release();
    return Ref::borrow(stored).release();
}

}  // namespace

}  // namespace corvane::py

PyMODINIT_FUNC PyInit_corvane_acp_native() {
    return corvane::py::guard([] { return corvane::py::init(); });
}
