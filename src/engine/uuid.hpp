// A session's or an order's identifier, held as its sixteen bytes and rendered
// as the 36-character text on a read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static constexpr std::size_t text_size = 36;
    // Writes the 36-character lower-case 8-4-4-4-12 form into out.
    void write(char* out) const noexcept;
    std::string str() const;
    // Accepts exactly the form write() produces (lower-case hex, hyphens at
    // 8, 13, 18, 23); anything else is no identifier this module ever made.
    static std::optional<Uuid> parse(std::string_view text) noexcept;
    // A fresh version-4 identifier from the OS random source; panics with
    // "could not retrieve random bytes for uuid: ..." when the source fails.
    static Uuid random();
    // The same, but nothing when getrandom cannot give the bytes at once; never
    // fails (the caller then draws with random(), which reports the failure).
    static std::optional<Uuid> try_random() noexcept;

    // The sixteen bytes as two native words (for comparing and hashing).
    std::array<std::uint64_t, 2> words() const noexcept {
        std::array<std::uint64_t, 2> w;
        std::memcpy(w.data(), bytes.data(), sizeof w);
        return w;
    }
    // Two word compares, where the defaulted comparison would call memcmp.
    friend bool operator==(const Uuid& a, const Uuid& b) noexcept {
        const auto x = a.words(), y = b.words();
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    }
};

}  // namespace corvane
