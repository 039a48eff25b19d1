#include "ferrolune/core/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace ferrolune::text {

// ICU's macros are written for int32 offsets but only compare and increment
// them, so 64-bit offsets keep large outputs whole.
bool is_valid_utf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    const int64_t len = static_cast<int64_t>(bytes.size());
    int64_t pos = 0;
    while (pos < len) {
        UChar32 c;
        U8_NEXT(s, pos, len, c);
        if (c < 0) return false;
    }
    return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    const int64_t len = static_cast<int64_t>(bytes.size());
    int64_t pos = 0;
    while (pos < len) {
        int64_t start = pos;
        UChar32 c;
        // One U+FFFD per maximal ill-formed subpart, the Unicode recommendation.
        U8_NEXT(s, pos, len, c);
        if (c < 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(reinterpret_cast<const char*>(s + start), static_cast<size_t>(pos - start));
    }
    return out;
}

bool is_white_space(char32_t cp) { return u_isUWhiteSpace(static_cast<UChar32>(cp)); }

std::string_view trim(std::string_view s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    // Texts trimmed here are lines of tool output, far below 2 GiB.
    const int32_t len = static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX));
    int32_t start = 0;
    while (start < len) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(p, next, len, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = next;
    }
    int32_t end = len;
    while (end > start) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(p, start, prev, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = prev;
    }
    return s.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        if (nl == std::string_view::npos) {
            lines.push_back(s.substr(pos));
            break;
        }
        std::string_view line = s.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        pos = nl + 1;
    }
    return lines;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    for (;;) {
        size_t at = s.find(sep, pos);
        if (at == std::string_view::npos) {
            out.push_back(s.substr(pos));
            return out;
        }
        out.push_back(s.substr(pos, at - pos));
        pos = at + 1;
    }
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
    std::vector<std::string_view> out;
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const int64_t len = static_cast<int64_t>(s.size());
    int64_t pos = 0;
    int64_t token_start = -1;
    while (pos < len) {
        int64_t start = pos;
        UChar32 c;
        U8_NEXT(p, pos, len, c);
        bool ws = c >= 0 && u_isUWhiteSpace(c);
        if (ws) {
            if (token_start >= 0) out.push_back(s.substr(token_start, start - token_start));
            token_start = -1;
        } else if (token_start < 0) {
            token_start = start;
        }
    }
    if (token_start >= 0) out.push_back(s.substr(token_start, len - token_start));
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string unicode_lower(std::string_view s) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    // The root locale: no Turkish or Lithuanian special rules.
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

std::optional<double> parse_double(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::string_view body = s;
    if (body.front() == '+') body.remove_prefix(1);
    double v = 0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
    if (ec != std::errc() || ptr != body.data() + body.size()) return std::nullopt;
    return v;
}

namespace {

// Calls `emit` once for every shown character of `bytes`: a UTF-8 character
// as it is, or its escape.
template <typename Emit>
void for_each_shown_char(std::string_view bytes, Emit&& emit) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    const int64_t len = static_cast<int64_t>(bytes.size());
    int64_t pos = 0;
    while (pos < len) {
        const int64_t start = pos;
        UChar32 c;
        U8_NEXT(s, pos, len, c);
        if (c < 0) {
            for (int64_t i = start; i < pos; ++i) {
                const char esc[] = {'\\', 'x', kHex[s[i] >> 4], kHex[s[i] & 15]};
                emit(std::string_view(esc, sizeof esc));
            }
            continue;
        }
        switch (c) {
            case '\\': emit("\\\\"); continue;
            case '\n': emit("\\n"); continue;
            case '\r': emit("\\r"); continue;
            case '\t': emit("\\t"); continue;
            default: break;
        }
        const int8_t type = u_charType(c);
        const bool hidden = type == U_CONTROL_CHAR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR ||
                            u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL);
        if (!hidden) {
            emit(std::string_view(reinterpret_cast<const char*>(s + start), static_cast<size_t>(pos - start)));
        } else if (c < 0x80) {
            const char esc[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
            emit(std::string_view(esc, sizeof esc));
        } else {
            // Every character escaped here lies in the Basic Multilingual Plane.
            const char esc[] = {'\\', 'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
            emit(std::string_view(esc, sizeof esc));
        }
    }
}

}  // namespace

std::string printable_name(std::string_view bytes, std::size_t max_chars) {
    // An escape is as many characters as it shows; a character is one.
    auto width = [](std::string_view piece) {
        return piece.size() > 1 && piece[0] == '\\' ? piece.size() : std::size_t{1};
    };
    std::size_t total = 0;
    for_each_shown_char(bytes, [&](std::string_view piece) { total += width(piece); });
    std::string out;
    if (total <= max_chars) {
        for_each_shown_char(bytes, [&](std::string_view piece) { out += piece; });
        return out;
    }
    // Whole pieces only, so an escape is never cut in half.
    const std::size_t keep = max_chars > 0 ? max_chars - 1 : 0;  // one character goes to the ellipsis
    const std::size_t head = keep / 2;
    const std::size_t tail_from = total - (keep - head);
    std::size_t at = 0;
    bool cut = false;
    for_each_shown_char(bytes, [&](std::string_view piece) {
        const std::size_t w = width(piece);
        if (!cut && at + w <= head) {
            out += piece;
        } else if (at >= tail_from) {
            if (!cut) out += "\u2026";
            cut = true;
            out += piece;
        } else if (!cut) {
            out += "\u2026";
            cut = true;
        }
        at += w;
    });
    return out;
}

std::string quoted_name(std::string_view bytes, std::size_t max_chars) {
    return "'" + printable_name(bytes, max_chars) + "'";
}

std::string one_decimal(double v) {
    // printf rounds the exact binary value with the current rounding mode
    // (to nearest, ties to even), which is what the log lines need.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

}  // namespace ferrolune::text
