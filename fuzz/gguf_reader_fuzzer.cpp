// Any bytes given to the GGUF reader end in a record or an error: no crash,
// no hang, no allocation beyond the input's size.
#include <cstdint>
#include <cstdlib>

#include "ferrolune/model_ir/gguf_reader.h"
#include "memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    auto ir = ferrolune::read_gguf(file.set(data, size));
    if (!ir && ir.error().message().empty()) std::abort();
    return 0;
}
