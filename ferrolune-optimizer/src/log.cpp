#include "log.h"

#include <cstdio>
#include <mutex>

namespace ferrolune::optimizer {

void log_line(std::string_view line) {
    static std::mutex mu;
    std::lock_guard lock(mu);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace ferrolune::optimizer
