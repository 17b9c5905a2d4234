// Identifiers: rendering, parsing and drawing from the OS random source.
#include "uuid.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "random_source.hpp"

namespace corvane {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Offsets of the hyphens in the 36-character form.
constexpr bool is_hyphen_at(std::size_t i) noexcept {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// Offset in the 36-character form of the first digit of each byte.
constexpr std::array<std::uint8_t, 16> kDigitPos = [] {
    std::array<std::uint8_t, 16> pos{};
    std::size_t at = 0;
    for (std::size_t byte = 0; byte < 16; ++byte) {
        if (is_hyphen_at(at)) ++at;
        pos[byte] = static_cast<std::uint8_t>(at);
        at += 2;
    }
    return pos;
}();
static_assert(kDigitPos[4] == 9 && kDigitPos[15] == 34);

// The two lower-case hexadecimal digits of every byte value.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t b = 0; b < 256; ++b) pairs[b] = {kHexDigits[b >> 4], kHexDigits[b & 0x0f]};
    return pairs;
}();

}  // namespace

void Uuid::write(char* out) const noexcept {
    for (std::size_t i = 0; i < bytes.size(); ++i) std::memcpy(out + kDigitPos[i], kHexPairs[bytes[i]].data(), 2);
    out[8] = out[13] = out[18] = out[23] = '-';
}

std::string Uuid::str() const {
    std::string text(text_size, '\0');
    write(text.data());
    return text;
}

namespace {

// Eight characters as a little-endian word: the first one in the low byte.
std::uint64_t load_le8(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Four characters at a and four at b as one word, a's in the low half.
std::uint64_t load_le4x2(const char* a, const char* b) noexcept {
    std::uint32_t lo, hi;
    std::memcpy(&lo, a, 4);
    std::memcpy(&hi, b, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    lo = __builtin_bswap32(lo);
    hi = __builtin_bswap32(hi);
#endif
    return std::uint64_t{lo} | (std::uint64_t{hi} << 32);
}

#if !defined(__SSE2__)
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// High bit of every byte of w (all below 0x80) that lies in [lo, hi]. No byte
// carries into the next: each sum stays below 0x100.
constexpr std::uint64_t in_range(std::uint64_t w, unsigned lo, unsigned hi) noexcept {
    const std::uint64_t at_least_lo = w + kOnes * (0x80 - lo);
    const std::uint64_t above_hi = w + kOnes * (0x7f - hi);
    return at_least_lo & ~above_hi & kHighBits;
}

// Decodes eight lower-case hexadecimal digits (the first in the low byte of w)
// into the four bytes they spell, the first digit pair in the low byte. Where
// any of the eight is no such digit, a high bit is left in bad.
inline std::uint32_t decode_hex8(std::uint64_t w, std::uint64_t& bad) noexcept {
    bad |= (w & kHighBits) | ((in_range(w, '0', '9') | in_range(w, 'a', 'f')) ^ kHighBits);
    // '0'..'9' is 0x30..0x39 and 'a'..'f' is 0x61..0x66: the low four bits,
    // plus nine where bit 6 is set, is the digit's value.
    const std::uint64_t nibbles = (w & (kOnes * 0x0f)) + ((w >> 6) & kOnes) * 9;
    // Byte 2k of pairs is digit 2k's value above digit 2k+1's; then the four
    // even bytes are drawn together.
    std::uint64_t v = ((nibbles << 4) | (nibbles >> 8)) & 0x00ff00ff00ff00ffULL;
    v = (v | (v >> 8)) & 0x0000ffff0000ffffULL;
    return static_cast<std::uint32_t>(v | (v >> 16));
}

void store_le4(std::uint8_t* out, std::uint32_t v) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(out, &v, 4);
}

#endif

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) noexcept {
    if (text.size() != text_size) return std::nullopt;
    const char* p = text.data();
    if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return std::nullopt;
    // The 32 digits as four words of eight: 0..7, 9..12 with 14..17, 19..22
    // with 24..27, and 28..35.
    const std::uint64_t w0 = load_le8(p);
    const std::uint64_t w1 = load_le4x2(p + 9, p + 14);
    const std::uint64_t w2 = load_le4x2(p + 19, p + 24);
    const std::uint64_t w3 = load_le8(p + 28);
    Uuid id;
#if defined(__SSE2__)
    // Two words to a register: every digit checked and decoded at once, and
    // the digit pairs packed into the sixteen bytes in one step.
    const __m128i lo = _mm_set_epi64x(static_cast<long long>(w1), static_cast<long long>(w0));
    const __m128i hi = _mm_set_epi64x(static_cast<long long>(w3), static_cast<long long>(w2));
    auto in = [](__m128i v, char first, char last) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(first - 1))),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(last + 1))));
    };
    // Bytes of 0x80 and above compare as negative, so they are in neither range.
    const __m128i letters_lo = in(lo, 'a', 'f'), letters_hi = in(hi, 'a', 'f');
    const int ok = _mm_movemask_epi8(_mm_or_si128(in(lo, '0', '9'), letters_lo)) &
                   _mm_movemask_epi8(_mm_or_si128(in(hi, '0', '9'), letters_hi));
    if (ok != 0xffff) return std::nullopt;
    // A digit's value is its low four bits, plus nine for a letter; each
    // 16-bit lane then holds one pair, the first digit above the second.
    auto pairs = [](__m128i v, __m128i letters) {
        const __m128i values = _mm_add_epi8(_mm_and_si128(v, _mm_set1_epi8(0x0f)),
                                            _mm_and_si128(letters, _mm_set1_epi8(9)));
        return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00ff)), 4),
                            _mm_srli_epi16(values, 8));
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(id.bytes.data()),
                     _mm_packus_epi16(pairs(lo, letters_lo), pairs(hi, letters_hi)));
#else
    std::uint64_t bad = 0;
    const std::uint32_t a = decode_hex8(w0, bad);
    const std::uint32_t b = decode_hex8(w1, bad);
    const std::uint32_t c = decode_hex8(w2, bad);
    const std::uint32_t d = decode_hex8(w3, bad);
    if (bad != 0) return std::nullopt;
    store_le4(id.bytes.data(), a);
    store_le4(id.bytes.data() + 4, b);
    store_le4(id.bytes.data() + 8, c);
    store_le4(id.bytes.data() + 12, d);
#endif
    return id;
}

namespace {

Uuid& mark_version_4(Uuid& id) noexcept {
    id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0f) | 0x40);  // version 4
    id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3f) | 0x80);  // variant 10
    return id;
}

}  // namespace

Uuid Uuid::random() {
    Uuid id;
    detail::fill_os_random(id.bytes.data(), id.bytes.size(),
                           "could not retrieve random bytes for uuid: ");
    return mark_version_4(id);
}

std::optional<Uuid> Uuid::try_random() noexcept {
    Uuid id;
    if (!detail::try_fill_os_random(id.bytes.data(), id.bytes.size())) return std::nullopt;
    return mark_version_4(id);
}

}  // namespace corvane
