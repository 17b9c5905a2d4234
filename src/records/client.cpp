// AcpClient: the Python face of the checkout engine. Every method binds and
// converts all of its arguments first, then runs one engine operation (which
// takes and releases the store's lock), then builds the Python result.
#include <algorithm>
#include <tuple>

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
        if (PyUnicode_Check(o)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(o)) throw_conversion_error(o, "Sequence");
        const RecursionGuard limit(" while converting a sequence");
        PricedRequest out;
        const Py_ssize_t hint = PySequence_Size(o);
        if (hint < 0) {
            PyErr_Clear();
        } else {
            out.lines.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096)));
        }
        Ref it = Ref::steal(PyObject_GetIter(o));
        if (!it) throw_fetched();
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            read_record<RequestItem>(item.get(), [&](const RequestItem& r) { out.add(r.id, r.quantity); });
            Py_DECREF(item.release());  // the interpreter is held here: spare Ref its check
        }
        if (PyErr_Occurred()) throw_fetched();
        Py_DECREF(it.release());
        // The lines may be stored for the life of the process: never keep the
        // room a lying length hint asked for.
        if (out.lines.capacity() > out.lines.size() && out.lines.capacity() > StoredLines::inline_capacity) {
            out.lines = StoredLines(out.lines);
        }
        return out;
    }
};

// A session identifier, borrowed: the text is the argument's own UTF-8 form,
// which the caller keeps alive for the whole call, so no copy is made. Fails
// exactly as a text conversion does.
template <>
struct Conv<std::string_view> {
    static std::string_view from(PyObject* o) {
        if (!PyUnicode_Check(o)) throw_conversion_error(o, "PyString");
        Py_ssize_t size = 0;
        const char* p = PyUnicode_AsUTF8AndSize(o, &size);
        if (!p) throw_fetched();
        return {p, static_cast<size_t>(size)};
    }
};

// An update's customer, copied out of a Customer object straight into the form
// the session stores.
template <>
struct Conv<StoredCustomer> {
    static StoredCustomer from(PyObject* o) {
        return read_record<Customer>(o, [](const Customer& c) { return StoredCustomer(c); });
    }
};

namespace {

// Binds a method call, checks the receiver and holds shared access to it for
// the rest of the call. A client has no writable attribute, so nothing ever
// takes exclusive access to one: its shared access needs no critical section,
// and calls on one client from several threads run side by side.
template <class... Ts, class F>
PyObject* client_method(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, F&& body) {
    return guard_counted(" while calling a client method", [&] {
        PyObject* slots[sizeof...(Ts) > 0 ? sizeof...(Ts) : 1];
        bind_fast(params, args, nargs, kwnames, slots);
        // The caller's references are borrowed, and converting an argument can
        // run Python code that drops them: hold our own for the whole call.
        const KeepAlive<sizeof...(Ts)> keep(self, slots);
        auto& client = receiver<ClientRecord>(self);
        SharedAccess access(client.borrow);
        // Braced initialisation converts the arguments strictly in parameter order.
        auto values = [&]<size_t... I>(std::index_sequence<I...>) {
            return std::tuple<Ts...>{convert_arg<Ts>(slots[I], params.names[I])...};
        }(std::index_sequence_for<Ts...>{});
        return std::apply(body, std::move(values));
    });
}

constexpr const char* const kCreateNames[] = {"items"};
constexpr Params kCreate{"AcpClient.create_checkout_session()", kCreateNames, 1, 1};
constexpr const char* const kGetNames[] = {"session_id"};
constexpr Params kGet{"AcpClient.get_checkout_session()", kGetNames, 1, 1};
constexpr const char* const kUpdateNames[] = {"session_id", "items", "customer"};
constexpr Params kUpdate{"AcpClient.update_checkout_session()", kUpdateNames, 3, 1};
constexpr const char* const kCompleteNames[] = {"session_id", "payment"};
constexpr Params kComplete{"AcpClient.complete_checkout_session()", kCompleteNames, 2, 2};
constexpr const char* const kCancelNames[] = {"session_id"};
constexpr Params kCancel{"AcpClient.cancel_checkout_session()", kCancelNames, 1, 1};

// The operations that change the store make their result object before they
// run: once the store has changed, the call can no longer fail.

PyObject* create_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<PricedRequest>(kCreate, self, args, nargs, kwnames, [](PricedRequest items) {
        Ref result = new_instance<CheckoutSession>();
        return fill(std::move(result), create_session(std::move(items)));
    });
}

PyObject* get_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string_view>(kGet, self, args, nargs, kwnames,
                                      [](std::string_view id) { return wrap(get_session(id)); });
}

PyObject* update_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string_view, std::optional<PricedRequest>, std::optional<StoredCustomer>>(
        kUpdate, self, args, nargs, kwnames,
        [](std::string_view id, std::optional<PricedRequest> items, std::optional<StoredCustomer> customer) {
            Ref result = new_instance<CheckoutSession>();
            return fill(std::move(result),
                        update_session(id, std::move(items), customer ? std::move(*customer) : StoredCustomer()));
        });
}

PyObject* complete_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string_view, PaymentRequest>(
        kComplete, self, args, nargs, kwnames,
        [](std::string_view id, PaymentRequest payment) {
            Ref result = new_instance<SessionWithOrder>();
            return fill(std::move(result), complete_session(id, payment));
        });
}

PyObject* cancel_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string_view>(kCancel, self, args, nargs, kwnames, [](std::string_view id) {
        Ref result = new_instance<CheckoutSession>();
        return fill(std::move(result), cancel_session(id));
    });
}

template <auto Fn>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

}  // namespace

PyGetSetDef Class<ClientRecord>::getset[] = {{}};

PyMethodDef Class<ClientRecord>::methods[] = {
    method<create_checkout_session>("create_checkout_session", "create_checkout_session($self, items)\n--\n\n"),
    method<get_checkout_session>("get_checkout_session", "get_checkout_session($self, session_id)\n--\n\n"),
    method<update_checkout_session>(
        "update_checkout_session",
        "update_checkout_session($self, session_id, items=None, customer=None)\n--\n\n"),
    method<complete_checkout_session>("complete_checkout_session",
                                      "complete_checkout_session($self, session_id, payment)\n--\n\n"),
    method<cancel_checkout_session>("cancel_checkout_session", "cancel_checkout_session($self, session_id)\n--\n\n"),
    {},
};

}  // namespace corvane::py
