// Declarative Python classes over plain records.
//
// A class is described once, by a specialisation of Class<Record> that names it,
// declares its constructor (or none) as Constructor<Param<&Record::field,
// "keyword">...>, and gives its attributes as a PyGetSetDef table: the
// constructor's own (constructor::attributes()) or one built from
// rw<Record, &Record::field>("name"), ro<...> and computed<...> entries. Methods
// are declared one line each with method<Record, "name", function, "keyword"...>.
// Type objects, getters, setters, constructors, text signatures, wrapping and
// deallocation are generated from that description.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "fixed_text.hpp"

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
// thread first needs it should that have failed. Threads may race to make it;
// the first one stored wins and every other is dropped.
template <class Rec>
struct TypeCell {
    static inline std::atomic<PyTypeObject*> type{nullptr};
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
        o.derived.clear();
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

// ---- constructors --------------------------------------------------------------

// One constructor parameter: the record field it sets, and its keyword name.
// Its type is the field's; a parameter whose type is std::optional may be left
// out (it defaults to None), every other one is required.
template <auto Member, Name Keyword>
struct Param;

template <class Rec, class T, T Rec::*Member, Name Keyword>
struct Param<Member, Keyword> {
    using record = Rec;
    using type = T;
    static constexpr auto member = Member;
    static constexpr Name keyword = Keyword;
};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

// How many parameters of these types are required: the leading non-optional
// ones. A required parameter may not follow an optional one.
template <class... Ts>
constexpr std::size_t required_count() {
    constexpr bool optional[] = {is_optional<Ts>..., true};
    std::size_t required = 0;
    while (required < sizeof...(Ts) && !optional[required]) ++required;
    for (std::size_t i = required; i < sizeof...(Ts); ++i) {
        if (!optional[i]) throw "a required parameter follows an optional one";  // not a constant: fails to compile
    }
    return required;
}

template <std::size_t N>
constexpr bool distinct(const std::array<std::string_view, N>& names) {
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 1; j < N; ++j) {
            if (names[i] == names[j]) return false;
        }
    }
    return true;
}

// Whether Rec can be brace-initialised from n values: how many fields an
// aggregate has, to check that a constructor sets every one.
namespace field_count_detail {
struct AnyValue {
    template <class T>
    operator T() const;  // only ever named in unevaluated checks
};
template <class Rec, std::size_t... I>
constexpr bool brace_initialisable(std::index_sequence<I...>) {
    return requires { Rec{(void(I), AnyValue{})...}; };
}
}  // namespace field_count_detail

template <class Rec, std::size_t N>
inline constexpr bool has_exactly_fields =
    field_count_detail::brace_initialisable<Rec>(std::make_index_sequence<N>{}) &&
    !field_count_detail::brace_initialisable<Rec>(std::make_index_sequence<N + 1>{});

// A parameter list's names and the binding description built from them.
template <class Owner, Name Callable, Name... Keywords>
struct ParamNames {
    static constexpr std::size_t count = sizeof...(Keywords);
    static_assert(count <= kMaxParams, "raise kMaxParams");
    static constexpr std::array<std::string_view, count> views{Keywords.view()...};
    static_assert(distinct(views), "two parameters share a keyword");
    static constexpr std::array<const char*, count> names{Keywords.chars...};
    // "Money.__new__()", "AcpClient.get_checkout_session()"
    static constexpr auto display = made_text<[](auto& out) {
        out(Owner::name);
        out(".");
        out(Callable.view());
        out("()");
    }>;
};

// The constructor of a record class, declared once as its parameters in order:
//     Constructor<Param<&Money::amount, "amount">, Param<&Money::currency, "currency">>
// The argument types, their order, the keyword names, the required count and
// the text signature all follow from that list, and it must set every field of
// the record. Each argument is converted in parameter order and stored through
// its member pointer, so the order of the record's fields does not matter.
// It serves both the tuple/dict slot and the vectorcall protocol, which spares
// the interpreter building an argument tuple for every construction.
template <class First, class... Rest>
struct Constructor {
    using Rec = typename First::record;
    static_assert((std::is_same_v<typename Rest::record, Rec> && ...), "every parameter sets a field of one record");
    static_assert(has_exactly_fields<Rec, 1 + sizeof...(Rest)>, "the constructor sets every field of the record");

