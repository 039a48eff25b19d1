// One in-memory file per fuzzer process, rewritten for every input, so the
// readers run on their real file path (open, buffer, seek) without touching
// the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class MemoryFile {
public:
    MemoryFile() : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
    }
    // Replaces the contents; the returned path names the file.
    std::string set(const unsigned char* data, size_t size) {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            ssize_t w = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (w <= 0) std::abort();
            done += static_cast<size_t>(w);
        }
        return "/proc/self/fd/" + std::to_string(fd_);
    }

private:
    int fd_;
};
