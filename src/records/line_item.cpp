// LineItem: a priced line of a session, read-write, with no constructor (the
// engine makes every one).
#include "classes.hpp"

namespace corvane::py {

constinit PyGetSetDef* const Class<LineItem>::getset =
    attribute_table<Field<&LineItem::id, "id">, Field<&LineItem::title, "title">,
                    Field<&LineItem::quantity, "quantity">, Field<&LineItem::unit_price, "unit_price">,
                    Field<&LineItem::variant_id, "variant_id">, Field<&LineItem::sku, "sku">,
                    Field<&LineItem::image_url, "image_url">>
        .data();

std::string Class<LineItem>::repr(const LineItem& l) {
    std::string out = "LineItem(id='";
    out += l.id;
    out += "', title='";
    out += l.title;
    out += "', quantity=";
    out += std::to_string(l.quantity);
    out += ")";
    return out;
}

}  // namespace corvane::py
