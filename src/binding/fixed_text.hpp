// Texts made at compile time: names given as template arguments, and the
// messages and signatures built from them.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace corvane::py {

// A string literal usable as a template argument: Param<&Money::amount, "amount">.
template <std::size_t N>
struct Name {
    char chars[N]{};
    constexpr Name(const char (&text)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    constexpr std::string_view view() const noexcept { return {chars, N - 1}; }
};

// A NUL-terminated text of exactly N characters.
template <std::size_t N>
struct FixedText {
    char chars[N + 1]{};
    constexpr const char* c_str() const noexcept { return chars; }
};

namespace text_detail {
struct Counter {
    std::size_t size = 0;
    constexpr void operator()(std::string_view s) noexcept { size += s.size(); }
};
struct Writer {
    char* out;
    constexpr void operator()(std::string_view s) noexcept {
        for (char c : s) *out++ = c;
    }
};
}  // namespace text_detail

// The text that Build writes: Build(sink) hands its pieces, in order, to
// sink(std::string_view). It runs twice at compile time, to size and to fill.
template <auto Build>
inline constexpr auto made_text = [] {
    constexpr std::size_t size = [] {
        text_detail::Counter count;
        Build(count);
        return count.size;
    }();
    FixedText<size> text;
    text_detail::Writer write{text.chars};
    Build(write);
    return text;
}();

// "(a, b=None)", or "($self, a, b=None)" for a method: every parameter past the
// required ones defaults to None.
template <class Sink, std::size_t N>
constexpr void write_signature(Sink& out, const std::array<std::string_view, N>& names, std::size_t required,
                               bool method) {
    out("(");
    if (method) out(N > 0 ? "$self, " : "$self");
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) out(", ");
        out(names[i]);
        if (i >= required) out("=None");
    }
    out(")");
}

}  // namespace corvane::py
