// The process-wide session store: one hash map from session identifier to the
// stored session, behind one reader-writer lock. Internal to the engine.
//
// The store is poisoned once a writer faults: any way out of a write section
// other than an Error (a Panic, an allocation failure, anything else) marks it,
// and from then on every access fails with RuntimeError "Failed to acquire lock".
// An Error is a refusal decided before anything was changed and never poisons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

#include "failure.hpp"
#include "session.hpp"

namespace corvane::detail {

// SipHash with C compression and D finalisation rounds over a 128-bit key
// (k0 holds key bytes 0..7, k1 bytes 8..15, both little-endian).
template <int C, int D>
std::uint64_t sip_hash(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t len) noexcept {
    auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    auto load_le = [](const unsigned char* p) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    };
    std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL;
    std::uint64_t v1 = k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL;
    std::uint64_t v3 = k1 ^ 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t full = len & ~std::size_t{7};
    for (std::size_t i = 0; i < full; i += 8) {
        const std::uint64_t m = load_le(p + i);
        v3 ^= m;
        for (int r = 0; r < C; ++r) round();
        v0 ^= m;
    }
    std::uint64_t last = static_cast<std::uint64_t>(len) << 56;
    for (std::size_t i = full; i < len; ++i) {
        last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - full));
    }
    v3 ^= last;
    for (int r = 0; r < C; ++r) round();
    v0 ^= last;
    v2 ^= 0xff;
    for (int r = 0; r < D; ++r) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// SipHash-1-3 of a session identifier under the store's random key.
struct SeededHash {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    std::size_t operator()(const Uuid& id) const noexcept {
        return static_cast<std::size_t>(sip_hash<1, 3>(k0, k1, id.bytes.data(), id.bytes.size()));
    }
};

using SessionMap = std::unordered_map<Uuid, CheckoutSession, SeededHash>;

inline constexpr const char* kLockFailed = "Failed to acquire lock";

class Store {
public:
    // The store of this process, made empty with a fresh hash key on first use
    // (exactly once, whichever threads arrive) and never torn down.
    static Store& instance();

    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Runs body(const SessionMap&) under the shared lock. Fails with
    // RuntimeError "Failed to acquire lock" when the store is poisoned.
    template <class F>
    decltype(auto) read(F&& body) {
        std::shared_lock lock(mutex_);
        if (poisoned_) {
            lock.unlock();
            fail_runtime(kLockFailed);
        }
        return std::forward<F>(body)(std::as_const(map_));
    }

    // Runs body(SessionMap&) under the exclusive lock. Fails with RuntimeError
    // "Failed to acquire lock" when the store is poisoned; poisons it when the
    // body leaves by anything but an Error.
    template <class F>
    decltype(auto) write(F&& body) {
        std::unique_lock lock(mutex_);
        if (poisoned_) {
            lock.unlock();
            fail_runtime(kLockFailed);
        }
        try {
            return std::forward<F>(body)(map_);
        } catch (const Error&) {
            throw;
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

private:
    Store();

    std::shared_mutex mutex_;
    bool poisoned_ = false;  // written only under the exclusive lock, never cleared
    SessionMap map_;
};

}  // namespace corvane::detail
