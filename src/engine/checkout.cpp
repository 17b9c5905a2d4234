// The checkout lifecycle. Each operation prepares everything it can before it
// takes the store's lock; under the lock it only checks, changes the stored
// record and copies it out. Refusals are decided under the lock but raised
// after it has been released.
#include "checkout.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

#include "catalog.hpp"
#include "failure.hpp"
#include "store.hpp"

namespace corvane {

namespace {

using detail::SessionMap;
using detail::Store;

enum class Refusal : std::uint8_t {
    None,
    SessionNotFound,
    UpdateClosed,
    AlreadyCompleted,
    CompleteCanceled,
    PaymentMissing,
    CancelCompleted,
    ProductNotFound,
};

std::string join(std::string_view prefix, std::string_view value) {
    std::string out;
    out.reserve(prefix.size() + value.size());
    out.append(prefix);
    out.append(value);
    return out;
}

[[noreturn]] void refuse(Refusal refusal, std::string_view session_id, std::string_view product_id) {
    switch (refusal) {
        case Refusal::SessionNotFound: fail_value(join("Session not found: ", session_id));
        case Refusal::UpdateClosed: fail_runtime("Cannot update completed or canceled session");
        case Refusal::AlreadyCompleted: fail_runtime("Session already completed");
        case Refusal::CompleteCanceled: fail_runtime("Cannot complete canceled session");
        case Refusal::PaymentMissing: fail_value("Payment token or method required");
        case Refusal::CancelCompleted: fail_runtime("Cannot cancel completed session");
        case Refusal::ProductNotFound: fail_value(join("Product not found: ", product_id));
        case Refusal::None: break;
    }
    panic("refusal without a reason");
}

// The stored session under this identifier, or null. Only texts that parse as
// an identifier this module wrote can name a session.
CheckoutSession* find(SessionMap& map, const std::optional<Uuid>& key) noexcept {
    return key ? map.find(*key) : nullptr;
}

}  // namespace

CheckoutSession create_session(PricedRequest request) {
    if (request.requested == 0) fail_value("At least one item is required");
    if (request.unknown) fail_value(join("Product not found: ", *request.unknown));

    CheckoutSession record;
    record.items = std::move(request.lines);
    record.status = Status::NotReadyForPayment;
    record.created_at = Timestamp::now();  // one reading serves both timestamps
    record.updated_at = record.created_at;
    record.id = Uuid::random();

    // Nothing else can see the record yet, so the copy handed back is taken
    // before the lock rather than under it.
    CheckoutSession snapshot = record;
    Store::instance().write([&](SessionMap& map) { map.insert_or_assign(std::move(record)); });
    return snapshot;
}

CheckoutSession create_session(std::span<const RequestItem> items) {
    return create_session(price_request(items));
}

CheckoutSession get_session(std::string_view session_id) {
    const std::optional<Uuid> key = Uuid::parse(session_id);
    std::optional<CheckoutSession> snapshot;
    Store::instance().read([&](const SessionMap& map) {
        if (!key) return;
        if (const CheckoutSession* session = map.find(*key)) snapshot.emplace(*session);
    });
    if (!snapshot) refuse(Refusal::SessionNotFound, session_id, {});
    return std::move(*snapshot);
}

CheckoutSession update_session(std::string_view session_id, std::optional<PricedRequest> items,
                               StoredCustomer customer) {
    const std::optional<Uuid> key = Uuid::parse(session_id);
    // The items were priced ahead of the lock. An unknown product was only
    // remembered: the session checks under the lock decide first.
    const bool unknown = items && items->unknown;

    CheckoutSession snapshot;
    const Refusal refusal = Store::instance().write([&](SessionMap& map) {
        CheckoutSession* session = find(map, key);
        if (!session) return Refusal::SessionNotFound;
        if (session->status == Status::Completed || session->status == Status::Canceled) {
            return Refusal::UpdateClosed;
        }
        if (unknown) return Refusal::ProductNotFound;
        // Read the clock before touching the record, so a clock fault leaves
        // the session as it was (the store is poisoned all the same).
        const Timestamp now = Timestamp::now();
        if (items) session->items = std::move(items->lines);
        if (customer) session->customer = std::move(customer);
        session->status = Status::ReadyForPayment;
        session->updated_at = now;
        snapshot = *session;
        return Refusal::None;
    });
    if (refusal != Refusal::None) {
        refuse(refusal, session_id, unknown ? std::string_view(*items->unknown) : "");
    }
    return snapshot;
}

SessionWithOrder complete_session(std::string_view session_id, const PaymentRequest& payment) {
    const std::optional<Uuid> key = Uuid::parse(session_id);
    const bool has_payment = payment.delegated_token.has_value() || payment.method.has_value();

    CheckoutSession snapshot;
    Uuid order_id;
    const Refusal refusal = Store::instance().write([&](SessionMap& map) {
        CheckoutSession* session = find(map, key);
        if (!session) return Refusal::SessionNotFound;
        if (session->status == Status::Completed) return Refusal::AlreadyCompleted;
        if (session->status == Status::Canceled) return Refusal::CompleteCanceled;
        if (!has_payment) return Refusal::PaymentMissing;
        // Take the time and the order identifier before marking the session,
        // so a failing clock or random source never leaves a completed session
        // without an order.
        const Timestamp now = Timestamp::now();
        order_id = Uuid::random();
        session->status = Status::Completed;
        session->updated_at = now;
        snapshot = *session;
        return Refusal::None;
    });
    if (refusal != Refusal::None) refuse(refusal, session_id, {});

    std::string id_text = snapshot.id.str();
    Order order;
    order.id = order_id.str();
    order.permalink_url = join(kOrderBaseUrl, id_text);
    order.checkout_session_id = std::move(id_text);
    order.status = "placed";
    return SessionWithOrder{std::move(snapshot), std::move(order)};
}

CheckoutSession cancel_session(std::string_view session_id) {
    const std::optional<Uuid> key = Uuid::parse(session_id);

    CheckoutSession snapshot;
    const Refusal refusal = Store::instance().write([&](SessionMap& map) {
        CheckoutSession* session = find(map, key);
        if (!session) return Refusal::SessionNotFound;
        if (session->status == Status::Completed) return Refusal::CancelCompleted;
        const Timestamp now = Timestamp::now();
        session->status = Status::Canceled;
        session->updated_at = now;
        snapshot = *session;
        return Refusal::None;
    });
    if (refusal != Refusal::None) refuse(refusal, session_id, {});
    return snapshot;
}

}  // namespace corvane
