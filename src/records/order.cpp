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

PyGetSetDef Class<SessionWithOrder>::getset[] = {
    ro<SessionWithOrder, &SessionWithOrder::session>("session"),
    ro<SessionWithOrder, &SessionWithOrder::order>("order"),
    {},
};

}  // namespace corvane::py
