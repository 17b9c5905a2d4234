// Order and CheckoutSessionWithOrder.
#include "classes.hpp"

namespace corvane::py {

constinit PyGetSetDef* const Class<Order>::getset =
    attribute_table<ReadOnly<&Order::id, "id">, ReadOnly<&Order::checkout_session_id, "checkout_session_id">,
                    ReadOnly<&Order::status, "status">, ReadOnly<&Order::permalink_url, "permalink_url">>
        .data();

std::string Class<Order>::repr(const Order& o) {
    std::string out = "Order(id='";
    out += o.id;
    out += "', status='";
    out += o.status;
    out += "')";
    return out;
}

namespace {

PyObject* placed_order(const SessionWithOrder& s) { return wrap(s.order.value()); }

}  // namespace

constinit PyGetSetDef* const Class<SessionWithOrder>::getset =
    attribute_table<ReadOnly<&SessionWithOrder::session, "session">,
                    Shown<&SessionWithOrder::order, "order", placed_order>>
        .data();

}  // namespace corvane::py
