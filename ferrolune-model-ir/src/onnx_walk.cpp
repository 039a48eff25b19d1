#include "onnx_walk.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "onnx_schema.h"

namespace ferrolune::onnx_walk {

const unsigned char* FileSource::peek(uint64_t offset, std::size_t n) {
    if (offset >= window_offset_ && offset + n <= window_offset_ + window_len_) return window_ + (offset - window_offset_);
    std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(kWindow, size_ - offset));
    std::size_t got = 0;
    while (got < want) {
        ssize_t r = ::pread(fd_, window_ + got, want - got, static_cast<off_t>(offset + got));
        ++reads_;
        if (r < 0) {
            if (errno == EINTR) continue;
            io_error_ = os_error(errno);
            window_len_ = 0;
            return nullptr;
        }
        if (r == 0) break;  // the file shrank since it was measured
        got += static_cast<std::size_t>(r);
    }
    window_offset_ = offset;
    window_len_ = got;
    return got >= n ? window_ : nullptr;
}

namespace {

using onnx_schema::FieldKind;
using onnx_schema::FieldSpec;
using onnx_schema::kMessages;

enum class Role { Model, MainGraph, Initializer, Other };

constexpr uint32_t kWireVarint = 0, kWireFixed64 = 1, kWireLen = 2, kWireStartGroup = 3, kWireEndGroup = 4,
                   kWireFixed32 = 5;
// protobuf refuses lengths that could overflow its int limits.
constexpr uint64_t kMaxLength = INT_MAX - 16;

class Walker {
public:
    Walker(Source& source, Visitor& visitor) : src_(source), visitor_(visitor) {}

    Status run() {
        if (!message(onnx_schema::kModelProto, src_.size(), Role::Model)) return fail(std::move(error_));
        return {};
    }

private:
    bool fault(const char* what, uint64_t at) {
        if (error_.empty()) error_ = fmt::format("{} at byte {}", what, at);
        return false;
    }

    // A bounded little-endian base-128 number: at most max_bytes bytes, all
    // before `end`. Accumulates modulo 2^64 as protobuf does.
    bool varint(uint64_t end, std::size_t max_bytes, uint64_t& out, const char* what) {
        const uint64_t start = pos_;
        std::size_t avail = static_cast<std::size_t>(std::min<uint64_t>(max_bytes, end - pos_));
        if (avail == 0) return fault("truncated input", start);
        const unsigned char* p = src_.peek(pos_, avail);
        if (!p) return fault("unreadable input", start);
        uint64_t v = 0;
        for (std::size_t i = 0; i < avail; ++i) {
            v |= static_cast<uint64_t>(p[i] & 0x7f) << (7 * i);
            if (p[i] < 0x80) {
                pos_ += i + 1;
                out = v;
                return true;
            }
        }
        return fault(avail == max_bytes ? what : "truncated input", start);
    }

    bool tag(uint64_t end, uint32_t& out) {
        uint64_t v;
        if (!varint(end, 5, v, "tag longer than 5 bytes")) return false;
        out = static_cast<uint32_t>(v);
        return true;
    }

    bool length(uint64_t end, uint64_t& out) {
        const uint64_t start = pos_;
        uint64_t v;
        if (!varint(end, 5, v, "length longer than 5 bytes")) return false;
        if (pos_ - start == 5) {
            const unsigned char* last = src_.peek(pos_ - 1, 1);
            if (!last) return fault("unreadable input", start);
            if (*last >= 8) return fault("length of 2 GiB or more", start);
        }
        if (v > kMaxLength) return fault("length of 2 GiB or more", start);
        if (v > end - pos_) return fault("length beyond the enclosing message", start);
        out = v;
        return true;
    }

    bool fixed(uint64_t end, uint64_t width) {
        if (width > end - pos_) return fault("truncated input", pos_);
        pos_ += width;
        return true;
    }

    // A field that the schema does not know, or a known one whose wire type
    // differs from its declaration: kept as an unknown field by protobuf.
    bool unknown_field(uint32_t t, uint64_t end, uint64_t tag_at) {
        const uint32_t number = t >> 3;
        if (number == 0) return fault("field number 0", tag_at);
        uint64_t v;
        switch (t & 7) {
            case kWireVarint: return varint(end, 10, v, "varint longer than 10 bytes");
            case kWireFixed64: return fixed(end, 8);
            case kWireLen:
                if (!length(end, v)) return false;
                pos_ += v;
                return true;
            case kWireStartGroup: return group(t, end, tag_at);
            case kWireFixed32: return fixed(end, 4);
            default: return fault("invalid wire type", tag_at);
        }
    }

