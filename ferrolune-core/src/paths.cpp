#include "ferrolune/core/paths.h"

#include <cstdlib>
#include <vector>

#include <sys/stat.h>

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
