// The built-in product catalog and the pricing rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "small_vector.hpp"
#include "values.hpp"

namespace corvane {

struct Product {
    std::string_view id;
    std::string_view title;
    std::int64_t price;  // cents, "USD"
    std::string_view variant_id;
    std::string_view sku;
    std::string_view image_url;
};

inline constexpr std::string_view kCurrency = "USD";

// One priced line as stored: lines only ever come from the catalog, so a line
// is a catalog index and a quantity.
struct StoredLine {
    std::uint8_t product = 0;  // catalog index
    std::int32_t quantity = 0;
};

// A session's lines. Three lines (the common order) are held inline.
using StoredLines = SmallVector<StoredLine, 3>;

// The whole catalog, in index order.
std::span<const Product> catalog() noexcept;
// Index of the product with exactly this identifier, or -1.
int find_product(std::string_view id) noexcept;
// The catalog's line item for product index with the given quantity.
LineItem catalog_line(std::uint8_t product, std::int32_t quantity);

// A request list priced while it is read: the lines of the known products in
// request order and, verbatim, the identifier of the first unknown product.
// Nothing fails here; each operation decides in its own order which refusal
// wins (creation refuses an empty request first, an update checks the session
// first).
struct PricedRequest {
    StoredLines lines;
    std::size_t requested = 0;           // items in the request
    std::optional<std::string> unknown;  // first identifier not in the catalog

    void add(std::string_view id, std::int32_t quantity);
};

// Totals rule over (unit price, quantity) pairs, with wrapping 64-bit arithmetic.
Totals compute_totals(std::span<const StoredLine> lines);

}  // namespace corvane
