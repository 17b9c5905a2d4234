// Creation of the process-wide session store.
#include "store.hpp"

#include <cstring>

#include "random_source.hpp"

namespace corvane::detail {

namespace {

SeededHash random_hash() {
    unsigned char key[16];
    fill_os_random(key, sizeof key, "could not retrieve random bytes for hash seed: ");
    SeededHash hash;
    std::memcpy(&hash.k0, key, 8);
    std::memcpy(&hash.k1, key + 8, 8);
    return hash;
}

}  // namespace

Store::Store() : map_(random_hash()) {}

Store& Store::instance() {
    // Deliberately leaked: sessions outlive every client and the module itself,
    // and no destructor may run while another thread could still be inside.
    static Store* const store = new Store;
    return *store;
}

}  // namespace corvane::detail
