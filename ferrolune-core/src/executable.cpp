#include "ferrolune/core/executable.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ferrolune/core/paths.h"
#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

bool is_executable_file(const std::string& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::access(p.c_str(), X_OK) == 0;
}

std::string current_dir() {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string(".") : cwd.string();
}

std::string home_dir(const char* home) {
    if (home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "~";
}

}  // namespace

std::optional<std::string> find_executable_in(std::string_view name, const char* path_var, const char* home) {
    if (name.empty()) return std::nullopt;
    if (name.find('/') != std::string_view::npos) {
        std::string candidate = name.front() == '/' ? std::string(name) : join_path(current_dir(), name);
        if (is_executable_file(candidate)) return candidate;
        return std::nullopt;
    }
    if (!path_var) return std::nullopt;
    for (std::string_view entry : text::split(path_var, ':')) {
        std::string dir;
        if (entry.empty()) {
            dir = current_dir();
        } else if (entry == "~" || entry.starts_with("~/")) {
            dir = home_dir(home) + std::string(entry.substr(1));
        } else {
            dir = std::string(entry);
        }
        std::string candidate = join_path(dir, name);
        if (is_executable_file(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> find_executable(std::string_view name) {
    return find_executable_in(name, std::getenv("PATH"), std::getenv("HOME"));
}

}  // namespace ferrolune
