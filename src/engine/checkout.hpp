// The checkout lifecycle over the process-wide session store. Every operation
// takes already converted plain values, does all work that needs no store
// before taking the store's lock, and returns a deep copy taken under it.
#pragma once

#include <optional>
#include <string_view>

#include "catalog.hpp"
#include "session.hpp"
#include "values.hpp"

namespace corvane {

// Base of every order page; the session identifier is appended as is.
inline constexpr std::string_view kOrderBaseUrl = "https://orders.corvane.example/";

CheckoutSession create_session(PricedRequest request);
CheckoutSession get_session(std::string_view session_id);
// No items keep the stored ones. An empty customer keeps the stored one; a
// present one replaces it as a whole.
CheckoutSession update_session(std::string_view session_id, std::optional<PricedRequest> items,
                               StoredCustomer customer);
SessionWithOrder complete_session(std::string_view session_id, const PaymentRequest& payment);
CheckoutSession cancel_session(std::string_view session_id);

}  // namespace corvane
