// The Python face of every record: one description per class. Each names the
// class, declares its constructor (or none) as the record fields it sets, with
// their keyword names, and gives its attribute table: a constructible record's
// attributes are its constructor's parameters, read-write, in order; a class
// without a constructor declares its table as Attributes<...> in the file
// named after it (or after its family). The binding layer generates the type
// object and every slot from that, and checks each table against its record.
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

template <>
struct Class<Money> {
    static constexpr const char* name = "Money";
    using constructor = Constructor<Param<&Money::amount, "amount">, Param<&Money::currency, "currency">>;
    constinit static inline auto getset = constructor::attributes();
    static std::string repr(const Money& m);
};

template <>
struct Class<Address> {
    static constexpr const char* name = "Address";
    using constructor =
        Constructor<Param<&Address::name, "name">, Param<&Address::line1, "line1">, Param<&Address::line2, "line2">,
                    Param<&Address::city, "city">, Param<&Address::region, "region">,
                    Param<&Address::postal_code, "postal_code">, Param<&Address::country, "country">,
                    Param<&Address::phone, "phone">, Param<&Address::email, "email">>;
    constinit static inline auto getset = constructor::attributes();
};

// A customer object keeps the stored form an update last made of it, so
// updating session after session with the same customer shares one block.
template <>
struct Derived<Customer> {
    StoredCustomer stored;
    void clear() noexcept { stored = StoredCustomer(); }
};

template <>
struct Class<Customer> {
    static constexpr const char* name = "Customer";
    using constructor = Constructor<Param<&Customer::billing_address, "billing_address">,
                                    Param<&Customer::shipping_address, "shipping_address">>;
    constinit static inline auto getset = constructor::attributes();
};

template <>
struct Class<LineItem> {
    static constexpr const char* name = "LineItem";
    static PyGetSetDef* const getset;  // the table in line_item.cpp
    static std::string repr(const LineItem& l);
};

template <>
struct Class<Totals> {
    static constexpr const char* name = "Totals";
    static PyGetSetDef* const getset;  // the table in totals.cpp
};

template <>
struct Class<CheckoutSession> {
    static constexpr const char* name = "CheckoutSession";
    static PyGetSetDef* const getset;  // the table in checkout_session.cpp
    static std::string repr(const CheckoutSession& s);
};

template <>
struct Class<Order> {
    static constexpr const char* name = "Order";
    static PyGetSetDef* const getset;  // the table in order.cpp
    static std::string repr(const Order& o);
};

template <>
struct Class<SessionWithOrder> {
    static constexpr const char* name = "CheckoutSessionWithOrder";
    static PyGetSetDef* const getset;  // the table in order.cpp
};

template <>
struct Class<RequestItem> {
    static constexpr const char* name = "RequestItem";
    using constructor = Constructor<Param<&RequestItem::id, "id">, Param<&RequestItem::quantity, "quantity">>;
    constinit static inline auto getset = constructor::attributes();
};

template <>
struct Class<PaymentRequest> {
    static constexpr const char* name = "PaymentRequest";
    using constructor = Constructor<Param<&PaymentRequest::delegated_token, "delegated_token">,
                                    Param<&PaymentRequest::method, "method">>;
    constinit static inline auto getset = constructor::attributes();
};

// The client's key is a constructor parameter but no attribute.
template <>
struct Class<ClientRecord> {
    static constexpr const char* name = "AcpClient";
    using constructor = Constructor<Param<&ClientRecord::api_key, "api_key">>;
    constinit static inline PyGetSetDef getset[] = {{}};
    static PyMethodDef methods[];
};

}  // namespace corvane::py