    using names = ParamNames<Class<Rec>, "__new__", First::keyword, Rest::keyword...>;
    static constexpr std::size_t count = names::count;
    static constexpr std::size_t required = required_count<typename First::type, typename Rest::type...>();
    static constexpr Params params{names::display.c_str(), names::views.data(), count, required};
    // "(amount, currency)"
    static constexpr auto signature =
        made_text<[](auto& out) { write_signature(out, names::views, required, false); }>;

    // Every parameter is a read-write attribute of the same name, in order.
    static constexpr std::array<PyGetSetDef, count + 1> attributes() {
        return {rw<Rec, First::member>(First::keyword.chars), rw<Rec, Rest::member>(Rest::keyword.chars)...,
                PyGetSetDef{}};
    }

    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&] {
            PyObject* slots[count];
            bind_tuple(params, args, kwargs, slots);
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
            PyObject* slots[count];
            bind_fast(params, args, static_cast<Py_ssize_t>(nargsf), kwnames, slots);
            return make(tp, slots);
        });
    }

private:
    static PyObject* make(PyTypeObject* type, PyObject** slots) {
        // Converting one argument can run Python code that drops the caller's
        // borrowed references to the others: hold our own meanwhile.
        const KeepAlive<count> keep(slots);
        Rec rec;
        set<First, Rest...>(rec, slots, std::make_index_sequence<count>{});
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) throw_fetched();
        reinterpret_cast<PyObj<Rec>*>(obj)->value = std::move(rec);
        return obj;
    }

    template <class... Ps, size_t... I>
    static void set(Rec& rec, PyObject** slots, std::index_sequence<I...>) {
        // The comma operator converts the parameters strictly in order.
        ((rec.*Ps::member = convert_arg<typename Ps::type>(slots[I], names::names[I])), ...);
    }
};

// ---- methods ---------------------------------------------------------------------

template <class F>
struct Signature;
template <class... Args>
struct Signature<PyObject* (*)(Args...)> {
    using values = std::tuple<std::remove_cvref_t<Args>...>;
    static constexpr std::size_t count = sizeof...(Args);
    static constexpr std::size_t required = required_count<std::remove_cvref_t<Args>...>();
};

// A method of Rec's class, declared once:
//     method<ClientRecord, "get_checkout_session", get_checkout_session, "session_id">()
// Fn takes the converted arguments by value (their types are its parameter
// types, optional ones defaulting to None) and returns a new reference; the
// text signature follows from the names. A call binds and converts every
// argument in parameter order while it holds shared access to the receiver.
// Nothing takes exclusive access to a receiver whose class has no writable
// attribute, so there that access needs no critical section, and calls on one
// object from several threads run side by side.
template <class Rec, Name MethodName, auto Fn, Name... Keywords>
struct Method {
    using signature = Signature<decltype(Fn)>;
    using names = ParamNames<Class<Rec>, MethodName, Keywords...>;
    static_assert(names::count == signature::count, "one name for each of the function's parameters");
    static constexpr Params params{names::display.c_str(), names::views.data(), names::count, signature::required};
    // "get_checkout_session($self, session_id)\n--\n\n"
    static constexpr auto doc = made_text<[](auto& out) {
        out(MethodName.view());
        write_signature(out, names::views, signature::required, true);
        out("\n--\n\n");
    }>;

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard_counted(" while calling a client method", [&] {
            PyObject* slots[names::count > 0 ? names::count : 1];
            bind_fast(params, args, nargs, kwnames, slots);
            // The caller's references are borrowed, and converting an argument can
            // run Python code that drops them: hold our own for the whole call.
            const KeepAlive<names::count> keep(self, slots);
            auto& receiver_obj = receiver<Rec>(self);
            SharedAccess access(receiver_obj.borrow);
            // Braced initialisation converts the arguments strictly in parameter order.
            auto values = [&]<size_t... I>(std::index_sequence<I...>) {
                return typename signature::values{
                    convert_arg<std::tuple_element_t<I, typename signature::values>>(slots[I], names::names[I])...};
            }(std::make_index_sequence<names::count>{});
            return std::apply(Fn, std::move(values));
        });
    }
};

template <class Rec, Name MethodName, auto Fn, Name... Keywords>
constexpr PyMethodDef method() {
    using M = Method<Rec, MethodName, Fn, Keywords...>;
    return {MethodName.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&M::call)),
            METH_FASTCALL | METH_KEYWORDS, M::doc.c_str()};
}

}  // namespace corvane::py
