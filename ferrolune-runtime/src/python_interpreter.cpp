#include "ferrolune/runtime/python_interpreter.h"

#include <cstdlib>
#include <mutex>

#include "ferrolune/core/executable.h"

namespace ferrolune {
namespace {

std::mutex host_lock;
std::optional<std::string> host;

}  // namespace

void set_host_interpreter(std::string path) {
    std::lock_guard lock(host_lock);
    if (path.empty())
        host.reset();
    else
        host = std::move(path);
}

std::optional<std::string> host_interpreter() {
    std::lock_guard lock(host_lock);
    return host;
}

std::optional<std::string> choose_python() {
    if (const char* named = std::getenv("FERROLUNE_PYTHON"); named && *named) {
        if (auto found = find_executable(named)) return found;
    }
    if (auto h = host_interpreter()) {
        // find_executable checks the file the same way for a path.
        if (auto found = find_executable(*h)) return found;
    }
    return find_executable("python3");
}

}  // namespace ferrolune
