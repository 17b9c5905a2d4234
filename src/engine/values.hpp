// Plain value records: what the engine takes and hands back, and what the
// Python classes hold.
// Nothing here knows about Python: every record owns its texts and copies deeply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

using OptText = std::optional<std::string>;

struct Money {
    std::int64_t amount = 0;
    std::string currency;
};

struct Totals {
    Money subtotal, tax, shipping, discount, grand_total;
};

struct Address {
    OptText name, line1, line2, city, region, postal_code, country, phone, email;
};

struct Customer {
    std::optional<Address> billing_address, shipping_address;
};

struct RequestItem {
    std::string id;
    std::int32_t quantity = 0;
};

struct LineItem {
    std::string id;
    std::string title;
    std::int32_t quantity = 0;
    Money unit_price;
    OptText variant_id, sku, image_url;
};

struct PaymentRequest {
    OptText delegated_token, method;
};

struct Order {
    std::string id;
    std::string checkout_session_id;
    std::string status;
    OptText permalink_url;
};

}  // namespace corvane
