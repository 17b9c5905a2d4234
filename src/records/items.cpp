// RequestItem and LineItem.
#include "classes.hpp"

namespace corvane::py {

PyGetSetDef Class<LineItem>::getset[] = {
    rw<LineItem, &LineItem::id>("id"),
    rw<LineItem, &LineItem::title>("title"),
    rw<LineItem, &LineItem::quantity>("quantity"),
    rw<LineItem, &LineItem::unit_price>("unit_price"),
    rw<LineItem, &LineItem::variant_id>("variant_id"),
    rw<LineItem, &LineItem::sku>("sku"),
    rw<LineItem, &LineItem::image_url>("image_url"),
    {},
};

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
