// A validating walk over a serialized onnx.ModelProto that never materialises
// the message. It accepts exactly the inputs that protobuf's generated
// ModelProto::ParseFromString accepts (same varint, tag and length rules, same
// recursion limit, known fields with another wire type treated as unknown),
// but reads only what it needs: tensor contents are skipped by offset, so a
// file source never touches the pages that hold the weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ferrolune/core/error.h"

namespace ferrolune::onnx_walk {

// What the reader wants to hear of. Calls arrive in file order while the walk
// goes on; they mean something only if the walk succeeds.
class Visitor {
public:
    virtual ~Visitor() = default;
    virtual void graph() {}              // ModelProto.graph present
    virtual void node() {}               // one GraphProto.node of that graph
    virtual void begin_initializer() {}  // one GraphProto.initializer of that graph
    virtual void dim(uint64_t) {}        // one TensorProto.dims entry of it
    virtual void end_initializer() {}
};

// Random access to the input by absolute offset.
class Source {
public:
    static constexpr std::size_t kMaxPeek = 16;
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Bytes [offset, offset + n) with n <= kMaxPeek and offset + n <= size();
    // null when they cannot be had (io_error() then says why, if it was the
    // system; otherwise the input shrank while being read).
    virtual const unsigned char* peek(uint64_t offset, std::size_t n) = 0;
    const std::optional<Error>& io_error() const { return io_error_; }

protected:
    std::optional<Error> io_error_;
};

class MemorySource final : public Source {
public:
    MemorySource(const void* data, uint64_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
    uint64_t size() const override { return size_; }
    const unsigned char* peek(uint64_t offset, std::size_t) override { return data_ + offset; }

private:
    const unsigned char* data_;
    uint64_t size_;
};

// Reads a regular file with pread into a small window; skipping costs
// nothing, so only the bytes around message headers are ever read.
class FileSource final : public Source {
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const override { return size_; }
    const unsigned char* peek(uint64_t offset, std::size_t n) override;
    // Read calls made so far (for the benchmark and tests).
    uint64_t reads() const { return reads_; }

private:
    static constexpr std::size_t kWindow = 16384;
    int fd_;
    uint64_t size_;
    uint64_t window_offset_ = 0;
    std::size_t window_len_ = 0;
    uint64_t reads_ = 0;
    unsigned char window_[kWindow];
};

// The protobuf default recursion limit, which ParseFromString applies.
inline constexpr int kRecursionLimit = 100;

// Walks the whole input as a ModelProto. The error names the first fault and
// its byte offset; a failure of the source itself is left in source.io_error().
Status walk_model(Source& source, Visitor& visitor);

}  // namespace ferrolune::onnx_walk
