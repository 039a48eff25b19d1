// Where the code of this system lives on disk, for finding the runner
// scripts installed beside the extension module.
#pragma once

#include <optional>
#include <string>

namespace ferrolune {

// Directory of the shared object (or executable) that contains this
// function, as the dynamic loader reports it; nothing if it cannot tell.
std::optional<std::string> self_directory();

// Directory of the running executable (/proc/self/exe), nothing if unknown.
std::optional<std::string> executable_directory();

}  // namespace ferrolune
