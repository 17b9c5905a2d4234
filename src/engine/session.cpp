// Statuses of stored sessions, the rendering of a stored session's lines and
// totals, and of the order a completion placed.
#include "session.hpp"

#include <string>
#include <utility>

namespace corvane {

std::string_view status_text(Status s) noexcept {
    switch (s) {
        case Status::NotReadyForPayment: return "not_ready_for_payment";
        case Status::ReadyForPayment: return "ready_for_payment";
        case Status::Completed: return "completed";
        case Status::Canceled: return "canceled";
    }
    return "not_ready_for_payment";
}

LineItem CheckoutSession::line_item(std::size_t i) const {
    const StoredLine& line = items[i];
    return catalog_line(line.product, line.quantity);
}

Totals CheckoutSession::totals() const {
    return compute_totals(items);
}

Order StoredOrder::value() const {
    Order order;
    if (id == Uuid{}) return order;  // placed by no completion
    order.id = id.str();
    order.checkout_session_id = session_id.str();
    order.status = "placed";
    std::string permalink;
    permalink.reserve(kOrderBaseUrl.size() + order.checkout_session_id.size());
    permalink.append(kOrderBaseUrl);
    permalink.append(order.checkout_session_id);
    order.permalink_url = std::move(permalink);
    return order;
}

}  // namespace corvane
