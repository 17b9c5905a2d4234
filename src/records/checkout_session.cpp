// CheckoutSession: a read-only snapshot of a stored session. The stored form is
// compact; every read renders the full values afresh.
#include "classes.hpp"

namespace corvane::py {

namespace {

PyObject* session_id(const CheckoutSession& s) {
    return new_ascii(Uuid::text_size, [&](char* out) { s.id.write(out); });
}

PyObject* session_status(const CheckoutSession& s) { return new_str(status_text(s.status)); }

PyObject* session_items(const CheckoutSession& s) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(s.items.size());
    Ref list = Ref::steal(must(PyList_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(list.get(), i, wrap(s.line_item(static_cast<size_t>(i))));
    }
    return list.release();
}

PyObject* session_totals(const CheckoutSession& s) { return wrap(s.totals()); }

PyObject* session_customer(const CheckoutSession& s) {
    return s.customer ? wrap(s.customer.value()) : new_none();
}

PyObject* session_created_at(const CheckoutSession& s) { return new_str(s.created_at.rfc3339()); }
PyObject* session_updated_at(const CheckoutSession& s) { return new_str(s.updated_at.rfc3339()); }

}  // namespace

constinit PyGetSetDef* const Class<CheckoutSession>::getset =
    attribute_table<Shown<&CheckoutSession::id, "id", session_id>, Shown<&CheckoutSession::status, "status", session_status>,
                    Shown<&CheckoutSession::items, "items", session_items>, Computed<"totals", session_totals>,
                    Shown<&CheckoutSession::customer, "customer", session_customer>,
                    Shown<&CheckoutSession::created_at, "created_at", session_created_at>,
                    Shown<&CheckoutSession::updated_at, "updated_at", session_updated_at>>
        .data();

std::string Class<CheckoutSession>::repr(const CheckoutSession& s) {
    std::string out = "CheckoutSession(id='";
    out += s.id.str();
    out += "', status='";
    out += status_text(s.status);
    out += "', items=";
    out += std::to_string(s.items.size());
    out += ")";
    return out;
}

}  // namespace corvane::py
