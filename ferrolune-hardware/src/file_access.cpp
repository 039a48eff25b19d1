#include "file_access.h"

#include <fcntl.h>

#include "ferrolune/core/file.h"

namespace ferrolune::hardware {

std::optional<std::string> read_whole_file(const std::string& path) {
    // Only /proc and /sys files come here: they are not regular files in the
    // sense of a size to trust (they report 0), so no type check and a read
    // to the end.
    auto fd = file::open(path, O_RDONLY);
    if (!fd) return std::nullopt;
    auto text = file::read_to_end(fd->get());
    if (!text) return std::nullopt;
    return std::move(*text);
}

}  // namespace ferrolune::hardware
