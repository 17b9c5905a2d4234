// The built-in product catalog, pricing of requested items and the totals rule.
#include "catalog.hpp"

#include <array>
#include <cstring>
#include <string>

#include "failure.hpp"

namespace corvane {

namespace {

constexpr std::array<Product, 3> kCatalog{{
    {"prod_laptop_001", "MacBook Pro 14\"", 199900, "var_001", "MBP14-M3",
     "https://images.corvane.example/mbp14.jpg"},
    {"prod_mouse_002", "Magic Mouse", 9900, "var_002", "MM-WHITE",
     "https://images.corvane.example/mouse.jpg"},
    {"prod_keyboard_003", "Magic Keyboard", 29900, "var_003", "MK-SILVER",
     "https://images.corvane.example/keyboard.jpg"},
}};

static_assert(kCatalog[0].title.size() == 15 && kCatalog[0].title.back() == '"');

constexpr double kTaxRate = 0.0875;
constexpr std::int64_t kShippingFee = 999;
constexpr std::int64_t kFreeShippingAbove = 10000;

// Wrapping 64-bit arithmetic, done on unsigned values so it is never undefined.
constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

Money usd(std::int64_t amount) {
    return Money{amount, std::string(kCurrency)};
}

std::string text(std::string_view s) {
    return std::string(s);
}

}  // namespace

std::span<const Product> catalog() noexcept {
    return kCatalog;
}

int find_product(std::string_view id) noexcept {
    for (std::size_t i = 0; i < kCatalog.size(); ++i) {
        const std::string_view known = kCatalog[i].id;
        if (known.size() == id.size() && std::memcmp(known.data(), id.data(), id.size()) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

LineItem catalog_line(std::uint8_t product, std::int32_t quantity) {
    if (product >= kCatalog.size()) panic("catalog index out of range");
    const Product& p = kCatalog[product];
    LineItem line;
    line.id = text(p.id);
    line.title = text(p.title);
    line.quantity = quantity;
    line.unit_price = usd(p.price);
    line.variant_id = text(p.variant_id);
    line.sku = text(p.sku);
    line.image_url = text(p.image_url);
    return line;
}

void PricedRequest::add(std::string_view id, std::int32_t quantity) {
    ++requested;
    if (unknown) return;  // the request fails anyway; later items are not priced
    const int product = find_product(id);
    if (product < 0) {
        unknown.emplace(id);
        return;
    }
    lines.push_back(StoredLine{static_cast<std::uint8_t>(product), quantity});
}

Totals compute_totals(std::span<const StoredLine> lines) {
    std::int64_t subtotal = 0;
    for (const StoredLine& line : lines) {
        if (line.product >= kCatalog.size()) panic("catalog index out of range");
        const std::int64_t price = kCatalog[line.product].price;
        subtotal = wrapping_add(subtotal, wrapping_mul(price, static_cast<std::int64_t>(line.quantity)));
    }
    // |subtotal| * 0.0875 is far below 2^63, so the truncating conversion is exact.
    const auto tax = static_cast<std::int64_t>(static_cast<double>(subtotal) * kTaxRate);
    const std::int64_t shipping = subtotal <= kFreeShippingAbove ? kShippingFee : 0;
    const std::int64_t grand_total = wrapping_add(wrapping_add(subtotal, tax), shipping);

    Totals totals;
    totals.subtotal = usd(subtotal);
    totals.tax = usd(tax);
    totals.shipping = usd(shipping);
    totals.discount = usd(0);
    totals.grand_total = usd(grand_total);
    return totals;
}

}  // namespace corvane
