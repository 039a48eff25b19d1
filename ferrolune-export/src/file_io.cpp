#include "file_io.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ferrolune/core/file.h"

namespace ferrolune::file_io {
namespace {

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
    Result<file::Fd> in = file::open(from, O_RDONLY | O_NONBLOCK);
    if (!in) return fail(in.error());
    struct stat src;
    if (::fstat(in->get(), &src) != 0) return fail(os_error(errno));
    if (S_ISDIR(src.st_mode)) return fail(os_error(EISDIR));
    if (!S_ISREG(src.st_mode)) return fail(os_error(EINVAL));
    ::fcntl(in->get(), F_SETFL, 0);

    // Opened without O_TRUNC: only once it is known to be a different file
    // may the destination be emptied.
    Result<file::Fd> out = file::open(to, O_WRONLY | O_CREAT, src.st_mode & 0777);
    if (!out) return fail(out.error());
    struct stat dst;
    if (::fstat(out->get(), &dst) != 0) return fail(os_error(errno));
    if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) return {};

    if (::ftruncate(out->get(), 0) != 0) return fail(os_error(errno));
    if (auto c = file::copy_contents(in->get(), out->get()); !c) return c;
    if (::fchmod(out->get(), src.st_mode & 07777) != 0) return fail(os_error(errno));
    return out->close();
}

Status write_file(const std::string& path, std::string_view data) {
    Result<file::Fd> out = file::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!out) return fail(out.error());
    if (auto w = file::write_all(out->get(), data); !w) return w;
    return out->close();
}

}  // namespace ferrolune::file_io
