// The one owner of file descriptors, and the few whole-buffer reads and
// writes built on it. Every descriptor is opened close-on-exec, so a child
// started meanwhile on another thread never inherits one.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include <sys/types.h>

#include "ferrolune/core/error.h"

namespace ferrolune::file {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes any descriptor held and takes `fd`; errors of that close are lost.
    void reset(int fd = -1);
    // Closes and reports the error: some file systems report write-back
    // failures only here, and a writer must not drop them.
    Status close();

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added; the error is the system's text.
Result<Fd> open(const std::string& path, int flags, mode_t mode = 0666);

// Opens an existing file for reading and refuses anything that is not a
// regular file ("not a regular file") before a byte is read: a FIFO would
// block the open forever and a device such as /dev/zero never ends. The open
// itself does not block; reads on the result do.
Result<Fd> open_regular_for_reading(const std::string& path);

// The size of the open file, from fstat.
Result<uint64_t> size_of(int fd);

// Reads exactly `n` bytes; a file that ends first fails with "failed to fill
// whole buffer" (the wording users and older tools know; keep it).
Status read_exact(int fd, void* dst, std::size_t n);

// Reads to end of file (files under /proc report size 0, so no size is
// trusted), failing once more than `limit` bytes have arrived.
Result<std::string> read_to_end(int fd, std::size_t limit = static_cast<std::size_t>(-1));

// Writes all of `data`, retrying short writes and interruptions.
Status write_all(int fd, std::string_view data);

// Copies what is left of `in` to `out`, sharing extents where the file
// system can. `between_chunks` runs before each chunk; an error it returns
// ends the copy with that error (how a caller stops a long copy).
Status copy_contents(int in, int out, const std::function<Status()>& between_chunks = {});

}  // namespace ferrolune::file
