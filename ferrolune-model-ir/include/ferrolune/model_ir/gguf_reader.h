// GGUF metadata reader: header and key-value section only, never tensors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/model_ir/model_ir.h"

namespace ferrolune {

enum class GgufValueType : uint32_t {
    Uint8 = 0,
    Int8 = 1,
    Uint16 = 2,
    Int16 = 3,
    Uint32 = 4,
    Int32 = 5,
    Float32 = 6,
    Bool = 7,
    String = 8,
    Array = 9,
    Uint64 = 10,
    Int64 = 11,
    Float64 = 12,
};

// "Uint8", "Int8", ..., "Float64": the names used in error messages.
std::string_view to_string(GgufValueType t);

// Reads a GGUF file (versions 1 to 3) through one 8192-byte buffer. The file
// is closed before returning, whatever the outcome. Only regular files are
// opened ("not a regular file" otherwise, so a FIFO or a device never blocks
// or feeds the reader), and no value is read into more memory than the file
// has bytes. Errors are "open GGUF file: {path}" or "read GGUF file: {path}"
// around the failing step; a file that cannot be opened, is too short for the
// magic or has the wrong one carries NotAModel.
//
// Values that do not fit their 32-bit member leave the quantity unknown.
// Head counts may be one integer or an array with one per layer: the members
// report the largest, and the key-value cache is summed over the layers.
// A file that declares tensors but ends before room for their descriptions
// is cut off, and an error.
Result<ModelIR> read_gguf(const std::string& path);

}  // namespace ferrolune
