// AcpClient: the Python face of the checkout engine. Every method binds and
// converts all of its arguments first, then runs one engine operation (which
// takes and releases the store's lock), then builds the Python result.
#include <algorithm>
#include <tuple>

#include "../engine/checkout.hpp"
#include "../records/classes.hpp"

namespace corvane::py {

// A request list: any sequence except a str, iterated, each element a
// RequestItem copied out. The reported length only sizes the buffer.
template <>
struct Conv<std::vector<RequestItem>> {
    static std::vector<RequestItem> from(PyObject* o) {
        if (PyUnicode_Check(o)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(o)) throw_conversion_error(o, "Sequence");
        std::vector<RequestItem> out;
        const Py_ssize_t hint = PySequence_Size(o);
        if (hint < 0) {
            PyErr_Clear();
        } else {
            out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096)));
        }
        Ref it = Ref::steal(PyObject_GetIter(o));
        if (!it) throw_fetched();
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            out.push_back(Conv<RequestItem>::from(item.get()));
        }
        if (PyErr_Occurred()) throw_fetched();
        return out;
    }
};

namespace {

// Binds a method call, checks the receiver and holds shared access to it for
// the rest of the call.
template <class... Ts, class F>
PyObject* client_method(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, F&& body) {
    return guard([&] {
        PyObject* slots[sizeof...(Ts) > 0 ? sizeof...(Ts) : 1];
        bind_fast(params, args, nargs, kwnames, slots);
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

PyObject* create_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::vector<RequestItem>>(kCreate, self, args, nargs, kwnames,
                                                   [](std::vector<RequestItem> items) {
                                                       return wrap(create_session(items));
                                                   });
}

PyObject* get_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string>(kGet, self, args, nargs, kwnames,
                                      [](std::string id) { return wrap(get_session(id)); });
}

PyObject* update_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string, std::optional<std::vector<RequestItem>>, std::optional<Customer>>(
        kUpdate, self, args, nargs, kwnames,
        [](std::string id, std::optional<std::vector<RequestItem>> items, std::optional<Customer> customer) {
            return wrap(update_session(id, items, customer));
        });
}

PyObject* complete_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string, PaymentRequest>(
        kComplete, self, args, nargs, kwnames,
        [](std::string id, PaymentRequest payment) { return wrap(complete_session(id, payment)); });
}

PyObject* cancel_checkout_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return client_method<std::string>(kCancel, self, args, nargs, kwnames,
                                      [](std::string id) { return wrap(cancel_session(id)); });
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
