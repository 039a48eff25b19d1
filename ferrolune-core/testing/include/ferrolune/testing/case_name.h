// Names for the cases of a parametrized test table whose inputs are short
// texts: GoogleTest accepts only ASCII letters, digits and '_' in a name.
#pragma once

#include <cmath>
#include <string>
#include <string_view>

namespace ferrolune::testing {

// Letters and digits stay, a sign is spelled out so "-1" and "+1" stay
// apart, and every other byte becomes '_' (one each, so "m" and "m." differ).
// Names must still be unique in their table; GoogleTest reports a clash.
inline std::string case_name(std::string_view text) {
    if (text.empty()) return "empty";
    std::string name;
    for (char c : text) {
        const bool letter_or_digit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (letter_or_digit) {
            name += c;
        } else if (c == '-' || c == '+') {
            if (!name.empty() && name.back() != '_') name += '_';
            name += c == '-' ? "minus_" : "plus_";
        } else {
            name += '_';
        }
    }
    // Test discovery takes a name of digits alone for a case index and
    // shows the raw bytes of the case instead.
    if (name.find_first_not_of("0123456789") == std::string::npos) name.insert(0, "_");
    return name;
}

// A number's case: its expected text names it, except where several values
// share one text (every non-finite value writes as null).
inline std::string number_case_name(double value, std::string_view text) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "infinity" : "minus_infinity";
    return case_name(text);
}

}  // namespace ferrolune::testing
