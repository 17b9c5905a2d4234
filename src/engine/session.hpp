// The stored form of a checkout session. It is compact on purpose: sessions are
// never deleted, so their size bounds how long a process can run. Identifiers and
// timestamps are held as numbers and lines as (catalog index, quantity); every
// read renders exactly the same texts a fully textual record would hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "catalog.hpp"
#include "stored_customer.hpp"
#include "timestamp.hpp"
#include "uuid.hpp"
#include "values.hpp"

namespace corvane {

enum class Status : std::uint8_t { NotReadyForPayment, ReadyForPayment, Completed, Canceled };
std::string_view status_text(Status s) noexcept;

// Base of every order page; the session identifier is appended as is.
inline constexpr std::string_view kOrderBaseUrl = "https://orders.corvane.example/";

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
