#include "ferrolune/core/paths.h"

#include <cstdlib>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

// `start` and its ancestors, nearest first, at most `limit` of them.
std::vector<std::string> ancestors(std::string_view start, std::size_t limit) {
    bool absolute = false;
    const std::vector<std::string_view> parts = lexical_components(start, absolute);
    std::vector<std::string> out;
    for (std::size_t n = parts.size() + 1; n-- > 0 && out.size() < limit;) {
        std::string p = absolute ? "/" : "";
        for (std::size_t i = 0; i < n; ++i) {
            if (i > 0) p.push_back('/');
            p.append(parts[i]);
        }
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace

std::vector<std::string_view> lexical_components(std::string_view path, bool& absolute) {
    absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> out;
    bool first = true;
    for (auto part : text::split(path, '/')) {
        if (part.empty()) continue;
        if (part == "." && !(first && !absolute)) continue;
        out.push_back(part);
        first = false;
    }
    return out;
}

std::optional<std::string_view> file_name(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return name;
}

std::string_view file_stem(std::string_view name) {
    auto dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

std::optional<std::string_view> file_extension(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

namespace {

// `path` as components of an absolute path, the working directory prepended
// to a relative one; nothing when the working directory is unknown.
std::optional<std::vector<std::string>> absolute_components(std::string_view path) {
    std::string full(path);
    if (full.empty() || full.front() != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (!cwd) return std::nullopt;
        full = join_path(cwd, path);
        std::free(cwd);
    }
    bool absolute = false;
    std::vector<std::string> out;
    for (auto part : lexical_components(full, absolute))
        if (part != ".") out.emplace_back(part);
    return out;
}

}  // namespace

bool names_same_file(std::string_view input, std::string_view output) {
    if (input == output) return true;
    auto a = absolute_components(input);
    auto b = absolute_components(output);
    if (a && b && *a == *b) return true;
    // Only an existing output can be another name of the input.
    struct stat in{}, out{};
    if (::stat(std::string(input).c_str(), &in) != 0) return false;
    if (::stat(std::string(output).c_str(), &out) != 0) return false;
    return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

std::optional<std::string> source_dir_from_env() {
    const char* v = std::getenv(kSourceDirVariable);
    if (!v || !text::is_valid_utf8(v)) return std::nullopt;
    return std::string(v);
}

std::optional<std::string> find_upwards(std::string_view start, std::string_view relative, std::size_t limit) {
    for (const auto& dir : ancestors(start, limit)) {
        std::string candidate = join_path(dir, relative);
        if (path_exists(candidate)) return candidate;
    }
    return std::nullopt;
}

}  // namespace ferrolune
