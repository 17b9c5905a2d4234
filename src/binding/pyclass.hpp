// Declarative Python classes over plain records.
//
// A class is described once, by a specialisation of Class<Record> that names it,
// gives its constructor signature (or none), and lists its attributes in a
// PyGetSetDef table built from rw<Record, &Record::field>("name") and
// ro<Record, fn>("name") entries. Type objects, getters, setters, constructors,
// wrapping and deallocation are generated from that description.
#pragma once

#include <atomic>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"

namespace corvane::py {

// Instance layout: object header, the record held by value, the access counter.
template <class Rec>
struct PyObj {
    PyObject_HEAD
    Rec value;
    Py_ssize_t borrow;
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
// thread first needs it should that have failed. Threads may race to make it;
// the first one stored wins and every other is dropped.
template <class Rec>
struct TypeCell {
    static inline std::atomic<PyTypeObject*> type{nullptr};
};

template <class Rec>
void dealloc(PyObject* self) {
    guard_dealloc([&] { reinterpret_cast<PyObj<Rec>*>(self)->value.~Rec(); });
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
    PyObject* obj = PyType_GenericAlloc(type, nitems);
    if (!obj) return nullptr;
    auto* o = reinterpret_cast<PyObj<Rec>*>(obj);
    new (&o->value) Rec();
    o->borrow = 0;
    return obj;
}

template <class Rec>
TypeSpec type_spec() {
    using C = Class<Rec>;
    TypeSpec s{};
    s.name = C::name;
    s.basicsize = static_cast<int>(sizeof(PyObj<Rec>));
    s.getset = C::getset;
    s.dealloc = &dealloc<Rec>;
    s.alloc = &alloc_slot<Rec>;
    if constexpr (requires { C::signature; }) s.signature = C::signature;
    if constexpr (requires { typename C::constructor; }) {
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
    if (PyTypeObject* t = TypeCell<Rec>::type.load(std::memory_order_acquire)) return t;
    PyTypeObject* made = make_type(type_spec<Rec>());
    PyTypeObject* stored = nullptr;
    if (TypeCell<Rec>::type.compare_exchange_strong(stored, made, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
        keep_for_process(made);
        return made;
    }
    Py_DECREF(made);
    return stored;
}

// The class's type object for every later use.
template <class Rec>
PyTypeObject* type_object() {
    if (PyTypeObject* t = TypeCell<Rec>::type.load(std::memory_order_acquire)) [[likely]]
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

// A new Python object of the record's class holding v.
template <class Rec>
PyObject* wrap(Rec v) {
    return fill(new_instance<Rec>(), std::move(v));
}

template <class Rec>
PyObject* repr_slot(PyObject* self) {
    return guard([&] {
        auto& o = receiver<Rec>(self);
        const ObjectLock lock(self);
        SharedAccess access(o.borrow);
        const std::string text = Class<Rec>::repr(o.value);
        return new_str(text);
    });
}

// Own references to a call's receiver (if any) and bound arguments for the
// length of the call. They are released together, as Ref releases one: only
// while this thread still holds the interpreter.
template <size_t N>
class KeepAlive {
public:
    explicit KeepAlive(PyObject* const* slots) noexcept : KeepAlive(nullptr, slots) {}
    KeepAlive(PyObject* self, PyObject* const* slots) noexcept : self_(self) {
        Py_XINCREF(self_);
        for (size_t i = 0; i < N; ++i) {
            refs_[i] = slots[i];
            Py_XINCREF(refs_[i]);
        }
    }
    ~KeepAlive() {
        if (!held_()) [[unlikely]]
            return;
        Py_XDECREF(self_);
        for (size_t i = 0; i < N; ++i) Py_XDECREF(refs_[i]);
    }
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;

private:
    StillHeld held_;
    PyObject* self_;
    PyObject* refs_[N > 0 ? N : 1];
};

// ---- conversions by value type -------------------------------------------

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

template <class T>
struct Conv<std::optional<T>> {
    static std::optional<T> from(PyObject* o) {
        if (!o || o == Py_None) return std::nullopt;
        return Conv<T>::from(o);
    }
    static PyObject* to(const std::optional<T>& v) { return v ? Conv<T>::to(*v) : new_none(); }
};

// Runs fn on the record of o, an object of T's class, under shared access to it.
template <PyClassRecord T, class F>
decltype(auto) read_record(PyObject* o, F&& fn) {
    if (!is_instance<T>(o)) throw_conversion_error(o, Class<T>::name);
    auto& src = *reinterpret_cast<PyObj<T>*>(o);
    const ObjectLock lock(o);
    SharedAccess access(src.borrow);
    return std::forward<F>(fn)(std::as_const(src.value));
}

// A record copied out of (or into) an object of its class.
template <PyClassRecord T>
struct Conv<T> {
    static T from(PyObject* o) {
        return read_record<T>(o, [](const T& v) { return v; });
    }
    static PyObject* to(const T& v) { return wrap<T>(v); }
};

// ---- attribute descriptors -------------------------------------------------

template <class Rec, auto M>
using FieldType = std::remove_cvref_t<decltype(std::declval<Rec&>().*M)>;

template <class Rec, auto M>
PyObject* get_field(PyObject* self, void*) {
    return guard([&] {
        auto& o = receiver<Rec>(self);
        const ObjectLock lock(self);
        SharedAccess access(o.borrow);
        return Conv<FieldType<Rec, M>>::to(o.value.*M);
    });
}

template <class Rec, auto M>
int set_field(PyObject* self, PyObject* value, void*) {
    return guard_int([&] {
        if (!value) throw_error(PyExc_AttributeError, "can't delete attribute");
        FieldType<Rec, M> v = Conv<FieldType<Rec, M>>::from(value);
        auto& o = receiver<Rec>(self);
        const ObjectLock lock(self);
        ExclusiveAccess access(o.borrow);
        o.value.*M = std::move(v);
        return 0;
    });
}

// Read-only attribute computed by fn(const Rec&) -> new reference.
template <class Rec, auto Fn>
PyObject* get_computed(PyObject* self, void*) {
    return guard([&] {
        auto& o = receiver<Rec>(self);
        const ObjectLock lock(self);
        SharedAccess access(o.borrow);
        return Fn(o.value);
    });
}

template <class Rec, auto M>
constexpr PyGetSetDef rw(const char* name) {
    return {name, &get_field<Rec, M>, &set_field<Rec, M>, "", nullptr};
}

template <class Rec, auto M>
constexpr PyGetSetDef ro(const char* name) {
    return {name, &get_field<Rec, M>, nullptr, "", nullptr};
}

template <class Rec, auto Fn>
constexpr PyGetSetDef computed(const char* name) {
    return {name, &get_computed<Rec, Fn>, nullptr, "", nullptr};
}

// ---- arguments ---------------------------------------------------------------

// Converts one bound argument; a TypeError names the parameter.
template <class T>
T convert_arg(PyObject* obj, const char* name) {
    try {
        return Conv<T>::from(obj);
    } catch (PyError& e) {
        throw std::move(e).with_argument_name(name);
    }
}

// Constructor over an aggregate record whose fields are the parameters, in order.
// It serves both the tuple/dict slot and the vectorcall protocol, which spares
// the interpreter building an argument tuple for every construction.
template <class Rec, class... Ts>
struct Constructor {
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&] {
            PyObject* slots[kSlots];
            bind_tuple(Class<Rec>::params, args, kwargs, slots);
            return make(type, slots);
        });
    }

    static PyObject* vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* tp = reinterpret_cast<PyTypeObject*>(type);
        // This shortcut past the interpreter's class call holds only while the
        // class's __new__ and __init__ are its own. Python code can replace
        // either; calling the class is then the ordinary class call, which
        // honours the replacement.
        if (tp->tp_new != &tp_new || tp->tp_init != PyBaseObject_Type.tp_init) [[unlikely]]
            return call_class(tp, args, nargsf, kwnames);
        return guard([&] {
            PyObject* slots[kSlots];
            bind_fast(Class<Rec>::params, args, static_cast<Py_ssize_t>(nargsf), kwnames, slots);
            return make(tp, slots);
        });
    }

private:
    static constexpr size_t kSlots = sizeof...(Ts) > 0 ? sizeof...(Ts) : 1;
    static_assert(sizeof...(Ts) <= kMaxParams);

    static PyObject* make(PyTypeObject* type, PyObject** slots) {
        // Converting one argument can run Python code that drops the caller's
        // borrowed references to the others: hold our own meanwhile.
        const KeepAlive<sizeof...(Ts)> keep(slots);
        Rec rec = build(slots, std::index_sequence_for<Ts...>{});
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) throw_fetched();
        reinterpret_cast<PyObj<Rec>*>(obj)->value = std::move(rec);
        return obj;
    }

    template <size_t... I>
    static Rec build(PyObject** slots, std::index_sequence<I...>) {
        // Braced initialisation converts the parameters strictly in order.
        return Rec{convert_arg<Ts>(slots[I], Class<Rec>::params.names[I])...};
    }
};

}  // namespace corvane::py
