// The stored form of a checkout session. It is compact on purpose: sessions are
// never deleted, so their size bounds how long a process can run. Identifiers and
// timestamps are held as numbers and lines as (catalog index, quantity); every
// read renders exactly the same texts a fully textual record would hold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "values.hpp"
#include "small_vector.hpp"

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

enum class Status : std::uint8_t { NotReadyForPayment, ReadyForPayment, Completed, Canceled };
std::string_view status_text(Status s) noexcept;

// A session's customer as stored: one heap block that records which addresses
// and texts are present and holds every present text back to back. The block
// never changes once written, so copies share it (counting their references)
// instead of copying it: a copy cannot fail and costs no allocation. Empty
// means no customer; a customer with both addresses absent is present all the
// same. Texts keep every byte (NULs included), and an absent text stays
// distinct from the empty one.
class StoredCustomer {
public:
    StoredCustomer() noexcept = default;
    explicit StoredCustomer(const Customer& customer);
    StoredCustomer(const StoredCustomer& other) noexcept : shared_(other.shared_) { retain(); }
    StoredCustomer(StoredCustomer&& other) noexcept : shared_(std::exchange(other.shared_, nullptr)) {}
    StoredCustomer& operator=(const StoredCustomer& other) noexcept {
        Shared* const shared = other.shared_;  // before release(), which may be other's
        other.retain();
        release();
        shared_ = shared;
        return *this;
    }
    StoredCustomer& operator=(StoredCustomer&& other) noexcept {
        if (this != &other) {
            release();
            shared_ = std::exchange(other.shared_, nullptr);
        }
        return *this;
    }
    ~StoredCustomer() { release(); }

    explicit operator bool() const noexcept { return shared_ != nullptr; }
    // The full customer again, every present text copied out; requires a
    // present customer.
    Customer value() const;

private:
    struct Shared;  // the reference count, followed by the block
    void retain() const noexcept;
    void release() noexcept {
        if (shared_ != nullptr) release_shared();
    }
    void release_shared() noexcept;
    const unsigned char* block() const noexcept;

    Shared* shared_ = nullptr;
};

// One priced line as stored: lines only ever come from the catalog.
struct StoredLine {
    std::uint8_t product = 0;  // catalog index
    std::int32_t quantity = 0;
};

// A session's lines. Three lines (the common order) are held inline.
using StoredLines = SmallVector<StoredLine, 3>;

struct CheckoutSession {
    Uuid id;
    Status status = Status::NotReadyForPayment;
    StoredLines items;
    StoredCustomer customer;  // absent until an update supplies one
    Timestamp created_at;
    Timestamp updated_at;

    // The full line item for line i (fresh texts from the catalog).
    LineItem line_item(std::size_t i) const;
    // The totals rule applied to the current items (totals always follow items).
    Totals totals() const;
};

// The order a completion placed, as stored: its identifier and its session's.
// Its texts (status, permalink) follow from those and are rendered on a read.
// One that no completion placed (a default record, its identifier all zeros,
// which no drawn version-4 identifier is) renders as an empty Order.
struct StoredOrder {
    Uuid id;
    Uuid session_id;

    Order value() const;
};

struct SessionWithOrder {
    CheckoutSession session;
    StoredOrder order;
};

}  // namespace corvane
