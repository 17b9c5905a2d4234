// Address and Customer.
#include "classes.hpp"

namespace corvane::py {

PyGetSetDef Class<Address>::getset[] = {
    rw<Address, &Address::name>("name"),
    rw<Address, &Address::line1>("line1"),
    rw<Address, &Address::line2>("line2"),
    rw<Address, &Address::city>("city"),
    rw<Address, &Address::region>("region"),
    rw<Address, &Address::postal_code>("postal_code"),
    rw<Address, &Address::country>("country"),
    rw<Address, &Address::phone>("phone"),
    rw<Address, &Address::email>("email"),
    {},
};

PyGetSetDef Class<Customer>::getset[] = {
    rw<Customer, &Customer::billing_address>("billing_address"),
    rw<Customer, &Customer::shipping_address>("shipping_address"),
    {},
};

}  // namespace corvane::py
