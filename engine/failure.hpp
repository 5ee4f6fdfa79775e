#pragma once
// The one exception type for internal failures of the engine and the module
// core. It carries the message and the source location of the failed check;
// the Python surface turns it into PanicException.

#include <source_location>
#include <stdexcept>
#include <string>

namespace tfs {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message,
                             std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// Raises InternalFailure with `message`, recording the caller's location.
[[noreturn]] inline void fail(const std::string& message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure(message, where);
}

// The same for a fixed message. Kept out of line and cold, so that a check
// inside a hot loop costs its test and branch alone.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail(
    const char* message, std::source_location where = std::source_location::current()) {
    throw InternalFailure(message, where);
}

// Raises InternalFailure with `message` when `condition` is false.
inline void check(bool condition, const char* message,
                  std::source_location where = std::source_location::current()) {
    if (!condition) [[unlikely]]
        fail(message, where);
}

}  // namespace tfs
