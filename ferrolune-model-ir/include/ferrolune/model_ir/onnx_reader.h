// ONNX model reader: weight shapes and node count from a ModelProto file.
#pragma once

#include <string>

#include "ferrolune/core/error.h"
#include "ferrolune/model_ir/model_ir.h"

namespace ferrolune {

// Decodes the file against the ONNX schema, accepting and refusing exactly
// what protobuf's ModelProto parse does, without reading tensor contents.
// "read ONNX file: {path}" for a file that cannot be read, "decode ONNX
// protobuf" for bytes that are not a ModelProto.
Result<ModelIR> read_onnx(const std::string& path);

}  // namespace ferrolune
