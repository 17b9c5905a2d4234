// Order and CheckoutSessionWithOrder.
#include "classes.hpp"

namespace corvane::py {

PyGetSetDef Class<Order>::getset[] = {
    ro<Order, &Order::id>("id"),
    ro<Order, &Order::checkout_session_id>("checkout_session_id"),
    ro<Order, &Order::status>("status"),
    ro<Order, &Order::permalink_url>("permalink_url"),
    {},
};

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

PyGetSetDef Class<SessionWithOrder>::getset[] = {
    ro<SessionWithOrder, &SessionWithOrder::session>("session"),
    computed<SessionWithOrder, placed_order>("order"),
    {},
};

}  // namespace corvane::py
