// Text helpers shared by every subsystem: UTF-8 decoding, white-space
// trimming, the line-splitting rule, strict unsigned number parsing and the
// safe display of names taken from files.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolune::text {

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Decodes UTF-8, replacing each maximal ill-formed subsequence by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// True for the Unicode White_Space code points.
bool is_white_space(char32_t cp);

// Strips leading and trailing Unicode white space. Input must be UTF-8
// (ill-formed bytes are never white space and stop the trim).
std::string_view trim(std::string_view s);

// Splits at line feeds; one carriage return before each line feed is dropped;
// text after the last line feed is a final line when it is not empty.
std::vector<std::string_view> split_lines(std::string_view s);

// Splits at every occurrence of `sep`, no quoting; always at least one field.
std::vector<std::string_view> split(std::string_view s, char sep);

// Splits at runs of Unicode white space, dropping empty tokens.
std::vector<std::string_view> split_whitespace(std::string_view s);

// A to Z become a to z; every other byte is kept.
std::string ascii_lower(std::string_view s);

// Full Unicode lower-casing (special casings included, so one character may
// become several). Ill-formed UTF-8 is decoded lossily first.
std::string unicode_lower(std::string_view s);

// Strict unsigned decimal: optional leading '+', then one or more digits,
// nothing else; overflow of T fails.
template <typename T>
std::optional<T> parse_unsigned(std::string_view s) {
    static_assert(std::numeric_limits<T>::is_integer && !std::numeric_limits<T>::is_signed);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    T value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        T digit = static_cast<T>(c - '0');
        if (value > (std::numeric_limits<T>::max() - digit) / 10) return std::nullopt;
        value = static_cast<T>(value * 10 + digit);
    }
    return value;
}

// Parses a decimal floating-point number (as strtod does, whole text, no
// blanks); nullopt when the text is not entirely a number.
std::optional<double> parse_double(std::string_view s);

// Formats with one digit after the point, rounding half to even on the exact
// binary value (as the optimizer's log lines show figures).
std::string one_decimal(double v);

// The longest a name shown in a message may get, in characters.
inline constexpr std::size_t kMaxNameChars = 200;

// A name taken from outside (a metadata key, a path) made safe to put in a
// message: control characters, line and paragraph separators and bidi
// controls become escapes (\n, \r, \t, \xNN below U+0080, \uXXXX above),
// bytes that are not UTF-8 become \xNN, and a backslash becomes \\. A result
// longer than `max_chars` characters keeps its first and last characters
// around one "…" (the end of a path names the file, so it stays), at most
// `max_chars` characters in all; an escape is kept whole or not at all.
std::string printable_name(std::string_view bytes, std::size_t max_chars = kMaxNameChars);

// printable_name between single quotes, as messages show keys and files.
std::string quoted_name(std::string_view bytes, std::size_t max_chars = kMaxNameChars);

}  // namespace ferrolune::text
