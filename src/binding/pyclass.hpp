// Declarative Python classes over plain records.
//
// A class is described once, by a specialisation of Class<Record> that names it,
// declares its constructor (or none) as Constructor<Param<&Record::field,
// "keyword">...>, and gives its attributes as a PyGetSetDef table: the
// constructor's own (constructor::attributes()) or, for a class without one,
// attribute_table<Field<&Record::field, "field">, ...> (see Attributes). Both
// are checked against the record when they compile. Methods are declared one
// line each with method<Record, "name", function, "keyword"...>. Type objects,
// getters, setters, constructors, text signatures, wrapping and deallocation
// are generated from that description; the instance layout and the type
// objects are in instance.hpp, every conversion in convert.hpp.
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

#include "access.hpp"
#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "fields.hpp"
#include "fixed_text.hpp"
#include "instance.hpp"

namespace corvane::py {

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
    static_assert(member_name<Member>() == Keyword.view(), "a parameter is named after the field it sets");
    using record = Rec;
    using type = T;
    static constexpr auto member = Member;
    static constexpr Name keyword = Keyword;
};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

// Whether no required parameter (of a type other than std::optional) follows
// an optional one.
template <class... Ts>
constexpr bool required_before_optional() {
    constexpr bool optional[] = {is_optional<Ts>..., true};
    for (std::size_t i = 1; i < sizeof...(Ts); ++i) {
        if (optional[i - 1] && !optional[i]) return false;
    }
    return true;
}

// How many parameters of these types are required: the leading non-optional
// ones.
template <class... Ts>
constexpr std::size_t required_count() {
    static_assert(required_before_optional<Ts...>(), "a required parameter follows an optional one");
    constexpr bool optional[] = {is_optional<Ts>..., true};
    std::size_t required = 0;
    while (required < sizeof...(Ts) && !optional[required]) ++required;
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

// A parameter list's names and the binding description built from them.
template <class Owner, Name Callable, Name... Keywords>
struct ParamNames {
    static constexpr std::size_t count = sizeof...(Keywords);
    static_assert(count <= kMaxParams, "raise kMaxParams");
    static constexpr std::array<std::string_view, count> views{Keywords.view()...};
    static_assert(distinct(views), "two parameters share a keyword");
    static constexpr std::array<const char*, count> names{Keywords.chars...};
    static constinit inline OnceCell<PyObject> interned[count > 0 ? count : 1]{};
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
    static constexpr Params params{names::display.c_str(), names::views.data(), count, required, names::interned};
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

// ---- attribute tables of the classes without a constructor ---------------------

// A class that has no constructor declares its attributes once, in order, as
//     Attributes<Field<&Totals::subtotal, "subtotal">, Field<&Totals::tax, "tax">, ...>
// Each entry shows one field of the record under the field's own name:
// Field read-write, ReadOnly read-only, and Shown read-only, rendered by
// Fn(const Rec&) (a new reference). Computed is read-only and rendered from the
// record as a whole under a name of its own, for what follows from other
// fields (a session's totals from its items). The fields shown must be every
// field of the record, each once, in the record's order; each of these rules
// fails to compile with a message that names it.
// What every entry that shows a field has: the field, its attribute name, and
// the check that the one is named after the other.
template <class Rec, auto Member, Name Keyword>
struct ShowsField {
    static_assert(member_name<Member>() == Keyword.view(), "an attribute is named after the field it shows");
    using record = Rec;
    static constexpr bool shows_field = true;
    static constexpr auto member = Member;
    static constexpr Name keyword = Keyword;
};

template <auto Member, Name Keyword>
struct Field;
template <class Rec, class T, T Rec::*Member, Name Keyword>
struct Field<Member, Keyword> : ShowsField<Rec, Member, Keyword> {
    static constexpr PyGetSetDef def() { return rw<Rec, Member>(Keyword.chars); }
};

template <auto Member, Name Keyword>
struct ReadOnly;
template <class Rec, class T, T Rec::*Member, Name Keyword>
struct ReadOnly<Member, Keyword> : ShowsField<Rec, Member, Keyword> {
    static constexpr PyGetSetDef def() { return ro<Rec, Member>(Keyword.chars); }
};

template <auto Member, Name Keyword, auto Fn>
struct Shown;
template <class Rec, class T, T Rec::*Member, Name Keyword, PyObject* (*Fn)(const Rec&)>
struct Shown<Member, Keyword, Fn> : ShowsField<Rec, Member, Keyword> {
    static constexpr PyGetSetDef def() { return computed<Rec, Fn>(Keyword.chars); }
};

template <Name Keyword, auto Fn>
struct Computed;
template <Name Keyword, class Rec, PyObject* (*Fn)(const Rec&)>
struct Computed<Keyword, Fn> {
    using record = Rec;
    static constexpr bool shows_field = false;
    static constexpr Name keyword = Keyword;
    static constexpr PyGetSetDef def() { return computed<Rec, Fn>(Keyword.chars); }
};

namespace attributes_detail {
// Whether entry A's field comes before entry B's (true unless both show one).
template <class A, class B>
consteval bool field_before() {
    if constexpr (A::shows_field && B::shows_field) {
        return declared_before(A::member, B::member);
    } else {
        return true;
    }
}
template <class A, class... Later>
consteval bool in_field_order() {
    if constexpr (sizeof...(Later) == 0) {
        return true;
    } else {
        return (field_before<A, Later>() && ...) && in_field_order<Later...>();
    }
}
}  // namespace attributes_detail

template <class First, class... Rest>
struct Attributes {
    using Rec = typename First::record;
    static_assert((std::is_same_v<typename Rest::record, Rec> && ...), "every attribute belongs to one record");
    static constexpr std::size_t count = 1 + sizeof...(Rest);
    static constexpr std::array<std::string_view, count> names{First::keyword.view(), Rest::keyword.view()...};
    static_assert(distinct(names), "two attributes share a name");
    static_assert(attributes_detail::in_field_order<First, Rest...>(),
                  "the attributes show the record's fields in the record's order");
    static_assert(has_exactly_fields<Rec, (std::size_t{First::shows_field} + ... + std::size_t{Rest::shows_field})>,
                  "the attributes show every field of the record");

    static constexpr std::array<PyGetSetDef, count + 1> table() { return {First::def(), Rest::def()..., PyGetSetDef{}}; }
};

// The table of a class without a constructor, kept for the process.
template <class... Entries>
constinit inline auto attribute_table = Attributes<Entries...>::table();

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
    static constexpr Params params{names::display.c_str(), names::views.data(), names::count, signature::required,
                                   names::interned};
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
