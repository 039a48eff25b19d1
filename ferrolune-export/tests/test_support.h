// Fake tools and model bytes for the export tests.
#pragma once

#include <string>

#include "ferrolune/testing/scratch.h"

namespace ferrolune::testing {

// An executable /bin/sh script.
inline fs::path write_script(const fs::path& p, const std::string& body) {
    write_file(p, "#!/bin/sh\n" + body + "\n", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    return p;
}

// Some bytes that are not text, so a copy that loses or reorders anything shows.
inline std::string model_bytes() {
    std::string s = "GGUF";
    for (int i = 0; i < 70000; ++i) s.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    return s;
}

}  // namespace ferrolune::testing
