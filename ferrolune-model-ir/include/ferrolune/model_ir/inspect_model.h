// The one entry point of model inspection: picks the reader by extension.
#pragma once

#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/model_ir/model_ir.h"

namespace ferrolune {

// The lower-cased (ASCII only) extension of the path's final component: the
// text after its last full stop, unless that full stop begins the name.
// Empty when there is none or when it is not valid UTF-8.
std::string model_file_extension(std::string_view path);

// "gguf" goes to read_gguf, "onnx" to read_onnx; anything else fails without
// opening the file. The contents are never used to guess the format.
Result<ModelIR> inspect_model(const std::string& path);

// Carried as the detail of a reader's error when the file is not a model of
// its format at all (cannot be opened, not a regular file, empty, wrong
// magic, bytes that are no ONNX model, an extension no reader takes), as
// opposed to a model whose metadata does not fully decode.
struct NotAModel {};
bool is_not_a_model(const Error& e);

}  // namespace ferrolune
