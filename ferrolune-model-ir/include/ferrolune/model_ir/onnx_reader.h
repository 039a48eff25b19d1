// ONNX model reader: weight shapes and node count from a ModelProto file.
#pragma once

#include <string>

#include "ferrolune/core/error.h"
#include "ferrolune/model_ir/model_ir.h"

namespace ferrolune {

// Decodes the file against the ONNX schema, accepting and refusing exactly
// what protobuf's ModelProto parse does, without reading tensor contents;
// then refuses an empty file and a ModelProto without a graph, or whose graph
// has neither nodes nor weights ("not an ONNX model: ..."). Only regular
// files are read, and never more than a small window of them at a time.
// Every error is "read ONNX file: {path}" around its cause ("decode ONNX
// protobuf" for bytes that are not a ModelProto); all but an input-output
// error while reading carry NotAModel.
Result<ModelIR> read_onnx(const std::string& path);

}  // namespace ferrolune
