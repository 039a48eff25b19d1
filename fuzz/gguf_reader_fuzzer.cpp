// Any bytes given to the GGUF reader end in a record or an error: no crash,
// no hang, no allocation beyond the input's size, no control character in
// the error's texts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ferrolune/model_ir/gguf_reader.h"
#include "memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    auto ir = ferrolune::read_gguf(file.set(data, size));
    if (ir) return 0;
    if (ir.error().message().empty()) std::abort();
    // Names from the file reach messages only escaped: no control byte may
    // get through to a terminal.
    auto printable = [](const std::string& m) {
        for (unsigned char c : m)
            if (c < 0x20 || c == 0x7f) return false;
        return true;
    };
    if (!printable(ir.error().message())) std::abort();
    for (const auto& c : ir.error().causes())
        if (!printable(c)) std::abort();
    return 0;
}
