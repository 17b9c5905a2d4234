// Money and Totals.
#include "classes.hpp"

namespace corvane::py {

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
