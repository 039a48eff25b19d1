// Reading small system files whole, behind a replaceable function so the
// parsers can be fed fixture text.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ferrolune::hardware {

using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The file's bytes, or nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

}  // namespace ferrolune::hardware
