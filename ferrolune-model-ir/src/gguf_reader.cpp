#include "ferrolune/model_ir/gguf_reader.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "ferrolune/core/file.h"
#include "ferrolune/core/text.h"
#include "ferrolune/model_ir/inspect_model.h"

namespace ferrolune {

static_assert(std::endian::native == std::endian::little, "GGUF numbers are read as stored (little-endian)");

std::string_view to_string(GgufValueType t) {
    static constexpr std::array<std::string_view, 13> names = {"Uint8",  "Int8",   "Uint16", "Int16", "Uint32",
                                                              "Int32",  "Float32", "Bool",  "String", "Array",
                                                              "Uint64", "Int64",  "Float64"};
    auto i = static_cast<uint32_t>(t);
    return i < names.size() ? names[i] : "Unknown";
}

namespace {

constexpr std::size_t kBufferSize = 8192;
constexpr uint32_t kMaxValueType = 12;
// The end-of-file wording users and older tools already know; keep it.
constexpr const char* kShortRead = "failed to fill whole buffer";

// Size of a fixed-width value, 0 for String and Array.
uint64_t scalar_size(uint32_t type) {
    switch (static_cast<GgufValueType>(type)) {
        case GgufValueType::Uint8:
        case GgufValueType::Int8:
        case GgufValueType::Bool: return 1;
        case GgufValueType::Uint16:
        case GgufValueType::Int16: return 2;
        case GgufValueType::Uint32:
        case GgufValueType::Int32:
        case GgufValueType::Float32: return 4;
        case GgufValueType::Uint64:
        case GgufValueType::Int64:
        case GgufValueType::Float64: return 8;
        default: return 0;
    }
}

std::string type_name(uint32_t type) { return std::string(to_string(static_cast<GgufValueType>(type))); }

// Sequential reader over one regular file with a fixed buffer. Skips that
// stay inside the buffer move the cursor only; longer ones become one lseek,
// so a tokenizer vocabulary costs a handful of system calls.
class BufferedFile {
public:
    BufferedFile(file::Fd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    Status read_exact(void* dst, std::size_t n) {
        auto* out = static_cast<unsigned char*>(dst);
        while (n > 0) {
            if (pos_ == len_) {
                auto got = refill();
                if (!got) return fail(std::move(got.error()));
                if (*got == 0) return fail(kShortRead);
            }
            std::size_t take = std::min(n, len_ - pos_);
            std::memcpy(out, buf_ + pos_, take);
            pos_ += take;
            out += take;
            n -= take;
        }
        return {};
    }

    template <typename T>
    Result<T> read() {
        T v;
        if (len_ - pos_ >= sizeof v) {  // the common case: no refill, no loop
            std::memcpy(&v, buf_ + pos_, sizeof v);
            pos_ += sizeof v;
            return v;
        }
        if (auto s = read_exact(&v, sizeof v); !s) return fail(std::move(s.error()));
        return v;
    }

    // Skips `count` length-prefixed strings (a vocabulary), counting down as
    // it goes; on failure `failed_step` names the step. A string that lies in
    // the buffer costs a compare and an add, no call.
    Status skip_strings(uint64_t& count, const char*& failed_step) {
        while (count > 0) {
            uint64_t len;
            if (len_ - pos_ >= sizeof len) {
                std::memcpy(&len, buf_ + pos_, sizeof len);
                pos_ += sizeof len;
            } else if (auto r = read<uint64_t>(); r) {
                len = *r;
            } else {
                failed_step = "string length in skip";
                return fail(std::move(r.error()));
            }
            --count;
            if (len <= len_ - pos_) {
                pos_ += static_cast<std::size_t>(len);
            } else if (auto s = skip(len); !s) {
                failed_step = "seek past string value";
                return s;
            }
        }
        return {};
    }

    // Reads `len` bytes into a string. A length beyond the end of the file
    // fails before anything is reserved, so a bogus length costs no memory.
    Result<std::string> read_bytes(uint64_t len) {
        if (len > remaining()) return fail(kShortRead);
        std::string out(static_cast<std::size_t>(len), '\0');
        if (auto s = read_exact(out.data(), out.size()); !s) return fail(std::move(s.error()));
        return out;
    }

    // Moves forward; moving past the end is not an error (the next read fails).
    Status skip(uint64_t n) {
        std::size_t avail = len_ - pos_;
        if (n <= avail) {
            pos_ += static_cast<std::size_t>(n);
            return {};
        }
        n -= avail;
        pos_ = len_ = 0;
        uint64_t target = saturating_add(file_pos_, n);
        if (target > size_) {
            target = size_;
            overran_ = true;
        }
        target = std::min<uint64_t>(target, std::numeric_limits<off_t>::max());
        if (::lseek(fd_.get(), static_cast<off_t>(target), SEEK_SET) < 0) return fail(os_error(errno));
        file_pos_ = target;
        return {};
    }

    // True once a skip ran past the end of the file. A later read fails on
    // its own; after the last entry this is the only sign of a cut-off file.
    bool overran() const { return overran_; }

    uint64_t size() const { return size_; }

    // Bytes between the cursor and the end of the file.
    uint64_t remaining() const {
        uint64_t cursor = file_pos_ - (len_ - pos_);
        return cursor >= size_ ? 0 : size_ - cursor;
    }

private:
    Result<std::size_t> refill() {
        for (;;) {
            ssize_t got = ::read(fd_.get(), buf_, kBufferSize);
            if (got < 0) {
                if (errno == EINTR) continue;
                return fail(os_error(errno));
            }
            pos_ = 0;
            len_ = static_cast<std::size_t>(got);
            file_pos_ += len_;
            return len_;
        }
    }

    file::Fd fd_;
    uint64_t size_;
    bool overran_ = false;
    unsigned char buf_[kBufferSize];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    uint64_t file_pos_ = 0;  // file offset of the buffer's end
};

template <typename T>
Result<T> read_ctx(BufferedFile& f, const char* context) {
    auto r = f.read<T>();
    if (!r) return fail(std::move(r.error()).context(context));
    return r;
}

Result<std::string> read_string(BufferedFile& f) {
    auto len = f.read<uint64_t>();
    if (!len) return fail(std::move(len.error()));
    auto bytes = f.read_bytes(*len);
    if (!bytes) return fail(std::move(bytes.error()));
    return text::decode_utf8_lossy(*bytes);
}

Status skip_scalar(BufferedFile& f, uint64_t bytes) {
    if (auto s = f.skip(bytes); !s) return fail(std::move(s.error()).context("seek past scalar value"));
    return {};
}

// Skips one value of `type`. Arrays are walked with an explicit stack, not
// recursion: a damaged file may nest them as deep as its size allows.
Status skip_gguf_value(BufferedFile& f, uint32_t type) {
    struct Frame {
        uint32_t element_type;
        uint64_t remaining;
    };
    std::vector<Frame> stack;

    auto skip_one = [&](uint32_t t) -> Status {
        if (t == static_cast<uint32_t>(GgufValueType::String)) {
            auto len = read_ctx<uint64_t>(f, "string length in skip");
            if (!len) return fail(std::move(len.error()));
            if (auto s = f.skip(*len); !s) return fail(std::move(s.error()).context("seek past string value"));
            return {};
        }
        if (t == static_cast<uint32_t>(GgufValueType::Array)) {
            auto et = read_ctx<uint32_t>(f, "array element type");
            if (!et) return fail(std::move(et.error()));
            auto count = read_ctx<uint64_t>(f, "array element count");
            if (!count) return fail(std::move(count.error()));
            if (*et > kMaxValueType) return failf("unknown array element type {}", *et);
            stack.push_back({*et, *count});
            return {};
        }
        return skip_scalar(f, scalar_size(t));
    };

    if (auto s = skip_one(type); !s) return s;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.remaining == 0) {
            stack.pop_back();
            continue;
        }
        const std::size_t depth = stack.size();
        if (uint64_t width = scalar_size(top.element_type); width != 0) {
            // Skipping n fixed-width elements one by one or at once ends in
            // the same place; at once keeps a count near 2^64 from spinning.
            uint64_t bytes = saturating_mul(top.remaining, width);
            top.remaining = 0;
            if (auto s = skip_scalar(f, bytes); !s)
                return fail(std::move(s.error()).context_repeated("skip array element", depth));
            continue;
        }
        if (top.element_type == static_cast<uint32_t>(GgufValueType::String)) {
            const char* step = nullptr;
            if (auto s = f.skip_strings(top.remaining, step); !s)
                return fail(std::move(s.error()).context(step).context_repeated("skip array element", depth));
            continue;
        }
        --top.remaining;
        if (auto s = skip_one(top.element_type); !s)
            return fail(std::move(s.error()).context_repeated("skip array element", depth));
    }
    return {};
}

bool is_integer_type(uint32_t type) {
    switch (static_cast<GgufValueType>(type)) {
        case GgufValueType::Uint8:
        case GgufValueType::Int8:
        case GgufValueType::Uint16:
        case GgufValueType::Int16:
        case GgufValueType::Uint32:
        case GgufValueType::Int32:
        case GgufValueType::Uint64:
        case GgufValueType::Int64: return true;
        default: return false;
    }
}

// Reads an integer value as unsigned 64-bit; only called for integer types.
Result<uint64_t> read_as_u64(BufferedFile& f, uint32_t type) {
    switch (static_cast<GgufValueType>(type)) {
        case GgufValueType::Uint8: return read_ctx<uint8_t>(f, "read uint8 value");
        case GgufValueType::Int8: return read_ctx<uint8_t>(f, "read int8 value (reinterp)");
        case GgufValueType::Uint16: return read_ctx<uint16_t>(f, "read uint16 value");
        case GgufValueType::Int16: {
            auto v = read_ctx<int16_t>(f, "read int16 value (reinterp)");
            if (!v) return fail(std::move(v.error()));
            return static_cast<uint64_t>(static_cast<int64_t>(*v));
        }
        case GgufValueType::Uint32: return read_ctx<uint32_t>(f, "read uint32 value");
        case GgufValueType::Int32: {
            auto v = read_ctx<int32_t>(f, "read int32 value (reinterp)");
            if (!v) return fail(std::move(v.error()));
            return static_cast<uint64_t>(static_cast<int64_t>(*v));
        }
        case GgufValueType::Uint64: return read_ctx<uint64_t>(f, "read uint64 value");
        case GgufValueType::Int64: return read_ctx<uint64_t>(f, "read int64 value (reinterp)");
        default: return failf("cannot coerce value type {} to u64", type_name(type));
    }
}

// A head count as the file gives it: one value for all layers, or (newer
// converters) an array with one value per layer.
struct HeadCounts {
    std::vector<uint64_t> values;
    bool per_layer = false;
};

struct Quantities {
    std::optional<std::string> architecture;
    std::optional<uint64_t> explicit_params;
    std::optional<HeadCounts> head_count;
    std::optional<HeadCounts> head_count_kv;
    std::optional<uint64_t> feed_forward;
    std::optional<uint64_t> block_count;
    std::optional<uint64_t> context_length;
    std::optional<uint64_t> embedding_length;
};

Status skip_key(BufferedFile& f, uint32_t type, const std::string& key) {
    if (auto s = skip_gguf_value(f, type); !s)
        return fail(std::move(s.error()).context(fmt::format("skip key {}", text::quoted_name(key))));
    return {};
}

Error read_value_failure(Error cause, const std::string& key, uint32_t type) {
    return std::move(cause).context(fmt::format("read {} (type={})", text::printable_name(key), type_name(type)));
}

// A recognised quantity of a type that is not an integer leaves it unknown
// and is passed over, so one odd entry does not cost the rest of the
// metadata. A short read is still fatal: a cut-off file is damaged
// structure, and reporting it as a record with a missing field would hide that.
Status coerce_lenient(BufferedFile& f, uint32_t type, const std::string& key, std::optional<uint64_t>& into) {
    if (!is_integer_type(type)) {
        into.reset();
        return skip_key(f, type, key);
    }
    auto v = read_as_u64(f, type);
    if (!v) return fail(read_value_failure(std::move(v.error()), key, type));
    into = *v;
    return {};
}

// A head count: an integer, or an array of integers with one per layer. Any
// other shape leaves it unknown, as in coerce_lenient.
Status read_head_counts(BufferedFile& f, uint32_t type, const std::string& key, std::optional<HeadCounts>& into) {
    into.reset();
    if (type != static_cast<uint32_t>(GgufValueType::Array)) {
        std::optional<uint64_t> v;
        if (auto s = coerce_lenient(f, type, key, v); !s) return s;
        if (v) into = HeadCounts{{*v}, false};
        return {};
    }
    auto et = read_ctx<uint32_t>(f, "array element type");
    if (!et) return fail(read_value_failure(std::move(et.error()), key, type));
    auto count = read_ctx<uint64_t>(f, "array element count");
    if (!count) return fail(read_value_failure(std::move(count.error()), key, type));
    if (*et > kMaxValueType) return fail(Error(fmt::format("unknown array element type {}", *et)).context(
                                  fmt::format("skip key {}", text::quoted_name(key))));
    // The values are kept only when they take no more memory than the file
    // has bytes; larger counts cannot match a layer count such a file holds.
    const bool keep = is_integer_type(*et) && *count > 0 && saturating_mul(*count, sizeof(uint64_t)) <= f.size();
    if (!keep) {
        // The header is read already: skip the elements as the array's rest.
        const uint64_t width = scalar_size(*et);
        if (width != 0) {
            if (auto s = f.skip(saturating_mul(*count, width)); !s)
                return fail(std::move(s.error()).context("seek past scalar value").context("skip array element").context(
                    fmt::format("skip key {}", text::quoted_name(key))));
            return {};
        }
        for (uint64_t i = 0; i < *count; ++i) {
            if (auto s = skip_gguf_value(f, *et); !s)
                return fail(std::move(s.error()).context("skip array element").context(
                    fmt::format("skip key {}", text::quoted_name(key))));
        }
        return {};
    }
    HeadCounts counts{{}, true};
    counts.values.reserve(static_cast<std::size_t>(*count));
    for (uint64_t i = 0; i < *count; ++i) {
        auto v = read_as_u64(f, *et);
        if (!v) return fail(read_value_failure(std::move(v.error()).context("read array element"), key, type));
        counts.values.push_back(*v);
    }
    into = std::move(counts);
    return {};
}

Status read_entry(BufferedFile& f, Quantities& q) {
    auto key_r = read_string(f);
    if (!key_r) return fail(std::move(key_r.error()).context("read KV key"));
    const std::string& key = *key_r;
    auto type_r = read_ctx<uint32_t>(f, "read KV value type");
    if (!type_r) return fail(std::move(type_r.error()));
    const uint32_t type = *type_r;
    if (type > kMaxValueType) return failf("unknown value type {} for key {}", type, text::quoted_name(key));

    if (key == "general.architecture") {
        if (type == static_cast<uint32_t>(GgufValueType::String)) {
            auto v = read_string(f);
            if (!v) return fail(std::move(v.error()).context("read general.architecture value"));
            q.architecture = std::move(*v);
            return {};
        }
        if (auto s = skip_gguf_value(f, type); !s)
            return fail(std::move(s.error()).context("skip general.architecture (unexpected type)"));
        return {};
    }
    if (key == "general.parameter_count") {
        auto v = read_as_u64(f, type);
        if (!v) return fail(read_value_failure(std::move(v.error()), key, type));
        q.explicit_params = *v;
        return {};
    }
    if (key.ends_with(".attention.head_count")) return read_head_counts(f, type, key, q.head_count);
    if (key.ends_with(".attention.head_count_kv")) return read_head_counts(f, type, key, q.head_count_kv);
    if (key.ends_with(".feed_forward_length")) return coerce_lenient(f, type, key, q.feed_forward);
    if (auto dot = key.find('.'); dot != std::string::npos) {
        std::string_view rest = std::string_view(key).substr(dot + 1);
        std::optional<uint64_t>* slot = nullptr;
        if (rest == "block_count") slot = &q.block_count;
        else if (rest == "context_length") slot = &q.context_length;
        else if (rest == "embedding_length") slot = &q.embedding_length;
        if (slot) {
            // The first value read successfully wins.
            if (slot->has_value()) return skip_key(f, type, key);
            return coerce_lenient(f, type, key, *slot);
        }
    }
    return skip_key(f, type, key);
}

// A quantity whose value does not fit its 32-bit member is unknown: a
// wrapped value would be a small, plausible and wrong figure.
std::optional<uint32_t> fit32(std::optional<uint64_t>& v) {
    if (v && *v > std::numeric_limits<uint32_t>::max()) v.reset();
    if (!v) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

// The member reports the largest head count of any layer.
std::optional<uint32_t> fit32(std::optional<HeadCounts>& h) {
    if (!h) return std::nullopt;
    std::optional<uint64_t> largest = *std::max_element(h->values.begin(), h->values.end());
    auto member = fit32(largest);
    if (!member) h.reset();
    return member;
}

// Every tensor description takes at least 24 bytes (name length, dimension
// count, type, offset), so a file with fewer left after its metadata than
// that many per declared tensor was cut off there.
constexpr uint64_t kMinTensorDescription = 24;

Result<ModelIR> read_gguf_stream(BufferedFile& f) {
    unsigned char magic[4];
    if (auto s = f.read_exact(magic, sizeof magic); !s) {
        Error e = std::move(s.error()).context("read GGUF magic");
        e.set_detail(NotAModel{});
        return fail(std::move(e));
    }
    if (std::memcmp(magic, "GGUF", 4) != 0) {
        Error e(fmt::format("not a GGUF file (bad magic: [{}, {}, {}, {}])", magic[0], magic[1], magic[2], magic[3]));
        e.set_detail(NotAModel{});
        return fail(std::move(e));
    }
    auto version = read_ctx<uint32_t>(f, "read GGUF version");
    if (!version) return fail(std::move(version.error()));
    if (*version < 1 || *version > 3) return failf("unsupported GGUF version {}; expected 1\u20133", *version);
    auto tensor_count = read_ctx<uint64_t>(f, "read tensor_count");
    if (!tensor_count) return fail(std::move(tensor_count.error()));
    auto kv_count = read_ctx<uint64_t>(f, "read kv_count");
    if (!kv_count) return fail(std::move(kv_count.error()));

    Quantities q;
    // Every entry consumes at least 12 bytes, so a bogus count ends at the
    // file's end with a short read rather than spinning.
    for (uint64_t i = 0; i < *kv_count; ++i) {
        if (auto s = read_entry(f, q); !s) return fail(std::move(s.error()));
    }
    // The last value was skipped past the end: the file is cut off inside
    // its metadata, which no loader could use, so do not report it as read.
    if (f.overran()) return fail(Error(std::string(kShortRead)).context("skip past the end of the metadata"));
    // The tensor descriptions are never read, but a file that ends where they
    // should start is as unusable as one cut inside its metadata.
    if (f.remaining() < saturating_mul(*tensor_count, kMinTensorDescription))
        return fail(Error(std::string(kShortRead))
                        .context(fmt::format("check the {} tensor descriptions after the metadata", *tensor_count)));

    ModelIR ir;
    ir.format = ModelFormat::Gguf;
    ir.architecture = std::move(q.architecture);
    ir.context_length = fit32(q.context_length);
    ir.layer_count = fit32(q.block_count);
    ir.hidden_size = fit32(q.embedding_length);
    ir.attention_head_count = fit32(q.head_count);
    ir.attention_head_count_kv = fit32(q.head_count_kv);
    ir.feed_forward_length = q.feed_forward;
    if (q.explicit_params) ir.param_count = q.explicit_params;
    else if (q.block_count && q.embedding_length) {
        ir.param_count = estimate_param_count(*q.block_count, *q.embedding_length);
        ir.param_count_estimated = true;
    }
    static const std::vector<uint64_t> kUnknown;
    const auto& h = q.head_count ? q.head_count->values : kUnknown;
    const auto& k = q.head_count_kv ? q.head_count_kv->values : kUnknown;
    ir.kv_cache_size_mb = layered_kv_cache_size_mb(q.block_count, q.embedding_length, q.context_length, h, k);
    derive_param_metrics(ir);
    return ir;
}

}  // namespace

Result<ModelIR> read_gguf(const std::string& path) {
    const std::string shown = text::printable_name(path);
    auto fd = file::open_regular_for_reading(path);
    if (!fd) {
        Error e = std::move(fd.error()).context(fmt::format("open GGUF file: {}", shown));
        e.set_detail(NotAModel{});
        return fail(std::move(e));
    }
    auto size = file::size_of(fd->get());
    if (!size) return fail(std::move(size.error()).context(fmt::format("open GGUF file: {}", shown)));
    BufferedFile f(std::move(*fd), *size);
    auto ir = read_gguf_stream(f);
    if (ir) return ir;
    // The file's name goes on the outside, where users look first; the
    // detail stays on the error that leaves this function.
    std::any detail = ir.error().detail();
    Error e = std::move(ir.error()).context(fmt::format("read GGUF file: {}", shown));
    e.set_detail(std::move(detail));
    return fail(std::move(e));
}

}  // namespace ferrolune