    bool group(uint32_t start_tag, uint64_t end, uint64_t tag_at) {
        if (--depth_ < 0) return fault("nesting deeper than the recursion limit", tag_at);
        while (pos_ < end) {
            const uint64_t at = pos_;
            uint32_t t;
            if (!tag(end, t)) return false;
            if ((t & 7) == kWireEndGroup) {
                if (t != start_tag + 1) return fault("end-group tag does not match its group", at);
                ++depth_;
                return true;
            }
            if (t == 0) return fault("tag 0 inside a group", at);
            if (!unknown_field(t, end, at)) return false;
        }
        return fault("group without its end-group tag", tag_at);
    }

    bool packed(const FieldSpec& f, uint64_t end, bool dims) {
        uint64_t len;
        const uint64_t at = pos_;
        if (!length(end, len)) return false;
        const uint64_t stop = pos_ + len;
        switch (f.kind) {
            case FieldKind::Fixed32:
            case FieldKind::Fixed64: {
                const uint64_t width = f.kind == FieldKind::Fixed32 ? 4 : 8;
                if (len % width != 0) return fault("packed fixed-width field of odd length", at);
                pos_ = stop;
                return true;
            }
            default:
                while (pos_ < stop) {
                    uint64_t v;
                    if (!varint(stop, 10, v, "varint longer than 10 bytes")) return false;
                    if (dims) visitor_.dim(v);
                }
                return true;
        }
    }

    bool nested(const FieldSpec& f, uint64_t end, Role role, uint64_t tag_at) {
        uint64_t len;
        if (!length(end, len)) return false;
        if (--depth_ < 0) return fault("nesting deeper than the recursion limit", tag_at);
        const bool initializer = role == Role::Initializer;
        if (initializer) visitor_.begin_initializer();
        if (!message(f.message, pos_ + len, role)) return false;
        if (initializer) visitor_.end_initializer();
        ++depth_;
        return true;
    }

    bool message(int type, uint64_t end, Role role) {
        const auto& spec = kMessages[type];
        while (pos_ < end) {
            const uint64_t at = pos_;
            uint32_t t;
            if (!tag(end, t)) return false;
            if (t == 0) return fault("tag 0", at);
            const uint32_t wire = t & 7;
            if (wire == kWireEndGroup) return fault("end-group tag outside a group", at);
            const uint32_t number = t >> 3;
            const FieldSpec* f = number < spec.field_count ? &spec.fields[number] : nullptr;
            if (!f || f->kind == FieldKind::None) {
                if (!unknown_field(t, end, at)) return false;
                continue;
            }
            const bool dims = role == Role::Initializer && number == onnx_schema::kTensorDimsField;
            bool ok;
            switch (f->kind) {
                case FieldKind::Varint:
                    if (wire == kWireVarint) {
                        uint64_t v;
                        ok = varint(end, 10, v, "varint longer than 10 bytes");
                        if (ok && dims) visitor_.dim(v);
                    } else if (wire == kWireLen && f->repeated) {
                        ok = packed(*f, end, dims);
                    } else {
                        ok = unknown_field(t, end, at);
                    }
                    break;
                case FieldKind::Fixed32:
                case FieldKind::Fixed64: {
                    const uint32_t own = f->kind == FieldKind::Fixed32 ? kWireFixed32 : kWireFixed64;
                    if (wire == own) ok = fixed(end, own == kWireFixed32 ? 4 : 8);
                    else if (wire == kWireLen && f->repeated) ok = packed(*f, end, false);
                    else ok = unknown_field(t, end, at);
                    break;
                }
                case FieldKind::Bytes:
                    ok = unknown_field(t, end, at);  // same rules as an unknown field of its wire type
                    break;
                case FieldKind::Message:
                    if (wire != kWireLen) {
                        ok = unknown_field(t, end, at);
                        break;
                    }
                    ok = nested(*f, end, child_role(role, number), at);
                    break;
                default: ok = unknown_field(t, end, at);
            }
            if (!ok) return false;
        }
        return true;
    }

    Role child_role(Role parent, uint32_t number) {
        if (parent == Role::Model && number == onnx_schema::kModelGraphField) {
            visitor_.graph();
            return Role::MainGraph;
        }
        if (parent == Role::MainGraph && number == onnx_schema::kGraphNodeField) {
            visitor_.node();
            return Role::Other;
        }
        if (parent == Role::MainGraph && number == onnx_schema::kGraphInitializerField) return Role::Initializer;
        return Role::Other;
    }

    Source& src_;
    Visitor& visitor_;
    uint64_t pos_ = 0;
    int depth_ = kRecursionLimit;
    std::string error_;
};

}  // namespace

Status walk_model(Source& source, Visitor& visitor) { return Walker(source, visitor).run(); }

}  // namespace ferrolune::onnx_walk
