// AcpClient: the Python face of the checkout engine. Every method binds and
// converts all of its arguments first, then runs one engine operation (which
// takes and releases the store's lock), then builds the Python result. A
// method is one function over converted values plus one line in the table.
#include <algorithm>
#include <optional>
#include <string_view>

#include "../engine/checkout.hpp"
#include "classes.hpp"

namespace corvane::py {

// A request list: any sequence except a str, iterated, each element a
// RequestItem read under shared access and priced on the spot, so known
// product identifiers are never copied. The reported length only sizes the
// buffer. Every element is converted before any refusal is decided.
template <>
struct Conv<PricedRequest> {
    static PricedRequest from(PyObject* o) {
        // Both texts are matched verbatim by callers: part of the contract.
        if (PyUnicode_Check(o)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(o)) throw_conversion_error(o, "Sequence");
        const RecursionGuard limit(" while converting a sequence");
        PricedRequest out;
        auto add = [&](PyObject* item) {
            read_record<RequestItem>(item, [&](const RequestItem& r) { out.add(r.id, r.quantity); });
        };
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            // A list or tuple is read in place. A list can change while it is
            // read (by another thread, or by Python code an error message runs),
            // so the length is read afresh for every item and each item is held.
            const ObjectLock lock(o);
            out.lines.reserve(static_cast<size_t>(std::min<Py_ssize_t>(PySequence_Fast_GET_SIZE(o), 4096)));
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
                Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
                add(item.get());
                Py_DECREF(item.release());  // the interpreter is held here: spare Ref its check
            }
            return trimmed(std::move(out));
        }
        const Py_ssize_t hint = PySequence_Size(o);
        if (hint < 0) {
            PyErr_Clear();
        } else {
            out.lines.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096)));
        }
        Ref it = Ref::steal(PyObject_GetIter(o));
        if (!it) throw_fetched();
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            add(item.get());
            Py_DECREF(item.release());  // the interpreter is held here: spare Ref its check
        }
        if (PyErr_Occurred()) throw_fetched();
        Py_DECREF(it.release());
        return trimmed(std::move(out));
    }

    // The lines may be stored for the life of the process: never keep the room
    // a lying length hint asked for.
    static PricedRequest trimmed(PricedRequest out) {
        if (out.lines.capacity() > out.lines.size() && out.lines.capacity() > StoredLines::inline_capacity) {
            out.lines = StoredLines(out.lines);
        }
        return out;
    }
};

// An update's customer, copied out of a Customer object straight into the form
// the session stores. The object keeps that form until its record is next
// written, and every later update shares it.
template <>
struct Conv<StoredCustomer> {
    static StoredCustomer from(PyObject* o) {
        return read_record_derived<Customer>(o, [](const Customer& c, Derived<Customer>& kept) {
            if (!kept.stored) kept.stored = StoredCustomer(c);
            return kept.stored;
        });
    }
};

namespace {

// Every operation makes its result object before it runs and writes its
// result straight into the object's record: once the store has changed, the
// call can no longer fail.

PyObject* create_checkout_session(PricedRequest items) {
    Ref result = new_instance<CheckoutSession>();
    create_session(std::move(items), record_of<CheckoutSession>(result));
    return result.release();
}

PyObject* get_checkout_session(std::string_view id) {
    Ref result = new_instance<CheckoutSession>();
    get_session(id, record_of<CheckoutSession>(result));
    return result.release();
}

PyObject* update_checkout_session(std::string_view id, std::optional<PricedRequest> items,
                                  std::optional<StoredCustomer> customer) {
    Ref result = new_instance<CheckoutSession>();
    update_session(id, std::move(items), customer ? std::move(*customer) : StoredCustomer(),
                   record_of<CheckoutSession>(result));
    return result.release();
}

PyObject* complete_checkout_session(std::string_view id, PaymentRequest payment) {
    Ref result = new_instance<SessionWithOrder>();
    complete_session(id, payment, record_of<SessionWithOrder>(result));
    return result.release();
}

PyObject* cancel_checkout_session(std::string_view id) {
    Ref result = new_instance<CheckoutSession>();
    cancel_session(id, record_of<CheckoutSession>(result));
    return result.release();
}

}  // namespace

// A client has no writable attribute: its methods' shared access to it needs
// no critical section (see Method).
PyMethodDef Class<ClientRecord>::methods[] = {
    method<ClientRecord, "create_checkout_session", create_checkout_session, "items">(),
    method<ClientRecord, "get_checkout_session", get_checkout_session, "session_id">(),
    method<ClientRecord, "update_checkout_session", update_checkout_session, "session_id", "items", "customer">(),
    method<ClientRecord, "complete_checkout_session", complete_checkout_session, "session_id", "payment">(),
    method<ClientRecord, "cancel_checkout_session", cancel_checkout_session, "session_id">(),
    {},
};

}  // namespace corvane::py
