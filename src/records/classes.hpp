// The Python face of every record: one description per class. Each names the
// class, its constructor parameters (or none) and its attribute table; the
// binding layer generates the type object and every slot from it.
#pragma once

#include <string>

#include "../binding/pyclass.hpp"
#include "../engine/session.hpp"
#include "../engine/values.hpp"

namespace corvane {

// What an AcpClient holds: the key it was built with, never used.
struct ClientRecord {
    OptText api_key;
};

}  // namespace corvane

namespace corvane::py {

#define CORVANE_PARAMS(display, required, ...)                              \
    static constexpr const char* const param_names[] = {__VA_ARGS__};      \
    static constexpr Params params{display, param_names,                   \
                                   sizeof(param_names) / sizeof(char*), required}

template <>
struct Class<Money> {
    static constexpr const char* name = "Money";
    static constexpr const char* signature = "(amount, currency)";
    CORVANE_PARAMS("Money.__new__()", 2, "amount", "currency");
    using constructor = Constructor<Money, std::int64_t, std::string>;
    static PyGetSetDef getset[];
    static std::string repr(const Money& m);
};

template <>
struct Class<Address> {
    static constexpr const char* name = "Address";
    static constexpr const char* signature =
        "(name=None, line1=None, line2=None, city=None, region=None, postal_code=None, country=None, "
        "phone=None, email=None)";
    CORVANE_PARAMS("Address.__new__()", 0, "name", "line1", "line2", "city", "region", "postal_code", "country",
                   "phone", "email");
    using constructor = Constructor<Address, OptText, OptText, OptText, OptText, OptText, OptText,
                                                   OptText, OptText, OptText>;
    static PyGetSetDef getset[];
};

template <>
struct Class<Customer> {
    static constexpr const char* name = "Customer";
    static constexpr const char* signature = "(billing_address=None, shipping_address=None)";
    CORVANE_PARAMS("Customer.__new__()", 0, "billing_address", "shipping_address");
    using constructor = Constructor<Customer, std::optional<Address>, std::optional<Address>>;
    static PyGetSetDef getset[];
};

template <>
struct Class<LineItem> {
    static constexpr const char* name = "LineItem";
    static PyGetSetDef getset[];
    static std::string repr(const LineItem& l);
};

template <>
struct Class<Totals> {
    static constexpr const char* name = "Totals";
    static PyGetSetDef getset[];
};

template <>
struct Class<CheckoutSession> {
    static constexpr const char* name = "CheckoutSession";
    static PyGetSetDef getset[];
    static std::string repr(const CheckoutSession& s);
};

template <>
struct Class<Order> {
    static constexpr const char* name = "Order";
    static PyGetSetDef getset[];
    static std::string repr(const Order& o);
};

template <>
struct Class<SessionWithOrder> {
    static constexpr const char* name = "CheckoutSessionWithOrder";
    static PyGetSetDef getset[];
};

template <>
struct Class<RequestItem> {
    static constexpr const char* name = "RequestItem";
    static constexpr const char* signature = "(id, quantity)";
    CORVANE_PARAMS("RequestItem.__new__()", 2, "id", "quantity");
    using constructor = Constructor<RequestItem, std::string, std::int32_t>;
    static PyGetSetDef getset[];
};

template <>
struct Class<PaymentRequest> {
    static constexpr const char* name = "PaymentRequest";
    static constexpr const char* signature = "(delegated_token=None, method=None)";
    CORVANE_PARAMS("PaymentRequest.__new__()", 0, "delegated_token", "method");
    using constructor = Constructor<PaymentRequest, OptText, OptText>;
    static PyGetSetDef getset[];
};

template <>
struct Class<ClientRecord> {
    static constexpr const char* name = "AcpClient";
    static constexpr const char* signature = "(api_key=None)";
    CORVANE_PARAMS("AcpClient.__new__()", 0, "api_key");
    using constructor = Constructor<ClientRecord, OptText>;
    static PyGetSetDef getset[];
    static PyMethodDef methods[];
};

#undef CORVANE_PARAMS

}  // namespace corvane::py
