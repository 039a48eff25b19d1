#include "ferrolune/core/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace ferrolune::file {

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Status Fd::close() {
    if (fd_ < 0) return {};
    // Linux releases the descriptor even when close fails, so never retry.
    int rc = ::close(std::exchange(fd_, -1));
    if (rc != 0 && errno != EINTR) return fail(os_error(errno));
    return {};
}

Result<Fd> open(const std::string& path, int flags, mode_t mode) {
    for (;;) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return fail(os_error(errno));
    }
}

Result<Fd> open_regular_for_reading(const std::string& path) {
    // O_NONBLOCK keeps the open of a FIFO with no writer from waiting forever.
    Result<Fd> fd = open(path, O_RDONLY | O_NONBLOCK);
    if (!fd) return fd;
    struct stat st;
    if (::fstat(fd->get(), &st) != 0) return fail(os_error(errno));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    int fl = ::fcntl(fd->get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd->get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return fail(os_error(errno));
    return fd;
}

Result<uint64_t> size_of(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(os_error(errno));
    return static_cast<uint64_t>(st.st_size);
}

Status read_exact(int fd, void* dst, std::size_t n) {
    auto* out = static_cast<char*>(dst);
    while (n > 0) {
        ssize_t r = ::read(fd, out, n);
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (r == 0) return fail("failed to fill whole buffer");
        out += r;
        n -= static_cast<std::size_t>(r);
    }
    return {};
}

Result<std::string> read_to_end(int fd, std::size_t limit) {
    std::string out;
    char chunk[65536];
    for (;;) {
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (r == 0) return out;
        if (static_cast<std::size_t>(r) > limit - out.size()) return fail("file larger than expected");
        out.append(chunk, static_cast<std::size_t>(r));
    }
}

Status write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Status copy_contents(int in, int out, const std::function<Status()>& between_chunks) {
    // Chunks small enough that a stop is seen within a fraction of a second.
    constexpr std::size_t kChunk = std::size_t{64} << 20;
    auto next = [&]() -> Status { return between_chunks ? between_chunks() : Status{}; };
    // copy_file_range lets the file system share extents; older kernels and
    // some file systems refuse it, and then plain reads and writes do.
    for (;;) {
        if (Status s = next(); !s) return s;
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
        if (n > 0) continue;
        if (n == 0) return {};
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) break;
        return fail(os_error(errno));
    }
    std::vector<char> buf(std::size_t{1} << 20);
    for (;;) {
        if (Status s = next(); !s) return s;
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (n == 0) return {};
        if (Status w = write_all(out, std::string_view(buf.data(), static_cast<std::size_t>(n))); !w) return w;
    }
}

}  // namespace ferrolune::file
