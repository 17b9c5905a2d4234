// Identifiers, timestamps and statuses of stored sessions, and the rendering of
// a stored session's lines and totals.
#include "session.hpp"

#include <time.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "catalog.hpp"
#include "failure.hpp"
#include "random_source.hpp"

namespace corvane {

// ---------------------------------------------------------------- Uuid

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

Uuid Uuid::random() {
    Uuid id;
    detail::fill_os_random(id.bytes.data(), id.bytes.size(),
                           "could not retrieve random bytes for uuid: ");
    id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0f) | 0x40);  // version 4
    id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3f) | 0x80);  // variant 10
    return id;
}

// ---------------------------------------------------------------- Timestamp

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Writes value as exactly width decimal digits (zero-padded), returns the end.
char* put_digits(char* out, std::uint64_t value, int width) noexcept {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

int digit_count(std::uint64_t value) noexcept {
    int n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count relative to 1970-01-01.
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
    days += 719468;  // shift the epoch to 0000-03-01
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<std::uint64_t>(days - era * 146097);          // [0, 146096]
    const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);          // [0, 365]
    const std::uint64_t mp = (5 * doy + 2) / 153;                                // [0, 11]
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

static_assert(civil_from_days(0).year == 1970 && civil_from_days(0).month == 1 &&
              civil_from_days(0).day == 1);
static_assert(civil_from_days(19782).year == 2024 && civil_from_days(19782).month == 2 &&
              civil_from_days(19782).day == 29);

// "<n>.<nnnnnnnnn>s" for a non-negative duration in nanoseconds.
std::string describe_duration(std::uint64_t seconds, std::uint32_t nanos) {
    char buf[48];
    char* p = buf;
    p = put_digits(p, seconds, digit_count(seconds));
    *p++ = '.';
    p = put_digits(p, nanos, 9);
    *p++ = 's';
    return std::string(buf, p);
}

}  // namespace

Timestamp Timestamp::now() {
    struct timespec ts {};
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        const int err = errno;
        panic("could not read the system clock: " + detail::os_error_text(err));
    }
    std::int64_t sec = static_cast<std::int64_t>(ts.tv_sec);
    std::int64_t nsec = static_cast<std::int64_t>(ts.tv_nsec);
    // The kernel keeps tv_nsec in range; fold in anything else rather than trust it.
    if (nsec < 0 || nsec >= kNanosPerSecond) {
        sec += nsec / kNanosPerSecond;
        nsec %= kNanosPerSecond;
        if (nsec < 0) {
            nsec += kNanosPerSecond;
            sec -= 1;
        }
    }
    if (sec < 0) {
        // How far before the epoch: -(sec + nsec / 1e9) seconds.
        std::uint64_t before_sec = static_cast<std::uint64_t>(-(sec + 1));
        std::uint32_t before_nsec = static_cast<std::uint32_t>(kNanosPerSecond - nsec);
        if (before_nsec == kNanosPerSecond) {
            before_nsec = 0;
            before_sec += 1;
        }
        panic("system time before Unix epoch: the clock reads " +
              describe_duration(before_sec, before_nsec) + " before 1970-01-01T00:00:00Z");
    }
    return Timestamp{sec, static_cast<std::uint32_t>(nsec)};
}

std::string Timestamp::rfc3339() const {
    std::int64_t days = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        days -= 1;
    }
    const CivilDate date = civil_from_days(days);
    const auto secs_of_day = static_cast<std::uint64_t>(rem);

    char buf[64];
    char* p = buf;
    std::int64_t year = date.year;
    if (year < 0) {
        *p++ = '-';
    }
    const std::uint64_t abs_year =
        year < 0 ? 0 - static_cast<std::uint64_t>(year) : static_cast<std::uint64_t>(year);
    const int year_width = digit_count(abs_year) < 4 ? 4 : digit_count(abs_year);
    p = put_digits(p, abs_year, year_width);
    *p++ = '-';
    p = put_digits(p, date.month, 2);
    *p++ = '-';
    p = put_digits(p, date.day, 2);
    *p++ = 'T';
    p = put_digits(p, secs_of_day / 3600, 2);
    *p++ = ':';
    p = put_digits(p, secs_of_day / 60 % 60, 2);
    *p++ = ':';
    p = put_digits(p, secs_of_day % 60, 2);
    if (nanoseconds != 0) {
        *p++ = '.';
        if (nanoseconds % 1'000'000 == 0) {
            p = put_digits(p, nanoseconds / 1'000'000, 3);
        } else if (nanoseconds % 1000 == 0) {
            p = put_digits(p, nanoseconds / 1000, 6);
        } else {
            p = put_digits(p, nanoseconds, 9);
        }
    }
    std::memcpy(p, "+00:00", 6);
    p += 6;
    return std::string(buf, p);
}

// ---------------------------------------------------------------- Status

std::string_view status_text(Status s) noexcept {
    switch (s) {
        case Status::NotReadyForPayment: return "not_ready_for_payment";
        case Status::ReadyForPayment: return "ready_for_payment";
        case Status::Completed: return "completed";
        case Status::Canceled: return "canceled";
    }
    return "not_ready_for_payment";
}

