#include "ferrolune/model_ir/gguf_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "ferrolune/core/text.h"

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

// Sequential reader over one file descriptor with a fixed buffer. Skips that
// stay inside the buffer move the cursor only; longer ones become one lseek,
// so a tokenizer vocabulary costs a handful of system calls.
class BufferedFile {
public:
    BufferedFile(int fd, std::optional<uint64_t> size) : fd_(fd), size_(size) {}
    ~BufferedFile() { ::close(fd_); }
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

    // Reads `len` bytes into a string. When the file's size is known a length
    // beyond its end fails at once; otherwise the string grows only as bytes
    // actually arrive, so a bogus length never reserves memory.
    Result<std::string> read_bytes(uint64_t len) {
        std::string out;
        if (auto left = remaining()) {
            if (len > *left) return fail(kShortRead);
            out.resize(static_cast<std::size_t>(len));
            if (auto s = read_exact(out.data(), out.size()); !s) return fail(std::move(s.error()));
            return out;
        }
        constexpr uint64_t kChunk = 1 << 16;
        while (len > 0) {
            std::size_t take = static_cast<std::size_t>(std::min(len, kChunk));
            std::size_t at = out.size();
            out.resize(at + take);
            if (auto s = read_exact(out.data() + at, take); !s) return fail(std::move(s.error()));
            len -= take;
        }
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
        if (size_ && target > *size_) {
            target = *size_;
            overran_ = true;
        }
        target = std::min<uint64_t>(target, std::numeric_limits<off_t>::max());
        if (::lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) {
            if (errno != ESPIPE) return fail(os_error(errno));
            return discard(n);
        }
        file_pos_ = target;
        return {};
    }

    // True once a skip ran past the end of the file. A later read fails on
    // its own; after the last entry this is the only sign of a cut-off file.
    bool overran() const { return overran_; }

private:
    // A pipe cannot seek: read the bytes and drop them. The end of the
    // stream is not an error here, as for a seek past the end of a file.
    Status discard(uint64_t n) {
        while (n > 0) {
            auto got = refill();
            if (!got) return fail(std::move(got.error()));
            if (*got == 0) {
                overran_ = true;
                return {};
            }
            std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(n, *got));
            pos_ = take;
            n -= take;
        }
        return {};
    }

    // Bytes between the cursor and the end of the file, when its size is known.
    std::optional<uint64_t> remaining() const {
        if (!size_) return std::nullopt;
        uint64_t cursor = file_pos_ - (len_ - pos_);
        return cursor >= *size_ ? 0 : *size_ - cursor;
    }

    Result<std::size_t> refill() {
        for (;;) {
            ssize_t got = ::read(fd_, buf_, kBufferSize);
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

    int fd_;
    std::optional<uint64_t> size_;
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

struct Quantities {
    std::optional<std::string> architecture;
    std::optional<uint64_t> explicit_params;
    std::optional<uint64_t> head_count;
    std::optional<uint64_t> head_count_kv;
    std::optional<uint64_t> feed_forward;
    std::optional<uint64_t> block_count;
    std::optional<uint64_t> context_length;
    std::optional<uint64_t> embedding_length;
};

Status skip_key(BufferedFile& f, uint32_t type, const std::string& key) {
    if (auto s = skip_gguf_value(f, type); !s) return fail(std::move(s.error()).context(fmt::format("skip key '{}'", key)));
    return {};
}

// Rules c to f: a value of a non-integer type leaves the quantity unknown and
// is passed over. A short read is still fatal: a cut-off file is damaged
// structure, and reporting it as a record with a missing field would hide that.
Status coerce_lenient(BufferedFile& f, uint32_t type, const std::string& key, std::optional<uint64_t>& into) {
    if (!is_integer_type(type)) {
        into.reset();
        return skip_key(f, type, key);
    }
    auto v = read_as_u64(f, type);
    if (!v) return fail(std::move(v.error()).context(fmt::format("read {} (type={})", key, type_name(type))));
    into = *v;
    return {};
}

Status read_entry(BufferedFile& f, Quantities& q) {
    auto key_r = read_string(f);
    if (!key_r) return fail(std::move(key_r.error()).context("read KV key"));
    const std::string& key = *key_r;
    auto type_r = read_ctx<uint32_t>(f, "read KV value type");
    if (!type_r) return fail(std::move(type_r.error()));
    const uint32_t type = *type_r;
    if (type > kMaxValueType) return failf("unknown value type {} for key '{}'", type, key);

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
        if (!v) return fail(std::move(v.error()).context(fmt::format("read general.parameter_count (type={})", type_name(type))));
        q.explicit_params = *v;
        return {};
    }
    if (key.ends_with(".attention.head_count")) return coerce_lenient(f, type, key, q.head_count);
    if (key.ends_with(".attention.head_count_kv")) return coerce_lenient(f, type, key, q.head_count_kv);
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

Result<ModelIR> read_gguf_stream(BufferedFile& f) {
    unsigned char magic[4];
    if (auto s = f.read_exact(magic, sizeof magic); !s) return fail(std::move(s.error()).context("read GGUF magic"));
    if (std::memcmp(magic, "GGUF", 4) != 0)
        return failf("not a GGUF file (bad magic: [{}, {}, {}, {}])", magic[0], magic[1], magic[2], magic[3]);
    auto version = read_ctx<uint32_t>(f, "read GGUF version");
    if (!version) return fail(std::move(version.error()));
    if (*version < 1 || *version > 3) return failf("unsupported GGUF version {}; expected 1\u20133", *version);
    if (auto t = read_ctx<uint64_t>(f, "read tensor_count"); !t) return fail(std::move(t.error()));
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

    ModelIR ir;
    ir.format = ModelFormat::Gguf;
    ir.architecture = std::move(q.architecture);
    auto low32 = [](const std::optional<uint64_t>& v) -> std::optional<uint32_t> {
        if (!v) return std::nullopt;
        return static_cast<uint32_t>(*v);
    };
    ir.context_length = low32(q.context_length);
    ir.layer_count = low32(q.block_count);
    ir.hidden_size = low32(q.embedding_length);
    ir.attention_head_count = low32(q.head_count);
    ir.attention_head_count_kv = low32(q.head_count_kv);
    ir.feed_forward_length = q.feed_forward;
    if (q.explicit_params) ir.param_count = q.explicit_params;
    else if (q.block_count && q.embedding_length) ir.param_count = estimate_param_count(*q.block_count, *q.embedding_length);
    ir.kv_cache_size_mb = kv_cache_size_mb(q.block_count, q.embedding_length, q.context_length, q.head_count, q.head_count_kv);
    derive_param_metrics(ir);
    return ir;
}

}  // namespace

Result<ModelIR> read_gguf(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(os_error(errno).context(fmt::format("open GGUF file: {}", path)));
    std::optional<uint64_t> size;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
    BufferedFile f(fd, size);
    return read_gguf_stream(f);
}

}  // namespace ferrolune
