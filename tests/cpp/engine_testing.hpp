// Entry points for the engine's own unit test, kept beside it: the module
// reaches the engine through checkout.hpp alone. Each operation's form that
// returns its result has a name of its own, so the production names lead to
// the production functions only.
#pragma once

#include <span>
#include <string>
#include <utility>

#include "engine/catalog.hpp"
#include "engine/checkout.hpp"
#include "engine/failure.hpp"
#include "engine/store.hpp"

namespace corvane {

// Prices a request list in request order, as the module does while it reads one.
inline PricedRequest price_request(std::span<const RequestItem> items) {
    PricedRequest request;
    request.lines.reserve(items.size());
    for (const RequestItem& item : items) request.add(item.id, item.quantity);
    return request;
}

// As price_request; the first unknown identifier fails with ValueError
// "Product not found: <id>".
inline StoredLines price_items(std::span<const RequestItem> items) {
    PricedRequest request = price_request(items);
    if (request.unknown) fail_value("Product not found: " + *request.unknown);
    return std::move(request.lines);
}

// The operations of checkout.hpp, returning their result.
inline CheckoutSession created_session(PricedRequest request) {
    CheckoutSession out;
    create_session(std::move(request), out);
    return out;
}
inline CheckoutSession found_session(std::string_view session_id) {
    CheckoutSession out;
    get_session(session_id, out);
    return out;
}
inline CheckoutSession updated_session(std::string_view session_id, std::optional<PricedRequest> items,
                                      StoredCustomer customer) {
    CheckoutSession out;
    update_session(session_id, std::move(items), std::move(customer), out);
    return out;
}
inline SessionWithOrder completed_session(std::string_view session_id, const PaymentRequest& payment) {
    SessionWithOrder out;
    complete_session(session_id, payment, out);
    return out;
}
inline CheckoutSession canceled_session(std::string_view session_id) {
    CheckoutSession out;
    cancel_session(session_id, out);
    return out;
}

inline CheckoutSession created_session(std::span<const RequestItem> items) {
    return created_session(price_request(items));
}

}  // namespace corvane

namespace corvane::detail {

// Reads the store past its poison (a friend of Store).
struct StoreInspector {
    static const CheckoutSession* find(const std::string& id) {
        return Store::instance().map_.find(*Uuid::parse(id));
    }
};

}  // namespace corvane::detail
