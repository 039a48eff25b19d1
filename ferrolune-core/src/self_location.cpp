#include "ferrolune/core/self_location.h"

#include <dlfcn.h>

#include <filesystem>

namespace ferrolune {

std::optional<std::string> self_directory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&self_directory), &info) == 0 || !info.dli_fname || !*info.dli_fname)
        return std::nullopt;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(info.dli_fname, ec);
    if (ec) return std::nullopt;
    return p.parent_path().string();
}

std::optional<std::string> executable_directory() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return p.parent_path().string();
}

}  // namespace ferrolune
