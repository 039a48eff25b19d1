// File operations of the bundle export, each failing with the system error
// text and nothing else.
#pragma once

#include <string>
#include <string_view>

#include "ferrolune/core/error.h"

namespace ferrolune::file_io {

// mkdir -p with mode 0777 before the umask; an existing directory is fine,
// an empty path means the working directory.
Status create_directories(const std::string& path);

// Copies the bytes of `from` to `to` (created or truncated) and carries the
// permission bits over. When both name the same file (a link, "..", "./"),
// nothing is written.
Status copy_file(const std::string& from, const std::string& to);

// Creates or truncates `path` and writes `data` whole.
Status write_file(const std::string& path, std::string_view data);

}  // namespace ferrolune::file_io
