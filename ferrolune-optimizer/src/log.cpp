#include "log.h"

#include <cstdio>
#include <mutex>

#include <fmt/format.h>

namespace ferrolune::optimizer {

void log_line(std::string_view line) {
    static std::mutex mu;
    std::lock_guard lock(mu);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string describe_config(const RuntimeConfig& c) {
    return fmt::format("{}/{}/{} threads/{} gpu_layers", to_string(c.runtime), to_string(c.quantization), c.threads,
                       c.gpu_layers);
}

}  // namespace ferrolune::optimizer
