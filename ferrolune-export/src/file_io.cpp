#include "file_io.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrolune::file_io {
namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    // Closing reports write-back errors on some file systems; do not drop them.
    int close() {
        int rc = ::close(fd);
        fd = -1;
        return rc;
    }
};

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return {};
    while (slash > 0 && path[slash - 1] == '/') --slash;
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

Status write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

Status copy_bytes(int in, int out) {
    // copy_file_range lets the file system share extents; older kernels and
    // some file systems refuse it, and then plain reads and writes do.
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
        if (n > 0) continue;
        if (n == 0) return {};
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) break;
        return fail(os_error(errno));
    }
    std::vector<char> buf(size_t{1} << 20);
    for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (n == 0) return {};
        if (auto w = write_all(out, buf.data(), static_cast<size_t>(n)); !w) return w;
    }
}

}  // namespace

Status create_directories(const std::string& path) {
    if (path.empty() || is_directory(path)) return {};
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err == ENOENT) {
        std::string parent = parent_of(path);
        if (!parent.empty() && parent != path) {
            if (auto up = create_directories(parent); !up) return up;
            if (::mkdir(path.c_str(), 0777) == 0) return {};
            err = errno;
        }
    }
    // Another process may have made it meanwhile.
    if (is_directory(path)) return {};
    return fail(os_error(err));
}

Status copy_file(const std::string& from, const std::string& to) {
    // Non-blocking open so a FIFO in place of the model cannot hang us.
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.fd < 0) return fail(os_error(errno));
    struct stat src;
    if (::fstat(in.fd, &src) != 0) return fail(os_error(errno));
    if (S_ISDIR(src.st_mode)) return fail(os_error(EISDIR));
    if (!S_ISREG(src.st_mode)) return fail(os_error(EINVAL));
    ::fcntl(in.fd, F_SETFL, 0);

    // Opened without O_TRUNC: only once it is known to be a different file
    // may the destination be emptied.
    Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, src.st_mode & 0777));
    if (out.fd < 0) return fail(os_error(errno));
    struct stat dst;
    if (::fstat(out.fd, &dst) != 0) return fail(os_error(errno));
    if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) return {};

    if (::ftruncate(out.fd, 0) != 0) return fail(os_error(errno));
    if (auto c = copy_bytes(in.fd, out.fd); !c) return c;
    if (::fchmod(out.fd, src.st_mode & 07777) != 0) return fail(os_error(errno));
    if (out.close() != 0) return fail(os_error(errno));
    return {};
}

Status write_file(const std::string& path, std::string_view data) {
    Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.fd < 0) return fail(os_error(errno));
    if (auto w = write_all(out.fd, data.data(), data.size()); !w) return w;
    if (out.close() != 0) return fail(os_error(errno));
    return {};
}

}  // namespace ferrolune::file_io