// ---------------------------------------------------------------- StoredCustomer

namespace {

// Block layout: the presence word, then the end offset of every text (relative
// to the first text byte; an absent text ends where the one before it does),
// then the texts. Text k is field k % 9 of the billing (k < 9) or shipping
// address. Words are read and written with memcpy, so the block needs no
// particular alignment.
constexpr std::size_t kFieldsPerAddress = 9;
constexpr std::size_t kTexts = 2 * kFieldsPerAddress;
constexpr std::uint32_t kBillingPresent = std::uint32_t{1} << kTexts;
constexpr std::uint32_t kShippingPresent = std::uint32_t{1} << (kTexts + 1);
constexpr std::size_t kEndsAt = sizeof(std::uint64_t);  // after the presence word
constexpr std::size_t kTextsAt = kEndsAt + kTexts * sizeof(std::uint64_t);

constexpr OptText Address::*kAddressFields[kFieldsPerAddress] = {
    &Address::name,   &Address::line1,       &Address::line2,   &Address::city,  &Address::region,
    &Address::postal_code, &Address::country, &Address::phone, &Address::email,
};

std::uint64_t text_end(const unsigned char* block, std::size_t k) noexcept {
    std::uint64_t end;
    std::memcpy(&end, block + kEndsAt + k * sizeof end, sizeof end);
    return end;
}

}  // namespace

// The block follows the count directly; the count's alignment (8) is all the
// block's words ever need, and they are read with memcpy regardless.
struct StoredCustomer::Shared {
    std::atomic<std::size_t> refs{1};
};
static_assert(sizeof(StoredCustomer) == sizeof(void*));

StoredCustomer::StoredCustomer(const Customer& customer) {
    const std::optional<Address>* addresses[2] = {&customer.billing_address, &customer.shipping_address};
    std::uint32_t present = 0;
    std::uint64_t ends[kTexts];
    std::uint64_t end = 0;
    for (std::size_t a = 0; a < 2; ++a) {
        const std::optional<Address>& address = *addresses[a];
        if (address) present |= a == 0 ? kBillingPresent : kShippingPresent;
        for (std::size_t f = 0; f < kFieldsPerAddress; ++f) {
            const std::size_t k = a * kFieldsPerAddress + f;
            if (address) {
                if (const OptText& text = (*address).*kAddressFields[f]) {
                    present |= std::uint32_t{1} << k;
                    end += text->size();
                }
            }
            ends[k] = end;
        }
    }

    void* memory = ::operator new(sizeof(Shared) + kTextsAt + static_cast<std::size_t>(end));
    shared_ = new (memory) Shared;
    unsigned char* block = reinterpret_cast<unsigned char*>(shared_ + 1);
    const std::uint64_t word = present;
    std::memcpy(block, &word, sizeof word);
    std::memcpy(block + kEndsAt, ends, sizeof ends);
    unsigned char* out = block + kTextsAt;
    for (std::size_t k = 0; k < kTexts; ++k) {
        if (!(present & (std::uint32_t{1} << k))) continue;
        const std::string& text = *((**addresses[k / kFieldsPerAddress]).*kAddressFields[k % kFieldsPerAddress]);
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
}

void StoredCustomer::retain() const noexcept {
    if (shared_ != nullptr) shared_->refs.fetch_add(1, std::memory_order_relaxed);
}

void StoredCustomer::release_shared() noexcept {
    Shared* shared = std::exchange(shared_, nullptr);
    if (shared->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        shared->~Shared();
        ::operator delete(shared);
    }
}

const unsigned char* StoredCustomer::block() const noexcept {
    return shared_ != nullptr ? reinterpret_cast<const unsigned char*>(shared_ + 1) : nullptr;
}

Customer StoredCustomer::value() const {
    const unsigned char* block = this->block();
    if (block == nullptr) panic("no stored customer to read");
    std::uint64_t word;
    std::memcpy(&word, block, sizeof word);
    const auto present = static_cast<std::uint32_t>(word);
    const char* texts = reinterpret_cast<const char*>(block + kTextsAt);

    Customer customer;
    std::optional<Address>* addresses[2] = {&customer.billing_address, &customer.shipping_address};
    std::uint64_t start = 0;
    for (std::size_t a = 0; a < 2; ++a) {
        const bool has_address = present & (a == 0 ? kBillingPresent : kShippingPresent);
        if (has_address) addresses[a]->emplace();
        for (std::size_t f = 0; f < kFieldsPerAddress; ++f) {
            const std::size_t k = a * kFieldsPerAddress + f;
            const std::uint64_t end = text_end(block, k);
            if (has_address && (present & (std::uint32_t{1} << k))) {
                ((**addresses[a]).*kAddressFields[f]).emplace(texts + start, static_cast<std::size_t>(end - start));
            }
            start = end;
        }
    }
    return customer;
}

// ---------------------------------------------------------------- CheckoutSession

LineItem CheckoutSession::line_item(std::size_t i) const {
    const StoredLine& line = items[i];
    return catalog_line(line.product, line.quantity);
}

Totals CheckoutSession::totals() const {
    return compute_totals(items);
}

}  // namespace corvane
