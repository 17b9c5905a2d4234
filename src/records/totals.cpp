// Totals: the five amounts of a session, read-write, with no constructor.
#include "classes.hpp"

namespace corvane::py {

constinit PyGetSetDef* const Class<Totals>::getset =
    attribute_table<Field<&Totals::subtotal, "subtotal">, Field<&Totals::tax, "tax">,
                    Field<&Totals::shipping, "shipping">, Field<&Totals::discount, "discount">,
                    Field<&Totals::grand_total, "grand_total">>
        .data();

}  // namespace corvane::py
