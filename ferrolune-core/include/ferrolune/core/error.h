// Error values with a chain of causes, and the Result type every fallible
// operation below the Python boundary returns.
#pragma once

#include <any>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace ferrolune {

// A message plus the messages of its causes, outermost first. Rendered as
// "message: cause: cause".
class Error {
public:
    Error() = default;
    explicit Error(std::string message) : message_(std::move(message)) {}

    const std::string& message() const { return message_; }
    // Causes in chain order (the first is the direct cause).
    const std::vector<std::string>& causes() const { return causes_; }
    // The innermost message: the root cause, or the message itself.
    const std::string& root_cause() const { return causes_.empty() ? message_ : causes_.back(); }

    // "message: cause: cause".
    std::string render() const;

    // Wraps this error as the cause of a new one with the given message.
    // The detail stays: context says where, the detail says what kind of
    // failure the root cause is.
    Error context(std::string message) const&;
    Error context(std::string message) &&;
    // Wraps in `times` copies of one context message, in time linear in the
    // chain (a reader skipping deeply nested data needs thousands of them).
    Error context_repeated(const std::string& message, std::size_t times) &&;

    // A typed payload for callers that need to tell error kinds apart
    // (the runtime adapters keep their error variant here).
    const std::any& detail() const { return detail_; }
    Error& set_detail(std::any d) {
        detail_ = std::move(d);
        return *this;
    }

private:
    std::string message_;
    std::vector<std::string> causes_;
    std::any detail_;
};

template <typename T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }
inline std::unexpected<Error> fail(Error e) { return std::unexpected(std::move(e)); }

template <typename... Args>
std::unexpected<Error> failf(fmt::format_string<Args...> f, Args&&... args) {
    return std::unexpected(Error(fmt::format(f, std::forward<Args>(args)...)));
}

// Adds a context message around the error of a failed result; passes a
// success through.
template <typename T>
Result<T> with_context(Result<T> r, std::string message) {
    if (r) return r;
    return std::unexpected(std::move(r.error()).context(std::move(message)));
}

// "{} (os error {})": the system's description of errno value `err`, then the number.
std::string os_error_text(int err);
// An Error whose message is os_error_text(err).
Error os_error(int err);

}  // namespace ferrolune
