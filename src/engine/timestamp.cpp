// Timestamps: reading the system clock and rendering RFC 3339 text.
#include "timestamp.hpp"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "failure.hpp"
#include "random_source.hpp"

namespace corvane {

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

}  // namespace corvane
