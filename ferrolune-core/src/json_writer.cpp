#include "ferrolune/core/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace ferrolune::json {

void append_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

std::string format_double(double v) {
    if (!std::isfinite(v)) return "null";
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
    // Shortest round-trip digits and the decimal exponent, from to_chars.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    bool negative = sci.front() == '-';
    if (negative) sci.remove_prefix(1);
    size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exp10 = std::atoi(std::string(sci.substr(e + 1)).c_str());

    std::string out = negative ? "-" : "";
    double mag = std::fabs(v);
    if (mag >= 1e-5 && mag < 1e16) {
        // digits d0 d1 ... with the point after position exp10 + 1.
        int point = exp10 + 1;
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<size_t>(-point), '0');
            out += digits;
        } else if (static_cast<size_t>(point) >= digits.size()) {
            out += digits;
            out.append(static_cast<size_t>(point) - digits.size(), '0');
            out += ".0";
        } else {
            out += digits.substr(0, static_cast<size_t>(point));
            out += '.';
            out += digits.substr(static_cast<size_t>(point));
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(exp10);
    }
    return out;
}

Writer::Writer(bool pretty, size_t capacity) : pretty_(pretty) { out_.reserve(capacity); }

void Writer::newline_indent() {
    out_ += '\n';
    out_.append(stack_.size() * 2, ' ');
}

void Writer::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (stack_.empty()) return;
    // A value directly inside an array.
    if (stack_.back().has_members) out_ += ',';
    stack_.back().has_members = true;
    if (pretty_) newline_indent();
}

void Writer::open(char c) {
    before_value();
    out_ += c;
    stack_.push_back({});
}

void Writer::close(char c) {
    bool had = !stack_.empty() && stack_.back().has_members;
    if (!stack_.empty()) stack_.pop_back();
    if (pretty_ && had) newline_indent();
    out_ += c;
}

Writer& Writer::begin_object() { open('{'); return *this; }
Writer& Writer::end_object() { close('}'); return *this; }
Writer& Writer::begin_array() { open('['); return *this; }
Writer& Writer::end_array() { close(']'); return *this; }

Writer& Writer::key(std::string_view k) {
    if (!stack_.empty()) {
        if (stack_.back().has_members) out_ += ',';
        stack_.back().has_members = true;
    }
    if (pretty_) newline_indent();
    append_string(out_, k);
    out_ += pretty_ ? ": " : ":";
    after_key_ = true;
    return *this;
}

Writer& Writer::string(std::string_view s) { before_value(); append_string(out_, s); return *this; }
Writer& Writer::uint(uint64_t v) { before_value(); out_ += std::to_string(v); return *this; }
Writer& Writer::integer(int64_t v) { before_value(); out_ += std::to_string(v); return *this; }
Writer& Writer::number(double v) { before_value(); out_ += format_double(v); return *this; }
Writer& Writer::boolean(bool v) { before_value(); out_ += v ? "true" : "false"; return *this; }
Writer& Writer::null() { before_value(); out_ += "null"; return *this; }

}  // namespace ferrolune::json
