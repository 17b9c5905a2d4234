// Failures as values. An Error is an expected refusal (bad request, missing
// session, state conflict); a Panic is an internal fault that abandons the call.
// Both are plain C++ and are turned into Python exceptions at the call boundary.
#pragma once

#include <string>
#include <utility>

namespace corvane {

struct Error {
    enum class Kind { Value, Runtime };
    Kind kind;
    std::string message;
};

[[noreturn]] inline void fail_value(std::string message) {
    throw Error{Error::Kind::Value, std::move(message)};
}
[[noreturn]] inline void fail_runtime(std::string message) {
    throw Error{Error::Kind::Runtime, std::move(message)};
}

struct Panic {
    std::string message;
    bool has_message = true;
};

// Writes the panic diagnostic to standard error, then unwinds with a Panic.
[[noreturn]] void panic(std::string message);
// Unwinds with an already reported panic (no second diagnostic).
[[noreturn]] void resume_panic(std::string message);

}  // namespace corvane
