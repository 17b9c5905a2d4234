// The checkout lifecycle. Each operation prepares everything it can before it
// takes the store's lock; under the lock it only checks, copies the record out
// as it is about to become, and then changes the stored record. Refusals are
// decided under the lock but raised after it has been released.
//
// Whatever can run out of memory under the lock (the copy, a growth of the
// table) comes before the stored record changes, and a failure there is a
// refusal like the others: the store is left as it was and stays usable (it is
// poisoned only by a fault that may have left a record half-changed). The
// call still fails as any allocation failure does, with std::bad_alloc.
#include "checkout.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "catalog.hpp"
#include "failure.hpp"
#include "store.hpp"

namespace corvane {

namespace {

using detail::SessionTable;
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
    OutOfMemory,
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
        case Refusal::OutOfMemory: throw std::bad_alloc();
        case Refusal::None: break;
    }
    panic("refusal without a reason");
}

// The stored session under this identifier, or null. Only texts that parse as
// an identifier this module wrote can name a session.
CheckoutSession* find(SessionTable& map, const std::optional<Uuid>& key) noexcept {
    return key ? map.find(*key) : nullptr;
}

// Runs the copying step of a write section, before the stored record changes;
// false when memory ran out (nothing has changed then).
template <class F>
bool copied(F&& copy) {
    try {
        std::forward<F>(copy)();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The snapshot of a session whose status and updated_at are about to change.
bool copy_changed(CheckoutSession& out, const CheckoutSession& session, Status status, Timestamp now) {
    if (!copied([&] { out = session; })) return false;
    out.status = status;
    out.updated_at = now;
    return true;
}

}  // namespace

void create_session(PricedRequest request, CheckoutSession& out) {
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
    out = record;
    const bool stored = Store::instance().write([&](SessionTable& map) {
        if (!map.reserve_one()) return false;  // a table that cannot grow refuses
        map.insert_or_assign(std::move(record));
        return true;
    });
    if (!stored) refuse(Refusal::OutOfMemory, {}, {});
}

void get_session(std::string_view session_id, CheckoutSession& out) {
    const std::optional<Uuid> key = Uuid::parse(session_id);
    bool found = false;
    Store::instance().read([&](const SessionTable& map) {
        if (!key) return;
        if (const CheckoutSession* session = map.find(*key)) {
            out = *session;
            found = true;
        }
    });
    if (!found) refuse(Refusal::SessionNotFound, session_id, {});
}

void update_session(std::string_view session_id, std::optional<PricedRequest> items, StoredCustomer customer,
                    CheckoutSession& snapshot) {
    const std::optional<Uuid> key = Uuid::parse(session_id);
    // The items were priced ahead of the lock. An unknown product was only
    // remembered: the session checks under the lock decide first.
    const bool unknown = items && items->unknown;

    // The snapshot is the session as it is about to be. What the caller gave
    // is copied into it here, ahead of the lock (running out of memory then
    // changes nothing); only what the session keeps is copied under it.
    if (!unknown) {
        if (items) snapshot.items = items->lines;
        if (customer) snapshot.customer = customer;
    }
    const Refusal refusal = Store::instance().write([&](SessionTable& map) {
        CheckoutSession* session = find(map, key);
        if (!session) return Refusal::SessionNotFound;
        if (session->status == Status::Completed || session->status == Status::Canceled) {
            return Refusal::UpdateClosed;
        }
        if (unknown) return Refusal::ProductNotFound;
        // Read the clock before touching the record, so a clock fault leaves
        // the session as it was (the store is poisoned all the same).
        const Timestamp now = Timestamp::now();
        // Then the record takes the new values by moves, which cannot fail.
        if (!copied([&] {
                if (!items) snapshot.items = session->items;
                if (!customer) snapshot.customer = session->customer;
            })) {
            return Refusal::OutOfMemory;
        }
        snapshot.id = session->id;
        snapshot.status = Status::ReadyForPayment;
        snapshot.created_at = session->created_at;
        snapshot.updated_at = now;
        if (items) session->items = std::move(items->lines);
        if (customer) session->customer = std::move(customer);
        session->status = Status::ReadyForPayment;
        session->updated_at = now;
        return Refusal::None;
    });
    if (refusal != Refusal::None) {
        refuse(refusal, session_id, unknown ? std::string_view(*items->unknown) : "");
    }
}

void complete_session(std::string_view session_id, const PaymentRequest& payment, SessionWithOrder& done) {
    const std::optional<Uuid> key = Uuid::parse(session_id);
    const bool has_payment = payment.delegated_token.has_value() || payment.method.has_value();
    // The order identifier is drawn under the lock, but the bytes for it are
    // asked for before it: a system call's worth of work kept out of the
    // section every writer waits on. Only if they could not be had does the
    // draw under the lock ask again, and then fail as it must.
    const std::optional<Uuid> order_id = Uuid::try_random();

    // The order is wholly the two identifiers, so once the session is marked,
    // handing it out cannot fail.
    const Refusal refusal = Store::instance().write([&](SessionTable& map) {
        CheckoutSession* session = find(map, key);
        if (!session) return Refusal::SessionNotFound;
        if (session->status == Status::Completed) return Refusal::AlreadyCompleted;
        if (session->status == Status::Canceled) return Refusal::CompleteCanceled;
        if (!has_payment) return Refusal::PaymentMissing;
        // Take the time and the order identifier before marking the session,
        // so a failing clock or random source never leaves a completed session
        // without an order.
        const Timestamp now = Timestamp::now();
        done.order.id = order_id ? *order_id : Uuid::random();
        done.order.session_id = session->id;
        if (!copy_changed(done.session, *session, Status::Completed, now)) return Refusal::OutOfMemory;
        session->status = Status::Completed;
        session->updated_at = now;
        return Refusal::None;
    });
    if (refusal != Refusal::None) refuse(refusal, session_id, {});
}

void cancel_session(std::string_view session_id, CheckoutSession& snapshot) {
    const std::optional<Uuid> key = Uuid::parse(session_id);

    const Refusal refusal = Store::instance().write([&](SessionTable& map) {
        CheckoutSession* session = find(map, key);
        if (!session) return Refusal::SessionNotFound;
        if (session->status == Status::Completed) return Refusal::CancelCompleted;
        const Timestamp now = Timestamp::now();
        if (!copy_changed(snapshot, *session, Status::Canceled, now)) return Refusal::OutOfMemory;
        session->status = Status::Canceled;
        session->updated_at = now;
        return Refusal::None;
    });
    if (refusal != Refusal::None) refuse(refusal, session_id, {});
}

}  // namespace corvane
