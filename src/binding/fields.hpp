// What the compiler can tell of a record's fields, for the checks that tie a
// class's declaration to its record: how many fields it has, what a field is
// called, and which of two fields is declared first.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace corvane::py {

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

// The name of the field Member points to, as declared: "tax" for &Totals::tax.
// The compiler spells the template argument out in the function's own name.
template <auto Member>
consteval std::string_view member_name() {
    std::string_view text = __PRETTY_FUNCTION__;  // "... [with auto Member = &corvane::Totals::tax; ...]"
    text.remove_prefix(text.find("Member = ") + 9);
    text = text.substr(0, text.find_first_of(";]"));
    return text.substr(text.rfind("::") + 2);
}

namespace field_order_detail {
// Room for a Rec that never holds one: the fields' addresses are taken, never
// their values, so no record is constructed (or destroyed) at compile time.
template <class Rec>
union Room {
    char none;
    Rec rec;
    constexpr Room() noexcept : none() {}
    constexpr ~Room() {}
};
}  // namespace field_order_detail

// Whether field A of Rec is declared before field B.
template <class Rec, class TA, class TB>
consteval bool declared_before(TA Rec::*a, TB Rec::*b) {
    field_order_detail::Room<Rec> room;
    return static_cast<const void*>(&(room.rec.*a)) < static_cast<const void*>(&(room.rec.*b));
}

}  // namespace corvane::py
