// Finding a program on PATH the way the runtimes are looked up.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ferrolune {

// A name containing '/' is resolved against the working directory; a bare
// name is searched in each PATH entry (empty entry: working directory,
// leading "~" component: the home directory). The first regular,
// executable file wins, returned as built, not canonicalised.
std::optional<std::string> find_executable(std::string_view name);

// Same, with PATH and HOME given explicitly (PATH absent: nothing found).
std::optional<std::string> find_executable_in(std::string_view name, const char* path_var, const char* home);

}  // namespace ferrolune
