// A session's customer in its stored form.
#pragma once

#include <utility>

#include "values.hpp"

namespace corvane {

// A session's customer as stored: one heap block that records which addresses
// and texts are present and holds every present text back to back. The block
// never changes once written, so copies share it (counting their references)
// instead of copying it: a copy cannot fail and costs no allocation. Empty
// means no customer; a customer with both addresses absent is present all the
// same. Texts keep every byte (NULs included), and an absent text stays
// distinct from the empty one.
class StoredCustomer {
public:
    StoredCustomer() noexcept = default;
    explicit StoredCustomer(const Customer& customer);
    StoredCustomer(const StoredCustomer& other) noexcept : shared_(other.shared_) { retain(); }
    StoredCustomer(StoredCustomer&& other) noexcept : shared_(std::exchange(other.shared_, nullptr)) {}
    StoredCustomer& operator=(const StoredCustomer& other) noexcept {
        Shared* const shared = other.shared_;  // before release(), which may be other's
        other.retain();
        release();
        shared_ = shared;
        return *this;
    }
    StoredCustomer& operator=(StoredCustomer&& other) noexcept {
        if (this != &other) {
            release();
            shared_ = std::exchange(other.shared_, nullptr);
        }
        return *this;
    }
    ~StoredCustomer() { release(); }

    explicit operator bool() const noexcept { return shared_ != nullptr; }
    // The full customer again, every present text copied out; requires a
    // present customer.
    Customer value() const;

private:
    struct Shared;  // the reference count, followed by the block
    void retain() const noexcept;
    void release() noexcept {
        if (shared_ != nullptr) release_shared();
    }
    void release_shared() noexcept;
    const unsigned char* block() const noexcept;

    Shared* shared_ = nullptr;
};

}  // namespace corvane
