// Fake tools and model bytes for the export tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// A GGUF v3 file without tensors whose metadata holds only the
// architecture "llama" and, when given, llama.context_length.
inline std::string gguf_with_context(std::optional<uint32_t> context_length) {
    std::string s = "GGUF";
    auto put = [&s](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    auto put_string = [&](std::string_view text) {
        put(text.size(), 8);
        s.append(text);
    };
    put(3, 4);                         // version
    put(0, 8);                         // tensor count
    put(context_length ? 2 : 1, 8);    // key count
    put_string("general.architecture");
    put(8, 4);  // string
    put_string("llama");
    if (context_length) {
        put_string("llama.context_length");
        put(4, 4);  // uint32
        put(*context_length, 4);
    }
    return s;
}

}  // namespace ferrolune::testing
