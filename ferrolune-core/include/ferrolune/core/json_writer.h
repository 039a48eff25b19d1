// Writing JSON: compact by default, or indented by two blanks per level.
// Reading JSON replies is left to nlohmann/json where it is needed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolune::json {

// Appends `s` as a JSON string literal: quote and backslash escaped, the
// five short control escapes, other controls as \u00xx, the rest unchanged.
void append_string(std::string& out, std::string_view s);

// Shortest round-trip form: plain notation with at least one fractional
// digit for magnitudes in [1e-5, 1e16), exponent notation outside it,
// null for non-finite values.
std::string format_double(double v);

class Writer {
public:
    explicit Writer(bool pretty = false, size_t capacity = 128);

    Writer& begin_object();
    Writer& end_object();
    Writer& begin_array();
    Writer& end_array();
    Writer& key(std::string_view k);
    Writer& string(std::string_view s);
    Writer& uint(uint64_t v);
    Writer& integer(int64_t v);
    Writer& number(double v);
    Writer& boolean(bool v);
    Writer& null();

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void before_value();
    void open(char c);
    void close(char c);
    void newline_indent();

    struct Level {
        bool has_members = false;
    };
    bool pretty_;
    bool after_key_ = false;
    std::vector<Level> stack_;
    std::string out_;
};

}  // namespace ferrolune::json
