// Money.
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

}  // namespace corvane::py
