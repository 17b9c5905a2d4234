// A point in time as stored: seconds and nanoseconds since the Unix epoch,
// rendered as RFC 3339 text on a read.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

struct Timestamp {
    std::int64_t seconds = 0;      // since 1970-01-01T00:00:00Z, never negative
    std::uint32_t nanoseconds = 0;  // 0 .. 999'999'999

    // Current UTC time; panics with "system time before Unix epoch: ..." when
    // the clock reads before 1970.
    static Timestamp now();
    // RFC 3339, shortest exact fraction (none, 3, 6 or 9 digits), "+00:00".
    std::string rfc3339() const;

    friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

}  // namespace corvane
