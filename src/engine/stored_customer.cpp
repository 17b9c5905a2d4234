// The stored customer's block: writing it from a Customer and reading one back.
#include "stored_customer.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "failure.hpp"

namespace corvane {

namespace {

// Block layout: the presence word, then the end offset of every text (relative
// to the first text byte; an absent text ends where the one before it does),
// then the texts. Text k is field k % 9 of the billing (k < 9) or shipping
// address. Words are read and written with memcpy, so the block needs no
// particular alignment.
constexpr std::size_t kFieldsPerAddress = 9;
constexpr std::size_t kTexts = 2 * kFieldsPerAddress;
constexpr std::uint32_t kBillingPresent = std::uint32_t{1} << kTexts;
constexpr std::uint32_t kShippingPresent = std::uint32_t{1} << (kTexts + 1);
constexpr std::size_t kEndsAt = sizeof(std::uint64_t);  // after the presence word
constexpr std::size_t kTextsAt = kEndsAt + kTexts * sizeof(std::uint64_t);

constexpr OptText Address::*kAddressFields[kFieldsPerAddress] = {
    &Address::name,   &Address::line1,       &Address::line2,   &Address::city,  &Address::region,
    &Address::postal_code, &Address::country, &Address::phone, &Address::email,
};

std::uint64_t text_end(const unsigned char* block, std::size_t k) noexcept {
    std::uint64_t end;
    std::memcpy(&end, block + kEndsAt + k * sizeof end, sizeof end);
    return end;
}

}  // namespace

// The block follows the count directly; the count's alignment (8) is all the
// block's words ever need, and they are read with memcpy regardless.
struct StoredCustomer::Shared {
    std::atomic<std::size_t> refs{1};
};
static_assert(sizeof(StoredCustomer) == sizeof(void*));

StoredCustomer::StoredCustomer(const Customer& customer) {
    const std::optional<Address>* addresses[2] = {&customer.billing_address, &customer.shipping_address};
    std::uint32_t present = 0;
    std::uint64_t ends[kTexts];
    std::uint64_t end = 0;
    for (std::size_t a = 0; a < 2; ++a) {
        const std::optional<Address>& address = *addresses[a];
        if (address) present |= a == 0 ? kBillingPresent : kShippingPresent;
        for (std::size_t f = 0; f < kFieldsPerAddress; ++f) {
            const std::size_t k = a * kFieldsPerAddress + f;
            if (address) {
                if (const OptText& text = (*address).*kAddressFields[f]) {
                    present |= std::uint32_t{1} << k;
                    end += text->size();
                }
            }
            ends[k] = end;
        }
    }

    void* memory = ::operator new(sizeof(Shared) + kTextsAt + static_cast<std::size_t>(end));
    shared_ = new (memory) Shared;
    unsigned char* block = reinterpret_cast<unsigned char*>(shared_ + 1);
    const std::uint64_t word = present;
    std::memcpy(block, &word, sizeof word);
    std::memcpy(block + kEndsAt, ends, sizeof ends);
    unsigned char* out = block + kTextsAt;
    for (std::size_t k = 0; k < kTexts; ++k) {
        if (!(present & (std::uint32_t{1} << k))) continue;
        const std::string& text = *((**addresses[k / kFieldsPerAddress]).*kAddressFields[k % kFieldsPerAddress]);
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
}

void StoredCustomer::retain() const noexcept {
    if (shared_ != nullptr) shared_->refs.fetch_add(1, std::memory_order_relaxed);
}

void StoredCustomer::release_shared() noexcept {
    Shared* shared = std::exchange(shared_, nullptr);
    if (shared->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        shared->~Shared();
        ::operator delete(shared);
    }
}

const unsigned char* StoredCustomer::block() const noexcept {
    return shared_ != nullptr ? reinterpret_cast<const unsigned char*>(shared_ + 1) : nullptr;
}

Customer StoredCustomer::value() const {
    const unsigned char* block = this->block();
    if (block == nullptr) panic("no stored customer to read");
    std::uint64_t word;
    std::memcpy(&word, block, sizeof word);
    const auto present = static_cast<std::uint32_t>(word);
    const char* texts = reinterpret_cast<const char*>(block + kTextsAt);

    Customer customer;
    std::optional<Address>* addresses[2] = {&customer.billing_address, &customer.shipping_address};
    std::uint64_t start = 0;
    for (std::size_t a = 0; a < 2; ++a) {
        const bool has_address = present & (a == 0 ? kBillingPresent : kShippingPresent);
        if (has_address) addresses[a]->emplace();
        for (std::size_t f = 0; f < kFieldsPerAddress; ++f) {
            const std::size_t k = a * kFieldsPerAddress + f;
            const std::uint64_t end = text_end(block, k);
            if (has_address && (present & (std::uint32_t{1} << k))) {
                ((**addresses[a]).*kAddressFields[f]).emplace(texts + start, static_cast<std::size_t>(end - start));
            }
            start = end;
        }
    }
    return customer;
}

}  // namespace corvane
