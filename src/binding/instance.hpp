// Python objects of the record classes: the instance layout, the type object
// each class is made into once, and reaching the record inside an object.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "access.hpp"
#include "errors.hpp"
#include "once_cell.hpp"

namespace corvane::py {

// What an object keeps worked out from its record, for a record that calls
// convert often into another form: dropped whenever the record is written.
// Most records keep nothing.
template <class Rec>
struct Derived {
    void clear() noexcept {}
};

// Instance layout: object header, the record held by value, the access
// counter, and what is kept derived from the record.
template <class Rec>
struct PyObj {
    PyObject_HEAD
    Rec value;
    Py_ssize_t borrow;
    [[no_unique_address]] Derived<Rec> derived;
};

template <class Rec>
struct Class;  // specialised per Python class

template <class T>
concept PyClassRecord = requires { Class<T>::name; };

// Everything make_type needs to build one type object.
struct TypeSpec {
    const char* name;
    const char* signature;  // nullptr: the class has no constructor
    int basicsize;
    newfunc tp_new;         // nullptr: "No constructor defined"
    vectorcallfunc vectorcall;
    reprfunc repr;          // nullptr: the interpreter's default
    PyGetSetDef* getset;
    PyMethodDef* methods;
    destructor dealloc;
    allocfunc alloc;
};

// Creates a type object; failures become RuntimeError
// "An error occurred while initializing class <name>" with the cause attached.
PyTypeObject* make_type(const TypeSpec& spec);
// The interpreter's ordinary class call (type.__call__) with vectorcall
// arguments: the type's __new__, then its __init__ if that made an instance.
PyObject* call_class(PyTypeObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);
// Outside registration a type that cannot be made is an internal fault.
[[noreturn]] void type_creation_failed(const char* name);

// A stored type object is never released. On a free-threaded interpreter it
// is made immortal as well: every instance takes and gives back a reference
// to its type, and on one shared counter those would make every core fight
// over the type's first cache line on each allocation and deallocation.
void keep_for_process(PyTypeObject* type) noexcept;

// The class's type object, filled once: at registration, or by whichever
// thread first needs it should that have failed.
template <class Rec>
struct TypeCell {
    constinit static inline OnceCell<PyTypeObject> type;
};

template <class Rec>
void dealloc(PyObject* self) {
    guard_dealloc([&] {
        auto* o = reinterpret_cast<PyObj<Rec>*>(self);
        o->derived.~Derived<Rec>();
        o->value.~Rec();
    });
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

template <class Rec>
PyObject* repr_slot(PyObject* self);

// Every instance holds a constructed record from the moment it is allocated,
// whoever allocates it (object.__new__ included, should Python code replace a
// class's __new__); constructors and wrapping then assign the real value.
template <class Rec>
PyObject* alloc_slot(PyTypeObject* type, Py_ssize_t nitems) {
    static_assert(std::is_nothrow_default_constructible_v<Rec> && std::is_nothrow_move_assignable_v<Rec>);
    static_assert(std::is_nothrow_default_constructible_v<Derived<Rec>>);
    PyObject* obj;
    if (nitems == 0 && !PyType_IS_GC(type)) {
        // Every field is constructed below, so the memory needs no clearing
        // (as PyType_GenericAlloc would give it); PyObject_Init sets the
        // header and takes the reference a heap type's instance holds.
        obj = static_cast<PyObject*>(PyObject_Malloc(static_cast<size_t>(type->tp_basicsize)));
        if (!obj) return PyErr_NoMemory();
        PyObject_Init(obj, type);
    } else {
        obj = PyType_GenericAlloc(type, nitems);
        if (!obj) return nullptr;
    }
    auto* o = reinterpret_cast<PyObj<Rec>*>(obj);
    new (&o->value) Rec();
    o->borrow = 0;
    new (&o->derived) Derived<Rec>();
    return obj;
}

template <class Rec>
TypeSpec type_spec() {
    using C = Class<Rec>;
    TypeSpec s{};
    s.name = C::name;
    s.basicsize = static_cast<int>(sizeof(PyObj<Rec>));
    s.getset = &C::getset[0];
    s.dealloc = &dealloc<Rec>;
    s.alloc = &alloc_slot<Rec>;
    if constexpr (requires { typename C::constructor; }) {
        s.signature = C::constructor::signature.c_str();
        s.tp_new = &C::constructor::tp_new;
        s.vectorcall = &C::constructor::vectorcall;
    }
    if constexpr (requires(const Rec& r) { C::repr(r); }) s.repr = &repr_slot<Rec>;
    if constexpr (requires { C::methods; }) s.methods = C::methods;
    return s;
}

// Makes (or returns) the type object during module registration.
template <class Rec>
PyTypeObject* register_type() {
    if (PyTypeObject* t = TypeCell<Rec>::type.get()) return t;
    PyTypeObject* made = make_type(type_spec<Rec>());
    PyTypeObject* stored = TypeCell<Rec>::type.store_first(made);
    if (stored == made) {
        keep_for_process(made);
    } else {
        Py_DECREF(made);
    }
    return stored;
}

// The class's type object for every later use.
template <class Rec>
PyTypeObject* type_object() {
    if (PyTypeObject* t = TypeCell<Rec>::type.get()) [[likely]]
        return t;
    try {
        return register_type<Rec>();
    } catch (PyError& e) {
        std::move(e).restore();
        type_creation_failed(Class<Rec>::name);
    }
}

template <class Rec>
bool is_instance(PyObject* obj) {
    PyTypeObject* t = type_object<Rec>();
    return Py_TYPE(obj) == t || PyType_IsSubtype(Py_TYPE(obj), t);
}

template <class Rec>
PyObj<Rec>& receiver(PyObject* self) {
    if (!is_instance<Rec>(self)) throw_conversion_error(self, Class<Rec>::name);
    return *reinterpret_cast<PyObj<Rec>*>(self);
}

// A new Python object of the record's class, holding an empty record until
// fill gives it its value. Failing to allocate it is an internal fault.
template <class Rec>
Ref new_instance() {
    PyTypeObject* t = type_object<Rec>();
    PyObject* obj = t->tp_alloc(t, 0);
    if (!obj) panic_with_pending(std::string("could not allocate a ") + Class<Rec>::name + " object");
    return Ref::steal(obj);
}

// Moves v into an object from new_instance and hands the object over; cannot
// fail, so an operation can make its result object first and fill it once it
// has changed something.
template <class Rec>
    requires(!std::is_reference_v<Rec>)
PyObject* fill(Ref obj, Rec&& v) noexcept {
    static_assert(std::is_nothrow_move_assignable_v<Rec>);
    reinterpret_cast<PyObj<Rec>*>(obj.get())->value = std::move(v);
    return obj.release();
}

// The record of an object from new_instance, for an operation to write its
// result into in place. The object is this thread's alone until handed over.
template <class Rec>
Rec& record_of(const Ref& obj) noexcept {
    return reinterpret_cast<PyObj<Rec>*>(obj.get())->value;
}

// A new Python object of the record's class holding v.
template <class Rec>
PyObject* wrap(Rec v) {
    return fill(new_instance<Rec>(), std::move(v));
}

// Runs fn on the record of o, an object of T's class, under shared access to
// it, and on what o keeps derived from it, which fn may fill: no Python code
// runs under the object's lock, so no other thread fills it meanwhile.
template <PyClassRecord T, class F>
decltype(auto) read_record_derived(PyObject* o, F&& fn) {
    if (!is_instance<T>(o)) throw_conversion_error(o, Class<T>::name);
    auto& src = *reinterpret_cast<PyObj<T>*>(o);
    const ObjectLock lock(o);
    SharedAccess access(src.borrow);
    return std::forward<F>(fn)(std::as_const(src.value), src.derived);
}

// Runs fn on the record of o, an object of T's class, under shared access to it.
template <PyClassRecord T, class F>
decltype(auto) read_record(PyObject* o, F&& fn) {
    return read_record_derived<T>(o, [&](const T& v, Derived<T>&) -> decltype(auto) { return fn(v); });
}

}  // namespace corvane::py
