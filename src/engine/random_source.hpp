// The operating system's random source, shared by identifiers and the store's
// hash seed. Internal to the engine.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::detail {

// Fills out[0..size) with fresh random bytes from the operating system. When the
// source fails, panics with panic_prefix followed by the system error, written
// as "<strerror text> (os error <n>)".
void fill_os_random(void* out, std::size_t size, std::string_view panic_prefix);

// Fills out[0..size) from getrandom alone, without ever failing: false when
// getrandom is missing or refuses (out is then undefined), where a caller that
// must have the bytes goes on to fill_os_random, which tries the devices too
// and reports the failure.
bool try_fill_os_random(void* out, std::size_t size) noexcept;

// "<strerror text> (os error <n>)" for an errno value.
std::string os_error_text(int err);

}  // namespace corvane::detail
