#include "ferrolune/core/error.h"

#include <cstring>

namespace ferrolune {

std::string Error::render() const {
    std::string out = message_;
    for (const auto& c : causes_) {
        out += ": ";
        out += c;
    }
    return out;
}

Error Error::context(std::string message) const& {
    Error copy = *this;
    return std::move(copy).context(std::move(message));
}

Error Error::context(std::string message) && {
    Error outer(std::move(message));
    outer.causes_.reserve(causes_.size() + 1);
    outer.causes_.push_back(std::move(message_));
    for (auto& c : causes_) outer.causes_.push_back(std::move(c));
    outer.detail_ = std::move(detail_);
    return outer;
}

Error Error::context_repeated(const std::string& message, std::size_t times) && {
    if (times == 0) return std::move(*this);
    Error outer(message);
    outer.causes_.reserve(causes_.size() + times);
    for (std::size_t i = 1; i < times; ++i) outer.causes_.push_back(message);
    outer.causes_.push_back(std::move(message_));
    for (auto& c : causes_) outer.causes_.push_back(std::move(c));
    outer.detail_ = std::move(detail_);
    return outer;
}

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may not live in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    // The "(os error N)" form is the wording users and older tools already
    // know from these messages; keep it.
    return fmt::format("{} (os error {})", text, err);
}

Error os_error(int err) { return Error(os_error_text(err)); }

}  // namespace ferrolune
