// Panics: the diagnostic line and the unwinding.
#include "failure.hpp"

#include <cstdio>

namespace corvane {

namespace {

constexpr char kPanicBanner[] = "corvane_acp_native: native code panicked: ";

// Writes the diagnostic without allocating, so a panic raised because memory
// ran out can still be reported. stderr is unbuffered.
void report(const std::string& message) noexcept {
    std::fwrite(kPanicBanner, 1, sizeof kPanicBanner - 1, stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace

void panic(std::string message) {
    report(message);
    throw Panic{std::move(message), true};
}

void resume_panic(std::string message) {
    throw Panic{std::move(message), true};
}

}  // namespace corvane
