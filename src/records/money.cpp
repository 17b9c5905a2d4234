// Money and Totals.
#include "classes.hpp"

namespace corvane::py {

PyGetSetDef Class<Money>::getset[] = {
    rw<Money, &Money::amount>("amount"),
    rw<Money, &Money::currency>("currency"),
    {},
};

std::string Class<Money>::repr(const Money& m) {
    std::string out = "Money(amount=";
    out += std::to_string(m.amount);
    out += ", currency='";
    out += m.currency;
    out += "')";
    return out;
}

PyGetSetDef Class<Totals>::getset[] = {
    rw<Totals, &Totals::subtotal>("subtotal"),
    rw<Totals, &Totals::tax>("tax"),
    rw<Totals, &Totals::shipping>("shipping"),
    rw<Totals, &Totals::discount>("discount"),
    rw<Totals, &Totals::grand_total>("grand_total"),
    {},
};

}  // namespace corvane::py
