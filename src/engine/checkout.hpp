// The checkout lifecycle over the process-wide session store. Every operation
// takes already converted plain values, does all work that needs no store
// before taking the store's lock, and hands back a deep copy taken under it.
#pragma once

#include <optional>
#include <string_view>

#include "catalog.hpp"
#include "session.hpp"
#include "values.hpp"

namespace corvane {

// Each operation writes its result into `out`, a record the caller made
// beforehand, so a caller that has to hand the result on can have everything
// it needs before the store changes. Every field of `out` is written when the
// operation returns; when it fails, what `out` holds is unspecified.
void create_session(PricedRequest request, CheckoutSession& out);
void get_session(std::string_view session_id, CheckoutSession& out);
// No items keep the stored ones. An empty customer keeps the stored one; a
// present one replaces it as a whole.
void update_session(std::string_view session_id, std::optional<PricedRequest> items, StoredCustomer customer,
                    CheckoutSession& out);
void complete_session(std::string_view session_id, const PaymentRequest& payment, SessionWithOrder& out);
void cancel_session(std::string_view session_id, CheckoutSession& out);

}  // namespace corvane
